#include "app/core/speed_list.h"

#include "app/core/display_format.h"
#include "drive/scsi_device.h"

#include <algorithm>

namespace lorvane::app {

std::vector<std::string> BuildSpeedRows(drive::TSCSIDevice& device) {
    const unsigned divisor = device.GetMediumType() < 4 ? 1 : 7;
    std::vector<std::string> rows{"Max"};
    for (unsigned speed = device.MaxWriteSpeedX(); speed >= 1; --speed) {
        device.SetWriteSpeed(static_cast<std::uint16_t>(speed));
        const std::string row = SpeedRowText(device.CurrentWriteSpeedX(), divisor);
        if (std::find(rows.begin(), rows.end(), row) == rows.end()) rows.push_back(row);
    }
    return rows;
}

std::optional<std::uint16_t> ParseSpeedText(const std::string& text, std::uint8_t mediumType) {
    if (text == "Max") return 0;
    const std::size_t x = text.find('X');
    if (x == 0 || x == std::string::npos) return std::nullopt;
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < x; ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
        if (value > 65535) return std::nullopt;
    }
    value *= mediumType < 4 ? 1 : 7;
    if (value > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

int SelectedRowAfterRebuild(int remembered, std::size_t rowCount) {
    if (remembered < 0 || static_cast<std::size_t>(remembered) >= rowCount) return 0;
    return remembered;
}

} // namespace lorvane::app
