// Hostile and damaged archives: every one is refused before anything is written, nothing outside
// the extraction folder changes, and the folder itself is left exactly as it was.
#include "ChildProcess.h"
#include "EngineHarness.h"
#include "ZipFixtures.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <random>
#include <thread>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

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

constexpr int32_t SameFault = -1;
// Where the system makes no links (wine answers success and makes none), a case that needs one
// is skipped.
constexpr const char* NoLinks = "this system makes no symbolic links here";

struct HostileCase {
    std::string label;
    // Builds the archive (and may prepare the folders); gets the scene.
    std::function<void(const Scene&)> prepare;
    int32_t expected;
    std::function<void(EngineRun&)> adjust = nullptr;
    // What testing the archive gives: a test reads the entries and checks their data, it does
    // not apply the rules for writing them; SameFault when it reports the same fault.
    int32_t tested = SameFault;
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

// An archive written by Python's zipfile (harmless entries first) whose end record is then
// changed: what follows runs with data (the archive's bytes) and end (where its end record is).
std::function<void(const Scene&)> pythonArchiveWithEnd(const std::string& change) {
    return [change](const Scene& s) {
        fixtures::runPython(R"(
with zipfile.ZipFile(path, 'w') as z:
    z.writestr('keep.txt', 'replaced!')
    z.writestr('sub/new.txt', 'new')
data = bytearray(open(path, 'rb').read())
end = data.rfind(b'PK\x05\x06')
)" + change + "\nopen(path, 'wb').write(data)\n",
                            s.zip());
    };
}

// An archive written by 7-Zip with AES-256 (AE-2) under the password "pw" (harmless entries
// first), with one bit of the stored data of locked.bin flipped: the byte at the offset that
// the Python expression at gives (size is the entry's stored size).
std::function<void(const Scene&)> sevenZipAesDamagedAt(const std::string& at) {
    return [at](const Scene& s) {
        const std::string in = s.tmp / "in";
        fixtures::makeFolders(in);
        fixtures::writeFile(in + "/keep.txt", "replaced!");
        fixtures::writeFile(in + "/locked.bin", noise(5000));
        fixtures::runTool({"7z", "a", "-tzip", "-bso0", "-bsp0", "-ppw", "-mem=AES256", s.zip(),
                           in + "/keep.txt", in + "/locked.bin"});
        fixtures::runPython(R"(
data = bytearray(open(path, 'rb').read())
info = zipfile.ZipFile(path).getinfo('locked.bin')
size = info.compress_size
name_size, extra_size = struct.unpack('<HH', data[info.header_offset + 26:info.header_offset + 30])
data[info.header_offset + 30 + name_size + extra_size + )" +
                                at + R"(] ^= 1
open(path, 'wb').write(data)
)",
                            s.zip());
    };
}

std::vector<HostileCase> hostileCases() {
    std::vector<HostileCase> cases = {
        {"DotDotAtTop", archiveOf({ZipEntry::file("../evil.txt", "x")}), UZ_ERR_UNSAFE_PATH,
         nullptr, UZ_OK},
        {"DotDotTwoUp", archiveOf({ZipEntry::file("../outside/secret.txt", "x")}),
         UZ_ERR_UNSAFE_PATH, nullptr, UZ_OK},
        {"DotDotDeep", archiveOf({ZipEntry::file("a/b/../../../../evil.txt", "x")}),
         UZ_ERR_UNSAFE_PATH, nullptr, UZ_OK},
        {"DotDotInsideOnly", archiveOf({ZipEntry::file("a/../b.txt", "x")}), UZ_ERR_UNSAFE_PATH,
         nullptr, UZ_OK},
        {"DotDotFolder", archiveOf({ZipEntry::folder("../made/")}), UZ_ERR_UNSAFE_PATH, nullptr,
         UZ_OK},
        // Names of the engine's own files: staged files, backups and the update's records.
        {"ReservedFolderName", archiveOf({ZipEntry::folder(".vbuzip-attr/")}), UZ_ERR_UNSAFE_PATH,
         nullptr, UZ_OK},
        {"ReservedNameDeepInOtherCase", archiveOf({ZipEntry::file("sub/.VBUZIP-1-2.tmp", "x")}),
         UZ_ERR_UNSAFE_PATH, nullptr, UZ_OK},
        {"ReservedRecordName", archiveOf({ZipEntry::file(".vbuzip-update.journal", "x")}),
         UZ_ERR_UNSAFE_PATH, nullptr, UZ_OK},
        {"AbsolutePath",
         [](const Scene& s) {
             fixtures::buildZip(
                 s.zip(), withGoodEntries({ZipEntry::file(s.root() + "/outside/abs.txt", "x")}));
         },
         UZ_ERR_UNSAFE_PATH, nullptr, UZ_OK},
        {"AbsoluteRoot", archiveOf({ZipEntry::file("/etc/evil", "x")}), UZ_ERR_UNSAFE_PATH, nullptr,
         UZ_OK},
        {"BackslashDotDot", archiveOf({ZipEntry::file("..\\evil.txt", "x")}), UZ_ERR_UNSAFE_PATH,
         nullptr, UZ_OK},
        {"BackslashDeep", archiveOf({ZipEntry::file("a\\..\\..\\evil.txt", "x")}),
         UZ_ERR_UNSAFE_PATH, nullptr, UZ_OK},
        {"BackslashAbsolute", archiveOf({ZipEntry::file("\\\\server\\share\\x", "x")}),
         UZ_ERR_UNSAFE_PATH, nullptr, UZ_OK},
        {"DriveLetter", archiveOf({ZipEntry::file("C:\\Windows\\evil.dll", "x")}),
         UZ_ERR_UNSAFE_PATH, nullptr, UZ_OK},
        {"DriveRelative", archiveOf({ZipEntry::file("d:evil.txt", "x")}), UZ_ERR_UNSAFE_PATH,
         nullptr, UZ_OK},
        {"SymlinkOut", archiveOf({ZipEntry::symlink("link", "../outside")}), UZ_ERR_UNSAFE_PATH,
         nullptr, UZ_OK},
        {"SymlinkInside", archiveOf({ZipEntry::symlink("alias.txt", "keep.txt")}),
         UZ_ERR_UNSAFE_PATH, nullptr, UZ_OK},
        {"SymlinkThenFileThroughIt",
         [](const Scene& s) {
             fixtures::buildZip(s.zip(),
                                withGoodEntries({ZipEntry::symlink("dir", s.root() + "/outside"),
                                                 ZipEntry::file("dir/secret.txt", "pwned")}));
         },
         UZ_ERR_UNSAFE_PATH, nullptr, UZ_OK},
        {"ExistingLinkLeadingOut",
         [](const Scene& s) {
             if (!fixtures::makeSymlink("../outside", s.out() + "/escape"))
                 GTEST_SKIP() << NoLinks;
             fixtures::buildZip(s.zip(),
                                withGoodEntries({ZipEntry::file("escape/secret.txt", "pwned")}));
         },
         UZ_ERR_UNSAFE_PATH, nullptr, UZ_OK},
        {"ExistingAbsoluteLinkLeadingOut",
         [](const Scene& s) {
             if (!fixtures::makeSymlink(s.root() + "/outside", s.out() + "/escape"))
                 GTEST_SKIP() << NoLinks;
             fixtures::buildZip(
                 s.zip(), withGoodEntries({ZipEntry::file("escape/deeper/new.txt", "pwned")}));
         },
         UZ_ERR_UNSAFE_PATH, nullptr, UZ_OK},
        {"ExistingLinkDeeperLeadingOut",
         [](const Scene& s) {
             if (!fixtures::makeSymlink("../../outside", s.out() + "/sub/up"))
                 GTEST_SKIP() << NoLinks;
             fixtures::buildZip(s.zip(),
                                withGoodEntries({ZipEntry::file("sub/up/x.txt", "pwned")}));
         },
         UZ_ERR_UNSAFE_PATH, nullptr, UZ_OK},
        {"DuplicateNames",
         [](const Scene& s) {
             fixtures::buildZip(s.zip(), withGoodEntries({ZipEntry::file("twin-a.txt", "first"),
                                                          ZipEntry::file("twin-b.txt", "second")}));
             fixtures::replaceBytes(s.zip(), "twin-b.txt", "twin-a.txt");
         },
         UZ_ERR_DUPLICATE_NAME, nullptr, UZ_OK},
        {"FileWhereAFolderIsNeeded",
         archiveOf({ZipEntry::file("clash", "file"), ZipEntry::file("clash/inner.txt", "x")}),
         UZ_ERR_DUPLICATE_NAME, nullptr, UZ_OK},
        {"FolderWhereAFileIsWritten",
         [](const Scene& s) {
             fixtures::makeFolders(s.out() + "/taken.txt");
             fixtures::buildZip(s.zip(), withGoodEntries({ZipEntry::file("taken.txt", "x")}));
         },
         UZ_ERR_WRITE, nullptr, UZ_OK},
        {"FileWhereAnExistingFileStands",
         [](const Scene& s) {
             fixtures::buildZip(s.zip(),
                                withGoodEntries({ZipEntry::file("sub/tool/inner.txt", "x")}));
         },
         UZ_ERR_WRITE, nullptr, UZ_OK},
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
             const double free =
                 double(std::filesystem::space(std::filesystem::u8path(s.out())).available);
             const size_t count = static_cast<size_t>(free / 4294967280.0) + 2;
             std::vector<ZipEntry> entries;
             for (size_t i = 0; i < count; ++i)
                 entries.push_back(ZipEntry::file("huge" + std::to_string(100000 + i), "tiny"));
             fixtures::buildZip(s.zip(), withGoodEntries(entries));
             for (size_t i = 0; i < count; ++i)
                 fixtures::patchEntryField(s.zip(), "huge" + std::to_string(100000 + i),
                                           Field::Size, 0xFFFFFFF0u);
         },
         UZ_ERR_DISK_FULL, nullptr, UZ_ERR_ARCHIVE},
        {"UnsupportedMethod",
         [](const Scene& s) {
             fixtures::buildZip(s.zip(), withGoodEntries({ZipEntry::file("odd.bin", "data")}));
             fixtures::patchEntryField(s.zip(), "odd.bin", Field::Method, 97);
         },
         UZ_ERR_UNSUPPORTED},
        {"SplitArchive", pythonArchiveWithEnd("data[end + 4:end + 8] = struct.pack('<HH', 1, 1)"),
         UZ_ERR_UNSUPPORTED},
        {"EndRecordCountsMoreEntries",
         pythonArchiveWithEnd("data[end + 8:end + 12] = struct.pack('<HH', 3, 3)"), UZ_ERR_ARCHIVE},
        {"DeviceEntry",
         [](const Scene& s) {
             fixtures::runPython(R"(
with zipfile.ZipFile(path, 'w') as z:
    z.writestr('keep.txt', 'replaced!')
    device = zipfile.ZipInfo('dev/tty0')
    device.create_system = 3
    device.external_attr = 0o020620 << 16
    z.writestr(device, b'')
)",
                                 s.zip());
         },
         UZ_ERR_UNSAFE_PATH, nullptr, UZ_OK},
        {"AesVersion2WithDamagedData", sevenZipAesDamagedAt("100"), UZ_ERR_PASSWORD,
         [](EngineRun& run) {
             run.onPassword = [](const std::string&) { return std::string("pw"); };
         }},
        {"AesVersion2WithDamagedAuthenticationCode", sevenZipAesDamagedAt("size - 1"),
         UZ_ERR_PASSWORD,
         [](EngineRun& run) {
             run.onPassword = [](const std::string&) { return std::string("pw"); };
         }},
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
#ifdef _WIN32
        // What Windows cannot hold as a name, or would take for another file or a device.
        {"WindowsDeviceName", archiveOf({ZipEntry::file("docs/NUL.txt", "x")}), UZ_ERR_UNSAFE_PATH,
         nullptr, UZ_OK},
        {"WindowsDeviceNameAnyCase", archiveOf({ZipEntry::file("lpt9.log", "x")}),
         UZ_ERR_UNSAFE_PATH, nullptr, UZ_OK},
        {"WindowsConsoleName", archiveOf({ZipEntry::file("CONIN$", "x")}), UZ_ERR_UNSAFE_PATH,
         nullptr, UZ_OK},
        {"WindowsDataStream", archiveOf({ZipEntry::file("keep.txt:hidden", "x")}),
         UZ_ERR_UNSAFE_PATH, nullptr, UZ_OK},
        {"WindowsTrailingDot", archiveOf({ZipEntry::file("sub/tool.", "x")}), UZ_ERR_UNSAFE_PATH,
         nullptr, UZ_OK},
        {"WindowsTrailingSpace", archiveOf({ZipEntry::file("sub /x.txt", "x")}), UZ_ERR_UNSAFE_PATH,
         nullptr, UZ_OK},
        {"WindowsNamesDifferingInCase",
         archiveOf({ZipEntry::file("Docs/Read.txt", "1"), ZipEntry::file("docs/READ.TXT", "2")}),
         UZ_ERR_DUPLICATE_NAME, nullptr, UZ_OK},
        {"WindowsJunctionLeadingOut",
         [](const Scene& s) {
             if (!fixtures::makeSymlink(s.root() + "/outside", s.out() + "/Escape"))
                 GTEST_SKIP() << NoLinks;
             fixtures::buildZip(s.zip(),
                                withGoodEntries({ZipEntry::file("escape/secret.txt", "pwned")}));
         },
         UZ_ERR_UNSAFE_PATH, nullptr, UZ_OK},
#endif
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
    if (IsSkipped())
        return;
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

    // Testing the archive writes nothing either.
    EngineRun test = run;
    test.testOnly = true;
    test.messages.clear();
    EXPECT_EQ(engine.run(test), c.tested == SameFault ? c.expected : c.tested)
        << test.allMessages();
    EXPECT_EQ(fixtures::describeDifferences(before, fixtures::snapshotTree(scene.root())), "");
}

TEST_P(HostileArchive, AsSecondArchiveOfAnUpdateLeavesTheInstallationAsItWas) {
    const HostileCase& c = GetParam();
    Scene scene;
    c.prepare(scene);
    if (IsSkipped())
        return;
    const std::string first = scene.tmp / "first.zip";
    fixtures::buildZip(first, {ZipEntry::file("keep.txt", "first package"),
                               ZipEntry::file("first/only.txt", "first package")});
    const fixtures::TreeSnapshot before = fixtures::snapshotTree(scene.root());

    fixtures::Engine engine;
    UnzipUpdate* update = nullptr;
    ASSERT_EQ(engine.begin(scene.out(), &update), UZ_OK);
    EngineRun good;
    good.archive = first;
    ASSERT_EQ(engine.stage(update, good), UZ_OK) << good.allMessages();
    EngineRun run;
    run.archive = scene.zip();
    if (c.adjust)
        c.adjust(run);
    EXPECT_EQ(engine.stage(update, run), c.expected) << run.allMessages();
    EXPECT_EQ(engine.discard(update), UZ_OK);
    EXPECT_EQ(fixtures::describeDifferences(before, fixtures::snapshotTree(scene.root())), "");
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
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no file size limit to make a write fail";
#else
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
#endif
}

// Killed at a random moment, a single extraction or a two-archive update leaves every file old or
// new; the next call or recovery finishes or undoes it, leaving nothing of the engine's behind.
enum class KillMode { SingleCall, TwoArchiveUpdate };

class KilledUpdate : public ::testing::TestWithParam<KillMode> {};

TEST_P(KilledUpdate, LeavesEveryFileOldOrNewAndIsCleanedUpLater) {
    const bool update = GetParam() == KillMode::TwoArchiveUpdate;
    Scene scene;
    const int count = 300;
    std::vector<ZipEntry> entries, second;
    for (int i = 0; i < count; ++i) {
        const std::string name = "sub/f" + std::to_string(i);
        fixtures::writeFile(scene.out() + "/" + name, "old " + std::to_string(i));
        entries.push_back(ZipEntry::file(name, "new " + std::to_string(i) + noise(2000)));
    }
    entries.push_back(ZipEntry::file("added/big.bin", noise(3 << 20)));
    // The second archive replaces a file of the first one and one installed file.
    fixtures::writeFile(scene.out() + "/second.txt", "old second");
    second.push_back(ZipEntry::file("sub/f0", "newer 0"));
    second.push_back(ZipEntry::file("second.txt", "new second"));
    fixtures::buildZip(scene.zip(), entries);
    const std::string secondZip = scene.tmp / "second.zip";
    fixtures::buildZip(secondZip, second);

    auto install = [&](const std::string& folder) {
        fixtures::Engine engine;
        EngineRun run;
        run.archive = scene.zip();
        if (!update) {
            run.folder = folder;
            return engine.run(run);
        }
        EngineRun run2;
        run2.archive = secondZip;
        UnzipUpdate* handle = nullptr;
        int32_t result = engine.begin(folder, &handle);
        if (result == UZ_OK)
            result = engine.stage(handle, run);
        if (result == UZ_OK)
            result = engine.stage(handle, run2);
        return result == UZ_OK ? engine.commit(handle) : result;
    };
    auto isNew = [&](int i) {
        const std::string data = fixtures::readFile(scene.out() + "/sub/f" + std::to_string(i));
        if (update && i == 0)
            return data == "newer 0";
        return data == "new " + std::to_string(i) + noise(2000);
    };
    // How long one call takes here, to spread the kills over it.
    auto started = std::chrono::steady_clock::now();
    {
        fixtures::TempDir probe("vbuzip-probe");
        ASSERT_EQ(install(probe.path()), UZ_OK);
    }
    const auto callTime = std::chrono::steady_clock::now() - started;

    std::mt19937 random(11);
    fixtures::Engine engine;
    for (int round = 0; round < 6; ++round) {
        {
            std::vector<std::string> call{VORN_ENGINE_CALL, update ? "update" : "extract",
                                          scene.out(), scene.zip()};
            if (update)
                call.push_back(secondZip);
            Child child(VORN_ENGINE_CALL, call);
            std::this_thread::sleep_for(callTime * (random() % 100) / 100);
            child.killAndLeaveZombie();
        }
        // An update is recovered before anything else; then it is all old or all new.
        int32_t report = -1;
        if (update) {
            ASSERT_EQ(engine.recover(scene.out(), &report), UZ_OK);
        }
        const bool allNew = isNew(1);
        for (int i = 0; i < count; ++i) {
            const std::string data = fixtures::readFile(scene.out() + "/sub/f" + std::to_string(i));
            if (update)
                EXPECT_EQ(isNew(i), allNew) << "round " << round << ": sub/f" << i << " mixed";
            else
                EXPECT_TRUE(isNew(i) || data == "old " + std::to_string(i))
                    << "round " << round << ": sub/f" << i << " is neither old nor new";
        }
        if (update) {
            EXPECT_EQ(fixtures::readFile(scene.out() + "/second.txt"),
                      allNew ? "new second" : "old second");
            for (const auto& [path, node] : fixtures::snapshotTree(scene.out()))
                EXPECT_EQ(path.find(".vbuzip-"), std::string::npos) << path;
            // The next round starts from the old installation again.
            if (allNew) {
                for (int i = 0; i < count; ++i)
                    fixtures::writeFile(scene.out() + "/sub/f" + std::to_string(i),
                                        "old " + std::to_string(i));
                fixtures::writeFile(scene.out() + "/second.txt", "old second");
                std::filesystem::remove_all(scene.out() + "/added");
            }
        }
        const std::string big = scene.out() + "/added/big.bin";
        if (fixtures::exists(big)) {
            EXPECT_TRUE(!update || allNew)
                << "round " << round << ": a new file of a rolled-back update";
            EXPECT_EQ(fixtures::readFile(big), noise(3 << 20)) << "round " << round;
        }
        EXPECT_EQ(fixtures::readFile(scene.root() + "/outside/secret.txt"), "outside");
    }

    // The next call completes the update and removes what the killed calls left behind.
    ASSERT_EQ(install(scene.out()), UZ_OK);
    for (const auto& [path, node] : fixtures::snapshotTree(scene.out()))
        EXPECT_EQ(path.find(".vbuzip-"), std::string::npos) << path;
    EXPECT_TRUE(isNew(7));
}

INSTANTIATE_TEST_SUITE_P(Modes, KilledUpdate,
                         ::testing::Values(KillMode::SingleCall, KillMode::TwoArchiveUpdate),
                         [](const auto& info) {
                             return info.param == KillMode::SingleCall ? "SingleCall"
                                                                       : "TwoArchiveUpdate";
                         });

TEST(EngineSafety, CommitThatCannotBeFinishedIsRolledBackFromTheJournal) {
    // A commit killed as it puts its first files in place, and then a staged file is lost: the
    // update cannot be finished, so recovery puts back every replaced file.
    Scene scene;
    std::vector<ZipEntry> entries;
    for (int i = 0; i < 2000; ++i) {
        const std::string name = "sub/f" + std::to_string(i);
        fixtures::writeFile(scene.out() + "/" + name, "old");
        entries.push_back(ZipEntry::file(name, "new"));
    }
    entries.push_back(ZipEntry::file("added.txt", "new"));
    fixtures::buildZip(scene.zip(), entries);
    const std::string first = scene.out() + "/added.txt"; // the first the commit puts in place
#ifdef _WIN32
    GTEST_SKIP() << "the kill is timed by polling a forked child";
#else

    for (int attempt = 0; attempt < 20; ++attempt) {
        const fixtures::TreeSnapshot before = fixtures::snapshotTree(scene.out());
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            fixtures::Engine engine;
            UnzipUpdate* update = nullptr;
            EngineRun run;
            run.archive = scene.zip();
            _exit(engine.begin(scene.out(), &update) == UZ_OK &&
                          engine.stage(update, run) == UZ_OK && engine.commit(update) == UZ_OK
                      ? 0
                      : 1);
        }
        while (access(first.c_str(), F_OK) != 0 && waitpid(child, nullptr, WNOHANG) == 0) {
        }
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        // Lose one staged file that still holds new data.
        bool lost = false;
        for (const auto& [path, node] : fixtures::snapshotTree(scene.out())) {
            if (!lost && path.find("/.vbuzip-") != std::string::npos && node.contents == "new")
                lost = unlink((scene.out() + "/" + path).c_str()) == 0;
        }
        fixtures::Engine engine;
        int32_t report = -1;
        ASSERT_EQ(engine.recover(scene.out(), &report), UZ_OK);
        if (!lost) {
            // The commit got too far (or not far enough) to lose anything: start again.
            unlink(first.c_str());
            for (int i = 0; i < 2000; ++i)
                fixtures::writeFile(scene.out() + "/sub/f" + std::to_string(i), "old");
            continue;
        }
        EXPECT_EQ(report, UZ_RECOVERED_ROLLED_BACK);
        EXPECT_EQ(fixtures::describeDifferences(before, fixtures::snapshotTree(scene.out())), "");
        return;
    }
    GTEST_SKIP() << "no kill fell inside the commit";
#endif
}

} // namespace
