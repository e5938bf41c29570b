#include <oru/timing/profiler.h>

#include "support/fake_clock.h"
#include "platform/thread_id.h"
#include "timing/profiler_timeline.h"
#include "support/file_bytes.h"
#include "support/file_size_limit.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using nlohmann::json;
using oru::test::Slurp;

// A complete event as a viewer reads it.
struct CEvent {
    std::string m_strName;
    double m_dBegin;  // microseconds
    double m_dDuration;
    long m_nThread;
};

// Exports the timeline and reads it back with an outside JSON parser. Every
// event must be a complete one of this process; false when the export failed
// or the document is not what a viewer can open.
bool ExportAndRead(const std::string& path, std::vector<CEvent>& events)
{
    std::filesystem::remove(path);
    if (!_ProFileExportTimeline(std::wstring(path.begin(), path.end())))
        return false;
    const json document = json::parse(Slurp(path), nullptr, false);
    std::filesystem::remove(path);
    if (document.is_discarded() || !document.contains("traceEvents"))
        return false;
    events.clear();
    for (const json& event : document["traceEvents"]) {
        if (event.at("pid") != oru::platform::CurrentProcessId())
            return false;
        if (event.at("ph") == "M")
            continue;
        if (event.at("ph") != "X")
            return false;
        events.push_back({event.at("name"), event.at("ts"), event.at("dur"), event.at("tid")});
    }
    return true;
}

// Within one thread, any two events are either apart or one holds the other.
bool NestPerThread(const std::vector<CEvent>& events)
{
    for (const CEvent& a : events)
        for (const CEvent& b : events) {
            if (&a == &b || a.m_nThread != b.m_nThread)
                continue;
            const double aEnd = a.m_dBegin + a.m_dDuration, bEnd = b.m_dBegin + b.m_dDuration;
            const bool apart = aEnd <= b.m_dBegin || bEnd <= a.m_dBegin;
            const bool aHoldsB = a.m_dBegin <= b.m_dBegin && bEnd <= aEnd;
            const bool bHoldsA = b.m_dBegin <= a.m_dBegin && aEnd <= bEnd;
            if (!apart && !aHoldsB && !bHoldsA)
                return false;
        }
    return true;
}

// "name begin+duration" for the events of one thread, in file order.
std::vector<std::string> Lines(const std::vector<CEvent>& events, long thread)
{
    std::vector<std::string> lines;
    for (const CEvent& event : events) {
        if (event.m_nThread != thread)
            continue;
        char line[160];
        std::snprintf(line, sizeof line, "%s %g+%g", event.m_strName.c_str(), event.m_dBegin,
                      event.m_dDuration);
        lines.push_back(line);
    }
    return lines;
}

class ProFileTimeline : public ::testing::Test {
protected:
    void SetUp() override
    {
        CSingleton<CProFiler>::DeleteInstance();
        _ProFileExecute(true);
    }
    void TearDown() override { CSingleton<CProFiler>::DeleteInstance(); }

    std::vector<std::string> FrameThreadLines()
    {
        std::vector<CEvent> events;
        if (!ExportAndRead("timeline.json", events))
            return {"(no export)"};
        EXPECT_TRUE(NestPerThread(events));
        return Lines(events, oru::platform::CurrentThreadId());
    }

    oru::test::CFakeClock m_Clock;  // one tick per microsecond
};

// One step of a scripted frame: begin or end a section, let time pass, turn
// the capture on (with a frame count) or off, or switch profiling off.
struct CStep {
    char m_cWhat;  // 'B', 'E', 'W' (wait), 'C' (capture), 'P' (profiling off)
    const wchar_t* m_szName;
    int m_nValue;
};

struct CScript {
    const char* m_szWhat;
    std::vector<CStep> m_vecSteps;
    std::vector<std::string> m_vecExpected;  // the frame thread's events
};

constexpr CStep B(const wchar_t* name) { return {'B', name, 0}; }
constexpr CStep E(const wchar_t* name) { return {'E', name, 0}; }
constexpr CStep W(int ticks) { return {'W', nullptr, ticks}; }
constexpr CStep C(int frames) { return {'C', nullptr, frames}; }

TEST_F(ProFileTimeline, RecordsSectionsByTheProfilersRules)
{
    const std::vector<CScript> scripts = {
        {"keeps the last frames, times from the first kept one",
         {C(2),
          B(L"Root"), W(1), B(L"A"), W(2), E(L"A"), E(L"Root"),
          W(10), B(L"Root"), W(3), B(L"A"), W(4), B(L"B"), W(5), E(L"B"), E(L"A"), B(L"C"), W(6), E(L"C"), E(L"Root"),
          W(10), B(L"Root"), W(7), E(L"Root")},
         {"Root 0+18", "A 3+9", "B 7+5", "C 12+6", "Root 28+7"}},
        {"an end that does not name the open section records nothing",
         {C(4), B(L"Root"), B(L"A"), W(5), E(L"B"), E(L"Root"), W(5), E(L"A"), E(L"Root")},
         {"Root 0+10", "A 0+10"}},
        {"beginning Root ends the sections still open",
         {C(4), B(L"Root"), B(L"A"), W(5), B(L"B"), W(5), B(L"Root"), W(1), E(L"Root")},
         {"Root 0+10", "A 0+10", "B 5+5", "Root 10+1"}},
        {"sections outside Root are not recorded",
         {C(4), B(L"A"), W(5), E(L"A"), B(L"Root"), W(2), E(L"Root"), B(L"Late"), W(1), E(L"Late")},
         {"Root 0+2"}},
        {"turned on mid-frame, the capture starts at the next Root",
         {B(L"Root"), B(L"A"), C(4), W(5), E(L"A"), E(L"Root"), B(L"Root"), W(2), E(L"Root")},
         {"Root 0+2"}},
        {"turned off mid-frame, the capture keeps the frames ended before",
         {C(4), B(L"Root"), W(3), E(L"Root"), B(L"Root"), B(L"A"), C(0), W(2), E(L"A"), E(L"Root")},
         {"Root 0+3"}},
        {"with profiling off nothing is recorded",
         {C(4), B(L"Root"), W(3), E(L"Root"), {'P', nullptr, 0}, B(L"Root"), W(2), E(L"Root")},
         {"Root 0+3"}},
        {"the result ends the sections still open",
         {C(4), B(L"Root"), B(L"A"), W(4), {'R', nullptr, 0}},
         {"Root 0+4", "A 0+4"}},
    };
    for (const CScript& script : scripts) {
        SCOPED_TRACE(script.m_szWhat);
        CSingleton<CProFiler>::DeleteInstance();
        _ProFileExecute(true);
        for (const CStep& step : script.m_vecSteps) {
            switch (step.m_cWhat) {
            case 'B': _ProFileBegin(step.m_szName); break;
            case 'E': _ProFileEnd(step.m_szName); break;
            case 'W': m_Clock.AdvanceCounter(step.m_nValue); break;
            case 'C': EXPECT_TRUE(_ProFileTimeline(step.m_nValue)); break;
            case 'P': _ProFileExecute(false); break;
            case 'R': _ProFileResult(); break;
            }
        }
        EXPECT_EQ(FrameThreadLines(), script.m_vecExpected);
    }
}

TEST_F(ProFileTimeline, OtherThreadsRecordOnTracksOfTheirOwnAndStayOutOfTheTree)
{
    ASSERT_TRUE(_ProFileTimeline(4));
    long workerId = 0;
    _ProFileBegin(L"Root");
    m_Clock.AdvanceCounter(10);
    _ProFileBegin(L"Wait");
    std::thread([&] {
        workerId = oru::platform::CurrentThreadId();
        _ProFileBegin(L"Job");
        m_Clock.AdvanceCounter(5);
        _ProFileBegin(L"Wait");  // the frame thread's open section, on another thread
        m_Clock.AdvanceCounter(5);
        _ProFileEnd(L"Job");     // not the open one: ignored
        _ProFileEnd(L"Wait");
        _ProFileBegin(L"Root");  // no frame: just a section that ends the open ones
        m_Clock.AdvanceCounter(2);
        _ProFileEnd(L"Root");
        _ProFileBegin(L"Unfinished");
    }).join();
    m_Clock.AdvanceCounter(3);
    _ProFileEnd(L"Wait");
    _ProFileEnd(L"Root");

    std::vector<CEvent> events;
    ASSERT_TRUE(ExportAndRead("timeline.json", events));
    EXPECT_TRUE(NestPerThread(events));
    EXPECT_EQ(Lines(events, oru::platform::CurrentThreadId()),
              (std::vector<std::string>{"Root 0+25", "Wait 10+15"}));
    EXPECT_EQ(Lines(events, workerId),
              (std::vector<std::string>{"Job 10+10", "Wait 15+5", "Root 20+2"}));

    // The table and the folded export still describe the frame thread alone.
    ASSERT_TRUE(_ProFileExport(L"profile.folded"));
    EXPECT_EQ(Slurp("profile.folded"), "Root 10\nRoot;Wait 15\n");
    std::filesystem::remove("profile.folded");

    // Off again, the other thread still keeps off the tree.
    ASSERT_TRUE(_ProFileTimeline(0));
    std::thread([] {
        _ProFileBegin(L"Root");
        _ProFileBegin(L"Stray");
        _ProFileEnd(L"Stray");
        _ProFileEnd(L"Root");
    }).join();
    ASSERT_TRUE(_ProFileExport(L"profile.folded"));
    EXPECT_EQ(Slurp("profile.folded"), "Root 10\nRoot;Wait 15\n");
    std::filesystem::remove("profile.folded");
}

// 3 frames of 4 marks each fit the ring exactly; a frame of 22 marks cannot.
TEST_F(ProFileTimeline, KeepsOnlyWholeFramesWhenTheRingWraps)
{
    ASSERT_TRUE(GetProFiler().CaptureTimeline(3, 4));
    for (int frame = 0; frame < 10; ++frame) {
        _ProFileBegin(L"Root");
        _ProFileBegin(L"A");
        m_Clock.AdvanceCounter(frame);
        _ProFileEnd(L"A");
        _ProFileEnd(L"Root");
    }
    EXPECT_EQ(FrameThreadLines(),
              (std::vector<std::string>{"Root 0+7", "A 0+7", "Root 7+8", "A 7+8", "Root 15+9", "A 15+9"}));

    _ProFileBegin(L"Root");
    for (int section = 0; section < 10; ++section) {
        _ProFileBegin(L"Busy");
        _ProFileEnd(L"Busy");
    }
    _ProFileEnd(L"Root");
    EXPECT_EQ(FrameThreadLines(), (std::vector<std::string>{"(no export)"}));

    _ProFileBegin(L"Root");
    m_Clock.AdvanceCounter(1);
    _ProFileEnd(L"Root");
    EXPECT_EQ(FrameThreadLines(), (std::vector<std::string>{"Root 0+1"}));
}

TEST_F(ProFileTimeline, WritesNamesAsJsonStrings)
{
    const std::vector<std::pair<std::wstring, std::string>> names = {
        {L"quote \" and backslash \\", "quote \" and backslash \\"},
        {L"line\nbreak\ttab\x01", "line\nbreak\ttab\x01"},
        {L"\xD55C\xAE00 \U0001F3AE", "\xED\x95\x9C\xEA\xB8\x80 \xF0\x9F\x8E\xAE"},
        {std::wstring(1, wchar_t(0xD800)), "\xEF\xBF\xBD"},  // not a character: U+FFFD
    };
    ASSERT_TRUE(_ProFileTimeline(1));
    _ProFileBegin(L"Root");
    for (const auto& [name, utf8] : names) {
        _ProFileBegin(name);
        _ProFileEnd(name);
    }
    _ProFileEnd(L"Root");

    std::vector<CEvent> events;
    ASSERT_TRUE(ExportAndRead("timeline.json", events));
    ASSERT_EQ(events.size(), names.size() + 1);
    for (size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(events[i + 1].m_strName, names[i].second);
}

TEST_F(ProFileTimeline, RefusesFiguresOutOfRangeAndExportsOnlyWholeFrames)
{
    EXPECT_FALSE(_ProFileExportTimeline(L"timeline.json"));  // never captured
    for (const auto& [frames, events] : std::vector<std::pair<int, int>>{
             {-1, 10}, {1, 0}, {100001, 1}, {1, (1 << 20) + 1}, {100000, 1 << 20}}) {
        EXPECT_FALSE(GetProFiler().CaptureTimeline(frames, events)) << frames << " " << events;
    }
    _ProFileBegin(L"Root");
    _ProFileEnd(L"Root");
    EXPECT_FALSE(_ProFileExportTimeline(L"timeline.json"));  // the refusals left it off

    ASSERT_TRUE(_ProFileTimeline(2));
    _ProFileBegin(L"Root");
    EXPECT_FALSE(_ProFileExportTimeline(L"timeline.json"));  // the frame is not whole yet
    _ProFileEnd(L"Root");
    EXPECT_FALSE(_ProFileExportTimeline(L"no-such-folder/timeline.json"));
    EXPECT_FALSE(_ProFileExportTimeline(L""));
    ASSERT_TRUE(_ProFileExportTimeline(L"timeline.json"));

    // On a full disk the export fails and the last file stays whole.
    const std::string before = Slurp("timeline.json");
    _ProFileBegin(L"Root");
    _ProFileBegin(L"A longer frame");
    _ProFileEnd(L"A longer frame");
    _ProFileEnd(L"Root");
    EXPECT_TRUE(oru::test::InChildWithFileSizeLimit(
        before.size(), [] {
            oru::test::DiskFullFromHere();
            return !_ProFileExportTimeline(L"timeline.json");
        }));
    EXPECT_EQ(Slurp("timeline.json"), before);
    std::filesystem::remove("timeline.json");
}

// The system clock, a frame thread that now and then starts a fresh capture,
// two threads profiling jobs, one that starts short threads, and an export
// running all along. Every export must parse and nest, hold no more frames
// than kept, and name no more threads than the capture has tracks for.
TEST(ProFileTimelineThreads, ExportsWhileOtherThreadsProfile)
{
    CSingleton<CProFiler>::DeleteInstance();
    _ProFileExecute(true);
    constexpr int FRAMES_KEPT = 8;
    ASSERT_TRUE(_ProFileTimeline(FRAMES_KEPT));
    std::atomic<bool> stop{false};
    std::atomic<int> exports{0};
    std::atomic<int> faults{0};

    auto jobs = [&] {
        const std::wstring job = L"Job", step = L"Step";
        while (!stop.load()) {
            _ProFileBegin(job);
            _ProFileBegin(step);
            _ProFileEnd(step);
            _ProFileEnd(job);
        }
    };
    std::vector<std::thread> threads;
    threads.emplace_back(jobs);
    threads.emplace_back(jobs);
    threads.emplace_back([&] {
        while (!stop.load())
            std::thread([] {
                _ProFileBegin(L"Short");
                _ProFileEnd(L"Short");
            }).join();
    });
    threads.emplace_back([&] {
        const std::string path = "concurrent.json";
        while (!stop.load() || exports.load() == 0) {
            std::vector<CEvent> events;
            if (!ExportAndRead(path, events))
                continue;
            std::set<long> threadIds;
            int frames = 0;
            for (const CEvent& event : events) {
                threadIds.insert(event.m_nThread);
                frames += event.m_strName == "Root";
            }
            if (!NestPerThread(events) || frames < 1 || frames > FRAMES_KEPT || threadIds.size() > 64)
                ++faults;
            ++exports;
        }
    });

    const std::wstring root = L"Root", update = L"Update", draw = L"Draw";
    for (int frame = 0; frame < 2000 || (exports.load() < 3 && frame < 1000000); ++frame) {
        _ProFileBegin(root);
        _ProFileBegin(update);
        _ProFileEnd(update);
        _ProFileBegin(draw);
        if (frame % 500 == 250 && frame < 2000) {  // off and on mid-frame: a fresh capture
            EXPECT_TRUE(_ProFileTimeline(0));
            EXPECT_TRUE(_ProFileTimeline(FRAMES_KEPT));
        }
        _ProFileEnd(draw);
        _ProFileEnd(root);
    }
    stop = true;
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(faults.load(), 0);

    std::vector<CEvent> events;
    ASSERT_TRUE(ExportAndRead("final.json", events));
    int frames = 0;
    for (const CEvent& event : events)
        frames += event.m_strName == "Root" && event.m_nThread == oru::platform::CurrentThreadId();
    EXPECT_EQ(frames, FRAMES_KEPT);
    CSingleton<CProFiler>::DeleteInstance();
}

// A thread that ends after the profiler is gone gives nothing back to it.
TEST(ProFileTimelineThreads, AThreadMayOutliveTheProfiler)
{
    CSingleton<CProFiler>::DeleteInstance();
    _ProFileExecute(true);
    ASSERT_TRUE(_ProFileTimeline(2));
    std::atomic<int> stage{0};
    std::thread worker([&] {
        _ProFileBegin(L"Job");
        _ProFileEnd(L"Job");
        stage = 1;
        while (stage.load() != 2)
            std::this_thread::yield();
    });
    while (stage.load() != 1)
        std::this_thread::yield();
    CSingleton<CProFiler>::DeleteInstance();
    stage = 2;
    worker.join();
}

// Names made from a pattern differ in a few characters anywhere; each must
// count, or thousands of names share one probe chain.
TEST(ProFileTimelineNames, SameShapedNamesSpreadOverTheHash)
{
    for (const wchar_t* shape : {L"Spawn #%d", L"%d Spawn", L"Spawn %d of the wave"}) {
        std::set<uint32_t> hashes;
        for (int i = 0; i < 8000; ++i) {
            wchar_t name[64];
            std::swprintf(name, 64, shape, i);
            hashes.insert(oru::detail::TimelineNameHash(name) & 0xFFFF);
        }
        EXPECT_GT(hashes.size(), 7000u) << "shape " << shape;
    }
}

// A frame per unique name, far more frames than kept: the names held stay
// in proportion to the kept frames, and the kept frames keep their names
// through every renumbering.
TEST(ProFileTimelineNames, NamesThatDoNotRepeatAreShedOnceNoKeptFrameUsesThem)
{
    oru::test::CFakeClock clock;
    oru::detail::CProFileTimeline timeline;
    ASSERT_TRUE(timeline.Start(3, 8));
    size_t mostHeld = 0;
    for (int frame = 0; frame < 20000; ++frame) {
        const std::wstring name = L"Spawn #" + std::to_wstring(frame);
        timeline.Begin(L"Root", 2 * frame);
        timeline.Begin(name, 2 * frame);
        timeline.End(name, 2 * frame + 1);
        timeline.End(L"Root", 2 * frame + 1);
        mostHeld = std::max(mostHeld, timeline.NamesHeld());
    }
    EXPECT_LE(mostHeld, 1024u + 1);
    ASSERT_TRUE(timeline.Export("timeline.json"));
    const json document = json::parse(Slurp("timeline.json"));
    std::filesystem::remove("timeline.json");
    std::vector<std::string> names;
    for (const json& event : document["traceEvents"])
        if (event.at("ph") == "X")
            names.push_back(event.at("name"));
    EXPECT_EQ(names, (std::vector<std::string>{"Root", "Spawn #19997", "Root", "Spawn #19998", "Root",
                                               "Spawn #19999"}));
}

}  // namespace
