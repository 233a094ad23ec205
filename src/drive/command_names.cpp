#include "drive/command_names.h"

#include "drive/opcodes.h"

#include <cstdio>

namespace lorvane::drive {

namespace {

struct NamedCommand {
    std::uint8_t code;
    const char* name;
};

constexpr NamedCommand kNamedCommands[] = {
    {op::kTestUnitReady, "TEST UNIT READY       "},
    {op::kRewindUnit, "REWIND UNIT           "},
    {op::kRequestSense, "REQUEST SENSE         "},
    {op::kFormatUnit, "FORMAT UNIT           "},
    {op::kInquiry, "INQUIRY               "},
    {op::kStartStopUnit, "START STOP UNIT       "},
    {op::kPreventAllowRemoval, "PREVENT/ALLOW REMOVAL "},
    {op::kReadFormatCapacities, "READ FORMAT CAPACITIES"},
    {op::kReadCapacity, "READ CAPACITY         "},
    {op::kRead10, "READ (10)             "},
    {op::kWrite10, "WRITE (10)            "},
    {op::kSeek10, "SEEK (10)             "},
    {op::kWriteAndVerify10, "WRITE AND VERIFY (10) "},
    {op::kVerify10, "VERIFY (10)           "},
    {op::kSynchronizeCache, "SYNCHRONIZE CACHE     "},
    {op::kReadSubChannel, "READ SUB-CHANNEL      "},
    {op::kReadTocPmaAtip, "READ TOC/PMA/ATIP     "},
    {op::kPlayAudio10, "PLAY AUDIO (10)       "},
    {op::kGetConfiguration, "GET CONFIGURATION     "},
    {op::kPlayAudioMsf, "PLAY AUDIO MSF        "},
    {op::kGetEventStatusNotification, "GET EVENT/STATUS NOTIF"},
    {op::kPauseResume, "PAUSE/RESUME          "},
    {op::kStopPlayScan, "STOP PLAY/SCAN        "},
    {op::kReadDiscInformation, "READ DISC INFORMATION "},
    {op::kReadTrackInformation, "READ TRACK INFORMATION"},
    {op::kReserveTrack, "RESERVE TRACK         "},
    {op::kSendOpcInformation, "SEND OPC INFORMATION  "},
    {op::kModeSelect10, "MODE SELECT (10)      "},
    {op::kRepairTrack, "REPAIR TRACK          "},
    {op::kModeSense10, "MODE SENSE (10)       "},
    {op::kCloseTrackSession, "CLOSE TRACK/SESSION   "},
    {op::kReadBufferCapacity, "READ BUFFER CAPACITY  "},
    {op::kSendCueSheet, "SEND CUE SHEET        "},
    {op::kBlank, "BLANK                 "},
    {op::kSendEvent, "SEND EVENT            "},
    {op::kSendKey, "SEND KEY              "},
    {op::kReportKey, "REPORT KEY            "},
    {op::kPlayAudio12, "PLAY AUDIO (12)       "},
    {op::kLoadUnloadMedium, "LOAD/UNLOAD CD/DVD    "},
    {op::kSetReadAhead, "SET READ AHEAD        "},
    {op::kRead12, "READ (12)             "},
    {op::kWrite12, "WRITE (12)            "},
    {op::kGetPerformance, "GET PERFORMANCE       "},
    {op::kReadDvdStructure, "READ DVD STRUCTURE    "},
    {op::kSetStreaming, "SET STREAMING         "},
    {op::kReadCdMsf, "READ CD MSF           "},
    {op::kScan, "SCAN                  "},
    {op::kSetCdSpeed, "SET CD SPEED          "},
    {op::kMechanismStatus, "MECHANISM STATUS      "},
    {op::kReadCd, "READ CD               "},
    {op::kSendDvdStructure, "SEND DVD STRUCTURE    "},
};

std::array<std::string, 256> BuildNames() {
    std::array<std::string, 256> names;
    for (std::size_t code = 0; code < names.size(); ++code) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned>(code));
        names[code] = hex;
    }
    for (const auto& [code, name] : kNamedCommands) names[code] = name;
    return names;
}

} // namespace

const std::array<std::string, 256>& CommandNames() {
    static const std::array<std::string, 256> names = BuildNames();
    return names;
}

} // namespace lorvane::drive
