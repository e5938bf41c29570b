#include <oru/pack/oru_file.h>
#include <oru/pack/oru_pack.h>

#include <fstream>
#include <string>
#include <vector>

int main()
{
    // Build a small pack (pack tools do this; orupack is one). Any COruPack
    // registers itself as the manager while it lives, so a builder gets a
    // scope of its own.
    std::ofstream("hello.txt") << "hello, pack";
    {
        COruPack builder;
        builder.OpenOruPack(L"assets", ORU_PACK_MODE_WRITE, 512);  // false: a new pack
        builder.SetWorkDir(L"./");
        builder.AddFile(L"hello.txt");
        builder.CloseOruPack();  // writes assets.odx; the data is in assets.opk
    }

    // Read it the way a game does: open once at start-up, then stream entries.
    InitOruPack(L"assets");
    COruFile* file = OruPack().OpenFile(L"HELLO.TXT", false);  // names ignore case
    if (!file)
        return 1;
    std::vector<char> text(file->GetFileSize());
    oru_fread(text.data(), 1, static_cast<unsigned int>(text.size()), file);
    oru_fclose(file);
    COruPack::DeleteInstance();
    return std::string(text.begin(), text.end()) == "hello, pack" ? 0 : 1;
}
