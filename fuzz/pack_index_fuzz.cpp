// Feeds arbitrary bytes to the index loader as an index file, once as a pack
// opened read-only (with the directory index) and once as one opened for
// writing (with the usage table). Whatever the counts claim, the loader must
// stop at the end of the bytes, and what it keeps must be consistent.

#include "pack/pack_index.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    for (const bool forWriting : {false, true}) {
        _oru_pack_header header{};
        COruPack::FileList files;
        COruPack::DirIndex dirIndex;
        std::vector<uint8_t> used;
        const oru::detail::CIndexTables tables{&header, &files, forWriting ? nullptr : &dirIndex,
                                               forWriting ? &used : nullptr};
        const bool complete = oru::detail::ParseIndex(data, size, tables);

        // Each record takes at least a terminator and 36 bytes.
        if (files.size() > size / 38 + 1)
            std::abort();
        size_t listed = 0;
        for (const auto& [dir, pList] : dirIndex) {
            for (const auto entry : *pList) {
                const std::wstring& name = entry->first;
                if (name.compare(0, dir.size(), dir) != 0 || name[dir.size()] != L'\\' ||
                    files.find(name) != entry)
                    std::abort();
            }
            listed += pList->size();
        }
        if (listed > files.size())
            std::abort();
        if (forWriting && complete && used.size() != header.sector_count)
            std::abort();
    }
    return 0;
}
