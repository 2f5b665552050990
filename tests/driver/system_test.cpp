#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "TestFiles.h"
#include "core/Paths.h"
#include "driver/modSystem.h"

namespace fs = std::filesystem;

namespace {
void Touch(const std::string& path, const std::string& content = "x") {
    fixtures::writeFile(path, content);
}
} // namespace

TEST(FileExists, PlainFilesOnly) {
    fixtures::TempDir dir;
    const std::string p = dir.path();
    Touch(p + "/a.zip");
    Touch(p + "/.hidden.zip");
    fixtures::makeFolders(p + "/folder.zip");
    fs::create_symlink(FsPath(p + "/a.zip"), FsPath(p + "/link.zip"));
    EXPECT_TRUE(File_Exists(p + "/a.zip"));
    EXPECT_FALSE(File_Exists(p + "/A.ZIP")) << "names are searched as the file system stores them";
    EXPECT_FALSE(File_Exists(p + "/.hidden.zip"));
    EXPECT_FALSE(File_Exists(p + "/folder.zip"));
    EXPECT_FALSE(File_Exists(p + "/missing.zip"));
    EXPECT_TRUE(File_Exists(p + "/link.zip")) << "a link to a plain file is found as that file";
    EXPECT_FALSE(File_Exists(""));
    EXPECT_FALSE(File_Exists(p + "/nowhere/a.zip"));
}

TEST(FileExists, SpecialFilesDoNotCount) {
    EXPECT_FALSE(File_Exists("/dev/null"));
}

TEST(FileExists, WildcardsMatchInTheLastComponent) {
    fixtures::TempDir dir;
    const std::string p = dir.path();
    fixtures::makeFolders(p + "/sub");
    Touch(p + "/sub/patch-12.zip");
    Touch(p + "/sub/.secret");
    fixtures::makeFolders(p + "/sub/dir.txt");
    EXPECT_TRUE(File_Exists(p + "/sub/*.zip"));
    EXPECT_TRUE(File_Exists(p + "/sub/patch-??.zip"));
    EXPECT_FALSE(File_Exists(p + "/sub/patch-?.zip"));
    EXPECT_TRUE(File_Exists(p + "/sub/*"));
    EXPECT_FALSE(File_Exists(p + "/sub/*.txt")) << "folders never match";
    EXPECT_FALSE(File_Exists(p + "/sub/.sec*")) << "hidden files never match";
    EXPECT_FALSE(File_Exists(p + "/s*/patch-12.zip")) << "wildcards only in the last component";
    Touch(p + "/sub/v[2].zip");
    EXPECT_TRUE(File_Exists(p + "/sub/v[2]*"));
    EXPECT_FALSE(File_Exists(p + "/sub/patch-1[2].zip*")) << "brackets are no wildcards";
}

TEST(FileExists, TrailingSeparatorAsksForAnyPlainFile) {
    fixtures::TempDir dir;
    const std::string updates = dir.path() + "/updates";
    fixtures::makeFolders(updates + "/nested");
    EXPECT_FALSE(File_Exists(updates + "/"));
    Touch(updates + "/.partial");
    EXPECT_FALSE(File_Exists(updates + "/"));
    Touch(updates + "/a.zip");
    EXPECT_TRUE(File_Exists(updates + "/"));
}

TEST(SystemDir, IsTheUserLibraryFolderWithoutTrailingSeparator) {
    const char* home = std::getenv("HOME");
    const std::string saved = home ? home : "";
    setenv("HOME", "/home/someone/", 1);
    EXPECT_EQ(Get_SystemDir(), "/home/someone/.local/lib");
    setenv("HOME", saved.c_str(), 1);
}

TEST(FindEntryName, FindsAnyLetterCaseAndPlainFiles) {
    fixtures::TempDir dir;
    const std::string p = dir.path();
    EXPECT_TRUE(FindEntryName(p + "/updates").empty());
    fixtures::makeFolders(p + "/UPDATES");
    EXPECT_EQ(FindEntryName(p + "/updates"), "UPDATES");
    Touch(p + "/updates");
    EXPECT_EQ(FindEntryName(p + "/updates"), "updates");
}

TEST(CopyFileSafely, CreatesTheFolderAndReplacesWholeFiles) {
    fixtures::TempDir dir;
    const std::string p = dir.path();
    Touch(p + "/engine", "new engine");
    fs::permissions(FsPath(p + "/engine"), fs::perms::owner_all);
    std::string reason;
    ASSERT_TRUE(CopyFileSafely(p + "/engine", p + "/sys/lib/engine.so", &reason)) << reason;
    EXPECT_EQ(fixtures::readFile(p + "/sys/lib/engine.so"), "new engine");
    EXPECT_NE(fs::status(FsPath(p + "/sys/lib/engine.so")).permissions() & fs::perms::owner_exec,
              fs::perms::none);
    EXPECT_EQ(std::distance(fs::directory_iterator(FsPath(p + "/sys/lib")),
                            fs::directory_iterator()),
              1)
        << "no temporary file is left beside the copy";

    EXPECT_FALSE(CopyFileSafely(p + "/missing", p + "/sys/lib/other", &reason));
    EXPECT_FALSE(reason.empty());
    EXPECT_FALSE(fixtures::exists(p + "/sys/lib/other"));
}
