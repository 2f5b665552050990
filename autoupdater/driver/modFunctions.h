// Procedures of the update driver shared by the run and the download handling.
#pragma once

#include <functional>
#include <string>

class cUnzip;

// Where Add_Status shows its lines besides standard error: the status log of the updater window,
// which registers itself when it is made. A new registration replaces the one before; removing
// takes effect only for the owner that registered the sink in place.
void SetStatusSink(const void* owner, std::function<void(const std::string& sMessage)> sink);
void RemoveStatusSink(const void* owner);

// Appends a message as one line to the status log (through the registered sink), writes it as one
// line to standard error, and appends it to the run log.
void Add_Status(const std::string& sMessage);

// Points the run's archive object at a downloaded package of the program folder and sets how it
// is extracted (over the program folder, with folder names, replacing files without asking).
void Prepare_Unzip(cUnzip& archive, const std::string& programFolder, const std::string& sFile);

// Extracts the package the archive object points at. True when the engine reported a problem.
bool Run_Unzip(cUnzip& archive);
