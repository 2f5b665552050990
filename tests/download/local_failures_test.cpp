// Reads of the network service that fail on this computer rather than at the source: the
// temporary file cannot be written (a full file system, a file size limit); and the temporary
// files of killed updaters.
#include <QFileInfo>
#include <QTemporaryDir>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include "HttpFixture.h"
#include "NetworkTestSupport.h"
#include "TmpfsMount.h"
#include "download/NetworkReadService_linux.h"

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
        service.readComplete = [this](std::int64_t bytesRead, std::int64_t total,
                                      const std::string&, const std::string& tempFile) {
            const QString file = QString::fromStdString(tempFile);
            reads.append({bytesRead, total, file, service.lastLocalFailure(),
                          file.isEmpty() ? -1 : QFileInfo(file).size()});
        };
    }
    Read read(const QByteArray& path) {
        const qsizetype before = reads.size();
        service.start(server.url(QString::fromLatin1(path)).toStdString(), 1, "Id", 16);
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
} // namespace

TEST_F(LocalFailureTest, FullTemporaryFolderIsLackOfSpaceAndLeavesNothing) {
    TmpfsMount disk(temp.path().toStdString(), "size=256k");
    if (!disk.mounted())
        GTEST_SKIP() << disk.error();
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
    EXPECT_TRUE(full.local.outOfSpace()) << full.local.reason;
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
    EXPECT_NE(limited.local.reason.find(std::strerror(EFBIG)), std::string::npos)
        << limited.local.reason;
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
    other.readComplete = [&](std::int64_t, std::int64_t, const std::string&, const std::string&) {
        otherDone = true;
    };
    qint64 received = 0;
    service.readProgress = [&](std::int64_t bytesRead, std::int64_t, const std::string&) {
        received = bytesRead;
    };

    service.start(server.url("/slow.zip").toStdString(), 1, "Id", 16);
    waitUntil([&] { return received > 0; });
    other.start(server.url("/quick.zip").toStdString(), 1, "Id", 16);
    waitUntil([&] { return otherDone && !reads.isEmpty(); });
    ASSERT_EQ(reads.size(), 1);
    EXPECT_EQ(reads[0].bytesRead, 200000);
    EXPECT_EQ(reads[0].fileSize, 200000) << "the first read lost its file";
}
