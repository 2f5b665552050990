#include <gtest/gtest.h>

#include <QMouseEvent>

#include "EngineHarness.h"
#include "QtPrinters.h"
#include "RunFixture.h"
#include "ZipFixtures.h"
#include "driver/modFunctions.h"

#include <sys/wait.h>
#include <unistd.h>

namespace {

const QStringList kCompleteRun = {
    "Preparing to update...",    "Downloading file a.zip...", "Download completed.",
    "Downloading file b.zip...", "Download completed.",       "Checking client conditions...",
    "Processing update data...", "Updating files...",         "Processing update data...",
    "Updating files...",         "Client update complete."};

void Click(QWidget* widget, Qt::MouseButton button = Qt::LeftButton) {
    const QPointF at(5, 5);
    QMouseEvent press(QEvent::MouseButtonPress, at, widget->mapToGlobal(at), button, button,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, widget->mapToGlobal(at), button,
                        Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &release);
}

bool SamePicture(const QPixmap& a, const QPixmap& b) {
    return a.cacheKey() == b.cacheKey();
}

} // namespace

TEST(UpdaterWindow, StateAfterLoad) {
    UpdaterRun run;
    run.start(QStringLiteral("http://updates.test/v2/ 0"));
    frmMain& w = *run.window;
    EXPECT_EQ(w.size(), QSize(386, 311));
    EXPECT_TRUE(w.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Vorn (Updater)"));
    EXPECT_TRUE(SamePicture(w.picClose->picture(), w.picCancel_up));
    EXPECT_TRUE(SamePicture(w.picUpdateInfo->picture(), w.picUpdateInfo_down));
    EXPECT_FALSE(w.shapeUpdateinfo->isHidden());
    EXPECT_TRUE(w.txtInfo->text().isEmpty());
    EXPECT_FALSE(w.finished());
    EXPECT_TRUE(w.startTimer().isActive());
    EXPECT_EQ(w.startTimer().interval(), 50);
    EXPECT_TRUE(w.baseURL().isEmpty()) << "the fields are filled by the run, not by the load";
    EXPECT_EQ(w.txtInfo->geometry(), QRect(16, 133, 352, 126));
    EXPECT_EQ(w.picClose->geometry(), QRect(308, 274, 62, 28));
    EXPECT_EQ(w.picUpdateInfo->geometry(), QRect(212, 274, 86, 28));
    for (const QPixmap* face : {&w.picCancel_up, &w.picCancel_down, &w.picClose_up,
                                &w.picClose_down, &w.picUpdateInfo_up, &w.picUpdateInfo_down})
        EXPECT_FALSE(face->isNull()) << "every face image is compiled in";
}

TEST(StatusLog, EveryMessageEndsWithCrLfAndTheCaretSitsBeforeTheLastLf) {
    UpdaterRun run;
    run.start(QStringLiteral("x 0"));
    Add_Status(QStringLiteral("one"));
    EXPECT_EQ(run.window->txtInfo->text(), QStringLiteral("one\r\n"));
    EXPECT_EQ(run.window->txtInfo->selStart(), 4);
    Add_Status(QString());
    Add_Status(QStringLiteral("two\r\nthree"));
    EXPECT_EQ(run.window->txtInfo->text(), QStringLiteral("one\r\n\r\ntwo\r\nthree\r\n"));
    EXPECT_EQ(run.window->txtInfo->selStart(), run.window->txtInfo->text().size() - 1);

    // A window that goes after a newer one was made leaves the newer one's log in place.
    UpdaterRun newer;
    newer.start(QStringLiteral("x 0"));
    run.window.reset();
    Add_Status(QStringLiteral("four"));
    EXPECT_EQ(newer.window->txtInfo->text(), QStringLiteral("four\r\n"));
}

TEST(UpdateRun, ZeroProcessIdStopsBeforeAnything) {
    for (const char* commandLine : {"http://updates.test/v2/ a.zip 0",
                                    "http://updates.test/v2/ a.zip x", "http://updates.test/v2/"}) {
        UpdaterRun run;
        run.serve("a.zip", "PK");
        run.start(QString::fromLatin1(commandLine));
        ASSERT_TRUE(run.finish());
        EXPECT_EQ(LogLines(*run.window),
                  (QStringList{"Preparing to update...",
                               "ERROR: Client process problem, unable to continue."}));
        EXPECT_TRUE(run.service.requested.isEmpty());
        EXPECT_EQ(run.outcomes, QList{RunOutcome::Failed});
        EXPECT_TRUE(SamePicture(run.window->picClose->picture(), run.window->picClose_up));
        EXPECT_FALSE(run.window->pgBar->isHidden()) << "progress display left as designed";
        EXPECT_FALSE(run.window->shapeUpdateinfo->isHidden());
    }
}

TEST(UpdateRun, EngineLibraryMissingEverywhere) {
    UpdaterRun run;
    run.start(QStringLiteral("http://updates.test/v2/ 77"));
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(LogLines(*run.window).last(), QStringLiteral("ERROR: Missing vbuzip10.dll"));
}

TEST(UpdateRun, EngineLibraryIsInstalledIntoTheSystemDirectoryOnce) {
    UpdaterRun first;
    first.folder.write("vbuzip10.dll", "engine v1");
    first.start(QStringLiteral("http://updates.test/v2/ 77"));
    ASSERT_TRUE(first.finish());
    EXPECT_EQ(LogLines(*first.window).last(), QStringLiteral("Client update complete."));
    QFile installed(first.folder.system() + "/vbuzip10.dll");
    ASSERT_TRUE(installed.open(QIODevice::ReadOnly));
    EXPECT_EQ(installed.readAll(), QByteArray("engine v1"));
    installed.close();

    // A later run finds it there and leaves it alone, even without the copy beside the updater.
    QFile::remove(first.folder.program() + "/vbuzip10.dll");
    first.window.reset();
    first.clientPolls = 0;
    first.start(QStringLiteral("http://updates.test/v2/ 77"));
    ASSERT_TRUE(first.finish());
    EXPECT_EQ(LogLines(*first.window).last(), QStringLiteral("Client update complete."));
}

TEST(UpdateRun, EngineLibraryThatCannotBeInstalledEndsTheRun) {
    UpdaterRun run;
    run.folder.write("vbuzip10.dll", "engine");
    QFile blocker(run.folder.system());
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly)); // a plain file where the folder should be
    blocker.close();
    run.start(QStringLiteral("http://updates.test/v2/ 77"));
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(LogLines(*run.window).last(),
              QStringLiteral("ERROR: Unable to install vbuzip10.dll"));
}

TEST(UpdateRun, NoPackagesGoesStraightToTheClientWait) {
    UpdaterRun run;
    run.folder.write("vbuzip10.dll", "engine");
    run.folder.write("versions.txt", "1.1\r\n\r\n");
    run.clientRunningFor = 3;
    run.start(QStringLiteral("http://updates.test/v2/ 2000000000"));
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(LogLines(*run.window),
              (QStringList{"Preparing to update...", "Checking client conditions...",
                           "Client update complete."}));
    EXPECT_EQ(run.clientPolls, 4) << "polled until the client was gone";
    EXPECT_TRUE(run.window->updateInfoAvailable()) << "notes left by an earlier update count";
    EXPECT_TRUE(SamePicture(run.window->picUpdateInfo->picture(), run.window->picUpdateInfo_up));
}

TEST(UpdateRun, SecondOfThreeDownloadsFailing) {
    UpdaterRun run;
    // a.zip is prepared while b.zip downloads: it must be preparable, or the run's end would
    // depend on which thread is first.
    run.folder.installEngine();
    run.serveZip("a.zip", {fixtures::ZipEntry::file("a.txt", "from a")});
    run.serve("b.zip", "package b, cut", 1000);
    run.serve("c.zip", "package c");
    run.start(QStringLiteral("http://updates.test/v2/ a.zip b.zip c.zip 55"));
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(LogLines(*run.window),
              (QStringList{"Preparing to update...", "Downloading file a.zip...",
                           "Download completed.", "Downloading file b.zip...", "Connection lost"}));
    EXPECT_EQ(run.service.requested,
              (QStringList{"http://updates.test/v2/a.zip", "http://updates.test/v2/b.zip"}));
    EXPECT_EQ(run.folder.read("updates/a.zip"),
              run.service.replies["http://updates.test/v2/a.zip"].body);
    EXPECT_FALSE(QFile::exists(run.folder.program() + "/updates/b.zip"));
    EXPECT_EQ(run.engineFiles(), QStringList()) << "what was prepared is removed";
    EXPECT_TRUE(run.window->pgBar->isHidden());
    EXPECT_TRUE(run.window->lblFileProg->isHidden());
    EXPECT_EQ(run.clientPolls, 0) << "nothing after a failed download";
    EXPECT_TRUE(SamePicture(run.window->picClose->picture(), run.window->picClose_up));
}

TEST(UpdateRun, NoConnectionAndUnstartableRead) {
    UpdaterRun run;
    run.folder.write("vbuzip10.dll", "engine");
    run.start(QStringLiteral("http://updates.test/v2/ a.zip 55"));
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(LogLines(*run.window).last(), QStringLiteral("Couldn't connect"));

    UpdaterRun refused;
    refused.folder.write("vbuzip10.dll", "engine");
    refused.service.failToStart = true;
    refused.start(QStringLiteral("http://updates.test/v2/ a.zip 55"));
    ASSERT_TRUE(refused.finish());
    EXPECT_TRUE(LogLines(*refused.window).last().startsWith("ERROR: ")) << "an unforeseen error";
    EXPECT_TRUE(SamePicture(refused.window->picClose->picture(), refused.window->picClose_up));
}

TEST(UpdateRun, PackageMissingAfterADownloadReportedComplete) {
    UpdaterRun run;
    run.folder.write("vbuzip10.dll", "engine");
    run.folder.write("updates", "a plain file where the folder should be");
    run.serve("a.zip", "package a");
    run.serve("b.zip", "package b");
    run.start(QStringLiteral("http://updates.test/v2/ a.zip b.zip 55"));
    ASSERT_TRUE(run.finish());
    const QStringList lines = LogLines(*run.window);
    EXPECT_EQ(lines.mid(1, 4), (QStringList{"Downloading file a.zip...", "Download completed.",
                                            "Downloading file b.zip...", "Download completed."}));
    EXPECT_EQ(lines.last(), QStringLiteral("ERROR: Update file 'a.zip' not found."))
        << "the first missing package is the one reported";
}

TEST(UpdateRun, NameThatIsNoPlainFileNameEndsTheRunBeforeAnything) {
    const struct {
        QString name, shown;
    } cases[] = {
        {"../x.zip", "../x.zip"},
        {"a/../../x.zip", "a/../../x.zip"},
        {"/etc/passwd", "/etc/passwd"},
        {"..", ".."},
        {".", "."},
        {"..\\x.zip", "..\\x.zip"},
        {"a\tb.zip", "a\\tb.zip"},
        {QStringLiteral("a%1.zip").arg(QChar(0)), "a\\x00.zip"},
        {"", ""},
        {QString(256, QLatin1Char('n')), QString(256, QLatin1Char('n'))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown.toStdString());
        UpdaterRun run;
        run.folder.write("vbuzip10.dll", "engine");
        run.folder.write("x.zip", "a file of the installation");
        run.serve("a.zip", "package a");
        run.serve(c.name, "package");
        // The run log is written, and it alone.
        const QStringList runLog{"updates", "updates/update.log"};
        const auto before = run.folder.snapshot(runLog);
        run.start(QStringLiteral("http://updates.test/v2/ a.zip ") + c.name + " 55");
        ASSERT_TRUE(run.finish());
        EXPECT_EQ(LogLines(*run.window),
                  (QStringList{"Preparing to update...",
                               "ERROR: Invalid update file name '" + c.shown + "'."}));
        EXPECT_TRUE(run.service.requested.isEmpty());
        EXPECT_EQ(run.folder.snapshot(runLog), before) << "no lock, no engine copy, no download";
        EXPECT_TRUE(SamePicture(run.window->picClose->picture(), run.window->picClose_up));
    }
}

TEST(UpdateRun, SameNameTwiceIsDownloadedTwiceAndStalePackagesAreReplaced) {
    UpdaterRun run;
    run.folder.installEngine();
    run.folder.write("updates/a.zip", "stale package from an earlier run");
    run.serveZip("a.zip", {fixtures::ZipEntry::file("a.txt", "fresh")});
    run.start(QStringLiteral("http://updates.test/v2/ a.zip a.zip 55"));
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(run.service.requested.size(), 2);
    EXPECT_EQ(LogLines(*run.window).last(), "Client update complete.");
    EXPECT_EQ(run.folder.read("a.txt"), QByteArray("fresh"));
}

TEST(UpdateRun, UpdatesFolderInAnotherLetterCaseCountsAsPresent) {
    // The folder lookup ignores letter case, as on the client's home system; on a case-sensitive
    // file system the package then has nowhere to go, and the check says so.
    UpdaterRun run;
    run.folder.write("vbuzip10.dll", "engine");
    QDir(run.folder.program()).mkdir("UPDATES");
    run.serve("a.zip", "package a");
    run.start(QStringLiteral("http://updates.test/v2/ a.zip 55"));
    ASSERT_TRUE(run.finish());
    EXPECT_FALSE(QFileInfo::exists(run.folder.program() + "/updates"));
    EXPECT_EQ(LogLines(*run.window).last(),
              QStringLiteral("ERROR: Update file 'a.zip' not found."));
}

TEST(Buttons, FacesFollowPressAndReleaseForAnyMouseButton) {
    UpdaterRun run;
    run.start(QStringLiteral("http://updates.test/v2/ 0"));
    frmMain& w = *run.window;
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(3, 3), QPointF(3, 3), Qt::RightButton,
                      Qt::RightButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w.picClose, &press);
    EXPECT_TRUE(SamePicture(w.picClose->picture(), w.picCancel_down));
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(3, 3), QPointF(3, 3), Qt::RightButton,
                        Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w.picClose, &release);
    EXPECT_TRUE(SamePicture(w.picClose->picture(), w.picCancel_up));
    EXPECT_FALSE(run.terminated) << "only a left click is a click";

    // The update-info button is inert while covered.
    Click(w.picUpdateInfo);
    EXPECT_TRUE(SamePicture(w.picUpdateInfo->picture(), w.picUpdateInfo_down));
    EXPECT_TRUE(w.versionInfoWindow().isNull());

    ASSERT_TRUE(run.finish());
    QCoreApplication::sendEvent(w.picClose, &press);
    EXPECT_TRUE(SamePicture(w.picClose->picture(), w.picClose_down));
    QCoreApplication::sendEvent(w.picClose, &release);
    EXPECT_TRUE(SamePicture(w.picClose->picture(), w.picClose_up));
}

TEST(Buttons, CloseDuringTheRunEndsWithoutStartingTheClient) {
    UpdaterRun run;
    run.folder.write("vbuzip10.dll", "engine");
    run.clientRunningFor = 1 << 30; // the client never ends
    run.start(QStringLiteral("http://updates.test/v2/ 2000000000"));
    // The run waits inside the event loop, so the click comes from there too.
    QTimer user;
    user.setInterval(10);
    QObject::connect(&user, &QTimer::timeout, [&] {
        if (run.clientPolls > 2 && !run.terminated) {
            Click(run.window->picClose);
            EXPECT_TRUE(run.terminated);
            EXPECT_TRUE(run.clientsStarted.isEmpty());
            run.clientRunningFor = 0; // let the run end so that the test can go on
        }
    });
    user.start();
    ASSERT_TRUE(run.finish());
    EXPECT_TRUE(run.terminated);
}

TEST(Buttons, CloseStartsTheClientOnlyAfterSuccessWithNotes) {
    UpdaterRun withNotes;
    withNotes.folder.write("vbuzip10.dll", "engine");
    withNotes.folder.write("versions.txt", "1.1\r\n");
    withNotes.start(QStringLiteral("http://updates.test/v2/ 55"));
    ASSERT_TRUE(withNotes.finish());
    Click(withNotes.window->picClose);
    EXPECT_TRUE(withNotes.terminated);
    EXPECT_EQ(withNotes.clientsStarted, QStringList{withNotes.folder.program()});

    UpdaterRun withoutNotes;
    withoutNotes.folder.write("vbuzip10.dll", "engine");
    withoutNotes.start(QStringLiteral("http://updates.test/v2/ 55"));
    ASSERT_TRUE(withoutNotes.finish());
    Click(withoutNotes.window->picClose);
    EXPECT_TRUE(withoutNotes.terminated);
    EXPECT_TRUE(withoutNotes.clientsStarted.isEmpty());

    UpdaterRun failed;
    failed.folder.write("versions.txt", "1.1\r\n");
    failed.start(QStringLiteral("http://updates.test/v2/ 55")); // no engine library: fails
    ASSERT_TRUE(failed.finish());
    Click(failed.window->picClose);
    EXPECT_TRUE(failed.terminated);
    EXPECT_TRUE(failed.clientsStarted.isEmpty());
}

TEST(UpdateRun, RunsExactlyOnce) {
    UpdaterRun run;
    run.folder.write("vbuzip10.dll", "engine");
    run.clientRunningFor = 5; // keeps the run waiting across would-be ticks
    run.start(QStringLiteral("http://updates.test/v2/ 2000000000"));
    ASSERT_TRUE(run.finish());
    RunUntil([] { return false; }, 200);
    EXPECT_EQ(LogLines(*run.window).count(QStringLiteral("Preparing to update...")), 1);
    EXPECT_EQ(run.outcomes, QList{RunOutcome::Succeeded}) << "announced once";
    EXPECT_FALSE(run.window->startTimer().isActive());
}

TEST(UpdateRun, PackagesArePreparedWhileTheClientRunsAndInstalledTogetherAfterIt) {
    UpdaterRun run;
    run.folder.write("kept.txt", "installed");
    run.serveTwoPackages({fixtures::ZipEntry::file("shared.txt", "from b")});
    const auto installed = run.installation();
    run.clientRunningFor = 2;
    int polls = 0;
    run.onClientPoll = [&] {
        // Prepared: staged beside the targets, nothing installed replaced, no line of its own.
        ++polls;
        EXPECT_EQ(run.folder.read("shared.txt"), QByteArray("installed"));
        EXPECT_FALSE(run.engineFiles().isEmpty());
        EXPECT_EQ(LogLines(*run.window), kCompleteRun.mid(0, 6));
        EXPECT_EQ(run.window->pgBar->value(), 100) << "the bar shows the bytes prepared";
    };
    run.start(QStringLiteral("http://updates.test/v2/ a.zip b.zip 55"));
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(polls, 2);
    EXPECT_EQ(LogLines(*run.window), kCompleteRun);
    EXPECT_EQ(run.folder.read("shared.txt"), QByteArray("from b")) << "the later package wins";
    EXPECT_EQ(run.folder.read("data/a.txt"), QByteArray("from a"));
    EXPECT_EQ(run.folder.read("kept.txt"), QByteArray("installed"));
    EXPECT_EQ(run.engineFiles(), QStringList());
    EXPECT_NE(run.installation(), installed);
}

TEST(UpdateRun, ProgressOfAFastDownloadIsDrawnAtItsOwnPaceAndAlwaysToTheEnd) {
    UpdaterRun run;
    run.serveTwoPackages({fixtures::ZipEntry::file("b.txt", std::string(5000, 'b'))});
    for (auto& [address, reply] : run.service.replies)
        reply.progressSteps = 50; // in one burst
    QStringList drawnAtTheEnd;
    run.start(QStringLiteral("http://updates.test/v2/ a.zip b.zip 55"));
    QObject::connect(&run.service, &AsyncReadService::readComplete,
                     [&] { drawnAtTheEnd.append(run.window->lblFileProg->text()); });
    ASSERT_TRUE(run.finish());
    ASSERT_EQ(drawnAtTheEnd.size(), 2);
    for (const QString& drawn : drawnAtTheEnd) // "x KB / x KB"
        EXPECT_EQ(drawn.section(" / ", 0, 0), drawn.section(" / ", 1, 1)) << drawn.toStdString();
}

TEST(UpdateRun, EachPackageIsPreparedWhileTheNextDownloadsAndTheWindowIsServedMeanwhile) {
    UpdaterRun run;
    run.serveTwoPackages({fixtures::ZipEntry::file("big", std::string(48 << 20, 'x'))});
    // b.zip arrives only once a.zip is staged: without the overlap the run would never end.
    run.service.replies["http://updates.test/v2/b.zip"].ready = [&] {
        return !run.engineFiles().isEmpty();
    };
    // The window's timers keep running while b.zip's one large entry is staged.
    int ticksWhilePreparing = 0;
    QTimer ticker;
    ticker.setInterval(5);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (run.window && LogLines(*run.window).size() == 5) // b.zip arrived, client not checked
            ++ticksWhilePreparing;
    });
    ticker.start();
    run.start(QStringLiteral("http://updates.test/v2/ a.zip b.zip 55"));
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(LogLines(*run.window), kCompleteRun);
    EXPECT_EQ(run.folder.read("big").size(), 48 << 20);
    EXPECT_GE(ticksWhilePreparing, 3);
}

TEST(UpdateRun, PackageThatCannotBePreparedEndsTheRunAtOnceWithNothingInstalled) {
    const struct {
        const char* label;
        std::vector<fixtures::ZipEntry> b;
        std::function<void(const std::string&)> damage;
    } cases[] = {
        {"damaged data",
         {fixtures::ZipEntry::file("shared.txt", "from b"),
          fixtures::ZipEntry::file("tool", std::string(4000, 'x'))},
         [](const std::string& zip) {
             fixtures::flipByte(zip, fixtures::dataOffset(zip, "tool") + 10);
         }},
        {"a name the engine keeps for itself", {fixtures::ZipEntry::folder(".vbuzip-attr/")}, {}},
        {"a file where the first package needs a folder",
         {fixtures::ZipEntry::file("data", "file")},
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        UpdaterRun run;
        run.folder.write("tool", "old tool");
        run.serveTwoPackages(c.b, c.damage);
        const auto installed = run.installation();
        run.clientRunningFor = 1000; // never gone: the failure cannot wait for the client
        run.start(QStringLiteral("http://updates.test/v2/ a.zip b.zip 55"));
        ASSERT_TRUE(run.finish());
        EXPECT_EQ(LogLines(*run.window),
                  kCompleteRun.mid(0, 5) +
                      QStringList{"ERROR: Update file 'b.zip' could not be extracted."});
        EXPECT_EQ(run.clientPolls, 0);
        EXPECT_EQ(run.installation(), installed) << "byte for byte as it was";
        EXPECT_TRUE(run.window->pgBar->isHidden());
    }
}

TEST(UpdateRun, AnUnfinishedUpdateIsRemovedBeforeTheDownloadsWithOneLine) {
    UpdaterRun run;
    run.folder.installEngine();
    run.folder.write("shared.txt", "installed");
    const std::string zip = (run.folder.root.path() + "/old.zip").toStdString();
    fixtures::buildZip(zip, {fixtures::ZipEntry::file("shared.txt", "never installed"),
                             fixtures::ZipEntry::file("new/file.txt", "never installed")});
    const auto installed = run.installation();
    // An earlier updater prepared this update and was killed before its commit.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        fixtures::Engine engine;
        UnzipUpdate* update = nullptr;
        fixtures::EngineRun stage;
        stage.archive = zip;
        _exit(engine.begin(run.folder.program().toStdString(), &update) == UZ_OK &&
                      engine.stage(update, stage) == UZ_OK
                  ? 0
                  : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    ASSERT_FALSE(run.engineFiles().isEmpty());

    run.serveZip("a.zip", {fixtures::ZipEntry::file("a.txt", "a")});
    run.start(QStringLiteral("http://updates.test/v2/ a.zip 55"));
    ASSERT_TRUE(run.finish());
    const QStringList lines = LogLines(*run.window);
    EXPECT_EQ(lines.mid(0, 3),
              (QStringList{"Preparing to update...", "Removed an unfinished update.",
                           "Downloading file a.zip..."}));
    EXPECT_EQ(lines.last(), "Client update complete.");
    EXPECT_EQ(run.folder.read("shared.txt"), QByteArray("installed"));
    EXPECT_FALSE(QFile::exists(run.folder.program() + "/new"));
    EXPECT_EQ(run.engineFiles(), QStringList());
}
