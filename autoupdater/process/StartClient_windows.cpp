#include "process/StartClient.h"

#include <vorn/Utf16_windows.h>

#include <objbase.h>
#include <shellapi.h>

void StartClient(const std::string& programFolder, const std::string& exeName) {
    const std::wstring folder = WindowsPath(programFolder);
    const std::wstring path = folder + L'\\' + WindowsPath(exeName);
    // The shell may hand the file to a handler that needs COM on the calling thread.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    // The shell runs an executable itself and opens any other file with its handler; either way
    // the started program is no child the updater must wait for, and the lock's handle, which is
    // not inheritable, stays behind.
    ShellExecuteW(nullptr, L"open", path.c_str(), nullptr, folder.c_str(), SW_SHOWNORMAL);
    if (SUCCEEDED(com))
        CoUninitialize();
}
