// The updater's command line: "<download prefix> <package> ... <client process id>", separated by
// single spaces.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "SpaceTrim.h"

// The leading decimal number of a token (sign, digits, a full stop as decimal point, an exponent;
// reading stops at the first other character), rounded to the nearest integer with halves going
// to the even neighbour. No leading number, or a value outside the signed 32-bit range, gives 0.
std::int32_t LeadingNumberAsProcessId(const std::string& token);

struct CommandLine {
    std::string baseURL;            // token 1
    std::vector<std::string> files; // tokens 2..k: the package names, then the process-id token
    std::int32_t clientPID = 0;

    // The package names: every element of files but the last.
    std::vector<std::string> packages() const {
        return files.empty() ? files : std::vector<std::string>(files.begin(), files.end() - 1);
    }
};

// Splits a command line at every single space (after trimming), keeping empty tokens.
CommandLine ParseCommandLine(const std::string& commandLine);

// Whether a package name is a plain file name, usable as the last part of a download address and
// as a file name in the updates folder: valid UTF-8, not empty, not "." or "..", without "/" or
// "\", without NUL or any other control character, and at most 255 bytes.
bool IsPlainFileName(const std::string& name);

// A name as the status log shows it: control characters escaped (\t, \n, \r, \xHH), and each byte
// that is not part of valid UTF-8 as \xHH.
std::string ShownName(const std::string& name);

// The program's arguments (without its own path, UTF-8) joined by single spaces.
std::string JoinArguments(int argc, const char* const* argv);
