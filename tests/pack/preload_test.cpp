// Memory mode decodes a clean gzip member in one call and reads everything
// else through the streaming reader. Whichever way it went, a preloaded
// stream must hold what a streaming read of the same entry gives: the first
// GetFileSize() bytes of the content, zeros after a shorter content, and no
// stream at all where the read meets damage within them.

#include <oru/pack/oru_pack.h>

#include "pack/gz_stream.h"
#include "pack/sector_chain.h"
#include "pack_builder.h"
#include "platform/file.h"
#include "support/system.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>


#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

using namespace oru::test;
using EWholeDecode = oru::detail::oru_gz_stream::EWholeDecode;

namespace {

constexpr unsigned int FAILED = 0xFFFFFFFFu;

struct CCloser {
    void operator()(COruFile* p) const { oru_fclose(p); }
};
using StreamPtr = std::unique_ptr<COruFile, CCloser>;

Bytes Concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Long runs give the decoder matches to copy, noise gives it literals.
const Bytes CONTENT = Concat(Concat(Pattern(9000), Bytes(12000, 'a')), Pattern(9000, 2));
const Bytes OTHER = Pattern(5000, 3);
const Bytes MEMBER = GzipMember(CONTENT);
const uint32_t SIZE = static_cast<uint32_t>(CONTENT.size());

// `bytes` with every bit of byte `at` flipped.
Bytes Flipped(Bytes bytes, size_t at)
{
    bytes[at] ^= 0xFF;
    return bytes;
}

Bytes Cut(const Bytes& bytes, size_t drop)
{
    return Bytes(bytes.begin(), bytes.end() - static_cast<long>(drop));
}

struct CPreloadCase {
    const char* m_pWhat;
    Bytes m_data;                        // the gzip data
    std::optional<uint32_t> m_declared;  // wrapped with this length; none: stored plain
    EWholeDecode m_eWhole;               // what the one-call decode makes of it
    bool m_bOpens;                       // a memory-mode open gives a stream
    bool m_bBreakChain = false;          // the chain leads out of the data file halfway
};

const CPreloadCase CASES[] = {
    {"one member", MEMBER, SIZE, EWholeDecode::Decoded, true},
    {"optional header fields", GzipMember(CONTENT, 0x1E), SIZE, EWholeDecode::Decoded, true},
    {"declared longer than the content", MEMBER, SIZE + 7000, EWholeDecode::Decoded, true},
    {"length field that is wrong", Flipped(MEMBER, MEMBER.size() - 1), SIZE, EWholeDecode::Decoded, true},
    {"bytes after the member that start none", Concat(MEMBER, ToBytes("xy")), SIZE, EWholeDecode::Decoded, true},
    {"one gzip ID byte after the member", Concat(MEMBER, {0x1F}), SIZE, EWholeDecode::Decoded, true},
    {"plain entry holding gzip data", GzipMember(OTHER), std::nullopt, EWholeDecode::Decoded, true},
    {"declared shorter than the content", MEMBER, SIZE - 1000, EWholeDecode::Refused, true},
    {"declared shorter, damaged past it", Flipped(MEMBER, MEMBER.size() - 8), SIZE - 1000,
     EWholeDecode::Refused, true},
    {"two members", Concat(MEMBER, GzipMember(OTHER)), SIZE + 5000, EWholeDecode::Refused, true},
    {"a second member after a short declared length", Concat(MEMBER, GzipMember(OTHER)), SIZE,
     EWholeDecode::Refused, true},
    {"plain entry decoding to more than its size", GzipMember(Bytes(40000, 'b')), std::nullopt,
     EWholeDecode::Refused, true},
    {"wrong CRC", Flipped(MEMBER, MEMBER.size() - 8), SIZE, EWholeDecode::Refused, false},
    {"second member with a wrong CRC", Concat(MEMBER, Flipped(GzipMember(OTHER), 5010)), SIZE + 5000,
     EWholeDecode::Refused, false},
    {"second member cut", Concat(MEMBER, Cut(GzipMember(OTHER), 100)), SIZE + 5000, EWholeDecode::Refused, false},
    {"deflate data cut", Cut(MEMBER, MEMBER.size() / 2), SIZE, EWholeDecode::Refused, false},
    {"trailer cut", Cut(MEMBER, 2), SIZE, EWholeDecode::Refused, false},
    {"deflate data scrambled", Flipped(MEMBER, 200), SIZE, EWholeDecode::Refused, false},
    {"chain broken halfway", MEMBER, SIZE, EWholeDecode::Refused, false, true},
    {"method other than deflate", Flipped(MEMBER, 2), SIZE, EWholeDecode::NotTried, false},
    {"nothing declared", MEMBER, 0, EWholeDecode::NotTried, true},
};

// What a memory-mode open must hold, found through the streaming reader:
// GetFileSize() bytes read (zeros where the content is shorter), then one
// more byte, which is where a member read to its end checks its CRC. Null
// when a read met damage.
std::optional<Bytes> StreamedPreload(COruFile& file)
{
    Bytes content(file.GetFileSize());
    size_t filled = 0;
    while (filled < content.size()) {
        const unsigned int got = file.Fread(content.data() + filled, 1, static_cast<unsigned int>(content.size() - filled));
        if (got == FAILED)
            return std::nullopt;
        if (got == 0) {
            content.resize(filled);  // the content ends before its declared length
            return content;
        }
        filled += got;
    }
    uint8_t probe = 0;
    if (file.Fread(&probe, 1, 1) == FAILED)
        return std::nullopt;
    return content;
}

// In a child: with the address space a little above what the process
// already uses, opens "f" both ways and exits 0 when only memory mode fails.
[[noreturn]] void OpenUnderAddressSpaceLimit(COruPack& pack)
{
    oru::test::LimitAddressSpace(uint64_t{256} << 20);
    StreamPtr streaming(pack.OpenFile(L"f", false));
    StreamPtr memory(pack.OpenFile(L"f", true));
    std::_Exit(streaming && !memory ? 0 : 1);
}

class Preload : public ::testing::TestWithParam<uint32_t> {
protected:
    // Stores one case as "f" on consecutive sectors from 0.
    void Store(const CPreloadCase& c)
    {
        const Bytes stored = c.m_declared ? Wrap(c.m_data, *c.m_declared) : c.m_data;
        std::vector<uint32_t> sectors;
        for (uint32_t i = 0; i < std::max<size_t>(1, (stored.size() + SECTOR - 1) / SECTOR); ++i)
            sectors.push_back(i);
        m_image = CPackImage(SECTOR);
        m_image.Store(u"f", stored, sectors);
        const uint32_t half = static_cast<uint32_t>(sectors.size() / 2);
        if (c.m_bBreakChain)
            m_image.SetLinks(half, 1000000, half - 1);
        const std::string base = Base();
        m_image.Write(base);
        m_pack.OpenOruPack(std::wstring(base.begin(), base.end()), ORU_PACK_MODE_READ, 512);
    }

    // Runs the one-call decode on a fresh reader over "f", the way a preload
    // of GetFileSize() bytes would.
    EWholeDecode DecodeWhole(Bytes& out)
    {
        const _oru_pack_file_info info = m_pack.GetFileList()->at(L"f");
        auto pChain = std::make_unique<oru::detail::CSectorChain>(
            oru::platform::CFile::OpenRead(Base() + ".opk"), info, SECTOR);
        oru::detail::CWrapperPrefix prefix;
        auto pStream = oru::detail::oru_gz_stream::Open(std::move(pChain), prefix);
        out.assign(prefix.m_bWrapped ? prefix.m_nDeclared : info.size, 0);
        uint64_t produced = 0;
        return pStream->DecodeWhole(out.data(), out.size(), produced);
    }

    std::string Base() const { return m_dir.File("p"); }

    const uint32_t SECTOR = GetParam();
    CTempDir m_dir;
    CPackImage m_image{SECTOR};
    COruPack m_pack;
};

}  // namespace

TEST_P(Preload, HoldsWhatAStreamingReadGivesWhicheverWayItDecodes)
{
    for (const CPreloadCase& c : CASES) {
        Store(c);
        Bytes whole;
        EXPECT_EQ(DecodeWhole(whole), c.m_eWhole) << c.m_pWhat;

        StreamPtr streaming(m_pack.OpenFile(L"f", false));
        ASSERT_TRUE(streaming) << c.m_pWhat;
        const std::optional<Bytes> expected = StreamedPreload(*streaming);
        StreamPtr memory(m_pack.OpenFile(L"f", true));
        EXPECT_EQ(memory != nullptr, c.m_bOpens) << c.m_pWhat;
        ASSERT_EQ(memory != nullptr, expected.has_value()) << c.m_pWhat;
        if (!memory)
            continue;
        EXPECT_EQ(ReadAll(*memory), *expected) << c.m_pWhat;
        if (c.m_eWhole == EWholeDecode::Decoded) {
            whole.resize(expected->size());
            EXPECT_EQ(whole, *expected) << c.m_pWhat;
        }
    }
}

// A memory-mode open whose buffer cannot be had fails as an unreadable entry
// does, rather than handing out an empty stream. The declared length asks for
// about a gigabyte, which the address space limit of a child process refuses.
TEST_P(Preload, FailsLikeAnUnreadableEntryWhenItsMemoryCannotBeHad)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' allocators do not return null under an address space limit";
#endif
    const Bytes content = Pattern(1 << 20);
    Store({"a gigabyte declared", GzipMember(content), 0xFFFFFFFFu, EWholeDecode::Decoded, true});
    StreamPtr memory(m_pack.OpenFile(L"f", true));
    ASSERT_TRUE(memory);
    Bytes head(content.size());
    ASSERT_EQ(memory->Fread(head.data(), static_cast<unsigned int>(head.size()), 1), 1u);
    EXPECT_EQ(head, content);
    memory.reset();

    ORU_TEST_REQUIRES(oru::test::eTestFeature::ADDRESS_SPACE_LIMIT);
    EXPECT_EXIT(OpenUnderAddressSpaceLimit(m_pack), ::testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, Preload, ::testing::Values(16u, 8192u),
                         [](const auto& sizeInfo) { return "Sector" + std::to_string(sizeInfo.param); });
