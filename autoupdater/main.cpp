// vorn-updater: downloads the client's update packages, waits for the client to exit, extracts the
// packages over the program folder and restarts the client.
#include <QApplication>
#include <QTimer>

#include <optional>

#include "driver/CommandLine.h"
#include "driver/frmMain.h"

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

void CloseWhenFinished(frmMain& window, int delay) {
    QObject::connect(&window, &frmMain::runEnded, &window, [&window, delay] {
        QTimer::singleShot(delay, &window, [&window] { window.closeAction(); });
    });
}

} // namespace

int main(int argc, char** argv) {
    // The command line is read before the application object exists, so that Qt never consumes
    // or alters any of it; Qt is given the program's own path only.
    const QString commandLine = JoinArguments(argc, argv);
    if (TrimSpaces(commandLine).isEmpty())
        return 0;

    int qtArgc = 1;
    QApplication application(qtArgc, argv);
    UpdaterEnvironment environment;
    environment.commandLine = commandLine;
    environment.programFolder = QCoreApplication::applicationDirPath();
    frmMain window(std::move(environment));
    if (const std::optional<int> delay = AutoCloseDelay())
        CloseWhenFinished(window, *delay);
    window.show();
    // The close action ends the process with the run's exit status itself. Should the window be
    // closed otherwise, exec() returns once the run has ended, not before.
    application.exec();
    return ExitStatus(window.outcome());
}
