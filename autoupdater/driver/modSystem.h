// Small system queries of the update driver.
#pragma once

#include <string>

// The system directory where the engine library is installed and searched for, without a
// trailing separator (on Linux the per-user library folder ~/.local/lib, which may not exist yet;
// on Windows the system's own).
std::string Get_SystemDir();

// True when a plain file is found at sPath, as a file search finds it: '*' and '?' match in the
// last path component; only plain entries count (regular files that are not hidden); a path that
// ends with a separator is true when that folder holds any plain file. A path that cannot be
// searched is false.
bool File_Exists(const std::string& sPath);

// True when sPath, taken literally, is a regular file or a link to one. Unlike File_Exists there
// are no wildcards and a leading dot hides nothing: a file that the updater wrote is found.
bool IsPlainFileAt(const std::string& sPath);

// The name of the entry found at sPath, folders included, or an empty text when none is found.
std::string FindEntryName(const std::string& sPath);

// Copies sSource to sDestination so that a reader sees either no file / the old file or the whole
// new one: written to a temporary file beside the destination, synced, then renamed over it. The
// destination's folder is created when missing. Returns false with a reason on failure (and, when
// systemError is given, the system's error number behind it, or 0).
bool CopyFileSafely(const std::string& sSource, const std::string& sDestination,
                    std::string* reason, int* systemError = nullptr);
