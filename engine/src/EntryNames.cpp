#include "EntryNames.h"

#include <algorithm>
#include <cctype>
#include <string_view>

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

// The upper-case partner of a letter of U+00C0 to U+017F, or the letter itself.
char32_t upperLatin(char32_t code) {
    if (code >= 0xE0 && code <= 0xFE && code != 0xF7)
        return code - 0x20;
    if (code == 0xFF)
        return 0x178;
    // Latin Extended-A pairs its letters, upper case first, on even codes or on odd ones.
    const bool upperOnEven = (code >= 0x100 && code <= 0x137 && code != 0x130 && code != 0x131) ||
                             (code >= 0x14A && code <= 0x177);
    const bool upperOnOdd = (code >= 0x139 && code <= 0x148) || (code >= 0x179 && code <= 0x17E);
    if ((upperOnEven && code % 2 == 1) || (upperOnOdd && code % 2 == 0))
        return code - 1;
    return code;
}

// Names Windows opens as a device, whatever follows the first dot: "nul.txt" is the device NUL.
// The digits 1 to 3 of COM and LPT may also be superscript ones (U+00B9, U+00B2, U+00B3).
bool isWindowsDevice(const std::string& part) {
    std::string stem = part.substr(0, part.find('.'));
    while (!stem.empty() && stem.back() == ' ') // "nul .txt" is NUL as well
        stem.pop_back();
    stem = foldedName(stem);
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (stem == device)
            return true;
    }
    if (stem.size() < 4 || (stem.compare(0, 3, "COM") != 0 && stem.compare(0, 3, "LPT") != 0))
        return false;
    const std::string number = stem.substr(3);
    return (number.size() == 1 && number[0] >= '1' && number[0] <= '9') || number == "\xC2\xB9" ||
           number == "\xC2\xB2" || number == "\xC2\xB3";
}

// Why Windows cannot hold part as the name of a file or folder; empty when it can.
std::string windowsNameFault(const std::string& part) {
    const std::string quoted = "\"" + part + "\"";
    for (char c : part) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 32) {
            const char* digits = "0123456789abcdef";
            return quoted + " holds the control character 0x" + digits[byte / 16] +
                   digits[byte % 16] + ", which Windows does not allow in names";
        }
        if (std::string_view("<>\"|?*").find(c) != std::string_view::npos)
            return quoted + " holds \"" + c + "\", which Windows does not allow in names";
    }
    if (part.back() == '.')
        return quoted + " ends in a dot, which Windows drops";
    if (part.back() == ' ')
        return quoted + " ends in a space, which Windows drops";
    if (isWindowsDevice(part))
        return quoted + " is the name of a device on Windows";
    return {};
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
    if (rules.windowsNames && name.rfind("//", 0) == 0) {
        if (name.size() >= 4 && (name[2] == '?' || name[2] == '.') && name[3] == '/')
            return unsafe("Windows device path");
        return unsafe("network path");
    }
    if (name.front() == '/')
        return unsafe("absolute path");
    if (name.size() >= 2 && std::isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':')
        return unsafe("drive letter");
    if (rules.windowsNames && name.find(':') != std::string::npos)
        return unsafe("\":\" in name (an alternate data stream on Windows)");
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
        if (rules.windowsNames) {
            const std::string fault = windowsNameFault(part);
            if (!fault.empty())
                return unsafe(fault);
        }
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

std::string foldedName(const std::string& name) {
    std::string out = name;
    for (size_t i = 0; i < out.size(); ++i) {
        const auto lead = static_cast<unsigned char>(out[i]);
        if (lead >= 'a' && lead <= 'z') {
            out[i] = static_cast<char>(lead - ('a' - 'A'));
            continue;
        }
        // U+00C0 to U+017F are the two-byte sequences led by 0xC3 to 0xC5.
        if (lead < 0xC3 || lead > 0xC5 || i + 1 == out.size())
            continue;
        const auto next = static_cast<unsigned char>(out[i + 1]);
        if ((next & 0xC0) != 0x80)
            continue;
        const char32_t upper =
            upperLatin(static_cast<char32_t>((lead & 0x1F) << 6 | (next & 0x3F)));
        out[i] = static_cast<char>(0xC0 | (upper >> 6));
        out[++i] = static_cast<char>(0x80 | (upper & 0x3F));
    }
    return out;
}

bool PathOrder::operator()(const std::string& a, const std::string& b) const {
    return foldCase ? foldedName(a) < foldedName(b) : a < b;
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
