// The system's part of replacing a small file durably (SmallFiles_<platform>.cpp, which also holds
// syncFolder() of SmallFiles.h).
#pragma once

#include <string>

// Whether this process may write the file at `path`, which is there.
bool fileWritable(const std::string& path);

enum class NewFile {
    Written, // made, holding the contents, flushed to disk and closed
    Exists,  // nothing made: something is there already
    Failed,  // nothing left at the path; the reason given
};

// Creates the file `path`, which must not be there yet, holding `contents`, flushed to disk. It
// gets the permissions of the file `permissionsOf` when that is not empty (until then only its
// owner may read it), else those of any new file.
NewFile writeNewFile(const std::string& path, const std::string& contents,
                     const std::string& permissionsOf, std::string* error);
