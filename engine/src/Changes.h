// Everything one call has changed in the extraction folder, so that a failed call can put it
// back as it was: folders it created, staged files, and replaced files with their backups.
#pragma once

#include "SafeFs.h"

#include <string>
#include <utility>
#include <vector>

namespace vbuzip {

class Changes {
public:
    Changes() = default;
    Changes(const Changes&) = delete;
    Changes& operator=(const Changes&) = delete;
    // Undoes every change unless the call succeeded (keep).
    ~Changes() {
        if (!m_kept)
            undo();
    }

    // The extraction folder, open; every path below is relative to it.
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

    // The call succeeded: drop the backups and keep everything else.
    void keep();

private:
    void undo();

    UniqueFd m_root;
    std::vector<std::string> m_outsideFolders;
    std::vector<std::string> m_folders;
    std::vector<std::pair<std::string, std::string>> m_staged;    // path, temporary name
    std::vector<std::pair<std::string, std::string>> m_committed; // path, backup ("" = new)
    bool m_kept = false;
};

} // namespace vbuzip
