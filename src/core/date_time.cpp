#include <oru/core/date_time.h>

#include "platform/clock.h"

bool OruDate::operator==(const OruDate& other) const
{
    return year == other.year && month == other.month && day == other.day;
}

bool OruDate::operator!=(const OruDate& other) const
{
    return !(*this == other);
}

void OruGetDateInfo(OruDate& date)
{
    const oru::platform::CLocalTime now = oru::platform::Clocks().LocalTime();
    date.year = now.m_nYear;
    date.month = now.m_nMonth;
    date.day = now.m_nDay;
}

void OruGetTimeInfo(OruTime& time)
{
    const oru::platform::CLocalTime now = oru::platform::Clocks().LocalTime();
    time.hour = now.m_nHour;
    time.minute = now.m_nMinute;
    time.second = now.m_nSecond;
}
