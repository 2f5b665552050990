#include "download/RetryPolicy.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <string_view>

#include "core/Text.h"
#include "download/HeaderText.h"

using namespace std::chrono;

namespace {
// The date form HTTP senders use: "Sun, 06 Nov 1994 08:49:37 GMT" (the names of the day and the
// month in any letter case; the day of the week must be the date's).
std::optional<sys_time<milliseconds>> parseHttpDate(std::string_view text) {
    static constexpr std::array<std::string_view, 7> kDays = {"sun", "mon", "tue", "wed",
                                                              "thu", "fri", "sat"};
    static constexpr std::array<std::string_view, 12> kMonths = {
        "jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"};
    const std::string lower = AsciiLower(text);
    const std::string_view date(lower);
    // ddd, dd MMM yyyy HH:mm:ss GMT
    if (date.size() != 29 || date.substr(3, 2) != ", " || date[7] != ' ' || date[11] != ' ' ||
        date[16] != ' ' || date[19] != ':' || date[22] != ':' || text.substr(25) != " GMT")
        return std::nullopt;
    const auto number = [&date](std::size_t at, std::size_t count) -> std::optional<int> {
        int value = 0;
        for (std::size_t i = at; i < at + count; ++i) {
            if (date[i] < '0' || date[i] > '9')
                return std::nullopt;
            value = value * 10 + (date[i] - '0');
        }
        return value;
    };
    const auto weekdayAt = std::find(kDays.begin(), kDays.end(), date.substr(0, 3));
    const auto monthAt = std::find(kMonths.begin(), kMonths.end(), date.substr(8, 3));
    const auto d = number(5, 2), y = number(12, 4), h = number(17, 2), mi = number(20, 2),
               s = number(23, 2);
    if (weekdayAt == kDays.end() || monthAt == kMonths.end() || !d || !y || !h || !mi || !s ||
        *h > 23 || *mi > 59 || *s > 59)
        return std::nullopt;
    const year_month_day ymd{year(*y), month(unsigned(monthAt - kMonths.begin() + 1)),
                             day(unsigned(*d))};
    if (!ymd.ok() || weekday(sys_days(ymd)).c_encoding() != unsigned(weekdayAt - kDays.begin()))
        return std::nullopt;
    return sys_days(ymd) + hours(*h) + minutes(*mi) + seconds(*s);
}
} // namespace

milliseconds RetryPolicy::waitBefore(int retry, std::optional<milliseconds> serverWait) const {
    if (serverWait)
        return std::clamp(*serverWait, milliseconds(0), longestServerWait);
    return firstWait * (std::int64_t(1) << std::clamp(retry - 1, 0, 30));
}

std::optional<milliseconds> parseRetryAfter(const std::string& value,
                                            system_clock::time_point now) {
    const std::string_view text = TrimHeaderSpace(value);
    if (text.empty())
        return std::nullopt;
    if (std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        const std::optional<std::int64_t> seconds =
            text.size() <= 9 ? ParseDecimal(text) : std::nullopt;
        // Longer than any wait anyone keeps: taken as the longest.
        return milliseconds(seconds ? *seconds * 1000 : std::numeric_limits<int>::max());
    }
    const std::optional<sys_time<milliseconds>> date = parseHttpDate(text);
    if (!date)
        return std::nullopt;
    return std::max(milliseconds(0), *date - floor<milliseconds>(now));
}

bool isPassingStatus(int status) {
    return status == 502 || status == 503 || status == 504;
}
