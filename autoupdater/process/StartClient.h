// Starting the client application when the updater is closed.
#pragma once

#include <QString>

// Starts programFolder + "/" + exeName with programFolder as its working directory: runs it
// directly when it is an executable file, otherwise opens it with the desktop's default handler
// for the file. The outcome is not examined. The started program is fully detached: it is not a
// child of the updater and lives on when the updater terminates at once right after this call.
void StartClient(const QString& programFolder, const QString& exeName);
