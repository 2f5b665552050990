#include "driver/frmMain.h"

#include <QCoreApplication>
#include <QDebug>
#include <QEventLoop>

#include "AppError.h"
#include "download/UpdateDownload.h"
#include "driver/CommandLine.h"
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
      m_runLog(m_environment.programFolder, m_environment.commandLine) {
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

    connect(&DL, &DL::Progress, this, [this](qint64& downloaded, qint64& total, QString&) {
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

void frmMain::Download_File(const QString& Filename) {
    ::Download_File(DL, programFolder(), m_sBaseURL, Filename);
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
        !DownloadPackages() || !CheckPackagesArrived())
        return false;
    WaitForClient();
    if (!ExtractPackages())
        return false;
    Add_Status(QStringLiteral("Client update complete."));
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

bool frmMain::DownloadPackages() {
    bool downloaded = true;
    for (const QString& name : std::as_const(m_packages)) {
        downloaded = DownloadPackage(name);
        if (!downloaded)
            break;
    }
    ShowProgressDisplay(false);
    return downloaded;
}

void frmMain::ShowProgressDisplay(bool bShow) {
    if (bShow) {
        lblFileProg->setText(QString());
        pgBar->setValue(0);
    }
    lblFileProg->setVisible(bShow);
    pgBar->setVisible(bShow);
}

bool frmMain::DownloadPackage(const QString& name) {
    Add_Status(QStringLiteral("Downloading file ") + name + QStringLiteral("..."));
    ShowProgressDisplay(true);
    m_download.downloading = true;
    m_download.downloadFailed = false;
    try {
        Download_File(name);
    } catch (const AppError& error) {
        return StopWith(
            QStringLiteral("ERROR: Unable to download '%1': %2").arg(name, error.description()));
    }
    const bool arrived = WaitForDownload();
    // A failure on this computer (no room for the file, or it cannot be saved) follows the
    // download's own line, which tells only of the transfer.
    const LocalFailure local = DL.lastLocalFailure();
    if (!local.happened())
        return arrived;
    return StopWith(local.outOfSpace()
                        ? QStringLiteral("ERROR: Not enough disk space to download '%1'.").arg(name)
                        : QStringLiteral("ERROR: Unable to save '%1': %2").arg(name, local.reason));
}

bool frmMain::WaitForDownload() {
    while (!m_download.downloadFailed && m_download.downloading)
        WaitForNextMessage();
    return !m_download.downloadFailed;
}

bool frmMain::CheckPackagesArrived() {
    for (const QString& name : std::as_const(m_packages)) {
        if (!IsPlainFileAt(programFolder() + QStringLiteral("/updates/") + name))
            return StopWith(QStringLiteral("ERROR: Update file '%1' not found.").arg(name));
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

bool frmMain::ExtractPackages() {
    m_cUnzip = std::make_shared<cUnzip>();
    connect(m_cUnzip.get(), &cUnzip::Progress, this, &ReportEngineMessage);
    ProcessPendingMessages();
    for (const QString& name : std::as_const(m_packages)) {
        if (!ExtractPackage(name))
            return false;
    }
    return true;
}

bool frmMain::ExtractPackage(const QString& name) {
    Add_Status(QStringLiteral("Processing update data..."));
    Prepare_Unzip(*m_cUnzip, programFolder(), name);
    ProcessPendingMessages();
    Add_Status(QStringLiteral("Updating files..."));
    bool problem = false;
    try {
        problem = Run_Unzip(*m_cUnzip);
    } catch (const AppError& error) {
        return StopWith(QStringLiteral("ERROR: Update file '%1' could not be extracted: %2")
                            .arg(name, error.description()));
    }
    ProcessPendingMessages();
    if (problem)
        return StopWith(
            QStringLiteral("ERROR: Update file '%1' could not be extracted.").arg(name));
    return true;
}
