// Test side of the fake engine: loads the same library file the engine interface is pointed at and
// routes its calls to std::function scripts of the running test.
#pragma once

#include <QStringList>
#include <dlfcn.h>
#include <functional>
#include <gtest/gtest.h>

#include "FakeEngineApi.h"
#include "mUnzip.h"

class FakeEngine {
public:
    FakeEngine() {
        SetEngineFolders({QStringLiteral(VORN_FAKE_ENGINE_DIR)});
        m_library = dlopen(VORN_FAKE_ENGINE_DIR "/" UZ_LIBRARY_NAME, RTLD_NOW | RTLD_LOCAL);
        EXPECT_NE(m_library, nullptr) << dlerror();
        m_setScripts = reinterpret_cast<decltype(&FakeEngine_SetScripts)>(
            dlsym(m_library, "FakeEngine_SetScripts"));
        m_lastCall = reinterpret_cast<decltype(&FakeEngine_LastCall)>(
            dlsym(m_library, "FakeEngine_LastCall"));
        m_callCount = reinterpret_cast<decltype(&FakeEngine_CallCount)>(
            dlsym(m_library, "FakeEngine_CallCount"));
        m_setScripts(&RunUnzip, &RunVersion, this);
    }
    ~FakeEngine() {
        m_setScripts(nullptr, nullptr, nullptr);
        dlclose(m_library);
    }
    FakeEngine(const FakeEngine&) = delete;
    FakeEngine& operator=(const FakeEngine&) = delete;

    // What the next engine calls do; the unzip script's result is the engine's result.
    std::function<int32_t(UnzipOptions&, UnzipCallbacks&)> onUnzip;
    std::function<void(UnzipVersionInfo&)> onVersion;

    const FakeUnzipCall& last() const { return *m_lastCall(); }
    int calls() const { return m_callCount(); }

private:
    static int32_t RunUnzip(UnzipOptions* options, UnzipCallbacks* callbacks, void* context) {
        auto* self = static_cast<FakeEngine*>(context);
        return self->onUnzip ? self->onUnzip(*options, *callbacks) : 0;
    }
    static void RunVersion(UnzipVersionInfo* info, void* context) {
        auto* self = static_cast<FakeEngine*>(context);
        if (self->onVersion)
            self->onVersion(*info);
    }

    void* m_library = nullptr;
    decltype(&FakeEngine_SetScripts) m_setScripts = nullptr;
    decltype(&FakeEngine_LastCall) m_lastCall = nullptr;
    decltype(&FakeEngine_CallCount) m_callCount = nullptr;
};
