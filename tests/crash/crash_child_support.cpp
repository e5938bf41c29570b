#include "crash/crash_child_support.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace oru::test {

bool CChildResult::KilledBy(int signal) const
{
    return !m_bTimedOut && WIFSIGNALED(m_nStatus) && WTERMSIG(m_nStatus) == signal;
}

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

CChild StartChild(const std::function<void()>& body, const std::string& workDir,
                  const EnvChanges& env)
{
    CChild child;
    // In the test's own working folder, like everything a test writes.
    std::string errPath = (std::filesystem::current_path() / "child_stderr_XXXXXX").string();
    const int errFd = mkstemp(errPath.data());
    if (errFd < 0)
        return child;
    child.m_strErrorPath = errPath;
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(errFd, STDERR_FILENO);
        if (!workDir.empty() && chdir(workDir.c_str()) != 0)
            _exit(90);
        for (const auto& [name, value] : env) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
        body();
        _exit(0);
    }
    close(errFd);
    child.m_nPid = pid;
    return child;
}

bool IsRunning(const CChild& child)
{
    if (child.m_nPid <= 0)
        return false;
    siginfo_t info{};
    // Looks without reaping, so WaitForChild still sees how it ended.
    return waitid(P_PID, static_cast<id_t>(child.m_nPid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

CChildResult WaitForChild(CChild& child, int timeoutSeconds)
{
    CChildResult result;
    if (child.m_nPid <= 0) {
        result.m_bTimedOut = true;
        return result;
    }
    for (int waited = 0;; waited += 10) {
        const pid_t done = waitpid(child.m_nPid, &result.m_nStatus, WNOHANG);
        if (done == child.m_nPid)
            break;
        if (waited >= timeoutSeconds * 1000) {
            kill(child.m_nPid, SIGKILL);
            waitpid(child.m_nPid, &result.m_nStatus, 0);
            result.m_bTimedOut = true;
            break;
        }
        usleep(10 * 1000);
    }
    child.m_nPid = -1;
    result.m_strError = ReadWholeFile(child.m_strErrorPath);
    unlink(child.m_strErrorPath.c_str());
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


std::string ReadBuildId(const std::string& path)
{
    std::string id;
    if (FILE* pPipe = popen(("readelf -n '" + path + "'").c_str(), "r")) {
        char line[512];
        while (fgets(line, sizeof line, pPipe)) {
            std::cmatch match;
            if (std::regex_search(line, match, std::regex("Build ID: ([0-9a-f]+)")))
                id = match[1];
        }
        pclose(pPipe);
    }
    return id;
}

}  // namespace oru::test
