#pragma once

// Building the demo's pack from the sample assets, and checking what the pack
// hands back against the files it was built from.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

class CLogSystem;

struct CPackReport {
    size_t m_nEntries = 0;         // entries in the pack
    size_t m_nWrapped = 0;         // entries stored in the compressed wrapper
    uint64_t m_nStoredBytes = 0;   // bytes the entries take in the data file
    uint64_t m_nContentBytes = 0;  // bytes of content read back and compared
    size_t m_nMismatches = 0;      // entries whose content differs from the asset
};

// Stores every file below `assets` in the pack `packBase` (.odx and .opk beside
// it), under names with '\' separators. Text and XML files, and any file the
// wrapper makes smaller, go in compressed ("ORUGZIP1") form, staged under
// `stage` first. Returns false and says why on standard error when the pack
// cannot be built.
bool BuildAssetPack(const std::filesystem::path& assets, const std::filesystem::path& stage,
                    const std::wstring& packBase, CPackReport& report, CLogSystem& log);

// Reads every entry of the open pack through its stream and compares it with
// the asset it came from.
void VerifyAssetPack(const std::filesystem::path& assets, CPackReport& report, CLogSystem& log);

// The whole content of one pack entry; false when it cannot be read.
bool ReadPackEntry(const std::wstring& name, std::vector<char>& content);

// The '\'-separated entry name of a path below `root`.
std::wstring EntryName(const std::filesystem::path& root, const std::filesystem::path& file);
