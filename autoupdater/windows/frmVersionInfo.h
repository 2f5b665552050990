// The version-info window and the update-info action that fills it from the version notes.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QPushButton>
#include <string>
#include <vector>

#include "windows/TextBox.h"

class frmVersionInfo : public QDialog {
    Q_OBJECT
public:
    explicit frmVersionInfo(QWidget* parent = nullptr);

    TextBox* txtVersionInfo;
    QPushButton* cmdClose;
};

// The update-info action's window: appends the lines to the version-info window held in `window`
// (created on first use, parented to owner) and, with `open`, shows it modally. Closing the window
// discards it and its text.
void ShowVersionNotes(QPointer<frmVersionInfo>& window, QWidget* owner,
                      const std::vector<std::string>& lines, bool open);
