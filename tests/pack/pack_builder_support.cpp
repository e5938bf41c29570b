#include "pack_builder.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <stdexcept>

namespace oru::test {

Bytes ToBytes(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

void AppendU16(Bytes& out, uint16_t value)
{
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void AppendU32(Bytes& out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void AppendU64(Bytes& out, uint64_t value)
{
    AppendU32(out, static_cast<uint32_t>(value));
    AppendU32(out, static_cast<uint32_t>(value >> 32));
}

static Bytes RawDeflate(const Bytes& content)
{
    z_stream z{};
    if (deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2");
    Bytes out(deflateBound(&z, content.size()) + 16);
    z.next_in = const_cast<Bytef*>(content.data());
    z.avail_in = static_cast<uInt>(content.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END)
        throw std::runtime_error("deflate");
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

Bytes GzipMember(const Bytes& content, uint8_t flags)
{
    Bytes out = {0x1F, 0x8B, 8, flags, 0, 0, 0, 0, 0, 3};
    if (flags & 0x04) {
        AppendU16(out, 3);
        out.insert(out.end(), {'a', 'b', 'c'});
    }
    if (flags & 0x08)
        out.insert(out.end(), {'n', 'a', 'm', 'e', 0});
    if (flags & 0x10)
        out.insert(out.end(), {'c', 'o', 'm', 0});
    if (flags & 0x02)
        AppendU16(out, 0xBEEF);
    const Bytes body = RawDeflate(content);
    out.insert(out.end(), body.begin(), body.end());
    AppendU32(out, static_cast<uint32_t>(crc32(0, content.data(), static_cast<uInt>(content.size()))));
    AppendU32(out, static_cast<uint32_t>(content.size()));
    return out;
}

Bytes Wrap(const Bytes& data, uint32_t declared)
{
    Bytes out = ToBytes("ORUGZIP1");
    AppendU32(out, declared);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

void CPackImage::Grow(uint32_t sectors)
{
    if (sectors <= m_nSectorCount)
        return;
    m_data.resize(uint64_t{sectors} * (m_nSectorSize + 8), 0);
    m_used.resize(sectors, false);
    m_nSectorCount = sectors;
}

void CPackImage::SetLinks(uint32_t sector, uint32_t next, uint32_t prev)
{
    Grow(sector + 1);
    const size_t at = size_t{sector} * (m_nSectorSize + 8);
    std::memcpy(&m_data[at], &next, 4);
    std::memcpy(&m_data[at + 4], &prev, 4);
}

void CPackImage::Store(const std::u16string& name, const Bytes& stored,
                       const std::vector<uint32_t>& sectors)
{
    for (size_t i = 0; i < sectors.size(); ++i) {
        const uint32_t s = sectors[i];
        SetLinks(s, i + 1 < sectors.size() ? sectors[i + 1] : s, i > 0 ? sectors[i - 1] : s);
        m_used[s] = true;
        const size_t from = i * m_nSectorSize;
        if (from < stored.size()) {
            const size_t n = std::min<size_t>(m_nSectorSize, stored.size() - from);
            std::memcpy(&m_data[size_t{s} * (m_nSectorSize + 8) + 8], &stored[from], n);
        }
    }
    m_entries.push_back({name, static_cast<uint32_t>(stored.size()), sectors.at(0),
                         static_cast<uint32_t>(sectors.size())});
}

Bytes CPackImage::IndexBytes() const
{
    Bytes out;
    uint32_t total = 0;
    for (const CEntry& e : m_entries)
        total += e.m_nSize;
    AppendU32(out, 1);
    AppendU32(out, m_nSectorSize);
    AppendU32(out, m_nSectorCount);
    AppendU32(out, static_cast<uint32_t>(m_data.size()));
    AppendU32(out, m_nFileCountOverride != UINT32_MAX ? m_nFileCountOverride
                                                      : static_cast<uint32_t>(m_entries.size()));
    AppendU32(out, total);
    for (const CEntry& e : m_entries) {
        for (const char16_t unit : e.m_name)
            AppendU16(out, static_cast<uint16_t>(unit ^ 0xB5));
        AppendU16(out, 0xB5);
        AppendU32(out, e.m_nSize);
        AppendU32(out, e.m_nFirst);
        AppendU32(out, e.m_nSectors);
        AppendU64(out, 0x01D0000000000001ull);
        AppendU64(out, 0x01D0000000000002ull);
        AppendU64(out, 0x01D0000000000003ull);
    }
    for (uint32_t byte = 0; byte <= m_nSectorCount / 8; ++byte) {
        uint8_t bits = 0;
        for (uint32_t bit = 0; bit < 8; ++bit)
            if (byte * 8 + bit < m_nSectorCount && m_used[byte * 8 + bit])
                bits = static_cast<uint8_t>(bits | (1u << bit));
        out.push_back(bits);
    }
    return out;
}

Bytes CPackImage::DataBytes() const
{
    return m_data;
}

void CPackImage::Write(const std::string& base) const
{
    Spit(base + ".odx", IndexBytes());
    Spit(base + ".opk", DataBytes());
}

Bytes ReadInPieces(COruFile& file, const std::vector<unsigned int>& sizes)
{
    Bytes out;
    for (size_t i = 0;; ++i) {
        const unsigned int want = sizes[i % sizes.size()];
        Bytes buffer(want);
        const unsigned int got = file.Fread(buffer.data(), 1, want);
        if (got == 0 || got == 0xFFFFFFFFu)
            break;
        out.insert(out.end(), buffer.begin(), buffer.begin() + got);
    }
    return out;
}

Bytes ReadAll(COruFile& file, unsigned int pieceSize)
{
    return ReadInPieces(file, {pieceSize});
}

Bytes ReadEntry(COruPack& pack, const std::wstring& name, bool inMemory, unsigned int pieceSize)
{
    COruFile* pFile = pack.OpenFile(name, inMemory);
    if (!pFile) {
        ADD_FAILURE() << "no stream";
        return {};
    }
    Bytes content = ReadAll(*pFile, pieceSize);
    oru_fclose(pFile);
    return content;
}

}  // namespace oru::test
