#include "crash/crash_child_support.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace oru::test {

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

CChildResult WaitForChild(CChild& child, int timeoutSeconds)
{
    CChildResult result;
    static_cast<CProcessEnd&>(result) = WaitForChildEnd(child, timeoutSeconds);
    result.m_strError = ReadWholeFile(child.m_strErrorPath);
    std::error_code error;
    std::filesystem::remove(child.m_strErrorPath, error);
    // The line that names the report file comes last; the tests compare
    // what is before it with the file.
    const size_t said = result.m_strError.rfind("oru_core: crash report written to ");
    if (said != std::string::npos && result.m_strError.find('\n', said) == result.m_strError.size() - 1) {
        result.m_strReportPathLine = result.m_strError.substr(said);
        result.m_strError.erase(said);
    }
    return result;
}

CChildResult RunInChild(const std::function<void()>& body, const std::string& workDir,
                        const EnvChanges& env, int timeoutSeconds)
{
    CChild child = StartChild(body, workDir, env);
    return WaitForChild(child, timeoutSeconds);
}

std::string ReadReportFiles(const std::string& dir)
{
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir + "/oru_log", error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("Exp_", 0) == 0 && name.size() > 4 &&
            name.compare(name.size() - 4, 4, ".txt") == 0)
            names.push_back(entry.path().string());
    }
    std::sort(names.begin(), names.end());
    std::string text;
    for (const std::string& name : names)
        text += ReadWholeFile(name);
    return text;
}

std::vector<std::string> SplitReportLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

std::vector<std::string> CallStackLines(const std::string& text)
{
    std::vector<std::string> frames;
    bool bIn = false;
    for (const std::string& line : SplitReportLines(text)) {
        if (line == "< call stack >") {
            bIn = true;
            continue;
        }
        if (!bIn)
            continue;
        if (line.empty())
            break;
        frames.push_back(line);
    }
    return frames;
}


}  // namespace oru::test
