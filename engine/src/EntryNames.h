// Entry names: turning a stored name into a safe path below the extraction folder, and matching
// the include and exclude names of a call.
#pragma once

#include <string>
#include <vector>

namespace vbuzip {

// Every name the engine makes in a folder (staged files, backups, its records) begins with this;
// an entry with a name part that does, in any case, is refused.
constexpr const char* ReservedPrefix = ".vbuzip-";
bool isReservedName(const std::string& part);

// Whether the engine is built for Windows, whose rules for names (NameRules::windowsNames) then
// apply to every entry.
#ifdef _WIN32
constexpr bool BuiltForWindows = true;
#else
constexpr bool BuiltForWindows = false;
#endif

struct NameRules {
    bool useFolderNames = true;
    bool spaceToUnderscore = false;
    // Refuse what Windows cannot hold as a name, or would take for another file or a device:
    // network and device paths, ":" (alternate data streams), device names such as "nul.txt",
    // parts ending in a dot or a space, and the characters < > " | ? * and 1 to 31. Paths that
    // differ only in letter case are then one file (see PathOrder).
    bool windowsNames = BuiltForWindows;
};

struct TargetPath {
    enum class Kind {
        File,   // write a file at path
        Folder, // create the folder path
        Ignore, // nothing to write (the top folder itself, or a folder with folder names off)
        Unsafe, // refused: reason says why
    };
    Kind kind = Kind::Ignore;
    std::string path;   // relative, components separated by "/", no ".", "..", or empty parts
    std::string reason; // for Unsafe
};

// The path an entry is written to, relative to the extraction folder. "\" counts as a folder
// separator. Absolute names, drive letters, ".." parts and reserved names are refused, and with
// rules.windowsNames the names Windows cannot hold; "." and empty parts are dropped. isFolder tells
// a folder entry (a name ending in a separator is one as well).
TargetPath targetPathOf(const std::string& storedName, bool isFolder, const NameRules& rules);

// A UTF-8 name with the letters that have a partner of the other case in ASCII, Latin-1 and Latin
// Extended-A (U+0000 to U+017F) in upper case, as Windows compares names: "Ärger.txt" and
// "äRGER.TXT" give the same. Letters without such a partner there ("ß", dotless "ı", "İ", "ſ"),
// other scripts and bytes that are not UTF-8 stay as they are.
std::string foldedName(const std::string& name);

// The order of paths below one extraction folder: with foldCase, paths that differ only in letter
// case (as foldedName folds it) are the same path. A map ordered by it keeps the first spelling.
struct PathOrder {
    bool foldCase = false;
    bool operator()(const std::string& a, const std::string& b) const;
};

// The parent folder of a relative path ("" for a top-level name), and its last part.
std::string parentOf(const std::string& path);
std::string baseNameOf(const std::string& path);

// Joins a folder given by the program and a relative path with one "/".
std::string joinPath(const std::string& folder, const std::string& relative);

// Include or exclude names. A name without wildcards matches an entry name exactly; a name with
// "*", "?" or "[...]" is a pattern in which "*" also matches "/". "\" and "/" are the same.
class NameFilter {
public:
    NameFilter(std::vector<std::string> names, bool caseSensitive);

    bool empty() const { return m_names.empty(); }
    // True when a name matches entryName; marks every matching name in used (sized like names()).
    bool matches(const std::string& entryName, std::vector<bool>* used = nullptr) const;
    const std::vector<std::string>& names() const { return m_names; }

private:
    std::vector<std::string> m_names;
    std::vector<bool> m_isPattern;
    bool m_caseSensitive;
};

// Whether name matches the wildcard pattern ("*", "?", "[...]"; "*" also matches "/"), with or
// without case.
bool matchesPattern(const std::string& pattern, const std::string& name, bool caseSensitive);

} // namespace vbuzip
