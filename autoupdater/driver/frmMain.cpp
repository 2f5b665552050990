#include "driver/frmMain.h"

#include <cerrno>

#include "AppError.h"
#include "core/Diagnostics.h"
#include "download/UpdateDownload.h"
#include "driver/CommandLine.h"
#include "driver/UpdatePreparer.h"
#include "driver/VersionNotes.h"
#include "driver/modFunctions.h"
#include "driver/modSystem.h"
#include "process/ProcessExitWatch.h"
#include "process/StartClient.h"
#include "process/TerminateNow.h"
#include "process/UpdateLock.h"
#include "process/modProcesses.h"
#include "unzip/mUnzip.h"
#include "verify/SmallFiles.h"

namespace {
const std::string kClientExe = "Vorn.exe";
const std::string kEngineLibrary = "vbuzip10.dll";
// How long Cancel waits for the engine call in progress to stop, so that the update prepared so
// far can be removed; past it the next run's recovery removes it.
constexpr std::chrono::milliseconds kCancelWait{2000};
// The largest version notes the update-info action reads.
constexpr std::int64_t kVersionNotesLimit = 16 * 1024 * 1024;

// Ends a stage of the run as failed, with the line that says why.
bool StopWith(const std::string& line) {
    Add_Status(line);
    return false;
}

// The engine's own messages (at the quiet level: its errors) are not status lines; they go to
// standard error as diagnostics, so that the reason behind a failed extraction can be read there.
void ReportEngineMessage(std::int32_t, const std::string& sMsg) {
    std::string message = sMsg;
    while (!message.empty() && (message.back() == '\0' || message.back() == '\n'))
        message.pop_back();
    Warning("unzip: " + message);
}
} // namespace

frmMain::frmMain(UpdaterEnvironment environment, UpdaterView& view, EventLoop& loop)
    : m_environment(std::move(environment)), m_view(view), m_loop(loop),
      DL(*m_environment.readService),
      m_runLog(m_environment.programFolder, m_environment.commandLine),
      m_verifier(m_environment.programFolder) {
    SetStatusSink(this, [this](const std::string& sMessage) { m_view.appendStatusLine(sMessage); });
    if (m_environment.systemDir.empty())
        m_environment.systemDir = Get_SystemDir();
    if (!m_environment.processRunning)
        m_environment.processRunning = &Process_Running;
    startClient = [](const std::string& folder) { StartClient(folder, kClientExe); };
    terminateProcess = [this] {
        RunLog::note("exit", "status " + std::to_string(ExitStatus(m_outcome)));
        TerminateNow(ExitStatus(m_outcome));
    };

    // A fast transfer reports every megabyte; the display follows at its own pace, and shows
    // the end of the file.
    DL.Progress = [this](std::int64_t& downloaded, std::int64_t& total, std::string&) {
        if (!m_download.shown ||
            (downloaded != total && m_progressDrawn &&
             std::chrono::steady_clock::now() - *m_progressDrawn < kProgressRedrawInterval))
            return;
        m_progressDrawn = std::chrono::steady_clock::now();
        DL_Progress(m_view, downloaded, total);
    };
    DL.Completed = [this](std::int64_t& downloaded, std::int64_t& total, std::string&) {
        DL_Completed(m_download, &Add_Status, downloaded, total);
    };
    Form_Load();
}

frmMain::~frmMain() {
    m_preparer.reset();
    RemoveStatusSink(this);
}

void frmMain::Form_Load() {
    // An empty command line never gets this far: the program ends before any window exists.
    m_view.setCloseFace(UpdaterView::CloseFace::Cancel);
    m_bFinished = false;
    tmrStart = m_loop.startTimer(kStartInterval, false, [this] { tmrStart_Timer(); });
}

void frmMain::tmrStart_Timer() {
    // Stopped before the run, so that no tick falls due while the run waits: the run happens
    // exactly once, and the waits are not woken every 50 ms.
    tmrStart.reset();
    if (m_bRunStarted)
        return;
    m_bRunStarted = true;
    Start_Update();
}

void frmMain::Download_File(const std::string& Filename, bool isPackage) {
    ::Download_File(DL, programFolder(), m_sBaseURL, Filename, isPackage);
}

void frmMain::closeAction() {
    if (!m_bFinished && m_preparer && m_preparer->stop(kCancelWait))
        m_preparer->discard();
    if (updateInfoAvailable() && startClient)
        startClient(programFolder());
    if (terminateProcess)
        terminateProcess();
}

void frmMain::updateInfoAction() {
    if (!updateInfoAvailable())
        return;
    std::string content;
    std::string ignored;
    if (!readSmallFile(programFolder() + "/versions.txt", kVersionNotesLimit, &content, &ignored))
        return;
    const VersionNotesBlock block = ReadVersionNotesBlock(content);
    if (!block.lines.empty() || block.blankFound)
        m_view.showVersionNotes(block.lines, block.blankFound);
}

void frmMain::Start_Update() {
    RunOutcome outcome = RunOutcome::Failed;
    try {
        if (RunUpdate())
            outcome = RunOutcome::Succeeded;
    } catch (const AppError& error) {
        Add_Status("ERROR: " + error.description());
    } catch (const std::exception& error) {
        Add_Status(std::string("ERROR: ") + error.what());
    }
    EndRun(outcome);
}

void frmMain::EndRun(RunOutcome outcome) {
    StopPreparing();
    m_outcome = outcome;
    m_view.setCloseFace(UpdaterView::CloseFace::Close);
    m_bFinished = true;
    if (outcome == RunOutcome::Succeeded && File_Exists(programFolder() + "/versions.txt")) {
        m_bUpdateInfoUncovered = true;
        m_view.uncoverUpdateInfo();
    }
    if (runEnded)
        runEnded(outcome);
}

bool frmMain::RunUpdate() {
    Add_Status("Preparing to update...");
    if (!ReadCommandLine() || !LockProgramFolder() || !InstallEngineLibrary() ||
        !RecoverInterruptedUpdate() || !LoadPublisherKeys() || !DownloadPackages() ||
        !PreparePackages())
        return false;
    WaitForClient();
    if (!InstallPackages())
        return false;
    Add_Status("Client update complete.");
    RecordInstalledPackages();
    return true;
}

bool frmMain::ReadCommandLine() {
    const CommandLine parsed = ParseCommandLine(m_environment.commandLine);
    m_sBaseURL = parsed.baseURL;
    m_sFiles = parsed.files;
    m_lClientPID = parsed.clientPID;
    m_packages = parsed.packages();
    if (m_lClientPID == 0)
        return StopWith("ERROR: Client process problem, unable to continue.");
    for (const std::string& name : m_packages) {
        if (!IsPlainFileName(name))
            return StopWith("ERROR: Invalid update file name '" + ShownName(name) + "'.");
        if (name == kRunLogName)
            return StopWith("ERROR: Invalid update file name '" + name +
                            "': the run log has that name.");
    }
    return true;
}

bool frmMain::LockProgramFolder() {
    if (!m_environment.lockProgramFolder)
        return true;
    std::string reason;
    UpdateLock::Failure failure = UpdateLock::Failure::None;
    m_lock = UpdateLock::acquire(programFolder(), &reason, &failure);
    if (m_lock)
        return true;
    return StopWith(failure == UpdateLock::Failure::Busy
                        ? std::string("ERROR: Another update is already running.")
                        : "ERROR: Unable to lock the program folder: " + reason);
}

// The publisher's keys, read before anything is downloaded: with them every package must be
// signed; without them the run goes on unverified, and says so on standard error.
bool frmMain::LoadPublisherKeys() {
    std::string line;
    if (!m_verifier.load(&line))
        return StopWith(line);
    if (!m_verifier.signaturesRequired())
        Warning(m_verifier.unverifiedNotice());
    return true;
}

// In the system directory, or installed there from the program folder. Where the system refuses
// that copy for want of rights (a standard user on Windows), the program folder's copy serves the
// run, and the run log says so.
bool frmMain::InstallEngineLibrary() {
    const std::string installed = m_environment.systemDir + "/" + kEngineLibrary;
    const std::string shipped = programFolder() + "/" + kEngineLibrary;
    if (!File_Exists(installed)) {
        if (!File_Exists(shipped))
            return StopWith("ERROR: Missing vbuzip10.dll");
        std::string reason;
        int systemError = 0;
        if (!CopyFileSafely(shipped, installed, &reason, &systemError)) {
            Warning("Cannot install the engine library: " + reason);
            if (systemError != EACCES && systemError != EPERM)
                return StopWith("ERROR: Unable to install vbuzip10.dll");
            RunLog::note("engine", "not installed in " + m_environment.systemDir + " (" + reason +
                                       "): the program folder's copy is used");
            SetEngineFolders({programFolder()});
            return true;
        }
    }
    SetEngineFolders({programFolder(), m_environment.systemDir});
    return true;
}

// What a killed earlier run left in the program folder is finished or undone before anything
// else; one line says what was done, only when something was.
bool frmMain::RecoverInterruptedUpdate() {
    m_cUnzip = std::make_shared<cUnzip>();
    m_cUnzip->Progress = &ReportEngineMessage;
    m_cUnzip->setUnzipFolder(programFolder() + "/");
    std::int32_t report = UZ_RECOVERED_NOTHING;
    try {
        if (m_cUnzip->RecoverUpdate(report) != UZ_OK)
            return StopWith("ERROR: Unable to recover an interrupted update.");
    } catch (const AppError& error) {
        return StopWith("ERROR: Unable to recover an interrupted update: " + error.description());
    }
    switch (report) {
    case UZ_RECOVERED_COMPLETED:
        Add_Status("Completed an interrupted update.");
        break;
    case UZ_RECOVERED_ROLLED_BACK:
        Add_Status("Rolled back an interrupted update.");
        break;
    case UZ_RECOVERED_REMOVED:
        Add_Status("Removed an unfinished update.");
        break;
    default:
        break;
    }
    return true;
}

// Each package is handed to the preparing thread as soon as it has arrived (and every one before
// it has), and is prepared while the next one downloads. A package that failed to be verified or
// prepared ends the run before the next download starts. The packages handed over are the
// preparing thread's (a refused one is removed there); the arrival check is of the rest.
bool frmMain::DownloadPackages() {
    m_preparer = std::make_unique<UpdatePreparer>(*m_cUnzip, m_verifier, programFolder(), m_loop);
    bool downloaded = true;
    std::size_t handedOver = 0;
    for (std::size_t i = 0; i < m_packages.size() && downloaded; ++i) {
        const std::string& name = m_packages[i];
        if (const std::optional<std::string> failure = m_preparer->failure())
            downloaded = StopWith(*failure);
        else
            downloaded = DownloadPackage(name);
        if (downloaded && handedOver == i && PackageArrived(name)) {
            m_preparer->add(name);
            ++handedOver;
        }
    }
    ShowProgressDisplay(false);
    return downloaded && CheckPackagesArrived(handedOver);
}

void frmMain::ShowProgressDisplay(bool bShow) {
    if (bShow)
        m_progressDrawn.reset();
    m_view.showProgress(bShow);
}

// The package, then its signature when signatures are required. A signature that does not arrive
// refuses the package: its own failure line first, then the refusal.
bool frmMain::DownloadPackage(const std::string& name) {
    Add_Status("Downloading file " + name + "...");
    ShowProgressDisplay(true);
    if (!DownloadIntoUpdates(name, true))
        return false;
    if (!m_verifier.signaturesRequired() ||
        DownloadIntoUpdates(UpdateVerifier::signatureName(name), false))
        return true;
    StopPreparing(); // the verifier is the preparing thread's until then
    return StopWith(m_verifier.refuseUnsigned(name).statusLine);
}

// Downloads a file of the run into updates/ and waits until it has arrived; false after the
// download's own failure line, and the line of a failure on this computer when there was one.
// A package is shown as it arrives and must be a zip archive; its signature is neither.
bool frmMain::DownloadIntoUpdates(const std::string& file, bool isPackage) {
    m_download = {true, false, isPackage};
    try {
        Download_File(file, isPackage);
    } catch (const AppError& error) {
        return StopWith("ERROR: Unable to download '" + file + "': " + error.description());
    }
    const bool arrived = WaitForDownload();
    // A failure on this computer (no room for the file, or it cannot be saved) follows the
    // download's own line, which tells only of the transfer.
    const LocalFailure local = DL.lastLocalFailure();
    if (!local.happened())
        return arrived;
    return StopWith(local.outOfSpace() ? "ERROR: Not enough disk space to download '" + file + "'."
                                       : "ERROR: Unable to save '" + file + "': " + local.reason);
}

bool frmMain::WaitForDownload() {
    m_loop.waitUntil([this] { return m_download.downloadFailed || !m_download.downloading; });
    return !m_download.downloadFailed;
}

bool frmMain::PackageArrived(const std::string& name) const {
    return IsPlainFileAt(programFolder() + "/updates/" + name);
}

bool frmMain::CheckPackagesArrived(std::size_t from) {
    for (std::size_t i = from; i < m_packages.size(); ++i) {
        if (!PackageArrived(m_packages[i]))
            return StopWith("ERROR: Update file '" + m_packages[i] + "' not found.");
    }
    return true;
}

void frmMain::WaitForClient() {
    Add_Status("Checking client conditions...");
    // Sleeps until the client's exit is signalled; should the check still see a client after that
    // (the id taken by a new process of the same name), it is tested again every 50 ms.
    std::unique_ptr<EventLoop::Timer> recheck;
    const auto startRechecking = [this, &recheck] {
        if (!recheck)
            recheck = m_loop.startTimer(std::chrono::milliseconds(50), true, [] {});
    };
    ProcessExitWatch clientExit(m_loop, m_lClientPID);
    clientExit.exited = startRechecking;
    if (clientExit.hasExited())
        startRechecking();
    while (m_environment.processRunning(kClientExe, m_lClientPID))
        m_loop.waitForNext();
}

void frmMain::ShowProgress(std::int64_t done, std::int64_t total) {
    DL_Progress(m_view, done, total);
}

// Every package is staged beside its targets while the client still runs; the installed files
// stay as they are. The progress display shows the bytes prepared of all packages while the run
// waits, idle, for the preparing thread. A package that cannot be prepared ends the run at once,
// with nothing of any package left.
bool frmMain::PreparePackages() {
    if (m_packages.empty())
        return true;
    ShowProgressDisplay(true);
    const auto showPrepared = [this] {
        ShowProgress(m_preparer->preparedBytes(), m_preparer->totalBytes());
    };
    m_preparer->changed = showPrepared;
    showPrepared();
    m_loop.waitUntil([this] { return m_preparer->idle(); });
    m_preparer->changed = nullptr;
    showPrepared();
    ShowProgressDisplay(false);
    if (const std::optional<std::string> failure = m_preparer->failure())
        return StopWith(*failure);
    return true;
}

// Stops the preparing thread (at the next entry of the package it stages) and removes what it
// prepared; the window is served meanwhile.
void frmMain::StopPreparing() {
    if (!m_preparer)
        return;
    m_preparer->stop(std::chrono::milliseconds(0));
    m_loop.waitUntil([this] { return m_preparer->idle(); });
    m_preparer->discard();
}

// The update was prepared before the client wait; now that the client is gone, one commit
// installs it. The two lines of each package keep their places; the commit follows the last.
bool frmMain::InstallPackages() {
    for (std::size_t i = 0; i < m_packages.size(); ++i) {
        Add_Status("Processing update data...");
        m_loop.processPending();
        Add_Status("Updating files...");
    }
    if (m_packages.empty())
        return true;
    try {
        if (m_cUnzip->CommitUpdate() != UZ_OK)
            return StopWith("ERROR: The update could not be installed; every file is as it was.");
    } catch (const AppError& error) {
        return StopWith("ERROR: The update could not be installed: " + error.description());
    }
    m_loop.processPending();
    return true;
}

// The signing times of the packages just installed, so that none older is installed over them.
// The update itself is complete: a record that cannot be written is a diagnostic only.
void frmMain::RecordInstalledPackages() {
    std::string reason;
    if (!m_verifier.recordInstalled(&reason))
        Warning("Cannot record the signing times of the installed packages: " + reason);
}
