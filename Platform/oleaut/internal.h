// Internals shared by the oleaut sources: BSTR allocation without fault injection (for the
// layer's own copies) and OLE date arithmetic.
#pragma once

#include "base/wintypes.h"

namespace platform::oleaut {

// A new BSTR of `length` characters copied from text (zeros when text is null); null when memory
// runs out or the length does not fit. Public entry points consult fault injection; the layer's
// internal copies (VariantCopy, VariantChangeType) do not, so each fault stays with its name.
BSTR AllocateBstr(const OLECHAR* text, size_t length);
BSTR AllocateBstrBytes(const void* bytes, UINT byteLength);

// The valid OLE dates: 1 January 100 00:00:00 to 31 December 9999 23:59:59.
constexpr double kMinOleDate = -657434.0;
constexpr double kMaxOleDateExclusive = 2958466.0;

struct CalendarTime {
    int year;
    int month;   // 1..12
    int day;     // 1..31
    int hour;    // 0..23
    int minute;  // 0..59
    int second;  // 0..59
    int dayOfWeek;  // 0 = Sunday
};

// Day number of a proleptic Gregorian date, 0 being 30 December 1899. Any month 1..12 and day
// are accepted; the day simply counts on from the first of the month.
long long OleDayNumber(int year, int month, int day);

// Builds the OLE date of validated fields (year 100..9999 after the day count is applied).
bool OleDateFromCalendar(int year, int month, int day, int hour, int minute, int second,
                         double* date);

// Splits an OLE date, rounded to the nearest second, into its calendar fields.
bool OleDateToCalendar(double date, CalendarTime* out);

// Days in a month of a proleptic Gregorian year.
int DaysInMonth(int year, int month);

}  // namespace platform::oleaut
