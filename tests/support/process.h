#pragma once

// Other processes for tests: a program run with its output caught, and a
// part of a test run in a child process, so that a crash, a kill or a limit
// ends the child and not the test program. How a process ended is told the
// same way on every system.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace oru::test {

// Environment changes for a child: a value sets, nullopt removes.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

struct CProcessEnd {
    int m_nStatus = -1;        // as the system tells it (a wait status, or the exit code); for messages
    bool m_bTimedOut = false;  // did not start, or was killed when its time ran out

    // The exit code of a process that exited; -1 for one that a signal ended
    // or that did not end. (On Windows a fault's code is an exit code too.)
    int ExitCode() const;
    bool ExitedWith(int code) const { return ExitCode() == code; }
    // Ended by the fault `code` (oru::platform::FAULT_*, or the library's
    // own ORU_FAULT_*), unhandled or passed on by the crash handler: the
    // signal that stands for it on Linux (SIGABRT for the library's faults),
    // the code itself as exit code on Windows.
    bool EndedByFault(uint32_t code) const;
    // Ended as the fault points' KILL action ends a process.
    bool EndedByKill() const;
};

struct CProgramRun : CProcessEnd {
    std::string m_strOut;
    std::string m_strErr;
};

// Runs the program `args[0]` (a path, or a name the system looks up on its
// search path) with the arguments that follow, each passed as it stands,
// `input` as its standard input, and waits for it.
CProgramRun RunProgram(const std::vector<std::string>& args, const EnvChanges& env = {},
                       const std::string& input = {});

// A child that may still be running.
struct CChild {
    int64_t m_nProcess = -1;     // the system's id or handle; -1 when none started
    std::string m_strErrorPath;  // where its standard error goes
};

// Runs `body` in a child process, in `workDir` (when not empty) with `env`
// applied, its standard error sent to a file of the working folder; a body
// that returns ends the child with exit code 0. On Linux the child is a fork
// and has the test's whole state. Where there is no fork (Windows) the child
// is this program again, running only the current test: the test runs again
// up to the same StartChild call, which then runs `body` in the parent's
// folder. A body there may rely on what the test did before it, as long as
// doing it again gives the same result; CTempDir folders of the child are
// made in the parent's working folder.
CChild StartChild(const std::function<void()>& body, const std::string& workDir = {},
                  const EnvChanges& env = {});
// True while the child runs.
bool IsRunning(const CChild& child);
// Waits for the child, killing it after `timeoutSeconds`.
CProcessEnd WaitForChildEnd(CChild& child, int timeoutSeconds = 60);

// The folder of the parent test when this process is a child that
// StartChild made by running this program again; null otherwise.
const char* TestChildFolder();

}  // namespace oru::test
