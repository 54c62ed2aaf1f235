#pragma once
// Calendar arithmetic on local wall-clock seconds (see FileEntry::modifiedTime). Pure functions,
// independent of the process's time zone, so the scan, the writer, the reader and extraction
// agree to the second.

#include <cstdint>

// A local wall-clock time by its calendar fields, as an archive's eight time bytes hold it. All
// fields zero is how an archive says "no time".
struct CalendarTime {
    int64_t year = 0;
    int month = 0;   // 1..12
    int day = 0;     // 1..31
    int hour = 0;    // 0..23
    int minute = 0;  // 0..59
    int second = 0;  // 0..59
    bool present() const { return year != 0 || month != 0 || day != 0; }
};

CalendarTime calendarFromSeconds(int64_t seconds);
int64_t secondsFromCalendar(const CalendarTime& time);

// The number of days in the month (1..12) of the year.
int daysInMonth(int64_t year, int month);
