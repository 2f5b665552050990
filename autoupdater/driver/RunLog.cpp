#include "driver/RunLog.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <vector>

#include "AppError.h"
#include "Version.h"
#include "core/Diagnostics.h"
#include "core/Paths.h"
#include "download/UpdateDownload.h"
#include "driver/CommandLine.h"
#include "driver/LocalClock.h"
#include "verify/SmallFiles.h"

namespace {
// The logs alive, the newest last (the current one). The lock also keeps the lines of several
// threads apart.
std::mutex g_mutex;
std::vector<RunLog*> g_logs;

const std::string kHeaderMark = "=== ";

std::string Digits(int value, int width) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*d", width, value);
    return text;
}

std::string DateAndTime(const LocalTime& t) {
    return Digits(t.year, 4) + "-" + Digits(t.month, 2) + "-" + Digits(t.day, 2) + " " +
           Digits(t.hour, 2) + ":" + Digits(t.minute, 2) + ":" + Digits(t.second, 2);
}

std::string Stamp() {
    const LocalTime now = LocalNow();
    return DateAndTime(now) + "." + Digits(now.millisecond, 3);
}

// Local date, time and offset from UTC: "2026-05-01 12:00:00 +02:00".
std::string StartTime() {
    const LocalTime now = LocalNow();
    const int offset = std::abs(now.utcOffsetSeconds);
    return DateAndTime(now) + " " + (now.utcOffsetSeconds < 0 ? "-" : "+") +
           Digits(offset / 3600, 2) + ":" + Digits(offset / 60 % 60, 2);
}

// The part of a run log that is kept when it is trimmed: the newest whole runs that fit in
// `budget` bytes, given the log's last budget + 1 bytes or more (`tail`); when even the newest run
// does not fit, its newest whole lines.
std::string NewestRuns(const std::string& tail, std::int64_t budget) {
    const std::size_t keep = std::min(tail.size(), std::size_t(budget + 1));
    const std::string part = tail.substr(tail.size() - keep);
    // A header at the very start of the tail counts only when a line ends just before it.
    const std::size_t run = part.find('\n' + kHeaderMark);
    if (run != std::string::npos)
        return part.substr(run + 1);
    const std::size_t line = part.find('\n');
    return line != std::string::npos ? part.substr(line + 1) : std::string();
}

// The last `count` bytes of the file at path (all of it when shorter); false when unreadable.
bool ReadTail(const std::string& path, std::int64_t count, std::string* tail) {
    std::ifstream reader(FsPath(path), std::ios::binary | std::ios::ate);
    if (!reader)
        return false;
    const std::int64_t size = reader.tellg();
    reader.seekg(std::max<std::int64_t>(0, size - count));
    tail->assign(std::istreambuf_iterator<char>(reader), std::istreambuf_iterator<char>());
    return !reader.bad();
}
} // namespace

RunLog::RunLog(const std::string& programFolder, const std::string& commandLine) {
    const std::string path = programFolder + "/updates/" + kRunLogName;
    std::string reason;
    try {
        EnsureUpdatesFolder(programFolder);
    } catch (const AppError& error) {
        reason = error.description();
    }
    if (reason.empty() && m_file.open(path, &reason)) {
        trim(path);
        const std::string header = kHeaderMark + StartTime() +
                                   " vorn-updater " VORN_UPDATER_VERSION ": " +
                                   ShownName(commandLine);
        // A line torn by a kill is ended first, so that the header starts a line.
        const std::string start = m_file.endsWithLineEnd() ? std::string() : std::string("\n");
        if (!m_file.append(start + header + '\n', &reason))
            m_file.close();
    }
    if (!m_file.isOpen())
        Warning("The run log " + path +
                " cannot be written; the run goes on without it: " + reason);
    const std::lock_guard<std::mutex> guard(g_mutex);
    if (g_logs.empty())
        SetDiagnosticLog(&RunLog::note);
    g_logs.push_back(this);
}

RunLog::~RunLog() {
    const std::lock_guard<std::mutex> guard(g_mutex);
    g_logs.erase(std::find(g_logs.begin(), g_logs.end(), this));
    if (g_logs.empty())
        SetDiagnosticLog({});
}

void RunLog::trim(const std::string& path) {
    if (m_file.size() < kSizeLimit || !m_file.takeExclusively(path))
        return;
    std::string tail;
    std::string reason;
    if (!ReadTail(path, kSizeLimit / 2 + 1, &tail))
        reason = "the file cannot be read";
    else
        replaceSmallFile(path, NewestRuns(tail, kSizeLimit / 2), &reason);
    if (!reason.empty())
        Warning("The run log " + path + " cannot be shortened: " + reason);
    m_file.open(path, &reason);
}

void RunLog::status(const std::string& line) {
    const std::string text = Stamp() + ' ' + ShownName(line) + '\n';
    std::string reason;
    {
        const std::lock_guard<std::mutex> guard(g_mutex);
        RunLog* log = g_logs.empty() ? nullptr : g_logs.back();
        if (!log || !log->m_file.isOpen() || log->m_file.append(text, &reason))
            return;
        log->m_file.close();
    }
    // Outside the lock: the message comes back here, and finds the log given up.
    Warning("The run log cannot be written any more; the run goes on without it: " + reason);
}

void RunLog::note(const std::string& kind, const std::string& text) {
    status('[' + kind + "] " + text);
}
