#pragma once

// The packs a command reads, in search order, and the entries they show.
//
// One pack shows every entry it holds, its removal list included, exactly as
// the commands always showed it. Several packs, lowest first, show the
// merged view a game reading them as a pack set sees (oru_pack_set.h): each
// name from the highest pack that holds it, less what a pack above removes,
// without the set's own entries.

#include "tool_support.h"

#include <oru/pack/oru_pack_set.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace orupack {

class CPackView : private COruNonCopyable {
public:
    struct CEntry {
        const std::wstring* m_pName;  // valid until the next Refresh
        _oru_pack_file_info m_info;
        uint32_t m_nLayer;  // the pack it comes from, 0 the lowest

        const std::wstring& Name() const { return *m_pName; }
    };

    // Opens the packs at `bases` (lowest first); a message when one cannot
    // be read.
    explicit CPackView(const std::vector<std::string>& bases);

    bool IsOpen() const { return m_bOpen; }
    // The packs' base paths joined by " + ", for messages.
    const std::string& Name() const { return m_strName; }
    uint32_t LayerCount() const { return static_cast<uint32_t>(m_vecBases.size()); }
    const std::string& Base(uint32_t layer) const { return m_vecBases[layer]; }
    const COruPack& Pack(uint32_t layer) const;
    uint32_t SectorSize(uint32_t layer) const;
    // The data file of each pack, as it was when the view was opened or
    // last refreshed; IsOpen() false when one could not be opened.
    const CDataFile& Data(uint32_t layer) const { return *m_vecData[layer]; }

    // In name order.
    const std::vector<CEntry>& Entries() const { return m_vecEntries; }
    // The entry a command names: its name folded, or with '\' for '/'
    // (see FindEntry); null when the view holds neither.
    const CEntry* Find(const std::string& name) const;
    // A stream over an entry's content, by its record.
    CDataFile::CStream Open(const CEntry& entry) const;

    // Takes in packs saved anew since; true, with each changed name heard by
    // `onChange`, when the view changed.
    bool Refresh(const OruPackChangeCallback& onChange);

private:
    void Collect();

    std::vector<std::string> m_vecBases;
    std::string m_strName;
    COruPack m_pack;  // one pack
    COruPackSet m_set;  // several
    bool m_bOpen = false;
    std::vector<std::unique_ptr<CDataFile>> m_vecData;
    std::vector<CEntry> m_vecEntries;
};

// The packs a command names: its first `words` words, then each --layer.
std::vector<std::string> ViewBases(const CArgs& args, size_t words);

}  // namespace orupack
