// The updater's main window: the skinned window with the update fields, the downloader, the start
// timer and the update run.
#pragma once

#include <QStringList>
#include <QTimer>
#include <functional>
#include <memory>

#include "DL.h"
#include "UpdaterWindow.h"
#include "cUnzip.h"

class AsyncReadService;

// Everything the main window takes from its surroundings. The defaults are the real ones; tests
// replace them with temporary folders, fake services and fake process lists.
struct UpdaterEnvironment {
    QString commandLine;   // the arguments joined by single spaces
    QString programFolder; // the updater's folder, without a trailing separator
    QString systemDir;     // where the engine library is installed (Get_SystemDir)
    AsyncReadService* readService = nullptr; // null: the network service
    std::function<bool(const QString& sExeName, qint32 lProcessID)> processRunning; // null: real
    bool lockProgramFolder = true; // take the one-update-at-a-time lock on the program folder
};

class frmMain : public UpdaterWindow {
    Q_OBJECT
public:
    explicit frmMain(UpdaterEnvironment environment, QWidget* parent = nullptr);
    ~frmMain() override;

    // The window's single instance.
    static frmMain* instance() { return s_instance; }

    // Starts the download of a package into the updates folder; errors go to the caller.
    void Download_File(const QString& Filename);

    ::DL DL;
    QTimer tmrStart;
    std::shared_ptr<cUnzip> m_cUnzip;

    // Update fields, as the parse step of the run fills them (read-only outside the window).
    const QString& baseURL() const { return m_sBaseURL; }
    const QStringList& files() const { return m_sFiles; }
    qint32 clientPID() const { return m_lClientPID; }
    bool runStarted() const { return m_bRunStarted; }

private:
    void Form_Load();
    void tmrStart_Timer();
    void Start_Update();
    bool RunUpdate(); // the run's steps; false when it ended as failed
    void EndAsFailed();
    bool WaitForDownload();

    static frmMain* s_instance;

    UpdaterEnvironment m_environment;
    QString m_sBaseURL;
    QStringList m_sFiles;
    qint32 m_lClientPID = 0;
    bool m_bRunStarted = false;
    std::unique_ptr<class UpdateLock> m_lock;
};
