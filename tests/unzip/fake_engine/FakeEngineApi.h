// Control interface of the fake engine library used by the engine-interface tests: it records what
// each Wiz_SingleEntryUnzip call receives and hands the call to a script of the test, which calls
// back through the table it was given.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vbuzip10.h"

// A copy of everything one Wiz_SingleEntryUnzip call received.
struct FakeUnzipCall {
    int32_t includeCount = 0;
    int32_t excludeCount = 0;
    std::vector<std::optional<std::string>> include; // all slots; nullopt for a null pointer
    std::vector<std::optional<std::string>> exclude;
    int32_t numbers[15] = {}; // the numeric fields of the options record, in order
    std::optional<std::string> archivePath;
    std::optional<std::string> extractFolder;
    bool fiveCallbacksSet = false; // print, replace, password, list and service not null
    bool soundNull = false;
    bool engineAreaZero = false;
};

using FakeUnzipScript = int32_t (*)(UnzipOptions* options, UnzipCallbacks* callbacks,
                                    void* context);
using FakeVersionScript = void (*)(UnzipVersionInfo* info, void* context);

extern "C" {
UZ_EXPORT void FakeEngine_SetScripts(FakeUnzipScript unzip, FakeVersionScript version,
                                     void* context);
UZ_EXPORT const FakeUnzipCall* FakeEngine_LastCall();
UZ_EXPORT int32_t FakeEngine_CallCount();
}
