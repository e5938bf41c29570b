#include <oru/pack/oru_pack.h>
#include <oru/xml/xml_document.h>

#include <cstdio>
#include <fstream>
#include <string>

int main()
{
    // A pack with two levels, the second one broken (pack tools build this;
    // orupack is one).
    std::ofstream("town.xml") << "<Map name=\"Town\">\n  <Npc name=\"Ana\" x=\"4\" />\n</Map>\n";
    std::ofstream("forest.xml") << "<Map name=\"Forest\">\n  <Npc name=\"Wolf\">\n</Map>\n";
    {
        COruPack builder;
        builder.OpenOruPack(L"levels", ORU_PACK_MODE_WRITE, 512);
        builder.SetWorkDir(L"./");
        builder.AddFile(L"town.xml");
        builder.AddFile(L"forest.xml");
        builder.CloseOruPack();
    }
    InitOruPack(L"levels");

    // Straight from the pack: no copy on disk.
    CXmlDocument town;
    int x = 0;
    if (!town.LoadFromPack(L"town.xml") || !town.FindElement(L"Npc") || !town.GetAttrValueInt(L"x", x))
        return 1;

    // A broken level says what is wrong, and where.
    CXmlDocument forest;
    std::wstring reason;
    int line = 0;
    int column = 0;
    if (forest.LoadFromPack(L"forest.xml") || !forest.GetLastError(reason, line, column))
        return 1;
    std::printf("forest.xml:%d:%d: %ls\n", line, column, reason.c_str());
    // forest.xml:2:3: <Npc> is not closed; found </Map> at line 3, column 1
    COruPack::DeleteInstance();
    return x == 4 && line == 2 && column == 3 ? 0 : 1;
}
