// orupack against tar on a real tree: creating a pack from a copy of
// /usr/include and extracting it again, both tools run as programs into the
// page cache. And adding 1 000 files to a pack of 100 000 entries through the
// library, which is what a pack-building tool does on every change. And
// reading every file of the tree through `orupack mount` against reading the
// extracted tree from the page cache, as `cat` of the whole tree does.
//
// The tree is copied once, keeping regular files only and one of any names
// that differ only in case (a pack folds names to lower case), so both tools
// handle the same files. Every run is checked afterwards: the pack verifies
// and holds every file, the extracted trees match the source byte for byte.

#include <oru/pack/oru_pack.h>

#include "pack/pack_format.h"

#include "run_program.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <zlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>
#include <atomic>
#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using oru::bench::ORUPACK;
using oru::bench::Require;
using oru::bench::RunQuiet;

namespace fs = std::filesystem;

constexpr uint32_t SECTOR_SIZE = 512;
constexpr uint32_t BASE_ENTRIES = 100000;
constexpr int ADDED_FILES = 1000;
constexpr size_t ADDED_BYTES = 1000;



std::string Slurp(const fs::path& path)
{
    std::string bytes;
    std::FILE* pFile = std::fopen(path.c_str(), "rb");
    if (!pFile)
        return "(missing)";
    char buffer[65536];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pFile)) > 0)
        bytes.append(buffer, got);
    std::fclose(pFile);
    return bytes;
}

std::string Lower(std::string text)
{
    for (char& ch : text)
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return text;
}

// The prepared tree, the files made from it, and where runs put theirs.
struct CTreeFixture {
    fs::path m_root;
    fs::path m_tree;
    std::vector<std::string> m_vecFiles;  // relative, lower case
    uint64_t m_nBytes = 0;

    CTreeFixture()
    {
        m_root = fs::current_path() / "orupack_bench_work";
        fs::remove_all(m_root);
        m_tree = m_root / "tree";
        std::set<std::string> seen;
        for (auto it = fs::recursive_directory_iterator("/usr/include");
             it != fs::recursive_directory_iterator(); ++it) {
            if (it->is_symlink() || !it->is_regular_file())
                continue;
            // Stored names are lower case; copying under that name keeps the
            // extracted tree comparable with the source.
            const std::string relative =
                Lower(it->path().lexically_relative("/usr/include").generic_string());
            if (!seen.insert(relative).second)
                continue;
            fs::create_directories((m_tree / relative).parent_path());
            fs::copy_file(it->path(), m_tree / relative);
            m_vecFiles.push_back(relative);
            m_nBytes += it->file_size();
        }
    }
    ~CTreeFixture()
    {
        std::error_code ec;
        fs::remove_all(m_root, ec);
    }

    std::string Path(const char* name) const { return (m_root / name).string(); }

    void CheckExtracted(const fs::path& out) const
    {
        for (const std::string& relative : m_vecFiles)
            Require(Slurp(out / relative) == Slurp(m_tree / relative), "extracted " + relative);
    }
};

CTreeFixture& Tree()
{
    static CTreeFixture s_tree;
    return s_tree;
}


// False, with the run skipped, when there is no orupack to run.
bool OrupackBuilt(benchmark::State& state)
{
    if (ORUPACK.empty())
        state.SkipWithError("orupack was not built");
    return !ORUPACK.empty();
}

void SetTreeCounters(benchmark::State& state)
{
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * Tree().m_vecFiles.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Tree().m_nBytes));
}

// Each run starts from the same state: the previous output removed, and
// every dirty page written back, so that no run pays for the writeback of
// the one before it (each writes well over 100 MB).
template <class Prepare, class F>
void TimedRuns(benchmark::State& state, Prepare prepare, F run)
{
    for (auto _ : state) {
        state.PauseTiming();
        prepare();
        sync();
        state.ResumeTiming();
        run();
    }
}

void OrupackCreate(benchmark::State& state, bool compress)
{
    if (!OrupackBuilt(state))
        return;
    const CTreeFixture& tree = Tree();
    const std::string pack = tree.Path("pack");
    std::vector<std::string> create = {ORUPACK, "create", pack, tree.m_tree.string()};
    if (compress)
        create.push_back("--compress");
    TimedRuns(
        state, [&] { fs::remove(pack + ".odx"), fs::remove(pack + ".opk"); },
        [&] { Require(RunQuiet(create) == 0, "orupack create"); });
    Require(RunQuiet({ORUPACK, "verify", pack}) == 0, "orupack verify");
    COruPack check;
    Require(check.OpenOruPack(std::wstring(pack.begin(), pack.end()), ORU_PACK_MODE_READ, SECTOR_SIZE) &&
                check.GetFileList()->size() == tree.m_vecFiles.size(),
            "every file in the pack");
    SetTreeCounters(state);
    state.SetLabel(compress ? "peer=TarCreate/Gzip/min_time:3.000/real_time goal=1.5"
                            : "peer=TarCreate/Plain/min_time:3.000/real_time goal=1.0");
}

// tar of the tree, plain or through a compressor (`tar czf`, or pigz on
// every core as a second anchor).
void TarCreate(benchmark::State& state, const char* compressor)
{
    const CTreeFixture& tree = Tree();
    const std::string archive = tree.Path("tree.tar");
    std::vector<std::string> args = {"tar", "-cf", archive, "-C", tree.m_tree.string(), "."};
    if (compressor)
        args.insert(args.begin() + 1, {"-I", compressor});
    if (compressor && RunQuiet({"sh", "-c", std::string("command -v ") + compressor}) != 0) {
        state.SkipWithError("the compressor is not installed");
        return;
    }
    TimedRuns(
        state, [&] { fs::remove(archive); }, [&] { Require(RunQuiet(args) == 0, "tar -cf"); });
    Require(compressor || fs::file_size(archive) > tree.m_nBytes, "tar holds the tree");
    SetTreeCounters(state);
}

// Extracts into a fresh folder each time.
template <class F>
void ExtractLoop(benchmark::State& state, const fs::path& out, F extract)
{
    TimedRuns(
        state,
        [&] {
            fs::remove_all(out);
            fs::create_directories(out);
        },
        extract);
    Tree().CheckExtracted(out);
    SetTreeCounters(state);
}

void OrupackExtract(benchmark::State& state)
{
    if (!OrupackBuilt(state))
        return;
    const CTreeFixture& tree = Tree();
    const std::string pack = tree.Path("extract-pack");
    Require(RunQuiet({ORUPACK, "create", pack, tree.m_tree.string()}) == 0, "orupack create");
    const fs::path out = tree.m_root / "out-orupack";
    ExtractLoop(state, out, [&] {
        Require(RunQuiet({ORUPACK, "extract", pack, out.string()}) == 0, "orupack extract");
    });
    state.SetLabel("peer=TarExtract/min_time:3.000/real_time goal=1.0");
}

void TarExtract(benchmark::State& state)
{
    const CTreeFixture& tree = Tree();
    const std::string archive = tree.Path("extract.tar");
    Require(RunQuiet({"tar", "-cf", archive, "-C", tree.m_tree.string(), "."}) == 0, "tar -cf");
    const fs::path out = tree.m_root / "out-tar";
    ExtractLoop(state, out, [&] {
        Require(RunQuiet({"tar", "-xf", archive, "-C", out.string()}) == 0, "tar -xf");
    });
}

// A pack of BASE_ENTRIES one-sector entries, written straight from the
// layout; its data file is sparse, since the additions never read the old
// sectors.
struct CBigPack {
    std::string m_strBase;
    std::string m_index;
    fs::path m_sources;

    CBigPack()
    {
        const fs::path root = fs::current_path() / "orupack_bench_big";
        fs::remove_all(root);
        fs::create_directories(root / "src" / "new");
        m_strBase = (root / "pack").string();
        m_sources = root / "src";

        const _oru_pack_header header{1, SECTOR_SIZE, BASE_ENTRIES, BASE_ENTRIES * (SECTOR_SIZE + 8),
                                      BASE_ENTRIES, BASE_ENTRIES * 100};
        m_index.append(reinterpret_cast<const char*>(&header), sizeof header);
        for (uint32_t i = 0; i < BASE_ENTRIES; ++i) {
            char name[48];
            std::snprintf(name, sizeof name, "level%03u\\asset%06u.dat", i / 1000, i);
            const std::string narrow(name);
            Require(oru::detail::EncodeName(std::wstring(narrow.begin(), narrow.end()), m_index),
                    "name");
            const _oru_pack_file_info info{100, i, 1, 0, 0, 0};
            m_index.append(reinterpret_cast<const char*>(&info), sizeof info);
        }
        oru::detail::PackUsageTable(std::vector<uint8_t>(BASE_ENTRIES, 1), m_index);

        const std::string content(ADDED_BYTES, 'n');
        for (int i = 0; i < ADDED_FILES; ++i) {
            std::ofstream out(m_sources / "new" / ("file" + std::to_string(i) + ".bin"),
                              std::ios::binary);
            out << content;
        }
    }

    void Reset() const
    {
        std::ofstream(m_strBase + ".odx", std::ios::binary | std::ios::trunc) << m_index;
        std::ofstream(m_strBase + ".opk", std::ios::binary | std::ios::trunc).close();
        fs::resize_file(m_strBase + ".opk", uint64_t{BASE_ENTRIES} * (SECTOR_SIZE + 8));
    }
};

void PackAdd1000To100000(benchmark::State& state)
{
    static const CBigPack s_pack;
    const std::wstring base(s_pack.m_strBase.begin(), s_pack.m_strBase.end());
    const std::string sources = s_pack.m_sources.string() + "/";
    std::vector<std::wstring> names;
    for (int i = 0; i < ADDED_FILES; ++i)
        names.push_back(L"new\\file" + std::to_wstring(i) + L".bin");
    for (auto _ : state) {
        state.PauseTiming();
        s_pack.Reset();
        state.ResumeTiming();
        COruPack pack;
        Require(pack.OpenOruPack(base, ORU_PACK_MODE_WRITE, SECTOR_SIZE), "open the big pack");
        pack.SetWorkDir(std::wstring(sources.begin(), sources.end()));
        for (const std::wstring& name : names)
            Require(pack.AddFile(name), "add");
        pack.CloseOruPack();
    }
    COruPack check;
    Require(check.OpenOruPack(base, ORU_PACK_MODE_READ, SECTOR_SIZE) &&
                check.GetFileList()->size() == BASE_ENTRIES + ADDED_FILES &&
                check.GetPackInfo()->sector_count == BASE_ENTRIES + ADDED_FILES * 2,
            "the additions were saved");
    state.SetItemsProcessed(state.iterations() * ADDED_FILES);
}

// Reads every file of the tree under `root` in 128 KiB pieces, as cat does;
// the CRC-32 of all of it, so that a run that read wrong bytes is caught.
uLong CatTree(const fs::path& root)
{
    static std::vector<unsigned char> s_buffer(128 * 1024);
    uLong crc = crc32(0, nullptr, 0);
    for (const std::string& relative : Tree().m_vecFiles) {
        const int fd = open((root / relative).c_str(), O_RDONLY | O_CLOEXEC);
        Require(fd >= 0, "open " + relative);
        ssize_t got = 0;
        while ((got = read(fd, s_buffer.data(), s_buffer.size())) > 0)
            crc = crc32(crc, s_buffer.data(), static_cast<uInt>(got));
        close(fd);
        Require(got == 0, "read " + relative);
    }
    return crc;
}

uLong TreeCrc()
{
    static const uLong s_crc = CatTree(Tree().m_tree);
    return s_crc;
}

void TreeCat(benchmark::State& state)
{
    if (!OrupackBuilt(state))
        return;
    const CTreeFixture& tree = Tree();
    const std::string pack = tree.Path("cat-pack");
    const fs::path out = tree.m_root / "out-cat";
    fs::remove_all(out);
    Require(RunQuiet({ORUPACK, "create", pack, tree.m_tree.string()}) == 0 &&
                RunQuiet({ORUPACK, "extract", pack, out.string()}) == 0,
            "orupack create and extract");
    CatTree(out);  // into the page cache
    for (auto _ : state)
        Require(CatTree(out) == TreeCrc(), "the extracted tree reads back");
    SetTreeCounters(state);
}

// Times `read` over a fresh mount of `pack` at `mnt` in every run: mounting
// and unmounting stay outside the timing, so that every file is read through
// the file system and none from what the kernel kept of a run before.
template <class F>
void MountedRuns(benchmark::State& state, const std::string& pack, const fs::path& mnt, F read, const char* what)
{
    for (auto _ : state) {
        state.PauseTiming();
        if (RunQuiet({ORUPACK, "mount", "--background", pack, mnt.string()}) != 0) {
            state.ResumeTiming();
            state.SkipWithError("orupack mount failed: FUSE missing or not permitted");
            break;
        }
        state.ResumeTiming();
        const bool good = read();
        state.PauseTiming();
        Require(RunQuiet({"fusermount3", "-u", mnt.string()}) == 0, "fusermount3 -u");
        Require(good, what);
        state.ResumeTiming();
    }
}

// Every file of the tree read through the mount.
void MountCat(benchmark::State& state, bool compress)
{
    if (!OrupackBuilt(state))
        return;
    const CTreeFixture& tree = Tree();
    const std::string pack = tree.Path(compress ? "mount-pack-gz" : "mount-pack");
    const fs::path mnt = tree.m_root / "mnt";
    fs::create_directories(mnt);
    std::vector<std::string> create = {ORUPACK, "create", pack, tree.m_tree.string()};
    if (compress)
        create.push_back("--compress");
    Require(RunQuiet(create) == 0, "orupack create");
    const uLong expected = TreeCrc();
    MountedRuns(state, pack, mnt, [&] { return CatTree(mnt) == expected; }, "the mounted tree reads back");
    SetTreeCounters(state);
    // A small file costs three round trips through the daemon (look-up, open,
    // read; the release is not waited for),
    // each two task switches, where the page cache costs one read: FUSE sets
    // the bound, and a busy machine makes every switch wait for a processor.
    state.SetLabel("peer=TreeCat/min_time:2.000/real_time goal=0.1");
}

// Reading one large compressed file through the mount, by one reader from
// start to end, or by two readers at once, one from the start and one from
// the middle, in reads of the kernel's usual size. Each run mounts afresh.
constexpr size_t LARGE_BYTES = 48u << 20;
constexpr size_t LARGE_READ = 128u << 10;

void MountLargeRead(benchmark::State& state, int readers)
{
    if (!OrupackBuilt(state))
        return;
    const CTreeFixture& tree = Tree();
    const fs::path source = tree.m_root / "large";
    const std::string pack = tree.Path("large-pack");
    const fs::path mnt = tree.m_root / "mnt-large";
    fs::create_directories(mnt);
    if (!fs::exists(source / "large.txt")) {
        fs::create_directories(source);
        std::ofstream out(source / "large.txt", std::ios::binary);
        for (size_t line = 0; out.tellp() < static_cast<std::streamoff>(LARGE_BYTES); ++line)
            out << "line " << line << " of the harbour town's ledger, " << line * 7919 % 100003 << "\n";
    }
    Require(RunQuiet({ORUPACK, "create", pack, source.string(), "--compress"}) == 0, "orupack create");
    const uintmax_t size = fs::file_size(source / "large.txt");
    const auto readAll = [&] {
        std::vector<std::thread> threads;
        std::atomic<uint64_t> total{0};
        for (int r = 0; r < readers; ++r) {
            threads.emplace_back([&, r] {
                const int fd = open((mnt / "large.txt").c_str(), O_RDONLY);
                std::vector<char> buffer(LARGE_READ);
                uint64_t at = size * static_cast<uint64_t>(r) / static_cast<uint64_t>(readers);
                const uint64_t end = size * static_cast<uint64_t>(r + 1) / static_cast<uint64_t>(readers);
                while (fd >= 0 && at < end) {
                    const ssize_t got = pread(fd, buffer.data(), std::min<uint64_t>(LARGE_READ, end - at),
                                              static_cast<off_t>(at));
                    if (got <= 0)
                        break;
                    at += static_cast<uint64_t>(got);
                    total += static_cast<uint64_t>(got);
                }
                if (fd >= 0)
                    close(fd);
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        return total == size;
    };
    MountedRuns(state, pack, mnt, readAll, "the large file reads whole");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
    // Two readers may take at most 2.5 times one reader's time.
    if (readers == 2)
        state.SetLabel("peer=MountLargeRead/One/min_time:2.000/real_time goal=0.4");
}

}  // namespace

// A run takes most of a second: a few of them even out a shared machine.
BENCHMARK_CAPTURE(OrupackCreate, Plain, false)->MinTime(3.0)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(TarCreate, Plain, nullptr)->MinTime(3.0)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(OrupackCreate, Compressed, true)->MinTime(3.0)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(TarCreate, Gzip, "gzip")->MinTime(3.0)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(TarCreate, Pigz, "pigz")->MinTime(3.0)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(OrupackExtract)->MinTime(3.0)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(TarExtract)->MinTime(3.0)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(PackAdd1000To100000)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(TreeCat)->MinTime(2.0)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(MountCat, Plain, false)->MinTime(2.0)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(MountCat, Compressed, true)->MinTime(2.0)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(MountLargeRead, One, 1)->MinTime(2.0)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(MountLargeRead, Two, 2)->MinTime(2.0)->UseRealTime()->Unit(benchmark::kMillisecond);
