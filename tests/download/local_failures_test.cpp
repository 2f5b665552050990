// Downloads that fail on this computer rather than at the source: the temporary file cannot be
// written (a full file system, a file size limit), the received file cannot be moved into place;
// and the temporary files of killed updaters.
#include <QFileInfo>
#include <QTemporaryDir>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include "DownloadTestSupport.h"
#include "HttpFixture.h"
#include "TmpfsMount.h"
#include "download/DL.h"
#include "download/FileMove.h"
#include "download/NetworkReadService.h"

using Response = HttpFixture::Response;

namespace {
struct Read {
    qint64 bytesRead = -1, total = -1;
    QString tempFile;
    LocalFailure local;
    qint64 fileSize = -1; // of the temporary file while the notification was handled
};

class LocalFailureTest : public ::testing::Test {
protected:
    void SetUp() override {
        service.setTempFolder(temp.path());
        service.setRetryPolicy(RetryPolicy::none()); // one try per read: retries are tested apart
        QObject::connect(
            &service, &AsyncReadService::readComplete,
            [this](qint64 bytesRead, qint64 total, const QString&, const QString& file) {
                reads.append({bytesRead, total, file, service.lastLocalFailure(),
                              file.isEmpty() ? -1 : QFileInfo(file).size()});
            });
    }
    Read read(const QByteArray& path) {
        const qsizetype before = reads.size();
        service.start(server.url(QString::fromLatin1(path)), 1, QStringLiteral("Id"), 16);
        waitUntil([&] { return reads.size() > before; });
        return reads.last();
    }

    QTemporaryDir temp;
    NetworkReadService service;
    HttpFixture server;
    QList<Read> reads;
};

// Raises the file size limit back when the test ends.
struct FileSizeLimit {
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &saved);
        previousHandler = std::signal(SIGXFSZ, SIG_IGN); // the write fails with EFBIG instead
        struct rlimit limit = saved;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previousHandler);
    }
    struct rlimit saved {};
    void (*previousHandler)(int) = SIG_DFL;
};

// A read service whose failures the test scripts, local causes included.
class LocallyFailingService : public FakeReadService {
public:
    void failLocally(qint64 bytesRead, qint64 total, const LocalFailure& failure) {
        setLastLocalFailure(failure);
        complete(bytesRead, total, QStringLiteral("Id"), QString());
        setLastLocalFailure({});
    }
};
} // namespace

TEST_F(LocalFailureTest, FullTemporaryFolderIsLackOfSpaceAndLeavesNothing) {
    TmpfsMount disk(temp.path(), QStringLiteral("size=256k"));
    if (!disk.mounted())
        GTEST_SKIP() << disk.error().toStdString();
    server.route("/big.zip", Response::generated(1 << 20));
    server.route("/small.zip", Response::generated(20000));
    Response cut = Response::generated(100000);
    cut.cutAfter = 40000;
    server.route("/cut.zip", cut);

    const Read full = read("/big.zip");
    EXPECT_TRUE(full.tempFile.isEmpty());
    EXPECT_GT(full.bytesRead, 0) << "what fitted counts as read";
    EXPECT_EQ(full.total, 1 << 20);
    EXPECT_TRUE(full.local.happened());
    EXPECT_TRUE(full.local.outOfSpace()) << full.local.reason.toStdString();
    EXPECT_EQ(full.local.systemError, ENOSPC);
    EXPECT_TRUE(entries(temp.path()).isEmpty());
    EXPECT_EQ(disk.used(), 0);

    // The next reads are judged on their own: a success, and a failure at the source.
    const Read small = read("/small.zip");
    EXPECT_EQ(small.bytesRead, 20000);
    EXPECT_FALSE(small.local.happened());
    const Read broken = read("/cut.zip");
    EXPECT_EQ(broken.bytesRead, 40000);
    EXPECT_FALSE(broken.local.happened()) << "a broken connection is not a local failure";
}

TEST_F(LocalFailureTest, OtherWriteFailuresAreLocalButNotLackOfSpace) {
    server.route("/big.zip", Response::generated(1 << 20));
    Read limited;
    {
        FileSizeLimit limit(100000);
        limited = read("/big.zip");
    }
    EXPECT_TRUE(limited.tempFile.isEmpty());
    EXPECT_EQ(limited.local.systemError, EFBIG);
    EXPECT_FALSE(limited.local.outOfSpace());
    EXPECT_TRUE(limited.local.reason.contains(QString::fromLocal8Bit(std::strerror(EFBIG))))
        << limited.local.reason.toStdString();
    EXPECT_TRUE(entries(temp.path()).isEmpty());
}

TEST_F(LocalFailureTest, StartRemovesOnlyAbandonedTemporaryFiles) {
    writeFile(temp.filePath("vorn-download-00000000000000aa.part"), "left by a killed updater");
    writeFile(temp.filePath("vorn-download-00000000000000bb.part"), "another updater's read");
    writeFile(temp.filePath("unrelated.part"), "someone else's");
    QTemporaryDir outside;
    writeFile(outside.filePath("target"), "not to be touched");
    ASSERT_TRUE(QFile::link(outside.filePath("target"),
                            temp.filePath("vorn-download-00000000000000cc.part")));
    // A read of another updater holds its file locked.
    const int held = ::open(QFile::encodeName(temp.filePath("vorn-download-00000000000000bb.part")),
                            O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);

    server.route("/pkg.zip", Response::ok("package"));
    EXPECT_EQ(read("/pkg.zip").bytesRead, 7);
    ::close(held);
    EXPECT_EQ(entries(temp.path()),
              (QStringList{"unrelated.part", "vorn-download-00000000000000bb.part",
                           "vorn-download-00000000000000cc.part"}));
    EXPECT_EQ(readAll(outside.filePath("target")), "not to be touched");
}

TEST_F(LocalFailureTest, ARunningReadKeepsItsFileFromAnotherUpdater) {
    Response slow = Response::generated(200000);
    slow.pieceDelayMs = 20;
    server.route("/slow.zip", slow);
    server.route("/quick.zip", Response::ok("quick"));
    NetworkReadService other;
    other.setTempFolder(temp.path());
    bool otherDone = false;
    QObject::connect(&other, &AsyncReadService::readComplete, [&] { otherDone = true; });
    qint64 received = 0;
    QObject::connect(&service, &AsyncReadService::readProgress,
                     [&](qint64 bytesRead) { received = bytesRead; });

    service.start(server.url("/slow.zip"), 1, QStringLiteral("Id"), 16);
    waitUntil([&] { return received > 0; });
    other.start(server.url("/quick.zip"), 1, QStringLiteral("Id"), 16);
    waitUntil([&] { return otherDone && !reads.isEmpty(); });
    ASSERT_EQ(reads.size(), 1);
    EXPECT_EQ(reads[0].bytesRead, 200000);
    EXPECT_EQ(reads[0].fileSize, 200000) << "the first read lost its file";
}

TEST(DLLocalFailureTest, ServiceFailuresPassThroughAndAreClearedByTheNextRead) {
    QTemporaryDir target;
    LocallyFailingService service;
    DL dl{&service};
    int completed = 0;
    QObject::connect(&dl, &DL::Completed, [&](qint64&, qint64&, QString&) {
        ++completed;
        EXPECT_TRUE(dl.lastLocalFailure().outOfSpace()) << "valid inside Completed already";
    });
    dl.Download("http://host/a.zip", target.filePath("a.zip"));
    service.failLocally(4096, 10000, {ENOSPC, QStringLiteral("cannot write: full")});
    EXPECT_EQ(completed, 1);
    EXPECT_EQ(dl.lastLocalFailure().reason, QStringLiteral("cannot write: full"));

    QObject::disconnect(&dl, &DL::Completed, nullptr, nullptr);
    dl.Download("http://host/a.zip", target.filePath("a.zip"));
    service.complete(3, 9, QStringLiteral("Id"), QString()); // broken off at the source
    EXPECT_FALSE(dl.lastLocalFailure().happened());
}

TEST(DLLocalFailureTest, MoveRefusedForLackOfSpaceKeepsTheOlderFile) {
    QTemporaryDir source, target;
    TmpfsMount disk(target.path(), QStringLiteral("size=64k"));
    if (!disk.mounted())
        GTEST_SKIP() << disk.error().toStdString();
    writeFile(target.filePath("a.zip"), "older package");
    const QString received = source.filePath("received.part");
    writeFile(received, QByteArray(200000, 'n'));
    FakeReadService service;
    DL dl{&service};
    QList<qint64> counts;
    QObject::connect(&dl, &DL::Completed, [&](qint64& d, qint64& t, QString&) { counts = {d, t}; });

    dl.Download("http://host/a.zip", target.filePath("a.zip"));
    service.complete(200000, 200000, QStringLiteral("Id"), received);
    EXPECT_EQ(counts, (QList<qint64>{200000, 200000})) << "the counts stay the transfer's";
    EXPECT_TRUE(dl.lastLocalFailure().outOfSpace()) << dl.lastLocalFailure().reason.toStdString();
    EXPECT_EQ(readAll(target.filePath("a.zip")), "older package");
    EXPECT_EQ(entries(target.path()), QStringList{"a.zip"}) << "a partial copy was left";

    // No folder at the destination: nothing stale can be there; not a local failure.
    writeFile(received, "new");
    dl.Download("http://host/a.zip", target.filePath("missing/a.zip"));
    service.complete(3, 3, QStringLiteral("Id"), received);
    EXPECT_FALSE(dl.lastLocalFailure().happened());
}

TEST(FileMoveTest, ErrorNumbersOfFailedMoves) {
    QTemporaryDir source, target;
    writeFile(source.filePath("new"), "new bytes");
    int code = -1;
    EXPECT_FALSE(
        moveReplacing(source.filePath("new"), target.filePath("missing/pkg.zip"), nullptr, &code));
    EXPECT_EQ(code, 0) << "a destination without a folder has no error number";

    TmpfsMount disk(target.path(), QStringLiteral("size=64k"));
    if (!disk.mounted())
        GTEST_SKIP() << disk.error().toStdString();
    writeFile(source.filePath("big"), QByteArray(200000, 'b'));
    QString reason;
    EXPECT_FALSE(copyReplacing(source.filePath("big"), target.filePath("pkg.zip"), &reason, &code));
    EXPECT_EQ(code, ENOSPC) << reason.toStdString();
    EXPECT_TRUE(entries(target.path()).isEmpty());
    EXPECT_EQ(disk.used(), 0);
}
