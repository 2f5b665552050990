// The downloader control over a scripted read service, and the replacing move it relies on.
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>

#include "DownloadTestSupport.h"
#include "TestFiles.h"
#include "download/DL.h"
#include "download/FileMove.h"
#include "download/FileMovePlatform.h"

using fixtures::readFile;
using fixtures::writeFile;
using Names = std::vector<std::string>;

namespace {
struct Event {
    std::int64_t downloaded, total;
    std::string id;
    bool operator==(const Event&) const = default;
};

class DLTest : public ::testing::Test {
protected:
    void SetUp() override {
        dl.Progress = [this](std::int64_t& d, std::int64_t& t, std::string& id) {
            progress.push_back({d, t, id});
        };
        dl.Completed = [this](std::int64_t& d, std::int64_t& t, std::string& id) {
            completed.push_back({d, t, id});
            d = -1; // a handler's changes stay with the handler
            id = "changed";
        };
    }
    // A received file in the service's place.
    std::string received(const std::string& bytes) {
        const std::string path = temp / ("received-" + std::to_string(++files) + ".part");
        writeFile(path, bytes);
        return path;
    }

    fixtures::TempDir temp, target;
    FakeReadService service;
    DL dl{service};
    std::vector<Event> progress, completed;
    int files = 0;
};

// A read service whose failures the test scripts, local causes included.
class LocallyFailingService : public FakeReadService {
public:
    void failLocally(std::int64_t bytesRead, std::int64_t total, const LocalFailure& failure) {
        setLastLocalFailure(failure);
        complete(bytesRead, total, "Id", {});
        setLastLocalFailure({});
    }
};
} // namespace

TEST_F(DLTest, StartsAForcedFileReadUnderTheId) {
    EXPECT_EQ(dl.currentfile(), "");
    dl.setCurrentFile("a.zip");
    EXPECT_EQ(dl.currentfile(), "a.zip");

    dl.Download("http://host/a.zip", target / "a.zip");
    ASSERT_EQ(service.starts.size(), 1u);
    EXPECT_EQ(service.starts[0].address, "http://host/a.zip");
    EXPECT_EQ(service.starts[0].deliveryKind, 1);
    EXPECT_EQ(service.starts[0].tag, "Id");
    EXPECT_EQ(service.starts[0].options, 16);
}

TEST_F(DLTest, PendingIdIsRefusedInAnyLetterCase) {
    dl.Download("http://host/a.zip", target / "a.zip", "Pkg");
    try {
        dl.Download("http://host/b.zip", target / "b.zip", "PKG");
        ADD_FAILURE() << "duplicate id accepted";
    } catch (const AppError& error) {
        EXPECT_EQ(error.number(), AppError::DuplicateKey);
    }
    EXPECT_EQ(service.starts.size(), 1u);
    // The first download goes on undisturbed; the completion's tag may differ in case too.
    service.complete(3, 3, "pkg", received("abc"));
    EXPECT_EQ(readFile(target / "a.zip"), "abc");
    EXPECT_EQ(dl.pendingCount(), 0);
}

TEST_F(DLTest, FailedStartKeepsTheIdTaken) {
    service.failNextStart = AppError(AppError::ReadNotStarted, "no read");
    EXPECT_THROW(dl.Download("ftp://host/a.zip", target / "a.zip"), AppError);
    EXPECT_EQ(dl.pendingCount(), 1);
    try {
        dl.Download("http://host/a.zip", target / "a.zip");
        ADD_FAILURE() << "id was free again";
    } catch (const AppError& error) {
        EXPECT_EQ(error.number(), AppError::DuplicateKey);
    }
}

TEST_F(DLTest, ProgressPassesEveryNotificationOn) {
    dl.Download("http://host/a.zip", target / "a.zip");
    service.progress(0, 100, "Id");
    service.progress(3'000'000'000LL, 5'000'000'000LL, "Id"); // beyond 32 bits
    service.progress(40, 0, "Id");
    EXPECT_EQ(progress,
              (std::vector<Event>{
                  {0, 100, "Id"}, {3'000'000'000LL, 5'000'000'000LL, "Id"}, {40, 0, "Id"}}));
}

TEST_F(DLTest, OnlyCompleteReadsAreMoved) {
    struct Case {
        std::int64_t downloaded, total;
        bool moved;
    } cases[] = {{5, 5, true},  {0, 0, false}, {0, 5, false},
                 {3, 0, false}, {3, 5, false}, {5'000'000'000LL, 5'000'000'000LL, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.downloaded << " of " << c.total);
        std::filesystem::remove(FsPath(target / "a.zip"));
        completed.clear();
        dl.Download("http://host/a.zip", target / "a.zip");
        const std::string file = received("12345");
        service.complete(c.downloaded, c.total, "Id", file);
        EXPECT_EQ(fixtures::exists(target / "a.zip"), c.moved);
        EXPECT_EQ(fixtures::exists(file), !c.moved);
        EXPECT_EQ(completed, (std::vector<Event>{{c.downloaded, c.total, "Id"}}));
        EXPECT_EQ(dl.pendingCount(), 0);
    }
}

TEST_F(DLTest, CompletionReplacesAStalePackage) {
    writeFile(target / "a.zip", "stale package from an earlier run");
    dl.Download("http://host/a.zip", target / "a.zip");
    service.complete(3, 3, "Id", received("new"));
    EXPECT_EQ(readFile(target / "a.zip"), "new");
    EXPECT_EQ(entries(target.path()), Names{"a.zip"});
}

TEST_F(DLTest, FailedMoveStillCompletes) {
    const std::string destination = target / "no-such-folder/a.zip";
    dl.Download("http://host/a.zip", destination);
    const std::string file = received("new");
    service.complete(3, 3, "Id", file);
    EXPECT_FALSE(fixtures::exists(destination));
    EXPECT_TRUE(fixtures::exists(file));
    EXPECT_EQ(completed, (std::vector<Event>{{3, 3, "Id"}}));
}

TEST_F(DLTest, IdIsFreeWhenCompletedIsRaised) {
    bool restarted = false;
    dl.Completed = [&](std::int64_t&, std::int64_t&, std::string&) {
        if (!restarted) {
            restarted = true;
            dl.Download("http://host/b.zip", target / "b.zip");
        }
    };
    dl.Download("http://host/a.zip", target / "a.zip");
    service.complete(0, 0, "Id", {});
    EXPECT_EQ(service.starts.size(), 2u);
    EXPECT_EQ(dl.pendingCount(), 1);
}

TEST(DLLocalFailureTest, ServiceFailuresPassThroughAndAreClearedByTheNextRead) {
    fixtures::TempDir target;
    LocallyFailingService service;
    DL dl{service};
    int completed = 0;
    dl.Completed = [&](std::int64_t&, std::int64_t&, std::string&) {
        ++completed;
        EXPECT_TRUE(dl.lastLocalFailure().outOfSpace()) << "valid inside Completed already";
    };
    dl.Download("http://host/a.zip", target / "a.zip");
    service.failLocally(4096, 10000, {ENOSPC, "cannot write: full"});
    EXPECT_EQ(completed, 1);
    EXPECT_EQ(dl.lastLocalFailure().reason, "cannot write: full");

    dl.Completed = nullptr;
    dl.Download("http://host/a.zip", target / "a.zip");
    service.complete(3, 9, "Id", {}); // broken off at the source
    EXPECT_FALSE(dl.lastLocalFailure().happened());
}

TEST(FileMoveTest, RefusesMissingFoldersAndFolders) {
    fixtures::TempDir source, target;
    writeFile(source / "new", "new bytes");
    EXPECT_FALSE(moveReplacing(source / "new", target / "missing/pkg.zip"));
    EXPECT_FALSE(moveReplacing(source / "new", target.path()));
    EXPECT_TRUE(fixtures::exists(source / "new"));
    EXPECT_TRUE(entries(target.path()).empty());
}

TEST(FileMoveTest, MovesAcrossFileSystems) {
    fixtures::TempDir target;
    // A folder of the memory file system, where there is one (an absolute tag puts it there;
    // wine shows the build machine's root as the drive Z:).
#ifdef _WIN32
    const char* memoryFolder = "Z:/dev/shm/vorn-move";
#else
    const char* memoryFolder = "/dev/shm/vorn-move";
#endif
    std::optional<fixtures::TempDir> other;
    try {
        other.emplace(memoryFolder);
    } catch (const std::exception&) {
    }
    // The two lie on different file systems when a file cannot be renamed from one to the other
    // (std::filesystem::rename copies across them on Windows).
    bool crossing = false;
    if (other) {
        writeFile(*other / "probe", "");
        crossing = renameReplacing(*other / "probe", target / "probe") == EXDEV;
    }
    if (!crossing)
        GTEST_SKIP() << "no second file system at hand";
    const std::string bytes = std::string(3 << 20, 'x') + "end";
    writeFile(*other / "new", bytes);
    writeFile(target / "pkg.zip", "old");
    ASSERT_TRUE(moveReplacing(*other / "new", target / "pkg.zip"));
    EXPECT_EQ(readFile(target / "pkg.zip"), bytes);
    EXPECT_FALSE(fixtures::exists(*other / "new"));
    EXPECT_EQ(entries(target.path()), Names{"pkg.zip"});
}
