// Pack layers and the removal lists every layer may hold.

#include "pack/pack_layer.h"

#include "pack/pack_removals.h"

#include <new>
#include <string>

namespace oru::detail {
namespace {

// A COruPack registers itself as the process's instance when it is made; a
// layer's pack must not, or a game that makes a set would find its
// OruPack() replaced, and emptied once the set is gone. The registration is
// put back under the singleton's lock, so no other thread sees the layer's
// pack as the instance in between; destroying the pack later leaves the
// instance alone, since it is not the registered object.
std::unique_ptr<COruPack> NewUnregisteredPack()
{
    COruLock lock(CSingleton<COruPack>::m_cs);
    COruPack* pRegistered = CSingleton<COruPack>::m_pSingleton;
    std::unique_ptr<COruPack> pPack(new (std::nothrow) COruPack);
    CSingleton<COruPack>::m_pSingleton = pRegistered;
    return pPack;
}

}  // namespace

COruFile* IPackLayer::Open(const std::wstring& name, const _oru_pack_file_info& info, bool inMemory)
{
    CEntryOpening opening;
    return Take(name, info, opening) ? opening.Make(inMemory) : nullptr;
}

void IPackLayer::LoadRemovals()
{
    m_setRemovals.clear();
    const auto entry = Entries().find(std::wstring(REMOVED_ENTRY));
    if (entry == Entries().end())
        return;
    std::unique_ptr<COruFile, int (*)(COruFile*)> pList(Open(entry->first, entry->second, false), oru_fclose);
    if (!pList || pList->GetFileSize() > MAX_REMOVALS_BYTES)
        return;
    std::string text(pList->GetFileSize(), '\0');
    size_t got = 0;
    while (got < text.size()) {
        const unsigned int read = pList->Fread(text.data() + got, 1, static_cast<unsigned int>(text.size() - got));
        if (read == 0 || read > text.size() - got)
            return;  // cut short or damaged: the list is not taken in part
        got += read;
    }
    ParseRemovals(text, m_setRemovals);
}

std::unique_ptr<CPackLayer> CPackLayer::Load(const std::wstring& path)
try {
    std::unique_ptr<CPackLayer> pLayer(new CPackLayer(path));
    pLayer->m_pPack = NewUnregisteredPack();
    if (!pLayer->m_pPack || !pLayer->m_pPack->OpenOruPack(path, ORU_PACK_MODE_READ, 0))
        return nullptr;
    pLayer->LoadRemovals();
    return pLayer;
} catch (const std::bad_alloc&) {
    return nullptr;
}

bool CPackLayer::Take(const std::wstring&, const _oru_pack_file_info& info, CEntryOpening& opening)
{
    m_pPack->TakeDataFile(opening.m_file, opening.m_nSectorSize);
    opening.m_info = info;
    opening.m_pMake = MakeStream;
    return opening.m_file.IsOpen();
}

COruFile* CPackLayer::MakeStream(CEntryOpening&& opening, bool inMemory)
{
    return COruPack::MakeStream(std::move(opening.m_file), opening.m_info, opening.m_nSectorSize, inMemory);
}

bool CPackLayer::Refresh()
{
    if (!m_pPack->RefreshOruPack(nullptr))
        return false;
    LoadRemovals();
    return true;
}

}  // namespace oru::detail
