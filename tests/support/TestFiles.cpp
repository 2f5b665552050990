#include "TestFiles.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "core/Paths.h"

namespace fixtures {

namespace {
[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what);
}
} // namespace

TempDir::TempDir(const std::string& tag) {
    std::error_code error;
    const std::filesystem::path base = std::filesystem::temp_directory_path(error);
    if (error)
        fail("no temporary folder: " + error.message());
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path candidate =
            base / FsPath(tag + "-" + std::to_string(random() % 1000000000));
        if (std::filesystem::create_directory(candidate, error)) {
            m_path = Utf8Path(candidate);
            return;
        }
    }
    fail("cannot create a temporary folder");
}

TempDir::~TempDir() {
    std::error_code ignored;
    // Give back permissions a test may have taken away, so that everything can be removed.
    for (auto it = std::filesystem::recursive_directory_iterator(FsPath(m_path), ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
#ifdef _WIN32
        // There, a read-only file cannot be removed either.
        if (!it->is_symlink(ignored))
#else
        if (it->is_directory(ignored) && !it->is_symlink(ignored))
#endif
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
    }
    std::filesystem::remove_all(FsPath(m_path), ignored);
}

std::string readFile(const std::string& path) {
    std::ifstream in(FsPath(path), std::ios::binary);
    if (!in)
        fail("cannot read " + path);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const std::string& path, const std::string& data) {
    const std::string temp = path + ".part";
    {
        std::ofstream out(FsPath(temp), std::ios::binary | std::ios::trunc);
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
        if (!out)
            fail("cannot write " + path);
    }
    std::error_code error;
    std::filesystem::rename(FsPath(temp), FsPath(path), error);
    if (error)
        fail("cannot write " + path + ": " + error.message());
}

bool exists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(std::filesystem::symlink_status(FsPath(path), ignored));
}

void makeFolders(const std::string& path) {
    std::error_code error;
    std::filesystem::create_directories(FsPath(path), error);
    if (error)
        fail("cannot create " + path + ": " + error.message());
}

} // namespace fixtures
