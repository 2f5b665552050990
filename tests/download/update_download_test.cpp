// The main window's download handling: starting a package download, the progress display and the
// judgement of its end.
#include <filesystem>
#include <gtest/gtest.h>

#include "DownloadTestSupport.h"
#include "FakeView.h"
#include "TestFiles.h"
#include "download/DL.h"
#include "download/UpdateDownload.h"
#include "driver/DownloadProgress.h"

using Names = std::vector<std::string>;

TEST(ProgressNumberTest, PlainDecimalWithFifteenDigits) {
    const std::pair<double, const char*> cases[] = {{1.536, "1.536"},
                                                    {2048, "2048"},
                                                    {0.999, "0.999"},
                                                    {1, "1"},
                                                    {0, "0"},
                                                    {0.0000001, "0.0000001"},
                                                    {1e20, "100000000000000000000"},
                                                    {1234567890.123456789, "1234567890.12346"},
                                                    {9223372036854775.807, "9223372036854780"},
                                                    {1099511627.776, "1099511627.776"}};
    for (const auto& [x, text] : cases)
        EXPECT_EQ(ProgressNumber(x, "."), text) << x;
    // The user's locale's separator (German: a comma).
    EXPECT_EQ(ProgressNumber(1.536, ","), "1,536");
    EXPECT_EQ(ProgressNumber(123456.5, ","), "123456,5"); // no grouping
}

TEST(ProgressDisplayTest, BarAndLabel) {
    FakeView view;
    struct Case {
        std::int64_t downloaded, total;
        double bar;
        const char* label;
    } cases[] = {
        {512, 2048, 25, "0.512 KB / 2.048 KB"},
        {1000, 1000, 100, "1 KB / 1 KB"},
        {1234567, 5000000, double(24.69134f), "1234.567 KB / 5000 KB"},
        {3'000'000'000LL, 6'000'000'000LL, 50, "3000000 KB / 6000000 KB"},
        // More than announced: the window's bar stops at 100 itself.
        {5'000'000'000LL, 4'000'000'000LL, 125, "5000000 KB / 4000000 KB"},
    };
    for (const Case& c : cases) {
        DL_Progress(view, c.downloaded, c.total);
        EXPECT_DOUBLE_EQ(view.progressValue, c.bar) << c.downloaded;
        EXPECT_EQ(view.progressText, c.label);
    }
    // Nothing arrived: nothing changes. No size known: the bar stays, the label shows the bytes.
    view.progressValue = 40;
    view.progressText = "before";
    DL_Progress(view, 0, 2048);
    EXPECT_EQ(view.progressText, "before");
    DL_Progress(view, 1536, 0);
    EXPECT_EQ(view.progressValue, 40);
    EXPECT_EQ(view.progressText, "1.536 KB");
}

TEST(CompletionTest, LinesAndFlags) {
    DownloadFlags flags;
    EXPECT_FALSE(flags.downloading);
    EXPECT_FALSE(flags.downloadFailed);
    struct Case {
        std::int64_t downloaded, total;
        const char* line; // nullptr: no line
        bool downloading, failed;
    } cases[] = {{2048, 2048, "Download completed.", false, false},
                 {0, 0, "Couldn't connect", true, true},
                 {0, 2048, "Couldn't connect", true, true},
                 {1000, 2048, "Connection lost", true, true},
                 {3000, 2048, "Connection lost", true, true},
                 {1000, 0, "Connection lost", true, true},
                 {5'000'000'000LL, 5'000'000'000LL, "Download completed.", false, false},
                 {-1, -1, nullptr, true, false}};
    // A download that is not shown (a package's signature) has no success line, only failures.
    for (const bool shown : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message()
                         << c.downloaded << " of " << c.total << ", shown " << shown);
            flags = {true, false, shown};
            Names log;
            DL_Completed(
                flags, [&](const std::string& line) { log.push_back(line); }, c.downloaded,
                c.total);
            const bool line = c.line && (shown || c.failed);
            EXPECT_EQ(log, line ? Names{c.line} : Names{});
            EXPECT_EQ(flags.downloading, c.downloading);
            EXPECT_EQ(flags.downloadFailed, c.failed);
        }
    }
}

TEST(DownloadFileTest, UpdatesFolderAndAddresses) {
    fixtures::TempDir program;
    FakeReadService service;
    DL dl(service);
    Download_File(dl, program.path(), "http://host/pkgs/", "a.zip");
    EXPECT_TRUE(std::filesystem::is_directory(FsPath(program / "updates")));
    EXPECT_EQ(dl.currentfile(), "a.zip");
    ASSERT_EQ(service.starts.size(), 1u);
    EXPECT_EQ(service.starts[0].address, "http://host/pkgs/a.zip");
    EXPECT_EQ(service.starts[0].tag, "Id");
    service.complete(0, 0, "Id", {});

    Download_File(dl, program.path(), "http://host/pkgs", "b.zip"); // glued, nothing between
    EXPECT_EQ(service.starts[1].address, "http://host/pkgsb.zip");
    service.complete(0, 0, "Id", {});

    // An entry named updates in other letter case, or a plain file, counts as present.
    for (const char* kind : {"folder", "file"}) {
        SCOPED_TRACE(kind);
        fixtures::TempDir other;
        if (std::string(kind) == "folder")
            fixtures::makeFolders(other / "UPDATES");
        else
            fixtures::writeFile(other / "updates", "not a folder");
        Download_File(dl, other.path(), "http://host/", "c.zip");
        EXPECT_EQ(entries(other.path()).size(), 1u);
        EXPECT_EQ(service.starts.size(), kind[1] == 'o' ? 3u : 4u);
        service.complete(0, 0, "Id", {});
    }

    try {
        Download_File(dl, program / "missing", "http://host/", "d.zip");
        ADD_FAILURE() << "no error for a missing program folder";
    } catch (const AppError& error) {
        EXPECT_EQ(error.number(), AppError::PathNotFound);
    }
    EXPECT_EQ(service.starts.size(), 4u);
}

TEST(DownloadFileTest, DestinationIsAlwaysAFileOfTheUpdatesFolder) {
    fixtures::TempDir program;
    FakeReadService service;
    DL dl(service);
    for (const char* name :
         {"../x.zip", "a/../../x.zip", "/etc/passwd", "sub/a.zip", "..", ".", ""}) {
        SCOPED_TRACE(name);
        try {
            Download_File(dl, program.path(), "http://host/", name);
            ADD_FAILURE() << "no error";
        } catch (const AppError& error) {
            EXPECT_EQ(error.number(), AppError::BadFileName);
        }
    }
    EXPECT_TRUE(service.starts.empty());
    EXPECT_TRUE(entries(program.path()).empty()) << "not even the updates folder";
}
