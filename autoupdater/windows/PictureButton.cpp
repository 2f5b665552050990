#include "windows/PictureButton.h"

#include <QMouseEvent>
#include <QPainter>

PictureButton::PictureButton(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setCursor(Qt::PointingHandCursor);
}

void PictureButton::setPicture(const QPixmap& picture) {
    m_picture = picture;
    update();
}

void PictureButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    if (!m_picture.isNull())
        painter.drawPixmap(QPoint(0, 0), m_picture);
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

CoverShape::CoverShape(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void CoverShape::paintEvent(QPaintEvent*) {
    // A dimming black veil: the plate stays faintly visible, so the button reads as unavailable.
    QPainter painter(this);
    painter.fillRect(rect(), QColor(0, 0, 0, 185));
}
