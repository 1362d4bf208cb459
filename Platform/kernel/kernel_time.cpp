// Sleep, the system and local times, and the file-time conversions.
#include <time.h>

#include "base/clock.h"
#include "base/fault.h"
#include "kernel/winbase.h"

namespace {

constexpr ULONGLONG kTicksPerMillisecond = 10000ULL;
constexpr ULONGLONG kTicksPerSecond = 10000000ULL;
constexpr ULONGLONG kTicksPerDay = 86400ULL * kTicksPerSecond;
constexpr LONGLONG kUnixEpochAsFileTime = 116444736000000000LL;
constexpr ULONGLONG kFirstInvalidFileTime = 0x8000000000000000ULL;

ULONGLONG ToTicks(const FILETIME& ft) noexcept {
    return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

FILETIME ToFileTime(ULONGLONG ticks) noexcept {
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

// Days between 0000-03-01 and the given proleptic Gregorian date, counted so that leap days
// fall at the end of each shifted year.
LONGLONG DaysFromCivil(LONGLONG year, unsigned month, unsigned day) noexcept {
    year -= month <= 2 ? 1 : 0;
    const LONGLONG era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<LONGLONG>(dayOfEra);
}

const LONGLONG kDay1601 = DaysFromCivil(1601, 1, 1);

void CivilFromDays(LONGLONG days, LONGLONG* year, unsigned* month, unsigned* day) noexcept {
    const LONGLONG era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153;
    *day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    *month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    *year = static_cast<LONGLONG>(yearOfEra) + era * 400 + (*month <= 2 ? 1 : 0);
}

bool IsLeapYear(unsigned year) noexcept { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned DaysInMonth(unsigned year, unsigned month) noexcept {
    static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// ticks < 0x8000000000000000.
SYSTEMTIME SystemTimeFromTicks(ULONGLONG ticks) noexcept {
    const LONGLONG days = static_cast<LONGLONG>(ticks / kTicksPerDay);
    ULONGLONG rest = ticks % kTicksPerDay;
    LONGLONG year = 0;
    unsigned month = 0, day = 0;
    CivilFromDays(kDay1601 + days, &year, &month, &day);
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(year);
    st.wMonth = static_cast<WORD>(month);
    st.wDay = static_cast<WORD>(day);
    st.wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1 January 1601 was a Monday
    st.wHour = static_cast<WORD>(rest / (3600 * kTicksPerSecond));
    rest %= 3600 * kTicksPerSecond;
    st.wMinute = static_cast<WORD>(rest / (60 * kTicksPerSecond));
    rest %= 60 * kTicksPerSecond;
    st.wSecond = static_cast<WORD>(rest / kTicksPerSecond);
    rest %= kTicksPerSecond;
    st.wMilliseconds = static_cast<WORD>(rest / kTicksPerMillisecond);
    return st;
}

// The local zone's offset from UTC, in ticks, in force at the platform's now.
LONGLONG LocalOffsetNow() noexcept {
    const LONGLONG now = static_cast<LONGLONG>(platform::clock::NowFileTime());
    LONGLONG sinceUnix = now - kUnixEpochAsFileTime;
    LONGLONG seconds = sinceUnix / static_cast<LONGLONG>(kTicksPerSecond);
    if (sinceUnix < 0 && sinceUnix % static_cast<LONGLONG>(kTicksPerSecond) != 0) --seconds;
    time_t t = static_cast<time_t>(seconds);
    tm local{};
    if (localtime_r(&t, &local) == nullptr) return 0;
    return static_cast<LONGLONG>(local.tm_gmtoff) * static_cast<LONGLONG>(kTicksPerSecond);
}

bool FailedByTest(const char* operation) noexcept {
    HRESULT hr = S_OK;
    if (!PLATFORM_FAULT(operation, hr)) return false;
    SetLastError(platform::kernel::Win32ErrorFromResult(hr));
    return true;
}

// A call refused for its arguments.
BOOL InvalidParameter() noexcept {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

// The ticks of `time`, when it is a valid file time. Every conversion refuses a time (and a
// result) outside that range, so whatever one direction accepts the other takes back exactly.
bool ValidTicks(const FILETIME& time, ULONGLONG* ticks) noexcept {
    *ticks = ToTicks(time);
    return *ticks < kFirstInvalidFileTime;
}

BOOL Shift(const char* operation, const FILETIME* from, LPFILETIME to, LONGLONG offset) noexcept {
    if (FailedByTest(operation)) return FALSE;
    ULONGLONG ticks = 0;
    LONGLONG shifted = 0;
    if (from == nullptr || to == nullptr || !ValidTicks(*from, &ticks) ||
        __builtin_add_overflow(static_cast<LONGLONG>(ticks), offset, &shifted) || shifted < 0)
        return InvalidParameter();
    *to = ToFileTime(static_cast<ULONGLONG>(shifted));
    return TRUE;
}

}  // namespace

void WINAPI Sleep(DWORD dwMilliseconds) { platform::clock::SleepMilliseconds(dwMilliseconds); }

void WINAPI GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime) {
    if (lpSystemTimeAsFileTime == nullptr) return;
    *lpSystemTimeAsFileTime = ToFileTime(platform::clock::NowFileTime());
}

void WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime) {
    if (lpSystemTime == nullptr) return;
    *lpSystemTime = SystemTimeFromTicks(platform::clock::NowFileTime() & ~kFirstInvalidFileTime);
}

void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime) {
    if (lpSystemTime == nullptr) return;
    LONGLONG local = static_cast<LONGLONG>(platform::clock::NowFileTime()) + LocalOffsetNow();
    if (local < 0) local = 0;
    *lpSystemTime = SystemTimeFromTicks(static_cast<ULONGLONG>(local) & ~kFirstInvalidFileTime);
}

BOOL WINAPI FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime) {
    if (FailedByTest("FileTimeToSystemTime")) return FALSE;
    ULONGLONG ticks = 0;
    if (lpFileTime == nullptr || lpSystemTime == nullptr || !ValidTicks(*lpFileTime, &ticks)) return InvalidParameter();
    *lpSystemTime = SystemTimeFromTicks(ticks);
    return TRUE;
}

BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime) {
    if (FailedByTest("SystemTimeToFileTime")) return FALSE;
    if (lpSystemTime == nullptr || lpFileTime == nullptr) return InvalidParameter();
    const SYSTEMTIME& st = *lpSystemTime;
    if (st.wYear < 1601 || st.wYear > 30827 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 ||
        st.wDay > DaysInMonth(st.wYear, st.wMonth) || st.wHour > 23 || st.wMinute > 59 ||
        st.wSecond > 59 || st.wMilliseconds > 999) {
        return InvalidParameter();
    }
    const ULONGLONG days = static_cast<ULONGLONG>(DaysFromCivil(st.wYear, st.wMonth, st.wDay) - kDay1601);
    const ULONGLONG ticks = days * kTicksPerDay +
                            (static_cast<ULONGLONG>(st.wHour) * 3600 + st.wMinute * 60 + st.wSecond) * kTicksPerSecond +
                            static_cast<ULONGLONG>(st.wMilliseconds) * kTicksPerMillisecond;
    *lpFileTime = ToFileTime(ticks);
    return TRUE;
}

BOOL WINAPI FileTimeToLocalFileTime(const FILETIME* lpFileTime, LPFILETIME lpLocalFileTime) {
    return Shift("FileTimeToLocalFileTime", lpFileTime, lpLocalFileTime, LocalOffsetNow());
}

BOOL WINAPI LocalFileTimeToFileTime(const FILETIME* lpLocalFileTime, LPFILETIME lpFileTime) {
    return Shift("LocalFileTimeToFileTime", lpLocalFileTime, lpFileTime, -LocalOffsetNow());
}

LONG WINAPI CompareFileTime(const FILETIME* lpFileTime1, const FILETIME* lpFileTime2) {
    if (lpFileTime1 == nullptr || lpFileTime2 == nullptr) return 0;
    const ULONGLONG a = ToTicks(*lpFileTime1), b = ToTicks(*lpFileTime2);
    return a < b ? -1 : (a > b ? 1 : 0);
}
