#include "ZipFixtures.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <zip.h>
#ifdef _WIN32
#include <vorn/Utf16_windows.h>
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fixtures {

namespace {

constexpr uint8_t HostMsDos = 0;
constexpr uint32_t UnixLink = 0120000; // the file type of a symbolic link in a Unix mode
constexpr uint32_t MsDosFolder = 0x10;
constexpr uint32_t MsDosArchive = 0x20;

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what);
}

uint16_t get16(const std::string& b, size_t at) {
    return static_cast<uint16_t>(uint8_t(b[at]) | uint8_t(b[at + 1]) << 8);
}

uint32_t get32(const std::string& b, size_t at) {
    return uint32_t(get16(b, at)) | uint32_t(get16(b, at + 2)) << 16;
}

void put32(std::string& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

// Offsets of the central directory record and the local header of the entry named name.
std::pair<size_t, size_t> findEntry(const std::string& bytes, const std::string& name) {
    const std::string signature("PK\x01\x02", 4);
    for (size_t at = bytes.find(signature); at != std::string::npos;
         at = bytes.find(signature, at + 1)) {
        if (at + 46 > bytes.size())
            break;
        uint16_t length = get16(bytes, at + 28);
        if (bytes.compare(at + 46, length, name) == 0 && length == name.size())
            return {at, get32(bytes, at + 42)};
    }
    fail("no entry " + name + " in archive");
}

zip_int32_t methodOf(Method m) {
    switch (m) {
    case Method::Store:
        return ZIP_CM_STORE;
    case Method::BZip2:
        return ZIP_CM_BZIP2;
    case Method::Deflate:
        break;
    }
    return ZIP_CM_DEFLATE;
}

} // namespace

ZipEntry ZipEntry::file(std::string name, std::string data, uint32_t permissions) {
    ZipEntry e;
    e.name = std::move(name);
    e.data = std::move(data);
    e.mode = S_IFREG | permissions;
    return e;
}

ZipEntry ZipEntry::folder(std::string name, uint32_t permissions) {
    ZipEntry e;
    e.name = std::move(name);
    e.mode = S_IFDIR | permissions;
    e.method = Method::Store;
    return e;
}

ZipEntry ZipEntry::symlink(std::string name, std::string target) {
    ZipEntry e;
    e.name = std::move(name);
    e.data = std::move(target);
    e.mode = UnixLink | 0777;
    e.method = Method::Store;
    return e;
}

ZipEntry ZipEntry::encrypted(std::string name, std::string data, Crypt crypt,
                             std::string password) {
    ZipEntry e = file(std::move(name), std::move(data));
    e.crypt = crypt;
    e.password = std::move(password);
    return e;
}

namespace {

// libzip derives the check byte of traditional encryption from the modification time of the data
// source, not from the time set on the entry; a file source with that time keeps both equal.
zip_source_t* timedFileSource(zip_t* za, const ZipEntry& e, const std::string& folder, size_t n) {
    std::string path = folder + "/" + std::to_string(n);
    writeFile(path, e.data);
    setMtime(path, e.mtime);
    return zip_source_file(za, path.c_str(), 0, -1);
}

} // namespace

void buildZip(const std::string& path, const std::vector<ZipEntry>& entries) {
    TempDir sources("vorn-zip-sources");
    size_t sourceCount = 0;
    int error = 0;
    zip_t* za = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    if (!za)
        fail("cannot create " + path);
    try {
        for (const ZipEntry& e : entries) {
            bool folder = !e.name.empty() && e.name.back() == '/';
            zip_int64_t index;
            if (folder) {
                index = zip_dir_add(za, e.name.c_str(), ZIP_FL_ENC_GUESS);
            } else if (e.crypt == Crypt::TradPkware) {
                zip_source_t* source = timedFileSource(za, e, sources.path(), ++sourceCount);
                if (!source)
                    fail("cannot add " + e.name);
                index = zip_file_add(za, e.name.c_str(), source, ZIP_FL_ENC_GUESS);
                if (index < 0)
                    zip_source_free(source);
            } else {
                // libzip takes ownership of a buffer only when it has bytes in it.
                void* copy = e.data.empty() ? nullptr : std::malloc(e.data.size());
                if (copy)
                    std::memcpy(copy, e.data.data(), e.data.size());
                zip_source_t* source = zip_source_buffer(za, copy, e.data.size(), copy ? 1 : 0);
                if (!source) {
                    std::free(copy);
                    fail("cannot add " + e.name);
                }
                index = zip_file_add(za, e.name.c_str(), source, ZIP_FL_ENC_GUESS);
                if (index < 0)
                    zip_source_free(source);
            }
            if (index < 0)
                fail("cannot add " + e.name + ": " + zip_strerror(za));
            zip_uint64_t i = static_cast<zip_uint64_t>(index);
            if (!folder && zip_set_file_compression(za, i, methodOf(e.method), e.level) != 0)
                fail("cannot set method of " + e.name);
            if (e.crypt != Crypt::None &&
                zip_file_set_encryption(
                    za, i, e.crypt == Crypt::Aes256 ? ZIP_EM_AES_256 : ZIP_EM_TRAD_PKWARE,
                    e.password.c_str()) != 0)
                fail("cannot encrypt " + e.name + ": " + zip_strerror(za));
            if (zip_file_set_mtime(za, i, e.mtime, 0) != 0)
                fail("cannot set time of " + e.name);
            int set = e.mode
                          ? zip_file_set_external_attributes(za, i, 0, ZIP_OPSYS_UNIX, e.mode << 16)
                          : zip_file_set_external_attributes(za, i, 0, HostMsDos,
                                                             folder ? MsDosFolder : MsDosArchive);
            if (set != 0)
                fail("cannot set attributes of " + e.name);
        }
        if (zip_close(za) != 0)
            fail("cannot write " + path + ": " + zip_strerror(za));
    } catch (...) {
        zip_discard(za);
        throw;
    }
}

void writeFile(const std::string& path, const std::string& data, mode_t mode) {
    std::string temp = path + ".part";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
        if (!out)
            fail("cannot write " + path);
    }
#ifdef _WIN32
    // Windows has the read-only attribute only.
    const std::wstring wide = WindowsPath(temp);
    if ((!(mode & 0200) && !SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_READONLY)) ||
        !MoveFileExW(wide.c_str(), WindowsPath(path).c_str(), MOVEFILE_REPLACE_EXISTING))
        fail("cannot write " + path);
#else
    if (chmod(temp.c_str(), mode) != 0 || rename(temp.c_str(), path.c_str()) != 0)
        fail("cannot write " + path);
#endif
}

void patchEntryField(const std::string& zipPath, const std::string& name, Field field,
                     uint32_t value) {
    std::string bytes = readFile(zipPath);
    auto [central, local] = findEntry(bytes, name);
    if (field == Field::Method) {
        for (size_t at : {central + 10, local + 8}) {
            bytes[at] = static_cast<char>(value & 0xff);
            bytes[at + 1] = static_cast<char>((value >> 8) & 0xff);
        }
        writeFile(zipPath, bytes);
        return;
    }
    size_t centralAt = field == Field::Crc ? 16 : field == Field::CompressedSize ? 20 : 24;
    size_t localAt = field == Field::Crc ? 14 : field == Field::CompressedSize ? 18 : 22;
    put32(bytes, central + centralAt, value);
    put32(bytes, local + localAt, value);
    writeFile(zipPath, bytes);
}

void replaceBytes(const std::string& zipPath, const std::string& from, const std::string& to) {
    if (from.size() != to.size())
        fail("replaceBytes needs texts of the same length");
    std::string bytes = readFile(zipPath);
    int count = 0;
    for (size_t at = bytes.find(from); at != std::string::npos; at = bytes.find(from, at + 1)) {
        bytes.replace(at, to.size(), to);
        ++count;
    }
    if (count == 0)
        fail(from + " not found in " + zipPath);
    writeFile(zipPath, bytes);
}

size_t dataOffset(const std::string& zipPath, const std::string& name) {
    std::string bytes = readFile(zipPath);
    size_t local = findEntry(bytes, name).second;
    return local + 30 + get16(bytes, local + 26) + get16(bytes, local + 28);
}

void flipByte(const std::string& zipPath, size_t offset) {
    std::string bytes = readFile(zipPath);
    if (offset >= bytes.size())
        fail("offset past end of " + zipPath);
    bytes[offset] = static_cast<char>(bytes[offset] ^ 0x5a);
    writeFile(zipPath, bytes);
}

void truncateFile(const std::string& path, size_t size) {
    std::error_code error;
    std::filesystem::resize_file(std::filesystem::u8path(path), size, error);
    if (error)
        fail("cannot truncate " + path);
}

#ifdef _WIN32
namespace {
WIN32_FILE_ATTRIBUTE_DATA attributesOf(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(WindowsPath(path).c_str(), GetFileExInfoStandard, &data))
        fail("cannot read the attributes of " + path);
    return data;
}
time_t timeOf(const FILETIME& time) {
    const uint64_t ticks = (uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return static_cast<time_t>(ticks / 10000000ULL) - 11644473600LL;
}
uint32_t permissionsOfAttributes(DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return 0;
    return (attributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
}
} // namespace

uint32_t permissionsOf(const std::string& path) {
    return permissionsOfAttributes(attributesOf(path).dwFileAttributes);
}

time_t mtimeOf(const std::string& path) {
    return timeOf(attributesOf(path).ftLastWriteTime);
}

uint64_t fileIdOf(const std::string& path) {
    HANDLE file =
        CreateFileW(WindowsPath(path).c_str(), FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &info);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (!known)
        fail("cannot read the identity of " + path);
    return (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
}

void setMtime(const std::string& path, time_t mtime) {
    const uint64_t ticks = (static_cast<uint64_t>(mtime) + 11644473600ULL) * 10000000ULL;
    const FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    HANDLE file = CreateFileW(WindowsPath(path).c_str(), FILE_WRITE_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const bool timed = file != INVALID_HANDLE_VALUE && SetFileTime(file, nullptr, nullptr, &time);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (!timed)
        fail("cannot set time of " + path);
}

uint32_t onThisSystem(uint32_t unixPermissions, bool folder) {
    return folder ? 0 : (unixPermissions & 0200) ? 0666 : 0444;
}

bool makeSymlink(const std::string& target, const std::string& link) {
    // A link to a folder is made as one; a relative target is relative to the link's folder.
    const bool absolute = target.size() > 1 && (target[0] == '/' || target[1] == ':');
    const std::string seen =
        absolute ? target : link.substr(0, link.find_last_of('/') + 1) + target;
    const DWORD attributes = GetFileAttributesW(WindowsPath(seen).c_str());
    const DWORD folder =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)
            ? SYMBOLIC_LINK_FLAG_DIRECTORY
            : 0;
    // Some systems (wine) answer success without making anything: what stands there counts.
    return CreateSymbolicLinkW(WindowsPath(link).c_str(), WindowsPath(target).c_str(),
                               folder | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) != 0 &&
           (GetFileAttributesW(WindowsPath(link).c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
           GetFileAttributesW(WindowsPath(link).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool makeHardLink(const std::string& existing, const std::string& link) {
    return CreateHardLinkW(WindowsPath(link).c_str(), WindowsPath(existing).c_str(), nullptr) != 0;
}

// Windows: links are reparse points, whose contents are left empty.
static std::vector<std::pair<std::string, NodeState>> listFolder(const std::string& path) {
    std::vector<std::pair<std::string, NodeState>> listed;
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW(WindowsPath(path + "/*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        fail("cannot read folder " + path);
    do {
        const std::string name = Utf8FromUtf16(found.cFileName);
        if (name == "." || name == "..")
            continue;
        NodeState node;
        node.mtime = timeOf(found.ftLastWriteTime);
        node.permissions = permissionsOfAttributes(found.dwFileAttributes);
        node.type = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? 'l'
                    : (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)   ? 'd'
                                                                            : 'f';
        listed.emplace_back(name, node);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return listed;
}
#else
uint32_t permissionsOf(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0)
        fail("cannot read the attributes of " + path);
    return st.st_mode & 07777;
}

time_t mtimeOf(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0)
        fail("cannot read the attributes of " + path);
    return st.st_mtime;
}

uint64_t fileIdOf(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0)
        fail("cannot read the identity of " + path);
    return st.st_ino;
}

void setMtime(const std::string& path, time_t mtime) {
    const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
        fail("cannot set time of " + path);
}

uint32_t onThisSystem(uint32_t unixPermissions, bool) {
    return unixPermissions;
}

bool makeSymlink(const std::string& target, const std::string& link) {
    return symlink(target.c_str(), link.c_str()) == 0;
}

bool makeHardLink(const std::string& existing, const std::string& link) {
    return ::link(existing.c_str(), link.c_str()) == 0;
}

// Links keep their target as their contents.
static std::vector<std::pair<std::string, NodeState>> listFolder(const std::string& path) {
    std::vector<std::pair<std::string, NodeState>> listed;
    DIR* dir = opendir(path.c_str());
    if (!dir)
        fail("cannot read folder " + path);
    while (dirent* d = readdir(dir)) {
        const std::string name = d->d_name;
        struct stat st {};
        if (name == "." || name == ".." || lstat((path + "/" + name).c_str(), &st) != 0)
            continue;
        NodeState node;
        node.permissions = st.st_mode & 07777;
        node.mtime = st.st_mtime;
        node.type = S_ISDIR(st.st_mode) ? 'd' : S_ISLNK(st.st_mode) ? 'l' : 'f';
        if (node.type == 'l') {
            char target[4096];
            const ssize_t n = readlink((path + "/" + name).c_str(), target, sizeof target);
            node.contents.assign(target, n > 0 ? static_cast<size_t>(n) : 0);
        }
        listed.emplace_back(name, node);
    }
    closedir(dir);
    return listed;
}
#endif

TreeSnapshot snapshotTree(const std::string& root) {
    TreeSnapshot tree;
    std::vector<std::string> pending{""};
    while (!pending.empty()) {
        const std::string rel = pending.back();
        pending.pop_back();
        for (auto& [name, node] : listFolder(rel.empty() ? root : root + "/" + rel)) {
            const std::string childRel = rel.empty() ? name : rel + "/" + name;
            if (node.type == 'd')
                pending.push_back(childRel);
            else if (node.type == 'f')
                node.contents = readFile(root + "/" + childRel);
            tree[childRel] = node;
        }
    }
    return tree;
}

std::string describeDifferences(const TreeSnapshot& before, const TreeSnapshot& after) {
    std::ostringstream out;
    for (const auto& [path, node] : before) {
        auto it = after.find(path);
        if (it == after.end()) {
            out << "removed: " << path << "\n";
            continue;
        }
        const NodeState& now = it->second;
        if (now.type != node.type)
            out << "type changed: " << path << "\n";
        else if (now.permissions != node.permissions)
            out << "mode changed: " << path << "\n";
        else if (now.contents != node.contents)
            out << "contents changed: " << path << "\n";
        else if (node.type != 'd' && now.mtime != node.mtime)
            out << "time changed: " << path << "\n";
    }
    for (const auto& [path, node] : after) {
        if (!before.count(path))
            out << "added: " << path << "\n";
    }
    return out.str();
}

#ifdef _WIN32
// One argument of a command line, quoted as the C runtime's parser reads it back.
static std::wstring quotedArgument(const std::wstring& argument) {
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

// Under wine the tools are the build machine's, run as Unix programs. Wine cannot wait for a Unix
// program, so the tool runs inside the build machine's shell, which writes its exit status to a
// file when it ends (written beside, then renamed); that file is waited for.
void runTool(const std::vector<std::string>& command) {
    using UnixName = char*(__cdecl*)(const wchar_t*);
    const auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!unixName)
        fail("cannot start " + command[0] + ": other tools run only under wine");
    // Paths of this side ("C:/...") become the build machine's, by wine's own conversion.
    const auto onBuildMachine = [&](const std::string& argument) {
        const bool isPath = argument.size() > 2 && argument[1] == ':' &&
                            (argument[2] == '/' || argument[2] == '\\');
        char* name = isPath ? unixName(WindowsPath(argument).c_str()) : nullptr;
        if (!name)
            return argument;
        std::string converted = name;
        HeapFree(GetProcessHeap(), 0, name);
        return converted;
    };
    TempDir statusDir("vorn-tool-status");
    const std::string status = statusDir / "status";
    std::wstring line = quotedArgument(L"/bin/sh") + L" -c " +
                        quotedArgument(L"\"$@\"; echo $? > \"$0.part\" && mv \"$0.part\" \"$0\"") +
                        L" " + quotedArgument(Utf16FromUtf8(onBuildMachine(status)));
    for (const std::string& argument : command)
        line += L" " + quotedArgument(Utf16FromUtf8(onBuildMachine(argument)));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        fail("cannot start " + command[0]);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    for (int waited = 0; !exists(status); waited += 10) {
        if (waited > 300000)
            fail(command[0] + " did not end within 300 s");
        Sleep(10);
    }
    const std::string code = readFile(status);
    if (std::atoi(code.c_str()) != 0)
        fail(command[0] + " failed with status " + code);
}
#else
void runTool(const std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (const std::string& a : command)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        fail("cannot start " + command[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fail(command[0] + " failed with status " + std::to_string(status));
}
#endif

void runPython(const std::string& program, const std::string& path) {
    runTool({"python3", "-c", "import struct, sys, time, zipfile\npath = sys.argv[1]\n" + program,
             path});
}

} // namespace fixtures
