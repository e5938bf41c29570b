#include "pack/pack_follow.h"

#include <cstring>

namespace oru::detail {

platform::CFile OpenMarkedDataFile(const std::string& pathUtf8)
{
    platform::CFile file = platform::CFile::OpenRead(pathUtf8);
    if (file.IsOpen())
        file.MarkReader();
    return file;
}

bool SameFile(const platform::CFile& a, const std::string& pathUtf8)
{
    platform::CFileIdentity held, named;
    return a.Identity(held) && platform::FileIdentityOf(pathUtf8, named) &&
           held.m_nDevice == named.m_nDevice && held.m_nInode == named.m_nInode;
}

void ReportChanges(const COruPack::FileList& before, const COruPack::FileList& after,
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
            if (std::memcmp(&old->second, &now->second, sizeof old->second) != 0)
                onChange(now->first, ORU_PACK_ENTRY_CHANGED);
            ++old;
            ++now;
        }
    }
}

}  // namespace oru::detail
