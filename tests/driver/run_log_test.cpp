#include <gtest/gtest.h>

#include <iostream>

#include "RunFixture.h"
#include "TmpfsMount.h"
#include "Version.h"
#include "core/Diagnostics.h"
#include "driver/RunLog.h"

namespace {

// Records the diagnostics while it lives; they still go to the run log and standard error.
class MessageCapture {
public:
    MessageCapture() {
        messages.clear();
        SetDiagnosticSink([this](const std::string& text) {
            messages.push_back(text);
            RunLog::note("warning", text);
            std::cerr << text << '\n';
        });
    }
    ~MessageCapture() { SetDiagnosticSink({}); }
    // The messages that hold `part`.
    Lines with(const std::string& part) const {
        Lines found;
        for (const std::string& message : messages)
            if (message.find(part) != std::string::npos)
                found.push_back(message);
        return found;
    }
    Lines messages;
};

// A run's block of the log: its header line, and its other lines without their time stamps.
struct Block {
    std::string header;
    Lines lines;
};

// Whether text begins with the shape: 'd' a digit, 's' a sign, any other character itself.
bool StartsWithShape(const std::string& text, std::string_view shape) {
    if (text.size() < shape.size())
        return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const char c = text[i];
        const bool fits = shape[i] == 'd'   ? c >= '0' && c <= '9'
                          : shape[i] == 's' ? c == '+' || c == '-'
                                            : c == shape[i];
        if (!fits)
            return false;
    }
    return true;
}

constexpr std::string_view kStamp = "dddd-dd-dd dd:dd:dd.ddd ";
constexpr std::string_view kHeaderStart = "=== dddd-dd-dd dd:dd:dd sdd:dd ";

// The blocks of a log; a line that is neither a header nor stamped fails the test.
std::vector<Block> Blocks(const std::string& log) {
    EXPECT_TRUE(log.empty() || log.ends_with('\n')) << "the last line is whole";
    std::vector<Block> blocks;
    for (const std::string& line : Split(log, '\n')) {
        if (line.empty())
            continue;
        if (line.starts_with("=== ")) {
            blocks.push_back(Block{line, {}});
            continue;
        }
        const bool stamped = StartsWithShape(line, kStamp);
        EXPECT_TRUE(stamped) << line;
        if (blocks.empty())
            blocks.push_back(Block{});
        // Every run without a publisher key says so; the cases here are not about signatures.
        const std::string text = stamped ? line.substr(kStamp.size()) : std::string();
        if (stamped && !text.starts_with("[warning] Update packages are not verified"))
            blocks.back().lines.push_back(text);
    }
    return blocks;
}

// Whether a header line is of this version's run with the command line (shown as given).
bool IsHeaderOf(const std::string& header, const std::string& shownCommandLine) {
    return StartsWithShape(header, kHeaderStart) &&
           header.substr(kHeaderStart.size()) ==
               "vorn-updater " VORN_UPDATER_VERSION ": " + shownCommandLine;
}

// A run of an earlier updater of exactly `bytes` bytes: its header, then stamped lines.
std::string OldRun(int number, std::size_t bytes) {
    std::string run =
        "=== 2026-01-01 00:00:00 +00:00 vorn-updater 1.0: old run " + std::to_string(number) + '\n';
    const std::string line = "2026-01-01 00:00:00.000 Downloading file a.zip...\n";
    while (run.size() + line.size() * 2 < bytes)
        run += line;
    return run + "2026-01-01 00:00:00.000 " + std::string(bytes - run.size() - 25, 'x') + '\n';
}

const std::string kCommandLine = "http://updates.test/v2/ 55";

} // namespace

TEST(RunLog, EachRunAppendsItsBlockWithStatusLinesAndDiagnostics) {
    MessageCapture capture;
    UpdaterRun run;
    run.folder.write("vbuzip10.dll", "engine");
    run.folder.write("../syslib", "a plain file where the system directory should be");
    run.start(kCommandLine);
    ASSERT_TRUE(run.finish());
    const Lines failed = run.lines();
    EXPECT_EQ(failed.back(), "ERROR: Unable to install vbuzip10.dll");

    std::filesystem::remove(FsPath(run.folder.system()));
    run.window.reset();
    run.start("http://updates.test/v2/\t 55");
    ASSERT_TRUE(run.finish());
    const Lines succeeded = run.lines();
    EXPECT_EQ(succeeded.back(), "Client update complete.");

    const std::vector<Block> blocks = Blocks(run.folder.read("updates/update.log"));
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_TRUE(IsHeaderOf(blocks[0].header, kCommandLine)) << blocks[0].header;
    EXPECT_TRUE(IsHeaderOf(blocks[1].header, "http://updates.test/v2/\\t 55"))
        << "control characters escaped: " << blocks[1].header;
    // The diagnostic between the status lines, marked; on its way to standard error as well.
    const Lines warnings = capture.with("Cannot install the engine library");
    ASSERT_EQ(warnings.size(), 1u);
    Lines firstRun = failed;
    firstRun.insert(firstRun.begin() + 1, "[warning] " + warnings[0]);
    EXPECT_EQ(blocks[0].lines, firstRun);
    EXPECT_EQ(blocks[1].lines, succeeded);
}

TEST(RunLog, OldestRunsAreDroppedAtTheSizeLimit) {
    const std::size_t limit = RunLog::kSizeLimit;
    const struct {
        const char* what;
        std::vector<std::size_t> runs; // sizes of the runs in the log, oldest first
        std::string tornEnd;           // a last line cut short by a kill
        std::vector<std::size_t> kept; // the runs still there (numbered from 1)
        bool keptLinesOfTheNewest;     // the newest run's last lines alone
    } cases[] = {
        {"under the limit: nothing dropped; a torn last line ended, not joined to the header",
         {limit / 4, limit / 2},
         "2026-01-01 00:00:00.000 Downloadi",
         {1, 2},
         false},
        {"at the limit: the newest runs that fit in half of it",
         {limit / 4, limit / 4, limit / 4, limit / 4},
         {},
         {3, 4},
         false},
        {"the newest run alone over half", {limit / 8, limit}, {}, {}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        UpdaterRun run;
        run.folder.write("vbuzip10.dll", "engine");
        std::string log;
        for (std::size_t number = 1; number <= c.runs.size(); ++number)
            log += OldRun(int(number), c.runs[number - 1]);
        run.folder.write("updates/update.log", log + c.tornEnd);
        run.start(kCommandLine);
        ASSERT_TRUE(run.finish());

        const std::string after = run.folder.read("updates/update.log");
        if (c.kept.size() == c.runs.size()) {
            EXPECT_TRUE(after.starts_with(log + c.tornEnd)) << "nothing dropped or changed";
        } else {
            EXPECT_LT(after.size(), limit / 2 + 4096);
        }
        std::vector<Block> blocks = Blocks(after);
        ASSERT_FALSE(blocks.empty());
        EXPECT_EQ(blocks.back().lines, run.lines()) << "the new run, whole";
        blocks.pop_back();
        Lines headers;
        for (const Block& block : blocks)
            headers.push_back(block.header);
        Lines expected;
        for (std::size_t number : c.kept)
            expected.push_back("=== 2026-01-01 00:00:00 +00:00 vorn-updater 1.0: old run " +
                               std::to_string(number));
        if (c.keptLinesOfTheNewest)
            expected.push_back("");
        EXPECT_EQ(headers, expected);
        if (!c.tornEnd.empty()) {
            EXPECT_NE(after.find(c.tornEnd + "\n=== "), std::string::npos)
                << "the new header on a line of its own";
        }
    }
}

TEST(RunLog, LogThatCannotBeWrittenIsSkippedWithOneDiagnostic) {
    const struct {
        const char* what;
        std::function<bool(ProgramFolder&, std::unique_ptr<TmpfsMount>&)> prepare;
    } cases[] = {
        {"update.log is a folder",
         [](ProgramFolder& folder, auto&) {
             fixtures::makeFolders(folder.program() + "/updates/update.log");
             return true;
         }},
        {"updates is a plain file",
         [](ProgramFolder& folder, auto&) {
             folder.write("updates", "not a folder");
             return true;
         }},
        {"updates is on a read-only file system",
         [](ProgramFolder& folder, std::unique_ptr<TmpfsMount>& disk) {
             fixtures::makeFolders(folder.program() + "/updates");
             disk = std::make_unique<TmpfsMount>(folder.program() + "/updates", "size=64k");
             return disk->mounted() && disk->remountReadOnly();
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MessageCapture capture;
        UpdaterRun run;
        std::unique_ptr<TmpfsMount> disk;
        run.folder.write("vbuzip10.dll", "engine");
        if (!c.prepare(run.folder, disk)) {
            std::cout << "skipped (" << c.what << "): " << (disk ? disk->error() : "") << '\n';
            continue;
        }
        run.start(kCommandLine);
        ASSERT_TRUE(run.finish());
        EXPECT_EQ(run.lines(), (Lines{"Preparing to update...", "Checking client conditions...",
                                      "Client update complete."}));
        EXPECT_EQ(run.outcomes, std::vector{RunOutcome::Succeeded});
        const Lines about = capture.with("run log");
        ASSERT_EQ(about.size(), 1u) << Join(capture.messages, "\n");
        EXPECT_NE(about[0].find("update.log cannot be written"), std::string::npos);
        run.window.reset();
    }
}

TEST(RunLog, PackageMayNotTakeTheLogsName) {
    UpdaterRun run;
    run.folder.write("vbuzip10.dll", "engine");
    run.serve("update.log", "package");
    run.start("http://updates.test/v2/ update.log 55");
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(run.lines().back(),
              "ERROR: Invalid update file name 'update.log': the run log has that name.");
    EXPECT_TRUE(run.service.requested.empty());
    EXPECT_EQ(Blocks(run.folder.read("updates/update.log")).size(), 1u);
}
