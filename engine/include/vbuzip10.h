/*
 * vbuzip10.h - C interface of the unzip engine library "vbuzip10.dll".
 *
 * Shared by the engine library and by the program that loads it at run time (by file name, never
 * linked). Pure C: no C++ type and no exception crosses this boundary. Numbers are little-endian.
 * The records keep the field order of the original 32-bit layout; pointer fields take the pointer
 * size of the build, so the records are 68/4096/44/64 bytes on a 32-bit build and 80/8192/72/64
 * bytes on a 64-bit build (pinned by the static assertions at the end of this file).
 *
 * Text crossing the boundary is narrow text (the locale's encoding, UTF-8 here) ending in a NUL
 * byte.
 */
#ifndef VBUZIP10_H
#define VBUZIP10_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define UZ_CALL __stdcall
#define UZ_EXPORT __declspec(dllexport)
#else
#define UZ_CALL
#define UZ_EXPORT __attribute__((visibility("default")))
#endif

/* File name of the engine library on every platform. */
#define UZ_LIBRARY_NAME "vbuzip10.dll"

/* Number of slots of a name list; a list holds at most UZ_NAME_SLOTS - 1 names. */
#define UZ_NAME_SLOTS 1024

/* Options record. Boolean options hold 1 for true and 0 for false. */
typedef struct UnzipOptions {
    int32_t ExtractOnlyNewer;  /* extract an entry only when it is newer than the existing file */
    int32_t SpaceToUnderscore; /* turn spaces in written file names into underscores */
    int32_t PromptToOverwrite; /* ask ReplaceCallback before an existing file is replaced */
    int32_t MessageLevel;      /* UZ_MSG_QUIET, UZ_MSG_NORMAL or UZ_MSG_VERBOSE */
    int32_t Reserved1;         /* engine flag, always 0 */
    int32_t TestOnly;          /* verify every selected entry, write nothing */
    int32_t ListOnly;          /* call ListCallback once per entry, extract nothing */
    int32_t Reserved2;         /* engine flag, always 0 */
    int32_t Reserved3;         /* engine flag, always 0 */
    int32_t UseFolderNames;    /* keep the stored folder names below the extraction folder */
    int32_t
        OverwriteExisting;   /* replace existing files (without asking unless PromptToOverwrite) */
    int32_t ConvertLineEnds; /* text entries: write CR LF line ends */
    int32_t Reserved4;       /* engine flag, always 0 */
    int32_t CaseSensitiveNames; /* include names match entry names case-sensitively */
    int32_t Reserved5;          /* engine flag, always 0 */
    char* ArchivePath;          /* the zip file */
    char* ExtractFolder;        /* the folder to extract into */
} UnzipOptions;

/* Name list: slots 0..n-1 hold the names, slot n an empty text, the slots above n are null. */
typedef struct UnzipNameList {
    char* Names[UZ_NAME_SLOTS];
} UnzipNameList;

/* Called with each message the engine prints. Returns 0. */
typedef int32_t(UZ_CALL* UzPrintCallback)(char* text, uint32_t length);
/* Called before an existing file is replaced while PromptToOverwrite is on; answers UZ_REPLACE_*.
 */
typedef int32_t(UZ_CALL* UzReplaceCallback)(char* fileName);
/* Called when an entry needs a password. buffer holds at least UZ_PASSWORD_BUFFER bytes, all zero
 * on entry. Returns 0 when a password was written into buffer, 1 when none is given. */
typedef int32_t(UZ_CALL* UzPasswordCallback)(char* buffer, int32_t size, char* prompt,
                                             char* entryName);
/* Called once per entry while listing: compressed size and size (capped at 0xFFFFFFFF), the
 * compressed size as a percentage of the size (so size * ratio / 100 is the packed size; 0 for an
 * empty entry), month 1-12, day, four-digit year, hour, minute (local time), 0, the name as
 * stored, the method name ("Stored", "Deflated", "BZip2", ...), the CRC-32 and the flags
 * (UZ_LIST_ENCRYPTED). Folder entries are listed too; their names end in "/". */
typedef void(UZ_CALL* UzListCallback)(uint32_t compressedSize, uint32_t size, int32_t ratioPercent,
                                      int32_t month, int32_t day, int32_t year, int32_t hour,
                                      int32_t minute, uint8_t reserved, char* name, char* method,
                                      uint32_t crc, uint8_t flags);
/* Called after every entry processed (listed, tested, staged, created or skipped), with the name
 * as stored; count is the number of bytes of entryName including its NUL. Returns 0 to go on, 1 to
 * stop the call. During an extraction it is called once the entry's data is written to a
 * temporary file and verified, before any existing file is replaced. */
typedef int32_t(UZ_CALL* UzServiceCallback)(char* entryName, uint32_t count);

/* Bit of the ListCallback flags value: the entry is encrypted. */
#define UZ_LIST_ENCRYPTED 0x40

/* Size of the password buffer the engine hands to UzPasswordCallback (zero-filled). */
#define UZ_PASSWORD_BUFFER 256

typedef struct UnzipCallbacks {
    UzPrintCallback Print;
    void* Sound; /* always null */
    UzReplaceCallback Replace;
    UzPasswordCallback Password;
    UzListCallback List;
    UzServiceCallback Service;
    uint32_t EngineArea[5]; /* zero on entry; the engine may keep totals here */
} UnzipCallbacks;

typedef struct UnzipVersionInfo {
    uint32_t StructLength; /* the caller writes sizeof(UnzipVersionInfo) = 64 */
    uint32_t Flags;
    char ExtraInfo[10]; /* NUL-terminated */
    char Date[20];      /* NUL-terminated, "YYYY-MM-DD" */
    char Reserved[10];  /* NUL-terminated */
    uint8_t Group1[4];
    uint8_t Group2[4];
    uint8_t Group3[4];
    uint8_t Version[4]; /* major, minor, revision, spare */
} UnzipVersionInfo;

/* Answers of UzReplaceCallback. Any other value is taken as UZ_REPLACE_NO. */
#define UZ_REPLACE_NO 100   /* do not replace this file */
#define UZ_REPLACE_YES 101  /* replace this file */
#define UZ_REPLACE_ALL 102  /* replace this and every further file of the call without asking */
#define UZ_REPLACE_NONE 103 /* replace no further file of the call, without asking */

/* Message levels. */
#define UZ_MSG_QUIET 0   /* errors only */
#define UZ_MSG_NORMAL 1  /* plus one line per entry */
#define UZ_MSG_VERBOSE 2 /* plus details */

/* Results of Wiz_SingleEntryUnzip. 0 only when every selected entry was extracted (or tested, or
 * listed) and verified. On any non-zero result of an extraction the extraction folder is as it was.
 */
#define UZ_OK 0
#define UZ_ERR_ARCHIVE                                                                             \
    2                       /* corrupt or truncated archive (also a directory that contradicts its \
                               end record), CRC or size mismatch */
#define UZ_ERR_MEMORY 4     /* out of memory */
#define UZ_ERR_NO_ARCHIVE 9 /* the archive cannot be opened or read, or is not a zip file */
#define UZ_ERR_PARAMETERS 10 /* invalid arguments (null records, bad counts, no folder given) */
#define UZ_ERR_NO_MATCH 11   /* an include name matches no entry */
#define UZ_ERR_BUSY                                                                                \
    12                      /* another update of the folder is in progress, or an interrupted      \
                               one waits for Vbz_UpdateRecover */
#define UZ_ERR_DISK_FULL 50 /* not enough free space, or a write failed for lack of space */
#define UZ_ERR_WRITE                                                                               \
    51                    /* a file or folder cannot be created or replaced (also: a folder        \
                             stands where a file goes, or a file where a folder is needed) */
#define UZ_ERR_STOPPED 80 /* ServiceCallback answered 1 */
#define UZ_ERR_UNSUPPORTED                                                                         \
    81 /* compression or encryption method not supported, or an archive                            \
          split into several parts */
#define UZ_ERR_PASSWORD                                                                            \
    82 /* no password or a wrong password for an encrypted entry (a data                           \
          error in an encrypted entry counts as a wrong password) */
#define UZ_ERR_UNSAFE_PATH                                                                         \
    90                      /* an entry would be written outside the extraction folder, or under   \
                               a name of the engine's own (see "Reserved names"), or is a link,    \
                               a device or a socket */
#define UZ_ERR_TOO_LARGE 91 /* an entry inflates past its declared size (or exceeds limits) */
#define UZ_ERR_DUPLICATE_NAME                                                                      \
    92 /* two selected entries would be written to the same path, or a                             \
          file would stand where another entry needs a folder */

/* Wiz_SingleEntryUnzip works on options->ArchivePath and calls the callbacks (any may be null, and
 * so may the whole table) on the calling thread before it returns.
 *
 * Selection: with includeCount 0 every entry is selected, otherwise the entries matching one of the
 * first includeCount names; then entries matching an exclude name are dropped. A name without
 * "*", "?" or "[" matches an entry name exactly ("\" and "/" count as the same); with them it is a
 * pattern in which "*" also matches "/". CaseSensitiveNames 0 compares without case. An include
 * name that matches no entry fails the call with UZ_ERR_NO_MATCH before anything is written. A null
 * slot within a count, or a count below 0 or above 1023, gives UZ_ERR_PARAMETERS.
 *
 * ListOnly 1: one ListCallback per selected entry, nothing else. TestOnly 1: every selected entry
 * is read and checked (size, CRC, password), nothing is written and ExtractFolder is not used; the
 * rules for writing below (names, links, devices, two entries for one path) do not apply.
 *
 * The archive may have other data in front of it whose offsets were not adjusted (an executable
 * or a script with the archive appended): it is found by its end record, and a warning says how
 * many bytes in front are ignored. AES entries of version 2 (AE-2) record no CRC: their
 * authentication code alone protects them (a mismatch is UZ_ERR_PASSWORD).
 *
 * Extraction (both 0): ExtractFolder must be a non-empty path (relative paths are taken from the
 * current folder; a trailing "/" is optional); a missing folder is created, with its missing
 * parents. Every selected entry is checked before anything is written: names that are absolute,
 * start with a drive letter or contain a ".." part, link entries and device or socket entries, and
 * targets that lead through an existing link out of the folder fail with UZ_ERR_UNSAFE_PATH; "\" in
 * a name is a folder separator. Folder entries create folders; UseFolderNames 0 drops the folder
 * part of every name and ignores folder entries. SpaceToUnderscore applies to the written path.
 * An existing target file is: skipped when ExtractOnlyNewer is 1 and the entry is not newer;
 * otherwise offered to ReplaceCallback when PromptToOverwrite is 1 (answers UZ_REPLACE_*);
 * otherwise replaced when OverwriteExisting or ExtractOnlyNewer is 1, else skipped. A skipped entry
 * is not an error. A link at a target is replaced, never followed. The Unix permission bits of an
 * entry are kept (without set-user-id, set-group-id and sticky bits; 0644 when the entry has
 * none, or the existing file's bits); an entry stored as a named pipe (data an archiver read from
 * its standard input) is written as a regular file. Modification times come from the entry, for
 * folder entries too: a folder's time is set once everything inside it is written (a folder whose
 * time cannot be set gets a warning, not a failure). ConvertLineEnds 1 writes LF, CR and CR LF of
 * text entries (no NUL or other control bytes) as CR LF.
 * The call is an update of the extraction folder with this one archive (Vbz_UpdateBegin, Stage,
 * Commit below), which first recovers what an interrupted call or update left there
 * (Vbz_UpdateRecover): each file is staged in its target folder and verified; only when every
 * selected entry is staged does the first file replace its target (by rename, never by writing
 * into it). Before UZ_OK the data is synced to disk. On any failure the folder is left as it was:
 * staged files removed, replaced files restored, created folders removed.
 *
 * Messages (PrintCallback, one line each, ending in "\n", shorter than 1,024 bytes): errors
 * "error: ..." at every level; warnings "warning: ..." and one line per entry at UZ_MSG_NORMAL
 * ("  inflating: path", " extracting: path", "   creating: path/", "    testing: name   OK",
 * "   skipping: path  (reason)"); the archive name and a summary at UZ_MSG_VERBOSE.
 *
 * EngineArea after a successful call: [0] entries processed, [1] files written, [2] and [3] low and
 * high 32 bits of the bytes read, [4] entries skipped. */
UZ_EXPORT int32_t UZ_CALL Wiz_SingleEntryUnzip(int32_t includeCount, UnzipNameList* include,
                                               int32_t excludeCount, UnzipNameList* exclude,
                                               UnzipOptions* options, UnzipCallbacks* callbacks);
/* Fills the version record: Version = engine 1.0.0, Group1 the same, Group2 the libzip version,
 * Group3 the zlib version, ExtraInfo "libzip", Date "YYYY-MM-DD" of the engine version, Reserved
 * "vbuzip10". Returns UZ_OK, or UZ_ERR_PARAMETERS for a null record or a StructLength below 64. */
UZ_EXPORT int32_t UZ_CALL UzpVersion2(UnzipVersionInfo* version);

/* ---- Staged updates ----
 *
 * An update installs the files of several archives into one folder (the program folder) all
 * together or not at all. Vbz_UpdateStage writes every selected entry of one archive beside its
 * target and verifies it, while the installed files stay as they are (the program using them may
 * still run); Vbz_UpdateCommit then installs every staged file at once. A file staged again by a
 * later archive replaces the earlier staged file of the same target: the later archive wins.
 *
 * Reserved names: everything the engine makes in the folder begins with ".vbuzip-" (staged files
 * and backups ".vbuzip-<random>-<n>.tmp" beside their targets, and the records below in the
 * folder itself). An entry with a name part beginning with ".vbuzip-", in any case, fails with
 * UZ_ERR_UNSAFE_PATH; existing files of the folder are never removed because of their names.
 *
 * Records: every staged file and created folder is entered in the plan (synced) before it is made.
 * The commit writes the journal of every replacement (to UZ_UPDATE_JOURNAL_NEW, synced, renamed,
 * the folder synced) before it replaces the first file; then it puts every staged file in place
 * (the replaced file stays under a temporary name), syncs, and removes the replaced files, the
 * plan and the journal. A process killed at any moment leaves records that Vbz_UpdateRecover
 * reads. */
typedef struct UnzipUpdate UnzipUpdate;

/* The records' names in the update's folder. */
#define UZ_UPDATE_PLAN ".vbuzip-update.plan"
#define UZ_UPDATE_JOURNAL ".vbuzip-update.journal"
#define UZ_UPDATE_JOURNAL_NEW ".vbuzip-update.journal.new"

/* What Vbz_UpdateRecover did. */
#define UZ_RECOVERED_NOTHING 0 /* no records: nothing to do */
#define UZ_RECOVERED_COMPLETED                                                                     \
    1 /* an interrupted commit was finished: every staged file is in                               \
         place */
#define UZ_RECOVERED_ROLLED_BACK                                                                   \
    2                          /* an interrupted commit could not be finished (a staged file is    \
                                  gone): every replaced file was put back */
#define UZ_RECOVERED_REMOVED 3 /* a prepared update that was never committed was removed */

/* Opens an update of folder (created with its missing parents when missing) and locks it: one
 * update per folder at a time (Wiz_SingleEntryUnzip calls on it wait). *update receives the handle
 * (null on failure). Fails with UZ_ERR_BUSY while another update holds the folder, or while records
 * of an interrupted one are present (call Vbz_UpdateRecover first), UZ_ERR_PARAMETERS for null or
 * empty arguments, UZ_ERR_WRITE when the folder cannot be opened. */
UZ_EXPORT int32_t UZ_CALL Vbz_UpdateBegin(const char* folder, UnzipUpdate** update);
/* Stages the selected entries of options->ArchivePath into the update: arguments, selection,
 * options, checks, callbacks, messages and results as for an extraction by Wiz_SingleEntryUnzip,
 * with the update's folder as the extraction folder (options->ExtractFolder is not used; ListOnly
 * and TestOnly must be 0). Free space is checked for the archive's files on top of what is staged
 * already. Nothing installed is touched; folders the entries need are created. On a non-zero
 * result the update is as it was before the call, and may go on or be discarded. */
UZ_EXPORT int32_t UZ_CALL Vbz_UpdateStage(UnzipUpdate* update, int32_t includeCount,
                                          UnzipNameList* include, int32_t excludeCount,
                                          UnzipNameList* exclude, UnzipOptions* options,
                                          UnzipCallbacks* callbacks);
/* The progress of an update's staging calls: bytesWritten is the entry data the current
 * Vbz_UpdateStage call has written so far (all of its entries together, counted as they are
 * written). Called on the calling thread after each entry and about every 100 ms while a long
 * entry is written; a nonzero answer stops the call with UZ_ERR_STOPPED, as ServiceCallback's can.
 */
typedef int32_t(UZ_CALL* UzProgressCallback)(uint64_t bytesWritten);
/* Sets the progress callback of the update's later Vbz_UpdateStage calls (null: none, the
 * default). UZ_OK, or UZ_ERR_PARAMETERS for a null handle. */
UZ_EXPORT int32_t UZ_CALL Vbz_UpdateProgress(UnzipUpdate* update, UzProgressCallback progress);
/* Installs every staged file and ends the update (the handle is freed, whatever the result).
 * UZ_OK: every file is in place and durable, nothing of the engine's is left in the folder.
 * Otherwise (UZ_ERR_WRITE, UZ_ERR_DISK_FULL, ...) every replaced file is back and the update is
 * discarded. Errors go to callbacks->Print (callbacks may be null). */
UZ_EXPORT int32_t UZ_CALL Vbz_UpdateCommit(UnzipUpdate* update, UnzipCallbacks* callbacks);
/* Removes every staged file and created folder and ends the update (the handle is freed).
 * UZ_OK, or UZ_ERR_PARAMETERS for a null handle. */
UZ_EXPORT int32_t UZ_CALL Vbz_UpdateDiscard(UnzipUpdate* update);
/* Reads the records an interrupted update or extraction left in folder and finishes or undoes it,
 * touching only the files they name; *report (may be null) receives UZ_RECOVERED_*. A journal
 * present: the commit is finished when every staged file is still there or in place, otherwise
 * rolled back; a plan alone: its staged files and created folders are removed. Afterwards no
 * record, staged file or replaced file is left. UZ_OK, UZ_ERR_BUSY while an update holds the
 * folder, UZ_ERR_WRITE when a record cannot be read or is damaged; errors go to callbacks->Print.
 */
UZ_EXPORT int32_t UZ_CALL Vbz_UpdateRecover(const char* folder, int32_t* report,
                                            UnzipCallbacks* callbacks);

typedef int32_t(UZ_CALL* Wiz_SingleEntryUnzip_t)(int32_t, UnzipNameList*, int32_t, UnzipNameList*,
                                                 UnzipOptions*, UnzipCallbacks*);
typedef int32_t(UZ_CALL* UzpVersion2_t)(UnzipVersionInfo*);
typedef int32_t(UZ_CALL* Vbz_UpdateBegin_t)(const char*, UnzipUpdate**);
typedef int32_t(UZ_CALL* Vbz_UpdateStage_t)(UnzipUpdate*, int32_t, UnzipNameList*, int32_t,
                                            UnzipNameList*, UnzipOptions*, UnzipCallbacks*);
typedef int32_t(UZ_CALL* Vbz_UpdateProgress_t)(UnzipUpdate*, UzProgressCallback);
typedef int32_t(UZ_CALL* Vbz_UpdateCommit_t)(UnzipUpdate*, UnzipCallbacks*);
typedef int32_t(UZ_CALL* Vbz_UpdateDiscard_t)(UnzipUpdate*);
typedef int32_t(UZ_CALL* Vbz_UpdateRecover_t)(const char*, int32_t*, UnzipCallbacks*);

#ifdef __cplusplus
} /* extern "C" */
#define UZ_STATIC_ASSERT static_assert
#else
#define UZ_STATIC_ASSERT _Static_assert
#endif

UZ_STATIC_ASSERT(sizeof(UnzipVersionInfo) == 64, "version record is 64 bytes");
UZ_STATIC_ASSERT(offsetof(UnzipVersionInfo, ExtraInfo) == 8, "extra info at 8");
UZ_STATIC_ASSERT(offsetof(UnzipVersionInfo, Date) == 18, "date at 18");
UZ_STATIC_ASSERT(offsetof(UnzipVersionInfo, Reserved) == 38, "third text at 38");
UZ_STATIC_ASSERT(offsetof(UnzipVersionInfo, Version) == 60, "version group 4 at 60");
UZ_STATIC_ASSERT(offsetof(UnzipOptions, CaseSensitiveNames) == 52, "case flag at 52");
UZ_STATIC_ASSERT(offsetof(UnzipOptions, Reserved5) == 56, "last engine flag at 56");
#if UINTPTR_MAX == 0xFFFFFFFFu
UZ_STATIC_ASSERT(sizeof(UnzipOptions) == 68, "options record is 68 bytes");
UZ_STATIC_ASSERT(offsetof(UnzipOptions, ArchivePath) == 60, "archive path at 60");
UZ_STATIC_ASSERT(offsetof(UnzipOptions, ExtractFolder) == 64, "extraction folder at 64");
UZ_STATIC_ASSERT(sizeof(UnzipNameList) == 4096, "name list is 4096 bytes");
UZ_STATIC_ASSERT(sizeof(UnzipCallbacks) == 44, "callback table is 44 bytes");
UZ_STATIC_ASSERT(offsetof(UnzipCallbacks, EngineArea) == 24, "engine area at 24");
#else
UZ_STATIC_ASSERT(sizeof(UnzipOptions) == 80, "options record is 80 bytes");
UZ_STATIC_ASSERT(offsetof(UnzipOptions, ArchivePath) == 64, "archive path at 64");
UZ_STATIC_ASSERT(offsetof(UnzipOptions, ExtractFolder) == 72, "extraction folder at 72");
UZ_STATIC_ASSERT(sizeof(UnzipNameList) == 8192, "name list is 8192 bytes");
UZ_STATIC_ASSERT(sizeof(UnzipCallbacks) == 72, "callback table is 72 bytes");
UZ_STATIC_ASSERT(offsetof(UnzipCallbacks, EngineArea) == 48, "engine area at 48");
#endif

#endif /* VBUZIP10_H */
