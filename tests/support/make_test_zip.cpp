// make-test-zip: builds a zip archive for test scripts from entries given on the command line.
#include "ZipFixtures.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

const char* Usage =
    "usage: make-test-zip OUT.zip [option | entry]...\n"
    "entries:\n"
    "  NAME=TEXT          a file holding TEXT\n"
    "  NAME@PATH          a file holding the contents of PATH\n"
    "  NAME/              a folder\n"
    "  --link NAME=TARGET a symbolic link\n"
    "  --tree DIR         every file and folder below DIR, named relative to DIR\n"
    "options, for the entries after them:\n"
    "  --store | --deflate | --bzip2    compression method (default --deflate)\n"
    "  --mode OCTAL                     permission bits (default 644; 0 = MS-DOS attributes)\n"
    "  --trad PASSWORD | --aes PASSWORD | --plain   encryption (default --plain)\n"
    "  --mtime SECONDS                  modification time (seconds since 1970)\n";

struct Settings {
    fixtures::Method method = fixtures::Method::Deflate;
    uint32_t permissions = 0644;
    bool msdos = false;
    fixtures::Crypt crypt = fixtures::Crypt::None;
    std::string password;
    time_t mtime = fixtures::DefaultMtime;
};

fixtures::ZipEntry makeEntry(const Settings& s, std::string name, std::string data, uint32_t type) {
    fixtures::ZipEntry e;
    e.name = std::move(name);
    e.data = std::move(data);
    e.mode = s.msdos ? 0 : (type | (type == S_IFLNK ? 0777 : s.permissions));
    e.method = type == S_IFREG ? s.method : fixtures::Method::Store;
    e.crypt = type == S_IFREG ? s.crypt : fixtures::Crypt::None;
    e.password = s.password;
    e.mtime = s.mtime;
    return e;
}

void addTree(const Settings& s, const std::string& root, std::vector<fixtures::ZipEntry>& out) {
    namespace fs = std::filesystem;
    std::vector<fs::path> paths;
    for (const auto& item : fs::recursive_directory_iterator(root))
        paths.push_back(item.path());
    std::sort(paths.begin(), paths.end());
    for (const fs::path& p : paths) {
        std::string rel = fs::relative(p, root).generic_string();
        struct stat st {};
        lstat(p.c_str(), &st);
        Settings own = s;
        own.permissions = st.st_mode & 0777;
        own.mtime = st.st_mtime;
        if (S_ISDIR(st.st_mode))
            out.push_back(makeEntry(own, rel + "/", "", S_IFDIR));
        else if (S_ISLNK(st.st_mode))
            out.push_back(makeEntry(own, rel, fs::read_symlink(p).string(), S_IFLNK));
        else
            out.push_back(makeEntry(own, rel, fixtures::readFile(p), S_IFREG));
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::string(argv[1]) == "--help") {
        std::cerr << Usage;
        return 2;
    }
    Settings s;
    std::vector<fixtures::ZipEntry> entries;
    try {
        for (int i = 2; i < argc; ++i) {
            std::string arg = argv[i];
            auto value = [&]() -> std::string {
                if (i + 1 >= argc)
                    throw std::runtime_error(arg + " needs a value");
                return argv[++i];
            };
            if (arg == "--store")
                s.method = fixtures::Method::Store;
            else if (arg == "--deflate")
                s.method = fixtures::Method::Deflate;
            else if (arg == "--bzip2")
                s.method = fixtures::Method::BZip2;
            else if (arg == "--mode") {
                s.permissions = static_cast<uint32_t>(std::stoul(value(), nullptr, 8));
                s.msdos = s.permissions == 0;
            } else if (arg == "--trad" || arg == "--aes") {
                s.crypt = arg == "--aes" ? fixtures::Crypt::Aes256 : fixtures::Crypt::TradPkware;
                s.password = value();
            } else if (arg == "--plain")
                s.crypt = fixtures::Crypt::None;
            else if (arg == "--mtime")
                s.mtime = static_cast<time_t>(std::stoll(value()));
            else if (arg == "--link") {
                std::string link = value();
                size_t eq = link.find('=');
                if (eq == std::string::npos)
                    throw std::runtime_error("--link needs NAME=TARGET");
                entries.push_back(makeEntry(s, link.substr(0, eq), link.substr(eq + 1), S_IFLNK));
            } else if (arg == "--tree")
                addTree(s, value(), entries);
            else if (size_t eq = arg.find('='); eq != std::string::npos)
                entries.push_back(makeEntry(s, arg.substr(0, eq), arg.substr(eq + 1), S_IFREG));
            else if (size_t at = arg.find('@'); at != std::string::npos)
                entries.push_back(makeEntry(s, arg.substr(0, at),
                                            fixtures::readFile(arg.substr(at + 1)), S_IFREG));
            else if (!arg.empty() && arg.back() == '/')
                entries.push_back(makeEntry(s, arg, "", S_IFDIR));
            else
                throw std::runtime_error("cannot read argument " + arg);
        }
        fixtures::buildZip(argv[1], entries);
    } catch (const std::exception& e) {
        std::cerr << "make-test-zip: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
