// Speeds and the drive buffer: SET CD SPEED, SET STREAMING, READ BUFFER CAPACITY (MMC).

#include "drive/opcodes.h"
#include "drive/scsi_device.h"
#include "transport/byte_order.h"

#include <array>
#include <limits>

namespace lorvane::drive {

using namespace transport;

namespace {
inline constexpr std::uint32_t kKBsPerX = 177;         // CD 1x as SET CD SPEED counts it
inline constexpr std::uint16_t kMaximumSpeed = 0xFFFF; // MMC: FFFFh = the drive's fastest
inline constexpr int kSpeedTimeoutMs = 10000;
} // namespace

std::optional<std::uint16_t> SpeedKBs(std::uint16_t x) {
    if (x == 0) return kMaximumSpeed;
    const std::uint32_t kBs = std::uint32_t{x} * kKBsPerX;
    if (kBs > std::numeric_limits<std::uint16_t>::max()) return std::nullopt;
    return static_cast<std::uint16_t>(kBs);
}

bool TSCSIDevice::SetSpeeds(std::uint16_t readX, std::uint16_t writeX) {
    constexpr std::size_t kReadSpeedAt = 2, kWriteSpeedAt = 4;
    const auto readKBs = SpeedKBs(readX), writeKBs = SpeedKBs(writeX);
    if (!readKBs || !writeKBs) return false;
    std::array<std::uint8_t, 12> cdb{};
    ByteWriter w(cdb);
    w.PutU8(0, op::kSetCdSpeed);
    w.PutBe16(kReadSpeedAt, *readKBs);
    w.PutBe16(kWriteSpeedAt, *writeKBs);
    return RunOk(cdb, srbflag::kNoData, nullptr, 0, kSpeedTimeoutMs);
}

void TSCSIDevice::SetWriteSpeed(std::uint16_t x) {
    // A drive that refuses the speed keeps its own; the wish is stored all the same, as the writers
    // send it again before recording.
    (void)SetSpeeds(ReadSpeed, x);
    m_writeSpeed = x;
}

bool TSCSIDevice::SetStreaming(std::span<const std::uint8_t> descriptor) {
    constexpr std::size_t kParameterLengthAt = 9;
    if (descriptor.size() > std::numeric_limits<std::uint16_t>::max()) return false;
    std::array<std::uint8_t, 12> cdb{};
    ByteWriter w(cdb);
    w.PutU8(0, op::kSetStreaming);
    w.PutBe16(kParameterLengthAt, static_cast<std::uint16_t>(descriptor.size()));
    // The transport only reads from a data-out buffer.
    return RunOk(cdb, srbflag::kWrite, const_cast<std::uint8_t*>(descriptor.data()),
                 static_cast<std::uint32_t>(descriptor.size()), kSpeedTimeoutMs);
}

bool TSCSIDevice::ReadBufferCapacity() {
    // MMC READ BUFFER CAPACITY reply: 0-1 data length, 4-7 buffer length, 8-11 blank length (bytes).
    constexpr std::size_t kAllocationAt = 8, kBufferLengthAt = 4, kFreeLengthAt = 8;
    constexpr std::uint8_t kAllocation = 32;
    std::array<std::uint8_t, 10> cdb{};
    ByteWriter w(cdb);
    w.PutU8(0, op::kReadBufferCapacity);
    w.PutU8(kAllocationAt, kAllocation);
    std::array<std::uint8_t, kAllocation> reply{};
    if (!RunOk(cdb, srbflag::kRead, reply.data(), kAllocation, kSpeedTimeoutMs)) {
        DeviceFreeBufferSize = 0;
        return false;
    }
    const ByteReader r(reply);
    const std::uint32_t size = r.GetBe32(kBufferLengthAt), free = r.GetBe32(kFreeLengthAt);
    DeviceBufferSize = size;
    // Some drives answer "unknown" with all ones: count the buffer as empty then.
    DeviceFreeBufferSize = free == 0xFFFFFFFFu ? size : free;
    return true;
}

} // namespace lorvane::drive
