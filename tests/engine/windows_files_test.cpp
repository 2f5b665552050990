// What the engine must do on Windows' own file system that Unix file systems never ask for:
// attributes that refuse a replacement, names found in any letter case, names beyond the old
// length limit and outside any code page, and files that other programs hold open.
#include "EngineHarness.h"
#include "ZipFixtures.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <thread>
#include <vorn/Utf16_windows.h>

using fixtures::EngineRun;
using fixtures::ZipEntry;

namespace {

class WindowsFiles : public ::testing::Test {
protected:
    void SetUp() override { fixtures::makeFolders(out()); }

    std::string out() const { return tmp / "out"; }
    std::string out(const std::string& rel) const { return tmp / ("out/" + rel); }
    std::string zip(const std::string& name) const { return tmp / name; }

    // Stages the archives as one update of out() and commits it; the commit's messages in run.
    int32_t update(const std::vector<std::string>& archives, EngineRun& run) {
        UnzipUpdate* handle = nullptr;
        int32_t result = engine.begin(out(), &handle);
        for (const std::string& archive : archives) {
            if (result != UZ_OK)
                break;
            EngineRun stage;
            stage.archive = archive;
            result = engine.stage(handle, stage);
        }
        return result == UZ_OK ? engine.commit(handle, &run) : result;
    }

    DWORD attributesOf(const std::string& path) const {
        return GetFileAttributesW(WindowsPath(path).c_str());
    }

    fixtures::TempDir tmp{"vbuzip-windows"};
    fixtures::Engine engine;
};

TEST_F(WindowsFiles, ReadOnlyHiddenAndSystemFilesAreReplacedAndTakeTheEntrysAttribute) {
    struct Case {
        const char* name;
        DWORD installed;    // the attributes of the installed file
        uint32_t entryMode; // the entry's Unix permissions
        bool readOnlyAfter;
    };
    const Case cases[] = {
        {"read-only.txt", FILE_ATTRIBUTE_READONLY, 0644, false},
        {"stays-read-only.txt", FILE_ATTRIBUTE_READONLY, 0444, true},
        {"hidden-system.txt", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, 0644, false},
        {"becomes-read-only.txt", FILE_ATTRIBUTE_NORMAL, 0444, true},
    };
    std::vector<ZipEntry> entries;
    for (const Case& c : cases) {
        fixtures::writeFile(out(c.name), "old");
        ASSERT_TRUE(SetFileAttributesW(WindowsPath(out(c.name)).c_str(), c.installed));
        entries.push_back(ZipEntry::file(c.name, std::string("new ") + c.name, c.entryMode));
    }
    fixtures::buildZip(zip("a.zip"), entries);
    EngineRun run;
    ASSERT_EQ(update({zip("a.zip")}, run), UZ_OK) << run.allMessages();
    for (const Case& c : cases) {
        EXPECT_EQ(fixtures::readFile(out(c.name)), std::string("new ") + c.name);
        EXPECT_EQ((attributesOf(out(c.name)) & FILE_ATTRIBUTE_READONLY) != 0, c.readOnlyAfter)
            << c.name;
    }
}

TEST_F(WindowsFiles, NamesReachTheDiskAsTheyAreWhateverTheirLengthOrScript) {
    std::string deep = "données/日本語";
    while (deep.size() < 300)
        deep += "/a-rather-long-folder-name";
    const std::vector<std::string> names = {"données/日本語.txt", deep + "/end.txt"};
    std::vector<ZipEntry> entries;
    for (const std::string& name : names)
        entries.push_back(ZipEntry::file(name, "data of " + name));
    fixtures::buildZip(zip("a.zip"), entries);
    EngineRun run;
    ASSERT_EQ(update({zip("a.zip")}, run), UZ_OK) << run.allMessages();
    const fixtures::TreeSnapshot tree = fixtures::snapshotTree(out());
    for (const std::string& name : names) {
        ASSERT_TRUE(tree.count(name)) << name;
        EXPECT_EQ(tree.at(name).contents, "data of " + name);
    }
}

TEST_F(WindowsFiles, NamesDifferingInCaseAcrossArchivesAreOneFileUnderTheInstalledSpelling) {
    fixtures::makeFolders(out("Docs"));
    fixtures::writeFile(out("Docs/Read.txt"), "installed");
    fixtures::buildZip(zip("a.zip"), {ZipEntry::file("docs/read.txt", "from a"),
                                      ZipEntry::file("docs/New.txt", "from a")});
    fixtures::buildZip(zip("b.zip"), {ZipEntry::file("DOCS/READ.TXT", "from b"),
                                      ZipEntry::file("DOCS/NEW.TXT", "from b")});
    EngineRun run;
    ASSERT_EQ(update({zip("a.zip"), zip("b.zip")}, run), UZ_OK) << run.allMessages();
    fixtures::TreeSnapshot tree = fixtures::snapshotTree(out());
    EXPECT_EQ(tree.size(), 3u) << "one folder, two files";
    ASSERT_TRUE(tree.count("Docs/Read.txt"));
    EXPECT_EQ(tree.at("Docs/Read.txt").contents, "from b");
    ASSERT_TRUE(tree.count("Docs/New.txt")) << "a new file takes the first archive's spelling";
    EXPECT_EQ(tree.at("Docs/New.txt").contents, "from b");
}

// Another program holds an installed file open without letting it be renamed (a virus scanner, a
// second copy of the client): the commit waits a while for it, then undoes everything.
TEST_F(WindowsFiles, AFileHeldOpenByAnotherProgramIsWaitedForThenTheCommitIsUndone) {
    for (const bool released : {true, false}) {
        SCOPED_TRACE(released ? "released soon" : "held throughout");
        fixtures::writeFile(out("a.txt"), "old a");
        fixtures::writeFile(out("held.txt"), "old held");
        fixtures::buildZip(zip("a.zip"), {ZipEntry::file("a.txt", "new a"),
                                          ZipEntry::file("held.txt", "new held")});
        const fixtures::TreeSnapshot before = fixtures::snapshotTree(out());
        HANDLE held = CreateFileW(WindowsPath(out("held.txt")).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        std::thread release;
        if (released)
            release = std::thread([held] {
                Sleep(500);
                CloseHandle(held);
            });
        EngineRun run;
        const int32_t result = update({zip("a.zip")}, run);
        if (released) {
            release.join();
            EXPECT_EQ(result, UZ_OK) << run.allMessages();
            EXPECT_EQ(fixtures::readFile(out("held.txt")), "new held");
            EXPECT_EQ(fixtures::readFile(out("a.txt")), "new a");
            continue;
        }
        CloseHandle(held);
        EXPECT_EQ(result, UZ_ERR_WRITE);
        EXPECT_NE(run.allMessages().find("held.txt"), std::string::npos) << run.allMessages();
        EXPECT_EQ(fixtures::describeDifferences(before, fixtures::snapshotTree(out())), "");
    }
}

} // namespace
