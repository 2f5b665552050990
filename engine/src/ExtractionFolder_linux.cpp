#include "ExtractionFolder.h"

#include "EntryNames.h"
#include "Failure.h"
#include "vbuzip10.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vorn/SystemError.h>

namespace vbuzip {

namespace {

[[noreturn]] void failPath(int error, const std::string& what) {
    if (error == EXDEV || error == ELOOP)
        throw Failure(UZ_ERR_UNSAFE_PATH, what + ": leads out of the extraction folder");
    if (error == ENOSPC || error == EDQUOT)
        throw Failure(UZ_ERR_DISK_FULL, what + ": " + vorn::systemErrorText(error));
    if (error == ENOMEM)
        throw Failure(UZ_ERR_MEMORY, what + ": " + vorn::systemErrorText(error));
    throw Failure(UZ_ERR_WRITE, what + ": " + vorn::systemErrorText(error));
}

UniqueFd openFolder(int rootFd, const std::string& path) {
    return openBeneath(rootFd, path, O_PATH | O_DIRECTORY);
}

} // namespace

StagedFile::StagedFile(UniqueFd dir, UniqueFd out, std::string temp, std::string path)
    : m_dir(std::move(dir)), m_out(std::move(out)), m_temp(std::move(temp)),
      m_path(std::move(path)), m_writeback(m_out.get()) {}

StagedFile::~StagedFile() {
    if (m_finished || !m_dir.valid())
        return;
    m_out.reset();
    unlinkat(m_dir.get(), m_temp.c_str(), 0);
}

void StagedFile::write(const char* data, size_t size) {
    if (!writeAll(m_out.get(), data, size))
        failPath(errno, m_path);
    m_writeback.wrote(size);
}

std::string StagedFile::finish(uint32_t permissions, time_t mtime) {
    m_writeback.finish();
    if (fchmod(m_out.get(), permissions) != 0)
        failPath(errno, m_path);
    const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    if (futimens(m_out.get(), times) != 0)
        failPath(errno, m_path);
    if (::close(m_out.release()) != 0)
        failPath(errno, m_path);
    m_finished = true;
    return m_temp;
}

ExtractionFolder::ExtractionFolder(const std::string& folder, Changes& changes)
    : m_folder(folder), m_changes(changes) {
    for (size_t pos = folder.find('/', 1);; pos = folder.find('/', pos + 1)) {
        std::string prefix = folder.substr(0, pos);
        struct stat st {};
        if (!prefix.empty() && prefix.back() != '/' && stat(prefix.c_str(), &st) != 0) {
            if (errno != ENOENT)
                failPath(errno, prefix);
            if (mkdir(prefix.c_str(), 0777) == 0)
                m_changes.createdOutside(prefix);
            else if (errno != EEXIST)
                failPath(errno, prefix);
        }
        if (pos == std::string::npos)
            break;
    }
    UniqueFd root(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root.valid())
        failPath(errno, folder);
    while (flock(root.get(), LOCK_EX) != 0) {
        if (errno != EINTR)
            failPath(errno, folder);
    }
    m_changes.setRoot(std::move(root));
}

bool ExtractionFolder::hasFolder(const std::string& path) const {
    if (openFolder(rootFd(), path).valid())
        return true;
    if (errno == ENOENT)
        return false;
    if (errno == ENOTDIR)
        throw Failure(UZ_ERR_WRITE, path + ": a file stands where a folder is needed");
    failPath(errno, path);
}

std::optional<ExtractionFolder::Existing>
ExtractionFolder::existing(const std::string& path) const {
    struct stat st {};
    if (fstatat(rootFd(), path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return std::nullopt;
        failPath(errno, path);
    }
    Existing found;
    found.isFolder = S_ISDIR(st.st_mode);
    if (S_ISREG(st.st_mode))
        found.permissions = st.st_mode & 0777;
    found.mtime = st.st_mtime;
    return found;
}

std::optional<ExtractionFolder::Space> ExtractionFolder::freeSpace() const {
    struct statvfs vfs {};
    if (fstatvfs(rootFd(), &vfs) != 0 || vfs.f_frsize == 0)
        return std::nullopt;
    Space space;
    space.block = vfs.f_bsize ? vfs.f_bsize : vfs.f_frsize;
    space.available =
        static_cast<long double>(vfs.f_bavail) * static_cast<long double>(vfs.f_frsize);
    return space;
}

int ExtractionFolder::removeLeftovers(const std::string& path) const {
    UniqueFd fd = openFolder(rootFd(), path);
    return fd.valid() ? vbuzip::removeLeftovers(fd.get()) : 0;
}

void ExtractionFolder::createFolder(const std::string& path, std::optional<uint32_t> permissions) {
    UniqueFd parent = openFolder(rootFd(), parentOf(path));
    if (!parent.valid())
        failPath(errno, parentOf(path));
    const std::string name = baseNameOf(path);
    if (mkdirat(parent.get(), name.c_str(), 0777) != 0) {
        if (errno != EEXIST)
            failPath(errno, path);
        if (!openFolder(rootFd(), path).valid())
            failPath(errno == ENOTDIR ? EEXIST : errno, path);
        return;
    }
    m_changes.createdFolder(path);
    if (permissions) {
        // Through a descriptor of the folder itself: a name could be swapped for a link.
        UniqueFd created(
            openat(parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (created.valid())
            fchmod(created.get(), *permissions);
    }
}

StagedFile ExtractionFolder::stage(const std::string& path) const {
    const std::string parent = parentOf(path);
    UniqueFd dir = openFolder(rootFd(), parent);
    if (!dir.valid())
        failPath(errno, parent.empty() ? m_folder : parent);
    std::string temp = m_temps.next();
    UniqueFd out(openat(dir.get(), temp.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid())
        failPath(errno, path);
    return StagedFile(std::move(dir), std::move(out), std::move(temp), path);
}

void ExtractionFolder::putInPlace(const std::string& path, const std::string& temp) {
    const std::string parent = parentOf(path);
    if (!m_dirPath || parent != *m_dirPath) {
        m_dir = openFolder(rootFd(), parent);
        if (!m_dir.valid())
            failPath(errno, parent.empty() ? m_folder : parent);
        m_dirPath = parent;
        noteFileSystem(m_dir.get());
    }
    m_changes.committed(path, replace(m_dir.get(), path, temp));
}

// Returns the name of the backup of the file replaced, or "" when there was none.
std::string ExtractionFolder::replace(int dir, const std::string& path, const std::string& temp) {
    const std::string name = baseNameOf(path);
    if (renameat2(dir, temp.c_str(), dir, name.c_str(), RENAME_NOREPLACE) == 0)
        return {};
    if (errno == EINVAL) {
        // No RENAME_NOREPLACE on this file system.
        struct stat st {};
        if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) {
            if (renameat(dir, temp.c_str(), dir, name.c_str()) != 0)
                failPath(errno, path);
            return {};
        }
    } else if (errno != EEXIST) {
        failPath(errno, path);
    }
    struct stat st {};
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        failPath(errno, path);
    if (S_ISDIR(st.st_mode))
        throw Failure(UZ_ERR_WRITE, path + ": a folder stands where a file is written");
    if (renameat2(dir, temp.c_str(), dir, name.c_str(), RENAME_EXCHANGE) == 0)
        return temp; // now holds the old file
    if (errno != EINVAL)
        failPath(errno, path);
    // File systems without exchange: keep the old file under a second name first.
    std::string backup = m_temps.next();
    if (linkat(dir, name.c_str(), dir, backup.c_str(), 0) != 0)
        failPath(errno, path);
    if (renameat(dir, temp.c_str(), dir, name.c_str()) != 0) {
        int error = errno;
        unlinkat(dir, backup.c_str(), 0);
        failPath(error, path);
    }
    return backup;
}

std::string ExtractionFolder::setTime(const std::string& path, time_t mtime) const {
    UniqueFd parent = openFolder(rootFd(), parentOf(path));
    const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    if (!parent.valid() ||
        utimensat(parent.get(), baseNameOf(path).c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        return vorn::systemErrorText(errno);
    return {};
}

void ExtractionFolder::noteFileSystem(int dirFd) {
    struct stat st {};
    if (fstat(dirFd, &st) == 0 && !m_fileSystems.count(st.st_dev))
        m_fileSystems.emplace(st.st_dev, UniqueFd(fcntl(dirFd, F_DUPFD_CLOEXEC, 0)));
}

void ExtractionFolder::sync() {
    noteFileSystem(rootFd());
    for (const auto& [device, fd] : m_fileSystems) {
        int target = fd.valid() ? fd.get() : rootFd();
        // syncfs does not work on O_PATH descriptors: open the folder itself.
        UniqueFd real(openat(target, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!real.valid() || syncfs(real.get()) != 0)
            failPath(errno, m_folder);
    }
}

} // namespace vbuzip
