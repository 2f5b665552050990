// vorn-updater: downloads the client's update packages, waits for the client to exit, extracts the
// packages over the program folder and restarts the client. The Linux front-end: a Qt window, Qt's
// event loop and Qt's network access around the portable update run.
#include <QApplication>
#include <QMessageBox>

#include <cstdlib>
#include <optional>

#include "SpaceTrim.h"
#include "download/NetworkReadService_linux.h"
#include "driver/CommandLine.h"
#include "driver/frmMain.h"
#include "frontend/QtEventLoop_linux.h"
#include "frontend/QtMessages_linux.h"
#include "process/modProcesses.h"
#include "windows/UpdaterWindow.h"

namespace {

// Unattended runs: VORN_UPDATER_AUTOCLOSE_MS=N makes the updater press its own close button N
// milliseconds after the update run has ended, as a user would (the client is restarted after a
// successful run with version notes). Unset, empty or not a whole number >= 0: the window waits
// for the user.
std::optional<int> AutoCloseDelay() {
    const QByteArray value = qgetenv("VORN_UPDATER_AUTOCLOSE_MS").trimmed();
    if (value.isEmpty())
        return std::nullopt;
    bool ok = false;
    const int delay = value.toInt(&ok);
    if (!ok || delay < 0)
        return std::nullopt;
    return delay;
}

} // namespace

int main(int argc, char** argv) {
    // The command line is read before the application object exists, so that Qt never consumes
    // or alters any of it; Qt is given the program's own path only.
    const std::string commandLine = JoinArguments(argc, argv);
    if (TrimSpaces(commandLine).empty())
        return 0;

    int qtArgc = 1;
    QApplication application(qtArgc, argv);
    RouteDiagnosticsThroughQt();
    SetProcessFaultNotice([](const std::string& title, const std::string& text) {
        QMessageBox box(QMessageBox::Warning, QString::fromStdString(title),
                        QString::fromStdString(text), QMessageBox::Ok);
        box.exec();
    });
    QtEventLoop loop;
    NetworkReadService service;
    UpdaterWindow window;
    UpdaterEnvironment environment;
    environment.commandLine = commandLine;
    environment.programFolder = QCoreApplication::applicationDirPath().toStdString();
    environment.readService = &service;
    frmMain form(std::move(environment), window, loop);
    window.closeRequested = [&form] { form.closeAction(); };
    window.updateInfoRequested = [&form] { form.updateInfoAction(); };
    std::unique_ptr<EventLoop::Timer> autoClose;
    if (const std::optional<int> delay = AutoCloseDelay()) {
        form.runEnded = [&loop, &window, &autoClose, delay](RunOutcome) {
            autoClose = loop.startTimer(std::chrono::milliseconds(*delay), false,
                                        [&window] { window.closeAction(); });
        };
    }
    window.show();
    // The close action ends the process with the run's exit status itself. Should the window be
    // closed otherwise, exec() returns once the run has ended, not before.
    application.exec();
    return ExitStatus(form.outcome());
}
