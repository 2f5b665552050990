// The single-update lock: only one update may run on a program folder at a time.
//
// The lock is an advisory lock on the file ".vorn-updater.lock" in the program folder (on Windows
// a byte-range lock of the whole file). It is held for as long as the UpdateLock object lives, and
// the system releases it when the process ends, however it ends (also after TerminateNow or a
// kill). The file itself stays. Programs the updater starts do not inherit the lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class UpdateLock {
public:
    enum class Failure {
        None,
        Busy,       // another process holds the lock
        CannotOpen, // the lock file cannot be created or opened
        CannotLock, // the system refused the lock for another reason
    };

    static inline const std::string FileName = ".vorn-updater.lock";

    // Takes the lock of programFolder (UTF-8, "/" separators). Returns null when that fails, with
    // a description of why in *error and the kind of failure in *failure (both optional).
    static std::unique_ptr<UpdateLock> acquire(const std::string& programFolder, std::string* error,
                                               Failure* failure = nullptr);

    UpdateLock(const UpdateLock&) = delete;
    UpdateLock& operator=(const UpdateLock&) = delete;
    ~UpdateLock();

    const std::string& filePath() const { return m_filePath; }

private:
    // handle: the platform's open file (a descriptor on Linux, a HANDLE on Windows).
    UpdateLock(std::string filePath, std::intptr_t handle)
        : m_filePath(std::move(filePath)), m_handle(handle) {}

    std::string m_filePath;
    std::intptr_t m_handle;
};
