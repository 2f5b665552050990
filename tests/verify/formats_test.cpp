// The key file, the signature file and the record of installed packages, as they are read: what
// is accepted and the reason given for what is not.
#include "VerifyFixture.h"

#include "verify/InstalledRecord.h"
#include "verify/Minisign.h"

#include <functional>

namespace {

// Line 1 and line 2 of a public key file.
QByteArray commentOf(const fixtures::MinisignKey& key) {
    return VerifyFixture::publicKeyText(key).split('\n').value(0);
}
QByteArray keyLineOf(const fixtures::MinisignKey& key) {
    return VerifyFixture::publicKeyText(key).split('\n').value(1);
}
QByteArray base64Key(const QByteArray& algorithm, const fixtures::MinisignKey& idOf, char keyByte) {
    const QByteArray bytes = QByteArray::fromBase64(keyLineOf(idOf));
    return (algorithm + bytes.mid(2, 8) + QByteArray(32, keyByte)).toBase64();
}

// The status lines of load() that refuse a key file or a record.
QString malformedKeys(const char* reason) {
    return QStringLiteral("ERROR: The key file 'vorn-update.pub' is malformed: %1.")
        .arg(QLatin1String(reason));
}
QString unreadableRecord(const char* reason) {
    return QStringLiteral("ERROR: Unable to read the record of installed packages "
                          "'.vorn-update.state': %1")
        .arg(QLatin1String(reason));
}

struct LoadCase {
    const char* name;
    std::function<QByteArray()> keys; // the key file
    QByteArray record;                // the record of installed packages, when not empty
    QString line;                     // the status line of load(); empty: both are taken
};

using V = VerifyFixture;
const auto publisherKey = [] { return V::publicKeyText(V::publisher); };

const LoadCase loadCases[] = {
    {"TwoKeysCrlfAndBlankLines",
     [] {
         return "\r\n" + commentOf(V::publisher) + "\r\n" + keyLineOf(V::publisher) + "\r\n\r\n" +
                V::publicKeyText(V::successor) + "\n\n";
     },
     {},
     {}},
    {"NoKey", [] { return QByteArray("\n \n"); }, {}, malformedKeys("it holds no key")},
    {"KeyWithoutComment",
     [] { return keyLineOf(V::publisher) + "\n"; },
     {},
     malformedKeys("line 1 should be an 'untrusted comment:' line")},
    {"CommentWithoutKey",
     [] { return commentOf(V::publisher) + "\n"; },
     {},
     malformedKeys("the text ends before line 2, which should hold the public key")},
    {"KeyCutShort",
     [] { return commentOf(V::publisher) + "\n" + keyLineOf(V::publisher).left(40); },
     {},
     malformedKeys("line 2 holds 30 bytes where a public key has 42")},
    {"KeyPaddingMissing",
     [] { return commentOf(V::publisher) + "\n" + keyLineOf(V::publisher).left(54); },
     {},
     malformedKeys("line 2 is not base64")},
    {"KeyNotEd25519",
     [] { return commentOf(V::publisher) + "\n" + base64Key("XY", V::publisher, 1); },
     {},
     malformedKeys("line 2 is not an Ed25519 public key")},
    {"OneIdTwoKeys",
     [] {
         return publisherKey() + commentOf(V::publisher) + "\n" + base64Key("Ed", V::publisher, 7);
     },
     {},
     malformedKeys("line 4 gives key {publisher} a second, different value")},
    {"RecordWithComments", publisherKey, "# x\n\na.zip\t1\n", {}},
    {"RecordWithoutTab", publisherKey, "a.zip 1\n",
     unreadableRecord("line 1 is not '<package><TAB><seconds>'")},
    {"RecordTimeNotDecimal", publisherKey, "\na.zip\t1e3\n",
     unreadableRecord("line 2 is not '<package><TAB><seconds>'")},
    {"RecordTimeOverflows", publisherKey, "a.zip\t99999999999999999999\n",
     unreadableRecord("line 1 is not '<package><TAB><seconds>'")},
};

class Load : public VerifyFixture, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(Load, TakesTheKeysAndRecordOrEndsTheRunNamingTheFileAndReason) {
    const LoadCase& c = GetParam();
    write(path(UpdateVerifier::KeyFileName), c.keys());
    if (!c.record.isEmpty())
        write(path(InstalledRecord::FileName), c.record);
    UpdateVerifier verifier(program());
    QString line;
    const bool loaded = verifier.load(&line);
    EXPECT_EQ(loaded, c.line.isEmpty());
    EXPECT_EQ(verifier.signaturesRequired(), loaded);
    EXPECT_EQ(line, QString(c.line).replace(QStringLiteral("{publisher}"), publisher.id));
}

INSTANTIATE_TEST_SUITE_P(Files, Load, ::testing::ValuesIn(loadCases), CaseName());

TEST_F(VerifyFixture, AKeyFileThatCannotBeReadEndsTheRun) {
    ASSERT_TRUE(QDir(program()).mkdir(UpdateVerifier::KeyFileName));
    UpdateVerifier verifier(program());
    QString line;
    EXPECT_FALSE(verifier.load(&line));
    EXPECT_TRUE(line.startsWith(QStringLiteral("ERROR: Unable to read the key file "
                                               "'vorn-update.pub': ")))
        << line.toStdString();
}

TEST(KeyId, ShownAsMinisignShowsIt) { // a little-endian number, no leading zeros
    EXPECT_EQ(minisign::keyIdText({0x63, 0xC9, 0x1F, 0x7A, 0x44, 0x99, 0xB5, 0x0B}),
              QStringLiteral("BB599447A1FC963"));
    EXPECT_EQ(minisign::keyIdText({}), QStringLiteral("0"));
}

struct SignatureCase {
    const char* name;
    std::function<QByteArray(QList<QByteArray>)> edit; // of the four lines minisign wrote
    QString error;                                     // empty: parsed
};

const SignatureCase signatureCases[] = {
    {"CrlfAndTrailingBlankLines",
     [](QList<QByteArray> l) { return l.join("\r\n") + "\r\n\n"; },
     {}},
    {"NoUntrustedComment", [](QList<QByteArray> l) { return l.mid(1).join('\n'); },
     "line 1 should be an 'untrusted comment:' line"},
    {"PaddingMissing",
     [](QList<QByteArray> l) {
         l[1].chop(1);
         return l.join('\n');
     },
     "line 2 is not base64"},
    {"UnknownAlgorithm",
     [](QList<QByteArray> l) {
         l[1] = ("XY" + QByteArray::fromBase64(l[1]).mid(2)).toBase64();
         return l.join('\n');
     },
     "line 2 names the unknown algorithm '5859'"},
    {"TextAfterIt", [](QList<QByteArray> l) { return l.join('\n') + "\n\nmore"; },
     "line 6 follows the global signature"},
};

class SignatureFile : public VerifyFixture, public ::testing::WithParamInterface<SignatureCase> {};

TEST_P(SignatureFile, IsParsedOrRefusedWithTheReason) {
    const SignatureCase& c = GetParam();
    signedPackage(QStringLiteral("p.zip"), 10);
    const QByteArray written = contents(update(QStringLiteral("p.zip.minisig")));
    minisign::Signature signature;
    QString error;
    const bool parsed =
        minisign::parseSignature(c.edit(written.trimmed().split('\n')), &signature, &error);
    EXPECT_EQ(error, c.error);
    ASSERT_EQ(parsed, c.error.isEmpty());
    if (parsed) {
        EXPECT_EQ(signature.algorithm, minisign::Signature::Algorithm::Hashed);
        EXPECT_EQ(minisign::keyIdText(signature.keyId), publisher.id);
        EXPECT_EQ(signature.trustedField("file"), QByteArray("p.zip"));
        EXPECT_TRUE(signature.trustedField("timestamp"));
        EXPECT_FALSE(signature.trustedField("hashed")); // a word, not a field
    }
}

INSTANTIATE_TEST_SUITE_P(Signatures, SignatureFile, ::testing::ValuesIn(signatureCases),
                         CaseName());

TEST_F(VerifyFixture, RecordIsReplacedWithNothingLeftBesideItOrTheFailureSaid) {
    const QString file = path(InstalledRecord::FileName);
    InstalledRecord record, back;
    QString error;
    record.setSignedAt(QStringLiteral("ä.zip"), 18446744073709551615ull);
    ASSERT_TRUE(record.write(file, &error)) << error.toStdString();
    ASSERT_TRUE(record.write(file, &error)) << error.toStdString();
    EXPECT_EQ(QDir(program()).entryList(QDir::Files | QDir::Hidden),
              QStringList{file.section('/', -1)});
    ASSERT_TRUE(back.read(file, &error));
    EXPECT_EQ(back.signedAt(QStringLiteral("ä.zip")), 18446744073709551615ull);
    EXPECT_FALSE(record.write(update(QString()), &error)); // a folder stands there
    EXPECT_FALSE(error.isEmpty());
}

} // namespace
