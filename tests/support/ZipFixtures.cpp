#include "ZipFixtures.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zip.h>

namespace fixtures {

namespace {

constexpr uint8_t HostMsDos = 0;
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
    e.mode = S_IFLNK | 0777;
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
    const struct timespec times[2] = {{e.mtime, 0}, {e.mtime, 0}};
    if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
        fail("cannot set time of " + path);
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
    if (chmod(temp.c_str(), mode) != 0 || rename(temp.c_str(), path.c_str()) != 0)
        fail("cannot write " + path);
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
    if (::truncate(path.c_str(), static_cast<off_t>(size)) != 0)
        fail("cannot truncate " + path);
}

TreeSnapshot snapshotTree(const std::string& root) {
    TreeSnapshot tree;
    std::vector<std::string> pending{""};
    while (!pending.empty()) {
        std::string rel = pending.back();
        pending.pop_back();
        std::string dirPath = rel.empty() ? root : root + "/" + rel;
        DIR* dir = opendir(dirPath.c_str());
        if (!dir)
            fail("cannot read folder " + dirPath);
        while (dirent* d = readdir(dir)) {
            std::string name = d->d_name;
            if (name == "." || name == "..")
                continue;
            std::string childRel = rel.empty() ? name : rel + "/" + name;
            std::string childPath = root + "/" + childRel;
            struct stat st {};
            if (lstat(childPath.c_str(), &st) != 0)
                continue;
            NodeState node;
            node.permissions = st.st_mode & 07777;
            node.mtime = st.st_mtime;
            if (S_ISDIR(st.st_mode)) {
                node.type = 'd';
                pending.push_back(childRel);
            } else if (S_ISLNK(st.st_mode)) {
                node.type = 'l';
                char target[4096];
                ssize_t n = readlink(childPath.c_str(), target, sizeof target);
                node.contents.assign(target, n > 0 ? static_cast<size_t>(n) : 0);
            } else {
                node.type = 'f';
                node.contents = readFile(childPath);
            }
            tree[childRel] = node;
        }
        closedir(dir);
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

void runPython(const std::string& program, const std::string& path) {
    runTool({"python3", "-c", "import struct, sys, time, zipfile\npath = sys.argv[1]\n" + program,
             path});
}

} // namespace fixtures
