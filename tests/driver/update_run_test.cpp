#include <gtest/gtest.h>

#include "EngineHarness.h"
#include "RunFixture.h"
#include "ZipFixtures.h"
#include "driver/modFunctions.h"

#include <sys/wait.h>
#include <unistd.h>

namespace {

const Lines kCompleteRun = {
    "Preparing to update...",    "Downloading file a.zip...", "Download completed.",
    "Downloading file b.zip...", "Download completed.",       "Checking client conditions...",
    "Processing update data...", "Updating files...",         "Processing update data...",
    "Updating files...",         "Client update complete."};

} // namespace

TEST(UpdaterWindow, StateAfterLoad) {
    UpdaterRun run;
    run.start("http://updates.test/v2/ 0");
    frmMain& w = *run.window;
    EXPECT_EQ(run.view.closeFace, UpdaterView::CloseFace::Cancel);
    EXPECT_TRUE(run.view.updateInfoCovered);
    EXPECT_TRUE(run.view.statusText.empty());
    EXPECT_FALSE(w.finished());
    EXPECT_TRUE(w.startTimerActive());
    EXPECT_EQ(frmMain::kStartInterval, std::chrono::milliseconds(50));
    EXPECT_TRUE(w.baseURL().empty()) << "the fields are filled by the run, not by the load";
}

TEST(StatusLog, EveryMessageEndsWithCrLfAndTheCaretSitsBeforeTheLastLf) {
    UpdaterRun run;
    run.start(("x 0"));
    Add_Status(("one"));
    EXPECT_EQ(run.view.statusText, "one\r\n");
    Add_Status("");
    Add_Status(("two\r\nthree"));
    EXPECT_EQ(run.view.statusText, "one\r\n\r\ntwo\r\nthree\r\n");

    // A window that goes after a newer one was made leaves the newer one's log in place.
    UpdaterRun newer;
    newer.start(("x 0"));
    run.window.reset();
    Add_Status(("four"));
    EXPECT_EQ(newer.view.statusText, "four\r\n");
}

TEST(UpdateRun, ZeroProcessIdStopsBeforeAnything) {
    for (const char* commandLine : {"http://updates.test/v2/ a.zip 0",
                                    "http://updates.test/v2/ a.zip x", "http://updates.test/v2/"}) {
        UpdaterRun run;
        run.serve("a.zip", "PK");
        run.start(commandLine);
        ASSERT_TRUE(run.finish());
        EXPECT_EQ(run.lines(), (Lines{"Preparing to update...",
                                      "ERROR: Client process problem, unable to continue."}));
        EXPECT_TRUE(run.service.requested.empty());
        EXPECT_EQ(run.outcomes, std::vector{RunOutcome::Failed});
        EXPECT_EQ(run.view.closeFace, UpdaterView::CloseFace::Close);
        EXPECT_FALSE(run.view.progressShown) << "progress display left as designed";
        EXPECT_TRUE(run.view.updateInfoCovered);
    }
}

TEST(UpdateRun, EngineLibraryMissingEverywhere) {
    UpdaterRun run;
    run.start(("http://updates.test/v2/ 77"));
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(run.lines().back(), std::string("ERROR: Missing vbuzip10.dll"));
}

TEST(UpdateRun, EngineLibraryIsInstalledIntoTheSystemDirectoryOnce) {
    UpdaterRun first;
    first.folder.write("vbuzip10.dll", "engine v1");
    first.start(("http://updates.test/v2/ 77"));
    ASSERT_TRUE(first.finish());
    EXPECT_EQ(first.lines().back(), std::string("Client update complete."));
    EXPECT_EQ(fixtures::readFile(first.folder.system() + "/vbuzip10.dll"), "engine v1");

    // A later run finds it there and leaves it alone, even without the copy beside the updater.
    std::filesystem::remove(FsPath(first.folder.program() + "/vbuzip10.dll"));
    first.window.reset();
    first.clientPolls = 0;
    first.start(("http://updates.test/v2/ 77"));
    ASSERT_TRUE(first.finish());
    EXPECT_EQ(first.lines().back(), std::string("Client update complete."));
}

TEST(UpdateRun, EngineLibraryThatCannotBeInstalledEndsTheRun) {
    UpdaterRun run;
    run.folder.write("vbuzip10.dll", "engine");
    fixtures::writeFile(run.folder.system(), ""); // a plain file where the folder should be
    run.start(("http://updates.test/v2/ 77"));
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(run.lines().back(), std::string("ERROR: Unable to install vbuzip10.dll"));
}

TEST(UpdateRun, NoPackagesGoesStraightToTheClientWait) {
    UpdaterRun run;
    run.folder.write("vbuzip10.dll", "engine");
    run.folder.write("versions.txt", "1.1\r\n\r\n");
    run.clientRunningFor = 3;
    run.start(("http://updates.test/v2/ 2000000000"));
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(run.lines(), (Lines{"Preparing to update...", "Checking client conditions...",
                                  "Client update complete."}));
    EXPECT_EQ(run.clientPolls, 4) << "polled until the client was gone";
    EXPECT_TRUE(run.window->updateInfoAvailable()) << "notes left by an earlier update count";
    EXPECT_FALSE(run.view.updateInfoCovered);
}

TEST(UpdateRun, SecondOfThreeDownloadsFailing) {
    UpdaterRun run;
    // a.zip is prepared while b.zip downloads: it must be preparable, or the run's end would
    // depend on which thread is first.
    run.folder.installEngine();
    run.serveZip("a.zip", {fixtures::ZipEntry::file("a.txt", "from a")});
    run.serve("b.zip", "package b, cut", 1000);
    run.serve("c.zip", "package c");
    run.start(("http://updates.test/v2/ a.zip b.zip c.zip 55"));
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(run.lines(),
              (Lines{"Preparing to update...", "Downloading file a.zip...", "Download completed.",
                     "Downloading file b.zip...", "Connection lost"}));
    EXPECT_EQ(run.service.requested,
              (Lines{"http://updates.test/v2/a.zip", "http://updates.test/v2/b.zip"}));
    EXPECT_EQ(run.folder.read("updates/a.zip"),
              run.service.replies["http://updates.test/v2/a.zip"].body);
    EXPECT_FALSE(run.folder.exists("updates/b.zip"));
    EXPECT_EQ(run.engineFiles(), Lines()) << "what was prepared is removed";
    EXPECT_FALSE(run.view.progressShown);
    EXPECT_EQ(run.clientPolls, 0) << "nothing after a failed download";
    EXPECT_EQ(run.view.closeFace, UpdaterView::CloseFace::Close);
}

TEST(UpdateRun, NoConnectionAndUnstartableRead) {
    UpdaterRun run;
    run.folder.write("vbuzip10.dll", "engine");
    run.start(("http://updates.test/v2/ a.zip 55"));
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(run.lines().back(), std::string("Couldn't connect"));

    UpdaterRun refused;
    refused.folder.write("vbuzip10.dll", "engine");
    refused.service.failToStart = true;
    refused.start(("http://updates.test/v2/ a.zip 55"));
    ASSERT_TRUE(refused.finish());
    EXPECT_TRUE(refused.lines().back().starts_with("ERROR: ")) << "an unforeseen error";
    EXPECT_EQ(refused.view.closeFace, UpdaterView::CloseFace::Close);
}

TEST(UpdateRun, PackageMissingAfterADownloadReportedComplete) {
    UpdaterRun run;
    run.folder.write("vbuzip10.dll", "engine");
    run.folder.write("updates", "a plain file where the folder should be");
    run.serve("a.zip", "package a");
    run.serve("b.zip", "package b");
    run.start(("http://updates.test/v2/ a.zip b.zip 55"));
    ASSERT_TRUE(run.finish());
    const Lines lines = run.lines();
    EXPECT_EQ(Slice(lines, 1, 4), (Lines{"Downloading file a.zip...", "Download completed.",
                                         "Downloading file b.zip...", "Download completed."}));
    EXPECT_EQ(lines.back(), std::string("ERROR: Update file 'a.zip' not found."))
        << "the first missing package is the one reported";
}

TEST(UpdateRun, NameThatIsNoPlainFileNameEndsTheRunBeforeAnything) {
    const struct {
        std::string name, shown;
    } cases[] = {
        {"../x.zip", "../x.zip"},
        {"a/../../x.zip", "a/../../x.zip"},
        {"/etc/passwd", "/etc/passwd"},
        {"..", ".."},
        {".", "."},
        {"..\\x.zip", "..\\x.zip"},
        {"a\tb.zip", "a\\tb.zip"},
        {std::string("a\0.zip", 6), "a\\x00.zip"},
        {"", ""},
        {std::string(256, 'n'), std::string(256, 'n')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown);
        UpdaterRun run;
        run.folder.write("vbuzip10.dll", "engine");
        run.folder.write("x.zip", "a file of the installation");
        run.serve("a.zip", "package a");
        run.serve(c.name, "package");
        // The run log is written, and it alone.
        const Lines runLog{"updates", "updates/update.log"};
        const auto before = run.folder.snapshot(runLog);
        run.start(("http://updates.test/v2/ a.zip ") + c.name + " 55");
        ASSERT_TRUE(run.finish());
        EXPECT_EQ(run.lines(), (Lines{"Preparing to update...",
                                      "ERROR: Invalid update file name '" + c.shown + "'."}));
        EXPECT_TRUE(run.service.requested.empty());
        EXPECT_EQ(run.folder.snapshot(runLog), before) << "no lock, no engine copy, no download";
        EXPECT_EQ(run.view.closeFace, UpdaterView::CloseFace::Close);
    }
}

TEST(UpdateRun, SameNameTwiceIsDownloadedTwiceAndStalePackagesAreReplaced) {
    UpdaterRun run;
    run.folder.installEngine();
    run.folder.write("updates/a.zip", "stale package from an earlier run");
    run.serveZip("a.zip", {fixtures::ZipEntry::file("a.txt", "fresh")});
    run.start(("http://updates.test/v2/ a.zip a.zip 55"));
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(run.service.requested.size(), 2);
    EXPECT_EQ(run.lines().back(), "Client update complete.");
    EXPECT_EQ(run.folder.read("a.txt"), "fresh");
}

TEST(UpdateRun, UpdatesFolderInAnotherLetterCaseCountsAsPresent) {
    // The folder lookup ignores letter case, as on the client's home system; on a case-sensitive
    // file system the package then has nowhere to go, and the check says so.
    UpdaterRun run;
    run.folder.write("vbuzip10.dll", "engine");
    fixtures::makeFolders(run.folder.program() + "/UPDATES");
    run.serve("a.zip", "package a");
    run.start(("http://updates.test/v2/ a.zip 55"));
    ASSERT_TRUE(run.finish());
    EXPECT_FALSE(run.folder.exists("updates"));
    EXPECT_EQ(run.lines().back(), std::string("ERROR: Update file 'a.zip' not found."));
}

TEST(Buttons, UpdateInfoIsInertWhileCoveredAndShowsTheFirstBlockOnceUncovered) {
    UpdaterRun run;
    run.folder.write("vbuzip10.dll", "engine");
    run.folder.write("versions.txt", "2.0\r\nNew map\r\n\r\n1.9\r\nOld\r\n");
    run.start("http://updates.test/v2/ 55");
    run.window->updateInfoAction();
    EXPECT_TRUE(run.view.notes.empty()) << "covered during the run";
    ASSERT_TRUE(run.finish());
    run.window->updateInfoAction();
    EXPECT_EQ(run.view.notes, (Lines{"2.0", "New map"}));
    EXPECT_EQ(run.view.notesOpened, 1) << "a blank line ends the block: the window opens";

    // Without a blank line the lines are added and the window stays hidden; notes that cannot be
    // read or are empty show nothing.
    const struct {
        const char* content; // nullptr: no file
        Lines notes;
    } cases[] = {{"2.0\r\nno blank line", {"2.0", "no blank line"}}, {"", {}}, {nullptr, {}}};
    for (const auto& c : cases) {
        UpdaterRun other;
        other.folder.write("vbuzip10.dll", "engine");
        other.folder.write("versions.txt", "1.0\r\n");
        other.start("http://updates.test/v2/ 55");
        ASSERT_TRUE(other.finish());
        std::filesystem::remove(FsPath(other.folder.program() + "/versions.txt"));
        if (c.content)
            other.folder.write("versions.txt", c.content);
        other.window->updateInfoAction();
        EXPECT_EQ(other.view.notes, c.notes);
        EXPECT_EQ(other.view.notesOpened, 0);
    }
}

TEST(Buttons, CloseDuringTheRunEndsWithoutStartingTheClient) {
    UpdaterRun run;
    run.folder.write("vbuzip10.dll", "engine");
    run.clientRunningFor = 1 << 30; // the client never ends
    run.start(("http://updates.test/v2/ 2000000000"));
    // The run waits inside the event loop, so the click comes from there too.
    const auto user = run.loop.startTimer(std::chrono::milliseconds(10), true, [&] {
        if (run.clientPolls > 2 && !run.terminated) {
            run.window->closeAction();
            EXPECT_TRUE(run.terminated);
            EXPECT_TRUE(run.clientsStarted.empty());
            run.clientRunningFor = 0; // let the run end so that the test can go on
        }
    });
    ASSERT_TRUE(run.finish());
    EXPECT_TRUE(run.terminated);
}

TEST(Buttons, CloseStartsTheClientOnlyAfterSuccessWithNotes) {
    UpdaterRun withNotes;
    withNotes.folder.write("vbuzip10.dll", "engine");
    withNotes.folder.write("versions.txt", "1.1\r\n");
    withNotes.start(("http://updates.test/v2/ 55"));
    ASSERT_TRUE(withNotes.finish());
    withNotes.window->closeAction();
    EXPECT_TRUE(withNotes.terminated);
    EXPECT_EQ(withNotes.clientsStarted, Lines{withNotes.folder.program()});

    UpdaterRun withoutNotes;
    withoutNotes.folder.write("vbuzip10.dll", "engine");
    withoutNotes.start(("http://updates.test/v2/ 55"));
    ASSERT_TRUE(withoutNotes.finish());
    withoutNotes.window->closeAction();
    EXPECT_TRUE(withoutNotes.terminated);
    EXPECT_TRUE(withoutNotes.clientsStarted.empty());

    UpdaterRun failed;
    failed.folder.write("versions.txt", "1.1\r\n");
    failed.start(("http://updates.test/v2/ 55")); // no engine library: fails
    ASSERT_TRUE(failed.finish());
    failed.window->closeAction();
    EXPECT_TRUE(failed.terminated);
    EXPECT_TRUE(failed.clientsStarted.empty());
}

TEST(UpdateRun, RunsExactlyOnce) {
    UpdaterRun run;
    run.folder.write("vbuzip10.dll", "engine");
    run.clientRunningFor = 5; // keeps the run waiting across would-be ticks
    run.start(("http://updates.test/v2/ 2000000000"));
    ASSERT_TRUE(run.finish());
    run.loop.runUntil([] { return false; }, std::chrono::milliseconds(200));
    const Lines lines = run.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Preparing to update..."), 1);
    EXPECT_EQ(run.outcomes, std::vector{RunOutcome::Succeeded}) << "announced once";
    EXPECT_FALSE(run.window->startTimerActive());
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
        EXPECT_EQ(run.folder.read("shared.txt"), "installed");
        EXPECT_FALSE(run.engineFiles().empty());
        EXPECT_EQ(run.lines(), Slice(kCompleteRun, 0, 6));
        EXPECT_EQ(run.view.progressValue, 100) << "the bar shows the bytes prepared";
    };
    run.start(("http://updates.test/v2/ a.zip b.zip 55"));
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(polls, 2);
    EXPECT_EQ(run.lines(), kCompleteRun);
    EXPECT_EQ(run.folder.read("shared.txt"), "from b") << "the later package wins";
    EXPECT_EQ(run.folder.read("data/a.txt"), "from a");
    EXPECT_EQ(run.folder.read("kept.txt"), "installed");
    EXPECT_EQ(run.engineFiles(), Lines());
    EXPECT_NE(run.installation(), installed);
}

TEST(UpdateRun, ProgressOfAFastDownloadIsDrawnAtItsOwnPaceAndAlwaysToTheEnd) {
    UpdaterRun run;
    run.serveTwoPackages({fixtures::ZipEntry::file("b.txt", std::string(5000, 'b'))});
    for (auto& [address, reply] : run.service.replies)
        reply.progressSteps = 50; // in one burst
    Lines drawnAtTheEnd;
    run.service.afterReadComplete = [&] { drawnAtTheEnd.push_back(run.view.progressText); };
    run.start("http://updates.test/v2/ a.zip b.zip 55");
    ASSERT_TRUE(run.finish());
    ASSERT_EQ(drawnAtTheEnd.size(), 2u);
    for (const std::string& drawn : drawnAtTheEnd) { // "x KB / x KB"
        const std::size_t middle = drawn.find(" / ");
        ASSERT_NE(middle, std::string::npos) << drawn;
        EXPECT_EQ(drawn.substr(0, middle), drawn.substr(middle + 3)) << drawn;
    }
}

TEST(UpdateRun, EachPackageIsPreparedWhileTheNextDownloadsAndTheWindowIsServedMeanwhile) {
    UpdaterRun run;
    run.serveTwoPackages({fixtures::ZipEntry::file("big", std::string(48 << 20, 'x'))});
    // b.zip arrives only once a.zip is staged: without the overlap the run would never end.
    run.service.replies["http://updates.test/v2/b.zip"].ready = [&] {
        return !run.engineFiles().empty();
    };
    // The window's timers keep running while b.zip's one large entry is staged.
    int ticksWhilePreparing = 0;
    const auto ticker = run.loop.startTimer(std::chrono::milliseconds(5), true, [&] {
        if (run.window && run.lines().size() == 5) // b.zip arrived, client not checked
            ++ticksWhilePreparing;
    });
    run.start(("http://updates.test/v2/ a.zip b.zip 55"));
    ASSERT_TRUE(run.finish());
    EXPECT_EQ(run.lines(), kCompleteRun);
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
        run.start(("http://updates.test/v2/ a.zip b.zip 55"));
        ASSERT_TRUE(run.finish());
        EXPECT_EQ(run.lines(), Slice(kCompleteRun, 0, 5) +
                                   Lines{"ERROR: Update file 'b.zip' could not be extracted."});
        EXPECT_EQ(run.clientPolls, 0);
        EXPECT_EQ(run.installation(), installed) << "byte for byte as it was";
        EXPECT_FALSE(run.view.progressShown);
    }
}

TEST(UpdateRun, AnUnfinishedUpdateIsRemovedBeforeTheDownloadsWithOneLine) {
    UpdaterRun run;
    run.folder.installEngine();
    run.folder.write("shared.txt", "installed");
    const std::string zip = run.folder.root / "old.zip";
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
        _exit(engine.begin(run.folder.program(), &update) == UZ_OK &&
                      engine.stage(update, stage) == UZ_OK
                  ? 0
                  : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    ASSERT_FALSE(run.engineFiles().empty());

    run.serveZip("a.zip", {fixtures::ZipEntry::file("a.txt", "a")});
    run.start(("http://updates.test/v2/ a.zip 55"));
    ASSERT_TRUE(run.finish());
    const Lines lines = run.lines();
    EXPECT_EQ(Slice(lines, 0, 3), (Lines{"Preparing to update...", "Removed an unfinished update.",
                                         "Downloading file a.zip..."}));
    EXPECT_EQ(lines.back(), "Client update complete.");
    EXPECT_EQ(run.folder.read("shared.txt"), "installed");
    EXPECT_FALSE(run.folder.exists("new"));
    EXPECT_EQ(run.engineFiles(), Lines());
}
