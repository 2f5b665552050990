// The engine library as the program uses it: listing, extracting, testing, options, callbacks.
#include "EngineHarness.h"
#include "ZipFixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
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

mode_t modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

time_t mtimeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st.st_mtime;
}

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
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
    localtime_r(&when, &t);
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
    EXPECT_EQ(modeOf(out("bin/tool")), 0755u);
    EXPECT_EQ(modeOf(out("docs/deep/private.key")), 0600u);
    EXPECT_EQ(modeOf(out("a.txt")), 0644u);
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
    EXPECT_EQ(modeOf(out("private")), 0750u);
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
    const struct timespec older[2] = {{fixtures::DefaultMtime - 100, 0},
                                      {fixtures::DefaultMtime - 100, 0}};
    const struct timespec newer[2] = {{fixtures::DefaultMtime + 100, 0},
                                      {fixtures::DefaultMtime + 100, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, out("old-on-disk.txt").c_str(), older, 0), 0);
    ASSERT_EQ(utimensat(AT_FDCWD, out("new-on-disk.txt").c_str(), newer, 0), 0);

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

TEST_F(EngineTest, LeftoversOfAKilledCallAreRemoved) {
    buildSample();
    fixtures::makeFolders(out("docs"));
    fixtures::writeFile(out(".vbuzip-0123456789ab-7.tmp"), "half written");
    fixtures::writeFile(out("docs/.vbuzip-ffffffffffff-0.tmp"), "half written");
    fixtures::writeFile(out("docs/.vbuzip-notes.txt"), "not ours");
    EngineRun run = extraction();
    ASSERT_EQ(engine.run(run), UZ_OK);
    EXPECT_FALSE(exists(out(".vbuzip-0123456789ab-7.tmp")));
    EXPECT_FALSE(exists(out("docs/.vbuzip-ffffffffffff-0.tmp")));
    EXPECT_TRUE(exists(out("docs/.vbuzip-notes.txt")));
}

TEST_F(EngineTest, ReplacedFilesAreNewFilesNotRewrittenInPlace) {
    // A running program keeps its old file: a second link to it must still show the old data.
    fixtures::buildZip(zip(), {ZipEntry::file("program", "new program", 0755)});
    fixtures::writeFile(out("program"), "old program", 0755);
    ASSERT_EQ(link(out("program").c_str(), (tmp / "still-running").c_str()), 0);
    EngineRun run = extraction();
    ASSERT_EQ(engine.run(run), UZ_OK);
    EXPECT_EQ(fixtures::readFile(out("program")), "new program");
    EXPECT_EQ(fixtures::readFile(tmp / "still-running"), "old program");
}

TEST_F(EngineTest, ExistingLinkAtATargetIsReplacedNotFollowed) {
    fixtures::writeFile(tmp / "elsewhere.txt", "outside");
    ASSERT_EQ(symlink((tmp / "elsewhere.txt").c_str(), out("a.txt").c_str()), 0);
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

} // namespace
