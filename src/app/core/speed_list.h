#pragma once
// The write-speed list of the main window: "Max", then each speed the drive really takes, from its
// top speed down, each once.

#include <string>
#include <vector>

namespace lorvane::drive {
class TSCSIDevice;
}

namespace lorvane::app {

// Asks the drive for every speed from its maximum down to 1 and lists the rows of the speeds it took.
// The drive is left set to the last speed asked for (1).
std::vector<std::string> BuildSpeedRows(drive::TSCSIDevice& device);

// The row to select after a rebuild: the remembered one when it is still a row, else row 0.
int SelectedRowAfterRebuild(int remembered, std::size_t rowCount);

} // namespace lorvane::app
