#pragma once

// A full check of a pack on disk against everything its layout promises:
// the index parses whole, every chain is well formed, inside the data file
// and no longer or shorter than its size, no sector is in two chains, the
// usage table and the header agree with the entries, every wrapped entry
// decompresses with good checksums to its declared length, and no plain entry
// begins with the gzip magic (a reader would decode it instead of returning
// its bytes). The pack tool's verify command and the editing tests share it.

#include <cstdint>
#include <functional>
#include <string>

namespace oru::detail {

struct CPackCheckHooks {
    std::function<void(const std::string&)> m_fnProblem;  // one line per problem
    // Stored bytes of the entry just checked, and of all entries; may be empty.
    std::function<void(uint64_t, uint64_t)> m_fnProgress;
};

struct CPackCheckResult {
    uint64_t m_nProblems = 0;
    uint64_t m_nEntries = 0;
    uint32_t m_nSectors = 0;
    uint64_t m_nBytesPastSectors = 0;  // data file bytes after the last sector
};

// Checks the pack at `base` (no extension). Never allocates more than the
// index and the data file really hold justify.
CPackCheckResult CheckPack(const std::string& base, const CPackCheckHooks& hooks);

}  // namespace oru::detail

namespace oru::detail {

// True when another editor holds the editing lock of the pack at `base`.
// For messages: the answer may change the moment it is given.
bool PackEditedElsewhere(const std::string& base);

}  // namespace oru::detail
