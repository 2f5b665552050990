// The version notes (versions.txt in the program folder), as the update-info action shows them.
#pragma once

#include <string>
#include <vector>

// The first block of the version notes: the lines from the start up to, not including, the first
// blank line. Lines end at CR or CR LF (a lone LF is an ordinary character); a line is blank when
// only spaces are left after trimming spaces. blankFound tells whether a blank line ended the
// block. The text is UTF-8; a byte-order mark at the start of the file is dropped, and bytes that
// are not UTF-8 read as U+FFFD.
struct VersionNotesBlock {
    std::vector<std::string> lines;
    bool blankFound = false;
};
VersionNotesBlock ReadVersionNotesBlock(const std::string& fileContent);
