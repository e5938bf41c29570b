// Reading from a pack against what a game would otherwise use: stdio and
// zlib's gzip reader on loose files, and PhysFS on a zip holding the same
// content. Every pair reads the same bytes, prepared once outside the timed
// loops; each run checks what it read so a fast wrong answer fails loudly.

#include <oru/pack/oru_pack.h>

#include "pack/pack_format.h"

#include <benchmark/benchmark.h>
#include <physfs.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

constexpr size_t PLAIN_BYTES = 64u << 20;
constexpr size_t GZIP_CONTENT_BYTES = 16u << 20;
constexpr size_t READ_BYTES = 64u << 10;
constexpr int SMALL_FILES = 10000;
constexpr int INDEX_ENTRIES = 100000;

void Require(bool ok, const char* what)
{
    if (!ok)
        throw std::runtime_error(what);
}

void AppendU16(Bytes& out, uint32_t v)
{
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void AppendU32(Bytes& out, uint32_t v)
{
    AppendU16(out, v & 0xFFFF);
    AppendU16(out, v >> 16);
}

void AppendU64(Bytes& out, uint64_t v)
{
    AppendU32(out, static_cast<uint32_t>(v));
    AppendU32(out, static_cast<uint32_t>(v >> 32));
}

void WriteFile(const std::string& path, const Bytes& bytes)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    Require(f && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size(), "write");
    std::fclose(f);
}

Bytes RandomBytes(size_t count, uint32_t seed)
{
    Bytes out(count);
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (size_t i = 0; i < count; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        std::memcpy(&out[i], &x, std::min<size_t>(8, count - i));
    }
    return out;
}

// Text-like bytes that deflate to about a third, as game data often does.
Bytes TextLikeBytes(size_t count)
{
    static const char* const words[] = {"the ", "town ", "gate ", "opens ", "at ", "dawn ",
                                        "<item id=\"", "42\" ", "/>\n", "sword ", "shield ", "hp=100 "};
    Bytes out;
    out.reserve(count + 16);
    uint32_t x = 7;
    while (out.size() < count) {
        x = x * 1103515245u + 12345u;
        const char* w = words[(x >> 16) % 12];
        out.insert(out.end(), w, w + std::strlen(w));
        if ((x >> 8) % 7 == 0)
            out.push_back(static_cast<uint8_t>('0' + (x >> 20) % 10));
    }
    out.resize(count);
    return out;
}

Bytes RawDeflate(const Bytes& content)
{
    z_stream z{};
    Require(deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK, "deflateInit2");
    Bytes out(deflateBound(&z, content.size()));
    z.next_in = const_cast<Bytef*>(content.data());
    z.avail_in = static_cast<uInt>(content.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    Require(deflate(&z, Z_FINISH) == Z_STREAM_END, "deflate");
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

uint32_t Crc(const Bytes& b)
{
    return static_cast<uint32_t>(crc32(0, b.data(), static_cast<uInt>(b.size())));
}

Bytes GzipMember(const Bytes& content, const Bytes& deflated)
{
    Bytes out = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 3};
    out.insert(out.end(), deflated.begin(), deflated.end());
    AppendU32(out, Crc(content));
    AppendU32(out, static_cast<uint32_t>(content.size()));
    return out;
}

// A pack with every entry on consecutive sectors, names in index order.
void WritePack(const std::string& base, uint32_t sectorSize, const std::map<std::wstring, Bytes>& entries)
{
    Bytes index(24);
    Bytes data;
    uint32_t sector = 0;
    uint64_t total = 0;
    std::string names;
    for (const auto& [name, stored] : entries) {
        const uint32_t count = oru::detail::SectorsForSize(static_cast<uint32_t>(stored.size()), sectorSize);
        names.clear();
        Require(oru::detail::EncodeName(name, names), "name");
        index.insert(index.end(), names.begin(), names.end());
        AppendU32(index, static_cast<uint32_t>(stored.size()));
        AppendU32(index, sector);
        AppendU32(index, count);
        AppendU64(index, 0);
        AppendU64(index, 0);
        AppendU64(index, 0);
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t s = sector + i;
            AppendU32(data, i + 1 < count ? s + 1 : s);
            AppendU32(data, i > 0 ? s - 1 : s);
            const size_t from = size_t{i} * sectorSize;
            const size_t n = std::min<size_t>(sectorSize, stored.size() > from ? stored.size() - from : 0);
            data.insert(data.end(), stored.begin() + static_cast<long>(from), stored.begin() + static_cast<long>(from + n));
            data.resize(data.size() + (sectorSize - n), 0);
        }
        sector += count;
        total += stored.size();
    }
    const uint32_t header[6] = {1, sectorSize, sector, static_cast<uint32_t>(data.size()),
                                static_cast<uint32_t>(entries.size()), static_cast<uint32_t>(total)};
    std::memcpy(index.data(), header, sizeof header);
    std::string table;
    oru::detail::PackUsageTable(std::vector<uint8_t>(sector, 1), table);
    index.insert(index.end(), table.begin(), table.end());
    WriteFile(base + ".odx", index);
    WriteFile(base + ".opk", data);
}

// A zip with stored or deflated entries; zip64 end records when the entry
// count needs them.
struct CZipEntry {
    std::string m_name;
    const Bytes* m_pContent;
    const Bytes* m_pDeflated;  // null: stored
};

void WriteZip(const std::string& path, const std::vector<CZipEntry>& entries)
{
    Bytes out;
    Bytes central;
    for (const CZipEntry& e : entries) {
        const Bytes& body = e.m_pDeflated ? *e.m_pDeflated : *e.m_pContent;
        const uint32_t offset = static_cast<uint32_t>(out.size());
        const uint32_t crc = Crc(*e.m_pContent);
        const uint16_t method = e.m_pDeflated ? 8 : 0;
        auto common = [&](Bytes& b) {
            AppendU16(b, 20);
            AppendU16(b, 0);
            AppendU16(b, method);
            AppendU16(b, 0);     // time
            AppendU16(b, 0x21);  // 1980-01-01
            AppendU32(b, crc);
            AppendU32(b, static_cast<uint32_t>(body.size()));
            AppendU32(b, static_cast<uint32_t>(e.m_pContent->size()));
            AppendU16(b, static_cast<uint32_t>(e.m_name.size()));
            AppendU16(b, 0);
        };
        AppendU32(out, 0x04034b50);
        common(out);
        out.insert(out.end(), e.m_name.begin(), e.m_name.end());
        out.insert(out.end(), body.begin(), body.end());

        AppendU32(central, 0x02014b50);
        AppendU16(central, 20);
        common(central);
        AppendU16(central, 0);  // comment
        AppendU16(central, 0);  // disk
        AppendU16(central, 0);  // internal attributes
        AppendU32(central, 0);  // external attributes
        AppendU32(central, offset);
        central.insert(central.end(), e.m_name.begin(), e.m_name.end());
    }
    const uint64_t centralOffset = out.size();
    out.insert(out.end(), central.begin(), central.end());
    const bool zip64 = entries.size() >= 0xFFFF;
    if (zip64) {
        const uint64_t recordOffset = out.size();
        AppendU32(out, 0x06064b50);
        AppendU64(out, 44);
        AppendU16(out, 45);
        AppendU16(out, 45);
        AppendU32(out, 0);
        AppendU32(out, 0);
        AppendU64(out, entries.size());
        AppendU64(out, entries.size());
        AppendU64(out, central.size());
        AppendU64(out, centralOffset);
        AppendU32(out, 0x07064b50);
        AppendU32(out, 0);
        AppendU64(out, recordOffset);
        AppendU32(out, 1);
    }
    AppendU32(out, 0x06054b50);
    AppendU16(out, 0);
    AppendU16(out, 0);
    AppendU16(out, zip64 ? 0xFFFF : static_cast<uint32_t>(entries.size()));
    AppendU16(out, zip64 ? 0xFFFF : static_cast<uint32_t>(entries.size()));
    AppendU32(out, static_cast<uint32_t>(central.size()));
    AppendU32(out, static_cast<uint32_t>(centralOffset));
    AppendU16(out, 0);
    WriteFile(path, out);
}

std::wstring Wide(const std::string& s)
{
    return std::wstring(s.begin(), s.end());
}

std::string SmallName(int i, char separator)
{
    char name[64];
    std::snprintf(name, sizeof name, "dir%02d%cfile%05d.bin", i % 50, separator, i);
    return name;
}

// Everything the benchmarks read, made once per run in a folder that goes
// away at exit.
struct CFixture {
    fs::path m_dir;
    Bytes m_plain;
    Bytes m_text;
    Bytes m_gzipMember;
    std::vector<Bytes> m_small;
    uint64_t m_nSmallBytes = 0;

    CFixture()
    {
        m_dir = fs::current_path() / "pack_bench_data";
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);

        m_plain = RandomBytes(PLAIN_BYTES, 1);
        m_text = TextLikeBytes(GZIP_CONTENT_BYTES);
        const Bytes deflated = RawDeflate(m_text);
        m_gzipMember = GzipMember(m_text, deflated);
        Bytes wrapped = {'O', 'R', 'U', 'G', 'Z', 'I', 'P', '1'};
        AppendU32(wrapped, static_cast<uint32_t>(m_text.size()));
        wrapped.insert(wrapped.end(), m_gzipMember.begin(), m_gzipMember.end());

        WriteFile(Path("plain.bin"), m_plain);
        WriteFile(Path("text.gz"), m_gzipMember);
        for (const uint32_t sectorSize : {512u, 4096u})
            WritePack(Path("big" + std::to_string(sectorSize)), sectorSize,
                      {{L"plain.bin", m_plain}, {L"text.bin", wrapped}});
        WriteZip(Path("big.zip"), {{"plain.bin", &m_plain, nullptr}, {"text.bin", &m_text, &deflated}});

        std::map<std::wstring, Bytes> smallPack;
        std::vector<CZipEntry> smallZip;
        for (int i = 0; i < SMALL_FILES; ++i) {
            m_small.push_back(RandomBytes(1024 + (i * 7919) % 3073, static_cast<uint32_t>(i + 10)));
            m_nSmallBytes += m_small.back().size();
        }
        for (int i = 0; i < SMALL_FILES; ++i) {
            smallPack.emplace(Wide(SmallName(i, '\\')), m_small[static_cast<size_t>(i)]);
            smallZip.push_back({SmallName(i, '/'), &m_small[static_cast<size_t>(i)], nullptr});
        }
        WritePack(Path("small"), 512, smallPack);
        WriteZip(Path("small.zip"), smallZip);

        static const Bytes tiny = {1, 2, 3, 4, 5, 6, 7, 8};
        std::map<std::wstring, Bytes> manyPack;
        std::vector<CZipEntry> manyZip;
        for (int i = 0; i < INDEX_ENTRIES; ++i) {
            char name[64];
            std::snprintf(name, sizeof name, "level%03d\\object%06d.xml", i % 300, i);
            manyPack.emplace(Wide(name), tiny);
            std::snprintf(name, sizeof name, "level%03d/object%06d.xml", i % 300, i);
            manyZip.push_back({name, &tiny, nullptr});
        }
        WritePack(Path("many"), 16, manyPack);
        WriteZip(Path("many.zip"), manyZip);

        Require(PHYSFS_init(nullptr) != 0, "PHYSFS_init");
    }
    ~CFixture()
    {
        PHYSFS_deinit();
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    std::string Path(const std::string& name) const { return (m_dir / name).string(); }
};

CFixture& Fixture()
{
    static CFixture fixture;
    return fixture;
}

// Reads a whole stream in READ_BYTES pieces through `read`, checking the
// total and the first and last pieces against `expected`.
template <class F>
void ReadAndCheck(benchmark::State& state, const Bytes& expected, Bytes& buffer, F read)
{
    size_t total = 0;
    bool firstOk = false;
    for (;;) {
        const int64_t got = read(buffer.data(), buffer.size());
        if (got <= 0)
            break;
        if (total == 0)
            firstOk = std::memcmp(buffer.data(), expected.data(), static_cast<size_t>(got)) == 0;
        total += static_cast<size_t>(got);
        if (total == expected.size() &&
            std::memcmp(buffer.data(), expected.data() + total - static_cast<size_t>(got), static_cast<size_t>(got)) != 0)
            firstOk = false;
    }
    if (total != expected.size() || !firstOk)
        state.SkipWithError("read the wrong bytes");
}

void PackStreamRead(benchmark::State& state, const std::string& pack, const wchar_t* entry,
                    const Bytes& expected, const char* label)
{
    COruPack manager;
    manager.OpenOruPack(Wide(Fixture().Path(pack)), ORU_PACK_MODE_READ, 512);
    Bytes buffer(READ_BYTES);
    for (auto _ : state) {
        COruFile* pFile = manager.OpenFile(entry, false);
        ReadAndCheck(state, expected, buffer, [pFile](uint8_t* p, size_t n) -> int64_t {
            const unsigned int got = pFile->Fread(p, 1, static_cast<unsigned int>(n));
            return got == 0xFFFFFFFFu ? -1 : got;
        });
        oru_fclose(pFile);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(expected.size()));
    state.SetLabel(label);
}

void Fread_Plain(benchmark::State& state)
{
    Bytes buffer(READ_BYTES);
    for (auto _ : state) {
        std::FILE* f = std::fopen(Fixture().Path("plain.bin").c_str(), "rb");
        ReadAndCheck(state, Fixture().m_plain, buffer,
                     [f](uint8_t* p, size_t n) -> int64_t { return static_cast<int64_t>(std::fread(p, 1, n, f)); });
        std::fclose(f);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(PLAIN_BYTES));
}

void Gzread_Gzip(benchmark::State& state)
{
    Bytes buffer(READ_BYTES);
    for (auto _ : state) {
        gzFile f = gzopen(Fixture().Path("text.gz").c_str(), "rb");
        ReadAndCheck(state, Fixture().m_text, buffer,
                     [f](uint8_t* p, size_t n) -> int64_t { return gzread(f, p, static_cast<unsigned>(n)); });
        gzclose(f);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(GZIP_CONTENT_BYTES));
}

void PhysfsRead(benchmark::State& state, const char* entry, const Bytes& expected)
{
    Require(PHYSFS_mount(Fixture().Path("big.zip").c_str(), "/", 0) != 0, "mount");
    Bytes buffer(READ_BYTES);
    for (auto _ : state) {
        PHYSFS_File* f = PHYSFS_openRead(entry);
        ReadAndCheck(state, expected, buffer,
                     [f](uint8_t* p, size_t n) -> int64_t { return PHYSFS_readBytes(f, p, n); });
        PHYSFS_close(f);
    }
    PHYSFS_unmount(Fixture().Path("big.zip").c_str());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(expected.size()));
}

void PackSmall_OpenRead(benchmark::State& state)
{
    COruPack manager;
    manager.OpenOruPack(Wide(Fixture().Path("small")), ORU_PACK_MODE_READ, 512);
    std::vector<std::wstring> names;
    for (int i = 0; i < SMALL_FILES; ++i)
        names.push_back(Wide(SmallName(i, '\\')));
    Bytes buffer(8192);
    for (auto _ : state) {
        bool ok = true;
        for (int i = 0; i < SMALL_FILES; ++i) {
            COruFile* pFile = manager.OpenFile(names[static_cast<size_t>(i)], false);
            const Bytes& expected = Fixture().m_small[static_cast<size_t>(i)];
            ok = ok && pFile && pFile->Fread(buffer.data(), 1, static_cast<unsigned int>(buffer.size())) == expected.size() &&
                 buffer[expected.size() - 1] == expected.back();
            oru_fclose(pFile);
        }
        if (!ok)
            state.SkipWithError("read the wrong bytes");
    }
    state.SetItemsProcessed(state.iterations() * SMALL_FILES);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(Fixture().m_nSmallBytes));
    state.SetLabel("peer=PhysfsSmall_OpenRead goal=1.0");
}

void PhysfsSmall_OpenRead(benchmark::State& state)
{
    Require(PHYSFS_mount(Fixture().Path("small.zip").c_str(), "/", 0) != 0, "mount");
    std::vector<std::string> names;
    for (int i = 0; i < SMALL_FILES; ++i)
        names.push_back(SmallName(i, '/'));
    Bytes buffer(8192);
    for (auto _ : state) {
        bool ok = true;
        for (int i = 0; i < SMALL_FILES; ++i) {
            PHYSFS_File* f = PHYSFS_openRead(names[static_cast<size_t>(i)].c_str());
            const Bytes& expected = Fixture().m_small[static_cast<size_t>(i)];
            ok = ok && f && PHYSFS_readBytes(f, buffer.data(), buffer.size()) == static_cast<PHYSFS_sint64>(expected.size()) &&
                 buffer[expected.size() - 1] == expected.back();
            PHYSFS_close(f);
        }
        if (!ok)
            state.SkipWithError("read the wrong bytes");
    }
    PHYSFS_unmount(Fixture().Path("small.zip").c_str());
    state.SetItemsProcessed(state.iterations() * SMALL_FILES);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(Fixture().m_nSmallBytes));
}

void PackIndex_Load100k(benchmark::State& state)
{
    const std::wstring base = Wide(Fixture().Path("many"));
    for (auto _ : state) {
        COruPack manager;
        if (!manager.OpenOruPack(base, ORU_PACK_MODE_READ, 512) ||
            manager.GetFileList()->size() != INDEX_ENTRIES ||
            !manager.GetFileList()->count(L"level099\\object099999.xml"))
            state.SkipWithError("index not loaded");
    }
    state.SetItemsProcessed(state.iterations() * INDEX_ENTRIES);
    state.SetLabel("peer=PhysfsMount_100k goal=1.0");
}

void PhysfsMount_100k(benchmark::State& state)
{
    const std::string zip = Fixture().Path("many.zip");
    for (auto _ : state) {
        if (!PHYSFS_mount(zip.c_str(), "/", 0) || !PHYSFS_exists("level099/object099999.xml"))
            state.SkipWithError("zip not mounted");
        PHYSFS_unmount(zip.c_str());
    }
    state.SetItemsProcessed(state.iterations() * INDEX_ENTRIES);
}

void RegisterAll()
{
    const auto unit = benchmark::kMillisecond;
    for (const uint32_t sectorSize : {512u, 4096u}) {
        const std::string pack = "big" + std::to_string(sectorSize);
        benchmark::RegisterBenchmark(("PackStream/Plain/" + std::to_string(sectorSize)).c_str(),
                                     [pack](benchmark::State& s) {
                                         PackStreamRead(s, pack, L"plain.bin", Fixture().m_plain,
                                                        "peer=Fread/Plain goal=0.9");
                                     })->Unit(unit);
    }
    benchmark::RegisterBenchmark("Fread/Plain", Fread_Plain)->Unit(unit);
    benchmark::RegisterBenchmark("PackStream/Gzip", [](benchmark::State& s) {
        PackStreamRead(s, "big4096", L"text.bin", Fixture().m_text, "peer=Gzread/Gzip goal=0.9");
    })->Unit(unit);
    benchmark::RegisterBenchmark("Gzread/Gzip", Gzread_Gzip)->Unit(unit);
    benchmark::RegisterBenchmark("PackStream/Stored/VsZip", [](benchmark::State& s) {
        PackStreamRead(s, "big4096", L"plain.bin", Fixture().m_plain, "peer=PhysfsRead/Stored goal=1.0");
    })->Unit(unit);
    benchmark::RegisterBenchmark("PhysfsRead/Stored", [](benchmark::State& s) {
        PhysfsRead(s, "plain.bin", Fixture().m_plain);
    })->Unit(unit);
    benchmark::RegisterBenchmark("PackStream/Deflated/VsZip", [](benchmark::State& s) {
        PackStreamRead(s, "big4096", L"text.bin", Fixture().m_text, "peer=PhysfsRead/Deflated goal=1.0");
    })->Unit(unit);
    benchmark::RegisterBenchmark("PhysfsRead/Deflated", [](benchmark::State& s) {
        PhysfsRead(s, "text.bin", Fixture().m_text);
    })->Unit(unit);
    benchmark::RegisterBenchmark("PackSmall_OpenRead", PackSmall_OpenRead)->Unit(unit);
    benchmark::RegisterBenchmark("PhysfsSmall_OpenRead", PhysfsSmall_OpenRead)->Unit(unit);
    benchmark::RegisterBenchmark("PackIndex_Load100k", PackIndex_Load100k)->Unit(unit);
    benchmark::RegisterBenchmark("PhysfsMount_100k", PhysfsMount_100k)->Unit(unit);
}

const bool s_bRegistered = (RegisterAll(), true);

}  // namespace
