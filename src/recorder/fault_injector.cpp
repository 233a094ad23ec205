#include "recorder/fault_injector.h"

namespace lorvane::recorder {

void FaultInjector::Arm(const Fault& fault) {
    if (fault.times == 0) return; // a fault that never fires
    Fault armed = fault;
    if (armed.skip < 0) armed.skip = 0;
    if (armed.times < 0) armed.times = -1;
    m_armed.push_back(std::move(armed));
}

std::optional<Fault> FaultInjector::Next(std::uint8_t opcode) {
    for (auto it = m_armed.begin(); it != m_armed.end(); ++it) {
        if (it->opcode && *it->opcode != opcode) continue;
        if (it->skip > 0) {
            --it->skip;
            continue;
        }
        Fault fired = *it;
        if (it->times > 0 && --it->times == 0) m_armed.erase(it);
        return fired;
    }
    return std::nullopt;
}

} // namespace lorvane::recorder
