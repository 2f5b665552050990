// Extraction speed: the engine library driven through the archive class cUnzip (folder names on,
// existing files replaced, with all of its safety work: staging, verification, atomic
// replacement, one sync at the end) against `bsdtar -xf` and 7-Zip's `7z x` on the same archives.
//
// Corpora, generated once and kept in the data folder:
//   small  3,000 small files in nested folders
//   large  four 64 MB files, each half random and half text
//   mixed  1,000 small files, 20 files of 1-4 MB and two of 24 MB
// Each tool extracts each corpus into a fresh folder several times; the median is reported,
// together with its ratio to bsdtar's median. "over" cases extract over a previous extraction.
// "bsdtar -xf + sync" adds the durability the engine provides (a sync of the file system before
// it reports success) to bsdtar, for comparison.
//
// The Windows build of this program times the engine alone (bsdtar and 7-Zip are the Linux
// machine's). With --windows, the Linux build runs it under wine beside its own engine on the same
// corpora, run by run, and reports both engines' medians and their ratio.
//
// Usage: bench_extract [--table] [--runs N] [--data DIR] [--only CORPUS]
//                      [--archive ZIP [--over] [--scratch DIR]] [--windows BUILD]
//   --table    print only rows "ROW<TAB>case<TAB>variant<TAB>median<TAB>unit<TAB>relative" for
//              bench/run
//   --archive  the engine alone on the archive given, into fresh folders (the whole-run
//              benchmark's measure of a one-call extraction, and the Windows build's runs under
//              wine)
//   --over     with --archive: each time over an earlier extraction of the same archive
//   --scratch  with --archive: the runs' folders are made in DIR and left there for the caller
//   --windows  (Linux) the engine of the Windows build in the folder BUILD (its
//              bench/bench_extract.exe, run by scripts/wine-run with the loader $VORN_BENCH_WINE,
//              default /usr/lib/wine/wine64, in the wine prefix BUILD/bench-wine-prefix) against
//              this build's, on the corpora of this build's data folder
#include "ZipFixtures.h"
#include "core/Paths.h"
#include "unzip/cUnzip.h"
#include "unzip/mUnzip.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using fixtures::ZipEntry;

constexpr uint32_t CompressionLevel = 6;

// Text that compresses about as well as source code or documentation does.
std::string textBytes(std::mt19937& random, size_t size) {
    static const char* words[] = {"update", "client", "version", "file",    "folder", "the",
                                  "of",     "engine", "archive", "return",  "value",  "const",
                                  "struct", "while",  "for",     "int",     "char",   "data",
                                  "size",   "status", "window",  "message", "error",  "result",
                                  "=",      "{",      "}",       ";"};
    std::string out;
    out.reserve(size + 16);
    while (out.size() < size) {
        out += words[random() % (sizeof words / sizeof *words)];
        out += random() % 9 == 0 ? '\n' : ' ';
    }
    out.resize(size);
    return out;
}

std::string randomBytes(std::mt19937& random, size_t size) {
    std::string out(size, '\0');
    for (size_t i = 0; i + 4 <= size; i += 4) {
        uint32_t v = random();
        std::memcpy(&out[i], &v, 4);
    }
    return out;
}

// Half random, half text, alternating in 1 MB pieces.
std::string halfCompressible(std::mt19937& random, size_t size) {
    std::string out;
    out.reserve(size);
    for (size_t piece = 0; out.size() < size; ++piece) {
        size_t n = std::min<size_t>(1 << 20, size - out.size());
        out += piece % 2 ? randomBytes(random, n) : textBytes(random, n);
    }
    return out;
}

ZipEntry entry(std::string name, std::string data, uint32_t permissions = 0644) {
    ZipEntry e = ZipEntry::file(std::move(name), std::move(data), permissions);
    e.level = CompressionLevel;
    return e;
}

void addSmallFiles(std::mt19937& random, size_t count, const std::string& prefix,
                   std::vector<ZipEntry>& entries) {
    for (size_t i = 0; i < count; ++i) {
        std::string folder = prefix + "/m" + std::to_string(i % 10) + "/s" +
                             std::to_string(i / 10 % 5) + "/t" + std::to_string(i / 50 % 3);
        size_t size = 200 + random() % 6000;
        std::string data = random() % 5 == 0 ? randomBytes(random, size) : textBytes(random, size);
        entries.push_back(entry(folder + "/file" + std::to_string(i) + (i % 7 ? ".txt" : ".bin"),
                                std::move(data), i % 13 == 0 ? 0755 : 0644));
    }
}

struct Corpus {
    std::string name;
    std::function<std::vector<ZipEntry>()> make;
};

std::vector<Corpus> corpora() {
    return {
        {"small",
         [] {
             std::mt19937 random(1);
             std::vector<ZipEntry> entries;
             addSmallFiles(random, 3000, "app", entries);
             return entries;
         }},
        {"large",
         [] {
             std::mt19937 random(2);
             std::vector<ZipEntry> entries;
             for (int i = 0; i < 4; ++i)
                 entries.push_back(entry("data/big" + std::to_string(i) + ".pak",
                                         halfCompressible(random, 64u << 20)));
             return entries;
         }},
        {"mixed",
         [] {
             std::mt19937 random(3);
             std::vector<ZipEntry> entries;
             addSmallFiles(random, 1000, "app", entries);
             for (int i = 0; i < 20; ++i)
                 entries.push_back(entry("lib/module" + std::to_string(i) + ".so",
                                         halfCompressible(random, (1u + random() % 4) << 20),
                                         0755));
             for (int i = 0; i < 2; ++i)
                 entries.push_back(entry("data/asset" + std::to_string(i) + ".pak",
                                         halfCompressible(random, 24u << 20)));
             return entries;
         }},
    };
}

// The archive of a corpus, built when it is not in the data folder yet.
std::string archiveOf(const Corpus& corpus, const std::string& dataDir, bool quiet) {
    std::string path = dataDir + "/" + corpus.name + "-v1.zip";
    if (fs::exists(FsPath(path)))
        return path;
    if (!quiet)
        std::printf("generating %s ...\n", path.c_str());
    std::fflush(stdout);
    fixtures::buildZip(path + ".part", corpus.make());
    fs::rename(FsPath(path + ".part"), FsPath(path));
    return path;
}

#ifdef _WIN32
// Nothing to do: the engine, the only tool timed on Windows, flushes every file it writes before
// it returns (and under wine the Linux side syncs before it starts this program). A flush of the
// whole volume would need administrator rights.
void settleDisk() {}
#else
// No dirty data of earlier runs left to write.
void settleDisk() {
    sync();
}

bool runProgram(const std::vector<std::string>& args) {
    try {
        fixtures::runTool(args);
        return true;
    } catch (const std::runtime_error&) {
        return false;
    }
}

// What the engine does at its end to make the data durable.
bool syncFolder(const std::string& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = syncfs(fd) == 0;
    ::close(fd);
    return ok;
}
#endif

bool extractWithEngine(const std::string& zip, const std::string& dir) {
    auto z = std::make_shared<cUnzip>();
    z->setZipFile(zip);
    z->setUnzipFolder(dir + "/");
    z->setUseFolderNames(true);
    z->setOverwriteExisting(true);
    bool failed = z->Unzip();
    return !failed;
}

struct Tool {
    std::string name;
    // Extracts zip into dir, timed around the call.
    std::function<bool(const std::string& zip, const std::string& dir)> extract;
    // Instead, for a tool that times itself: the whole run into a folder of dir (preparing the
    // "over" case included); returns the milliseconds measured and the folder, or a negative
    // number when it failed.
    std::function<double(const std::string& zip, const std::string& dir, bool over,
                         std::string& extractedTo)>
        timedRun;
};

const char* const EngineName = "engine (cUnzip)";

std::vector<Tool> tools() {
#ifdef _WIN32
    return {{EngineName, extractWithEngine, {}}};
#else
    return {
        {EngineName, extractWithEngine, {}},
        {"7z x",
         [](const std::string& zip, const std::string& dir) {
             return runProgram({"7z", "x", "-y", "-aoa", "-bso0", "-bsp0", "-o" + dir, zip});
         },
         {}},
        {"bsdtar -xf + sync",
         [](const std::string& zip, const std::string& dir) {
             return runProgram({"bsdtar", "-xf", zip, "-C", dir}) && syncFolder(dir);
         },
         {}},
        // The reference, last: no durability, no staging.
        {"bsdtar -xf",
         [](const std::string& zip, const std::string& dir) {
             return runProgram({"bsdtar", "-xf", zip, "-C", dir});
         },
         {}},
    };
#endif
}

#ifndef _WIN32
// The Windows build's program, run under wine beside this one.
struct WindowsBuild {
    std::string program; // BUILD/bench/bench_extract.exe
    std::string prefix;  // BUILD/bench-wine-prefix
    std::string loader;  // the wine loader
};

std::string shellQuoted(const std::string& text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// A path of this machine as the programs under wine spell it (drive Z: is the root).
std::string underWine(const std::string& path) {
    return "Z:" + fs::absolute(path).lexically_normal().string();
}

// One run of the Windows build's engine, timed by that program: an extraction of zip into a
// fresh folder of dir (over an earlier extraction of its own when over).
double windowsEngineRun(const WindowsBuild& build, const std::string& zip, const std::string& dir,
                        bool over, std::string& extractedTo) {
    const std::string command = shellQuoted(VORN_SOURCE_DIR "/scripts/wine-run") + " " +
                                shellQuoted(build.loader) + " " + shellQuoted(build.prefix) + " " +
                                shellQuoted(build.program) + " --table --runs 1" + " --archive " +
                                shellQuoted(underWine(zip)) + " --scratch " +
                                shellQuoted(underWine(dir)) + (over ? " --over" : "");
    FILE* out = ::popen(command.c_str(), "r");
    if (!out)
        return -1;
    double ms = -1;
    char line[4096];
    while (std::fgets(line, sizeof line, out)) {
        // ROW<TAB>name<TAB>engine (cUnzip)<TAB>ms<TAB>ms<TAB>
        std::string text = line;
        std::vector<std::string> fields;
        for (size_t at = 0, tab; at <= text.size(); at = tab + 1) {
            tab = std::min(text.find('\t', at), text.size());
            fields.push_back(text.substr(at, tab - at));
        }
        if (fields.size() >= 4 && fields[0] == "ROW")
            ms = std::atof(fields[3].c_str());
    }
    if (::pclose(out) != 0)
        return -1;
    extractedTo = dir + "/archive-0";
    return ms;
}

// The Linux build's engine against the Windows build's, under wine.
std::vector<Tool> enginesOfBothBuilds(const WindowsBuild& build) {
    return {
        {std::string(EngineName) + ", Linux build", extractWithEngine, {}},
        {std::string(EngineName) + ", Windows build under wine",
         {},
         [build](const std::string& zip, const std::string& dir, bool over,
                 std::string& extractedTo) {
             return windowsEngineRun(build, zip, dir, over, extractedTo);
         }},
    };
}
#endif

size_t countFiles(const std::string& dir) {
    size_t n = 0;
    for (const auto& item : fs::recursive_directory_iterator(FsPath(dir)))
        n += item.is_regular_file();
    return n;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace

int main(int argc, char** argv) {
    bool table = false;
    int runs = 5;
    std::string dataDir = VORN_BENCH_DATA_DIR;
    std::string only;
    std::string archive;
    bool overArchive = false;
    std::string givenScratch;
    std::string windowsBuild;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--table")
            table = true;
        else if (arg == "--runs" && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--data" && i + 1 < argc)
            dataDir = argv[++i];
        else if (arg == "--only" && i + 1 < argc)
            only = argv[++i];
        else if (arg == "--archive" && i + 1 < argc)
            archive = argv[++i];
        else if (arg == "--over")
            overArchive = true;
        else if (arg == "--scratch" && i + 1 < argc)
            givenScratch = argv[++i];
#ifndef _WIN32
        else if (arg == "--windows" && i + 1 < argc)
            windowsBuild = argv[++i];
#endif
        else {
            std::fprintf(stderr, "usage: bench_extract [--table] [--runs N] [--data DIR] "
                                 "[--only small|large|mixed] [--archive ZIP [--over] [--scratch "
                                 "DIR]] [--windows BUILD]\n");
            return 2;
        }
    }
    mUnzip::SetEngineFolders({VORN_PROGRAM_DIR});
    fs::create_directories(FsPath(dataDir));
    const std::string scratch = givenScratch.empty() ? dataDir + "/scratch" : givenScratch;
    if (givenScratch.empty())
        fs::remove_all(FsPath(scratch)); // left by an interrupted run
    settleDisk();

    if (!archive.empty()) {
        std::vector<double> times;
        for (int run = 0; run < runs; ++run) {
            const std::string dir = scratch + "/archive-" + std::to_string(run);
            fs::create_directories(FsPath(dir));
            if (overArchive && !extractWithEngine(archive, dir))
                return 1;
            settleDisk();
            const auto start = Clock::now();
            if (!extractWithEngine(archive, dir)) {
                std::fprintf(stderr, "the engine failed on %s\n", archive.c_str());
                return 1;
            }
            times.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
        std::printf(table ? "ROW\t%s\t%s\t%.1f\tms\t\n" : "%s: %s %.1f ms\n",
                    Utf8Path(FsPath(archive).filename()).c_str(), EngineName, median(times));
        if (givenScratch.empty())
            fs::remove_all(FsPath(scratch));
        return 0;
    }

    std::vector<Tool> all = tools();
    // The notes give each tool's ratio to the reference: bsdtar (the last tool), or the Linux
    // build's engine when it is run against the Windows build's.
    size_t reference = all.size() - 1;
    std::string referenceName = "bsdtar";
    std::string ratioName = "bsdtar";
#ifndef _WIN32
    if (!windowsBuild.empty()) {
        const char* loader = std::getenv("VORN_BENCH_WINE");
        all = enginesOfBothBuilds({windowsBuild + "/bench/bench_extract.exe",
                                   windowsBuild + "/bench-wine-prefix",
                                   loader && *loader ? loader : "/usr/lib/wine/wine64"});
        reference = 0;
        referenceName = "Linux";
        ratioName = "Linux (Windows / Linux)";
    }
#endif
    const bool notes = all.size() > 1; // not when the engine is the only tool
    if (!table)
        std::printf("%-14s %-46s %10s %s\n", "corpus", "tool", "median ms",
                    notes ? ("vs " + referenceName).c_str() : "");
    for (const Corpus& corpus : corpora()) {
        if (!only.empty() && corpus.name != only)
            continue;
        const std::string zip = archiveOf(corpus, dataDir, table);
        for (bool over : {false, true}) {
            const std::string caseName = corpus.name + (over ? " (over)" : "");
            std::vector<std::vector<double>> times(all.size());
            size_t expectedFiles = 0;
            // Runs take turns between the tools, each into a folder of its own. Nothing is removed
            // until the end: freeing many files keeps the disk busy, and ext4 creates files more
            // slowly for minutes after many were deleted.
            for (int run = 0; run < runs; ++run) {
                for (size_t t = 0; t < all.size(); ++t) {
                    const std::string dir = scratch + "/" + corpus.name + (over ? "-over-" : "-") +
                                            std::to_string(run) + "-" + std::to_string(t);
                    fs::create_directories(FsPath(dir));
                    double ms = -1;
                    std::string extractedTo = dir;
                    if (all[t].timedRun) {
                        settleDisk();
                        ms = all[t].timedRun(zip, dir, over, extractedTo);
                    } else {
                        if (over && !extractWithEngine(zip, dir)) {
                            std::fprintf(stderr, "preparing %s failed\n", caseName.c_str());
                            return 1;
                        }
                        settleDisk();
                        const auto start = Clock::now();
                        if (all[t].extract(zip, dir))
                            ms = std::chrono::duration<double, std::milli>(Clock::now() - start)
                                     .count();
                    }
                    if (ms < 0) {
                        std::fprintf(stderr, "%s failed on %s\n", all[t].name.c_str(),
                                     caseName.c_str());
                        return 1;
                    }
                    times[t].push_back(ms);
                    if (run == 0) {
                        size_t files = countFiles(extractedTo);
                        if (expectedFiles == 0)
                            expectedFiles = files;
                        else if (files != expectedFiles) {
                            std::fprintf(stderr, "%s wrote %zu files on %s, expected %zu\n",
                                         all[t].name.c_str(), files, caseName.c_str(),
                                         expectedFiles);
                            return 1;
                        }
                    }
                }
            }
            const double referenceMs = median(times[reference]);
            for (size_t t = 0; t < all.size(); ++t) {
                const double ms = median(times[t]);
                char note[64] = "";
                if (notes)
                    std::snprintf(note, sizeof note, "%.2fx %s", ms / referenceMs,
                                  (t == reference ? referenceName : ratioName).c_str());
                if (table)
                    std::printf("ROW\t%s\t%s\t%.1f\tms\t%s\n", caseName.c_str(),
                                all[t].name.c_str(), ms, note);
                else
                    std::printf("%-14s %-46s %10.1f %s\n", caseName.c_str(), all[t].name.c_str(),
                                ms, note);
            }
            std::fflush(stdout);
        }
    }
    fs::remove_all(FsPath(scratch));
    return 0;
}
