#include "windows/TextBox_windows.h"

#include <algorithm>
#include <commctrl.h>
#include <initguid.h>
#include <oleacc.h>

#include <vorn/Utf16_windows.h>

namespace {

// The annotation service, or null.
IAccPropServices* PropServices() {
    IAccPropServices* services = nullptr;
    if (FAILED(CoCreateInstance(CLSID_AccPropServices, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IAccPropServices, reinterpret_cast<void**>(&services))))
        return nullptr;
    return services;
}

// Line breaks as the control shows them: CR LF; a lone CR or LF becomes one.
std::wstring WithLineBreaks(const std::wstring& text) {
    std::wstring shown;
    shown.reserve(text.size() + 2);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (c == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') {
            shown += L"\r\n";
            ++i;
        } else if (c == L'\r' || c == L'\n') {
            shown += L"\r\n";
        } else {
            shown += c;
        }
    }
    return shown;
}

} // namespace

bool SetAccessibleName(HWND hwnd, const wchar_t* name) {
    IAccPropServices* services = PropServices();
    if (!services)
        return false;
    const HRESULT result = services->SetHwndPropStr(hwnd, static_cast<DWORD>(OBJID_CLIENT),
                                                    CHILDID_SELF, PROPID_ACC_NAME, name);
    services->Release();
    return SUCCEEDED(result);
}

bool SetAccessibleRole(HWND hwnd, long role) {
    IAccPropServices* services = PropServices();
    if (!services)
        return false;
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_I4;
    value.lVal = role;
    const HRESULT result = services->SetHwndProp(hwnd, static_cast<DWORD>(OBJID_CLIENT),
                                                 CHILDID_SELF, PROPID_ACC_ROLE, value);
    services->Release();
    return SUCCEEDED(result);
}

void ForgetAccessibleAnnotations(HWND hwnd) {
    IAccPropServices* services = PropServices();
    if (!services)
        return;
    MSAAPROPID properties[] = {PROPID_ACC_NAME, PROPID_ACC_ROLE};
    services->ClearHwndProps(hwnd, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF, properties, 2);
    services->Release();
}

TextBox::TextBox(HWND parent, int id, const wchar_t* name, bool dialogKeys)
    : m_dialogKeys(dialogKeys) {
    m_hwnd = CreateWindowExW(0, L"EDIT", L"",
                             WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_READONLY |
                                 ES_AUTOVSCROLL | ES_NOHIDESEL | (dialogKeys ? WS_TABSTOP : 0),
                             0, 0, 0, 0, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                             GetModuleHandleW(nullptr), nullptr);
    if (!m_hwnd)
        return;
    // No limit but the system's: the log grows with every line.
    SendMessageW(m_hwnd, EM_SETLIMITTEXT, 0, 0);
    SetWindowSubclass(m_hwnd, &TextBox::Procedure, 1, reinterpret_cast<DWORD_PTR>(this));
    m_named = SetAccessibleName(m_hwnd, name);
}

TextBox::~TextBox() {
    if (m_hwnd && IsWindow(m_hwnd)) {
        RemoveWindowSubclass(m_hwnd, &TextBox::Procedure, 1);
        if (m_named)
            ForgetAccessibleAnnotations(m_hwnd);
    }
}

void TextBox::append(const std::string& text) {
    const std::wstring added = WithLineBreaks(Utf16FromUtf8(text));
    const int end = GetWindowTextLengthW(m_hwnd);
    SendMessageW(m_hwnd, EM_SETSEL, static_cast<WPARAM>(end), static_cast<LPARAM>(end));
    // Replacing the empty selection at the end inserts there (also in a read-only control), and
    // assistive technology hears of the inserted text.
    SendMessageW(m_hwnd, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(added.c_str()));
    setCaret(GetWindowTextLengthW(m_hwnd));
}

void TextBox::setCaret(int position) {
    position = std::clamp(position, 0, GetWindowTextLengthW(m_hwnd));
    SendMessageW(m_hwnd, EM_SETSEL, static_cast<WPARAM>(position), static_cast<LPARAM>(position));
    SendMessageW(m_hwnd, EM_SCROLLCARET, 0, 0);
}

std::string TextBox::text() const {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(m_hwnd)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        GetWindowTextW(m_hwnd, text.data(), static_cast<int>(text.size()))));
    return Utf8FromUtf16(text);
}

int TextBox::caret() const {
    DWORD start = 0, end = 0;
    SendMessageW(m_hwnd, EM_GETSEL, reinterpret_cast<WPARAM>(&start),
                 reinterpret_cast<LPARAM>(&end));
    return static_cast<int>(end);
}

LRESULT CALLBACK TextBox::Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                    DWORD_PTR self) {
    const auto* box = reinterpret_cast<const TextBox*>(self);
    const bool windowKey = wParam == VK_TAB || wParam == VK_ESCAPE;
    switch (message) {
    case WM_GETDLGCODE:
        if (box->m_dialogKeys) {
            // Tab, Escape and Enter stay the dialog's: they move the focus and close it.
            LRESULT code = DefSubclassProc(hwnd, message, wParam, lParam);
            const MSG* key = reinterpret_cast<const MSG*>(lParam);
            if (key && key->message == WM_KEYDOWN && (windowKey || key->wParam == VK_RETURN))
                code &= ~(DLGC_WANTALLKEYS | DLGC_WANTMESSAGE | DLGC_WANTTAB);
            return code & ~DLGC_HASSETSEL;
        }
        break;
    case WM_KEYDOWN:
        if (!box->m_dialogKeys && windowKey) {
            SendMessageW(GetParent(hwnd), WM_KEYDOWN, wParam, lParam);
            return 0;
        }
        break;
    case WM_CHAR:
        if (wParam == L'\t' || wParam == 0x1b)
            return 0;
        break;
    case WM_NCDESTROY:
        RemoveWindowSubclass(hwnd, &TextBox::Procedure, 1);
        break;
    default:
        break;
    }
    return DefSubclassProc(hwnd, message, wParam, lParam);
}
