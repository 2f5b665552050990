// The engine interface's text and date helpers, and the archive class where no engine is found.
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "AppError.h"
#include "unzip/cUnzip.h"

namespace {

using namespace mUnzip;

// Entry names and the date parts the engine lists are covered through the fake engine; these are
// the rules it does not reach.
TEST(EngineText, SeparatorPositionsAndNulCut) {
    QString text = QStringLiteral("/a/bc/d"), none = QStringLiteral("abc");
    EXPECT_EQ(ReplaceSeparators(text, QLatin1Char('/'), QLatin1Char('\\')), 7);
    EXPECT_EQ(text, QStringLiteral("\\a\\bc\\d"));
    EXPECT_EQ(ReplaceSeparators(none, QLatin1Char('/'), QLatin1Char('\\')), 1);
    const EntryPath path = SplitEntryPath(QStringLiteral("a/b") + QChar(0) + QStringLiteral("/c"));
    EXPECT_EQ(path.sFolder + "|" + path.sFileName, QStringLiteral("a|b"));
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
    QTemporaryDir emptyFolder;
    SetEngineFolders({emptyFolder.path(), QString()});
    auto zip = std::make_shared<cUnzip>();
    EXPECT_EQ(zip->FileCount(), 0);
    EXPECT_FALSE(zip->UseFolderNames() || zip->OverwriteExisting() || zip->TestZip());
    EXPECT_TRUE(zip->ZipFile().isEmpty() && zip->UnzipFolder().isEmpty());
    EXPECT_THROW(zip->Filename(1), AppError);
    zip->setUseFolderNames(true);
    EXPECT_TRUE(zip->UseFolderNames());
    EXPECT_FALSE(zip->Unzip()); // no archive: the engine is not needed

    zip->setZipFile(QStringLiteral("none.zip"));
    try {
        zip->Unzip();
        ADD_FAILURE();
    } catch (const AppError& error) {
        EXPECT_EQ(error.number(), AppError::DllNotFound);
        EXPECT_EQ(error.description(), QStringLiteral("File not found: vbuzip10.dll"));
    }
    EXPECT_EQ(CurrentArchive(), zip);
}

} // namespace
