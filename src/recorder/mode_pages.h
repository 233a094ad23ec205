#pragma once
// Mode page 05h (Write Parameters) as a drive keeps it, and the MODE SENSE (10) / MODE SELECT (10)
// commands that report it together with page 2Ah.

#include "recorder/command.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace lorvane::recorder {

// MMC-5 7.5.4 Write Parameters mode page; offsets count from the page code.
namespace writepage {
inline constexpr std::size_t kPageCode = 0, kPageLength = 1, kWriteFlags = 2, kTrackFlags = 3,
                             kDataBlockType = 4, kLinkSize = 5, kHostApplication = 7, kSessionFormat = 8,
                             kPacketSize = 10, kAudioPause = 14, kMcn = 16, kIsrc = 32, kSubHeader = 48;
inline constexpr std::size_t kLength = 52; // page code, page length 32h and 50 parameter bytes
inline constexpr std::uint8_t kCode = 0x05;
inline constexpr std::uint8_t kBufe = 0x40, kLinkSizeValid = 0x20, kTestWrite = 0x10, kWriteTypeMask = 0x0F;
inline constexpr std::uint8_t kFixedPacket = 0x20, kTrackModeMask = 0x0F, kDataTrack = 0x04;
} // namespace writepage

enum class WriteType : std::uint8_t {
    Packet = 0,
    TrackAtOnce = 1,
    SessionAtOnce = 2,
    Raw = 3,
    LayerJump = 4
};
enum class MultiSession : std::uint8_t {
    Finalize = 0,
    NoNextSession = 1,
    Reserved = 2,
    NextSessionAllowed = 3
};

struct WriteParameters {
    std::array<std::uint8_t, writepage::kLength> bytes{};

    WriteType Type() const {
        return static_cast<WriteType>(bytes[writepage::kWriteFlags] & writepage::kWriteTypeMask);
    }
    bool TestWrite() const { return (bytes[writepage::kWriteFlags] & writepage::kTestWrite) != 0; }
    bool LinkSizeValid() const { return (bytes[writepage::kWriteFlags] & writepage::kLinkSizeValid) != 0; }
    MultiSession Multi() const { return static_cast<MultiSession>(bytes[writepage::kTrackFlags] >> 6); }
    bool FixedPacket() const { return (bytes[writepage::kTrackFlags] & writepage::kFixedPacket) != 0; }
    std::uint8_t TrackMode() const { return bytes[writepage::kTrackFlags] & writepage::kTrackModeMask; }
    std::uint8_t DataBlockType() const { return bytes[writepage::kDataBlockType] & 0x0F; }
    std::uint8_t LinkSize() const { return bytes[writepage::kLinkSize]; }
    std::uint32_t PacketSize() const;
};

// The page a drive starts with for a medium of this profile (0000h: no medium): track-at-once mode 1
// data on CD, incremental recording with the 16-block link on DVD-R/-RW, plain data elsewhere.
WriteParameters DefaultWriteParameters(std::uint16_t profile);
// The bits a host may change (MODE SENSE page control 01b).
WriteParameters ChangeableWriteParameters();

// MODE SENSE (10) 5Ah: pages 05h, 2Ah, the vendor page 30h of drives with underrun protection and 3Fh
// (all), current/changeable/default values, saved values refused with 5/39/00, an 8-byte block
// descriptor when DBD is clear and the drive reports one.
CommandOutcome ModeSense10(CommandContext& context);
// MODE SELECT (10) 55h: takes page 05h after checking it against the loaded medium (5/26/00 for a
// bad parameter list); other pages are not changeable.
CommandOutcome ModeSelect10(CommandContext& context);

} // namespace lorvane::recorder
