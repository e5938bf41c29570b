// The open-file tables. A slot belongs to the thread that claimed it (a
// compare-exchange on its owner) until the owner closes; that thread alone
// writes the slot's name and kind, before the stream is handed out. The
// position is an atomic of its own, since a stream may move on one thread
// while a report reads it on another. A report copies each slot and
// terminates the copied name itself, so a slot caught in writing shows at
// worst a cut name.

#include "crash/open_files.h"

#include "core/utf8.h"

#include <atomic>
#include <cstdint>
#include <cstring>

namespace oru::detail {
namespace {

struct COpenSlot {
    std::atomic<const void*> m_pOwner{nullptr};
    std::atomic<long> m_nPosition{0};
    unsigned char m_nKind = 0;  // eOpenStreamKind, or 1 for a writable pack
    bool m_bInMemory = false;
    char m_szName[118] = {};    // UTF-8, cut
};

template <size_t N>
struct COpenTable {
    COpenSlot m_slots[N];
    std::atomic<int> m_nUntracked{0};  // open but in no slot: the table was full

    static size_t Home(const void* pOwner) { return (reinterpret_cast<uintptr_t>(pOwner) >> 4) % N; }

    COpenSlot* Find(const void* pOwner)
    {
        for (size_t i = 0, at = Home(pOwner); i < N; ++i, at = at + 1 == N ? 0 : at + 1)
            if (m_slots[at].m_pOwner.load(std::memory_order_relaxed) == pOwner)
                return &m_slots[at];
        return nullptr;
    }

    COpenSlot* Claim(const void* pOwner)
    {
        if (COpenSlot* pSlot = Find(pOwner))
            return pSlot;
        for (size_t i = 0, at = Home(pOwner); i < N; ++i, at = at + 1 == N ? 0 : at + 1) {
            const void* pFree = nullptr;
            if (m_slots[at].m_pOwner.compare_exchange_strong(pFree, pOwner, std::memory_order_acquire))
                return &m_slots[at];
        }
        m_nUntracked.fetch_add(1, std::memory_order_relaxed);
        return nullptr;
    }

    void Release(const void* pOwner)
    {
        if (COpenSlot* pSlot = Find(pOwner)) {
            pSlot->m_pOwner.store(nullptr, std::memory_order_release);
            return;
        }
        int untracked = m_nUntracked.load(std::memory_order_relaxed);
        while (untracked > 0 &&
               !m_nUntracked.compare_exchange_weak(untracked, untracked - 1, std::memory_order_relaxed)) {
        }
    }

    // Calls `append` with a terminated copy of each slot in use.
    template <class F>
    size_t ForEach(F append) const
    {
        size_t shown = 0;
        for (const COpenSlot& slot : m_slots) {
            if (!slot.m_pOwner.load(std::memory_order_acquire))
                continue;
            char name[sizeof slot.m_szName];
            std::memcpy(name, slot.m_szName, sizeof name);
            name[sizeof name - 1] = '\0';
            append(slot, name);
            ++shown;
        }
        return shown;
    }
};

COpenTable<64> s_streams;
COpenTable<8> s_packs;

const char* StreamKindName(const COpenSlot& slot)
{
    const bool loose = slot.m_nKind == OPEN_STREAM_LOOSE_FILE;
    if (slot.m_bInMemory)
        return loose ? "loose file, in memory" : "pack entry, in memory";
    return loose ? "loose file" : "pack entry";
}

}  // namespace

void NoteStreamOpened(const void* pStream, eOpenStreamKind kind, bool inMemory)
{
    COpenSlot* pSlot = s_streams.Claim(pStream);
    if (!pSlot)
        return;
    pSlot->m_nKind = kind;
    pSlot->m_bInMemory = inMemory;
    pSlot->m_szName[0] = '\0';
    pSlot->m_nPosition.store(0, std::memory_order_relaxed);
}

void NoteStreamName(const void* pStream, std::wstring_view name)
{
    if (COpenSlot* pSlot = s_streams.Find(pStream))
        ToUtf8LossyCut(name, pSlot->m_szName, sizeof pSlot->m_szName);
}

void NoteStreamPosition(const void* pStream, long position)
{
    if (COpenSlot* pSlot = s_streams.Find(pStream))
        pSlot->m_nPosition.store(position, std::memory_order_relaxed);
}

void NoteStreamClosed(const void* pStream)
{
    s_streams.Release(pStream);
}

void NotePackOpened(const void* pPack, std::wstring_view pathBase, bool writable)
{
    COpenSlot* pSlot = s_packs.Claim(pPack);
    if (!pSlot)
        return;
    pSlot->m_nKind = writable ? 1 : 0;
    ToUtf8LossyCut(pathBase, pSlot->m_szName, sizeof pSlot->m_szName);
}

void NotePackClosed(const void* pPack)
{
    s_packs.Release(pPack);
}

void AppendOpenFiles(CReportText& report)
{
    size_t shown = s_packs.ForEach([&report](const COpenSlot& slot, const char* name) {
        report.AppendFormat("Pack : %s (%s)\r\n", name, slot.m_nKind ? "write" : "read");
    });
    shown += s_streams.ForEach([&report](const COpenSlot& slot, const char* name) {
        report.AppendFormat("Stream : %s, %s, position %ld\r\n", name[0] ? name : "(unnamed)",
                            StreamKindName(slot), slot.m_nPosition.load(std::memory_order_relaxed));
    });
    const int untracked = s_packs.m_nUntracked.load(std::memory_order_relaxed) +
                          s_streams.m_nUntracked.load(std::memory_order_relaxed);
    if (untracked > 0)
        report.AppendFormat("(%d more not named)\r\n", untracked);
    else if (shown == 0)
        report.Append("(none)\r\n");
}

}  // namespace oru::detail
