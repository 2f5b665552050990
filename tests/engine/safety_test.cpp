// Hostile and damaged archives: every one is refused before anything is written, nothing outside
// the extraction folder changes, and the folder itself is left exactly as it was.
#include "EngineHarness.h"
#include "ZipFixtures.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using fixtures::Crypt;
using fixtures::EngineRun;
using fixtures::Field;
using fixtures::Method;
using fixtures::ZipEntry;

namespace {

// A work folder holding the extraction folder "root/out" with some files already installed, and
// "root/outside" next to it, which no call may touch.
struct Scene {
    fixtures::TempDir tmp{"vbuzip-safety"};
    std::string root() const { return tmp / "root"; }
    std::string out() const { return tmp / "root/out"; }
    std::string zip() const { return tmp / "hostile.zip"; }

    Scene() {
        fixtures::makeFolders(out() + "/sub");
        fixtures::makeFolders(root() + "/outside");
        fixtures::writeFile(out() + "/keep.txt", "installed");
        fixtures::writeFile(out() + "/sub/tool", "installed tool", 0755);
        fixtures::writeFile(root() + "/outside/secret.txt", "outside");
    }
};

struct HostileCase {
    std::string label;
    // Builds the archive (and may prepare the folders); gets the scene.
    std::function<void(const Scene&)> prepare;
    int32_t expected;
    std::function<void(EngineRun&)> adjust = nullptr;
    // Whether testing the archive (which looks at the archive only) reports the same fault.
    bool testFindsIt = true;
};

std::ostream& operator<<(std::ostream& out, const HostileCase& c) {
    return out << c.label;
}

// Harmless entries that come first, so that a refusal must happen before anything is written.
std::vector<ZipEntry> withGoodEntries(std::vector<ZipEntry> hostile) {
    std::vector<ZipEntry> all = {ZipEntry::file("keep.txt", "replaced!"),
                                 ZipEntry::file("sub/new.txt", "new"),
                                 ZipEntry::file("fresh/folder/file.txt", "fresh")};
    all.insert(all.end(), hostile.begin(), hostile.end());
    return all;
}

std::function<void(const Scene&)> archiveOf(std::vector<ZipEntry> hostile) {
    return [hostile](const Scene& s) { fixtures::buildZip(s.zip(), withGoodEntries(hostile)); };
}

std::string noise(size_t size) {
    std::mt19937 random(7);
    std::string out(size, '\0');
    for (char& c : out)
        c = static_cast<char>(random());
    return out;
}

std::vector<HostileCase> hostileCases() {
    std::vector<HostileCase> cases = {
        {"DotDotAtTop", archiveOf({ZipEntry::file("../evil.txt", "x")}), UZ_ERR_UNSAFE_PATH},
        {"DotDotTwoUp", archiveOf({ZipEntry::file("../outside/secret.txt", "x")}),
         UZ_ERR_UNSAFE_PATH},
        {"DotDotDeep", archiveOf({ZipEntry::file("a/b/../../../../evil.txt", "x")}),
         UZ_ERR_UNSAFE_PATH},
        {"DotDotInsideOnly", archiveOf({ZipEntry::file("a/../b.txt", "x")}), UZ_ERR_UNSAFE_PATH},
        {"DotDotFolder", archiveOf({ZipEntry::folder("../made/")}), UZ_ERR_UNSAFE_PATH},
        {"AbsolutePath",
         [](const Scene& s) {
             fixtures::buildZip(
                 s.zip(), withGoodEntries({ZipEntry::file(s.root() + "/outside/abs.txt", "x")}));
         },
         UZ_ERR_UNSAFE_PATH},
        {"AbsoluteRoot", archiveOf({ZipEntry::file("/etc/evil", "x")}), UZ_ERR_UNSAFE_PATH},
        {"BackslashDotDot", archiveOf({ZipEntry::file("..\\evil.txt", "x")}), UZ_ERR_UNSAFE_PATH},
        {"BackslashDeep", archiveOf({ZipEntry::file("a\\..\\..\\evil.txt", "x")}),
         UZ_ERR_UNSAFE_PATH},
        {"BackslashAbsolute", archiveOf({ZipEntry::file("\\\\server\\share\\x", "x")}),
         UZ_ERR_UNSAFE_PATH},
        {"DriveLetter", archiveOf({ZipEntry::file("C:\\Windows\\evil.dll", "x")}),
         UZ_ERR_UNSAFE_PATH},
        {"DriveRelative", archiveOf({ZipEntry::file("d:evil.txt", "x")}), UZ_ERR_UNSAFE_PATH},
        {"SymlinkOut", archiveOf({ZipEntry::symlink("link", "../outside")}), UZ_ERR_UNSAFE_PATH},
        {"SymlinkInside", archiveOf({ZipEntry::symlink("alias.txt", "keep.txt")}),
         UZ_ERR_UNSAFE_PATH},
        {"SymlinkThenFileThroughIt",
         [](const Scene& s) {
             fixtures::buildZip(s.zip(),
                                withGoodEntries({ZipEntry::symlink("dir", s.root() + "/outside"),
                                                 ZipEntry::file("dir/secret.txt", "pwned")}));
         },
         UZ_ERR_UNSAFE_PATH},
        {"ExistingLinkLeadingOut",
         [](const Scene& s) {
             ASSERT_EQ(symlink("../outside", (s.out() + "/escape").c_str()), 0);
             fixtures::buildZip(s.zip(),
                                withGoodEntries({ZipEntry::file("escape/secret.txt", "pwned")}));
         },
         UZ_ERR_UNSAFE_PATH, nullptr, false},
        {"ExistingAbsoluteLinkLeadingOut",
         [](const Scene& s) {
             ASSERT_EQ(symlink((s.root() + "/outside").c_str(), (s.out() + "/escape").c_str()), 0);
             fixtures::buildZip(
                 s.zip(), withGoodEntries({ZipEntry::file("escape/deeper/new.txt", "pwned")}));
         },
         UZ_ERR_UNSAFE_PATH, nullptr, false},
        {"ExistingLinkDeeperLeadingOut",
         [](const Scene& s) {
             ASSERT_EQ(symlink("../../outside", (s.out() + "/sub/up").c_str()), 0);
             fixtures::buildZip(s.zip(),
                                withGoodEntries({ZipEntry::file("sub/up/x.txt", "pwned")}));
         },
         UZ_ERR_UNSAFE_PATH, nullptr, false},
        {"DuplicateNames",
         [](const Scene& s) {
             fixtures::buildZip(s.zip(), withGoodEntries({ZipEntry::file("twin-a.txt", "first"),
                                                          ZipEntry::file("twin-b.txt", "second")}));
             fixtures::replaceBytes(s.zip(), "twin-b.txt", "twin-a.txt");
         },
         UZ_ERR_DUPLICATE_NAME},
        {"FileWhereAFolderIsNeeded",
         archiveOf({ZipEntry::file("clash", "file"), ZipEntry::file("clash/inner.txt", "x")}),
         UZ_ERR_DUPLICATE_NAME},
        {"FolderWhereAFileIsWritten",
         [](const Scene& s) {
             fixtures::makeFolders(s.out() + "/taken.txt");
             fixtures::buildZip(s.zip(), withGoodEntries({ZipEntry::file("taken.txt", "x")}));
         },
         UZ_ERR_WRITE, nullptr, false},
        {"FileWhereAnExistingFileStands",
         [](const Scene& s) {
             fixtures::buildZip(s.zip(),
                                withGoodEntries({ZipEntry::file("sub/tool/inner.txt", "x")}));
         },
         UZ_ERR_WRITE, nullptr, false},
        {"CrcMismatchInLastEntry",
         [](const Scene& s) {
             fixtures::buildZip(s.zip(),
                                withGoodEntries({ZipEntry::file("last.txt", "last entry data")}));
             fixtures::patchEntryField(s.zip(), "last.txt", Field::Crc, 0xdeadbeef);
         },
         UZ_ERR_ARCHIVE},
        {"CrcMismatchInStoredEntry",
         [](const Scene& s) {
             ZipEntry e = ZipEntry::file("stored.bin", noise(5000));
             e.method = Method::Store;
             fixtures::buildZip(s.zip(), withGoodEntries({e}));
             fixtures::patchEntryField(s.zip(), "stored.bin", Field::Crc, 0x01020304);
         },
         UZ_ERR_ARCHIVE},
        {"CorruptCompressedData",
         [](const Scene& s) {
             fixtures::buildZip(s.zip(),
                                withGoodEntries({ZipEntry::file("big.bin", noise(20000))}));
             fixtures::flipByte(s.zip(), fixtures::dataOffset(s.zip(), "big.bin") + 5000);
         },
         UZ_ERR_ARCHIVE},
        {"TruncatedArchive",
         [](const Scene& s) {
             fixtures::buildZip(s.zip(),
                                withGoodEntries({ZipEntry::file("big.bin", noise(20000))}));
             fixtures::truncateFile(s.zip(), fixtures::readFile(s.zip()).size() / 2);
         },
         UZ_ERR_NO_ARCHIVE},
        {"TruncatedEndRecord",
         [](const Scene& s) {
             fixtures::buildZip(s.zip(), withGoodEntries({}));
             fixtures::truncateFile(s.zip(), fixtures::readFile(s.zip()).size() - 4);
         },
         UZ_ERR_NO_ARCHIVE},
        {"InflatesPastDeclaredSize",
         [](const Scene& s) {
             fixtures::buildZip(
                 s.zip(), withGoodEntries({ZipEntry::file("bomb.txt", std::string(1 << 20, 'z'))}));
             fixtures::patchEntryField(s.zip(), "bomb.txt", Field::Size, 1000);
         },
         UZ_ERR_TOO_LARGE},
        {"ShorterThanDeclaredSize",
         [](const Scene& s) {
             fixtures::buildZip(s.zip(), withGoodEntries({ZipEntry::file("short.txt", "short")}));
             fixtures::patchEntryField(s.zip(), "short.txt", Field::Size, 50);
         },
         UZ_ERR_ARCHIVE},
        {"FolderByItsAttributesHoldingData",
         [](const Scene& s) {
             ZipEntry e = ZipEntry::file("folder/in.txt", "data that must not vanish");
             e.mode = 040755;
             fixtures::buildZip(s.zip(), withGoodEntries({e}));
         },
         UZ_ERR_ARCHIVE},
        {"EmptyEntryWithTheCrcOfSomeData",
         [](const Scene& s) {
             // Stored, so that there are no bytes at all to read and check.
             ZipEntry e = ZipEntry::file("empty.txt", "");
             e.method = Method::Store;
             fixtures::buildZip(s.zip(), withGoodEntries({e}));
             fixtures::patchEntryField(s.zip(), "empty.txt", Field::Crc, 0x000FA9B1);
         },
         UZ_ERR_ARCHIVE},
        {"MoreThanTheFreeSpace",
         [](const Scene& s) {
             struct statvfs vfs {};
             ASSERT_EQ(statvfs(s.out().c_str(), &vfs), 0);
             const double free = double(vfs.f_bavail) * double(vfs.f_frsize);
             const size_t count = static_cast<size_t>(free / 4294967280.0) + 2;
             std::vector<ZipEntry> entries;
             for (size_t i = 0; i < count; ++i)
                 entries.push_back(ZipEntry::file("huge" + std::to_string(100000 + i), "tiny"));
             fixtures::buildZip(s.zip(), withGoodEntries(entries));
             for (size_t i = 0; i < count; ++i)
                 fixtures::patchEntryField(s.zip(), "huge" + std::to_string(100000 + i),
                                           Field::Size, 0xFFFFFFF0u);
         },
         UZ_ERR_DISK_FULL, nullptr, false},
        {"UnsupportedMethod",
         [](const Scene& s) {
             fixtures::buildZip(s.zip(), withGoodEntries({ZipEntry::file("odd.bin", "data")}));
             fixtures::patchEntryField(s.zip(), "odd.bin", Field::Method, 97);
         },
         UZ_ERR_UNSUPPORTED},
        {"TraditionalWithoutPassword",
         archiveOf({ZipEntry::encrypted("locked.txt", "secret", Crypt::TradPkware, "pw")}),
         UZ_ERR_PASSWORD},
        {"AesWithoutPassword",
         archiveOf({ZipEntry::encrypted("locked.txt", "secret", Crypt::Aes256, "pw")}),
         UZ_ERR_PASSWORD},
        {"AesWithWrongPassword",
         archiveOf({ZipEntry::encrypted("locked.txt", "secret", Crypt::Aes256, "pw")}),
         UZ_ERR_PASSWORD,
         [](EngineRun& run) {
             run.onPassword = [](const std::string&) { return std::string("nope"); };
         }},
        {"SecondEntryWithOtherPassword",
         archiveOf({ZipEntry::encrypted("a.txt", "a", Crypt::Aes256, "first"),
                    ZipEntry::encrypted("b.txt", "b", Crypt::Aes256, "second")}),
         UZ_ERR_PASSWORD,
         [](EngineRun& run) {
             run.onPassword = [](const std::string&) { return std::string("first"); };
         }},
        {"StoppedAtTheLastEntry", archiveOf({ZipEntry::file("last.txt", "x")}), UZ_ERR_STOPPED,
         [](EngineRun& run) {
             run.onService = [](const std::string& name) { return name == "last.txt" ? 1 : 0; };
         }},
    };
    return cases;
}

class HostileArchive : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileArchive, IsRefusedWithoutAnyChange) {
    const HostileCase& c = GetParam();
    Scene scene;
    c.prepare(scene);
    const fixtures::TreeSnapshot before = fixtures::snapshotTree(scene.root());

    fixtures::Engine engine;
    EngineRun run;
    run.archive = scene.zip();
    run.folder = scene.out() + "/";
    if (c.adjust)
        c.adjust(run);
    EXPECT_EQ(engine.run(run), c.expected) << run.allMessages();
    EXPECT_EQ(fixtures::describeDifferences(before, fixtures::snapshotTree(scene.root())), "");
    EXPECT_FALSE(run.messages.empty()) << "the refusal is reported";

    // Testing the archive reports the same fault, without writing either.
    if (c.testFindsIt) {
        EngineRun test = run;
        test.testOnly = true;
        test.messages.clear();
        EXPECT_EQ(engine.run(test), c.expected) << test.allMessages();
        EXPECT_EQ(fixtures::describeDifferences(before, fixtures::snapshotTree(scene.root())), "");
    }
}

INSTANTIATE_TEST_SUITE_P(Corpus, HostileArchive, ::testing::ValuesIn(hostileCases()),
                         [](const auto& info) { return info.param.label; });

TEST(EngineSafety, WrongTraditionalPasswordNeverWrites) {
    // The short check value of traditional encryption lets about one wrong password in 256 pass;
    // such a password then fails on the data. Either way nothing is written.
    for (int round = 0; round < 3; ++round) {
        Scene scene;
        fixtures::buildZip(scene.zip(),
                           withGoodEntries({ZipEntry::encrypted("locked.txt", noise(3000),
                                                                Crypt::TradPkware, "right")}));
        const fixtures::TreeSnapshot before = fixtures::snapshotTree(scene.root());
        fixtures::Engine engine;
        EngineRun run;
        run.archive = scene.zip();
        run.folder = scene.out();
        run.onPassword = [&](const std::string&) { return "wrong" + std::to_string(round); };
        int32_t result = engine.run(run);
        EXPECT_TRUE(result == UZ_ERR_PASSWORD || result == UZ_ERR_ARCHIVE) << result;
        EXPECT_LE(run.passwordAsked.size(), 3u);
        EXPECT_EQ(fixtures::describeDifferences(before, fixtures::snapshotTree(scene.root())), "");
    }
}

TEST(EngineSafety, WriteFailureWhileStagingLeavesNoTrace) {
    // A file size limit makes the writing of the large entry fail halfway.
    Scene scene;
    fixtures::buildZip(scene.zip(), withGoodEntries({ZipEntry::file("large.bin", noise(400000))}));
    const fixtures::TreeSnapshot before = fixtures::snapshotTree(scene.root());
    struct rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = old;
    limited.rlim_cur = 100000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);

    fixtures::Engine engine;
    EngineRun run;
    run.archive = scene.zip();
    run.folder = scene.out();
    int32_t result = engine.run(run);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(result, UZ_ERR_WRITE) << run.allMessages();
    EXPECT_EQ(fixtures::describeDifferences(before, fixtures::snapshotTree(scene.root())), "");
}

TEST(EngineSafety, KilledCallLeavesEveryFileOldOrNewAndIsCleanedUpLater) {
    Scene scene;
    const int count = 300;
    std::vector<ZipEntry> entries;
    for (int i = 0; i < count; ++i) {
        const std::string name = "sub/f" + std::to_string(i);
        fixtures::writeFile(scene.out() + "/" + name, "old " + std::to_string(i));
        entries.push_back(ZipEntry::file(name, "new " + std::to_string(i) + noise(2000)));
    }
    entries.push_back(ZipEntry::file("added/big.bin", noise(3 << 20)));
    fixtures::buildZip(scene.zip(), entries);

    auto extract = [&] {
        fixtures::Engine engine;
        EngineRun run;
        run.archive = scene.zip();
        run.folder = scene.out();
        return engine.run(run);
    };
    // How long one call takes here, to spread the kills over it.
    auto started = std::chrono::steady_clock::now();
    {
        fixtures::TempDir probe("vbuzip-probe");
        fixtures::Engine engine;
        EngineRun run;
        run.archive = scene.zip();
        run.folder = probe.path();
        ASSERT_EQ(engine.run(run), UZ_OK);
    }
    const auto callTime = std::chrono::steady_clock::now() - started;

    std::mt19937 random(11);
    for (int round = 0; round < 6; ++round) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0)
            _exit(extract() == UZ_OK ? 0 : 1);
        std::this_thread::sleep_for(callTime * (random() % 100) / 100);
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);

        for (int i = 0; i < count; ++i) {
            const std::string data = fixtures::readFile(scene.out() + "/sub/f" + std::to_string(i));
            const std::string fresh = "new " + std::to_string(i) + noise(2000);
            EXPECT_TRUE(data == "old " + std::to_string(i) || data == fresh)
                << "round " << round << ": sub/f" << i << " is neither old nor new";
        }
        const std::string big = scene.out() + "/added/big.bin";
        if (access(big.c_str(), F_OK) == 0) {
            EXPECT_EQ(fixtures::readFile(big), noise(3 << 20)) << "round " << round;
        }
        EXPECT_EQ(fixtures::readFile(scene.root() + "/outside/secret.txt"), "outside");
    }

    // The next call completes the update and removes what the killed calls left behind.
    ASSERT_EQ(extract(), UZ_OK);
    for (const auto& [path, node] : fixtures::snapshotTree(scene.out()))
        EXPECT_EQ(path.find(".vbuzip-"), std::string::npos) << path;
    EXPECT_EQ(fixtures::readFile(scene.out() + "/sub/f7"), "new 7" + noise(2000));
}

} // namespace
