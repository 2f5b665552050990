// Calendar values of a point in time in the system's time zone.
#pragma once

#include <ctime>

namespace vbuzip {

struct LocalTime {
    int year = 0;  // four digits
    int month = 0; // 1 to 12
    int day = 0;
    int hour = 0;
    int minute = 0;
};

LocalTime localTimeOf(time_t when);

} // namespace vbuzip
