#pragma once
// The write-speed list of the main window: "Max", then each speed the drive really takes, from its
// top speed down, each once.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lorvane::drive {
class TSCSIDevice;
}

namespace lorvane::app {

// Asks the drive for every speed from its maximum down to 1 and lists the rows of the speeds it took.
// The drive is left set to the last speed asked for (1).
std::vector<std::string> BuildSpeedRows(drive::TSCSIDevice& device);

// The WriteSpeed value (in CD speed units) of a speed row: 0 for "Max"; else the number before the
// first "X", times 7 on DVD media (medium type 4 and up). nullopt when the text does not start with a
// number followed by "X", or the value exceeds 16 bits.
std::optional<std::uint16_t> ParseSpeedText(const std::string& text, std::uint8_t mediumType);

// The row to select after a rebuild: the remembered one when it is still a row, else row 0.
int SelectedRowAfterRebuild(int remembered, std::size_t rowCount);

} // namespace lorvane::app
