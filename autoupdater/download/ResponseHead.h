// The judgement of an HTTP response head, once, before any byte of its body is kept: an error
// status or an encoded body fails the try, so that no error page and no compressed stream can be
// taken for the file; a part is kept only when it is the rest of the bytes held. Every platform's
// read service reads the head its own way and judges it here.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

// The status and the headers the judgement reads, as the server sent them (bytes; empty: absent).
struct ResponseHead {
    int status = -1; // -1: no head yet, or no server answered
    std::string reasonPhrase;
    std::string contentEncoding;
    std::string contentRange;
    std::string entityTag;
    std::string lastModified;
    std::string transferEncoding;
    std::string retryAfter;
    std::optional<std::int64_t> contentLength;
};

// The status with its reason phrase ("HTTP 404 Not Found"), or that no server answered.
std::string StatusText(int status, const std::string& reasonPhrase);

// What the try holds when the head arrives.
struct HeldBytes {
    bool rangeAsked = false;   // the request asked for the rest only
    std::int64_t tryStart = 0; // bytes held when the try began
    std::int64_t total = -1;   // the whole file's size; -1 while unknown
    std::string validator;     // of the bytes held
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
    std::string reason;                                  // Fail, StartOver
    bool mayPass = false;                                // Fail: a passing trouble of the server
    std::optional<std::chrono::milliseconds> serverWait; // Fail that may pass: its Retry-After
    std::string validator;                               // Whole: the file's
    std::int64_t length = -1;                            // Whole: the body's size; -1 unknown
};

HeadVerdict JudgeHead(const ResponseHead& head, const HeldBytes& held);
