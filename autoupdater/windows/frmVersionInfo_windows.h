// The version-info window of the Windows front-end: a tool window "Vorn (Version Info)" owned by
// the updater window, with the version notes in a read-only text box ("Version notes") and a Close
// button; a dialog as to its keys (Tab between the two, Escape and Enter close it). Shown, it is
// modal: its owner is disabled until it closes.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "windows/TextBox_windows.h"

class frmVersionInfo {
public:
    static constexpr int kCloseId = IDOK;

    // Made hidden, at the owner's resolution.
    explicit frmVersionInfo(HWND owner);
    ~frmVersionInfo();
    frmVersionInfo(const frmVersionInfo&) = delete;
    frmVersionInfo& operator=(const frmVersionInfo&) = delete;

    HWND hwnd() const { return m_hwnd; }
    TextBox& txtVersionInfo() { return *m_text; }
    HWND cmdClose() const { return m_close; }

    // Shows the window centred over its owner and handles messages until it is closed (its Close
    // button, Escape, Enter, the caption's close box); the owner is disabled meanwhile.
    void showModal();
    bool isShown() const { return m_shown; }

    static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

private:
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
    void layout(UINT dpi);
    void close();

    HWND m_hwnd = nullptr;
    HWND m_owner = nullptr;
    std::unique_ptr<TextBox> m_text;
    HWND m_close = nullptr;
    HFONT m_textFont = nullptr;
    HFONT m_buttonFont = nullptr;
    bool m_shown = false;
};

// The update-info action's window: appends the lines (each with CR LF) to the version-info window
// held in `window` (made on first use, owned by `owner`) and, with `open`, shows it modally; once
// closed, the window and its text are discarded.
void ShowVersionNotes(std::unique_ptr<frmVersionInfo>& window, HWND owner,
                      const std::vector<std::string>& lines, bool open);
