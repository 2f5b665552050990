// Files for tests on every platform: a temporary folder that cleans up after itself, and whole
// files read and written as bytes. Paths are UTF-8 with "/" between the parts.
#pragma once

#include <string>

namespace fixtures {

// A fresh empty folder below the system's temporary folder, removed with its contents when the
// object goes away.
class TempDir {
public:
    explicit TempDir(const std::string& tag = "vorn-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& relative) const { return m_path + "/" + relative; }

private:
    std::string m_path;
};

// Raw bytes of a file; throws std::runtime_error when it cannot be read.
std::string readFile(const std::string& path);
// Writes the bytes to a file beside path, then renames it over path; throws on failure.
void writeFile(const std::string& path, const std::string& data);
// Whether a file or folder is at path.
bool exists(const std::string& path);
// Creates the folders of path (like mkdir -p).
void makeFolders(const std::string& path);

} // namespace fixtures
