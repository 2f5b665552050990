// Conversion of the line ends of text data to CR LF, piece by piece as the data is extracted.
#pragma once

#include <cstddef>
#include <vector>

namespace vbuzip {

// Whether an entry is text is decided on its first piece: no NUL and no control characters other
// than the usual white space and escape.
class LineEnds {
public:
    explicit LineEnds(bool enabled) : m_enabled(enabled) {}

    // The converted piece (data itself when nothing is converted); outSize is its size. The result
    // stays valid until the next call.
    const char* convert(const char* data, size_t size, size_t& outSize);

private:
    static bool looksLikeText(const char* data, size_t size);

    bool m_enabled;
    bool m_decided = false;
    bool m_text = false;
    bool m_afterCr = false;
    std::vector<char> m_out;
};

} // namespace vbuzip
