#include "patch_layer.h"

#include <oru/pack/oru_pack.h>
#include <oru/pack/oru_pack_set.h>

#include <string_view>

namespace {

constexpr std::string_view NEW_INTRO = "The harbour town was rebuilt after the storm.\n";
constexpr std::string_view NEWS = "Patch 1.1: the wind no longer howls in the market.\n";
// The removal list: an ordinary entry under a reserved name, one stored name
// a line. A build without pack sets sees one entry more and nothing else.
constexpr std::string_view REMOVALS = "sound\\wind.bin\n";

bool Store(COruPack& pack, const wchar_t* pName, std::string_view text)
{
    return pack.AddFileData(pName, text.data(), static_cast<uint32_t>(text.size()), 0, 0, 0);
}

std::string ReadAll(COruPackSet& set, const wchar_t* pName)
{
    COruFile* pFile = set.OpenFile(pName, false);
    if (!pFile)
        return {};
    std::string text(pFile->GetFileSize(), '\0');
    text.resize(oru_fread(text.data(), 1, static_cast<unsigned int>(text.size()), pFile));
    oru_fclose(pFile);
    return text;
}

}  // namespace

bool BuildPatchPack(const std::wstring& patchBase)
{
    // A patch built again over the last one replaces its three entries.
    COruPack patch;
    patch.OpenOruPack(patchBase, ORU_PACK_MODE_WRITE, 512);
    const bool ok = Store(patch, L"Text\\intro.txt", NEW_INTRO) && Store(patch, L"Text\\news.txt", NEWS) &&
                    Store(patch, L".oru\\removed", REMOVALS);
    patch.CloseOruPack();
    return ok;
}

CPatchReport ReadThroughPackSet(const std::wstring& base, const std::wstring& patchBase)
{
    CPatchReport report;
    COruPackSet set;
    if (!set.AddPack(base) || !set.AddPack(patchBase))
        return report;
    report.m_nMerged = set.GetFileList()->size();
    report.m_bChanged = ReadAll(set, L"Text\\intro.txt") == NEW_INTRO;
    report.m_bAdded = ReadAll(set, L"Text\\news.txt") == NEWS;
    report.m_bRemoved = set.OpenFile(L"Sound\\wind.bin", false) == nullptr;
    const auto credits = set.GetFileList()->find(L"text\\credits.txt");
    report.m_bKept = !ReadAll(set, L"Text\\credits.txt").empty() && credits != set.GetFileList()->end() &&
                     credits->second.m_nLayer == 0;
    return report;
}
