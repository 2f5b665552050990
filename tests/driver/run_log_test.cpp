// The run log across runs: one block per run, the oldest runs dropped at the size limit, and a log
// that cannot be written never in the way of an update.
#include <gtest/gtest.h>

#include <QRegularExpression>
#include <iostream>

#include "QtPrinters.h"
#include "RunFixture.h"
#include "TmpfsMount.h"
#include "Version.h"
#include "driver/RunLog.h"

namespace {

// Records Qt's messages while it lives, and hands them on to the handler before it.
class MessageCapture {
public:
    MessageCapture() {
        messages.clear();
        s_previous = qInstallMessageHandler(&MessageCapture::handle);
    }
    ~MessageCapture() { qInstallMessageHandler(s_previous); }
    static inline QStringList messages;

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& text) {
        messages.append(text);
        s_previous(type, context, text);
    }
    static inline QtMessageHandler s_previous = nullptr;
};

// A run's block of the log: its header line, and its other lines without their time stamps.
struct Block {
    QString header;
    QStringList lines;
};

// The blocks of a log; a line that is neither a header nor stamped fails the test.
QList<Block> Blocks(const QByteArray& log) {
    static const QRegularExpression stamped(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} (.*)$"));
    EXPECT_TRUE(log.isEmpty() || log.endsWith('\n')) << "the last line is whole";
    QList<Block> blocks;
    for (const QString& line :
         QString::fromUtf8(log).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (line.startsWith(QStringLiteral("=== "))) {
            blocks.append(Block{line, {}});
            continue;
        }
        const QRegularExpressionMatch match = stamped.match(line);
        EXPECT_TRUE(match.hasMatch()) << line.toStdString();
        if (blocks.isEmpty())
            blocks.append(Block{});
        // Every run without a publisher key says so; the cases here are not about signatures.
        if (!match.captured(1).startsWith(
                QStringLiteral("[warning] Update packages are not verified")))
            blocks.last().lines.append(match.captured(1));
    }
    return blocks;
}

QString HeaderPattern(const QString& commandLine) {
    return QStringLiteral("^=== \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d [+-]\\d\\d:\\d\\d "
                          "vorn-updater " VORN_UPDATER_VERSION ": ") +
           QRegularExpression::escape(commandLine) + QLatin1Char('$');
}

// A run of an earlier updater of exactly `bytes` bytes: its header, then stamped lines.
QByteArray OldRun(int number, qsizetype bytes) {
    QByteArray run = "=== 2026-01-01 00:00:00 +00:00 vorn-updater 1.0: old run " +
                     QByteArray::number(number) + '\n';
    const QByteArray line = "2026-01-01 00:00:00.000 Downloading file a.zip...\n";
    while (run.size() + line.size() * 2 < bytes)
        run += line;
    return run + "2026-01-01 00:00:00.000 " + QByteArray(bytes - run.size() - 25, 'x') + '\n';
}

const QString kCommandLine = QStringLiteral("http://updates.test/v2/ 55");

} // namespace

TEST(RunLog, EachRunAppendsItsBlockWithStatusLinesAndDiagnostics) {
    MessageCapture capture;
    UpdaterRun run;
    run.folder.write("vbuzip10.dll", "engine");
    run.folder.write("../syslib", "a plain file where the system directory should be");
    run.start(kCommandLine);
    ASSERT_TRUE(run.finish());
    const QStringList failed = LogLines(*run.window);
    EXPECT_EQ(failed.last(), QStringLiteral("ERROR: Unable to install vbuzip10.dll"));

    QFile::remove(run.folder.system());
    run.window.reset();
    run.start(QStringLiteral("http://updates.test/v2/\t 55"));
    ASSERT_TRUE(run.finish());
    const QStringList succeeded = LogLines(*run.window);
    EXPECT_EQ(succeeded.last(), QStringLiteral("Client update complete."));

    const QList<Block> blocks = Blocks(run.folder.read("updates/update.log"));
    ASSERT_EQ(blocks.size(), 2);
    EXPECT_TRUE(QRegularExpression(HeaderPattern(kCommandLine)).match(blocks[0].header).hasMatch())
        << blocks[0].header.toStdString();
    EXPECT_TRUE(QRegularExpression(HeaderPattern("http://updates.test/v2/\\t 55"))
                    .match(blocks[1].header)
                    .hasMatch())
        << "control characters escaped: " << blocks[1].header.toStdString();
    // The diagnostic between the status lines, marked; on its way to standard error as well.
    const QStringList warnings = capture.messages.filter("Cannot install the engine library");
    ASSERT_EQ(warnings.size(), 1);
    QStringList firstRun = failed;
    firstRun.insert(1, QStringLiteral("[warning] ") + warnings[0]);
    EXPECT_EQ(blocks[0].lines, firstRun);
    EXPECT_EQ(blocks[1].lines, succeeded);
}

TEST(RunLog, OldestRunsAreDroppedAtTheSizeLimit) {
    const qsizetype limit = RunLog::kSizeLimit;
    const struct {
        const char* what;
        QList<qsizetype> runs;     // sizes of the runs in the log, oldest first
        QByteArray tornEnd;        // a last line cut short by a kill
        QList<int> kept;           // the runs still there (numbered from 1)
        bool keptLinesOfTheNewest; // the newest run's last lines alone
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
        QByteArray log;
        for (int number = 1; number <= c.runs.size(); ++number)
            log += OldRun(number, c.runs[number - 1]);
        run.folder.write("updates/update.log", log + c.tornEnd);
        run.start(kCommandLine);
        ASSERT_TRUE(run.finish());

        const QByteArray after = run.folder.read("updates/update.log");
        if (c.kept.size() == c.runs.size()) {
            EXPECT_TRUE(after.startsWith(log + c.tornEnd)) << "nothing dropped or changed";
        } else {
            EXPECT_LT(after.size(), limit / 2 + 4096);
        }
        QList<Block> blocks = Blocks(after);
        ASSERT_FALSE(blocks.isEmpty());
        EXPECT_EQ(blocks.takeLast().lines, LogLines(*run.window)) << "the new run, whole";
        QStringList headers;
        for (const Block& block : blocks)
            headers.append(block.header);
        QStringList expected;
        for (int number : c.kept)
            expected.append(QStringLiteral("=== 2026-01-01 00:00:00 +00:00 vorn-updater 1.0: "
                                           "old run %1")
                                .arg(number));
        if (c.keptLinesOfTheNewest)
            expected.append(QString());
        EXPECT_EQ(headers, expected);
        if (!c.tornEnd.isEmpty()) {
            EXPECT_TRUE(after.contains(c.tornEnd + "\n=== "))
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
             return QDir().mkpath(folder.program() + "/updates/update.log");
         }},
        {"updates is a plain file",
         [](ProgramFolder& folder, auto&) {
             folder.write("updates", "not a folder");
             return true;
         }},
        {"updates is on a read-only file system",
         [](ProgramFolder& folder, std::unique_ptr<TmpfsMount>& disk) {
             QDir().mkpath(folder.program() + "/updates");
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
            std::cout << "skipped (" << c.what << "): " << (disk ? disk->error().toStdString() : "")
                      << '\n';
            continue;
        }
        run.start(kCommandLine);
        ASSERT_TRUE(run.finish());
        EXPECT_EQ(LogLines(*run.window),
                  (QStringList{"Preparing to update...", "Checking client conditions...",
                               "Client update complete."}));
        EXPECT_EQ(run.outcomes, QList{RunOutcome::Succeeded});
        EXPECT_EQ(capture.messages.filter("run log").size(), 1)
            << capture.messages.join('\n').toStdString();
        EXPECT_TRUE(capture.messages.filter("run log")[0].contains("update.log cannot be written"));
        run.window.reset();
    }
}

TEST(RunLog, PackageMayNotTakeTheLogsName) {
    UpdaterRun run;
    run.folder.write("vbuzip10.dll", "engine");
    run.serve("update.log", "package");
    run.start(QStringLiteral("http://updates.test/v2/ update.log 55"));
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(LogLines(*run.window).last(),
              QStringLiteral("ERROR: Invalid update file name 'update.log': the run log has that "
                             "name."));
    EXPECT_TRUE(run.service.requested.isEmpty());
    EXPECT_EQ(Blocks(run.folder.read("updates/update.log")).size(), 1);
}
