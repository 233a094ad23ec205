#pragma once
// The commands about the drive itself rather than the disc: the feature set (GET CONFIGURATION),
// speeds (SET CD SPEED, SET STREAMING), the buffer (READ BUFFER CAPACITY), tray and lock (START STOP
// UNIT, PREVENT/ALLOW MEDIUM REMOVAL), REZERO UNIT, and the preparations before writing that a drive
// accepts or refuses by medium (SEND OPC INFORMATION, SEND DVD STRUCTURE).

#include "recorder/command.h"
#include "recorder/mechanics.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lorvane::recorder {

struct DriveState;

namespace profile {
inline constexpr std::uint16_t kNone = 0x0000;
inline constexpr std::uint16_t kCdRom = 0x0008, kCdR = 0x0009, kCdRw = 0x000A;
inline constexpr std::uint16_t kDvdRom = 0x0010, kDvdR = 0x0011, kDvdRam = 0x0012;
inline constexpr std::uint16_t kDvdRwRestricted = 0x0013, kDvdRwSequential = 0x0014;
inline constexpr std::uint16_t kDvdRDualLayer = 0x0015, kDvdRDualLayerJump = 0x0016;
inline constexpr std::uint16_t kDvdPlusRw = 0x001A, kDvdPlusR = 0x001B;
} // namespace profile

namespace feature {
inline constexpr std::uint16_t kProfileList = 0x0000, kCore = 0x0001, kRemovableMedium = 0x0003;
inline constexpr std::uint16_t kDvdPlusRw = 0x002A, kDvdPlusR = 0x002B, kCdTrackAtOnce = 0x002D;
inline constexpr std::uint16_t kDvdRWrite = 0x002F;
} // namespace feature

// The profile of the disc the drive can see: 0 with an empty or open tray.
std::uint16_t LoadedProfile(const DriveState& state);

// Whether this drive can write the medium of that profile.
bool WritesProfile(const DriveModel& model, std::uint16_t profile);

// The GET CONFIGURATION reply before the allocation length cut: 8-byte header with the current
// profile, then the feature descriptors in feature-number order. requestType 0 = every feature from
// startFeature on, 1 = only the current ones from startFeature on, 2 = exactly startFeature (header
// alone when the drive lacks it).
std::vector<std::uint8_t> ConfigurationData(const DriveModel& model, std::uint16_t currentProfile,
                                            std::uint8_t requestType, std::uint16_t startFeature);

// Registers the handlers above; GET CONFIGURATION only when the model answers it.
void RegisterMechanicsCommands(CommandTable& table, const DriveModel& model);

} // namespace lorvane::recorder
