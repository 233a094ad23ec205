#pragma once
// Operation codes, sense keys and the additional sense codes the virtual recorder answers with
// (SPC-3, MMC-5), and the fixed-format sense data it returns them in.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace lorvane::recorder {

namespace op {
inline constexpr std::uint8_t kTestUnitReady = 0x00;
inline constexpr std::uint8_t kRequestSense = 0x03;
inline constexpr std::uint8_t kFormatUnit = 0x04;
inline constexpr std::uint8_t kInquiry = 0x12;
inline constexpr std::uint8_t kStartStopUnit = 0x1B;
inline constexpr std::uint8_t kPreventAllowRemoval = 0x1E;
inline constexpr std::uint8_t kReadFormatCapacities = 0x23;
inline constexpr std::uint8_t kReadCapacity = 0x25;
inline constexpr std::uint8_t kRead10 = 0x28;
inline constexpr std::uint8_t kWrite10 = 0x2A;
inline constexpr std::uint8_t kSynchronizeCache = 0x35;
inline constexpr std::uint8_t kReadTocPmaAtip = 0x43;
inline constexpr std::uint8_t kGetConfiguration = 0x46;
inline constexpr std::uint8_t kGetEventStatusNotification = 0x4A;
inline constexpr std::uint8_t kReadDiscInformation = 0x51;
inline constexpr std::uint8_t kReadTrackInformation = 0x52;
inline constexpr std::uint8_t kReserveTrack = 0x53;
inline constexpr std::uint8_t kSendOpcInformation = 0x54;
inline constexpr std::uint8_t kModeSelect10 = 0x55;
inline constexpr std::uint8_t kModeSense10 = 0x5A;
inline constexpr std::uint8_t kCloseTrackSession = 0x5B;
inline constexpr std::uint8_t kReadBufferCapacity = 0x5C;
inline constexpr std::uint8_t kBlank = 0xA1;
inline constexpr std::uint8_t kGetPerformance = 0xAC;
inline constexpr std::uint8_t kReadDvdStructure = 0xAD;
inline constexpr std::uint8_t kSetStreaming = 0xB6;
inline constexpr std::uint8_t kSetCdSpeed = 0xBB;
} // namespace op

namespace sensekey {
inline constexpr std::uint8_t kNoSense = 0x0;
inline constexpr std::uint8_t kRecoveredError = 0x1;
inline constexpr std::uint8_t kNotReady = 0x2;
inline constexpr std::uint8_t kMediumError = 0x3;
inline constexpr std::uint8_t kHardwareError = 0x4;
inline constexpr std::uint8_t kIllegalRequest = 0x5;
inline constexpr std::uint8_t kUnitAttention = 0x6;
inline constexpr std::uint8_t kDataProtect = 0x7;
} // namespace sensekey

// One condition as key/ASC/ASCQ, with the progress indication (0-FFFFh) a drive reports in the
// sense-key specific bytes while a long operation runs.
struct SenseCode {
    std::uint8_t key = sensekey::kNoSense;
    std::uint8_t asc = 0;
    std::uint8_t ascq = 0;
    std::optional<std::uint16_t> progress;
};

constexpr SenseCode MakeSense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
    return SenseCode{.key = key, .asc = asc, .ascq = ascq, .progress = std::nullopt};
}

namespace sense {
inline constexpr SenseCode kNoSense = MakeSense(sensekey::kNoSense, 0x00, 0x00);
inline constexpr SenseCode kInvalidOpcode = MakeSense(sensekey::kIllegalRequest, 0x20, 0x00);
inline constexpr SenseCode kInvalidFieldInCdb = MakeSense(sensekey::kIllegalRequest, 0x24, 0x00);
inline constexpr SenseCode kInvalidFieldInParameterList = MakeSense(sensekey::kIllegalRequest, 0x26, 0x00);
inline constexpr SenseCode kNoMedium = MakeSense(sensekey::kNotReady, 0x3A, 0x00);
inline constexpr SenseCode kNoMediumTrayClosed = MakeSense(sensekey::kNotReady, 0x3A, 0x01);
inline constexpr SenseCode kNoMediumTrayOpen = MakeSense(sensekey::kNotReady, 0x3A, 0x02);
inline constexpr SenseCode kBecomingReady = MakeSense(sensekey::kNotReady, 0x04, 0x01);
inline constexpr SenseCode kFormatInProgress = MakeSense(sensekey::kNotReady, 0x04, 0x04);
inline constexpr SenseCode kOperationInProgress = MakeSense(sensekey::kNotReady, 0x04, 0x07);
inline constexpr SenseCode kLongWriteInProgress = MakeSense(sensekey::kNotReady, 0x04, 0x08);
inline constexpr SenseCode kMediumChanged = MakeSense(sensekey::kUnitAttention, 0x28, 0x00);
inline constexpr SenseCode kWriteError = MakeSense(sensekey::kMediumError, 0x0C, 0x00);
inline constexpr SenseCode kLbaOutOfRange = MakeSense(sensekey::kIllegalRequest, 0x21, 0x00);
inline constexpr SenseCode kInvalidAddressForWrite = MakeSense(sensekey::kIllegalRequest, 0x21, 0x02);
inline constexpr SenseCode kCommandSequenceError = MakeSense(sensekey::kIllegalRequest, 0x2C, 0x00);
} // namespace sense

// SPC-3 4.5.3 fixed-format sense data: 18 bytes, response code 70h (current error).
namespace fixedsense {
inline constexpr std::size_t kResponseCode = 0, kSenseKey = 2, kInformation = 3, kAdditionalLength = 7,
                             kCommandSpecific = 8, kAsc = 12, kAscq = 13, kFru = 14, kSenseKeySpecific = 15,
                             kProgress = 16;
inline constexpr std::size_t kLength = 18;
inline constexpr std::uint8_t kCurrentError = 0x70;
inline constexpr std::uint8_t kSksv = 0x80; // byte 15 bit 7: sense-key specific bytes valid
} // namespace fixedsense

std::vector<std::uint8_t> FixedSenseBytes(const SenseCode& code);

} // namespace lorvane::recorder
