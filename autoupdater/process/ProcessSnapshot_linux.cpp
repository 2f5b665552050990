#include "process/ProcessSnapshot_linux.h"

#include <QList>
#include <QString>
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
Read readFile(int dirFd, const char* name, qsizetype limit, bool stopAtNul, QByteArray& out) {
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
        out.append(buffer, got);
        if (stopAtNul && std::memchr(buffer, '\0', static_cast<size_t>(got)))
            break;
    }
    return Read::Ok;
}

QString decodeName(const QByteArray& bytes) {
    return QString::fromLocal8Bit(bytes);
}

class ProcSnapshot : public ProcessSnapshot {
public:
    ProcSnapshot(int rootFd, QList<qint32> ids) : m_root(rootFd), m_ids(std::move(ids)) {}

    bool next(qint32& processId) override {
        if (m_position + 1 >= m_ids.size())
            return false;
        ++m_position;
        processId = m_ids.at(m_position);
        return true;
    }

    EntryRead read(ProcessEntry& entry) override {
        if (m_position < 0 || m_position >= m_ids.size())
            return EntryRead::Vanished;
        entry = ProcessEntry();
        entry.processId = m_ids.at(m_position);

        const QByteArray idText = QByteArray::number(entry.processId);
        const vorn::UniqueFd dir(
            ::openat(m_root.get(), idText.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!dir.valid()) {
            const int error = errno;
            if (processGone(error))
                return EntryRead::Vanished;
            // Access rules hide the whole process: it is there, under no name we may read.
            return accessDenied(error) ? EntryRead::Ok : EntryRead::Fault;
        }

        // "pid (comm) S ...": the command name may itself hold parentheses, so it runs to the
        // last ')'; the state letter follows after one space.
        QByteArray stat;
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
        const qsizetype open = stat.indexOf('(');
        const qsizetype close = stat.lastIndexOf(')');
        if (open < 0 || close < open || close + 2 >= stat.size() || stat.at(close + 1) != ' ')
            return EntryRead::Fault;
        const char state = stat.at(close + 2);
        entry.ended = state == 'Z' || state == 'X' || state == 'x';

        // argv[0], up to its first NUL. A process that rewrote its arguments may leave no NUL
        // at all; what the kernel hands out is then the whole name.
        QByteArray cmdline;
        switch (readFile(dir.get(), "cmdline", ProcNameLimit + 1, true, cmdline)) {
        case Read::Gone:
            return EntryRead::Vanished;
        case Read::Failed:
            return EntryRead::Fault;
        case Read::Denied:
            break;
        case Read::Ok: {
            const qsizetype nul = cmdline.indexOf('\0');
            const qsizetype length = nul >= 0 ? nul : cmdline.size();
            if (length > ProcNameLimit)
                return EntryRead::Fault;
            if (length > 0)
                entry.names.append(decodeName(cmdline.left(length)));
            break;
        }
        }

        // The executable's path. Other users' processes, kernel threads and ended processes
        // have none that can be read.
        char target[ProcNameLimit + 1];
        const ssize_t linkLength = ::readlinkat(dir.get(), "exe", target, sizeof target);
        if (linkLength > ProcNameLimit)
            return EntryRead::Fault;
        if (linkLength > 0)
            entry.names.append(decodeName(QByteArray(target, linkLength)));

        const QByteArray comm = stat.mid(open + 1, close - open - 1);
        if (!comm.isEmpty())
            entry.names.append(decodeName(comm));
        return EntryRead::Ok;
    }

private:
    vorn::UniqueFd m_root;
    QList<qint32> m_ids;
    qsizetype m_position = -1;
};

// The id an entry of the root names, or -1 when the entry is not a process.
qint32 processIdOf(const char* name) {
    if (!*name)
        return -1;
    qint64 value = 0;
    for (const char* p = name; *p; ++p) {
        if (*p < '0' || *p > '9')
            return -1;
        value = value * 10 + (*p - '0');
        if (value > std::numeric_limits<qint32>::max())
            return -1;
    }
    return static_cast<qint32>(value);
}

} // namespace

std::unique_ptr<ProcessSnapshot> TakeProcSnapshot(const QByteArray& procRoot) {
    const int rootFd = ::open(procRoot.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0)
        return nullptr;
    const int listFd = ::dup(rootFd);
    DIR* dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!dir) {
        if (listFd >= 0)
            ::close(listFd);
        ::close(rootFd);
        return nullptr;
    }
    QList<qint32> ids;
    while (const dirent* item = ::readdir(dir)) {
        const qint32 id = processIdOf(item->d_name);
        if (id >= 0)
            ids.append(id);
    }
    ::closedir(dir);
    return std::make_unique<ProcSnapshot>(rootFd, std::move(ids));
}

std::unique_ptr<ProcessSnapshot> TakeProcessSnapshot() {
    return TakeProcSnapshot("/proc");
}
