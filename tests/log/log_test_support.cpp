#include "log/log_test_support.h"

#include "log/log_clock.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace oru::test {
namespace {

// Seconds since 00:00:00 of the fake date, read by FakeNow from any thread.
std::atomic<int> s_nYear{2026}, s_nMonth{12}, s_nDay{6}, s_nSeconds{0};

oru::platform::CLocalTime FakeNow()
{
    const int seconds = s_nSeconds.load();
    return {s_nYear.load(), s_nMonth.load(), s_nDay.load(),
            seconds / 3600, seconds / 60 % 60, seconds % 60};
}

}  // namespace

CFakeLogClock::CFakeLogClock(const oru::platform::CLocalTime& now)
{
    Set(now);
    oru::detail::SetLogClock(&FakeNow);
}

CFakeLogClock::~CFakeLogClock()
{
    oru::detail::SetLogClock(nullptr);
}

void CFakeLogClock::Set(const oru::platform::CLocalTime& now)
{
    s_nYear = now.m_nYear;
    s_nMonth = now.m_nMonth;
    s_nDay = now.m_nDay;
    s_nSeconds = now.m_nHour * 3600 + now.m_nMinute * 60 + now.m_nSecond;
}

std::string ReadFileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string& path)
{
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

void RemoveTree(const std::string& path)
{
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

}  // namespace oru::test
