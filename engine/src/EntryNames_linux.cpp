// The wildcard patterns of include and exclude names, by the system's matcher.
#include "EntryNames.h"

#include <fnmatch.h>

namespace vbuzip {

bool matchesPattern(const std::string& pattern, const std::string& name, bool caseSensitive) {
    return fnmatch(pattern.c_str(), name.c_str(), caseSensitive ? 0 : FNM_CASEFOLD) == 0;
}

} // namespace vbuzip
