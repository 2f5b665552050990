// cUnzip: the program's object for one zip archive. It holds the archive path, the folder to
// extract into and the extraction options; lists the archive into a directory of entries
// (Directory), lets a caller read each entry and choose which to extract, extracts the chosen
// entries (Unzip), stages them into an update (PrepareUpdate), reports the engine's version
// (GetVersion) and raises five events, synchronously on the thread of the engine call, while the
// engine works.
//
// Hold objects in a std::shared_ptr: the engine interface keeps a counted reference to the archive
// of the latest engine call (mUnzip::CurrentArchive). The events are public std::function members,
// called directly (an empty one is skipped); their reference parameters carry the answers back to
// the engine. Set them while no engine call of the object is in progress.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "unzip/mUnzip.h"

// One listed entry of an archive.
struct ZipDirectoryEntry {
    std::string name;       // file-name part of the entry name
    std::string folder;     // folder part, empty at the archive's top level
    std::int32_t size = 0;  // uncompressed size
    std::int32_t ratio = 0; // compression ratio in percent
    std::string method;     // compression method name
    double date = 0;        // date-time value of the entry
    std::int32_t crc = 0;
    bool encrypted = false;
    bool selected = false;
};

class cUnzip : public mUnzip::ArchiveCallbacks {
public:
    cUnzip();
    ~cUnzip() override;
    cUnzip(const cUnzip&) = delete;
    cUnzip& operator=(const cUnzip&) = delete;

    // Option properties; each one is the store of one field of the options record.
    bool ExtractOnlyNewer() const;
    void setExtractOnlyNewer(bool bState);
    bool SpaceToUnderScore() const;
    void setSpaceToUnderScore(bool bState);
    bool PromptToOverwrite() const;
    void setPromptToOverwrite(bool bState);
    std::int32_t MessageLevel() const;
    void setMessageLevel(std::int32_t eLevel);
    bool TestZip() const;
    void setTestZip(bool bState);
    bool UseFolderNames() const;
    void setUseFolderNames(bool bState);
    bool OverwriteExisting() const;
    void setOverwriteExisting(bool bState);
    bool ConvertCRToCRLF() const;
    void setConvertCRToCRLF(bool bState);
    bool CaseSensitiveFileNames() const;
    void setCaseSensitiveFileNames(bool bState);

    // The directory. lIndex runs from 1 to FileCount; any other index throws
    // AppError(SubscriptOutOfRange).
    std::int32_t FileCount() const;
    std::string Filename(std::int32_t lIndex) const;
    std::string FileDirectory(std::int32_t lIndex) const;
    std::int32_t FileSize(std::int32_t lIndex) const;
    // Size times ratio / 100, toward zero; AppError(Overflow) when size times ratio does not fit
    // in 32 bits.
    std::int32_t FilePackedSize(std::int32_t lIndex) const;
    std::int32_t FileCompressionRatio(std::int32_t lIndex) const;
    double FileDate(std::int32_t lIndex) const;
    std::int32_t FileCRC(std::int32_t lIndex) const;
    std::string FileCompressionMethod(std::int32_t lIndex) const;
    bool FileEncrypted(std::int32_t lIndex) const;
    bool FileSelected(std::int32_t lIndex) const;
    void setFileSelected(std::int32_t lIndex, bool bState);

    // Lists the archive, appending its entries to the directory (every new entry selected).
    // Returns the engine's result: 0 when the engine reported no problem.
    std::int32_t Directory();
    // Extracts the selected entries into UnzipFolder (every entry when all or none are selected).
    // Returns false at once when ZipFile is empty; otherwise true when the engine reported a
    // problem (a non-zero result) and false when it reported none.
    bool Unzip();

    // A staged update of UnzipFolder: every package prepared into it while the installed files
    // stay as they are, then all installed by one commit (the engine's Vbz_Update* calls). The
    // calls throw like Unzip when the engine cannot be loaded.
    //
    // Opens the update (the engine's result; UZ_ERR_BUSY while one is open).
    std::int32_t BeginUpdate();
    // Stages the selected entries of ZipFile (every entry when all or none are selected) into the
    // update; raises the events as Unzip does. True when there was a problem (none is staged of
    // this archive then), like Unzip; true also without an update or a ZipFile.
    bool PrepareUpdate();
    // Installs every staged file and ends the update; the engine's result (0: installed; else
    // nothing of the update is installed).
    std::int32_t CommitUpdate();
    // Removes every staged file and ends the update; nothing when none is open. Also done when
    // the object goes away.
    void DiscardUpdate();
    // Finishes or undoes an interrupted update of UnzipFolder: the engine's result, and in
    // lReport what was done (UZ_RECOVERED_*).
    std::int32_t RecoverUpdate(std::int32_t& lReport);

    // The paths, empty until set.
    void setUnzipFolder(const std::string& sFolder);
    std::string UnzipFolder() const;
    std::string ZipFile() const;
    // Also empties the directory, even when the path is unchanged.
    void setZipFile(const std::string& sFIle);

    // The engine's version. dDate receives the engine's date when its date text reads as a date,
    // and is left as passed otherwise; sExtraInfo is padded with spaces to 10 characters.
    void GetVersion(std::int32_t& lMajor, std::int32_t& lMinor, std::int32_t& lRevision,
                    double& dDate, std::string& sExtraInfo);

    // The events.
    //
    // The entry just processed; set bCancel to stop the engine call.
    std::function<void(const std::string& sMsg, bool& bCancel)> Cancel;
    // A file is about to be overwritten; eResponse (100 on entry) is the engine's answer.
    std::function<void(const std::string& sFIle, std::int32_t& eResponse)> OverwritePrompt;
    // An entry needs a password; leave it empty or set bCancel to give none.
    std::function<void(std::string& sPassword, bool& bCancel)> PasswordRequest;
    // One engine message; lCount is always 1.
    std::function<void(std::int32_t lCount, const std::string& sMsg)> Progress;
    // While PrepareUpdate works, after each entry and every few tenths of a second within a large
    // one: the bytes it has staged so far; set bCancel to stop it.
    std::function<void(std::int64_t bytesWritten, bool& bCancel)> Staging;

private:
    // Operations of the engine callbacks, reached only through mUnzip::ArchiveCallbacks.
    void AddDirectoryEntry(const std::string& sName, const std::string& sFolder, double dDate,
                           std::int32_t lSize, std::int32_t lCRC, bool bEncrypted,
                           std::int32_t lRatio, const std::string& sMethod) override;
    void RaiseOverwritePrompt(const std::string& sFile, std::int32_t& eResponse) override;
    void RaiseProgress(const std::string& sMsg) override;
    void RaiseCancel(const std::string& sMsg, bool& bCancel) override;
    void RaiseStaging(std::int64_t bytesWritten, bool& bCancel) override;
    void RaisePasswordRequest(std::string& sPassword, bool& bCancel) override;

    static std::string BuildEntryPath(const std::string& sFolder, const std::string& sFileName);
    // The names Unzip hands the engine: none when every entry (or none) is selected.
    std::vector<std::string> SelectedNames() const;
    const ZipDirectoryEntry& EntryAt(std::int32_t lIndex) const;

    // Not there until set: an unset path crosses to the engine as a null pointer.
    std::optional<std::string> m_sZipFile;
    std::optional<std::string> m_sUnzipFolder;
    std::vector<ZipDirectoryEntry> m_Entries;
    std::int32_t m_lFileCount = 0;
    mUnzip::UnzipOptionsW m_Options;
    UnzipUpdate* m_update = nullptr;
};
