// The file operations an update makes in its folder, on the system's own calls: what stands under a
// name, the replacements of the commit, removals, and the records (plan and journal) in the
// update's folder. Folders are given relative to the update's folder, with "/" between their parts
// ("" is the folder itself), names are of entries in them; nothing leads out of the update's
// folder.
#pragma once

#include "ExtractionFolder.h"
#include "UpdateRecord.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace vbuzip {

// What stands under a name, without following a link.
struct Found {
    bool exists = false;
    bool isFolder = false;
    uint64_t id = 0; // the file's identity, which a rename keeps (its inode, or its file index)
};

// The folders below the update's folder that one operation of the update works in, each reached
// once. A failed call leaves the system's error (errno, or the thread's last error) for fail() and
// missing().
class UpdateFiles {
public:
    explicit UpdateFiles(const ExtractionFolder& root);
    ~UpdateFiles();
    UpdateFiles(const UpdateFiles&) = delete;
    UpdateFiles& operator=(const UpdateFiles&) = delete;

    // Whether the folder can be reached (it exists, is a folder and lies inside). Reach every
    // folder before the calls below are made from several threads at once.
    bool reach(const std::string& folder);
    Found look(const std::string& folder, const std::string& name);
    // The name of what stands under name as the folder spells it (a Windows folder finds a name
    // in any letter case); name itself when nothing does.
    std::string storedName(const std::string& folder, const std::string& name);
    // Renames from to to in the folder, replacing what stands at to.
    bool rename(const std::string& folder, const std::string& from, const std::string& to);
    bool remove(const std::string& folder, const std::string& name);
    // Removes the folder when it is empty.
    bool removeFolder(const std::string& path);
    // Puts the staged file of e in place of its target; an existing file stays under e.staged or
    // e.backup. Fails with Failure.
    void install(const JournalEntry& e);

    // Whether the last failed call failed because something did not exist.
    static bool missing();
    // Fails with Failure for the last failed call, naming what.
    [[noreturn]] static void fail(const std::string& what);

private:
    struct Reached;
    const ExtractionFolder& m_root;
    std::unique_ptr<Reached> m_reached;
};

// The records in the update's folder.
bool hasRecord(const ExtractionFolder& root, const char* name);
// The contents of a record, nothing when it does not exist; fails with UZ_ERR_WRITE.
std::optional<std::string> readRecord(const ExtractionFolder& root, const char* name);
// Writes text durably to temp, then renames it to name; fails with Failure.
void writeRecord(const ExtractionFolder& root, const char* temp, const char* name,
                 const std::string& text);
void removeRecord(const ExtractionFolder& root, const char* name);
// Makes the names of the update's folder durable (created, renamed and removed records).
void syncRecords(const ExtractionFolder& root);

// The plan, open for appending while the update is prepared.
class PlanFile {
public:
    PlanFile();
    ~PlanFile();
    PlanFile(const PlanFile&) = delete;
    PlanFile& operator=(const PlanFile&) = delete;

    bool isOpen() const { return m_open != nullptr; }
    // Appends text durably, creating the plan on first use; fails with Failure.
    void append(const ExtractionFolder& root, const std::string& text);
    void close();

private:
    struct Open;
    std::unique_ptr<Open> m_open;
};

} // namespace vbuzip
