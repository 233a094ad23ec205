#pragma once
// What is recorded on a virtual disc apart from its sectors: the kind of medium, its sessions and
// tracks, whether it is finalized, formatted or blanked, and the small versioned text form in which
// it is kept beside the disc file. Also the geometry every medium kind follows (capacities, the
// blocks a session closure costs, the run-out of a track-at-once CD track).

#include "recorder/media.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lorvane::recorder {

// One track. A closed track occupies start .. start + size - 1; its recorded blocks come first.
struct TrackRecord {
    std::uint32_t start = 0;    // first user-data block
    std::uint32_t size = 0;     // closed or reserved: the blocks it occupies (CD TAO: with the run-out)
    std::uint32_t recorded = 0; // user-data blocks written from start on
    std::uint16_t session = 1;
    bool closed = false;
    bool reserved = false;   // RESERVE TRACK fixed its size
    bool discAtOnce = false; // the single reserved track of a DVD-R/-RW disc-at-once recording

    bool operator==(const TrackRecord&) const = default;
};

struct SessionRecord {
    std::uint32_t start = 0; // the next writable address the session began with
    bool closed = false;

    bool operator==(const SessionRecord&) const = default;
};

// DVD-RW recording modes: sequential (fully blanked or new), sequential after a minimal blank (only
// disc-at-once can be written), restricted overwrite (formatted).
enum class RwMode : std::uint8_t { Sequential, MinimallyBlanked, RestrictedOverwrite };

// DVD+RW background format status as READ DISC INFORMATION byte 7 bits 0-1 reports it.
enum class BackgroundFormat : std::uint8_t { None = 0, Suspended = 1, Running = 2, Complete = 3 };

struct DiscState {
    MediumKind kind = MediumKind::None;
    bool writeProtected = false;
    bool finalized = false;
    // Sequential media (CD-R/RW, DVD-R/RW sequential, DVD+R): the last session may be open; when the
    // disc is not finalized the open session is always the last one. Pressed discs: one closed
    // session with one closed track.
    std::vector<SessionRecord> sessions;
    std::vector<TrackRecord> tracks;
    // Overwritable media (DVD+RW, DVD-RAM, DVD-RW in restricted overwrite).
    bool formatted = false;
    std::uint32_t formattedBlocks = 0;
    std::uint32_t recordedEnd = 0; // one past the highest block ever written
    RwMode rwMode = RwMode::Sequential;
    BackgroundFormat background = BackgroundFormat::None;

    bool operator==(const DiscState&) const = default;
};

namespace geometry {
// Multi-session CD (cdrkit README.multi, libburn cookbook): the first session's lead-out is 1:30,
// every later one 0:30; a lead-in is 1:00 and the first track of a session has a 0:02 pre-gap.
inline constexpr std::uint32_t kFirstLeadOut = 6750, kLaterLeadOut = 2250, kLeadIn = 4500, kPreGap = 150;
inline constexpr std::uint32_t kFirstSessionOverhead = kFirstLeadOut + kLeadIn + kPreGap; // 11400
inline constexpr std::uint32_t kLaterSessionOverhead = kLaterLeadOut + kLeadIn + kPreGap; // 6900
inline constexpr std::uint32_t kTaoRunOut = 2; // counted in the track size, unreadable
inline constexpr std::uint32_t kMaxCdTracks = 99;
// DVD sequential media write whole ECC blocks of 16 sectors (32 KiB).
inline constexpr std::uint32_t kEccBlock = 16;
// What closing a DVD session costs before the next one can start (border-out and border-in on
// DVD-R/-RW, lead-out and intro on DVD+R). Real figures depend on the disc and the radius; these
// are plausible round values.
inline constexpr std::uint32_t kDvdMinusBorder = 32768 + 2048; // 68 MiB
inline constexpr std::uint32_t kDvdPlusSessionGap = 1024 * 16; // 32 MiB
inline constexpr std::uint32_t kDvdPlusMaxSessions = 153;
// ATIP of an 80-minute CD-R/RW: lead-in start 97:34:23 (LBA -11077), last possible lead-out start
// 79:59:74 (LBA 359849).
inline constexpr std::int32_t kAtipLeadInLba = -11077;
inline constexpr std::uint32_t kAtipLeadOutLba = 359849;
inline constexpr std::uint32_t kDvdMinusRCapacity = 2298496;
inline constexpr std::uint32_t kDvdRwFormattedCapacity = 2297888;
inline constexpr std::uint32_t kDvdPlusCapacity = 2295104;
inline constexpr std::uint32_t kDvdRamDefaultCapacity = 2236704;
inline constexpr std::uint32_t kDvdRamMaximumCapacity = 2295072;
// Largest pressed discs: a 99-minute CD, a dual-layer DVD.
inline constexpr std::uint32_t kLargestCdRom = 99 * 60 * 75;
inline constexpr std::uint32_t kLargestDvdRom = 4173824;
} // namespace geometry

bool IsCd(MediumKind kind);
bool IsPressed(MediumKind kind);
// MMC current profile of the medium in this state (DVD-RW: 0013h restricted overwrite, else 0014h).
std::uint16_t ProfileOf(const DiscState& state);
// Highest block + 1 a recording can reach (CD: the ATIP lead-out; DVD: the user area).
std::uint32_t CapacityLimit(const DiscState& state);
// Written from any aligned address instead of at a next writable address.
bool IsOverwritable(const DiscState& state);
bool IsErasable(MediumKind kind); // BLANK or re-format empties it

DiscState BlankDisc(MediumKind kind);
DiscState PressedDisc(MediumKind kind, std::uint32_t blocks);

// The track the next write goes to on a sequential medium that is not finalized: an open track
// with writes in it, a reserved track, or (track == nullopt) a new invisible track starting at
// `start`. nullopt when nothing can be appended.
struct WritableTrack {
    std::optional<std::size_t> track; // index into tracks
    std::uint32_t start = 0;
    std::uint32_t nextWritable = 0;
    std::uint16_t session = 1;
};
std::optional<WritableTrack> NextWritable(const DiscState& state);

// Start of the lead-out of the last closed session (one past its last track); 0 when none.
std::uint32_t LastLeadOut(const DiscState& state);
std::size_t ClosedSessions(const DiscState& state);

// Text form kept beside the disc file. Parse rejects anything it does not fully understand (an
// unknown version, a field out of range, tracks that overlap or run past the disc) with a reason.
std::string SaveDiscState(const DiscState& state);
struct ParsedDiscState {
    std::optional<DiscState> state;
    std::string error;
};
ParsedDiscState ParseDiscState(std::string_view text);

} // namespace lorvane::recorder
