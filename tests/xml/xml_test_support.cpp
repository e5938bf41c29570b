#include "xml/xml_test_support.h"

#include <fstream>
#include <iterator>
#include <list>

namespace xmltest {

std::wstring DataPath(const char* name)
{
    return Wide(std::string(ORU_TEST_DATA_DIR) + "/" + name);
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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
