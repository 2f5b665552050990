// Shared helpers of the download tests: a scripted read service and an event-loop wait.
#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QList>
#include <QString>
#include <functional>
#include <optional>

#include "AppError.h"
#include "download/AsyncReadService.h"

// Runs the event loop until `done` holds (the test's time limit catches a hang).
inline void waitUntil(const std::function<bool()>& done) {
    while (!done())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

inline QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

inline void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
}

inline QStringList entries(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

// A read service whose notifications the test sends by hand.
class FakeReadService : public AsyncReadService {
public:
    struct Start {
        QString address;
        int deliveryKind;
        QString tag;
        int options;
    };
    QList<Start> starts;
    std::optional<AppError> failNextStart;

    void start(const QString& address, int deliveryKind, const QString& tag, int options) override {
        if (failNextStart) {
            const AppError error = *failNextStart;
            failNextStart.reset();
            throw error;
        }
        starts.append({address, deliveryKind, tag, options});
    }
    void progress(qint64 bytesRead, qint64 total, const QString& tag) {
        emit readProgress(bytesRead, total, tag);
    }
    void complete(qint64 bytesRead, qint64 total, const QString& tag, const QString& tempFile) {
        emit readComplete(bytesRead, total, tag, tempFile);
    }
};
