// Lines per second into a file log, flushed after every line, against
// spdlog's basic file sink set to flush after every line. Both write the same
// text with the same kind of prefix and CR LF line ends, so both files end up
// byte for byte the same size; main() checks that every line reached its file.
// Also the cost of a line that the level filters out. Both kinds of line are
// measured again against a log whose flight recorder (the ring of recent
// lines a crash report reads) is off: what keeping a line in the ring costs.

#include <oru/log/log_system.h>

#include <benchmark/benchmark.h>
#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

namespace {

const char* const DIR = "log_bench_out";
const wchar_t* const WDIR = L"log_bench_out";
const char* const PEER_FILE = "log_bench_out/peer.txt";
// "Lv3_[HH:MM:SS] : frame 4096 took 16 ms in main loop" and CR LF.
constexpr size_t LINE_BYTES = 17 + 34 + 2;

std::atomic<int64_t> s_nOurLines{0};
std::atomic<int64_t> s_nUnrecordedLines{0};
std::atomic<int64_t> s_nPeerLines{0};

CLogSystem& OurLog()
{
    static CLogSystem* s_pLog = [] {
        auto* pLog = new CLogSystem;
        pLog->Init(LOG_MODE_FILE, 3, WDIR, L"Bench", true, false);
        return pLog;
    }();
    return *s_pLog;
}

CLogSystem& UnrecordedLog()
{
    static CLogSystem* s_pLog = [] {
        auto* pLog = new CLogSystem;
        pLog->SetRecentLines(0);
        pLog->Init(LOG_MODE_FILE, 3, WDIR, L"Unrecorded", true, false);
        return pLog;
    }();
    return *s_pLog;
}

spdlog::logger& PeerLog()
{
    static std::shared_ptr<spdlog::logger> s_pLog = [] {
        auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(PEER_FILE, true);
        auto pLog = std::make_shared<spdlog::logger>("bench", sink);
        pLog->set_formatter(std::make_unique<spdlog::pattern_formatter>(
            "Lv3_[%H:%M:%S] : %v", spdlog::pattern_time_type::local, "\r\n"));
        pLog->set_level(spdlog::level::info);
        pLog->flush_on(spdlog::level::trace);  // every line
        return pLog;
    }();
    return *s_pLog;
}

void FileLogLines(benchmark::State& state, CLogSystem& log, std::atomic<int64_t>& lines)
{
    for (auto _ : state)
        log.Log(3, L"frame %d took %d ms in %ls", 4096, 16, L"main loop");
    lines += state.iterations();
    state.SetItemsProcessed(state.iterations());
}

void FileLogLine_Ours(benchmark::State& state)
{
    FileLogLines(state, OurLog(), s_nOurLines);
    state.SetLabel(state.threads() == 1 ? "peer=FileLogLine_Spdlog/real_time goal=1.0"
                                        : "peer=FileLogLine_Spdlog/real_time/threads:4 goal=1.0");
}

// Keeping a written line in the ring may cost at most 5 %.
void FileLogLine_Recorded(benchmark::State& state)
{
    FileLogLines(state, OurLog(), s_nOurLines);
    state.SetLabel("peer=FileLogLine_Unrecorded/real_time goal=0.95");
}

void FileLogLine_Unrecorded(benchmark::State& state)
{
    FileLogLines(state, UnrecordedLog(), s_nUnrecordedLines);
}

void FileLogLine_Spdlog(benchmark::State& state)
{
    spdlog::logger& log = PeerLog();
    for (auto _ : state)
        log.info("frame {} took {} ms in {}", 4096, 16, "main loop");
    s_nPeerLines += state.iterations();
    state.SetItemsProcessed(state.iterations());
}

void FilteredLines(benchmark::State& state, CLogSystem& log)
{
    for (auto _ : state)
        log.Log(5, L"frame %d took %d ms in %ls", 4096, 16, L"main loop");
    state.SetItemsProcessed(state.iterations());
}

void FilteredLine_Ours(benchmark::State& state)
{
    FilteredLines(state, OurLog());
    state.SetLabel("peer=FilteredLine_Spdlog");
}

// A filtered line kept in the ring, unformatted: at most 20 ns more than the
// same line with the ring off (a time difference, so no ratio goal).
void FilteredLine_Recorded(benchmark::State& state)
{
    FilteredLines(state, OurLog());
    state.SetLabel("peer=FilteredLine_Unrecorded");
}

void FilteredLine_Unrecorded(benchmark::State& state)
{
    FilteredLines(state, UnrecordedLog());
}

void FilteredLine_Spdlog(benchmark::State& state)
{
    spdlog::logger& log = PeerLog();
    for (auto _ : state)
        log.debug("frame {} took {} ms in {}", 4096, 16, "main loop");
}

BENCHMARK(FileLogLine_Ours)->UseRealTime();
BENCHMARK(FileLogLine_Spdlog)->UseRealTime();
BENCHMARK(FileLogLine_Ours)->UseRealTime()->Threads(4);
BENCHMARK(FileLogLine_Spdlog)->UseRealTime()->Threads(4);
BENCHMARK(FilteredLine_Ours);
BENCHMARK(FilteredLine_Spdlog);
BENCHMARK(FileLogLine_Recorded)->UseRealTime();
BENCHMARK(FileLogLine_Unrecorded)->UseRealTime();
BENCHMARK(FilteredLine_Recorded);
BENCHMARK(FilteredLine_Unrecorded);

uintmax_t SizeOf(const std::filesystem::path& path)
{
    std::error_code ec;
    const uintmax_t size = std::filesystem::file_size(path, ec);
    return ec ? 0 : size;
}

uintmax_t SizeOfLog(const char* prefix)
{
    uintmax_t size = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(DIR, ec))
        if (entry.path().filename().string().starts_with(prefix))
            size += SizeOf(entry.path());
    return size;
}

// Each of our files also holds the start banner (3 lines of 79 characters).
uintmax_t ExpectedSize(int64_t lines)
{
    return lines ? 3 * 81 + static_cast<uintmax_t>(lines) * LINE_BYTES : 0;
}

bool CheckFiles()
{
    const uintmax_t ours = SizeOfLog("Bench_");
    const uintmax_t unrecorded = SizeOfLog("Unrecorded_");
    const uintmax_t expectedPeer = static_cast<uintmax_t>(s_nPeerLines) * LINE_BYTES;
    const uintmax_t peer = SizeOf(PEER_FILE);
    if (ours == ExpectedSize(s_nOurLines) && unrecorded == ExpectedSize(s_nUnrecordedLines) &&
        peer == expectedPeer)
        return true;
    std::fprintf(stderr,
                 "log_bench: lines lost: ours %ju bytes (expected %ju), without the recorder %ju "
                 "(expected %ju), peer %ju (expected %ju)\n",
                 ours, ExpectedSize(s_nOurLines), unrecorded, ExpectedSize(s_nUnrecordedLines), peer,
                 expectedPeer);
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    std::error_code ec;
    std::filesystem::remove_all(DIR, ec);
    std::filesystem::create_directory(DIR, ec);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const bool ok = CheckFiles();
    std::filesystem::remove_all(DIR, ec);
    return ok ? 0 : 1;
}
