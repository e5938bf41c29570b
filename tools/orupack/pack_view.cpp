#include "pack_view.h"

#include <algorithm>

namespace orupack {

CPackView::CPackView(const std::vector<std::string>& bases) : m_vecBases(bases)
{
    for (const std::string& base : m_vecBases)
        m_strName += (m_strName.empty() ? "" : " + ") + base;
    if (m_vecBases.size() == 1) {
        m_bOpen = m_pack.OpenOruPack(Wide(m_vecBases[0]), ORU_PACK_MODE_READ, 512);
        if (!m_bOpen)
            Error("%s.odx: cannot read the pack's index (missing or damaged)", m_vecBases[0].c_str());
    } else {
        m_bOpen = true;
        for (const std::string& base : m_vecBases) {
            if (!m_set.AddPack(Wide(base))) {
                Error("%s.odx: cannot read the pack's index (missing, damaged, or given twice)",
                      base.c_str());
                m_bOpen = false;
                break;
            }
        }
    }
    if (m_bOpen)
        Collect();
}

void CPackView::Collect()
{
    m_vecEntries.clear();
    if (m_vecBases.size() == 1) {
        for (const auto& [name, info] : *m_pack.GetFileList())
            m_vecEntries.push_back({&name, info, 0});
    } else {
        for (const auto& [name, entry] : *m_set.GetFileList())
            m_vecEntries.push_back({&name, entry.m_info, entry.m_nLayer});
    }
    m_vecData.clear();
    for (uint32_t layer = 0; layer < LayerCount(); ++layer)
        m_vecData.push_back(std::make_unique<CDataFile>(Pack(layer)));
}

const COruPack& CPackView::Pack(uint32_t layer) const
{
    return m_vecBases.size() == 1 ? m_pack : *oru::tools::CPackAccess::LayerPack(m_set, layer);
}

uint32_t CPackView::SectorSize(uint32_t layer) const
{
    return oru::tools::CPackAccess::SectorSize(Pack(layer));
}

const CPackView::CEntry* CPackView::Find(const std::string& name) const
{
    const auto at = [this](const std::wstring& key) {
        const auto it = std::lower_bound(m_vecEntries.begin(), m_vecEntries.end(), key,
                                         [](const CEntry& entry, const std::wstring& k) { return entry.Name() < k; });
        return it != m_vecEntries.end() && it->Name() == key ? &*it : nullptr;
    };
    const std::wstring key = FindEntry([&](const std::wstring& k) { return at(k) != nullptr; }, name);
    return key.empty() ? nullptr : at(key);
}

CDataFile::CStream CPackView::Open(const CEntry& entry) const
{
    return Data(entry.m_nLayer).OpenEntry(entry.m_info, SectorSize(entry.m_nLayer));
}

bool CPackView::Refresh(const OruPackChangeCallback& onChange)
{
    const bool changed = m_vecBases.size() == 1 ? m_pack.RefreshOruPack(onChange)
                                                : m_set.RefreshOruPackSet(onChange);
    if (changed)
        Collect();
    return changed;
}

std::vector<std::string> ViewBases(const CArgs& args, size_t words)
{
    std::vector<std::string> bases;
    for (size_t i = 0; i < words && i < args.m_vecWords.size(); ++i)
        bases.push_back(PackBase(args.m_vecWords[i]));
    for (const std::string& layer : args.m_vecLayers)
        bases.push_back(PackBase(layer));
    return bases;
}

}  // namespace orupack
