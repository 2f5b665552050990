#include "frontend/QtMessages_linux.h"

#include <QDebug>
#include <QString>

#include "core/Diagnostics.h"
#include "driver/RunLog.h"

namespace {
QtMessageHandler g_previousHandler = nullptr;

const char* KindOf(QtMsgType type) {
    switch (type) {
    case QtDebugMsg:
        return "debug";
    case QtInfoMsg:
        return "info";
    case QtWarningMsg:
        return "warning";
    case QtCriticalMsg:
        return "critical";
    case QtFatalMsg:
        return "fatal";
    }
    return "message";
}

void HandleMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    RunLog::note(KindOf(type), message.toStdString());
    g_previousHandler(type, context, message);
}
} // namespace

void RouteDiagnosticsThroughQt() {
    g_previousHandler = qInstallMessageHandler(&HandleMessage);
    SetDiagnosticSink(
        [](const std::string& text) { qWarning().noquote() << QString::fromStdString(text); });
}
