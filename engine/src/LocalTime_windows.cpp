#include "LocalTime.h"

namespace vbuzip {

LocalTime localTimeOf(time_t when) {
    struct tm t {};
    localtime_s(&t, &when);
    return {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min};
}

} // namespace vbuzip
