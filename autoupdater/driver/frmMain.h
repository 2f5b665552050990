// The updater's main form: the update fields, the downloader, the start timer and the update run,
// shown in the front-end's window through its view, and the actions of the window's buttons.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/EventLoop.h"
#include "download/DL.h"
#include "driver/DownloadProgress.h"
#include "driver/RunLog.h"
#include "driver/UpdaterView.h"
#include "unzip/cUnzip.h"
#include "verify/UpdateVerifier.h"

class AsyncReadService;
class UpdateLock;
class UpdatePreparer;

// Everything the main form takes from its surroundings. The defaults are the real ones; tests
// replace them with temporary folders, fake services and fake process lists.
struct UpdaterEnvironment {
    std::string commandLine;   // the arguments joined by single spaces
    std::string programFolder; // the updater's folder, without a trailing separator
    std::string systemDir;     // where the engine library is installed; empty: Get_SystemDir()
    AsyncReadService* readService = nullptr; // the front-end's read service; required
    // null: the real process check
    std::function<bool(const std::string& sExeName, std::int32_t lProcessID)> processRunning;
    bool lockProgramFolder = true; // take the one-update-at-a-time lock on the program folder
};

// How an update run ended (Cancelled: the updater was closed before the run's end); the values
// are the exit statuses of the process that ends after such a run.
enum class RunOutcome { Succeeded = 0, Failed = 1, Cancelled = 2 };

inline int ExitStatus(RunOutcome outcome) {
    return static_cast<int>(outcome);
}

class frmMain {
public:
    // The run starts from the start timer, on a later turn of `loop`; `view` is the window.
    frmMain(UpdaterEnvironment environment, UpdaterView& view, EventLoop& loop);
    ~frmMain();
    frmMain(const frmMain&) = delete;
    frmMain& operator=(const frmMain&) = delete;

    // Starts the download of a package into the updates folder; errors go to the caller.
    void Download_File(const std::string& Filename, bool isPackage = true);

    // The close action: during the run (Cancel) first undoes what can be undone quickly; after a
    // run that ended successfully with version notes, starts the client; then ends the process at
    // once.
    void closeAction();
    // The update-info action: once available, shows the first block of the version notes.
    void updateInfoAction();

    // What the close action does to start the client and to end the process. The defaults are the
    // real ones; tests replace them.
    std::function<void(const std::string& programFolder)> startClient;
    std::function<void()> terminateProcess;
    // Called once, when the update run has ended (the window stays open).
    std::function<void(RunOutcome outcome)> runEnded;

    // Update fields, as the parse step of the run fills them (read-only outside the form).
    const std::string& baseURL() const { return m_sBaseURL; }
    const std::vector<std::string>& files() const { return m_sFiles; }
    std::int32_t clientPID() const { return m_lClientPID; }
    bool runStarted() const { return m_bRunStarted; }
    // False until the update run has ended, on success or failure; never goes back to false.
    bool finished() const { return m_bFinished; }
    // The update-info button can be pressed once the run has ended with version notes.
    bool updateInfoAvailable() const { return m_bFinished && m_bUpdateInfoUncovered; }
    // Cancelled until the run has ended.
    RunOutcome outcome() const { return m_outcome; }
    // Whether the start timer is still to fire, and its interval.
    bool startTimerActive() const { return tmrStart != nullptr; }
    static constexpr std::chrono::milliseconds kStartInterval{50};
    const std::string& programFolder() const { return m_environment.programFolder; }

private:
    void Form_Load();
    void tmrStart_Timer();
    void Start_Update();
    void EndRun(RunOutcome outcome);
    void ShowProgressDisplay(bool bShow); // emptied when shown
    void ShowProgress(std::int64_t done, std::int64_t total);

    // The stages of the run, in their order. Each one that can fail returns false when the run
    // ends there, after the line that says why.
    bool RunUpdate();
    bool ReadCommandLine();
    bool LockProgramFolder();
    bool LoadPublisherKeys();
    bool InstallEngineLibrary();
    bool RecoverInterruptedUpdate();
    bool DownloadPackages();
    bool DownloadPackage(const std::string& name);
    bool DownloadIntoUpdates(const std::string& file, bool isPackage);
    bool WaitForDownload();
    bool PackageArrived(const std::string& name) const;
    bool CheckPackagesArrived(std::size_t from);
    bool PreparePackages();
    void StopPreparing();
    void WaitForClient();
    bool InstallPackages();
    void RecordInstalledPackages();

    UpdaterEnvironment m_environment;
    UpdaterView& m_view;
    EventLoop& m_loop;
    ::DL DL;
    DownloadFlags m_download; // of the file being downloaded
    // When its progress was last drawn; empty before.
    std::optional<std::chrono::steady_clock::time_point> m_progressDrawn;
    std::unique_ptr<EventLoop::Timer> tmrStart;
    std::shared_ptr<cUnzip> m_cUnzip;

    RunLog m_runLog;
    RunOutcome m_outcome = RunOutcome::Cancelled;
    bool m_bFinished = false;
    bool m_bUpdateInfoUncovered = false;
    std::string m_sBaseURL;
    std::vector<std::string> m_sFiles;
    std::vector<std::string> m_packages; // every element of m_sFiles but the process-id token
    std::int32_t m_lClientPID = 0;
    bool m_bRunStarted = false;
    std::unique_ptr<UpdateLock> m_lock;
    UpdateVerifier m_verifier;
    // Verifies and stages the packages; uses m_cUnzip and m_verifier, so it goes before them.
    std::unique_ptr<UpdatePreparer> m_preparer;
};
