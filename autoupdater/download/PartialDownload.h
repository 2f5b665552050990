// What a download that did not complete leaves for the next read of the same address: the bytes
// that arrived, in a partial file of the temporary folder, and beside it a small record of the
// address, the validator the server gave those bytes, the whole file's size and how many of the
// bytes are known to be on disk. The record is replaced whole (written aside, flushed, renamed),
// so that a crash leaves the old record or the new one.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

struct PartialDownload {
    using Clock = std::chrono::system_clock;

    // How long a partial download may wait for its next read.
    static constexpr std::int64_t MaxAgeSeconds = 24 * 60 * 60;

    std::string address;
    std::string partialName; // the partial file's name, in the record's folder
    std::string validator;   // a strong entity tag, quotes included, or a Last-Modified date
    std::int64_t total = 0;  // the whole file's size
    std::int64_t length = 0; // bytes at the start of the partial file known to be on disk
    Clock::time_point saved; // when the record was written (to the millisecond)

    // The record's file name for an address, and the name patterns of records and of their
    // files in the making.
    static std::string recordName(const std::string& address);
    static const std::string& recordPattern();
    static const std::string& recordInTheMakingPattern();

    // The record at `path`; nullopt when there is none or it cannot be read.
    static std::optional<PartialDownload> load(const std::string& path);
    // Replaces the record at `path` with this one; false with the reason in `error`.
    bool save(const std::string& path, std::string* error = nullptr) const;

    // The validator to take up a partial download with: the strong entity tag when the server
    // gave one, else the Last-Modified date (empty: none, and the bytes cannot be taken up).
    static std::string validatorOf(const std::string& entityTag, const std::string& lastModified);

    // Whether it may still be taken up at `now`: written less than a day before (or after).
    bool freshAt(Clock::time_point now) const;
};

// A Content-Range header of a 206 response, "bytes <first>-<last>/<total>".
struct ContentRange {
    std::int64_t first = -1, last = -1, total = -1;

    // nullopt when the value is no such range (an unknown total, "*", included).
    static std::optional<ContentRange> parse(const std::string& value);
};
