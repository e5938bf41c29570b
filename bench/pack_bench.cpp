// Reading from a pack against what a game would otherwise use: stdio and
// zlib's gzip reader on loose files, and PhysFS on a zip holding the same
// content. Every pair reads the same bytes, prepared once outside the timed
// loops; each run checks what it read so a fast wrong answer fails loudly.
// Loading an index also reports the most heap memory the load held at once.

#include <oru/pack/oru_pack.h>

#include "alloc_counter.h"
#include "pack/gz_blocks.h"
#include "pack/pack_format.h"

#include <benchmark/benchmark.h>
#include <physfs.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <new>
#include <stdexcept>
#include <string>
#include <random>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

// Where a destination sits within a page changes the speed of the kernel's
// copy into it several times over on some processors, so every read below,
// ours and the peers', lands in a page-aligned buffer: the heap's layout
// cannot favour one side.
template <class T>
struct CPageAlignedAllocator {
    using value_type = T;
    static constexpr std::align_val_t PAGE{4096};
    CPageAlignedAllocator() = default;
    template <class U>
    CPageAlignedAllocator(const CPageAlignedAllocator<U>&) {}
    T* allocate(size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), PAGE)); }
    void deallocate(T* p, size_t) { ::operator delete(p, PAGE); }
    bool operator==(const CPageAlignedAllocator&) const = default;
};
using ReadBuffer = std::vector<uint8_t, CPageAlignedAllocator<uint8_t>>;

constexpr size_t PLAIN_BYTES = 64u << 20;
constexpr size_t GZIP_CONTENT_BYTES = 16u << 20;
constexpr size_t READ_BYTES = 64u << 10;
constexpr int SMALL_FILES = 10000;
constexpr uint32_t MANY_LEVELS = 100;
constexpr size_t LARGE_TEXT_BYTES = 64u << 20;  // for random reads in a large compressed entry

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

// Builds a pack with every entry on consecutive sectors, in the order the
// entries are added (index order).
class CPackWriter {
public:
    explicit CPackWriter(uint32_t sectorSize) : m_nSectorSize(sectorSize), m_index(24) {}

    void Add(const std::wstring& name, const Bytes& stored)
    {
        const uint32_t count = oru::detail::SectorsForSize(static_cast<uint32_t>(stored.size()), m_nSectorSize);
        m_name.clear();
        Require(oru::detail::EncodeName(name, m_name), "name");
        m_index.insert(m_index.end(), m_name.begin(), m_name.end());
        AppendU32(m_index, static_cast<uint32_t>(stored.size()));
        AppendU32(m_index, m_nSector);
        AppendU32(m_index, count);
        AppendU64(m_index, 0);
        AppendU64(m_index, 0);
        AppendU64(m_index, 0);
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t s = m_nSector + i;
            AppendU32(m_data, i + 1 < count ? s + 1 : s);
            AppendU32(m_data, i > 0 ? s - 1 : s);
            const size_t from = size_t{i} * m_nSectorSize;
            const size_t n = std::min<size_t>(m_nSectorSize, stored.size() > from ? stored.size() - from : 0);
            m_data.insert(m_data.end(), stored.begin() + static_cast<long>(from), stored.begin() + static_cast<long>(from + n));
            m_data.resize(m_data.size() + (m_nSectorSize - n), 0);
        }
        m_nSector += count;
        m_nTotal += stored.size();
        ++m_nEntries;
    }

    void Write(const std::string& base)
    {
        const uint32_t header[6] = {1, m_nSectorSize, m_nSector, static_cast<uint32_t>(m_data.size()),
                                    m_nEntries, static_cast<uint32_t>(m_nTotal)};
        std::memcpy(m_index.data(), header, sizeof header);
        std::string table;
        oru::detail::PackUsageTable(std::vector<uint8_t>(m_nSector, 1), table);
        m_index.insert(m_index.end(), table.begin(), table.end());
        WriteFile(base + ".odx", m_index);
        WriteFile(base + ".opk", m_data);
    }

private:
    uint32_t m_nSectorSize;
    Bytes m_index;
    Bytes m_data;
    std::string m_name;
    uint32_t m_nSector = 0;
    uint32_t m_nEntries = 0;
    uint64_t m_nTotal = 0;
};

void WritePack(const std::string& base, uint32_t sectorSize, const std::map<std::wstring, Bytes>& entries)
{
    CPackWriter writer(sectorSize);
    for (const auto& [name, stored] : entries)
        writer.Add(name, stored);
    writer.Write(base);
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

// A large game's entry names: entity i lies in level i % MANY_LEVELS.
std::string ManyName(uint32_t i, char separator)
{
    char name[64];
    std::snprintf(name, sizeof name, "assets%clevel%02u%centity_%07u.dat", separator, i % MANY_LEVELS,
                  separator, i);
    return name;
}

// Calls `visit` with the entity numbers below `count` in the order of their
// names, which is the order an index stores them in.
template <class F>
void ForEachInNameOrder(uint32_t count, F visit)
{
    for (uint32_t level = 0; level < MANY_LEVELS; ++level)
        for (uint32_t i = level; i < count; i += MANY_LEVELS)
            visit(i);
}

const Bytes TINY = {1, 2, 3, 4, 5, 6, 7, 8};

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
                      {{L"plain.bin", m_plain}, {L"text.bin", wrapped}, {L"blocked.bin", BlockedWrap(m_text)}});
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

        Require(PHYSFS_setAllocator(&s_physfsAllocator) != 0, "PHYSFS_setAllocator");
        Require(PHYSFS_init(nullptr) != 0, "PHYSFS_init");
    }
    ~CFixture()
    {
        PHYSFS_deinit();
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    std::string Path(const std::string& name) const { return (m_dir / name).string(); }

    // `content` wrapped as blocked members, as orupack create --compress
    // stores it.
    static Bytes BlockedWrap(const Bytes& content)
    {
        oru::detail::CBlockWriter writer;
        Bytes wrapped = {'O', 'R', 'U', 'G', 'Z', 'I', 'P', '1'};
        AppendU32(wrapped, static_cast<uint32_t>(content.size()));
        const size_t prefix = wrapped.size();
        wrapped.resize(prefix + writer.Bound(content.size()));
        wrapped.resize(prefix + writer.Write(content.data(), content.size(), wrapped.data() + prefix));
        return wrapped;
    }

    // A pack of one 64 MiB text entry, as one member and as blocked
    // members, made on first use.
    const Bytes& LargeText()
    {
        if (m_largeText.empty()) {
            m_largeText = TextLikeBytes(LARGE_TEXT_BYTES);
            Bytes single = {'O', 'R', 'U', 'G', 'Z', 'I', 'P', '1'};
            AppendU32(single, static_cast<uint32_t>(m_largeText.size()));
            const Bytes member = GzipMember(m_largeText, RawDeflate(m_largeText));
            single.insert(single.end(), member.begin(), member.end());
            WritePack(Path("large"), 4096, {{L"single.bin", single}, {L"blocked.bin", BlockedWrap(m_largeText)}});
        }
        return m_largeText;
    }
    Bytes m_largeText;

    // A pack of `count` tiny entries named by ManyName, made on first use:
    // the largest ones are made only when their benchmark runs.
    std::string ManyPack(uint32_t count)
    {
        const std::string base = Path("many" + std::to_string(count));
        if (!fs::exists(base + ".odx")) {
            CPackWriter writer(16);
            ForEachInNameOrder(count, [&](uint32_t i) { writer.Add(Wide(ManyName(i, '\\')), TINY); });
            writer.Write(base);
        }
        return base;
    }

    std::string ManyZip(uint32_t count)
    {
        const std::string path = Path("many" + std::to_string(count) + ".zip");
        if (!fs::exists(path)) {
            std::vector<CZipEntry> entries;
            for (uint32_t i = 0; i < count; ++i)
                entries.push_back({ManyName(i, '/'), &TINY, nullptr});
            WriteZip(path, entries);
        }
        return path;
    }

    // PhysFS allocates through these, so its memory is measured like ours.
    static void* PhysfsMalloc(PHYSFS_uint64 size)
    {
        void* p = std::malloc(size ? size : 1);
        oru::bench::NoteAllocated(p);
        return p;
    }
    static void* PhysfsRealloc(void* p, PHYSFS_uint64 size)
    {
        oru::bench::NoteFreed(p);
        void* grown = std::realloc(p, size ? size : 1);
        oru::bench::NoteAllocated(grown ? grown : p);
        return grown;
    }
    static void PhysfsFree(void* p) { oru::bench::Release(p); }
    static constexpr PHYSFS_Allocator s_physfsAllocator = {nullptr, nullptr, PhysfsMalloc, PhysfsRealloc,
                                                           PhysfsFree};
};

CFixture& Fixture()
{
    static CFixture fixture;
    return fixture;
}

// Reads a whole stream in READ_BYTES pieces through `read`, checking the
// total and the first and last pieces against `expected`.
template <class F>
void ReadAndCheck(benchmark::State& state, const Bytes& expected, ReadBuffer& buffer, F read)
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
    ReadBuffer buffer(READ_BYTES);
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
    ReadBuffer buffer(READ_BYTES);
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
    ReadBuffer buffer(READ_BYTES);
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
    ReadBuffer buffer(READ_BYTES);
    for (auto _ : state) {
        PHYSFS_File* f = PHYSFS_openRead(entry);
        ReadAndCheck(state, expected, buffer,
                     [f](uint8_t* p, size_t n) -> int64_t { return PHYSFS_readBytes(f, p, n); });
        PHYSFS_close(f);
    }
    PHYSFS_unmount(Fixture().Path("big.zip").c_str());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(expected.size()));
}

// A memory-mode open of the 16 MiB wrapped entry, checked at both ends of
// the content; the whole of it is checked once before timing.
bool PreloadedEndsMatch(COruFile& file, const Bytes& expected, Bytes& buffer)
{
    const unsigned int piece = static_cast<unsigned int>(buffer.size());
    const long tail = static_cast<long>(expected.size() - piece);
    return file.Fread(buffer.data(), 1, piece) == piece &&
           std::memcmp(buffer.data(), expected.data(), piece) == 0 && file.Fseek(tail, SEEK_SET) &&
           file.Fread(buffer.data(), 1, piece) == piece &&
           std::memcmp(buffer.data(), expected.data() + tail, piece) == 0;
}

void PackPreload_Gzip16M(benchmark::State& state)
{
    COruPack manager;
    manager.OpenOruPack(Wide(Fixture().Path("big4096")), ORU_PACK_MODE_READ, 512);
    const Bytes& expected = Fixture().m_text;
    Bytes whole(expected.size());
    COruFile* pCheck = manager.OpenFile(L"text.bin", true);
    if (!pCheck || pCheck->Fread(whole.data(), 1, static_cast<unsigned int>(whole.size())) != whole.size() ||
        whole != expected)
        state.SkipWithError("preloaded the wrong bytes");
    oru_fclose(pCheck);
    Bytes buffer(READ_BYTES);
    for (auto _ : state) {
        COruFile* pFile = manager.OpenFile(L"text.bin", true);
        if (!pFile || !PreloadedEndsMatch(*pFile, expected, buffer))
            state.SkipWithError("preloaded the wrong bytes");
        oru_fclose(pFile);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(expected.size()));
    state.SetLabel("peer=PackPreload_Inflate_Gzip16M goal=2.5");
}

// The peer: what a memory-mode open does through the streaming reader, zlib
// inflating 16 KiB of stored bytes at a time into a zeroed buffer of the
// declared length, then one more read that finds the member's end.
void PackPreload_Inflate_Gzip16M(benchmark::State& state)
{
    COruPack manager;
    manager.OpenOruPack(Wide(Fixture().Path("big4096")), ORU_PACK_MODE_READ, 512);
    const Bytes& expected = Fixture().m_text;
    for (auto _ : state) {
        COruFile* pFile = manager.OpenFile(L"text.bin", false);
        const uint32_t size = pFile ? pFile->GetFileSize() : 0;
        uint8_t* pContent = static_cast<uint8_t*>(std::calloc(size, 1));
        uint8_t probe = 0;
        const bool ok = pFile && pContent && pFile->Fread(pContent, 1, size) == size &&
                        pFile->Fread(&probe, 1, 1) == 0 && size == expected.size() &&
                        std::memcmp(pContent, expected.data(), READ_BYTES) == 0 &&
                        std::memcmp(pContent + size - READ_BYTES, expected.data() + size - READ_BYTES, READ_BYTES) == 0;
        if (!ok)
            state.SkipWithError("read the wrong bytes");
        std::free(pContent);
        oru_fclose(pFile);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(expected.size()));
}

// Random 4 KiB reads in a 64 MiB compressed entry through one open
// stream: one member must decode from the start for every backward seek,
// blocked members decode only the member that holds the target.
void PackRandomRead(benchmark::State& state, const wchar_t* entry)
{
    const Bytes& expected = Fixture().LargeText();
    COruPack manager;
    manager.OpenOruPack(Wide(Fixture().Path("large")), ORU_PACK_MODE_READ, 512);
    COruFile* pFile = manager.OpenFile(entry, false);
    std::mt19937 random(42);
    Bytes buffer(4096);
    for (auto _ : state) {
        const long at = static_cast<long>(random() % (expected.size() - buffer.size()));
        if (!pFile || !pFile->Fseek(at, SEEK_SET) || pFile->Fread(buffer.data(), 1, 4096) != 4096 ||
            std::memcmp(buffer.data(), expected.data() + at, 4096) != 0)
            state.SkipWithError("read the wrong bytes");
    }
    oru_fclose(pFile);
}

// Two 16 MiB blocked entries preloaded (memory mode), by one thread one
// after the other, or by two threads at once.
void PackPreloadBoth(benchmark::State& state, int threads)
{
    COruPack manager;
    manager.OpenOruPack(Wide(Fixture().Path("big4096")), ORU_PACK_MODE_READ, 512);
    const Bytes& expected = Fixture().m_text;
    const auto preload = [&](bool& ok) {
        COruFile* pFile = manager.OpenFile(L"blocked.bin", true);
        Bytes buffer(READ_BYTES);
        ok = pFile && PreloadedEndsMatch(*pFile, expected, buffer);
        oru_fclose(pFile);
    };
    for (auto _ : state) {
        bool first = false, second = false;
        if (threads == 1) {
            preload(first);
            preload(second);
        } else {
            std::thread other([&] { preload(second); });
            preload(first);
            other.join();
        }
        if (!first || !second)
            state.SkipWithError("preloaded the wrong bytes");
    }
    state.SetBytesProcessed(state.iterations() * 2 * static_cast<int64_t>(expected.size()));
    if (threads == 2)
        state.SetLabel("peer=PackPreload/OneThreadBoth/real_time goal=1.8");
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

// Times `load` over an index of `count` entries and reports, as a counter,
// the most heap bytes one load held at once, measured on a load of its own
// outside the timed ones.
template <class F>
void TimeIndexLoad(benchmark::State& state, uint32_t count, F load)
{
    {
        const oru::bench::CHeapPeak peak;
        if (!load())
            state.SkipWithError("index not loaded");
        state.counters["peak_added"] = benchmark::Counter(static_cast<double>(peak.Bytes()),
                                                          benchmark::Counter::kDefaults,
                                                          benchmark::Counter::kIs1024);
    }
    for (auto _ : state)
        if (!load())
            state.SkipWithError("index not loaded");
    state.SetItemsProcessed(state.iterations() * count);
}

void PackIndexLoad(benchmark::State& state, uint32_t count)
{
    const std::wstring base = Wide(Fixture().ManyPack(count));
    const std::wstring last = Wide(ManyName(count - 1, '\\'));
    TimeIndexLoad(state, count, [&] {
        COruPack manager;
        return manager.OpenOruPack(base, ORU_PACK_MODE_READ, 512) && manager.GetFileList()->size() == count &&
               manager.GetFileList()->count(last) == 1;
    });
}

void PhysfsMount(benchmark::State& state, uint32_t count)
{
    const std::string zip = Fixture().ManyZip(count);
    const std::string last = ManyName(count - 1, '/');
    TimeIndexLoad(state, count, [&] {
        const bool ok = PHYSFS_mount(zip.c_str(), "/", 0) && PHYSFS_exists(last.c_str());
        PHYSFS_unmount(zip.c_str());
        return ok;
    });
}

// PackStream/<kind>/VsZip against PhysfsRead/<kind>: one entry read from the
// pack and from the zip holding the same content.
// The content is named by its member, so the fixture is made only when a
// benchmark runs.
void RegisterVsZip(const std::string& kind, const char* entry, Bytes CFixture::*content)
{
    const std::string peer = "PhysfsRead/" + kind;
    const std::string label = "peer=" + peer + " goal=1.0";
    const std::wstring name = Wide(entry);
    benchmark::RegisterBenchmark(("PackStream/" + kind + "/VsZip").c_str(), [label, name, content](benchmark::State& s) {
        PackStreamRead(s, "big4096", name.c_str(), Fixture().*content, label.c_str());
    })->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(peer.c_str(), [entry, content](benchmark::State& s) {
        PhysfsRead(s, entry, Fixture().*content);
    })->Unit(benchmark::kMillisecond);
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
    benchmark::RegisterBenchmark("PackStream/GzipBlocked", [](benchmark::State& s) {
        PackStreamRead(s, "big4096", L"blocked.bin", Fixture().m_text, "peer=Gzread/Gzip goal=2.5");
    })->Unit(unit);
    benchmark::RegisterBenchmark("Gzread/Gzip", Gzread_Gzip)->Unit(unit);
    benchmark::RegisterBenchmark("PackRandomRead4K/OneMember",
                                 [](benchmark::State& s) { PackRandomRead(s, L"single.bin"); })
        ->Unit(unit)
        ->MinTime(1.0);
    benchmark::RegisterBenchmark("PackRandomRead4K/Blocked", [](benchmark::State& s) {
        PackRandomRead(s, L"blocked.bin");
        s.SetLabel("peer=PackRandomRead4K/OneMember/min_time:1.000 goal=50");
    })->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("PackPreload/OneThreadBoth", [](benchmark::State& s) { PackPreloadBoth(s, 1); })
        ->UseRealTime()
        ->Unit(unit);
    benchmark::RegisterBenchmark("PackPreload/TwoThreads", [](benchmark::State& s) { PackPreloadBoth(s, 2); })
        ->UseRealTime()
        ->Unit(unit);
    RegisterVsZip("Stored", "plain.bin", &CFixture::m_plain);
    RegisterVsZip("Deflated", "text.bin", &CFixture::m_text);
    benchmark::RegisterBenchmark("PackPreload_Gzip16M", PackPreload_Gzip16M)->Unit(unit);
    benchmark::RegisterBenchmark("PackPreload_Inflate_Gzip16M", PackPreload_Inflate_Gzip16M)->Unit(unit);
    benchmark::RegisterBenchmark("PackSmall_OpenRead", PackSmall_OpenRead)->Unit(unit);
    benchmark::RegisterBenchmark("PhysfsSmall_OpenRead", PhysfsSmall_OpenRead)->Unit(unit);
    benchmark::RegisterBenchmark("PackIndex_Load100k", [](benchmark::State& s) {
        PackIndexLoad(s, 100000);
        s.SetLabel("peer=PhysfsMount_100k goal=1.0");
    })->Unit(unit);
    benchmark::RegisterBenchmark("PhysfsMount_100k", [](benchmark::State& s) { PhysfsMount(s, 100000); })
        ->Unit(unit);
    benchmark::RegisterBenchmark("PackIndex_Load1M", [](benchmark::State& s) { PackIndexLoad(s, 1000000); })
        ->Unit(unit);
}

const bool s_bRegistered = (RegisterAll(), true);

}  // namespace
