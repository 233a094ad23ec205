#pragma once
// How the virtual recorder answers one SCSI command: a handler per operation code, registered in the
// drive's command table, that reads the CDB and the drive's state and returns an outcome. New
// commands (and whole media models) are added by registering handlers; the request dispatcher never
// changes.

#include "recorder/scsi_codes.h"
#include "transport/clock.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace lorvane::recorder {

struct DriveState; // recorder/virtual_drive.h

// What a handler sees of one request.
struct CommandContext {
    std::span<const std::uint8_t> cdb;     // exactly the CDB length the host gave
    std::span<const std::uint8_t> dataOut; // the data phase from the host (flag 10h), else empty
    std::uint32_t dataInRoom = 0;          // bytes the host can take (flag 08h), else 0
    DriveState& drive;
    transport::Clock::TimePoint now;
};

// A handler's answer. The dispatcher copies at most the host's data length of `data` back, so a
// handler can never write past the request's buffer; handlers trim `data` to the CDB's allocation
// length themselves.
struct CommandOutcome {
    enum class Status { Good, CheckCondition, Busy };
    Status status = Status::Good;
    std::vector<std::uint8_t> data;  // data for the host (Good only)
    std::vector<std::uint8_t> sense; // CheckCondition: the sense bytes

    static CommandOutcome Good(std::vector<std::uint8_t> reply = {}) {
        return {Status::Good, std::move(reply), {}};
    }
    static CommandOutcome Check(const SenseCode& code) {
        return {Status::CheckCondition, {}, FixedSenseBytes(code)};
    }
    static CommandOutcome CheckRaw(std::vector<std::uint8_t> senseBytes) {
        return {Status::CheckCondition, {}, std::move(senseBytes)};
    }
    static CommandOutcome Busy() { return {Status::Busy, {}, {}}; }
};

using CommandHandler = std::function<CommandOutcome(CommandContext&)>;

// The operation-code table of one drive.
class CommandTable {
public:
    void Register(std::uint8_t opcode, CommandHandler handler) { m_handlers[opcode] = std::move(handler); }
    void Unregister(std::uint8_t opcode) { m_handlers[opcode] = nullptr; }
    // nullptr when nothing answers the operation code.
    const CommandHandler* Find(std::uint8_t opcode) const {
        const CommandHandler& handler = m_handlers[opcode];
        return handler ? &handler : nullptr;
    }

private:
    std::array<CommandHandler, 256> m_handlers{};
};

// Trims a reply to the CDB's allocation length.
inline std::vector<std::uint8_t> Trimmed(std::vector<std::uint8_t> reply, std::size_t allocationLength) {
    if (reply.size() > allocationLength) reply.resize(allocationLength);
    return reply;
}

} // namespace lorvane::recorder
