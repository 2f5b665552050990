#include "process/modProcesses.h"

#include "core/Text.h"
#include "process/TerminateNow.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace {
const char* const kFaultText = "A process error has occurred.";
const char* const kFaultTitle = "Vorn (Auto-Updater)";

std::function<void(const std::string&, const std::string&)>& faultNotice() {
    static std::function<void(const std::string&, const std::string&)> notice;
    return notice;
}

bool listed(const std::vector<std::int32_t>& ids, std::int32_t id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}
} // namespace

bool ExeNameMatches(const std::string& name, const std::string& sExeName) {
    // The whole of name when it is shorter than the requested length.
    const std::size_t length = std::min(name.size(), sExeName.size());
    return AsciiLower(std::string_view(name).substr(name.size() - length)) == AsciiLower(sExeName);
}

bool EntryNameMatches(const std::vector<std::string>& names, const std::string& sExeName) {
    if (names.empty())
        return ExeNameMatches(std::string(), sExeName);
    for (const std::string& name : names) {
        if (ExeNameMatches(name, sExeName))
            return true;
    }
    return false;
}

ProcessCheck CheckProcess(const std::string& sExeName, std::int32_t lProcessID,
                          ProcessSnapshot* pSnapshot) {
    if (!pSnapshot)
        return ProcessCheck::NotRunning;
    std::int32_t processId = 0;
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

bool Process_Running(const std::string& sExeName, std::int32_t lProcessID) {
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
    if (const auto& notice = faultNotice())
        notice(kFaultTitle, kFaultText);
    else
        std::fprintf(stderr, "%s: %s\n", kFaultTitle, kFaultText);
    TerminateNow(1);
}

void SetProcessFaultNotice(
    std::function<void(const std::string& title, const std::string& text)> notice) {
    faultNotice() = std::move(notice);
}

ListSnapshot::ListSnapshot(std::vector<ProcessEntry> entries, std::vector<std::int32_t> faultyIds,
                           std::vector<std::int32_t> vanishedIds)
    : m_entries(std::move(entries)), m_faultyIds(std::move(faultyIds)),
      m_vanishedIds(std::move(vanishedIds)) {}

bool ListSnapshot::next(std::int32_t& processId) {
    if (m_next >= m_entries.size())
        return false;
    processId = m_entries[m_next++].processId;
    return true;
}

EntryRead ListSnapshot::read(ProcessEntry& entry) {
    if (m_next == 0)
        return EntryRead::Vanished;
    ++m_entriesRead;
    const ProcessEntry& current = m_entries[m_next - 1];
    if (listed(m_faultyIds, current.processId))
        return EntryRead::Fault;
    if (listed(m_vanishedIds, current.processId))
        return EntryRead::Vanished;
    entry = current;
    return EntryRead::Ok;
}
