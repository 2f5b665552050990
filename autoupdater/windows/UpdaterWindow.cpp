#include "windows/UpdaterWindow.h"

#include <QFile>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QScrollBar>
#include <QWindow>

#include "windows/Accessibility.h"

static void initSkinResources() {
    Q_INIT_RESOURCE(skin);
}

QPixmap LoadSkinPicture(const QString& name, qreal devicePixelRatio) {
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    const QString base = QStringLiteral(":/skin/") + name.left(dot);
    const QString suffix = name.mid(dot);
    if (devicePixelRatio > 1.01) {
        QPixmap sharp(base + QStringLiteral("@2x") + suffix);
        if (!sharp.isNull()) {
            sharp.setDevicePixelRatio(2.0);
            return sharp;
        }
    }
    return QPixmap(base + suffix);
}

namespace {
QFont defaultFont(bool bold = false) {
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                      QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(8.25);
    font.setBold(bold);
    return font;
}
} // namespace

UpdaterWindow::UpdaterWindow(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint) {
    initSkinResources();
    InstallSkinAccessibility();
    setWindowTitle(QStringLiteral("Vorn (Updater)"));
    setFixedSize(386, 311);
    setFont(defaultFont());
    loadSkin();
    makeStatusLog();
    makeProgressDisplay();
    makeButtons();
    connectButtons();
    // The window starts with the focus on itself, not on a button: a key typed on into the newly
    // shown window (Enter or Space) presses nothing. Tab takes the focus to the buttons; Escape
    // reaches the window wherever the focus is.
    setFocus(Qt::OtherFocusReason);
    centreOnScreen();
}

void UpdaterWindow::loadSkin() {
    QIcon icon;
    icon.addFile(QStringLiteral(":/skin/icon16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/skin/icon32.png"), QSize(32, 32));
    setWindowIcon(icon);

    const qreal ratio = devicePixelRatioF();
    m_background = LoadSkinPicture(QStringLiteral("background.jpg"), ratio);
    picCancel_up = LoadSkinPicture(QStringLiteral("picCancel_up.png"), ratio);
    picCancel_down = LoadSkinPicture(QStringLiteral("picCancel_down.png"), ratio);
    picClose_up = LoadSkinPicture(QStringLiteral("picClose_up.png"), ratio);
    picClose_down = LoadSkinPicture(QStringLiteral("picClose_down.png"), ratio);
    picUpdateInfo_up = LoadSkinPicture(QStringLiteral("picUpdateInfo_up.png"), ratio);
    picUpdateInfo_down = LoadSkinPicture(QStringLiteral("picUpdateInfo_down.png"), ratio);
    picClose_focus = LoadSkinPicture(QStringLiteral("picClose_focus.png"), ratio);
    picUpdateInfo_focus = LoadSkinPicture(QStringLiteral("picUpdateInfo_focus.png"), ratio);
}

void UpdaterWindow::makeStatusLog() {
    txtInfo = new TextBox(this);
    txtInfo->setGeometry(16, 133, 352, 126);
    txtInfo->setFrameShape(QFrame::NoFrame);
    // The log can be clicked into to select and copy its text, but Tab passes it by.
    txtInfo->setFocusPolicy(Qt::ClickFocus);
    txtInfo->setAccessibleName(QStringLiteral("Update status"));
    QPalette log = txtInfo->palette();
    log.setColor(QPalette::Base, Qt::black);
    log.setColor(QPalette::Text, Qt::white);
    log.setColor(QPalette::Window, Qt::black);
    txtInfo->setPalette(log);
    // A scroll bar in the skin's colours rather than the desktop's.
    txtInfo->verticalScrollBar()->setStyleSheet(QStringLiteral(
        "QScrollBar:vertical { background: #0b0d08; width: 13px; margin: 13px 0 13px 0;"
        "  border-left: 1px solid #2c3322; }"
        "QScrollBar::handle:vertical { background: #4a5538; min-height: 18px;"
        "  border: 1px solid #6b7a52; border-radius: 2px; margin: 1px; }"
        "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { background: #1c2114;"
        "  height: 13px; subcontrol-origin: margin; border: 1px solid #2c3322; }"
        "QScrollBar::sub-line:vertical { subcontrol-position: top; }"
        "QScrollBar::add-line:vertical { subcontrol-position: bottom; }"
        "QScrollBar::up-arrow:vertical, QScrollBar::down-arrow:vertical { width: 5px;"
        "  height: 5px; background: #6b7a52; }"
        "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }"));
}

void UpdaterWindow::makeProgressDisplay() {
    lblFileProg = new QLabel(this);
    lblFileProg->setGeometry(16, 263, 185, 17);
    lblFileProg->setFont(defaultFont(true));
    lblFileProg->setAttribute(Qt::WA_TranslucentBackground);
    QPalette label = lblFileProg->palette();
    label.setColor(QPalette::WindowText, QColor(0xE0, 0xE0, 0xE0));
    lblFileProg->setPalette(label);
    lblFileProg->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    pgBar = new ProgressBar(this);
    pgBar->setGeometry(16, 280, 185, 13);
    pgBar->setAccessibleName(QStringLiteral("Download progress"));
}

// The buttons as the run starts: Cancel, and the update-info button under its cover.
void UpdaterWindow::makeButtons() {
    picUpdateInfo = new PictureButton(this);
    picUpdateInfo->setGeometry(212, 274, 86, 28);
    picUpdateInfo->setFaceCaption(picUpdateInfo_up, QStringLiteral("Update Info"));
    picUpdateInfo->setFaceCaption(picUpdateInfo_down, QStringLiteral("Update Info"));
    picUpdateInfo->setFocusMark(picUpdateInfo_focus);
    picUpdateInfo->setPicture(picUpdateInfo_down);
    shapeUpdateinfo = new CoverShape(picUpdateInfo);
    shapeUpdateinfo->setGeometry(0, 0, 89, 28);
    shapeUpdateinfo->installEventFilter(this);

    picClose = new PictureButton(this);
    picClose->setGeometry(308, 274, 62, 28);
    picClose->setFaceCaption(picCancel_up, QStringLiteral("Cancel"));
    picClose->setFaceCaption(picCancel_down, QStringLiteral("Cancel"));
    picClose->setFaceCaption(picClose_up, QStringLiteral("Close"));
    picClose->setFaceCaption(picClose_down, QStringLiteral("Close"));
    picClose->setFocusMark(picClose_focus);
    picClose->setPicture(picCancel_up);
    setTabOrder(picUpdateInfo, picClose);
}

void UpdaterWindow::connectButtons() {
    connect(picClose, &PictureButton::mouseDown, this,
            [this] { picClose->setPicture(m_bFinished ? picClose_down : picCancel_down); });
    connect(picClose, &PictureButton::mouseUp, this,
            [this] { picClose->setPicture(m_bFinished ? picClose_up : picCancel_up); });
    connect(picClose, &PictureButton::clicked, this, &UpdaterWindow::closeAction);
    connect(picUpdateInfo, &PictureButton::mouseDown, this, [this] {
        if (updateInfoAvailable())
            picUpdateInfo->setPicture(picUpdateInfo_down);
    });
    connect(picUpdateInfo, &PictureButton::mouseUp, this, [this] {
        if (updateInfoAvailable())
            picUpdateInfo->setPicture(picUpdateInfo_up);
    });
    connect(picUpdateInfo, &PictureButton::clicked, this, [this] {
        if (updateInfoAvailable() && updateInfoRequested)
            updateInfoRequested();
    });

    connect(picUpdateInfo, &PictureButton::faceChanged, this, &UpdaterWindow::followAvailability);
    connect(picClose, &PictureButton::faceChanged, this, &UpdaterWindow::followAvailability);
    followAvailability();
}

void UpdaterWindow::followAvailability() {
    picUpdateInfo->setAvailable(updateInfoAvailable());
}

bool UpdaterWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == shapeUpdateinfo &&
        (event->type() == QEvent::ShowToParent || event->type() == QEvent::HideToParent))
        followAvailability();
    return QWidget::eventFilter(watched, event);
}

void UpdaterWindow::keyPressEvent(QKeyEvent* event) {
    // Reaches the window when the focused control has no use for the key.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        event->accept();
        if (!event->isAutoRepeat())
            picClose->click();
        return;
    }
    QWidget::keyPressEvent(event);
}

void UpdaterWindow::mousePressEvent(QMouseEvent* event) {
    // Presses on the buttons and the log are theirs; what arrives here was pressed on the
    // background, the caption strip or the progress display.
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    event->accept();
    m_dragGrip.reset();
    // The window manager moves the window where it offers to (on some systems only it can);
    // otherwise the window follows the pointer itself.
    if (QWindow* handle = windowHandle(); handle && handle->startSystemMove())
        return;
    m_dragGrip = event->globalPosition().toPoint() - pos();
}

void UpdaterWindow::mouseMoveEvent(QMouseEvent* event) {
    if (m_dragGrip && (event->buttons() & Qt::LeftButton)) {
        event->accept();
        move(event->globalPosition().toPoint() - *m_dragGrip);
        return;
    }
    QWidget::mouseMoveEvent(event);
}

void UpdaterWindow::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        m_dragGrip.reset();
    QWidget::mouseReleaseEvent(event);
}

void UpdaterWindow::centreOnScreen() {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect area = screen->availableGeometry();
        move(area.center() - rect().center());
    }
}

void UpdaterWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (m_background.isNull())
        painter.fillRect(rect(), QColor(0x2b, 0x31, 0x1d));
    else
        painter.drawPixmap(QPoint(0, 0), m_background);
}

void UpdaterWindow::appendStatusLine(const std::string& line) {
    txtInfo->setText(txtInfo->text() + QString::fromStdString(line) + QStringLiteral("\r\n"));
    txtInfo->setSelStart(static_cast<int>(txtInfo->text().size()) - 1);
}

void UpdaterWindow::showProgress(bool shown) {
    if (shown) {
        lblFileProg->setText(QString());
        pgBar->setValue(0);
    }
    lblFileProg->setVisible(shown);
    pgBar->setVisible(shown);
}

void UpdaterWindow::setProgressValue(double percent) {
    pgBar->setValue(percent);
}

void UpdaterWindow::setProgressText(const std::string& text) {
    lblFileProg->setText(QString::fromStdString(text));
}

void UpdaterWindow::setCloseFace(CloseFace face) {
    m_bFinished = face == CloseFace::Close;
    picClose->setPicture(m_bFinished ? picClose_up : picCancel_up);
}

void UpdaterWindow::uncoverUpdateInfo() {
    shapeUpdateinfo->setVisible(false);
    picUpdateInfo->setPicture(picUpdateInfo_up);
}

void UpdaterWindow::showVersionNotes(const std::vector<std::string>& lines, bool open) {
    ShowVersionNotes(m_versionInfo, this, lines, open);
}

std::string UpdaterWindow::decimalSeparator() const {
    return QLocale().decimalPoint().toStdString();
}
