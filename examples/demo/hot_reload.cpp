#include "hot_reload.h"

#include "demo_pack.h"
#include "run_program.h"

#include <oru/oru_core.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

// What the artist saves: the same every time, so the game can check it.
std::string ArtistContent(const std::wstring& entry)
{
    std::string text = "Saved again by the artist while the game ran: ";
    for (const wchar_t ch : entry)
        text += ch < 0x80 ? static_cast<char>(ch) : '?';
    return text + "\n";
}

}  // namespace

int RunArtistSave(const std::wstring& packBase, const std::wstring& entry)
{
    const std::string content = ArtistContent(entry);
    COruPack pack;  // this process's own manager: the game's is in the other process
    if (!pack.OpenOruPack(packBase, ORU_PACK_MODE_WRITE, 512))
        return 1;
    const bool stored = pack.AddFileData(entry, content.data(), static_cast<uint32_t>(content.size()), 0, 0, 0);
    pack.CloseOruPack();
    return stored ? 0 : 1;
}

CHotReloadReport DemonstrateHotReload(const char* self, const std::wstring& packBase,
                                      const std::wstring& entry)
{
    CHotReloadReport report;
    report.m_strEntry = entry;
    std::string narrowBase, narrowEntry;
    for (const wchar_t ch : packBase)
        narrowBase += static_cast<char>(ch);
    for (const wchar_t ch : entry)
        narrowEntry += static_cast<char>(ch);
    const std::string expected = ArtistContent(entry);

    using Clock = std::chrono::steady_clock;
    OruPack().RefreshOruPack();  // from here on a save is heard of
    std::atomic<int64_t> savedAt{0};  // Clock ticks once the artist's process ended
    std::thread artist([&] {
        const int status = RunProgram(self, {"--artist-save", narrowBase, narrowEntry});
        savedAt = status == 0 ? Clock::now().time_since_epoch().count() : -1;
    });

    bool heard = false;
    const auto frame = std::chrono::milliseconds(16);
    for (int i = 0; i < 125 && !heard && savedAt >= 0; ++i) {
        OruPack().RefreshOruPack([&](const std::wstring& name, ORU_PACK_CHANGE change) {
            heard = heard || (name == entry && change == ORU_PACK_ENTRY_CHANGED);
        });
        if (savedAt > 0)
            ++report.m_nFrames;
        if (!heard)
            std::this_thread::sleep_for(frame);
    }
    artist.join();
    const Clock::time_point saved{Clock::duration{savedAt.load()}};
    report.m_fMs = std::chrono::duration<double, std::milli>(Clock::now() - saved).count();
    std::vector<char> content;
    report.m_bReloaded = heard && ReadPackEntry(entry, content) &&
                         std::string(content.begin(), content.end()) == expected;
    return report;
}
