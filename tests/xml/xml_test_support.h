#pragma once

// Shared by the XML suites: a fresh working folder for each test, files in
// it, paths of the data files, and a log that keeps what the document wrote
// to it.

#include <oru/log/log_system.h>

#include "support/file_bytes.h"
#include "support/temp_dir.h"
#include "support/wide_text.h"

#include <string>
#include <vector>

namespace xmltest {

using oru::test::Slurp;
using oru::test::Spit;
using oru::test::Wide;

std::wstring DataPath(const char* name);

// UTF-8 of a wide text, for comparing messages.
std::string Narrow(const std::wstring& text);

// A fresh folder, the working folder while the test runs: the tests name
// their files relative to it, as a game names its saves.
class CScratchFolder {
private:
    oru::test::CTempDir m_dir;
    oru::test::CWorkingDirectory m_cwd{m_dir.Path()};
};

// A log at level 9 with history on. Take() returns the lines written since
// the last call as "<level> <text>", without the time stamp.
class CHistoryLog {
public:
    CHistoryLog();
    CLogSystem* Get() { return &m_log; }
    std::vector<std::wstring> Take();

private:
    CLogSystem m_log;
};

}  // namespace xmltest
