#include "windows/frmVersionInfo.h"

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

void ShowVersionNotes(QPointer<frmVersionInfo>& window, QWidget* owner,
                      const std::vector<std::string>& lines, bool open) {
    if (!window)
        window = new frmVersionInfo(owner);
    QString text = window->txtVersionInfo->text();
    for (const std::string& line : lines)
        text += QString::fromStdString(line) + QLatin1String("\r\n");
    window->txtVersionInfo->setText(text);
    if (open)
        window->exec();
}
