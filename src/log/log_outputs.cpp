#include "log/log_outputs.h"

#include "core/utf8.h"

ILogOutput::~ILogOutput() = default;

namespace oru::detail {

CLineText::CLineText(const wchar_t* line)
{
    const std::wstring_view text(line ? line : L"");
    size_t length = 0;
    if (EncodeUtf8(text, m_szFixed, sizeof m_szFixed - 1, &length)) {
        m_szFixed[length] = '\n';
        m_view = std::string_view(m_szFixed, length + 1);
        return;
    }
    m_strLong = ToUtf8Lossy(text);
    m_strLong += '\n';
    m_view = m_strLong;
}

}  // namespace oru::detail

bool CConsoleLog::Open(const std::wstring&, const std::wstring&, const OruDate&)
{
    m_hConsole.OpenStandardOutput();
    return true;
}

void CConsoleLog::Write(const OruDate&, const wchar_t* line)
{
    const oru::detail::CLineText text(line);
    m_hConsole.Write(text.TextWithLineFeed().data(), text.TextWithLineFeed().size());
}

bool CDebugLog::Open(const std::wstring&, const std::wstring&, const OruDate&)
{
    return true;
}

void CDebugLog::Write(const OruDate&, const wchar_t*)
{
}
