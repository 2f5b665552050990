// A borderless picture control that shows one face image at a time and reports mouse presses,
// releases (any mouse button) and clicks (the left button released over the control).
#pragma once

#include <QPixmap>
#include <QWidget>

class PictureButton : public QWidget {
    Q_OBJECT
public:
    explicit PictureButton(QWidget* parent = nullptr);

    void setPicture(const QPixmap& picture);
    const QPixmap& picture() const { return m_picture; }

signals:
    void mouseDown(Qt::MouseButton button);
    void mouseUp(Qt::MouseButton button);
    void clicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QPixmap m_picture;
};

// The black cover drawn over a picture control while that control is unavailable. It lets every
// mouse event through to the control beneath.
class CoverShape : public QWidget {
    Q_OBJECT
public:
    explicit CoverShape(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};
