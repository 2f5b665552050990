// A picture button of the Windows front-end: a BUTTON control (owner-drawn, with the push
// button's role given to assistive technology), so that it is seen as a push button named by its
// window text, which is the caption of the face it
// shows ("Cancel", "Close", "Update Info"), and unavailable while it is disabled. It shows one face
// picture at a time, with the focus mark over it while it has the keyboard focus, and reports
// presses and releases of any mouse button and clicks (the left button released over it). From the
// keyboard it is a push button: Space or Enter held down reports a left-button press, the release
// a release and a click; a repeat adds nothing.
//
// Tab, Shift+Tab and Escape typed on it are handed to its parent window (WM_KEYDOWN).
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "windows/SkinPicture_windows.h"

class PictureButton {
public:
    // Creates the control as a child of `parent`, with the given control id, not yet placed.
    PictureButton(HWND parent, int id);
    ~PictureButton();
    PictureButton(const PictureButton&) = delete;
    PictureButton& operator=(const PictureButton&) = delete;

    HWND hwnd() const { return m_hwnd; }

    // The face shown, by pointer: the owner keeps the pictures (and may replace their content,
    // as on a change of the display's resolution).
    void setPicture(const SkinPicture* picture);
    const SkinPicture* picture() const { return m_picture; }
    // The caption of a face: showing that face names the button.
    void setFaceCaption(const SkinPicture* face, const std::wstring& caption);
    std::wstring caption() const;
    void setFocusMark(const SkinPicture* mark) { m_focusMark = mark; }
    // Drawn over the face, black at this opacity (0: none): the cover of an unavailable button.
    void setCover(BYTE opacity);
    BYTE cover() const { return m_cover; }

    // An unavailable button is disabled: it takes no focus (it gives the focus to its parent when
    // it has it), gets no mouse input (its parent lets presses over it pass) and is reported
    // unavailable.
    void setAvailable(bool available);
    bool isAvailable() const { return m_available; }

    // Exactly what a click with the left mouse button reports: a press, a release and a click.
    void click();

    // Draws the button (WM_DRAWITEM of its parent).
    void paint(HDC dc, const RECT& area) const;

    std::function<void(int mouseButton)> mouseDown; // VK_LBUTTON, VK_RBUTTON, VK_MBUTTON
    std::function<void(int mouseButton)> mouseUp;
    std::function<void()> clicked;
    std::function<void()> faceChanged;

private:
    static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                                      UINT_PTR id, DWORD_PTR self);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
    void press(int mouseButton);
    void release(int mouseButton, bool click);

    HWND m_hwnd = nullptr;
    const SkinPicture* m_picture = nullptr;
    const SkinPicture* m_focusMark = nullptr;
    std::vector<std::pair<const SkinPicture*, std::wstring>> m_captions;
    BYTE m_cover = 0;
    bool m_available = true;
    int m_heldKey = 0;        // the key that holds the button down, 0 when none does
    int m_heldMouse = 0;      // the mouse button that holds it (captured), 0 when none does
    bool m_annotated = false; // its role is given to assistive technology
};
