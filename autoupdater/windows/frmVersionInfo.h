// The version-info window and the update-info action that fills it from the version notes.
#pragma once

#include <QByteArray>
#include <QDialog>
#include <QPointer>
#include <QPushButton>
#include <QStringList>

#include "windows/TextBox.h"

class frmVersionInfo : public QDialog {
    Q_OBJECT
public:
    explicit frmVersionInfo(QWidget* parent = nullptr);

    TextBox* txtVersionInfo;
    QPushButton* cmdClose;
};

// The first block of the version notes: the lines from the start up to, not including, the first
// blank line. Lines end at CR or CR LF (a lone LF is an ordinary character); a line is blank when
// only spaces are left after trimming spaces. blankFound tells whether a blank line ended the
// block.
struct VersionNotesBlock {
    QStringList lines;
    bool blankFound = false;
};
VersionNotesBlock ReadVersionNotesBlock(const QByteArray& fileContent);

// The update-info action: appends the first block of sFile to the version-info window held in
// window (created on first use, parented to owner) and shows it modally when a blank line ends the
// block. A file that cannot be read does nothing. Closing the window discards it and its text.
void ShowVersionNotes(QPointer<frmVersionInfo>& window, QWidget* owner, const QString& sFile);
