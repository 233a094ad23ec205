#include "recorder/media_commands.h"

#include "recorder/disc_medium.h"
#include "recorder/mode_pages.h"
#include "recorder/virtual_drive.h"

namespace lorvane::recorder {

namespace {

template <CommandOutcome (DiscMedium::*Method)(CommandContext&)>
CommandOutcome OnDisc(CommandContext& context) {
    DriveState& state = context.drive;
    if (auto* disc = dynamic_cast<DiscMedium*>(state.medium.get())) disc->Settle(context.now);
    if (const auto notReady = state.NotReadySense(context.now)) return CommandOutcome::Check(*notReady);
    auto* disc = dynamic_cast<DiscMedium*>(state.medium.get());
    if (disc == nullptr) return CommandOutcome::Check(sense::kInvalidOpcode); // a medium of another model
    if (const auto busy = disc->Busy(context.now)) return CommandOutcome::Check(*busy);
    state.mechanics.SetMediumProfile(disc->CurrentProfile());
    return (disc->*Method)(context);
}

} // namespace

void RegisterMediaCommands(CommandTable& table) {
    table.Register(op::kReadDiscInformation, OnDisc<&DiscMedium::ReadDiscInformation>);
    table.Register(op::kReadTrackInformation, OnDisc<&DiscMedium::ReadTrackInformation>);
    table.Register(op::kReadTocPmaAtip, OnDisc<&DiscMedium::ReadTocPmaAtip>);
    table.Register(op::kReadCapacity, OnDisc<&DiscMedium::ReadCapacity>);
    table.Register(op::kReadFormatCapacities, OnDisc<&DiscMedium::ReadFormatCapacities>);
    table.Register(op::kRead10, OnDisc<&DiscMedium::Read10>);
    table.Register(op::kWrite10, OnDisc<&DiscMedium::Write10>);
    table.Register(op::kSynchronizeCache, OnDisc<&DiscMedium::SynchronizeCache>);
    table.Register(op::kCloseTrackSession, OnDisc<&DiscMedium::CloseTrackSession>);
    table.Register(op::kReserveTrack, OnDisc<&DiscMedium::ReserveTrack>);
    table.Register(op::kBlank, OnDisc<&DiscMedium::Blank>);
    table.Register(op::kFormatUnit, OnDisc<&DiscMedium::FormatUnit>);
    table.Register(op::kModeSense10, ModeSense10);
    table.Register(op::kModeSelect10, ModeSelect10);
}

} // namespace lorvane::recorder
