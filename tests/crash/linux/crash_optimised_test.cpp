// Reports of an optimised program (optimised/inline_crash.cpp, built with
// -O2) and of stripped copies of it: every call the optimiser inlined is a
// frame of its own, and a stripped program finds its separate debug file on
// this machine. The expected lines come from the marks in that source file.

#include "crash/crash_child_support.h"
#include "crash/linux/build_id_support.h"
#include "platform/fault_codes.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <unistd.h>

namespace {

using oru::test::CallStackLines;
using oru::test::CChildResult;
using oru::test::RunInChild;
using oru::platform::FAULT_ACCESS_VIOLATION;

// Lines of the program's source by their "// mark:NAME".
std::map<std::string, int> ReadMarks()
{
    std::map<std::string, int> marks;
    std::ifstream in(ORU_INLINE_CRASH_SOURCE);
    std::string line;
    const std::regex mark("// mark:([A-Za-z-]+)$");
    for (int number = 1; std::getline(in, line); ++number) {
        std::smatch match;
        if (std::regex_search(line, match, mark))
            marks[match[1]] = number;
    }
    return marks;
}

// The four frames the fault must list, innermost first: the function that
// faulted, the two calls inlined into main, and main.
std::vector<std::string> ExpectedFramePatterns()
{
    const std::map<std::string, int> marks = ReadMarks();
    const auto frame = [&](const std::string& function, const std::string& firstMark,
                           const std::string& lineMark) {
        const int first = marks.at(firstMark);
        const int line = marks.at(lineMark);
        return "inline_crash\\.cpp::" + function + "\\(\\) \\+ " + std::to_string(line - first) +
               " line \\[0x[0-9a-f]{4,}\\] \\(" + std::to_string(line) + " line\\)";
    };
    return {frame("\\(anonymous namespace\\)::ApplyDamage", "ApplyDamage", "fault"),
            frame("\\(anonymous namespace\\)::Bite", "Bite", "call-ApplyDamage"),
            frame("\\(anonymous namespace\\)::Attack", "Attack", "call-Bite"),
            frame("main", "main", "call-Attack")};
}

// Runs `program` in `dir`; `bindDebugFolder`: first bind `dir`/debug over
// the system's debug folder in a mount namespace of the child's own (exit
// code 77 when that is not allowed here).
CChildResult RunProgram(const std::string& program, const std::string& dir,
                        bool bindDebugFolder = false)
{
    return RunInChild(
        [&] {
            if (bindDebugFolder) {
                const std::string own = dir + "/debug";
                if (unshare(CLONE_NEWNS) != 0 ||
                    mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                    mount(own.c_str(), "/usr/lib/debug", nullptr, MS_BIND, nullptr) != 0)
                    _exit(77);
            }
            execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        },
        dir, {{"ORU_UI", "stderr"}});
}

void ExpectInlinedFrames(const CChildResult& result)
{
    EXPECT_TRUE(result.EndedByFault(FAULT_ACCESS_VIOLATION)) << result.m_nStatus;
    const std::vector<std::string> frames = CallStackLines(result.m_strError);
    const std::vector<std::string> expected = ExpectedFramePatterns();
    ASSERT_GE(frames.size(), expected.size()) << result.m_strError;
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_TRUE(std::regex_match(frames[i], std::regex(expected[i])))
            << frames[i] << "\n  expected " << expected[i];
}

int Shell(const std::string& command)
{
    return std::system(command.c_str());
}

TEST(OptimisedCrashReport, ListsEachInlinedCallAsAFrameWithItsOwnLine)
{
    const oru::test::CTempDir dir;
    ExpectInlinedFrames(RunProgram(ORU_INLINE_CRASH_PATH, dir.Path().string()));
}

// A copy of the program without its debug information, and where its debug
// file is put, if anywhere.
TEST(OptimisedCrashReport, AStrippedProgramFindsItsDebugFileThroughItsDebugLink)
{
    struct CCase {
        const char* m_pName;
        const char* m_pPlaceDebugFile;  // shell commands run in the folder after stripping
        bool m_bFound;
    };
    const CCase cases[] = {
        {"beside the program", "objcopy --add-gnu-debuglink=game.debug game", true},
        {"in .debug beside it",
         "objcopy --add-gnu-debuglink=game.debug game && mkdir .debug && mv game.debug .debug/", true},
        {"nowhere", "rm game.debug", false},
        {"a FIFO in its place",
         "objcopy --add-gnu-debuglink=game.debug game && rm game.debug && mkfifo game.debug", false},
        {"another build's debug file",
         "objcopy --add-gnu-debuglink=game.debug game && objcopy --only-keep-debug '" ORU_BINARY_DIR
         "/src/liboru_core.so' game.debug",
         false},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.m_pName);
        const oru::test::CTempDir dir;
        ASSERT_EQ(Shell("cd '" + dir.Path().string() + "' && cp '" ORU_INLINE_CRASH_PATH
                        "' game && objcopy --only-keep-debug game game.debug && "
                        "objcopy --strip-debug game && " + c.m_pPlaceDebugFile),
                  0);
        const CChildResult result = RunProgram(dir.File("game"), dir.Path().string());
        if (c.m_bFound) {
            ExpectInlinedFrames(result);
            continue;
        }
        // Without debug information the symbol table still names the
        // function, but no file or line, and no inlined call.
        EXPECT_TRUE(result.EndedByFault(FAULT_ACCESS_VIOLATION)) << result.m_nStatus;
        const std::vector<std::string> frames = CallStackLines(result.m_strError);
        ASSERT_GE(frames.size(), 2u) << result.m_strError;
        EXPECT_TRUE(std::regex_match(frames[0], std::regex("\\(anonymous namespace\\)::ApplyDamage\\(\\) \\+ \\[0x[0-9a-f]{4,}\\]")))
            << frames[0];
        EXPECT_TRUE(std::regex_match(frames[1], std::regex("main\\(\\) \\+ \\[0x[0-9a-f]{4,}\\]")))
            << frames[1];
    }
}

// The system's debug folder is replaced, in the child alone, by one inside
// the test's folder, so the test installs nothing on the machine.
TEST(OptimisedCrashReport, AStrippedProgramFindsItsDebugFileByBuildId)
{
    if (!std::filesystem::is_directory("/usr/lib/debug"))
        GTEST_SKIP() << "this machine has no /usr/lib/debug to stand in for";
    const oru::test::CTempDir dir;
    const std::string id = oru::test::ReadBuildId(ORU_INLINE_CRASH_PATH);
    ASSERT_GT(id.size(), 2u);
    const std::string idFolder = "debug/.build-id/" + id.substr(0, 2);
    ASSERT_EQ(Shell("cd '" + dir.Path().string() + "' && mkdir -p " + idFolder + " && cp '" +
                    ORU_INLINE_CRASH_PATH + "' game && objcopy --only-keep-debug game " +
                    idFolder + "/" + id.substr(2) + ".debug && objcopy --strip-debug game"),
              0);
    const CChildResult result = RunProgram(dir.File("game"), dir.Path().string(), true);
    if (result.ExitedWith(77))
        GTEST_SKIP() << "no mount namespace here (needs root)";
    ExpectInlinedFrames(result);
}

}  // namespace
