// Fuzzes the unzip engine with the input as the archive file. Each input is listed, tested and
// extracted through the engine's entry point, with its sources linked in; options and the answers
// of the callbacks are chosen from a hash of the input, so that a run is repeatable.
//
// The scratch root (under $VORN_FUZZ_SCRATCH, else /dev/shm, else $TMPDIR or /tmp) holds:
//   in/update.zip               the input
//   sandbox/                    the parent of the extraction folder, with a file and a folder
//   sandbox/program/            the extraction folder, made afresh for every input: empty, missing,
//                               or holding files, files named like the engine's own and links
//                               leading out
//
// Checked on every input:
// - no call changes anything outside the extraction folder (the whole scratch root is compared
//   before and after, contents included), and nothing is ever written by listing or testing;
// - no temporary file of the engine is left, files that only look like one are never touched,
//   no entry is written under such a name, and no symbolic link or special file is created in
//   the extraction folder;
// - a failed extraction leaves the extraction folder exactly as it was (or missing, if it was);
// - a successful one writes only files that selected entries name, never two to one path, never
//   an unsafe name or a link entry; with the default options every selected file entry arrives
//   with the size and CRC of the listing; the totals match what was written;
// - the listing matches libzip's own reading (of the part after any data in front of the
//   archive); results are documented codes; the callbacks get well-formed arguments on the
//   calling thread; a stop asked for by the service callback is never reported as success; an
//   include name that matches nothing fails with UZ_ERR_NO_MATCH;
// - an archive that lists and tests without error also extracts (barring the rules for writing,
//   which a test does not apply: unsafe names, links, devices, clashing paths; names the file
//   system cannot hold and things in the way), and one that cannot be opened fails every call
//   alike.
#include "EngineCallRecords.h"
#include "vbuzip10.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fnmatch.h>
#include <map>
#include <memory>
#include <optional>
#include <pthread.h>
#include <set>
#include <signal.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zip.h>
#include <zlib.h>

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "invariant broken: %s%s%s\n", what, detail.empty() ? "" : ": ",
                 detail.c_str());
    std::abort();
}

#define CHECK(condition, ...)                                                                      \
    do {                                                                                           \
        if (!(condition))                                                                          \
            fail(#condition __VA_OPT__(, ) __VA_ARGS__);                                           \
    } while (0)

// Extraction is skipped when the entries declare more than this in all (a few kilobytes of
// deflated data can declare gigabytes across entries that share their data); testing likewise.
constexpr uint64_t MaxExtracted = 64ull << 20;
constexpr uint64_t MaxTested = 256ull << 20;
constexpr const char* Password = "secret";

// ---- The scratch root ----------------------------------------------------------------------

struct Scratch {
    fs::path root, archive, sandbox, out;
};
Scratch g;

void removeScratch() {
    std::error_code ignored;
    if (!g.root.empty())
        fs::remove_all(g.root, ignored);
}

fs::path scratchBase() {
    const char* chosen = std::getenv("VORN_FUZZ_SCRATCH");
    if (chosen && *chosen)
        return chosen;
    if (access("/dev/shm", W_OK) == 0)
        return "/dev/shm"; // memory-backed: the engine's sync of the written files costs nothing
    const char* tmp = std::getenv("TMPDIR");
    return tmp && *tmp ? tmp : "/tmp";
}

void writeFile(const fs::path& path, const void* data, size_t size) {
    FILE* file = std::fopen(path.c_str(), "wb");
    CHECK(file, path.string());
    CHECK(std::fwrite(data, 1, size, file) == size, path.string());
    CHECK(std::fclose(file) == 0, path.string());
}

// Removes the scratch roots of runs that ended without cleaning up (a crash ends the process at
// once); their names hold the process id.
void removeStaleScratch(const fs::path& base) {
    const std::string prefix = "vorn-fuzz-engine-";
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(base, error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) != 0)
            continue;
        char* end = nullptr;
        const long pid = std::strtol(name.c_str() + prefix.size(), &end, 10);
        if (pid > 0 && *end == '-' && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            fs::remove_all(entry.path(), error);
    }
}

void setUpScratch() {
    const fs::path base = scratchBase();
    removeStaleScratch(base);
    std::string pattern =
        (base / ("vorn-fuzz-engine-" + std::to_string(getpid()) + "-XXXXXX")).string();
    CHECK(mkdtemp(pattern.data()), pattern);
    g.root = pattern;
    g.archive = g.root / "in" / "update.zip";
    g.sandbox = g.root / "sandbox";
    g.out = g.sandbox / "program";
    fs::create_directories(g.root / "in");
    fs::create_directories(g.sandbox / "other");
    writeFile(g.sandbox / "sibling.txt", "sibling", 7);
    writeFile(g.sandbox / "other" / "inside.txt", "inside", 6);
    std::atexit(removeScratch);
}

// ---- Snapshots of folder trees -------------------------------------------------------------

struct Node {
    char type = '?'; // f file, d folder, l link, s anything else
    uint64_t size = 0;
    unsigned mode = 0;
    std::string link;
    uint32_t crc = 0;
    bool operator==(const Node&) const = default;
};
using Tree = std::map<std::string, Node>; // path relative to the snapshot's base

uint32_t crcOfFile(const fs::path& path, uint64_t& size) {
    uint32_t crc = static_cast<uint32_t>(crc32(0, nullptr, 0));
    size = 0;
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return 0xFFFFFFFFu; // unreadable (a mode without read rights and no privileges)
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        crc = static_cast<uint32_t>(
            crc32(crc, reinterpret_cast<const Bytef*>(buffer), static_cast<uInt>(n)));
        size += static_cast<uint64_t>(n);
    }
    ::close(fd);
    return crc;
}

// Every file, folder and link below base, except the subtree skip.
Tree snapshot(const fs::path& base, const fs::path& skip = {}) {
    Tree tree;
    std::error_code error;
    if (!fs::exists(fs::symlink_status(base, error)))
        return tree;
    auto it = fs::recursive_directory_iterator(base, fs::directory_options::none, error);
    CHECK(!error, base.string() + ": " + error.message());
    for (; it != fs::recursive_directory_iterator(); it.increment(error)) {
        CHECK(!error, base.string() + ": " + error.message());
        const fs::path& path = it->path();
        if (!skip.empty() && path == skip) {
            it.disable_recursion_pending();
            continue;
        }
        struct stat st {};
        CHECK(lstat(path.c_str(), &st) == 0, path.string());
        Node node;
        node.mode = st.st_mode & 07777;
        if (S_ISREG(st.st_mode)) {
            node.type = 'f';
            node.crc = crcOfFile(path, node.size);
        } else if (S_ISDIR(st.st_mode)) {
            node.type = 'd';
        } else if (S_ISLNK(st.st_mode)) {
            node.type = 'l';
            node.link = fs::read_symlink(path, error).string();
        } else {
            node.type = 's';
        }
        // The path below base (fs::relative would resolve links on the way).
        tree.emplace(path.string().substr(base.string().size() + 1), node);
    }
    return tree;
}

std::string describeDifference(const Tree& before, const Tree& after) {
    std::string text;
    for (const auto& [path, node] : after) {
        auto it = before.find(path);
        if (it == before.end())
            text += " new:" + path + "(" + node.type + ")";
        else if (!(it->second == node))
            text += " changed:" + path;
    }
    for (const auto& [path, node] : before) {
        if (!after.count(path))
            text += " gone:" + path;
    }
    return text;
}

// The engine stages data, keeps replaced files and its records under hidden names of this form.
bool isTempName(const std::string& path) {
    const std::string name = fs::path(path).filename().string();
    return name.rfind(".vbuzip-", 0) == 0;
}

std::string toLower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// ---- One engine call -----------------------------------------------------------------------

struct Listed {
    std::string name;
    uint32_t size = 0, crc = 0;
    bool encrypted = false;
    // From reading the archive here with libzip directly.
    bool maybeFolder = false; // folder by its attributes
    bool link = false;        // a symbolic link by its attributes
    bool special = false;     // a device or socket by the attributes of a Unix host
};

// Where the archive starts when other data is in front of it and its offsets were not adjusted:
// the central directory ends where the last end record whose comment fits in the file starts.
// 0 when that does not hold.
size_t archiveStart(const uint8_t* data, size_t size) {
    auto little = [&](size_t at, int bytes) {
        uint64_t value = 0;
        for (int i = bytes; i-- > 0;)
            value = value << 8 | data[at + static_cast<size_t>(i)];
        return value;
    };
    for (size_t at = size >= 22 ? size - 22 + 1 : 0; at-- > 0;) {
        if (std::memcmp(data + at, "PK\x05\x06", 4) != 0 || at + 22 + little(at + 20, 2) > size)
            continue;
        const uint64_t directory = little(at + 12, 4) + little(at + 16, 4);
        return directory <= at ? at - directory : 0;
    }
    return 0;
}

// The entry names and kinds as libzip reads them, or nothing when it cannot open the archive.
std::optional<std::vector<Listed>> readDirectly(const uint8_t* data, size_t size) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(data, size, 0, &error);
    CHECK(source);
    zip_t* za = zip_open_from_source(source, ZIP_RDONLY, &error);
    zip_error_fini(&error);
    if (!za) {
        zip_source_free(source);
        return std::nullopt;
    }
    std::vector<Listed> entries;
    const zip_int64_t count = zip_get_num_entries(za, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        Listed entry;
        const char* name = zip_get_name(za, static_cast<zip_uint64_t>(i), 0);
        entry.name = name ? name : "";
        zip_uint8_t host = 0;
        zip_uint32_t attributes = 0;
        if (zip_file_get_external_attributes(za, static_cast<zip_uint64_t>(i), 0, &host,
                                             &attributes) == 0) {
            const unsigned type = (attributes >> 16) & S_IFMT;
            entry.maybeFolder = (attributes & 0x10) != 0 || type == S_IFDIR;
            entry.link = type == S_IFLNK;
            entry.special = (host == ZIP_OPSYS_UNIX || host == 19) &&
                            (type == S_IFCHR || type == S_IFBLK || type == S_IFSOCK);
        }
        entries.push_back(entry);
    }
    zip_discard(za);
    return entries;
}

enum class PasswordPlan { Right, WrongThenRight, None };

struct Call {
    bool listOnly = false, testOnly = false, onlyNewer = false, spaceToUnderscore = false,
         promptToOverwrite = false, overwriteExisting = true, useFolderNames = true,
         convertLineEnds = false, caseSensitive = false;
    int32_t messageLevel = UZ_MSG_NORMAL;
    bool withFolder = false;
    std::vector<std::string> include, exclude;
    PasswordPlan password = PasswordPlan::Right;
    int stopAt = 0; // the service callback asks to stop at this call (1-based), 0 never
    uint64_t replaceAnswers = 0; // the replace callback's answers, two bits each

    // What the callbacks saw.
    std::vector<Listed> listed;
    std::vector<std::string> serviced;
    int passwordAsks = 0, replaceAsks = 0;
    bool stopAsked = false;
    uint32_t area[5] = {};
};

Call* current = nullptr;
pthread_t caller;

void checkThread() {
    CHECK(pthread_equal(pthread_self(), caller), "a callback ran on another thread");
}

int32_t UZ_CALL onPrint(char* text, uint32_t length) {
    checkThread();
    CHECK(text);
    CHECK(length >= 1 && length <= 1023, std::to_string(length));
    CHECK(std::strlen(text) == length, std::string(text, length));
    CHECK(text[length - 1] == '\n', std::string(text, length)); // one line each
    return 0;
}

int32_t UZ_CALL onReplace(char* fileName) {
    checkThread();
    CHECK(fileName && *fileName);
    CHECK(current->promptToOverwrite, "replace asked without prompting");
    static const int32_t answers[] = {UZ_REPLACE_NO, UZ_REPLACE_YES, UZ_REPLACE_ALL,
                                      UZ_REPLACE_NONE};
    int shift = 2 * (current->replaceAsks++ % 32);
    return answers[(current->replaceAnswers >> shift) & 3];
}

int32_t UZ_CALL onPassword(char* buffer, int32_t size, char* prompt, char* entryName) {
    checkThread();
    CHECK(buffer && prompt && entryName);
    CHECK(size >= UZ_PASSWORD_BUFFER, std::to_string(size));
    for (int32_t i = 0; i < size; ++i)
        CHECK(buffer[i] == 0, "password buffer not zero-filled");
    (void)std::strlen(prompt);
    (void)std::strlen(entryName);
    const int ask = current->passwordAsks++;
    switch (current->password) {
    case PasswordPlan::None:
        return 1;
    case PasswordPlan::WrongThenRight:
        if (ask % 2 == 0) {
            std::memcpy(buffer, "wrong", 5);
            return 0;
        }
        [[fallthrough]];
    case PasswordPlan::Right:
        // Like the program: no terminating NUL written.
        std::memcpy(buffer, Password, std::strlen(Password));
        return 0;
    }
    return 1;
}

void UZ_CALL onList(uint32_t compressedSize, uint32_t size, int32_t ratio, int32_t month,
                    int32_t day, int32_t year, int32_t hour, int32_t minute, uint8_t reserved,
                    char* name, char* method, uint32_t crc, uint8_t flags) {
    (void)compressedSize;
    checkThread();
    CHECK(current->listOnly, "list callback outside a listing");
    CHECK(name && method && *method);
    CHECK(std::strlen(method) < 32, method);
    CHECK(ratio >= 0 && ratio <= 32767, std::to_string(ratio));
    CHECK(size != 0 || ratio == 0, name);
    CHECK(month >= 1 && month <= 12, std::to_string(month));
    CHECK(day >= 1 && day <= 31, std::to_string(day));
    CHECK(year >= 1000 && year <= 9999, std::to_string(year));
    CHECK(hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59);
    CHECK(reserved == 0);
    CHECK(flags == 0 || flags == UZ_LIST_ENCRYPTED, std::to_string(flags));
    current->listed.push_back({name, size, crc, flags == UZ_LIST_ENCRYPTED});
}

int32_t UZ_CALL onService(char* entryName, uint32_t count) {
    checkThread();
    CHECK(entryName);
    CHECK(count == std::strlen(entryName) + 1, entryName);
    current->serviced.emplace_back(entryName);
    if (current->stopAt > 0 && static_cast<int>(current->serviced.size()) == current->stopAt) {
        current->stopAsked = true;
        return 1;
    }
    return 0;
}

bool documentedResult(int32_t result) {
    switch (result) {
    case UZ_OK:
    case UZ_ERR_ARCHIVE:
    case UZ_ERR_MEMORY:
    case UZ_ERR_NO_ARCHIVE:
    case UZ_ERR_PARAMETERS:
    case UZ_ERR_NO_MATCH:
    case UZ_ERR_DISK_FULL:
    case UZ_ERR_WRITE:
    case UZ_ERR_STOPPED:
    case UZ_ERR_UNSUPPORTED:
    case UZ_ERR_PASSWORD:
    case UZ_ERR_UNSAFE_PATH:
    case UZ_ERR_TOO_LARGE:
    case UZ_ERR_DUPLICATE_NAME:
        return true;
    default:
        return false;
    }
}

int32_t run(Call& call) {
    std::string archive = g.archive.string();
    std::string folder = g.out.string();
    UnzipOptions options =
        engine_call::optionsOf(call, archive.data(), call.withFolder ? folder.data() : nullptr);
    auto include = engine_call::nameListOf(call.include);
    auto exclude = engine_call::nameListOf(call.exclude);

    UnzipCallbacks callbacks{};
    callbacks.Print = onPrint;
    callbacks.Replace = onReplace;
    callbacks.Password = onPassword;
    callbacks.List = onList;
    callbacks.Service = onService;

    current = &call;
    caller = pthread_self();
    const int32_t result = Wiz_SingleEntryUnzip(
        static_cast<int32_t>(call.include.size()), include.get(),
        static_cast<int32_t>(call.exclude.size()), exclude.get(), &options, &callbacks);
    current = nullptr;
    std::memcpy(call.area, callbacks.EngineArea, sizeof call.area);
    CHECK(documentedResult(result), std::to_string(result));
    CHECK(!call.stopAsked || result != UZ_OK, "a stop was reported as success");
    return result;
}

// ---- Where entries go, worked out here without the engine ----------------------------------

struct Expected {
    std::map<std::string, std::vector<const Listed*>> files; // target path -> entries
    std::set<std::string> folders;                           // every folder a target needs
    bool unsafe = false;  // some name has a ".." part, is absolute or uses an engine's name
    bool link = false;    // some entry is a symbolic link
    bool special = false; // some entry is a device or socket
    bool clash = false;   // two entries go to one path, or a file goes where a folder must be
    bool tooLong = false; // some target is longer than the file system takes
};

std::string withSlashes(std::string name) {
    std::replace(name.begin(), name.end(), '\\', '/');
    return name;
}

// Whether a name of an include or exclude list picks an entry: exact names compare without case
// (unless the call asks for case), names with "*", "?" or "[" are patterns; "\" is "/".
bool picks(const std::string& pattern, const std::string& entryName, bool caseSensitive) {
    const std::string p = withSlashes(pattern), name = withSlashes(entryName);
    if (p.find_first_of("*?[") != std::string::npos)
        return fnmatch(p.c_str(), name.c_str(), caseSensitive ? 0 : FNM_CASEFOLD) == 0;
    if (caseSensitive)
        return p == name;
    return p.size() == name.size() &&
           std::equal(p.begin(), p.end(), name.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           });
}

bool selectedBy(const Call& call, const Listed& entry) {
    auto any = [&](const std::vector<std::string>& names) {
        return std::any_of(names.begin(), names.end(), [&](const std::string& n) {
            return picks(n, entry.name, call.caseSensitive);
        });
    };
    return (call.include.empty() || any(call.include)) && !any(call.exclude);
}

// The targets of the entries a call selects.
Expected expectedTargets(const std::vector<Listed>& listed, const Call& call) {
    Expected expected;
    std::set<std::string> folderEntries; // targets of the entries whose names end in "/"
    for (const Listed& entry : listed) {
        if (!selectedBy(call, entry))
            continue;
        if (entry.link)
            expected.link = true;
        if (entry.special)
            expected.special = true;
        std::string name = entry.name;
        std::replace(name.begin(), name.end(), '\\', '/');
        const bool folder = !name.empty() && name.back() == '/';
        if (name.empty() || name.front() == '/' ||
            (name.size() >= 2 && std::isalpha(static_cast<unsigned char>(name[0])) &&
             name[1] == ':')) {
            expected.unsafe = true;
            continue;
        }
        std::vector<std::string> parts;
        bool dotdot = false;
        size_t start = 0;
        while (start <= name.size()) {
            size_t end = std::min(name.find('/', start), name.size());
            std::string part = name.substr(start, end - start);
            start = end + 1;
            if (part.empty() || part == ".")
                continue;
            // ".." and the names of the engine's own files (".vbuzip-", in any case) are refused.
            dotdot = dotdot || part == ".." || isTempName(toLower(part));
            if (call.spaceToUnderscore)
                std::replace(part.begin(), part.end(), ' ', '_');
            if (part.size() > 255)
                expected.tooLong = true;
            parts.push_back(part);
        }
        if (dotdot) {
            expected.unsafe = true;
            continue;
        }
        if (parts.empty())
            continue;
        std::string path;
        for (size_t i = 0; i < parts.size(); ++i) {
            if (i)
                path += '/';
            path += parts[i];
            if (call.useFolderNames && (i + 1 < parts.size() || folder))
                expected.folders.insert(path);
        }
        if (g.out.string().size() + 1 + path.size() >= 4000)
            expected.tooLong = true;
        if (folder && call.useFolderNames)
            folderEntries.insert(path);
        if (!folder) {
            // Without folder names a file lands in the extraction folder itself.
            expected.files[call.useFolderNames ? path : parts.back()].push_back(&entry);
            if (call.useFolderNames)
                expected.folders.insert(path); // it may be a folder by its attributes
        }
    }
    // Clashes (an entry that may be a folder by its attributes counts as a file as well): two
    // entries for one path, or a file where another entry needs a folder.
    auto isFile = [&](const std::string& path) { return expected.files.count(path) > 0; };
    for (const auto& [path, entries] : expected.files)
        expected.clash = expected.clash || entries.size() > 1;
    for (const std::string& path : folderEntries)
        expected.clash = expected.clash || isFile(path);
    for (const std::string& path : expected.folders) {
        for (size_t slash = path.rfind('/'); slash != std::string::npos && !expected.clash;
             slash = slash > 0 ? path.rfind('/', slash - 1) : std::string::npos)
            expected.clash = isFile(path.substr(0, slash));
    }
    return expected;
}

// ---- Checks around a call ------------------------------------------------------------------

// No entry may be written under a name of the engine's own, and the engine leaves none of its
// files behind. Files of the folder that merely look like its own (the prefilled folder's) are
// never removed or changed: the engine knows its leftovers from its records, not from names.
void checkNoTemporaries(const Tree& before, const Tree& after, const char* when) {
    for (const auto& [path, node] : after) {
        auto it = before.find(path);
        CHECK(!isTempName(path) || (it != before.end() && it->second == node),
              std::string(when) + ": temporary file left: " + path);
    }
    for (const auto& [path, node] : before)
        CHECK(!isTempName(path) || after.count(path),
              std::string(when) + ": a file of the folder was removed by its name: " + path);
}

void checkOutside(const Tree& before, const char* when) {
    const Tree after = snapshot(g.root, g.out);
    CHECK(after == before,
          std::string(when) + " changed the scratch root:" + describeDifference(before, after));
}

// After a successful extraction: only what entries name, and nothing unsafe.
void checkExtracted(const Tree& before, const Tree& after, const Expected& expected,
                    const Call& call) {
    for (const auto& [path, node] : after) {
        auto known = before.find(path);
        CHECK(node.type == 'f' || node.type == 'd' ||
                  (known != before.end() && known->second == node),
              "link or special file created: " + path);
        if (node.type == 'l')
            continue; // one that was there before, left alone
        if (node.type == 'd') {
            CHECK(expected.folders.count(path) || (known != before.end()),
                  "unexpected folder: " + path);
            continue;
        }
        auto target = expected.files.find(path);
        CHECK(target != expected.files.end() || known != before.end(), "unexpected file: " + path);
        // Entries that may be folders by their attributes do not count: a folder is no file.
        const auto files = target == expected.files.end()
                               ? 0
                               : std::count_if(target->second.begin(), target->second.end(),
                                               [](const Listed* e) { return !e->maybeFolder; });
        CHECK(files <= 1 || known != before.end(), "two entries written to " + path);
    }
    // Every file entry arrives, with its size and CRC, when nothing could stop it.
    const bool everything = !call.onlyNewer && !call.promptToOverwrite && call.overwriteExisting;
    if (!everything)
        return;
    for (const auto& [path, entries] : expected.files) {
        if (entries.size() != 1)
            continue;
        const Listed& entry = *entries.front();
        auto it = after.find(path);
        if (entry.maybeFolder) {
            // A folder by its attributes: made as a folder, or left out without folder names;
            // its data, if it has any, is never dropped without a word.
            CHECK(entry.size == 0 || (it != after.end() && it->second.type == 'f'),
                  "the data of an entry marked as a folder was dropped: " + path);
            continue;
        }
        CHECK(it != after.end(), "entry not extracted: " + path);
        CHECK(it->second.type == 'f', "a file entry became a folder: " + path);
        if (call.convertLineEnds || it->second.crc == 0xFFFFFFFFu)
            continue;
        CHECK(it->second.size == entry.size, path + ": size differs from the listing");
        // AES entries of version 2 record a CRC of 0: their authentication code protects them.
        if (!(entry.encrypted && entry.crc == 0))
            CHECK(it->second.crc == entry.crc, path + ": CRC differs from the listing");
    }
}

// VORN_FUZZ_VERBOSE=1 prints the result of every call (for looking at single inputs).
void trace(const char* call, int32_t result) {
    static const bool verbose = std::getenv("VORN_FUZZ_VERBOSE") != nullptr;
    if (verbose)
        std::fprintf(stderr, "%s: %d\n", call, result);
}

uint64_t hashOf(const uint8_t* data, size_t size) {
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < size; ++i) {
        h ^= data[i];
        h *= 1099511628211ull;
    }
    return h ^ (h >> 29);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setUpScratch();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint64_t h = hashOf(data, size);
    auto bit = [h](int n) { return ((h >> n) & 1) != 0; };

    writeFile(g.archive, data, size);
    std::error_code ignored;
    fs::remove_all(g.out, ignored);
    // Most inputs extract into an empty folder; some into one with files of its own, some into
    // one that does not exist yet.
    const bool prefilled = (h & 7) == 1;
    const bool missing = (h & 7) == 2;
    if (!missing)
        fs::create_directories(g.out);
    if (prefilled) {
        // Files of its own, some named like the engine's temporary files, and links that lead out:
        // writing through any of these links would change the scratch root.
        fs::create_directories(g.out / "sub");
        writeFile(g.out / "keep.txt", "keep", 4);
        writeFile(g.out / "sub" / "readme.txt", "old", 3);
        writeFile(g.out / ".vbuzip-000000000000-7.tmp", "stale", 5);
        writeFile(g.out / "sub" / ".vbuzip-000000000000-8.tmp", "stale", 5);
        fs::create_directory_symlink("..", g.out / "up");
        fs::create_symlink("../sibling.txt", g.out / "sibling");
        fs::create_directory_symlink(g.sandbox / "other", g.out / "abs");
    }
    const Tree outside = snapshot(g.root, g.out);
    const Tree out0 = snapshot(g.out);
    const bool existed = fs::exists(g.out);
    const PasswordPlan password = bit(3)   ? PasswordPlan::Right
                                  : bit(4) ? PasswordPlan::WrongThenRight
                                           : PasswordPlan::None;

    // Listing.
    Call list;
    list.listOnly = true;
    list.messageLevel = static_cast<int32_t>((h >> 5) % 3);
    list.withFolder = bit(7);
    const int32_t listed = run(list);
    trace("listing", listed);
    checkOutside(outside, "listing");
    CHECK(snapshot(g.out) == out0 && fs::exists(g.out) == existed, "listing wrote");
    std::optional<std::vector<Listed>> direct = readDirectly(data, size);
    if (!direct && listed == UZ_OK) {
        // Data in front of the archive: libzip reads the archive from where it starts.
        const size_t start = archiveStart(data, size);
        if (start > 0)
            direct = readDirectly(data + start, size - start);
    }

    if (listed == UZ_OK) {
        CHECK(direct && direct->size() == list.listed.size(), "listing differs from libzip's");
        for (size_t i = 0; i < list.listed.size(); ++i) {
            CHECK(list.listed[i].name == (*direct)[i].name, list.listed[i].name);
            list.listed[i].maybeFolder = (*direct)[i].maybeFolder;
            list.listed[i].link = (*direct)[i].link;
            list.listed[i].special = (*direct)[i].special;
        }
        CHECK(list.area[0] == list.listed.size(), "listing totals");
        CHECK(list.serviced.size() == list.listed.size(), "one service call per listed entry");
        for (size_t i = 0; i < list.listed.size(); ++i)
            CHECK(list.serviced[i] == list.listed[i].name, "service name differs from the list");
    }
    // A listing the program stops at its first entry.
    if (listed == UZ_OK && bit(38) && bit(39)) {
        Call stopped;
        stopped.listOnly = true;
        stopped.stopAt = 1;
        const int32_t result = run(stopped);
        CHECK(result == (list.listed.empty() ? UZ_OK : UZ_ERR_STOPPED), std::to_string(result));
        CHECK(stopped.listed.size() == std::min<size_t>(1, list.listed.size()));
        checkOutside(outside, "stopped listing");
    }
    uint64_t declared = 0;
    for (const Listed& entry : list.listed)
        declared += entry.size == UINT32_MAX ? MaxTested + 1 : entry.size;

    // Testing.
    int32_t tested = -1;
    if (declared <= MaxTested) {
        Call test;
        test.testOnly = true;
        test.withFolder = true;
        test.password = password;
        test.messageLevel = list.messageLevel;
        tested = run(test);
        trace("testing", tested);
        checkOutside(outside, "testing");
        CHECK(snapshot(g.out) == out0 && fs::exists(g.out) == existed, "testing wrote");
        if (listed == UZ_ERR_NO_ARCHIVE)
            CHECK(tested == UZ_ERR_NO_ARCHIVE, std::to_string(tested));
        if (listed != UZ_OK)
            CHECK(tested != UZ_OK, "tests an archive that does not list");
    }
    if (declared > MaxExtracted || listed != UZ_OK)
        return 0;

    // Extraction with the program's options, or a variation of them.
    Call extract;
    extract.withFolder = true;
    extract.password = password;
    extract.messageLevel = list.messageLevel;
    extract.spaceToUnderscore = bit(8) && bit(9);
    extract.convertLineEnds = bit(10) && bit(11);
    extract.useFolderNames = !(bit(12) && bit(13) && bit(14));
    extract.caseSensitive = bit(15);
    if (bit(16) && bit(17) && bit(18))
        extract.stopAt = 1 + static_cast<int>((h >> 19) % 4);
    if (bit(21) && bit(22) && bit(23))
        extract.exclude.push_back(bit(24) ? "*.txt" : "*/*");
    // Now and then only one entry, or a name that no entry has.
    bool unmatched = false;
    if (bit(35) && bit(36) && !list.listed.empty()) {
        extract.include.push_back(list.listed[(h >> 40) % list.listed.size()].name);
    } else if (bit(35) && bit(37)) {
        const std::string name = "No Such Entry";
        extract.include.push_back(name);
        unmatched = std::none_of(list.listed.begin(), list.listed.end(), [&](const Listed& e) {
            return e.name.size() == name.size() &&
                   std::equal(name.begin(), name.end(), e.name.begin(), [](char a, char b) {
                       return std::tolower(static_cast<unsigned char>(a)) ==
                              std::tolower(static_cast<unsigned char>(b));
                   });
        });
    }
    const Expected expected = expectedTargets(list.listed, extract);
    const int32_t extracted = run(extract);
    trace("extraction", extracted);
    if (std::getenv("VORN_FUZZ_VERBOSE"))
        std::fprintf(
            stderr,
            "  options: folder names %d, spaces %d, line ends %d, stop at %d, include %zu, "
            "exclude %zu, prefilled %d, missing %d, password %d, service calls %zu\n",
            extract.useFolderNames, extract.spaceToUnderscore, extract.convertLineEnds,
            extract.stopAt, extract.include.size(), extract.exclude.size(), prefilled, missing,
            static_cast<int>(password), extract.serviced.size());
    if (unmatched)
        CHECK(extracted == UZ_ERR_NO_MATCH, std::to_string(extracted));
    checkOutside(outside, "extraction");
    const Tree out1 = snapshot(g.out);
    checkNoTemporaries(out0, out1, "extraction");
    if (extracted != UZ_OK) {
        CHECK(out0 == out1 && fs::exists(g.out) == existed,
              "failed extraction (" + std::to_string(extracted) +
                  ") changed the folder:" + describeDifference(out0, out1));
        // What testing passed, extraction passes too, unless a rule for writing refuses it (a
        // test does not apply them), the file system cannot hold a name, the folder already
        // held something in the way, or the program asked to stop.
        if (tested == UZ_OK && extract.exclude.empty() && extract.include.empty()) {
            const bool refusedName = expected.unsafe || expected.link || expected.special;
            const bool allowed =
                extract.stopAsked ||
                (extracted == UZ_ERR_WRITE && (expected.tooLong || prefilled || expected.clash)) ||
                (extracted == UZ_ERR_UNSAFE_PATH && (prefilled || refusedName)) ||
                (extracted == UZ_ERR_DUPLICATE_NAME &&
                 (extract.spaceToUnderscore || !extract.useFolderNames || expected.clash));
            CHECK(allowed, "tests clean but extraction fails with " + std::to_string(extracted));
        }
        return 0;
    }
    CHECK(!expected.unsafe, "an unsafe name was extracted");
    CHECK(!expected.link, "a link entry was extracted");
    const bool everySelected = extract.exclude.empty() && extract.include.empty();
    checkExtracted(out0, out1, expected, extract);
    if (out0.empty() && everySelected) {
        size_t files = 0;
        for (const auto& [path, node] : out1)
            files += node.type == 'f';
        CHECK(extract.area[1] == files, "written total " + std::to_string(extract.area[1]) +
                                            " for " + std::to_string(files) + " files");
    }

    // A second extraction over the first: existing files are replaced, kept or asked about.
    if (!bit(25))
        return 0;
    Call again = extract;
    again.listed.clear();
    again.serviced.clear();
    again.passwordAsks = again.replaceAsks = 0;
    again.stopAsked = false;
    again.stopAt = bit(26) && bit(27) ? 1 + static_cast<int>((h >> 28) % 4) : 0;
    again.promptToOverwrite = bit(30);
    again.replaceAnswers = h >> 31;
    again.onlyNewer = bit(32) && bit(33);
    again.overwriteExisting = !bit(34);
    const Expected expectedAgain = expectedTargets(list.listed, again);
    const int32_t second = run(again);
    trace("second extraction", second);
    checkOutside(outside, "second extraction");
    const Tree out2 = snapshot(g.out);
    checkNoTemporaries(out1, out2, "second extraction");
    if (second != UZ_OK) {
        CHECK(out1 == out2, "failed second extraction (" + std::to_string(second) +
                                ") changed the folder:" + describeDifference(out1, out2));
        return 0;
    }
    checkExtracted(out1, out2, expectedAgain, again);
    return 0;
}
