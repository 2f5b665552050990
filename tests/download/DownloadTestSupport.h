// Shared helpers of the download tests, on every platform: a scripted read service and the
// entries of a folder.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "AppError.h"
#include "core/Paths.h"
#include "download/AsyncReadService.h"

// The names in a folder (hidden ones too), sorted.
inline std::vector<std::string> entries(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(FsPath(folder), error), end; !error && it != end;
         it.increment(error))
        names.push_back(Utf8Path(it->path().filename()));
    std::sort(names.begin(), names.end());
    return names;
}

// A read service whose notifications the test sends by hand.
class FakeReadService : public AsyncReadService {
public:
    struct Start {
        std::string address;
        int deliveryKind;
        std::string tag;
        int options;
    };
    std::vector<Start> starts;
    std::optional<AppError> failNextStart;

    void start(const std::string& address, int deliveryKind, const std::string& tag,
               int options) override {
        if (failNextStart) {
            const AppError error = *failNextStart;
            failNextStart.reset();
            throw error;
        }
        starts.push_back({address, deliveryKind, tag, options});
    }
    void progress(std::int64_t bytesRead, std::int64_t total, const std::string& tag) {
        if (readProgress)
            readProgress(bytesRead, total, tag);
    }
    void complete(std::int64_t bytesRead, std::int64_t total, const std::string& tag,
                  const std::string& tempFile) {
        if (readComplete)
            readComplete(bytesRead, total, tag, tempFile);
    }
};
