#pragma once

// FILETIME counts: 100-ns intervals since 1601-01-01 UTC, the unit in which
// pack records keep a file's times. The one conversion between them and the
// Unix epoch's seconds and nanoseconds.

#include <cstdint>

namespace oru::platform {

constexpr uint64_t FILETIME_PER_SECOND = 10000000ULL;
constexpr uint64_t FILETIME_UNIX_EPOCH = 116444736000000000ULL;  // 1970-01-01 as a FILETIME

// The FILETIME count of a moment given in seconds and nanoseconds since the
// Unix epoch. A moment before 1601 has no count; it is not checked for.
constexpr uint64_t ToFileTime(int64_t seconds, uint32_t nanoseconds)
{
    return FILETIME_UNIX_EPOCH + static_cast<uint64_t>(seconds) * FILETIME_PER_SECOND +
           nanoseconds / 100;
}

struct CUnixTime {
    int64_t m_nSeconds;
    uint32_t m_nNanoseconds;
};

// The moment of a FILETIME count since the Unix epoch. A count before 1970
// gives the epoch itself: the files we stamp with it cannot be older.
constexpr CUnixTime FromFileTime(uint64_t fileTime)
{
    if (fileTime < FILETIME_UNIX_EPOCH)
        return {0, 0};
    const uint64_t sinceEpoch = fileTime - FILETIME_UNIX_EPOCH;
    return {static_cast<int64_t>(sinceEpoch / FILETIME_PER_SECOND),
            static_cast<uint32_t>(sinceEpoch % FILETIME_PER_SECOND * 100)};
}

}  // namespace oru::platform
