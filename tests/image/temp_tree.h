#pragma once
// A temporary folder tree built by a test and removed afterwards.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace lorvane::image::testing {

class TempTree {
public:
    TempTree() {
        std::string pattern = (std::filesystem::temp_directory_path() / "lorvane-image-XXXXXX").string();
        if (!mkdtemp(pattern.data())) ADD_FAILURE() << "mkdtemp failed";
        m_root = pattern;
    }
    ~TempTree() {
        std::error_code ignored;
        // Folders a test made unreadable must be opened again before they can be removed.
        for (auto it = std::filesystem::recursive_directory_iterator(
                 m_root, std::filesystem::directory_options::skip_permission_denied, ignored);
             it != std::filesystem::recursive_directory_iterator(); it.increment(ignored))
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
        std::filesystem::permissions(m_root, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(m_root, ignored);
    }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    std::string Path(const std::string& relative = {}) const {
        return relative.empty() ? m_root : m_root + "/" + relative;
    }
    std::string File(const std::string& relative, std::size_t size = 0) const {
        const std::string path = Path(relative);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << std::string(size, 'x');
        return path;
    }
    std::string Folder(const std::string& relative) const {
        const std::string path = Path(relative);
        std::filesystem::create_directories(path);
        return path;
    }

private:
    std::string m_root;
};

inline bool RunningAsRoot() {
    return geteuid() == 0;
}

} // namespace lorvane::image::testing
