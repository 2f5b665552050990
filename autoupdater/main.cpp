// vorn-updater: downloads the client's update packages, waits for the client to exit, extracts the
// packages over the program folder and restarts the client.
#include <QApplication>

#include "CommandLine.h"
#include "frmMain.h"

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
    window.show();
    return application.exec();
}
