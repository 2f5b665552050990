// A staged update of one folder: files of any number of archives written beside their targets
// under temporary names while the installed files stay as they are, then installed together by
// one journaled commit. The plan and the journal (UpdateRecord.h) say at every moment what a
// killed process left, so that recover() can finish or undo it exactly.
#pragma once

#include "EntryNames.h"
#include "ExtractionFolder.h"
#include "SafeFs.h"
#include "UpdateFiles.h"
#include "UpdateRecord.h"

#include <ctime>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace vbuzip {

// What recover() found and did.
enum class Recovered {
    Nothing,    // no record of an earlier update
    Completed,  // an interrupted commit was finished
    RolledBack, // an interrupted commit could not be finished and was undone
    Removed,    // a prepared update that was never committed was removed
};

class Update {
public:
    // Opens and locks the folder (see ExtractionFolder).
    Update(const std::string& folder, bool wait);
    // Discards the update unless it was committed.
    ~Update();
    Update(const Update&) = delete;
    Update& operator=(const Update&) = delete;

    ExtractionFolder& folder() { return m_folder; }

    // Finishes or undoes what an earlier update of the folder left behind; only the files its
    // records name are touched.
    Recovered recover();
    // Whether an earlier update left records that recover() has not handled yet.
    bool hasRecords() const;

    // A new name for a staged file.
    std::string newTempName() { return m_temps.next(); }

    // Enters folders about to be created and files about to be staged in the plan, durably,
    // before any of them is made.
    void plan(const std::vector<PlanRecord>& records);

    // Whether path is a file (true) or a folder (false) of the update so far, or neither.
    std::optional<bool> kindOf(const std::string& path) const;
    // Folders created for the update, and staged files (verified, synced): a file staged again
    // replaces the earlier staged file of the same target, which is removed.
    void addFolder(const std::string& path);
    void addStaged(const std::string& path, const std::string& temp, uint64_t inode);
    // The modification time a folder entry gives its folder, set once the commit has put every
    // file in place (a later entry for the same folder wins).
    void addFolderTime(const std::string& path, time_t mtime) { m_folderTimes[path] = mtime; }

    // Installs every staged file: the journal first, then one rename per file, then the backups
    // and the records are removed. On failure every installed file is put back, and the update is
    // discarded.
    void commit();
    // Removes every staged file and created folder of this update, and its plan.
    void discard();

    // Folders whose time the last commit could not set, each with the reason: not a failure.
    const std::vector<std::string>& folderTimeWarnings() const { return m_folderTimeWarnings; }

    // The number of staged files.
    size_t stagedCount() const { return m_staged.size(); }

private:
    struct Staged {
        std::string temp;
        uint64_t inode = 0;
    };

    void removeRecords();

    ExtractionFolder m_folder;
    TempNames m_temps;
    PlanFile m_plan;
    // By target path. With the Windows rules, paths that differ only in letter case are one file:
    // a later archive's file replaces it under the spelling it was staged with first.
    std::map<std::string, Staged, PathOrder> m_staged{PathOrder{BuiltForWindows}};
    std::set<std::string, PathOrder> m_folders{PathOrder{BuiltForWindows}};
    std::vector<std::string> m_folderOrder; // the same, parents before children
    std::map<std::string, time_t, PathOrder> m_folderTimes{PathOrder{BuiltForWindows}};
    std::vector<std::string> m_folderTimeWarnings;
    bool m_done = false; // committed or discarded: nothing is left to undo
    bool m_committed = false;
};

} // namespace vbuzip
