#include "Extraction.h"

#include "Archive.h"
#include "EntryNames.h"
#include "ExtractionFolder.h"
#include "Failure.h"
#include "LineEnds.h"
#include "LocalTime.h"
#include "Pipeline.h"
#include "Update.h"
#include "vbuzip10.h"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <zip.h>

namespace vbuzip {

namespace {

constexpr int MaxPasswordAttempts = 3;
constexpr uint32_t DefaultFileMode = 0644;

enum class Action { Write, MakeFolder, Test, Skip };

// One selected entry of the call, in archive order.
struct Item {
    const EntryInfo* entry = nullptr;
    Action action = Action::Skip;
    std::string path;     // target below the extraction folder
    std::string skipNote; // why it is skipped, shown in the entry line
    int password = -1;    // index into the call's passwords
    std::optional<uint32_t> existingMode;
    std::string tempName; // staged data, in the target's folder
    uint64_t inode = 0;   // of the staged file, once it is finished
};

class Call {
public:
    Call(const CallOptions& options, Reporter& reporter)
        : m_options(options), m_reporter(reporter),
          m_include(options.include, options.caseSensitive),
          m_exclude(options.exclude, options.caseSensitive),
          m_rules{options.useFolderNames, options.spaceToUnderscore}, m_paths{m_rules.windowsNames},
          m_toCreate(m_paths) {}

    Totals run() {
        open();
        if (m_options.listOnly)
            list();
        else if (m_options.testOnly)
            test();
        else
            extract();
        return m_totals;
    }

    // Stages the selected entries into the update; on failure the update is as it was.
    Totals stageInto(Update& update) {
        open();
        stage(update);
        return m_totals;
    }

private:
    void open() {
        m_reporter.detail("Archive:  " + m_options.archivePath);
        m_archive = std::make_unique<Archive>(m_options.archivePath);
        if (m_archive->leadingBytes() > 0)
            m_reporter.entry("warning: " + std::to_string(m_archive->leadingBytes()) +
                             " bytes of other data in front of the archive are ignored");
    }

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
            const LocalTime t = localTimeOf(e.mtime);
            v.month = t.month;
            v.day = t.day;
            v.year = t.year;
            v.hour = t.hour;
            v.minute = t.minute;
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

    // Chooses the entries of the call. An extraction checks that every one can be written
    // safely; a test reads every entry but the folders, whatever its name or type, and writes
    // nothing.
    void selectItems() {
        std::vector<bool> used(m_include.names().size());
        // path -> is a file; with the Windows rules, paths that differ only in case are one path
        std::map<std::string, bool, PathOrder> targets(m_paths);
        for (const EntryInfo& e : m_archive->entries()) {
            if (!selected(e, &used))
                continue;
            Item item;
            item.entry = &e;
            if (m_options.testOnly) {
                checkConsistent(e);
                if (!e.isFolder) {
                    checkReadable(e);
                    item.action = Action::Test;
                }
                m_items.push_back(std::move(item));
                continue;
            }
            TargetPath target = targetPathOf(e.name, e.isFolder, m_rules);
            if (target.kind == TargetPath::Kind::Unsafe)
                throw Failure(UZ_ERR_UNSAFE_PATH, e.name + ": " + target.reason);
            if (e.isLink)
                throw Failure(UZ_ERR_UNSAFE_PATH, e.name + ": symbolic link");
            if (e.isSpecial)
                throw Failure(UZ_ERR_UNSAFE_PATH, e.name + ": device or socket");
            checkConsistent(e);
            item.path = target.path;
            if (target.kind == TargetPath::Kind::File) {
                checkReadable(e);
                item.action = Action::Write;
                auto [it, fresh] = targets.emplace(target.path, true);
                if (!fresh)
                    throw Failure(UZ_ERR_DUPLICATE_NAME,
                                  e.name + ": another entry is also written as " + it->first);
            } else if (target.kind == TargetPath::Kind::Folder) {
                item.action = Action::MakeFolder;
                auto [it, fresh] = targets.emplace(target.path, false);
                if (!fresh && it->second)
                    throw Failure(UZ_ERR_DUPLICATE_NAME,
                                  e.name + ": another entry is also written as " + it->first);
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

    // Records that contradict themselves would otherwise drop data without a word.
    static void checkConsistent(const EntryInfo& e) {
        if (e.isFolder && e.size != 0)
            throw Failure(UZ_ERR_ARCHIVE, e.name + ": marked as a folder but holds data");
        if (!e.isFolder && e.size == 0 && e.crc != 0)
            throw Failure(UZ_ERR_ARCHIVE, e.name + ": empty, but its recorded CRC is not");
    }

    static void checkReadable(const EntryInfo& e) {
        if (!zip_compression_method_supported(e.method, 0))
            throw Failure(UZ_ERR_UNSUPPORTED, e.name + ": compression method " +
                                                  methodName(e.method) + " (" +
                                                  std::to_string(e.method) + ") is not supported");
        if (e.encrypted() && !zip_encryption_method_supported(e.encryption, 0))
            throw Failure(UZ_ERR_UNSUPPORTED, e.name + ": encryption method " +
                                                  std::to_string(e.encryption) +
                                                  " is not supported");
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

    // Entries with AES encryption of version 2 record no CRC: their authentication code is what
    // protects them, and the CRC that libzip checks them against is taken from their data.
    void takeCrcsOfAuthenticatedOnly() {
        std::vector<std::pair<const EntryInfo*, const std::string*>> entries;
        for (const Item& item : m_items) {
            if (needsData(item) && item.entry->authenticatedOnly)
                entries.emplace_back(item.entry, passwordOf(item));
        }
        if (!entries.empty())
            m_archive->takeCrcsOf(entries);
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
            throw;
        }
        pipeline.stop();
    }

    // The progress callback, with the bytes written so far; throws when the program stops the call.
    void reportProgress() {
        if (m_reporter.progressStop(m_bytesWritten.load()))
            throw Failure(UZ_ERR_STOPPED, "stopped by the program");
    }

    void reportItems(Pipeline& pipeline) {
        std::function<void()> tick;
        if (m_reporter.hasProgress())
            tick = [this] { reportProgress(); };
        size_t k = 0;
        for (Item& item : m_items) {
            const EntryInfo& e = *item.entry;
            switch (item.action) {
            case Action::Write:
                pipeline.wait(k++, tick);
                m_reporter.entry((e.method == ZIP_CM_STORE ? " extracting: " : "  inflating: ") +
                                 item.path);
                ++m_totals.written;
                m_totals.bytes += e.size;
                if (tick)
                    reportProgress();
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
        takeCrcsOfAuthenticatedOnly();
        processItems([this](Archive& archive, Item& item, const std::atomic<bool>& cancel) {
            archive.read(
                *item.entry, passwordOf(item), [](const char*, size_t) {}, cancel);
        });
        m_reporter.detail("No errors detected in compressed data of " + m_options.archivePath +
                          ".");
    }

    // One archive extracted on its own: an update of the folder with this archive alone.
    void extract() {
        if (m_options.folder.empty())
            throw Failure(UZ_ERR_PARAMETERS, "no extraction folder given");
        Update update(m_options.folder, true);
        if (update.recover() != Recovered::Nothing)
            m_reporter.detail("finished or removed an interrupted extraction in " +
                              m_options.folder);
        stage(update);
        update.commit();
        for (const std::string& warning : update.folderTimeWarnings())
            m_reporter.entry("warning: " + warning);
        m_reporter.detail(std::to_string(m_totals.written) + " files written, " +
                          std::to_string(m_totals.skipped) + " skipped");
    }

    void stage(Update& update) {
        selectItems();
        m_update = &update;
        m_folder = &update.folder();
        planFolders();
        checkTargets();
        resolvePasswords();
        takeCrcsOfAuthenticatedOnly();
        checkFreeSpace();
        std::vector<PlanRecord> plan;
        for (const std::string& folder : m_toCreate)
            plan.push_back({true, folder, {}});
        for (Item& item : m_items) {
            if (item.action == Action::Write) {
                item.tempName = update.newTempName();
                plan.push_back({false, item.path, item.tempName});
            }
        }
        update.plan(plan);
        try {
            createFolders();
            processItems([this](Archive& archive, Item& item, const std::atomic<bool>& cancel) {
                stageItem(archive, item, cancel);
            });
            // Staged files count only once they are durable: a commit may follow at any time.
            for (const Item& item : m_items) {
                if (item.action == Action::Write)
                    m_folder->noteWritten(item.path);
            }
            m_folder->sync();
        } catch (...) {
            undoStaging();
            throw;
        }
        for (const std::string& folder : m_created)
            update.addFolder(folder);
        for (const Item& item : m_items) {
            if (item.action == Action::Write)
                update.addStaged(item.path, item.tempName, item.inode);
            else if (item.action == Action::MakeFolder)
                update.addFolderTime(item.path, item.entry->mtime);
        }
    }

    // Removes the files and folders this archive's staging made.
    void undoStaging() {
        for (const Item& item : m_items) {
            if (item.inode != 0)
                m_folder->removeStaged(item.path, item.tempName);
        }
        for (auto it = m_created.rbegin(); it != m_created.rend(); ++it)
            m_folder->removeFolder(*it);
    }

    // Sorts the folders the items need into those that exist and those to create.
    void planFolders() {
        std::set<std::string, PathOrder> needed(m_paths);
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
            if (m_update->kindOf(folder) == true)
                throw Failure(UZ_ERR_DUPLICATE_NAME,
                              folder + " is staged as a file and needed as a folder");
            if (m_toCreate.count(parentOf(folder))) {
                m_toCreate.insert(folder);
                continue;
            }
            if (!m_folder->hasFolder(folder))
                m_toCreate.insert(folder);
        }
    }

    // Looks at the existing file of every item and decides whether it is replaced.
    void checkTargets() {
        bool replaceAll = false, replaceNone = false;
        for (Item& item : m_items) {
            if (item.action != Action::Write || m_toCreate.count(parentOf(item.path)))
                continue;
            const std::optional<ExtractionFolder::Existing> existing =
                m_folder->existing(item.path);
            if (!existing)
                continue;
            if (existing->isFolder)
                throw Failure(UZ_ERR_WRITE,
                              item.path + ": a folder stands where a file is written");
            item.existingMode = existing->permissions;
            const std::string shown = joinPath(m_options.folder, item.path);
            if (m_options.onlyNewer && item.entry->mtime <= existing->mtime) {
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
        const std::optional<ExtractionFolder::Space> space = m_folder->freeSpace();
        if (!space)
            return;
        const uint64_t block = space->block;
        long double needed = 0;
        for (const Item& item : m_items) {
            if (item.action == Action::Write)
                needed += static_cast<long double>((item.entry->size + block - 1) / block * block);
        }
        if (needed > space->available)
            throw Failure(UZ_ERR_DISK_FULL, "not enough free space in " + m_options.folder);
    }

    void createFolders() {
        std::map<std::string, uint32_t, PathOrder> modes(m_paths);
        for (const Item& item : m_items) {
            if (item.action == Action::MakeFolder && item.entry->unixMode)
                modes[item.path] = (*item.entry->unixMode & 0777) | 0700;
        }
        for (const std::string& folder : m_toCreate) {
            auto mode = modes.find(folder);
            if (m_folder->createFolder(folder, mode == modes.end() ? std::nullopt
                                                                   : std::optional(mode->second)))
                m_created.push_back(folder);
        }
    }

    uint32_t modeOf(const Item& item) const {
        if (item.entry->unixMode)
            return *item.entry->unixMode & 0777; // never set-user-id and the like
        // Windows keeps the read-only attribute of entries made on Windows; Unix has nothing to
        // take it for and keeps the permissions the file had.
        if (BuiltForWindows && item.entry->dosReadOnly)
            return *item.entry->dosReadOnly ? 0444 : 0666;
        return item.existingMode.value_or(DefaultFileMode);
    }

    // Writes the data of an entry to a new temporary file in the target's folder (worker thread).
    void stageItem(Archive& archive, Item& item, const std::atomic<bool>& cancel) {
        StagedFile out = m_folder->stage(item.path, item.tempName);
        LineEnds lineEnds(m_options.convertLineEnds);
        archive.read(
            *item.entry, passwordOf(item),
            [&](const char* data, size_t size) {
                size_t outSize = 0;
                const char* outData = lineEnds.convert(data, size, outSize);
                out.write(outData, outSize);
                m_bytesWritten += outSize;
            },
            cancel);
        item.inode = out.finish(modeOf(item), item.entry->mtime);
    }

    const CallOptions& m_options;
    Reporter& m_reporter;
    NameFilter m_include;
    NameFilter m_exclude;
    std::unique_ptr<Archive> m_archive;
    std::vector<Item> m_items;
    std::vector<std::string> m_passwords;
    NameRules m_rules;
    PathOrder m_paths; // how the paths of the call are told apart
    std::set<std::string, PathOrder> m_toCreate;
    std::vector<std::string> m_created; // folders this archive's staging created
    Update* m_update = nullptr;
    ExtractionFolder* m_folder = nullptr;
    Totals m_totals;
    std::atomic<uint64_t> m_bytesWritten{0}; // entry data staged so far, by every worker
};

} // namespace

Totals runCall(const CallOptions& options, Reporter& reporter) {
    return Call(options, reporter).run();
}

Totals stageCall(const CallOptions& options, Reporter& reporter, Update& update) {
    return Call(options, reporter).stageInto(update);
}

} // namespace vbuzip
