// The system's part of the run log (RunLogFile_<platform>.cpp): the log file held open for
// appending by every updater that runs, and rewritten only while no other one has it open.
#pragma once

#include <cstdint>
#include <string>

class RunLogFile {
public:
    RunLogFile() = default;
    ~RunLogFile() { close(); }
    RunLogFile(const RunLogFile&) = delete;
    RunLogFile& operator=(const RunLogFile&) = delete;

    // Opens (creating) the file at `path` for appending, shared with the other updaters that have
    // it open. Should the file be replaced meanwhile, the new one is opened. False with the reason.
    bool open(const std::string& path, std::string* reason);
    // Whether this is the only updater with the file open; if so, it keeps the file to itself until
    // the next open(). On false the file is open and shared as before.
    bool takeExclusively(const std::string& path);
    bool isOpen() const { return m_handle != kNone; }
    std::int64_t size() const;
    // Whether the file is empty or its last line is whole.
    bool endsWithLineEnd() const;
    // Appends `lines` with one write, so that no reader and no other writer ever sees a part of
    // them, a kill included. False with the reason.
    bool append(const std::string& lines, std::string* reason);
    void close();

private:
    static constexpr std::intptr_t kNone = -1;
    std::intptr_t m_handle = kNone; // the system's handle of the open file (a descriptor on Linux)
};
