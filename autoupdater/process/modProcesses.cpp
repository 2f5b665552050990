#include "process/modProcesses.h"

#include "process/TerminateNow.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <utility>

namespace {
const char* const kFaultText = "A process error has occurred.";
const char* const kFaultTitle = "Vorn (Auto-Updater)";
} // namespace

bool ExeNameMatches(const QString& name, const QString& sExeName) {
    // right() yields the whole string when it is shorter than the requested length.
    return name.toLower().right(sExeName.size()) == sExeName.toLower();
}

bool EntryNameMatches(const QStringList& names, const QString& sExeName) {
    if (names.isEmpty())
        return ExeNameMatches(QString(), sExeName);
    for (const QString& name : names) {
        if (ExeNameMatches(name, sExeName))
            return true;
    }
    return false;
}

ProcessCheck CheckProcess(const QString& sExeName, qint32 lProcessID, ProcessSnapshot* pSnapshot) {
    if (!pSnapshot)
        return ProcessCheck::NotRunning;
    qint32 processId = 0;
    while (pSnapshot->next(processId)) {
        // Only the process with the requested id can match; the others are passed over unread.
        if (processId != lProcessID)
            continue;
        ProcessEntry entry;
        switch (pSnapshot->read(entry)) {
        case EntryRead::Vanished:
            continue;
        case EntryRead::Fault:
            return ProcessCheck::WalkFault;
        case EntryRead::Ok:
            break;
        }
        if (!entry.ended && entry.processId == lProcessID &&
            EntryNameMatches(entry.names, sExeName))
            return ProcessCheck::Running;
    }
    return ProcessCheck::NotRunning;
}

bool Process_Running(const QString& sExeName, qint32 lProcessID) {
    std::unique_ptr<ProcessSnapshot> snapshot = TakeProcessSnapshot();
    switch (CheckProcess(sExeName, lProcessID, snapshot.get())) {
    case ProcessCheck::Running:
        return true;
    case ProcessCheck::NotRunning:
        return false;
    case ProcessCheck::WalkFault:
        break;
    }
    snapshot.reset();
    ReportProcessFault();
}

void ReportProcessFault() {
    if (qobject_cast<QApplication*>(QCoreApplication::instance())) {
        QMessageBox box(QMessageBox::Warning, QString::fromLatin1(kFaultTitle),
                        QString::fromLatin1(kFaultText), QMessageBox::Ok);
        box.exec();
    } else {
        std::fprintf(stderr, "%s: %s\n", kFaultTitle, kFaultText);
    }
    TerminateNow(1);
}

ListSnapshot::ListSnapshot(QList<ProcessEntry> entries, QList<qint32> faultyIds,
                           QList<qint32> vanishedIds)
    : m_entries(std::move(entries)), m_faultyIds(std::move(faultyIds)),
      m_vanishedIds(std::move(vanishedIds)) {}

bool ListSnapshot::next(qint32& processId) {
    if (m_position + 1 >= m_entries.size())
        return false;
    ++m_position;
    processId = m_entries.at(m_position).processId;
    return true;
}

EntryRead ListSnapshot::read(ProcessEntry& entry) {
    if (m_position < 0 || m_position >= m_entries.size())
        return EntryRead::Vanished;
    ++m_entriesRead;
    const ProcessEntry& current = m_entries.at(m_position);
    if (m_faultyIds.contains(current.processId))
        return EntryRead::Fault;
    if (m_vanishedIds.contains(current.processId))
        return EntryRead::Vanished;
    entry = current;
    return EntryRead::Ok;
}
