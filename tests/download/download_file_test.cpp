// The temporary file a read writes into: its bytes, and the lock that keeps it from being taken
// for abandoned.
#include <gtest/gtest.h>

#include "DownloadTestSupport.h"
#include "TestFiles.h"
#include "download/DownloadFile.h"

using Names = std::vector<std::string>;

TEST(DownloadTempFile, WritesCutsAndReadsItsTail) {
    fixtures::TempDir dir;
    DownloadFile file;
    ASSERT_TRUE(file.create(dir.path(), "pkg-XXXXXX.part")) << file.error();
    const std::string name = file.path().substr(dir.path().size() + 1);
    EXPECT_TRUE(name.starts_with("pkg-") && name.ends_with(".part") && name.size() == 15) << name;
    ASSERT_TRUE(file.append("abcdef", 6));
    EXPECT_EQ(file.tail(2), "ef");
    EXPECT_EQ(file.tail(100), "abcdef");
    ASSERT_TRUE(file.truncate(3));
    // Written after what is left, wherever the read of the tail left off.
    EXPECT_EQ(file.tail(1), "c");
    ASSERT_TRUE(file.append("XY", 2));
    ASSERT_TRUE(file.sync());
    EXPECT_EQ(file.size(), 5);
    EXPECT_EQ(file.durableSize(), 5);
    file.close();
    EXPECT_EQ(fixtures::readFile(dir / name), "abcXY");

    // Taken up again: cut to the length asked for, and held against a second read.
    ASSERT_TRUE(file.reopen(dir / name, 4)) << file.error();
    EXPECT_EQ(file.size(), 4);
    DownloadFile other;
    EXPECT_FALSE(other.reopen(dir / name, 0));
    EXPECT_FALSE(other.reopen(dir / name + ".missing", 0));
    EXPECT_FALSE(other.error().empty());
    file.close();
    EXPECT_FALSE(file.reopen(dir / name, 5)) << "fewer bytes than asked for";
    EXPECT_EQ(fixtures::readFile(dir / name), "abcX");
    ASSERT_TRUE(file.reopen(dir / name, 0));
    file.discard();
    EXPECT_TRUE(entries(dir.path()).empty());
}

TEST(DownloadTempFile, RemovesOnlyAbandonedFilesOfThePatterns) {
    fixtures::TempDir dir;
    DownloadFile held;
    ASSERT_TRUE(held.create(dir.path(), "held-XXXXXX.part"));
    for (const char* name : {"old-1.part", "OLD-2.PART", "kept.part", "other.txt"})
        fixtures::writeFile(dir / name, "x");
    fixtures::makeFolders(dir / "folder.part");
    DownloadFile::removeAbandoned(dir.path(), {"*.part"},
                                  [](const std::string& name) { return name == "kept.part"; });
    Names left = {"folder.part", "kept.part", "other.txt",
                  held.path().substr(dir.path().size() + 1)};
    std::sort(left.begin(), left.end());
    EXPECT_EQ(entries(dir.path()), left);
    held.close();
    DownloadFile::removeAbandoned(dir.path(), {"HELD-*", "nothing"},
                                  [](const std::string&) { return false; });
    EXPECT_EQ(entries(dir.path()), (Names{"folder.part", "kept.part", "other.txt"}));
}
