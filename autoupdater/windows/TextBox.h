// A read-only multi-line text box with a vertical scroll bar whose text property holds exactly the
// text that was set (line ends included, CR LF stays CR LF); the display renders the line breaks.
#pragma once

#include <QPlainTextEdit>

class TextBox : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit TextBox(QWidget* parent = nullptr);

    QString text() const { return m_text; }
    void setText(const QString& text);

    // The caret position, counted in characters of text() from 0.
    int selStart() const { return m_selStart; }
    void setSelStart(int position);

private:
    static QString displayForm(const QString& text);

    QString m_text;
    int m_selStart = 0;
};
