// OLE dates: SystemTimeToVariantTime, VariantTimeToSystemTime and the calendar arithmetic
// behind them (proleptic Gregorian calendar, day 0 = 30 December 1899).
#include "oleaut/internal.h"

#include <cmath>

#include "base/fault.h"
#include "oleaut/oleauto.h"

namespace platform::oleaut {

namespace {

constexpr long long kSecondsPerDay = 86400;
constexpr long long kMinDay = -657434;   // 1 January 100
constexpr long long kMaxDay = 2958465;   // 31 December 9999

// Days since 1 March of year 0 to the civil date, by 400-year eras (exact integer arithmetic).
long long DaysFromCivil(long long y, int m, int d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const long long yoe = y - era * 400;
    const long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe;
}

void CivilFromDays(long long z, int* year, int* month, int* day) {
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    *year = static_cast<int>(era * 400 + yoe + (m <= 2));
    *month = m;
    *day = d;
}

const long long kEpoch = DaysFromCivil(1899, 12, 30);

}  // namespace

int DaysInMonth(int year, int month) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2) {
        bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
        return leap ? 29 : 28;
    }
    return kDays[month - 1];
}

long long OleDayNumber(int year, int month, int day) {
    // Day 1 of the month, then count on: day 0 or beyond the month's end move across months.
    return DaysFromCivil(year, month, 1) - kEpoch + (day - 1);
}

bool OleDateFromCalendar(int year, int month, int day, int hour, int minute, int second,
                         double* date) {
    if (year < 100 || year > 9999 || month < 1 || month > 12 || day < 0 || day > 31) return false;
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) return false;
    const long long dayNumber = OleDayNumber(year, month, day);
    if (dayNumber < kMinDay || dayNumber > kMaxDay) return false;
    const double fraction = static_cast<double>(hour * 3600 + minute * 60 + second) /
                            static_cast<double>(kSecondsPerDay);
    // Before day 0 the day counts backwards but the time of day still runs forwards.
    *date = dayNumber >= 0 ? static_cast<double>(dayNumber) + fraction
                           : static_cast<double>(dayNumber) - fraction;
    return true;
}

bool OleDateToCalendar(double date, CalendarTime* out) {
    if (!std::isfinite(date) || date <= kMinOleDate - 1.0 || date >= kMaxOleDateExclusive) {
        return false;
    }
    // The calendar day is the integer part (towards zero); the fraction's magnitude is the time.
    double whole = std::trunc(date);
    double fraction = std::fabs(date - whole);
    long long dayNumber = static_cast<long long>(whole);
    long long seconds = static_cast<long long>(std::floor(fraction * kSecondsPerDay + 0.5));
    if (seconds >= kSecondsPerDay) {
        // Rounded up to midnight: the next calendar day, whichever way the days count.
        seconds = 0;
        ++dayNumber;
    }
    if (dayNumber < kMinDay || dayNumber > kMaxDay) return false;
    CivilFromDays(dayNumber + kEpoch, &out->year, &out->month, &out->day);
    out->hour = static_cast<int>(seconds / 3600);
    out->minute = static_cast<int>(seconds / 60 % 60);
    out->second = static_cast<int>(seconds % 60);
    // Day 0 (30 December 1899) was a Saturday.
    out->dayOfWeek = static_cast<int>(((dayNumber + 6) % 7 + 7) % 7);
    return true;
}

}  // namespace platform::oleaut

WINOLEAPI_(INT) SystemTimeToVariantTime(LPSYSTEMTIME lpSystemTime, DOUBLE* pvtime) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("SystemTimeToVariantTime", hr)) return FALSE;
    if (!lpSystemTime || !pvtime) return FALSE;
    const SYSTEMTIME& st = *lpSystemTime;
    double date = 0.0;
    if (!platform::oleaut::OleDateFromCalendar(st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
                                               st.wSecond, &date)) {
        return FALSE;
    }
    *pvtime = date;
    return TRUE;
}

WINOLEAPI_(INT) VariantTimeToSystemTime(DOUBLE vtime, LPSYSTEMTIME lpSystemTime) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("VariantTimeToSystemTime", hr)) return FALSE;
    if (!lpSystemTime) return FALSE;
    platform::oleaut::CalendarTime parts{};
    if (!platform::oleaut::OleDateToCalendar(vtime, &parts)) return FALSE;
    lpSystemTime->wYear = static_cast<WORD>(parts.year);
    lpSystemTime->wMonth = static_cast<WORD>(parts.month);
    lpSystemTime->wDayOfWeek = static_cast<WORD>(parts.dayOfWeek);
    lpSystemTime->wDay = static_cast<WORD>(parts.day);
    lpSystemTime->wHour = static_cast<WORD>(parts.hour);
    lpSystemTime->wMinute = static_cast<WORD>(parts.minute);
    lpSystemTime->wSecond = static_cast<WORD>(parts.second);
    lpSystemTime->wMilliseconds = 0;
    return TRUE;
}
