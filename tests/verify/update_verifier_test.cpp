// The checks of a whole run's packages, on signatures made by minisign: which package is refused,
// with which status line, what is left in updates/, and what is recorded.
#include "VerifyFixture.h"

#include <QDirIterator>
#include <QRegularExpression>
#include <functional>
#include <map>

namespace {

using fixtures::sign;

const QString A = QStringLiteral("a.zip"), B = QStringLiteral("b.zip");
const QString Record = QStringLiteral(".vorn-update.state");

struct RunCase {
    const char* name;
    // Changes the starting point: the publisher's key installed; a.zip (1.5 MB, hashed in several
    // pieces) and b.zip, both signed by the publisher with minisign's default trusted comment.
    std::function<void(VerifyFixture&)> arrange;
    QString refused; // empty: every package passes
    QString line;    // {publisher} and {other} stand for those keys' ids
};

void editTrustedComment(VerifyFixture& t, const QString& package) {
    QByteArray text = t.contents(t.update(package + QStringLiteral(".minisig")));
    text.replace(QByteArrayLiteral("timestamp:"), QByteArrayLiteral("timestamp:9"));
    t.write(t.update(package + QStringLiteral(".minisig")), text);
}

// A trusted comment of my own, signed with the package: -t replaces minisign's default one.
QStringList trusted(const char* comment) {
    return {QStringLiteral("-t"), QString::fromLatin1(comment)};
}

const RunCase runCases[] = {
    {"BothSigned", [](VerifyFixture&) {}, {}, {}},
    {"OneFlippedByte",
     [](VerifyFixture& t) {
         QByteArray bytes = t.contents(t.update(A));
         bytes[1100000] = char(bytes[1100000] ^ 0x10);
         t.write(t.update(A), bytes);
     },
     A,
     "ERROR: Update file 'a.zip' is not signed by the publisher's key: it differs from the file "
     "key {publisher} signed (changed or damaged after signing)."},
    {"SecondSignedByAnotherKey", [](VerifyFixture& t) { sign(t.other, t.update(B)); }, B,
     "ERROR: Update file 'b.zip' is not signed by the publisher's key: it was signed with key "
     "{other}, which 'vorn-update.pub' does not hold."},
    {"LegacySignature", [](VerifyFixture& t) { sign(t.publisher, t.update(A), {"-l"}); }, A,
     "ERROR: Update file 'a.zip' has a legacy signature, which is not accepted: sign it again "
     "without minisign's -l option."},
    {"EditedTrustedComment", [](VerifyFixture& t) { editTrustedComment(t, A); }, A,
     "ERROR: Update file 'a.zip' is not signed by the publisher's key: the trusted comment of its "
     "signature was changed after signing."},
    {"SignedUnderAnotherName",
     [](VerifyFixture& t) {
         for (const QString& suffix : {QString(), QStringLiteral(".minisig")}) {
             QFile::remove(t.update(B + suffix));
             QFile::copy(t.update(A + suffix), t.update(B + suffix));
         }
     },
     B, "ERROR: Update file 'b.zip' is signed for another file name: 'a.zip'."},
    {"NoFileName",
     [](VerifyFixture& t) { sign(t.publisher, t.update(A), trusted("timestamp:1700000000")); }, A,
     "ERROR: Update file 'a.zip' is signed for no file name: the trusted comment of its "
     "signature has no 'file:' field (sign it with minisign's default trusted comment)."},
    {"OlderThanInstalled",
     [](VerifyFixture& t) {
         sign(t.publisher, t.update(A), trusted("timestamp:1700000000\tfile:a.zip\thashed"));
         t.write(t.path(Record), "a.zip\t1800000000\nb.zip\t1\n");
     },
     A,
     "ERROR: Update file 'a.zip' is older than the installed one: it was signed 2023-11-14 "
     "22:13:20 UTC, the installed one 2027-01-15 08:00:00 UTC."},
    {"AsOldAsInstalled",
     [](VerifyFixture& t) {
         sign(t.publisher, t.update(A), trusted("timestamp:1700000000\tfile:a.zip\thashed"));
         t.write(t.path(Record), "# note\na.zip\t1700000000\n");
     },
     {},
     {}},
    {"SignatureMissing", [](VerifyFixture& t) { QFile::remove(t.update(B + ".minisig")); }, B,
     "ERROR: Update file 'b.zip' is not signed: its signature 'b.zip.minisig' is missing."},
    {"RotationSignedByTheNewKey",
     [](VerifyFixture& t) {
         t.installKeys({&t.publisher, &t.successor});
         sign(t.successor, t.update(B));
     },
     {},
     {}},
    {"RotationTheOldKeyRetired",
     [](VerifyFixture& t) {
         t.installKeys({&t.successor});
         sign(t.successor, t.update(B));
     },
     A,
     "ERROR: Update file 'a.zip' is not signed by the publisher's key: it was signed with key "
     "{publisher}, which 'vorn-update.pub' does not hold."},
};

// Every file of updates/ with its bytes.
std::map<QString, QByteArray> updatesFolder(const VerifyFixture& t) {
    std::map<QString, QByteArray> files;
    for (QDirIterator it(t.update(QString()), QDir::Files); it.hasNext();) {
        const QString file = it.next();
        files[it.fileName()] = VerifyFixture::contents(file);
    }
    return files;
}

std::optional<quint64> signedAt(const QByteArray& signature) {
    const auto match = QRegularExpression(QStringLiteral("\ntrusted comment: .*timestamp:(\\d+)"))
                           .match(QString::fromLatin1(signature));
    return match.hasMatch() ? std::optional(match.captured(1).toULongLong()) : std::nullopt;
}

class VerifyRun : public VerifyFixture, public ::testing::WithParamInterface<RunCase> {
public:
    void SetUp() override {
        VerifyFixture::SetUp();
        installKeys({&publisher});
        signedPackage(A, 1536 * 1024);
        signedPackage(B, 1000);
    }

    QString expand(QString line) const {
        return line.replace(QStringLiteral("{publisher}"), publisher.id)
            .replace(QStringLiteral("{other}"), other.id);
    }
};

TEST_P(VerifyRun, RefusesTheFirstBadPackageAndRemovesItWithItsSignature) {
    const RunCase& run = GetParam();
    run.arrange(*this);
    const QByteArray recordBefore = contents(path(Record));
    const auto filesBefore = updatesFolder(*this);

    UpdateVerifier verifier(program());
    QString line;
    ASSERT_TRUE(verifier.load(&line)) << line.toStdString();
    ASSERT_TRUE(verifier.signaturesRequired());
    // One package at a time, as a run hands them over.
    std::optional<UpdateVerifier::Refusal> refusal = verifier.verify({A});
    if (!refusal)
        refusal = verifier.verify({B});
    QString error;
    ASSERT_TRUE(verifier.recordInstalled(&error)) << error.toStdString();

    auto filesLeft = filesBefore;
    if (run.refused.isEmpty()) {
        EXPECT_FALSE(refusal) << refusal->statusLine.toStdString();
        InstalledRecord record;
        ASSERT_TRUE(record.read(path(Record), &error)) << error.toStdString();
        for (const QString& package : {A, B})
            EXPECT_EQ(record.signedAt(package), signedAt(filesBefore.at(package + ".minisig")))
                << package.toStdString();
    } else {
        ASSERT_TRUE(refusal);
        EXPECT_EQ(refusal->package, run.refused);
        EXPECT_EQ(refusal->statusLine, expand(run.line));
        filesLeft.erase(run.refused);
        filesLeft.erase(run.refused + ".minisig");
        EXPECT_EQ(contents(path(Record)), recordBefore); // a refused run records nothing
    }
    EXPECT_EQ(updatesFolder(*this), filesLeft);
}

INSTANTIATE_TEST_SUITE_P(Signatures, VerifyRun, ::testing::ValuesIn(runCases), CaseName());

TEST_F(VerifyFixture, WithoutKeyFileNothingIsCheckedOrRecorded) {
    write(update(A), "not signed at all");
    UpdateVerifier verifier(program());
    QString line;
    ASSERT_TRUE(verifier.load(&line));
    EXPECT_FALSE(verifier.signaturesRequired());
    EXPECT_EQ(verifier.unverifiedNotice(),
              QStringLiteral("Update packages are not verified: there is no publisher key "
                             "'vorn-update.pub' in %1.")
                  .arg(program()));
    EXPECT_FALSE(verifier.verify({A}));
    EXPECT_TRUE(verifier.recordInstalled(&line));
    EXPECT_TRUE(QFile::exists(update(A)));
    EXPECT_FALSE(QFile::exists(path(Record)));
}

} // namespace
