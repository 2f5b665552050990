// The archive class against the real engine library of the program folder ($VORN_PROGRAM_DIR).
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>

#include "ZipFixtures.h"
#include "unzip/cUnzip.h"

namespace {

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

class RealEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        const QString programDir = qEnvironmentVariable("VORN_PROGRAM_DIR");
        if (programDir.isEmpty() || !QFile::exists(programDir + QStringLiteral("/vbuzip10.dll")))
            GTEST_SKIP() << "no engine library in VORN_PROGRAM_DIR";
        SetEngineFolders({programDir});
        ASSERT_TRUE(work.isValid());
        archivePath = work.filePath(QStringLiteral("p.zip"));
        using fixtures::ZipEntry;
        fixtures::buildZip(archivePath.toStdString(),
                           {ZipEntry::file("a.txt", "alpha"), ZipEntry::folder("docs/"),
                            ZipEntry::file("docs/b.txt", "beta")});
        zip->setZipFile(archivePath);
        target = work.filePath(QStringLiteral("out"));
        QDir().mkpath(target);
        zip->setUnzipFolder(target + QLatin1Char('/'));
        zip->setUseFolderNames(true);
        zip->setOverwriteExisting(true);
    }

    QTemporaryDir work;
    QString archivePath, target;
    std::shared_ptr<cUnzip> zip = std::make_shared<cUnzip>();
};

TEST_F(RealEngineTest, DirectoryListsFilesWithTheirFolders) {
    EXPECT_EQ(zip->Directory(), 0);
    ASSERT_EQ(zip->FileCount(), 2);
    EXPECT_EQ(zip->Filename(1), QStringLiteral("a.txt"));
    EXPECT_EQ(zip->FileDirectory(1), QString());
    EXPECT_EQ(zip->Filename(2), QStringLiteral("b.txt"));
    EXPECT_EQ(zip->FileDirectory(2), QStringLiteral("docs"));
    EXPECT_EQ(zip->FileSize(1), 5);
    EXPECT_TRUE(zip->FileSelected(1) && zip->FileSelected(2));
    EXPECT_NEAR(zip->FileDate(1), 44259.2, 1.0);                 // 4 March 2021, in local time
    EXPECT_EQ(zip->FileCRC(2), static_cast<qint32>(0x8f910463)); // CRC-32 of "beta"
}

TEST_F(RealEngineTest, UnzipExtractsEverythingOrTheSelection) {
    EXPECT_FALSE(zip->Unzip()); // nothing listed: every entry
    EXPECT_EQ(ReadAll(target + QStringLiteral("/a.txt")), QByteArray("alpha"));
    EXPECT_EQ(ReadAll(target + QStringLiteral("/docs/b.txt")), QByteArray("beta"));

    QDir(target).removeRecursively();
    QDir().mkpath(target);
    zip->Directory();
    zip->setFileSelected(1, false);
    EXPECT_FALSE(zip->Unzip());
    EXPECT_FALSE(QFile::exists(target + QStringLiteral("/a.txt")));
    EXPECT_EQ(ReadAll(target + QStringLiteral("/docs/b.txt")), QByteArray("beta"));

    zip->setZipFile(work.filePath(QStringLiteral("missing.zip")));
    EXPECT_TRUE(zip->Unzip()); // an engine problem
}

} // namespace
