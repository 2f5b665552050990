// Shared pieces of the update-run tests: a temporary program folder, a scripted read service, and
// helpers to run the event loop until the run has ended.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>

#include <gtest/gtest.h>

#include "AppError.h"
#include "ZipFixtures.h"
#include "download/AsyncReadService.h"
#include "driver/frmMain.h"

// A read service whose reads end as scripted: a body of bytes that all arrive, a body that stops
// early, or nothing at all. Every read ends on a later turn of the event loop, as a real one does.
class ScriptedReadService : public AsyncReadService {
public:
    struct Reply {
        QByteArray body;
        qint64 announced = -1; // the total reported; -1: the body's size
        bool connects = true;
        std::function<bool()> ready; // when set, the read ends once it answers true
        int progressSteps = 1;       // progress notices, in one burst, before the end
    };

    std::map<QString, Reply> replies; // by address; an unknown address does not connect
    QStringList requested;
    bool failToStart = false;

    void start(const QString& address, int, const QString& tag, int) override {
        if (failToStart)
            throw AppError(AppError::ReadNotStarted, QStringLiteral("the read cannot start"));
        requested.append(address);
        const auto found = replies.find(address);
        const Reply reply = found == replies.end() ? Reply{{}, 0, false, {}, 1} : found->second;
        QTimer::singleShot(0, this, [this, reply, tag] { finishWhenReady(reply, tag); });
    }

private:
    void finishWhenReady(const Reply& reply, const QString& tag) {
        if (!reply.ready || reply.ready())
            return finish(reply, tag);
        QTimer::singleShot(5, this, [this, reply, tag] { finishWhenReady(reply, tag); });
    }

    void finish(const Reply& reply, const QString& tag) {
        const qint64 total = reply.announced < 0 ? reply.body.size() : reply.announced;
        if (!reply.connects) {
            emit readComplete(0, 0, tag, QString());
            return;
        }
        for (int step = 1; step <= reply.progressSteps; ++step)
            emit readProgress(reply.body.size() * step / reply.progressSteps, total, tag);
        QString path;
        if (reply.body.size() == total) {
            path = m_temp.path() + QStringLiteral("/read-%1").arg(++m_count);
            QFile file(path);
            file.open(QIODevice::WriteOnly);
            file.write(reply.body);
        }
        emit readComplete(reply.body.size(), total, tag, path);
        if (!path.isEmpty())
            QFile::remove(path);
    }

    QTemporaryDir m_temp;
    int m_count = 0;
};

struct ProgramFolder {
    QTemporaryDir root;
    QString program() const { return root.path() + QStringLiteral("/vorn"); }
    QString system() const { return root.path() + QStringLiteral("/syslib"); }

    ProgramFolder() { QDir().mkpath(program()); }

    void write(const QString& relative, const QByteArray& content) const {
        const QString path = program() + QLatin1Char('/') + relative;
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(content);
    }
    QByteArray read(const QString& relative) const {
        QFile file(program() + QLatin1Char('/') + relative);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // Every file and folder under the root (program folder, system directory and what lies
    // beside them), with the contents of the files; leaveOut: paths in the program folder.
    std::map<QString, QByteArray> snapshot(const QStringList& leaveOut = {}) const {
        std::map<QString, QByteArray> found;
        QDirIterator it(root.path(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile file(it.next());
            if (leaveOut.contains(QDir(program()).relativeFilePath(it.filePath())))
                continue;
            found[it.filePath()] = file.open(QIODevice::ReadOnly) ? file.readAll() : "<folder>";
        }
        return found;
    }
    // Puts the engine library built with the program beside the updater.
    void installEngine() const {
        const QString built = qEnvironmentVariable("VORN_PROGRAM_DIR") + "/vbuzip10.dll";
        QFile::copy(built, program() + "/vbuzip10.dll");
    }
};

// Runs the event loop until pred holds or a generous limit passes (a guard against hangs only).
inline bool RunUntil(const std::function<bool()>& pred, int limitMs = 60000) {
    QDeadlineTimer deadline(limitMs);
    while (!pred() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return pred();
}

// One update run of a window made for the test: a program folder, scripted downloads and client
// checks, and the close action's effects recorded instead of carried out.
struct UpdaterRun {
    ProgramFolder folder;
    ScriptedReadService service;
    int clientPolls = 0;
    int clientRunningFor = 0;           // polls that still see the client
    std::function<void()> onClientPoll; // called at every poll that still sees the client
    std::unique_ptr<frmMain> window;
    bool terminated = false;
    QStringList clientsStarted;
    QList<RunOutcome> outcomes; // as the window announced them

    void start(const QString& commandLine) {
        UpdaterEnvironment environment;
        environment.commandLine = commandLine;
        environment.programFolder = folder.program();
        environment.systemDir = folder.system();
        environment.readService = &service;
        environment.processRunning = [this](const QString& name, qint32) {
            EXPECT_EQ(name, QStringLiteral("Vorn.exe"));
            const bool running = clientPolls++ < clientRunningFor;
            if (running && onClientPoll)
                onClientPoll();
            return running;
        };
        window = std::make_unique<frmMain>(std::move(environment));
        outcomes.clear();
        QObject::connect(window.get(), &frmMain::runEnded,
                         [this](RunOutcome outcome) { outcomes.append(outcome); });
        window->terminateProcess = [this] { terminated = true; };
        window->startClient = [this](const QString& f) { clientsStarted.append(f); };
    }
    bool finish() {
        return RunUntil([this] { return !outcomes.isEmpty(); }) && window->finished();
    }
    void serve(const QString& name, const QByteArray& body, qint64 announced = -1) {
        service.replies[QStringLiteral("http://updates.test/v2/") + name] = {
            body, announced, true, {}, 1};
    }
    // Serves a zip of the entries; damage (may be null) changes the archive first.
    void serveZip(const QString& name, const std::vector<fixtures::ZipEntry>& entries,
                  const std::function<void(const std::string&)>& damage = nullptr) {
        const std::string path = (folder.root.path() + "/" + name).toStdString();
        fixtures::buildZip(path, entries);
        if (damage)
            damage(path);
        serve(name, QByteArray::fromStdString(fixtures::readFile(path)));
    }
    // The real engine, an installed shared.txt, and two packages: a.zip replaces shared.txt and
    // adds data/a.txt; b.zip holds the entries given (changed by damage first, when given).
    void serveTwoPackages(const std::vector<fixtures::ZipEntry>& b,
                          const std::function<void(const std::string&)>& damage = nullptr) {
        folder.installEngine();
        folder.write("shared.txt", "installed");
        serveZip("a.zip", {fixtures::ZipEntry::file("shared.txt", "from a"),
                           fixtures::ZipEntry::file("data/a.txt", "from a")});
        serveZip("b.zip", b, damage);
    }
    // The program folder but updates/, the engine library and the lock.
    std::map<QString, QByteArray> installation() const {
        std::map<QString, QByteArray> files = folder.snapshot();
        std::erase_if(files, [this](const auto& file) {
            const QString relative = file.first.mid(folder.program().size() + 1);
            return !file.first.startsWith(folder.program() + "/") ||
                   relative.startsWith("updates") || relative == "vbuzip10.dll" ||
                   relative == ".vorn-updater.lock";
        });
        return files;
    }
    // Every name below the program folder that belongs to the engine.
    QStringList engineFiles() const {
        QStringList found;
        for (const auto& [path, content] : folder.snapshot())
            if (path.contains("/.vbuzip-"))
                found.append(path);
        return found;
    }
};

inline QStringList LogLines(const frmMain& window) {
    QString text = window.txtInfo->text();
    if (text.endsWith(QStringLiteral("\r\n")))
        text.chop(2);
    return text.split(QStringLiteral("\r\n"));
}
