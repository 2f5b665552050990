// Procedures of the update driver shared by the run and the download handling.
#pragma once

#include <QString>

// Appends a message and a CR LF to the status log of the updater window, brings the end of the
// log into view, and writes the message as one line to standard error.
void Add_Status(const QString& sMessage);

// Points the window's archive object at a downloaded package and sets how it is extracted.
void Prepare_Unzip(const QString& sFile);

// Extracts the package the archive object points at. True when the engine reported a problem.
bool Run_Unzip();
