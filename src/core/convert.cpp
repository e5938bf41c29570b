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
#include <new>
#include <optional>
#include <string>
#include <string_view>

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

// The two directions. Each names the library's UTF-8 codec and the
// platform's code-page conversion for its way, and the most characters the
// codec can write for a text of `length` characters, terminator included.
struct CWideToNarrow {
    using Src = wchar_t;
    using Dst = char;
    static size_t MostUtf8Chars(size_t length) { return length * 4 + 1; }  // four bytes a character
    static bool Utf8(std::wstring_view text, char* dst, size_t capacity)
    {
        return oru::detail::EncodeUtf8(text, dst, capacity);
    }
    static std::optional<std::string> CodePage(unsigned int codePage, std::wstring_view text)
    {
        return oru::platform::WideToCodePage(codePage, text);
    }
};

struct CNarrowToWide {
    using Src = char;
    using Dst = wchar_t;
    // A UTF-8 text never decodes to more characters than it has bytes.
    static size_t MostUtf8Chars(size_t length) { return length + 1; }
    static bool Utf8(std::string_view text, wchar_t* dst, size_t capacity)
    {
        return oru::detail::DecodeUtf8(text, dst, capacity);
    }
    static std::optional<std::wstring> CodePage(unsigned int codePage, std::string_view text)
    {
        return oru::platform::CodePageToWide(codePage, text);
    }
};

template <class Dir>
using SrcView = std::basic_string_view<typename Dir::Src>;

// Converts `text` into `dst`, which holds `capacity` characters with the
// terminator; false when the text cannot be converted or does not fit.
template <class Dir>
bool ConvertInto(unsigned int codePage, SrcView<Dir> text, typename Dir::Dst* dst, size_t capacity)
{
    if (IsUtf8(codePage))
        return Dir::Utf8(text, dst, capacity);
    const auto converted = Dir::CodePage(codePage, text);
    return converted && CopyTerminated(*converted, dst, capacity);
}

// Takes the next ring slot only when the conversion into it succeeds.
template <class Dir>
const typename Dir::Dst* ConvertIntoRing(typename Dir::Dst (&ring)[RING_SLOTS][RING_CHARS],
                                         size_t& index, unsigned int codePage,
                                         const typename Dir::Src* text)
{
    if (!text)
        return nullptr;
    COruLock lock(g_csConvert);
    if (index >= RING_SLOTS)
        index = 0;
    typename Dir::Dst* slot = ring[index];
    if (!ConvertInto<Dir>(codePage, text, slot, RING_CHARS))
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

// Converts into a heap buffer sized for the text, which replaces the one in
// `pBuffer`; the old buffer goes even when the conversion fails. UTF-8 is
// converted in one pass into a buffer of the most it can need; a code page
// is converted first and copied into a buffer of its exact size.
template <class Dir>
const typename Dir::Dst* ConvertIntoHeap(typename Dir::Dst*& pBuffer, unsigned int codePage,
                                         const typename Dir::Src* text)
{
    using Dst = typename Dir::Dst;
    if (!text)
        return nullptr;
    COruLock lock(g_csConvert);
    Replace<Dst>(pBuffer, nullptr);

    const SrcView<Dir> view(text);
    if (IsUtf8(codePage)) {
        return StoreInHeap(pBuffer, Dir::MostUtf8Chars(view.size()), [&](Dst* dst, size_t capacity) {
            return Dir::Utf8(view, dst, capacity);
        });
    }
    const auto converted = Dir::CodePage(codePage, view);
    if (!converted)
        return nullptr;
    return StoreInHeap(pBuffer, converted->size() + 1, [&](Dst* dst, size_t capacity) {
        return CopyTerminated(*converted, dst, capacity);
    });
}

}  // namespace

const char* OruWCharToChar(unsigned int codePage, const wchar_t* text)
{
    return ConvertIntoRing<CWideToNarrow>(s_narrowRing, s_nNarrowIndex, codePage, text);
}

const wchar_t* OruCharToWChar(unsigned int codePage, const char* text)
{
    return ConvertIntoRing<CNarrowToWide>(s_wideRing, s_nWideIndex, codePage, text);
}

const char* OruWCharToCharEx(unsigned int codePage, const wchar_t* text)
{
    return ConvertIntoHeap<CWideToNarrow>(s_pNarrowEx, codePage, text);
}

const wchar_t* OruCharToWCharEx(unsigned int codePage, const char* text)
{
    return ConvertIntoHeap<CNarrowToWide>(s_pWideEx, codePage, text);
}

void OruReleaseExBuffers()
{
    COruLock lock(g_csConvert);
    Replace<char>(s_pNarrowEx, nullptr);
    Replace<wchar_t>(s_pWideEx, nullptr);
}
