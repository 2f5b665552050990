// A snapshot of the running processes, as the process check walks it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One process of a snapshot, read in depth.
struct ProcessEntry {
    std::int32_t processId = 0;
    // Every name under which the system reports the process's executable (UTF-8): on Linux its
    // argv[0] (which may be a Windows-style path when the program runs under Wine), the path of
    // its executable file (when readable) and its short command name; on Windows the executable's
    // file name and, when the process can be opened, the full path of its image.
    std::vector<std::string> names;
    // The process has ended but has not been reaped yet; it no longer counts as running.
    bool ended = false;
};

enum class EntryRead {
    Ok,       // the entry was filled in
    Vanished, // the process ended and was reaped after the snapshot was taken; skip it
    Fault,    // the entry exists but cannot be read (see the platform's snapshot for the cases)
};

class ProcessSnapshot {
public:
    virtual ~ProcessSnapshot() = default;

    // Moves to the next process of the snapshot and returns its id; false at the end of the list.
    virtual bool next(std::int32_t& processId) = 0;

    // Reads the process that next() moved to.
    virtual EntryRead read(ProcessEntry& entry) = 0;
};

// The processes of the system at the moment of the call; null when no snapshot can be taken.
std::unique_ptr<ProcessSnapshot> TakeProcessSnapshot();

// A snapshot over a fixed list, for callers that build the list themselves. An entry whose id is
// listed in faultyIds reads as Fault, one in vanishedIds as Vanished.
class ListSnapshot : public ProcessSnapshot {
public:
    explicit ListSnapshot(std::vector<ProcessEntry> entries,
                          std::vector<std::int32_t> faultyIds = {},
                          std::vector<std::int32_t> vanishedIds = {});

    bool next(std::int32_t& processId) override;
    EntryRead read(ProcessEntry& entry) override;

    // How many entries were read in depth (the walk reads only the one with the requested id).
    int entriesRead() const { return m_entriesRead; }

private:
    std::vector<ProcessEntry> m_entries;
    std::vector<std::int32_t> m_faultyIds;
    std::vector<std::int32_t> m_vanishedIds;
    std::size_t m_next = 0; // the entry after the current one
    int m_entriesRead = 0;
};
