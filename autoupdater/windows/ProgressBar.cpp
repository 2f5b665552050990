#include "windows/ProgressBar.h"

#include <QAccessible>
#include <QPainter>
#include <cmath>

ProgressBar::ProgressBar(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void ProgressBar::setValue(double value) {
    if (std::isnan(value) || value < 0.0)
        value = 0.0;
    if (value > 100.0)
        value = 100.0;
    if (value == m_value)
        return;
    m_value = value;
    update();
    QAccessibleValueChangeEvent event(this, m_value);
    QAccessible::updateAccessibility(&event);
}

void ProgressBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRectF frame = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.fillRect(rect(), QColor(0x10, 0x12, 0x0c));
    painter.setPen(QColor(0x5a, 0x60, 0x48));
    painter.drawRect(frame);
    const QRectF inner = QRectF(rect()).adjusted(2, 2, -2, -2);
    const double filled = inner.width() * m_value / 100.0;
    if (filled > 0.0) {
        QLinearGradient gradient(inner.topLeft(), inner.bottomLeft());
        gradient.setColorAt(0.0, QColor(0x7f, 0xb0, 0xe8));
        gradient.setColorAt(0.5, QColor(0x34, 0x6c, 0xb8));
        gradient.setColorAt(1.0, QColor(0x1c, 0x3e, 0x78));
        painter.fillRect(QRectF(inner.left(), inner.top(), filled, inner.height()), gradient);
    }
}
