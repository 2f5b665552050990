// The system's text for a Windows error number (GetLastError()), for the Windows platform parts.
#pragma once

#include <windows.h>

#include <string>

#include "vorn/Utf16_windows.h"

// The text without its line end; "error N" when the system has none.
inline std::string SystemMessage(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = length && buffer ? std::wstring(buffer, length) : std::wstring();
    if (buffer)
        LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    return text.empty() ? "error " + std::to_string(code) : Utf8FromUtf16(text);
}
