// The extraction folder of one call and every file system operation an extraction makes in it.
// Paths are relative to the folder, with "/" between their parts, and never lead out of it (no
// "..", no link pointing outside). Failures throw Failure.
#pragma once

#include "SafeFs.h"
#include "WritebackStarter.h"

#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vbuzip {

// A new temporary file in the target's folder that receives the data of one entry. Removed
// again unless it is finished.
class StagedFile {
public:
    StagedFile(StagedFile&&) = default;
    ~StagedFile();

    void write(const char* data, size_t size);
    // Gives the file its permission bits and modification time and closes it; returns its inode.
    uint64_t finish(uint32_t permissions, time_t mtime);

private:
    friend class ExtractionFolder;
    StagedFile(UniqueFd dir, UniqueFd out, std::string temp, std::string path);

    UniqueFd m_dir;
    UniqueFd m_out;
    std::string m_temp;
    std::string m_path;
    WritebackStarter m_writeback;
    bool m_finished = false;
};

class ExtractionFolder {
public:
    // Opens the folder, creating it and its missing parents, and locks it against a second
    // update of it at the same time: waits for the lock, or fails with UZ_ERR_BUSY (wait false).
    ExtractionFolder(const std::string& folder, bool wait);
    ExtractionFolder(const ExtractionFolder&) = delete;
    ExtractionFolder& operator=(const ExtractionFolder&) = delete;

    // The folder, open, and its path as the program gave it.
    int rootFd() const { return m_root.get(); }
    const std::string& path() const { return m_folder; }

    // Removes again the folder and parents the constructor created (when they are empty).
    void removeCreatedParents();

    // Whether the folder path exists (false when it is missing); fails when a file stands there.
    bool hasFolder(const std::string& path) const;

    // What stands at path, without following a link, or nothing.
    struct Existing {
        bool isFolder = false;
        std::optional<uint32_t> permissions; // of a regular file
        time_t mtime = 0;
    };
    std::optional<Existing> existing(const std::string& path) const;

    // The allocation unit and the bytes free for the caller, or nothing when unknown.
    struct Space {
        uint64_t block = 0;
        long double available = 0;
    };
    std::optional<Space> freeSpace() const;

    // Creates the folder path, whose parent exists, with the given permission bits; leaves one
    // that exists already as it is. True when it was created.
    bool createFolder(const std::string& path, std::optional<uint32_t> permissions);

    // The new file temp in the folder of path, which receives the data of the entry written to
    // path. Safe to call from several threads.
    StagedFile stage(const std::string& path, const std::string& temp) const;

    // Removes the staged file temp of path, and the folder path when it is empty.
    void removeStaged(const std::string& path, const std::string& temp) const;
    void removeFolder(const std::string& path) const;

    // Sets the modification time of what stands at path (a link itself, never its target);
    // returns why it could not, or "".
    std::string setTime(const std::string& path, time_t mtime) const;

    // Makes everything written in the folder of path (and on its file system) durable.
    void noteWritten(const std::string& path);
    void sync();

private:
    void noteFileSystem(int dirFd);

    std::string m_folder;
    UniqueFd m_root;
    std::vector<std::string> m_createdParents;
    std::map<uint64_t, UniqueFd> m_fileSystems; // one folder on each file system written to
};

// Fails with the result code that fits errno (the path leads out of the folder, the disk is full,
// or another reason to refuse a write).
[[noreturn]] void failPath(int error, const std::string& what);

} // namespace vbuzip
