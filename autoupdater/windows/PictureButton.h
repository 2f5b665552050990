// A borderless picture control that shows one face image at a time and reports mouse presses,
// releases (any mouse button) and clicks (the left button released over the control). From the
// keyboard it is a push button: Space, Enter and Return held down on the focused control report a
// left-button press, and their release a release and a click.
#pragma once

#include <QList>
#include <QPair>
#include <QPixmap>
#include <QWidget>

class PictureButton : public QWidget {
    Q_OBJECT
public:
    explicit PictureButton(QWidget* parent = nullptr);

    void setPicture(const QPixmap& picture);
    const QPixmap& picture() const { return m_picture; }

    // The caption of a face image: showing that face names the button (its accessible name).
    void setFaceCaption(const QPixmap& face, const QString& caption);
    // The mark drawn over the face while the control has the keyboard focus.
    void setFocusMark(const QPixmap& mark);

    // An unavailable button takes no keyboard focus (it hands the focus on when it has it) and is
    // reported unavailable to assistive technology. Its mouse events are reported all the same:
    // what they do is up to its owner.
    void setAvailable(bool available);
    bool isAvailable() const { return m_available; }

    // Exactly what a click with the left mouse button reports: a press, a release and a click.
    void click();

signals:
    void mouseDown(Qt::MouseButton button);
    void mouseUp(Qt::MouseButton button);
    void clicked();
    void faceChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    QPixmap m_picture;
    QPixmap m_focusMark;
    QList<QPair<qint64, QString>> m_captions; // face cache key, caption
    bool m_available = true;
    int m_heldKey = 0; // the key that holds the button down, 0 when none does
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
