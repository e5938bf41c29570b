// Blocked gzip members: what the writer makes is plain gzip to any reader,
// the stream reads it through and seeks in it by member, and members whose
// sizes or data do not hold together read as plain members would, or fail
// cleanly; never bytes that are not there.

#include "pack/gz_blocks.h"
#include "pack/gz_stream.h"
#include "pack/pack_format.h"
#include "pack_builder.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <optional>
#include <random>

using namespace oru::test;

namespace {

// Text that compresses, noise that does not, in turns.
Bytes MixedContent(size_t size)
{
    Bytes out;
    for (uint32_t part = 0; out.size() < size; ++part) {
        const Bytes piece = part % 2 ? Pattern(30000, part) : ToBytes(std::string(50000, 'a' + part % 26));
        out.insert(out.end(), piece.begin(), piece.end());
    }
    out.resize(size);
    return out;
}

Bytes Blocked(const Bytes& content)
{
    oru::detail::CBlockWriter writer;
    Bytes out(writer.Bound(content.size()));
    out.resize(writer.Write(content.data(), content.size(), out.data()));
    return out;
}

// What a reader that knows only gzip members in sequence (zlib's inflate)
// makes of `stored`: each member's content, its CRC checked; nothing when
// any member is damaged.
std::optional<Bytes> InflateMembers(const Bytes& stored)
{
    Bytes out;
    size_t at = 0;
    while (at + 2 <= stored.size() && stored[at] == 0x1F && stored[at + 1] == 0x8B) {
        z_stream z{};
        inflateInit2(&z, 15 + 16);  // one gzip member, its trailer checked
        z.next_in = const_cast<Bytef*>(stored.data() + at);
        z.avail_in = static_cast<uInt>(stored.size() - at);
        int result = Z_OK;
        Bytes buffer(65536);
        while (result == Z_OK) {
            z.next_out = buffer.data();
            z.avail_out = static_cast<uInt>(buffer.size());
            result = inflate(&z, Z_NO_FLUSH);
            out.insert(out.end(), buffer.begin(), buffer.begin() + (buffer.size() - z.avail_out));
        }
        at = stored.size() - z.avail_in;
        inflateEnd(&z);
        if (result != Z_STREAM_END)
            return std::nullopt;
    }
    return out;
}

// An entry stored wrapped around `data`, opened as a game opens it, or read
// as plain members by a reader that ignores the sizes.
class BlockedMembers : public ::testing::Test {
protected:
    void Store(const Bytes& data, uint32_t declared)
    {
        m_image = CPackImage(SECTOR);
        const Bytes stored = Wrap(data, declared);
        std::vector<uint32_t> sectors;
        for (uint32_t i = 0; i < std::max<size_t>(1, (stored.size() + SECTOR - 1) / SECTOR); ++i)
            sectors.push_back(i);
        m_image.Store(u"f", stored, sectors);
        m_image.Write(m_dir.File("p"));
        m_pack.OpenOruPack(Wide(m_dir.File("p")), ORU_PACK_MODE_READ, 512);
    }
    std::unique_ptr<COruFile, int (*)(COruFile*)> Open(bool inMemory)
    {
        return {m_pack.OpenFile(L"f", inMemory), oru_fclose};
    }
    // The whole content read through, or nothing when a read failed;
    // `delivered` gets what came before a failure.
    static std::optional<Bytes> ReadThrough(COruFile& file, Bytes& delivered, unsigned int piece = 70000)
    {
        Bytes buffer(piece);
        for (;;) {
            const unsigned int got = file.Fread(buffer.data(), 1, piece);
            if (got == 0xFFFFFFFFu)
                return std::nullopt;
            if (got == 0)
                return delivered;
            delivered.insert(delivered.end(), buffer.begin(), buffer.begin() + got);
        }
    }
    // The same stored bytes read as plain members by the library's own
    // streaming reader.
    std::optional<Bytes> ReadAsPlainMembers()
    {
        const _oru_pack_file_info info = m_pack.GetFileList()->at(L"f");
        auto pChain = std::make_unique<oru::detail::CSectorChain>(
            oru::platform::CFile::OpenRead(m_dir.File("p") + ".opk"), info, SECTOR);
        oru::detail::CWrapperPrefix prefix;
        auto pStream = oru::detail::oru_gz_stream::Open(std::move(pChain), prefix, false);
        Bytes out, buffer(65536);
        for (;;) {
            const int got = pStream->Read(buffer.data(), static_cast<uint32_t>(buffer.size()));
            if (got < 0)
                return std::nullopt;
            if (got == 0)
                return out;
            out.insert(out.end(), buffer.begin(), buffer.begin() + got);
        }
    }

    static constexpr uint32_t SECTOR = 4096;
    CTempDir m_dir;
    CPackImage m_image{SECTOR};
    COruPack m_pack;
};

}  // namespace

// One member per 256 KiB, each an ordinary gzip member: zlib member by
// member and the gzip tool read back the content; the cost over one member
// is small.
TEST_F(BlockedMembers, AreOrdinaryGzipMembersToAnyReader)
{
    const Bytes content = MixedContent(700000);
    const Bytes blocked = Blocked(content);
    EXPECT_EQ(InflateMembers(blocked), content);
    size_t members = 0;
    for (size_t at = 0; at < blocked.size(); at += oru::detail::BlockedMemberSize(blocked.data() + at, blocked.size() - at))
        ++members;
    EXPECT_EQ(members, 3u);

    Spit(m_dir.File("blocked.gz"), blocked);
    const std::string out = m_dir.File("out");
    if (std::system(("gzip -dc " + m_dir.File("blocked.gz") + " > " + out + " 2>/dev/null").c_str()) == 0) {
        EXPECT_TRUE(Slurp<Bytes>(out) == content);
    }
    uLongf single = compressBound(static_cast<uLong>(content.size()));
    Bytes one(single);
    compress2(one.data(), &single, content.data(), static_cast<uLong>(content.size()), 6);
    EXPECT_LT(static_cast<double>(blocked.size()), 1.04 * static_cast<double>(single));
}

// Read through in pieces of any size and by seeks to any place, backward
// and forward, in both modes; at the end the stream reports the end.
TEST_F(BlockedMembers, ReadAndSeekByMemberInBothModes)
{
    const Bytes content = MixedContent(900000);
    Store(Blocked(content), static_cast<uint32_t>(content.size()));
    for (const bool inMemory : {false, true}) {
        auto pFile = Open(inMemory);
        ASSERT_TRUE(pFile);
        Bytes all;
        EXPECT_EQ(ReadThrough(*pFile, all, 4097), content) << inMemory;
        EXPECT_NE(pFile->Feof(), 0);
        EXPECT_EQ(pFile->Ftell(), static_cast<long>(content.size()));
        EXPECT_FALSE(pFile->Fseek(static_cast<long>(content.size()) + 1, SEEK_SET));
        std::mt19937 random(7);
        for (int i = 0; i < 40; ++i) {
            const long at = static_cast<long>(random() % content.size());
            ASSERT_TRUE(pFile->Fseek(at, SEEK_SET)) << at;
            Bytes piece(5000);
            const unsigned int got = pFile->Fread(piece.data(), 1, 5000);
            const size_t expected = std::min<size_t>(5000, content.size() - static_cast<size_t>(at));
            ASSERT_EQ(got, expected) << at;
            EXPECT_TRUE(std::equal(piece.begin(), piece.begin() + got, content.begin() + at)) << at;
            EXPECT_EQ(pFile->Ftell(), at + static_cast<long>(got));
        }
    }
}

// Members whose sizes or data do not hold together: the stream gives what
// a reader of plain members gives, or fails cleanly, and what it gave
// before failing is that content too.
TEST_F(BlockedMembers, ThatDoNotHoldTogetherReadAsPlainMembersOrFailCleanly)
{
    const Bytes content = MixedContent(600000);
    const Bytes good = Blocked(content);
    const uint32_t first = oru::detail::BlockedMemberSize(good.data(), good.size());
    const Bytes empty = Blocked({});
    const auto withSize = [&](uint32_t size) {
        Bytes bytes = good;
        for (int i = 0; i < 4; ++i)
            bytes[16 + i] = static_cast<uint8_t>(size >> (8 * i));
        return bytes;
    };
    const auto flipped = [&](size_t at) {
        Bytes bytes = good;
        bytes[at] ^= 0x40;
        return bytes;
    };
    Bytes plainAfter = Bytes(good.begin(), good.begin() + first);
    const Bytes member = GzipMember(ToBytes("a plain member after a blocked one"));
    plainAfter.insert(plainAfter.end(), member.begin(), member.end());
    Bytes zeroMembers = empty;
    zeroMembers.insert(zeroMembers.end(), good.begin(), good.end());
    zeroMembers.insert(zeroMembers.end(), empty.begin(), empty.end());
    Bytes trailing = good;
    trailing.insert(trailing.end(), {'t', 'a', 'i', 'l'});
    const struct {
        const char* m_pWhat;
        Bytes m_data;
    } cases[] = {
        {"a size past the entry", withSize(static_cast<uint32_t>(good.size()) + 100)},
        {"a size inside the next member", withSize(first + 7)},
        {"a size short of the member", withSize(first - 7)},
        {"a size too small for a member", withSize(12)},
        {"a flipped bit in the deflate data", flipped(first / 2)},
        {"a flipped bit in a trailer's CRC", flipped(first - 6)},
        {"a flipped bit in a trailer's length", flipped(first - 3)},
        {"a plain member after a blocked one", plainAfter},
        {"members of 0 bytes around the content", zeroMembers},
        {"bytes after the last member", trailing},
        {"the content cut short", Bytes(good.begin(), good.end() - 100)},
    };
    for (const auto& c : cases) {
        Store(c.m_data, static_cast<uint32_t>(content.size()));
        const std::optional<Bytes> plain = ReadAsPlainMembers();
        for (const bool inMemory : {false, true}) {
            auto pFile = Open(inMemory);
            Bytes delivered;
            const std::optional<Bytes> read = pFile ? ReadThrough(*pFile, delivered) : std::nullopt;
            if (read) {
                EXPECT_EQ(read, plain) << c.m_pWhat << (inMemory ? " in memory" : "");
            } else {
                EXPECT_TRUE(std::equal(delivered.begin(), delivered.end(), content.begin()))
                    << c.m_pWhat << (inMemory ? " in memory" : "");
                if (pFile) {
                    EXPECT_EQ(pFile->Ftell(), -1) << c.m_pWhat;
                    EXPECT_FALSE(pFile->Fseek(0, SEEK_SET)) << c.m_pWhat;
                }
            }
        }
    }
}
