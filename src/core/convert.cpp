// The four conversion functions hand out pointers into storage the library
// owns, so a caller can convert inside an expression without managing memory.
// Two rings of 100 fixed buffers serve short texts (names, log lines, paths);
// two heap buffers, replaced on every call, serve texts of any length (long
// XML values). One lock guards all four.
//
// Code pages 0 and 65001 are UTF-8, converted by our own strict codec; the
// heap forms size their buffer to exactly what the text needs, so they fail
// only for text that cannot be converted.

#include <oru/core/convert.h>

#include "core/convert_internal.h"
#include "core/utf8.h"
#include "platform/codepage.h"

#include <cstring>
#include <cwchar>
#include <new>

namespace {

constexpr size_t RING_SLOTS = 100;
constexpr size_t RING_CHARS = 1024;  // per slot, terminator included

char s_narrowRing[RING_SLOTS][RING_CHARS];
size_t s_nNarrowIndex = 0;
wchar_t s_wideRing[RING_SLOTS][RING_CHARS];
size_t s_nWideIndex = 0;

// Never freed at exit, so a conversion made while the process shuts down
// still finds them; OruReleaseExBuffers frees them on demand.
char* s_pNarrowEx = nullptr;
wchar_t* s_pWideEx = nullptr;

bool IsUtf8(unsigned int codePage)
{
    return codePage == 0 || codePage == 65001;
}

template <class Char>
bool CopyTerminated(const std::basic_string<Char>& text, Char* dst, size_t capacity)
{
    if (text.size() + 1 > capacity)
        return false;
    std::memcpy(dst, text.c_str(), (text.size() + 1) * sizeof(Char));
    return true;
}

bool WideToNarrow(unsigned int codePage, const wchar_t* text, char* dst, size_t capacity)
{
    if (IsUtf8(codePage))
        return oru::detail::EncodeUtf8(text, dst, capacity);
    const auto narrow = oru::platform::WideToCodePage(codePage, text);
    return narrow && CopyTerminated(*narrow, dst, capacity);
}

bool NarrowToWide(unsigned int codePage, const char* text, wchar_t* dst, size_t capacity)
{
    if (IsUtf8(codePage))
        return oru::detail::DecodeUtf8(text, dst, capacity);
    const auto wide = oru::platform::CodePageToWide(codePage, text);
    return wide && CopyTerminated(*wide, dst, capacity);
}

// Takes the next ring slot only when the conversion into it succeeds.
template <class Char, class Src, class ConvertFn>
const Char* ConvertIntoRing(Char (&ring)[RING_SLOTS][RING_CHARS], size_t& index,
                            unsigned int codePage, const Src* text, ConvertFn convert)
{
    if (!text)
        return nullptr;
    COruLock lock(g_csConvert);
    if (index >= RING_SLOTS)
        index = 0;
    Char* slot = ring[index];
    if (!convert(codePage, text, slot, RING_CHARS))
        return nullptr;
    ++index;
    return slot;
}

template <class Char>
void Replace(Char*& pBuffer, Char* pNew)
{
    delete[] pBuffer;
    pBuffer = pNew;
}

// Fills a new heap buffer of `capacity` characters and makes it the one in
// `pBuffer`; null, with no buffer kept, when allocation or `fill` fails.
template <class Char, class Fill>
const Char* StoreInHeap(Char*& pBuffer, size_t capacity, Fill fill)
{
    Char* pNew = new (std::nothrow) Char[capacity];
    if (!pNew)
        return nullptr;
    if (!fill(pNew, capacity)) {
        delete[] pNew;
        return nullptr;
    }
    Replace(pBuffer, pNew);
    return pBuffer;
}

}  // namespace

const char* OruWCharToChar(unsigned int codePage, const wchar_t* text)
{
    return ConvertIntoRing(s_narrowRing, s_nNarrowIndex, codePage, text, WideToNarrow);
}

const wchar_t* OruCharToWChar(unsigned int codePage, const char* text)
{
    return ConvertIntoRing(s_wideRing, s_nWideIndex, codePage, text, NarrowToWide);
}

const char* OruWCharToCharEx(unsigned int codePage, const wchar_t* text)
{
    if (!text)
        return nullptr;
    COruLock lock(g_csConvert);
    Replace<char>(s_pNarrowEx, nullptr);

    if (IsUtf8(codePage)) {
        // Four bytes a character is the most UTF-8 needs: one pass, no count.
        const size_t length = std::wcslen(text);
        return StoreInHeap(s_pNarrowEx, length * 4 + 1, [&](char* dst, size_t capacity) {
            return oru::detail::EncodeUtf8({text, length}, dst, capacity);
        });
    }
    const auto narrow = oru::platform::WideToCodePage(codePage, text);
    if (!narrow)
        return nullptr;
    return StoreInHeap(s_pNarrowEx, narrow->size() + 1, [&](char* dst, size_t capacity) {
        return CopyTerminated(*narrow, dst, capacity);
    });
}

const wchar_t* OruCharToWCharEx(unsigned int codePage, const char* text)
{
    if (!text)
        return nullptr;
    COruLock lock(g_csConvert);
    Replace<wchar_t>(s_pWideEx, nullptr);

    if (IsUtf8(codePage)) {
        // A UTF-8 text never decodes to more characters than it has bytes.
        return StoreInHeap(s_pWideEx, std::strlen(text) + 1, [&](wchar_t* dst, size_t capacity) {
            return oru::detail::DecodeUtf8(text, dst, capacity);
        });
    }
    const auto wide = oru::platform::CodePageToWide(codePage, text);
    if (!wide)
        return nullptr;
    return StoreInHeap(s_pWideEx, wide->size() + 1, [&](wchar_t* dst, size_t capacity) {
        return CopyTerminated(*wide, dst, capacity);
    });
}

void OruReleaseExBuffers()
{
    COruLock lock(g_csConvert);
    Replace<char>(s_pNarrowEx, nullptr);
    Replace<wchar_t>(s_pWideEx, nullptr);
}
