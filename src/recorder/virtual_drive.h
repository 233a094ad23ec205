#pragma once
// One emulated MMC drive of the virtual recorder: its identity and address, its tray and medium, its
// command table, the faults a test has armed on it and the record of every command it was sent.

#include "recorder/command.h"
#include "recorder/disc_file.h"
#include "recorder/fault_injector.h"
#include "recorder/mechanics.h"
#include "recorder/medium.h"
#include "recorder/mode_pages.h"
#include "recorder/virtual_recorder.h"
#include "transport/clock.h"
#include "transport/srb.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace lorvane::recorder {

// The state a command handler works on. Only touched with the recorder's lock held.
struct DriveState {
    DriveState(const DriveIdentity& driveIdentity, transport::Clock& driveClock,
               const std::filesystem::path& discFile)
        : identity(driveIdentity), clock(driveClock), disc(discFile), mechanics(driveIdentity.model) {}

    DriveIdentity identity;
    transport::Clock& clock;
    DiscFile disc;
    TrayState tray = TrayState::Closed;
    std::unique_ptr<Medium> medium;         // nullptr: no disc in the tray
    std::vector<std::uint8_t> pendingSense; // of the last failed command; empty when none
    DriveMechanics mechanics;               // speeds and the drive buffer
    WriteParameters writeParameters = DefaultWriteParameters(0); // page 05h as MODE SELECT last set it
    bool reportMediumChange = true;        // a disc change raises 6/28/00 as real drives do
    bool mediumChanged = false;            // that unit attention is still to be reported
    bool modeSenseBlockDescriptor = false; // MODE SENSE reports a block descriptor unless DBD is set

    // Why medium-access commands fail right now: 2/3A/02 tray open, 2/3A/01 tray closed and empty,
    // or the medium's own not-ready reason; nullopt when the unit is ready.
    std::optional<SenseCode> NotReadySense(transport::Clock::TimePoint now) const;
};

class VirtualDrive {
public:
    // Made by VirtualRecorder::AddDrive; recorderLock is the recorder's one lock, which guards this
    // drive's state too. Throws std::system_error when the disc file cannot be opened or created.
    VirtualDrive(std::mutex& recorderLock, transport::Clock& clock, const DriveIdentity& identity,
                 const std::filesystem::path& discFile, std::uint8_t adapter, std::uint8_t target);
    VirtualDrive(const VirtualDrive&) = delete;
    VirtualDrive& operator=(const VirtualDrive&) = delete;

    const DriveIdentity& Identity() const { return m_identity; }
    std::uint8_t Adapter() const { return m_adapter; }
    std::uint8_t Target() const { return m_target; }
    std::uint8_t Lun() const { return 0; }
    const std::filesystem::path& DiscPath() const { return m_discPath; }

    // Faults (see Fault): matched against every execute request in the order they were armed.
    void InjectFault(const Fault& fault);
    // Only for the reads and writes whose blocks include lba: a bad spot on the disc.
    void InjectFaultAt(std::uint32_t lba, const Fault& fault);
    void ClearFaults();
    // True once a Vanish fault has fired: the drive answers "no such device" from then on.
    bool Vanished() const;

    // Every execute request that reached the drive, in order (including faulted ones).
    std::vector<CommandRecord> Commands() const;
    void ClearCommands();

    TrayState Tray() const;
    void OpenTray(); // the medium stays in the tray
    void CloseTray();
    // Puts a disc in the tray and closes it; nullptr empties the tray.
    void LoadMedium(std::unique_ptr<Medium> medium);
    // The same as a disc change the host sees: the write parameters return to their defaults, the
    // buffer is emptied and, when enabled, the next command gets 6/28/00 (unit attention; INQUIRY,
    // REQUEST SENSE, GET CONFIGURATION and GET EVENT STATUS NOTIFICATION are answered regardless).
    // AlreadyLoaded: the disc was in the tray before the host started (the kernel's open has long
    // taken any unit attention), so none is reported.
    enum class Notice { UnitAttention, AlreadyLoaded };
    void ChangeMedium(std::unique_ptr<Medium> medium, Notice notice = Notice::UnitAttention);
    // Whether a disc change is reported as a unit attention (on by default, as real drives do).
    void SetReportMediumChange(bool on);
    // Whether MODE SENSE puts a block descriptor before the pages when DBD is clear (off by default:
    // MMC drives send none).
    void SetModeSenseBlockDescriptor(bool on);
    bool HasMedium() const;
    // Runs f on the loaded medium (nullptr when none) with the recorder's lock held.
    template <class F> auto WithMedium(F&& f) {
        std::scoped_lock lock(m_lock);
        return f(m_state.medium.get());
    }

    // Buffer underruns and the recorded rate since the drive was made or the counters were reset
    // (see RecordingStats); a medium change keeps them.
    RecordingStats Recording() const {
        std::scoped_lock lock(m_lock);
        return m_state.mechanics.Recording();
    }
    std::uint32_t UnderrunCount() const { return Recording().underruns; }
    void ResetRecording() {
        std::scoped_lock lock(m_lock);
        m_state.mechanics.ResetRecording();
    }

    // Adds or replaces the handler of one operation code.
    void RegisterCommand(std::uint8_t opcode, CommandHandler handler);

    // Runs one execute request and fills its status, host status, target status, data and sense.
    // Returns the final SRB status; 00h when a NeverComplete fault leaves the request pending.
    // The caller (the recorder) holds the recorder's lock.
    std::uint8_t ExecuteLocked(transport::SrbExecuteScsi& srb);
    bool VanishedLocked() const { return m_vanished; }

private:
    CommandOutcome Dispatch(CommandContext& context);

    std::mutex& m_lock; // the recorder's lock; guards everything below
    const DriveIdentity m_identity;
    const std::filesystem::path m_discPath;
    const std::uint8_t m_adapter;
    const std::uint8_t m_target;
    DriveState m_state;
    CommandTable m_commands;
    FaultInjector m_faults;
    std::vector<CommandRecord> m_records;
    bool m_vanished = false;
};

} // namespace lorvane::recorder
