#include "app/core/disc_report.h"

#include "app/core/display_format.h"
#include "drive/scsi_device.h"
#include "transport/byte_order.h"

#include <array>
#include <cstdint>
#include <optional>

namespace lorvane::app {

namespace {

constexpr std::uint8_t kTocFormat = 0;
constexpr std::uint8_t kTocLength = 248;
constexpr std::uint8_t kLeadOutTrack = 0xAA;
// READ TOC format 0 with MSF: a 4-byte header, then 8-byte track descriptors whose bytes 5-7 are M S F.
constexpr std::size_t kFirstAddressMinute = 4 + 5;
constexpr std::uint32_t kPregapFrames = 150;
constexpr std::size_t kVolumeSpaceSizeAt = 80; // ECMA-119 8.4.8, little-endian half of the both-byte field

struct TocAddress {
    std::uint8_t minute = 0, second = 0, frame = 0;
};

std::optional<TocAddress> FirstTocAddress(drive::TSCSIDevice& device, std::uint8_t track) {
    std::array<std::uint8_t, kTocLength> toc{};
    if (!device.ReadTOC(kTocFormat, toc, kTocLength, track, true, 0)) return std::nullopt;
    return TocAddress{toc[kFirstAddressMinute], toc[kFirstAddressMinute + 1], toc[kFirstAddressMinute + 2]};
}

} // namespace

DiscReport ReadDiscReport(drive::TSCSIDevice& device) {
    DiscReport report;
    const drive::TDisc disc = device.GetDiscInfo();
    if (!disc.ready) {
        report.lines.push_back(kNoSessionInformation);
        return report;
    }
    report.ready = true;
    (void)device.ReadTrackInformation(static_cast<std::uint8_t>(device.GetLastSession() + 1));

    for (unsigned session = disc.firstSession; session >= 1 && session <= disc.lastSession; ++session) {
        const auto start = FirstTocAddress(device, static_cast<std::uint8_t>(session));
        const std::uint32_t startFrames =
            start ? drive::MSFToFrames(0, start->minute, start->second, start->frame) : 0;
        if (startFrames == 0) continue;
        const std::uint32_t startLba = startFrames - kPregapFrames;
        const std::string startTime = FormatTocTime(start->minute, start->second, start->frame);

        const bool haveTrack = device.ReadTrackInformation(static_cast<std::uint8_t>(session));
        const std::uint32_t trackSize = haveTrack ? device.TrackInfo().trackSize : 0;
        std::array<std::uint8_t, 2048> descriptor{};
        std::optional<std::uint64_t> size;
        if (device.ReadSectors(startLba + 16, 1, descriptor)) {
            const std::uint32_t volumeSpace = transport::ByteReader(descriptor).GetLe32(kVolumeSpaceSizeAt);
            if (volumeSpace != 0) size = trackSize != 0 ? trackSize : volumeSpace;
        }
        report.lines.push_back(SessionLine(session, startTime, size));
        report.sessions.push_back(session);
    }

    const auto leadOut = FirstTocAddress(device, kLeadOutTrack);
    const std::uint32_t freeBlocks = device.GetFreeBlocks();
    report.lines.push_back(
        FreeSpaceLine(leadOut ? std::optional(FormatTocTime(leadOut->minute, leadOut->second, leadOut->frame))
                              : std::nullopt,
                      freeBlocks));

    (void)device.GetDiscInfo();
    report.medium = std::string(drive::DeviceTypeName(device.GetMediumType()));
    report.discSize = FormatMegabytes(std::uint64_t{device.GetDiscCapacity()} * 2048);
    report.usedSpace = FormatMegabytes(std::uint64_t{device.GetNextWritableAddress()} * 2048);
    return report;
}

} // namespace lorvane::app
