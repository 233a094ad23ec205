#pragma once
// A temporary folder tree built by a test and removed afterwards.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <linux/capability.h>
#include <string>
#include <sys/syscall.h>
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

// Makes file permissions bind the calling thread (and the threads it starts) while it lives, also
// when the tests run as root: root's overrides of file permissions leave the thread's effective
// capabilities and come back at the end. Active() is false when that cannot be done.
class PermissionsApply {
public:
    PermissionsApply() {
        if (!RunningAsRoot()) {
            m_active = true;
            return;
        }
        if (!Get()) return;
        __user_cap_data_struct dropped[2] = {m_saved[0], m_saved[1]};
        for (const int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER})
            dropped[cap / 32].effective &= ~(1u << (cap % 32));
        m_dropped = m_active = Set(dropped);
    }
    ~PermissionsApply() {
        if (m_dropped) (void)Set(m_saved);
    }
    PermissionsApply(const PermissionsApply&) = delete;
    PermissionsApply& operator=(const PermissionsApply&) = delete;
    bool Active() const { return m_active; }

private:
    bool Get() {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        return ::syscall(SYS_capget, &header, m_saved) == 0;
    }
    static bool Set(__user_cap_data_struct* data) {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        return ::syscall(SYS_capset, &header, data) == 0;
    }
    __user_cap_data_struct m_saved[2]{};
    bool m_active = false;
    bool m_dropped = false;
};

} // namespace lorvane::image::testing
