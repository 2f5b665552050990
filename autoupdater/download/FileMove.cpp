#include "download/FileMove.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "core/Paths.h"
#include "core/Text.h"
#include "download/FileMovePlatform.h"

namespace fs = std::filesystem;

namespace {
bool failWith(std::string* error, const std::string& reason) {
    if (error)
        *error = reason;
    return false;
}

bool failWith(std::string* error, int* systemError, int code, const std::string& reason) {
    if (systemError)
        *systemError = code != 0 ? code : EIO;
    return failWith(error, reason);
}

std::string folderOf(const std::string& path) {
    std::error_code ignored;
    return Utf8Path(fs::absolute(FsPath(path), ignored).parent_path());
}

bool checkDestination(const std::string& destination, std::string* error) {
    std::error_code ignored;
    const fs::path target = FsPath(destination);
    if (!fs::is_directory(FsPath(folderOf(destination)), ignored))
        return failWith(error, Format("the folder of '%1' does not exist", {destination}));
    if (fs::is_directory(target, ignored) && !fs::is_symlink(fs::symlink_status(target, ignored)))
        return failWith(error, Format("'%1' is a folder", {destination}));
    return true;
}

std::string systemErrorReason(int code) {
    return std::generic_category().message(code);
}
} // namespace

bool copyReplacing(const std::string& source, const std::string& destination, std::string* error,
                   int* systemError) {
    if (systemError)
        *systemError = 0;
    if (!checkDestination(destination, error))
        return false;
    // The copy is flushed to disk beside the destination before it is renamed over it.
    WriteFailure failure;
    const std::optional<std::string> aside = copyAside(source, destination, failure);
    if (!aside)
        return failWith(error, systemError, failure.systemError, failure.reason);
    const int code = renameReplacing(*aside, destination);
    if (code != 0) {
        removeFile(*aside);
        return failWith(error, systemError, code, systemErrorReason(code));
    }
    syncFolderToDisk(folderOf(destination));
    return true;
}

bool moveReplacing(const std::string& source, const std::string& destination, std::string* error,
                   int* systemError) {
    if (systemError)
        *systemError = 0;
    if (!checkDestination(destination, error))
        return false;
    std::error_code ignored;
    if (!fs::is_regular_file(FsPath(source), ignored))
        return failWith(error, Format("'%1' is not a file", {source}));
    // The data must be on disk before the new name is, or a crash could leave an empty file there.
    syncFileToDisk(source);
    const int code = renameReplacing(source, destination);
    if (code == 0) {
        syncFolderToDisk(folderOf(destination));
        return true;
    }
    if (code != EXDEV)
        return failWith(error, systemError, code, systemErrorReason(code));
    if (!copyReplacing(source, destination, error, systemError))
        return false;
    removeFile(source);
    return true;
}
