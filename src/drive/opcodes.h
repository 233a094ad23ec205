#pragma once
// MMC/SPC operation codes the drive component sends or names in its log.

#include <cstdint>

namespace lorvane::drive::op {

inline constexpr std::uint8_t kTestUnitReady = 0x00;
inline constexpr std::uint8_t kRewindUnit = 0x01;
inline constexpr std::uint8_t kRequestSense = 0x03;
inline constexpr std::uint8_t kFormatUnit = 0x04;
inline constexpr std::uint8_t kInquiry = 0x12;
inline constexpr std::uint8_t kStartStopUnit = 0x1B;
inline constexpr std::uint8_t kPreventAllowRemoval = 0x1E;
inline constexpr std::uint8_t kReadFormatCapacities = 0x23;
inline constexpr std::uint8_t kReadCapacity = 0x25;
inline constexpr std::uint8_t kRead10 = 0x28;
inline constexpr std::uint8_t kWrite10 = 0x2A;
inline constexpr std::uint8_t kSeek10 = 0x2B;
inline constexpr std::uint8_t kWriteAndVerify10 = 0x2E;
inline constexpr std::uint8_t kVerify10 = 0x2F;
inline constexpr std::uint8_t kSynchronizeCache = 0x35;
inline constexpr std::uint8_t kReadSubChannel = 0x42;
inline constexpr std::uint8_t kReadTocPmaAtip = 0x43;
inline constexpr std::uint8_t kPlayAudio10 = 0x45;
inline constexpr std::uint8_t kGetConfiguration = 0x46;
inline constexpr std::uint8_t kPlayAudioMsf = 0x47;
inline constexpr std::uint8_t kGetEventStatusNotification = 0x4A;
inline constexpr std::uint8_t kPauseResume = 0x4B;
inline constexpr std::uint8_t kStopPlayScan = 0x4E;
inline constexpr std::uint8_t kReadDiscInformation = 0x51;
inline constexpr std::uint8_t kReadTrackInformation = 0x52;
inline constexpr std::uint8_t kReserveTrack = 0x53;
inline constexpr std::uint8_t kSendOpcInformation = 0x54;
inline constexpr std::uint8_t kModeSelect10 = 0x55;
inline constexpr std::uint8_t kRepairTrack = 0x58;
inline constexpr std::uint8_t kModeSense10 = 0x5A;
inline constexpr std::uint8_t kCloseTrackSession = 0x5B;
inline constexpr std::uint8_t kReadBufferCapacity = 0x5C;
inline constexpr std::uint8_t kSendCueSheet = 0x5D;
inline constexpr std::uint8_t kBlank = 0xA1;
inline constexpr std::uint8_t kSendEvent = 0xA2;
inline constexpr std::uint8_t kSendKey = 0xA3;
inline constexpr std::uint8_t kReportKey = 0xA4;
inline constexpr std::uint8_t kPlayAudio12 = 0xA5;
inline constexpr std::uint8_t kLoadUnloadMedium = 0xA6;
inline constexpr std::uint8_t kSetReadAhead = 0xA7;
inline constexpr std::uint8_t kRead12 = 0xA8;
inline constexpr std::uint8_t kWrite12 = 0xAA;
inline constexpr std::uint8_t kGetPerformance = 0xAC;
inline constexpr std::uint8_t kReadDvdStructure = 0xAD;
inline constexpr std::uint8_t kSetStreaming = 0xB6;
inline constexpr std::uint8_t kReadCdMsf = 0xB9;
inline constexpr std::uint8_t kScan = 0xBA;
inline constexpr std::uint8_t kSetCdSpeed = 0xBB;
inline constexpr std::uint8_t kMechanismStatus = 0xBD;
inline constexpr std::uint8_t kReadCd = 0xBE;
inline constexpr std::uint8_t kSendDvdStructure = 0xBF;
// Not a command: an SRB carrying this code is treated as done without being sent.
inline constexpr std::uint8_t kNotSent = 0xFF;

} // namespace lorvane::drive::op

namespace lorvane::drive::modepage {
inline constexpr std::uint8_t kWriteParameters = 0x05;
inline constexpr std::uint8_t kCapabilities = 0x2A; // MMC CD/DVD capabilities and mechanical status
inline constexpr std::uint8_t kVendorUnderrun = 0x30;
inline constexpr std::uint8_t kDefaultValues = 0x80; // page control 10b in MODE SENSE byte 2
} // namespace lorvane::drive::modepage

namespace lorvane::drive::feature {
inline constexpr std::uint16_t kDvdPlusRw = 0x002A;
inline constexpr std::uint16_t kDvdMinusRWrite = 0x002F;
} // namespace lorvane::drive::feature
