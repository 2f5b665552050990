#include "driver/VersionNotes.h"

#include "core/Text.h"

VersionNotesBlock ReadVersionNotesBlock(const std::string& fileContent) {
    VersionNotesBlock block;
    // Decoded as a whole, so that a byte-order mark is dropped at the start of the file only.
    std::string text = ValidUtf8(fileContent);
    if (text.starts_with("\xEF\xBB\xBF"))
        text.erase(0, 3);
    std::size_t start = 0;
    const std::size_t size = text.size();
    while (start < size) {
        std::size_t end = text.find('\r', start);
        std::size_t next;
        if (end == std::string::npos) {
            end = size;
            next = size;
        } else {
            next = end + 1;
            if (next < size && text[next] == '\n')
                ++next;
        }
        const std::string line = text.substr(start, end - start);
        if (line.find_first_not_of(' ') == std::string::npos) {
            block.blankFound = true;
            return block;
        }
        block.lines.push_back(line);
        start = next;
    }
    return block;
}
