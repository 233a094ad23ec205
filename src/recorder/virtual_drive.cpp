#include "recorder/virtual_drive.h"

#include "recorder/basic_commands.h"
#include "recorder/mechanics_commands.h"
#include "recorder/media_commands.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace lorvane::recorder {

namespace ts = transport::srbstatus;

std::optional<SenseCode> DriveState::NotReadySense(transport::Clock::TimePoint now) const {
    if (tray == TrayState::Open) return sense::kNoMediumTrayOpen;
    if (!medium) return sense::kNoMediumTrayClosed;
    return medium->NotReady(now);
}

VirtualDrive::VirtualDrive(std::mutex& recorderLock, transport::Clock& clock, const DriveIdentity& identity,
                           const std::filesystem::path& discFile, std::uint8_t adapter, std::uint8_t target)
    : m_lock(recorderLock), m_identity(identity), m_discPath(discFile), m_adapter(adapter), m_target(target),
      m_state(identity, clock, discFile) {
    RegisterBasicCommands(m_commands);
    RegisterMechanicsCommands(m_commands, identity.model);
    RegisterMediaCommands(m_commands);
}

void VirtualDrive::InjectFault(const Fault& fault) {
    std::scoped_lock lock(m_lock);
    m_faults.Arm(fault);
}

void VirtualDrive::InjectFaultAt(std::uint32_t lba, const Fault& fault) {
    std::scoped_lock lock(m_lock);
    m_faults.Arm(fault, lba);
}

void VirtualDrive::ClearFaults() {
    std::scoped_lock lock(m_lock);
    m_faults.Clear();
}

bool VirtualDrive::Vanished() const {
    std::scoped_lock lock(m_lock);
    return m_vanished;
}

std::vector<CommandRecord> VirtualDrive::Commands() const {
    std::scoped_lock lock(m_lock);
    return m_records;
}

void VirtualDrive::ClearCommands() {
    std::scoped_lock lock(m_lock);
    m_records.clear();
}

TrayState VirtualDrive::Tray() const {
    std::scoped_lock lock(m_lock);
    return m_state.tray;
}

void VirtualDrive::OpenTray() {
    std::scoped_lock lock(m_lock);
    m_state.tray = TrayState::Open;
}

void VirtualDrive::CloseTray() {
    std::scoped_lock lock(m_lock);
    m_state.tray = TrayState::Closed;
}

void VirtualDrive::LoadMedium(std::unique_ptr<Medium> medium) {
    std::unique_ptr<Medium> old;
    {
        std::scoped_lock lock(m_lock);
        old = std::exchange(m_state.medium, std::move(medium));
        m_state.tray = TrayState::Closed;
    }
    // the old medium is destroyed outside the lock
}

void VirtualDrive::ChangeMedium(std::unique_ptr<Medium> medium, Notice notice) {
    std::unique_ptr<Medium> old;
    {
        std::scoped_lock lock(m_lock);
        old = std::exchange(m_state.medium, std::move(medium));
        m_state.tray = TrayState::Closed;
        const std::uint16_t profile = m_state.medium ? m_state.medium->CurrentProfile() : 0;
        m_state.mechanics.SetMediumProfile(profile);
        m_state.mechanics.DiscardBuffer(m_state.clock.Now());
        m_state.writeParameters = DefaultWriteParameters(profile);
        m_state.mediumChanged =
            notice == Notice::UnitAttention && m_state.reportMediumChange && m_state.medium != nullptr;
    }
}

void VirtualDrive::SetReportMediumChange(bool on) {
    std::scoped_lock lock(m_lock);
    m_state.reportMediumChange = on;
    if (!on) m_state.mediumChanged = false;
}

void VirtualDrive::SetModeSenseBlockDescriptor(bool on) {
    std::scoped_lock lock(m_lock);
    m_state.modeSenseBlockDescriptor = on;
}

bool VirtualDrive::HasMedium() const {
    std::scoped_lock lock(m_lock);
    return m_state.medium != nullptr;
}

void VirtualDrive::RegisterCommand(std::uint8_t opcode, CommandHandler handler) {
    std::scoped_lock lock(m_lock);
    m_commands.Register(opcode, std::move(handler));
}

CommandOutcome VirtualDrive::Dispatch(CommandContext& context) {
    if (m_state.medium) {
        if (auto outcome = m_state.medium->Execute(context)) return std::move(*outcome);
    }
    if (const CommandHandler* handler = m_commands.Find(context.cdb[0])) return (*handler)(context);
    return CommandOutcome::Check(sense::kInvalidOpcode);
}

std::uint8_t VirtualDrive::ExecuteLocked(transport::SrbExecuteScsi& srb) {
    if (m_vanished) return srb.header.status = ts::kNoDevice;

    // A request the drive cannot even read: no CDB, a CDB longer than the request block holds, a
    // data phase without a buffer, or both directions at once.
    const bool dataIn = (srb.header.flags & transport::srbflag::kDataIn) != 0;
    const bool dataOut = (srb.header.flags & transport::srbflag::kDataOut) != 0;
    if (srb.cdbLength == 0 || srb.cdbLength > transport::kCdbAreaLength || (dataIn && dataOut) ||
        ((dataIn || dataOut) && srb.dataLength != 0 && srb.dataBuffer == nullptr))
        return srb.header.status = ts::kInvalidSrb;

    const std::span<const std::uint8_t> cdb(srb.cdb, srb.cdbLength);
    const std::uint8_t opcode = cdb[0];
    std::optional<Fault> fault = m_faults.Next(cdb);
    if (fault && fault->kind == FaultKind::Vanish) {
        m_vanished = true;
        return srb.header.status = ts::kNoDevice;
    }
    m_records.push_back(CommandRecord{.cdb = std::vector<std::uint8_t>(cdb.begin(), cdb.end()),
                                      .flags = srb.header.flags,
                                      .dataLength = srb.dataLength});

    if (fault && fault->kind == FaultKind::OpenTray) {
        // The command meets the open tray like any other: medium access is refused from now on.
        m_state.tray = TrayState::Open;
        fault.reset();
    }

    CommandOutcome outcome;
    if (fault) {
        switch (fault->kind) {
        case FaultKind::Busy: outcome = CommandOutcome::Busy(); break;
        case FaultKind::CheckCondition: outcome = CommandOutcome::CheckRaw(fault->sense); break;
        case FaultKind::NeverComplete: return srb.header.status = ts::kPending;
        case FaultKind::Vanish:
        case FaultKind::OpenTray: break; // handled above
        }
    } else {
        // SPC: sense data is kept only until the next command, which is REQUEST SENSE or clears it.
        if (opcode != op::kRequestSense) m_state.pendingSense.clear();
        if (m_state.mediumChanged && opcode != op::kInquiry && opcode != op::kGetConfiguration &&
            opcode != op::kGetEventStatusNotification) {
            // SPC-3 5.9.7: the unit attention is reported once, by this command or by REQUEST SENSE.
            m_state.mediumChanged = false;
            if (opcode == op::kRequestSense)
                m_state.pendingSense = FixedSenseBytes(sense::kMediumChanged);
            else
                outcome = CommandOutcome::Check(sense::kMediumChanged);
        }
        CommandContext context{
            .cdb = cdb,
            .dataOut = dataOut ? std::span<const std::uint8_t>(srb.dataBuffer, srb.dataLength)
                               : std::span<const std::uint8_t>(),
            .dataInRoom = dataIn ? srb.dataLength : 0,
            .drive = m_state,
            .now = m_state.clock.Now(),
        };
        if (outcome.status == CommandOutcome::Status::Good) outcome = Dispatch(context);
    }

    srb.hostStatus = transport::hoststatus::kOk;
    switch (outcome.status) {
    case CommandOutcome::Status::Good: {
        srb.targetStatus = transport::targetstatus::kGood;
        if (dataIn) {
            const std::size_t count = std::min<std::size_t>(outcome.data.size(), srb.dataLength);
            if (count != 0) std::memcpy(srb.dataBuffer, outcome.data.data(), count);
        }
        return srb.header.status = ts::kComplete;
    }
    case CommandOutcome::Status::CheckCondition: {
        srb.targetStatus = transport::targetstatus::kCheckCondition;
        // As an ASPI manager does with SRB_SenseLen: the first senseLength bytes (at most the area).
        const std::size_t room = std::min<std::size_t>(srb.senseLength, transport::kSenseAreaLength);
        std::memset(srb.senseArea, 0, room);
        const std::size_t count = std::min(room, outcome.sense.size());
        if (count != 0) std::memcpy(srb.senseArea, outcome.sense.data(), count);
        m_state.pendingSense = std::move(outcome.sense);
        return srb.header.status = ts::kError;
    }
    case CommandOutcome::Status::Busy: srb.targetStatus = transport::targetstatus::kBusy; break;
    }
    return srb.header.status = ts::kError;
}

} // namespace lorvane::recorder
