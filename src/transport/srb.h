#pragma once
// ASPI request blocks: the records every drive command travels in, between the drive component and a
// provider (the SG_IO pass-through layer, the manager module, the virtual recorder). Field order and
// widths follow the ASPI for Win32 layouts; fields that carry a pointer or a handle take the native
// pointer width. Packed, little-endian.

#include <bit>
#include <cstddef>
#include <cstdint>

namespace lorvane::transport {

static_assert(std::endian::native == std::endian::little, "request blocks are little-endian records");

namespace srbcmd {
inline constexpr std::uint8_t kHostAdapterInquiry = 0x00;
inline constexpr std::uint8_t kGetDeviceType = 0x01;
inline constexpr std::uint8_t kExecuteScsi = 0x02;
inline constexpr std::uint8_t kAbort = 0x03;
inline constexpr std::uint8_t kGetDiskInfo = 0x06;
} // namespace srbcmd

namespace srbstatus {
inline constexpr std::uint8_t kPending = 0x00;
inline constexpr std::uint8_t kComplete = 0x01;
inline constexpr std::uint8_t kAborted = 0x02;
inline constexpr std::uint8_t kAbortFailed = 0x03;
inline constexpr std::uint8_t kError = 0x04;
inline constexpr std::uint8_t kInvalidRequest = 0x80;
inline constexpr std::uint8_t kInvalidHostAdapter = 0x81;
inline constexpr std::uint8_t kNoDevice = 0x82;
inline constexpr std::uint8_t kInvalidSrb = 0xE0;
inline constexpr std::uint8_t kBufferAlignment = 0xE1;
inline constexpr std::uint8_t kNotInitialised = 0xE2; // ExecuteCommand's own code: nothing was sent
inline constexpr std::uint8_t kManagerBusy = 0xE5;
inline constexpr std::uint8_t kBufferTooBig = 0xE6;
inline constexpr std::uint8_t kNoAdapters = 0xE8; // GetASPI32SupportInfo bits 8-15
} // namespace srbstatus

namespace srbflag {
inline constexpr std::uint8_t kDataIn = 0x08;      // drive to host
inline constexpr std::uint8_t kDataOut = 0x10;     // host to drive
inline constexpr std::uint8_t kEventNotify = 0x40; // completion signalled through the event handle
inline constexpr std::uint8_t kNoData = kEventNotify;
inline constexpr std::uint8_t kRead = kEventNotify | kDataIn;   // 48h
inline constexpr std::uint8_t kWrite = kEventNotify | kDataOut; // 50h
} // namespace srbflag

namespace hoststatus {
inline constexpr std::uint8_t kOk = 0x00;
inline constexpr std::uint8_t kCommandTimeout = 0x09;
inline constexpr std::uint8_t kSrbTimeout = 0x0B;
inline constexpr std::uint8_t kMessageReject = 0x0D;
inline constexpr std::uint8_t kBusReset = 0x0E;
inline constexpr std::uint8_t kParityError = 0x0F;
inline constexpr std::uint8_t kRequestSenseFailed = 0x10;
inline constexpr std::uint8_t kSelectionTimeout = 0x11;
inline constexpr std::uint8_t kDataOverrun = 0x12;
inline constexpr std::uint8_t kUnexpectedBusFree = 0x13;
} // namespace hoststatus

namespace targetstatus {
inline constexpr std::uint8_t kGood = 0x00;
inline constexpr std::uint8_t kCheckCondition = 0x02;
inline constexpr std::uint8_t kBusy = 0x08;
inline constexpr std::uint8_t kReservationConflict = 0x18;
inline constexpr std::uint8_t kQueueFull = 0x28;
} // namespace targetstatus

inline constexpr std::size_t kSenseAreaLength = 33;
inline constexpr std::uint8_t kSenseLengthAsked = 14;
inline constexpr std::size_t kCdbAreaLength = 16;

#pragma pack(push, 1)

struct SrbHeader {
    std::uint8_t command;
    std::uint8_t status;
    std::uint8_t hostAdapter;
    std::uint8_t flags;
    std::uint32_t reserved;
};
static_assert(sizeof(SrbHeader) == 8);
static_assert(offsetof(SrbHeader, command) == 0 && offsetof(SrbHeader, status) == 1 &&
              offsetof(SrbHeader, hostAdapter) == 2 && offsetof(SrbHeader, flags) == 3 &&
              offsetof(SrbHeader, reserved) == 4);

// Command 0.
struct SrbHostAdapterInquiry {
    SrbHeader header;
    std::uint8_t adapterCount;
    std::uint8_t adapterTargetId;
    char managerId[16];
    char adapterId[16];
    std::uint8_t adapterUnique[16]; // 0-1 alignment mask, 2 flags, 3 max targets, 4-7 max transfer length
    std::uint8_t reserved[2];
};
static_assert(sizeof(SrbHostAdapterInquiry) == 60);
static_assert(offsetof(SrbHostAdapterInquiry, adapterCount) == 8 &&
              offsetof(SrbHostAdapterInquiry, adapterTargetId) == 9 &&
              offsetof(SrbHostAdapterInquiry, managerId) == 10 &&
              offsetof(SrbHostAdapterInquiry, adapterId) == 26 &&
              offsetof(SrbHostAdapterInquiry, adapterUnique) == 42 &&
              offsetof(SrbHostAdapterInquiry, reserved) == 58);

// Command 1.
struct SrbGetDeviceType {
    SrbHeader header;
    std::uint8_t target;
    std::uint8_t lun;
    std::uint8_t deviceType;
    std::uint8_t reserved;
};
static_assert(sizeof(SrbGetDeviceType) == 12);
static_assert(offsetof(SrbGetDeviceType, target) == 8 && offsetof(SrbGetDeviceType, lun) == 9 &&
              offsetof(SrbGetDeviceType, deviceType) == 10 && offsetof(SrbGetDeviceType, reserved) == 11);

// Command 2. The event handle is an eventfd descriptor (0 = none); a provider that completes later
// writes to it once it has set the status.
struct SrbExecuteScsi {
    SrbHeader header;
    std::uint8_t target;
    std::uint8_t lun;
    std::uint16_t reserved1;
    std::uint32_t dataLength;
    std::uint8_t* dataBuffer;
    std::uint8_t senseLength;
    std::uint8_t cdbLength;
    std::uint8_t hostStatus;
    std::uint8_t targetStatus;
    std::uintptr_t eventHandle;
    std::uint8_t reserved2[20];
    std::uint8_t cdb[kCdbAreaLength];
    std::uint8_t senseArea[kSenseAreaLength];
};
static_assert(sizeof(void*) == 8, "layout offsets below are those of a 64-bit build");
static_assert(sizeof(SrbExecuteScsi) == 105);
static_assert(offsetof(SrbExecuteScsi, target) == 8 && offsetof(SrbExecuteScsi, lun) == 9 &&
              offsetof(SrbExecuteScsi, reserved1) == 10 && offsetof(SrbExecuteScsi, dataLength) == 12 &&
              offsetof(SrbExecuteScsi, dataBuffer) == 16 && offsetof(SrbExecuteScsi, senseLength) == 24 &&
              offsetof(SrbExecuteScsi, cdbLength) == 25 && offsetof(SrbExecuteScsi, hostStatus) == 26 &&
              offsetof(SrbExecuteScsi, targetStatus) == 27 && offsetof(SrbExecuteScsi, eventHandle) == 28 &&
              offsetof(SrbExecuteScsi, reserved2) == 36 && offsetof(SrbExecuteScsi, cdb) == 56 &&
              offsetof(SrbExecuteScsi, senseArea) == 72);

// Command 3.
struct SrbAbort {
    SrbHeader header;
    void* srbToAbort;
};
static_assert(sizeof(SrbAbort) == 16);
static_assert(offsetof(SrbAbort, srbToAbort) == 8);

// Command 6.
struct SrbGetDiskInfo {
    SrbHeader header;
    std::uint8_t target;
    std::uint8_t lun;
    std::uint8_t driveFlags;
    std::uint8_t driveNumber; // 0 = /dev/sr0 (the first optical drive)
    std::uint8_t reserved[12];
};
static_assert(sizeof(SrbGetDiskInfo) == 24);
static_assert(offsetof(SrbGetDiskInfo, target) == 8 && offsetof(SrbGetDiskInfo, lun) == 9 &&
              offsetof(SrbGetDiskInfo, driveFlags) == 10 && offsetof(SrbGetDiskInfo, driveNumber) == 11 &&
              offsetof(SrbGetDiskInfo, reserved) == 12);

#pragma pack(pop)

// The two entry points every provider exports (as extern "C" symbols of the manager module).
using GetSupportInfoFn = std::uint32_t (*)();
using SendCommandFn = std::uint32_t (*)(void* srb);

struct ProviderEntryPoints {
    GetSupportInfoFn getSupportInfo = nullptr;
    SendCommandFn sendCommand = nullptr;
};

inline constexpr const char* kGetSupportInfoName = "GetASPI32SupportInfo";
inline constexpr const char* kSendCommandName = "SendASPI32Command";

// Signals an SRB's completion event (an eventfd). Providers call it after they set the final status.
void SignalCompletionEvent(std::uintptr_t handle);

} // namespace lorvane::transport
