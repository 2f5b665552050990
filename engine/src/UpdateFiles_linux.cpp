#include "UpdateFiles.h"

#include "EntryNames.h"
#include "Failure.h"
#include "SafeFs_linux.h"
#include "vbuzip10.h"

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace vbuzip {

namespace {

Found look(int dir, const std::string& name) {
    struct stat st {};
    if (dir < 0 || name.empty() || fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return {};
    return {true, S_ISDIR(st.st_mode), st.st_ino};
}

void syncFolder(int dir, const std::string& what) {
    UniqueFd real(openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!real.valid() || fsync(real.get()) != 0)
        failPath(errno, what);
}

} // namespace

// Each folder opened once; a folder that could not be opened is remembered with its error.
struct UpdateFiles::Reached {
    struct Opened {
        UniqueFd fd;
        int error; // of the opening, when it failed
    };
    std::map<std::string, Opened> folders;
};

UpdateFiles::UpdateFiles(const ExtractionFolder& root)
    : m_root(root), m_reached(std::make_unique<Reached>()) {}

UpdateFiles::~UpdateFiles() = default;

bool UpdateFiles::reach(const std::string& folder) {
    auto it = m_reached->folders.find(folder);
    if (it == m_reached->folders.end()) {
        UniqueFd fd(openBeneath(m_root.rootFd(), folder, O_PATH | O_DIRECTORY));
        it = m_reached->folders.emplace(folder, Reached::Opened{std::move(fd), errno}).first;
    }
    errno = it->second.error;
    return it->second.fd.valid();
}

Found UpdateFiles::look(const std::string& folder, const std::string& name) {
    if (!reach(folder))
        return {};
    return vbuzip::look(m_reached->folders.at(folder).fd.get(), name);
}

std::string UpdateFiles::storedName(const std::string&, const std::string& name) {
    return name;
}

bool UpdateFiles::rename(const std::string& folder, const std::string& from,
                         const std::string& to) {
    if (!reach(folder))
        return false;
    const int dir = m_reached->folders.at(folder).fd.get();
    return renameat(dir, from.c_str(), dir, to.c_str()) == 0;
}

bool UpdateFiles::remove(const std::string& folder, const std::string& name) {
    // Only a lookup when the folder was reached before (the calls from several threads).
    const auto it = m_reached->folders.find(folder);
    if (it == m_reached->folders.end() ? !reach(folder) : !it->second.fd.valid())
        return false;
    return unlinkat(m_reached->folders.at(folder).fd.get(), name.c_str(), 0) == 0;
}

bool UpdateFiles::removeFolder(const std::string& path) {
    if (!reach(parentOf(path)))
        return false;
    return unlinkat(m_reached->folders.at(parentOf(path)).fd.get(), baseNameOf(path).c_str(),
                    AT_REMOVEDIR) == 0;
}

// An existing file stays under e.staged (swapped in one step) or e.backup (a second link, where
// the file system cannot swap).
void UpdateFiles::install(const JournalEntry& e) {
    if (!reach(parentOf(e.path)))
        fail(e.path);
    const int dir = m_reached->folders.at(parentOf(e.path)).fd.get();
    const std::string name = baseNameOf(e.path);
    if (!e.hadOld) {
        if (renameat2(dir, e.staged.c_str(), dir, name.c_str(), RENAME_NOREPLACE) == 0)
            return;
        if (errno != EINVAL || vbuzip::look(dir, name).exists)
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

bool UpdateFiles::missing() {
    return errno == ENOENT;
}

void UpdateFiles::fail(const std::string& what) {
    failPath(errno, what);
}

bool hasRecord(const ExtractionFolder& root, const char* name) {
    return look(root.rootFd(), name).exists;
}

std::optional<std::string> readRecord(const ExtractionFolder& root, const char* name) {
    return readWholeFile(root.rootFd(), name);
}

void writeRecord(const ExtractionFolder& root, const char* temp, const char* name,
                 const std::string& text) {
    const int dir = root.rootFd();
    const std::string what = joinPath(root.path(), name);
    UniqueFd out(openat(dir, temp, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid() || !writeAll(out.get(), text.data(), text.size()) || fsync(out.get()) != 0 ||
        ::close(out.release()) != 0 || renameat(dir, temp, dir, name) != 0) {
        const int error = errno;
        unlinkat(dir, temp, 0);
        failPath(error, what);
    }
    syncFolder(dir, root.path());
}

void removeRecord(const ExtractionFolder& root, const char* name) {
    unlinkat(root.rootFd(), name, 0);
}

void syncRecords(const ExtractionFolder& root) {
    syncFolder(root.rootFd(), root.path());
}

struct PlanFile::Open {
    UniqueFd fd;
};

PlanFile::PlanFile() = default;
PlanFile::~PlanFile() = default;

void PlanFile::append(const ExtractionFolder& root, const std::string& text) {
    const std::string what = joinPath(root.path(), PlanName);
    if (!m_open) {
        UniqueFd fd(
            openat(root.rootFd(), PlanName, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
        if (!fd.valid())
            failPath(errno, what);
        m_open = std::make_unique<Open>(Open{std::move(fd)});
        syncFolder(root.rootFd(), root.path());
    }
    if (!writeAll(m_open->fd.get(), text.data(), text.size()) || fdatasync(m_open->fd.get()) != 0)
        failPath(errno, what);
}

void PlanFile::close() {
    m_open.reset();
}

} // namespace vbuzip
