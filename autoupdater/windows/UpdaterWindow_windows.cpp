#include "windows/UpdaterWindow_windows.h"

#include <commctrl.h>
#include <objbase.h>
#include <uxtheme.h>

#include <array>

#include "windows/Dpi_windows.h"
#include "windows/SkinResources_windows.h"
#include <vorn/Utf16_windows.h>

namespace {

const wchar_t kClassName[] = L"VornUpdaterWindow";
constexpr DWORD kStyle = WS_POPUP | WS_CLIPCHILDREN | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD kExStyle = WS_EX_APPWINDOW;
enum ControlId { kLogId = 100, kLabelId, kBarId, kUpdateInfoId, kCloseId };
// The space between the log's edges and its text, at 96 dots per inch.
constexpr int kLogMargin = 5;

bool KeyDown(int key) {
    return (GetKeyState(key) & 0x8000) != 0;
}

void Place(HWND control, const RECT& design, UINT dpi) {
    MoveWindow(control, Scaled(design.left, dpi), Scaled(design.top, dpi),
               Scaled(design.right - design.left, dpi), Scaled(design.bottom - design.top, dpi),
               TRUE);
}

// The progress bar lets presses through to the window, which moves by them.
LRESULT CALLBACK PassPresses(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                             DWORD_PTR) {
    if (message == WM_NCHITTEST)
        return HTTRANSPARENT;
    if (message == WM_NCDESTROY)
        RemoveWindowSubclass(hwnd, &PassPresses, 2);
    return DefSubclassProc(hwnd, message, wParam, lParam);
}

} // namespace

UpdaterWindow::UpdaterWindow() {
    // The Windows Imaging Component, which decodes the skin, is a COM service.
    m_com = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    static const bool registered = [] {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = &UpdaterWindow::Procedure;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)); // IDC_ARROW
        windowClass.lpszClassName = kClassName;
        return RegisterClassExW(&windowClass) != 0;
    }();
    (void)registered;
    m_hwnd = CreateWindowExW(kExStyle, kClassName, L"Vorn (Updater)", kStyle, 0, 0, kSize.cx,
                             kSize.cy, nullptr, nullptr, GetModuleHandleW(nullptr), this);
    if (!m_hwnd)
        return;
    m_dpi = WindowDpi(m_hwnd);
    m_bigIcon = static_cast<HICON>(
        LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_VORN_UPDATER), IMAGE_ICON,
                   GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
    m_smallIcon = static_cast<HICON>(
        LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_VORN_UPDATER), IMAGE_ICON,
                   GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
    if (m_bigIcon)
        SendMessageW(m_hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_bigIcon));
    if (m_smallIcon)
        SendMessageW(m_hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_smallIcon));
    loadSkin();
    makeControls();
    connectButtons();
    layout();
    centreOnScreen();
}

UpdaterWindow::~UpdaterWindow() {
    m_versionInfo.reset();
    if (m_hwnd) {
        SetWindowLongPtrW(m_hwnd, GWLP_USERDATA, 0);
        HWND hwnd = m_hwnd;
        m_hwnd = nullptr;
        picClose.reset();
        picUpdateInfo.reset();
        pgBar.reset();
        txtInfo.reset();
        DestroyWindow(hwnd);
    }
    for (HGDIOBJ object : std::array<HGDIOBJ, 4>{m_backdrop, m_backdropBrush, m_font, m_boldFont})
        if (object)
            DeleteObject(object);
    if (m_bigIcon)
        DestroyIcon(m_bigIcon);
    if (m_smallIcon)
        DestroyIcon(m_smallIcon);
    if (m_com)
        CoUninitialize();
}

void UpdaterWindow::show() {
    if (!m_hwnd)
        return;
    ShowWindow(m_hwnd, SW_SHOW);
    SetForegroundWindow(m_hwnd);
    // The focus on the window itself, not on a button: a key typed on into the newly shown window
    // (Enter or Space) presses nothing.
    SetFocus(m_hwnd);
}

void UpdaterWindow::loadSkin() {
    m_background = LoadSkinPicture(IDR_SKIN_BACKGROUND, m_dpi);
    picCancel_up = LoadSkinPicture(IDR_SKIN_CANCEL_UP, m_dpi);
    picCancel_down = LoadSkinPicture(IDR_SKIN_CANCEL_DOWN, m_dpi);
    picClose_up = LoadSkinPicture(IDR_SKIN_CLOSE_UP, m_dpi);
    picClose_down = LoadSkinPicture(IDR_SKIN_CLOSE_DOWN, m_dpi);
    picUpdateInfo_up = LoadSkinPicture(IDR_SKIN_UPDATEINFO_UP, m_dpi);
    picUpdateInfo_down = LoadSkinPicture(IDR_SKIN_UPDATEINFO_DOWN, m_dpi);
    picClose_focus = LoadSkinPicture(IDR_SKIN_CLOSE_FOCUS, m_dpi);
    picUpdateInfo_focus = LoadSkinPicture(IDR_SKIN_UPDATEINFO_FOCUS, m_dpi);
}

void UpdaterWindow::makeControls() {
    // The log can be clicked into to select and copy its text, but Tab passes it by.
    txtInfo = std::make_unique<TextBox>(m_hwnd, kLogId, L"Update status");
    // A dark scroll bar beside the black log where the system has one (Windows 10 and later);
    // elsewhere the system's own.
    SetWindowTheme(txtInfo->hwnd(), L"DarkMode_Explorer", nullptr);
    lblFileProg = CreateWindowExW(
        0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_LEFTNOWORDWRAP | SS_CENTERIMAGE | SS_NOPREFIX,
        0, 0, 0, 0, m_hwnd, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kLabelId)),
        GetModuleHandleW(nullptr), nullptr);
    pgBar = std::make_unique<ProgressBar>(m_hwnd, kBarId, L"Download progress");
    SetWindowSubclass(pgBar->hwnd(), &PassPresses, 2, 0);
    ShowWindow(pgBar->hwnd(), SW_SHOW);

    // The buttons as the run starts: Cancel, and the update-info button under its cover. The
    // update-info button comes first in the window's order, as in the tab order.
    picUpdateInfo = std::make_unique<PictureButton>(m_hwnd, kUpdateInfoId);
    picUpdateInfo->setFaceCaption(&picUpdateInfo_up, L"Update Info");
    picUpdateInfo->setFaceCaption(&picUpdateInfo_down, L"Update Info");
    picUpdateInfo->setFocusMark(&picUpdateInfo_focus);
    picUpdateInfo->setPicture(&picUpdateInfo_down);
    picUpdateInfo->setCover(kCoverOpacity);

    picClose = std::make_unique<PictureButton>(m_hwnd, kCloseId);
    picClose->setFaceCaption(&picCancel_up, L"Cancel");
    picClose->setFaceCaption(&picCancel_down, L"Cancel");
    picClose->setFaceCaption(&picClose_up, L"Close");
    picClose->setFaceCaption(&picClose_down, L"Close");
    picClose->setFocusMark(&picClose_focus);
    picClose->setPicture(&picCancel_up);
}

void UpdaterWindow::connectButtons() {
    picClose->mouseDown = [this](int) {
        picClose->setPicture(m_bFinished ? &picClose_down : &picCancel_down);
    };
    picClose->mouseUp = [this](int) {
        picClose->setPicture(m_bFinished ? &picClose_up : &picCancel_up);
    };
    picClose->clicked = [this] { closeAction(); };
    picUpdateInfo->mouseDown = [this](int) {
        if (updateInfoAvailable())
            picUpdateInfo->setPicture(&picUpdateInfo_down);
    };
    picUpdateInfo->mouseUp = [this](int) {
        if (updateInfoAvailable())
            picUpdateInfo->setPicture(&picUpdateInfo_up);
    };
    picUpdateInfo->clicked = [this] {
        if (updateInfoAvailable() && updateInfoRequested)
            updateInfoRequested();
    };
    picUpdateInfo->faceChanged = [this] { followAvailability(); };
    picClose->faceChanged = [this] { followAvailability(); };
    followAvailability();
}

void UpdaterWindow::followAvailability() {
    if (picUpdateInfo)
        picUpdateInfo->setAvailable(updateInfoAvailable());
}

void UpdaterWindow::layout() {
    RECT frame{0, 0, Scaled(kSize.cx, m_dpi), Scaled(kSize.cy, m_dpi)};
    AdjustWindowRectForDpi(frame, kStyle, kExStyle, m_dpi);
    SetWindowPos(m_hwnd, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    makeBackdrop();
    Place(txtInfo->hwnd(), kLogPlace, m_dpi);
    Place(lblFileProg, kLabelPlace, m_dpi);
    Place(pgBar->hwnd(), kBarPlace, m_dpi);
    Place(picUpdateInfo->hwnd(), kUpdateInfoPlace, m_dpi);
    Place(picClose->hwnd(), kClosePlace, m_dpi);

    HFONT font = DesignFont(L"MS Sans Serif", 825, m_dpi);
    HFONT bold = DesignFont(L"MS Sans Serif", 825, m_dpi, true);
    SendMessageW(txtInfo->hwnd(), WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    SendMessageW(lblFileProg, WM_SETFONT, reinterpret_cast<WPARAM>(bold), TRUE);
    // The log's text a little in from its edges, as the design has it (a new font resets them).
    SendMessageW(txtInfo->hwnd(), EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN,
                 MAKELPARAM(Scaled(kLogMargin, m_dpi), Scaled(kLogMargin, m_dpi)));
    if (m_font)
        DeleteObject(m_font);
    if (m_boldFont)
        DeleteObject(m_boldFont);
    m_font = font;
    m_boldFont = bold;
    InvalidateRect(m_hwnd, nullptr, TRUE);
}

void UpdaterWindow::makeBackdrop() {
    const int width = Scaled(kSize.cx, m_dpi), height = Scaled(kSize.cy, m_dpi);
    HDC screen = GetDC(m_hwnd);
    HBITMAP backdrop = CreateCompatibleBitmap(screen, width, height);
    HDC dc = CreateCompatibleDC(screen);
    HGDIOBJ previous = SelectObject(dc, backdrop);
    const RECT all{0, 0, width, height};
    SetDCBrushColor(dc, RGB(0x2b, 0x31, 0x1d));
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
    m_background.draw(dc, all);
    SelectObject(dc, previous);
    DeleteDC(dc);
    ReleaseDC(m_hwnd, screen);
    if (m_backdropBrush)
        DeleteObject(m_backdropBrush);
    if (m_backdrop)
        DeleteObject(m_backdrop);
    m_backdrop = backdrop;
    m_backdropBrush = CreatePatternBrush(backdrop);
}

void UpdaterWindow::centreOnScreen() {
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (!GetMonitorInfoW(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &monitor))
        return;
    RECT window;
    GetWindowRect(m_hwnd, &window);
    const RECT& area = monitor.rcWork;
    const int x = area.left + ((area.right - area.left) - (window.right - window.left)) / 2;
    const int y = area.top + ((area.bottom - area.top) - (window.bottom - window.top)) / 2;
    SetWindowPos(m_hwnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

PictureButton* UpdaterWindow::buttonOf(HWND control) const {
    if (picClose && control == picClose->hwnd())
        return picClose.get();
    if (picUpdateInfo && control == picUpdateInfo->hwnd())
        return picUpdateInfo.get();
    return nullptr;
}

bool UpdaterWindow::handleKey(WPARAM key, LPARAM flags) {
    const bool repeat = (flags & (1 << 30)) != 0;
    if (key == VK_TAB && !KeyDown(VK_CONTROL) && !KeyDown(VK_MENU)) {
        moveFocus(KeyDown(VK_SHIFT));
        return true;
    }
    if (key == VK_ESCAPE && !KeyDown(VK_SHIFT) && !KeyDown(VK_CONTROL) && !KeyDown(VK_MENU)) {
        if (!repeat)
            picClose->click();
        return true;
    }
    return false;
}

void UpdaterWindow::moveFocus(bool backwards) {
    std::vector<HWND> chain;
    for (const PictureButton* button : {picUpdateInfo.get(), picClose.get()}) {
        if (IsWindowEnabled(button->hwnd()) && IsWindowVisible(button->hwnd()))
            chain.push_back(button->hwnd());
    }
    if (chain.empty())
        return;
    const HWND focus = GetFocus();
    std::size_t next = backwards ? chain.size() - 1 : 0;
    for (std::size_t i = 0; i < chain.size(); ++i) {
        if (chain[i] == focus) {
            next = backwards ? (i + chain.size() - 1) % chain.size() : (i + 1) % chain.size();
            break;
        }
    }
    SetFocus(chain[next]);
}

void UpdaterWindow::startDrag(LPARAM at) {
    // Presses on the buttons and the log are theirs; one over a button that cannot be pressed
    // (disabled, so it arrives here) does nothing.
    const POINT point{static_cast<short>(LOWORD(at)), static_cast<short>(HIWORD(at))};
    const HWND under = ChildWindowFromPointEx(m_hwnd, point, CWP_SKIPINVISIBLE);
    if (under && under != m_hwnd && buttonOf(under))
        return;
    // The system's move, as by a caption.
    ReleaseCapture();
    SendMessageW(m_hwnd, WM_NCLBUTTONDOWN, HTCAPTION, 0);
}

LRESULT CALLBACK UpdaterWindow::Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<UpdaterWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!self || !self->m_hwnd) {
        if (self && message == WM_NCCREATE)
            self->m_hwnd = hwnd;
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    return self->handle(message, wParam, lParam);
}

LRESULT UpdaterWindow::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(m_hwnd, &paint);
        if (m_backdrop) {
            HDC source = CreateCompatibleDC(dc);
            HGDIOBJ previous = SelectObject(source, m_backdrop);
            BitBlt(dc, paint.rcPaint.left, paint.rcPaint.top,
                   paint.rcPaint.right - paint.rcPaint.left,
                   paint.rcPaint.bottom - paint.rcPaint.top, source, paint.rcPaint.left,
                   paint.rcPaint.top, SRCCOPY);
            SelectObject(source, previous);
            DeleteDC(source);
        }
        EndPaint(m_hwnd, &paint);
        return 0;
    }
    case WM_ERASEBKGND:
        return 1;
    case WM_DRAWITEM: {
        const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
        if (PictureButton* button = buttonOf(item->hwndItem)) {
            button->paint(item->hDC, item->rcItem);
            return TRUE;
        }
        break;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT: {
        HDC dc = reinterpret_cast<HDC>(wParam);
        const HWND control = reinterpret_cast<HWND>(lParam);
        if (txtInfo && control == txtInfo->hwnd()) {
            SetTextColor(dc, RGB(0xff, 0xff, 0xff));
            SetBkColor(dc, RGB(0, 0, 0));
            return reinterpret_cast<LRESULT>(GetStockObject(BLACK_BRUSH));
        }
        if (control == lblFileProg && m_backdropBrush) {
            // The label stands on the backdrop: its background is the backdrop's part under it.
            POINT origin{0, 0};
            MapWindowPoints(control, m_hwnd, &origin, 1);
            SetBrushOrgEx(dc, -origin.x, -origin.y, nullptr);
            SetTextColor(dc, RGB(0xe0, 0xe0, 0xe0));
            SetBkMode(dc, TRANSPARENT);
            return reinterpret_cast<LRESULT>(m_backdropBrush);
        }
        break;
    }
    case WM_LBUTTONDOWN:
        startDrag(lParam);
        return 0;
    case WM_KEYDOWN:
        if (handleKey(wParam, lParam))
            return 0;
        break;
    case WM_CHAR:
        if (wParam == L'\t' || wParam == 0x1b)
            return 0;
        break;
    case WM_CLOSE:
        // Closing the window (Alt+F4, the taskbar) presses the close button.
        picClose->click();
        return 0;
    case WM_DPICHANGED: {
        m_dpi = HIWORD(wParam);
        loadSkin();
        layout();
        const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
        SetWindowPos(m_hwnd, nullptr, suggested->left, suggested->top, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        return 0;
    }
    case WM_ACTIVATE:
        // The focused control is kept while another window is active, and has the focus again
        // when the window is activated again.
        if (LOWORD(wParam) == WA_INACTIVE) {
            const HWND focus = GetFocus();
            m_lastFocus = focus && IsChild(m_hwnd, focus) ? focus : nullptr;
        } else if (m_lastFocus && IsWindow(m_lastFocus) && IsWindowEnabled(m_lastFocus) &&
                   !HIWORD(wParam)) {
            SetFocus(m_lastFocus);
            return 0;
        }
        break;
    case WM_NCDESTROY: {
        const HWND hwnd = m_hwnd;
        m_hwnd = nullptr;
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    default:
        break;
    }
    return DefWindowProcW(m_hwnd, message, wParam, lParam);
}

void UpdaterWindow::appendStatusLine(const std::string& line) {
    txtInfo->append(line + "\r\n");
}

void UpdaterWindow::showProgress(bool shown) {
    if (shown) {
        SetWindowTextW(lblFileProg, L"");
        pgBar->setValue(0);
    }
    ShowWindow(lblFileProg, shown ? SW_SHOWNA : SW_HIDE);
    ShowWindow(pgBar->hwnd(), shown ? SW_SHOWNA : SW_HIDE);
}

void UpdaterWindow::setProgressValue(double percent) {
    pgBar->setValue(percent);
}

void UpdaterWindow::setProgressText(const std::string& text) {
    SetWindowTextW(lblFileProg, Utf16FromUtf8(text).c_str());
}

void UpdaterWindow::setCloseFace(CloseFace face) {
    m_bFinished = face == CloseFace::Close;
    picClose->setPicture(m_bFinished ? &picClose_up : &picCancel_up);
}

void UpdaterWindow::uncoverUpdateInfo() {
    m_covered = false;
    picUpdateInfo->setCover(0);
    picUpdateInfo->setPicture(&picUpdateInfo_up);
}

void UpdaterWindow::showVersionNotes(const std::vector<std::string>& lines, bool open) {
    ShowVersionNotes(m_versionInfo, m_hwnd, lines, open);
}

std::string UpdaterWindow::decimalSeparator() const {
    wchar_t separator[8] = {};
    if (GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, separator, 8) <= 1)
        return ".";
    return Utf8FromUtf16(separator);
}
