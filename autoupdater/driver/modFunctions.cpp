#include "driver/modFunctions.h"

#include <cstdio>

#include "driver/RunLog.h"
#include "unzip/cUnzip.h"

namespace {
struct StatusSink {
    const void* owner = nullptr;
    std::function<void(const std::string&)> write;
};

StatusSink& Sink() {
    static StatusSink sink;
    return sink;
}
} // namespace

void SetStatusSink(const void* owner, std::function<void(const std::string& sMessage)> sink) {
    Sink() = {owner, std::move(sink)};
}

void RemoveStatusSink(const void* owner) {
    if (Sink().owner == owner)
        Sink() = {};
}

void Add_Status(const std::string& sMessage) {
    if (Sink().write)
        Sink().write(sMessage);
    const std::string line = sMessage + '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    RunLog::status(sMessage);
}

void Prepare_Unzip(cUnzip& archive, const std::string& programFolder, const std::string& sFile) {
    archive.setZipFile(programFolder + "/updates/" + sFile);
    archive.setUnzipFolder(programFolder + "/");
    archive.setUseFolderNames(true);
    archive.setPromptToOverwrite(false);
    archive.setOverwriteExisting(true);
}

bool Run_Unzip(cUnzip& archive) {
    return archive.Unzip();
}
