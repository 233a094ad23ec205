#pragma once
// The commands every virtual drive answers whatever is in its tray: INQUIRY, TEST UNIT READY and
// REQUEST SENSE.

#include "recorder/command.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lorvane::recorder {

struct DriveIdentity;

// SPC-3 6.4.2 standard INQUIRY data as an MMC drive returns it; offsets count from 0.
namespace inquiry {
inline constexpr std::size_t kPeripheral = 0, kRemovable = 1, kVersion = 2, kResponseFormat = 3,
                             kAdditionalLength = 4, kVendor = 8, kProduct = 16, kRevision = 32,
                             kVendorSpecific = 36;
inline constexpr std::size_t kVendorLength = 8, kProductLength = 16, kRevisionLength = 4;
inline constexpr std::size_t kVendorSpecificLength = 20;
inline constexpr std::size_t kReplyLength = 96; // what drives of this class return
inline constexpr std::uint8_t kRmb = 0x80;
inline constexpr std::uint8_t kSpc3 = 0x05;
inline constexpr std::uint8_t kFormat2 = 0x02;
} // namespace inquiry

std::vector<std::uint8_t> StandardInquiryData(const DriveIdentity& identity);

void RegisterBasicCommands(CommandTable& table);

} // namespace lorvane::recorder
