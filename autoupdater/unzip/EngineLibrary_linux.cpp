// Loading the engine library on Linux: dlopen.
#include "unzip/EngineLibrary.h"

#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <system_error>

#include "core/Paths.h"
#include "core/Text.h"

namespace mUnzip {

std::unique_ptr<EngineLibrary> EngineLibrary::Open(const std::string& path, std::string& reason) {
    // A path with a "/" in it is loaded from there; dlopen searches only for a bare name.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* text = dlerror();
        reason = ValidUtf8(text ? text : "");
        return nullptr;
    }
    reason.clear();
    return std::unique_ptr<EngineLibrary>(new EngineLibrary(handle));
}

EngineLibrary::~EngineLibrary() {
    dlclose(m_handle);
}

EngineLibrary::Entry EngineLibrary::Find(const char* name) const {
    return reinterpret_cast<Entry>(dlsym(m_handle, name));
}

std::vector<std::string> DefaultEngineFolders() {
    std::error_code error;
    const std::filesystem::path executable =
        std::filesystem::canonical(std::filesystem::path("/proc/self/exe"), error);
    const std::string programFolder = error ? std::string() : Utf8Path(executable.parent_path());
    // The home folder is $HOME, or the root when it is unset or empty.
    const char* home = std::getenv("HOME");
    std::string homeFolder = home && *home ? home : "/";
    while (homeFolder.size() > 1 && homeFolder.back() == '/')
        homeFolder.pop_back();
    return {programFolder, homeFolder + "/.local/lib"};
}

} // namespace mUnzip
