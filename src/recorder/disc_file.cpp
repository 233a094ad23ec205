#include "recorder/disc_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace lorvane::recorder {

namespace {

off_t OffsetOf(std::uint64_t lba) {
    return static_cast<off_t>(lba * kSectorSize);
}

} // namespace

DiscFile::DiscFile(std::filesystem::path path) : m_path(std::move(path)) {
    m_fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (m_fd < 0) throw std::system_error(errno, std::generic_category(), "disc file " + m_path.string());
}

DiscFile::~DiscFile() {
    if (m_fd >= 0) ::close(m_fd);
}

std::uint64_t DiscFile::Size() const {
    struct stat st {};
    if (::fstat(m_fd, &st) != 0 || st.st_size < 0) return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

bool DiscFile::Read(std::uint32_t lba, std::span<std::uint8_t> out) const {
    if (out.size() % kSectorSize != 0) return false;
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n =
            ::pread(m_fd, out.data() + done, out.size() - done, OffsetOf(lba) + static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break; // past the end: unwritten sectors
        done += static_cast<std::size_t>(n);
    }
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(done), out.end(), std::uint8_t{0});
    return true;
}

bool DiscFile::Write(std::uint32_t lba, std::span<const std::uint8_t> in) {
    if (in.size() % kSectorSize != 0) return false;
    std::size_t done = 0;
    while (done < in.size()) {
        const ssize_t n =
            ::pwrite(m_fd, in.data() + done, in.size() - done, OffsetOf(lba) + static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool DiscFile::Truncate(std::uint64_t sectors) {
    return ::ftruncate(m_fd, OffsetOf(sectors)) == 0;
}

bool DiscFile::Flush() {
    return ::fdatasync(m_fd) == 0;
}

} // namespace lorvane::recorder
