// Starting the client application when the updater is closed.
#pragma once

#include <string>

// Starts programFolder + "/" + exeName (UTF-8, "/" separators) with programFolder as its working
// directory: runs it directly when it is an executable file, otherwise opens it with the desktop's
// default handler for the file (on Linux `xdg-open <path>`; on Windows the shell's "open"). The
// outcome is not examined. The started program is fully detached: it is not a child of the
// updater, does not inherit the update lock, and lives on when the updater terminates at once
// right after this call.
void StartClient(const std::string& programFolder, const std::string& exeName);
