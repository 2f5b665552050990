// The WinHTTP reads' files in the temporary folder (Windows front-end): the partial files that
// reads write, and the records of partial downloads beside them. The names are those of the other
// platforms' reads.
#pragma once

#include <string>

// The name pattern of the reads' files, and the template a new one is made from.
inline const std::string kWinHttpPartialPattern = "vorn-download-*.part";
inline const std::string kWinHttpPartialTemplate = "vorn-download-XXXXXX.part";

// Removes what killed or finished updaters left in `folder` and nobody needs: partial files that
// no fresh record names and no read holds, records that are stale or lost their file, and records
// in the making that nobody finished.
void RemoveAbandonedDownloads(const std::string& folder);

// The system's temporary folder, with "/" between its parts and no "/" at its end.
std::string SystemTempFolder();
