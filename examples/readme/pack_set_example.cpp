#include <oru/pack/oru_file.h>
#include <oru/pack/oru_pack.h>
#include <oru/pack/oru_pack_set.h>

#include <filesystem>
#include <fstream>
#include <string>

// A pack holding `entries` (name, content), as a build would make it; the
// build of a patch pack is `orupack diff` (see orupack below).
static void MakePack(const wchar_t* path, std::initializer_list<std::pair<const wchar_t*, std::string>> entries)
{
    COruPack builder;
    builder.OpenOruPack(path, ORU_PACK_MODE_WRITE, 512);
    for (const auto& [name, content] : entries)
        builder.AddFileData(name, content.data(), static_cast<uint32_t>(content.size()), 0, 0, 0);
    builder.CloseOruPack();
}

static std::string Read(COruPackSet& set, const wchar_t* name)
{
    COruFile* file = set.OpenFile(name, false);
    if (!file)
        return "(none)";
    std::string text(file->GetFileSize(), '\0');
    oru_fread(text.data(), 1, static_cast<unsigned int>(text.size()), file);
    oru_fclose(file);
    return text;
}

int main()
{
    MakePack(L"base", {{L"map\\town.xml", "<town/>"}, {L"music\\old.ogg", "old tune"}});
    MakePack(L"patch1", {{L"map\\town.xml", "<town v='1.1'/>"}, {L".oru\\removed", "music\\old.ogg\n"}});
    MakePack(L"mod", {{L"ui\\font.png", "a player's font"}});
    std::filesystem::create_directories("dev/Map");

    // Lowest first: each name comes from the highest layer that holds it,
    // unless a layer above that one removes it. OruPack() is left alone.
    COruPackSet data;
    data.AddPack(L"base");
    data.AddPack(L"patch1");
    data.AddPack(L"mod");
    data.AddFolder(L"dev");  // during development: the artists' loose files win
    bool ok = Read(data, L"Map\\Town.xml") == "<town v='1.1'/>" && Read(data, L"music\\old.ogg") == "(none)" &&
              Read(data, L"ui\\font.png") == "a player's font";

    // An artist saves a file; the game's once-a-frame refresh hears of it.
    std::ofstream("dev/Map/Town.xml") << "<town edited='yes'/>";
    int heard = 0;
    data.RefreshOruPackSet([&](const std::wstring& name, ORU_PACK_CHANGE change) {
        heard += name == L"map\\town.xml" && change == ORU_PACK_ENTRY_CHANGED;
    });
    ok = ok && heard == 1 && Read(data, L"map\\town.xml") == "<town edited='yes'/>";
    return ok ? 0 : 1;
}
