// Dates as the host sees them (local OLE dates) and as messages store them (UTC FILETIMEs).
#pragma once

#include <windows.h>
#include <oleauto.h>

namespace msgplugin {

// A stored UTC time as the host reads it: local time with the offset in force now, as an OLE
// date (whole seconds); 0.0 when a conversion fails.
DATE UtcFileTimeToLocalDate(const FILETIME& utc);

// The inverse, as writing stores a host's date; false for a date outside the convertible range.
bool LocalDateToUtcFileTime(DATE date, FILETIME* utc);

}  // namespace msgplugin
