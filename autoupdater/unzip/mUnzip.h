// The program's side of the unzip engine library vbuzip10.dll: loading the engine, the records
// that cross into it, the callbacks it calls while it works, and the one engine call RunEngine
// through which cUnzip lists and extracts an archive.
//
// One engine call may be in progress at a time, on any one thread; the callbacks run on the thread
// of the call (the update run stages packages on a thread of its own).
// Failures go to the caller as AppError (a missing library or entry point, more than 1,023 names
// in a list); the callbacks absorb their own errors, and no exception ever reaches the engine.
// Text is UTF-8 in std::string on both sides of the engine; what the engine hands back that is not
// valid UTF-8 reads with U+FFFD in place of each invalid sequence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vbuzip10.h"

namespace mUnzip {

// What the engine's callbacks report to: the archive object whose engine call runs (cUnzip). They
// add the listed entries to its directory and raise its events, whose answers they hand back to
// the engine. Held in a std::shared_ptr, the archive of the latest call is kept counted.
class ArchiveCallbacks : public std::enable_shared_from_this<ArchiveCallbacks> {
public:
    // Drops the archive from CurrentArchive when it is held there uncounted.
    virtual ~ArchiveCallbacks();

    virtual void AddDirectoryEntry(const std::string& sName, const std::string& sFolder,
                                   double dDate, std::int32_t lSize, std::int32_t lCRC,
                                   bool bEncrypted, std::int32_t lRatio,
                                   const std::string& sMethod) = 0;
    virtual void RaiseOverwritePrompt(const std::string& sFile, std::int32_t& eResponse) = 0;
    virtual void RaiseProgress(const std::string& sMsg) = 0;
    virtual void RaiseCancel(const std::string& sMsg, bool& bCancel) = 0;
    // While an update is staged: the bytes the staging call has written so far.
    virtual void RaiseStaging(std::int64_t bytesWritten, bool& bCancel) = 0;
    virtual void RaisePasswordRequest(std::string& sPassword, bool& bCancel) = 0;
};

// The options record in the program's form: the engine's record for the numbers, and its two
// texts held apart (the record's own text pointers stay null here). cUnzip keeps one as the store
// of its option properties. Boolean fields hold 1 or 0. A text that is not there (std::nullopt)
// crosses to the engine as a null pointer, an empty one as a pointer to a lone NUL byte.
struct UnzipOptionsW {
    UnzipOptions Numbers{};
    std::optional<std::string> ArchivePath;
    std::optional<std::string> ExtractFolder;
};

// Most names one list can hand to the engine (the list has one more slot for its end mark).
constexpr std::int32_t kMaxListNames = 1023;

// The separator of folder names in the program's own form of entry folders and file names
// (the system's path separator). Archives always separate folders with "/".
constexpr char kFolderSeparator = '/';

// Sets the folders searched, in order, for vbuzip10.dll when the engine is first needed (the
// driver passes {program folder, system directory} at start-up). Once the engine is loaded it stays
// loaded until the program ends, and later calls have no effect on it. Without a call, the
// executable's folder and then ~/.local/lib (on Windows the system directory) are searched
// (DefaultEngineFolders). The library is opened by its full path in the folder, never by its bare
// name.
void SetEngineFolders(const std::vector<std::string>& folders);

// Runs the engine once for `archive`: `options` is handed over in the engine's form and read back
// from it afterwards; the first `includeCount` of `includeNames` (and of the exclude names) make
// the two name lists. Returns the engine's result unchanged.
// Throws AppError: SubscriptOutOfRange for a count below 0, above 1,023 or beyond the names given
// (before the engine is called, CurrentArchive already set); DllNotFound or EntryPointNotFound when
// the engine cannot be loaded.
std::int32_t RunEngine(ArchiveCallbacks& archive, UnzipOptionsW& options, std::int32_t includeCount,
                       const std::vector<std::string>& includeNames, std::int32_t excludeCount,
                       const std::vector<std::string>& excludeNames);

// Staged updates of a folder through the engine (its Vbz_Update* entry points): each throws like
// RunEngine when the engine cannot be loaded, and returns the engine's result otherwise.
//
// Stages the first includeCount include names (every entry when 0) of options.ArchivePath into
// the update, with the callbacks reporting to archive.
std::int32_t RunStageEngine(UnzipUpdate* update, ArchiveCallbacks& archive, UnzipOptionsW& options,
                            std::int32_t includeCount,
                            const std::vector<std::string>& includeNames);
// Opens an update of sFolder; update receives the handle (null on failure).
std::int32_t BeginUpdate(const std::string& sFolder, UnzipUpdate*& update);
// Installs every staged file; the handle is gone afterwards. Messages go to archive.
std::int32_t CommitUpdate(UnzipUpdate* update, ArchiveCallbacks& archive);
// Removes every staged file; the handle is gone afterwards.
std::int32_t DiscardUpdate(UnzipUpdate* update);
// Whether an interrupted update or extraction left its records in sFolder.
bool InterruptedUpdatePresent(const std::string& sFolder);
// Finishes or undoes an interrupted update of sFolder; lReport receives UZ_RECOVERED_*. Without
// records (InterruptedUpdatePresent) nothing is done and the engine is not loaded.
std::int32_t RecoverUpdate(const std::string& sFolder, ArchiveCallbacks& archive,
                           std::int32_t& lReport);

// Calls the engine's version entry point with `record`, loading the engine when needed. Throws
// like RunEngine when the engine cannot be loaded.
void CallVersionEntry(UnzipVersionInfo& record);

// The archive of the latest engine call, kept after the call (empty before the first call). The
// reference is counted when the archive is owned by a std::shared_ptr; an archive that is not is
// dropped from here when it is destroyed.
std::shared_ptr<ArchiveCallbacks> CurrentArchive();

// True once a password request of the engine call in progress (or of the latest one) was declined.
bool PasswordAbandoned();

// Replaces every `cOld` in `sText` by `cNew`; returns the 1-based position just after the last
// byte replaced, or 1 when nothing was replaced.
std::int32_t ReplaceSeparators(std::string& sText, char cOld, char cNew);

// The folder (in the program's form, without a trailing separator, empty at the archive's top
// level) and file name (empty for a folder entry) of an archive entry name.
// A NUL in the name ends it.
struct EntryPath {
    std::string sFolder;
    std::string sFileName;
};
EntryPath SplitEntryPath(const std::string& sName);

// Text of an engine buffer: the bytes before the first NUL, at most `limit` of them, read as UTF-8
// (U+FFFD for an invalid sequence). A null pointer (or a limit below 1) reads as the empty text.
std::string ReadEngineText(const char* text, std::ptrdiff_t limit);

// Date-time values: days since 30 December 1899, the time of day as the fraction.
//
// DateSerial: a year from 0 to 29 means 2000 to 2029, from 30 to 99 means 1930 to 1999; months and
// days outside their range carry into the neighbouring months and years (month 13 is January of the
// next year, day 0 the last day of the month before). Throws AppError(InvalidArgument) when the
// date falls outside 1 January 100 to 31 December 9999.
double DateSerial(std::int32_t lYear, std::int32_t lMonth, std::int32_t lDay);
// The fraction of a day (or more than a day) made of the given hours, minutes and seconds.
double TimeSerial(std::int32_t lHour, std::int32_t lMinute, std::int32_t lSecond);
// DateSerial(year, month, day) + TimeSerial(hour, minute, second).
double DateTimeFromParts(std::int32_t lYear, std::int32_t lMonth, std::int32_t lDay,
                         std::int32_t lHour = 0, std::int32_t lMinute = 0,
                         std::int32_t lSecond = 0);

} // namespace mUnzip

// The driver's start-up calls this one unqualified.
using mUnzip::SetEngineFolders;
