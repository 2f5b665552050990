#include "Update.h"

#include "EntryNames.h"
#include "Failure.h"
#include "UpdateFiles.h"
#include "vbuzip10.h"

#include <algorithm>
#include <functional>
#include <set>
#include <system_error>
#include <thread>

namespace vbuzip {

namespace {

constexpr size_t RemovalThreads = 8;

// Runs work(i) for i in [0, count) on a few threads: freeing the blocks of a file can wait on
// the disk for milliseconds, and many removals at once overlap those waits.
void inParallel(size_t count, const std::function<void(size_t)>& work) {
    auto slice = [&](size_t first, size_t step) {
        for (size_t i = first; i < count; i += step)
            work(i);
    };
    const size_t threads = count > 1 ? std::min(RemovalThreads, count) : 1;
    std::vector<std::thread> helpers;
    try {
        for (size_t t = 1; t < threads; ++t)
            helpers.emplace_back(slice, t, threads);
    } catch (const std::system_error&) {
        for (size_t t = helpers.size() + 1; t < threads; ++t)
            slice(t, threads);
    }
    slice(0, threads);
    for (std::thread& helper : helpers)
        helper.join();
}

// Finishes every replacement of the journal. False, with nothing changed, when the new file of an
// entry is neither in place nor under its staged name.
bool rollForward(UpdateFiles& files, const Journal& journal) {
    for (const JournalEntry& e : journal.entries) {
        const std::string dir = parentOf(e.path);
        if (!files.reach(dir))
            return false;
        if (files.look(dir, baseNameOf(e.path)).id != e.inode &&
            files.look(dir, e.staged).id != e.inode)
            return false;
    }
    for (const JournalEntry& e : journal.entries) {
        const std::string dir = parentOf(e.path);
        if (files.look(dir, e.staged).id == e.inode &&
            !files.rename(dir, e.staged, baseNameOf(e.path)))
            UpdateFiles::fail(e.path);
    }
    return true;
}

// Puts back every file the journal's replacements replaced, removes the new files and the
// folders created for the update. False when a file could not be put back or removed: the
// journal must then stay, and with it every staged and backup file, for the next recovery.
bool rollBack(UpdateFiles& files, const Journal& journal) {
    bool complete = true;
    for (auto it = journal.entries.rbegin(); it != journal.entries.rend(); ++it) {
        const JournalEntry& e = *it;
        const std::string dir = parentOf(e.path);
        if (!files.reach(dir)) {
            complete = complete && UpdateFiles::missing(); // nothing of the entry can be there
            continue;
        }
        const std::string name = baseNameOf(e.path);
        const Found target = files.look(dir, name);
        if (target.exists && target.id != e.inode)
            continue; // the old file is in place
        const Found staged = files.look(dir, e.staged);
        const std::string* old = nullptr;
        if (staged.exists && staged.id != e.inode)
            old = &e.staged;
        else if (!e.backup.empty() && files.look(dir, e.backup).exists)
            old = &e.backup;
        if (old)
            complete = files.rename(dir, *old, name) && complete;
        else if (target.exists && !e.hadOld)
            complete = files.remove(dir, name) && complete;
    }
    // A created folder that is not empty holds files of someone else's: it stays.
    for (auto it = journal.createdFolders.rbegin(); it != journal.createdFolders.rend(); ++it)
        files.removeFolder(*it);
    return complete;
}

// Removes what is left under the staged and backup names of the journal's entries: replaced
// files, or new files that were not installed. After a complete commit only entries that replaced
// a file (installed) have anything left.
void removeLeftovers(UpdateFiles& files, const Journal& journal, bool installed = false) {
    std::vector<std::pair<std::string, const std::string*>> names;
    for (const JournalEntry& e : journal.entries) {
        std::string dir = parentOf(e.path);
        if (!files.reach(dir) || (installed && !e.hadOld))
            continue;
        names.emplace_back(dir, &e.staged);
        if (!e.backup.empty())
            names.emplace_back(std::move(dir), &e.backup);
    }
    inParallel(names.size(), [&](size_t i) { files.remove(names[i].first, *names[i].second); });
}

// Removes the staged files and created folders a plan names.
void discardPlan(UpdateFiles& files, const std::vector<PlanRecord>& records) {
    for (const PlanRecord& r : records) {
        if (!r.isFolder && files.reach(parentOf(r.path)))
            files.remove(parentOf(r.path), r.temp);
    }
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
        if (it->isFolder)
            files.removeFolder(it->path);
    }
}

} // namespace

Update::Update(const std::string& folder, bool wait) : m_folder(folder, wait) {}

Update::~Update() {
    try {
        discard();
    } catch (...) {
        // Nothing more can be done here; the plan stays for the next recovery.
    }
    if (!m_committed)
        m_folder.removeCreatedParents();
}

bool Update::hasRecords() const {
    return hasRecord(m_folder, PlanName) || hasRecord(m_folder, JournalName);
}

Recovered Update::recover() {
    removeRecord(m_folder, JournalNewName); // never renamed into place: no commit had begun
    if (const std::optional<std::string> text = readRecord(m_folder, JournalName)) {
        const std::optional<Journal> journal = decodeJournal(*text);
        if (!journal)
            throw Failure(UZ_ERR_WRITE, m_folder.path() + ": the update journal is damaged");
        UpdateFiles files(m_folder);
        Recovered outcome = Recovered::Completed;
        if (!rollForward(files, *journal)) {
            if (!rollBack(files, *journal))
                throw Failure(UZ_ERR_WRITE, m_folder.path() +
                                                ": the interrupted update could not be rolled "
                                                "back; its journal is kept for the next try");
            outcome = Recovered::RolledBack;
        }
        removeLeftovers(files, *journal);
        for (const JournalEntry& e : journal->entries)
            m_folder.noteWritten(e.path);
        m_folder.sync();
        removeRecords();
        return outcome;
    }
    if (const std::optional<std::string> text = readRecord(m_folder, PlanName)) {
        UpdateFiles files(m_folder);
        discardPlan(files, decodePlan(*text));
        removeRecords();
        return Recovered::Removed;
    }
    return Recovered::Nothing;
}

void Update::plan(const std::vector<PlanRecord>& records) {
    std::string text;
    for (const PlanRecord& r : records)
        text += encodePlanRecord(r);
    m_plan.append(m_folder, text);
}

std::optional<bool> Update::kindOf(const std::string& path) const {
    if (m_staged.count(path))
        return true;
    if (m_folders.count(path))
        return false;
    return std::nullopt;
}

void Update::addFolder(const std::string& path) {
    if (m_folders.insert(path).second)
        m_folderOrder.push_back(path);
}

void Update::addStaged(const std::string& path, const std::string& temp, uint64_t inode) {
    auto [it, fresh] = m_staged.try_emplace(path, Staged{temp, inode});
    if (fresh)
        return;
    UpdateFiles files(m_folder);
    if (files.reach(parentOf(path)))
        files.remove(parentOf(path), it->second.temp);
    it->second = Staged{temp, inode};
}

void Update::removeRecords() {
    m_plan.close();
    removeRecord(m_folder, PlanName);
    removeRecord(m_folder, JournalName);
    syncRecords(m_folder);
}

void Update::commit() {
    UpdateFiles files(m_folder);
    Journal journal;
    for (const auto& [path, staged] : m_staged) {
        const std::string dir = parentOf(path);
        if (!files.reach(dir))
            UpdateFiles::fail(path);
        const Found target = files.look(dir, baseNameOf(path));
        if (target.isFolder)
            throw Failure(UZ_ERR_WRITE, path + ": a folder stands where a file is written");
        // A replaced file keeps its name as the installation spells it.
        const std::string installed =
            target.exists ? joinPath(dir, files.storedName(dir, baseNameOf(path))) : path;
        journal.entries.push_back({installed, staged.temp,
                                   target.exists ? newTempName() : std::string(), staged.inode,
                                   target.exists});
    }
    journal.createdFolders = m_folderOrder;
    if (!journal.entries.empty() || !journal.createdFolders.empty())
        writeRecord(m_folder, JournalNewName, JournalName, encodeJournal(journal));
    m_plan.close();
    removeRecord(m_folder, PlanName);
    try {
        std::string lastParent = "\n"; // no path has this parent
        for (const JournalEntry& e : journal.entries) {
            files.install(e);
            if (parentOf(e.path) != lastParent) {
                lastParent = parentOf(e.path);
                m_folder.noteWritten(e.path);
            }
        }
        m_folder.sync();
    } catch (...) {
        m_done = true;
        // A rollback that stops part-way leaves the journal: the next start finishes it.
        if (rollBack(files, journal)) {
            removeLeftovers(files, journal);
            removeRecords();
        }
        throw;
    }
    m_done = m_committed = true;
    removeLeftovers(files, journal, true);
    removeRecords();
    // Last, since putting files in a folder changes its time; a crash here costs only times.
    for (const auto& [path, mtime] : m_folderTimes) {
        const std::string failure = m_folder.setTime(path, mtime);
        if (!failure.empty())
            m_folderTimeWarnings.push_back(path + "/: time not set: " + failure);
    }
}

void Update::discard() {
    // Without a plan of its own the update made nothing; a plan found in the folder belongs to an
    // earlier update, for recover().
    if (m_done || !m_plan.isOpen())
        return;
    m_done = true;
    if (const std::optional<std::string> text = readRecord(m_folder, PlanName)) {
        UpdateFiles files(m_folder);
        discardPlan(files, decodePlan(*text));
    }
    m_plan.close();
    removeRecord(m_folder, PlanName);
}

} // namespace vbuzip
