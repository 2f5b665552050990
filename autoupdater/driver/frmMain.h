// The updater's main window: the skinned window with the update fields, the downloader, the start
// timer and the update run.
#pragma once

#include <QElapsedTimer>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <memory>

#include "download/DL.h"
#include "driver/DownloadProgress.h"
#include "driver/RunLog.h"
#include "unzip/cUnzip.h"
#include "verify/UpdateVerifier.h"
#include "windows/UpdaterWindow.h"

class AsyncReadService;
class UpdateLock;
class UpdatePreparer;

// Everything the main window takes from its surroundings. The defaults are the real ones; tests
// replace them with temporary folders, fake services and fake process lists.
struct UpdaterEnvironment {
    QString commandLine;   // the arguments joined by single spaces
    QString programFolder; // the updater's folder, without a trailing separator
    QString systemDir;     // where the engine library is installed (Get_SystemDir)
    AsyncReadService* readService = nullptr; // null: the network service
    std::function<bool(const QString& sExeName, qint32 lProcessID)> processRunning; // null: real
    bool lockProgramFolder = true; // take the one-update-at-a-time lock on the program folder
};

// How an update run ended (Cancelled: the updater was closed before the run's end); the values
// are the exit statuses of the process that ends after such a run.
enum class RunOutcome { Succeeded = 0, Failed = 1, Cancelled = 2 };

inline int ExitStatus(RunOutcome outcome) {
    return static_cast<int>(outcome);
}

class frmMain : public UpdaterWindow {
    Q_OBJECT
public:
    explicit frmMain(UpdaterEnvironment environment, QWidget* parent = nullptr);
    ~frmMain() override;

    // Starts the download of a package into the updates folder; errors go to the caller.
    void Download_File(const QString& Filename, bool isPackage = true);

    // Update fields, as the parse step of the run fills them (read-only outside the window).
    const QString& baseURL() const { return m_sBaseURL; }
    const QStringList& files() const { return m_sFiles; }
    qint32 clientPID() const { return m_lClientPID; }
    bool runStarted() const { return m_bRunStarted; }
    // Cancelled until the run has ended.
    RunOutcome outcome() const { return m_outcome; }
    const QTimer& startTimer() const { return tmrStart; }

signals:
    // Emitted once, when the update run has ended (the window stays open).
    void runEnded(RunOutcome outcome);

private:
    void Form_Load();
    void tmrStart_Timer();
    void Start_Update();
    void EndRun(RunOutcome outcome);
    void AppendStatusLine(const QString& sMessage);
    void ShowProgressDisplay(bool bShow); // emptied when shown

    // The stages of the run, in their order. Each one that can fail returns false when the run
    // ends there, after the line that says why.
    bool RunUpdate();
    bool ReadCommandLine();
    bool LockProgramFolder();
    bool LoadPublisherKeys();
    bool InstallEngineLibrary();
    bool RecoverInterruptedUpdate();
    bool DownloadPackages();
    bool DownloadPackage(const QString& name);
    bool DownloadIntoUpdates(const QString& file, bool isPackage);
    bool WaitForDownload();
    bool PackageArrived(const QString& name) const;
    bool CheckPackagesArrived(qsizetype from);
    bool PreparePackages();
    void StopPreparing();
    void WaitForClient();
    bool InstallPackages();
    void RecordInstalledPackages();

    ::DL DL;
    DownloadFlags m_download;      // of the file being downloaded
    QElapsedTimer m_progressDrawn; // since its progress was last drawn; invalid before
    QTimer tmrStart;
    std::shared_ptr<cUnzip> m_cUnzip;

    UpdaterEnvironment m_environment;
    RunLog m_runLog;
    RunOutcome m_outcome = RunOutcome::Cancelled;
    QString m_sBaseURL;
    QStringList m_sFiles;
    QStringList m_packages; // every element of m_sFiles but the process-id token
    qint32 m_lClientPID = 0;
    bool m_bRunStarted = false;
    std::unique_ptr<UpdateLock> m_lock;
    UpdateVerifier m_verifier;
    // Verifies and stages the packages; uses m_cUnzip and m_verifier, so it goes before them.
    std::unique_ptr<UpdatePreparer> m_preparer;
};
