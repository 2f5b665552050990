// The archive class against the real engine library of the program folder ($VORN_PROGRAM_DIR).
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <stdexcept>

#include "TestFiles.h"
#include "ZipFixtures.h"
#include "core/Paths.h"
#include "unzip/cUnzip.h"

namespace {

std::string ReadAll(const std::string& path) {
    try {
        return fixtures::readFile(path);
    } catch (const std::runtime_error&) {
        return "<missing>";
    }
}

class RealEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* variable = std::getenv("VORN_PROGRAM_DIR");
        const std::string programDir = variable ? variable : "";
        if (programDir.empty() || !fixtures::exists(programDir + "/vbuzip10.dll"))
            GTEST_SKIP() << "no engine library in VORN_PROGRAM_DIR";
        SetEngineFolders({programDir});
        archivePath = work / "p.zip";
        using fixtures::ZipEntry;
        fixtures::buildZip(archivePath,
                           {ZipEntry::file("a.txt", "alpha"), ZipEntry::folder("docs/"),
                            ZipEntry::file("docs/b.txt", "beta")});
        zip->setZipFile(archivePath);
        target = work / "out";
        fixtures::makeFolders(target);
        zip->setUnzipFolder(target + "/");
        zip->setUseFolderNames(true);
        zip->setOverwriteExisting(true);
    }

    fixtures::TempDir work;
    std::string archivePath, target;
    std::shared_ptr<cUnzip> zip = std::make_shared<cUnzip>();
};

TEST_F(RealEngineTest, DirectoryListsFilesWithTheirFolders) {
    EXPECT_EQ(zip->Directory(), 0);
    ASSERT_EQ(zip->FileCount(), 2);
    EXPECT_EQ(zip->Filename(1), "a.txt");
    EXPECT_EQ(zip->FileDirectory(1), "");
    EXPECT_EQ(zip->Filename(2), "b.txt");
    EXPECT_EQ(zip->FileDirectory(2), "docs");
    EXPECT_EQ(zip->FileSize(1), 5);
    EXPECT_TRUE(zip->FileSelected(1) && zip->FileSelected(2));
    EXPECT_NEAR(zip->FileDate(1), 44259.2, 1.0); // 4 March 2021, in local time
    EXPECT_EQ(zip->FileCRC(2), static_cast<std::int32_t>(0x8f910463)); // CRC-32 of "beta"
}

TEST_F(RealEngineTest, UnzipExtractsEverythingOrTheSelection) {
    EXPECT_FALSE(zip->Unzip()); // nothing listed: every entry
    EXPECT_EQ(ReadAll(target + "/a.txt"), "alpha");
    EXPECT_EQ(ReadAll(target + "/docs/b.txt"), "beta");

    std::filesystem::remove_all(FsPath(target));
    fixtures::makeFolders(target);
    zip->Directory();
    zip->setFileSelected(1, false);
    EXPECT_FALSE(zip->Unzip());
    EXPECT_FALSE(fixtures::exists(target + "/a.txt"));
    EXPECT_EQ(ReadAll(target + "/docs/b.txt"), "beta");

    zip->setZipFile(work / "missing.zip");
    EXPECT_TRUE(zip->Unzip()); // an engine problem
}

} // namespace
