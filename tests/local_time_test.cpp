#include <gtest/gtest.h>

#include "format/local_time.h"

namespace {

CalendarTime at(int64_t y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    return {y, mo, d, h, mi, s};
}

void expectCalendar(int64_t seconds, const CalendarTime& want) {
    const CalendarTime got = calendarFromSeconds(seconds);
    EXPECT_EQ(got.year, want.year) << seconds;
    EXPECT_EQ(got.month, want.month) << seconds;
    EXPECT_EQ(got.day, want.day) << seconds;
    EXPECT_EQ(got.hour, want.hour) << seconds;
    EXPECT_EQ(got.minute, want.minute) << seconds;
    EXPECT_EQ(got.second, want.second) << seconds;
}

TEST(LocalTime, KnownInstants) {
    expectCalendar(0, at(1970, 1, 1));
    expectCalendar(-1, at(1969, 12, 31, 23, 59, 59));
    expectCalendar(951782400, at(2000, 2, 29));
    expectCalendar(1078099199, at(2004, 2, 29, 23, 59, 59));
    expectCalendar(2147483647, at(2038, 1, 19, 3, 14, 7));
    expectCalendar(2147483648LL, at(2038, 1, 19, 3, 14, 8));
    expectCalendar(4102444800LL, at(2100, 1, 1));
}

TEST(LocalTime, EveryDayRoundTripsFrom1900To2200) {
    int64_t seconds = secondsFromCalendar(at(1900, 1, 1, 13, 7, 42));
    CalendarTime previous = calendarFromSeconds(seconds - 86400);
    for (int day = 0; day < 300 * 366; ++day, seconds += 86400) {
        const CalendarTime t = calendarFromSeconds(seconds);
        ASSERT_EQ(secondsFromCalendar(t), seconds);
        ASSERT_EQ(t.hour * 3600 + t.minute * 60 + t.second, 13 * 3600 + 7 * 60 + 42);
        // Consecutive days: either the next day of the month, or the first of the next month.
        if (t.day != 1) {
            ASSERT_EQ(t.day, previous.day + 1);
            ASSERT_EQ(t.month, previous.month);
        } else {
            ASSERT_EQ(t.month, previous.month % 12 + 1);
            ASSERT_EQ(previous.day, daysInMonth(previous.year, previous.month));
        }
        previous = t;
    }
}

TEST(LocalTime, LengthsOfMonthsWithTheLeapYearRules) {
    EXPECT_EQ(daysInMonth(2004, 2), 29);
    EXPECT_EQ(daysInMonth(2005, 2), 28);
    EXPECT_EQ(daysInMonth(2000, 2), 29);  // divisible by 400
    EXPECT_EQ(daysInMonth(2100, 2), 28);  // by 100 but not by 400
    EXPECT_EQ(daysInMonth(2005, 12), 31);
    EXPECT_EQ(daysInMonth(2005, 4), 30);
}

}  // namespace
