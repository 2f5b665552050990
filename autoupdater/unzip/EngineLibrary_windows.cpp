// Loading the engine library on Windows: LoadLibraryExW on the full path, so that the library is
// never searched for by its bare name (and the libraries it needs are looked for beside it first).
#include "unzip/EngineLibrary.h"

#include <windows.h>

#include <filesystem>

#include "core/Paths.h"
#include <vorn/SystemMessage_windows.h>
#include <vorn/Utf16_windows.h>

namespace mUnzip {

namespace {

// The system's text for an error number, without its line end, with `path` for its "%1" (as in
// "%1 is not a valid Win32 application.").
std::string SystemMessage(DWORD code, const std::string& path) {
    std::string message = ::SystemMessage(code);
    const std::size_t insert = message.find("%1");
    if (insert != std::string::npos)
        message.replace(insert, 2, path);
    return message;
}

// The path that a system call fills into a buffer of wide characters (GetModuleFileNameW,
// GetSystemDirectoryW), in the UTF-8 form with "/" between the parts; empty on failure.
template <typename Fill> std::string SystemPath(Fill&& fill) {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = fill(buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return {};
        if (length < buffer.size()) {
            buffer.resize(length);
            return Utf8Path(std::filesystem::path(buffer));
        }
        if (buffer.size() >= 32768)
            return {};
        buffer.resize(buffer.size() * 2);
    }
}

} // namespace

std::unique_ptr<EngineLibrary> EngineLibrary::Open(const std::string& path, std::string& reason) {
    // The full path with backslashes: LOAD_WITH_ALTERED_SEARCH_PATH is defined only for a full
    // path, and the loader takes "/" for part of a name.
    const std::wstring wide = WindowsPath(path);
    const DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (size == 0) {
        reason = SystemMessage(GetLastError(), path);
        return nullptr;
    }
    std::wstring full(size, L'\0');
    const DWORD length = GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size) {
        reason = SystemMessage(GetLastError(), path);
        return nullptr;
    }
    full.resize(length);
    HMODULE handle = LoadLibraryExW(full.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!handle) {
        reason = SystemMessage(GetLastError(), path);
        return nullptr;
    }
    reason.clear();
    return std::unique_ptr<EngineLibrary>(new EngineLibrary(handle));
}

EngineLibrary::~EngineLibrary() {
    FreeLibrary(static_cast<HMODULE>(m_handle));
}

EngineLibrary::Entry EngineLibrary::Find(const char* name) const {
    // Only the common form: the caller casts to the entry's own type and calling convention.
    return reinterpret_cast<Entry>(GetProcAddress(static_cast<HMODULE>(m_handle), name));
}

std::vector<std::string> DefaultEngineFolders() {
    const std::string executable = SystemPath(
        [](wchar_t* buffer, DWORD size) { return GetModuleFileNameW(nullptr, buffer, size); });
    const std::size_t slash = executable.rfind('/');
    const std::string programFolder =
        slash == std::string::npos ? std::string() : executable.substr(0, slash);
    const std::string systemFolder =
        SystemPath([](wchar_t* buffer, DWORD size) { return GetSystemDirectoryW(buffer, size); });
    return {programFolder, systemFolder};
}

} // namespace mUnzip
