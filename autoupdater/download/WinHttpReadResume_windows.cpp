// Where a WinHTTP read keeps what it holds between its tries and for a later run: the partial
// file and its record, in the service's temporary folder.
#include <vorn/Files_windows.h>

#include "download/WinHttpRead_windows.h"
#include "download/WinHttpTempFolder_windows.h"

bool WinHttpRead::prepare(const std::string& folder) {
    return prepareIn(folder, kWinHttpPartialPattern, kWinHttpPartialTemplate);
}

void WinHttpRead::removeFile(const std::string& path) const {
    DeleteFileW(LongWindowsPath(path).c_str());
}
