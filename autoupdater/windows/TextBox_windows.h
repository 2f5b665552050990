// A read-only multi-line text box of the Windows front-end: an EDIT control with a vertical scroll
// bar, named for assistive technology (an edit control's window text is its content, so the name
// is given as an annotation of its accessible object). Tab, Shift+Tab and Escape typed in it go to
// its parent window, as WM_KEYDOWN; in a dialog (`dialogKeys`) they, and Enter, are left to the
// dialog's keyboard handling instead.
#pragma once

#include <windows.h>

#include <string>

class TextBox {
public:
    TextBox(HWND parent, int id, const wchar_t* name, bool dialogKeys = false);
    ~TextBox();
    TextBox(const TextBox&) = delete;
    TextBox& operator=(const TextBox&) = delete;

    HWND hwnd() const { return m_hwnd; }

    // Appends text (UTF-8; a lone CR or LF becomes a line break) and puts the caret at the end,
    // scrolled into view.
    void append(const std::string& text);
    // The whole text, UTF-8, with CR LF line breaks as the control holds them.
    std::string text() const;
    // The caret position, in UTF-16 characters of the control's text from 0.
    int caret() const;
    // Puts the caret at `position` (clamped to the text), scrolled into view.
    void setCaret(int position);

private:
    static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                                      UINT_PTR id, DWORD_PTR self);

    HWND m_hwnd = nullptr;
    bool m_dialogKeys = false;
    bool m_named = false;
};

// Names a control for assistive technology where its window text cannot, or gives it its role
// where the system's own object would report another (Microsoft Active Accessibility's dynamic
// annotation: the name or role property of its client object); false when the system has no
// annotation service. ForgetAccessibleAnnotations removes both.
bool SetAccessibleName(HWND hwnd, const wchar_t* name);
bool SetAccessibleRole(HWND hwnd, long role);
void ForgetAccessibleAnnotations(HWND hwnd);
