#include "EngineHarness.h"
#include "EngineCallRecords.h"

#include <cstdlib>
#include <cstring>
#ifdef _WIN32
#include <vorn/SystemMessage_windows.h>
#include <windows.h>
#else
#include <dlfcn.h>
#endif
#include <memory>
#include <stdexcept>
#include <thread>

namespace fixtures {

namespace {

// The callbacks carry no user pointer: the run in progress is kept here (one call at a time).
EngineRun* current = nullptr;
std::thread::id callerThread;

void checkThread() {
    if (std::this_thread::get_id() != callerThread)
        current->callbackOnOtherThread = true;
}

int32_t UZ_CALL printCallback(char* text, uint32_t length) {
    checkThread();
    current->messages.emplace_back(text, length);
    return 0;
}

int32_t UZ_CALL replaceCallback(char* file) {
    checkThread();
    current->replaceAsked.emplace_back(file);
    return current->onReplace ? current->onReplace(file) : UZ_REPLACE_NO;
}

int32_t UZ_CALL passwordCallback(char* buffer, int32_t size, char*, char* entry) {
    checkThread();
    current->passwordAsked.emplace_back(entry);
    if (size < 255)
        current->passwordBufferBad = true;
    for (int32_t i = 0; i < size; ++i) {
        if (buffer[i] != 0)
            current->passwordBufferBad = true;
    }
    std::optional<std::string> password;
    if (current->onPassword)
        password = current->onPassword(entry);
    if (!password)
        return 1;
    // Like the program: at most 254 bytes and no terminating NUL.
    std::memcpy(buffer, password->data(), std::min<size_t>(password->size(), 254));
    return 0;
}

void UZ_CALL listCallback(uint32_t compressedSize, uint32_t size, int32_t ratio, int32_t month,
                          int32_t day, int32_t year, int32_t hour, int32_t minute, uint8_t,
                          char* name, char* method, uint32_t crc, uint8_t flags) {
    checkThread();
    current->listed.push_back(
        {compressedSize, size, ratio, month, day, year, hour, minute, name, method, crc, flags});
}

int32_t UZ_CALL serviceCallback(char* entry, uint32_t count) {
    checkThread();
    current->serviced.emplace_back(entry, strnlen(entry, count));
    return current->onService ? current->onService(current->serviced.back()) : 0;
}

} // namespace

std::string EngineRun::allMessages() const {
    std::string all;
    for (const std::string& m : messages)
        all += m;
    return all;
}

namespace {

// The library by its full path, and its entry points by name.
void* loadLibrary(const std::string& path) {
#ifdef _WIN32
    void* handle = LoadLibraryW(WindowsPath(path).c_str());
    if (!handle)
        throw std::runtime_error("cannot load engine " + path + ": " +
                                 SystemMessage(GetLastError()));
#else
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        throw std::runtime_error(std::string("cannot load engine: ") + dlerror());
#endif
    return handle;
}

void* entryPoint(void* library, const char* name) {
#ifdef _WIN32
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
#else
    return dlsym(library, name);
#endif
}

} // namespace

Engine::Engine() {
    const char* dir = std::getenv("VORN_PROGRAM_DIR");
    m_handle = loadLibrary(std::string(dir && *dir ? dir : ".") + "/" + UZ_LIBRARY_NAME);
    m_unzip =
        reinterpret_cast<Wiz_SingleEntryUnzip_t>(entryPoint(m_handle, "Wiz_SingleEntryUnzip"));
    m_version = reinterpret_cast<UzpVersion2_t>(entryPoint(m_handle, "UzpVersion2"));
    m_begin = reinterpret_cast<Vbz_UpdateBegin_t>(entryPoint(m_handle, "Vbz_UpdateBegin"));
    m_stage = reinterpret_cast<Vbz_UpdateStage_t>(entryPoint(m_handle, "Vbz_UpdateStage"));
    m_progress = reinterpret_cast<Vbz_UpdateProgress_t>(entryPoint(m_handle, "Vbz_UpdateProgress"));
    m_commit = reinterpret_cast<Vbz_UpdateCommit_t>(entryPoint(m_handle, "Vbz_UpdateCommit"));
    m_discard = reinterpret_cast<Vbz_UpdateDiscard_t>(entryPoint(m_handle, "Vbz_UpdateDiscard"));
    m_recover = reinterpret_cast<Vbz_UpdateRecover_t>(entryPoint(m_handle, "Vbz_UpdateRecover"));
    if (!m_unzip || !m_version || !m_begin || !m_stage || !m_progress || !m_commit || !m_discard ||
        !m_recover)
        throw std::runtime_error("engine entry points missing");
}

Engine::~Engine() {
#ifdef _WIN32
    FreeLibrary(static_cast<HMODULE>(m_handle));
#else
    dlclose(m_handle);
#endif
}

int32_t Engine::run(EngineRun& r) {
    return call(r, m_unzip);
}

int32_t Engine::stage(UnzipUpdate* update, EngineRun& r) {
    return call(r, [&](int32_t ic, UnzipNameList* in, int32_t ec, UnzipNameList* ex,
                       UnzipOptions* options, UnzipCallbacks* callbacks) {
        return m_stage(update, ic, in, ec, ex, options, callbacks);
    });
}

int32_t Engine::progress(UnzipUpdate* update, UzProgressCallback callback) {
    return m_progress(update, callback);
}

int32_t Engine::begin(const std::string& folder, UnzipUpdate** update) {
    return m_begin(folder.c_str(), update);
}

int32_t Engine::commit(UnzipUpdate* update, EngineRun* messages) {
    if (!messages)
        return m_commit(update, nullptr);
    UnzipCallbacks callbacks{};
    callbacks.Print = printCallback;
    current = messages;
    callerThread = std::this_thread::get_id();
    const int32_t result = m_commit(update, &callbacks);
    current = nullptr;
    return result;
}

int32_t Engine::discard(UnzipUpdate* update) {
    return m_discard(update);
}

int32_t Engine::recover(const std::string& folder, int32_t* report) {
    return m_recover(folder.c_str(), report, nullptr);
}

int32_t Engine::call(EngineRun& r,
                     const std::function<int32_t(int32_t, UnzipNameList*, int32_t, UnzipNameList*,
                                                 UnzipOptions*, UnzipCallbacks*)>& entry) {
    std::vector<char> archive(r.archive.begin(), r.archive.end());
    archive.push_back('\0');
    std::vector<char> folder;
    if (r.folder) {
        folder.assign(r.folder->begin(), r.folder->end());
        folder.push_back('\0');
    }
    UnzipOptions options =
        engine_call::optionsOf(r, archive.data(), r.folder ? folder.data() : nullptr);
    auto include = engine_call::nameListOf(r.include);
    auto exclude = engine_call::nameListOf(r.exclude);

    UnzipCallbacks callbacks{};
    callbacks.Print = printCallback;
    callbacks.Replace = replaceCallback;
    callbacks.Password = passwordCallback;
    callbacks.List = listCallback;
    callbacks.Service = serviceCallback;

    current = &r;
    callerThread = std::this_thread::get_id();
    int32_t result =
        entry(static_cast<int32_t>(r.include.size()), include.get(),
              static_cast<int32_t>(r.exclude.size()), exclude.get(), &options, &callbacks);
    current = nullptr;
    std::memcpy(r.engineArea, callbacks.EngineArea, sizeof r.engineArea);
    return result;
}

int32_t Engine::version(UnzipVersionInfo* info) {
    return m_version(info);
}

} // namespace fixtures
