// The update run after downloads that failed on this computer: the download's own line, then an
// ERROR line that names the cause, and nothing after it.
#include <gtest/gtest.h>

#include "QtPrinters.h"
#include "RunFixture.h"
#include "TmpfsMount.h"

namespace {

// Reads end on a later turn of the event loop, as scripted: with a local failure, or whole (the
// body then lies in a temporary file of the service's own folder).
class LocalFailureService : public AsyncReadService {
public:
    struct Reply {
        qint64 bytesRead = 0, total = 0;
        LocalFailure local;
        QByteArray body; // a whole read when not empty
    };
    std::map<QString, Reply> replies; // by package name
    QStringList requested;

    void start(const QString& address, int, const QString& tag, int) override {
        requested.append(address);
        const Reply reply = replies[address.section(QLatin1Char('/'), -1)];
        QTimer::singleShot(0, this, [this, reply, tag] {
            QString path;
            if (!reply.body.isEmpty()) {
                path = m_temp.filePath(QStringLiteral("read.part"));
                QFile file(path);
                file.open(QIODevice::WriteOnly);
                file.write(reply.body);
            }
            setLastLocalFailure(reply.local);
            const qint64 size = reply.body.size();
            emit readComplete(path.isEmpty() ? reply.bytesRead : size,
                              path.isEmpty() ? reply.total : size, tag, path);
            setLastLocalFailure({});
            if (!path.isEmpty())
                QFile::remove(path);
        });
    }

private:
    QTemporaryDir m_temp;
};

struct FailingRun {
    ProgramFolder folder;
    LocalFailureService service;
    int clientPolls = 0;
    std::unique_ptr<frmMain> window;

    QStringList run(const QString& packages) {
        folder.write("vbuzip10.dll", "engine");
        UpdaterEnvironment environment;
        environment.commandLine =
            QStringLiteral("http://updates.test/v2/ ") + packages + QStringLiteral(" 55");
        environment.programFolder = folder.program();
        environment.systemDir = folder.system();
        environment.readService = &service;
        environment.processRunning = [this](const QString&, qint32) {
            ++clientPolls;
            return false;
        };
        window = std::make_unique<frmMain>(std::move(environment));
        window->terminateProcess = [] {};
        window->startClient = [](const QString&) {};
        EXPECT_TRUE(RunUntil([this] { return window->finished(); }));
        return LogLines(*window);
    }
};

const QStringList kFirstLines{"Preparing to update...", "Downloading file a.zip..."};

} // namespace

TEST(LocalDownloadFailure, TheCauseFollowsTheDownloadLineAndEndsTheRun) {
    struct Case {
        const char* what;
        LocalFailureService::Reply reply;
        QStringList lines;
    } cases[] = {
        {"disk full part of the way",
         {4096, 10000, {ENOSPC, "cannot write the temporary file: No space left on device"}, {}},
         {"Connection lost", "ERROR: Not enough disk space to download 'a.zip'."}},
        {"quota exceeded before the first byte",
         {0, 10000, {EDQUOT, "cannot write the temporary file: Disk quota exceeded"}, {}},
         {"Couldn't connect", "ERROR: Not enough disk space to download 'a.zip'."}},
        {"another write failure",
         {4096, 0, {EIO, "cannot write the temporary file: Input/output error"}, {}},
         {"Connection lost",
          "ERROR: Unable to save 'a.zip': cannot write the temporary file: Input/output error"}},
        {"a failure at the source only", {4096, 10000, {}, {}}, {"Connection lost"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FailingRun run;
        run.service.replies["a.zip"] = c.reply;
        run.service.replies["b.zip"] = {0, 0, {}, "package b"};
        EXPECT_EQ(run.run("a.zip b.zip"), kFirstLines + c.lines);
        EXPECT_EQ(run.service.requested.size(), 1) << "no download after the failure";
        EXPECT_EQ(run.clientPolls, 0);
        EXPECT_TRUE(run.window->pgBar->isHidden());
        EXPECT_TRUE(run.window->lblFileProg->isHidden());
    }
}

TEST(LocalDownloadFailure, PackageThatCannotBeSavedLeavesTheOlderOneUnused) {
    // The whole package arrived, but the program folder has no room for it; updates/ holds an
    // older package of the same name, which must not be taken for the new one.
    FailingRun run;
    TmpfsMount disk(run.folder.program(), QStringLiteral("size=64k"));
    if (!disk.mounted())
        GTEST_SKIP() << disk.error().toStdString();
    run.folder.write("updates/a.zip", "older package");
    run.service.replies["a.zip"] = {0, 0, {}, QByteArray(200000, 'p')};
    const QStringList expected =
        kFirstLines +
        QStringList{"Download completed.", "ERROR: Not enough disk space to download 'a.zip'."};
    EXPECT_EQ(run.run("a.zip"), expected);
    EXPECT_EQ(run.folder.read("updates/a.zip"), QByteArray("older package"));
    EXPECT_EQ(run.clientPolls, 0) << "the run went on to the extraction";
}
