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

int SelectedRowAfterRebuild(int remembered, std::size_t rowCount) {
    if (remembered < 0 || static_cast<std::size_t>(remembered) >= rowCount) return 0;
    return remembered;
}

} // namespace lorvane::app
