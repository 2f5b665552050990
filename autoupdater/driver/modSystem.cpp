// The system queries that need no platform code of their own.
#include "driver/modSystem.h"

#include <filesystem>

#include "core/Paths.h"
#include "core/Text.h"
#include "download/FileMove.h"

namespace fs = std::filesystem;

bool IsPlainFileAt(const std::string& sPath) {
    std::error_code error;
    return !sPath.empty() && fs::is_regular_file(FsPath(sPath), error);
}

std::string FindEntryName(const std::string& sPath) {
    const std::size_t slash = sPath.rfind('/');
    const std::string wanted = sPath.substr(slash == std::string::npos ? 0 : slash + 1);
    if (wanted.empty() || wanted == "." || wanted == "..")
        return {};
    const std::string folder = slash == std::string::npos ? "." : sPath.substr(0, slash + 1);
    std::error_code error;
    std::string found;
    for (fs::directory_iterator it(FsPath(folder), error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = Utf8Path(it->path().filename());
        // The exact name first, as a file system search would report it; otherwise any case.
        if (name == wanted)
            return name;
        if (found.empty() && EqualsNoCase(name, wanted))
            found = name;
    }
    return found;
}

bool CopyFileSafely(const std::string& sSource, const std::string& sDestination,
                    std::string* reason, int* systemError) {
    if (systemError)
        *systemError = 0;
    const fs::path destination = FsPath(sDestination);
    const fs::path folder = fs::absolute(destination).parent_path();
    std::error_code error;
    fs::create_directories(folder, error);
    if (error || !fs::is_directory(folder, error)) {
        *reason = "cannot create the folder " + Utf8Path(folder);
        return false;
    }
    if (!copyReplacing(sSource, sDestination, reason, systemError))
        return false;
    const fs::perms permissions = fs::status(FsPath(sSource), error).permissions();
    if (!error)
        fs::permissions(destination, permissions, error);
    return true;
}
