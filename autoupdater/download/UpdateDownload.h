// Starting the download of one update package into the updates folder.
#pragma once

#include <string>

class DL;

// Starts the download of `baseURL` + `Filename` (nothing put between them) into
// programFolder/updates/Filename with the id "Id", creating the updates folder when the program
// folder holds no entry of that name in any letter case. Returns once the read has started; throws
// AppError when the folder cannot be created or the download cannot start, and BadFileName, before
// anything is created or requested, when the destination would not be a file directly inside the
// updates folder (a name that holds a separator, "." or "..", or nothing).
// A package must arrive as a zip archive; another file of the run (`isPackage` false: its
// signature) may be anything.
void Download_File(DL& dl, const std::string& programFolder, const std::string& baseURL,
                   const std::string& Filename, bool isPackage = true);

// Creates programFolder/updates when the program folder holds no entry of that name in any letter
// case; throws AppError when it cannot be created.
void EnsureUpdatesFolder(const std::string& programFolder);
