// The skinned updater window: its design (background, status log, progress label and bar, the two
// picture buttons with their six face images and the cover), and the behaviour of the buttons.
// The update driver derives the main window from it and adds the update run.
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

#include "windows/PictureButton.h"
#include "windows/ProgressBar.h"
#include "windows/TextBox.h"
#include "windows/frmVersionInfo.h"

// Loads a picture of the skin (":/skin/<name>"), taking its @2x variant on a high-density screen.
QPixmap LoadSkinPicture(const QString& name, qreal devicePixelRatio);

class UpdaterWindow : public QWidget {
    Q_OBJECT
public:
    // programFolder: the folder of the updater, without a trailing separator.
    explicit UpdaterWindow(const QString& programFolder, QWidget* parent = nullptr);

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

    // False until the update run has ended, on success or failure; never goes back to False.
    bool finished() const { return m_bFinished; }
    // The update-info button is available once the run has ended and the cover is hidden.
    bool updateInfoAvailable() const { return m_bFinished && shapeUpdateinfo->isHidden(); }

    QString programFolder() const { return m_sProgramFolder; }
    QPointer<frmVersionInfo>& versionInfoWindow() { return m_versionInfo; }

    // What the close action does to start the client and to end the process. The defaults are
    // set by the main window; tests replace them.
    std::function<void(const QString& programFolder)> startClient;
    std::function<void()> terminateProcess;
    // Called first by the close action while the run goes on (Cancel): undoes what the run has
    // done so far that it can undo quickly.
    std::function<void()> abandonRun;

    // The close action: starts the client after a run that ended successfully with version notes,
    // then ends the process at once.
    void closeAction();
    // The update-info action: shows the first block of the version notes.
    void updateInfoAction();

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

    bool m_bFinished = false;

private:
    void centreOnScreen();
    // Lets the update-info button take the focus, and be pressed from the keyboard or by
    // assistive technology, exactly while it is available.
    void followAvailability();

    // While the window follows the pointer itself: the pointer's place in the window.
    std::optional<QPoint> m_dragGrip;

    QString m_sProgramFolder;
    QPixmap m_background;
    QPointer<frmVersionInfo> m_versionInfo;
};
