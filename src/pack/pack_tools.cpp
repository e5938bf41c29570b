#include "pack/pack_tools.h"

#include "pack/pack_layer.h"
#include "pack/sector_chain.h"


namespace oru::tools {

const COruPack* CPackAccess::LayerPack(const COruPackSet& set, uint32_t position)
{
    return position < set.m_vecLayers.size() ? set.m_vecLayers[position]->Pack() : nullptr;
}

CDataFile::CDataFile(const COruPack& pack) : m_file(CPackAccess::MarkedDataFile(pack))
{
}

size_t CDataFile::ReadStored(const _oru_pack_file_info& info, uint32_t sectorSize, uint64_t offset,
                             void* pDst, size_t size) const
{
    detail::CSectorChain chain(m_file.Duplicate(), info, sectorSize);
    if (offset != 0 && !chain.Seek(offset))
        return 0;
    return chain.Read(pDst, size);
}

CDataFile::CStream CDataFile::OpenEntry(const _oru_pack_file_info& info, uint32_t sectorSize) const
{
    CStream stream(nullptr, oru_fclose);
    platform::CFile own = m_file.Duplicate();
    if (own.IsOpen())
        stream.reset(CPackAccess::NewEntryStream(std::move(own), info, sectorSize));
    return stream;
}

}  // namespace oru::tools
