// The run log, updates/update.log in the program folder: what support asks for when an update
// failed. Every run appends a block to it:
//
//   === 2026-05-01 12:00:00 +02:00 vorn-updater 1.1: http://example.test/ a.zip 4242
//   2026-05-01 12:00:00.051 Preparing to update...
//   2026-05-01 12:00:00.310 [warning] Download of http://example.test/a.zip failed: HTTP 404
//   2026-05-01 12:00:00.311 Couldn't connect
//   2026-05-01 12:00:07.902 [exit] status 1
//
// the header line (local date, time and offset, the updater's version and its command line), then
// each status line and each diagnostic (marked with its kind) as they are added, each a
// whole line of its own, written with one system call (control characters shown escaped), so that a
// kill leaves at most the last line torn; the next header then starts on a line of its own.
//
// When a run starts with the log at its size limit or over it, the oldest runs are dropped until at
// most half the limit is left (the file is rewritten by a temporary file and a rename, and only
// when no other updater has it open). The log never ends a run: one that cannot be opened or
// written is given up with one diagnostic, and the run goes on without it.
#pragma once

#include <cstdint>
#include <string>

#include "driver/RunLogFile.h"

// The name of the run log in the updates folder; no package may have it.
inline const std::string kRunLogName = "update.log";

class RunLog {
public:
    static constexpr std::int64_t kSizeLimit = 1024 * 1024;

    // Opens the run log of the program folder (making the updates folder as the download does when
    // there is none), trims it and writes the header. Until it is destroyed, or a newer one made,
    // it is the current log: status lines and diagnostics are appended to it.
    RunLog(const std::string& programFolder, const std::string& commandLine);
    ~RunLog();
    RunLog(const RunLog&) = delete;
    RunLog& operator=(const RunLog&) = delete;

    // Append to the current log, if any: a status line, and a note of the log's own ("[kind]
    // text").
    static void status(const std::string& line);
    static void note(const std::string& kind, const std::string& text);

private:
    void trim(const std::string& path);

    RunLogFile m_file;
};
