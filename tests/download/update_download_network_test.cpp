// The whole download chain against the loopback server, as the update run drives it: the control
// over the network read service of the Linux front-end, the progress display and the judgement of
// its end.
#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "FakeView.h"
#include "HttpFixture.h"
#include "NetworkTestSupport.h"
#include "download/DL.h"
#include "download/NetworkReadService_linux.h"
#include "download/UpdateDownload.h"
#include "driver/DownloadProgress.h"

using Response = HttpFixture::Response;

class EndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        service.setTempFolder(temp.path());
        service.setRetryPolicy(RetryPolicy::none()); // one try per read: retries are tested apart
        dl.Progress = [this](std::int64_t& d, std::int64_t& t, std::string&) {
            DL_Progress(view, d, t);
        };
        dl.Completed = [this](std::int64_t& d, std::int64_t& t, std::string&) {
            DL_Completed(
                flags,
                [this](const std::string& line) { log.append(QString::fromStdString(line)); }, d,
                t);
        };
    }
    QString run(const QString& baseURL, const QString& name) {
        log.clear();
        flags = {true, false};
        Download_File(dl, program.path().toStdString(), baseURL.toStdString(), name.toStdString());
        waitUntil([this] { return flags.downloadFailed || !flags.downloading; });
        EXPECT_TRUE(entries(temp.path()).isEmpty()) << "temporary file left behind";
        return log.join('|');
    }
    QTemporaryDir program, temp;
    NetworkReadService service;
    DL dl{service};
    DownloadFlags flags;
    FakeView view;
    QStringList log;
    HttpFixture server;
};

TEST_F(EndToEndTest, OutcomesAndStalePackage) {
    // A package must look like a zip archive from its first bytes to its end record.
    const QByteArray body = QByteArray("PK\x03\x04", 4) + HttpFixture::pattern(0, 1536 - 26) +
                            QByteArray("PK\x05\x06", 4) + QByteArray(18, '\0');
    server.route("/pkgs/a.zip", Response::ok(body));
    QDir(program.path()).mkdir("updates");
    writeFile(program.filePath("updates/a.zip"), "stale package");
    EXPECT_EQ(run(server.url("/pkgs/"), "a.zip"), "Download completed.");
    EXPECT_EQ(readAll(program.filePath("updates/a.zip")), body);
    EXPECT_EQ(view.progressValue, 100);
    EXPECT_EQ(view.progressText, "1.536 KB / 1.536 KB");

    Response cut = Response::ok(QByteArray("PK\x03\x04", 4) + HttpFixture::pattern(0, 4996));
    cut.cutAfter = 2000;
    server.route("/pkgs/cut.zip", cut);
    server.route("/pkgs/gone.zip", Response::error(404, "Not Found"));
    EXPECT_EQ(run(server.url("/pkgs/"), "cut.zip"), "Connection lost");
    EXPECT_EQ(run(server.url("/pkgs/"), "gone.zip"), "Couldn't connect");
    const QString closed = QStringLiteral("http://127.0.0.1:%1/").arg(HttpFixture::closedPort());
    EXPECT_EQ(run(closed, "a.zip"), "Couldn't connect");
    EXPECT_EQ(entries(program.filePath("updates")), QStringList{"a.zip"});
}
