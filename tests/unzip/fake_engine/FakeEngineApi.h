// The fake engine library of the engine-interface tests: both entry points hand each call to a
// script of the running test, which checks what it got and calls back through the table.
#pragma once

#include "vbuzip10.h"

using FakeUnzipScript = int32_t (*)(int32_t includeCount, UnzipNameList* include,
                                    int32_t excludeCount, UnzipNameList* exclude,
                                    UnzipOptions* options, UnzipCallbacks* callbacks,
                                    void* context);
using FakeVersionScript = void (*)(UnzipVersionInfo* info, void* context);

extern "C" UZ_EXPORT void FakeEngine_SetScripts(FakeUnzipScript unzip, FakeVersionScript version,
                                                void* context);
