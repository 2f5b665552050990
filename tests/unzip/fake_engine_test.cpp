// The engine interface and the archive class against a fake engine: what crosses into the engine,
// and how the callbacks read the engine's buffers and answer it.
#include <cmath>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <optional>

#include "AppError.h"
#include "FakeEngineApi.h"
#include "unzip/EngineLibrary.h"
#include "unzip/cUnzip.h"

namespace {

using Slots = std::vector<std::optional<std::string>>;

// Loads the fake (the same file the engine interface loads), records each call and runs the
// test's script inside it.
struct FakeEngine {
    FakeEngine() {
        SetEngineFolders({VORN_FAKE_ENGINE_DIR});
        std::string reason;
        library = mUnzip::EngineLibrary::Open(VORN_FAKE_ENGINE_DIR "/" UZ_LIBRARY_NAME, reason);
        setScripts = reinterpret_cast<decltype(&FakeEngine_SetScripts)>(
            library->Find("FakeEngine_SetScripts"));
        setScripts(&Unzip, &Version, this);
    }
    ~FakeEngine() { setScripts(nullptr, nullptr, nullptr); }
    static Slots Copy(const UnzipNameList* list) {
        Slots copy;
        for (const char* name : list->Names)
            copy.push_back(name ? std::optional<std::string>(name) : std::nullopt);
        return copy;
    }
    static int32_t Unzip(int32_t ni, UnzipNameList* i, int32_t ne, UnzipNameList* e,
                         UnzipOptions* o, UnzipCallbacks* cb, void* context) {
        auto* self = static_cast<FakeEngine*>(context);
        ++self->calls;
        self->includeCount = ni;
        self->excludeCount = ne;
        self->include = Copy(i);
        self->exclude = Copy(e);
        self->options = *o;
        self->folder =
            o->ExtractFolder ? std::optional<std::string>(o->ExtractFolder) : std::nullopt;
        self->table = *cb;
        return self->onUnzip ? self->onUnzip(*o, *cb) : 0;
    }
    static void Version(UnzipVersionInfo* info, void* context) {
        static_cast<FakeEngine*>(context)->onVersion(*info);
    }

    std::unique_ptr<mUnzip::EngineLibrary> library;
    decltype(&FakeEngine_SetScripts) setScripts;
    std::function<int32_t(UnzipOptions&, UnzipCallbacks&)> onUnzip;
    std::function<void(UnzipVersionInfo&)> onVersion;
    int calls = 0;
    int32_t includeCount = 0, excludeCount = 0;
    Slots include, exclude;
    UnzipOptions options{};
    std::optional<std::string> folder;
    UnzipCallbacks table{};
};

void List(UnzipCallbacks& cb, std::string name, uint32_t size = 1, int32_t ratio = 0,
          int32_t month = 1, int32_t day = 1, int32_t year = 2020, uint32_t crc = 0,
          uint8_t flags = 0) {
    char method[] = "Deflated";
    cb.List(0, size, ratio, month, day, year, 13, 5, 0, name.data(), method, crc, flags);
}

// All 1,024 slots of a list: the given ones, then null.
Slots Padded(Slots head) {
    head.resize(UZ_NAME_SLOTS);
    return head;
}

int ErrorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const AppError& error) {
        return error.number();
    }
    return 0;
}

std::vector<std::string> Names(int count) {
    std::vector<std::string> names;
    for (int i = 1; i <= count; ++i)
        names.push_back(std::to_string(i));
    return names;
}

class FakeEngineTest : public ::testing::Test {
protected:
    FakeEngine engine;
    std::shared_ptr<cUnzip> zip = std::make_shared<cUnzip>();
    mUnzip::UnzipOptionsW options;
};

TEST_F(FakeEngineTest, NameListSlots) {
    mUnzip::RunEngine(*zip, options, 0, {}, 2, {"x/\xC3\xA9", ""});
    EXPECT_EQ(engine.include, Padded({""}));
    EXPECT_EQ(engine.excludeCount, 2);
    EXPECT_EQ(engine.exclude, Padded({"x/\xC3\xA9", "", ""}));

    mUnzip::RunEngine(*zip, options, 1023, Names(1023), 0, {});
    EXPECT_EQ(engine.include[1022], "1023");
    EXPECT_EQ(engine.include[1023], "");

    auto other = std::make_shared<cUnzip>();
    EXPECT_EQ(ErrorOf([&] { mUnzip::RunEngine(*other, options, 1024, Names(1024), 0, {}); }),
              AppError::SubscriptOutOfRange);
    EXPECT_EQ(mUnzip::CurrentArchive(), other);
    EXPECT_EQ(ErrorOf([&] { mUnzip::RunEngine(*zip, options, 0, {}, 1024, Names(1024)); }),
              AppError::SubscriptOutOfRange);
    EXPECT_EQ(ErrorOf([&] { mUnzip::RunEngine(*zip, options, 3, Names(2), 0, {}); }),
              AppError::SubscriptOutOfRange);
    EXPECT_EQ(engine.calls, 2);
}

TEST_F(FakeEngineTest, OptionsRecordTableAndReadBack) {
    for (auto set : {&cUnzip::setExtractOnlyNewer, &cUnzip::setSpaceToUnderScore,
                     &cUnzip::setPromptToOverwrite, &cUnzip::setTestZip, &cUnzip::setUseFolderNames,
                     &cUnzip::setOverwriteExisting, &cUnzip::setConvertCRToCRLF,
                     &cUnzip::setCaseSensitiveFileNames})
        (zip.get()->*set)(true);
    zip->setMessageLevel(2);
    zip->setZipFile("a.zip");
    zip->Unzip();
    int32_t numbers[15];
    std::memcpy(numbers, &engine.options, sizeof numbers);
    EXPECT_EQ(std::vector<int32_t>(numbers, numbers + 15),
              (std::vector<int32_t>{1, 1, 1, 2, 0, 1, 0, 0, 0, 1, 1, 1, 0, 1, 0}));
    EXPECT_EQ(engine.folder, std::nullopt); // an unassigned folder crosses as a null pointer
    const UnzipCallbacks& t = engine.table;
    EXPECT_TRUE(t.Print && t.Replace && t.Password && t.List && t.Service && !t.Sound);
    EXPECT_EQ(std::vector<uint32_t>(t.EngineArea, t.EngineArea + 5), std::vector<uint32_t>(5));

    zip->setUnzipFolder("");
    zip->Unzip();
    EXPECT_EQ(engine.folder, ""); // an assigned empty one as a lone NUL
    zip->Directory();
    EXPECT_EQ(engine.options.ListOnly, 1);
    EXPECT_EQ(engine.folder, "");

    engine.onUnzip = [](UnzipOptions& o, UnzipCallbacks&) {
        o.MessageLevel = 7;
        return 0;
    };
    zip->Unzip();
    EXPECT_EQ(engine.options.ListOnly, 0);
    EXPECT_EQ(zip->MessageLevel(), 7);
}

TEST_F(FakeEngineTest, CurrentArchiveIsKeptCountedOrDroppedWhenUncounted) {
    std::weak_ptr<cUnzip> watch = zip;
    zip->Directory();
    zip.reset();
    EXPECT_FALSE(watch.expired());
    {
        cUnzip onStack;
        onStack.Directory();
        EXPECT_EQ(mUnzip::CurrentArchive().get(), &onStack);
        EXPECT_TRUE(watch.expired());
    }
    EXPECT_EQ(mUnzip::CurrentArchive(), nullptr);
}

TEST_F(FakeEngineTest, PrintServiceAndReplaceLimits) {
    std::vector<std::string> seen;
    bool cancel = false;
    zip->Progress = [&](std::int32_t n, const std::string& m) {
        seen.push_back(std::to_string(n) + m);
    };
    zip->Cancel = [&](const std::string& m, bool& c) {
        seen.push_back(m);
        c = cancel;
    };
    std::vector<int32_t> answers;
    engine.onUnzip = [&](UnzipOptions&, UnzipCallbacks& cb) {
        // Exactly sized buffers, without a NUL after them: reads past the limits are caught.
        std::vector<char> x(1024, 'x'), slash = {'a', '\\', 'b'}, ab = {'a', '\0', '/'};
        for (uint32_t n : {0u, 1u, 1024u, 3u, 1023u})
            answers.push_back(cb.Print(n == 3 ? ab.data() : x.data(), n));
        for (uint32_t n : {1u, 1024u, 2u, 3u, 1023u})
            answers.push_back(cb.Service(n <= 3 ? slash.data() : x.data(), n));
        std::vector<char> name(32801, 'n');
        answers.push_back(cb.Replace(name.data()));
        return 0;
    };
    zip->Directory();
    EXPECT_EQ(answers, (std::vector<int32_t>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 100}));
    const std::string nul(1, '\0');
    EXPECT_EQ(seen,
              (std::vector<std::string>{"1a" + nul + "/" + nul, "1" + std::string(1023, 'x') + nul,
                                        "a/", "a/b", std::string(1023, 'x')}));

    cancel = true;
    std::string replaced;
    zip->OverwritePrompt = [&](const std::string& f, std::int32_t& r) {
        replaced = f;
        r += 2;
    };
    answers.clear();
    zip->Directory();
    EXPECT_EQ(answers, (std::vector<int32_t>{0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 102}));
    EXPECT_EQ(replaced, std::string(32801, 'n'));
}

TEST_F(FakeEngineTest, PasswordAnswersAndAbandoning) {
    std::vector<int32_t> answers;
    std::vector<std::string> written;
    bool abandonedAtStart = true;
    engine.onUnzip = [&](UnzipOptions&, UnzipCallbacks& cb) {
        abandonedAtStart = mUnzip::PasswordAbandoned();
        answers.clear();
        written.clear();
        for (int32_t size : {UZ_PASSWORD_BUFFER, UZ_PASSWORD_BUFFER, 5}) {
            std::vector<char> buffer(size_t(size), '\0');
            answers.push_back(cb.Password(buffer.data(), size, nullptr, nullptr));
            written.emplace_back(buffer.data(), strnlen(buffer.data(), buffer.size()));
        }
        return 0;
    };
    zip->Directory(); // nobody answers: declined, then never asked again in this call
    EXPECT_EQ(answers, (std::vector<int32_t>{1, 1, 1}));

    int requests = 0;
    std::string password;
    bool cancel = false;
    zip->PasswordRequest = [&](std::string& p, bool& c) {
        ++requests;
        p = password;
        c = cancel;
    };
    auto run = [&](const std::string& p, bool c) {
        requests = 0;
        password = p;
        cancel = c;
        zip->Directory();
        EXPECT_FALSE(abandonedAtStart);
    };
    run("  ", false);
    EXPECT_EQ(requests, 1);
    EXPECT_EQ(answers, (std::vector<int32_t>{1, 1, 1}));
    run("pw", true);
    EXPECT_EQ(requests, 1);
    run(" secret ", false);
    EXPECT_EQ(answers, (std::vector<int32_t>{0, 0, 0}));
    EXPECT_EQ(written, (std::vector<std::string>{"secret", "secret", "secr"}));
    run(std::string(300, 'p'), false);
    EXPECT_EQ(written[0], std::string(254, 'p'));
}

TEST_F(FakeEngineTest, ListingFillsTheDirectory) {
    engine.onUnzip = [](UnzipOptions&, UnzipCallbacks& cb) {
        List(cb, "dir/sub/f.txt", 1000, 62, 2, 30, 2003, 0xFFFFFFFF, 0x40);
        List(cb, "dir/");
        List(cb, "/top.txt", 999, 0x10001, 0x10002, 1, 5);
        List(cb, "y", 0x7FFFFFFF, 2, 1, 1, 95);
        List(cb, "bad", 0xFFFFFC19 /* -999 */, 0xFFFF, 1, 1, 20000);
        List(cb, std::string(300, 'n') + "/"); // the name is read up to 256 bytes
        List(cb, "x\xFF\xC3.txt");             // what is not UTF-8 reads as U+FFFD
        return 0;
    };
    zip->Directory();
    ASSERT_EQ(zip->FileCount(), 6);
    EXPECT_EQ(zip->Filename(1) + "|" + zip->FileDirectory(1), "f.txt|dir/sub");
    EXPECT_DOUBLE_EQ(zip->FileDate(1), 37682 + 13 / 24.0 + 5 / 1440.0); // 2 March 2003 13:05
    EXPECT_EQ(zip->FilePackedSize(1), 620);
    EXPECT_EQ(zip->FileCRC(1), -1);
    EXPECT_TRUE(zip->FileEncrypted(1) && zip->FileSelected(1));
    EXPECT_EQ(zip->FileCompressionMethod(1), "Deflated");
    EXPECT_EQ(zip->Filename(2) + "|" + zip->FileDirectory(2), "top.txt|");
    EXPECT_EQ(zip->FileCompressionRatio(2), 1); // low 16 bits only
    EXPECT_EQ(zip->FilePackedSize(2), 9);
    EXPECT_DOUBLE_EQ(std::floor(zip->FileDate(2)), 38384); // 1 February 2005
    EXPECT_FALSE(zip->FileEncrypted(2));
    EXPECT_EQ(ErrorOf([&] { zip->FilePackedSize(3); }), AppError::Overflow);
    EXPECT_DOUBLE_EQ(std::floor(zip->FileDate(3)), 34700); // 1 January 1995
    EXPECT_EQ(zip->FileCompressionRatio(4), -1);
    EXPECT_EQ(zip->FilePackedSize(4), 9);
    EXPECT_EQ(zip->FileDate(4), 0); // no such date
    EXPECT_EQ(zip->Filename(5), std::string(256, 'n'));
    EXPECT_EQ(zip->Filename(6), "x\uFFFD\uFFFD.txt");
}

class ListedArchiveTest : public FakeEngineTest {
protected:
    void SetUp() override {
        engine.onUnzip = [this](UnzipOptions& o, UnzipCallbacks& cb) {
            if (o.ListOnly) {
                for (const char* name : {"a.txt", "docs/", "docs/b.txt"})
                    List(cb, name);
            }
            return result;
        };
        zip->setZipFile("p.zip");
        zip->Directory();
    }
    int32_t result = 0;
};

TEST_F(ListedArchiveTest, DirectoryAppendsAndZipFileEmptiesIt) {
    zip->Directory();
    EXPECT_EQ(zip->FileCount(), 4);
    EXPECT_EQ(zip->Filename(3), "a.txt");
    zip->setZipFile(zip->ZipFile());
    EXPECT_EQ(zip->FileCount(), 0);
    zip->Directory();
    EXPECT_EQ(zip->FileCount(), 2);
    for (std::int32_t index : {0, 3}) {
        EXPECT_EQ(ErrorOf([&] { zip->Filename(index); }), AppError::SubscriptOutOfRange);
        EXPECT_EQ(ErrorOf([&] { zip->setFileSelected(index, false); }),
                  AppError::SubscriptOutOfRange);
    }
}

TEST_F(ListedArchiveTest, SelectionMakesTheIncludeListAndResultIsInverted) {
    zip->setFileSelected(1, false);
    EXPECT_FALSE(zip->Unzip());
    EXPECT_EQ(engine.includeCount, 1);
    EXPECT_EQ(engine.include[0], "docs/b.txt");
    zip->setFileSelected(2, false); // none selected: no names, like all selected
    result = 11;
    EXPECT_TRUE(zip->Unzip());
    EXPECT_EQ(engine.includeCount, 0);
    zip->setFileSelected(1, true);
    zip->setFileSelected(2, true);
    zip->Unzip();
    EXPECT_EQ(engine.includeCount, 0);
    EXPECT_EQ(zip->Directory(), 11);
}

TEST_F(FakeEngineTest, GetVersion) {
    UnzipVersionInfo received;
    const char* extra = "";
    const char* dateText = "2024-05-17";
    engine.onVersion = [&](UnzipVersionInfo& v) {
        received = v;
        std::strcpy(v.ExtraInfo, extra);
        std::strcpy(v.Date, dateText);
        v.Version[0] = 6;
        v.Version[1] = 255;
        v.Version[2] = 3;
    };
    std::int32_t major = 0, minor = 0, revision = 0;
    double date = -5;
    std::string info;
    zip->GetVersion(major, minor, revision, date, info);
    EXPECT_EQ(received.StructLength, 64u);
    EXPECT_EQ(std::string(received.ExtraInfo) + received.Date + received.Reserved,
              std::string(9 + 19 + 9, ' '));
    EXPECT_EQ(info, std::string(10, ' '));
    EXPECT_EQ((std::vector<std::int32_t>{major, minor, revision}),
              (std::vector<std::int32_t>{6, 255, 3}));
    EXPECT_DOUBLE_EQ(date, 45429); // 17 May 2024
    extra = "abc";
    zip->GetVersion(major, minor, revision, date, info);
    EXPECT_EQ(info, "abc       ");

    // The date text's forms; what does not read as a date leaves the value as it was.
    const struct {
        const char* text;
        double date;
    } dates[] = {{" 2024/05/17\n", 45429}, {"2024-05-17 12:00", 45429}, {"17 May 2024", 45429},
                 {"1 jan 1900", 2},        {"2024-02-30", -1},          {"2024-05-170", -1},
                 {"2024+05+17", -1},       {"17 June 2024", -1},        {"", -1}};
    for (const auto& c : dates) {
        dateText = c.text;
        date = -1;
        zip->GetVersion(major, minor, revision, date, info);
        EXPECT_EQ(date, c.date) << c.text;
    }
}

TEST_F(FakeEngineTest, MissingEntryPoint) {
    try {
        zip->BeginUpdate(); // the fake has no Vbz_Update* entries
        ADD_FAILURE();
    } catch (const AppError& error) {
        EXPECT_EQ(error.number(), AppError::EntryPointNotFound);
        EXPECT_EQ(error.description(),
                  "Can't find DLL entry point Vbz_UpdateBegin in vbuzip10.dll");
    }
}

} // namespace
