#pragma once
// A disc of any kind the virtual recorder takes (pressed CD-ROM and DVD-ROM, CD-R, CD-RW, DVD-R,
// DVD-RW, DVD+R, DVD+RW, DVD-RAM): its recorded state, the long operations it is busy with on the
// drive's clock, and its answers to the disc commands. The kind decides which rules apply: write-once
// media append at the next writable address in tracks and sessions, overwritable media take aligned
// writes anywhere, pressed media only read.

#include "recorder/command.h"
#include "recorder/disc_state.h"
#include "recorder/medium.h"
#include "recorder/mode_pages.h"
#include "recorder/scsi_codes.h"

#include <chrono>
#include <filesystem>
#include <optional>

namespace lorvane::recorder {

struct DriveModel;

// Conditions only disc commands report (SPC-3 / MMC-5 additional sense codes).
namespace mediasense {
inline constexpr SenseCode kUnrecoveredReadError = MakeSense(sensekey::kMediumError, 0x11, 0x00);
inline constexpr SenseCode kSavingNotSupported = MakeSense(sensekey::kIllegalRequest, 0x39, 0x00);
inline constexpr SenseCode kCannotReadMedium = MakeSense(sensekey::kIllegalRequest, 0x30, 0x02);
inline constexpr SenseCode kCannotWriteMedium = MakeSense(sensekey::kIllegalRequest, 0x30, 0x05);
inline constexpr SenseCode kCannotFormatMedium = MakeSense(sensekey::kIllegalRequest, 0x30, 0x06);
inline constexpr SenseCode kIllegalModeForTrack = MakeSense(sensekey::kIllegalRequest, 0x64, 0x00);
inline constexpr SenseCode kIncompleteTrackInSession = MakeSense(sensekey::kIllegalRequest, 0x72, 0x03);
inline constexpr SenseCode kEmptyReservedTrack = MakeSense(sensekey::kIllegalRequest, 0x72, 0x04);
inline constexpr SenseCode kWriteProtected = MakeSense(sensekey::kDataProtect, 0x27, 0x00);
} // namespace mediasense

class DiscMedium final : public Medium {
public:
    // statePath: where the state is saved after every change that matters (empty for a pressed disc,
    // which is never saved).
    DiscMedium(DiscState state, std::filesystem::path statePath);
    ~DiscMedium() override; // saves what the last writes changed
    DiscMedium(const DiscMedium&) = delete;
    DiscMedium& operator=(const DiscMedium&) = delete;

    std::uint16_t CurrentProfile() const override { return ProfileOf(m_state); }
    // Blank and format runs keep TEST UNIT READY failing; closing and flushing do not (see Busy).
    std::optional<SenseCode> NotReady(transport::Clock::TimePoint now) const override;
    // Why a disc command cannot run right now, for every long operation; nullopt when it can.
    std::optional<SenseCode> Busy(transport::Clock::TimePoint now) const;

    const DiscState& State() const { return m_state; }
    void SetWriteProtected(bool on) { m_state.writeProtected = on; }
    // Writes the state file; false when it cannot be written.
    [[nodiscard]] bool Save();

    // nullopt when the write parameters page suits this medium, else the sense to refuse it with.
    std::optional<SenseCode> CheckWriteParameters(const WriteParameters& page, const DriveModel& model) const;
    // Blocks a MODE SENSE block descriptor reports.
    std::uint32_t CapacityBlocks() const;

    // The disc commands; the caller has checked that the drive is ready and the disc not busy.
    CommandOutcome ReadDiscInformation(CommandContext& context);
    CommandOutcome ReadTrackInformation(CommandContext& context);
    CommandOutcome ReadTocPmaAtip(CommandContext& context);
    CommandOutcome ReadCapacity(CommandContext& context);
    CommandOutcome ReadFormatCapacities(CommandContext& context);
    CommandOutcome Read10(CommandContext& context);
    CommandOutcome Write10(CommandContext& context);
    CommandOutcome SynchronizeCache(CommandContext& context);
    CommandOutcome CloseTrackSession(CommandContext& context);
    CommandOutcome ReserveTrack(CommandContext& context);
    CommandOutcome Blank(CommandContext& context);
    CommandOutcome FormatUnit(CommandContext& context);

    // Brings time-driven state up to date (a background format that has run its course).
    void Settle(transport::Clock::TimePoint now);

private:
    struct LongOperation {
        transport::Clock::TimePoint from{};
        transport::Clock::TimePoint until{};
        SenseCode code;
        bool blocksTestUnitReady = false;
    };
    std::optional<SenseCode> OperationSense(transport::Clock::TimePoint now, bool forTestUnitReady) const;
    void StartOperation(CommandContext& context, std::chrono::milliseconds duration, const SenseCode& code,
                        bool blocksTestUnitReady, bool immediate);
    bool Simulating(const CommandContext& context) const;
    std::optional<SenseCode> CloseTrack(std::size_t index, std::uint32_t& blocksWritten);
    std::optional<SenseCode> CloseOpenSession(bool finalize, std::uint32_t& blocksWritten);
    CommandOutcome Persisted(CommandOutcome outcome);

    DiscState m_state;
    std::filesystem::path m_statePath;
    std::optional<LongOperation> m_operation;
    transport::Clock::TimePoint m_backgroundUntil{}; // DVD+RW background format end
    std::uint32_t m_simulatedBlocks = 0;             // taken by a test write since its start
    bool m_dirty = false;                            // written since the last save
};

} // namespace lorvane::recorder
