#include "windows/PictureButton_windows.h"

#include <commctrl.h>
#include <oleacc.h>

#include "windows/TextBox_windows.h"

namespace {

bool Down(int key) {
    return (GetKeyState(key) & 0x8000) != 0;
}

// The keys that press a focused button: Space, and Enter on either part of the keyboard, without
// Shift, Ctrl or Alt.
bool IsPressKey(WPARAM key) {
    return (key == VK_SPACE || key == VK_RETURN) && !Down(VK_SHIFT) && !Down(VK_CONTROL) &&
           !Down(VK_MENU);
}

} // namespace

PictureButton::PictureButton(HWND parent, int id) {
    m_hwnd = CreateWindowExW(0, L"BUTTON", L"",
                             WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_OWNERDRAW | BS_PUSHBUTTON, 0,
                             0, 0, 0, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                             GetModuleHandleW(nullptr), nullptr);
    if (m_hwnd) {
        SetWindowSubclass(m_hwnd, &PictureButton::Procedure, 1, reinterpret_cast<DWORD_PTR>(this));
        SetWindowLongPtrW(m_hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        // A push button to assistive technology, as its style says: an owner-drawn button is
        // not one to every version of the system's own object.
        m_annotated = SetAccessibleRole(m_hwnd, ROLE_SYSTEM_PUSHBUTTON);
    }
}

PictureButton::~PictureButton() {
    if (m_hwnd && IsWindow(m_hwnd)) {
        RemoveWindowSubclass(m_hwnd, &PictureButton::Procedure, 1);
        SetWindowLongPtrW(m_hwnd, GWLP_USERDATA, 0);
        if (m_annotated)
            ForgetAccessibleAnnotations(m_hwnd);
    }
}

void PictureButton::setPicture(const SkinPicture* picture) {
    m_picture = picture;
    for (const auto& [face, caption] : m_captions) {
        if (face == picture) {
            if (this->caption() != caption)
                SetWindowTextW(m_hwnd, caption.c_str());
            break;
        }
    }
    InvalidateRect(m_hwnd, nullptr, FALSE);
    if (faceChanged)
        faceChanged();
}

void PictureButton::setFaceCaption(const SkinPicture* face, const std::wstring& caption) {
    m_captions.emplace_back(face, caption);
    if (face == m_picture)
        SetWindowTextW(m_hwnd, caption.c_str());
}

std::wstring PictureButton::caption() const {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(m_hwnd)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        GetWindowTextW(m_hwnd, text.data(), static_cast<int>(text.size()))));
    return text;
}

void PictureButton::setCover(BYTE opacity) {
    m_cover = opacity;
    InvalidateRect(m_hwnd, nullptr, FALSE);
}

void PictureButton::setAvailable(bool available) {
    if (available == m_available)
        return;
    m_available = available;
    if (!available && GetFocus() == m_hwnd)
        SetFocus(GetParent(m_hwnd));
    if (!available)
        release(0, false);
    EnableWindow(m_hwnd, available);
}

void PictureButton::click() {
    if (mouseDown)
        mouseDown(VK_LBUTTON);
    if (mouseUp)
        mouseUp(VK_LBUTTON);
    if (clicked)
        clicked();
}

void PictureButton::paint(HDC dc, const RECT& area) const {
    // Into a bitmap first, so that the face and the marks over it appear at once.
    const int width = area.right - area.left, height = area.bottom - area.top;
    HDC buffer = CreateCompatibleDC(dc);
    HBITMAP bitmap = CreateCompatibleBitmap(dc, width, height);
    HGDIOBJ previous = SelectObject(buffer, bitmap);
    const RECT local{0, 0, width, height};
    FillRect(buffer, &local, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    if (m_picture)
        m_picture->draw(buffer, local);
    if (m_focusMark && GetFocus() == m_hwnd)
        m_focusMark->blend(buffer, local);
    if (m_cover)
        DimRect(buffer, local, m_cover);
    BitBlt(dc, area.left, area.top, width, height, buffer, 0, 0, SRCCOPY);
    SelectObject(buffer, previous);
    DeleteObject(bitmap);
    DeleteDC(buffer);
}

void PictureButton::press(int mouseButton) {
    if (mouseDown)
        mouseDown(mouseButton);
}

void PictureButton::release(int mouseButton, bool click) {
    if (m_heldMouse) {
        const int held = m_heldMouse;
        m_heldMouse = 0;
        if (GetCapture() == m_hwnd)
            ReleaseCapture();
        if (mouseButton == 0)
            mouseButton = held;
    }
    if (mouseButton == 0)
        return;
    if (mouseUp)
        mouseUp(mouseButton);
    if (click && clicked)
        clicked();
}

LRESULT CALLBACK PictureButton::Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                                          UINT_PTR, DWORD_PTR self) {
    if (message == WM_NCDESTROY) {
        RemoveWindowSubclass(hwnd, &PictureButton::Procedure, 1);
        return DefSubclassProc(hwnd, message, wParam, lParam);
    }
    return reinterpret_cast<PictureButton*>(self)->handle(message, wParam, lParam);
}

LRESULT PictureButton::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONDBLCLK:
    case WM_MBUTTONDOWN:
    case WM_MBUTTONDBLCLK: {
        const int button = message == WM_LBUTTONDOWN || message == WM_LBUTTONDBLCLK   ? VK_LBUTTON
                           : message == WM_RBUTTONDOWN || message == WM_RBUTTONDBLCLK ? VK_RBUTTON
                                                                                      : VK_MBUTTON;
        if (m_available && GetFocus() != m_hwnd)
            SetFocus(m_hwnd);
        if (!m_heldMouse) {
            m_heldMouse = button;
            SetCapture(m_hwnd);
        }
        press(button);
        return 0;
    }
    case WM_LBUTTONUP:
    case WM_RBUTTONUP:
    case WM_MBUTTONUP: {
        const int button = message == WM_LBUTTONUP   ? VK_LBUTTON
                           : message == WM_RBUTTONUP ? VK_RBUTTON
                                                     : VK_MBUTTON;
        RECT client;
        GetClientRect(m_hwnd, &client);
        const POINT at{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
        const bool over = PtInRect(&client, at) != FALSE;
        if (button == m_heldMouse) {
            m_heldMouse = 0;
            if (GetCapture() == m_hwnd)
                ReleaseCapture();
        }
        if (mouseUp)
            mouseUp(button);
        if (button == VK_LBUTTON && over && clicked)
            clicked();
        return 0;
    }
    case WM_CAPTURECHANGED:
        m_heldMouse = 0;
        return 0;
    case WM_KEYDOWN:
        if (wParam == VK_TAB || wParam == VK_ESCAPE) {
            SendMessageW(GetParent(m_hwnd), WM_KEYDOWN, wParam, lParam);
            return 0;
        }
        if (IsPressKey(wParam)) {
            // One press per stroke: the key's repeats, and a second key while one holds the
            // button, add nothing.
            const bool repeat = (lParam & (1 << 30)) != 0;
            if (!repeat && m_heldKey == 0) {
                m_heldKey = static_cast<int>(wParam);
                press(VK_LBUTTON);
            }
            return 0;
        }
        break;
    case WM_KEYUP:
        if (m_heldKey != 0 && static_cast<int>(wParam) == m_heldKey) {
            m_heldKey = 0;
            if (mouseUp)
                mouseUp(VK_LBUTTON);
            if (clicked)
                clicked();
            return 0;
        }
        if (IsPressKey(wParam))
            return 0;
        break;
    case WM_CHAR:
        // The characters of the keys handled above; the button's own handling would beep.
        if (wParam == L' ' || wParam == L'\r' || wParam == L'\t' || wParam == 0x1b)
            return 0;
        break;
    case WM_GETDLGCODE:
        return DLGC_BUTTON | DLGC_UNDEFPUSHBUTTON | DLGC_WANTALLKEYS;
    case WM_SETFOCUS:
    case WM_KILLFOCUS: {
        if (message == WM_KILLFOCUS && m_heldKey != 0) {
            // The focus leaving while a key holds the button lets it up without a click, as the
            // pointer leaving before the release does.
            m_heldKey = 0;
            if (mouseUp)
                mouseUp(VK_LBUTTON);
        }
        const LRESULT result = DefSubclassProc(m_hwnd, message, wParam, lParam);
        InvalidateRect(m_hwnd, nullptr, FALSE);
        return result;
    }
    case BM_SETSTATE:
    case BM_SETCHECK:
        // The faces show the state; the button's own pushed state is not used.
        return 0;
    case BM_CLICK:
        // The press that assistive technology (the default action) and programs send.
        if (m_available)
            click();
        return 0;
    case WM_ERASEBKGND:
        return 1;
    default:
        break;
    }
    return DefSubclassProc(m_hwnd, message, wParam, lParam);
}
