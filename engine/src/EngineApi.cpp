// The two entry points of the engine library. Nothing but a result code leaves them: every
// exception is caught here.
#include "Extraction.h"
#include "Failure.h"
#include "Reporter.h"
#include "vbuzip10.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
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

} // namespace

extern "C" UZ_EXPORT int32_t UZ_CALL
Wiz_SingleEntryUnzip(int32_t includeCount, UnzipNameList* include, int32_t excludeCount,
                     UnzipNameList* exclude, UnzipOptions* options, UnzipCallbacks* callbacks) {
    int32_t level = options ? options->MessageLevel : UZ_MSG_QUIET;
    try {
        vbuzip::Reporter reporter(callbacks, level);
        try {
            if (!options)
                throw vbuzip::Failure(UZ_ERR_PARAMETERS, "no options given");
            vbuzip::CallOptions call = readOptions(*options);
            call.include = readNames(includeCount, include, "include");
            call.exclude = readNames(excludeCount, exclude, "exclude");
            vbuzip::Totals totals = vbuzip::runCall(call, reporter);
            if (callbacks) {
                callbacks->EngineArea[0] = totals.entries;
                callbacks->EngineArea[1] = totals.written;
                callbacks->EngineArea[2] = static_cast<uint32_t>(totals.bytes);
                callbacks->EngineArea[3] = static_cast<uint32_t>(totals.bytes >> 32);
                callbacks->EngineArea[4] = totals.skipped;
            }
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
