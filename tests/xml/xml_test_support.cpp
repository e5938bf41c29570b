#include "xml/xml_test_support.h"

#include "core/utf8.h"

#include <fstream>
#include <iterator>
#include <list>

namespace xmltest {

std::wstring DataPath(const char* name)
{
    return Wide(std::string(ORU_TEST_DATA_DIR) + "/" + name);
}

std::string Narrow(const std::wstring& text)
{
    return oru::detail::ToUtf8Lossy(text);
}

CHistoryLog::CHistoryLog()
{
    m_log.Init(LOG_MODE_DEBUG, 9, L"", L"xml_test", true, true);
}

std::vector<std::wstring> CHistoryLog::Take()
{
    std::list<std::wstring> lines;
    m_log.GetLogHistory(lines);
    std::vector<std::wstring> out;
    for (const std::wstring& line : lines) {
        // "Lv%d_[hh:mm:ss] : text"
        const size_t sep = line.find(L" : ");
        const std::wstring level = line.size() > 2 ? line.substr(2, 1) : L"?";
        out.push_back(level + L" " + (sep == std::wstring::npos ? line : line.substr(sep + 3)));
    }
    return out;
}

}  // namespace xmltest
