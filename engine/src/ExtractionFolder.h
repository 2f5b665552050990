// The extraction folder of one call and every file system operation an extraction makes in it.
// Paths are relative to the folder, with "/" between their parts, and never lead out of it (no
// "..", no link pointing outside). Failures throw Failure.
#pragma once

#include "SafeFs.h"
#include "WritebackStarter.h"
#ifdef _WIN32
#include "SafeFs_windows.h"
#else
#include "SafeFs_linux.h"
#endif

#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
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
    // Gives the file its permission bits (on Windows: read-only without the owner's write bit) and
    // modification time, makes it durable where the system has no later sync of the whole file
    // system, and closes it; returns its identity (inode, or file index).
    uint64_t finish(uint32_t permissions, time_t mtime);

private:
    friend class ExtractionFolder;
    StagedFile(FolderRef dir, FileRef out, std::string temp, std::string path);

    FolderRef m_dir;
    FileRef m_out;
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
#ifdef _WIN32
    ~ExtractionFolder(); // removes the lock file
#endif
    ExtractionFolder(const ExtractionFolder&) = delete;
    ExtractionFolder& operator=(const ExtractionFolder&) = delete;

    // The folder's path as the program gave it.
    const std::string& path() const {
        return m_folder;
    }
#ifdef _WIN32
    // The folder, held open.
    const HeldFolder& root() const {
        return *m_root;
    }
    // The folder path below it, held open after every part was found to be a folder and none a
    // link (a reparse point); nothing, with the thread's last error set, when it cannot be.
    FolderRef hold(const std::string& path) const;
    // Lets go of the folder path (and those below it) before it is removed.
    void release(const std::string& path) const;
#else
    // The folder, open.
    int rootFd() const {
        return m_root.get();
    }
#endif

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
    std::string m_folder;
    FolderRef m_root;
    std::vector<std::string> m_createdParents;
#ifdef _WIN32
    FileRef m_lock;                      // the lock file, locked
    std::unique_ptr<HeldFolders> m_held; // the folders below held open so far, by path
#else
    void noteFileSystem(int dirFd);
    std::map<uint64_t, UniqueFd> m_fileSystems; // one folder on each file system written to
#endif
};

// Fails with the result code that fits errno (the path leads out of the folder, the disk is full,
// or another reason to refuse a write).
[[noreturn]] void failPath(int error, const std::string& what);

} // namespace vbuzip
