#include "core/utf8.h"

#include "core/unicode.h"

#include <cstdint>
#include <cstring>

namespace oru::detail {
namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

size_t EncodedSize(char32_t c)
{
    if (c < 0x80)
        return 1;
    if (c < 0x800)
        return 2;
    if (c < 0x10000)
        return 3;
    return 4;
}

// Writes one scalar value; the caller has checked it and made room.
char* PutUtf8(char32_t c, char* p)
{
    if (c < 0x80) {
        *p++ = static_cast<char>(c);
    } else if (c < 0x800) {
        *p++ = static_cast<char>(0xC0 | (c >> 6));
        *p++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *p++ = static_cast<char>(0xE0 | (c >> 12));
        *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *p++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *p++ = static_cast<char>(0xF0 | (c >> 18));
        *p++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *p++ = static_cast<char>(0x80 | (c & 0x3F));
    }
    return p;
}

// Reads one sequence starting at `s[i]`, advancing `i`. False on an invalid
// or truncated sequence, leaving `i` after the first byte.
bool GetUtf8(std::string_view s, size_t& i, char32_t& out)
{
    const auto lead = static_cast<uint8_t>(s[i++]);
    if (lead < 0x80) {
        out = lead;
        return true;
    }
    size_t extra = 0;
    char32_t c = 0;
    char32_t min = 0;
    if ((lead & 0xE0) == 0xC0) {
        extra = 1; c = lead & 0x1F; min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2; c = lead & 0x0F; min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3; c = lead & 0x07; min = 0x10000;
    } else {
        return false;
    }
    if (s.size() - i < extra)
        return false;
    for (size_t k = 0; k < extra; ++k) {
        const auto b = static_cast<uint8_t>(s[i + k]);
        if ((b & 0xC0) != 0x80)
            return false;
        c = (c << 6) | (b & 0x3F);
    }
    if (c < min || !IsScalarValue(c))
        return false;
    i += extra;
    out = c;
    return true;
}

// Wide characters that valid UTF-8 `text` decodes to; nullopt when invalid.
std::optional<size_t> DecodedLength(std::string_view text)
{
    size_t count = 0;
    size_t i = 0;
    char32_t c = 0;
    while (i < text.size()) {
        if (!GetUtf8(text, i, c))
            return std::nullopt;
        count += WideLength(c);
    }
    return count;
}

}  // namespace

std::optional<size_t> Utf8Length(std::wstring_view text)
{
    size_t n = 0;
    for (size_t i = 0; i < text.size();) {
        const char32_t c = NextCodePoint(text, i);
        if (!IsScalarValue(c))
            return std::nullopt;
        n += EncodedSize(c);
    }
    return n;
}

bool EncodeUtf8(std::wstring_view text, char* dst, size_t capacity, size_t* pLength)
{
    if (capacity == 0)
        return false;
    char* p = dst;
    const size_t n = text.size();
    if (capacity / 4 > n) {
        // Any text of n characters fits: encode without checking room,
        // ASCII four characters at a time.
        const wchar_t* src = text.data();
        const wchar_t* const end = src + n;
        while (src < end) {
            if (end - src >= 4 &&
                (static_cast<char32_t>(src[0]) | static_cast<char32_t>(src[1]) |
                 static_cast<char32_t>(src[2]) | static_cast<char32_t>(src[3])) < 0x80) {
                p[0] = static_cast<char>(src[0]);
                p[1] = static_cast<char>(src[1]);
                p[2] = static_cast<char>(src[2]);
                p[3] = static_cast<char>(src[3]);
                p += 4;
                src += 4;
                continue;
            }
            if (WideValue(*src) < 0x80) {
                *p++ = static_cast<char>(*src++);
                continue;
            }
            size_t i = static_cast<size_t>(src - text.data());
            const char32_t c = NextCodePoint(text, i);
            src = text.data() + i;
            if (!IsScalarValue(c))
                return false;
            p = PutUtf8(c, p);
        }
    } else {
        char* const last = dst + capacity - 1;  // room kept for the terminator
        for (size_t i = 0; i < n;) {
            const char32_t c = NextCodePoint(text, i);
            if (!IsScalarValue(c) || static_cast<size_t>(last - p) < EncodedSize(c))
                return false;
            p = PutUtf8(c, p);
        }
    }
    *p = '\0';
    if (pLength)
        *pLength = static_cast<size_t>(p - dst);
    return true;
}

bool DecodeUtf8(std::string_view text, wchar_t* dst, size_t capacity, size_t* pLength)
{
    // A text of n bytes never decodes to more than n wide characters (a
    // surrogate pair comes of four bytes), so with room for n and a
    // terminator no character needs a room check.
    const size_t n = text.size();
    if (capacity <= n) {
        std::optional<size_t> length = DecodedLength(text);
        if (!length || *length >= capacity)
            return false;
    }
    wchar_t* p = dst;
    size_t i = 0;
    while (i < n) {
        // ASCII eight bytes at a time.
        if (n - i >= 8) {
            uint64_t block = 0;
            std::memcpy(&block, text.data() + i, 8);
            if ((block & 0x8080808080808080ULL) == 0) {
                for (int k = 0; k < 8; ++k)
                    p[k] = static_cast<wchar_t>(static_cast<uint8_t>(text[i + k]));
                p += 8;
                i += 8;
                continue;
            }
        }
        const auto b = static_cast<uint8_t>(text[i]);
        if (b < 0x80) {
            *p++ = static_cast<wchar_t>(b);
            ++i;
            continue;
        }
        char32_t c = 0;
        if (!GetUtf8(text, i, c))
            return false;
        p = PutWide(c, p);
    }
    *p = L'\0';
    if (pLength)
        *pLength = static_cast<size_t>(p - dst);
    return true;
}

std::optional<std::string> ToUtf8(std::wstring_view text)
{
    const auto length = Utf8Length(text);
    if (!length)
        return std::nullopt;
    std::string out(*length, '\0');
    // std::string keeps room for its own terminator past size().
    EncodeUtf8(text, out.data(), *length + 1);
    return out;
}

std::optional<std::wstring> FromUtf8(std::string_view text)
{
    std::wstring out(text.size(), L'\0');
    size_t length = 0;
    if (!DecodeUtf8(text, out.data(), text.size() + 1, &length))
        return std::nullopt;
    out.resize(length);
    return out;
}

std::string ToUtf8Lossy(std::wstring_view text)
{
    std::string out;
    out.reserve(text.size());
    char buf[4];
    for (size_t i = 0; i < text.size();) {
        char32_t c = NextCodePoint(text, i);
        if (!IsScalarValue(c))
            c = REPLACEMENT;
        out.append(buf, PutUtf8(c, buf));
    }
    return out;
}

namespace {

// The cut lossy encoding over [text, end), or up to the terminator when
// `end` is null. ASCII, the common case in names and log lines, is copied
// a byte at a time without the general encoder.
size_t EncodeLossyCut(const wchar_t* text, const wchar_t* end, char* dst, size_t capacity)
{
    size_t length = 0;
    for (; end ? text != end : *text != L'\0'; ++text) {
        const wchar_t w = *text;
        if (WideValue(w) < 0x80) {
            if (length + 2 > capacity)
                break;
            dst[length++] = static_cast<char>(w);
            continue;
        }
        // A surrogate pair is one character; the pair's second half is
        // never read past the end (or the terminator, which is no surrogate).
        const size_t room = end ? static_cast<size_t>(end - text) : (text[1] != L'\0' ? 2 : 1);
        size_t used = 0;
        auto c = NextCodePoint(std::wstring_view(text, room < 2 ? room : 2), used);
        text += used - 1;
        if (!IsScalarValue(c))
            c = REPLACEMENT;
        char buf[4];
        const auto n = static_cast<size_t>(PutUtf8(c, buf) - buf);
        if (length + n + 1 > capacity)
            break;
        for (size_t i = 0; i < n; ++i)
            dst[length++] = buf[i];
    }
    dst[length] = '\0';
    return length;
}

}  // namespace

size_t ToUtf8LossyCut(std::wstring_view text, char* dst, size_t capacity)
{
    return EncodeLossyCut(text.data(), text.data() + text.size(), dst, capacity);
}

size_t ToUtf8LossyCut(const wchar_t* text, char* dst, size_t capacity)
{
    return EncodeLossyCut(text, nullptr, dst, capacity);
}

}  // namespace oru::detail
