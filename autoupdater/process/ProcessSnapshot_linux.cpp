#include "process/ProcessSnapshot_linux.h"

#include <vorn/UniqueFd.h>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <unistd.h>

namespace {

bool processGone(int error) {
    return error == ENOENT || error == ESRCH;
}
bool accessDenied(int error) {
    return error == EACCES || error == EPERM;
}

enum class Read { Ok, Gone, Denied, Failed };

// Reads at most limit bytes of the file name inside the directory dirFd; stops early at a NUL
// when stopAtNul is set.
Read readFile(int dirFd, const char* name, std::size_t limit, bool stopAtNul, std::string& out) {
    out.clear();
    const vorn::UniqueFd fd(::openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!fd.valid()) {
        const int error = errno;
        return processGone(error) ? Read::Gone : accessDenied(error) ? Read::Denied : Read::Failed;
    }
    char buffer[1024];
    while (out.size() < limit) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0) {
            const int error = errno;
            if (error == EINTR)
                continue;
            return processGone(error)    ? Read::Gone
                   : accessDenied(error) ? Read::Denied
                                         : Read::Failed;
        }
        if (got == 0)
            break;
        out.append(buffer, static_cast<std::size_t>(got));
        if (stopAtNul && std::memchr(buffer, '\0', static_cast<std::size_t>(got)))
            break;
    }
    return Read::Ok;
}

class ProcSnapshot : public ProcessSnapshot {
public:
    ProcSnapshot(int rootFd, std::vector<std::int32_t> ids)
        : m_root(rootFd), m_ids(std::move(ids)) {}

    bool next(std::int32_t& processId) override {
        if (m_next >= m_ids.size())
            return false;
        processId = m_ids[m_next++];
        return true;
    }

    EntryRead read(ProcessEntry& entry) override {
        if (m_next == 0)
            return EntryRead::Vanished;
        entry = ProcessEntry();
        entry.processId = m_ids[m_next - 1];

        const std::string idText = std::to_string(entry.processId);
        const vorn::UniqueFd dir(
            ::openat(m_root.get(), idText.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!dir.valid()) {
            const int error = errno;
            if (processGone(error))
                return EntryRead::Vanished;
            // Access rules hide the whole process: it is there, under no name we may read.
            return accessDenied(error) ? EntryRead::Ok : EntryRead::Fault;
        }

        // "pid (comm) S ...": the command name may itself hold parentheses, so it runs to the
        // last ')'; the state letter follows after one space.
        std::string stat;
        switch (readFile(dir.get(), "stat", ProcNameLimit, false, stat)) {
        case Read::Gone:
            return EntryRead::Vanished;
        case Read::Failed:
            return EntryRead::Fault;
        case Read::Denied:
            return EntryRead::Ok;
        case Read::Ok:
            break;
        }
        const std::size_t open = stat.find('(');
        const std::size_t close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close < open ||
            close + 2 >= stat.size() || stat[close + 1] != ' ')
            return EntryRead::Fault;
        const char state = stat[close + 2];
        entry.ended = state == 'Z' || state == 'X' || state == 'x';

        // argv[0], up to its first NUL. A process that rewrote its arguments may leave no NUL
        // at all; what the kernel hands out is then the whole name.
        std::string cmdline;
        switch (readFile(dir.get(), "cmdline", ProcNameLimit + 1, true, cmdline)) {
        case Read::Gone:
            return EntryRead::Vanished;
        case Read::Failed:
            return EntryRead::Fault;
        case Read::Denied:
            break;
        case Read::Ok: {
            const std::size_t nul = cmdline.find('\0');
            const std::size_t length = nul != std::string::npos ? nul : cmdline.size();
            if (length > ProcNameLimit)
                return EntryRead::Fault;
            if (length > 0)
                entry.names.push_back(cmdline.substr(0, length));
            break;
        }
        }

        // The executable's path. Other users' processes, kernel threads and ended processes
        // have none that can be read.
        char target[ProcNameLimit + 1];
        const ssize_t linkLength = ::readlinkat(dir.get(), "exe", target, sizeof target);
        if (linkLength > static_cast<ssize_t>(ProcNameLimit))
            return EntryRead::Fault;
        if (linkLength > 0)
            entry.names.emplace_back(target, static_cast<std::size_t>(linkLength));

        std::string comm = stat.substr(open + 1, close - open - 1);
        if (!comm.empty())
            entry.names.push_back(std::move(comm));
        return EntryRead::Ok;
    }

private:
    vorn::UniqueFd m_root;
    std::vector<std::int32_t> m_ids;
    std::size_t m_next = 0; // the entry after the current one
};

// The id an entry of the root names, or -1 when the entry is not a process.
std::int32_t processIdOf(const char* name) {
    if (!*name)
        return -1;
    std::int64_t value = 0;
    for (const char* p = name; *p; ++p) {
        if (*p < '0' || *p > '9')
            return -1;
        value = value * 10 + (*p - '0');
        if (value > std::numeric_limits<std::int32_t>::max())
            return -1;
    }
    return static_cast<std::int32_t>(value);
}

} // namespace

std::unique_ptr<ProcessSnapshot> TakeProcSnapshot(const std::string& procRoot) {
    const int rootFd = ::open(procRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0)
        return nullptr;
    const int listFd = ::fcntl(rootFd, F_DUPFD_CLOEXEC, 0);
    DIR* dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!dir) {
        if (listFd >= 0)
            ::close(listFd);
        ::close(rootFd);
        return nullptr;
    }
    std::vector<std::int32_t> ids;
    while (const dirent* item = ::readdir(dir)) {
        const std::int32_t id = processIdOf(item->d_name);
        if (id >= 0)
            ids.push_back(id);
    }
    ::closedir(dir);
    return std::make_unique<ProcSnapshot>(rootFd, std::move(ids));
}

std::unique_ptr<ProcessSnapshot> TakeProcessSnapshot() {
    return TakeProcSnapshot("/proc");
}
