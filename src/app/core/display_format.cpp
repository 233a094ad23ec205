#include "app/core/display_format.h"

#include <cstdio>

namespace lorvane::app {

std::uint32_t SectorsToMegabytes(std::uint64_t sectors) {
    constexpr std::uint64_t kSectorsPerMegabyte = 512;
    std::uint64_t whole = sectors / kSectorsPerMegabyte;
    const std::uint64_t rest = sectors % kSectorsPerMegabyte;
    if (rest > kSectorsPerMegabyte / 2 || (rest == kSectorsPerMegabyte / 2 && whole % 2 == 1)) ++whole;
    return static_cast<std::uint32_t>(whole);
}

std::string FormatMegabytes(std::uint64_t bytes) {
    char text[48];
    std::snprintf(text, sizeof text, "%.2f MB", static_cast<double>(bytes) / 1048576.0);
    return text;
}

std::string FormatTocTime(std::uint8_t minute, std::uint8_t second, std::uint8_t frame) {
    char text[16];
    std::snprintf(text, sizeof text, "%03u:%02u:%02u", minute, second, frame);
    return text;
}

namespace {
std::string SizeField(std::uint64_t sectors) {
    char text[32];
    std::snprintf(text, sizeof text, "%4u MB", SectorsToMegabytes(sectors));
    return text;
}
} // namespace

std::string SessionLine(unsigned number, std::string_view startTime,
                        std::optional<std::uint64_t> sizeSectors) {
    char head[16];
    std::snprintf(head, sizeof head, "  %03u      ", number);
    std::string line = head;
    line += startTime;
    line += "  ";
    line += sizeSectors ? SizeField(*sizeSectors) : std::string("???? MB");
    return line;
}

std::string FreeSpaceLine(std::optional<std::string> leadOutTime, std::uint64_t freeSectors) {
    return " Free      " + leadOutTime.value_or("00:00:00") + "  " + SizeField(freeSectors);
}

std::string GroupThousands(std::uint64_t value) {
    std::string digits = std::to_string(value);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<std::size_t>(at), ",");
    return digits;
}

std::string SpeedRowText(std::uint16_t speedX, unsigned divisor) {
    const unsigned x = divisor == 0 ? speedX : speedX / divisor;
    char number[16];
    std::snprintf(number, sizeof number, x >= 10 ? "%uX " : "%02uX ", x);
    return std::string(number) + "(" + GroupThousands(std::uint64_t{speedX} * 150) + " KB/s)";
}

std::optional<std::uint16_t> ParseSpeedText(std::string_view text, std::uint8_t mediumType) {
    if (text == "Max") return 0;
    const std::size_t x = text.find('X');
    if (x == std::string_view::npos || x == 0) return std::nullopt;
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < x; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > 65535) return std::nullopt;
    }
    value *= mediumType < 4 ? 1 : 7;
    if (value > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

} // namespace lorvane::app
