// The engine interface's text and date helpers, and the archive class where no engine is found.
#include <gtest/gtest.h>

#include "AppError.h"
#include "TestFiles.h"
#include "unzip/cUnzip.h"

namespace {

using namespace mUnzip;

// Entry names and the date parts the engine lists are covered through the fake engine; these are
// the rules it does not reach.
TEST(EngineText, SeparatorPositionsAndNulCut) {
    std::string text = "/a/bc/d", none = "abc";
    EXPECT_EQ(ReplaceSeparators(text, '/', '\\'), 7);
    EXPECT_EQ(text, "\\a\\bc\\d");
    EXPECT_EQ(ReplaceSeparators(none, '/', '\\'), 1);
    const EntryPath path = SplitEntryPath(std::string("a/b\0/c", 6));
    EXPECT_EQ(path.sFolder + "|" + path.sFileName, "a|b");
}

TEST(DateTime, CarriesTwoDigitYearsAndRange) {
    EXPECT_EQ(DateSerial(29, 12, 31), 47483);   // 31 December 2029
    EXPECT_EQ(DateSerial(30, 1, 1), 10959);     // 1 January 1930
    EXPECT_EQ(DateSerial(1999, 13, 1), 36526);  // 1 January 2000
    EXPECT_EQ(DateSerial(2000, 3, 0), 36585);   // 29 February 2000
    EXPECT_EQ(DateSerial(2000, -11, 1), 36161); // 1 January 1999
    EXPECT_THROW(DateSerial(100, 1, 0), AppError);
    EXPECT_THROW(DateSerial(9999, 13, 1), AppError);
}

TEST(cUnzipWithoutEngine, NewObjectAndMissingEngine) {
    fixtures::TempDir emptyFolder;
    SetEngineFolders({emptyFolder.path(), ""});
    auto zip = std::make_shared<cUnzip>();
    EXPECT_EQ(zip->FileCount(), 0);
    EXPECT_FALSE(zip->UseFolderNames() || zip->OverwriteExisting() || zip->TestZip());
    EXPECT_TRUE(zip->ZipFile().empty() && zip->UnzipFolder().empty());
    EXPECT_THROW(zip->Filename(1), AppError);
    zip->setUseFolderNames(true);
    EXPECT_TRUE(zip->UseFolderNames());
    EXPECT_FALSE(zip->Unzip()); // no archive: the engine is not needed

    zip->setZipFile("none.zip");
    try {
        zip->Unzip();
        ADD_FAILURE();
    } catch (const AppError& error) {
        EXPECT_EQ(error.number(), AppError::DllNotFound);
        EXPECT_EQ(error.description(), "File not found: vbuzip10.dll");
    }
    EXPECT_EQ(CurrentArchive(), zip);
}

TEST(cUnzipWithoutEngine, LibraryThatDoesNotLoad) {
    fixtures::TempDir folder;
    fixtures::writeFile(folder / "vbuzip10.dll", "not a library");
    SetEngineFolders({folder.path()});
    cUnzip zip;
    zip.setZipFile("none.zip");
    try {
        zip.Unzip();
        ADD_FAILURE();
    } catch (const AppError& error) {
        EXPECT_EQ(error.number(), AppError::DllNotFound);
        EXPECT_EQ(error.description().rfind("Error in loading DLL vbuzip10.dll: ", 0), 0u)
            << error.description();
    }
}

} // namespace
