#include "recorder/mode_pages.h"

#include "recorder/disc_medium.h"
#include "recorder/mechanics.h"
#include "recorder/mechanics_commands.h"
#include "recorder/virtual_drive.h"
#include "transport/byte_order.h"

#include <algorithm>
#include <iterator>

namespace lorvane::recorder {

namespace {

using transport::ByteReader;
using transport::ByteWriter;

// SPC-3 7.4.3 mode parameter header (10) and the short block descriptor (7.4.4).
namespace modeheader {
inline constexpr std::size_t kDataLength = 0, kMediumType = 2, kDeviceSpecific = 3,
                             kBlockDescriptorLength = 6;
inline constexpr std::size_t kLength = 8, kBlockDescriptor = 8;
} // namespace modeheader
namespace blockdescriptor {
inline constexpr std::size_t kDensity = 0, kBlocks = 1, kBlockLength = 5;
inline constexpr std::size_t kLength = 8;
} // namespace blockdescriptor

constexpr std::uint8_t kAllPages = 0x3F;
// The vendor page through which drives with buffer underrun protection report it (byte 2 bit 0: on).
// Its layout is this recorder's own; hosts only look for the page code.
constexpr std::uint8_t kUnderrunPage = 0x30;
constexpr std::size_t kUnderrunPageLength = 4;
constexpr std::uint8_t kPageCodeMask = 0x3F;

std::vector<std::uint8_t> WritePage(const DriveState& state, PageControl control) {
    const std::uint16_t profile = state.medium ? state.medium->CurrentProfile() : 0;
    WriteParameters page = control == PageControl::Current      ? state.writeParameters
                           : control == PageControl::Changeable ? ChangeableWriteParameters()
                                                                : DefaultWriteParameters(profile);
    return {page.bytes.begin(), page.bytes.end()};
}

} // namespace

std::uint32_t WriteParameters::PacketSize() const {
    return ByteReader(bytes).GetBe32(writepage::kPacketSize);
}

WriteParameters DefaultWriteParameters(std::uint16_t profile) {
    using namespace writepage;
    WriteParameters page;
    ByteWriter w(page.bytes);
    w.PutU8(kPageCode, kCode);
    w.PutU8(kPageLength, static_cast<std::uint8_t>(kLength - 2));
    w.PutU8(kDataBlockType, 8); // mode 1, 2048 bytes of user data
    w.PutBe16(kAudioPause, 150);
    if (profile == profile::kDvdR || profile == profile::kDvdRwSequential) {
        // Incremental recording: LS_V, link size 16, fixed packets of 16 blocks, track mode 5.
        w.PutU8(kWriteFlags, kLinkSizeValid | static_cast<std::uint8_t>(WriteType::Packet));
        w.PutU8(kTrackFlags, kFixedPacket | 0x05);
        w.PutU8(kLinkSize, 16);
        w.PutBe32(kPacketSize, 16);
    } else {
        w.PutU8(kWriteFlags, static_cast<std::uint8_t>(WriteType::TrackAtOnce));
        w.PutU8(kTrackFlags, 0x04); // data, recorded uninterrupted; finalize
    }
    return page;
}

WriteParameters ChangeableWriteParameters() {
    using namespace writepage;
    WriteParameters page;
    std::fill(page.bytes.begin(), page.bytes.end(), std::uint8_t{0xFF});
    page.bytes[kPageCode] = kCode;
    page.bytes[kPageLength] = static_cast<std::uint8_t>(kLength - 2);
    page.bytes[kWriteFlags] = 0x7F; // BUFE, LS_V, Test Write, Write Type
    page.bytes[kDataBlockType] = 0x0F;
    page.bytes[6] = 0x00; // reserved
    page.bytes[kHostApplication] = 0x3F;
    page.bytes[9] = 0x00; // reserved
    return page;
}

CommandOutcome ModeSense10(CommandContext& context) {
    constexpr std::uint8_t kDisableBlockDescriptors = 0x08;
    const ByteReader cdb(context.cdb);
    const bool noDescriptors = (cdb.GetU8(1) & kDisableBlockDescriptors) != 0;
    const auto control = static_cast<PageControl>(cdb.GetU8(2) >> 6);
    const std::uint8_t pageCode = cdb.GetU8(2) & kPageCodeMask;
    const std::uint8_t subpage = cdb.GetU8(3);
    if (control == PageControl::Saved) return CommandOutcome::Check(mediasense::kSavingNotSupported);
    DriveState& state = context.drive;
    if (control == PageControl::Default && !state.identity.model.modeSenseDefaultValues)
        return CommandOutcome::Check(sense::kInvalidFieldInCdb);
    const bool underrunPage = state.identity.model.underrunProtection;
    const bool known = pageCode == writepage::kCode || pageCode == capspage::kCode || pageCode == kAllPages ||
                       (pageCode == kUnderrunPage && underrunPage);
    if (subpage != 0 || !known) return CommandOutcome::Check(sense::kInvalidFieldInCdb);

    const std::uint16_t profile = LoadedProfile(state);
    state.mechanics.SetMediumProfile(profile);
    std::vector<std::uint8_t> reply(modeheader::kLength, 0);
    const auto* disc = dynamic_cast<const DiscMedium*>(state.medium.get());
    if (!noDescriptors && state.modeSenseBlockDescriptor) {
        // Some drives report the medium's block count and length ahead of the pages.
        std::vector<std::uint8_t> descriptor(blockdescriptor::kLength, 0);
        ByteWriter d(descriptor);
        const std::uint32_t blocks = disc && profile != 0 ? disc->CapacityBlocks() : 0;
        d.PutBe24(blockdescriptor::kBlocks, std::min<std::uint32_t>(blocks, 0xFFFFFF));
        d.PutBe24(blockdescriptor::kBlockLength, static_cast<std::uint32_t>(kSectorSize));
        reply.insert(reply.end(), descriptor.begin(), descriptor.end());
    }
    const std::size_t descriptorLength = reply.size() - modeheader::kLength;
    if (pageCode == writepage::kCode || pageCode == kAllPages) {
        const std::vector<std::uint8_t> page = WritePage(state, control);
        reply.insert(reply.end(), page.begin(), page.end());
    }
    if (pageCode == capspage::kCode || pageCode == kAllPages) {
        const std::vector<std::uint8_t> page =
            CapabilitiesPage(state.identity.model, state.mechanics, control, profile);
        reply.insert(reply.end(), page.begin(), page.end());
    }
    if ((pageCode == kUnderrunPage || pageCode == kAllPages) && underrunPage) {
        const std::uint8_t on = control == PageControl::Changeable ? 0x00 : 0x01;
        const std::uint8_t page[kUnderrunPageLength] = {kUnderrunPage, kUnderrunPageLength - 2, on, 0x00};
        reply.insert(reply.end(), std::begin(page), std::end(page));
    }
    ByteWriter w(reply);
    w.PutBe16(modeheader::kDataLength, static_cast<std::uint16_t>(reply.size() - 2));
    w.PutBe16(modeheader::kBlockDescriptorLength, static_cast<std::uint16_t>(descriptorLength));
    return CommandOutcome::Good(Trimmed(std::move(reply), cdb.GetBe16(7)));
}

CommandOutcome ModeSelect10(CommandContext& context) {
    constexpr std::uint8_t kPageFormat = 0x10, kSavePages = 0x01;
    const ByteReader cdb(context.cdb);
    if ((cdb.GetU8(1) & kPageFormat) == 0 || (cdb.GetU8(1) & kSavePages) != 0)
        return CommandOutcome::Check(sense::kInvalidFieldInCdb);
    const std::size_t length = cdb.GetBe16(7);
    if (length == 0) return CommandOutcome::Good();
    if (length > context.dataOut.size()) return CommandOutcome::Check(sense::kInvalidFieldInParameterList);
    const std::span<const std::uint8_t> list = context.dataOut.first(length);
    const ByteReader in(list);
    const SenseCode bad = sense::kInvalidFieldInParameterList;
    if (length < modeheader::kLength) return CommandOutcome::Check(bad);
    const std::uint16_t descriptorLength = in.GetBe16(modeheader::kBlockDescriptorLength);
    if (descriptorLength != 0) {
        // One short block descriptor is understood, and only for the block length the drive uses.
        if (descriptorLength != blockdescriptor::kLength || length < modeheader::kLength + descriptorLength)
            return CommandOutcome::Check(bad);
        const std::uint32_t blockLength =
            in.GetBe24(modeheader::kBlockDescriptor + blockdescriptor::kBlockLength);
        if (blockLength != 0 && blockLength != kSectorSize) return CommandOutcome::Check(bad);
    }

    DriveState& state = context.drive;
    std::optional<WriteParameters> taken;
    std::size_t at = modeheader::kLength + descriptorLength;
    while (at < length) {
        if (length - at < 2) return CommandOutcome::Check(bad);
        const std::uint8_t code = in.GetU8(at) & kPageCodeMask;
        const std::size_t pageLength = std::size_t{in.GetU8(at + 1)} + 2;
        if (pageLength > length - at) return CommandOutcome::Check(bad);
        if (code != writepage::kCode || pageLength != writepage::kLength) return CommandOutcome::Check(bad);
        WriteParameters page;
        std::copy_n(list.begin() + static_cast<std::ptrdiff_t>(at), writepage::kLength, page.bytes.begin());
        page.bytes[writepage::kPageCode] = writepage::kCode; // PS is reserved in MODE SELECT
        if (page.Multi() == MultiSession::Reserved) return CommandOutcome::Check(bad);
        if (page.TestWrite() && !state.identity.model.testWrite) return CommandOutcome::Check(bad);
        if (const auto* disc = dynamic_cast<const DiscMedium*>(state.medium.get())) {
            if (auto refusal = disc->CheckWriteParameters(page, state.identity.model))
                return CommandOutcome::Check(*refusal);
        }
        taken = page;
        at += pageLength;
    }
    if (taken) state.writeParameters = *taken; // all pages were good: take them together
    return CommandOutcome::Good();
}

} // namespace lorvane::recorder
