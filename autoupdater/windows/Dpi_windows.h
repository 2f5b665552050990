// The resolution of the display a window is on, for the Windows front-end's windows, which are
// aware of each monitor's resolution (the program's manifest): the calls of newer Windows when
// the system has them (looked up, so that the program also starts where it has not), else the
// screen's resolution.
#pragma once

#include <windows.h>

namespace dpi_detail {
template <typename Function> Function SystemCall(const char* name) {
    const FARPROC found = GetProcAddress(GetModuleHandleW(L"user32.dll"), name);
    return found ? reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found)) : nullptr;
}
} // namespace dpi_detail

// Dots per inch of the display the window is on (96 at 100 %).
inline UINT WindowDpi(HWND hwnd) {
    using GetDpiForWindowCall = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow =
        dpi_detail::SystemCall<GetDpiForWindowCall>("GetDpiForWindow");
    if (getDpiForWindow && hwnd) {
        if (const UINT dpi = getDpiForWindow(hwnd))
            return dpi;
    }
    HDC dc = GetDC(hwnd);
    const int dpi = dc ? GetDeviceCaps(dc, LOGPIXELSY) : 96;
    if (dc)
        ReleaseDC(hwnd, dc);
    return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

// The window rectangle around a client rectangle, with the frame of that resolution.
inline void AdjustWindowRectForDpi(RECT& rect, DWORD style, DWORD exStyle, UINT dpi) {
    using AdjustCall = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
    static const auto adjust = dpi_detail::SystemCall<AdjustCall>("AdjustWindowRectExForDpi");
    if (!adjust || !adjust(&rect, style, FALSE, exStyle, dpi))
        AdjustWindowRectEx(&rect, style, FALSE, exStyle);
}

// A length of the design (at 96 dots per inch) at `dpi`.
inline int Scaled(int length, UINT dpi) {
    return MulDiv(length, static_cast<int>(dpi), 96);
}

// The design's font of `points` (in hundredths) at `dpi`.
inline HFONT DesignFont(const wchar_t* face, int hundredthPoints, UINT dpi, bool bold = false) {
    LOGFONTW font{};
    font.lfHeight = -MulDiv(hundredthPoints, static_cast<int>(dpi), 7200);
    font.lfWeight = bold ? FW_BOLD : FW_NORMAL;
    font.lfCharSet = DEFAULT_CHARSET;
    font.lfQuality = CLEARTYPE_QUALITY;
    font.lfPitchAndFamily = VARIABLE_PITCH | FF_SWISS;
    lstrcpynW(font.lfFaceName, face, LF_FACESIZE);
    return CreateFontIndirectW(&font);
}
