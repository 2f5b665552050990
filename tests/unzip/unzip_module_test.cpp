// The engine interface's text and date helpers, and the archive class where no engine is involved.
// No engine library is ever found by this executable.
#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>

#include "AppError.h"
#include "cUnzip.h"
#include "mUnzip.h"

namespace {

using namespace mUnzip;

TEST(ReplaceSeparators, ReplacesAllAndReturnsPositionAfterTheLast) {
    QString text = QStringLiteral("/a/bc/d");
    EXPECT_EQ(ReplaceSeparators(text, QLatin1Char('/'), QLatin1Char('\\')), 7);
    EXPECT_EQ(text, QStringLiteral("\\a\\bc\\d"));
    QString none = QStringLiteral("abc");
    EXPECT_EQ(ReplaceSeparators(none, QLatin1Char('/'), QLatin1Char('\\')), 1);
    QString first = QStringLiteral("/x");
    EXPECT_EQ(ReplaceSeparators(first, QLatin1Char('/'), QLatin1Char('\\')), 2);
    QString empty;
    EXPECT_EQ(ReplaceSeparators(empty, QLatin1Char('/'), QLatin1Char('\\')), 1);
}

TEST(SplitEntryPath, FolderAndFileName) {
    struct Case {
        QString name, folder, file;
    } cases[] = {
        {QStringLiteral("dir/sub/file.txt"), QStringLiteral("dir/sub"), QStringLiteral("file.txt")},
        {QStringLiteral("file.txt"), QString(), QStringLiteral("file.txt")},
        {QStringLiteral("/file.txt"), QString(), QStringLiteral("file.txt")},
        {QStringLiteral("dir/"), QStringLiteral("dir"), QString()},
        {QStringLiteral("a/b") + QChar(0) + QStringLiteral("/c"), QStringLiteral("a"),
         QStringLiteral("b")},
        {QString(), QString(), QString()},
    };
    for (const Case& c : cases) {
        const EntryPath path = SplitEntryPath(c.name);
        EXPECT_EQ(path.sFolder, c.folder) << c.name.toStdString();
        EXPECT_EQ(path.sFileName, c.file) << c.name.toStdString();
    }
}

TEST(ReadEngineText, StopsAtNulOrLimit) {
    const char text[] = {'a', 'b', 'c', '\0', 'd'};
    EXPECT_EQ(ReadEngineText(text, 5), QStringLiteral("abc"));
    EXPECT_EQ(ReadEngineText(text, 2), QStringLiteral("ab"));
    EXPECT_EQ(ReadEngineText(text + 3, 2), QString());
    EXPECT_EQ(ReadEngineText(nullptr, 10), QString());
    EXPECT_EQ(ReadEngineText("\xC3\xA9", 10), QStringLiteral("é"));
}

TEST(DateTime, CarriesAndTwoDigitYears) {
    // Expected values: days since 30 December 1899.
    EXPECT_DOUBLE_EQ(DateSerial(2003, 2, 30), 37682);  // 2 March 2003
    EXPECT_DOUBLE_EQ(DateSerial(5, 2, 1), 38384);      // 1 February 2005
    EXPECT_DOUBLE_EQ(DateSerial(95, 1, 1), 34700);     // 1 January 1995
    EXPECT_DOUBLE_EQ(DateSerial(0, 1, 1), 36526);      // 2000
    EXPECT_DOUBLE_EQ(DateSerial(29, 12, 31), 47483);   // 2029
    EXPECT_DOUBLE_EQ(DateSerial(30, 1, 1), 10959);     // 1930
    EXPECT_DOUBLE_EQ(DateSerial(1999, 13, 1), 36526);  // month 13: January of the next year
    EXPECT_DOUBLE_EQ(DateSerial(2000, 1, 0), 36525);   // day 0: the last day of the month before
    EXPECT_DOUBLE_EQ(DateSerial(2000, 0, 1), 36495);   // month 0: December of the year before
    EXPECT_DOUBLE_EQ(DateSerial(2000, -11, 1), 36161); // 1 January 1999
    EXPECT_DOUBLE_EQ(DateSerial(2000, 3, 0), 36585);   // 29 February 2000
    EXPECT_DOUBLE_EQ(DateSerial(1899, 12, 30), 0);
    EXPECT_DOUBLE_EQ(DateSerial(100, 1, 1), -657434);
    EXPECT_DOUBLE_EQ(DateSerial(9999, 12, 31), 2958465);
    EXPECT_DOUBLE_EQ(DateTimeFromParts(2003, 2, 30, 13, 5), 37682 + 13 / 24.0 + 5 / 1440.0);
    EXPECT_DOUBLE_EQ(TimeSerial(25, 0, 0), 25 / 24.0);

    for (auto [y, m, d] : {std::tuple{10000, 1, 1}, {100, 1, 0}, {-5, 1, 1}, {9999, 13, 1}}) {
        try {
            DateSerial(y, m, d);
            ADD_FAILURE() << y << "-" << m << "-" << d;
        } catch (const AppError& error) {
            EXPECT_EQ(error.number(), AppError::InvalidArgument);
        }
    }
}

TEST(cUnzipWithoutEngine, NewObjectDefaultsAndOptionRoundTrip) {
    cUnzip zip;
    EXPECT_EQ(zip.FileCount(), 0);
    EXPECT_FALSE(zip.ExtractOnlyNewer() || zip.SpaceToUnderScore() || zip.PromptToOverwrite() ||
                 zip.TestZip() || zip.UseFolderNames() || zip.OverwriteExisting() ||
                 zip.ConvertCRToCRLF() || zip.CaseSensitiveFileNames());
    EXPECT_EQ(zip.MessageLevel(), 0);
    EXPECT_TRUE(zip.ZipFile().isEmpty());
    EXPECT_TRUE(zip.UnzipFolder().isEmpty());

    zip.setUseFolderNames(true);
    zip.setOverwriteExisting(true);
    zip.setMessageLevel(-3);
    zip.setUnzipFolder(QStringLiteral("/x/"));
    EXPECT_TRUE(zip.UseFolderNames());
    EXPECT_TRUE(zip.OverwriteExisting());
    EXPECT_FALSE(zip.PromptToOverwrite());
    EXPECT_EQ(zip.MessageLevel(), -3);
    EXPECT_EQ(zip.UnzipFolder(), QStringLiteral("/x/"));
    zip.setUseFolderNames(false);
    EXPECT_FALSE(zip.UseFolderNames());
}

TEST(cUnzipWithoutEngine, EmptyDirectoryIndexErrors) {
    cUnzip zip;
    for (qint32 index : {0, 1}) {
        try {
            zip.FileSize(index);
            ADD_FAILURE() << index;
        } catch (const AppError& error) {
            EXPECT_EQ(error.number(), AppError::SubscriptOutOfRange);
        }
    }
}

TEST(cUnzipWithoutEngine, MissingEngineGoesToTheCaller) {
    QTemporaryDir emptyFolder;
    SetEngineFolders({emptyFolder.path(), QString()});
    auto zip = std::make_shared<cUnzip>();
    EXPECT_FALSE(zip->Unzip()); // empty ZipFile: the engine is never needed

    zip->setZipFile(QStringLiteral("/tmp/none.zip"));
    try {
        zip->Unzip();
        ADD_FAILURE() << "no error";
    } catch (const AppError& error) {
        EXPECT_EQ(error.number(), AppError::DllNotFound);
        EXPECT_EQ(error.description(), QStringLiteral("File not found: vbuzip10.dll"));
    }
    EXPECT_EQ(CurrentArchive(), zip);
    qint32 a = 0, b = 0, c = 0;
    double d = 0;
    QString e;
    EXPECT_THROW(zip->GetVersion(a, b, c, d, e), AppError);
    EXPECT_THROW(zip->Directory(), AppError);
}

} // namespace
