#include "SafeFs_linux.h"

#include "EntryNames.h"
#include "Failure.h"
#include "vbuzip10.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>
#include <vorn/SystemError.h>

namespace vbuzip {

namespace {

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

void systemRandom(unsigned char* out, size_t size) {
    if (getrandom(out, size, 0) == static_cast<ssize_t>(size))
        return;
    // Unique enough without the random source: time and process.
    const uint64_t mix =
        static_cast<uint64_t>(time(nullptr)) ^ (static_cast<uint64_t>(getpid()) << 20);
    std::memcpy(out, &mix, std::min(size, sizeof mix));
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

std::optional<std::string> readWholeFile(int dirFd, const char* name) {
    UniqueFd fd(::openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
        if (errno == ENOENT)
            return std::nullopt;
        throw Failure(UZ_ERR_WRITE, std::string(name) + ": " + vorn::systemErrorText(errno));
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw Failure(UZ_ERR_WRITE, std::string(name) + ": " + vorn::systemErrorText(errno));
        if (n == 0)
            return text;
        text.append(buffer, static_cast<size_t>(n));
    }
}

} // namespace vbuzip
