#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "TestFiles.h"
#include "core/Paths.h"
#include "core/Text.h"
#include "driver/modSystem.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;

namespace {
void Touch(const std::string& path, const std::string& content = "x") {
    fixtures::writeFile(path, content);
}

// A symbolic link at `link` to `target`; false where none can be made (on Windows it takes a
// privilege or the developer mode, and wine makes none).
bool MakeLink(const std::string& target, const std::string& link) {
    std::error_code error;
#ifdef _WIN32
    CreateSymbolicLinkW(FsPath(link).c_str(), FsPath(target).c_str(),
                        SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
#else
    fs::create_symlink(FsPath(target), FsPath(link), error);
#endif
    return fs::is_symlink(fs::symlink_status(FsPath(link), error));
}
} // namespace

TEST(FileExists, PlainFilesOnly) {
    fixtures::TempDir dir;
    const std::string p = dir.path();
    Touch(p + "/a.zip");
    Touch(p + "/.hidden.zip");
    fixtures::makeFolders(p + "/folder.zip");
    EXPECT_TRUE(File_Exists(p + "/a.zip"));
#ifdef _WIN32
    EXPECT_TRUE(File_Exists(p + "/A.ZIP")) << "names are searched without regard to case";
    Touch(p + "/marked.zip");
    SetFileAttributesW(FsPath(p + "/marked.zip").c_str(), FILE_ATTRIBUTE_HIDDEN);
    EXPECT_FALSE(File_Exists(p + "/marked.zip"));
    EXPECT_FALSE(File_Exists(p + "/marked.*")) << "files marked hidden never match";
#else
    EXPECT_FALSE(File_Exists(p + "/A.ZIP")) << "names are searched as the file system stores them";
#endif
    EXPECT_FALSE(File_Exists(p + "/.hidden.zip"));
    EXPECT_FALSE(File_Exists(p + "/folder.zip"));
    EXPECT_FALSE(File_Exists(p + "/missing.zip"));
    EXPECT_FALSE(File_Exists(""));
    EXPECT_FALSE(File_Exists(p + "/nowhere/a.zip"));
}

TEST(FileExists, LinkToPlainFileIsThatFile) {
    fixtures::TempDir dir;
    const std::string p = dir.path();
    Touch(p + "/a.zip");
    if (!MakeLink(p + "/a.zip", p + "/link.zip"))
        GTEST_SKIP() << "no symbolic link can be made here (on Windows it takes a privilege or the "
                        "developer mode; wine makes none)";
    EXPECT_TRUE(File_Exists(p + "/link.zip")) << "a link to a plain file is found as that file";
    EXPECT_TRUE(File_Exists(p + "/link.*"));
}

TEST(FileExists, SpecialFilesDoNotCount) {
#ifdef _WIN32
    // Device names, which a file search reports as files.
    for (const char* device : {"NUL", "C:/Windows/NUL", "CON"})
        EXPECT_FALSE(File_Exists(device)) << device;
#else
    EXPECT_FALSE(File_Exists("/dev/null"));
#endif
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

#ifdef _WIN32
TEST(SystemDir, IsTheSystemFolderWithoutTrailingSeparator) {
    const std::string folder = Get_SystemDir();
    EXPECT_TRUE(EqualsNoCase(folder.substr(folder.size() - 9), "/system32")) << folder;
    EXPECT_EQ(folder.find('\\'), std::string::npos) << folder;
    EXPECT_TRUE(fs::is_directory(FsPath(folder))) << folder;
}
#else
TEST(SystemDir, IsTheUserLibraryFolderWithoutTrailingSeparator) {
    const char* home = std::getenv("HOME");
    const std::string saved = home ? home : "";
    setenv("HOME", "/home/someone/", 1);
    EXPECT_EQ(Get_SystemDir(), "/home/someone/.local/lib");
    setenv("HOME", saved.c_str(), 1);
}
#endif

TEST(FindEntryName, FindsAnyLetterCaseAndPlainFiles) {
    fixtures::TempDir dir;
    const std::string p = dir.path();
    EXPECT_TRUE(FindEntryName(p + "/updates").empty());
    fixtures::makeFolders(p + "/UPDATES");
    EXPECT_EQ(FindEntryName(p + "/updates"), "UPDATES");
#ifndef _WIN32 // names that differ only in letter case are one name there
    Touch(p + "/updates");
    EXPECT_EQ(FindEntryName(p + "/updates"), "updates");
#endif
}

TEST(CopyFileSafely, CreatesTheFolderAndReplacesWholeFiles) {
    fixtures::TempDir dir;
    const std::string p = dir.path();
    Touch(p + "/engine", "new engine");
    fs::permissions(FsPath(p + "/engine"), fs::perms::owner_all);
    std::string reason;
    ASSERT_TRUE(CopyFileSafely(p + "/engine", p + "/sys/lib/engine.so", &reason)) << reason;
    EXPECT_EQ(fixtures::readFile(p + "/sys/lib/engine.so"), "new engine");
#ifndef _WIN32 // no permission to run a file there
    EXPECT_NE(fs::status(FsPath(p + "/sys/lib/engine.so")).permissions() & fs::perms::owner_exec,
              fs::perms::none);
#endif
    EXPECT_EQ(
        std::distance(fs::directory_iterator(FsPath(p + "/sys/lib")), fs::directory_iterator()), 1)
        << "no temporary file is left beside the copy";

    EXPECT_FALSE(CopyFileSafely(p + "/missing", p + "/sys/lib/other", &reason));
    EXPECT_FALSE(reason.empty());
    EXPECT_FALSE(fixtures::exists(p + "/sys/lib/other"));
}
