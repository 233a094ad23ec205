#pragma once
// Texts the program shows for sizes, speeds and disc positions: one place, so the desktop program and
// the command-line tool print the same figures.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lorvane::app {

// Sectors of 2048 bytes as whole megabytes: sectors / 512, rounded to the nearest, ties to even.
std::uint32_t SectorsToMegabytes(std::uint64_t sectors);

// Bytes as megabytes (1,048,576 bytes) with two decimals: "0.00 MB".
std::string FormatMegabytes(std::uint64_t bytes);

// A table-of-contents address: minute with 3 digits, second and frame with 2 ("000:02:00").
std::string FormatTocTime(std::uint8_t minute, std::uint8_t second, std::uint8_t frame);

// One line of the disc information list for a session; sizeSectors empty when the size is unknown.
std::string SessionLine(unsigned number, std::string_view startTime,
                        std::optional<std::uint64_t> sizeSectors);
// The last line: the lead-out time (empty when it could not be read) and the free space.
std::string FreeSpaceLine(std::optional<std::string> leadOutTime, std::uint64_t freeSectors);

// A row of the write-speed list for the speed c (CD units) the drive took, shown in the medium's own
// units (divisor 1 for CD, 7 for DVD): "08X (1,200 KB/s)", "24X (3,600 KB/s)".
std::string SpeedRowText(std::uint16_t speedX, unsigned divisor);

// The write speed (CD units) of a speed-list row: 0 for "Max", else the number before the first "X"
// times 1 (medium types below 4) or 7. Empty when the text has no number there or it passes 65535.
std::optional<std::uint16_t> ParseSpeedText(std::string_view text, std::uint8_t mediumType);

// A whole number with thousands separators: 1200 -> "1,200".
std::string GroupThousands(std::uint64_t value);

} // namespace lorvane::app
