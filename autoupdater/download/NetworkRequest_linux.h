// The request of one try of a network read (Linux front-end, Qt): what it asks of the server and
// how the network layer is to carry it.
#pragma once

#include <QByteArray>
#include <QNetworkRequest>
#include <QUrl>
#include <chrono>
#include <cstdint>

struct ReadRequestSettings {
    int maxRedirects = 0;
    std::chrono::milliseconds stallTimeout{0}; // 0: no limit
    bool forceUpdate = false;                  // never from a cache
    std::int64_t rangeStart = 0;               // bytes held: > 0 asks only for the rest
    QByteArray validator;                      // of the bytes held, for If-Range
};

// Redirects are followed up to the limit and never to a less safe scheme (https to http); a
// transfer without data for the stall time-out is aborted; the updater names itself; the body
// comes as it is stored (no transparent decompression, so counts are the file's own). With bytes
// held, only the rest is asked for, and only while the server's file is still the one they came
// from; otherwise the server sends all of it.
QNetworkRequest makeReadRequest(const QUrl& url, const ReadRequestSettings& settings);
