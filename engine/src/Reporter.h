// Calls the program's callbacks. Every call happens on the thread that entered the engine; a null
// callback is skipped. Texts handed out are NUL-terminated copies the callee may write into.
#pragma once

#include "vbuzip10.h"

#include <cstdint>
#include <optional>
#include <string>

namespace vbuzip {

struct ListValues {
    uint64_t compressedSize = 0;
    uint64_t size = 0;
    int32_t month = 0, day = 0, year = 0, hour = 0, minute = 0;
    std::string name;
    std::string method;
    uint32_t crc = 0;
    bool encrypted = false;
};

class Reporter {
public:
    Reporter(const UnzipCallbacks* callbacks, int32_t messageLevel);

    // Messages: errors are always printed, entry lines from UZ_MSG_NORMAL, details from
    // UZ_MSG_VERBOSE. A message is cut to fit the program's 1,023-byte limit.
    void error(const std::string& text);
    void entry(const std::string& text);
    void detail(const std::string& text);

    // ServiceCallback: true when the program asks to stop.
    bool serviceStop(const std::string& entryName);
    // ReplaceCallback: the program's answer (UZ_REPLACE_*); UZ_REPLACE_NO without a callback.
    int32_t askReplace(const std::string& fileName);
    // PasswordCallback: the password, or nothing when none is given.
    std::optional<std::string> askPassword(const std::string& entryName);
    void list(const ListValues& values);
    // The progress callback of a staging call (none by default): true when the program asks to
    // stop.
    void setProgress(UzProgressCallback progress) { m_progress = progress; }
    bool hasProgress() const { return m_progress != nullptr; }
    bool progressStop(uint64_t bytesWritten) const;

private:
    void print(std::string text);

    UnzipCallbacks m_callbacks{};
    int32_t m_level;
    UzProgressCallback m_progress = nullptr;
};

} // namespace vbuzip
