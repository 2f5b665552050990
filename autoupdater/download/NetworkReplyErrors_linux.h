// What a network reply's errors and status mean for the try that made it (Linux front-end, Qt):
// the reason a diagnostic gives, and whether the trouble may pass, so that the try is made again.
#pragma once

#include <QNetworkReply>
#include <QString>
#include <chrono>
#include <optional>

struct TryFailure {
    QString reason;
    bool mayPass = false;
};

// The reply's HTTP status; -1 while there is none (no head yet, or no server answered).
int httpStatus(const QNetworkReply& reply);
// The status with its reason phrase ("HTTP 404 Not Found"), or that no server answered.
QString statusText(const QNetworkReply& reply, int status);

// Why the finished reply failed; nullopt when it did not. No data for the stall time-out (an abort
// that `abortedHere` does not explain) and a connection lost once the request was sent may pass;
// a refused connection, a refused certificate or a status outside 200-299 does not.
std::optional<TryFailure> replyFailure(const QNetworkReply& reply, bool abortedHere,
                                       std::chrono::milliseconds stallTimeout);
