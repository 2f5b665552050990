// A window for tests of the update run: it keeps what the run shows (the status log's text, the
// progress display, the close button's face, the update-info cover) for the test to read.
#pragma once

#include <string>
#include <vector>

#include "driver/UpdaterView.h"

class FakeView : public UpdaterView {
public:
    std::string statusText; // the status log: every line followed by "\r\n"
    bool progressShown = false;
    double progressValue = 0;
    std::string progressText;
    CloseFace closeFace = CloseFace::Cancel;
    bool updateInfoCovered = true;
    std::string separator = ".";
    std::vector<std::string> notes; // the lines of the version-notes window
    int notesOpened = 0;            // how often it was shown

    void appendStatusLine(const std::string& line) override { statusText += line + "\r\n"; }
    void showProgress(bool shown) override {
        progressShown = shown;
        if (shown) {
            progressValue = 0;
            progressText.clear();
        }
    }
    void setProgressValue(double percent) override { progressValue = percent; }
    void setProgressText(const std::string& text) override { progressText = text; }
    void setCloseFace(CloseFace face) override { closeFace = face; }
    void uncoverUpdateInfo() override { updateInfoCovered = false; }
    void showVersionNotes(const std::vector<std::string>& lines, bool open) override {
        notes.insert(notes.end(), lines.begin(), lines.end());
        notesOpened += open ? 1 : 0;
    }
    std::string decimalSeparator() const override { return separator; }
};
