#pragma once
// The file that holds a virtual drive's disc: its 2048-byte sectors at their LBA times 2048, so that
// a written disc is an image file standard ISO tools can read.

#include <cstdint>
#include <filesystem>
#include <span>

namespace lorvane::recorder {

inline constexpr std::size_t kSectorSize = 2048;

class DiscFile {
public:
    // Opens the file for reading and writing, creating it empty when missing. Throws
    // std::system_error when it can be neither opened nor created.
    explicit DiscFile(std::filesystem::path path);
    ~DiscFile();
    DiscFile(const DiscFile&) = delete;
    DiscFile& operator=(const DiscFile&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    // Size of the file in bytes; 0 when it cannot be read.
    std::uint64_t Size() const;

    // Reads whole sectors from lba on; sectors past the end of the file read as zeros (an unwritten
    // area). False on an I/O error or when out is not a whole number of sectors.
    [[nodiscard]] bool Read(std::uint32_t lba, std::span<std::uint8_t> out) const;
    // Writes whole sectors from lba on, growing the file as needed. False on an I/O error.
    [[nodiscard]] bool Write(std::uint32_t lba, std::span<const std::uint8_t> in);
    // Cuts the file to the given number of sectors (0 empties it: a blanked disc).
    [[nodiscard]] bool Truncate(std::uint64_t sectors);
    [[nodiscard]] bool Flush();

private:
    std::filesystem::path m_path;
    int m_fd = -1;
};

} // namespace lorvane::recorder
