#pragma once
// The faults a test has armed on one virtual drive, matched against each command in the order they
// were armed.

#include "recorder/virtual_recorder.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace lorvane::recorder {

class FaultInjector {
public:
    // With an address, only reads and writes (READ/WRITE (10) and (12)) whose blocks include it match:
    // a bad spot on the disc, which the transfers around it pass.
    void Arm(const Fault& fault, std::optional<std::uint32_t> lba = std::nullopt);
    void Clear() { m_armed.clear(); }

    // The fault that hits this command, or nullopt. Every armed fault that matches it (its operation
    // code and, when the fault names one, an address the command reads or writes) and whose skip count
    // is not yet used up counts the command as skipped; the first matching fault with no skips left
    // fires, uses up one of its times and is disarmed when none are left. Faults armed after the
    // firing one do not see the command.
    std::optional<Fault> Next(std::span<const std::uint8_t> cdb);

private:
    struct Armed {
        Fault fault;
        std::optional<std::uint32_t> lba;
    };
    std::vector<Armed> m_armed;
};

} // namespace lorvane::recorder
