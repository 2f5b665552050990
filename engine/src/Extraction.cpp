#include "Extraction.h"

#include "Archive.h"
#include "EntryNames.h"
#include "Failure.h"
#include "SafeFs.h"
#include "vbuzip10.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <zip.h>

namespace vbuzip {

namespace {

constexpr int MaxPasswordAttempts = 3;
constexpr mode_t DefaultFileMode = 0644;
constexpr size_t MaxWorkers = 4;
constexpr size_t RemovalThreads = 8;
constexpr uint64_t WritebackStep = 8 << 20;
constexpr uint64_t WritebackMinimum = 1 << 20;

enum class Action { Write, MakeFolder, Test, Skip };

// One selected entry of the call, in archive order.
struct Item {
    const EntryInfo* entry = nullptr;
    Action action = Action::Skip;
    std::string path;     // target below the extraction folder
    std::string skipNote; // why it is skipped, shown in the entry line
    int password = -1;    // index into the call's passwords
    std::optional<mode_t> existingMode;
    std::string tempName; // staged data, in the target's folder
};

[[noreturn]] void failPath(int error, const std::string& what) {
    if (error == EXDEV || error == ELOOP)
        throw Failure(UZ_ERR_UNSAFE_PATH, what + ": leads out of the extraction folder");
    if (error == ENOSPC || error == EDQUOT)
        throw Failure(UZ_ERR_DISK_FULL, what + ": " + errnoText(error));
    if (error == ENOMEM)
        throw Failure(UZ_ERR_MEMORY, what + ": " + errnoText(error));
    throw Failure(UZ_ERR_WRITE, what + ": " + errnoText(error));
}

// Converts line ends of text data to CR LF. Whether an entry is text is decided on its first
// piece: no NUL and no control characters other than the usual white space and escape.
class LineEnds {
public:
    explicit LineEnds(bool enabled) : m_enabled(enabled) {}

    const char* convert(const char* data, size_t size, size_t& outSize) {
        if (!m_decided) {
            m_decided = true;
            m_text = m_enabled && looksLikeText(data, size);
        }
        if (!m_text) {
            outSize = size;
            return data;
        }
        m_out.resize(2 * size);
        size_t o = 0;
        for (size_t i = 0; i < size; ++i) {
            char c = data[i];
            if (c == '\n') {
                if (m_afterCr) {
                    m_afterCr = false; // the LF of a CR LF already written
                    continue;
                }
                m_out[o++] = '\r';
                m_out[o++] = '\n';
            } else if (c == '\r') {
                m_out[o++] = '\r';
                m_out[o++] = '\n';
                m_afterCr = true;
                continue;
            } else {
                m_out[o++] = c;
            }
            m_afterCr = false;
        }
        outSize = o;
        return m_out.data();
    }

private:
    static bool looksLikeText(const char* data, size_t size) {
        for (size_t i = 0; i < size; ++i) {
            unsigned char c = static_cast<unsigned char>(data[i]);
            if (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != 0x1b &&
                c != 0x1a)
                return false;
        }
        return true;
    }

    bool m_enabled;
    bool m_decided = false;
    bool m_text = false;
    bool m_afterCr = false;
    std::vector<char> m_out;
};

// Starts the disk writing of a large file's data while it is still being extracted, so that the
// sync at the end of the call finds little left to do.
class WritebackStarter {
public:
    explicit WritebackStarter(int fd) : m_fd(fd) {}

    void wrote(size_t size) {
        m_written += size;
        if (m_written - m_started >= WritebackStep)
            start();
    }
    void finish() {
        if (m_written >= WritebackMinimum)
            start();
    }

private:
    void start() {
        sync_file_range(m_fd, static_cast<off_t>(m_started),
                        static_cast<off_t>(m_written - m_started), SYNC_FILE_RANGE_WRITE);
        m_started = m_written;
    }

    int m_fd;
    uint64_t m_written = 0;
    uint64_t m_started = 0;
};

// Runs work on entries on worker threads, in entry order, while the calling thread waits for
// each result in turn. Only the calling thread calls the program back.
class Pipeline {
public:
    using Work = std::function<void(Archive&, size_t, const std::atomic<bool>& cancel)>;

    Pipeline(Archive& archive, std::vector<size_t> items, Work work)
        : m_items(std::move(items)), m_state(m_items.size(), State::Pending),
          m_failures(m_items.size()), m_work(std::move(work)) {
        if (m_items.empty())
            return;
        size_t count = std::clamp<size_t>(std::thread::hardware_concurrency(), 1, MaxWorkers);
        count = std::min(count, m_items.size());
        for (size_t t = 0; t < count; ++t) {
            try {
                m_threads.emplace_back([this, &archive, t] { runWorker(archive, t); });
            } catch (const std::system_error&) {
                if (m_threads.empty())
                    throw Failure(UZ_ERR_MEMORY, "cannot start a thread");
                break; // the threads already running share the work
            }
        }
    }

    ~Pipeline() { stop(); }

    // Stops the workers and waits until they have ended.
    void stop() {
        m_cancel.store(true);
        for (std::thread& thread : m_threads)
            thread.join();
        m_threads.clear();
    }

    // Waits for the k-th item; throws its failure.
    void wait(size_t k) {
        std::unique_lock lock(m_mutex);
        m_done.wait(lock, [&] { return m_state[k] != State::Pending; });
        if (m_state[k] == State::Failed)
            throw m_failures[k].value();
    }

private:
    enum class State { Pending, Done, Failed };

    void runWorker(Archive& shared, size_t index) {
        std::unique_ptr<Archive> own;
        Archive* archive = &shared;
        if (index > 0) {
            // A handle of its own; without one this thread leaves the work to the others.
            try {
                own = shared.reopen();
                archive = own.get();
            } catch (...) {
                return;
            }
        }
        for (;;) {
            size_t k = m_next.fetch_add(1);
            if (k >= m_items.size())
                return;
            std::optional<Failure> failure;
            if (m_cancel.load())
                failure = Failure(UZ_ERR_STOPPED, "stopped");
            else {
                try {
                    m_work(*archive, m_items[k], m_cancel);
                } catch (const Failure& f) {
                    failure = f;
                } catch (const std::bad_alloc&) {
                    failure = Failure(UZ_ERR_MEMORY, "out of memory");
                } catch (const std::exception& e) {
                    failure = Failure(UZ_ERR_ARCHIVE, e.what());
                }
            }
            {
                std::lock_guard lock(m_mutex);
                m_state[k] = failure ? State::Failed : State::Done;
                m_failures[k] = std::move(failure);
            }
            m_done.notify_all();
        }
    }

    std::vector<size_t> m_items;
    std::vector<State> m_state;
    std::vector<std::optional<Failure>> m_failures;
    Work m_work;
    std::atomic<size_t> m_next{0};
    std::atomic<bool> m_cancel{false};
    std::mutex m_mutex;
    std::condition_variable m_done;
    std::vector<std::thread> m_threads;
};

// Everything one call has changed in the extraction folder, so that a failed call can put it
// back as it was: folders it created, staged files, and replaced files with their backups.
class Changes {
public:
    Changes() = default;
    Changes(const Changes&) = delete;
    Changes& operator=(const Changes&) = delete;
    ~Changes() {
        if (!m_kept)
            undo();
    }

    int rootFd() const { return m_root.get(); }
    void setRoot(UniqueFd root) { m_root = std::move(root); }
    void createdOutside(const std::string& absolutePath) {
        m_outsideFolders.push_back(absolutePath);
    }
    void createdFolder(const std::string& path) { m_folders.push_back(path); }
    void staged(const std::string& path, const std::string& temp) {
        m_staged.emplace_back(path, temp);
    }
    // The staged file of path is in place; backup holds the file it replaced ("" = none).
    void committed(const std::string& path, const std::string& backup) {
        m_committed.emplace_back(path, backup);
    }

    // The call succeeded: drop the backups and keep everything else. Freeing the blocks of a
    // file can wait on the disk for milliseconds; many removals at once overlap those waits.
    void keep() {
        m_kept = true;
        std::vector<const std::pair<std::string, std::string>*> backups;
        for (const auto& step : m_committed) {
            if (!step.second.empty())
                backups.push_back(&step);
        }
        auto removeSlice = [&](size_t first, size_t step) {
            UniqueFd dir;
            std::string dirPath;
            for (size_t i = first; i < backups.size(); i += step) {
                const auto& [path, backup] = *backups[i];
                std::string parent = parentOf(path);
                if (!dir.valid() || parent != dirPath) {
                    dir = openBeneath(rootFd(), parent, O_PATH | O_DIRECTORY);
                    dirPath = parent;
                }
                if (dir.valid())
                    unlinkat(dir.get(), backup.c_str(), 0);
            }
        };
        const size_t threads = backups.size() > 1 ? std::min(RemovalThreads, backups.size()) : 0;
        std::vector<std::thread> helpers;
        try {
            for (size_t t = 1; t < threads; ++t)
                helpers.emplace_back(removeSlice, t, threads);
        } catch (const std::system_error&) {
            // Fewer helpers: the slices they would have taken are removed below.
            for (size_t t = helpers.size() + 1; t < threads; ++t)
                removeSlice(t, threads);
        }
        removeSlice(0, std::max<size_t>(threads, 1));
        for (std::thread& helper : helpers)
            helper.join();
    }

private:
    void undo() {
        if (m_root.valid()) {
            std::set<std::string> unrestored; // backups that could not be put back: never removed
            for (auto it = m_committed.rbegin(); it != m_committed.rend(); ++it) {
                const auto& [path, backup] = *it;
                UniqueFd dir = openBeneath(rootFd(), parentOf(path), O_PATH | O_DIRECTORY);
                if (backup.empty()) {
                    if (dir.valid())
                        unlinkat(dir.get(), baseNameOf(path).c_str(), 0);
                } else if (!dir.valid() || renameat(dir.get(), backup.c_str(), dir.get(),
                                                    baseNameOf(path).c_str()) != 0) {
                    unrestored.insert(backup);
                }
            }
            // Staged files already put in place are gone under their temporary names.
            for (const auto& [path, temp] : m_staged) {
                if (unrestored.count(temp))
                    continue;
                UniqueFd dir = openBeneath(rootFd(), parentOf(path), O_PATH | O_DIRECTORY);
                if (dir.valid())
                    unlinkat(dir.get(), temp.c_str(), 0);
            }
            for (auto it = m_folders.rbegin(); it != m_folders.rend(); ++it) {
                UniqueFd dir = openBeneath(rootFd(), parentOf(*it), O_PATH | O_DIRECTORY);
                if (dir.valid())
                    unlinkat(dir.get(), baseNameOf(*it).c_str(), AT_REMOVEDIR);
            }
            m_root.reset();
        }
        for (auto it = m_outsideFolders.rbegin(); it != m_outsideFolders.rend(); ++it)
            rmdir(it->c_str());
    }

    UniqueFd m_root;
    std::vector<std::string> m_outsideFolders;
    std::vector<std::string> m_folders;
    std::vector<std::pair<std::string, std::string>> m_staged;    // path, temporary name
    std::vector<std::pair<std::string, std::string>> m_committed; // path, backup ("" = new)
    bool m_kept = false;
};

class Call {
public:
    Call(const CallOptions& options, Reporter& reporter)
        : m_options(options), m_reporter(reporter),
          m_include(options.include, options.caseSensitive),
          m_exclude(options.exclude, options.caseSensitive) {}

    Totals run() {
        m_reporter.detail("Archive:  " + m_options.archivePath);
        m_archive = std::make_unique<Archive>(m_options.archivePath);
        if (m_options.listOnly)
            list();
        else if (m_options.testOnly)
            test();
        else
            extract();
        return m_totals;
    }

private:
    bool selected(const EntryInfo& entry, std::vector<bool>* used) {
        if (!m_include.empty() && !m_include.matches(entry.name, used))
            return false;
        return m_exclude.empty() || !m_exclude.matches(entry.name);
    }

    void failUnmatched(const std::vector<bool>& used) {
        for (size_t i = 0; i < used.size(); ++i) {
            if (!used[i])
                throw Failure(UZ_ERR_NO_MATCH, m_include.names()[i] + ": no such entry");
        }
    }

    void list() {
        std::vector<bool> used(m_include.names().size());
        for (const EntryInfo& e : m_archive->entries()) {
            if (!selected(e, &used))
                continue;
            ListValues v;
            v.compressedSize = e.compressedSize;
            v.size = e.size;
            struct tm t {};
            localtime_r(&e.mtime, &t);
            v.month = t.tm_mon + 1;
            v.day = t.tm_mday;
            v.year = t.tm_year + 1900;
            v.hour = t.tm_hour;
            v.minute = t.tm_min;
            v.name = e.name;
            v.method = methodName(e.method);
            v.crc = e.crc;
            v.encrypted = e.encrypted();
            m_reporter.list(v);
            ++m_totals.entries;
            if (m_reporter.serviceStop(e.name))
                throw Failure(UZ_ERR_STOPPED, "stopped by the program");
        }
        failUnmatched(used);
    }

    // Chooses the entries of the call and checks that every one can be written safely.
    void selectItems() {
        std::vector<bool> used(m_include.names().size());
        NameRules rules{m_options.useFolderNames, m_options.spaceToUnderscore};
        std::map<std::string, bool> targets; // path -> is a file
        for (const EntryInfo& e : m_archive->entries()) {
            if (!selected(e, &used))
                continue;
            Item item;
            item.entry = &e;
            TargetPath target = targetPathOf(e.name, e.isFolder, rules);
            if (target.kind == TargetPath::Kind::Unsafe)
                throw Failure(UZ_ERR_UNSAFE_PATH, e.name + ": " + target.reason);
            if (e.isLink)
                throw Failure(UZ_ERR_UNSAFE_PATH, e.name + ": symbolic link");
            if (e.isSpecial)
                throw Failure(UZ_ERR_UNSAFE_PATH, e.name + ": special file");
            // Records that contradict themselves would otherwise drop data without a word.
            if (e.isFolder && e.size != 0)
                throw Failure(UZ_ERR_ARCHIVE, e.name + ": marked as a folder but holds data");
            if (!e.isFolder && e.size == 0 && e.crc != 0)
                throw Failure(UZ_ERR_ARCHIVE, e.name + ": empty, but its recorded CRC is not");
            item.path = target.path;
            if (target.kind == TargetPath::Kind::File) {
                if (!zip_compression_method_supported(e.method, 0))
                    throw Failure(UZ_ERR_UNSUPPORTED,
                                  e.name + ": compression method " + methodName(e.method) + " (" +
                                      std::to_string(e.method) + ") is not supported");
                if (e.encrypted() && !zip_encryption_method_supported(e.encryption, 0))
                    throw Failure(UZ_ERR_UNSUPPORTED, e.name + ": encryption method " +
                                                          std::to_string(e.encryption) +
                                                          " is not supported");
                item.action = m_options.testOnly ? Action::Test : Action::Write;
                auto [it, fresh] = targets.emplace(target.path, true);
                if (!fresh)
                    throw Failure(UZ_ERR_DUPLICATE_NAME,
                                  e.name + ": another entry is also written as " + target.path);
            } else if (target.kind == TargetPath::Kind::Folder) {
                item.action = m_options.testOnly ? Action::Skip : Action::MakeFolder;
                auto [it, fresh] = targets.emplace(target.path, false);
                if (!fresh && it->second)
                    throw Failure(UZ_ERR_DUPLICATE_NAME,
                                  e.name + ": another entry is also written as " + target.path);
            }
            m_items.push_back(std::move(item));
        }
        failUnmatched(used);
        // A file may not stand where another entry needs a folder.
        for (const auto& [path, isFile] : targets) {
            for (std::string p = parentOf(path); !p.empty(); p = parentOf(p)) {
                auto it = targets.find(p);
                if (it != targets.end() && it->second)
                    throw Failure(UZ_ERR_DUPLICATE_NAME,
                                  p + " is written as a file and needed as a folder");
            }
        }
    }

    bool needsData(const Item& item) const {
        return item.action == Action::Write || item.action == Action::Test;
    }

    // Finds the password of every encrypted entry that is read, asking the program when none of
    // the passwords given so far fits.
    void resolvePasswords() {
        for (Item& item : m_items) {
            if (!needsData(item) || !item.entry->encrypted())
                continue;
            const EntryInfo& e = *item.entry;
            for (size_t i = m_passwords.size(); i-- > 0;) {
                if (m_archive->acceptsPassword(e, m_passwords[i])) {
                    item.password = static_cast<int>(i);
                    break;
                }
            }
            for (int attempt = 0; item.password < 0; ++attempt) {
                if (attempt == MaxPasswordAttempts)
                    throw Failure(UZ_ERR_PASSWORD, e.name + ": wrong password");
                std::optional<std::string> password = m_reporter.askPassword(e.name);
                if (!password)
                    throw Failure(UZ_ERR_PASSWORD, e.name + ": no password given");
                if (m_archive->acceptsPassword(e, *password)) {
                    m_passwords.push_back(*password);
                    item.password = static_cast<int>(m_passwords.size() - 1);
                } else {
                    m_reporter.entry(e.name + ": incorrect password");
                }
            }
        }
    }

    const std::string* passwordOf(const Item& item) const {
        return item.password < 0 ? nullptr : &m_passwords[static_cast<size_t>(item.password)];
    }

    // Goes through the items in order on the calling thread while the pipeline reads them, with
    // one entry line and one ServiceCallback per entry.
    using Work = std::function<void(Archive&, Item&, const std::atomic<bool>& cancel)>;
    void processItems(const Work& work) {
        std::vector<size_t> dataItems;
        for (size_t i = 0; i < m_items.size(); ++i) {
            if (needsData(m_items[i]))
                dataItems.push_back(i);
        }
        Pipeline pipeline(*m_archive, dataItems,
                          [&](Archive& archive, size_t i, const std::atomic<bool>& cancel) {
                              work(archive, m_items[i], cancel);
                          });
        try {
            reportItems(pipeline);
        } catch (...) {
            pipeline.stop();
            noteStaged();
            throw;
        }
        pipeline.stop();
        noteStaged();
    }

    // Hands every staged file to the change record (after the workers have ended).
    void noteStaged() {
        if (!m_changes)
            return;
        for (const Item& item : m_items) {
            if (!item.tempName.empty())
                m_changes->staged(item.path, item.tempName);
        }
    }

    void reportItems(Pipeline& pipeline) {
        size_t k = 0;
        for (Item& item : m_items) {
            const EntryInfo& e = *item.entry;
            switch (item.action) {
            case Action::Write:
                pipeline.wait(k++);
                m_reporter.entry((e.method == ZIP_CM_STORE ? " extracting: " : "  inflating: ") +
                                 item.path);
                ++m_totals.written;
                m_totals.bytes += e.size;
                break;
            case Action::Test:
                pipeline.wait(k++);
                m_reporter.entry("    testing: " + e.name + "   OK");
                m_totals.bytes += e.size;
                break;
            case Action::MakeFolder:
                m_reporter.entry("   creating: " + item.path + "/");
                break;
            case Action::Skip:
                if (!item.skipNote.empty()) {
                    m_reporter.entry("   skipping: " + item.path + "  " + item.skipNote);
                    ++m_totals.skipped;
                }
                break;
            }
            ++m_totals.entries;
            if (m_reporter.serviceStop(e.name))
                throw Failure(UZ_ERR_STOPPED, "stopped by the program");
        }
    }

    void test() {
        selectItems();
        resolvePasswords();
        processItems([this](Archive& archive, Item& item, const std::atomic<bool>& cancel) {
            archive.read(
                *item.entry, passwordOf(item), [](const char*, size_t) {}, cancel);
        });
        m_reporter.detail("No errors detected in compressed data of " + m_options.archivePath +
                          ".");
    }

    void extract() {
        if (m_options.folder.empty())
            throw Failure(UZ_ERR_PARAMETERS, "no extraction folder given");
        selectItems();
        TempNames temps;
        m_temps = &temps;
        Changes changes;
        m_changes = &changes;
        openRoot();
        planFolders();
        checkTargets();
        resolvePasswords();
        // The files a killed call left take room that this call needs: gone before the count.
        removeOldTemporaries();
        checkFreeSpace();
        createFolders();
        processItems([this](Archive& archive, Item& item, const std::atomic<bool>& cancel) {
            stage(archive, item, cancel);
        });
        commit();
        syncAll();
        changes.keep();
        m_reporter.detail(std::to_string(m_totals.written) + " files written, " +
                          std::to_string(m_totals.skipped) + " skipped");
    }

    // Opens the extraction folder, creating it when it is missing, and locks it against a
    // second call working on it at the same time.
    void openRoot() {
        const std::string& folder = m_options.folder;
        for (size_t pos = folder.find('/', 1);; pos = folder.find('/', pos + 1)) {
            std::string prefix = folder.substr(0, pos);
            struct stat st {};
            if (!prefix.empty() && prefix.back() != '/' && stat(prefix.c_str(), &st) != 0) {
                if (errno != ENOENT)
                    failPath(errno, prefix);
                if (mkdir(prefix.c_str(), 0777) == 0)
                    m_changes->createdOutside(prefix);
                else if (errno != EEXIST)
                    failPath(errno, prefix);
            }
            if (pos == std::string::npos)
                break;
        }
        UniqueFd root(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!root.valid())
            failPath(errno, folder);
        while (flock(root.get(), LOCK_EX) != 0) {
            if (errno != EINTR)
                failPath(errno, folder);
        }
        m_changes->setRoot(std::move(root));
    }

    int rootFd() const { return m_changes->rootFd(); }

    // Sorts the folders the items need into those that exist and those to create.
    void planFolders() {
        std::set<std::string> needed;
        for (const Item& item : m_items) {
            if (item.action == Action::MakeFolder)
                needed.insert(item.path);
            if (item.action == Action::Write || item.action == Action::MakeFolder) {
                for (std::string p = parentOf(item.path); !p.empty(); p = parentOf(p))
                    needed.insert(p);
            }
        }
        // A parent sorts before its children.
        for (const std::string& folder : needed) {
            if (m_toCreate.count(parentOf(folder))) {
                m_toCreate.insert(folder);
                continue;
            }
            UniqueFd fd = openBeneath(rootFd(), folder, O_PATH | O_DIRECTORY);
            if (fd.valid())
                m_existing.insert(folder);
            else if (errno == ENOENT)
                m_toCreate.insert(folder);
            else if (errno == ENOTDIR)
                throw Failure(UZ_ERR_WRITE, folder + ": a file stands where a folder is needed");
            else
                failPath(errno, folder);
        }
    }

    // Looks at the existing file of every item and decides whether it is replaced.
    void checkTargets() {
        bool replaceAll = false, replaceNone = false;
        for (Item& item : m_items) {
            if (item.action != Action::Write || m_toCreate.count(parentOf(item.path)))
                continue;
            struct stat st {};
            if (fstatat(rootFd(), item.path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT)
                    continue;
                failPath(errno, item.path);
            }
            if (S_ISDIR(st.st_mode))
                throw Failure(UZ_ERR_WRITE,
                              item.path + ": a folder stands where a file is written");
            if (S_ISREG(st.st_mode))
                item.existingMode = st.st_mode & 0777;
            const std::string shown = joinPath(m_options.folder, item.path);
            if (m_options.onlyNewer && item.entry->mtime <= st.st_mtime) {
                skip(item, "(existing file is not older)");
            } else if (m_options.promptToOverwrite) {
                if (replaceNone) {
                    skip(item, "(not replaced)");
                } else if (!replaceAll) {
                    int32_t answer = m_reporter.askReplace(shown);
                    if (answer == UZ_REPLACE_ALL)
                        replaceAll = true;
                    else if (answer == UZ_REPLACE_NONE)
                        replaceNone = true;
                    if (answer != UZ_REPLACE_YES && answer != UZ_REPLACE_ALL)
                        skip(item, "(not replaced)");
                }
            } else if (!m_options.overwriteExisting && !m_options.onlyNewer) {
                skip(item, "(file exists)");
            }
        }
    }

    static void skip(Item& item, const std::string& note) {
        item.action = Action::Skip;
        item.skipNote = note;
    }

    void checkFreeSpace() {
        struct statvfs vfs {};
        if (fstatvfs(rootFd(), &vfs) != 0 || vfs.f_frsize == 0)
            return;
        const uint64_t block = vfs.f_bsize ? vfs.f_bsize : vfs.f_frsize;
        long double needed = 0;
        for (const Item& item : m_items) {
            if (item.action == Action::Write)
                needed += static_cast<long double>((item.entry->size + block - 1) / block * block);
        }
        long double available =
            static_cast<long double>(vfs.f_bavail) * static_cast<long double>(vfs.f_frsize);
        if (needed > available)
            throw Failure(UZ_ERR_DISK_FULL, "not enough free space in " + m_options.folder);
    }

    void removeOldTemporaries() {
        std::set<std::string> folders;
        for (const Item& item : m_items) {
            std::string parent = parentOf(item.path);
            if (item.action == Action::Write && !m_toCreate.count(parent))
                folders.insert(parent);
        }
        for (const std::string& folder : folders) {
            UniqueFd fd = openBeneath(rootFd(), folder, O_PATH | O_DIRECTORY);
            if (fd.valid() && removeLeftovers(fd.get()) > 0)
                m_reporter.detail("removed temporary files of an earlier call in " +
                                  joinPath(m_options.folder, folder));
        }
    }

    void createFolders() {
        std::map<std::string, mode_t> modes;
        for (const Item& item : m_items) {
            if (item.action == Action::MakeFolder && item.entry->unixMode)
                modes[item.path] = (*item.entry->unixMode & 0777) | 0700;
        }
        for (const std::string& folder : m_toCreate) {
            UniqueFd parent = openBeneath(rootFd(), parentOf(folder), O_PATH | O_DIRECTORY);
            if (!parent.valid())
                failPath(errno, parentOf(folder));
            const std::string name = baseNameOf(folder);
            if (mkdirat(parent.get(), name.c_str(), 0777) != 0) {
                if (errno != EEXIST)
                    failPath(errno, folder);
                if (!openBeneath(rootFd(), folder, O_PATH | O_DIRECTORY).valid())
                    failPath(errno == ENOTDIR ? EEXIST : errno, folder);
                continue;
            }
            m_changes->createdFolder(folder);
            auto mode = modes.find(folder);
            if (mode != modes.end()) {
                // Through a descriptor of the folder itself: a name could be swapped for a link.
                UniqueFd created(openat(parent.get(), name.c_str(),
                                        O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
                if (created.valid())
                    fchmod(created.get(), mode->second);
            }
        }
    }

    mode_t modeOf(const Item& item) const {
        if (item.entry->unixMode)
            return *item.entry->unixMode & 0777; // never set-user-id and the like
        return item.existingMode.value_or(DefaultFileMode);
    }

    // Writes the data of an entry to a new temporary file in the target's folder (worker thread).
    void stage(Archive& archive, Item& item, const std::atomic<bool>& cancel) {
        const std::string parent = parentOf(item.path);
        UniqueFd dir = openBeneath(rootFd(), parent, O_PATH | O_DIRECTORY);
        if (!dir.valid())
            failPath(errno, parent.empty() ? m_options.folder : parent);
        const std::string temp = m_temps->next();
        UniqueFd out(openat(dir.get(), temp.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!out.valid())
            failPath(errno, item.path);
        try {
            LineEnds lineEnds(m_options.convertLineEnds);
            WritebackStarter writeback(out.get());
            archive.read(
                *item.entry, passwordOf(item),
                [&](const char* data, size_t size) {
                    size_t outSize = 0;
                    const char* outData = lineEnds.convert(data, size, outSize);
                    if (!writeAll(out.get(), outData, outSize))
                        failPath(errno, item.path);
                    writeback.wrote(outSize);
                },
                cancel);
            writeback.finish();
            if (fchmod(out.get(), modeOf(item)) != 0)
                failPath(errno, item.path);
            const struct timespec times[2] = {{item.entry->mtime, 0}, {item.entry->mtime, 0}};
            if (futimens(out.get(), times) != 0)
                failPath(errno, item.path);
            if (::close(out.release()) != 0)
                failPath(errno, item.path);
        } catch (...) {
            out.reset();
            unlinkat(dir.get(), temp.c_str(), 0);
            throw;
        }
        item.tempName = temp;
    }

    // Puts every staged file in place. An existing file is swapped with the staged one in one
    // step, so that its old contents stay under the temporary name until the call succeeds.
    void commit() {
        UniqueFd dir;
        std::string dirPath;
        bool haveDir = false;
        for (Item& item : m_items) {
            if (item.action != Action::Write)
                continue;
            const std::string parent = parentOf(item.path);
            if (!haveDir || parent != dirPath) {
                dir = openBeneath(rootFd(), parent, O_PATH | O_DIRECTORY);
                if (!dir.valid())
                    failPath(errno, parent.empty() ? m_options.folder : parent);
                dirPath = parent;
                haveDir = true;
                noteFileSystem(dir.get());
            }
            const std::string name = baseNameOf(item.path);
            m_changes->committed(item.path, replace(dir.get(), item, name));
        }
    }

    // Moves the staged file of item to name; returns the name of the backup of the file it
    // replaced, or "" when there was none.
    std::string replace(int dir, const Item& item, const std::string& name) {
        const char* temp = item.tempName.c_str();
        if (renameat2(dir, temp, dir, name.c_str(), RENAME_NOREPLACE) == 0)
            return {};
        if (errno == EINVAL) {
            // No RENAME_NOREPLACE on this file system.
            struct stat st {};
            if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) {
                if (renameat(dir, temp, dir, name.c_str()) != 0)
                    failPath(errno, item.path);
                return {};
            }
        } else if (errno != EEXIST) {
            failPath(errno, item.path);
        }
        struct stat st {};
        if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            failPath(errno, item.path);
        if (S_ISDIR(st.st_mode))
            throw Failure(UZ_ERR_WRITE, item.path + ": a folder stands where a file is written");
        if (renameat2(dir, temp, dir, name.c_str(), RENAME_EXCHANGE) == 0)
            return item.tempName; // now holds the old file
        if (errno != EINVAL)
            failPath(errno, item.path);
        // File systems without exchange: keep the old file under a second name first.
        std::string backup = m_temps->next();
        if (linkat(dir, name.c_str(), dir, backup.c_str(), 0) != 0)
            failPath(errno, item.path);
        if (renameat(dir, temp, dir, name.c_str()) != 0) {
            int error = errno;
            unlinkat(dir, backup.c_str(), 0);
            failPath(error, item.path);
        }
        return backup;
    }

    void noteFileSystem(int dirFd) {
        struct stat st {};
        if (fstat(dirFd, &st) == 0 && !m_fileSystems.count(st.st_dev))
            m_fileSystems.emplace(st.st_dev, UniqueFd(fcntl(dirFd, F_DUPFD_CLOEXEC, 0)));
    }

    // Makes the written data durable before success is reported.
    void syncAll() {
        noteFileSystem(rootFd());
        for (const auto& [device, fd] : m_fileSystems) {
            int target = fd.valid() ? fd.get() : rootFd();
            // syncfs does not work on O_PATH descriptors: open the folder itself.
            UniqueFd real(openat(target, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (!real.valid() || syncfs(real.get()) != 0)
                failPath(errno, m_options.folder);
        }
    }

    const CallOptions& m_options;
    Reporter& m_reporter;
    NameFilter m_include;
    NameFilter m_exclude;
    std::unique_ptr<Archive> m_archive;
    std::vector<Item> m_items;
    std::vector<std::string> m_passwords;
    std::set<std::string> m_existing;
    std::set<std::string> m_toCreate;
    std::map<dev_t, UniqueFd> m_fileSystems;
    TempNames* m_temps = nullptr;
    Changes* m_changes = nullptr;
    Totals m_totals;
};

} // namespace

Totals runCall(const CallOptions& options, Reporter& reporter) {
    return Call(options, reporter).run();
}

} // namespace vbuzip
