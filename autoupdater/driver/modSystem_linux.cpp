// Linux implementation of the system queries.
#include "driver/modSystem.h"

#include <cstdlib>
#include <dirent.h>
#include <fnmatch.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool IsHidden(const std::string& name) {
    return !name.empty() && name.front() == '.';
}

// The last part of a searched path as an fnmatch(3) pattern: '*' and '?' are the wildcards of a
// file search, while '[' and '\' match themselves there.
std::string SearchPattern(const std::string& last) {
    std::string pattern;
    for (const char c : last) {
        if (c == '[' || c == '\\')
            pattern += '\\';
        pattern += c;
    }
    return pattern;
}

} // namespace

std::string Get_SystemDir() {
    const char* variable = std::getenv("HOME");
    std::string home = variable ? variable : "";
    if (home.empty()) {
        if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir)
            home = entry->pw_dir;
        else
            home = "/";
    }
    while (home.size() > 1 && home.back() == '/')
        home.pop_back();
    if (home == "/")
        home.clear();
    return home + "/.local/lib";
}

bool File_Exists(const std::string& sPath) {
    if (sPath.empty())
        return false;
    const std::size_t slash = sPath.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : sPath.substr(0, slash + 1);
    std::string last = slash == std::string::npos ? sPath : sPath.substr(slash + 1);
    if (last.empty())
        last = "*";
    if (last.find_first_of("*?") == std::string::npos)
        return !IsHidden(last) && IsPlainFileAt(sPath);

    // Regular files and links to them, without the hidden ones.
    DIR* directory = ::opendir(folder.c_str());
    if (!directory)
        return false;
    const std::string pattern = SearchPattern(last);
    bool found = false;
    while (const dirent* entry = ::readdir(directory)) {
        const std::string name = entry->d_name;
        if (IsHidden(name) || ::fnmatch(pattern.c_str(), name.c_str(), 0) != 0)
            continue;
        struct stat info = {};
        if (::stat((folder + "/" + name).c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
            found = true;
            break;
        }
    }
    ::closedir(directory);
    return found;
}
