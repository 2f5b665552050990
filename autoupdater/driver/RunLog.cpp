#include "driver/RunLog.h"

#include <QDateTime>
#include <QFile>
#include <algorithm>
#include <mutex>
#include <vector>

#include "AppError.h"
#include "Version.h"
#include "download/UpdateDownload.h"
#include "driver/CommandLine.h"
#include "verify/SmallFiles.h"

namespace {
// The logs alive, the newest last (the current one), and the message handler in place before the
// first of them. The lock also keeps the lines of several threads apart.
std::mutex g_mutex;
std::vector<RunLog*> g_logs;
QtMessageHandler g_previousHandler = nullptr;

const QByteArray kHeaderMark = "=== ";

QString Stamp() {
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
}

// Local date, time and offset from UTC: "2026-05-01 12:00:00 +02:00".
QString StartTime() {
    const QDateTime now = QDateTime::currentDateTime();
    const int offset = now.offsetFromUtc();
    return now.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss ")) +
           QStringLiteral("%1%2:%3")
               .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
               .arg(qAbs(offset) / 3600, 2, 10, QLatin1Char('0'))
               .arg(qAbs(offset) / 60 % 60, 2, 10, QLatin1Char('0'));
}

const char* KindOf(QtMsgType type) {
    switch (type) {
    case QtDebugMsg:
        return "debug";
    case QtInfoMsg:
        return "info";
    case QtWarningMsg:
        return "warning";
    case QtCriticalMsg:
        return "critical";
    case QtFatalMsg:
        return "fatal";
    }
    return "message";
}

// The part of a run log that is kept when it is trimmed: the newest whole runs that fit in
// `budget` bytes, given the log's last budget + 1 bytes or more (`tail`); when even the newest run
// does not fit, its newest whole lines.
QByteArray NewestRuns(const QByteArray& tail, qint64 budget) {
    const QByteArray part = tail.right(budget + 1);
    // A header at the very start of the tail counts only when a line ends just before it.
    const qsizetype run = part.indexOf('\n' + kHeaderMark);
    if (run >= 0)
        return part.mid(run + 1);
    const qsizetype line = part.indexOf('\n');
    return line >= 0 ? part.mid(line + 1) : QByteArray();
}
} // namespace

RunLog::RunLog(const QString& programFolder, const QString& commandLine) {
    const QString path = programFolder + QStringLiteral("/updates/") + kRunLogName;
    QString reason;
    try {
        EnsureUpdatesFolder(programFolder);
    } catch (const AppError& error) {
        reason = error.description();
    }
    if (reason.isEmpty() && m_file.open(path, &reason)) {
        trim(path);
        const QString header = QString::fromLatin1(kHeaderMark) + StartTime() +
                               QStringLiteral(" vorn-updater " VORN_UPDATER_VERSION ": ") +
                               ShownName(commandLine);
        // A line torn by a kill is ended first, so that the header starts a line.
        const QByteArray start = m_file.endsWithLineEnd() ? QByteArray() : QByteArray("\n");
        if (!m_file.append(start + header.toUtf8() + '\n', &reason))
            m_file.close();
    }
    if (!m_file.isOpen())
        qWarning().noquote() << "The run log" << path
                             << "cannot be written; the run goes on without it:" << reason;
    const std::lock_guard<std::mutex> guard(g_mutex);
    if (g_logs.empty())
        g_previousHandler = qInstallMessageHandler(&RunLog::handleMessage);
    g_logs.push_back(this);
}

RunLog::~RunLog() {
    const std::lock_guard<std::mutex> guard(g_mutex);
    g_logs.erase(std::find(g_logs.begin(), g_logs.end(), this));
    if (g_logs.empty())
        qInstallMessageHandler(g_previousHandler);
}

void RunLog::trim(const QString& path) {
    if (m_file.size() < kSizeLimit || !m_file.takeExclusively(path))
        return;
    QFile reader(path);
    QString reason;
    if (!reader.open(QIODevice::ReadOnly) ||
        !reader.seek(qMax<qint64>(0, reader.size() - kSizeLimit / 2 - 1)) ||
        !replaceSmallFile(path, NewestRuns(reader.readAll(), kSizeLimit / 2), &reason))
        qWarning().noquote() << "The run log" << path << "cannot be shortened:"
                             << (reason.isEmpty() ? reader.errorString() : reason);
    m_file.open(path, &reason);
}

void RunLog::status(const QString& line) {
    const QByteArray text = (Stamp() + QLatin1Char(' ') + ShownName(line)).toUtf8() + '\n';
    QString reason;
    {
        const std::lock_guard<std::mutex> guard(g_mutex);
        RunLog* log = g_logs.empty() ? nullptr : g_logs.back();
        if (!log || !log->m_file.isOpen() || log->m_file.append(text, &reason))
            return;
        log->m_file.close();
    }
    // Outside the lock: the message comes back here, and finds the log given up.
    qWarning().noquote() << "The run log cannot be written any more; the run goes on without it:"
                         << reason;
}

void RunLog::note(const QString& kind, const QString& text) {
    status(QLatin1Char('[') + kind + QStringLiteral("] ") + text);
}

void RunLog::handleMessage(QtMsgType type, const QMessageLogContext& context,
                           const QString& message) {
    note(QString::fromLatin1(KindOf(type)), message);
    QtMessageHandler previous = nullptr;
    {
        const std::lock_guard<std::mutex> guard(g_mutex);
        previous = g_previousHandler;
    }
    previous(type, context, message);
}
