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
    ReportMapChanges(
        before, after,
        [](const _oru_pack_file_info& a, const _oru_pack_file_info& b) {
            return std::memcmp(&a, &b, sizeof a) == 0;
        },
        onChange);
}

}  // namespace oru::detail
