#pragma once

// Running a fatal path in a child process and reading what it left behind:
// its standard error, how it ended, and the report files.

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace oru::test {

struct CChildResult {
    int m_nStatus = 0;       // as waitpid gives it
    std::string m_strError;  // everything the child wrote to standard error
    std::string m_strReportPathLine;  // "oru_core: crash report written to PATH\n", taken off m_strError
    bool m_bTimedOut = false;

    bool KilledBy(int signal) const;
};

// Environment changes for the child: a value sets, nullopt removes.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

// A child that is still running.
struct CChild {
    int m_nPid = -1;
    std::string m_strErrorPath;  // where its standard error goes
};

// Forks, moves the child into `workDir` (when not empty), applies `env`,
// sends its standard error to a file and runs `body`; a body that returns
// ends the child with exit code 0.
CChild StartChild(const std::function<void()>& body, const std::string& workDir = {},
                  const EnvChanges& env = {});
// True while the child runs.
bool IsRunning(const CChild& child);
// Waits for the child, killing it after `timeoutSeconds`.
CChildResult WaitForChild(CChild& child, int timeoutSeconds = 60);

// StartChild and WaitForChild in one: forks, moves the child into `workDir` (when not empty), applies `env`,
// sends its standard error to a file and runs `body`; a body that returns
// ends the child with exit code 0. The child is killed after
// `timeoutSeconds`.
CChildResult RunInChild(const std::function<void()>& body, const std::string& workDir = {},
                        const EnvChanges& env = {}, int timeoutSeconds = 60);

// The text of every "<dir>/oru_log/Exp_*.txt", in the order of their names
// (a run across midnight writes two); empty when there is none.
std::string ReadReportFiles(const std::string& dir);

// The lines of a report (CR LF ends), without their ends.
std::vector<std::string> SplitReportLines(const std::string& text);

// The frame lines of the first "< call stack >" section in `text`.
std::vector<std::string> CallStackLines(const std::string& text);

std::string ReadWholeFile(const std::string& path);

// The GNU build ID of an ELF file in hexadecimal, as binutils (readelf -n)
// read it; empty when it has none.
std::string ReadBuildId(const std::string& path);

}  // namespace oru::test
