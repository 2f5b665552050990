// The main window's handling of the downloader's events: the progress display of the running
// download and the judgement of its end, which the update run waits for.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

class UpdaterView;

// The state of the running download: set by the update run before each download, and by
// DL_Completed at its end.
struct DownloadFlags {
    bool downloading = false;    // cleared when the download has succeeded
    bool downloadFailed = false; // set when it has failed
    bool shown = true; // its progress and success are shown (not so for a package's signature)
};

// The progress display is redrawn at most this often while bytes arrive or are prepared.
constexpr std::chrono::milliseconds kProgressRedrawInterval{30};

// Shows a progress notification: nothing for no bytes; otherwise the bar at the percentage (when
// the total is known) and then the label with the kilobytes received and expected, or only the
// kilobytes received while the total is unknown (0).
void DL_Progress(UpdaterView& view, std::int64_t DownloadedBytes, std::int64_t TotalBytes);

// Judges the end of a download: clears flags.downloading when every byte arrived, and then logs
// "Download completed." when flags.shown; logs "Couldn't connect" when none did, "Connection lost"
// when some did; either failure sets flags.downloadFailed.
void DL_Completed(DownloadFlags& flags, const std::function<void(const std::string&)>& Add_Status,
                  std::int64_t DownloadedBytes, std::int64_t TotalBytes);

// A number as the progress label writes it: plain decimal notation, at most 15 significant
// digits, no trailing zeros, a 0 before the separator of a number below 1, no digit grouping, and
// the given decimal separator (the user's locale's).
std::string ProgressNumber(double x, const std::string& separator);
