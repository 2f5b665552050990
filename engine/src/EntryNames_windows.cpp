// The wildcard patterns of include and exclude names, as Windows' file searches match them: '*'
// and '?' (no character classes).
#include "EntryNames.h"

#include <vorn/Files_windows.h>
#include <vorn/Utf16_windows.h>

namespace vbuzip {

bool matchesPattern(const std::string& pattern, const std::string& name, bool caseSensitive) {
    return WildcardMatches(Utf16FromUtf8(pattern), Utf16FromUtf8(name), !caseSensitive);
}

} // namespace vbuzip
