#include "app/core/speed_list.h"

#include <gtest/gtest.h>

#include <optional>

namespace lorvane::app {
namespace {

TEST(ParseSpeedText, RowTextsBecomeWriteSpeedsInCdUnits) {
    const struct {
        const char* text;
        std::uint8_t mediumType;
        std::optional<std::uint16_t> speed;
    } kCases[] = {
        {"Max", 2, 0},
        {"Max", 5, 0},
        {"16X (2,400 KB/s)", 2, 16}, // CD: one unit per x
        {"16X (2,400 KB/s)", 3, 16},
        {"16X (22,160 KB/s)", 4, 112}, // DVD kinds count seven CD units per x
        {"16X", 10, 112},
        {"1X", 0, 1},
        {"9362X", 9, 65534},
        {"9363X", 9, std::nullopt}, // above 16 bits
        {"65535X", 2, 65535},
        {"65536X", 2, std::nullopt},
        {"max", 2, std::nullopt}, // only the exact row text
        {"X16", 2, std::nullopt},
        {"", 2, std::nullopt},
        {"16", 2, std::nullopt},
        {"1 6X", 2, std::nullopt},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::string(c.text) + " on medium " + std::to_string(c.mediumType));
        EXPECT_EQ(ParseSpeedText(c.text, c.mediumType), c.speed);
    }
}

TEST(SelectedRowAfterRebuild, KeepsARowThatStillExists) {
    EXPECT_EQ(SelectedRowAfterRebuild(3, 5), 3);
    EXPECT_EQ(SelectedRowAfterRebuild(5, 5), 0);
    EXPECT_EQ(SelectedRowAfterRebuild(-1, 5), 0);
    EXPECT_EQ(SelectedRowAfterRebuild(0, 0), 0);
}

} // namespace
} // namespace lorvane::app
