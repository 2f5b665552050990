#include "Changes.h"

#include "EntryNames.h"

#include <algorithm>
#include <fcntl.h>
#include <set>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace vbuzip {

namespace {
constexpr size_t RemovalThreads = 8;
} // namespace

// Freeing the blocks of a file can wait on the disk for milliseconds; many removals at once
// overlap those waits.
void Changes::keep() {
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

void Changes::undo() {
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

} // namespace vbuzip
