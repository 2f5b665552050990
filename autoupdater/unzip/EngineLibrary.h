// Loading the engine library: the system's own calls (dlopen on Linux, LoadLibraryExW on Windows)
// behind one small interface. A library is always opened by its full path, never by a bare name
// that the system would search for.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace mUnzip {

class EngineLibrary {
public:
    // An entry point as the library hands it out. The caller casts it to the entry's own type
    // (the engine header's, with its calling convention) before it calls it.
    using Entry = void (*)();

    // Opens the library file at `path` (UTF-8, the full path with "/" between the parts). Null
    // when the system cannot load it, with the system's reason in `reason`.
    static std::unique_ptr<EngineLibrary> Open(const std::string& path, std::string& reason);
    // Closes the library: none of its entries may be called afterwards.
    ~EngineLibrary();
    EngineLibrary(const EngineLibrary&) = delete;
    EngineLibrary& operator=(const EngineLibrary&) = delete;

    // The entry point `name`, or null when the library has none.
    Entry Find(const char* name) const;

private:
    explicit EngineLibrary(void* handle) : m_handle(handle) {}
    void* m_handle;
};

// The folders searched for the engine when SetEngineFolders was never called, in order (UTF-8,
// "/" between the parts): the executable's folder, then ~/.local/lib on Linux and the system
// directory on Windows.
std::vector<std::string> DefaultEngineFolders();

} // namespace mUnzip
