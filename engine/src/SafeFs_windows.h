// File system access confined to the extraction folder, on Windows. Windows has no call that opens
// a path relative to a folder and refuses to leave it, so every folder below the extraction folder
// is reached one part at a time: each part is opened without following a reparse point (a
// junction, a symbolic link, a mount point), refused when it is one, and held open without
// FILE_SHARE_DELETE, so that while it is held it cannot be renamed, removed or replaced by a link.
// Files are then named by full path below held folders, in the "\\?\" form (no length limit, no
// rewriting of names), and opened without following a reparse point either.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace vbuzip {

// An owned Windows handle (HANDLE, kept as void* so that this header needs no <windows.h>).
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(void* handle) : m_handle(handle) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(UniqueHandle&& other) noexcept
        : m_handle(std::exchange(other.m_handle, nullptr)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other)
            reset(std::exchange(other.m_handle, nullptr));
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    void* get() const { return m_handle; }
    // Null and INVALID_HANDLE_VALUE are both no handle.
    bool valid() const { return m_handle != nullptr && m_handle != reinterpret_cast<void*>(-1); }
    void* release() { return std::exchange(m_handle, nullptr); }
    void reset(void* handle = nullptr);

private:
    void* m_handle = nullptr;
};

// A folder held open, with its parent (held as long as it is).
struct HeldFolder {
    std::wstring path; // full, in the "\\?\" form, without a trailing backslash
    UniqueHandle handle;
    std::shared_ptr<const HeldFolder> parent;
};

using FolderRef = std::shared_ptr<const HeldFolder>;
using FileRef = UniqueHandle;

// The folders below the extraction folder held so far, by relative path; safe for several threads.
struct HeldFolders {
    std::mutex mutex;
    std::map<std::string, FolderRef> byPath;
};

// The full "\\?\" form of a UTF-8 path with "/" or "\" separators, relative to the current folder
// or absolute; empty when the system cannot make it full.
std::wstring fullWindowsPath(const std::string& path);
// The path of name in the held folder.
std::wstring childPath(const HeldFolder& folder, const std::string& name);

// The error left for a reparse point found where a folder or a file of the extraction is needed
// (ERROR_STOPPED_ON_SYMLINK): the path would lead out of the folder.
constexpr unsigned long UnsafeLinkError = 681;

// Opens the folder name in parent and holds it: nothing, with the thread's last error set, when it
// is missing (ERROR_FILE_NOT_FOUND), not a folder (ERROR_DIRECTORY) or a reparse point
// (UnsafeLinkError).
FolderRef holdChild(const FolderRef& parent, const std::string& name);

// Fails with the result code that fits a Windows error (the path leads out of the folder, the
// disk is full, or another reason to refuse a write).
[[noreturn]] void failSystem(unsigned long error, const std::string& what);

// The file's identity (its file index on its volume) and attributes, of an open handle.
struct FileFacts {
    uint64_t id = 0;
    uint32_t attributes = 0;
    uint32_t volume = 0;
};
std::optional<FileFacts> factsOf(void* handle);

// Opens what stands at path without following a reparse point, for reading its attributes (and,
// with forDelete, for removing or renaming it); shares everything. Nothing when it cannot.
UniqueHandle openEntry(const std::wstring& path, bool forDelete = false);

// Renames from to to, replacing to (read-only or not) when replace; durable once it returns
// (write-through). A rename refused because another program holds either file open is tried
// again for a while (see the .cpp). False with the thread's last error set.
bool moveFile(const std::wstring& from, const std::wstring& to, bool replace);
// Removes a file, read-only or not. False with the thread's last error set.
bool removeFile(const std::wstring& path);

// Writes all of data to the file; false with the thread's last error set.
bool writeAll(void* file, const char* data, size_t size);

} // namespace vbuzip
