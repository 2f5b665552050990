// The local date and time, as the run log stamps its lines (LocalClock_<platform>.cpp).
#pragma once

struct LocalTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
    int utcOffsetSeconds = 0; // east of UTC is positive
};

LocalTime LocalNow();
