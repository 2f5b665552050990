#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "driver/modSystem.h"

namespace {
void Touch(const QString& path, const QByteArray& content = "x") {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(content);
}
} // namespace

TEST(FileExists, PlainFilesOnly) {
    QTemporaryDir dir;
    const QString p = dir.path();
    Touch(p + "/a.zip");
    Touch(p + "/.hidden.zip");
    QDir(p).mkdir("folder.zip");
    QFile::link(p + "/a.zip", p + "/link.zip");
    EXPECT_TRUE(File_Exists(p + "/a.zip"));
    EXPECT_FALSE(File_Exists(p + "/A.ZIP")) << "names are searched as the file system stores them";
    EXPECT_FALSE(File_Exists(p + "/.hidden.zip"));
    EXPECT_FALSE(File_Exists(p + "/folder.zip"));
    EXPECT_FALSE(File_Exists(p + "/missing.zip"));
    EXPECT_TRUE(File_Exists(p + "/link.zip")) << "a link to a plain file is found as that file";
    EXPECT_FALSE(File_Exists(QString()));
    EXPECT_FALSE(File_Exists(p + "/nowhere/a.zip"));
}

TEST(FileExists, SpecialFilesDoNotCount) {
    EXPECT_FALSE(File_Exists(QStringLiteral("/dev/null")));
}

TEST(FileExists, WildcardsMatchInTheLastComponent) {
    QTemporaryDir dir;
    const QString p = dir.path();
    QDir(p).mkdir("sub");
    Touch(p + "/sub/patch-12.zip");
    Touch(p + "/sub/.secret");
    QDir(p).mkdir("sub/dir.txt");
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
    QTemporaryDir dir;
    const QString updates = dir.path() + "/updates";
    QDir().mkpath(updates + "/nested");
    EXPECT_FALSE(File_Exists(updates + "/"));
    Touch(updates + "/.partial");
    EXPECT_FALSE(File_Exists(updates + "/"));
    Touch(updates + "/a.zip");
    EXPECT_TRUE(File_Exists(updates + "/"));
}

TEST(SystemDir, IsTheUserLibraryFolderWithoutTrailingSeparator) {
    const QByteArray saved = qgetenv("HOME");
    qputenv("HOME", "/home/someone/");
    EXPECT_EQ(Get_SystemDir(), QStringLiteral("/home/someone/.local/lib"));
    qputenv("HOME", saved);
}

TEST(FindEntryName, FindsAnyLetterCaseAndPlainFiles) {
    QTemporaryDir dir;
    const QString p = dir.path();
    EXPECT_TRUE(FindEntryName(p + "/updates").isEmpty());
    QDir(p).mkdir("UPDATES");
    EXPECT_EQ(FindEntryName(p + "/updates"), QStringLiteral("UPDATES"));
    Touch(p + "/updates");
    EXPECT_EQ(FindEntryName(p + "/updates"), QStringLiteral("updates"));
}

TEST(CopyFileSafely, CreatesTheFolderAndReplacesWholeFiles) {
    QTemporaryDir dir;
    const QString p = dir.path();
    Touch(p + "/engine", "new engine");
    QFile::setPermissions(p + "/engine", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QString reason;
    ASSERT_TRUE(CopyFileSafely(p + "/engine", p + "/sys/lib/engine.so", &reason))
        << reason.toStdString();
    QFile copy(p + "/sys/lib/engine.so");
    ASSERT_TRUE(copy.open(QIODevice::ReadOnly));
    EXPECT_EQ(copy.readAll(), QByteArray("new engine"));
    EXPECT_TRUE(copy.permissions() & QFile::ExeOwner);
    EXPECT_EQ(QDir(p + "/sys/lib").entryList(QDir::Files | QDir::Hidden).size(), 1)
        << "no temporary file is left beside the copy";

    EXPECT_FALSE(CopyFileSafely(p + "/missing", p + "/sys/lib/other", &reason));
    EXPECT_FALSE(reason.isEmpty());
    EXPECT_FALSE(QFile::exists(p + "/sys/lib/other"));
}
