#include "modFunctions.h"

#include <cstdio>

#include "frmMain.h"

void Add_Status(const QString& sMessage) {
    if (frmMain* window = frmMain::instance()) {
        TextBox* log = window->txtInfo;
        log->setText(log->text() + sMessage + QStringLiteral("\r\n"));
        log->setSelStart(static_cast<int>(log->text().size()) - 1);
    }
    const QByteArray line = sMessage.toLocal8Bit() + '\n';
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    std::fflush(stderr);
}

void Prepare_Unzip(const QString& sFile) {
    frmMain* window = frmMain::instance();
    cUnzip& archive = *window->m_cUnzip;
    archive.setZipFile(window->programFolder() + QStringLiteral("/updates/") + sFile);
    archive.setUnzipFolder(window->programFolder() + QStringLiteral("/"));
    archive.setUseFolderNames(true);
    archive.setPromptToOverwrite(false);
    archive.setOverwriteExisting(true);
}

bool Run_Unzip() {
    return frmMain::instance()->m_cUnzip->Unzip();
}
