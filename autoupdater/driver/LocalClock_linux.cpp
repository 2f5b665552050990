#include "driver/LocalClock.h"

#include <ctime>
#include <sys/time.h>

LocalTime LocalNow() {
    timespec now = {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm local = {};
    ::localtime_r(&now.tv_sec, &local);
    LocalTime time;
    time.year = local.tm_year + 1900;
    time.month = local.tm_mon + 1;
    time.day = local.tm_mday;
    time.hour = local.tm_hour;
    time.minute = local.tm_min;
    time.second = local.tm_sec;
    time.millisecond = static_cast<int>(now.tv_nsec / 1000000);
    time.utcOffsetSeconds = static_cast<int>(local.tm_gmtoff);
    return time;
}
