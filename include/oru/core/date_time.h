#pragma once

#include <oru/core/export.h>

// A calendar date as plain fields; uninitialised until a function fills it.
struct ORU_API OruDate {
    int year;   // full year, for example 2026
    int month;  // 1 to 12
    int day;    // 1 to 31

    bool operator==(const OruDate& other) const;
    bool operator!=(const OruDate& other) const;
};

// A time of day as plain fields; uninitialised until a function fills it.
struct OruTime {
    int hour;    // 0 to 23
    int minute;  // 0 to 59
    int second;  // 0 to 59, 60 on a leap second
};

// Today's local date. Reads the clock once.
ORU_API void OruGetDateInfo(OruDate& date);
// The local time of day. Reads the clock once.
ORU_API void OruGetTimeInfo(OruTime& time);
