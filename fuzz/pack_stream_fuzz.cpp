// Opens one entry of a fuzzed pack and reads it the ways a game does: through,
// back to the start, to a middle point, and again, in streaming and memory
// mode. The input picks the sector size, the entry's record and the reading
// pattern; the rest of it is the data file, links and all.
//
// Beyond not crashing, hanging or reading out of bounds: reading the content
// a second time after a successful rewind must give the same bytes, a
// preload must hold what a clean streaming read gave, however it decoded,
// and content read by the sizes of blocked gzip members must be what a
// reader of plain members makes of the same bytes, or fail cleanly.

#include <oru/pack/oru_pack.h>

#include "pack/gz_stream.h"
#include "platform/file.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// The pack's two files, removed when the run ends.
class CScratchPack {
public:
    ~CScratchPack()
    {
        std::remove((m_strBase + ".odx").c_str());
        std::remove((m_strBase + ".opk").c_str());
    }
    const std::string m_strBase = "/tmp/oru_fuzz_pack_stream_" + std::to_string(getpid());
};

const std::string& Base()
{
    static const CScratchPack s_pack;
    return s_pack.m_strBase;
}

void Put(const std::string& path, const void* data, size_t size)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        std::abort();
    if (size)
        std::fwrite(data, 1, size, f);
    std::fclose(f);
}

void PutU32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Reads everything in chunks of `chunk` bytes; false when a read failed.
bool ReadAll(COruFile& file, unsigned int chunk, std::vector<uint8_t>& out)
{
    std::vector<uint8_t> buffer(chunk);
    for (int guard = 0; guard < 1 << 20; ++guard) {
        const unsigned int got = file.Fread(buffer.data(), 1, chunk);
        if (got == 0xFFFFFFFFu)
            return false;
        if (got > chunk)
            std::abort();
        if (got == 0)
            return true;
        out.insert(out.end(), buffer.begin(), buffer.begin() + got);
    }
    std::abort();  // a stream that never ends
}

// The entry read as plain gzip members, ignoring blocked members' sizes;
// false when a read failed.
bool ReadAsPlainMembers(COruPack& pack, uint32_t sectorSize, std::vector<uint8_t>& out)
{
    const auto it = pack.GetFileList()->find(L"f");
    if (it == pack.GetFileList()->end())
        return false;
    auto pChain = std::make_unique<oru::detail::CSectorChain>(
        oru::platform::CFile::OpenRead(Base() + ".opk"), it->second, sectorSize);
    oru::detail::CWrapperPrefix prefix;
    auto pStream = oru::detail::oru_gz_stream::Open(std::move(pChain), prefix, false);
    if (!pStream)
        return false;
    std::vector<uint8_t> buffer(65536);
    for (int guard = 0; guard < 1 << 20; ++guard) {
        const int got = pStream->Read(buffer.data(), static_cast<uint32_t>(buffer.size()));
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        out.insert(out.end(), buffer.begin(), buffer.begin() + got);
    }
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 8)
        return 0;
    const uint8_t shape = data[0];
    const uint8_t how = data[1];
    const uint32_t sectorSize = (shape & 0x80) ? 4096 + (shape & 0x3F) : 1 + (shape & 0x3F);
    uint32_t entrySize = data[2] | (uint32_t{data[3]} << 8);
    if (how & 0x80)
        entrySize = 0xFFFFFFFFu - data[2];
    const uint32_t firstSector = data[4];
    const unsigned int chunk = 1 + data[5] + ((how & 0x40) ? 4096 : 0);
    const long middle = data[6] | (long{data[7]} << 8);

    // One entry named "f"; the rest of the input is the data file.
    std::vector<uint8_t> index;
    for (const uint32_t v : {1u, sectorSize, 64u, 0u, 1u, entrySize})
        PutU32(index, v);
    for (const uint16_t unit : {static_cast<uint16_t>('f' ^ 0xB5), static_cast<uint16_t>(0xB5)}) {
        index.push_back(static_cast<uint8_t>(unit));
        index.push_back(static_cast<uint8_t>(unit >> 8));
    }
    PutU32(index, entrySize);
    PutU32(index, firstSector);
    PutU32(index, 1);
    index.resize(index.size() + 24, 0);
    index.resize(index.size() + 9, 0);
    Put(Base() + ".odx", index.data(), index.size());
    Put(Base() + ".opk", data + 8, size - 8);

    COruPack pack;
    pack.OpenOruPack(std::wstring(Base().begin(), Base().end()), ORU_PACK_MODE_READ, 512);
    std::vector<uint8_t> streamed;
    bool streamedClean = false;
    for (const bool inMemory : {false, true}) {
        // A preload that met damaged data gives no stream at all.
        COruFile* pFile = pack.OpenFile(L"f", inMemory);
        if (!pFile) {
            if (!inMemory)
                std::abort();
            continue;
        }
        std::vector<uint8_t> first, again;
        const bool clean = ReadAll(*pFile, chunk, first);
        // A read that ran into the end leaves the stream at the end, its
        // position the bytes delivered; memory never holds more than the size.
        if (clean && (pFile->Feof() == 0 || pFile->Ftell() != static_cast<long>(first.size())))
            std::abort();
        if (!clean && pFile->Ftell() != -1)
            std::abort();
        if (inMemory && first.size() > pFile->GetFileSize())
            std::abort();
        if (!inMemory) {
            streamed = first;
            streamedClean = clean;
            // What came before a failure, or everything, is what plain
            // members hold there; both clean, they are the same.
            std::vector<uint8_t> plain;
            const bool plainClean = ReadAsPlainMembers(pack, sectorSize, plain);
            const size_t common = std::min(first.size(), plain.size());
            if (!std::equal(first.begin(), first.begin() + static_cast<long>(common), plain.begin()) ||
                (clean && plainClean && first != plain))
                std::abort();
        } else if (streamedClean) {
            // Memory holds exactly what streaming delivers, up to the size:
            // no byte more, none made up.
            const size_t expected = std::min<size_t>(streamed.size(), pFile->GetFileSize());
            if (first.size() != expected || !std::equal(first.begin(), first.end(), streamed.begin()))
                std::abort();
        }
        if (clean && pFile->Fseek(0, SEEK_SET)) {
            if (!ReadAll(*pFile, chunk, again) || again != first)
                std::abort();
        }
        if (pFile->Fseek(middle, SEEK_SET)) {
            const long at = pFile->Ftell();
            if (at != middle)
                std::abort();
            std::vector<uint8_t> rest;
            ReadAll(*pFile, chunk, rest);
            // A seek may walk links past where the data itself ends; what can
            // be read from there must still be the content read before.
            if (clean && static_cast<size_t>(middle) <= first.size()) {
                const size_t common = std::min(rest.size(), first.size() - static_cast<size_t>(middle));
                if (!std::equal(rest.begin(), rest.begin() + static_cast<long>(common), first.begin() + middle))
                    std::abort();
            }
        }
        pFile->Fseek(-static_cast<long>(how & 0x1F), SEEK_CUR);
        pFile->Fseek(0, SEEK_END);
        uint8_t byte;
        pFile->Fread(&byte, 1, 1);
        pFile->GetFileSize();
        oru_fclose(pFile);
    }
    return 0;
}
