// The Windows process snapshot: the Tool Help list of the system's processes at the moment it is
// taken. Reading an entry gives the executable's file name from the list and, when the process can
// be opened for querying, the full path of its image. A process that has ended since the list was
// taken reads as Vanished, one that has ended but is still held open by a handle as ended. An
// entry never faults: a name that cannot be read is left out.
#include "process/ProcessSnapshot.h"

#include <vorn/Utf16_windows.h>

#include <tlhelp32.h>

namespace {

class ToolHelpSnapshot : public ProcessSnapshot {
public:
    explicit ToolHelpSnapshot(HANDLE snapshot) : m_snapshot(snapshot) {
        m_entry.dwSize = sizeof m_entry;
    }
    ~ToolHelpSnapshot() override { CloseHandle(m_snapshot); }
    ToolHelpSnapshot(const ToolHelpSnapshot&) = delete;
    ToolHelpSnapshot& operator=(const ToolHelpSnapshot&) = delete;

    bool next(std::int32_t& processId) override {
        m_current = m_started ? Process32NextW(m_snapshot, &m_entry)
                              : Process32FirstW(m_snapshot, &m_entry);
        m_started = true;
        if (!m_current)
            return false;
        processId = static_cast<std::int32_t>(m_entry.th32ProcessID);
        return true;
    }

    EntryRead read(ProcessEntry& entry) override {
        if (!m_current)
            return EntryRead::Vanished;
        entry = ProcessEntry();
        entry.processId = static_cast<std::int32_t>(m_entry.th32ProcessID);
        if (m_entry.szExeFile[0])
            entry.names.push_back(Utf8FromUtf16(m_entry.szExeFile));

        HANDLE process =
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, m_entry.th32ProcessID);
        if (!process) {
            // An id that no longer names a process; other failures (access rules, the system's
            // own processes) leave the entry with its listed name.
            return GetLastError() == ERROR_INVALID_PARAMETER ? EntryRead::Vanished : EntryRead::Ok;
        }
        DWORD exitCode = 0;
        entry.ended = GetExitCodeProcess(process, &exitCode) && exitCode != STILL_ACTIVE;
        std::wstring image(32768, L'\0');
        DWORD length = static_cast<DWORD>(image.size());
        if (QueryFullProcessImageNameW(process, 0, image.data(), &length) && length > 0)
            entry.names.push_back(Utf8FromUtf16(std::wstring_view(image.data(), length)));
        CloseHandle(process);
        return EntryRead::Ok;
    }

private:
    HANDLE m_snapshot;
    PROCESSENTRY32W m_entry{};
    bool m_started = false;
    bool m_current = false;
};

} // namespace

std::unique_ptr<ProcessSnapshot> TakeProcessSnapshot() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return nullptr;
    return std::make_unique<ToolHelpSnapshot>(snapshot);
}
