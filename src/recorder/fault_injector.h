#pragma once
// The faults a test has armed on one virtual drive, matched against each command in the order they
// were armed.

#include "recorder/virtual_recorder.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace lorvane::recorder {

class FaultInjector {
public:
    void Arm(const Fault& fault);
    void Clear() { m_armed.clear(); }

    // The fault that hits a command with this operation code, or nullopt. Every armed fault whose
    // opcode matches and whose skip count is not yet used up counts the command as skipped; the
    // first matching fault with no skips left fires, uses up one of its times and is disarmed when
    // none are left. Faults armed after the firing one do not see the command.
    std::optional<Fault> Next(std::uint8_t opcode);

private:
    std::vector<Fault> m_armed;
};

} // namespace lorvane::recorder
