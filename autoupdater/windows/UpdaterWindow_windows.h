// The skinned updater window of the Windows front-end: a borderless window of fixed size with the
// skin's backdrop, the status log, the progress label and bar and the two picture buttons (with
// their face pictures, the focus marks and the cover), sized and drawn for the resolution of the
// display it is on (the @2x pictures above 96 dots per inch, again on a change of display), and
// the view through which the update run (frmMain) shows itself. The buttons' actions are the
// run's: the window calls closeRequested and updateInfoRequested.
//
// Keyboard: no button has the focus when the window appears; Tab and Shift+Tab move the focus
// between the buttons that can be pressed (the update-info button only while it is available);
// Space and Enter press the focused one; Escape, and a request to close the window (Alt+F4), press
// the close button. The status log takes the focus only from a click. Dragging the window by its
// background, the caption strip or the progress display moves it.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver/UpdaterView.h"
#include "windows/PictureButton_windows.h"
#include "windows/ProgressBar_windows.h"
#include "windows/SkinPicture_windows.h"
#include "windows/TextBox_windows.h"
#include "windows/frmVersionInfo_windows.h"

class UpdaterWindow : public UpdaterView {
public:
    // The design, at 96 dots per inch.
    static constexpr SIZE kSize{386, 311};
    static constexpr RECT kLogPlace{16, 133, 16 + 352, 133 + 126};
    static constexpr RECT kLabelPlace{16, 263, 16 + 185, 263 + 17};
    static constexpr RECT kBarPlace{16, 280, 16 + 185, 280 + 13};
    static constexpr RECT kUpdateInfoPlace{212, 274, 212 + 86, 274 + 28};
    static constexpr RECT kClosePlace{308, 274, 308 + 62, 274 + 28};
    // The cover's black over the update-info button while it cannot be pressed.
    static constexpr BYTE kCoverOpacity = 185;

    // Made hidden, centred on the primary monitor's work area, as the run starts: Cancel, the
    // update-info button covered, the log empty.
    UpdaterWindow();
    ~UpdaterWindow() override;
    UpdaterWindow(const UpdaterWindow&) = delete;
    UpdaterWindow& operator=(const UpdaterWindow&) = delete;

    HWND hwnd() const { return m_hwnd; }
    void show();
    // Until the window has been destroyed.
    bool isOpen() const { return m_hwnd != nullptr; }
    UINT dpi() const { return m_dpi; }

    // Controls, by the names the rest of the program uses.
    std::unique_ptr<TextBox> txtInfo;
    HWND lblFileProg = nullptr;
    std::unique_ptr<ProgressBar> pgBar;
    std::unique_ptr<PictureButton> picUpdateInfo;
    std::unique_ptr<PictureButton> picClose;

    // Face pictures (the buttons show them by pointer) and the focus marks.
    SkinPicture picCancel_up, picCancel_down, picClose_up, picClose_down, picUpdateInfo_up,
        picUpdateInfo_down, picClose_focus, picUpdateInfo_focus;
    const SkinPicture& background() const { return m_background; }

    // False until the update run has ended (the close button shows Close); never goes back.
    bool finished() const { return m_bFinished; }
    // The update-info button is available once the run has ended and the cover is off.
    bool updateInfoAvailable() const { return m_bFinished && !m_covered; }
    bool updateInfoCovered() const { return m_covered; }
    frmVersionInfo* versionInfoWindow() const { return m_versionInfo.get(); }

    // The buttons' actions: a click on Close (or Cancel), and on Update Info while available.
    std::function<void()> closeRequested;
    std::function<void()> updateInfoRequested;
    void closeAction() {
        if (closeRequested)
            closeRequested();
    }

    // The view of the update run.
    void appendStatusLine(const std::string& line) override;
    void showProgress(bool shown) override;
    void setProgressValue(double percent) override;
    void setProgressText(const std::string& text) override;
    void setCloseFace(CloseFace face) override;
    void uncoverUpdateInfo() override;
    void showVersionNotes(const std::vector<std::string>& lines, bool open) override;
    std::string decimalSeparator() const override;

private:
    static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
    void loadSkin();
    void makeControls();
    void connectButtons();
    // Sizes the window and places the controls for m_dpi, with the fonts and the backdrop of
    // that resolution.
    void layout();
    void makeBackdrop();
    void centreOnScreen();
    void followAvailability();
    // Tab and Shift+Tab, Escape: from the window and from its controls.
    bool handleKey(WPARAM key, LPARAM flags);
    void moveFocus(bool backwards);
    void startDrag(LPARAM at);
    PictureButton* buttonOf(HWND control) const;

    HWND m_hwnd = nullptr;
    UINT m_dpi = 96;
    bool m_com = false;
    bool m_bFinished = false;
    bool m_covered = true;
    SkinPicture m_background;
    HBITMAP m_backdrop = nullptr;     // the backdrop at the window's size
    HBRUSH m_backdropBrush = nullptr; // the same as a brush, behind the progress label
    HFONT m_font = nullptr;
    HFONT m_boldFont = nullptr;
    HICON m_bigIcon = nullptr;
    HICON m_smallIcon = nullptr;
    HWND m_lastFocus = nullptr; // the focused control when the window was last deactivated
    std::unique_ptr<frmVersionInfo> m_versionInfo;
};
