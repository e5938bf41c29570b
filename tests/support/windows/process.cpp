// Child processes on Windows: CreateProcessW with standard handles on files,
// and test bodies run by this program again (there is no fork), limited to
// the current test and told which StartChild call is theirs.

#include "support/process.h"

#include "support/file_bytes.h"
#include "support/temp_dir.h"
#include "support/windows/utf16.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <filesystem>
#include <map>
#include <sstream>

#include <windows.h>

namespace oru::test {

namespace {

constexpr const char* CHILD_CALL_VARIABLE = "ORU_TEST_CHILD_CALL";
constexpr const char* CHILD_FOLDER_VARIABLE = "ORU_TEST_CHILD_FOLDER";
constexpr const char* CHILD_EARLIER_VARIABLE = "ORU_TEST_CHILD_EARLIER";

// One argument as the C runtime's parser reads it back: quotes around it,
// a quote escaped by a backslash, and backslashes before a quote (or before
// the closing one) doubled.
void AppendQuoted(std::wstring& line, const std::wstring& arg)
{
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    size_t backslashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

std::wstring CommandLine(const std::vector<std::string>& args)
{
    std::wstring line;
    for (const std::string& arg : args) {
        if (!line.empty())
            line += L' ';
        AppendQuoted(line, Utf16(arg));
    }
    return line;
}

std::wstring UpperCase(std::wstring text)
{
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(std::towupper(c));
    return text;
}

// This process's environment with `changes` applied, as the block that
// CreateProcessW takes: sorted by name, which Windows compares without case.
std::wstring EnvironmentBlock(const EnvChanges& changes)
{
    std::map<std::wstring, std::wstring> vars;  // by upper-case name: "NAME=value"
    if (wchar_t* pBlock = GetEnvironmentStringsW()) {
        for (const wchar_t* p = pBlock; *p; p += wcslen(p) + 1) {
            const std::wstring var = p;
            const size_t equals = var.find(L'=', 1);  // names like "=C:" start with one
            vars[UpperCase(var.substr(0, equals))] = var;
        }
        FreeEnvironmentStringsW(pBlock);
    }
    for (const auto& [name, value] : changes) {
        const std::wstring wideName = Utf16(name);
        if (value)
            vars[UpperCase(wideName)] = wideName + L"=" + Utf16(*value);
        else
            vars.erase(UpperCase(wideName));
    }
    std::wstring block;
    for (const auto& [key, var] : vars)
        block += var + L'\0';
    block += L'\0';
    return block;
}

HANDLE InheritableFile(const std::string& path, bool write)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateFileW(Utf16(path).c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                       write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Starts `args` with its standard handles on the three files; the process
// handle, or null.
HANDLE Start(const std::vector<std::string>& args, const EnvChanges& env, const std::string& in,
             const std::string& out, const std::string& err)
{
    const HANDLE hIn = InheritableFile(in, false);
    const HANDLE hOut = InheritableFile(out, true);
    const HANDLE hErr = InheritableFile(err, true);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = hIn;
    startup.hStdOutput = hOut;
    startup.hStdError = hErr;
    std::wstring line = CommandLine(args);
    std::wstring block = EnvironmentBlock(env);
    PROCESS_INFORMATION process{};
    const bool started = hIn != INVALID_HANDLE_VALUE && hOut != INVALID_HANDLE_VALUE &&
                         hErr != INVALID_HANDLE_VALUE &&
                         CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                                        block.data(), nullptr, &startup, &process);
    for (const HANDLE h : {hIn, hOut, hErr}) {
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
    if (!started)
        return nullptr;
    CloseHandle(process.hThread);
    return process.hProcess;
}

CProcessEnd WaitForProcess(HANDLE hProcess, int timeoutSeconds)
{
    CProcessEnd end;
    if (!hProcess) {
        end.m_bTimedOut = true;
        return end;
    }
    if (WaitForSingleObject(hProcess, static_cast<DWORD>(timeoutSeconds) * 1000) != WAIT_OBJECT_0) {
        TerminateProcess(hProcess, 1);
        WaitForSingleObject(hProcess, INFINITE);
        end.m_bTimedOut = true;
    }
    DWORD code = 0;
    GetExitCodeProcess(hProcess, &code);
    end.m_nStatus = static_cast<int>(code);
    CloseHandle(hProcess);
    return end;
}

std::string ThisProgram()
{
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return Utf8(path);
}

// Which StartChild call of the current test this is, counting from 1.
int NextChildCall()
{
    static std::string s_strTest;
    static int s_nCalls = 0;
    const ::testing::TestInfo* pTest = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string test = pTest ? std::string(pTest->test_suite_name()) + "." + pTest->name() : "";
    if (test != s_strTest) {
        s_strTest = test;
        s_nCalls = 0;
    }
    return ++s_nCalls;
}

// How a finished child call of the current test ended. A child gets those
// of the calls before its own and replays them: were it to make each again,
// each of those children would make the calls before it again too, and the
// work would double with every call.
struct CEndedCall {
    int m_nStatus = -1;
    bool m_bTimedOut = false;
    std::string m_strError;
};
constexpr int64_t REPLAYED_CHILD = -2;  // CChild::m_nProcess of a replayed call
std::map<int, CEndedCall> s_endedCalls;       // by call number
std::map<HANDLE, int> s_callOfProcess;        // the children still running
std::map<std::string, CEndedCall> s_replayed;  // by standard error file

// Writes the ended calls to `path` for a child: each as "call status
// timed-out length" and the standard error's bytes.
void WriteEndedCalls(const std::string& path)
{
    std::string text;
    for (const auto& [call, ended] : s_endedCalls)
        text += std::to_string(call) + " " + std::to_string(ended.m_nStatus) + " " +
                std::to_string(ended.m_bTimedOut) + " " + std::to_string(ended.m_strError.size()) +
                "\n" + ended.m_strError;
    Spit(path, text);
}

// In a child: the ended calls its parent gave it, read once.
void ReadEndedCalls()
{
    static bool s_bRead = false;
    const char* pPath = std::getenv(CHILD_EARLIER_VARIABLE);
    if (s_bRead || !pPath)
        return;
    s_bRead = true;
    std::istringstream in(Slurp(pPath));
    int call = 0;
    CEndedCall ended;
    size_t length = 0;
    while (in >> call >> ended.m_nStatus >> ended.m_bTimedOut >> length && in.get() == '\n') {
        ended.m_strError.resize(length);
        in.read(ended.m_strError.data(), static_cast<std::streamsize>(length));
        s_endedCalls[call] = ended;
    }
}

}  // namespace

int CProcessEnd::ExitCode() const
{
    return m_bTimedOut ? -1 : m_nStatus;
}

bool CProcessEnd::EndedByFault(uint32_t code) const
{
    return !m_bTimedOut && static_cast<uint32_t>(m_nStatus) == code;
}

// The fault points' KILL ends the process with this exit code here, as
// TerminateProcess leaves no other sign of a kill.
bool CProcessEnd::EndedByKill() const
{
    constexpr int KILLED_EXIT_CODE = 9;
    return ExitCode() == KILLED_EXIT_CODE;
}

CProgramRun RunProgram(const std::vector<std::string>& args, const EnvChanges& env, const std::string& input)
{
    CProgramRun run;
    CTempDir files;
    const std::string in = files.File("in"), out = files.File("out"), err = files.File("err");
    Spit(in, input);
    static_cast<CProcessEnd&>(run) = WaitForProcess(args.empty() ? nullptr : Start(args, env, in, out, err), 600);
    run.m_strOut = Slurp(out);
    run.m_strErr = Slurp(err);
    return run;
}

CChild StartChild(const std::function<void()>& body, const std::string& workDir, const EnvChanges& env)
{
    const int call = NextChildCall();
    if (call == 1)
        s_endedCalls.clear();
    CChild child;
    std::string name = "child_stderr_" + std::to_string(call);
    if (const char* pCall = std::getenv(CHILD_CALL_VARIABLE)) {
        // This is a child: it runs its own call's body and nothing after it.
        // An earlier call of the test is made for real, as the parent made
        // it, so that the test's checks of it hold and the test goes on to
        // this child's own call.
        if (std::atoi(pCall) == call) {
            std::filesystem::current_path(TestChildFolder());
            body();
            fflush(nullptr);
            std::_Exit(0);
        }
        name += "_in_" + std::string(pCall);
        ReadEndedCalls();
        const auto ended = s_endedCalls.find(call);
        if (ended != s_endedCalls.end()) {
            child.m_strErrorPath = (std::filesystem::current_path() / name).string();
            Spit(child.m_strErrorPath, ended->second.m_strError);
            s_replayed[child.m_strErrorPath] = ended->second;
            child.m_nProcess = REPLAYED_CHILD;
            return child;
        }
    }
    child.m_strErrorPath = (std::filesystem::current_path() / name).string();
    const ::testing::TestInfo* pTest = ::testing::UnitTest::GetInstance()->current_test_info();
    if (!pTest)
        return child;
    EnvChanges childEnv = env;
    childEnv[CHILD_CALL_VARIABLE] = std::to_string(call);
    childEnv[CHILD_FOLDER_VARIABLE] =
        std::filesystem::absolute(workDir.empty() ? std::filesystem::current_path() : workDir).string();
    const std::string filter = std::string("--gtest_filter=") + pTest->test_suite_name() + "." + pTest->name();
    const std::string out = child.m_strErrorPath + ".out";
    Spit(out, "");
    if (!s_endedCalls.empty()) {
        WriteEndedCalls(child.m_strErrorPath + ".earlier");
        childEnv[CHILD_EARLIER_VARIABLE] = child.m_strErrorPath + ".earlier";
    }
    fflush(nullptr);
    const HANDLE hProcess = Start({ThisProgram(), filter}, childEnv, "NUL", out, child.m_strErrorPath);
    if (hProcess) {
        child.m_nProcess = reinterpret_cast<intptr_t>(hProcess);
        s_callOfProcess[hProcess] = call;
    }
    return child;
}

bool IsRunning(const CChild& child)
{
    return child.m_nProcess != -1 && child.m_nProcess != REPLAYED_CHILD &&
           WaitForSingleObject(reinterpret_cast<HANDLE>(child.m_nProcess), 0) == WAIT_TIMEOUT;
}

CProcessEnd WaitForChildEnd(CChild& child, int timeoutSeconds)
{
    CProcessEnd end;
    if (child.m_nProcess == REPLAYED_CHILD) {
        const CEndedCall& ended = s_replayed[child.m_strErrorPath];
        end.m_nStatus = ended.m_nStatus;
        end.m_bTimedOut = ended.m_bTimedOut;
        child.m_nProcess = -1;
        return end;
    }
    const HANDLE hProcess = child.m_nProcess == -1 ? nullptr : reinterpret_cast<HANDLE>(child.m_nProcess);
    child.m_nProcess = -1;
    end = WaitForProcess(hProcess, timeoutSeconds);
    const auto call = s_callOfProcess.find(hProcess);
    if (call != s_callOfProcess.end()) {
        s_endedCalls[call->second] = {end.m_nStatus, end.m_bTimedOut, Slurp(child.m_strErrorPath)};
        s_callOfProcess.erase(call);
    }
    std::error_code error;
    std::filesystem::remove(child.m_strErrorPath + ".out", error);
    std::filesystem::remove(child.m_strErrorPath + ".earlier", error);
    return end;
}

const char* TestChildFolder()
{
    return std::getenv(CHILD_FOLDER_VARIABLE);
}

}  // namespace oru::test
