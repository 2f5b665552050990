#include "windows/TextBox.h"

#include <QScrollBar>
#include <QTextBlock>
#include <algorithm>

TextBox::TextBox(QWidget* parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setUndoRedoEnabled(false);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
}

QString TextBox::displayForm(const QString& text) {
    QString shown = text;
    shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return shown;
}

void TextBox::setText(const QString& text) {
    if (text.startsWith(m_text) && !m_text.endsWith(QLatin1Char('\r'))) {
        // Appending (the usual case for a log): add only the new part to the display, which
        // assistive technology announces as inserted text.
        const QString added = displayForm(text.mid(m_text.size()));
        QTextCursor cursor(document());
        cursor.movePosition(QTextCursor::End);
        cursor.insertText(added);
    } else {
        setPlainText(displayForm(text));
    }
    m_text = text;
    m_selStart = std::min(m_selStart, static_cast<int>(m_text.size()));
}

void TextBox::setSelStart(int position) {
    m_selStart = std::clamp(position, 0, static_cast<int>(m_text.size()));
    // The display has one character for every CR LF pair of the text.
    const QStringView before = QStringView(m_text).left(m_selStart);
    const int pairs = static_cast<int>(before.count(QLatin1String("\r\n")));
    QTextCursor cursor(document());
    cursor.setPosition(std::min(m_selStart - pairs, document()->characterCount() - 1));
    setTextCursor(cursor);
    ensureCursorVisible();
}
