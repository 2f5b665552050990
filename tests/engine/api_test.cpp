// The engine library as the program uses it: listing, extracting, testing, options, callbacks.
#include "EngineHarness.h"
#include "ZipFixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <random>
#include <tuple>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif
#include <zlib.h>

using fixtures::Crypt;
using fixtures::EngineRun;
using fixtures::Method;
using fixtures::ZipEntry;

namespace {

std::string repeated(const std::string& text, size_t times) {
    std::string out;
    for (size_t i = 0; i < times; ++i)
        out += text;
    return out;
}

std::string randomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string out(size, '\0');
    for (char& c : out)
        c = static_cast<char>(random());
    return out;
}

uint32_t crcOf(const std::string& data) {
    return static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

using fixtures::mtimeOf;
using fixtures::onThisSystem;

uint32_t modeOf(const std::string& path) {
    return fixtures::permissionsOf(path);
}

bool exists(const std::string& path) {
    return fixtures::exists(path);
}

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override { fixtures::makeFolders(out()); }

    std::string zip() const { return tmp / "archive.zip"; }
    std::string out() const { return tmp / "out"; }
    std::string out(const std::string& rel) const { return tmp / ("out/" + rel); }

    EngineRun extraction() const {
        EngineRun run;
        run.archive = zip();
        run.folder = out() + "/";
        return run;
    }

    // A small archive with a folder, nested files, an executable and a stored file.
    void buildSample() {
        ZipEntry stored = ZipEntry::file("docs/readme.txt", "read me\n");
        stored.method = Method::Store;
        fixtures::buildZip(zip(), {
                                      ZipEntry::file("a.txt", repeated("alpha ", 500)),
                                      ZipEntry::folder("docs/"),
                                      stored,
                                      ZipEntry::file("bin/tool", "#!/bin/sh\necho hi\n", 0755),
                                      ZipEntry::file("docs/deep/private.key", "secret", 0600),
                                  });
    }

    fixtures::Engine engine;
    fixtures::TempDir tmp{"vbuzip-test"};
};

TEST_F(EngineTest, VersionRecordIsFilled) {
    UnzipVersionInfo info;
    std::memset(&info, ' ', sizeof info);
    info.StructLength = sizeof info;
    info.Flags = 0;
    ASSERT_EQ(engine.version(&info), UZ_OK);
    EXPECT_EQ(info.Version[0], 1);
    EXPECT_EQ(info.Version[1], 0);
    EXPECT_EQ(info.Version[2], 0);
    EXPECT_STREQ(info.ExtraInfo, "libzip");
    ASSERT_EQ(strnlen(info.Date, sizeof info.Date), 10u);
    EXPECT_EQ(info.Date[4], '-');
    EXPECT_EQ(info.Date[7], '-');

    UnzipVersionInfo shortRecord{};
    shortRecord.StructLength = 20;
    EXPECT_EQ(engine.version(&shortRecord), UZ_ERR_PARAMETERS);
    EXPECT_EQ(engine.version(nullptr), UZ_ERR_PARAMETERS);
}

TEST_F(EngineTest, ListingReportsEveryEntryAndWritesNothing) {
    const std::string text = repeated("compressible text ", 200);
    const std::string binary = randomBytes(1000, 1);
    ZipEntry stored = ZipEntry::file("docs/data.bin", binary);
    stored.method = Method::Store;
    fixtures::buildZip(zip(),
                       {ZipEntry::file("a.txt", text), ZipEntry::folder("docs/"), stored,
                        ZipEntry::encrypted("docs/enc.txt", "hidden", Crypt::TradPkware, "pw")});
    EngineRun run;
    run.archive = zip();
    run.folder = "";
    run.listOnly = true;
    ASSERT_EQ(engine.run(run), UZ_OK) << run.allMessages();

    ASSERT_EQ(run.listed.size(), 4u);
    const fixtures::ListedEntry& a = run.listed[0];
    EXPECT_EQ(a.name, "a.txt");
    EXPECT_EQ(a.method, "Deflated");
    EXPECT_EQ(a.size, text.size());
    EXPECT_LT(a.compressedSize, a.size);
    EXPECT_EQ(a.ratio, static_cast<int32_t>(a.compressedSize * 100 / a.size));
    EXPECT_EQ(a.crc, crcOf(text));
    EXPECT_EQ(a.flags & UZ_LIST_ENCRYPTED, 0);
    struct tm t {};
    time_t when = fixtures::DefaultMtime;
#ifdef _WIN32
    localtime_s(&t, &when);
#else
    localtime_r(&when, &t);
#endif
    EXPECT_EQ(a.year, t.tm_year + 1900);
    EXPECT_EQ(a.month, t.tm_mon + 1);
    EXPECT_EQ(a.day, t.tm_mday);
    EXPECT_EQ(a.hour, t.tm_hour);
    EXPECT_EQ(a.minute, t.tm_min);

    EXPECT_EQ(run.listed[1].name, "docs/");
    EXPECT_EQ(run.listed[2].method, "Stored");
    EXPECT_EQ(run.listed[2].ratio, 100);
    EXPECT_EQ(run.listed[2].crc, crcOf(binary));
    EXPECT_EQ(run.listed[3].flags & UZ_LIST_ENCRYPTED, UZ_LIST_ENCRYPTED);
    EXPECT_TRUE(run.passwordAsked.empty());

    EXPECT_EQ(run.serviced,
              (std::vector<std::string>{"a.txt", "docs/", "docs/data.bin", "docs/enc.txt"}));
    EXPECT_TRUE(fixtures::snapshotTree(out()).empty());
    EXPECT_FALSE(run.callbackOnOtherThread);
}

TEST_F(EngineTest, ListingHonoursIncludeNamesAndReportsMissingOnes) {
    buildSample();
    EngineRun run;
    run.archive = zip();
    run.listOnly = true;
    run.include = {"docs/*"};
    ASSERT_EQ(engine.run(run), UZ_OK);
    std::vector<std::string> names;
    for (const auto& e : run.listed)
        names.push_back(e.name);
    EXPECT_EQ(names,
              (std::vector<std::string>{"docs/", "docs/readme.txt", "docs/deep/private.key"}));

    run.listed.clear();
    run.include = {"a.txt", "nothing.txt"};
    EXPECT_EQ(engine.run(run), UZ_ERR_NO_MATCH);
}

TEST_F(EngineTest, ExtractsEverythingWithFoldersModesAndTimes) {
    buildSample();
    EngineRun run = extraction();
    ASSERT_EQ(engine.run(run), UZ_OK) << run.allMessages();

    EXPECT_EQ(fixtures::readFile(out("a.txt")), repeated("alpha ", 500));
    EXPECT_EQ(fixtures::readFile(out("docs/readme.txt")), "read me\n");
    EXPECT_EQ(fixtures::readFile(out("bin/tool")), "#!/bin/sh\necho hi\n");
    EXPECT_EQ(modeOf(out("bin/tool")), onThisSystem(0755));
    EXPECT_EQ(modeOf(out("docs/deep/private.key")), onThisSystem(0600));
    EXPECT_EQ(modeOf(out("a.txt")), onThisSystem(0644));
    EXPECT_EQ(mtimeOf(out("a.txt")), fixtures::DefaultMtime);
    EXPECT_EQ(mtimeOf(out("bin/tool")), fixtures::DefaultMtime);

    fixtures::TreeSnapshot tree = fixtures::snapshotTree(out());
    EXPECT_EQ(tree.size(), 7u) << "only the entries and their folders, no temporary files";
    EXPECT_EQ(run.serviced, (std::vector<std::string>{"a.txt", "docs/", "docs/readme.txt",
                                                      "bin/tool", "docs/deep/private.key"}));
    const std::string messages = run.allMessages();
    EXPECT_NE(messages.find("  inflating: a.txt\n"), std::string::npos) << messages;
    EXPECT_NE(messages.find(" extracting: docs/readme.txt\n"), std::string::npos) << messages;
    EXPECT_NE(messages.find("   creating: docs/\n"), std::string::npos) << messages;
    for (const std::string& m : run.messages)
        EXPECT_TRUE(m.size() >= 2 && m.size() < 1024);
    EXPECT_FALSE(run.callbackOnOtherThread);
    EXPECT_EQ(run.engineArea[0], 5u);
    EXPECT_EQ(run.engineArea[1], 4u);
}

TEST_F(EngineTest, NewFoldersTakeThePermissionsOfTheirEntries) {
    fixtures::buildZip(zip(),
                       {ZipEntry::folder("private/", 0750), ZipEntry::file("private/x", "x")});
    EngineRun run = extraction();
    ASSERT_EQ(engine.run(run), UZ_OK) << run.allMessages();
    EXPECT_EQ(modeOf(out("private")), onThisSystem(0750, true));
}

TEST_F(EngineTest, FolderNamesOffPutsFilesAtTheTopAndRefusesClashes) {
    fixtures::buildZip(zip(), {ZipEntry::folder("x/"), ZipEntry::file("x/y/one.txt", "1"),
                               ZipEntry::file("two.txt", "2")});
    EngineRun run = extraction();
    run.useFolderNames = false;
    ASSERT_EQ(engine.run(run), UZ_OK) << run.allMessages();
    fixtures::TreeSnapshot tree = fixtures::snapshotTree(out());
    EXPECT_EQ(tree.size(), 2u);
    EXPECT_EQ(fixtures::readFile(out("one.txt")), "1");
    EXPECT_EQ(fixtures::readFile(out("two.txt")), "2");

    // Two entries that end up under one name: refused, nothing written.
    fixtures::buildZip(zip(),
                       {ZipEntry::file("a/same.txt", "a"), ZipEntry::file("b/same.txt", "b")});
    const fixtures::TreeSnapshot before = fixtures::snapshotTree(out());
    EngineRun clash = extraction();
    clash.useFolderNames = false;
    EXPECT_EQ(engine.run(clash), UZ_ERR_DUPLICATE_NAME);
    EXPECT_EQ(fixtures::describeDifferences(before, fixtures::snapshotTree(out())), "");
}

TEST_F(EngineTest, IncludeAndExcludeNamesSelectEntries) {
    buildSample();
    EngineRun run = extraction();
    run.include = {"docs/readme.txt", "BIN/TOOL"}; // names match without case by default
    ASSERT_EQ(engine.run(run), UZ_OK) << run.allMessages();
    EXPECT_TRUE(exists(out("docs/readme.txt")));
    EXPECT_TRUE(exists(out("bin/tool")));
    EXPECT_FALSE(exists(out("a.txt")));
    EXPECT_FALSE(exists(out("docs/deep")));
    EXPECT_EQ(run.serviced, (std::vector<std::string>{"docs/readme.txt", "bin/tool"}));

    // Backslashes in include names count as folder separators.
    EngineRun backslash = extraction();
    backslash.include = {"docs\\deep\\private.key"};
    ASSERT_EQ(engine.run(backslash), UZ_OK);
    EXPECT_TRUE(exists(out("docs/deep/private.key")));

    EngineRun pattern = extraction();
    pattern.include = {"*.txt"};
    pattern.exclude = {"docs/*"};
    ASSERT_EQ(engine.run(pattern), UZ_OK);
    EXPECT_TRUE(exists(out("a.txt")));
}

TEST_F(EngineTest, MissingIncludeNameExtractsNothing) {
    buildSample();
    const fixtures::TreeSnapshot before = fixtures::snapshotTree(out());
    EngineRun run = extraction();
    run.include = {"a.txt", "gone.txt"};
    EXPECT_EQ(engine.run(run), UZ_ERR_NO_MATCH);
    EXPECT_EQ(fixtures::describeDifferences(before, fixtures::snapshotTree(out())), "");
    EXPECT_NE(run.allMessages().find("gone.txt"), std::string::npos);

    EngineRun sensitive = extraction();
    sensitive.include = {"A.TXT"};
    sensitive.caseSensitive = true;
    EXPECT_EQ(engine.run(sensitive), UZ_ERR_NO_MATCH);
    EXPECT_EQ(fixtures::describeDifferences(before, fixtures::snapshotTree(out())), "");
}

TEST_F(EngineTest, ExistingFilesFollowTheOverwriteOptions) {
    fixtures::buildZip(zip(),
                       {ZipEntry::file("one.txt", "new 1"), ZipEntry::file("two.txt", "new 2"),
                        ZipEntry::file("three.txt", "new 3")});
    auto reset = [&] {
        for (const char* name : {"one.txt", "two.txt", "three.txt"})
            fixtures::writeFile(out(name), std::string("old ") + name);
    };

    reset();
    EngineRun keep = extraction();
    keep.overwriteExisting = false;
    ASSERT_EQ(engine.run(keep), UZ_OK);
    EXPECT_EQ(fixtures::readFile(out("one.txt")), "old one.txt");
    EXPECT_TRUE(keep.replaceAsked.empty());
    EXPECT_NE(keep.allMessages().find("skipping: one.txt"), std::string::npos);

    reset();
    EngineRun overwrite = extraction();
    ASSERT_EQ(engine.run(overwrite), UZ_OK);
    EXPECT_EQ(fixtures::readFile(out("three.txt")), "new 3");
    EXPECT_TRUE(overwrite.replaceAsked.empty());

    // Prompting: no, yes, then "all" for the rest.
    reset();
    EngineRun prompt = extraction();
    prompt.promptToOverwrite = true;
    int asked = 0;
    prompt.onReplace = [&](const std::string&) {
        return ++asked == 1 ? UZ_REPLACE_NO : asked == 2 ? UZ_REPLACE_YES : UZ_REPLACE_ALL;
    };
    ASSERT_EQ(engine.run(prompt), UZ_OK);
    EXPECT_EQ(prompt.replaceAsked, (std::vector<std::string>{out() + "/one.txt", out() + "/two.txt",
                                                             out() + "/three.txt"}));
    EXPECT_EQ(fixtures::readFile(out("one.txt")), "old one.txt");
    EXPECT_EQ(fixtures::readFile(out("two.txt")), "new 2");
    EXPECT_EQ(fixtures::readFile(out("three.txt")), "new 3");

    reset();
    EngineRun all = extraction();
    all.promptToOverwrite = true;
    all.onReplace = [](const std::string&) { return UZ_REPLACE_ALL; };
    ASSERT_EQ(engine.run(all), UZ_OK);
    EXPECT_EQ(all.replaceAsked.size(), 1u);
    EXPECT_EQ(fixtures::readFile(out("two.txt")), "new 2");

    reset();
    EngineRun none = extraction();
    none.promptToOverwrite = true;
    none.onReplace = [](const std::string&) { return UZ_REPLACE_NONE; };
    ASSERT_EQ(engine.run(none), UZ_OK);
    EXPECT_EQ(none.replaceAsked.size(), 1u);
    EXPECT_EQ(fixtures::readFile(out("two.txt")), "old two.txt");

    // No handler: the program's default answer 100 keeps the file.
    reset();
    EngineRun unanswered = extraction();
    unanswered.promptToOverwrite = true;
    ASSERT_EQ(engine.run(unanswered), UZ_OK);
    EXPECT_EQ(fixtures::readFile(out("one.txt")), "old one.txt");
}

TEST_F(EngineTest, OnlyNewerReplacesOlderFilesAndCreatesNewOnes) {
    ZipEntry a = ZipEntry::file("old-on-disk.txt", "new");
    ZipEntry b = ZipEntry::file("new-on-disk.txt", "new");
    ZipEntry c = ZipEntry::file("absent.txt", "new");
    fixtures::buildZip(zip(), {a, b, c});
    fixtures::writeFile(out("old-on-disk.txt"), "old");
    fixtures::writeFile(out("new-on-disk.txt"), "newer on disk");
    fixtures::setMtime(out("old-on-disk.txt"), fixtures::DefaultMtime - 100);
    fixtures::setMtime(out("new-on-disk.txt"), fixtures::DefaultMtime + 100);

    EngineRun run = extraction();
    run.overwriteExisting = false;
    run.onlyNewer = true;
    ASSERT_EQ(engine.run(run), UZ_OK) << run.allMessages();
    EXPECT_EQ(fixtures::readFile(out("old-on-disk.txt")), "new");
    EXPECT_EQ(fixtures::readFile(out("new-on-disk.txt")), "newer on disk");
    EXPECT_EQ(fixtures::readFile(out("absent.txt")), "new");
}

TEST_F(EngineTest, SpacesBecomeUnderscoresWhenAsked) {
    fixtures::buildZip(zip(), {ZipEntry::file("my folder/a file.txt", "x")});
    EngineRun run = extraction();
    run.spaceToUnderscore = true;
    ASSERT_EQ(engine.run(run), UZ_OK);
    EXPECT_EQ(fixtures::readFile(out("my_folder/a_file.txt")), "x");
    EXPECT_FALSE(exists(out("my folder")));
}

TEST_F(EngineTest, LineEndsOfTextEntriesBecomeCrLf) {
    const std::string binary = std::string("bin\n\0ary\r\n", 11);
    fixtures::buildZip(
        zip(), {ZipEntry::file("text.txt", "a\nb\r\nc\rd\n"), ZipEntry::file("data.bin", binary)});
    EngineRun run = extraction();
    run.convertLineEnds = true;
    ASSERT_EQ(engine.run(run), UZ_OK) << run.allMessages();
    EXPECT_EQ(fixtures::readFile(out("text.txt")), "a\r\nb\r\nc\r\nd\r\n");
    EXPECT_EQ(fixtures::readFile(out("data.bin")), binary);

    EngineRun plain = extraction();
    ASSERT_EQ(engine.run(plain), UZ_OK);
    EXPECT_EQ(fixtures::readFile(out("text.txt")), "a\nb\r\nc\rd\n");
}

TEST_F(EngineTest, TestOnlyVerifiesAndWritesNothing) {
    buildSample();
    EngineRun run;
    run.archive = zip();
    run.folder = out();
    run.testOnly = true;
    ASSERT_EQ(engine.run(run), UZ_OK) << run.allMessages();
    EXPECT_TRUE(fixtures::snapshotTree(out()).empty());
    EXPECT_NE(run.allMessages().find("testing: a.txt   OK"), std::string::npos);
    EXPECT_EQ(run.serviced.size(), 5u);

    fixtures::patchEntryField(zip(), "docs/readme.txt", fixtures::Field::Crc, 0x12345678);
    EngineRun bad;
    bad.archive = zip();
    bad.testOnly = true;
    EXPECT_EQ(engine.run(bad), UZ_ERR_ARCHIVE);
}

TEST_F(EngineTest, MessageLevelChoosesWhatIsPrinted) {
    buildSample();
    EngineRun quiet = extraction();
    quiet.messageLevel = UZ_MSG_QUIET;
    ASSERT_EQ(engine.run(quiet), UZ_OK);
    EXPECT_TRUE(quiet.messages.empty());

    EngineRun verbose = extraction();
    verbose.messageLevel = UZ_MSG_VERBOSE;
    ASSERT_EQ(engine.run(verbose), UZ_OK);
    EXPECT_EQ(verbose.messages.front(), "Archive:  " + zip() + "\n");
    EXPECT_NE(verbose.allMessages().find("4 files written"), std::string::npos);

    EngineRun failing = extraction();
    failing.archive = tmp / "missing.zip";
    failing.messageLevel = UZ_MSG_QUIET;
    EXPECT_EQ(engine.run(failing), UZ_ERR_NO_ARCHIVE);
    ASSERT_EQ(failing.messages.size(), 1u);
    EXPECT_EQ(failing.messages[0].rfind("error: ", 0), 0u);
}

TEST_F(EngineTest, ServiceCallbackStopsTheCallWithoutChanges) {
    buildSample();
    fixtures::writeFile(out("a.txt"), "before");
    const fixtures::TreeSnapshot before = fixtures::snapshotTree(out());
    EngineRun run = extraction();
    run.onService = [](const std::string& name) { return name == "docs/readme.txt" ? 1 : 0; };
    EXPECT_EQ(engine.run(run), UZ_ERR_STOPPED);
    EXPECT_EQ(run.serviced.size(), 3u);
    EXPECT_EQ(fixtures::describeDifferences(before, fixtures::snapshotTree(out())), "");
}

TEST_F(EngineTest, EncryptedEntriesUseTheCallersPassword) {
    for (Crypt crypt : {Crypt::TradPkware, Crypt::Aes256}) {
        SCOPED_TRACE(crypt == Crypt::Aes256 ? "AES-256" : "traditional");
        fixtures::TempDir dir("vbuzip-crypt");
        const std::string folder = dir / "out";
        fixtures::makeFolders(folder);
        fixtures::buildZip(zip(),
                           {ZipEntry::encrypted("one.txt", repeated("one ", 100), crypt, "sesame"),
                            ZipEntry::file("plain.txt", "plain"),
                            ZipEntry::encrypted("two.txt", "two", crypt, "sesame")});
        const fixtures::TreeSnapshot empty = fixtures::snapshotTree(folder);

        EngineRun none = extraction();
        none.folder = folder;
        EXPECT_EQ(engine.run(none), UZ_ERR_PASSWORD);
        EXPECT_EQ(none.passwordAsked, std::vector<std::string>{"one.txt"});
        EXPECT_FALSE(none.passwordBufferBad);
        EXPECT_EQ(fixtures::describeDifferences(empty, fixtures::snapshotTree(folder)), "");

        EngineRun wrong = extraction();
        wrong.folder = folder;
        wrong.onPassword = [](const std::string&) { return std::string("open barley"); };
        int32_t result = engine.run(wrong);
        EXPECT_TRUE(result == UZ_ERR_PASSWORD || result == UZ_ERR_ARCHIVE) << result;
        EXPECT_EQ(fixtures::describeDifferences(empty, fixtures::snapshotTree(folder)), "");

        EngineRun right = extraction();
        right.folder = folder;
        right.onPassword = [](const std::string&) { return std::string("sesame"); };
        ASSERT_EQ(engine.run(right), UZ_OK) << right.allMessages();
        EXPECT_EQ(right.passwordAsked.size(), 1u) << "a password that fits is used again";
        EXPECT_FALSE(right.passwordBufferBad);
        EXPECT_EQ(fixtures::readFile(folder + "/one.txt"), repeated("one ", 100));
        EXPECT_EQ(fixtures::readFile(folder + "/two.txt"), "two");
    }
}

TEST_F(EngineTest, PasswordOfTheFullBufferLength) {
    const std::string longPassword(254, 'k');
    fixtures::buildZip(zip(), {ZipEntry::encrypted("a.txt", "a", Crypt::Aes256, longPassword)});
    EngineRun run = extraction();
    run.onPassword = [&](const std::string&) { return longPassword; };
    EXPECT_EQ(engine.run(run), UZ_OK) << run.allMessages();
}

TEST_F(EngineTest, FilesNamedLikeTheEnginesOwnAreNeverRemoved) {
    // What a killed call left is known from its records, not from names: files of the folder that
    // merely look like the engine's stay.
    buildSample();
    fixtures::makeFolders(out("docs"));
    for (const char* name : {".vbuzip-0123456789ab-7.tmp", "docs/.vbuzip-ffffffffffff-0.tmp",
                             "docs/.vbuzip-notes.txt"})
        fixtures::writeFile(out(name), "not the engine's");
    EngineRun run = extraction();
    ASSERT_EQ(engine.run(run), UZ_OK);
    EXPECT_EQ(fixtures::readFile(out(".vbuzip-0123456789ab-7.tmp")), "not the engine's");
    EXPECT_EQ(fixtures::readFile(out("docs/.vbuzip-ffffffffffff-0.tmp")), "not the engine's");
    EXPECT_EQ(fixtures::readFile(out("docs/.vbuzip-notes.txt")), "not the engine's");
}

// Staged updates: several archives installed together by one commit.
class UpdateTest : public EngineTest {
protected:
    std::string zip(const std::string& name) const { return tmp / name; }
    EngineRun stageRun(const std::string& archive) const {
        EngineRun run;
        run.archive = archive;
        return run;
    }
    // Every path below the folder that holds a name of the engine's own.
    std::vector<std::string> engineFiles() const {
        std::vector<std::string> found;
        for (const auto& [path, node] : fixtures::snapshotTree(out()))
            if (path.find(".vbuzip-") != std::string::npos)
                found.push_back(path);
        return found;
    }
};

TEST_F(UpdateTest, StagesWithoutTouchingTheInstallationAndTheLaterArchiveWins) {
    fixtures::writeFile(out("shared.txt"), "installed");
    fixtures::writeFile(out("kept.txt"), "installed");
    fixtures::buildZip(zip("a.zip"), {ZipEntry::file("shared.txt", "from a"),
                                      ZipEntry::file("only-a.txt", "from a"),
                                      ZipEntry::file("new/deep/a.txt", "from a", 0755)});
    fixtures::buildZip(zip("b.zip"), {ZipEntry::file("shared.txt", "from b"),
                                      ZipEntry::file("new/b.txt", "from b")});
    const fixtures::TreeSnapshot installed = fixtures::snapshotTree(out());

    UnzipUpdate* update = nullptr;
    ASSERT_EQ(engine.begin(out(), &update), UZ_OK);
    UnzipUpdate* second = nullptr;
    EXPECT_EQ(engine.begin(out(), &second), UZ_ERR_BUSY) << "one update per folder";
    EXPECT_EQ(second, nullptr);
    for (const char* name : {"a.zip", "b.zip"}) {
        EngineRun run = stageRun(zip(name));
        ASSERT_EQ(engine.stage(update, run), UZ_OK) << run.allMessages();
        EXPECT_FALSE(run.callbackOnOtherThread);
    }
    // Prepared: every installed file as it was (new folders may exist already).
    const fixtures::TreeSnapshot prepared = fixtures::snapshotTree(out());
    for (const auto& [path, node] : installed)
        EXPECT_TRUE(prepared.count(path) && prepared.at(path) == node) << path;

    ASSERT_EQ(engine.commit(update), UZ_OK);
    EXPECT_EQ(fixtures::readFile(out("shared.txt")), "from b");
    EXPECT_EQ(fixtures::readFile(out("only-a.txt")), "from a");
    EXPECT_EQ(fixtures::readFile(out("kept.txt")), "installed");
    EXPECT_EQ(fixtures::readFile(out("new/b.txt")), "from b");
    EXPECT_EQ(modeOf(out("new/deep/a.txt")), onThisSystem(0755));
    EXPECT_EQ(engineFiles(), std::vector<std::string>{});
    int32_t report = -1;
    EXPECT_EQ(engine.recover(out(), &report), UZ_OK);
    EXPECT_EQ(report, UZ_RECOVERED_NOTHING);
}

std::vector<uint64_t> g_progress; // what the progress callback was given
bool g_stopAtProgress = false;
int32_t UZ_CALL recordProgress(uint64_t bytesWritten) {
    g_progress.push_back(bytesWritten);
    return g_stopAtProgress ? 1 : 0;
}

TEST_F(UpdateTest, ProgressCountsTheBytesStagedAndCanStopTheCall) {
    fixtures::buildZip(zip("a.zip"), {ZipEntry::file("one", std::string(1000, '1')),
                                      ZipEntry::file("dir/two", std::string(3000, '2')),
                                      ZipEntry::file("three", std::string(5 << 20, '3'))});
    const fixtures::TreeSnapshot before = fixtures::snapshotTree(out());
    for (const bool stop : {false, true}) {
        SCOPED_TRACE(stop ? "stopped at the first report" : "to the end");
        g_progress.clear();
        g_stopAtProgress = stop;
        UnzipUpdate* update = nullptr;
        ASSERT_EQ(engine.begin(out(), &update), UZ_OK);
        ASSERT_EQ(engine.progress(update, &recordProgress), UZ_OK);
        EngineRun run = stageRun(zip("a.zip"));
        EXPECT_EQ(engine.stage(update, run), stop ? UZ_ERR_STOPPED : UZ_OK) << run.allMessages();
        ASSERT_FALSE(g_progress.empty());
        EXPECT_TRUE(std::is_sorted(g_progress.begin(), g_progress.end()));
        if (stop)
            EXPECT_EQ(g_progress.size(), 1u);
        else
            EXPECT_EQ(g_progress.back(), 4000u + (5u << 20)) << "every byte written";
        ASSERT_EQ(engine.discard(update), UZ_OK);
        EXPECT_EQ(fixtures::describeDifferences(before, fixtures::snapshotTree(out())), "");
    }
    EXPECT_EQ(engine.progress(nullptr, &recordProgress), UZ_ERR_PARAMETERS);
}

TEST_F(UpdateTest, ConflictsBetweenArchivesAreRefusedAndDiscardingRestoresEverything) {
    struct Case {
        const char* label;
        std::vector<ZipEntry> first, second;
        int32_t expected;
    };
    const std::vector<Case> cases = {
        {"file of the first where the second needs a folder",
         {ZipEntry::file("clash", "file")},
         {ZipEntry::file("clash/inner.txt", "x")},
         UZ_ERR_DUPLICATE_NAME},
        {"folder entry over a staged file",
         {ZipEntry::file("clash", "file")},
         {ZipEntry::folder("clash/")},
         UZ_ERR_DUPLICATE_NAME},
        {"file where the first created a folder",
         {ZipEntry::file("made/inner.txt", "x")},
         {ZipEntry::file("made", "file")},
         UZ_ERR_WRITE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        fixtures::buildZip(zip("first.zip"), c.first);
        fixtures::buildZip(zip("second.zip"), c.second);
        const fixtures::TreeSnapshot before = fixtures::snapshotTree(out());
        UnzipUpdate* update = nullptr;
        ASSERT_EQ(engine.begin(out(), &update), UZ_OK);
        EngineRun first = stageRun(zip("first.zip")), second = stageRun(zip("second.zip"));
        ASSERT_EQ(engine.stage(update, first), UZ_OK) << first.allMessages();
        EXPECT_EQ(engine.stage(update, second), c.expected) << second.allMessages();
        ASSERT_EQ(engine.discard(update), UZ_OK);
        EXPECT_EQ(fixtures::describeDifferences(before, fixtures::snapshotTree(out())), "");
    }
}

TEST_F(UpdateTest, RecoveryRemovesAPreparedUpdateThatWasNeverCommitted) {
    fixtures::writeFile(out("kept.txt"), "installed");
    fixtures::buildZip(zip("a.zip"),
                       {ZipEntry::file("kept.txt", "new"), ZipEntry::file("fresh/new.txt", "new")});
    const fixtures::TreeSnapshot before = fixtures::snapshotTree(out());
#ifdef _WIN32
    GTEST_SKIP() << "no fork(): the killed-update trials cover a process ended before its commit";
#else
    // A process that prepared the update and was killed before the commit.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        fixtures::Engine own;
        UnzipUpdate* update = nullptr;
        EngineRun run = stageRun(zip("a.zip"));
        _exit(own.begin(out(), &update) == UZ_OK && own.stage(update, run) == UZ_OK ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_EQ(WEXITSTATUS(status), 0);
#endif
    EXPECT_NE(engineFiles(), std::vector<std::string>{});

    UnzipUpdate* update = nullptr;
    EXPECT_EQ(engine.begin(out(), &update), UZ_ERR_BUSY) << "recovery comes first";
    int32_t report = -1;
    ASSERT_EQ(engine.recover(out(), &report), UZ_OK);
    EXPECT_EQ(report, UZ_RECOVERED_REMOVED);
    EXPECT_EQ(fixtures::describeDifferences(before, fixtures::snapshotTree(out())), "");
}

TEST_F(UpdateTest, ARollbackThatCannotFinishKeepsItsJournalForTheNextStart) {
    // A commit killed after replacing a.txt, whose b.txt was never staged: recovery must roll
    // back, and a.txt's old file (its backup) cannot be renamed over it (it is a folder).
    fixtures::writeFile(out("a.txt"), "new");
    ASSERT_TRUE(std::filesystem::create_directory(std::filesystem::u8path(out(".vbuzip-backup"))));
    std::string journal;
    for (const std::string& field : std::vector<std::string>{
             "vbuzip-journal-1", "2", "a.txt", ".vbuzip-staged-a", ".vbuzip-backup",
             std::to_string(fixtures::fileIdOf(out("a.txt"))), "1", "b.txt", ".vbuzip-staged-b", "",
             "1", "0", "0", "end"})
        journal += field + '\0';
    fixtures::writeFile(out(".vbuzip-update.journal"), journal);
    const fixtures::TreeSnapshot before = fixtures::snapshotTree(out());

    int32_t report = -1;
    EXPECT_NE(engine.recover(out(), &report), UZ_OK);
    EXPECT_EQ(fixtures::describeDifferences(before, fixtures::snapshotTree(out())), "")
        << "the journal and the backup stay for the next try";
    ASSERT_TRUE(std::filesystem::remove(std::filesystem::u8path(out(".vbuzip-backup"))));
    fixtures::writeFile(out(".vbuzip-backup"), "old");
    ASSERT_EQ(engine.recover(out(), &report), UZ_OK);
    EXPECT_EQ(report, UZ_RECOVERED_ROLLED_BACK);
    EXPECT_EQ(fixtures::readFile(out("a.txt")), "old");
    EXPECT_EQ(engineFiles(), std::vector<std::string>{});
}

TEST_F(EngineTest, ReplacedFilesAreNewFilesNotRewrittenInPlace) {
    // A running program keeps its old file: a second link to it must still show the old data.
    fixtures::buildZip(zip(), {ZipEntry::file("program", "new program", 0755)});
    fixtures::writeFile(out("program"), "old program", 0755);
    ASSERT_TRUE(fixtures::makeHardLink(out("program"), tmp / "still-running"));
    EngineRun run = extraction();
    ASSERT_EQ(engine.run(run), UZ_OK);
    EXPECT_EQ(fixtures::readFile(out("program")), "new program");
    EXPECT_EQ(fixtures::readFile(tmp / "still-running"), "old program");
}

TEST_F(EngineTest, ExistingLinkAtATargetIsReplacedNotFollowed) {
    fixtures::writeFile(tmp / "elsewhere.txt", "outside");
    if (!fixtures::makeSymlink(tmp / "elsewhere.txt", out("a.txt")))
        GTEST_SKIP() << "this system makes no symbolic links here";
    fixtures::buildZip(zip(), {ZipEntry::file("a.txt", "inside")});
    EngineRun run = extraction();
    ASSERT_EQ(engine.run(run), UZ_OK);
    EXPECT_EQ(fixtures::readFile(tmp / "elsewhere.txt"), "outside");
    EXPECT_EQ(fixtures::snapshotTree(out()).at("a.txt").type, 'f');
    EXPECT_EQ(fixtures::readFile(out("a.txt")), "inside");
}

TEST_F(EngineTest, ManyLargeEntriesOnSeveralThreads) {
    std::vector<ZipEntry> entries;
    std::vector<std::string> contents;
    for (int i = 0; i < 24; ++i) {
        contents.push_back(i % 2 ? randomBytes(300000, static_cast<unsigned>(i))
                                 : repeated("line " + std::to_string(i) + "\n", 40000));
        entries.push_back(ZipEntry::file("d" + std::to_string(i % 3) + "/f" + std::to_string(i),
                                         contents.back()));
    }
    fixtures::buildZip(zip(), entries);
    EngineRun run = extraction();
    ASSERT_EQ(engine.run(run), UZ_OK) << run.allMessages();
    for (int i = 0; i < 24; ++i)
        EXPECT_EQ(fixtures::readFile(out(entries[static_cast<size_t>(i)].name)),
                  contents[static_cast<size_t>(i)]);
    EXPECT_EQ(run.serviced.size(), 24u);
    for (size_t i = 0; i < entries.size(); ++i)
        EXPECT_EQ(run.serviced[i], entries[i].name) << "entries are reported in archive order";
    EXPECT_FALSE(run.callbackOnOtherThread);
}

TEST_F(EngineTest, FailedReplacementPutsBackTheFilesAlreadyReplaced) {
    fixtures::buildZip(zip(),
                       {ZipEntry::file("one.txt", "new 1"), ZipEntry::file("two.txt", "new 2"),
                        ZipEntry::file("three.txt", "new 3")});
    fixtures::writeFile(out("one.txt"), "old 1");
    fixtures::writeFile(out("two.txt"), "old 2", 0600);
    // While the call runs, after every entry is staged, a folder appears where three.txt goes.
    EngineRun run = extraction();
    run.onService = [&](const std::string& name) {
        if (name == "three.txt")
            fixtures::makeFolders(out("three.txt"));
        return 0;
    };
    const fixtures::TreeSnapshot before = fixtures::snapshotTree(out());
    EXPECT_EQ(engine.run(run), UZ_ERR_WRITE);
    fixtures::TreeSnapshot after = fixtures::snapshotTree(out());
    ASSERT_EQ(after.count("three.txt"), 1u);
    after.erase("three.txt"); // the test's own folder
    EXPECT_EQ(fixtures::describeDifferences(before, after), "");
}

TEST_F(EngineTest, InvalidArgumentsAreRefused) {
    buildSample();
    UnzipCallbacks callbacks{};
    auto list = std::make_unique<UnzipNameList>();
    std::memset(list.get(), 0, sizeof *list);
    EXPECT_EQ(engine.unzip()(0, list.get(), 0, list.get(), nullptr, &callbacks), UZ_ERR_PARAMETERS);

    std::string archive = zip(), folder = out();
    UnzipOptions options{};
    options.ArchivePath = archive.data();
    options.ExtractFolder = folder.data();
    options.UseFolderNames = 1;
    EXPECT_EQ(engine.unzip()(-1, list.get(), 0, list.get(), &options, &callbacks),
              UZ_ERR_PARAMETERS);
    EXPECT_EQ(engine.unzip()(UZ_NAME_SLOTS, list.get(), 0, list.get(), &options, &callbacks),
              UZ_ERR_PARAMETERS);
    EXPECT_EQ(engine.unzip()(1, list.get(), 0, list.get(), &options, &callbacks), UZ_ERR_PARAMETERS)
        << "a null name within the count";
    options.ArchivePath = nullptr;
    EXPECT_EQ(engine.unzip()(0, list.get(), 0, list.get(), &options, &callbacks),
              UZ_ERR_PARAMETERS);
    // Without any callbacks the call still works.
    options.ArchivePath = archive.data();
    EXPECT_EQ(engine.unzip()(0, list.get(), 0, list.get(), &options, nullptr), UZ_OK);
    EXPECT_TRUE(exists(out("a.txt")));

    EngineRun notZip = extraction();
    fixtures::writeFile(tmp / "text.zip", "this is not a zip file");
    notZip.archive = tmp / "text.zip";
    EXPECT_EQ(engine.run(notZip), UZ_ERR_NO_ARCHIVE);
    EngineRun missing = extraction();
    missing.archive = tmp / "missing.zip";
    EXPECT_EQ(engine.run(missing), UZ_ERR_NO_ARCHIVE);
}

TEST_F(EngineTest, ExtractionFolderForms) {
    buildSample();
    EngineRun noFolder = extraction();
    noFolder.folder = std::nullopt;
    EXPECT_EQ(engine.run(noFolder), UZ_ERR_PARAMETERS);
    EngineRun emptyFolder = extraction();
    emptyFolder.folder = "";
    EXPECT_EQ(engine.run(emptyFolder), UZ_ERR_PARAMETERS);

    // Without a trailing separator, and a folder that does not exist yet.
    EngineRun plain = extraction();
    plain.folder = out();
    ASSERT_EQ(engine.run(plain), UZ_OK);
    EXPECT_TRUE(exists(out("a.txt")));
    EngineRun created = extraction();
    created.folder = tmp / "new/deeper/";
    ASSERT_EQ(engine.run(created), UZ_OK);
    EXPECT_TRUE(exists(tmp / "new/deeper/bin/tool"));

    // A failed call removes the extraction folder it created.
    fixtures::patchEntryField(zip(), "docs/readme.txt", fixtures::Field::Crc, 1);
    EngineRun failed = extraction();
    failed.folder = tmp / "other/deeper";
    EXPECT_EQ(engine.run(failed), UZ_ERR_ARCHIVE);
    EXPECT_FALSE(exists(tmp / "other"));
}

// Archives written by other tools, as those tools' users expect them extracted and tested.
struct OtherToolCase {
    std::string label;
    // Writes the archive at zip; tmp is a work folder.
    std::function<void(const std::string& zip, const fixtures::TempDir& tmp)> write;
    fixtures::TreeSnapshot expected; // the extraction folder afterwards (mtime 0: not compared)
    std::string password = {};       // the answer when a password is asked for
    std::string message = {};        // printed by the extraction
};

std::ostream& operator<<(std::ostream& out, const OtherToolCase& c) {
    return out << c.label;
}

constexpr time_t Older = fixtures::DefaultMtime - 86400 * 400;
constexpr time_t Old = fixtures::DefaultMtime - 86400 * 30;

fixtures::NodeState fileNode(std::string contents, mode_t permissions, time_t mtime) {
    return {'f', static_cast<mode_t>(onThisSystem(permissions)), std::move(contents), mtime};
}
fixtures::NodeState folderNode(mode_t permissions, time_t mtime) {
    return {'d', static_cast<mode_t>(onThisSystem(permissions, true)), "", mtime};
}

// entry(name, mtime, mode): an entry from a Unix host with its mode and an exact (UTC) time.
const std::string PythonEntry = R"(
def entry(name, mtime, mode):
    info = zipfile.ZipInfo(name, time.gmtime(mtime)[:6])
    info.create_system = 3
    info.external_attr = mode << 16 | (0x10 if name.endswith('/') else 0)
    info.extra = struct.pack('<HHBl', 0x5455, 5, 1, mtime)
    return info
)";

const std::string ScriptHeader = "#!/bin/sh\necho self-extracting\nexit 0\n";

std::vector<OtherToolCase> otherToolCases() {
    const std::string random = randomBytes(5000, 3);
    const std::string text = repeated("a line of text\n", 400);
    return {
        {"SevenZipAesEntries",
         // 7-Zip writes AE-2 entries, which record a CRC of 0; it stores data that does not
         // compress.
         [random, text](const std::string& zip, const fixtures::TempDir& tmp) {
             const std::vector<std::tuple<std::string, std::string, mode_t>> files = {
                 {"zeros", std::string(20, '\0'), 0644},
                 {"random.bin", random, 0600},
                 {"text.txt", text, 0644},
                 {"tiny", "tiny", 0640}};
             std::vector<std::string> command = {"7z",    "a",     "-tzip",       "-bso0",
                                                 "-bsp0", "-pPw1", "-mem=AES256", zip};
             for (const auto& [name, data, permissions] : files) {
                 fixtures::writeFile(tmp / name, data, permissions);
                 fixtures::setMtime(tmp / name, Old);
                 command.push_back(tmp / name);
             }
             fixtures::runTool(command);
         },
         {{"zeros", fileNode(std::string(20, '\0'), 0644, Old)},
          {"random.bin", fileNode(random, 0600, Old)},
          {"text.txt", fileNode(text, 0644, Old)},
          {"tiny", fileNode("tiny", 0640, Old)}},
         "Pw1"},
        {"NamedPipeEntry",
         // What a command-line archiver stores for data read from standard input.
         [](const std::string& zip, const fixtures::TempDir&) {
             fixtures::runPython(PythonEntry + R"(
with zipfile.ZipFile(path, 'w') as z:
    z.writestr(entry('-', )" + std::to_string(Old) +
                                     R"(, 0o010600), b'data read from a pipe\n')
)",
                                 zip);
         },
         {{"-", fileNode("data read from a pipe\n", 0600, Old)}}},
        {"FolderTimes",
         [](const std::string& zip, const fixtures::TempDir&) {
             fixtures::runPython(PythonEntry + "older, old = " + std::to_string(Older) + ", " +
                                     std::to_string(Old) + R"(
with zipfile.ZipFile(path, 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr(entry('app/', older, 0o040750), b'')
    z.writestr(entry('app/lib/', old, 0o040755), b'')
    z.writestr(entry('app/lib/tool', old, 0o100755), b'#!/bin/sh\n')
    z.writestr(entry('app/readme', older, 0o100644), b'read me\n')
    z.writestr(entry('app/new/', old, 0o040700), b'')
)",
                                 zip);
         },
         {{"app", folderNode(0750, Older)},
          {"app/lib", folderNode(0755, Old)},
          {"app/lib/tool", fileNode("#!/bin/sh\n", 0755, Old)},
          {"app/readme", fileNode("read me\n", 0644, Older)},
          {"app/new", folderNode(0700, Old)}}},
        {"DataInFront",
         // A script with the archive appended, its offsets not adjusted.
         [](const std::string& zip, const fixtures::TempDir&) {
             fixtures::runPython(PythonEntry + "import io\nbuffer = io.BytesIO()\n" + R"(
with zipfile.ZipFile(buffer, 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr(entry('bin/', )" + std::to_string(Old) +
                                     R"(, 0o040755), b'')
    z.writestr(entry('bin/run', )" + std::to_string(Old) +
                                     R"(, 0o100755), b'found by its end record\n' * 50)
open(path, 'wb').write(b'#!/bin/sh\necho self-extracting\nexit 0\n' + buffer.getvalue())
)",
                                 zip);
         },
         {{"bin", folderNode(0755, Old)},
          {"bin/run", fileNode(repeated("found by its end record\n", 50), 0755, Old)}},
         "",
         "warning: " + std::to_string(ScriptHeader.size()) +
             " bytes of other data in front of the archive are ignored\n"},
    };
}

class OtherTool : public EngineTest, public ::testing::WithParamInterface<OtherToolCase> {};

TEST_P(OtherTool, ExtractsAndTestsAsItsUsersExpect) {
    const OtherToolCase& c = GetParam();
    c.write(zip(), tmp);
    for (bool testOnly : {true, false}) {
        SCOPED_TRACE(testOnly ? "test" : "extraction");
        EngineRun run = extraction();
        run.testOnly = testOnly;
        run.onPassword = [&](const std::string&) { return c.password; };
        ASSERT_EQ(engine.run(run), UZ_OK) << run.allMessages();
        if (!c.message.empty()) {
            EXPECT_NE(std::find(run.messages.begin(), run.messages.end(), c.message),
                      run.messages.end())
                << run.allMessages();
        }
    }
    fixtures::TreeSnapshot tree = fixtures::snapshotTree(out());
    EXPECT_EQ(tree.size(), c.expected.size());
    for (const auto& [path, expected] : c.expected) {
        auto found = tree.find(path);
        ASSERT_NE(found, tree.end()) << path;
        fixtures::NodeState node = found->second;
        if (expected.mtime == 0)
            node.mtime = 0;
        EXPECT_EQ(node.type, expected.type) << path;
        EXPECT_EQ(node.permissions, expected.permissions) << path;
        EXPECT_EQ(node.contents, expected.contents) << path;
        EXPECT_EQ(node.mtime, expected.mtime) << path;
    }
}

INSTANTIATE_TEST_SUITE_P(Archives, OtherTool, ::testing::ValuesIn(otherToolCases()),
                         [](const auto& info) { return info.param.label; });

} // namespace
