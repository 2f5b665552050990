// The checks of a whole run's packages, on signatures made by minisign: which package is refused,
// with which status line, what is left in updates/, and what is recorded.
#include "VerifyFixture.h"

#include "core/Paths.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <functional>
#include <map>

namespace {

using fixtures::sign;

const std::string A = "a.zip", B = "b.zip";
const std::string Record = ".vorn-update.state";

struct RunCase {
    const char* name;
    // Changes the starting point: the publisher's key installed; a.zip (1.5 MB, hashed in several
    // pieces) and b.zip, both signed by the publisher with minisign's default trusted comment.
    std::function<void(VerifyFixture&)> arrange;
    std::string refused; // empty: every package passes
    std::string line;    // {publisher} and {other} stand for those keys' ids
};

// The text with every `from` replaced by `to`.
std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

void editTrustedComment(VerifyFixture& t, const std::string& package) {
    const std::string text = t.contents(t.update(package + ".minisig"));
    t.write(t.update(package + ".minisig"), replaced(text, "timestamp:", "timestamp:9"));
}

// A trusted comment of my own, signed with the package: it replaces minisign's default one (-t).
fixtures::SignOptions trusted(const char* comment) {
    return {false, comment, {}};
}

const RunCase runCases[] = {
    {"BothSigned", [](VerifyFixture&) {}, {}, {}},
    {"OneFlippedByte",
     [](VerifyFixture& t) {
         std::string bytes = t.contents(t.update(A));
         bytes[1100000] = char(bytes[1100000] ^ 0x10);
         t.write(t.update(A), bytes);
     },
     A,
     "ERROR: Update file 'a.zip' is not signed by the publisher's key: it differs from the file "
     "key {publisher} signed (changed or damaged after signing)."},
    {"SecondSignedByAnotherKey", [](VerifyFixture& t) { sign(t.other, t.update(B)); }, B,
     "ERROR: Update file 'b.zip' is not signed by the publisher's key: it was signed with key "
     "{other}, which 'vorn-update.pub' does not hold."},
    {"LegacySignature",
     [](VerifyFixture& t) {
         sign(t.publisher, t.update(A), {true, {}, {}});
     },
     A,
     "ERROR: Update file 'a.zip' has a legacy signature, which is not accepted: sign it again "
     "without minisign's -l option."},
    {"EditedTrustedComment", [](VerifyFixture& t) { editTrustedComment(t, A); }, A,
     "ERROR: Update file 'a.zip' is not signed by the publisher's key: the trusted comment of its "
     "signature was changed after signing."},
    {"SignedUnderAnotherName",
     [](VerifyFixture& t) {
         // Removed first: MinGW's copy_file (GCC 11 to 13) refuses to overwrite any file.
         for (const std::string suffix : {"", ".minisig"}) {
             std::filesystem::remove(FsPath(t.update(B + suffix)));
             std::filesystem::copy_file(FsPath(t.update(A + suffix)), FsPath(t.update(B + suffix)));
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
    {"SignatureMissing",
     [](VerifyFixture& t) { std::filesystem::remove(FsPath(t.update(B + ".minisig"))); }, B,
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
std::map<std::string, std::string> updatesFolder(const VerifyFixture& t) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(FsPath(t.update("")))) {
        if (!entry.is_directory())
            files[Utf8Path(entry.path().filename())] = VerifyFixture::contents(Utf8Path(entry));
    }
    return files;
}

// The time in the trusted comment of a signature file.
std::optional<std::uint64_t> signedAt(const std::string& signature) {
    const std::size_t line = signature.find("\ntrusted comment: ");
    const std::size_t at = signature.rfind("timestamp:", signature.find('\n', line + 1));
    if (line == std::string::npos || at == std::string::npos || at < line)
        return std::nullopt;
    std::uint64_t seconds = 0;
    const char* digits = signature.data() + at + 10;
    const auto [end, failure] =
        std::from_chars(digits, signature.data() + signature.size(), seconds);
    return failure == std::errc() && end != digits ? std::optional(seconds) : std::nullopt;
}

class VerifyRun : public VerifyFixture, public ::testing::WithParamInterface<RunCase> {
public:
    void SetUp() override {
        VerifyFixture::SetUp();
        installKeys({&publisher});
        signedPackage(A, 1536 * 1024);
        signedPackage(B, 1000);
    }

    std::string expand(const std::string& line) const {
        return replaced(replaced(line, "{publisher}", publisher.id), "{other}", other.id);
    }
};

TEST_P(VerifyRun, RefusesTheFirstBadPackageAndRemovesItWithItsSignature) {
    const RunCase& run = GetParam();
    run.arrange(*this);
    const std::string recordBefore = contents(path(Record));
    const auto filesBefore = updatesFolder(*this);

    UpdateVerifier verifier(program());
    std::string line;
    ASSERT_TRUE(verifier.load(&line)) << line;
    ASSERT_TRUE(verifier.signaturesRequired());
    // One package at a time, as a run hands them over.
    std::optional<UpdateVerifier::Refusal> refusal = verifier.verify({A});
    if (!refusal)
        refusal = verifier.verify({B});
    std::string error;
    ASSERT_TRUE(verifier.recordInstalled(&error)) << error;

    auto filesLeft = filesBefore;
    if (run.refused.empty()) {
        EXPECT_FALSE(refusal) << refusal->statusLine;
        InstalledRecord record;
        ASSERT_TRUE(record.read(path(Record), &error)) << error;
        for (const std::string& package : {A, B})
            EXPECT_EQ(record.signedAt(package), signedAt(filesBefore.at(package + ".minisig")))
                << package;
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
    std::string line;
    ASSERT_TRUE(verifier.load(&line));
    EXPECT_FALSE(verifier.signaturesRequired());
    std::string folder = program(); // as the user types it
#ifdef _WIN32
    std::replace(folder.begin(), folder.end(), '/', '\\');
#endif
    EXPECT_EQ(verifier.unverifiedNotice(),
              "Update packages are not verified: there is no publisher key 'vorn-update.pub' in " +
                  folder + ".");
    EXPECT_FALSE(verifier.verify({A}));
    EXPECT_TRUE(verifier.recordInstalled(&line));
    EXPECT_TRUE(fixtures::exists(update(A)));
    EXPECT_FALSE(fixtures::exists(path(Record)));
}

} // namespace
