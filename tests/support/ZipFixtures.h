// Test helpers for zip archives: build an archive from a list of entries with libzip, damage it
// in chosen ways, and take snapshots of folder trees to compare before and after a call.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

#include "TestFiles.h"

namespace fixtures {

enum class Method { Store, Deflate, BZip2 };
enum class Crypt { None, TradPkware, Aes256 };

// The modification time given to entries unless they say otherwise: 2021-03-04 05:06:08 UTC.
constexpr time_t DefaultMtime = 1614834368;

struct ZipEntry {
    std::string name;        // as stored; a folder entry ends in "/"
    std::string data;        // file contents, or the target of a link
    uint32_t mode = 0100644; // Unix st_mode with type bits; 0 stores MS-DOS attributes only
    Method method = Method::Deflate;
    uint32_t level = 0; // compression level; 0 = libzip's default
    Crypt crypt = Crypt::None;
    std::string password;
    time_t mtime = DefaultMtime;

    static ZipEntry file(std::string name, std::string data, uint32_t permissions = 0644);
    static ZipEntry folder(std::string name, uint32_t permissions = 0755);
    static ZipEntry symlink(std::string name, std::string target);
    static ZipEntry encrypted(std::string name, std::string data, Crypt crypt,
                              std::string password);
};

// Builds the archive at path (replacing any file there). Throws std::runtime_error on failure.
void buildZip(const std::string& path, const std::vector<ZipEntry>& entries);

// Raw bytes of a file, and writing them back.
// With the given permission bits.
void writeFile(const std::string& path, const std::string& data, mode_t mode);

// Damage helpers for archives built by buildZip. Header fields are changed in both the local
// header and the central directory record of the entry named name.
enum class Field { Crc, CompressedSize, Size, Method };
void patchEntryField(const std::string& zipPath, const std::string& name, Field field,
                     uint32_t value);
// Replaces every occurrence of from by to (same length), e.g. to make two names equal.
void replaceBytes(const std::string& zipPath, const std::string& from, const std::string& to);
// Offset of the first byte of the entry's stored data.
size_t dataOffset(const std::string& zipPath, const std::string& name);
void flipByte(const std::string& zipPath, size_t offset);
void truncateFile(const std::string& path, size_t size);

// A folder tree as seen from outside: every file, folder and link below root with its type,
// permission bits, contents (or link target) and modification time.
struct NodeState {
    char type = '?'; // 'f' file, 'd' folder, 'l' link
    mode_t permissions = 0;
    std::string contents;
    time_t mtime = 0;
    bool operator==(const NodeState&) const = default;
};
using TreeSnapshot = std::map<std::string, NodeState>;
TreeSnapshot snapshotTree(const std::string& root);
// Readable differences between two snapshots ("" when equal); folder mtimes are ignored.
std::string describeDifferences(const TreeSnapshot& before, const TreeSnapshot& after);

// What the system records of a file, read the same way on every platform: its permission bits
// (on Windows 0444 for a read-only file, 0666 for another, 0 for a folder), its modification time
// and its identity (inode, or file index). Of a link itself, never of its target.
uint32_t permissionsOf(const std::string& path);
time_t mtimeOf(const std::string& path);
uint64_t fileIdOf(const std::string& path);
void setMtime(const std::string& path, time_t mtime);
// The permission bits that an entry stored with these Unix bits gets on this system.
uint32_t onThisSystem(uint32_t unixPermissions, bool folder = false);
// Makes a symbolic link or a second name of a file; false when the system refuses (Windows
// grants links to some accounts only).
bool makeSymlink(const std::string& target, const std::string& link);
bool makeHardLink(const std::string& existing, const std::string& link);

// Runs a program (found on PATH) with its arguments, for archives written by other tools (7z,
// python3, bsdtar). Throws std::runtime_error unless it ends with status 0.
void runTool(const std::vector<std::string>& command);
// Runs a Python program (struct, sys, time and zipfile imported, path set to the given path), for
// archives written by Python's zipfile.
void runPython(const std::string& program, const std::string& path);

} // namespace fixtures
