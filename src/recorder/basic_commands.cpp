#include "recorder/basic_commands.h"

#include "recorder/virtual_drive.h"
#include "transport/byte_order.h"

#include <algorithm>
#include <string>

namespace lorvane::recorder {

namespace {

void PutPadded(std::vector<std::uint8_t>& out, std::size_t at, std::size_t width, const std::string& text) {
    for (std::size_t i = 0; i < width; ++i)
        out[at + i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : std::uint8_t{' '};
}

// SPC-3 6.4: EVPD (byte 1 bit 0), page code (byte 2), allocation length (bytes 3-4).
CommandOutcome Inquiry(CommandContext& context) {
    constexpr std::size_t kFlagsAt = 1, kPageCodeAt = 2, kAllocationAt = 3;
    const transport::ByteReader cdb(context.cdb);
    if ((cdb.GetU8(kFlagsAt) & 0x03) != 0 || cdb.GetU8(kPageCodeAt) != 0)
        return CommandOutcome::Check(sense::kInvalidFieldInCdb); // no vital product data pages
    return CommandOutcome::Good(
        Trimmed(StandardInquiryData(context.drive.identity), cdb.GetBe16(kAllocationAt)));
}

CommandOutcome TestUnitReady(CommandContext& context) {
    if (const auto notReady = context.drive.NotReadySense(context.now))
        return CommandOutcome::Check(*notReady);
    return CommandOutcome::Good();
}

// SPC-3 6.27: the sense of the last failed command, once; without one the current condition (a
// not-ready unit reports why, with progress while a long operation runs), else NO SENSE.
CommandOutcome RequestSense(CommandContext& context) {
    constexpr std::size_t kAllocationAt = 4;
    std::vector<std::uint8_t> reply;
    if (!context.drive.pendingSense.empty()) {
        reply = std::move(context.drive.pendingSense);
        context.drive.pendingSense.clear();
        if (reply.size() < fixedsense::kLength) reply.resize(fixedsense::kLength, 0);
    } else {
        reply = FixedSenseBytes(context.drive.NotReadySense(context.now).value_or(sense::kNoSense));
    }
    return CommandOutcome::Good(
        Trimmed(std::move(reply), transport::ByteReader(context.cdb).GetU8(kAllocationAt)));
}

} // namespace

std::vector<std::uint8_t> StandardInquiryData(const DriveIdentity& identity) {
    std::vector<std::uint8_t> data(inquiry::kReplyLength, 0);
    transport::ByteWriter w(data);
    w.PutU8(inquiry::kPeripheral, static_cast<std::uint8_t>(identity.peripheralType & 0x1F)); // qualifier 0
    w.PutU8(inquiry::kRemovable, inquiry::kRmb);
    w.PutU8(inquiry::kVersion, inquiry::kSpc3);
    w.PutU8(inquiry::kResponseFormat, inquiry::kFormat2);
    w.PutU8(inquiry::kAdditionalLength, static_cast<std::uint8_t>(inquiry::kReplyLength - 5));
    PutPadded(data, inquiry::kVendor, inquiry::kVendorLength, identity.vendor);
    PutPadded(data, inquiry::kProduct, inquiry::kProductLength, identity.product);
    PutPadded(data, inquiry::kRevision, inquiry::kRevisionLength, identity.revision);
    PutPadded(data, inquiry::kVendorSpecific, inquiry::kVendorSpecificLength, "");
    return data;
}

void RegisterBasicCommands(CommandTable& table) {
    table.Register(op::kInquiry, Inquiry);
    table.Register(op::kTestUnitReady, TestUnitReady);
    table.Register(op::kRequestSense, RequestSense);
}

} // namespace lorvane::recorder
