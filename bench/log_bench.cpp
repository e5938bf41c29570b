// Lines per second into a file log, flushed after every line, against
// spdlog's basic file sink set to flush after every line. Both write the same
// text with the same kind of prefix and CR LF line ends, so both files end up
// byte for byte the same size; main() checks that every line reached its file.
// Also the cost of a line that the level filters out.

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

void FileLogLine_Ours(benchmark::State& state)
{
    CLogSystem& log = OurLog();
    for (auto _ : state)
        log.Log(3, L"frame %d took %d ms in %ls", 4096, 16, L"main loop");
    s_nOurLines += state.iterations();
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(state.threads() == 1 ? "peer=FileLogLine_Spdlog/real_time goal=1.0"
                                        : "peer=FileLogLine_Spdlog/real_time/threads:4 goal=1.0");
}

void FileLogLine_Spdlog(benchmark::State& state)
{
    spdlog::logger& log = PeerLog();
    for (auto _ : state)
        log.info("frame {} took {} ms in {}", 4096, 16, "main loop");
    s_nPeerLines += state.iterations();
    state.SetItemsProcessed(state.iterations());
}

void FilteredLine_Ours(benchmark::State& state)
{
    CLogSystem& log = OurLog();
    for (auto _ : state)
        log.Log(5, L"frame %d took %d ms in %ls", 4096, 16, L"main loop");
    state.SetLabel("peer=FilteredLine_Spdlog");
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

uintmax_t SizeOf(const std::filesystem::path& path)
{
    std::error_code ec;
    const uintmax_t size = std::filesystem::file_size(path, ec);
    return ec ? 0 : size;
}

// Our file also holds the start banner (3 lines of 79 characters).
bool CheckFiles()
{
    uintmax_t ours = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(DIR, ec))
        if (entry.path().filename().string().starts_with("Bench_"))
            ours += SizeOf(entry.path());
    const uintmax_t expectedOurs =
        s_nOurLines ? 3 * 81 + static_cast<uintmax_t>(s_nOurLines) * LINE_BYTES : 0;
    const uintmax_t expectedPeer = static_cast<uintmax_t>(s_nPeerLines) * LINE_BYTES;
    const uintmax_t peer = SizeOf(PEER_FILE);
    if (ours == expectedOurs && peer == expectedPeer)
        return true;
    std::fprintf(stderr, "log_bench: lines lost: ours %ju bytes (expected %ju), peer %ju (expected %ju)\n",
                 ours, expectedOurs, peer, expectedPeer);
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
