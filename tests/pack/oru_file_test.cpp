// The stream over hand-assembled pack entries and loose files: content,
// the return rules of both modes, seeking, gzip members and damaged input.

#include <oru/pack/oru_pack.h>

#include "pack_builder.h"
#include "support/system.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>


#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

using namespace oru::test;

namespace {

constexpr unsigned int FAILED = 0xFFFFFFFFu;

struct CCloser {
    void operator()(COruFile* p) const { oru_fclose(p); }
};
using StreamPtr = std::unique_ptr<COruFile, CCloser>;

Bytes Concat(const Bytes& a, const Bytes& b)
{
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

// One pack per test, entries stored on sectors the test chooses, tiny or
// large: a read spans many sectors or lies inside one.
class PackStream : public ::testing::TestWithParam<uint32_t> {
protected:
    // Stores `stored` as "f" on `sectors` (default: consecutive from 0) and
    // opens it.
    StreamPtr Open(const Bytes& stored, bool inMemory, std::vector<uint32_t> sectors = {})
    {
        if (sectors.empty())
            for (uint32_t i = 0; i < std::max<size_t>(1, (stored.size() + SECTOR - 1) / SECTOR); ++i)
                sectors.push_back(i);
        m_image.Store(u"f", stored, sectors);
        return OpenWritten(inMemory);
    }
    StreamPtr OpenWritten(bool inMemory)
    {
        const std::string base = m_dir.File("p");
        m_image.Write(base);
        m_pack.OpenOruPack(std::wstring(base.begin(), base.end()), ORU_PACK_MODE_READ, 512);
        return StreamPtr(m_pack.OpenFile(L"f", inMemory));
    }

    const uint32_t SECTOR = GetParam();
    CTempDir m_dir;
    CPackImage m_image{SECTOR};
    COruPack m_pack;
};

}  // namespace

// Reads that start and end anywhere inside or across sectors, over a chain
// whose sectors lie out of order in the data file.
TEST_P(PackStream, ReadsAChainInAnyOrderWithAnyMixOfReadSizes)
{
    const Bytes content = Pattern(3 * SECTOR + 5);
    const std::vector<std::vector<unsigned int>> mixes = {
        {1}, {SECTOR - 1}, {SECTOR}, {SECTOR + 1}, {3, 29, 1, 100}, {1000}};
    for (const bool inMemory : {false, true})
        for (const auto& mix : mixes) {
            m_image = CPackImage(SECTOR);
            StreamPtr p = Open(content, inMemory, {5, 2, 7, 0});
            ASSERT_TRUE(p);
            EXPECT_EQ(ReadInPieces(*p, mix), content) << mix[0] << " memory " << inMemory;
        }
}

TEST_P(PackStream, CountsBytesWhenStreamingAndItemsInMemory)
{
    const Bytes content = Pattern(40);
    uint8_t buffer[64];
    StreamPtr streaming = Open(content, false);
    EXPECT_EQ(streaming->Fread(buffer, 4, 10), 40u);
    EXPECT_TRUE(streaming->Fseek(0, SEEK_SET));
    EXPECT_EQ(streaming->read(buffer, 40), 40u);

    StreamPtr memory(m_pack.OpenFile(L"f", true));
    EXPECT_EQ(memory->Fread(buffer, 4, 10), 10u);
    EXPECT_TRUE(memory->Fseek(0, SEEK_SET));
    EXPECT_EQ(memory->read(buffer, 40), 1u);
    EXPECT_TRUE(memory->Fseek(0, SEEK_SET));
    EXPECT_EQ(memory->Fread(buffer, 3, 20), 13u);  // all 40 bytes read, 13 items whole
    EXPECT_EQ(Bytes(buffer, buffer + 40), content);
    EXPECT_NE(memory->Feof(), 0);
    EXPECT_EQ(memory->Fread(buffer, 0, 5), 0u);
}

TEST_P(PackStream, ReportsTheEndOnlyAfterAReadRanIntoIt)
{
    const long size = 2 * static_cast<long>(SECTOR);
    const Bytes content = Pattern(static_cast<size_t>(size));
    Bytes buffer(3 * SECTOR);
    StreamPtr p = Open(content, false);
    EXPECT_EQ(p->Feof(), 0);
    EXPECT_EQ(p->Fread(buffer.data(), 1, SECTOR + 4), SECTOR + 4);
    EXPECT_EQ(p->Fread(buffer.data(), 1, SECTOR), SECTOR - 4);
    EXPECT_EQ(p->Feof(), 0);
    EXPECT_EQ(p->Ftell(), size);
    EXPECT_EQ(p->Fread(buffer.data(), 1, SECTOR), 0u);
    EXPECT_NE(p->Feof(), 0);
    EXPECT_EQ(p->Ftell(), size);

    // A seek back clears the end again, as with a C stream.
    EXPECT_TRUE(p->Fseek(size - 1, SEEK_SET));
    EXPECT_EQ(p->Feof(), 0);
    EXPECT_EQ(p->Fread(buffer.data(), 1, 20), 1u);
    EXPECT_EQ(buffer[0], content.back());

    StreamPtr memory(m_pack.OpenFile(L"f", true));
    EXPECT_EQ(memory->Feof(), 0);
    EXPECT_EQ(memory->Fread(buffer.data(), 1, 2 * SECTOR), 2 * SECTOR);
    EXPECT_NE(memory->Feof(), 0);
}

TEST_P(PackStream, SeeksInsidePlainContentButNotToOrPastItsEnd)
{
    const long s = static_cast<long>(SECTOR);
    const Bytes content = Pattern(3 * SECTOR);
    uint8_t byte = 0;
    StreamPtr p = Open(content, false, {3, 1, 2});
    for (const long target : {3 * s - 1, s, s - 1, 0L, 2 * s + 1}) {
        ASSERT_TRUE(p->Fseek(target, SEEK_SET)) << target;
        EXPECT_EQ(p->Ftell(), target);
        ASSERT_EQ(p->Fread(&byte, 1, 1), 1u);
        EXPECT_EQ(byte, content[static_cast<size_t>(target)]) << target;
    }
    EXPECT_TRUE(p->Fseek(-2, SEEK_CUR));
    EXPECT_EQ(p->Ftell(), 2 * s);
    EXPECT_FALSE(p->Fseek(3 * s, SEEK_SET));
    EXPECT_FALSE(p->Fseek(-1, SEEK_SET));
    EXPECT_FALSE(p->Fseek(0, SEEK_END));
    // A failed seek moves nothing.
    EXPECT_EQ(p->Ftell(), 2 * s);
    ASSERT_EQ(p->Fread(&byte, 1, 1), 1u);
    EXPECT_EQ(byte, content[2 * SECTOR]);

    StreamPtr memory(m_pack.OpenFile(L"f", true));
    EXPECT_TRUE(memory->Fseek(0, SEEK_END));
    EXPECT_EQ(memory->Ftell(), 3 * s);
    EXPECT_TRUE(memory->Fseek(-1, SEEK_END));
    ASSERT_EQ(memory->Fread(&byte, 1, 1), 1u);
    EXPECT_EQ(byte, content.back());
    EXPECT_FALSE(memory->Fseek(-3 * s - 1, SEEK_END));
    EXPECT_FALSE(memory->Fseek(3 * s + 1, SEEK_SET));
    EXPECT_EQ(memory->Ftell(), 3 * s);
}

TEST_P(PackStream, ReadsNothingFromAnEmptyEntry)
{
    uint8_t buffer[8];
    StreamPtr p = Open({}, false);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->GetFileSize(), 0u);
    EXPECT_EQ(p->Fread(buffer, 1, 8), 0u);
    EXPECT_NE(p->Feof(), 0);
    EXPECT_TRUE(p->Fseek(0, SEEK_SET));

    StreamPtr memory(m_pack.OpenFile(L"f", true));
    EXPECT_NE(memory->Feof(), 0);
    EXPECT_EQ(memory->Fread(buffer, 1, 8), 0u);
}

TEST_P(PackStream, DecodesTwoGzipMembersAndSeeksBackByDecodingAgain)
{
    const Bytes first = Pattern(3000, 1);
    const Bytes second = ToBytes("and the second member");
    const Bytes content = Concat(first, second);
    const Bytes stored = Wrap(Concat(GzipMember(first, 0x1E), GzipMember(second)), 5000);
    for (const bool inMemory : {false, true}) {
        m_image = CPackImage(SECTOR);
        StreamPtr p = Open(stored, inMemory, {});
        EXPECT_EQ(p->GetFileSize(), 5000u);
        Bytes buffer(3100);
        ASSERT_EQ(p->Fread(buffer.data(), 1, 2990), inMemory ? 2990u : 2990u);
        ASSERT_TRUE(p->Fseek(-40, SEEK_CUR));
        EXPECT_EQ(p->Ftell(), 2950);
        ASSERT_EQ(p->Fread(buffer.data(), 1, 60), 60u);  // across the members' seam
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 60), Bytes(content.begin() + 2950, content.begin() + 3010));
        ASSERT_TRUE(p->Fseek(0, SEEK_SET));
        if (!inMemory) {
            EXPECT_EQ(ReadAll(*p), content);
            EXPECT_NE(p->Feof(), 0);
            EXPECT_FALSE(p->Fseek(1, SEEK_CUR));  // past the end of compressed data
        } else {
            // Memory holds what the members hold, as a streaming read gives
            // it: nothing is made up up to the declared length.
            EXPECT_EQ(ReadAll(*p), content);
        }
    }
}

// Bytes after the last member end the content. A rewind afterwards must
// decode again, not hand out the stored bytes.
TEST_P(PackStream, RewindsToCompressedReadingAfterTrailingBytes)
{
    const Bytes content = Pattern(500);
    for (const Bytes& tail : {ToBytes("x"), ToBytes("trailing junk")}) {
        m_image = CPackImage(SECTOR);
        StreamPtr p = Open(Wrap(Concat(GzipMember(content), tail), 500), false);
        EXPECT_EQ(ReadAll(*p), content);
        ASSERT_TRUE(p->Fseek(0, SEEK_SET));
        EXPECT_EQ(ReadAll(*p), content) << tail.size();
        ASSERT_TRUE(p->Fseek(100, SEEK_SET));
        EXPECT_EQ(ReadAll(*p), Bytes(content.begin() + 100, content.end()));
    }
}

TEST_P(PackStream, DecodesAPlainEntryThatStartsLikeGzipButKeepsItsStoredSize)
{
    const Bytes content = Pattern(700);
    const Bytes stored = GzipMember(content);
    StreamPtr p = Open(stored, false);
    EXPECT_EQ(p->GetFileSize(), stored.size());
    EXPECT_EQ(ReadAll(*p), content);
}

TEST_P(PackStream, PassesPlainBytesInsideAWrapperThroughCountingFromItsContent)
{
    const Bytes content = ToBytes("not gzip at all, just bytes");
    StreamPtr p = Open(Wrap(content, 27), false);
    EXPECT_EQ(p->GetFileSize(), 27u);
    EXPECT_EQ(ReadAll(*p), content);
    ASSERT_TRUE(p->Fseek(4, SEEK_SET));
    EXPECT_EQ(ReadAll(*p), Bytes(content.begin() + 4, content.end()));
}

TEST_P(PackStream, FailsAfterTheContentWhenTheCrcIsWrong)
{
    const Bytes content = Pattern(300);
    Bytes member = GzipMember(content);
    member[member.size() - 8] ^= 1;
    StreamPtr p = Open(Wrap(member, 300), false);
    Bytes buffer(400);
    EXPECT_EQ(p->Fread(buffer.data(), 1, 400), 300u);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 300), content);
    EXPECT_EQ(p->Fread(buffer.data(), 1, 400), FAILED);
    EXPECT_EQ(p->Ftell(), -1);
    EXPECT_FALSE(p->Fseek(0, SEEK_SET));
    EXPECT_EQ(p->Fread(buffer.data(), 1, 1), FAILED);

    // A preload that meets the bad CRC hands out no stream at all.
    EXPECT_EQ(OpenWritten(true), nullptr);
}

// Each damage either fails the first read outright or comes after the
// content it cut short; either way the fault is reported, never a short file.
TEST_P(PackStream, ReportsDamagedGzipData)
{
    const Bytes content = Pattern(2000);
    const Bytes good = GzipMember(content);
    struct {
        const char* what;
        Bytes stored;
        bool dataFirst;
    } const cases[] = {
        {"method 7", [&] { Bytes b = good; b[2] = 7; return b; }(), false},
        {"reserved flag", [&] { Bytes b = good; b[3] = 0x20; return b; }(), false},
        {"header cut", Bytes(good.begin(), good.begin() + 6), false},
        {"name never ends", Concat(Bytes{0x1F, 0x8B, 8, 0x08, 0, 0, 0, 0, 0, 3}, ToBytes("abc")), false},
        {"deflate data cut", Bytes(good.begin(), good.begin() + static_cast<long>(good.size() / 2)), true},
        {"trailer cut", Bytes(good.begin(), good.end() - 2), true},
    };
    for (const auto& c : cases) {
        m_image = CPackImage(SECTOR);
        StreamPtr p = Open(Wrap(c.stored, 2000), false);
        Bytes buffer(4000);
        unsigned int got = p->Fread(buffer.data(), 1, 4000);
        if (c.dataFirst) {
            EXPECT_NE(got, FAILED) << c.what;
            EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + got), Bytes(content.begin(), content.begin() + got)) << c.what;
            got = p->Fread(buffer.data(), 1, 4000);
        }
        EXPECT_EQ(got, FAILED) << c.what;
        EXPECT_EQ(p->Ftell(), -1) << c.what;
        EXPECT_EQ(OpenWritten(true), nullptr) << c.what;
    }
}

TEST_P(PackStream, BoundsPreloadingByTheStoredBytesNotTheDeclaredLength)
{
    // 20 plain bytes inside a wrapper that claims four gigabytes.
    const Bytes content = Pattern(20);
    StreamPtr p = Open(Wrap(content, 0xFFFFFFFFu), true);
    EXPECT_EQ(p->GetFileSize(), 0xFFFFFFFFu);
    ASSERT_TRUE(p->Fseek(0, SEEK_END));
    EXPECT_EQ(p->Ftell(), 20);

    // Deflate data can hold at most 1032 times its stored size (the 10-byte
    // member header before it counts for nothing).
    m_image = CPackImage(SECTOR);
    const Bytes member = GzipMember(Bytes(1000, 'a'));
    StreamPtr gz = Open(Wrap(member, 0xFFFFFFFFu), true);
    ASSERT_TRUE(gz->Fseek(0, SEEK_END));
    EXPECT_EQ(gz->Ftell(), 1000);
    Bytes head(1000);
    ASSERT_TRUE(gz->Fseek(0, SEEK_SET));
    EXPECT_EQ(gz->Fread(head.data(), 1000, 1), 1u);
    EXPECT_EQ(head, Bytes(1000, 'a'));
}

TEST_P(PackStream, ReadsNothingWhenTheSectorSizeIsZero)
{
    m_image = CPackImage(0);
    m_image.SetLinks(0, 0, 0);
    m_image.Store(u"f", {}, {0});
    Bytes index = m_image.IndexBytes();
    index[24 + 4] = 5;  // the entry claims 5 bytes
    m_image.Write(m_dir.File("p"));
    Spit(m_dir.File("p") + ".odx", index);
    for (const bool inMemory : {false, true}) {
        StreamPtr p = OpenWritten(inMemory);
        ASSERT_TRUE(p);
        uint8_t buffer[8];
        EXPECT_EQ(p->Fread(buffer, 1, 8), 0u);
    }
}

TEST(LooseFile, ReadsPlainAndWrappedFilesAndClosesEachDescriptorOnce)
{
    CTempDir dir;
    const Bytes plain = Pattern(5000);
    const Bytes text = Pattern(3000, 9);
    Spit(dir.File("plain.bin"), plain);
    Spit(dir.File("packed.bin"), Wrap(GzipMember(text), 3000));

    const int before = oru::test::OpenHandleCount();
    for (const bool inMemory : {false, true}) {
        StreamPtr p(new COruFile(std::fopen(dir.File("plain.bin").c_str(), "rb"), inMemory));
        EXPECT_EQ(p->GetFileSize(), 5000u);
        EXPECT_EQ(ReadAll(*p), plain);
        EXPECT_EQ(p->Fseek(0, SEEK_END), inMemory);

        StreamPtr gz(new COruFile(std::fopen(dir.File("packed.bin").c_str(), "rb"), inMemory));
        EXPECT_EQ(gz->GetFileSize(), 3000u);
        uint8_t buffer[10];
        ASSERT_EQ(gz->Fread(buffer, 1, 10), inMemory ? 10u : 10u);
        ASSERT_TRUE(gz->Fseek(0, SEEK_SET));
        EXPECT_EQ(ReadAll(*gz), text);
        EXPECT_NE(gz->Feof(), 0);
    }
    EXPECT_EQ(oru::test::OpenHandleCount(), before);
}

// A loose file whose gzip data is damaged fails its reads in memory mode
// too, instead of holding zeros where the content broke off.
TEST(LooseFile, FailsEveryReadInMemoryWhenThePreloadMetDamage)
{
    CTempDir dir;
    Bytes member = GzipMember(Pattern(3000, 9));
    member[member.size() - 8] ^= 1;
    Spit(dir.File("bad.bin"), Wrap(member, 3000));
    StreamPtr p(new COruFile(std::fopen(dir.File("bad.bin").c_str(), "rb"), true));
    uint8_t buffer[10];
    EXPECT_EQ(p->Fread(buffer, 1, 10), FAILED);
    EXPECT_EQ(p->Ftell(), -1);
    EXPECT_FALSE(p->Fseek(0, SEEK_SET));
    EXPECT_EQ(p->Feof(), 0);
}

// In memory mode too: a file that cannot be read is no empty content.
TEST(LooseFile, MakesAStreamWhoseReadsFailFromANullFile)
{
    for (const bool inMemory : {false, true}) {
        COruFile file(static_cast<std::FILE*>(nullptr), inMemory);
        uint8_t buffer[4];
        EXPECT_EQ(file.Fread(buffer, 1, 4), FAILED) << inMemory;
        EXPECT_FALSE(file.Fseek(0, SEEK_SET)) << inMemory;
        EXPECT_EQ(file.Feof(), 0) << inMemory;
    }
}

TEST(CStyleFunctions, AnswerANullStreamWithTheirOwnValues)
{
    uint8_t buffer[4];
    EXPECT_EQ(oru_fread(buffer, 1, 4, nullptr), 0u);
    EXPECT_EQ(oru_fseek(nullptr, 0, SEEK_SET), 1);
    EXPECT_EQ(oru_feof(nullptr), 0);
    EXPECT_EQ(oru_fclose(nullptr), -1);
}

TEST_P(PackStream, AnswersThroughTheCStyleFunctions)
{
    const Bytes content = Pattern(30);
    COruFile* p = Open(content, false).release();
    uint8_t buffer[40];
    EXPECT_EQ(oru_fseek(p, 10, SEEK_SET), 0);
    EXPECT_EQ(oru_fseek(p, 0, SEEK_END), 1);
    EXPECT_EQ(oru_fread(buffer, 2, 20, p), 20u);
    EXPECT_EQ(oru_feof(p), 0);
    EXPECT_EQ(oru_fread(buffer, 2, 20, p), 0u);
    EXPECT_NE(oru_feof(p), 0);
    EXPECT_EQ(oru_fclose(p), 0);
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, PackStream, ::testing::Values(16u, 8192u),
                         [](const auto& sizeInfo) { return "Sector" + std::to_string(sizeInfo.param); });
