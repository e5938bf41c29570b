#pragma once

// Running a fatal path in a child process and reading what it left behind:
// its standard error, how it ended, and the report files.

#include "support/process.h"

#include <functional>
#include <string>
#include <vector>

namespace oru::test {

struct CChildResult : CProcessEnd {
    std::string m_strError;  // everything the child wrote to standard error
    std::string m_strReportPathLine;  // "oru_core: crash report written to PATH\n", taken off m_strError
};

// Waits for a child that StartChild started, killing it after
// `timeoutSeconds`, and reads its standard error.
CChildResult WaitForChild(CChild& child, int timeoutSeconds = 60);

// StartChild and WaitForChild in one: runs `body` in a child process, in
// `workDir` (when not empty) with `env` applied; a body that returns ends
// the child with exit code 0. The child is killed after `timeoutSeconds`.
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

}  // namespace oru::test
