// Sleep, the system and local times and the file-time conversions.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <time.h>

#include <windows.h>

#include <optional>
#include <string>

#include "platform_testing.h"

namespace {

ULONGLONG Ticks(const FILETIME& ft) { return (ULONGLONG(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; }
FILETIME FromTicks(ULONGLONG ticks) { return FILETIME{DWORD(ticks), DWORD(ticks >> 32)}; }

bool SameTime(const SYSTEMTIME& a, const SYSTEMTIME& b) {
    return a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDay == b.wDay && a.wHour == b.wHour &&
           a.wMinute == b.wMinute && a.wSecond == b.wSecond && a.wMilliseconds == b.wMilliseconds;
}

std::string Show(const SYSTEMTIME& st) {
    char text[64];
    snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u dow %u", st.wYear, st.wMonth, st.wDay, st.wHour,
             st.wMinute, st.wSecond, st.wMilliseconds, st.wDayOfWeek);
    return text;
}

// Known instants: ticks since 1601 and the calendar fields (day of week 0 = Sunday).
struct KnownTime {
    ULONGLONG ticks;
    SYSTEMTIME st;
};
const KnownTime kKnownTimes[] = {
    {0ULL, {1601, 1, 1, 1, 0, 0, 0, 0}},
    {116444736000000000ULL, {1970, 1, 4, 1, 0, 0, 0, 0}},             // Thursday
    {125911584000000000ULL, {2000, 1, 6, 1, 0, 0, 0, 0}},             // Saturday
    {125962560000000000ULL, {2000, 2, 2, 29, 0, 0, 0, 0}},            // Tuesday, leap day
    {134285922000000000ULL + 1234567ULL, {2026, 7, 3, 15, 12, 30, 0, 123}},  // Wednesday, 123.4567 ms
    {0x7FFFFFFFFFFFFFFFULL, {30828, 9, 4, 14, 2, 48, 5, 477}},        // the last valid file time
};

TEST(KernelFileTime, ConvertsKnownInstantsToSystemTime) {
    for (const KnownTime& known : kKnownTimes) {
        FILETIME ft = FromTicks(known.ticks);
        SYSTEMTIME st{};
        ASSERT_TRUE(FileTimeToSystemTime(&ft, &st)) << known.ticks;
        EXPECT_TRUE(SameTime(st, known.st)) << Show(st) << " expected " << Show(known.st);
        EXPECT_EQ(st.wDayOfWeek, known.st.wDayOfWeek) << Show(st);
    }
}

TEST(KernelFileTime, ConvertsSystemTimeBackToTheMillisecond) {
    for (const KnownTime& known : kKnownTimes) {
        if (known.st.wYear > 30827) continue;
        FILETIME ft{};
        ASSERT_TRUE(SystemTimeToFileTime(&known.st, &ft)) << Show(known.st);
        EXPECT_EQ(Ticks(ft), known.ticks / 10000 * 10000) << Show(known.st);
    }
}

TEST(KernelFileTime, FileTimeToSystemTimeRefusesTheUpperHalf) {
    for (ULONGLONG ticks : {0x8000000000000000ULL, 0xFFFFFFFFFFFFFFFFULL}) {
        FILETIME ft = FromTicks(ticks);
        SYSTEMTIME st{};
        SetLastError(0);
        EXPECT_FALSE(FileTimeToSystemTime(&ft, &st));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
}

TEST(KernelFileTime, SystemTimeToFileTimeRefusesInvalidFields) {
    const SYSTEMTIME good{2024, 2, 0, 29, 23, 59, 59, 999};
    FILETIME ft{};
    ASSERT_TRUE(SystemTimeToFileTime(&good, &ft));
    struct Case {
        const char* what;
        void (*spoil)(SYSTEMTIME&);
    } cases[] = {
        {"year 1600", [](SYSTEMTIME& s) { s.wYear = 1600; }},
        {"year 30828", [](SYSTEMTIME& s) { s.wYear = 30828; }},
        {"month 0", [](SYSTEMTIME& s) { s.wMonth = 0; }},
        {"month 13", [](SYSTEMTIME& s) { s.wMonth = 13; }},
        {"day 0", [](SYSTEMTIME& s) { s.wDay = 0; }},
        {"29 February 2023", [](SYSTEMTIME& s) { s.wYear = 2023; }},
        {"29 February 1900", [](SYSTEMTIME& s) { s.wYear = 1900; }},
        {"31 April", [](SYSTEMTIME& s) { s.wMonth = 4, s.wDay = 31; }},
        {"hour 24", [](SYSTEMTIME& s) { s.wHour = 24; }},
        {"minute 60", [](SYSTEMTIME& s) { s.wMinute = 60; }},
        {"second 60", [](SYSTEMTIME& s) { s.wSecond = 60; }},
        {"millisecond 1000", [](SYSTEMTIME& s) { s.wMilliseconds = 1000; }},
    };
    for (const Case& c : cases) {
        SYSTEMTIME st = good;
        c.spoil(st);
        SetLastError(0);
        EXPECT_FALSE(SystemTimeToFileTime(&st, &ft)) << c.what;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << c.what;
    }
    // The limits themselves are valid, and the day of the week is not looked at.
    SYSTEMTIME first{1601, 1, 6, 1, 0, 0, 0, 0};
    EXPECT_TRUE(SystemTimeToFileTime(&first, &ft));
    EXPECT_EQ(Ticks(ft), 0u);
    SYSTEMTIME last{30827, 12, 77, 31, 23, 59, 59, 999};
    EXPECT_TRUE(SystemTimeToFileTime(&last, &ft));
    SYSTEMTIME back{};
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
    EXPECT_TRUE(SameTime(back, last));
    EXPECT_EQ(back.wDayOfWeek, 5) << "31 December 30827 is a Friday";
}

TEST(KernelFileTime, ConversionsConsultFaults) {
    SYSTEMTIME st{2024, 1, 0, 1, 0, 0, 0, 0};
    FILETIME ft{};
    platform::testing::FailNthCall("SystemTimeToFileTime", 1, HRESULT_FROM_WIN32(ERROR_INVALID_DATA));
    EXPECT_FALSE(SystemTimeToFileTime(&st, &ft));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    platform::testing::FailNthCall("FileTimeToSystemTime", 1, 0);
    SetLastError(5);
    EXPECT_FALSE(FileTimeToSystemTime(&ft, &st));
    EXPECT_EQ(GetLastError(), 0u);
    platform::testing::FailNthCall("FileTimeToLocalFileTime", 1, E_FAIL);
    EXPECT_FALSE(FileTimeToLocalFileTime(&ft, &ft));
    platform::testing::FailNthCall("LocalFileTimeToFileTime", 1, E_FAIL);
    EXPECT_FALSE(LocalFileTimeToFileTime(&ft, &ft));
}

TEST(KernelClock, SystemTimesFollowTheSetNow) {
    SYSTEMTIME now{2026, 7, 0, 15, 12, 30, 45, 678};
    platform::testing::SetNow(now);
    FILETIME ft{};
    GetSystemTimeAsFileTime(&ft);
    SYSTEMTIME expectedFt = {};
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &expectedFt));
    EXPECT_TRUE(SameTime(expectedFt, now)) << Show(expectedFt);
    SYSTEMTIME st{};
    GetSystemTime(&st);
    EXPECT_TRUE(SameTime(st, now)) << Show(st);
    EXPECT_EQ(st.wDayOfWeek, 3);
}

TEST(KernelClock, SleepGoesThroughThePlatformClock) {
    platform::testing::SetSleepImmediate(true);
    Sleep(250);
    Sleep(60000);
    EXPECT_EQ(platform::testing::SleptMilliseconds(), 60250u);
}

// Sets TZ for one test and restores the previous setting afterwards.
class ZoneScope {
public:
    explicit ZoneScope(const char* zone) {
        if (const char* old = getenv("TZ")) previous_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneScope() {
        if (previous_) setenv("TZ", previous_->c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> previous_;
};

FILETIME At(WORD year, WORD month, WORD day, WORD hour, WORD minute) {
    SYSTEMTIME st{year, month, 0, day, hour, minute, 0, 0};
    FILETIME ft{};
    EXPECT_TRUE(SystemTimeToFileTime(&st, &ft));
    return ft;
}

SYSTEMTIME Fields(const FILETIME& ft) {
    SYSTEMTIME st{};
    EXPECT_TRUE(FileTimeToSystemTime(&ft, &st));
    return st;
}

TEST(KernelLocalTime, FixedZoneTwoHoursAhead) {
    ZoneScope zone("UTC-2");  // POSIX signs: two hours east of Greenwich
    platform::testing::SetNow(SYSTEMTIME{2026, 3, 0, 10, 8, 0, 0, 0});
    FILETIME utc = At(2026, 3, 10, 12, 0), local{}, back{};
    ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
    EXPECT_EQ(Fields(local).wHour, 14);
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &back));
    EXPECT_EQ(Ticks(back), Ticks(utc));

    SYSTEMTIME localNow{};
    GetLocalTime(&localNow);
    EXPECT_TRUE(SameTime(localNow, SYSTEMTIME{2026, 3, 0, 10, 10, 0, 0, 0})) << Show(localNow);
}

TEST(KernelLocalTime, OffsetIsTheOneInForceNowNotAtTheConvertedTime) {
    ZoneScope zone("CET-1CEST,M3.5.0,M10.5.0/3");
    const FILETIME january = At(2026, 1, 15, 12, 0);
    FILETIME local{}, back{};

    platform::testing::SetNow(SYSTEMTIME{2026, 7, 0, 1, 12, 0, 0, 0});  // summer
    ASSERT_TRUE(FileTimeToLocalFileTime(&january, &local));
    EXPECT_EQ(Fields(local).wHour, 14) << "summer offset +2 applied to a winter time";
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &back));
    EXPECT_EQ(Ticks(back), Ticks(january));

    platform::testing::SetNow(SYSTEMTIME{2026, 12, 0, 1, 12, 0, 0, 0});  // winter
    ASSERT_TRUE(FileTimeToLocalFileTime(&january, &local));
    EXPECT_EQ(Fields(local).wHour, 13);
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &back));
    EXPECT_EQ(Ticks(back), Ticks(january));

    // Across the spring change: one minute before and one after 01:00 UTC on 29 March 2026.
    platform::testing::SetNow(SYSTEMTIME{2026, 3, 0, 29, 0, 59, 0, 0});
    SYSTEMTIME st{};
    GetLocalTime(&st);
    EXPECT_EQ(st.wHour, 1);
    EXPECT_EQ(st.wMinute, 59);
    platform::testing::SetNow(SYSTEMTIME{2026, 3, 0, 29, 1, 1, 0, 0});
    GetLocalTime(&st);
    EXPECT_EQ(st.wHour, 3);
    EXPECT_EQ(st.wMinute, 1);
}

TEST(KernelLocalTime, RefusesResultsOutsideTheFileTimeRange) {
    ZoneScope zone("UTC-2");
    platform::testing::SetNow(SYSTEMTIME{2026, 3, 0, 10, 8, 0, 0, 0});
    FILETIME early = FromTicks(1000), late = FromTicks(0x7FFFFFFFFFFFFFF0ULL), out{};
    EXPECT_FALSE(LocalFileTimeToFileTime(&early, &out));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(FileTimeToLocalFileTime(&late, &out));
    FILETIME upper = FromTicks(0x8000000000000000ULL);
    EXPECT_FALSE(FileTimeToLocalFileTime(&upper, &out));
}

TEST(KernelFileTime, CompareFileTimeOrders) {
    FILETIME a = FromTicks(5), b = FromTicks(0x100000000ULL);
    EXPECT_EQ(CompareFileTime(&a, &b), -1);
    EXPECT_EQ(CompareFileTime(&b, &a), 1);
    EXPECT_EQ(CompareFileTime(&a, &a), 0);
}

}  // namespace
