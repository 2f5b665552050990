// Keys and signatures in minisign's formats, never made by the code under test: by the minisign
// tool itself where it can run (Linux), otherwise by the rig with libsodium, as the tool makes
// them (unencrypted secret keys; "ED": Ed25519 over the file's BLAKE2b-512 hash, "Ed": over the
// file itself; the global signature over the signature and the trusted comment). Ed25519 is
// deterministic, so both make the same signature file from the same key, file and comment.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace fixtures {

// A key pair without a password (`minisign -G -W`).
struct MinisignKey {
    std::string publicKeyFile;
    std::string secretKeyFile;
    std::string id; // as minisign prints it: "7BB599447A1FC963", no leading zeros
};

// Who makes keys and signatures.
enum class Maker { Tool, Rig };

// The minisign program found when the build was configured; empty when there was none (always on
// Windows, where the Linux tool cannot run).
std::string minisignProgram();

// The tool when it is there, the rig otherwise.
Maker defaultMaker();

// Runs minisign with `arguments` and returns its standard output. Throws std::runtime_error, with
// minisign's messages, when it cannot be started or fails.
std::string runMinisign(const std::vector<std::string>& arguments);

// Makes the key pair `<folder>/<name>.pub` and `<folder>/<name>.key`.
MinisignKey generateKey(const std::string& folder, const std::string& name,
                        Maker maker = defaultMaker());

struct SignOptions {
    bool legacy = false;                       // minisign -l: the file itself is signed ("Ed")
    std::optional<std::string> trustedComment; // minisign -t; by default (or empty) minisign's
                                               // "timestamp:<now>\tfile:<name>[\thashed]"
    std::string signatureFile;                 // minisign -x; by default `file`.minisig
};

// Signs `file` with `key` (`minisign -S -m file`).
void sign(const MinisignKey& key, const std::string& file, const SignOptions& options = {},
          Maker maker = defaultMaker());

// Standard base64 with its padding, and back (throws on text that is not base64).
std::string toBase64(const std::string& bytes);
std::string fromBase64(const std::string& text);

// The system's part (MinisignRig_<platform>.cpp): runs `program` with `arguments` and its standard
// input empty, to its end or for at most `timeoutSeconds` (then it is killed).
struct ProgramRun {
    bool exited = false; // by itself, with exitCode
    int exitCode = -1;
    std::string output, errors; // standard output and standard error
    std::string problem;        // why it did not run or end, when it did not
};
ProgramRun runProgram(const std::string& program, const std::vector<std::string>& arguments,
                      int timeoutSeconds);

} // namespace fixtures
