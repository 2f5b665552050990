// UTF-8 <-> UTF-16 for the Windows platform parts: the core's text is UTF-8, the wide (W) calls
// of the system take and give UTF-16. Invalid sequences become U+FFFD either way.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

// The UTF-16 form of UTF-8 text.
inline std::wstring Utf16FromUtf8(std::string_view utf8) {
    if (utf8.empty())
        return {};
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    if (size <= 0)
        return {};
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), size);
    return wide;
}

// The UTF-8 form of UTF-16 text.
inline std::string Utf8FromUtf16(std::wstring_view utf16) {
    if (utf16.empty())
        return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()),
                                         nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return {};
    std::string text(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), text.data(), size,
                        nullptr, nullptr);
    return text;
}

// The system's form of a UTF-8 path with "/" separators: UTF-16 with backslashes (which some of
// the system's calls and the shell's handlers require).
inline std::wstring WindowsPath(std::string_view utf8) {
    std::wstring path = Utf16FromUtf8(utf8);
    for (wchar_t& c : path) {
        if (c == L'/')
            c = L'\\';
    }
    return path;
}
