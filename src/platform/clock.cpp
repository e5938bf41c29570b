// The clocks' logic that is the same on every system: the clock the library
// reads through (replaceable by tests), local time once per second, and
// local time from the last known offset from UTC. The system's own readings
// are in the system's folder.

#include "platform/clock.h"

#include <atomic>

namespace oru::platform {
namespace {

// Seconds east of UTC, as the last breakdown into local time found them.
std::atomic<long> s_nUtcOffset{0};

// Days since 1970-01-01 to a civil date, in the proleptic Gregorian
// calendar, with integer arithmetic only.
void CivilFromDays(int64_t days, int& year, int& month, int& day)
{
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;  // March is 0
    day = static_cast<int>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    month = static_cast<int>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    year = static_cast<int>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
}

// Breaking the calendar clock down into a local date and time costs more than
// the rest of a log line's stamp; a thread that reads it many times within one
// second does it once. A change of time zone shows from the next second on.
CLocalTime LocalTimeOfThisSecond()
{
    thread_local int64_t t_nSecond = INT64_MIN;
    thread_local CLocalTime t_Local{};
    const int64_t now = CalendarSeconds();
    if (now != t_nSecond) {
        t_Local = LocalTimeAt(now);
        t_nSecond = now;
    }
    return t_Local;
}

class CSystemClocks final : public IClocks {
public:
    uint32_t Milliseconds() const override { return MonotonicMilliseconds(); }
    int64_t Counter() const override { return static_cast<int64_t>(MonotonicNanoseconds()); }
    int64_t Frequency() const override { return static_cast<int64_t>(MONOTONIC_FREQUENCY); }
    CLocalTime LocalTime() const override { return LocalTimeOfThisSecond(); }
};

constinit const CSystemClocks SYSTEM_CLOCKS;
std::atomic<const IClocks*> s_pClocks{&SYSTEM_CLOCKS};

}  // namespace

const IClocks& Clocks()
{
    return *s_pClocks.load(std::memory_order_acquire);
}

void SetClocks(const IClocks* pClocks)
{
    s_pClocks.store(pClocks ? pClocks : &SYSTEM_CLOCKS, std::memory_order_release);
}

CLocalTime LocalTimeNow()
{
    return LocalTimeAt(CalendarSeconds());
}

void RememberUtcOffset(long seconds)
{
    s_nUtcOffset.store(seconds, std::memory_order_relaxed);
}

CLocalTime LocalTimeFromLastOffset(int64_t seconds)
{
    const int64_t local = seconds + s_nUtcOffset.load(std::memory_order_relaxed);
    const int64_t days = (local >= 0 ? local : local - 86399) / 86400;
    const int64_t secondOfDay = local - days * 86400;
    CLocalTime time{};
    CivilFromDays(days, time.m_nYear, time.m_nMonth, time.m_nDay);
    time.m_nHour = static_cast<int>(secondOfDay / 3600);
    time.m_nMinute = static_cast<int>(secondOfDay / 60 % 60);
    time.m_nSecond = static_cast<int>(secondOfDay % 60);
    return time;
}

}  // namespace oru::platform
