#pragma once

// What a pack opened for reading keeps to stay safe and current while other
// processes edit it.
//
// The data file is opened and marked as read (CFile::MarkReader) before the
// index is loaded. An editor that sees a mark puts new data only in sectors
// it appends, never in sectors that were free when it opened the pack, since
// a reader that loaded an older index may still give those to entries
// deleted since. The mark lives as long as this pack or any stream opened
// from it: streams take duplicates of the marked descriptor, and they read
// the very data file the index was loaded with even if the path changes.

#include <oru/pack/oru_pack.h>

#include "platform/file.h"
#include "platform/file_watch.h"

#include <string>

namespace oru::detail {

// Opens the data file at `pathUtf8` for reading and marks it as read;
// !IsOpen() when it cannot be opened. A file system that cannot mark leaves
// it unmarked: editors, unable to tell, then append.
platform::CFile OpenMarkedDataFile(const std::string& pathUtf8);

// True when the two open files are the same file.
bool SameFile(const platform::CFile& a, const std::string& pathUtf8);

struct CPackFollow {
    platform::CFile m_dataFile;              // marked; closed when the data file could not be opened
    platform::CFileIdentity m_indexIdentity;  // the index as it was loaded
    bool m_bIdentityKnown = false;
    platform::CFileWatch m_watch;             // started by the first refresh
};

// Reports each name added, changed or removed between two file lists, in
// name order. An entry changed when any field of its record did.
void ReportChanges(const COruPack::FileList& before, const COruPack::FileList& after,
                   const OruPackChangeCallback& onChange);

// The same for any two maps ordered by name: an entry present in both
// changed when `same(before, after)` says it did not stay the same.
template <typename TMap, typename TSame>
void ReportMapChanges(const TMap& before, const TMap& after, TSame same,
                      const OruPackChangeCallback& onChange)
{
    if (!onChange)
        return;
    auto old = before.begin();
    auto now = after.begin();
    while (old != before.end() || now != after.end()) {
        if (now == after.end() || (old != before.end() && old->first < now->first)) {
            onChange(old->first, ORU_PACK_ENTRY_REMOVED);
            ++old;
        } else if (old == before.end() || now->first < old->first) {
            onChange(now->first, ORU_PACK_ENTRY_ADDED);
            ++now;
        } else {
            if (!same(old->second, now->second))
                onChange(now->first, ORU_PACK_ENTRY_CHANGED);
            ++old;
            ++now;
        }
    }
}

}  // namespace oru::detail
