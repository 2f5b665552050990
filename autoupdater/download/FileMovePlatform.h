// The system's part of moving, copying and writing files safely (FileMove_<platform>.cpp). Paths
// are UTF-8 with "/" between the parts.
#pragma once

#include <optional>
#include <string>

// Flush a file's data, or a folder's entries, to disk. A failure only costs crash safety, so it is
// not reported.
void syncFileToDisk(const std::string& path);
void syncFolderToDisk(const std::string& path);

// Renames `source` to `destination`, replacing a file there in one step. Returns 0 on success,
// otherwise the system's error number (EXDEV when the two lie on different file systems).
int renameReplacing(const std::string& source, const std::string& destination);

// Removes a file; false when it cannot be removed (or is not there).
bool removeFile(const std::string& path);

// Why a file could not be written: the system's error number (0 when there is none) and the
// reason, in words.
struct WriteFailure {
    int systemError = 0;
    std::string reason;
};

// Makes a new file beside `destination` (in its folder, named after it with a unique ending) that
// holds the bytes of the file `source`, and puts its data on disk. Returns the new file's path,
// for a rename over the destination; on failure leaves no new file and tells why in `failure`.
std::optional<std::string> copyAside(const std::string& source, const std::string& destination,
                                     WriteFailure& failure);
// The same for a new file that holds `bytes`.
std::optional<std::string> writeAside(const std::string& bytes, const std::string& destination,
                                      WriteFailure& failure);
