// The extraction folder of one call and every file system operation an extraction makes in it.
// Paths are relative to the folder, with "/" between their parts, and never lead out of it (no
// "..", no link pointing outside). Every change is entered in the call's change record; failures
// throw Failure.
#pragma once

#include "Changes.h"
#include "SafeFs.h"
#include "WritebackStarter.h"

#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <string>

namespace vbuzip {

// A new temporary file in the target's folder that receives the data of one entry. Removed
// again unless it is finished.
class StagedFile {
public:
    StagedFile(StagedFile&&) = default;
    ~StagedFile();

    void write(const char* data, size_t size);
    // Gives the file its permission bits and modification time and closes it; returns its name in
    // the target's folder.
    std::string finish(uint32_t permissions, time_t mtime);

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
    // Opens the folder, creating it and its missing parents, and locks it against a second call
    // working on it at the same time.
    ExtractionFolder(const std::string& folder, Changes& changes);
    ExtractionFolder(const ExtractionFolder&) = delete;
    ExtractionFolder& operator=(const ExtractionFolder&) = delete;

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

    // Removes the temporary files a killed call left in the folder path; returns how many.
    int removeLeftovers(const std::string& path) const;

    // Creates the folder path, whose parent exists, with the given permission bits; leaves one
    // that exists already as it is.
    void createFolder(const std::string& path, std::optional<uint32_t> permissions);

    // A staging file for the entry written to path. Safe to call from several threads.
    StagedFile stage(const std::string& path) const;

    // Moves the staged file temp in place of path. An existing file is swapped with it in one
    // step, so that its old contents stay under a temporary name until the call succeeds.
    void putInPlace(const std::string& path, const std::string& temp);

    // Sets the modification time of what stands at path (a link itself, never its target);
    // returns why it could not, or "".
    std::string setTime(const std::string& path, time_t mtime) const;

    // Makes everything written durable.
    void sync();

private:
    int rootFd() const { return m_changes.rootFd(); }
    std::string replace(int dir, const std::string& path, const std::string& temp);
    void noteFileSystem(int dirFd);

    const std::string& m_folder;
    Changes& m_changes;
    mutable TempNames m_temps;
    UniqueFd m_dir; // the folder of the latest putInPlace
    std::optional<std::string> m_dirPath;
    std::map<uint64_t, UniqueFd> m_fileSystems; // one folder on each file system written to
};

} // namespace vbuzip
