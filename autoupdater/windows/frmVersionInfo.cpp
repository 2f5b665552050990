#include "windows/frmVersionInfo.h"

#include <QFile>
#include <QFont>

frmVersionInfo::frmVersionInfo(QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::CustomizeWindowHint) {
    setWindowTitle(QStringLiteral("Vorn (Version Info)"));
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedSize(571, 377);
    setFont(QFont(QStringLiteral("MS Sans Serif"), 8));

    txtVersionInfo = new TextBox(this);
    txtVersionInfo->setGeometry(8, 8, 553, 329);
    QFont narrow(QStringLiteral("Arial Narrow"));
    narrow.setPointSizeF(8.25);
    narrow.setStretch(QFont::SemiCondensed);
    narrow.setFamilies({QStringLiteral("Arial Narrow"), QStringLiteral("Liberation Sans Narrow"),
                        QStringLiteral("Nimbus Sans Narrow"),
                        QStringLiteral("DejaVu Sans Condensed")});
    txtVersionInfo->setFont(narrow);
    txtVersionInfo->setAccessibleName(QStringLiteral("Version notes"));

    cmdClose = new QPushButton(QStringLiteral("Close"), this);
    cmdClose->setGeometry(456, 344, 81, 25);
    connect(cmdClose, &QPushButton::clicked, this, &QDialog::close);

    setTabOrder(txtVersionInfo, cmdClose);
    txtVersionInfo->setFocus();
}

VersionNotesBlock ReadVersionNotesBlock(const QByteArray& fileContent) {
    VersionNotesBlock block;
    // Decoded as a whole, so that a byte-order mark is dropped at the start of the file only.
    const QString text = QString::fromLocal8Bit(fileContent);
    qsizetype start = 0;
    const qsizetype size = text.size();
    while (start < size) {
        qsizetype end = text.indexOf(QLatin1Char('\r'), start);
        qsizetype next;
        if (end < 0) {
            end = size;
            next = size;
        } else {
            next = end + 1;
            if (next < size && text.at(next) == QLatin1Char('\n'))
                ++next;
        }
        const QString line = text.mid(start, end - start);
        bool blank = true;
        for (const QChar c : line) {
            if (c != QLatin1Char(' ')) {
                blank = false;
                break;
            }
        }
        if (blank) {
            block.blankFound = true;
            return block;
        }
        block.lines.append(line);
        start = next;
    }
    return block;
}

void ShowVersionNotes(QPointer<frmVersionInfo>& window, QWidget* owner, const QString& sFile) {
    QFile file(sFile);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const VersionNotesBlock block = ReadVersionNotesBlock(file.readAll());
    file.close();
    if (!block.lines.isEmpty() || block.blankFound) {
        if (!window)
            window = new frmVersionInfo(owner);
        QString text = window->txtVersionInfo->text();
        for (const QString& line : block.lines)
            text += line + QLatin1String("\r\n");
        window->txtVersionInfo->setText(text);
    }
    if (block.blankFound)
        window->exec();
}
