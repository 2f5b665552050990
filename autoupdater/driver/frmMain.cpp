#include "frmMain.h"

#include <QCoreApplication>
#include <QDebug>
#include <QEventLoop>

#include "AppError.h"
#include "CommandLine.h"
#include "ProcessExitWatch.h"
#include "StartClient.h"
#include "TerminateNow.h"
#include "UpdateDownload.h"
#include "UpdateLock.h"
#include "mUnzip.h"
#include "modFunctions.h"
#include "modProcesses.h"
#include "modSystem.h"

frmMain* frmMain::s_instance = nullptr;

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
} // namespace

frmMain::frmMain(UpdaterEnvironment environment, QWidget* parent)
    : UpdaterWindow(environment.programFolder, parent), DL(environment.readService),
      m_environment(std::move(environment)) {
    s_instance = this;
    if (m_environment.systemDir.isEmpty())
        m_environment.systemDir = Get_SystemDir();
    if (!m_environment.processRunning)
        m_environment.processRunning = &Process_Running;
    startClient = [](const QString& folder) { StartClient(folder, kClientExe); };
    terminateProcess = [] { TerminateNow(0); };

    connect(&DL, &DL::Progress, this, [this](qint64& downloaded, qint64& total, QString&) {
        DL_Progress(*pgBar, *lblFileProg, downloaded, total);
    });
    connect(&DL, &DL::Completed, this, [this](qint64& downloaded, qint64& total, QString&) {
        DL_Completed(DL, &Add_Status, downloaded, total);
    });
    tmrStart.setInterval(50);
    connect(&tmrStart, &QTimer::timeout, this, &frmMain::tmrStart_Timer);
    Form_Load();
}

frmMain::~frmMain() {
    if (s_instance == this)
        s_instance = nullptr;
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

void frmMain::EndAsFailed() {
    picClose->setPicture(picClose_up);
    m_bFinished = true;
}

void frmMain::Start_Update() {
    bool succeeded = false;
    try {
        succeeded = RunUpdate();
    } catch (const AppError& error) {
        Add_Status(QStringLiteral("ERROR: ") + error.description());
    } catch (const std::exception& error) {
        Add_Status(QStringLiteral("ERROR: ") + QString::fromLocal8Bit(error.what()));
    }
    if (!succeeded) {
        EndAsFailed();
        return;
    }
    // Successful end.
    picClose->setPicture(picClose_up);
    m_bFinished = true;
    if (File_Exists(programFolder() + QStringLiteral("/versions.txt"))) {
        shapeUpdateinfo->setVisible(false);
        picUpdateInfo->setPicture(picUpdateInfo_up);
    }
}

bool frmMain::WaitForDownload() {
    while (!DL.downloadFailed && DL.downloading)
        WaitForNextMessage();
    return !DL.downloadFailed;
}

bool frmMain::RunUpdate() {
    const QString P = programFolder();
    const QString S = m_environment.systemDir;

    Add_Status(QStringLiteral("Preparing to update..."));
    const CommandLine parsed = ParseCommandLine(m_environment.commandLine);
    m_sBaseURL = parsed.baseURL;
    m_sFiles = parsed.files;
    m_lClientPID = parsed.clientPID;
    const QStringList packages = parsed.packages();

    if (m_lClientPID == 0) {
        Add_Status(QStringLiteral("ERROR: Client process problem, unable to continue."));
        return false;
    }
    for (const QString& name : packages) {
        if (!IsPlainFileName(name)) {
            Add_Status(
                QStringLiteral("ERROR: Invalid update file name '%1'.").arg(ShownName(name)));
            return false;
        }
    }

    if (m_environment.lockProgramFolder) {
        QString reason;
        UpdateLock::Failure failure = UpdateLock::Failure::None;
        m_lock = UpdateLock::acquire(P, &reason, &failure);
        if (!m_lock) {
            Add_Status(failure == UpdateLock::Failure::Busy
                           ? QStringLiteral("ERROR: Another update is already running.")
                           : QStringLiteral("ERROR: Unable to lock the program folder: ") + reason);
            return false;
        }
    }

    // The engine library: in the system directory, or installed there from the program folder.
    if (!File_Exists(S + QLatin1Char('/') + kEngineLibrary)) {
        if (!File_Exists(P + QLatin1Char('/') + kEngineLibrary)) {
            Add_Status(QStringLiteral("ERROR: Missing vbuzip10.dll"));
            return false;
        }
        QString reason;
        if (!CopyFileSafely(P + QLatin1Char('/') + kEngineLibrary,
                            S + QLatin1Char('/') + kEngineLibrary, &reason)) {
            qWarning().noquote() << "Cannot install the engine library:" << reason;
            Add_Status(QStringLiteral("ERROR: Unable to install vbuzip10.dll"));
            return false;
        }
    }
    SetEngineFolders({P, S});

    for (const QString& name : packages) {
        Add_Status(QStringLiteral("Downloading file ") + name + QStringLiteral("..."));
        lblFileProg->setText(QString());
        lblFileProg->setVisible(true);
        pgBar->setValue(0);
        pgBar->setVisible(true);
        DL.downloading = true;
        DL.downloadFailed = false;
        try {
            Download_File(name);
        } catch (const AppError& error) {
            lblFileProg->setVisible(false);
            pgBar->setVisible(false);
            Add_Status(QStringLiteral("ERROR: Unable to download '%1': %2")
                           .arg(name, error.description()));
            return false;
        }
        const bool arrived = WaitForDownload();
        // A failure on this computer (no room for the file, or it cannot be saved) follows the
        // download's own line, which tells only of the transfer.
        const LocalFailure local = DL.lastLocalFailure();
        if (local.happened()) {
            Add_Status(
                local.outOfSpace()
                    ? QStringLiteral("ERROR: Not enough disk space to download '%1'.").arg(name)
                    : QStringLiteral("ERROR: Unable to save '%1': %2").arg(name, local.reason));
        }
        if (!arrived || local.happened()) {
            lblFileProg->setVisible(false);
            pgBar->setVisible(false);
            return false;
        }
    }
    lblFileProg->setVisible(false);
    pgBar->setVisible(false);

    for (const QString& name : packages) {
        if (!IsPlainFileAt(P + QStringLiteral("/updates/") + name)) {
            Add_Status(QStringLiteral("ERROR: Update file '") + name +
                       QStringLiteral("' not found."));
            return false;
        }
    }

    Add_Status(QStringLiteral("Checking client conditions..."));
    {
        // Sleeps until the client's exit is signalled; should the check still see a client after
        // that (the id taken by a new process of the same name), it is tested again every 50 ms.
        ProcessExitWatch clientExit(m_lClientPID);
        QTimer recheck;
        recheck.setInterval(50);
        connect(&clientExit, &ProcessExitWatch::exited, &recheck, qOverload<>(&QTimer::start));
        if (clientExit.hasExited())
            recheck.start();
        while (m_environment.processRunning(kClientExe, m_lClientPID))
            WaitForNextMessage();
    }

    m_cUnzip = std::make_shared<cUnzip>();
    // The engine's own messages (at the quiet level: its errors) are not status lines; they go to
    // standard error as diagnostics, so that the reason behind a failed extraction can be read
    // there.
    connect(m_cUnzip.get(), &cUnzip::Progress, this, [](qint32, const QString& sMsg) {
        QString message = sMsg;
        while (message.endsWith(QChar(0)) || message.endsWith(QLatin1Char('\n')))
            message.chop(1);
        qWarning().noquote() << "unzip:" << message;
    });
    ProcessPendingMessages();
    for (const QString& name : packages) {
        Add_Status(QStringLiteral("Processing update data..."));
        Prepare_Unzip(name);
        ProcessPendingMessages();
        Add_Status(QStringLiteral("Updating files..."));
        bool problem = false;
        try {
            problem = Run_Unzip();
        } catch (const AppError& error) {
            Add_Status(QStringLiteral("ERROR: Update file '%1' could not be extracted: %2")
                           .arg(name, error.description()));
            return false;
        }
        ProcessPendingMessages();
        if (problem) {
            Add_Status(QStringLiteral("ERROR: Update file '") + name +
                       QStringLiteral("' could not be extracted."));
            return false;
        }
    }
    Add_Status(QStringLiteral("Client update complete."));
    return true;
}
