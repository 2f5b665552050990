#include "SafeFs.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace vbuzip {

namespace {

constexpr const char* TempPrefix = ".vbuzip-";
constexpr const char* TempSuffix = ".tmp";

std::atomic<bool> haveOpenat2{true};

std::string fdPath(int fd) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[4096];
    ssize_t n = readlink(link, target, sizeof target);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof target)
        return {};
    return std::string(target, static_cast<size_t>(n));
}

// For kernels without openat2: open, then check where the descriptor really points.
UniqueFd openAndCheck(int dirFd, const std::string& path, int flags) {
    UniqueFd fd(::openat(dirFd, path.empty() ? "." : path.c_str(), flags | O_CLOEXEC));
    if (!fd.valid())
        return fd;
    std::string base = fdPath(dirFd);
    std::string real = fdPath(fd.get());
    if (base.empty() || real.empty()) {
        errno = EXDEV;
        return UniqueFd();
    }
    if (real != base && real.compare(0, base.size() + 1, base + "/") != 0 && base != "/") {
        errno = EXDEV;
        return UniqueFd();
    }
    return fd;
}

} // namespace

UniqueFd openBeneath(int dirFd, const std::string& path, int flags) {
    if (haveOpenat2.load(std::memory_order_relaxed)) {
        struct open_how how {};
        how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
        long fd = syscall(SYS_openat2, dirFd, path.empty() ? "." : path.c_str(), &how, sizeof how);
        if (fd >= 0)
            return UniqueFd(static_cast<int>(fd));
        if (errno != ENOSYS)
            return UniqueFd();
        haveOpenat2.store(false);
    }
    return openAndCheck(dirFd, path, flags);
}

TempNames::TempNames() {
    unsigned char random[6] = {};
    if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
        // Unique enough without the random source: time and process.
        uint64_t mix =
            static_cast<uint64_t>(time(nullptr)) ^ (static_cast<uint64_t>(getpid()) << 20);
        std::memcpy(random, &mix, sizeof random);
    }
    char hex[2 * sizeof random + 1];
    for (size_t i = 0; i < sizeof random; ++i)
        snprintf(hex + 2 * i, 3, "%02x", random[i]);
    m_prefix = std::string(TempPrefix) + hex + "-";
}

std::string TempNames::next() {
    return m_prefix + std::to_string(m_counter.fetch_add(1, std::memory_order_relaxed)) +
           TempSuffix;
}

bool TempNames::isTempName(const std::string& name) {
    const size_t prefix = std::strlen(TempPrefix), suffix = std::strlen(TempSuffix);
    return name.size() > prefix + suffix && name.compare(0, prefix, TempPrefix) == 0 &&
           name.compare(name.size() - suffix, suffix, TempSuffix) == 0;
}

int removeLeftovers(int dirFd) {
    int fd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    DIR* dir = fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return 0;
    }
    std::vector<std::string> names;
    while (dirent* e = readdir(dir)) {
        if ((e->d_type == DT_REG || e->d_type == DT_UNKNOWN) && TempNames::isTempName(e->d_name))
            names.emplace_back(e->d_name);
    }
    int removed = 0;
    for (const std::string& name : names) {
        struct stat st {};
        if (fstatat(dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode) && unlinkat(dirfd(dir), name.c_str(), 0) == 0)
            ++removed;
    }
    closedir(dir);
    return removed;
}

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace vbuzip
