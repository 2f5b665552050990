#include "ExtractionFolder.h"

#include "EntryNames.h"
#include "Failure.h"
#include "vbuzip10.h"

#include <windows.h>

#include <chrono>
#include <thread>
#include <vorn/SystemMessage_windows.h>
#include <vorn/Utf16_windows.h>

namespace vbuzip {

namespace {

// The lock file of an update in progress, in the folder; removed again when the update ends.
constexpr const char* LockName = ".vbuzip-update.lock";
// How long an open refused because the lock file is being removed by the update that just ended
// is tried again.
constexpr std::chrono::milliseconds LockRemovalWait{2000};

// A path as the messages show it: without "\\?\", with "/" between its parts.
std::string shownPath(const std::wstring& path) {
    std::string shown = Utf8FromUtf16(path.rfind(L"\\\\?\\", 0) == 0 ? path.substr(4) : path);
    for (char& c : shown) {
        if (c == '\\')
            c = '/';
    }
    return shown;
}

// The length of the part of a full "\\?\" path that is the volume: "\\?\C:\" or
// "\\?\UNC\server\share\".
size_t volumeLength(const std::wstring& full) {
    if (full.rfind(L"\\\\?\\UNC\\", 0) != 0)
        return full.size() < 7 ? full.size() : 7;
    const size_t server = full.find(L'\\', 8);
    const size_t share = server == std::wstring::npos ? server : full.find(L'\\', server + 1);
    return share == std::wstring::npos ? full.size() : share + 1;
}

FILETIME fileTimeOf(time_t when) {
    const uint64_t ticks = (static_cast<uint64_t>(when) + 11644473600ULL) * 10000000ULL;
    return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

time_t timeOf(const FILETIME& time) {
    const uint64_t ticks = (uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return static_cast<time_t>(ticks / 10000000ULL) - 11644473600LL;
}

bool isMissing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// The byte of the lock file that is locked: far past its end, so that the (empty) file stays
// readable to everyone while it is locked.
OVERLAPPED lockedByte() {
    OVERLAPPED at{};
    at.OffsetHigh = 0x7fffffff;
    return at;
}

// Opens and locks the lock file of the folder; an invalid handle when another update holds it and
// wait is false. A lock file that the update before is removing (delete pending) is opened again.
UniqueHandle lockFolder(const HeldFolder& root, const std::string& folder, bool wait) {
    const std::wstring path = childPath(root, LockName);
    const auto until = std::chrono::steady_clock::now() + LockRemovalWait;
    for (;;) {
        UniqueHandle lock(CreateFileW(
            path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!lock.valid()) {
            const DWORD error = GetLastError();
            if (error == ERROR_ACCESS_DENIED && std::chrono::steady_clock::now() < until) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            failSystem(error, folder);
        }
        OVERLAPPED at = lockedByte();
        if (!LockFileEx(lock.get(),
                        LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY), 0, 1, 0,
                        &at)) {
            const DWORD error = GetLastError();
            if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING)
                return {};
            failSystem(error, folder);
        }
        // Locked: unless the update before removed the file meanwhile, and a new one must be made.
        FILE_STANDARD_INFO standard{};
        if (GetFileInformationByHandleEx(lock.get(), FileStandardInfo, &standard,
                                         sizeof standard) &&
            standard.DeletePending) {
            lock.reset();
            continue;
        }
        return lock;
    }
}

// Removes the lock file and lets go of it: removed while it is still locked, so that an update
// waiting for it sees it is gone and makes a new one. (A file that cannot be removed just now
// stays, empty, for the next update.)
void unlockFolder(UniqueHandle& lock, const HeldFolder& root) {
    if (!lock.valid())
        return;
    DeleteFileW(childPath(root, LockName).c_str());
    OVERLAPPED at = lockedByte();
    UnlockFileEx(lock.get(), 0, 1, 0, &at);
    lock.reset();
}

} // namespace

StagedFile::StagedFile(FolderRef dir, FileRef out, std::string temp, std::string path)
    : m_dir(std::move(dir)), m_out(std::move(out)), m_temp(std::move(temp)),
      m_path(std::move(path)), m_writeback(reinterpret_cast<std::intptr_t>(m_out.get())) {}

StagedFile::~StagedFile() {
    if (m_finished || !m_dir)
        return;
    m_out.reset();
    removeFile(childPath(*m_dir, m_temp));
}

void StagedFile::write(const char* data, size_t size) {
    if (!writeAll(m_out.get(), data, size))
        failSystem(GetLastError(), m_path);
    m_writeback.wrote(size);
}

uint64_t StagedFile::finish(uint32_t permissions, time_t mtime) {
    m_writeback.finish();
    // Time and attribute by the handle, in one call; then the data is made durable before the
    // file is named anywhere else (the journal, a rename).
    FILE_BASIC_INFO basic{};
    const FILETIME written = fileTimeOf(mtime);
    basic.LastWriteTime.LowPart = written.dwLowDateTime;
    basic.LastWriteTime.HighPart = static_cast<LONG>(written.dwHighDateTime);
    basic.FileAttributes = (permissions & 0200) ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
    if (!SetFileInformationByHandle(m_out.get(), FileBasicInfo, &basic, sizeof basic) ||
        !FlushFileBuffers(m_out.get()))
        failSystem(GetLastError(), m_path);
    const std::optional<FileFacts> facts = factsOf(m_out.get());
    if (!facts)
        failSystem(GetLastError(), m_path);
    if (!CloseHandle(m_out.release()))
        failSystem(GetLastError(), m_path);
    m_finished = true;
    return facts->id;
}

ExtractionFolder::ExtractionFolder(const std::string& folder, bool wait)
    : m_folder(folder), m_held(std::make_unique<HeldFolders>()) {
    const std::wstring full = fullWindowsPath(folder);
    if (full.empty())
        failSystem(GetLastError(), folder);
    const size_t volume = volumeLength(full);
    for (size_t pos = full.find(L'\\', volume);; pos = full.find(L'\\', pos + 1)) {
        const std::wstring prefix = full.substr(0, pos);
        if (GetFileAttributesW(prefix.c_str()) == INVALID_FILE_ATTRIBUTES) {
            const DWORD error = GetLastError();
            if (!isMissing(error))
                failSystem(error, shownPath(prefix));
            if (CreateDirectoryW(prefix.c_str(), nullptr))
                m_createdParents.push_back(Utf8FromUtf16(prefix));
            else if (GetLastError() != ERROR_ALREADY_EXISTS)
                failSystem(GetLastError(), shownPath(prefix));
        }
        if (pos == std::wstring::npos)
            break;
    }
    // The folder itself may be reached through a link; everything below it is held without.
    auto root = std::make_shared<HeldFolder>();
    root->handle.reset(CreateFileW(full.c_str(), FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!root->handle.valid())
        failSystem(GetLastError(), folder);
    const std::optional<FileFacts> facts = factsOf(root->handle.get());
    if (!facts || !(facts->attributes & FILE_ATTRIBUTE_DIRECTORY))
        failSystem(facts ? ERROR_DIRECTORY : GetLastError(), folder);
    // Named by its final path, so that a link in front of it swapped later leads nowhere else.
    std::wstring final(MAX_PATH, L'\0');
    for (;;) {
        const DWORD size = GetFinalPathNameByHandleW(root->handle.get(), final.data(),
                                                     static_cast<DWORD>(final.size()),
                                                     FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (size < final.size()) {
            final.resize(size);
            break;
        }
        final.resize(size + 1);
    }
    root->path = final.rfind(L"\\\\?\\", 0) == 0 ? final : full;
    while (root->path.size() > volumeLength(root->path) && root->path.back() == L'\\')
        root->path.pop_back();
    m_root = root;
    m_lock = lockFolder(*m_root, folder, wait);
    if (!m_lock.valid())
        throw Failure(UZ_ERR_BUSY, folder + ": another update of this folder is in progress");
}

ExtractionFolder::~ExtractionFolder() {
    if (m_root)
        unlockFolder(m_lock, *m_root);
}

void ExtractionFolder::removeCreatedParents() {
    unlockFolder(m_lock, *m_root);
    m_held->byPath.clear();
    m_root.reset();
    for (auto it = m_createdParents.rbegin(); it != m_createdParents.rend(); ++it)
        RemoveDirectoryW(Utf16FromUtf8(*it).c_str());
    m_createdParents.clear();
}

FolderRef ExtractionFolder::hold(const std::string& path) const {
    if (path.empty())
        return m_root;
    DWORD error = 0;
    FolderRef held;
    {
        std::lock_guard<std::mutex> lock(m_held->mutex);
        FolderRef at = m_root;
        for (size_t start = 0; at;) {
            const size_t end = path.find('/', start);
            const std::string prefix = path.substr(0, end);
            auto it = m_held->byPath.find(prefix);
            if (it != m_held->byPath.end()) {
                at = it->second;
            } else {
                at =
                    holdChild(at, path.substr(start, end == std::string::npos ? end : end - start));
                if (!at)
                    error = GetLastError();
                else
                    m_held->byPath.emplace(prefix, at);
            }
            if (end == std::string::npos)
                break;
            start = end + 1;
        }
        held = at;
    }
    if (!held)
        SetLastError(error);
    return held;
}

void ExtractionFolder::release(const std::string& path) const {
    std::lock_guard<std::mutex> lock(m_held->mutex);
    auto it = m_held->byPath.lower_bound(path);
    while (it != m_held->byPath.end() && (it->first == path || it->first.rfind(path + "/", 0) == 0))
        it = m_held->byPath.erase(it);
}

bool ExtractionFolder::hasFolder(const std::string& path) const {
    if (hold(path))
        return true;
    const DWORD error = GetLastError();
    if (isMissing(error))
        return false;
    if (error == ERROR_DIRECTORY)
        throw Failure(UZ_ERR_WRITE, path + ": a file stands where a folder is needed");
    failSystem(error, path);
}

std::optional<ExtractionFolder::Existing>
ExtractionFolder::existing(const std::string& path) const {
    const FolderRef dir = hold(parentOf(path));
    if (!dir)
        failSystem(GetLastError(), parentOf(path));
    WIN32_FILE_ATTRIBUTE_DATA data{};
    // Of the name itself: a reparse point is not followed.
    if (!GetFileAttributesExW(childPath(*dir, baseNameOf(path)).c_str(), GetFileExInfoStandard,
                              &data)) {
        const DWORD error = GetLastError();
        if (isMissing(error))
            return std::nullopt;
        failSystem(error, path);
    }
    Existing found;
    const bool link = data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT;
    found.isFolder = data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
    if (!found.isFolder && !link)
        found.permissions = (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
    found.mtime = timeOf(data.ftLastWriteTime);
    return found;
}

std::optional<ExtractionFolder::Space> ExtractionFolder::freeSpace() const {
    const std::wstring folder = m_root->path + L'\\';
    ULARGE_INTEGER available{}, total{}, free{};
    if (!GetDiskFreeSpaceExW(folder.c_str(), &available, &total, &free))
        return std::nullopt;
    Space space;
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
    wchar_t volume[MAX_PATH + 1] = {};
    if (GetVolumePathNameW(folder.c_str(), volume, MAX_PATH) &&
        GetDiskFreeSpaceW(volume, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters))
        space.block = uint64_t(sectorsPerCluster) * bytesPerSector;
    if (space.block == 0)
        space.block = 4096;
    space.available = static_cast<long double>(available.QuadPart);
    return space;
}

bool ExtractionFolder::createFolder(const std::string& path, std::optional<uint32_t>) {
    const FolderRef parent = hold(parentOf(path));
    if (!parent)
        failSystem(GetLastError(), parentOf(path));
    // Windows folders have no permission bits: the folder takes its parent's access rules.
    if (CreateDirectoryW(childPath(*parent, baseNameOf(path)).c_str(), nullptr))
        return true;
    if (GetLastError() != ERROR_ALREADY_EXISTS)
        failSystem(GetLastError(), path);
    if (!hold(path)) {
        const DWORD error = GetLastError();
        failSystem(error == ERROR_DIRECTORY ? ERROR_ALREADY_EXISTS : error, path);
    }
    return false;
}

StagedFile ExtractionFolder::stage(const std::string& path, const std::string& temp) const {
    const std::string parent = parentOf(path);
    FolderRef dir = hold(parent);
    if (!dir)
        failSystem(GetLastError(), parent.empty() ? m_folder : parent);
    // Shared for reading and removal only: nothing else writes it while it is being written.
    UniqueHandle out(CreateFileW(childPath(*dir, temp).c_str(),
                                 GENERIC_WRITE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!out.valid())
        failSystem(GetLastError(), path);
    return StagedFile(std::move(dir), std::move(out), temp, path);
}

void ExtractionFolder::removeStaged(const std::string& path, const std::string& temp) const {
    if (const FolderRef dir = hold(parentOf(path)))
        removeFile(childPath(*dir, temp));
}

void ExtractionFolder::removeFolder(const std::string& path) const {
    release(path);
    if (const FolderRef dir = hold(parentOf(path)))
        RemoveDirectoryW(childPath(*dir, baseNameOf(path)).c_str());
}

void ExtractionFolder::noteWritten(const std::string&) {
    // Every file is flushed as it is finished and every rename is written through: nothing is
    // left to make durable for the folder as a whole.
}

std::string ExtractionFolder::setTime(const std::string& path, time_t mtime) const {
    const FolderRef parent = hold(parentOf(path));
    UniqueHandle entry;
    if (parent)
        entry.reset(CreateFileW(
            childPath(*parent, baseNameOf(path)).c_str(), FILE_WRITE_ATTRIBUTES,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    const FILETIME time = fileTimeOf(mtime);
    if (!entry.valid() || !SetFileTime(entry.get(), nullptr, nullptr, &time))
        return SystemMessage(GetLastError());
    return {};
}

void ExtractionFolder::sync() {
    // As noteWritten: each file and rename was made durable on its own.
}

} // namespace vbuzip
