// Unit control: readiness, tray, medium lock, and the wait for a busy drive (SPC/MMC).

#include "drive/opcodes.h"
#include "drive/scsi_device.h"
#include "transport/byte_order.h"

#include <array>
#include <chrono>

namespace lorvane::drive {

using namespace transport;

namespace {
inline constexpr std::uint8_t kAscNotReady = 0x04; // SPC: LOGICAL UNIT NOT READY, any ASCQ
// Fixed-format sense with the VALID bit set. Readiness loops count it as "still busy", as drives
// that report it while blanking have been seen to keep the ASC from the previous command.
inline constexpr std::uint8_t kValidFixedSense = 0xF0;
inline constexpr int kUnitTimeoutMs = 10000;
inline constexpr int kLoadTimeoutMs = 20000;
inline constexpr int kQuirkPollMs = 1500;

std::array<std::uint8_t, 6> Cdb6(std::uint8_t opcode, std::uint8_t byte4 = 0) {
    std::array<std::uint8_t, 6> cdb{};
    ByteWriter w(cdb);
    w.PutU8(0, opcode);
    w.PutU8(4, byte4);
    return cdb;
}
} // namespace

bool TSCSIDevice::IsNotReadyBySense() const {
    return LastSense[senseat::kAsc] == kAscNotReady;
}

bool TSCSIDevice::TestUnitReady(int timeoutMs) {
    return RunOk(Cdb6(op::kTestUnitReady), srbflag::kNoData, nullptr, 0, timeoutMs);
}

bool TSCSIDevice::RezeroUnit() {
    return RunOk(Cdb6(op::kRewindUnit), srbflag::kNoData, nullptr, 0, kUnitTimeoutMs);
}

bool TSCSIDevice::RequestSense(std::span<std::uint8_t> buffer, std::uint8_t length) {
    const auto asked = static_cast<std::uint8_t>(std::min<std::size_t>(length, buffer.size()));
    return RunOk(Cdb6(op::kRequestSense, asked), srbflag::kRead, buffer.data(), asked, kUnitTimeoutMs);
}

bool TSCSIDevice::LoadMedium(bool eject) {
    // SBC/MMC START STOP UNIT byte 4: LoEj (bit 1) with Start (bit 0) loads, LoEj alone ejects.
    constexpr std::uint8_t kEject = 0x02, kLoadAndStart = 0x03;
    return RunOk(Cdb6(op::kStartStopUnit, eject ? kEject : kLoadAndStart), srbflag::kNoData, nullptr, 0,
                 kLoadTimeoutMs);
}

bool TSCSIDevice::PreventMediumRemoval(bool allow) {
    constexpr std::uint8_t kPrevent = 0x01;
    return RunOk(Cdb6(op::kPreventAllowRemoval, allow ? 0 : kPrevent), srbflag::kNoData, nullptr, 0,
                 kUnitTimeoutMs);
}

bool TSCSIDevice::RunOkWaitingOutBusy(std::span<const std::uint8_t> cdb, std::uint8_t flags,
                                      std::uint8_t* data, std::uint32_t length, int timeoutMs) {
    for (int waited = 0;; waited += kTransientRetryMs) {
        if (RunOk(cdb, flags, data, length, timeoutMs)) return true;
        const bool later = TargetBusy || (LastFailureFromTarget && LastSense[senseat::kAsc] == kAscNotReady);
        if (!later || waited >= kTransientWaitMs) return false;
        DeviceClock().SleepFor(std::chrono::milliseconds(kTransientRetryMs));
    }
}

bool TSCSIDevice::WaitUnitReady(int totalMs, int stepMs) {
    const auto sleep = [this](int ms) { DeviceClock().SleepFor(std::chrono::milliseconds(ms)); };
    int remaining = totalMs;
    m_requestSense.fill(0);

    if (QuirkSlowLeadOut || QuirkPollReady) {
        do {
            sleep(kQuirkPollMs);
            remaining -= kQuirkPollMs;
            if (remaining < 0) break;
            (void)TestUnitReady(5000);
        } while (IsNotReadyBySense());
    }

    // DVD-RAM reports no disc information while it formats: go straight to the sense loops.
    if (LastMediumIndex == medium::kDvdRam) {
        m_requestSense[senseat::kAsc] = kAscNotReady;
    } else {
        do {
            sleep(stepMs);
            (void)ReadDiscInformation();
            remaining -= stepMs;
            // Out of budget: a drive that became ready on the last step is ready all the same.
            if (remaining < 0) return !IsNotReadyBySense() && TestUnitReady(5000);
        } while (IsNotReadyBySense());
    }

    if (TestUnitReady(5000) && m_requestSense[senseat::kAsc] == 0) return true;

    do {
        sleep(stepMs);
        remaining -= stepMs;
        if (remaining < 0) return false;
        (void)TestUnitReady(5000);
    } while (IsNotReadyBySense());

    std::uint8_t asc = 0;
    do {
        m_requestSense.fill(0);
        const bool answered = RequestSense(m_requestSense, kRequestSenseLength);
        remaining -= stepMs;
        if (remaining < 0) return false;
        if (answered) {
            asc = m_requestSense[senseat::kResponseCode] == kValidFixedSense ? kAscNotReady
                                                                             : m_requestSense[senseat::kAsc];
        } else {
            // Without sense data nothing says the drive is ready: ask TEST UNIT READY instead.
            asc = TestUnitReady(5000) ? 0 : kAscNotReady;
        }
        if (asc == kAscNotReady) sleep(stepMs);
    } while (asc != 0);
    return true;
}

} // namespace lorvane::drive
