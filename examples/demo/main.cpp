// oru-demo: the sample game host. It does what a game built on oru_core does
// at start-up and in its main loop, then prints a short summary:
//
//  1. builds a pack from the sample assets with the library's editing
//     operations (text and XML in the compressed wrapper);
//  2. starts up the usual way: the core log, its own logs, the pack opened
//     read-only, a resource pool with its log, XML documents read from the
//     pack, the loop's timer and frame-rate synchroniser;
//  3. runs a few seconds of a town at a fixed rate: villagers on flat state
//     machines, wolves on hierarchical ones, assets loaded on the library's
//     worker thread and kept in the pool, every section timed by the profiler;
//  4. has "the artist" (this program, started again) save a new version of
//     an entry while the game runs, which the game's once-a-frame refresh
//     hears of and reloads;
//  5. writes the profiler's table and a flame-graph file, and shuts down.
//
// `oru-demo --crash` instead shows what a player sees when the game crashes.

#include "asset_loader.h"
#include "demo_pack.h"
#include "hot_reload.h"
#include "npc.h"
#include "patch_layer.h"

#include <oru/oru_core.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

const wchar_t PACK_BASE[] = L"demo_data";
const wchar_t PATCH_BASE[] = L"demo_patch";
const wchar_t LOG_DIR[] = L"./oru_log";
const wchar_t PROFILE_PATH[] = L"./oru_log/DemoProfile.folded";

struct COptions {
    fs::path m_assets = "examples/assets";
    float m_fSeconds = 0;  // 0: as the game's configuration says
    bool m_bCrash = false;
};

struct CGameConfig {
    int m_nFps = 60;
    float m_fSeconds = 3;
    std::wstring m_strGreeting;
};

struct CNpcSpec {
    std::wstring m_strName;
    std::wstring m_strKind;
    float m_fX = 0;
    float m_fY = 0;
};

std::string Narrow(const std::wstring& text)
{
    const char* utf8 = OruWCharToCharEx(65001, text.c_str());
    return utf8 ? utf8 : "?";
}

bool ParseOptions(int argc, char** argv, COptions& options)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--assets") == 0 && i + 1 < argc) {
            options.m_assets = argv[++i];
        } else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            options.m_fSeconds = std::strtof(argv[++i], nullptr);
        } else if (std::strcmp(argv[i], "--crash") == 0) {
            options.m_bCrash = true;
        } else {
            std::fprintf(stderr,
                         "usage: oru-demo [--assets DIR] [--seconds N] [--crash]\n"
                         "  --assets DIR   the sample assets to pack (default examples/assets)\n"
                         "  --seconds N    how long the town runs (default: the game's config)\n"
                         "  --crash        write through a null pointer and show the crash report\n");
            return false;
        }
    }
    return true;
}

// The code a player's crash report points at. The null write is meant to
// reach the crash handler: the empty asm hides the pointer's value from the
// optimiser (which would otherwise drop the write it can prove faults), and
// the sanitizer builds do not stop it first.
[[gnu::noinline]] __attribute__((no_sanitize("undefined"))) void ApplyDamage(int* pHealth, int amount)
{
    asm volatile("" : "+r"(pHealth));
    *pHealth -= amount;
}

[[noreturn]] void Crash()
{
    OruCoreLogInitialize(5);
    std::puts("oru-demo: a wolf bites a villager that was never spawned...");
    std::fflush(stdout);
    ApplyDamage(nullptr, 10);
    std::abort();  // not reached: the crash handler ends the process
}

// XML documents are read straight from the pack entry (here stored in the
// compressed wrapper). A broken file says where it broke, in the game's log
// and on standard error.
bool LoadXmlFromPack(const std::wstring& name, CXmlDocument& doc)
{
    if (doc.LoadFromPack(name))
        return true;
    std::wstring reason;
    int line = 0;
    int column = 0;
    doc.GetLastError(reason, line, column);
    std::fprintf(stderr, "oru-demo: %s, line %d, column %d: %s\n", Narrow(name).c_str(), line, column,
                 Narrow(reason).c_str());
    return false;
}

bool ReadConfig(CLogSystem& log, CGameConfig& config)
{
    CXmlDocument doc;
    doc.SetLogSystem(&log);
    if (!LoadXmlFromPack(L"Config\\game.xml", doc))
        return false;
    double seconds = config.m_fSeconds;
    if (doc.FindElementGlobal(L"Game/Loop")) {
        doc.GetAttrValueInt(L"fps", config.m_nFps);
        doc.GetAttrValueDouble(L"seconds", seconds);
    }
    config.m_fSeconds = static_cast<float>(seconds);
    if (doc.FindElementGlobal(L"Game/Player/Greeting"))
        doc.GetValueStringEx(config.m_strGreeting);
    return true;
}

bool ReadMap(const std::wstring& name, CLogSystem& log, std::vector<CNpcSpec>& npcs,
             std::vector<std::wstring>& assets)
{
    CXmlDocument doc;
    doc.SetLogSystem(&log);
    if (!LoadXmlFromPack(name, doc))
        return false;
    if (doc.FindElementGlobal(L"Map/Npcs") && doc.ChildElement(0)) {
        do {
            CNpcSpec npc;
            int x = 0;
            int y = 0;
            doc.GetAttrValueString(L"name", npc.m_strName);
            doc.GetAttrValueString(L"kind", npc.m_strKind);
            doc.GetAttrValueInt(L"x", x);
            doc.GetAttrValueInt(L"y", y);
            npc.m_fX = static_cast<float>(x);
            npc.m_fY = static_cast<float>(y);
            npcs.push_back(npc);
        } while (doc.NextElement());
    }
    if (doc.FindElementGlobal(L"Map/Assets") && doc.ChildElement(0)) {
        do {
            std::wstring path;
            if (doc.GetAttrValueString(L"path", path))
                assets.push_back(path);
        } while (doc.NextElement());
    }
    return true;
}

// A scoped profiler section.
class CSection {
public:
    explicit CSection(const wchar_t* name) : m_szName(name) { _ProFileBegin(name); }
    ~CSection() { _ProFileEnd(m_szName); }
    CSection(const CSection&) = delete;
    CSection& operator=(const CSection&) = delete;

private:
    const wchar_t* m_szName;
};

struct CRunStats {
    int m_nFrames = 0;        // frames rendered
    int m_nSteps = 0;         // game steps simulated
    float m_fSeconds = 0;     // wall time of the loop
    float m_fStepRate = 0;    // due steps per second, last one-second window
    int m_nReleased = 0;      // resources released during the level
    uint64_t m_nChecksum = 0; // bytes the renderer touched
};

// The town: the player walks a loop past the villagers and through the
// wolves' hunting ground.
class CTown {
public:
    CTown(const std::vector<CNpcSpec>& npcs)
    {
        for (const CNpcSpec& npc : npcs) {
            if (npc.m_strKind == L"monster")
                m_vecWolves.push_back({std::make_unique<CWolf>(), npc.m_fX, npc.m_fY});
            else
                m_vecVillagers.push_back(std::make_unique<CVillager>(Narrow(npc.m_strName), npc.m_fX, npc.m_fY));
        }
    }

    void Step(float seconds)
    {
        m_fClock += seconds;
        const float angle = m_fClock * 1.3f;
        const float px = 32.0f + 28.0f * std::cos(angle);
        const float py = 24.0f + 20.0f * std::sin(angle);
        {
            CSection ai(L"Villagers");
            for (auto& villager : m_vecVillagers)
                villager->Step(px, py, seconds);
        }
        CSection ai(L"Wolves");
        for (auto& wolf : m_vecWolves)
            wolf.m_pBrain->Step(std::hypot(px - wolf.m_fX, py - wolf.m_fY));
    }

    int Transitions() const
    {
        int total = 0;
        for (const auto& villager : m_vecVillagers)
            total += villager->m_nTransitions;
        for (const auto& wolf : m_vecWolves)
            total += wolf.m_pBrain->m_nTransitions;
        return total;
    }

    size_t Villagers() const { return m_vecVillagers.size(); }
    size_t Wolves() const { return m_vecWolves.size(); }

private:
    struct CWolfSlot {
        std::unique_ptr<CWolf> m_pBrain;
        float m_fX;
        float m_fY;
    };
    std::vector<std::unique_ptr<CVillager>> m_vecVillagers;
    std::vector<CWolfSlot> m_vecWolves;
    float m_fClock = 0;
};

// Touches the bytes of every loaded asset, the way a renderer would upload
// them; returns how many bytes it saw. Looking a resource up by handle does
// not take a reference.
uint64_t Render(IResourcePool& pool, const std::vector<uint32_t>& handles)
{
    uint64_t bytes = 0;
    for (const uint32_t handle : handles)
        if (IResource* res = pool.GetResourceFromHandle_Lock(handle))
            bytes += res->GetMemorySize();
    return bytes;
}

CRunStats RunLoop(const CGameConfig& config, float seconds, CTown& town, IResourcePool& pool,
                  CAssetLoader& loader, const std::vector<std::wstring>& assets,
                  const std::vector<uint32_t>& handles)
{
    CRunStats stats;
    CTimer timer;
    timer.Init(TIMER_PERFORMANCE);
    CTimerSync sync;
    sync.SetFps(config.m_nFps);
    _ProFileExecute(true);

    bool releasedHalf = false;
    while (stats.m_fSeconds < seconds) {
        uint32_t sleep = 1;  // ms; the loop naps while no step is due
        {
            // A frame's work is the profiler's "Root"; the nap is left out.
            CSection frame(L"Root");
            timer.Update();
            const float dt = timer.GetElapsedTime();
            stats.m_fSeconds += dt;
            {
                CSection streaming(L"Streaming");
                loader.Collect();
            }
            // A fixed-step loop: the world moves only when a step is due, and
            // a frame is drawn after it unless the loop has fallen behind.
            if (sync.Update(dt)) {
                {
                    CSection simulate(L"Simulate");
                    town.Step(sync.GetFrameTime());
                    ++stats.m_nSteps;
                }
                if (!sync.IsFrameSkip()) {
                    CSection render(L"Render");
                    stats.m_nChecksum += Render(pool, handles);
                    ++stats.m_nFrames;
                }
                stats.m_fStepRate = sync.GetFps();
                sleep = sync.GetSleepTime();
            }
        }
        // Half-way the town's sounds are no longer needed: their reference is
        // released and the pool collects them at the end of the level. A
        // lost device is simulated too: every resource is disabled, restored.
        if (!releasedHalf && stats.m_fSeconds >= seconds / 2) {
            releasedHalf = true;
            for (size_t i = 0; i < assets.size(); ++i) {
                uint32_t handle = handles[i];
                if (assets[i].rfind(L"Sound\\", 0) == 0 && pool.ReleaseRes_Lock(handle))
                    ++stats.m_nReleased;
            }
            pool.Disable();
            pool.Restore();
        }
        if (sleep)
            std::this_thread::sleep_for(std::chrono::milliseconds(sleep));
    }
    return stats;
}

}  // namespace

int main(int argc, char** argv)
{
    // The artist's save of the hot-reload step, in a process of its own.
    if (argc == 4 && std::strcmp(argv[1], "--artist-save") == 0) {
        const std::string base = argv[2], entry = argv[3];
        return RunArtistSave(std::wstring(base.begin(), base.end()), std::wstring(entry.begin(), entry.end()));
    }
    COptions options;
    if (!ParseOptions(argc, argv, options))
        return 2;
    if (options.m_bCrash)
        Crash();

    // Start-up, in the order a game does it.
    OruCoreLogInitialize(5);
    CLogSystem gameLog;
    gameLog.Init(LOG_MODE_FILE, 5, LOG_DIR, L"DemoGame", true, true);
    CLogSystem poolLog;
    poolLog.Init(LOG_MODE_FILE, 5, LOG_DIR, L"DemoResource", true, false);

    CPackReport pack;
    if (!BuildAssetPack(options.m_assets, "demo_stage", PACK_BASE, pack, gameLog) || !BuildPatchPack(PATCH_BASE))
        return 1;
    if (!InitOruPack(PACK_BASE)) {
        std::fprintf(stderr, "oru-demo: cannot open the pack it built\n");
        return 1;
    }
    VerifyAssetPack(options.m_assets, pack, gameLog);
    const CPatchReport patch = ReadThroughPackSet(PACK_BASE, PATCH_BASE);
    const bool patchRead = patch.m_bChanged && patch.m_bAdded && patch.m_bRemoved && patch.m_bKept;

    CGameConfig config;
    std::vector<CNpcSpec> npcs;
    std::vector<std::wstring> assets;
    if (!ReadConfig(gameLog, config) || !ReadMap(L"Map\\Town.xml", gameLog, npcs, assets)) {
        std::fprintf(stderr, "oru-demo: cannot read the game's XML from the pack\n");
        return 1;
    }
    const float seconds = options.m_fSeconds > 0 ? options.m_fSeconds : config.m_fSeconds;

    IResourcePool pool;
    pool.SetLogSystem(&poolLog);
    pool.SetGarbageCollect(true);
    CAssetLoader loader(pool);
    std::vector<uint32_t> handles;
    for (const std::wstring& name : assets) {
        handles.push_back(static_cast<uint32_t>(100 + handles.size()));
        loader.Request(name, handles.back());
    }

    CTown town(npcs);
    gameLog.Log(3, L"%ls", config.m_strGreeting.c_str());
    const CRunStats run = RunLoop(config, seconds, town, pool, loader, assets, handles);

    const CHotReloadReport reload = DemonstrateHotReload(argv[0], PACK_BASE, L"text\\credits.txt");

    // Shut-down: the level's leftovers are collected, the profile written.
    OruThreadTaskManager().WaitUntilFinished();
    loader.Collect();
    pool.GarbageCollect();
    const bool exported = _ProFileExport(PROFILE_PATH);
    _ProFileResult();

    OruDate today{};
    OruGetDateInfo(today);
    char date[16];
    std::snprintf(date, sizeof date, "%04d-%02d-%02d", today.year, today.month, today.day);
    std::printf("oru-demo: %s\n", Narrow(config.m_strGreeting).c_str());
    std::printf("  loop        %d frames and %d game steps in %.2f s: %.1f frames/s, %.0f steps/s "
                "measured (target %d)\n",
                run.m_nFrames, run.m_nSteps, run.m_fSeconds,
                run.m_fSeconds > 0 ? run.m_nFrames / run.m_fSeconds : 0.0f, run.m_fStepRate,
                config.m_nFps);
    std::printf("  pack        %zu entries (%zu wrapped), %llu bytes stored; %llu bytes read back and "
                "checked, %zu mismatches\n",
                pack.m_nEntries, pack.m_nWrapped, static_cast<unsigned long long>(pack.m_nStoredBytes),
                static_cast<unsigned long long>(pack.m_nContentBytes), pack.m_nMismatches);
    std::printf("  patch       base + patch read as one set: text\\intro.txt changed, text\\news.txt added, "
                "sound\\wind.bin removed; %zu entries in the merged view, %s\n",
                patch.m_nMerged, patchRead ? "each read as the patch says" : "NOT AS THE PATCH SAYS");
    std::printf("  hot reload  %s saved again by another process: heard of %d frame%s (%.0f ms) after "
                "the save, %s\n",
                Narrow(reload.m_strEntry).c_str(), reload.m_nFrames, reload.m_nFrames == 1 ? "" : "s", reload.m_fMs,
                reload.m_bReloaded ? "new content read back" : "NOT RELOADED");
    std::printf("  characters  %zu villagers and %zu wolves took %d state transitions\n",
                town.Villagers(), town.Wolves(), town.Transitions());
    std::printf("  tasks       %d assets loaded on the worker thread, %d registered, %d failed\n",
                loader.m_nTasksRun, loader.m_nRegistered, loader.m_nFailed);
    std::printf("  resources   %d released during the level and collected at its end; %d left in "
                "the pool\n",
                run.m_nReleased, CAssetResource::s_nAlive.load());
    std::printf("  logs        ./oru_log/OruCoreLog_%s.txt, DemoGame_%s.txt, DemoResource_%s.txt\n",
                date, date, date);
    std::printf("  profile     table in ./oru_log/ProFileLog_%s.txt; flame graph %s\n", date,
                exported ? "./oru_log/DemoProfile.folded" : "not written");

    COruPack::DeleteInstance();
    const bool clean = pack.m_nMismatches == 0 && loader.m_nFailed == 0 && reload.m_bReloaded && patchRead;
    return clean ? 0 : 1;
}
