#include "download/RetryPolicy.h"

#include <QLocale>
#include <QTimeZone>
#include <algorithm>

using std::chrono::milliseconds;

milliseconds RetryPolicy::waitBefore(int retry, std::optional<milliseconds> serverWait) const {
    if (serverWait)
        return std::clamp(*serverWait, milliseconds(0), longestServerWait);
    return firstWait * (qint64(1) << std::clamp(retry - 1, 0, 30));
}

std::optional<milliseconds> parseRetryAfter(const QByteArray& value, const QDateTime& now) {
    const QByteArray text = value.trimmed();
    if (text.isEmpty())
        return std::nullopt;
    if (std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        bool ok = false;
        const qint64 seconds = text.size() <= 9 ? text.toLongLong(&ok) : 0;
        // Longer than any wait anyone keeps: taken as the longest.
        return milliseconds(ok ? seconds * 1000 : std::numeric_limits<int>::max());
    }
    // The date form HTTP senders use: "Sun, 06 Nov 1994 08:49:37 GMT".
    QDateTime date = QLocale::c().toDateTime(QString::fromLatin1(text),
                                             QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'"));
    if (!date.isValid())
        return std::nullopt;
    date.setTimeZone(QTimeZone::utc());
    return milliseconds(std::max<qint64>(0, now.msecsTo(date)));
}

bool isPassingStatus(int status) {
    return status == 502 || status == 503 || status == 504;
}
