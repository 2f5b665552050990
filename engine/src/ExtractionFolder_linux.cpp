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

[[noreturn]] void failPath(int error, const std::string& what) {
    if (error == EXDEV || error == ELOOP)
        throw Failure(UZ_ERR_UNSAFE_PATH, what + ": leads out of the extraction folder");
    if (error == ENOSPC || error == EDQUOT)
        throw Failure(UZ_ERR_DISK_FULL, what + ": " + vorn::systemErrorText(error));
    if (error == ENOMEM)
        throw Failure(UZ_ERR_MEMORY, what + ": " + vorn::systemErrorText(error));
    throw Failure(UZ_ERR_WRITE, what + ": " + vorn::systemErrorText(error));
}

namespace {

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

uint64_t StagedFile::finish(uint32_t permissions, time_t mtime) {
    m_writeback.finish();
    if (fchmod(m_out.get(), permissions) != 0)
        failPath(errno, m_path);
    const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    if (futimens(m_out.get(), times) != 0)
        failPath(errno, m_path);
    struct stat st {};
    if (fstat(m_out.get(), &st) != 0)
        failPath(errno, m_path);
    if (::close(m_out.release()) != 0)
        failPath(errno, m_path);
    m_finished = true;
    return st.st_ino;
}

ExtractionFolder::ExtractionFolder(const std::string& folder, bool wait) : m_folder(folder) {
    for (size_t pos = folder.find('/', 1);; pos = folder.find('/', pos + 1)) {
        std::string prefix = folder.substr(0, pos);
        struct stat st {};
        if (!prefix.empty() && prefix.back() != '/' && stat(prefix.c_str(), &st) != 0) {
            if (errno != ENOENT)
                failPath(errno, prefix);
            if (mkdir(prefix.c_str(), 0777) == 0)
                m_createdParents.push_back(prefix);
            else if (errno != EEXIST)
                failPath(errno, prefix);
        }
        if (pos == std::string::npos)
            break;
    }
    m_root = UniqueFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!m_root.valid())
        failPath(errno, folder);
    while (flock(m_root.get(), wait ? LOCK_EX : LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            throw Failure(UZ_ERR_BUSY, folder + ": another update of this folder is in progress");
        if (errno != EINTR)
            failPath(errno, folder);
    }
}

void ExtractionFolder::removeCreatedParents() {
    m_root.reset();
    for (auto it = m_createdParents.rbegin(); it != m_createdParents.rend(); ++it)
        rmdir(it->c_str());
    m_createdParents.clear();
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

bool ExtractionFolder::createFolder(const std::string& path, std::optional<uint32_t> permissions) {
    UniqueFd parent = openFolder(rootFd(), parentOf(path));
    if (!parent.valid())
        failPath(errno, parentOf(path));
    const std::string name = baseNameOf(path);
    if (mkdirat(parent.get(), name.c_str(), 0777) != 0) {
        if (errno != EEXIST)
            failPath(errno, path);
        if (!openFolder(rootFd(), path).valid())
            failPath(errno == ENOTDIR ? EEXIST : errno, path);
        return false;
    }
    if (permissions) {
        // Through a descriptor of the folder itself: a name could be swapped for a link.
        UniqueFd created(
            openat(parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (created.valid())
            fchmod(created.get(), *permissions);
    }
    return true;
}

StagedFile ExtractionFolder::stage(const std::string& path, const std::string& temp) const {
    const std::string parent = parentOf(path);
    UniqueFd dir = openFolder(rootFd(), parent);
    if (!dir.valid())
        failPath(errno, parent.empty() ? m_folder : parent);
    UniqueFd out(openat(dir.get(), temp.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid())
        failPath(errno, path);
    return StagedFile(std::move(dir), std::move(out), temp, path);
}

void ExtractionFolder::removeStaged(const std::string& path, const std::string& temp) const {
    UniqueFd dir = openFolder(rootFd(), parentOf(path));
    if (dir.valid())
        unlinkat(dir.get(), temp.c_str(), 0);
}

void ExtractionFolder::removeFolder(const std::string& path) const {
    UniqueFd dir = openFolder(rootFd(), parentOf(path));
    if (dir.valid())
        unlinkat(dir.get(), baseNameOf(path).c_str(), AT_REMOVEDIR);
}

void ExtractionFolder::noteWritten(const std::string& path) {
    UniqueFd dir = openFolder(rootFd(), parentOf(path));
    if (dir.valid())
        noteFileSystem(dir.get());
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
