// The key file, the signature file and the record of installed packages, as they are read: what
// is accepted and the reason given for what is not.
#include "VerifyFixture.h"

#include "InstalledRecord.h"
#include "Minisign.h"

#include <QFileInfo>
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

struct KeyFileCase {
    const char* name;
    std::function<QByteArray()> text;
    QString line; // the status line of load(); empty: the file is taken
};

using V = VerifyFixture;

const KeyFileCase keyFileCases[] = {
    {"TwoKeysCrlfAndBlankLines",
     [] {
         return "\r\n" + commentOf(V::publisher) + "\r\n" + keyLineOf(V::publisher) + "\r\n\r\n" +
                V::publicKeyText(V::successor) + "\n\n";
     },
     {}},
    {"TheSameKeyTwice",
     [] { return V::publicKeyText(V::publisher) + V::publicKeyText(V::publisher); },
     {}},
    {"Empty", [] { return QByteArray("\n \n"); }, "it holds no key"},
    {"KeyWithoutComment", [] { return keyLineOf(V::publisher) + "\n"; },
     "line 1 should be an 'untrusted comment:' line"},
    {"CommentWithoutKey", [] { return commentOf(V::publisher) + "\n"; },
     "the text ends before line 2, which should hold the public key"},
    {"NotBase64", [] { return commentOf(V::publisher) + "\nRWR*" + keyLineOf(V::publisher); },
     "line 2 is not base64"},
    {"Truncated", [] { return commentOf(V::publisher) + "\n" + keyLineOf(V::publisher).left(40); },
     "line 2 holds 30 bytes where a public key has 42"},
    {"PaddingMissing",
     [] { return commentOf(V::publisher) + "\n" + keyLineOf(V::publisher).left(54); },
     "line 2 is not base64"},
    {"NotEd25519", [] { return commentOf(V::publisher) + "\n" + base64Key("XY", V::publisher, 1); },
     "line 2 is not an Ed25519 public key"},
    {"OneIdTwoKeys",
     [] {
         return V::publicKeyText(V::publisher) + commentOf(V::publisher) + "\n" +
                base64Key("Ed", V::publisher, 7);
     },
     "line 4 gives key {publisher} a second, different value"},
    {"TooLarge", [] { return V::publicKeyText(V::publisher) + QByteArray(64 * 1024, '\n'); },
     "*Unable to read the key file 'vorn-update.pub': it is larger than 65536 bytes"},
};

class KeyFile : public VerifyFixture, public ::testing::WithParamInterface<KeyFileCase> {};

TEST_P(KeyFile, IsTakenOrRefusedWithItsNameAndTheReason) {
    const KeyFileCase& c = GetParam();
    write(path(UpdateVerifier::KeyFileName), c.text());
    UpdateVerifier verifier(program());
    QString line;
    const bool loaded = verifier.load(&line);
    EXPECT_EQ(loaded, c.line.isEmpty()) << line.toStdString();
    EXPECT_EQ(verifier.signaturesRequired(), loaded);
    QString expected = c.line;
    expected.replace(QStringLiteral("{publisher}"), publisher.id);
    if (expected.startsWith(QLatin1Char('*')))
        expected = QStringLiteral("ERROR: ") + expected.mid(1);
    else if (!expected.isEmpty())
        expected =
            QStringLiteral("ERROR: The key file 'vorn-update.pub' is malformed: %1.").arg(expected);
    EXPECT_EQ(line, expected);
}

INSTANTIATE_TEST_SUITE_P(Keys, KeyFile, ::testing::ValuesIn(keyFileCases), CaseName());

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
    {"AsMinisignWroteIt", [](QList<QByteArray> l) { return l.join('\n'); }, {}},
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
    {"PublicKeyInsteadOfSignature",
     [](QList<QByteArray> l) {
         l[1] = keyLineOf(V::publisher);
         return l.join('\n');
     },
     "line 2 holds 42 bytes where a signature has 74"},
    {"TrustedCommentPrefixWrong",
     [](QList<QByteArray> l) {
         l[2].replace("trusted comment: ", "trusted comment:");
         return l.join('\n');
     },
     "line 3 should be a 'trusted comment:' line"},
    {"NoGlobalSignature", [](QList<QByteArray> l) { return l.mid(0, 3).join('\n'); },
     "the text ends before line 4, which should hold the global signature"},
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

struct RecordCase {
    const char* name;
    QByteArray text;
    QString error; // empty: read
};

const RecordCase recordCases[] = {
    {"CommentsAndBlankLines", "# x\n\na.zip\t1\n", {}},
    {"NoTab", "a.zip 1\n", "line 1 is not '<package><TAB><seconds>'"},
    {"NotANumber", "\na.zip\t1e3\n", "line 2 is not '<package><TAB><seconds>'"},
    {"Negative", "a.zip\t-1\n", "line 1 is not '<package><TAB><seconds>'"},
    {"Overflow", "a.zip\t99999999999999999999\n", "line 1 is not '<package><TAB><seconds>'"},
    {"NoName", "\t5\n", "line 1 is not '<package><TAB><seconds>'"},
};

class RecordFile : public VerifyFixture, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(RecordFile, IsReadOrEndsTheRun) {
    const RecordCase& c = GetParam();
    installKeys({&publisher});
    write(path(InstalledRecord::FileName), c.text);
    UpdateVerifier verifier(program());
    QString line;
    EXPECT_EQ(verifier.load(&line), c.error.isEmpty());
    EXPECT_EQ(line, c.error.isEmpty()
                        ? QString()
                        : QStringLiteral("ERROR: Unable to read the record of "
                                         "installed packages '.vorn-update.state': ") +
                              c.error);
}

INSTANTIATE_TEST_SUITE_P(Records, RecordFile, ::testing::ValuesIn(recordCases), CaseName());

TEST_F(VerifyFixture, RecordIsReplacedWholeAndReadBack) {
    const QString file = path(InstalledRecord::FileName);
    InstalledRecord record;
    QString error;
    ASSERT_TRUE(record.read(file, &error)); // none yet: empty
    record.setSignedAt(QStringLiteral("a.zip"), 18446744073709551615ull);
    record.setSignedAt(QStringLiteral("ä b.zip"), 0);
    ASSERT_TRUE(record.write(file, &error)) << error.toStdString();
    record.setSignedAt(QStringLiteral("a.zip"), 5);
    ASSERT_TRUE(record.write(file, &error)) << error.toStdString();
    InstalledRecord back;
    ASSERT_TRUE(back.read(file, &error)) << error.toStdString();
    EXPECT_EQ(back.signedAt(QStringLiteral("a.zip")), 5u);
    EXPECT_EQ(back.signedAt(QStringLiteral("ä b.zip")), 0u);
    EXPECT_FALSE(back.signedAt(QStringLiteral("c.zip")));
    // Only the record itself is left: no temporary file beside it.
    EXPECT_EQ(QDir(program()).entryList(QDir::Files | QDir::Hidden),
              QStringList{InstalledRecord::FileName});
    // A record that cannot be replaced is reported.
    EXPECT_FALSE(record.write(path(QStringLiteral("updates")), &error));
    EXPECT_FALSE(error.isEmpty());
}

} // namespace
