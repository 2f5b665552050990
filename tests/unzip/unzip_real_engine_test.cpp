// The archive class against the real engine library of the program folder ($VORN_PROGRAM_DIR).
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>
#include <zip.h>

#include "cUnzip.h"
#include "mUnzip.h"

namespace {

// Writes a zip file holding the given entries; a name ending in "/" is a folder entry.
void WriteArchive(const QString& path,
                  const std::vector<std::pair<std::string, std::string>>& entries) {
    int error = 0;
    zip_t* archive =
        zip_open(QFile::encodeName(path).constData(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    ASSERT_NE(archive, nullptr) << error;
    for (const auto& [name, data] : entries) {
        if (!name.empty() && name.back() == '/') {
            ASSERT_GE(zip_dir_add(archive, name.c_str(), ZIP_FL_ENC_UTF_8), 0);
            continue;
        }
        zip_source_t* source = zip_source_buffer(archive, data.data(), data.size(), 0);
        ASSERT_NE(source, nullptr);
        ASSERT_GE(zip_file_add(archive, name.c_str(), source, ZIP_FL_ENC_UTF_8), 0);
    }
    ASSERT_EQ(zip_close(archive), 0);
}

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
        WriteArchive(archivePath, {{"a.txt", "alpha"}, {"docs/", ""}, {"docs/b.txt", "beta"}});
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
    EXPECT_GT(zip->FileDate(1), 29000); // a date after 1980
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
}

TEST_F(RealEngineTest, EngineProblemsComeBackAsTrue) {
    zip->setZipFile(work.filePath(QStringLiteral("missing.zip")));
    EXPECT_TRUE(zip->Unzip());
}

} // namespace
