// One call of the engine: listing, testing or extracting the entries of an archive.
#pragma once

#include "Reporter.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vbuzip {

struct CallOptions {
    std::string archivePath;
    std::string folder; // empty when the program passed none
    std::vector<std::string> include;
    std::vector<std::string> exclude;
    bool listOnly = false;
    bool testOnly = false;
    bool onlyNewer = false;
    bool spaceToUnderscore = false;
    bool promptToOverwrite = false;
    bool overwriteExisting = false;
    bool useFolderNames = true;
    bool convertLineEnds = false;
    bool caseSensitive = false;
};

struct Totals {
    uint32_t entries = 0; // entries processed (listed, tested, written, created or skipped)
    uint32_t written = 0; // files written
    uint64_t bytes = 0;   // bytes of data read from the archive
    uint32_t skipped = 0; // entries left out because of the options or the program's answers
};

class Update;

// Runs the call; throws Failure. On a failed extraction the extraction folder is as it was.
Totals runCall(const CallOptions& options, Reporter& reporter);
// Stages the selected entries of the archive into the update (options.folder is not used);
// throws Failure, leaving the update as it was.
Totals stageCall(const CallOptions& options, Reporter& reporter, Update& update);

} // namespace vbuzip
