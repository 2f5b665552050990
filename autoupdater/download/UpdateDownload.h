// The main window's handling of one package download: starting it into the updates folder, showing
// its progress, and judging its end.
#pragma once

#include <QString>
#include <functional>

class DL;
class ProgressBar;
class QLabel;

// Starts the download of `baseURL` + `Filename` (nothing put between them) into
// programFolder/updates/Filename with the id "Id", creating the updates folder when the program
// folder holds no entry of that name in any letter case. Returns once the read has started; throws
// AppError when the folder cannot be created or the download cannot start, and BadFileName, before
// anything is created or requested, when the destination would not be a file directly inside the
// updates folder (a name that holds a separator, "." or "..", or nothing).
void Download_File(DL& dl, const QString& programFolder, const QString& baseURL,
                   const QString& Filename);

// Shows a progress notification: nothing for no bytes; otherwise the bar at the percentage (when
// the total is known) and then the label with the kilobytes received and expected, or only the
// kilobytes received while the total is unknown (0).
void DL_Progress(ProgressBar& pgBar, QLabel& lblFileProg, qint64 DownloadedBytes,
                 qint64 TotalBytes);

// Judges the end of a download: logs "Download completed." and clears dl.downloading when every
// byte arrived; logs "Couldn't connect" when none did, "Connection lost" when some did; either
// failure sets dl.downloadFailed.
void DL_Completed(DL& dl, const std::function<void(const QString&)>& Add_Status,
                  qint64 DownloadedBytes, qint64 TotalBytes);

// A number as the progress label writes it: plain decimal notation, at most 15 significant
// digits, no trailing zeros, a 0 before the separator of a number below 1, no digit grouping, and
// the decimal separator of the user's locale.
QString ProgressNumber(double x);
