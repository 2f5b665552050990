// The judgement of a response head, once, before any byte of its body is kept (Linux front-end,
// Qt): an error status or an encoded body fails the try, so that no error page and no compressed
// stream can be taken for the file; a part is kept only when it is the rest of the bytes held.
#pragma once

#include <QByteArray>
#include <QNetworkReply>
#include <QString>
#include <chrono>
#include <cstdint>
#include <optional>

// What the try holds when the head arrives.
struct HeldBytes {
    bool rangeAsked = false;   // the request asked for the rest only
    std::int64_t tryStart = 0; // bytes held when the try began
    std::int64_t total = -1;   // the whole file's size; -1 while unknown
    QByteArray validator;      // of the bytes held
};

struct HeadVerdict {
    enum class Kind {
        Pending,   // no head yet, or a redirect's: the head that counts comes later
        Fail,      // the try fails
        StartOver, // the answer cannot be used, a request for the whole file can
        Rest,      // the rest of the bytes held follows
        Whole,     // the whole file follows (what was held is of another version, or the server
                   // takes no ranges)
    };
    Kind kind = Kind::Pending;
    QString reason;                                      // Fail, StartOver
    bool mayPass = false;                                // Fail: a passing trouble of the server
    std::optional<std::chrono::milliseconds> serverWait; // Fail that may pass: its Retry-After
    QByteArray validator;                                // Whole: the file's
    std::int64_t length = -1;                            // Whole: the body's size; -1 unknown
};

HeadVerdict judgeHead(const QNetworkReply& reply, const HeldBytes& held);
