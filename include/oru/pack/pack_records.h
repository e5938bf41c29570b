#pragma once

// The two records a pack's index file is made of, as they lie on disk: the
// header at the start of the index and the record that follows each entry's
// name. Little-endian, no padding; the sizes are part of the file format.

#include <cstdint>

#pragma pack(push, 1)

// The index header, read and written as one 24-byte block.
struct _oru_pack_header {
    uint32_t version;          // 1 in every pack this library creates; not checked on open
    uint32_t sector_size;      // payload bytes per sector, fixed when the pack is created
    uint32_t sector_count;     // sectors in the data file and bits in the usage table
    uint32_t data_size;        // data file bytes as of the last addition; informational
    uint32_t file_count;       // entry records that follow the header
    uint32_t total_file_size;  // sum of the entries' sizes; informational
};
static_assert(sizeof(_oru_pack_header) == 24, "the index header is 24 bytes on disk");

// One entry's record, stored after its name. The times are FILETIME counts
// (100-ns intervals since 1601-01-01 UTC) of the source file when it was added.
struct _oru_pack_file_info {
    uint32_t size;          // stored bytes, wrapper included
    uint32_t first_sector;  // where the entry's chain of sectors starts
    uint32_t sector_count;  // sectors in the chain; informational, readers follow links
    uint64_t creation_time;
    uint64_t last_access_time;
    uint64_t last_write_time;
};
static_assert(sizeof(_oru_pack_file_info) == 36, "an entry record is 36 bytes on disk");

#pragma pack(pop)
