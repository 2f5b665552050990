// Calls the engine library the way the program does: loaded with dlopen from the program folder
// and called through the function pointer types of its header, with recording callbacks.
#pragma once

#include "vbuzip10.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace fixtures {

struct ListedEntry {
    uint32_t compressedSize = 0, size = 0;
    int32_t ratio = 0, month = 0, day = 0, year = 0, hour = 0, minute = 0;
    std::string name, method;
    uint32_t crc = 0;
    uint8_t flags = 0;
};

// One engine call: what is passed, how the callbacks answer, and what they saw.
struct EngineRun {
    std::string archive;
    std::optional<std::string> folder; // nullopt passes a null pointer
    std::vector<std::string> include, exclude;
    bool listOnly = false, testOnly = false, onlyNewer = false, spaceToUnderscore = false,
         promptToOverwrite = false, overwriteExisting = true, useFolderNames = true,
         convertLineEnds = false, caseSensitive = false;
    int32_t messageLevel = UZ_MSG_NORMAL;

    std::function<int32_t(const std::string& file)> onReplace;
    std::function<std::optional<std::string>(const std::string& entry)> onPassword;
    std::function<int32_t(const std::string& entry)> onService;

    std::vector<std::string> messages;
    std::vector<std::string> serviced;
    std::vector<std::string> replaceAsked;
    std::vector<std::string> passwordAsked;
    std::vector<ListedEntry> listed;
    uint32_t engineArea[5] = {};
    bool callbackOnOtherThread = false;
    bool passwordBufferBad = false; // smaller than 255 bytes or not zero-filled

    std::string allMessages() const;
};

class Engine {
public:
    // Loads vbuzip10.dll from $VORN_PROGRAM_DIR; throws std::runtime_error when it cannot.
    Engine();
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    int32_t run(EngineRun& run);
    int32_t version(UnzipVersionInfo* info);

    // The staged-update entry points; stage() takes the archive, options and callbacks of run
    // (its folder is not used).
    int32_t begin(const std::string& folder, UnzipUpdate** update);
    int32_t stage(UnzipUpdate* update, EngineRun& run);
    int32_t progress(UnzipUpdate* update, UzProgressCallback callback);
    // With messages, its errors are added to messages->messages.
    int32_t commit(UnzipUpdate* update, EngineRun* messages = nullptr);
    int32_t discard(UnzipUpdate* update);
    int32_t recover(const std::string& folder, int32_t* report);
    // The raw entry point, for calls with invalid arguments.
    Wiz_SingleEntryUnzip_t unzip() const { return m_unzip; }

private:
    int32_t call(EngineRun& run,
                 const std::function<int32_t(int32_t, UnzipNameList*, int32_t, UnzipNameList*,
                                             UnzipOptions*, UnzipCallbacks*)>& entry);

    void* m_handle = nullptr;
    Wiz_SingleEntryUnzip_t m_unzip = nullptr;
    UzpVersion2_t m_version = nullptr;
    Vbz_UpdateBegin_t m_begin = nullptr;
    Vbz_UpdateStage_t m_stage = nullptr;
    Vbz_UpdateProgress_t m_progress = nullptr;
    Vbz_UpdateCommit_t m_commit = nullptr;
    Vbz_UpdateDiscard_t m_discard = nullptr;
    Vbz_UpdateRecover_t m_recover = nullptr;
};

} // namespace fixtures
