// The entry points of the engine library. Nothing but a result code leaves them: every exception
// is caught here.
#include "Extraction.h"
#include "Failure.h"
#include "Reporter.h"
#include "Update.h"
#include "vbuzip10.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <zip.h>
#include <zlib.h>

namespace {

constexpr uint8_t EngineMajor = 1;
constexpr uint8_t EngineMinor = 0;
constexpr uint8_t EngineRevision = 0;
constexpr const char* EngineDate = "2026-12-07";
constexpr const char* EngineExtraInfo = "libzip";
constexpr const char* EngineName = "vbuzip10";

// Reads the first count names of a name list; fails on a null list or slot.
std::vector<std::string> readNames(int32_t count, const UnzipNameList* list, const char* what) {
    std::vector<std::string> names;
    if (count < 0 || count >= UZ_NAME_SLOTS)
        throw vbuzip::Failure(UZ_ERR_PARAMETERS, std::string("invalid ") + what + " count");
    if (count == 0)
        return names;
    if (!list)
        throw vbuzip::Failure(UZ_ERR_PARAMETERS, std::string("no ") + what + " list");
    for (int32_t i = 0; i < count; ++i) {
        const char* name = list->Names[i];
        if (!name)
            throw vbuzip::Failure(UZ_ERR_PARAMETERS,
                                  std::string("empty slot in ") + what + " list");
        if (*name)
            names.emplace_back(name);
    }
    return names;
}

vbuzip::CallOptions readOptions(const UnzipOptions& o) {
    if (!o.ArchivePath || !*o.ArchivePath)
        throw vbuzip::Failure(UZ_ERR_PARAMETERS, "no archive given");
    vbuzip::CallOptions c;
    c.archivePath = o.ArchivePath;
    c.folder = o.ExtractFolder ? o.ExtractFolder : "";
    c.listOnly = o.ListOnly != 0;
    c.testOnly = o.TestOnly != 0;
    c.onlyNewer = o.ExtractOnlyNewer != 0;
    c.spaceToUnderscore = o.SpaceToUnderscore != 0;
    c.promptToOverwrite = o.PromptToOverwrite != 0;
    c.overwriteExisting = o.OverwriteExisting != 0;
    c.useFolderNames = o.UseFolderNames != 0;
    c.convertLineEnds = o.ConvertLineEnds != 0;
    c.caseSensitive = o.CaseSensitiveNames != 0;
    return c;
}

void copyText(char* field, size_t size, const char* text) {
    std::memset(field, 0, size);
    std::strncpy(field, text, size - 1);
}

// "1.7.3" -> {1, 7, 3, 0}
void versionBytes(uint8_t out[4], const char* text) {
    unsigned parts[3] = {0, 0, 0};
    std::sscanf(text, "%u.%u.%u", &parts[0], &parts[1], &parts[2]);
    for (int i = 0; i < 3; ++i)
        out[i] = static_cast<uint8_t>(std::min(parts[i], 255u));
    out[3] = 0;
}

// Runs work with a reporter, turning every failure into its result code (reported as an error).
int32_t guarded(const UnzipCallbacks* callbacks, int32_t level,
                const std::function<void(vbuzip::Reporter&)>& work) {
    try {
        vbuzip::Reporter reporter(callbacks, level);
        try {
            work(reporter);
            return UZ_OK;
        } catch (const vbuzip::Failure& failure) {
            reporter.error(failure.what());
            return failure.code();
        } catch (const std::bad_alloc&) {
            reporter.error("out of memory");
            return UZ_ERR_MEMORY;
        } catch (const std::exception& e) {
            reporter.error(e.what());
            return UZ_ERR_ARCHIVE;
        }
    } catch (...) {
        // Reporting itself failed (out of memory, or a callback threw).
        return UZ_ERR_MEMORY;
    }
}

vbuzip::CallOptions readCall(int32_t includeCount, UnzipNameList* include, int32_t excludeCount,
                             UnzipNameList* exclude, const UnzipOptions* options) {
    if (!options)
        throw vbuzip::Failure(UZ_ERR_PARAMETERS, "no options given");
    vbuzip::CallOptions call = readOptions(*options);
    call.include = readNames(includeCount, include, "include");
    call.exclude = readNames(excludeCount, exclude, "exclude");
    return call;
}

void storeTotals(UnzipCallbacks* callbacks, const vbuzip::Totals& totals) {
    if (!callbacks)
        return;
    callbacks->EngineArea[0] = totals.entries;
    callbacks->EngineArea[1] = totals.written;
    callbacks->EngineArea[2] = static_cast<uint32_t>(totals.bytes);
    callbacks->EngineArea[3] = static_cast<uint32_t>(totals.bytes >> 32);
    callbacks->EngineArea[4] = totals.skipped;
}

void requireFolder(const char* folder) {
    if (!folder || !*folder)
        throw vbuzip::Failure(UZ_ERR_PARAMETERS, "no folder given");
}

} // namespace

// The handle of the C interface.
struct UnzipUpdate {
    explicit UnzipUpdate(const char* folder) : update(folder, false) {}
    vbuzip::Update update;
    UzProgressCallback progress = nullptr;
};

extern "C" UZ_EXPORT int32_t UZ_CALL
Wiz_SingleEntryUnzip(int32_t includeCount, UnzipNameList* include, int32_t excludeCount,
                     UnzipNameList* exclude, UnzipOptions* options, UnzipCallbacks* callbacks) {
    return guarded(callbacks, options ? options->MessageLevel : UZ_MSG_QUIET,
                   [&](vbuzip::Reporter& reporter) {
                       const vbuzip::CallOptions call =
                           readCall(includeCount, include, excludeCount, exclude, options);
                       storeTotals(callbacks, vbuzip::runCall(call, reporter));
                   });
}

extern "C" UZ_EXPORT int32_t UZ_CALL Vbz_UpdateBegin(const char* folder, UnzipUpdate** update) {
    if (update)
        *update = nullptr;
    return guarded(nullptr, UZ_MSG_QUIET, [&](vbuzip::Reporter&) {
        requireFolder(folder);
        if (!update)
            throw vbuzip::Failure(UZ_ERR_PARAMETERS, "no handle given");
        auto opened = std::make_unique<UnzipUpdate>(folder);
        if (opened->update.hasRecords())
            throw vbuzip::Failure(UZ_ERR_BUSY, "an interrupted update waits for recovery");
        *update = opened.release();
    });
}

extern "C" UZ_EXPORT int32_t UZ_CALL Vbz_UpdateStage(UnzipUpdate* update, int32_t includeCount,
                                                     UnzipNameList* include, int32_t excludeCount,
                                                     UnzipNameList* exclude, UnzipOptions* options,
                                                     UnzipCallbacks* callbacks) {
    return guarded(callbacks, options ? options->MessageLevel : UZ_MSG_QUIET,
                   [&](vbuzip::Reporter& reporter) {
                       if (!update)
                           throw vbuzip::Failure(UZ_ERR_PARAMETERS, "no update given");
                       const vbuzip::CallOptions call =
                           readCall(includeCount, include, excludeCount, exclude, options);
                       if (call.listOnly || call.testOnly)
                           throw vbuzip::Failure(UZ_ERR_PARAMETERS,
                                                 "an update stages files: no listing or testing");
                       reporter.setProgress(update->progress);
                       storeTotals(callbacks, vbuzip::stageCall(call, reporter, update->update));
                   });
}

extern "C" UZ_EXPORT int32_t UZ_CALL Vbz_UpdateProgress(UnzipUpdate* update,
                                                        UzProgressCallback progress) {
    if (!update)
        return UZ_ERR_PARAMETERS;
    update->progress = progress;
    return UZ_OK;
}

extern "C" UZ_EXPORT int32_t UZ_CALL Vbz_UpdateCommit(UnzipUpdate* update,
                                                      UnzipCallbacks* callbacks) {
    const std::unique_ptr<UnzipUpdate> owned(update);
    return guarded(callbacks, UZ_MSG_QUIET, [&](vbuzip::Reporter&) {
        if (!owned)
            throw vbuzip::Failure(UZ_ERR_PARAMETERS, "no update given");
        owned->update.commit();
    });
}

extern "C" UZ_EXPORT int32_t UZ_CALL Vbz_UpdateDiscard(UnzipUpdate* update) {
    const std::unique_ptr<UnzipUpdate> owned(update);
    return guarded(nullptr, UZ_MSG_QUIET, [&](vbuzip::Reporter&) {
        if (!owned)
            throw vbuzip::Failure(UZ_ERR_PARAMETERS, "no update given");
        owned->update.discard();
    });
}

extern "C" UZ_EXPORT int32_t UZ_CALL Vbz_UpdateRecover(const char* folder, int32_t* report,
                                                       UnzipCallbacks* callbacks) {
    if (report)
        *report = UZ_RECOVERED_NOTHING;
    return guarded(callbacks, UZ_MSG_QUIET, [&](vbuzip::Reporter&) {
        requireFolder(folder);
        vbuzip::Update update(folder, false);
        const vbuzip::Recovered done = update.recover();
        if (report)
            *report = static_cast<int32_t>(done);
    });
}

extern "C" UZ_EXPORT int32_t UZ_CALL UzpVersion2(UnzipVersionInfo* version) {
    if (!version || version->StructLength < sizeof(UnzipVersionInfo))
        return UZ_ERR_PARAMETERS;
    try {
        version->StructLength = sizeof(UnzipVersionInfo);
        version->Flags = 0;
        copyText(version->ExtraInfo, sizeof version->ExtraInfo, EngineExtraInfo);
        copyText(version->Date, sizeof version->Date, EngineDate);
        copyText(version->Reserved, sizeof version->Reserved, EngineName);
        const uint8_t engine[4] = {EngineMajor, EngineMinor, EngineRevision, 0};
        std::memcpy(version->Group1, engine, 4);
        versionBytes(version->Group2, zip_libzip_version());
        versionBytes(version->Group3, zlibVersion());
        std::memcpy(version->Version, engine, 4);
        return UZ_OK;
    } catch (...) {
        return UZ_ERR_MEMORY;
    }
}
