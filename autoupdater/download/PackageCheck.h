// Whether received bytes can be a zip archive, judged from both ends: an archive begins with a
// local file header (or, empty, with its end record) and ends with its end-of-central-directory
// record, after which only the archive's comment may follow.
#pragma once

#include <cstddef>
#include <string>

namespace PackageCheck {
// Bytes to look at at the start and at the end of a body.
constexpr std::size_t HeadBytes = 4;
constexpr std::size_t TailBytes = 22 + 0xFFFF; // the end record and the longest comment

// Whether a body that begins with `head` (at least HeadBytes of it, unless the body is shorter)
// can be a zip archive.
bool startsLikeZip(const std::string& head);
// Whether a body of `size` bytes whose last bytes are `tail` (TailBytes of them, or the whole
// body) ends like a zip archive.
bool endsLikeZip(const std::string& tail);
// What a body that begins with `head` holds, in a few words for a diagnostic: its first bytes as
// text (others as escapes) and the type the server declared.
std::string describe(const std::string& head, const std::string& contentType);
} // namespace PackageCheck
