// A stand-in for the unzip engine library, built as vbuzip10.dll in its own folder.
#include "FakeEngineApi.h"

namespace {
FakeUnzipScript g_unzip = nullptr;
FakeVersionScript g_version = nullptr;
void* g_context = nullptr;
} // namespace

extern "C" {
UZ_EXPORT int32_t UZ_CALL Wiz_SingleEntryUnzip(int32_t includeCount, UnzipNameList* include,
                                               int32_t excludeCount, UnzipNameList* exclude,
                                               UnzipOptions* options, UnzipCallbacks* callbacks) {
    return g_unzip ? g_unzip(includeCount, include, excludeCount, exclude, options, callbacks,
                             g_context)
                   : 0;
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
}
