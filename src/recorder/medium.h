#pragma once
// The disc in a virtual drive's tray. A medium model (CD-R, CD-RW, DVD±R/RW, DVD-RAM...) derives
// from Medium: it says whether the unit is ready (long operations such as a blank run on the drive's
// clock) and may answer commands itself before the drive's own command table is asked.

#include "recorder/command.h"
#include "recorder/scsi_codes.h"
#include "transport/clock.h"

#include <cstdint>
#include <optional>

namespace lorvane::recorder {

enum class TrayState { Closed, Open };

class Medium {
public:
    virtual ~Medium() = default;

    // The MMC current profile (GET CONFIGURATION bytes 6-7): 0008h CD-ROM, 0009h CD-R, 0011h DVD-R...
    virtual std::uint16_t CurrentProfile() const = 0;

    // Why the unit cannot take medium-access commands at this moment (e.g. 2/04/07 with progress while
    // a blank runs); nullopt when ready.
    virtual std::optional<SenseCode> NotReady(transport::Clock::TimePoint /*now*/) const {
        return std::nullopt;
    }

    // A command this medium answers itself; nullopt leaves it to the drive's command table.
    virtual std::optional<CommandOutcome> Execute(CommandContext& /*context*/) { return std::nullopt; }
};

} // namespace lorvane::recorder
