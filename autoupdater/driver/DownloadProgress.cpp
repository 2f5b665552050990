#include "driver/DownloadProgress.h"

#include <charconv>
#include <cmath>
#include <string>

#include "driver/UpdaterView.h"

void DL_Progress(UpdaterView& view, std::int64_t DownloadedBytes, std::int64_t TotalBytes) {
    if (DownloadedBytes <= 0)
        return;
    const std::string separator = view.decimalSeparator();
    const auto kilobytes = [&separator](std::int64_t bytes) {
        return ProgressNumber(double(bytes) / 1000.0, separator);
    };
    if (TotalBytes > 0) {
        // In floating point: the product overflows no integer however large the file.
        const double percent = double(DownloadedBytes) * 100.0 / double(TotalBytes);
        view.setProgressValue(double(float(percent)));
        view.setProgressText(kilobytes(DownloadedBytes) + " KB / " + kilobytes(TotalBytes) + " KB");
    } else {
        // No size announced: the bar stays, the label shows what has arrived.
        view.setProgressText(kilobytes(DownloadedBytes) + " KB");
    }
}

void DL_Completed(DownloadFlags& flags, const std::function<void(const std::string&)>& Add_Status,
                  std::int64_t DownloadedBytes, std::int64_t TotalBytes) {
    if (DownloadedBytes == TotalBytes && DownloadedBytes > 0) {
        if (flags.shown)
            Add_Status("Download completed.");
        flags.downloading = false;
    } else if (DownloadedBytes == 0) {
        Add_Status("Couldn't connect");
        flags.downloadFailed = true;
    } else if (DownloadedBytes > 0) {
        Add_Status("Connection lost");
        flags.downloadFailed = true;
    }
}

std::string ProgressNumber(double x, const std::string& separator) {
    if (std::isnan(x))
        return "nan";
    if (std::isinf(x))
        return x < 0 ? "-inf" : "inf";
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
        return "0";

    const int before = exponent + 1; // digits in front of the separator
    std::string out;
    if (before <= 0)
        out = "0" + separator + std::string(std::size_t(-before), '0') + digits;
    else if (before >= int(digits.size()))
        out = digits + std::string(std::size_t(before - int(digits.size())), '0');
    else
        out =
            digits.substr(0, std::size_t(before)) + separator + digits.substr(std::size_t(before));
    return x < 0 ? "-" + out : out;
}
