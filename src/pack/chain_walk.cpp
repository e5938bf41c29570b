#include "pack/chain_walk.h"

#include "platform/file.h"

namespace oru::detail {

bool ReadSectorLinks(const platform::CFile& dataFile, uint32_t sector, uint32_t sectorSize,
                     _oru_pack_sector_links& links)
{
    return dataFile.ReadExactAt(SectorOffset(sector, sectorSize), &links, sizeof links);
}

}  // namespace oru::detail
