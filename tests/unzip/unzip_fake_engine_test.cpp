// The engine interface and the archive class against the fake engine: what crosses into the
// engine, and how the callbacks read the engine's buffers and answer it.
#include <QStringList>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

#include "AppError.h"
#include "FakeEngine.h"
#include "cUnzip.h"
#include "mUnzip.h"

namespace {

using mUnzip::RunEngine;
using mUnzip::UnzipOptionsW;

// An engine buffer holding exactly these bytes (no NUL added), so reads past it are caught.
std::vector<char> Buffer(const std::string& bytes) {
    return {bytes.begin(), bytes.end()};
}

void ListEntry(UnzipCallbacks& cb, std::string name, uint32_t size = 100, int32_t ratio = 50,
               uint32_t crc = 0, uint8_t flags = 0, int32_t month = 1, int32_t day = 1,
               int32_t year = 2020, int32_t hour = 0, int32_t minute = 0) {
    std::string method = "Deflated";
    cb.List(0, size, ratio, month, day, year, hour, minute, 0, name.data(), method.data(), crc,
            flags);
}

int ExpectAppError(const std::function<void()>& call) {
    try {
        call();
    } catch (const AppError& error) {
        return error.number();
    }
    ADD_FAILURE() << "no AppError";
    return 0;
}

QStringList Names(int count) {
    QStringList names;
    for (int i = 1; i <= count; ++i)
        names << QStringLiteral("n%1").arg(i);
    return names;
}

class FakeEngineTest : public ::testing::Test {
protected:
    FakeEngine engine;
    std::shared_ptr<cUnzip> zip = std::make_shared<cUnzip>();
};

TEST_F(FakeEngineTest, NameListsHoldNamesThenEmptyTextThenNull) {
    UnzipOptionsW options;
    RunEngine(*zip, options, 0, {}, 2, {QStringLiteral("x/é"), QStringLiteral("y")});
    const FakeUnzipCall& call = engine.last();
    EXPECT_EQ(call.includeCount, 0);
    EXPECT_EQ(call.include[0], std::string());
    for (int slot = 1; slot < 1024; ++slot)
        ASSERT_FALSE(call.include[slot].has_value()) << slot;
    EXPECT_EQ(call.excludeCount, 2);
    EXPECT_EQ(call.exclude[0], std::string("x/\xC3\xA9"));
    EXPECT_EQ(call.exclude[1], std::string("y"));
    EXPECT_EQ(call.exclude[2], std::string());
    EXPECT_FALSE(call.exclude[3].has_value());

    RunEngine(*zip, options, 1023, Names(1023), 0, {});
    EXPECT_EQ(engine.last().include[0], std::string("n1"));
    EXPECT_EQ(engine.last().include[1022], std::string("n1023"));
    EXPECT_EQ(engine.last().include[1023], std::string());
}

TEST_F(FakeEngineTest, TooManyNamesFailBeforeTheEngineWithCurrentArchiveSet) {
    UnzipOptionsW options;
    const int before = engine.calls();
    auto other = std::make_shared<cUnzip>();
    EXPECT_EQ(ExpectAppError([&] { RunEngine(*other, options, 1024, Names(1024), 0, {}); }),
              AppError::SubscriptOutOfRange);
    EXPECT_EQ(mUnzip::CurrentArchive(), other);
    EXPECT_EQ(ExpectAppError([&] { RunEngine(*zip, options, 0, {}, 1024, Names(1024)); }),
              AppError::SubscriptOutOfRange);
    EXPECT_EQ(ExpectAppError([&] { RunEngine(*zip, options, 3, Names(2), 0, {}); }),
              AppError::SubscriptOutOfRange);
    EXPECT_EQ(ExpectAppError([&] { RunEngine(*zip, options, -1, {}, 0, {}); }),
              AppError::SubscriptOutOfRange);
    EXPECT_EQ(engine.calls(), before);
}

TEST_F(FakeEngineTest, OptionsRecordAndCallbackTable) {
    zip->setExtractOnlyNewer(true);
    zip->setSpaceToUnderScore(true);
    zip->setPromptToOverwrite(true);
    zip->setMessageLevel(2);
    zip->setTestZip(true);
    zip->setUseFolderNames(true);
    zip->setOverwriteExisting(true);
    zip->setConvertCRToCRLF(true);
    zip->setCaseSensitiveFileNames(true);
    zip->setZipFile(QStringLiteral("/tmp/a.zip"));
    zip->Unzip();
    const FakeUnzipCall& call = engine.last();
    const std::vector<int32_t> expected = {1, 1, 1, 2, 0, 1, 0, 0, 0, 1, 1, 1, 0, 1, 0};
    EXPECT_EQ(std::vector<int32_t>(call.numbers, call.numbers + 15), expected);
    EXPECT_EQ(call.archivePath, std::string("/tmp/a.zip"));
    EXPECT_FALSE(call.extractFolder.has_value()); // unassigned folder: a null pointer
    EXPECT_TRUE(call.fiveCallbacksSet);
    EXPECT_TRUE(call.soundNull);
    EXPECT_TRUE(call.engineAreaZero);

    zip->setUnzipFolder(QString(QLatin1String(""))); // assigned but empty: a lone NUL
    zip->setTestZip(false);
    zip->Unzip();
    EXPECT_EQ(engine.last().extractFolder, std::string());
    EXPECT_EQ(engine.last().numbers[5], 0);

    zip->Directory();
    EXPECT_EQ(engine.last().numbers[6], 1); // list only
    EXPECT_EQ(engine.last().extractFolder, std::string());
    zip->Unzip();
    EXPECT_EQ(engine.last().numbers[6], 0);
}

TEST_F(FakeEngineTest, OptionsAreReadBackAfterTheCall) {
    static char changed[] = "/tmp/changed.zip";
    engine.onUnzip = [](UnzipOptions& o, UnzipCallbacks&) {
        o.MessageLevel = 7;
        o.OverwriteExisting = 1;
        o.ArchivePath = changed;
        return 0;
    };
    zip->setZipFile(QStringLiteral("/tmp/a.zip"));
    zip->Unzip();
    EXPECT_EQ(zip->MessageLevel(), 7);
    EXPECT_TRUE(zip->OverwriteExisting());
    EXPECT_EQ(zip->ZipFile(), QStringLiteral("/tmp/a.zip"));
}

TEST_F(FakeEngineTest, CurrentArchiveIsACountedReferenceKeptAfterTheCall) {
    std::weak_ptr<cUnzip> watch = zip;
    cUnzip* seenDuringCall = nullptr;
    engine.onUnzip = [&](UnzipOptions&, UnzipCallbacks&) {
        seenDuringCall = mUnzip::CurrentArchive().get();
        return 0;
    };
    zip->Directory();
    EXPECT_EQ(seenDuringCall, zip.get());
    zip.reset();
    EXPECT_FALSE(watch.expired()); // still held as the latest archive
    EXPECT_EQ(mUnzip::CurrentArchive(), watch.lock());

    {
        cUnzip onStack; // not shared: held uncounted, and dropped when it goes
        onStack.Directory();
        EXPECT_EQ(mUnzip::CurrentArchive().get(), &onStack);
    }
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(mUnzip::CurrentArchive(), nullptr);
}

TEST_F(FakeEngineTest, PrintCallbackLengthLimitsAndMessage) {
    QStringList messages;
    QObject::connect(zip.get(), &cUnzip::Progress, [&](qint32 lCount, const QString& sMsg) {
        EXPECT_EQ(lCount, 1);
        messages << sMsg;
    });
    engine.onUnzip = [](UnzipOptions&, UnzipCallbacks& cb) {
        for (uint32_t length : {0u, 1u, 1024u, 1025u}) {
            std::vector<char> text(length, 'x');
            EXPECT_EQ(cb.Print(text.data(), length), 0);
        }
        std::vector<char> ab = Buffer("ab"), inner = Buffer(std::string("a\0/b", 4));
        std::vector<char> longest(1023, 'y');
        EXPECT_EQ(cb.Print(ab.data(), 2), 0);
        cb.Print(inner.data(), 4);
        cb.Print(longest.data(), 1023);
        return 0;
    };
    zip->Directory();
    ASSERT_EQ(messages.size(), 3);
    EXPECT_EQ(messages[0], QString(QStringLiteral("ab")) + QChar(0));
    EXPECT_EQ(messages[1],
              QString(QStringLiteral("a")) + QChar(0) + QStringLiteral("/b") + QChar(0));
    EXPECT_EQ(messages[2].size(), 1024);
}

TEST_F(FakeEngineTest, ReplaceCallbackAnswersAndNameLimit) {
    std::vector<int32_t> answers;
    engine.onUnzip = [&](UnzipOptions&, UnzipCallbacks& cb) {
        std::vector<char> name = Buffer(std::string("dir/f.txt\0zz", 12));
        std::vector<char> huge(32801, 'h'); // no NUL within the limit
        answers.push_back(cb.Replace(name.data()));
        answers.push_back(cb.Replace(huge.data()));
        return 0;
    };
    zip->Directory();
    EXPECT_EQ(answers, (std::vector<int32_t>{100, 100})); // nobody answers

    QStringList files;
    QObject::connect(zip.get(), &cUnzip::OverwritePrompt, [&](const QString& f, qint32& r) {
        EXPECT_EQ(r, 100);
        files << f;
        r = 102;
    });
    answers.clear();
    zip->Directory();
    EXPECT_EQ(answers, (std::vector<int32_t>{102, 102}));
    ASSERT_EQ(files.size(), 2);
    EXPECT_EQ(files[0], QStringLiteral("dir/f.txt"));
    EXPECT_EQ(files[1], QString(32801, QLatin1Char('h')));
}

TEST_F(FakeEngineTest, PasswordCallbackAnswersAndAbandoning) {
    int requests = 0;
    QString give;
    bool cancel = false;
    std::vector<int32_t> answers;
    std::vector<std::string> written;
    bool abandonedAtStart = true;
    engine.onUnzip = [&](UnzipOptions&, UnzipCallbacks& cb) {
        abandonedAtStart = mUnzip::PasswordAbandoned();
        for (int i = 0; i < 2; ++i) {
            std::vector<char> buffer(UZ_PASSWORD_BUFFER, '\0');
            answers.push_back(cb.Password(buffer.data(), UZ_PASSWORD_BUFFER, nullptr, nullptr));
            written.emplace_back(buffer.data());
        }
        return 0;
    };

    zip->Directory(); // nobody answers: declined once, then not asked again
    EXPECT_EQ(answers, (std::vector<int32_t>{1, 1}));
    EXPECT_TRUE(mUnzip::PasswordAbandoned());

    QObject::connect(zip.get(), &cUnzip::PasswordRequest, [&](QString& p, bool& c) {
        EXPECT_TRUE(p.isEmpty());
        EXPECT_FALSE(c);
        ++requests;
        p = give;
        c = cancel;
    });
    auto run = [&](const QString& password, bool cancelled) {
        requests = 0;
        give = password;
        cancel = cancelled;
        answers.clear();
        written.clear();
        zip->Directory();
        EXPECT_FALSE(abandonedAtStart);
    };
    run(QStringLiteral("   "), false);
    EXPECT_EQ(requests, 1);
    EXPECT_EQ(answers, (std::vector<int32_t>{1, 1}));
    run(QStringLiteral("pw"), true);
    EXPECT_EQ(requests, 1);
    EXPECT_EQ(answers, (std::vector<int32_t>{1, 1}));

    run(QStringLiteral("  secret  "), false);
    EXPECT_EQ(requests, 2);
    EXPECT_EQ(answers, (std::vector<int32_t>{0, 0}));
    EXPECT_EQ(written[0], "secret");
    EXPECT_FALSE(mUnzip::PasswordAbandoned());

    run(QString(300, QLatin1Char('p')), false);
    EXPECT_EQ(written[0], std::string(254, 'p'));
}

TEST_F(FakeEngineTest, PasswordNeverOverrunsASmallBuffer) {
    QObject::connect(zip.get(), &cUnzip::PasswordRequest,
                     [](QString& p, bool&) { p = QStringLiteral("longpassword"); });
    std::vector<int32_t> answers;
    std::string written;
    engine.onUnzip = [&](UnzipOptions&, UnzipCallbacks& cb) {
        std::vector<char> small(5, 'z'), none(1, 'z');
        answers.push_back(cb.Password(small.data(), 5, nullptr, nullptr));
        written.assign(small.data());
        answers.push_back(cb.Password(none.data(), 1, nullptr, nullptr));
        return 0;
    };
    zip->Directory();
    EXPECT_EQ(written, "long");
    EXPECT_EQ(answers, (std::vector<int32_t>{0, 1}));
}

TEST_F(FakeEngineTest, ListCallbackFillsTheDirectory) {
    engine.onUnzip = [](UnzipOptions&, UnzipCallbacks& cb) {
        ListEntry(cb, "dir/sub/file.txt", 1000, 62, 0xFFFFFFFFu, 0x40, 2, 30, 2003, 13, 5);
        ListEntry(cb, "file.txt", 999, 0x10001); // ratio: low 16 bits only
        ListEntry(cb, "/top.txt", 5, 0xFFFF, 0, 0, 0x10002, 1, 5);
        ListEntry(cb, "dir/"); // a folder entry: no directory entry
        ListEntry(cb, "y95", 1, 1, 0, 0, 1, 1, 95);
        ListEntry(cb, "bad-date", 1, 1, 0, 0, 1, 1, 20000);
        std::vector<char> name(256, 'n'); // no NUL within the limit
        std::string method = "Stored";
        cb.List(0, 7, 0, 1, 1, 2020, 0, 0, 0, name.data(), method.data(), 0, 0);
        return 0;
    };
    zip->Directory();
    ASSERT_EQ(zip->FileCount(), 6);
    EXPECT_EQ(zip->Filename(1), QStringLiteral("file.txt"));
    EXPECT_EQ(zip->FileDirectory(1), QStringLiteral("dir/sub"));
    EXPECT_DOUBLE_EQ(zip->FileDate(1), 37682 + 13 / 24.0 + 5 / 1440.0); // 2 March 2003 13:05
    EXPECT_EQ(zip->FileSize(1), 1000);
    EXPECT_EQ(zip->FileCompressionRatio(1), 62);
    EXPECT_EQ(zip->FilePackedSize(1), 620);
    EXPECT_EQ(zip->FileCRC(1), -1);
    EXPECT_TRUE(zip->FileEncrypted(1));
    EXPECT_EQ(zip->FileCompressionMethod(1), QStringLiteral("Deflated"));
    EXPECT_TRUE(zip->FileSelected(1));

    EXPECT_EQ(zip->FileDirectory(2), QString());
    EXPECT_EQ(zip->FileCompressionRatio(2), 1);
    EXPECT_EQ(zip->FilePackedSize(2), 9);
    EXPECT_FALSE(zip->FileEncrypted(2));

    EXPECT_EQ(zip->Filename(3), QStringLiteral("top.txt"));
    EXPECT_EQ(zip->FileDirectory(3), QString());
    EXPECT_EQ(zip->FileCompressionRatio(3), -1);
    EXPECT_DOUBLE_EQ(zip->FileDate(3), 38384); // 1 February 2005

    EXPECT_DOUBLE_EQ(zip->FileDate(4), 34700); // 1 January 1995
    EXPECT_EQ(zip->Filename(5), QStringLiteral("bad-date"));
    EXPECT_DOUBLE_EQ(zip->FileDate(5), 0); // an impossible date is skipped
    EXPECT_EQ(zip->Filename(6), QString(256, QLatin1Char('n')));
}

TEST_F(FakeEngineTest, ServiceCallbackCountLimitsAndCancel) {
    QStringList names;
    bool cancel = false;
    QObject::connect(zip.get(), &cUnzip::Cancel, [&](const QString& m, bool& c) {
        EXPECT_FALSE(c);
        names << m;
        c = cancel;
    });
    std::vector<int32_t> answers;
    engine.onUnzip = [&](UnzipOptions&, UnzipCallbacks& cb) {
        std::vector<char> path = Buffer("a\\b.txt");
        std::vector<char> big(1024, 'q');
        for (uint32_t count : {1u, 1024u, 2u, 7u})
            answers.push_back(cb.Service(count <= 7 ? path.data() : big.data(), count));
        answers.push_back(cb.Service(big.data(), 1023));
        return 0;
    };
    zip->Directory();
    EXPECT_EQ(answers, (std::vector<int32_t>{0, 0, 0, 0, 0}));
    EXPECT_EQ(names, (QStringList{QStringLiteral("a/"), QStringLiteral("a/b.txt"),
                                  QString(1023, QLatin1Char('q'))}));
    cancel = true;
    answers.clear();
    zip->Directory();
    EXPECT_EQ(answers, (std::vector<int32_t>{0, 0, 1, 1, 1}));
}

class ListedArchiveTest : public FakeEngineTest {
protected:
    void SetUp() override {
        engine.onUnzip = [this](UnzipOptions& o, UnzipCallbacks& cb) {
            if (o.ListOnly) {
                ListEntry(cb, "a.txt");
                ListEntry(cb, "docs/");
                ListEntry(cb, "docs/b.txt");
            }
            return result;
        };
        zip->setZipFile(QStringLiteral("/tmp/p.zip"));
        zip->Directory();
    }
    std::vector<std::string> Included() const {
        const FakeUnzipCall& call = engine.last();
        std::vector<std::string> names;
        for (int32_t i = 0; i < call.includeCount; ++i)
            names.push_back(call.include[i].value_or("<null>"));
        return names;
    }
    int32_t result = 0;
};

TEST_F(ListedArchiveTest, DirectoryAppendsAndZipFileResets) {
    EXPECT_EQ(zip->FileCount(), 2);
    EXPECT_EQ(zip->FileDirectory(2), QStringLiteral("docs"));
    zip->Directory();
    EXPECT_EQ(zip->FileCount(), 4);
    EXPECT_EQ(zip->Filename(3), QStringLiteral("a.txt"));
    zip->setZipFile(zip->ZipFile());
    EXPECT_EQ(zip->FileCount(), 0);
    EXPECT_EQ(ExpectAppError([&] { zip->Filename(1); }), AppError::SubscriptOutOfRange);
}

TEST_F(ListedArchiveTest, SelectionMakesTheIncludeList) {
    zip->setFileSelected(1, false);
    EXPECT_FALSE(zip->Unzip());
    EXPECT_EQ(Included(), (std::vector<std::string>{"docs/b.txt"}));
    zip->setFileSelected(2, false); // none selected: everything, like all selected
    zip->Unzip();
    EXPECT_TRUE(Included().empty());
    zip->setFileSelected(1, true);
    zip->setFileSelected(2, true);
    zip->Unzip();
    EXPECT_TRUE(Included().empty());
    EXPECT_EQ(engine.last().archivePath, std::string("/tmp/p.zip"));
}

TEST_F(ListedArchiveTest, UnzipReportsAnEngineProblemAsTrue) {
    result = 2;
    EXPECT_TRUE(zip->Unzip());
    EXPECT_EQ(zip->Directory(), 2);
    result = 0;
    EXPECT_FALSE(zip->Unzip());
}

TEST_F(ListedArchiveTest, IndexErrorsChangeNothing) {
    for (qint32 index : {0, 3, -1}) {
        EXPECT_EQ(ExpectAppError([&] { zip->Filename(index); }), AppError::SubscriptOutOfRange);
        EXPECT_EQ(ExpectAppError([&] { zip->setFileSelected(index, false); }),
                  AppError::SubscriptOutOfRange);
    }
    EXPECT_TRUE(zip->FileSelected(1));
    EXPECT_TRUE(zip->FileSelected(2));
}

TEST_F(FakeEngineTest, PackedSizeOverflowAndTooManySelectedNames) {
    engine.onUnzip = [](UnzipOptions& o, UnzipCallbacks& cb) {
        if (!o.ListOnly)
            return 0;
        ListEntry(cb, "big", 0x7FFFFFFF, 2);
        ListEntry(cb, "negative", static_cast<uint32_t>(-999), 1);
        for (int i = 0; i < 1024; ++i)
            ListEntry(cb, "f" + std::to_string(i));
        return 0;
    };
    zip->setZipFile(QStringLiteral("/tmp/q.zip"));
    zip->Directory();
    EXPECT_EQ(ExpectAppError([&] { zip->FilePackedSize(1); }), AppError::Overflow);
    EXPECT_EQ(zip->FilePackedSize(2), -9);

    const int before = engine.calls();
    zip->setFileSelected(1, false); // 1,025 names: too many for one list
    EXPECT_EQ(ExpectAppError([&] { zip->Unzip(); }), AppError::SubscriptOutOfRange);
    zip->setFileSelected(2, false); // 1,024 names: still too many
    EXPECT_EQ(ExpectAppError([&] { zip->Unzip(); }), AppError::SubscriptOutOfRange);
    EXPECT_EQ(engine.calls(), before);
    zip->setFileSelected(3, false); // 1,023 names fit
    zip->Unzip();
    EXPECT_EQ(engine.last().includeCount, 1023);
}

TEST_F(FakeEngineTest, GetVersionReadsTheVersionRecord) {
    UnzipVersionInfo received;
    std::string extra, date;
    engine.onVersion = [&](UnzipVersionInfo& v) {
        received = v;
        std::memcpy(v.ExtraInfo, extra.c_str(), extra.size() + 1);
        std::memcpy(v.Date, date.c_str(), date.size() + 1);
        v.Version[0] = 6;
        v.Version[1] = 255;
        v.Version[2] = 3;
    };
    qint32 major = 0, minor = 0, revision = 0;
    double when = -5;
    QString info;
    date = "2024-05-17";
    zip->GetVersion(major, minor, revision, when, info);
    EXPECT_EQ(received.StructLength, 64u);
    EXPECT_EQ(received.Flags, 0u);
    EXPECT_EQ(std::string(received.ExtraInfo), std::string(9, ' '));
    EXPECT_EQ(std::string(received.Date), std::string(19, ' '));
    EXPECT_EQ(std::string(received.Reserved), std::string(9, ' '));
    EXPECT_EQ(info, QString(10, QLatin1Char(' ')));
    EXPECT_EQ(major, 6);
    EXPECT_EQ(minor, 255);
    EXPECT_EQ(revision, 3);
    EXPECT_DOUBLE_EQ(when, 45429); // 17 May 2024

    extra = "abc";
    date = "not a date";
    when = -5;
    zip->GetVersion(major, minor, revision, when, info);
    EXPECT_EQ(info, QStringLiteral("abc       "));
    EXPECT_DOUBLE_EQ(when, -5);
}

} // namespace
