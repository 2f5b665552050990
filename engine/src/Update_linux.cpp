#include "Update.h"

#include "EntryNames.h"
#include "Failure.h"
#include "vbuzip10.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <set>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace vbuzip {

namespace {

constexpr size_t RemovalThreads = 8;

// What stands under a name, without following a link.
struct Found {
    bool exists = false;
    bool isFolder = false;
    uint64_t inode = 0;
};

Found look(int dir, const std::string& name) {
    struct stat st {};
    if (name.empty() || fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return {};
    return {true, S_ISDIR(st.st_mode), st.st_ino};
}

// The folders below the update's folder, opened once each.
class Folders {
public:
    explicit Folders(int root) : m_root(root) {}
    // The folder of path's parent, or -1 with errno set.
    int parentOf(const std::string& path) {
        const std::string parent = vbuzip::parentOf(path);
        auto it = m_fds.find(parent);
        if (it == m_fds.end()) {
            UniqueFd fd(openBeneath(m_root, parent, O_PATH | O_DIRECTORY));
            it = m_fds.emplace(parent, Opened{std::move(fd), errno}).first;
        }
        errno = it->second.error;
        return it->second.fd.valid() ? it->second.fd.get() : -1;
    }

private:
    struct Opened {
        UniqueFd fd;
        int error; // of the opening, when it failed
    };
    int m_root;
    std::map<std::string, Opened> m_fds;
};

void syncFolder(int dir, const std::string& what) {
    UniqueFd real(openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!real.valid() || fsync(real.get()) != 0)
        failPath(errno, what);
}

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

// Puts the staged file of e in place of its target; an existing file stays under e.staged (swapped
// in one step) or e.backup (a second link, where the file system cannot swap).
void install(int dir, const JournalEntry& e) {
    const std::string name = baseNameOf(e.path);
    if (!e.hadOld) {
        if (renameat2(dir, e.staged.c_str(), dir, name.c_str(), RENAME_NOREPLACE) == 0)
            return;
        if (errno != EINVAL || look(dir, name).exists)
            failPath(errno == EINVAL ? EEXIST : errno, e.path);
        if (renameat(dir, e.staged.c_str(), dir, name.c_str()) != 0)
            failPath(errno, e.path);
        return;
    }
    if (renameat2(dir, e.staged.c_str(), dir, name.c_str(), RENAME_EXCHANGE) == 0)
        return;
    if (errno != EINVAL)
        failPath(errno, e.path);
    if (linkat(dir, name.c_str(), dir, e.backup.c_str(), 0) != 0)
        failPath(errno, e.path);
    if (renameat(dir, e.staged.c_str(), dir, name.c_str()) != 0)
        failPath(errno, e.path);
}

// Finishes every replacement of the journal. False, with nothing changed, when the new file of an
// entry is neither in place nor under its staged name.
bool rollForward(Folders& folders, const Journal& journal) {
    for (const JournalEntry& e : journal.entries) {
        const int dir = folders.parentOf(e.path);
        if (dir < 0)
            return false;
        if (look(dir, baseNameOf(e.path)).inode != e.inode && look(dir, e.staged).inode != e.inode)
            return false;
    }
    for (const JournalEntry& e : journal.entries) {
        const int dir = folders.parentOf(e.path);
        if (look(dir, e.staged).inode == e.inode &&
            renameat(dir, e.staged.c_str(), dir, baseNameOf(e.path).c_str()) != 0)
            failPath(errno, e.path);
    }
    return true;
}

// Puts back every file the journal's replacements replaced, removes the new files and the
// folders created for the update. False when a file could not be put back or removed: the
// journal must then stay, and with it every staged and backup file, for the next recovery.
bool rollBack(Folders& folders, const Journal& journal) {
    bool complete = true;
    for (auto it = journal.entries.rbegin(); it != journal.entries.rend(); ++it) {
        const JournalEntry& e = *it;
        const int dir = folders.parentOf(e.path);
        if (dir < 0) {
            complete = complete && errno == ENOENT; // nothing of the entry can be there
            continue;
        }
        const std::string name = baseNameOf(e.path);
        const Found target = look(dir, name);
        if (target.exists && target.inode != e.inode)
            continue; // the old file is in place
        const Found staged = look(dir, e.staged);
        const char* old = nullptr;
        if (staged.exists && staged.inode != e.inode)
            old = e.staged.c_str();
        else if (look(dir, e.backup).exists)
            old = e.backup.c_str();
        if (old)
            complete = renameat(dir, old, dir, name.c_str()) == 0 && complete;
        else if (target.exists && !e.hadOld)
            complete = unlinkat(dir, name.c_str(), 0) == 0 && complete;
    }
    // A created folder that is not empty holds files of someone else's: it stays.
    for (auto it = journal.createdFolders.rbegin(); it != journal.createdFolders.rend(); ++it) {
        const int dir = folders.parentOf(*it);
        if (dir >= 0)
            unlinkat(dir, baseNameOf(*it).c_str(), AT_REMOVEDIR);
    }
    return complete;
}

// Removes what is left under the staged and backup names of the journal's entries: replaced
// files, or new files that were not installed. After a complete commit only entries that replaced
// a file (installed) have anything left.
void removeLeftovers(Folders& folders, const Journal& journal, bool installed = false) {
    std::vector<std::pair<int, const std::string*>> names;
    for (const JournalEntry& e : journal.entries) {
        const int dir = folders.parentOf(e.path);
        if (dir < 0 || (installed && !e.hadOld))
            continue;
        names.emplace_back(dir, &e.staged);
        if (!e.backup.empty())
            names.emplace_back(dir, &e.backup);
    }
    inParallel(names.size(),
               [&](size_t i) { unlinkat(names[i].first, names[i].second->c_str(), 0); });
}

// Removes the staged files and created folders a plan names.
void discardPlan(Folders& folders, const std::vector<PlanRecord>& records) {
    for (const PlanRecord& r : records) {
        const int dir = r.isFolder ? -1 : folders.parentOf(r.path);
        if (dir >= 0)
            unlinkat(dir, r.temp.c_str(), 0);
    }
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
        const int dir = it->isFolder ? folders.parentOf(it->path) : -1;
        if (dir >= 0)
            unlinkat(dir, baseNameOf(it->path).c_str(), AT_REMOVEDIR);
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
    const int root = m_folder.rootFd();
    return look(root, PlanName).exists || look(root, JournalName).exists;
}

Recovered Update::recover() {
    const int root = m_folder.rootFd();
    unlinkat(root, JournalNewName, 0); // never renamed into place: no commit had begun
    Folders folders(root);
    if (const std::optional<std::string> text = readWholeFile(root, JournalName)) {
        const std::optional<Journal> journal = decodeJournal(*text);
        if (!journal)
            throw Failure(UZ_ERR_WRITE, m_folder.path() + ": the update journal is damaged");
        Recovered outcome = Recovered::Completed;
        if (!rollForward(folders, *journal)) {
            if (!rollBack(folders, *journal))
                throw Failure(UZ_ERR_WRITE, m_folder.path() +
                                                ": the interrupted update could not be rolled "
                                                "back; its journal is kept for the next try");
            outcome = Recovered::RolledBack;
        }
        removeLeftovers(folders, *journal);
        for (const JournalEntry& e : journal->entries)
            m_folder.noteWritten(e.path);
        m_folder.sync();
        removeRecords();
        return outcome;
    }
    if (const std::optional<std::string> text = readWholeFile(root, PlanName)) {
        discardPlan(folders, decodePlan(*text));
        removeRecords();
        return Recovered::Removed;
    }
    return Recovered::Nothing;
}

void Update::plan(const std::vector<PlanRecord>& records) {
    const int root = m_folder.rootFd();
    if (!m_plan.valid()) {
        m_plan = UniqueFd(openat(root, PlanName, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
        if (!m_plan.valid())
            failPath(errno, joinPath(m_folder.path(), PlanName));
        syncFolder(root, m_folder.path());
    }
    std::string text;
    for (const PlanRecord& r : records)
        text += encodePlanRecord(r);
    if (!writeAll(m_plan.get(), text.data(), text.size()) || fdatasync(m_plan.get()) != 0)
        failPath(errno, joinPath(m_folder.path(), PlanName));
}

std::optional<bool> Update::kindOf(const std::string& path) const {
    if (m_staged.count(path))
        return true;
    if (std::find(m_folders.begin(), m_folders.end(), path) != m_folders.end())
        return false;
    return std::nullopt;
}

void Update::addFolder(const std::string& path) {
    m_folders.push_back(path);
}

void Update::addStaged(const std::string& path, const std::string& temp, uint64_t inode) {
    auto [it, fresh] = m_staged.try_emplace(path, Staged{temp, inode});
    if (fresh)
        return;
    Folders folders(m_folder.rootFd());
    const int dir = folders.parentOf(path);
    if (dir >= 0)
        unlinkat(dir, it->second.temp.c_str(), 0);
    it->second = Staged{temp, inode};
}

void Update::writeJournal(const Journal& journal) {
    const int root = m_folder.rootFd();
    const std::string what = joinPath(m_folder.path(), JournalName);
    UniqueFd out(
        openat(root, JournalNewName, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    const std::string text = encodeJournal(journal);
    if (!out.valid() || !writeAll(out.get(), text.data(), text.size()) || fsync(out.get()) != 0 ||
        ::close(out.release()) != 0 || renameat(root, JournalNewName, root, JournalName) != 0) {
        const int error = errno;
        unlinkat(root, JournalNewName, 0);
        failPath(error, what);
    }
    syncFolder(root, m_folder.path());
}

void Update::removeRecords() {
    const int root = m_folder.rootFd();
    m_plan.reset();
    unlinkat(root, PlanName, 0);
    unlinkat(root, JournalName, 0);
    syncFolder(root, m_folder.path());
}

void Update::commit() {
    const int root = m_folder.rootFd();
    Folders folders(root);
    Journal journal;
    for (const auto& [path, staged] : m_staged) {
        const int dir = folders.parentOf(path);
        if (dir < 0)
            failPath(errno, path);
        const Found target = look(dir, baseNameOf(path));
        if (target.isFolder)
            throw Failure(UZ_ERR_WRITE, path + ": a folder stands where a file is written");
        journal.entries.push_back({path, staged.temp, target.exists ? newTempName() : std::string(),
                                   staged.inode, target.exists});
    }
    journal.createdFolders = m_folders;
    if (!journal.entries.empty() || !journal.createdFolders.empty())
        writeJournal(journal);
    m_plan.reset();
    unlinkat(root, PlanName, 0);
    try {
        std::string lastParent = "\n"; // no path has this parent
        for (const JournalEntry& e : journal.entries) {
            install(folders.parentOf(e.path), e);
            if (parentOf(e.path) != lastParent) {
                lastParent = parentOf(e.path);
                m_folder.noteWritten(e.path);
            }
        }
        m_folder.sync();
    } catch (...) {
        m_done = true;
        // A rollback that stops part-way leaves the journal: the next start finishes it.
        if (rollBack(folders, journal)) {
            removeLeftovers(folders, journal);
            removeRecords();
        }
        throw;
    }
    m_done = m_committed = true;
    removeLeftovers(folders, journal, true);
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
    if (m_done || !m_plan.valid())
        return;
    m_done = true;
    const int root = m_folder.rootFd();
    if (const std::optional<std::string> text = readWholeFile(root, PlanName)) {
        Folders folders(root);
        discardPlan(folders, decodePlan(*text));
    }
    m_plan.reset();
    unlinkat(root, PlanName, 0);
}

} // namespace vbuzip
