// Moving a received file to its place, replacing what is there.
#pragma once

#include <string>

// Moves `source` to `destination`, replacing a file already there. Anyone reading the destination
// sees either the old file or the whole new one, never a part, also after a crash. Works across
// file systems: the file is then copied to a temporary file in the destination's folder, flushed to
// disk and renamed over the destination, and the source is removed. Fails, leaving both files as
// they were, when the destination's folder does not exist or the destination is a folder.
// On failure returns false and, when `error` is given, the reason; when `systemError` is given, the
// system's error number behind it: 0 only when the destination has no place (its folder is
// missing, or a folder stands at it); EIO for a write that failed without a number.
bool moveReplacing(const std::string& source, const std::string& destination,
                   std::string* error = nullptr, int* systemError = nullptr);

// The cross-file-system part of moveReplacing on its own: copies `source` over `destination` the
// same safe way and leaves `source` in place.
bool copyReplacing(const std::string& source, const std::string& destination,
                   std::string* error = nullptr, int* systemError = nullptr);
