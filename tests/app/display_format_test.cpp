#include "app/core/display_format.h"

#include <gtest/gtest.h>

namespace {

using namespace lorvane::app;

TEST(DisplayFormat, SessionAndFreeSpaceLines) {
    const struct {
        unsigned number;
        const char* start;
        std::optional<std::uint64_t> sectors;
        const char* line;
    } kCases[] = {
        {1, "000:02:00", 307200, "  001      000:02:00   600 MB"},
        {2, "012:36:43", 1000, "  002      012:36:43     2 MB"},
        {12, "050:00:00", std::nullopt, "  012      050:00:00  ???? MB"},
        {3, "000:02:00", 0, "  003      000:02:00     0 MB"},
        {1, "000:02:00", 51200000, "  001      000:02:00  100000 MB"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(SessionLine(c.number, c.start, c.sectors), c.line);
    }
    EXPECT_EQ(FreeSpaceLine(std::string("079:59:74"), 359849), " Free      079:59:74   703 MB");
    EXPECT_EQ(FreeSpaceLine(std::nullopt, 0), " Free      00:00:00     0 MB");
}

TEST(DisplayFormat, MegabytesRoundHalvesToEven) {
    const struct {
        std::uint64_t sectors;
        std::uint32_t megabytes;
    } kCases[] = {{0, 0}, {255, 0}, {256, 0}, {257, 1}, {768, 2}, {1280, 2}, {1281, 3}, {307200, 600}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.sectors);
        EXPECT_EQ(SectorsToMegabytes(c.sectors), c.megabytes);
    }
    EXPECT_EQ(FormatMegabytes(0), "0.00 MB");
    EXPECT_EQ(FormatMegabytes(359849ull * 2048), "702.83 MB");
    EXPECT_EQ(FormatTocTime(12, 36, 43), "012:36:43");
}

TEST(DisplayFormat, SpeedRowsAndTheirParse) {
    const struct {
        std::uint16_t speed;
        unsigned divisor;
        const char* row;
    } kRows[] = {
        {8, 1, "08X (1,200 KB/s)"}, {24, 1, "24X (3,600 KB/s)"}, {126, 7, "18X (18,900 KB/s)"},
        {4, 1, "04X (600 KB/s)"},   {10, 1, "10X (1,500 KB/s)"}, {56, 7, "08X (8,400 KB/s)"},
        {1, 7, "00X (150 KB/s)"},
    };
    for (const auto& c : kRows) {
        SCOPED_TRACE(c.row);
        EXPECT_EQ(SpeedRowText(c.speed, c.divisor), c.row);
    }
    const struct {
        const char* text;
        std::uint8_t medium;
        std::optional<std::uint16_t> speed;
    } kParses[] = {
        {"Max", 2, 0},
        {"Max", 9, 0},
        {"08X (1,200 KB/s)", 2, 8},
        {"08X (8,400 KB/s)", 5, 56},
        {"16X (2,400 KB/s)", 1, 16},
        {"16X (2,400 KB/s)", 4, 112},
        {"X", 2, std::nullopt},
        {"max", 2, std::nullopt},
        {"fast", 2, std::nullopt},
        {"65535X", 1, 65535},
        {"65536X", 1, std::nullopt},
        {"9363X", 5, std::nullopt},
        {"1a X", 2, std::nullopt},
        {"", 2, std::nullopt},
    };
    for (const auto& c : kParses) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ParseSpeedText(c.text, c.medium), c.speed);
    }
}

} // namespace
