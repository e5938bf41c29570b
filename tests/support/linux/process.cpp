// Child processes on Linux: programs through posix_spawn, test bodies in a
// fork that keeps the test's whole state.

#include "support/process.h"

#include <oru/log/exception_handler.h>

#include "platform/fault_codes.h"
#include "support/file_bytes.h"
#include "support/temp_dir.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace oru::test {

namespace {

// The signal a fault arrives as here.
int SignalOfFault(uint32_t code)
{
    using namespace oru::platform;
    switch (code) {
    case FAULT_ACCESS_VIOLATION:
    case FAULT_STACK_OVERFLOW:
        return SIGSEGV;
    case FAULT_DATATYPE_MISALIGNMENT:
    case FAULT_IN_PAGE_ERROR:
        return SIGBUS;
    case FAULT_INT_DIVIDE_BY_ZERO:
    case FAULT_INT_OVERFLOW:
    case FAULT_FLOAT_DIVIDE_BY_ZERO:
        return SIGFPE;
    case FAULT_ILLEGAL_INSTRUCTION:
    case FAULT_PRIV_INSTRUCTION:
        return SIGILL;
    case FAULT_BREAKPOINT:
    case FAULT_SINGLE_STEP:
        return SIGTRAP;
    case FAULT_ABORT:
    case ORU_FAULT_GENERAL_ERROR:  // the library's own two faults end as an abort
    case ORU_FAULT_ASSERTION_FAILURE:
        return SIGABRT;
    default:
        return 0;
    }
}

// This process's environment with `changes` applied, as posix_spawn takes it.
std::vector<std::string> ChangedEnvironment(const EnvChanges& changes)
{
    std::vector<std::string> vars;
    for (char** p = environ; *p; ++p) {
        const std::string var = *p;
        if (changes.count(var.substr(0, var.find('='))) == 0)
            vars.push_back(var);
    }
    for (const auto& [name, value] : changes) {
        if (value)
            vars.push_back(name + "=" + *value);
    }
    return vars;
}

std::vector<char*> Pointers(std::vector<std::string>& strings)
{
    std::vector<char*> out;
    for (std::string& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

CProcessEnd WaitForPid(pid_t pid, int timeoutSeconds)
{
    CProcessEnd end;
    if (pid <= 0) {
        end.m_bTimedOut = true;
        return end;
    }
    for (int waited = 0;; waited += 10) {
        if (waitpid(pid, &end.m_nStatus, WNOHANG) == pid)
            break;
        if (waited >= timeoutSeconds * 1000) {
            kill(pid, SIGKILL);
            waitpid(pid, &end.m_nStatus, 0);
            end.m_bTimedOut = true;
            break;
        }
        usleep(10 * 1000);
    }
    return end;
}

}  // namespace

int CProcessEnd::ExitCode() const
{
    return !m_bTimedOut && WIFEXITED(m_nStatus) ? WEXITSTATUS(m_nStatus) : -1;
}

bool CProcessEnd::EndedByFault(uint32_t code) const
{
    return !m_bTimedOut && WIFSIGNALED(m_nStatus) && WTERMSIG(m_nStatus) == SignalOfFault(code);
}

bool CProcessEnd::EndedByKill() const
{
    return !m_bTimedOut && WIFSIGNALED(m_nStatus) && WTERMSIG(m_nStatus) == SIGKILL;
}

CProgramRun RunProgram(const std::vector<std::string>& args, const EnvChanges& env,
                       const std::string& input)
{
    CProgramRun run;
    CTempDir files;
    const std::string in = files.File("in"), out = files.File("out"), err = files.File("err");
    Spit(in, input);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> argStrings = args, envStrings = ChangedEnvironment(env);
    std::vector<char*> argv = Pointers(argStrings), envp = Pointers(envStrings);
    pid_t pid = -1;
    if (args.empty() || posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    static_cast<CProcessEnd&>(run) = WaitForPid(pid, 600);
    run.m_strOut = Slurp(out);
    run.m_strErr = Slurp(err);
    return run;
}

CChild StartChild(const std::function<void()>& body, const std::string& workDir, const EnvChanges& env)
{
    static int s_nChildren = 0;
    CChild child;
    // In the test's own working folder, like everything a test writes.
    child.m_strErrorPath =
        (std::filesystem::current_path() / ("child_stderr_" + std::to_string(++s_nChildren))).string();
    const int errFd = open(child.m_strErrorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (errFd < 0)
        return child;
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
    child.m_nProcess = pid;
    return child;
}

bool IsRunning(const CChild& child)
{
    if (child.m_nProcess <= 0)
        return false;
    siginfo_t info{};
    // Looks without reaping, so WaitForChildEnd still sees how it ended.
    return waitid(P_PID, static_cast<id_t>(child.m_nProcess), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

CProcessEnd WaitForChildEnd(CChild& child, int timeoutSeconds)
{
    const CProcessEnd end = WaitForPid(static_cast<pid_t>(child.m_nProcess), timeoutSeconds);
    child.m_nProcess = -1;
    return end;
}

const char* TestChildFolder()
{
    return nullptr;  // a fork never runs the test again
}

}  // namespace oru::test
