#include "recorder/fault_injector.h"

namespace lorvane::recorder {

namespace {

// The blocks a READ or WRITE (10) or (12) addresses (MMC): the LBA in bytes 2-5, the count in bytes 7-8
// or 6-9. nullopt for any other command.
std::optional<std::pair<std::uint64_t, std::uint64_t>> AddressedBlocks(std::span<const std::uint8_t> cdb) {
    const auto be = [&](std::size_t at, std::size_t bytes) {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < bytes; ++i) value = value << 8 | cdb[at + i];
        return value;
    };
    switch (cdb.empty() ? 0 : cdb[0]) {
    case 0x28:
    case 0x2A:
        if (cdb.size() < 10) return std::nullopt;
        return std::pair{be(2, 4), be(7, 2)};
    case 0xA8:
    case 0xAA:
        if (cdb.size() < 12) return std::nullopt;
        return std::pair{be(2, 4), be(6, 4)};
    default: return std::nullopt;
    }
}

bool Matches(const Fault& fault, std::optional<std::uint32_t> lba, std::span<const std::uint8_t> cdb) {
    if (fault.opcode && (cdb.empty() || *fault.opcode != cdb[0])) return false;
    if (!lba) return true;
    const auto blocks = AddressedBlocks(cdb);
    return blocks && *lba >= blocks->first && *lba < blocks->first + blocks->second;
}

} // namespace

void FaultInjector::Arm(const Fault& fault, std::optional<std::uint32_t> lba) {
    if (fault.times == 0) return; // a fault that never fires
    Fault armed = fault;
    if (armed.skip < 0) armed.skip = 0;
    if (armed.times < 0) armed.times = -1;
    m_armed.push_back({std::move(armed), lba});
}

std::optional<Fault> FaultInjector::Next(std::span<const std::uint8_t> cdb) {
    for (auto it = m_armed.begin(); it != m_armed.end(); ++it) {
        if (!Matches(it->fault, it->lba, cdb)) continue;
        Fault& armed = it->fault;
        if (armed.skip > 0) {
            --armed.skip;
            continue;
        }
        Fault fired = armed;
        if (armed.times > 0 && --armed.times == 0) m_armed.erase(it);
        return fired;
    }
    return std::nullopt;
}

} // namespace lorvane::recorder
