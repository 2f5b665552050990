#include "Child.h"
#include "TestFiles.h"
#include "TestLoop.h"
#include "core/Text.h"
#include "process/ProcessExitWatch.h"
#include "process/StartClient.h"
#include "process/UpdateLock.h"
#include "process/modProcesses.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace {

const std::string kHelper = VORN_PROCESS_HELPER;

std::string canonical(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::weakly_canonical(path, ignored).string();
}

// Waits until the file is there (another process writes it), at most a generous guard time.
bool appears(const std::string& path) {
    for (int i = 0; i < 3000 && !fixtures::exists(path); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return fixtures::exists(path);
}

#ifndef _WIN32
void makeScript(const std::string& path, const std::string& text) {
    fixtures::writeFile(path, text);
    std::filesystem::permissions(path, std::filesystem::perms::owner_exec,
                                 std::filesystem::perm_options::add);
}
#endif

} // namespace

TEST(ProcessExitWatch, ReportsTheEndOfAProcessByEitherMethod) {
    for (auto method : {ProcessExitWatch::Method::Best, ProcessExitWatch::Method::Polling}) {
        TestLoop loop;
        Child child(kSleepProgram, SleepArgs("sleep", "30"));
        ProcessExitWatch watch(loop, child.pid(), method);
        EXPECT_EQ(watch.isPolling(), method == ProcessExitWatch::Method::Polling);
        int fired = 0;
        watch.exited = [&] { ++fired; };
        auto kill = loop.startTimer(std::chrono::milliseconds(50), false,
                                    [&] { child.killAndLeaveZombie(); });
        EXPECT_TRUE(loop.runUntil([&] { return fired > 0; }, std::chrono::seconds(30)));
        loop.processPending();
        EXPECT_EQ(fired, 1);
        EXPECT_TRUE(watch.hasExited());
        EXPECT_FALSE(watch.isPolling());
    }
}

TEST(ProcessExitWatch, ProcessAlreadyGoneOrInvalid) {
    pid_t gone;
    {
        Child child(kSleepProgram, SleepArgs("sleep", "0"));
        gone = child.pid();
    }
    for (std::int64_t pid : {std::int64_t(gone), std::int64_t(0), std::int64_t(-1)}) {
        TestLoop loop;
        bool fired = false;
        ProcessExitWatch watch(loop, pid, ProcessExitWatch::Method::Best, [&] { fired = true; });
        // Told on a later turn of the loop, not from within the constructor.
        EXPECT_FALSE(watch.hasExited()) << pid;
        EXPECT_TRUE(loop.runUntil([&] { return fired; }, std::chrono::seconds(30))) << pid;
    }
}

TEST(ProcessExitWatch, WaitLoopEndsWhenTheClientExits) {
    fixtures::TempDir dir;
    const std::string program = dir / "Vorn.exe";
    ASSERT_TRUE(std::filesystem::copy_file(kSleepProgram, program));
    TestLoop loop;
    // The client ends on its own, so nothing but the watch can wake the waiting loop.
    Child client(program, SleepArgs("Vorn.exe", "0.3"));
    ProcessExitWatch watch(loop, client.pid());
    int wakes = 0;
    while (Process_Running("Vorn.exe", client.pid())) {
        loop.waitForNext();
        ++wakes;
    }
    // A loop that spun would have woken thousands of times.
    EXPECT_LT(wakes, 20);
    // The loop may end on the process's state before the watch's own post is handled.
    EXPECT_TRUE(loop.runUntil([&] { return watch.hasExited(); }, std::chrono::seconds(30)));
}

TEST(UpdateLock, OneHolderAtATimeUntilItEnds) {
    fixtures::TempDir dir;
    std::string error;
    UpdateLock::Failure failure;
    auto first = UpdateLock::acquire(dir.path(), &error);
    ASSERT_TRUE(first) << error;
    EXPECT_EQ(first->filePath(), dir / UpdateLock::FileName);
    EXPECT_FALSE(UpdateLock::acquire(dir.path(), &error, &failure));
    EXPECT_EQ(failure, UpdateLock::Failure::Busy);
    EXPECT_EQ(error, "Another update is already running in " + dir.path() + ".");

    {
        // A program started while the lock is held does not inherit it.
        Child started(kSleepProgram, SleepArgs("sleep", "30"));
        first.reset();
        EXPECT_TRUE(UpdateLock::acquire(dir.path(), &error));
    }

    {
        // Another process holds it until it is killed.
        Child holder(kHelper, {kHelper, "lock", dir.path()}, true);
        EXPECT_EQ(holder.outputLine(), "locked\n");
        EXPECT_FALSE(UpdateLock::acquire(dir.path(), &error, &failure));
        EXPECT_EQ(failure, UpdateLock::Failure::Busy);
        holder.killAndLeaveZombie();
        EXPECT_TRUE(UpdateLock::acquire(dir.path(), &error));
    }
    EXPECT_TRUE(fixtures::exists(dir / UpdateLock::FileName));

    EXPECT_FALSE(UpdateLock::acquire(dir / "missing", &error, &failure));
    EXPECT_EQ(failure, UpdateLock::Failure::CannotOpen);
    EXPECT_EQ(error.rfind("Cannot open the lock file " + dir.path() + "/missing/" +
                              UpdateLock::FileName + ": ",
                          0),
              0u)
        << error;
}

TEST(StartClient, ExecutableOutlivesTheUpdatersImmediateEnd) {
    fixtures::TempDir dir;
    // The client notes its working directory, then waits for the test to let it go.
#ifdef _WIN32
    ASSERT_TRUE(std::filesystem::copy_file(kHelper, dir / "Vorn.exe"));
#else
    makeScript(dir / "Vorn.exe", "#!/bin/sh\npwd > started.tmp && mv started.tmp started.txt\n"
                                 "while [ ! -e release ]; do sleep 0.02; done\n"
                                 "sleep 0.1; echo > ended.tmp && mv ended.tmp ended.txt\n");
#endif

    // The helper takes the update lock, starts the client and terminates at once.
    Child updater(kHelper, {kHelper, "start-client", dir.path(), "Vorn.exe"});
    EXPECT_EQ(updater.reap(), 0);
    ASSERT_TRUE(appears(dir / "started.txt"));
    const std::string started = fixtures::readFile(dir / "started.txt");
    EXPECT_EQ(canonical(started.substr(0, started.find('\n'))), canonical(dir.path()));
    // The running client does not hold the lock.
    std::string error;
    EXPECT_TRUE(UpdateLock::acquire(dir.path(), &error)) << error;
    fixtures::writeFile(dir / "release", "");
    EXPECT_TRUE(appears(dir / "ended.txt"));
}

TEST(StartClient, OtherFilesGoToTheDesktopHandler) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows finds the handler of a file in its registry, not on the search path";
#else
    fixtures::TempDir dir;
    fixtures::writeFile(dir / "Vorn.exe", "");
    // A stand-in for the desktop's handler, found first on the search path.
    fixtures::makeFolders(dir / "bin");
    makeScript(dir / "bin/xdg-open",
               "#!/bin/sh\n{ pwd; printf '%s\\n' \"$#\" \"$@\"; } > opened.tmp && "
               "mv opened.tmp opened.txt\n");
    const std::string searchPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", (dir / "bin:" + searchPath).c_str(), 1);
    const std::filesystem::path before = std::filesystem::current_path();
    StartClient(dir.path(), "Vorn.exe");
    ::setenv("PATH", searchPath.c_str(), 1);
    EXPECT_EQ(std::filesystem::current_path(), before);
    // The handler runs detached: no child of this process is left to reap.
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);

    ASSERT_TRUE(appears(dir / "opened.txt"));
    const std::vector<std::string> lines = Split(fixtures::readFile(dir / "opened.txt"), '\n');
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(canonical(lines[0]), canonical(dir.path()));
    EXPECT_EQ(lines[1], "1");
    EXPECT_EQ(lines[2], dir / "Vorn.exe");
#endif
}

TEST(Termination, FlushesOutputAndSkipsCleanup) {
    Child helper(kHelper, {kHelper, "terminate"}, true);
    EXPECT_EQ(helper.reap(), 3);
    EXPECT_EQ(helper.output(), "unflushed");
    EXPECT_EQ(helper.errors(), "to stderr");
}

TEST(ProcessFaultDeathTest, ShowsTheMessageThenTerminates) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Through the front-end's notice, which returns once the user has seen the message.
    EXPECT_EXIT(
        {
            SetProcessFaultNotice([](const std::string& title, const std::string& text) {
                std::fprintf(stderr, "[%s|%s]", title.c_str(), text.c_str());
            });
            ReportProcessFault();
        },
        ::testing::ExitedWithCode(1),
        "^\\[Vorn \\(Auto-Updater\\)\\|A process error has occurred\\.\\]$");
    // Without one, on standard error.
    EXPECT_EXIT(ReportProcessFault(), ::testing::ExitedWithCode(1),
                "^Vorn \\(Auto-Updater\\): A process error has occurred\\.\n$");
}
