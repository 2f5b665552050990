#include "download/UpdateDownload.h"

#include <filesystem>
#include <system_error>
#include <vector>

#include "AppError.h"
#include "core/Paths.h"
#include "core/Text.h"
#include "download/DL.h"

namespace fs = std::filesystem;

namespace {
const std::string kUpdates = "updates";

// Whether the program folder holds an entry named "updates" in any letter case, folder or file.
bool updatesEntryPresent(const std::string& programFolder) {
    std::error_code error;
    for (fs::directory_iterator it(FsPath(programFolder), error), end; !error && it != end;
         it.increment(error)) {
        std::error_code ignored;
        const fs::file_status status = it->status(ignored); // a link counts as what it leads to
        if ((fs::is_directory(status) || fs::is_regular_file(status)) &&
            AsciiLower(Utf8Path(it->path().filename())) == kUpdates)
            return true;
    }
    return false;
}

void createFolder(const std::string& path) {
    std::error_code error;
    fs::create_directory(FsPath(path), error);
    if (!error)
        return;
    if (error == std::errc::no_such_file_or_directory)
        throw AppError(AppError::PathNotFound, "Path not found");
    throw AppError(AppError::PathFileAccessError, "Path/File access error");
}

// The path with one "/" between its parts, without "." parts and with each ".." taken back with
// the part before it (one at the start stays, also after the root); no "/" at its end but the
// root's.
std::string cleanPath(const std::string& path) {
    const bool rooted = path.starts_with('/');
    std::vector<std::string> parts;
    for (const std::string& part : Split(path, '/')) {
        if (part.empty() || part == ".")
            continue;
        if (part == ".." && !parts.empty() && parts.back() != "..")
            parts.pop_back();
        else
            parts.push_back(part);
    }
    const std::string joined = Join(parts, "/");
    return rooted ? "/" + joined : joined;
}

// programFolder/updates/Filename, checked to name a file directly inside the updates folder:
// a name that holds a path cannot make the download land anywhere else.
std::string updatesDestination(const std::string& programFolder, const std::string& Filename) {
    const std::string updates = cleanPath(programFolder + '/' + kUpdates);
    const std::string destination = cleanPath(updates + '/' + Filename);
    const std::size_t slash = destination.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : destination.substr(0, slash);
    const std::string name = destination.substr(slash == std::string::npos ? 0 : slash + 1);
    if (folder != updates || name != Filename)
        throw AppError(AppError::BadFileName,
                       Format("Bad file name: '%1' is not a file of %2", {destination, updates}));
    return destination;
}
} // namespace

void Download_File(DL& dl, const std::string& programFolder, const std::string& baseURL,
                   const std::string& Filename, bool isPackage) {
    dl.setCurrentFile(Filename);
    const std::string destination = updatesDestination(programFolder, Filename);
    EnsureUpdatesFolder(programFolder);
    dl.Download(baseURL + Filename, destination, "Id",
                isPackage ? AsyncReadService::ZipArchiveOnly : 0);
}

void EnsureUpdatesFolder(const std::string& programFolder) {
    if (!updatesEntryPresent(programFolder))
        createFolder(programFolder + "/updates");
}
