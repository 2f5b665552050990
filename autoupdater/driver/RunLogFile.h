// The system's part of the run log (RunLogFile_<platform>.cpp): the log file held open for
// appending by every updater that runs, and rewritten only while no other one has it open.
#pragma once

#include <QByteArray>
#include <QString>
#include <vorn/UniqueFd.h>

class RunLogFile {
public:
    // Opens (creating) the file at `path` for appending, shared with the other updaters that have
    // it open. Should the file be replaced meanwhile, the new one is opened. False with the reason.
    bool open(const QString& path, QString* reason);
    // Whether this is the only updater with the file open; if so, it keeps the file to itself until
    // the next open(). On false the file is open and shared as before.
    bool takeExclusively(const QString& path);
    bool isOpen() const { return m_fd.valid(); }
    qint64 size() const;
    // Whether the file is empty or its last line is whole.
    bool endsWithLineEnd() const;
    // Appends `lines` with one write, so that no reader and no other writer ever sees a part of
    // them, a kill included. False with the reason.
    bool append(const QByteArray& lines, QString* reason);
    void close() { m_fd.reset(); }

private:
    vorn::UniqueFd m_fd;
};
