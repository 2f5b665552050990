// The local time on Windows: the one instant in UTC, turned into local time by the system's time
// zone with its rules for that date (daylight saving included); the offset is the difference of
// the two, so that the time and the offset always agree (also around a change of daylight saving).
// The C run time's local time would follow its own TZ variable instead of the system's zone.
#include "driver/LocalClock.h"

#include <windows.h>

#include <cstdint>

namespace {
std::int64_t Ticks(const SYSTEMTIME& time) {
    FILETIME file{};
    SystemTimeToFileTime(&time, &file);
    return std::int64_t((std::uint64_t(file.dwHighDateTime) << 32) | file.dwLowDateTime);
}
} // namespace

LocalTime LocalNow() {
    SYSTEMTIME utc{}, local{};
    GetSystemTime(&utc);
    int offsetSeconds = 0;
    // The current zone (null) with its rules for this year, which are the ones for now.
    if (SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) {
        // 100-ns ticks; whole minutes, as every zone's offset is.
        const std::int64_t minutes = (Ticks(local) - Ticks(utc)) / (60 * 10000000LL);
        offsetSeconds = static_cast<int>(minutes * 60);
    } else {
        // The zone's current bias (minutes west of UTC) with the local time as the system keeps it.
        TIME_ZONE_INFORMATION current{};
        const DWORD id = GetTimeZoneInformation(&current);
        const LONG bias = current.Bias + (id == TIME_ZONE_ID_DAYLIGHT   ? current.DaylightBias
                                          : id == TIME_ZONE_ID_STANDARD ? current.StandardBias
                                                                        : 0);
        offsetSeconds = id == TIME_ZONE_ID_INVALID ? 0 : static_cast<int>(-bias * 60);
        GetLocalTime(&local);
    }
    LocalTime time;
    time.year = local.wYear;
    time.month = local.wMonth;
    time.day = local.wDay;
    time.hour = local.wHour;
    time.minute = local.wMinute;
    time.second = local.wSecond;
    time.millisecond = local.wMilliseconds;
    time.utcOffsetSeconds = offsetSeconds;
    return time;
}
