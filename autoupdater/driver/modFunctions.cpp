#include "driver/modFunctions.h"

#include <cstdio>

#include "driver/RunLog.h"
#include "unzip/cUnzip.h"

namespace {
struct StatusSink {
    const void* owner = nullptr;
    std::function<void(const QString&)> write;
};

StatusSink& Sink() {
    static StatusSink sink;
    return sink;
}
} // namespace

void SetStatusSink(const void* owner, std::function<void(const QString& sMessage)> sink) {
    Sink() = {owner, std::move(sink)};
}

void RemoveStatusSink(const void* owner) {
    if (Sink().owner == owner)
        Sink() = {};
}

void Add_Status(const QString& sMessage) {
    if (Sink().write)
        Sink().write(sMessage);
    const QByteArray line = sMessage.toLocal8Bit() + '\n';
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    std::fflush(stderr);
    RunLog::status(sMessage);
}

void Prepare_Unzip(cUnzip& archive, const QString& programFolder, const QString& sFile) {
    archive.setZipFile(programFolder + QStringLiteral("/updates/") + sFile);
    archive.setUnzipFolder(programFolder + QStringLiteral("/"));
    archive.setUseFolderNames(true);
    archive.setPromptToOverwrite(false);
    archive.setOverwriteExisting(true);
}

bool Run_Unzip(cUnzip& archive) {
    return archive.Unzip();
}
