// The program's side of the unzip engine library vbuzip10.dll: loading the engine, the records
// that cross into it, the callbacks it calls while it works, and the one engine call RunEngine
// through which cUnzip lists and extracts an archive.
//
// One engine call may be in progress at a time, on any one thread; the callbacks run on the thread
// of the call (the update run stages packages on a thread of its own).
// Failures go to the caller as AppError (a missing library or entry point, more than 1,023 names
// in a list); the callbacks absorb their own errors, and no exception ever reaches the engine.
#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <memory>

#include "vbuzip10.h"

namespace mUnzip {

// What the engine's callbacks report to: the archive object whose engine call runs (cUnzip). They
// add the listed entries to its directory and raise its events, whose answers they hand back to
// the engine. Held in a std::shared_ptr, the archive of the latest call is kept counted.
class ArchiveCallbacks : public std::enable_shared_from_this<ArchiveCallbacks> {
public:
    // Drops the archive from CurrentArchive when it is held there uncounted.
    virtual ~ArchiveCallbacks();

    virtual void AddDirectoryEntry(const QString& sName, const QString& sFolder, double dDate,
                                   qint32 lSize, qint32 lCRC, bool bEncrypted, qint32 lRatio,
                                   const QString& sMethod) = 0;
    virtual void RaiseOverwritePrompt(const QString& sFile, qint32& eResponse) = 0;
    virtual void RaiseProgress(const QString& sMsg) = 0;
    virtual void RaiseCancel(const QString& sMsg, bool& bCancel) = 0;
    // While an update is staged: the bytes the staging call has written so far.
    virtual void RaiseStaging(qint64 bytesWritten, bool& bCancel) = 0;
    virtual void RaisePasswordRequest(QString& sPassword, bool& bCancel) = 0;
};

// The options record in the program's form: the engine's record for the numbers, and its two
// texts held as wide text (the record's own text pointers stay null here). cUnzip keeps one as the
// store of its option properties. Boolean fields hold 1 or 0. A null text crosses to the engine as
// a null pointer, an empty one as a pointer to a lone NUL byte.
struct UnzipOptionsW {
    UnzipOptions Numbers{};
    QString ArchivePath;
    QString ExtractFolder;
};

// Most names one list can hand to the engine (the list has one more slot for its end mark).
constexpr qint32 kMaxListNames = 1023;

// The separator of folder names in the program's own form of entry folders and file names
// (the system's path separator). Archives always separate folders with "/".
constexpr char16_t kFolderSeparator = u'/';

// Sets the folders searched, in order, for vbuzip10.dll when the engine is first needed (the
// driver passes {program folder, system directory} at start-up). Once the engine is loaded it stays
// loaded until the program ends, and later calls have no effect on it. Without a call, the
// executable's folder and then ~/.local/lib are searched.
void SetEngineFolders(const QStringList& folders);

// Runs the engine once for `archive`: `options` is handed over in the engine's form and read back
// from it afterwards; the first `includeCount` of `includeNames` (and of the exclude names) make
// the two name lists. Returns the engine's result unchanged.
// Throws AppError: SubscriptOutOfRange for a count below 0, above 1,023 or beyond the names given
// (before the engine is called, CurrentArchive already set); DllNotFound or EntryPointNotFound when
// the engine cannot be loaded.
qint32 RunEngine(ArchiveCallbacks& archive, UnzipOptionsW& options, qint32 includeCount,
                 const QStringList& includeNames, qint32 excludeCount,
                 const QStringList& excludeNames);

// Staged updates of a folder through the engine (its Vbz_Update* entry points): each throws like
// RunEngine when the engine cannot be loaded, and returns the engine's result otherwise.
//
// Stages the first includeCount include names (every entry when 0) of options.ArchivePath into
// the update, with the callbacks reporting to archive.
qint32 RunStageEngine(UnzipUpdate* update, ArchiveCallbacks& archive, UnzipOptionsW& options,
                      qint32 includeCount, const QStringList& includeNames);
// Opens an update of sFolder; update receives the handle (null on failure).
qint32 BeginUpdate(const QString& sFolder, UnzipUpdate*& update);
// Installs every staged file; the handle is gone afterwards. Messages go to archive.
qint32 CommitUpdate(UnzipUpdate* update, ArchiveCallbacks& archive);
// Removes every staged file; the handle is gone afterwards.
qint32 DiscardUpdate(UnzipUpdate* update);
// Whether an interrupted update or extraction left its records in sFolder.
bool InterruptedUpdatePresent(const QString& sFolder);
// Finishes or undoes an interrupted update of sFolder; lReport receives UZ_RECOVERED_*. Without
// records (InterruptedUpdatePresent) nothing is done and the engine is not loaded.
qint32 RecoverUpdate(const QString& sFolder, ArchiveCallbacks& archive, qint32& lReport);

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
// character replaced, or 1 when nothing was replaced.
qint32 ReplaceSeparators(QString& sText, QChar cOld, QChar cNew);

// The folder (in the program's form, without a trailing separator, empty at the archive's top
// level) and file name (empty for a folder entry) of an archive entry name.
struct EntryPath {
    QString sFolder;
    QString sFileName;
};
EntryPath SplitEntryPath(const QString& sName);

// Text of an engine buffer: the bytes before the first NUL, at most `limit` of them, converted from
// the locale's encoding. A null pointer reads as the empty text.
QString ReadEngineText(const char* text, qsizetype limit);

// Date-time values: days since 30 December 1899, the time of day as the fraction.
//
// DateSerial: a year from 0 to 29 means 2000 to 2029, from 30 to 99 means 1930 to 1999; months and
// days outside their range carry into the neighbouring months and years (month 13 is January of the
// next year, day 0 the last day of the month before). Throws AppError(InvalidArgument) when the
// date falls outside 1 January 100 to 31 December 9999.
double DateSerial(qint32 lYear, qint32 lMonth, qint32 lDay);
// The fraction of a day (or more than a day) made of the given hours, minutes and seconds.
double TimeSerial(qint32 lHour, qint32 lMinute, qint32 lSecond);
// DateSerial(year, month, day) + TimeSerial(hour, minute, second).
double DateTimeFromParts(qint32 lYear, qint32 lMonth, qint32 lDay, qint32 lHour = 0,
                         qint32 lMinute = 0, qint32 lSecond = 0);

} // namespace mUnzip

// The driver's start-up calls this one unqualified.
using mUnzip::SetEngineFolders;
