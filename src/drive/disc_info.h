#pragma once
// What the drive reports about the medium in its tray: the medium index, the disc summary record and
// the reply blocks of READ DISC INFORMATION and READ TRACK INFORMATION (MMC).

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace lorvane::drive {

// The kind of medium in the drive as one small integer.
namespace medium {
inline constexpr std::uint8_t kNone = 0;
inline constexpr std::uint8_t kCdRom = 1;
inline constexpr std::uint8_t kCdR = 2;
inline constexpr std::uint8_t kCdRw = 3;
inline constexpr std::uint8_t kDvdRom = 4;
inline constexpr std::uint8_t kDvdR = 5;
inline constexpr std::uint8_t kDvdRam = 6;
inline constexpr std::uint8_t kDvdRw = 7;
inline constexpr std::uint8_t kDvdRwSequential = 8; // never produced by GetMediumType (folded into 7)
inline constexpr std::uint8_t kDvdPlusRw = 9;
inline constexpr std::uint8_t kDvdPlusR = 10;
inline constexpr std::uint8_t kDdcdRom = 11;
inline constexpr std::uint8_t kDdcdR = 12;
inline constexpr std::uint8_t kDdcdRw = 13;
inline constexpr std::uint8_t kCount = 14;
} // namespace medium

// Short names indexed by the medium index.
inline constexpr std::array<std::string_view, medium::kCount> DeviceTypeNames = {
    "UNKNOWN", "CD-ROM", "CD-R",   "CD-RW", "DVD-ROM",  "DVD-R",  "DVD-RAM",
    "DVD-RW",  "DVD-RW", "DVD+RW", "DVD+R", "DDCD-ROM", "DDCD-R", "DDCD-RW",
};

// The name of a medium index; "UNKNOWN" for an index outside the table.
std::string_view DeviceTypeName(std::uint8_t mediumIndex);

// The medium index last determined by the disc-information, erase and writer code (one per process;
// written by whichever thread determined it, read by the erase thread and the writers).
extern std::atomic<std::uint8_t> LastMediumIndex;

// The medium index of a current profile (MMC GET CONFIGURATION feature header bytes 6-7); 0 for a
// profile this system does not write or read.
std::uint8_t MediumIndexOfProfile(std::uint16_t profile);

// MMC profile names for the disc summary; "???????" for any other profile.
std::string_view ProfileName(std::uint16_t profile);
bool ProfileIsErasable(std::uint16_t profile);

// H x 270000 + M x 4500 + S x 75 + F; no 150-frame offset is subtracted.
constexpr std::uint32_t MSFToFrames(std::uint8_t h, std::uint8_t m, std::uint8_t s, std::uint8_t f) {
    return std::uint32_t{h} * 270000u + std::uint32_t{m} * 4500u + std::uint32_t{s} * 75u + f;
}

// The disc summary record.
struct TDisc {
    bool ready = false;                // the unit answered TEST UNIT READY
    std::uint32_t capacity = 0;        // capacity in blocks
    std::uint32_t blocks = 0;          // blocks reported by READ CAPACITY / FORMAT CAPACITIES / track info
    std::uint32_t blockLength = 0;     // block length in bytes
    std::uint8_t firstSession = 0;     // first complete session number
    std::uint8_t lastSession = 0;      // last complete session number
    std::uint8_t lastSessionState = 0; // READ DISC INFORMATION byte 2 bits 2-3
    std::uint8_t discStatus = 0;       // 0 empty, 1 incomplete (appendable), 2 complete, 3 other
    std::uint16_t profile = 0;         // current profile, 0 when unknown
    std::string mediumName;            // profile name, or "CD-ROM" from the TOC
    bool erasable = false;             // rewritable medium
};

// READ TRACK INFORMATION reply (MMC, 38 bytes asked for), with the fields used here in host order.
struct TrackInformation {
    static constexpr std::size_t kLength = 38;
    std::array<std::uint8_t, kLength> raw{};
    std::uint16_t dataLength = 0;
    std::uint32_t trackStart = 0;
    std::uint32_t nextWritable = 0;
    std::uint32_t freeBlocks = 0;
    std::uint32_t fixedPacketSize = 0;
    std::uint32_t trackSize = 0;
    std::uint32_t lastRecorded = 0;
};

// Track number FFh of READ TRACK INFORMATION: the invisible (incomplete) track, where the next write goes.
inline constexpr std::uint8_t kInvisibleTrack = 0xFF;

inline constexpr std::size_t kDiscInformationLength = 56;
inline constexpr std::size_t kConfigurationLength = 114;
inline constexpr std::size_t kAtipLength = 26;
inline constexpr std::size_t kRequestSenseLength = 40;

} // namespace lorvane::drive
