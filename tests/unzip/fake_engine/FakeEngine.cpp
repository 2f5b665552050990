// A stand-in for the unzip engine library, built as vbuzip10.dll in its own folder.
#include <cstring>

#include "FakeEngineApi.h"

namespace {
FakeUnzipScript g_unzip = nullptr;
FakeVersionScript g_version = nullptr;
void* g_context = nullptr;
FakeUnzipCall g_last;
int32_t g_calls = 0;

std::optional<std::string> Copy(const char* text) {
    return text ? std::optional<std::string>(text) : std::nullopt;
}

std::vector<std::optional<std::string>> CopyList(const UnzipNameList* list) {
    std::vector<std::optional<std::string>> slots;
    for (const char* name : list->Names)
        slots.push_back(Copy(name));
    return slots;
}
} // namespace

extern "C" {

UZ_EXPORT int32_t UZ_CALL Wiz_SingleEntryUnzip(int32_t includeCount, UnzipNameList* include,
                                               int32_t excludeCount, UnzipNameList* exclude,
                                               UnzipOptions* options, UnzipCallbacks* callbacks) {
    ++g_calls;
    g_last = FakeUnzipCall();
    g_last.includeCount = includeCount;
    g_last.excludeCount = excludeCount;
    g_last.include = CopyList(include);
    g_last.exclude = CopyList(exclude);
    std::memcpy(g_last.numbers, options, sizeof g_last.numbers);
    g_last.archivePath = Copy(options->ArchivePath);
    g_last.extractFolder = Copy(options->ExtractFolder);
    g_last.fiveCallbacksSet = callbacks->Print && callbacks->Replace && callbacks->Password &&
                              callbacks->List && callbacks->Service;
    g_last.soundNull = callbacks->Sound == nullptr;
    g_last.engineAreaZero = true;
    for (uint32_t word : callbacks->EngineArea)
        g_last.engineAreaZero = g_last.engineAreaZero && word == 0;
    return g_unzip ? g_unzip(options, callbacks, g_context) : 0;
}

UZ_EXPORT int32_t UZ_CALL UzpVersion2(UnzipVersionInfo* version) {
    if (g_version)
        g_version(version, g_context);
    return 0;
}

UZ_EXPORT void FakeEngine_SetScripts(FakeUnzipScript unzip, FakeVersionScript version,
                                     void* context) {
    g_unzip = unzip;
    g_version = version;
    g_context = context;
}

UZ_EXPORT const FakeUnzipCall* FakeEngine_LastCall() {
    return &g_last;
}

UZ_EXPORT int32_t FakeEngine_CallCount() {
    return g_calls;
}
}
