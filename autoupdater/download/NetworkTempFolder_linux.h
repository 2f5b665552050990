// The network reads' files in the temporary folder (Linux front-end, Qt): the partial files that
// reads write, and the records of partial downloads beside them.
#pragma once

#include <QString>
#include <string>

// The name pattern of the reads' files, and the template a new one is made from.
extern const std::string kPartialFilePattern;  // "vorn-download-*.part"
extern const std::string kPartialFileTemplate; // "vorn-download-XXXXXX.part"

// Removes what killed or finished updaters left in `folder` and nobody needs: partial files that
// no fresh record names and no read holds, records that are stale or lost their file, and records
// in the making that nobody finished.
void removeAbandonedFiles(const QString& folder);
