// The updater window as the update run sees it: the status log, the progress display, the faces of
// the close button and the update-info cover. The front-end's window implements it (the Qt window
// on Linux, the Win32 window on Windows); tests use a fake that records what is shown.
#pragma once

#include <string>
#include <vector>

class UpdaterView {
public:
    // The close button's face: Cancel while the run goes on, Close once it has ended.
    enum class CloseFace { Cancel, Close };

    virtual ~UpdaterView() = default;

    // Appends a line (and a line end) to the status log and puts the caret at its end.
    virtual void appendStatusLine(const std::string& line) = 0;
    // Shows or hides the progress bar and its label; shown, they start empty (0 %, no text).
    virtual void showProgress(bool shown) = 0;
    virtual void setProgressValue(double percent) = 0;
    virtual void setProgressText(const std::string& text) = 0;
    virtual void setCloseFace(CloseFace face) = 0;
    // Takes the cover off the update-info button, which can be pressed from then on.
    virtual void uncoverUpdateInfo() = 0;
    // Adds the lines to the version-notes window (made on first use; closing it discards it and its
    // text); with `open`, shows it, modally: returns once it has been closed.
    virtual void showVersionNotes(const std::vector<std::string>& lines, bool open) = 0;
    // The decimal separator of the user's locale, as the progress label writes numbers.
    virtual std::string decimalSeparator() const = 0;
};
