// The key file, the signature file and the record of installed packages, as they are read: what
// is accepted and the reason given for what is not.
#include "VerifyFixture.h"

#include "verify/InstalledRecord.h"
#include "verify/Minisign.h"

#include "core/Paths.h"
#include "core/Text.h"

#include <filesystem>
#include <functional>
#include <set>

namespace {

// Line `index` (0-based) of a text; empty when it has no such line.
std::string lineOf(const std::string& text, std::size_t index) {
    const std::vector<std::string> lines = Split(text, '\n');
    return index < lines.size() ? lines[index] : std::string();
}

// Line 1 and line 2 of a public key file.
std::string commentOf(const fixtures::MinisignKey& key) {
    return lineOf(VerifyFixture::publicKeyText(key), 0);
}
std::string keyLineOf(const fixtures::MinisignKey& key) {
    return lineOf(VerifyFixture::publicKeyText(key), 1);
}
std::string base64Key(const std::string& algorithm, const fixtures::MinisignKey& idOf,
                      char keyByte) {
    const std::string bytes = fixtures::fromBase64(keyLineOf(idOf));
    return fixtures::toBase64(algorithm + bytes.substr(2, 8) + std::string(32, keyByte));
}

// The status lines of load() that refuse a key file or a record.
std::string malformedKeys(const char* reason) {
    return Format("ERROR: The key file 'vorn-update.pub' is malformed: %1.", {reason});
}
std::string unreadableRecord(const char* reason) {
    return Format("ERROR: Unable to read the record of installed packages "
                  "'.vorn-update.state': %1",
                  {reason});
}

// The text with every `from` replaced by `to`.
std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

struct LoadCase {
    const char* name;
    std::function<std::string()> keys; // the key file
    std::string record;                // the record of installed packages, when not empty
    std::string line;                  // the status line of load(); empty: both are taken
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
    {"NoKey", [] { return std::string("\n \n"); }, {}, malformedKeys("it holds no key")},
    {"KeyWithoutComment",
     [] { return keyLineOf(V::publisher) + "\n"; },
     {},
     malformedKeys("line 1 should be an 'untrusted comment:' line")},
    {"CommentWithoutKey",
     [] { return commentOf(V::publisher) + "\n"; },
     {},
     malformedKeys("the text ends before line 2, which should hold the public key")},
    {"KeyCutShort",
     [] { return commentOf(V::publisher) + "\n" + keyLineOf(V::publisher).substr(0, 40); },
     {},
     malformedKeys("line 2 holds 30 bytes where a public key has 42")},
    {"KeyPaddingMissing",
     [] { return commentOf(V::publisher) + "\n" + keyLineOf(V::publisher).substr(0, 54); },
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
    if (!c.record.empty())
        write(path(InstalledRecord::FileName), c.record);
    UpdateVerifier verifier(program());
    std::string line;
    const bool loaded = verifier.load(&line);
    EXPECT_EQ(loaded, c.line.empty());
    EXPECT_EQ(verifier.signaturesRequired(), loaded);
    EXPECT_EQ(line, replaced(c.line, "{publisher}", publisher.id));
}

INSTANTIATE_TEST_SUITE_P(Files, Load, ::testing::ValuesIn(loadCases), CaseName());

TEST_F(VerifyFixture, AKeyFileThatCannotBeReadEndsTheRun) {
    ASSERT_NO_THROW(fixtures::makeFolders(path(UpdateVerifier::KeyFileName)));
    UpdateVerifier verifier(program());
    std::string line;
    EXPECT_FALSE(verifier.load(&line));
    EXPECT_TRUE(line.starts_with("ERROR: Unable to read the key file 'vorn-update.pub': ")) << line;
}

TEST(KeyId, ShownAsMinisignShowsIt) { // a little-endian number, no leading zeros
    EXPECT_EQ(minisign::keyIdText({0x63, 0xC9, 0x1F, 0x7A, 0x44, 0x99, 0xB5, 0x0B}),
              "BB599447A1FC963");
    EXPECT_EQ(minisign::keyIdText({}), "0");
}

struct SignatureCase {
    const char* name;
    std::function<std::string(std::vector<std::string>)> edit; // of the four lines minisign wrote
    std::string error;                                         // empty: parsed
};

const SignatureCase signatureCases[] = {
    {"CrlfAndTrailingBlankLines",
     [](std::vector<std::string> l) { return Join(l, "\r\n") + "\r\n\n"; },
     {}},
    {"NoUntrustedComment",
     [](std::vector<std::string> l) {
         return Join(std::vector<std::string>(l.begin() + 1, l.end()), "\n");
     },
     "line 1 should be an 'untrusted comment:' line"},
    {"PaddingMissing",
     [](std::vector<std::string> l) {
         l[1].pop_back();
         return Join(l, "\n");
     },
     "line 2 is not base64"},
    {"UnknownAlgorithm",
     [](std::vector<std::string> l) {
         l[1] = fixtures::toBase64("XY" + fixtures::fromBase64(l[1]).substr(2));
         return Join(l, "\n");
     },
     "line 2 names the unknown algorithm '5859'"},
    {"TextAfterIt", [](std::vector<std::string> l) { return Join(l, "\n") + "\n\nmore"; },
     "line 6 follows the global signature"},
};

class SignatureFile : public VerifyFixture, public ::testing::WithParamInterface<SignatureCase> {};

TEST_P(SignatureFile, IsParsedOrRefusedWithTheReason) {
    const SignatureCase& c = GetParam();
    signedPackage("p.zip", 10);
    std::string written = contents(update("p.zip.minisig"));
    while (!written.empty() && written.back() == '\n')
        written.pop_back();
    minisign::Signature signature;
    std::string error;
    const bool parsed = minisign::parseSignature(c.edit(Split(written, '\n')), &signature, &error);
    EXPECT_EQ(error, c.error);
    ASSERT_EQ(parsed, c.error.empty());
    if (parsed) {
        EXPECT_EQ(signature.algorithm, minisign::Signature::Algorithm::Hashed);
        EXPECT_EQ(minisign::keyIdText(signature.keyId), publisher.id);
        EXPECT_EQ(signature.trustedField("file"), "p.zip");
        EXPECT_TRUE(signature.trustedField("timestamp"));
        EXPECT_FALSE(signature.trustedField("hashed")); // a word, not a field
    }
}

INSTANTIATE_TEST_SUITE_P(Signatures, SignatureFile, ::testing::ValuesIn(signatureCases),
                         CaseName());

TEST_F(VerifyFixture, RecordIsReplacedWithNothingLeftBesideItOrTheFailureSaid) {
    const std::string file = path(InstalledRecord::FileName);
    InstalledRecord record, back;
    std::string error;
    record.setSignedAt("ä.zip", 18446744073709551615ull);
    ASSERT_TRUE(record.write(file, &error)) << error;
    ASSERT_TRUE(record.write(file, &error)) << error;
    std::set<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(FsPath(program()))) {
        if (!entry.is_directory())
            files.insert(Utf8Path(entry.path().filename()));
    }
    EXPECT_EQ(files, std::set<std::string>{InstalledRecord::FileName});
    ASSERT_TRUE(back.read(file, &error));
    EXPECT_EQ(back.signedAt("ä.zip"), 18446744073709551615ull);
    EXPECT_FALSE(record.write(update(""), &error)); // a folder stands there
    EXPECT_FALSE(error.empty());
}

// The rig's own keys and signatures, which the tests use where minisign cannot run, against the
// tool's: from the same key, file and trusted comment the rig writes the tool's signature file byte
// for byte; the tool signs with the rig's keys and accepts what the rig signed.
struct RigCase {
    const char* name;
    fixtures::Maker keyMaker;
    bool legacy;
    const char* comment; // null: minisign's default one
};

using fixtures::Maker;
const RigCase rigCases[] = {
    {"ToolKeyHashed", Maker::Tool, false, "timestamp:1700000000\tfile:p.zip\thashed"},
    {"ToolKeyLegacy", Maker::Tool, true, "timestamp:1700000000\tfile:p.zip"},
    {"RigKeyHashed", Maker::Rig, false, "any comment"},
    {"RigKeyDefaultComment", Maker::Rig, false, nullptr},
    {"RigKeyLegacyDefaultComment", Maker::Rig, true, nullptr},
};

class RigAgainstTool : public ::testing::TestWithParam<RigCase> {};

TEST_P(RigAgainstTool, SignsAsMinisignDoes) {
#ifdef _WIN32
    GTEST_SKIP() << "the minisign tool of the tests is a Linux program";
#endif
    const RigCase& c = GetParam();
    const fixtures::TempDir folder;
    const fixtures::MinisignKey key = fixtures::generateKey(folder.path(), "key", c.keyMaker);
    const std::string file = folder / "p.zip";
    fixtures::writeFile(file, std::string(100000, 'x') + c.name);
    fixtures::SignOptions options{c.legacy, {}, folder / "tool.minisig"};
    if (c.comment)
        options.trustedComment = c.comment;
    fixtures::sign(key, file, options, Maker::Tool);
    options.signatureFile = folder / "rig.minisig";
    fixtures::sign(key, file, options, Maker::Rig);
    std::vector<std::string> tool = Split(fixtures::readFile(folder / "tool.minisig"), '\n'),
                             rig = Split(fixtures::readFile(folder / "rig.minisig"), '\n');
    if (!c.comment) { // made a moment apart: the times may differ, and so the global signatures
        for (auto* lines : {&tool, &rig}) {
            ASSERT_EQ(lines->size(), 5u);
            std::string& comment = (*lines)[2]; // "trusted comment: timestamp:<time>\t..."
            const std::size_t time = comment.find("timestamp:") + 10;
            comment.erase(time, comment.find('\t', time) - time);
            lines->erase(lines->begin() + 3);
        }
    }
    EXPECT_EQ(rig, tool);
    EXPECT_NO_THROW(fixtures::runMinisign(
        {"-V", "-q", "-p", key.publicKeyFile, "-m", file, "-x", folder / "rig.minisig"}));
}

INSTANTIATE_TEST_SUITE_P(Rig, RigAgainstTool, ::testing::ValuesIn(rigCases), CaseName());

} // namespace
