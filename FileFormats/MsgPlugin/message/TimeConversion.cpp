#include "message/TimeConversion.h"

namespace msgplugin {

DATE UtcFileTimeToLocalDate(const FILETIME& utc) {
    FILETIME local{};
    SYSTEMTIME fields{};
    DATE date = 0.0;
    if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &fields) ||
        !SystemTimeToVariantTime(&fields, &date))
        return 0.0;
    return date;
}

bool LocalDateToUtcFileTime(DATE date, FILETIME* utc) {
    SYSTEMTIME fields{};
    FILETIME local{};
    return VariantTimeToSystemTime(date, &fields) && SystemTimeToFileTime(&fields, &local) &&
           LocalFileTimeToFileTime(&local, utc);
}

}  // namespace msgplugin
