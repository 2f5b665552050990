#include "driver/frmMain.h"

#include <QCoreApplication>
#include <QDebug>
#include <QEventLoop>

#include "AppError.h"
#include "download/UpdateDownload.h"
#include "driver/CommandLine.h"
#include "driver/UpdatePreparer.h"
#include "driver/modFunctions.h"
#include "driver/modSystem.h"
#include "process/ProcessExitWatch.h"
#include "process/StartClient.h"
#include "process/TerminateNow.h"
#include "process/UpdateLock.h"
#include "process/modProcesses.h"
#include "unzip/mUnzip.h"

namespace {
const QString kClientExe = QStringLiteral("Vorn.exe");
const QString kEngineLibrary = QStringLiteral("vbuzip10.dll");
// How long Cancel waits for the engine call in progress to stop, so that the update prepared so
// far can be removed; past it the next run's recovery removes it.
constexpr std::chrono::milliseconds kCancelWait{2000};

// Handles every pending event, then returns.
void ProcessPendingMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

// Handles every pending event; when there was none, sleeps until the next one arrives.
void WaitForNextMessage() {
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

// Ends a stage of the run as failed, with the line that says why.
bool StopWith(const QString& line) {
    Add_Status(line);
    return false;
}

// The engine's own messages (at the quiet level: its errors) are not status lines; they go to
// standard error as diagnostics, so that the reason behind a failed extraction can be read there.
void ReportEngineMessage(qint32, const QString& sMsg) {
    QString message = sMsg;
    while (message.endsWith(QChar(0)) || message.endsWith(QLatin1Char('\n')))
        message.chop(1);
    qWarning().noquote() << "unzip:" << message;
}
} // namespace

frmMain::frmMain(UpdaterEnvironment environment, QWidget* parent)
    : UpdaterWindow(environment.programFolder, parent), DL(environment.readService),
      m_environment(std::move(environment)),
      m_runLog(m_environment.programFolder, m_environment.commandLine),
      m_verifier(programFolder()) {
    SetStatusSink(this, [this](const QString& sMessage) { AppendStatusLine(sMessage); });
    if (m_environment.systemDir.isEmpty())
        m_environment.systemDir = Get_SystemDir();
    if (!m_environment.processRunning)
        m_environment.processRunning = &Process_Running;
    startClient = [](const QString& folder) { StartClient(folder, kClientExe); };
    terminateProcess = [this] {
        RunLog::note(QStringLiteral("exit"),
                     QStringLiteral("status %1").arg(ExitStatus(m_outcome)));
        TerminateNow(ExitStatus(m_outcome));
    };
    abandonRun = [this] {
        if (m_preparer && m_preparer->stop(kCancelWait))
            m_preparer->discard();
    };

    // A fast transfer reports every megabyte; the display follows at its own pace, and shows
    // the end of the file.
    connect(&DL, &DL::Progress, this, [this](qint64& downloaded, qint64& total, QString&) {
        if (!m_download.shown || (downloaded != total && m_progressDrawn.isValid() &&
                                  !m_progressDrawn.hasExpired(kProgressRedrawInterval.count())))
            return;
        m_progressDrawn.start();
        DL_Progress(*pgBar, *lblFileProg, downloaded, total);
    });
    connect(&DL, &DL::Completed, this, [this](qint64& downloaded, qint64& total, QString&) {
        DL_Completed(m_download, &Add_Status, downloaded, total);
    });
    tmrStart.setInterval(50);
    connect(&tmrStart, &QTimer::timeout, this, &frmMain::tmrStart_Timer);
    Form_Load();
}

frmMain::~frmMain() {
    m_preparer.reset();
    RemoveStatusSink(this);
}

void frmMain::Form_Load() {
    // An empty command line never gets this far: the program ends before any window exists.
    picClose->setPicture(picCancel_up);
    m_bFinished = false;
    picUpdateInfo->setPicture(picUpdateInfo_down);
    shapeUpdateinfo->setVisible(true);
    txtInfo->setText(QString());
    tmrStart.start();
}

void frmMain::AppendStatusLine(const QString& sMessage) {
    txtInfo->setText(txtInfo->text() + sMessage + QStringLiteral("\r\n"));
    txtInfo->setSelStart(static_cast<int>(txtInfo->text().size()) - 1);
}

void frmMain::tmrStart_Timer() {
    // Stopped before the run, so that no tick falls due while the run waits: the run happens
    // exactly once, and the waits are not woken every 50 ms.
    tmrStart.stop();
    if (m_bRunStarted)
        return;
    m_bRunStarted = true;
    Start_Update();
    tmrStart.stop();
}

void frmMain::Download_File(const QString& Filename, bool isPackage) {
    ::Download_File(DL, programFolder(), m_sBaseURL, Filename, isPackage);
}

void frmMain::Start_Update() {
    RunOutcome outcome = RunOutcome::Failed;
    try {
        if (RunUpdate())
            outcome = RunOutcome::Succeeded;
    } catch (const AppError& error) {
        Add_Status(QStringLiteral("ERROR: ") + error.description());
    } catch (const std::exception& error) {
        Add_Status(QStringLiteral("ERROR: ") + QString::fromLocal8Bit(error.what()));
    }
    EndRun(outcome);
}

void frmMain::EndRun(RunOutcome outcome) {
    StopPreparing();
    m_outcome = outcome;
    picClose->setPicture(picClose_up);
    m_bFinished = true;
    if (outcome == RunOutcome::Succeeded &&
        File_Exists(programFolder() + QStringLiteral("/versions.txt"))) {
        shapeUpdateinfo->setVisible(false);
        picUpdateInfo->setPicture(picUpdateInfo_up);
    }
    emit runEnded(outcome);
}

bool frmMain::RunUpdate() {
    Add_Status(QStringLiteral("Preparing to update..."));
    if (!ReadCommandLine() || !LockProgramFolder() || !InstallEngineLibrary() ||
        !RecoverInterruptedUpdate() || !LoadPublisherKeys() || !DownloadPackages() ||
        !PreparePackages())
        return false;
    WaitForClient();
    if (!InstallPackages())
        return false;
    Add_Status(QStringLiteral("Client update complete."));
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
        return StopWith(QStringLiteral("ERROR: Client process problem, unable to continue."));
    for (const QString& name : std::as_const(m_packages)) {
        if (!IsPlainFileName(name))
            return StopWith(
                QStringLiteral("ERROR: Invalid update file name '%1'.").arg(ShownName(name)));
        if (name == kRunLogName)
            return StopWith(QStringLiteral("ERROR: Invalid update file name '%1': the run log "
                                           "has that name.")
                                .arg(name));
    }
    return true;
}

bool frmMain::LockProgramFolder() {
    if (!m_environment.lockProgramFolder)
        return true;
    QString reason;
    UpdateLock::Failure failure = UpdateLock::Failure::None;
    m_lock = UpdateLock::acquire(programFolder(), &reason, &failure);
    if (m_lock)
        return true;
    return StopWith(failure == UpdateLock::Failure::Busy
                        ? QStringLiteral("ERROR: Another update is already running.")
                        : QStringLiteral("ERROR: Unable to lock the program folder: ") + reason);
}

// The publisher's keys, read before anything is downloaded: with them every package must be
// signed; without them the run goes on unverified, and says so on standard error.
bool frmMain::LoadPublisherKeys() {
    QString line;
    if (!m_verifier.load(&line))
        return StopWith(line);
    if (!m_verifier.signaturesRequired())
        qWarning().noquote() << m_verifier.unverifiedNotice();
    return true;
}

// In the system directory, or installed there from the program folder.
bool frmMain::InstallEngineLibrary() {
    const QString installed = m_environment.systemDir + QLatin1Char('/') + kEngineLibrary;
    const QString shipped = programFolder() + QLatin1Char('/') + kEngineLibrary;
    if (!File_Exists(installed)) {
        if (!File_Exists(shipped))
            return StopWith(QStringLiteral("ERROR: Missing vbuzip10.dll"));
        QString reason;
        if (!CopyFileSafely(shipped, installed, &reason)) {
            qWarning().noquote() << "Cannot install the engine library:" << reason;
            return StopWith(QStringLiteral("ERROR: Unable to install vbuzip10.dll"));
        }
    }
    SetEngineFolders({programFolder(), m_environment.systemDir});
    return true;
}

// What a killed earlier run left in the program folder is finished or undone before anything
// else; one line says what was done, only when something was.
bool frmMain::RecoverInterruptedUpdate() {
    m_cUnzip = std::make_shared<cUnzip>();
    connect(m_cUnzip.get(), &cUnzip::Progress, this, &ReportEngineMessage);
    m_cUnzip->setUnzipFolder(programFolder() + QStringLiteral("/"));
    qint32 report = UZ_RECOVERED_NOTHING;
    try {
        if (m_cUnzip->RecoverUpdate(report) != UZ_OK)
            return StopWith(QStringLiteral("ERROR: Unable to recover an interrupted update."));
    } catch (const AppError& error) {
        return StopWith(QStringLiteral("ERROR: Unable to recover an interrupted update: ") +
                        error.description());
    }
    switch (report) {
    case UZ_RECOVERED_COMPLETED:
        Add_Status(QStringLiteral("Completed an interrupted update."));
        break;
    case UZ_RECOVERED_ROLLED_BACK:
        Add_Status(QStringLiteral("Rolled back an interrupted update."));
        break;
    case UZ_RECOVERED_REMOVED:
        Add_Status(QStringLiteral("Removed an unfinished update."));
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
    m_preparer = std::make_unique<UpdatePreparer>(*m_cUnzip, m_verifier, programFolder());
    bool downloaded = true;
    qsizetype handedOver = 0;
    for (qsizetype i = 0; i < m_packages.size() && downloaded; ++i) {
        const QString& name = m_packages[i];
        if (const std::optional<QString> failure = m_preparer->failure())
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
    if (bShow) {
        m_progressDrawn.invalidate();
        lblFileProg->setText(QString());
        pgBar->setValue(0);
    }
    lblFileProg->setVisible(bShow);
    pgBar->setVisible(bShow);
}

// The package, then its signature when signatures are required. A signature that does not arrive
// refuses the package: its own failure line first, then the refusal.
bool frmMain::DownloadPackage(const QString& name) {
    Add_Status(QStringLiteral("Downloading file ") + name + QStringLiteral("..."));
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
bool frmMain::DownloadIntoUpdates(const QString& file, bool isPackage) {
    m_download = {true, false, isPackage};
    try {
        Download_File(file, isPackage);
    } catch (const AppError& error) {
        return StopWith(
            QStringLiteral("ERROR: Unable to download '%1': %2").arg(file, error.description()));
    }
    const bool arrived = WaitForDownload();
    // A failure on this computer (no room for the file, or it cannot be saved) follows the
    // download's own line, which tells only of the transfer.
    const LocalFailure local = DL.lastLocalFailure();
    if (!local.happened())
        return arrived;
    return StopWith(local.outOfSpace()
                        ? QStringLiteral("ERROR: Not enough disk space to download '%1'.").arg(file)
                        : QStringLiteral("ERROR: Unable to save '%1': %2").arg(file, local.reason));
}

bool frmMain::WaitForDownload() {
    while (!m_download.downloadFailed && m_download.downloading)
        WaitForNextMessage();
    return !m_download.downloadFailed;
}

bool frmMain::PackageArrived(const QString& name) const {
    return IsPlainFileAt(programFolder() + QStringLiteral("/updates/") + name);
}

bool frmMain::CheckPackagesArrived(qsizetype from) {
    for (qsizetype i = from; i < m_packages.size(); ++i) {
        if (!PackageArrived(m_packages[i]))
            return StopWith(
                QStringLiteral("ERROR: Update file '%1' not found.").arg(m_packages[i]));
    }
    return true;
}

void frmMain::WaitForClient() {
    Add_Status(QStringLiteral("Checking client conditions..."));
    // Sleeps until the client's exit is signalled; should the check still see a client after that
    // (the id taken by a new process of the same name), it is tested again every 50 ms.
    ProcessExitWatch clientExit(m_lClientPID);
    QTimer recheck;
    recheck.setInterval(50);
    connect(&clientExit, &ProcessExitWatch::exited, &recheck, qOverload<>(&QTimer::start));
    if (clientExit.hasExited())
        recheck.start();
    while (m_environment.processRunning(kClientExe, m_lClientPID))
        WaitForNextMessage();
}

// Every package is staged beside its targets while the client still runs; the installed files
// stay as they are. The progress display shows the bytes prepared of all packages while the run
// waits, idle, for the preparing thread. A package that cannot be prepared ends the run at once,
// with nothing of any package left.
bool frmMain::PreparePackages() {
    if (m_packages.isEmpty())
        return true;
    ShowProgressDisplay(true);
    const auto showPrepared = [this] {
        DL_Progress(*pgBar, *lblFileProg, m_preparer->preparedBytes(), m_preparer->totalBytes());
    };
    const QMetaObject::Connection progress =
        connect(m_preparer.get(), &UpdatePreparer::changed, this, showPrepared);
    showPrepared();
    while (!m_preparer->idle())
        WaitForNextMessage();
    disconnect(progress);
    showPrepared();
    ShowProgressDisplay(false);
    if (const std::optional<QString> failure = m_preparer->failure())
        return StopWith(*failure);
    return true;
}

// Stops the preparing thread (at the next entry of the package it stages) and removes what it
// prepared; the window is served meanwhile.
void frmMain::StopPreparing() {
    if (!m_preparer)
        return;
    m_preparer->stop(std::chrono::milliseconds(0));
    while (!m_preparer->idle())
        WaitForNextMessage();
    m_preparer->discard();
}

// The update was prepared before the client wait; now that the client is gone, one commit
// installs it. The two lines of each package keep their places; the commit follows the last.
bool frmMain::InstallPackages() {
    for (qsizetype i = 0; i < m_packages.size(); ++i) {
        Add_Status(QStringLiteral("Processing update data..."));
        ProcessPendingMessages();
        Add_Status(QStringLiteral("Updating files..."));
    }
    if (m_packages.isEmpty())
        return true;
    try {
        if (m_cUnzip->CommitUpdate() != UZ_OK)
            return StopWith(QStringLiteral(
                "ERROR: The update could not be installed; every file is as it was."));
    } catch (const AppError& error) {
        return StopWith(QStringLiteral("ERROR: The update could not be installed: ") +
                        error.description());
    }
    ProcessPendingMessages();
    return true;
}

// The signing times of the packages just installed, so that none older is installed over them.
// The update itself is complete: a record that cannot be written is a diagnostic only.
void frmMain::RecordInstalledPackages() {
    QString reason;
    if (!m_verifier.recordInstalled(&reason))
        qWarning().noquote() << "Cannot record the signing times of the installed packages:"
                             << reason;
}
