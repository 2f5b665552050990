// Reading and durably replacing the small files of signed updates (keys, signatures, the record),
// and reading a larger file in pieces (a package whose signature is checked).
#pragma once

#include <cstdint>
#include <fstream>
#include <string>

// Reads the whole file at `path`, which must hold at most `maxBytes` bytes. On failure returns
// false with the reason.
bool readSmallFile(const std::string& path, std::int64_t maxBytes, std::string* contents,
                   std::string* error);

// Replaces the file at `path` with `contents`: written to a temporary file beside it, flushed to
// disk, renamed over it, and the folder flushed, so that after a crash either the old or the new
// file is there, whole. A symbolic link at `path` stays; the file it leads to is replaced. On
// failure returns false with the reason and leaves the old file.
bool replaceSmallFile(const std::string& path, const std::string& contents, std::string* error);

// Flushes the entries of the folder at `path` to disk, so that a file just renamed into it keeps
// its new name after a crash. False when the folder cannot be opened or flushed.
bool syncFolder(const std::string& path);

// A file read from its start in pieces, each one straight into the caller's buffer.
class FileReader {
public:
    // Opens the file at `path`. On failure returns false with the reason.
    bool open(const std::string& path, std::string* error);

    // Reads up to `size` bytes into `buffer`: how many were read, fewer only at the end of the
    // file (0 there), or -1 with the reason.
    std::int64_t read(char* buffer, std::int64_t size, std::string* error);

private:
    std::ifstream m_file;
};
