#include "platform/codepage.h"

#include <oru/core/non_copyable.h>

#include <cerrno>
#include <iconv.h>

namespace oru::platform {
namespace {

// wchar_t holds one code point in the host's byte order.
constexpr const char* WIDE_ENCODING = "WCHAR_T";

class CIconv : private COruNonCopyable {
public:
    CIconv(const std::string& to, const std::string& from)
        : m_cd(iconv_open(to.c_str(), from.c_str())) {}
    ~CIconv()
    {
        if (IsOpen())
            iconv_close(m_cd);
    }

    bool IsOpen() const { return m_cd != reinterpret_cast<iconv_t>(-1); }

    // Converts all of `in`; false on any character that does not convert.
    bool Convert(const char* in, size_t inBytes, std::string& out)
    {
        out.assign(inBytes * 2 + 16, '\0');
        char* src = const_cast<char*>(in);
        size_t srcLeft = inBytes;
        size_t done = 0;
        for (;;) {
            char* dst = out.data() + done;
            size_t dstLeft = out.size() - done;
            const size_t r = iconv(m_cd, srcLeft ? &src : nullptr, &srcLeft, &dst, &dstLeft);
            done = out.size() - dstLeft;
            if (r != static_cast<size_t>(-1) && srcLeft == 0) {
                // Flush any shift state, then stop.
                if (iconv(m_cd, nullptr, nullptr, &dst, &dstLeft) == static_cast<size_t>(-1))
                    return false;
                out.resize(out.size() - dstLeft);
                return true;
            }
            if (r != static_cast<size_t>(-1) || errno != E2BIG)
                return false;  // EILSEQ or EINVAL: not convertible
            out.resize(out.size() * 2);
        }
    }

private:
    iconv_t m_cd;
};

std::string CodePageName(unsigned int codePage)
{
    return "CP" + std::to_string(codePage);
}

}  // namespace

std::optional<std::string> WideToCodePage(unsigned int codePage, std::wstring_view text)
{
    CIconv cd(CodePageName(codePage), WIDE_ENCODING);
    std::string out;
    if (!cd.IsOpen() ||
        !cd.Convert(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t), out))
        return std::nullopt;
    return out;
}

std::optional<std::wstring> CodePageToWide(unsigned int codePage, std::string_view text)
{
    CIconv cd(WIDE_ENCODING, CodePageName(codePage));
    std::string bytes;
    if (!cd.IsOpen() || !cd.Convert(text.data(), text.size(), bytes))
        return std::nullopt;
    if (bytes.size() % sizeof(wchar_t) != 0)
        return std::nullopt;
    std::wstring out(bytes.size() / sizeof(wchar_t), L'\0');
    bytes.copy(reinterpret_cast<char*>(out.data()), bytes.size());
    return out;
}

}  // namespace oru::platform
