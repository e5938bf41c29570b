#include "platform/clock.h"
#include "platform/debug_channel.h"
#include "platform/files.h"
#include "platform/ui.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>

namespace {

using namespace oru::platform;

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Sets an environment variable for one scope and restores it after.
class CScopedEnv {
public:
    CScopedEnv(const char* name, const char* value) : m_name(name)
    {
        const char* old = getenv(name);
        m_bHad = old != nullptr;
        if (old)
            m_old = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~CScopedEnv()
    {
        if (m_bHad)
            setenv(m_name.c_str(), m_old.c_str(), 1);
        else
            unsetenv(m_name.c_str());
    }

private:
    std::string m_name;
    std::string m_old;
    bool m_bHad = false;
};

TEST(DebugChannel, AppendsToTheFileNamedByTheEnvironment)
{
    oru::test::CTempDir dir;
    const std::string first = dir.File("first.txt");
    const std::string second = dir.File("second.txt");
    {
        CScopedEnv env("ORU_DEBUG_OUTPUT", first.c_str());
        WriteDebugChannel("one\n");
        WriteDebugChannel("\xED\x95\x9C\n");
    }
    {
        CScopedEnv env("ORU_DEBUG_OUTPUT", second.c_str());
        WriteDebugChannel("two\n");
    }
    EXPECT_EQ(ReadAll(first), "one\n\xED\x95\x9C\n");
    EXPECT_EQ(ReadAll(second), "two\n");
}

TEST(DebugChannel, GoesToStandardErrorWhenAskedOrWhenTraced)
{
    {
        CScopedEnv env("ORU_DEBUG_OUTPUT", "stderr");
        testing::internal::CaptureStderr();
        WriteDebugChannel("to stderr\n");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "to stderr\n");
    }
    CScopedEnv env("ORU_DEBUG_OUTPUT", nullptr);
    testing::internal::CaptureStderr();
    WriteDebugChannel("only under a debugger\n");
    const std::string captured = testing::internal::GetCapturedStderr();
    EXPECT_EQ(captured.empty(), !IsDebuggerAttached());
}

TEST(MessageBox, IsOneLineOnStandardErrorWithoutWindows)
{
    CScopedEnv ui("ORU_UI", "stderr");
    EXPECT_FALSE(UiHasWindows());
    testing::internal::CaptureStderr();
    ShowMessageBox(L"CLogSystem::Init()", L"log-system setting level is invalid.");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "CLogSystem::Init(): log-system setting level is invalid.\n");
}

TEST(MessageBox, NeedsADisplayForWindows)
{
    CScopedEnv ui("ORU_UI", nullptr);
    CScopedEnv x11("DISPLAY", nullptr);
    CScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
    EXPECT_FALSE(UiHasWindows());
}

TEST(ReportWindowHelper, IsFoundThroughTheEnvironmentOnlyWhenExecutable)
{
    oru::test::CTempDir dir;
    CScopedEnv missing("ORU_REPORT_WINDOW", dir.File("nothing-here").c_str());
    EXPECT_EQ(FindReportWindowHelper(), "");
    CScopedEnv present("ORU_REPORT_WINDOW", "/bin/true");
    EXPECT_EQ(FindReportWindowHelper(), "/bin/true");
}

TEST(Files, MakeDirectoryCreatesOneLevelAndAcceptsAnExistingFolder)
{
    oru::test::CTempDir dir;
    EXPECT_TRUE(MakeDirectory(dir.File("logs")));
    EXPECT_TRUE(MakeDirectory(dir.File("logs")));
    EXPECT_FALSE(MakeDirectory(dir.File("a/b")));
    std::ofstream(dir.File("plain")) << "x";
    EXPECT_FALSE(MakeDirectory(dir.File("plain")));
}

TEST(Files, TimesAreFileTimeCounts)
{
    EXPECT_EQ(ToFileTime(0, 0), 116444736000000000ULL);
    EXPECT_EQ(ToFileTime(1, 500), 116444736000000000ULL + 10000000ULL + 5);

    oru::test::CTempDir dir;
    std::ofstream(dir.File("f"), std::ios::binary) << "12345";
    uint64_t size = 0;
    CFileTimes times{};
    ASSERT_TRUE(FileSizeAndTimes(dir.File("f"), size, times));
    EXPECT_EQ(size, 5u);
    const uint64_t now = ToFileTime(time(nullptr), 0);
    EXPECT_LE(times.m_nWrite, now + 10000000ULL);
    EXPECT_GE(times.m_nWrite + 600ULL * 10000000ULL, now);
    EXPECT_FALSE(FileSizeAndTimes(dir.File("missing"), size, times));
}

TEST(Clock, MillisecondClockIsTheNanosecondClockTruncated)
{
    const uint64_t before = MonotonicNanoseconds() / 1000000u;
    const uint32_t ms = MonotonicMilliseconds();
    const uint64_t after = MonotonicNanoseconds() / 1000000u;
    EXPECT_GE(ms, static_cast<uint32_t>(before));
    EXPECT_LE(ms, static_cast<uint32_t>(after));
}

}  // namespace
