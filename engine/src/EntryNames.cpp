#include "EntryNames.h"

#include <algorithm>
#include <cctype>

namespace vbuzip {

namespace {

std::string withSlashes(std::string text) {
    std::replace(text.begin(), text.end(), '\\', '/');
    return text;
}

bool hasWildcard(const std::string& text) {
    return text.find_first_of("*?[") != std::string::npos;
}

bool equalNames(const std::string& a, const std::string& b, bool caseSensitive) {
    if (caseSensitive)
        return a == b;
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

TargetPath unsafe(const std::string& reason) {
    TargetPath target;
    target.kind = TargetPath::Kind::Unsafe;
    target.reason = reason;
    return target;
}

} // namespace

bool isReservedName(const std::string& part) {
    const std::string prefix = ReservedPrefix;
    return part.size() >= prefix.size() && equalNames(part.substr(0, prefix.size()), prefix, false);
}

TargetPath targetPathOf(const std::string& storedName, bool isFolder, const NameRules& rules) {
    const std::string name = withSlashes(storedName);
    if (name.empty())
        return unsafe("empty entry name");
    if (name.front() == '/')
        return unsafe("absolute path");
    if (name.size() >= 2 && std::isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':')
        return unsafe("drive letter");
    if (name.back() == '/')
        isFolder = true;

    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos)
            end = name.size();
        std::string part = name.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".")
            continue;
        if (part == "..")
            return unsafe("\"..\" in path");
        if (isReservedName(part))
            return unsafe("\"" + part + "\" is a name the engine keeps for its own files");
        if (rules.spaceToUnderscore)
            std::replace(part.begin(), part.end(), ' ', '_');
        parts.push_back(std::move(part));
    }

    TargetPath target;
    if (parts.empty() || (isFolder && !rules.useFolderNames))
        return target; // Ignore
    target.kind = isFolder ? TargetPath::Kind::Folder : TargetPath::Kind::File;
    if (!rules.useFolderNames) {
        target.path = parts.back();
        return target;
    }
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i)
            target.path += '/';
        target.path += parts[i];
    }
    return target;
}

std::string parentOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string baseNameOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string joinPath(const std::string& folder, const std::string& relative) {
    if (folder.empty())
        return relative;
    if (relative.empty())
        return folder;
    return folder.back() == '/' ? folder + relative : folder + "/" + relative;
}

NameFilter::NameFilter(std::vector<std::string> names, bool caseSensitive)
    : m_caseSensitive(caseSensitive) {
    for (std::string& name : names) {
        m_isPattern.push_back(hasWildcard(name));
        m_names.push_back(withSlashes(std::move(name)));
    }
}

bool NameFilter::matches(const std::string& entryName, std::vector<bool>* used) const {
    const std::string name = withSlashes(entryName);
    bool any = false;
    for (size_t i = 0; i < m_names.size(); ++i) {
        bool hit = m_isPattern[i] ? matchesPattern(m_names[i], name, m_caseSensitive)
                                  : equalNames(m_names[i], name, m_caseSensitive);
        if (!hit)
            continue;
        any = true;
        if (!used)
            return true;
        (*used)[i] = true;
    }
    return any;
}

} // namespace vbuzip
