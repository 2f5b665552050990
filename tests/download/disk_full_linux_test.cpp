// Received files that cannot be put in their place for lack of space (on a small tmpfs; Linux).
#include <gtest/gtest.h>

#include "DownloadTestSupport.h"
#include "TestFiles.h"
#include "TmpfsMount.h"
#include "download/DL.h"
#include "download/FileMove.h"

using fixtures::readFile;
using fixtures::writeFile;
using Names = std::vector<std::string>;

TEST(DLLocalFailureTest, MoveRefusedForLackOfSpaceKeepsTheOlderFile) {
    fixtures::TempDir source, target;
    TmpfsMount disk(target.path(), "size=64k");
    if (!disk.mounted())
        GTEST_SKIP() << disk.error();
    writeFile(target / "a.zip", "older package");
    const std::string received = source / "received.part";
    writeFile(received, std::string(200000, 'n'));
    FakeReadService service;
    DL dl{service};
    std::vector<std::int64_t> counts;
    dl.Completed = [&](std::int64_t& d, std::int64_t& t, std::string&) { counts = {d, t}; };

    dl.Download("http://host/a.zip", target / "a.zip");
    service.complete(200000, 200000, "Id", received);
    EXPECT_EQ(counts, (std::vector<std::int64_t>{200000, 200000}))
        << "the counts stay the transfer's";
    EXPECT_TRUE(dl.lastLocalFailure().outOfSpace()) << dl.lastLocalFailure().reason;
    EXPECT_EQ(readFile(target / "a.zip"), "older package");
    EXPECT_EQ(entries(target.path()), Names{"a.zip"}) << "a partial copy was left";

    // No folder at the destination: nothing stale can be there; not a local failure.
    writeFile(received, "new");
    dl.Download("http://host/a.zip", target / "missing/a.zip");
    service.complete(3, 3, "Id", received);
    EXPECT_FALSE(dl.lastLocalFailure().happened());
}

TEST(FileMoveTest, ErrorNumbersOfFailedMoves) {
    fixtures::TempDir source, target;
    writeFile(source / "new", "new bytes");
    int code = -1;
    EXPECT_FALSE(moveReplacing(source / "new", target / "missing/pkg.zip", nullptr, &code));
    EXPECT_EQ(code, 0) << "a destination without a folder has no error number";

    TmpfsMount disk(target.path(), "size=64k");
    if (!disk.mounted())
        GTEST_SKIP() << disk.error();
    writeFile(source / "big", std::string(200000, 'b'));
    std::string reason;
    EXPECT_FALSE(copyReplacing(source / "big", target / "pkg.zip", &reason, &code));
    EXPECT_EQ(code, ENOSPC) << reason;
    EXPECT_TRUE(entries(target.path()).empty());
    EXPECT_EQ(disk.used(), 0);
}
