#include "windows/ProgressBar_windows.h"

#include <commctrl.h>

#include <cmath>

#include "windows/TextBox_windows.h"

namespace {

void Fill(HDC dc, const RECT& area, COLORREF colour) {
    SetDCBrushColor(dc, colour);
    FillRect(dc, &area, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
}

// A vertical gradient from `top` to `bottom` over `area`.
void Gradient(HDC dc, const RECT& area, COLORREF top, COLORREF bottom) {
    TRIVERTEX vertices[2] = {};
    vertices[0].x = area.left;
    vertices[0].y = area.top;
    vertices[0].Red = static_cast<COLOR16>(GetRValue(top) << 8);
    vertices[0].Green = static_cast<COLOR16>(GetGValue(top) << 8);
    vertices[0].Blue = static_cast<COLOR16>(GetBValue(top) << 8);
    vertices[1].x = area.right;
    vertices[1].y = area.bottom;
    vertices[1].Red = static_cast<COLOR16>(GetRValue(bottom) << 8);
    vertices[1].Green = static_cast<COLOR16>(GetGValue(bottom) << 8);
    vertices[1].Blue = static_cast<COLOR16>(GetBValue(bottom) << 8);
    GRADIENT_RECT rectangle{0, 1};
    GdiGradientFill(dc, vertices, 2, &rectangle, 1, GRADIENT_FILL_RECT_V);
}

} // namespace

ProgressBar::ProgressBar(HWND parent, int id, const wchar_t* name) {
    m_hwnd = CreateWindowExW(0, PROGRESS_CLASSW, name, WS_CHILD | PBS_SMOOTH, 0, 0, 0, 0, parent,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                             GetModuleHandleW(nullptr), nullptr);
    if (!m_hwnd)
        return;
    SendMessageW(m_hwnd, PBM_SETRANGE32, 0, kSteps);
    SetWindowSubclass(m_hwnd, &ProgressBar::Procedure, 1, reinterpret_cast<DWORD_PTR>(this));
    m_named = SetAccessibleName(m_hwnd, name);
}

ProgressBar::~ProgressBar() {
    if (m_hwnd && IsWindow(m_hwnd)) {
        RemoveWindowSubclass(m_hwnd, &ProgressBar::Procedure, 1);
        if (m_named)
            ForgetAccessibleAnnotations(m_hwnd);
    }
}

void ProgressBar::setValue(double percent) {
    if (std::isnan(percent) || percent < 0.0)
        percent = 0.0;
    if (percent > 100.0)
        percent = 100.0;
    const int position = static_cast<int>(std::lround(percent * kSteps / 100.0));
    if (position == static_cast<int>(SendMessageW(m_hwnd, PBM_GETPOS, 0, 0)))
        return;
    SendMessageW(m_hwnd, PBM_SETPOS, static_cast<WPARAM>(position), 0);
    InvalidateRect(m_hwnd, nullptr, FALSE);
}

double ProgressBar::value() const {
    return static_cast<double>(SendMessageW(m_hwnd, PBM_GETPOS, 0, 0)) * 100.0 / kSteps;
}

void ProgressBar::paint(HDC dc) const {
    RECT client;
    GetClientRect(m_hwnd, &client);
    const int width = client.right, height = client.bottom;
    if (width <= 0 || height <= 0)
        return;
    HDC buffer = CreateCompatibleDC(dc);
    HBITMAP bitmap = CreateCompatibleBitmap(dc, width, height);
    HGDIOBJ previous = SelectObject(buffer, bitmap);
    // The frame is one pixel, the trough's inset two, at 96 dots per inch.
    const int unit = height >= 26 ? 2 : 1;
    Fill(buffer, client, RGB(0x5a, 0x60, 0x48));
    RECT trough{unit, unit, width - unit, height - unit};
    Fill(buffer, trough, RGB(0x10, 0x12, 0x0c));
    const RECT inner{2 * unit, 2 * unit, width - 2 * unit, height - 2 * unit};
    const double part = value() / 100.0;
    const int filled = static_cast<int>(std::lround((inner.right - inner.left) * part));
    if (filled > 0 && inner.bottom > inner.top) {
        const int middle = inner.top + (inner.bottom - inner.top) / 2;
        Gradient(buffer, {inner.left, inner.top, inner.left + filled, middle},
                 RGB(0x7f, 0xb0, 0xe8), RGB(0x34, 0x6c, 0xb8));
        Gradient(buffer, {inner.left, middle, inner.left + filled, inner.bottom},
                 RGB(0x34, 0x6c, 0xb8), RGB(0x1c, 0x3e, 0x78));
    }
    BitBlt(dc, 0, 0, width, height, buffer, 0, 0, SRCCOPY);
    SelectObject(buffer, previous);
    DeleteObject(bitmap);
    DeleteDC(buffer);
}

LRESULT CALLBACK ProgressBar::Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                                        UINT_PTR, DWORD_PTR self) {
    const auto* bar = reinterpret_cast<const ProgressBar*>(self);
    switch (message) {
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(hwnd, &paint);
        bar->paint(dc);
        EndPaint(hwnd, &paint);
        return 0;
    }
    case WM_PRINTCLIENT:
        bar->paint(reinterpret_cast<HDC>(wParam));
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_NCDESTROY:
        RemoveWindowSubclass(hwnd, &ProgressBar::Procedure, 1);
        break;
    default:
        break;
    }
    return DefSubclassProc(hwnd, message, wParam, lParam);
}
