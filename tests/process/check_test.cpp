#include "Child.h"
#include "TestFiles.h"
#include "process/modProcesses.h"
#ifndef _WIN32
#include "process/ProcessSnapshot_linux.h"
#endif

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <unistd.h>

namespace {

using Names = std::vector<std::string>;

ProcessEntry entry(std::int32_t id, Names names, bool ended = false) {
    return ProcessEntry{id, std::move(names), ended};
}

ProcessCheck check(const std::string& name, std::int32_t id, std::vector<ProcessEntry> entries,
                   std::vector<std::int32_t> faulty = {}, std::vector<std::int32_t> vanished = {}) {
    ListSnapshot snapshot(std::move(entries), std::move(faulty), std::move(vanished));
    return CheckProcess(name, id, &snapshot);
}

const std::string kVorn = "Vorn.exe";

} // namespace

TEST(ExeNameRule, SuffixWithoutRegardToCase) {
    EXPECT_TRUE(ExeNameMatches("VORN.EXE", kVorn));
    EXPECT_TRUE(ExeNameMatches("xvorn.exe", kVorn));
    EXPECT_TRUE(ExeNameMatches("C:\\Program Files\\Vorn\\VORN.EXE", kVorn));
    EXPECT_TRUE(ExeNameMatches("/opt/vorn/Vorn.exe", kVorn));
    EXPECT_TRUE(ExeNameMatches("/opt/\xc3\xa9t\xc3\xa9/\xff"
                               "VORN.exe",
                               kVorn));             // other bytes
    EXPECT_FALSE(ExeNameMatches("orn.exe", kVorn)); // shorter: compared whole
    EXPECT_FALSE(ExeNameMatches("Vorn.exe.old", kVorn));
    EXPECT_FALSE(ExeNameMatches("", kVorn));
    EXPECT_TRUE(ExeNameMatches("anything", ""));
    EXPECT_TRUE(ExeNameMatches("", ""));
}

TEST(CheckProcess, NeedsBothTheIdAndTheName) {
    const std::vector<ProcessEntry> list = {entry(1, {"init"}), entry(4321, {"VORN.EXE"}),
                                            entry(1234, {"notepad.exe"})};
    EXPECT_EQ(check(kVorn, 1234, list), ProcessCheck::NotRunning);
    EXPECT_EQ(check(kVorn, 4321, list), ProcessCheck::Running);
    EXPECT_EQ(check(kVorn, 1234, {entry(1234, {"VORN.EXE"})}), ProcessCheck::Running);
    // Under Wine the loader is the executable; argv[0] carries the Windows path.
    EXPECT_EQ(check(kVorn, 1234,
                    {entry(1234, {"C:\\Program Files\\Vorn\\VORN.EXE", "/usr/bin/wine64-preloader",
                                  "VORN.EXE"})}),
              ProcessCheck::Running);
}

TEST(CheckProcess, EmptyNameMatchesAnyProcessWithTheId) {
    EXPECT_EQ(check("", 1234, {entry(1234, {"whatever"})}), ProcessCheck::Running);
    EXPECT_EQ(check("", 1234, {entry(1234, {})}), ProcessCheck::Running);
    EXPECT_EQ(check("", 1234, {entry(99, {})}), ProcessCheck::NotRunning);
    EXPECT_EQ(check(kVorn, 1234, {entry(1234, {})}), ProcessCheck::NotRunning);
}

TEST(CheckProcess, EndedVanishedOrNoSnapshotIsNotRunning) {
    EXPECT_EQ(check(kVorn, 1234, {entry(1234, {"Vorn.exe"}, true)}), ProcessCheck::NotRunning);
    EXPECT_EQ(check(kVorn, 1234, {entry(1234, {"Vorn.exe"})}, {}, {1234}),
              ProcessCheck::NotRunning);
    EXPECT_EQ(CheckProcess(kVorn, 1234, nullptr), ProcessCheck::NotRunning);
}

TEST(CheckProcess, ReadsOnlyTheRequestedEntry) {
    ListSnapshot snapshot({entry(7, {"a"}), entry(1234, {"Vorn.exe"}), entry(8, {"b"})}, {7, 8});
    EXPECT_EQ(CheckProcess(kVorn, 1234, &snapshot), ProcessCheck::Running);
    EXPECT_EQ(snapshot.entriesRead(), 1);
    EXPECT_EQ(check(kVorn, 1234, {entry(1234, {"Vorn.exe"})}, {1234}), ProcessCheck::WalkFault);
}

#ifndef _WIN32 // the Linux snapshot's /proc
// A proc file system laid out by hand.
class FakeProc : public ::testing::Test {
protected:
    void addProcess(const std::string& id, const std::string& stat, const std::string& cmdline,
                    const std::string& exe = {}) {
        fixtures::makeFolders(m_root / id);
        write(id + "/stat", stat);
        write(id + "/cmdline", cmdline);
        if (!exe.empty()) {
            ASSERT_EQ(::symlink(exe.c_str(), (m_root / id + "/exe").c_str()), 0);
        }
    }
    void write(const std::string& name, const std::string& data) {
        fixtures::writeFile(m_root / name, data);
    }
    const std::string& path() const { return m_root.path(); }
    EntryRead readFirst(ProcessEntry& out) {
        auto snapshot = TakeProcSnapshot(path());
        std::int32_t id = 0;
        EXPECT_TRUE(snapshot && snapshot->next(id));
        return snapshot ? snapshot->read(out) : EntryRead::Fault;
    }

    fixtures::TempDir m_root;
};

TEST_F(FakeProc, ListsProcessesAndReadsTheirNamesAndState) {
    addProcess("1234", "1234 (Vorn (1).exe) S 1 1", std::string("C:\\Games\\Vorn.exe\0-x\0", 21),
               "/opt/vorn/Vorn.exe");
    fixtures::makeFolders(m_root / "self");
    fixtures::makeFolders(m_root / "99999999999");
    auto snapshot = TakeProcSnapshot(path());
    ASSERT_TRUE(snapshot);
    std::int32_t id = 0;
    ASSERT_TRUE(snapshot->next(id));
    EXPECT_EQ(id, 1234);
    ProcessEntry read;
    EXPECT_EQ(snapshot->read(read), EntryRead::Ok);
    EXPECT_EQ(read.names, Names({"C:\\Games\\Vorn.exe", "/opt/vorn/Vorn.exe", "Vorn (1).exe"}));
    EXPECT_FALSE(read.ended);
    EXPECT_FALSE(snapshot->next(id));
}

TEST_F(FakeProc, ZombieHasEnded) {
    addProcess("5", "5 (Vorn.exe) Z 1 1", "");
    ProcessEntry read;
    EXPECT_EQ(readFirst(read), EntryRead::Ok);
    EXPECT_TRUE(read.ended);
    EXPECT_EQ(read.names, Names({"Vorn.exe"}));
}

TEST_F(FakeProc, NamesThatCannotBeCutOrParsedFault) {
    // Without a terminator, up to the limit the whole argument is the name; beyond it, a fault.
    addProcess("5", "5 (x) S 1", std::string(ProcNameLimit, 'a'));
    ProcessEntry read;
    EXPECT_EQ(readFirst(read), EntryRead::Ok);
    ASSERT_FALSE(read.names.empty());
    EXPECT_EQ(read.names.front().size(), ProcNameLimit);
    write("5/cmdline", std::string(ProcNameLimit + 1, 'a'));
    EXPECT_EQ(readFirst(read), EntryRead::Fault);
    write("5/cmdline", "");
    write("5/stat", "5 x S 1");
    EXPECT_EQ(readFirst(read), EntryRead::Fault);
}

TEST_F(FakeProc, ProcessReapedAfterTheSnapshotHasVanished) {
    addProcess("5", "5 (x) S 1", "");
    auto snapshot = TakeProcSnapshot(path());
    ASSERT_TRUE(std::filesystem::remove_all(m_root / "5") > 0);
    std::int32_t id = 0;
    ProcessEntry read;
    ASSERT_TRUE(snapshot->next(id));
    EXPECT_EQ(snapshot->read(read), EntryRead::Vanished);
    EXPECT_FALSE(TakeProcSnapshot(path() + "/missing"));
}
#endif

// Real processes: copies of sleep(1) under the client's name.
class RealProcess : public ::testing::Test {
protected:
    std::string copySleep(const std::string& name) {
        const std::string target = m_dir / name;
        EXPECT_TRUE(std::filesystem::copy_file(kSleepProgram, target));
        return target;
    }
    fixtures::TempDir m_dir;
};

TEST_F(RealProcess, RunningUntilEndedThenReaped) {
    const std::string program = copySleep("Vorn.exe");
    Child child(program, SleepArgs(program, "30"));
    const pid_t pid = child.pid();
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(Process_Running("vorn.EXE", pid));
    EXPECT_FALSE(Process_Running("Vorn.exe", getpid()));
    child.killAndLeaveZombie();
    EXPECT_FALSE(Process_Running("Vorn.exe", pid));
    child.reap();
    EXPECT_FALSE(Process_Running("Vorn.exe", pid));
}

#ifndef _WIN32 // the names that Linux gives a process
TEST_F(RealProcess, EachNameOfTheProcessCounts) {
    // argv[0] alone (as under Wine): executable and command name are "sleep".
    Child wine("/bin/sleep", {"C:\\Program Files\\Vorn\\VORN.EXE", "30"});
    EXPECT_TRUE(Process_Running(kVorn, wine.pid()));
    // The command name alone: started through a link named Vorn.exe.
    std::filesystem::create_symlink("/bin/sleep", m_dir / "Vorn.exe");
    Child link(m_dir / "Vorn.exe", {"x", "30"});
    EXPECT_TRUE(Process_Running(kVorn, link.pid()));
    // The executable's path alone: the command name is cut to 15 characters.
    const std::string longName = copySleep("LongProgramNameVorn.exe");
    Child path(longName, {"x", "30"});
    EXPECT_TRUE(Process_Running(kVorn, path.pid()));
    EXPECT_FALSE(Process_Running("Other.exe", path.pid()));
}
#endif

TEST_F(RealProcess, ThreadsAreNotProcesses) {
    std::atomic<pid_t> threadId{0};
    std::atomic<bool> stop{false};
    std::thread thread([&] {
#ifdef _WIN32
        threadId = pid_t(GetCurrentThreadId());
#else
        threadId = gettid();
#endif
        while (!stop)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    while (threadId == 0)
        std::this_thread::yield();
    EXPECT_TRUE(Process_Running("", getpid()));
    EXPECT_FALSE(Process_Running("", threadId));
    stop = true;
    thread.join();
}
