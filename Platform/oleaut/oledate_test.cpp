#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <windows.h>

#include "platform_testing.h"

namespace {

constexpr double kSecond = 1.0 / 86400.0;

SYSTEMTIME Time(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(mo);
    st.wDay = static_cast<WORD>(d);
    st.wHour = static_cast<WORD>(h);
    st.wMinute = static_cast<WORD>(mi);
    st.wSecond = static_cast<WORD>(s);
    st.wMilliseconds = static_cast<WORD>(ms);
    return st;
}

// VariantTimeToSystemTime of `date` gives this day and time, to the second, and (unless it is -1)
// this weekday.
void ExpectSystemTime(double date, int y, int mo, int d, int h, int mi, int s, int dayOfWeek = -1) {
    SYSTEMTIME st{};
    ASSERT_TRUE(VariantTimeToSystemTime(date, &st)) << date;
    EXPECT_EQ(st.wYear, y) << date;
    EXPECT_EQ(st.wMonth, mo) << date;
    EXPECT_EQ(st.wDay, d) << date;
    EXPECT_EQ(st.wHour, h) << date;
    EXPECT_EQ(st.wMinute, mi) << date;
    EXPECT_EQ(st.wSecond, s) << date;
    EXPECT_EQ(st.wMilliseconds, 0) << date;
    if (dayOfWeek >= 0) {
        EXPECT_EQ(st.wDayOfWeek, dayOfWeek) << date;
    }
}

// Known dates both ways. Day numbers and weekdays were worked out independently (Python's
// proleptic Gregorian date type).
struct KnownDate {
    double date;
    int y, mo, d, h, mi, s;
    int dayOfWeek;
};

const KnownDate kKnownDates[] = {
    {0.0, 1899, 12, 30, 0, 0, 0, 6},
    {2.5, 1900, 1, 1, 12, 0, 0, 1},
    {3.25, 1900, 1, 2, 6, 0, 0, 2},
    {61.0, 1900, 3, 1, 0, 0, 0, 4},
    {36526.0, 2000, 1, 1, 0, 0, 0, 6},
    {45351.0 + (12 * 3600 + 30 * 60 + 45) * kSecond, 2024, 2, 29, 12, 30, 45, 4},
    {-1.0, 1899, 12, 29, 0, 0, 0, 5},
    {-1.25, 1899, 12, 29, 6, 0, 0, 5},
    {-36522.5, 1800, 1, 1, 12, 0, 0, 3},
    {-109512.0, 1600, 2, 29, 0, 0, 0, 2},
    {-304324.75, 1066, 10, 14, 18, 0, 0, 0},
    {-657434.0, 100, 1, 1, 0, 0, 0, 5},
    {-657434.0 - 86399 * kSecond, 100, 1, 1, 23, 59, 59, 5},
    {2958465.0 + 86399 * kSecond, 9999, 12, 31, 23, 59, 59, 5},
};

TEST(OleDate, KnownDatesFromSystemTime) {
    for (const KnownDate& k : kKnownDates) {
        SYSTEMTIME st = Time(k.y, k.mo, k.d, k.h, k.mi, k.s);
        double date = 12345.0;
        ASSERT_TRUE(SystemTimeToVariantTime(&st, &date)) << k.y << "-" << k.mo << "-" << k.d;
        EXPECT_NEAR(date, k.date, 1e-9) << k.y << "-" << k.mo << "-" << k.d;
    }
}

TEST(OleDate, KnownDatesToSystemTime) {
    for (const KnownDate& k : kKnownDates) ExpectSystemTime(k.date, k.y, k.mo, k.d, k.h, k.mi, k.s, k.dayOfWeek);
}

TEST(OleDate, NegativeDatesKeepAPositiveTimeOfDay) {
    // -0.25 and 0.25 are the same moment: day 0 at 06:00.
    SYSTEMTIME st{};
    ASSERT_TRUE(VariantTimeToSystemTime(-0.25, &st));
    EXPECT_EQ(st.wDay, 30);
    EXPECT_EQ(st.wHour, 6);
    // -1.75 is 29 December at 18:00, not 28 December at 06:00.
    ASSERT_TRUE(VariantTimeToSystemTime(-1.75, &st));
    EXPECT_EQ(st.wDay, 29);
    EXPECT_EQ(st.wHour, 18);
}

TEST(OleDate, RoundsToTheNearestSecond) {
    struct Case {
        double date;
        int y, mo, d, h, mi, s;
    } cases[] = {
        {2.5 + 0.4 * kSecond, 1900, 1, 1, 12, 0, 0},
        {2.5 + 0.6 * kSecond, 1900, 1, 1, 12, 0, 1},
        {2.5 - 0.6 * kSecond, 1900, 1, 1, 11, 59, 59},
        // Up to midnight: the next calendar day, also when days count backwards.
        {1.0 - 0.2 * kSecond, 1899, 12, 31, 0, 0, 0},
        {-1.0 - (86400 - 0.2) * kSecond, 1899, 12, 30, 0, 0, 0},
        {-657434.0 - (86400 - 0.2) * kSecond, 100, 1, 2, 0, 0, 0},
    };
    for (const Case& c : cases) ExpectSystemTime(c.date, c.y, c.mo, c.d, c.h, c.mi, c.s);
}

TEST(OleDate, OutOfRangeDatesFail) {
    const double cases[] = {
        -657435.0,
        2958466.0,
        2958465.0 + (86400 - 0.2) * kSecond,  // rounds into the year 10000
        1e300,
        -1e300,
        std::numeric_limits<double>::quiet_NaN(),
        std::numeric_limits<double>::infinity(),
    };
    for (double date : cases) {
        SYSTEMTIME st = Time(2000, 1, 1);
        EXPECT_FALSE(VariantTimeToSystemTime(date, &st)) << date;
    }
    EXPECT_FALSE(VariantTimeToSystemTime(0.0, nullptr));
}

TEST(OleDate, InvalidSystemTimesFail) {
    const SYSTEMTIME cases[] = {
        Time(99, 12, 31),      Time(10000, 1, 1),     Time(2000, 0, 1),
        Time(2000, 13, 1),     Time(2000, 1, 32),     Time(2000, 1, 1, 24),
        Time(2000, 1, 1, 0, 60), Time(2000, 1, 1, 0, 0, 60),
        Time(100, 1, 0),  // day 0 is 31 December 99
        Time(0, 1, 1),
    };
    for (const SYSTEMTIME& st : cases) {
        SYSTEMTIME copy = st;
        double date = 77.0;
        EXPECT_FALSE(SystemTimeToVariantTime(&copy, &date))
            << st.wYear << "-" << st.wMonth << "-" << st.wDay << " " << st.wHour << ":" << st.wMinute
            << ":" << st.wSecond;
        EXPECT_EQ(date, 77.0);
    }
    double date = 0.0;
    EXPECT_FALSE(SystemTimeToVariantTime(nullptr, &date));
}

TEST(OleDate, DaysPastTheMonthMoveOnAndMillisecondsAreIgnored) {
    struct Case {
        SYSTEMTIME st;
        double date;
    } cases[] = {
        {Time(2001, 2, 29), 36951.0},   // 1 March 2001
        {Time(2001, 2, 31), 36953.0},   // 3 March 2001
        {Time(2001, 2, 0), 36922.0},    // 31 January 2001
        {Time(1900, 1, 1, 12, 0, 0, 999), 2.5},
    };
    for (Case& c : cases) {
        double date = 0.0;
        ASSERT_TRUE(SystemTimeToVariantTime(&c.st, &date));
        EXPECT_NEAR(date, c.date, 1e-9);
    }
}

TEST(OleDate, RoundTripsAcrossTheWholeRange) {
    // A bounded walk over the range with varying times of day.
    int checked = 0;
    for (long long day = -657434; day <= 2958465; day += 997) {
        int seconds = static_cast<int>((day * 7919) % 86400 + 86400) % 86400;
        double date = day >= 0 ? day + seconds * kSecond : day - seconds * kSecond;
        SYSTEMTIME st{};
        ASSERT_TRUE(VariantTimeToSystemTime(date, &st)) << date;
        EXPECT_EQ(st.wHour * 3600 + st.wMinute * 60 + st.wSecond, seconds) << date;
        double back = 0.0;
        ASSERT_TRUE(SystemTimeToVariantTime(&st, &back)) << date;
        ASSERT_NEAR(back, date, 0.001 * kSecond) << date;
        ++checked;
    }
    EXPECT_GT(checked, 3000);
}

TEST(OleDate, FaultInjection) {
    SYSTEMTIME st = Time(2000, 1, 1);
    double date = 0.0;
    platform::testing::FailNthCall("SystemTimeToVariantTime", 1, E_FAIL);
    EXPECT_FALSE(SystemTimeToVariantTime(&st, &date));
    EXPECT_TRUE(SystemTimeToVariantTime(&st, &date));
    EXPECT_EQ(date, 36526.0);
    platform::testing::FailNthCall("VariantTimeToSystemTime", 1, E_FAIL);
    EXPECT_FALSE(VariantTimeToSystemTime(36526.0, &st));
    EXPECT_TRUE(VariantTimeToSystemTime(36526.0, &st));
}

}  // namespace
