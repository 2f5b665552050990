#include "windows/PictureButton.h"

#include <QAccessible>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

namespace {
// The keys that press a focused button: Space, and Enter on either part of the keyboard.
bool IsPressKey(const QKeyEvent* event) {
    const int key = event->key();
    return (key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter) &&
           (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
}
} // namespace

PictureButton::PictureButton(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
}

void PictureButton::setPicture(const QPixmap& picture) {
    m_picture = picture;
    for (const auto& [key, caption] : m_captions) {
        if (key == picture.cacheKey()) {
            setAccessibleName(caption);
            break;
        }
    }
    update();
    emit faceChanged();
}

void PictureButton::setFaceCaption(const QPixmap& face, const QString& caption) {
    m_captions.append({face.cacheKey(), caption});
    if (face.cacheKey() == m_picture.cacheKey())
        setAccessibleName(caption);
}

void PictureButton::setFocusMark(const QPixmap& mark) {
    m_focusMark = mark;
    update();
}

void PictureButton::setAvailable(bool available) {
    if (available == m_available)
        return;
    m_available = available;
    setFocusPolicy(available ? Qt::StrongFocus : Qt::NoFocus);
    if (!available && hasFocus()) {
        focusNextChild();
        if (hasFocus())
            clearFocus();
    }
    QAccessible::State changed;
    changed.disabled = true;
    changed.focusable = true;
    QAccessibleStateChangeEvent event(this, changed);
    QAccessible::updateAccessibility(&event);
}

void PictureButton::click() {
    emit mouseDown(Qt::LeftButton);
    emit mouseUp(Qt::LeftButton);
    emit clicked();
}

void PictureButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    if (!m_picture.isNull())
        painter.drawPixmap(QPoint(0, 0), m_picture);
    if (hasFocus() && !m_focusMark.isNull())
        painter.drawPixmap(QPoint(0, 0), m_focusMark);
}

void PictureButton::mousePressEvent(QMouseEvent* event) {
    emit mouseDown(event->button());
    event->accept();
}

void PictureButton::mouseReleaseEvent(QMouseEvent* event) {
    emit mouseUp(event->button());
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
    event->accept();
}

void PictureButton::keyPressEvent(QKeyEvent* event) {
    if (!IsPressKey(event)) {
        QWidget::keyPressEvent(event);
        return;
    }
    event->accept();
    // One press per stroke: the key's repeats, and a second key while one holds the button, add
    // nothing.
    if (event->isAutoRepeat() || m_heldKey != 0)
        return;
    m_heldKey = event->key();
    emit mouseDown(Qt::LeftButton);
}

void PictureButton::keyReleaseEvent(QKeyEvent* event) {
    if (m_heldKey == 0 || event->key() != m_heldKey) {
        QWidget::keyReleaseEvent(event);
        return;
    }
    event->accept();
    if (event->isAutoRepeat())
        return;
    m_heldKey = 0;
    emit mouseUp(Qt::LeftButton);
    emit clicked();
}

void PictureButton::focusOutEvent(QFocusEvent* event) {
    // The focus leaving while a key holds the button down lets it up without a click, as the
    // pointer leaving before the release does.
    if (m_heldKey != 0) {
        m_heldKey = 0;
        emit mouseUp(Qt::LeftButton);
    }
    QWidget::focusOutEvent(event);
}

CoverShape::CoverShape(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void CoverShape::paintEvent(QPaintEvent*) {
    // A dimming black veil: the plate stays faintly visible, so the button reads as unavailable.
    QPainter painter(this);
    painter.fillRect(rect(), QColor(0, 0, 0, 185));
}
