// The skinned updater window of the Linux front-end: its design (background, status log, progress
// label and bar, the two picture buttons with their six face images and the cover), the behaviour
// of the buttons, and the view through which the update run (frmMain) shows itself. The buttons'
// actions are the run's: the window calls closeRequested and updateInfoRequested.
//
// Keyboard: no button has the focus when the window appears; Tab moves the focus between the
// buttons that can be pressed (the update-info button only while it is available); Space and Enter
// press the focused one; Escape presses the close button. Dragging the window by its background
// moves it.
#pragma once

#include <QLabel>
#include <QPixmap>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <optional>

#include "driver/UpdaterView.h"
#include "windows/PictureButton.h"
#include "windows/ProgressBar.h"
#include "windows/TextBox.h"
#include "windows/frmVersionInfo.h"

// Loads a picture of the skin (":/skin/<name>"), taking its @2x variant on a high-density screen.
QPixmap LoadSkinPicture(const QString& name, qreal devicePixelRatio);

class UpdaterWindow : public QWidget, public UpdaterView {
    Q_OBJECT
public:
    // Appears as the run starts: Cancel, the update-info button covered, the log empty.
    explicit UpdaterWindow(QWidget* parent = nullptr);

    // Controls, by the names the rest of the program uses.
    TextBox* txtInfo;
    QLabel* lblFileProg;
    ProgressBar* pgBar;
    PictureButton* picUpdateInfo;
    CoverShape* shapeUpdateinfo;
    PictureButton* picClose;

    // Face images, copied onto the buttons.
    QPixmap picCancel_up, picCancel_down, picClose_up, picClose_down, picUpdateInfo_up,
        picUpdateInfo_down;
    // Drawn over a button's face while it has the keyboard focus.
    QPixmap picClose_focus, picUpdateInfo_focus;

    // False until the update run has ended (the close button shows Close); never goes back.
    bool finished() const { return m_bFinished; }
    // The update-info button is available once the run has ended and the cover is hidden.
    bool updateInfoAvailable() const { return m_bFinished && shapeUpdateinfo->isHidden(); }

    QPointer<frmVersionInfo>& versionInfoWindow() { return m_versionInfo; }

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

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

    bool m_bFinished = false;

private:
    void loadSkin();
    void makeStatusLog();
    void makeProgressDisplay();
    void makeButtons();
    void connectButtons();
    void centreOnScreen();
    // Lets the update-info button take the focus, and be pressed from the keyboard or by
    // assistive technology, exactly while it is available.
    void followAvailability();

    // While the window follows the pointer itself: the pointer's place in the window.
    std::optional<QPoint> m_dragGrip;

    QPixmap m_background;
    QPointer<frmVersionInfo> m_versionInfo;
};
