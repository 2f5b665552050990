// Publisher signatures on update packages, as the update run checks them.
//
// When the program folder holds the publisher's key file "vorn-update.pub" (minisign public keys,
// one or several), every package <name> of a run must come with its minisign signature
// <name>.minisig, downloaded beside it into updates/. Before anything is extracted, each package
// is checked, in this order: its signature file is there and well formed and uses the hashed
// algorithm ("ED"; the legacy "Ed" is refused); the key id it names is one of the key file's;
// the signature over the file's BLAKE2b-512 hash verifies; the global signature over the trusted
// comment verifies; the trusted comment's "file:" field is the package's name; its "timestamp:"
// field, when present, is not older than that of the same package at its last successful
// installation (kept in ".vorn-update.state", see InstalledRecord.h). Without a key file nothing
// is checked and the run is as it always was.
//
// Use in a run:
//     UpdateVerifier verifier(programFolder);
//     std::string line;
//     if (!verifier.load(&line))         // before any download
//         the run fails with the status line `line`
//     if (!verifier.signaturesRequired())
//         the diagnostic verifier.unverifiedNotice() goes to standard error
//     download every package and, when signaturesRequired(), its signatureName() after it
//     before a package is extracted: auto refusal = verifier.verify({package}); (on any thread)
//     if (refusal)
//         the run fails with the status line refusal->statusLine (the refused package and its
//         signature are already removed from updates/)
//     extract every package
//     verifier.recordInstalled(&reason); // after the run succeeded
#pragma once

#include "verify/InstalledRecord.h"
#include "verify/Minisign.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

class UpdateVerifier {
public:
    static constexpr char KeyFileName[] = "vorn-update.pub";
    static constexpr char SignatureSuffix[] = ".minisig";

    // A package the run must not install.
    struct Refusal {
        std::string package;
        std::string statusLine; // the whole "ERROR: ..." status line that says why
    };

    explicit UpdateVerifier(const std::string& programFolder);

    // Reads the key file and the record of installed packages. Returns false, with the status line
    // that ends the run ("ERROR: ..."), when the key file is there but cannot be read or holds no
    // valid key, or when the record cannot be read. No key file is not a failure: signatures are
    // then not required.
    bool load(std::string* statusLine);

    // Whether load() found keys: every package then needs its signature.
    bool signaturesRequired() const { return !m_keys.empty(); }

    // A diagnostic for standard error when signatures are not required.
    std::string unverifiedNotice() const;

    // The name of a package's signature: the prefix + this is its download address, and
    // updates/ + this is where it is saved.
    static std::string signatureName(const std::string& package) {
        return package + SignatureSuffix;
    }

    // Checks every package in updates/ in the order given, stopping at the first that fails; that
    // package and its signature are then removed from updates/ and the refusal returned. Nothing
    // when every package passed or signatures are not required. Blocks while it reads the files;
    // may run on any thread (one call at a time).
    std::optional<Refusal> verify(const std::vector<std::string>& packages);

    // The refusal of a package whose signature did not arrive: removes the package and any
    // signature an earlier run left from updates/.
    Refusal refuseUnsigned(const std::string& package);

    // After a successful run: stores the signing times of the packages verify() passed in the
    // record of installed packages. True when there was nothing to store; false with the reason
    // when the record cannot be written.
    bool recordInstalled(std::string* error);

private:
    std::optional<Refusal> check(const std::string& package);
    void discard(const std::string& package) const; // from updates/, with its signature

    std::string m_programFolder;
    std::vector<minisign::PublicKey> m_keys;
    InstalledRecord m_record;
    std::map<std::string, std::uint64_t>
        m_verifiedSignedAt; // by package, from verify() since load()
};
