// The downloader control over a scripted read service, and the replacing move it relies on.
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "DownloadTestSupport.h"
#include "download/DL.h"
#include "download/FileMove.h"

namespace {
struct Event {
    qint64 downloaded, total;
    QString id;
    bool operator==(const Event&) const = default;
};

class DLTest : public ::testing::Test {
protected:
    void SetUp() override {
        QObject::connect(&dl, &DL::Progress, [this](qint64& d, qint64& t, QString& id) {
            progress.append({d, t, id});
        });
        QObject::connect(&dl, &DL::Completed, [this](qint64& d, qint64& t, QString& id) {
            completed.append({d, t, id});
            d = -1; // a handler's changes stay with the handler
            id = QStringLiteral("changed");
        });
    }
    // A received file in the service's place.
    QString received(const QByteArray& bytes) {
        const QString path = temp.filePath(QStringLiteral("received-%1.part").arg(++files));
        writeFile(path, bytes);
        return path;
    }

    QTemporaryDir temp, target;
    FakeReadService service;
    DL dl{&service};
    QList<Event> progress, completed;
    int files = 0;
};
} // namespace

TEST_F(DLTest, StartsAForcedFileReadUnderTheId) {
    EXPECT_EQ(dl.currentfile(), QString());
    dl.setCurrentFile("a.zip");
    EXPECT_EQ(dl.currentfile(), "a.zip");

    dl.Download("http://host/a.zip", target.filePath("a.zip"));
    ASSERT_EQ(service.starts.size(), 1);
    EXPECT_EQ(service.starts[0].address, "http://host/a.zip");
    EXPECT_EQ(service.starts[0].deliveryKind, 1);
    EXPECT_EQ(service.starts[0].tag, "Id");
    EXPECT_EQ(service.starts[0].options, 16);
}

TEST_F(DLTest, PendingIdIsRefusedInAnyLetterCase) {
    dl.Download("http://host/a.zip", target.filePath("a.zip"), "Pkg");
    try {
        dl.Download("http://host/b.zip", target.filePath("b.zip"), "PKG");
        ADD_FAILURE() << "duplicate id accepted";
    } catch (const AppError& error) {
        EXPECT_EQ(error.number(), AppError::DuplicateKey);
    }
    EXPECT_EQ(service.starts.size(), 1);
    // The first download goes on undisturbed; the completion's tag may differ in case too.
    service.complete(3, 3, "pkg", received("abc"));
    EXPECT_EQ(readAll(target.filePath("a.zip")), "abc");
    EXPECT_EQ(dl.pendingCount(), 0);
}

TEST_F(DLTest, FailedStartKeepsTheIdTaken) {
    service.failNextStart = AppError(AppError::ReadNotStarted, "no read");
    EXPECT_THROW(dl.Download("ftp://host/a.zip", target.filePath("a.zip")), AppError);
    EXPECT_EQ(dl.pendingCount(), 1);
    try {
        dl.Download("http://host/a.zip", target.filePath("a.zip"));
        ADD_FAILURE() << "id was free again";
    } catch (const AppError& error) {
        EXPECT_EQ(error.number(), AppError::DuplicateKey);
    }
}

TEST_F(DLTest, ProgressPassesEveryNotificationOn) {
    dl.Download("http://host/a.zip", target.filePath("a.zip"));
    service.progress(0, 100, "Id");
    service.progress(3'000'000'000LL, 5'000'000'000LL, "Id"); // beyond 32 bits
    service.progress(40, 0, "Id");
    EXPECT_EQ(
        progress,
        (QList<Event>{{0, 100, "Id"}, {3'000'000'000LL, 5'000'000'000LL, "Id"}, {40, 0, "Id"}}));
}

TEST_F(DLTest, OnlyCompleteReadsAreMoved) {
    struct Case {
        qint64 downloaded, total;
        bool moved;
    } cases[] = {{5, 5, true},  {0, 0, false}, {0, 5, false},
                 {3, 0, false}, {3, 5, false}, {5'000'000'000LL, 5'000'000'000LL, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.downloaded << " of " << c.total);
        QFile::remove(target.filePath("a.zip"));
        completed.clear();
        dl.Download("http://host/a.zip", target.filePath("a.zip"));
        const QString file = received("12345");
        service.complete(c.downloaded, c.total, "Id", file);
        EXPECT_EQ(QFile::exists(target.filePath("a.zip")), c.moved);
        EXPECT_EQ(QFile::exists(file), !c.moved);
        EXPECT_EQ(completed, (QList<Event>{{c.downloaded, c.total, "Id"}}));
        EXPECT_EQ(dl.pendingCount(), 0);
    }
}

TEST_F(DLTest, CompletionReplacesAStalePackage) {
    writeFile(target.filePath("a.zip"), "stale package from an earlier run");
    dl.Download("http://host/a.zip", target.filePath("a.zip"));
    service.complete(3, 3, "Id", received("new"));
    EXPECT_EQ(readAll(target.filePath("a.zip")), "new");
    EXPECT_EQ(entries(target.path()), QStringList{"a.zip"});
}

TEST_F(DLTest, FailedMoveStillCompletes) {
    const QString destination = target.filePath("no-such-folder/a.zip");
    dl.Download("http://host/a.zip", destination);
    const QString file = received("new");
    service.complete(3, 3, "Id", file);
    EXPECT_FALSE(QFile::exists(destination));
    EXPECT_TRUE(QFile::exists(file));
    EXPECT_EQ(completed, (QList<Event>{{3, 3, "Id"}}));
}

TEST_F(DLTest, IdIsFreeWhenCompletedIsRaised) {
    bool restarted = false;
    QObject::connect(&dl, &DL::Completed, [&](qint64&, qint64&, QString&) {
        if (!restarted) {
            restarted = true;
            dl.Download("http://host/b.zip", target.filePath("b.zip"));
        }
    });
    dl.Download("http://host/a.zip", target.filePath("a.zip"));
    service.complete(0, 0, "Id", QString());
    EXPECT_EQ(service.starts.size(), 2);
    EXPECT_EQ(dl.pendingCount(), 1);
}

TEST(FileMoveTest, RefusesMissingFoldersAndFolders) {
    QTemporaryDir source, target;
    writeFile(source.filePath("new"), "new bytes");
    EXPECT_FALSE(moveReplacing(source.filePath("new"), target.filePath("missing/pkg.zip")));
    EXPECT_FALSE(moveReplacing(source.filePath("new"), target.path()));
    EXPECT_TRUE(QFile::exists(source.filePath("new")));
    EXPECT_TRUE(entries(target.path()).isEmpty());
}

TEST(FileMoveTest, MovesAcrossFileSystems) {
    QTemporaryDir target;
    QTemporaryDir other(QStringLiteral("/dev/shm/vorn-move-XXXXXX"));
    struct stat a {
    }, b{};
    if (!other.isValid() || ::stat(QFile::encodeName(target.path()), &a) != 0 ||
        ::stat(QFile::encodeName(other.path()), &b) != 0 || a.st_dev == b.st_dev)
        GTEST_SKIP() << "no second file system at hand";
    const QByteArray bytes = QByteArray(3 << 20, 'x') + "end";
    writeFile(other.filePath("new"), bytes);
    writeFile(target.filePath("pkg.zip"), "old");
    ASSERT_TRUE(moveReplacing(other.filePath("new"), target.filePath("pkg.zip")));
    EXPECT_EQ(readAll(target.filePath("pkg.zip")), bytes);
    EXPECT_FALSE(QFile::exists(other.filePath("new")));
    EXPECT_EQ(entries(target.path()), QStringList{"pkg.zip"});
}
