// The main window's download handling: starting a package download, the progress display and the
// judgement of its end, alone and end to end against the loopback server.
#include <QLabel>
#include <QLocale>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "DownloadTestSupport.h"
#include "HttpFixture.h"
#include "download/DL.h"
#include "download/NetworkReadService.h"
#include "download/UpdateDownload.h"
#include "driver/DownloadProgress.h"
#include "windows/ProgressBar.h"

using Response = HttpFixture::Response;

TEST(ProgressNumberTest, PlainDecimalWithFifteenDigits) {
    const QLocale original;
    QLocale::setDefault(QLocale::c());
    const std::pair<double, const char*> cases[] = {{1.536, "1.536"},
                                                    {2048, "2048"},
                                                    {0.999, "0.999"},
                                                    {1, "1"},
                                                    {0, "0"},
                                                    {0.0000001, "0.0000001"},
                                                    {1e20, "100000000000000000000"},
                                                    {1234567890.123456789, "1234567890.12346"},
                                                    {9223372036854775.807, "9223372036854780"},
                                                    {1099511627.776, "1099511627.776"}};
    for (const auto& [x, text] : cases)
        EXPECT_EQ(ProgressNumber(x), QLatin1String(text)) << x;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(ProgressNumber(1.536), "1,536");
    EXPECT_EQ(ProgressNumber(123456.5), "123456,5"); // no grouping
    QLocale::setDefault(original);
}

TEST(ProgressDisplayTest, BarAndLabel) {
    QLocale::setDefault(QLocale::c());
    ProgressBar bar;
    QLabel label;
    struct Case {
        qint64 downloaded, total;
        double bar;
        const char* label;
    } cases[] = {
        {512, 2048, 25, "0.512 KB / 2.048 KB"},
        {1000, 1000, 100, "1 KB / 1 KB"},
        {1234567, 5000000, double(24.69134f), "1234.567 KB / 5000 KB"},
        {3'000'000'000LL, 6'000'000'000LL, 50, "3000000 KB / 6000000 KB"},
        {5'000'000'000LL, 4'000'000'000LL, 100, "5000000 KB / 4000000 KB"}, // bar stops at 100
    };
    for (const Case& c : cases) {
        DL_Progress(bar, label, c.downloaded, c.total);
        EXPECT_DOUBLE_EQ(bar.value(), c.bar) << c.downloaded;
        EXPECT_EQ(label.text(), QLatin1String(c.label));
    }
    // Nothing arrived: nothing changes. No size known: the bar stays, the label shows the bytes.
    bar.setValue(40);
    label.setText("before");
    DL_Progress(bar, label, 0, 2048);
    EXPECT_EQ(label.text(), "before");
    DL_Progress(bar, label, 1536, 0);
    EXPECT_EQ(bar.value(), 40);
    EXPECT_EQ(label.text(), "1.536 KB");
}

TEST(CompletionTest, LinesAndFlags) {
    DownloadFlags flags;
    EXPECT_FALSE(flags.downloading);
    EXPECT_FALSE(flags.downloadFailed);
    struct Case {
        qint64 downloaded, total;
        const char* line; // nullptr: no line
        bool downloading, failed;
    } cases[] = {{2048, 2048, "Download completed.", false, false},
                 {0, 0, "Couldn't connect", true, true},
                 {0, 2048, "Couldn't connect", true, true},
                 {1000, 2048, "Connection lost", true, true},
                 {3000, 2048, "Connection lost", true, true},
                 {1000, 0, "Connection lost", true, true},
                 {5'000'000'000LL, 5'000'000'000LL, "Download completed.", false, false},
                 {-1, -1, nullptr, true, false}};
    // A download that is not shown (a package's signature) has no success line, only failures.
    for (const bool shown : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message()
                         << c.downloaded << " of " << c.total << ", shown " << shown);
            flags = {true, false, shown};
            QStringList log;
            DL_Completed(
                flags, [&](const QString& line) { log.append(line); }, c.downloaded, c.total);
            const bool line = c.line && (shown || c.failed);
            EXPECT_EQ(log, line ? QStringList{QLatin1String(c.line)} : QStringList{});
            EXPECT_EQ(flags.downloading, c.downloading);
            EXPECT_EQ(flags.downloadFailed, c.failed);
        }
    }
}

TEST(DownloadFileTest, UpdatesFolderAndAddresses) {
    QTemporaryDir program;
    FakeReadService service;
    DL dl(&service);
    Download_File(dl, program.path(), "http://host/pkgs/", "a.zip");
    EXPECT_TRUE(QFileInfo(program.filePath("updates")).isDir());
    EXPECT_EQ(dl.currentfile(), "a.zip");
    ASSERT_EQ(service.starts.size(), 1);
    EXPECT_EQ(service.starts[0].address, "http://host/pkgs/a.zip");
    EXPECT_EQ(service.starts[0].tag, "Id");
    service.complete(0, 0, "Id", QString());

    Download_File(dl, program.path(), "http://host/pkgs", "b.zip"); // glued, nothing between
    EXPECT_EQ(service.starts[1].address, "http://host/pkgsb.zip");
    service.complete(0, 0, "Id", QString());

    // An entry named updates in other letter case, or a plain file, counts as present.
    for (const char* kind : {"folder", "file"}) {
        SCOPED_TRACE(kind);
        QTemporaryDir other;
        if (QLatin1String(kind) == "folder")
            QDir(other.path()).mkdir("UPDATES");
        else
            writeFile(other.filePath("updates"), "not a folder");
        Download_File(dl, other.path(), "http://host/", "c.zip");
        EXPECT_EQ(entries(other.path()).size(), 1);
        EXPECT_EQ(service.starts.size(), kind[1] == 'o' ? 3 : 4);
        service.complete(0, 0, "Id", QString());
    }

    try {
        Download_File(dl, program.filePath("missing"), "http://host/", "d.zip");
        ADD_FAILURE() << "no error for a missing program folder";
    } catch (const AppError& error) {
        EXPECT_EQ(error.number(), AppError::PathNotFound);
    }
    EXPECT_EQ(service.starts.size(), 4);
}

TEST(DownloadFileTest, DestinationIsAlwaysAFileOfTheUpdatesFolder) {
    QTemporaryDir program;
    FakeReadService service;
    DL dl(&service);
    for (const char* name :
         {"../x.zip", "a/../../x.zip", "/etc/passwd", "sub/a.zip", "..", ".", ""}) {
        SCOPED_TRACE(name);
        try {
            Download_File(dl, program.path(), "http://host/", QString::fromLatin1(name));
            ADD_FAILURE() << "no error";
        } catch (const AppError& error) {
            EXPECT_EQ(error.number(), AppError::BadFileName);
        }
    }
    EXPECT_TRUE(service.starts.isEmpty());
    EXPECT_TRUE(entries(program.path()).isEmpty()) << "not even the updates folder";
}

// The whole chain against the loopback server, as the update run drives it.
class EndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        service.setTempFolder(temp.path());
        service.setRetryPolicy(RetryPolicy::none()); // one try per read: retries are tested apart
        QObject::connect(&dl, &DL::Progress,
                         [this](qint64& d, qint64& t, QString&) { DL_Progress(bar, label, d, t); });
        QObject::connect(&dl, &DL::Completed, [this](qint64& d, qint64& t, QString&) {
            DL_Completed(
                flags, [this](const QString& line) { log.append(line); }, d, t);
        });
    }
    QString run(const QString& baseURL, const QString& name) {
        log.clear();
        flags = {true, false};
        Download_File(dl, program.path(), baseURL, name);
        waitUntil([this] { return flags.downloadFailed || !flags.downloading; });
        EXPECT_TRUE(entries(temp.path()).isEmpty()) << "temporary file left behind";
        return log.join('|');
    }
    QTemporaryDir program, temp;
    NetworkReadService service;
    DL dl{&service};
    DownloadFlags flags;
    ProgressBar bar;
    QLabel label;
    QStringList log;
    HttpFixture server;
};

TEST_F(EndToEndTest, OutcomesAndStalePackage) {
    QLocale::setDefault(QLocale::c());
    // A package must look like a zip archive from its first bytes to its end record.
    const QByteArray body = QByteArray("PK\x03\x04", 4) + HttpFixture::pattern(0, 1536 - 26) +
                            QByteArray("PK\x05\x06", 4) + QByteArray(18, '\0');
    server.route("/pkgs/a.zip", Response::ok(body));
    QDir(program.path()).mkdir("updates");
    writeFile(program.filePath("updates/a.zip"), "stale package");
    EXPECT_EQ(run(server.url("/pkgs/"), "a.zip"), "Download completed.");
    EXPECT_EQ(readAll(program.filePath("updates/a.zip")), body);
    EXPECT_EQ(bar.value(), 100);
    EXPECT_EQ(label.text(), "1.536 KB / 1.536 KB");

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
