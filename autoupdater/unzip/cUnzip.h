// cUnzip: the program's object for one zip archive. It holds the archive path, the folder to
// extract into and the extraction options; lists the archive into a directory of entries
// (Directory), lets a caller read each entry and choose which to extract, extracts the chosen
// entries (Unzip), stages them into an update (PrepareUpdate), reports the engine's version
// (GetVersion) and raises five events, synchronously on the thread of the engine call, while the
// engine works.
//
// Hold objects in a std::shared_ptr: the engine interface keeps a counted reference to the archive
// of the latest engine call (mUnzip::CurrentArchive). Events are delivered to direct connections
// only (their reference parameters carry the answers back to the engine).
#pragma once

#include <QObject>
#include <QString>
#include <QVector>
#include <memory>

#include "unzip/mUnzip.h"

// One listed entry of an archive.
struct ZipDirectoryEntry {
    QString name;     // file-name part of the entry name
    QString folder;   // folder part, empty at the archive's top level
    qint32 size = 0;  // uncompressed size
    qint32 ratio = 0; // compression ratio in percent
    QString method;   // compression method name
    double date = 0;  // date-time value of the entry
    qint32 crc = 0;
    bool encrypted = false;
    bool selected = false;
};

class cUnzip : public QObject, public mUnzip::ArchiveCallbacks {
    Q_OBJECT
public:
    explicit cUnzip(QObject* parent = nullptr);
    ~cUnzip() override;

    // Option properties; each one is the store of one field of the options record.
    bool ExtractOnlyNewer() const;
    void setExtractOnlyNewer(bool bState);
    bool SpaceToUnderScore() const;
    void setSpaceToUnderScore(bool bState);
    bool PromptToOverwrite() const;
    void setPromptToOverwrite(bool bState);
    qint32 MessageLevel() const;
    void setMessageLevel(qint32 eLevel);
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
    qint32 FileCount() const;
    QString Filename(qint32 lIndex) const;
    QString FileDirectory(qint32 lIndex) const;
    qint32 FileSize(qint32 lIndex) const;
    // Size times ratio / 100, toward zero; AppError(Overflow) when size times ratio does not fit
    // in 32 bits.
    qint32 FilePackedSize(qint32 lIndex) const;
    qint32 FileCompressionRatio(qint32 lIndex) const;
    double FileDate(qint32 lIndex) const;
    qint32 FileCRC(qint32 lIndex) const;
    QString FileCompressionMethod(qint32 lIndex) const;
    bool FileEncrypted(qint32 lIndex) const;
    bool FileSelected(qint32 lIndex) const;
    void setFileSelected(qint32 lIndex, bool bState);

    // Lists the archive, appending its entries to the directory (every new entry selected).
    // Returns the engine's result: 0 when the engine reported no problem.
    qint32 Directory();
    // Extracts the selected entries into UnzipFolder (every entry when all or none are selected).
    // Returns false at once when ZipFile is empty; otherwise true when the engine reported a
    // problem (a non-zero result) and false when it reported none.
    bool Unzip();

    // A staged update of UnzipFolder: every package prepared into it while the installed files
    // stay as they are, then all installed by one commit (the engine's Vbz_Update* calls). The
    // calls throw like Unzip when the engine cannot be loaded.
    //
    // Opens the update (the engine's result; UZ_ERR_BUSY while one is open).
    qint32 BeginUpdate();
    // Stages the selected entries of ZipFile (every entry when all or none are selected) into the
    // update; raises the events as Unzip does. True when there was a problem (none is staged of
    // this archive then), like Unzip; true also without an update or a ZipFile.
    bool PrepareUpdate();
    // Installs every staged file and ends the update; the engine's result (0: installed; else
    // nothing of the update is installed).
    qint32 CommitUpdate();
    // Removes every staged file and ends the update; nothing when none is open. Also done when
    // the object goes away.
    void DiscardUpdate();
    // Finishes or undoes an interrupted update of UnzipFolder: the engine's result, and in
    // lReport what was done (UZ_RECOVERED_*).
    qint32 RecoverUpdate(qint32& lReport);

    void setUnzipFolder(const QString& sFolder);
    QString UnzipFolder() const;
    QString ZipFile() const;
    // Also empties the directory, even when the path is unchanged.
    void setZipFile(const QString& sFIle);

    // The engine's version. dDate receives the engine's date when its date text reads as a date,
    // and is left as passed otherwise; sExtraInfo is padded with spaces to 10 characters.
    void GetVersion(qint32& lMajor, qint32& lMinor, qint32& lRevision, double& dDate,
                    QString& sExtraInfo);

signals:
    // The entry just processed; set bCancel to stop the engine call.
    void Cancel(const QString& sMsg, bool& bCancel);
    // A file is about to be overwritten; eResponse (100 on entry) is the engine's answer.
    void OverwritePrompt(const QString& sFIle, qint32& eResponse);
    // An entry needs a password; leave it empty or set bCancel to give none.
    void PasswordRequest(QString& sPassword, bool& bCancel);
    // One engine message; lCount is always 1.
    void Progress(qint32 lCount, const QString& sMsg);
    // While PrepareUpdate works, after each entry and every few tenths of a second within a large
    // one: the bytes it has staged so far; set bCancel to stop it.
    void Staging(qint64 bytesWritten, bool& bCancel);

private:
    // Operations of the engine callbacks, reached only through mUnzip::ArchiveCallbacks.
    void AddDirectoryEntry(const QString& sName, const QString& sFolder, double dDate, qint32 lSize,
                           qint32 lCRC, bool bEncrypted, qint32 lRatio,
                           const QString& sMethod) override;
    void RaiseOverwritePrompt(const QString& sFile, qint32& eResponse) override;
    void RaiseProgress(const QString& sMsg) override;
    void RaiseCancel(const QString& sMsg, bool& bCancel) override;
    void RaiseStaging(qint64 bytesWritten, bool& bCancel) override;
    void RaisePasswordRequest(QString& sPassword, bool& bCancel) override;

    static QString BuildEntryPath(const QString& sFolder, const QString& sFileName);
    // The names Unzip hands the engine: none when every entry (or none) is selected.
    QStringList SelectedNames() const;
    const ZipDirectoryEntry& EntryAt(qint32 lIndex) const;

    QString m_sZipFile;
    QString m_sUnzipFolder;
    QVector<ZipDirectoryEntry> m_Entries;
    qint32 m_lFileCount = 0;
    mUnzip::UnzipOptionsW m_Options;
    UnzipUpdate* m_update = nullptr;
};
