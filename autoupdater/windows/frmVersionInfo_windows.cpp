#include "windows/frmVersionInfo_windows.h"

#include <algorithm>

#include "windows/Dpi_windows.h"
#include "windows/WindowMessages_windows.h"

namespace {

const wchar_t kClassName[] = L"VornVersionInfo";
constexpr DWORD kStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
constexpr DWORD kExStyle = WS_EX_TOOLWINDOW | WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;
constexpr int kTextId = 100;
// The design, at 96 dots per inch: the client area and the controls in it.
constexpr SIZE kClientSize{571, 377};
constexpr RECT kTextPlace{8, 8, 8 + 553, 8 + 329};
constexpr RECT kClosePlace{456, 344, 456 + 81, 344 + 25};

void RegisterClassOnce() {
    static const bool registered = [] {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = &frmVersionInfo::Procedure;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)); // IDC_ARROW
        windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        windowClass.lpszClassName = kClassName;
        return RegisterClassExW(&windowClass) != 0;
    }();
    (void)registered;
}

void Place(HWND control, const RECT& design, UINT dpi) {
    MoveWindow(control, Scaled(design.left, dpi), Scaled(design.top, dpi),
               Scaled(design.right - design.left, dpi), Scaled(design.bottom - design.top, dpi),
               TRUE);
}

} // namespace

frmVersionInfo::frmVersionInfo(HWND owner) : m_owner(owner) {
    RegisterClassOnce();
    m_hwnd = CreateWindowExW(kExStyle, kClassName, L"Vorn (Version Info)", kStyle, 0, 0, 0, 0,
                             owner, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (!m_hwnd)
        return;
    SetWindowLongPtrW(m_hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    m_text = std::make_unique<TextBox>(m_hwnd, kTextId, L"Version notes", true);
    // The notes in a sunken frame, as a dialog's text box.
    const HWND text = m_text->hwnd();
    SetWindowLongPtrW(text, GWL_EXSTYLE, GetWindowLongPtrW(text, GWL_EXSTYLE) | WS_EX_CLIENTEDGE);
    SetWindowPos(text, nullptr, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
    m_close = CreateWindowExW(0, L"BUTTON", L"Close",
                              WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 0, 0, 0,
                              m_hwnd, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kCloseId)),
                              GetModuleHandleW(nullptr), nullptr);
    layout(owner ? WindowDpi(owner) : WindowDpi(m_hwnd));
}

frmVersionInfo::~frmVersionInfo() {
    if (m_shown)
        close();
    m_text.reset();
    if (m_hwnd && IsWindow(m_hwnd)) {
        SetWindowLongPtrW(m_hwnd, GWLP_USERDATA, 0);
        DestroyWindow(m_hwnd);
    }
    if (m_textFont)
        DeleteObject(m_textFont);
    if (m_buttonFont)
        DeleteObject(m_buttonFont);
}

void frmVersionInfo::layout(UINT dpi) {
    RECT frame{0, 0, Scaled(kClientSize.cx, dpi), Scaled(kClientSize.cy, dpi)};
    AdjustWindowRectForDpi(frame, kStyle, kExStyle, dpi);
    SetWindowPos(m_hwnd, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    Place(m_text->hwnd(), kTextPlace, dpi);
    Place(m_close, kClosePlace, dpi);
    HFONT text = DesignFont(L"Arial Narrow", 825, dpi);
    HFONT button = DesignFont(L"MS Sans Serif", 800, dpi);
    SendMessageW(m_text->hwnd(), WM_SETFONT, reinterpret_cast<WPARAM>(text), TRUE);
    SendMessageW(m_close, WM_SETFONT, reinterpret_cast<WPARAM>(button), TRUE);
    if (m_textFont)
        DeleteObject(m_textFont);
    if (m_buttonFont)
        DeleteObject(m_buttonFont);
    m_textFont = text;
    m_buttonFont = button;
}

void frmVersionInfo::showModal() {
    if (!m_hwnd || m_shown)
        return;
    // Centred over the owner, kept on its monitor's work area.
    RECT window, area;
    GetWindowRect(m_hwnd, &window);
    const int width = window.right - window.left, height = window.bottom - window.top;
    RECT over{0, 0, width, height};
    if (m_owner)
        GetWindowRect(m_owner, &over);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromRect(&over, MONITOR_DEFAULTTOPRIMARY), &monitor);
    area = monitor.rcWork;
    int x = over.left + ((over.right - over.left) - width) / 2;
    int y = over.top + ((over.bottom - over.top) - height) / 2;
    x = std::max(static_cast<int>(area.left), std::min(x, static_cast<int>(area.right) - width));
    y = std::max(static_cast<int>(area.top), std::min(y, static_cast<int>(area.bottom) - height));
    SetWindowPos(m_hwnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);

    m_shown = true;
    if (m_owner)
        EnableWindow(m_owner, FALSE);
    ShowWindow(m_hwnd, SW_SHOW);
    SetFocus(m_text->hwnd());
    MSG message;
    while (m_shown) {
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got <= 0) {
            if (got == 0) // a quit request, for the loop outside
                PostQuitMessage(static_cast<int>(message.wParam));
            close();
            break;
        }
        DispatchWindowMessage(message);
    }
}

void frmVersionInfo::close() {
    if (!m_shown)
        return;
    m_shown = false;
    // The owner first, so that it gets the activation back rather than another program.
    if (m_owner) {
        EnableWindow(m_owner, TRUE);
        SetActiveWindow(m_owner);
    }
    ShowWindow(m_hwnd, SW_HIDE);
}

LRESULT CALLBACK frmVersionInfo::Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<frmVersionInfo*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!self)
        return DefWindowProcW(hwnd, message, wParam, lParam);
    return self->handle(message, wParam, lParam);
}

LRESULT frmVersionInfo::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND:
        if (LOWORD(wParam) == kCloseId || LOWORD(wParam) == IDCANCEL) {
            close();
            return 0;
        }
        break;
    case WM_CTLCOLORSTATIC:
        // The notes on the window colour, as text to read, not the grey of a read-only box.
        if (m_text && reinterpret_cast<HWND>(lParam) == m_text->hwnd()) {
            const HDC dc = reinterpret_cast<HDC>(wParam);
            SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
            SetBkColor(dc, GetSysColor(COLOR_WINDOW));
            return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
        }
        break;
    case DM_GETDEFID:
        return MAKELRESULT(kCloseId, DC_HASDEFID);
    case WM_CLOSE:
        close();
        return 0;
    case WM_DPICHANGED: {
        layout(HIWORD(wParam));
        const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
        SetWindowPos(m_hwnd, nullptr, suggested->left, suggested->top, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        return 0;
    }
    default:
        break;
    }
    return DefWindowProcW(m_hwnd, message, wParam, lParam);
}

void ShowVersionNotes(std::unique_ptr<frmVersionInfo>& window, HWND owner,
                      const std::vector<std::string>& lines, bool open) {
    if (!window)
        window = std::make_unique<frmVersionInfo>(owner);
    std::string text;
    for (const std::string& line : lines)
        text += line + "\r\n";
    window->txtVersionInfo().append(text);
    // The notes are read from their start.
    window->txtVersionInfo().setCaret(0);
    if (!open)
        return;
    window->showModal();
    window.reset();
}
