// The updater's command line: "<download prefix> <package> ... <client process id>", separated by
// single spaces.
#pragma once

#include <QString>
#include <QStringList>

#include "SpaceTrim.h"

// The leading decimal number of a token (sign, digits, a full stop as decimal point, an exponent;
// reading stops at the first other character), rounded to the nearest integer with halves going
// to the even neighbour. No leading number, or a value outside the signed 32-bit range, gives 0.
qint32 LeadingNumberAsProcessId(const QString& token);

struct CommandLine {
    QString baseURL;   // token 1
    QStringList files; // tokens 2..k: the package names, then the process-id token
    qint32 clientPID = 0;

    // The package names: every element of files but the last.
    QStringList packages() const { return files.mid(0, files.size() - 1); }
};

// Splits a command line at every single space (after trimming), keeping empty tokens.
CommandLine ParseCommandLine(const QString& commandLine);

// Whether a package name is a plain file name, usable as the last part of a download address and
// as a file name in the updates folder: not empty, not "." or "..", without "/" or "\", without
// NUL or any other control character, and at most 255 bytes in the file system's encoding.
bool IsPlainFileName(const QString& name);

// A name as the status log shows it: control characters escaped (\t, \n, \r, \xHH).
QString ShownName(const QString& name);

// The program's arguments (without its own path) joined by single spaces.
QString JoinArguments(int argc, const char* const* argv);
