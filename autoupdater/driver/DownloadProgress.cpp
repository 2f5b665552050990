#include "DownloadProgress.h"

#include <QLabel>
#include <QLocale>
#include <charconv>
#include <cmath>
#include <string>

#include "ProgressBar.h"

namespace {
QString kilobytes(qint64 bytes) {
    return ProgressNumber(double(bytes) / 1000.0);
}
} // namespace

void DL_Progress(ProgressBar& pgBar, QLabel& lblFileProg, qint64 DownloadedBytes,
                 qint64 TotalBytes) {
    if (DownloadedBytes <= 0)
        return;
    if (TotalBytes > 0) {
        // In floating point: the product overflows no integer however large the file.
        const double percent = double(DownloadedBytes) * 100.0 / double(TotalBytes);
        pgBar.setValue(double(float(percent)));
        lblFileProg.setText(kilobytes(DownloadedBytes) + QStringLiteral(" KB / ") +
                            kilobytes(TotalBytes) + QStringLiteral(" KB"));
    } else {
        // No size announced: the bar stays, the label shows what has arrived.
        lblFileProg.setText(kilobytes(DownloadedBytes) + QStringLiteral(" KB"));
    }
}

void DL_Completed(DownloadFlags& flags, const std::function<void(const QString&)>& Add_Status,
                  qint64 DownloadedBytes, qint64 TotalBytes) {
    if (DownloadedBytes == TotalBytes && DownloadedBytes > 0) {
        Add_Status(QStringLiteral("Download completed."));
        flags.downloading = false;
    } else if (DownloadedBytes == 0) {
        Add_Status(QStringLiteral("Couldn't connect"));
        flags.downloadFailed = true;
    } else if (DownloadedBytes > 0) {
        Add_Status(QStringLiteral("Connection lost"));
        flags.downloadFailed = true;
    }
}

QString ProgressNumber(double x) {
    if (!std::isfinite(x))
        return QString::number(x);
    // 15 significant digits: one before the point and 14 after, in scientific form.
    char text[64];
    const auto result =
        std::to_chars(text, text + sizeof text, std::fabs(x), std::chars_format::scientific, 14);
    const std::string scientific(text, result.ptr);
    const std::size_t e = scientific.find('e');
    std::string digits = scientific.substr(0, 1) + scientific.substr(2, e - 2);
    const int exponent = std::stoi(scientific.substr(e + 1));
    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();
    if (digits == "0")
        return QStringLiteral("0");

    const QString separator = QLocale().decimalPoint();
    const int before = exponent + 1; // digits in front of the separator
    QString out;
    if (before <= 0) {
        out = QStringLiteral("0") + separator + QString(-before, QLatin1Char('0')) +
              QString::fromLatin1(digits);
    } else if (before >= int(digits.size())) {
        out = QString::fromLatin1(digits) + QString(before - int(digits.size()), QLatin1Char('0'));
    } else {
        out = QString::fromLatin1(digits.substr(0, before)) + separator +
              QString::fromLatin1(digits.substr(before));
    }
    return x < 0 ? QStringLiteral("-") + out : out;
}
