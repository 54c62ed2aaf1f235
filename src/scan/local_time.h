#pragma once
// Calendar arithmetic on local wall-clock seconds (see FileEntry::modifiedTime). Pure functions,
// independent of the process's time zone, so the scan and the writer agree to the second.

#include <cstdint>

struct CalendarTime {
    int64_t year = 1970;
    int month = 1;   // 1..12
    int day = 1;     // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
};

CalendarTime calendarFromSeconds(int64_t seconds);
int64_t secondsFromCalendar(const CalendarTime& time);

// The file's time as modifiedTime: kNoTime unless its local year lies within 1970..2038.
int64_t modifiedTimeFromLocalSeconds(int64_t localSeconds);
