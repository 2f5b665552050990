// The two records an update keeps in its folder, so that whatever a killed process left there is
// known exactly: the plan, appended while the update is prepared (every staged file and every
// created folder is entered before it is made), and the journal, written whole before the first
// installed file is replaced. Fields end in a NUL byte (names hold any other byte).
#pragma once

#include "vbuzip10.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vbuzip {

// Names of the records in the update's folder. Like every name the engine makes, they begin with
// ReservedPrefix, so that no entry of an archive can be written under one of them.
constexpr const char* PlanName = UZ_UPDATE_PLAN;
constexpr const char* JournalName = UZ_UPDATE_JOURNAL;
constexpr const char* JournalNewName = UZ_UPDATE_JOURNAL_NEW;

// One line of the plan: a folder to create, or the staged file temp of the target path.
struct PlanRecord {
    bool isFolder = false;
    std::string path;
    std::string temp;
};

// One replacement of the journal: the staged file (identified by its inode, which a rename keeps)
// goes in place of path; the replaced file, if any, is kept under staged or backup until the end.
struct JournalEntry {
    std::string path;
    std::string staged;
    std::string backup;
    uint64_t inode = 0;
    bool hadOld = false;
};

struct Journal {
    std::vector<JournalEntry> entries;
    std::vector<std::string> createdFolders; // parents before children
};

std::string encodePlanRecord(const PlanRecord& record);
// The records of a plan; an incomplete last record (the process was killed while appending it)
// is dropped: nothing it names was made.
std::vector<PlanRecord> decodePlan(const std::string& text);

std::string encodeJournal(const Journal& journal);
// Nothing when the text is not a complete journal.
std::optional<Journal> decodeJournal(const std::string& text);

} // namespace vbuzip
