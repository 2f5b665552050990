#include "UpdateFiles.h"

#include "EntryNames.h"
#include "Failure.h"
#include "SafeFs_windows.h"
#include "vbuzip10.h"

#include <windows.h>

#include <map>
#include <vorn/SystemMessage_windows.h>
#include <vorn/Utf16_windows.h>

namespace vbuzip {

namespace {

Found look(const FolderRef& dir, const std::string& name) {
    if (!dir || name.empty())
        return {};
    const UniqueHandle entry = openEntry(childPath(*dir, name));
    if (!entry.valid())
        return {};
    const std::optional<FileFacts> facts = factsOf(entry.get());
    if (!facts)
        return {};
    const bool folder = (facts->attributes & FILE_ATTRIBUTE_DIRECTORY) &&
                        !(facts->attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    return {true, folder, facts->id};
}

} // namespace

// Each folder held once; a folder that could not be held is remembered with its error.
struct UpdateFiles::Reached {
    struct Held {
        FolderRef folder;
        DWORD error; // of the holding, when it failed
    };
    std::map<std::string, Held> folders;
};

UpdateFiles::UpdateFiles(const ExtractionFolder& root)
    : m_root(root), m_reached(std::make_unique<Reached>()) {}

UpdateFiles::~UpdateFiles() = default;

bool UpdateFiles::reach(const std::string& folder) {
    auto it = m_reached->folders.find(folder);
    if (it == m_reached->folders.end()) {
        FolderRef held = m_root.hold(folder);
        const DWORD error = held ? ERROR_SUCCESS : GetLastError();
        it = m_reached->folders.emplace(folder, Reached::Held{std::move(held), error}).first;
    }
    SetLastError(it->second.error);
    return it->second.folder != nullptr;
}

Found UpdateFiles::look(const std::string& folder, const std::string& name) {
    if (!reach(folder))
        return {};
    return vbuzip::look(m_reached->folders.at(folder).folder, name);
}

std::string UpdateFiles::storedName(const std::string& folder, const std::string& name) {
    if (!reach(folder))
        return name;
    WIN32_FIND_DATAW found{};
    const HANDLE search =
        FindFirstFileW(childPath(*m_reached->folders.at(folder).folder, name).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return name;
    FindClose(search);
    return Utf8FromUtf16(found.cFileName);
}

bool UpdateFiles::rename(const std::string& folder, const std::string& from,
                         const std::string& to) {
    if (!reach(folder))
        return false;
    const HeldFolder& dir = *m_reached->folders.at(folder).folder;
    // Only files are renamed here; a folder found under a file's name is never put in its place.
    if (vbuzip::look(m_reached->folders.at(folder).folder, from).isFolder) {
        SetLastError(ERROR_DIRECTORY);
        return false;
    }
    return moveFile(childPath(dir, from), childPath(dir, to), true);
}

bool UpdateFiles::remove(const std::string& folder, const std::string& name) {
    // Only a lookup when the folder was reached before (the calls from several threads).
    const auto it = m_reached->folders.find(folder);
    if (it == m_reached->folders.end() ? !reach(folder) : !it->second.folder)
        return false;
    return removeFile(childPath(*m_reached->folders.at(folder).folder, name));
}

bool UpdateFiles::removeFolder(const std::string& path) {
    // Held folders cannot be removed: let go of it (and of what is below it) first.
    m_root.release(path);
    m_reached->folders.erase(path);
    if (!reach(parentOf(path)))
        return false;
    return RemoveDirectoryW(
               childPath(*m_reached->folders.at(parentOf(path)).folder, baseNameOf(path))
                   .c_str()) != 0;
}

// Windows cannot swap two names in one step: an existing file is first renamed to e.backup, then
// the staged file takes its name. Between the two, the journal's recovery finds the new file
// under its staged name and the old one under its backup name.
void UpdateFiles::install(const JournalEntry& e) {
    if (!reach(parentOf(e.path)))
        fail(e.path);
    const HeldFolder& dir = *m_reached->folders.at(parentOf(e.path)).folder;
    const std::wstring target = childPath(dir, baseNameOf(e.path));
    if (e.hadOld && !moveFile(target, childPath(dir, e.backup), false))
        fail(e.path);
    if (!moveFile(childPath(dir, e.staged), target, false))
        fail(e.path);
}

bool UpdateFiles::missing() {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

void UpdateFiles::fail(const std::string& what) {
    failSystem(GetLastError(), what);
}

bool hasRecord(const ExtractionFolder& root, const char* name) {
    return openEntry(childPath(root.root(), name)).valid();
}

std::optional<std::string> readRecord(const ExtractionFolder& root, const char* name) {
    const UniqueHandle in(CreateFileW(childPath(root.root(), name).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr));
    const std::string what = joinPath(root.path(), name);
    if (!in.valid()) {
        if (UpdateFiles::missing())
            return std::nullopt;
        throw Failure(UZ_ERR_WRITE, what + ": " + SystemMessage(GetLastError()));
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(in.get(), buffer, sizeof buffer, &read, nullptr))
            throw Failure(UZ_ERR_WRITE, what + ": " + SystemMessage(GetLastError()));
        if (read == 0)
            return text;
        text.append(buffer, read);
    }
}

void writeRecord(const ExtractionFolder& root, const char* temp, const char* name,
                 const std::string& text) {
    const std::wstring tempPath = childPath(root.root(), temp);
    UniqueHandle out(CreateFileW(tempPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!out.valid() || !writeAll(out.get(), text.data(), text.size()) ||
        !FlushFileBuffers(out.get()) || !CloseHandle(out.release()) ||
        !moveFile(tempPath, childPath(root.root(), name), true)) {
        const DWORD error = GetLastError();
        out.reset();
        removeFile(tempPath);
        failSystem(error, joinPath(root.path(), name));
    }
}

void removeRecord(const ExtractionFolder& root, const char* name) {
    removeFile(childPath(root.root(), name));
}

void syncRecords(const ExtractionFolder&) {
    // Records are created, renamed and removed with write-through: nothing is left to sync.
}

struct PlanFile::Open {
    UniqueHandle file;
};

PlanFile::PlanFile() = default;
PlanFile::~PlanFile() = default;

void PlanFile::append(const ExtractionFolder& root, const std::string& text) {
    const std::string what = joinPath(root.path(), PlanName);
    if (!m_open) {
        UniqueHandle file(CreateFileW(
            childPath(root.root(), PlanName).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!file.valid())
            failSystem(GetLastError(), what);
        m_open = std::make_unique<Open>(Open{std::move(file)});
    }
    if (!writeAll(m_open->file.get(), text.data(), text.size()) ||
        !FlushFileBuffers(m_open->file.get()))
        failSystem(GetLastError(), what);
}

void PlanFile::close() {
    m_open.reset();
}

} // namespace vbuzip
