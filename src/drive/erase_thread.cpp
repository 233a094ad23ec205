// Erasing a rewritable disc: BLANK (CD-RW, DVD-RW) or FORMAT UNIT (DVD-RAM, DVD+RW), then a worker
// that follows the drive until it is ready again (MMC).

#include "drive/erase_thread.h"

#include "drive/opcodes.h"
#include "drive/scsi_device.h"
#include "transport/aspi.h"
#include "transport/byte_order.h"

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace lorvane::drive {

using namespace transport;

namespace {

inline constexpr int kBlankTimeoutMs = 4800000; // a full blank of a slow disc takes over an hour
inline constexpr std::uint8_t kBlankImmediate = 0x10;
inline constexpr std::uint8_t kBlankMinimal = 1, kBlankWholeDisc = 0;
inline constexpr std::uint8_t kFormatDataCode1 = 0x11; // FORMAT UNIT byte 1: FmtData, format code 001b
inline constexpr std::uint8_t kAscNotReady = 0x04;
inline constexpr std::uint8_t kValidFixedSense = 0xF0;

// FORMAT UNIT parameter lists (MMC): header 00 82 00 08 (FOV and Immed, descriptor length 8), then one
// format descriptor: number of blocks, format type x 4, type-dependent parameter.
constexpr std::array<std::uint8_t, 16> kDvdRamFormat = {0x00, 0x82, 0x00, 0x08, 0x00, 0x22, 0x21, 0x20,
                                                        0x00, 0x00, 0x08, 0x00, 0,    0,    0,    0};
constexpr std::array<std::uint8_t, 16> kDvdPlusRwFormat = {0x00, 0x82, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00,
                                                           0x98, 0x00, 0x00, 0x00, 0,    0,    0,    0};

bool IsDvdMedium(std::uint8_t mediumIndex) {
    return mediumIndex > medium::kCdRw;
}

// The erase announcement's speed: DVD media count in DVD x (one DVD x is about seven CD x).
std::string SpeedText(std::uint8_t mediumIndex, std::uint16_t currentWriteX) {
    long x = currentWriteX;
    switch (mediumIndex) {
    case medium::kDvdR:
    case medium::kDvdRw:
    case medium::kDvdRwSequential:
    case medium::kDvdPlusRw: x = std::lround(currentWriteX / 7.0); break;
    case medium::kDvdRam: x = 1; break;
    default: break;
    }
    return std::to_string(x) + "X";
}

} // namespace

std::uint16_t EstimatedEraseDuration(std::uint8_t mediumIndex, bool quick) {
    // A DVD-RAM has no quick erase here: both send the same certified full format (MMC FORMAT UNIT
    // type 00h), which runs about 40 minutes on a 3x disc, so both wait as long as a full erase.
    if (mediumIndex == medium::kDvdRam) return 4440;
    if (IsDvdMedium(mediumIndex)) return quick ? (mediumIndex == medium::kDvdRw ? 120 : 600) : 4440;
    return quick ? 150 : 4500;
}

// ---- the worker ----

TEraseThread::TEraseThread(TSCSIDevice& device, std::uint8_t mediumIndex, std::uint16_t estimatedDuration)
    : m_device(device), m_mediumIndex(mediumIndex), m_estimatedDuration(estimatedDuration) {}

TEraseThread::~TEraseThread() {
    RequestStop();
    Join();
}

void TEraseThread::Start() {
    if (!m_thread.joinable()) m_thread = std::thread([this] { Execute(); });
}

void TEraseThread::Join() {
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
}

void TEraseThread::ProgressStep() {
    const double percent = std::nearbyint(m_elapsed / m_estimatedDuration * 100.0);
    m_progress = static_cast<int>(std::clamp(percent, 0.0, 100.0));
}

bool TEraseThread::TimeLeft() const {
    return !m_stopRequested && m_elapsed <= m_estimatedDuration;
}

void TEraseThread::Execute() noexcept {
    TSCSIDevice& dev = m_device;
    const auto sleep = [&dev](int ms) { dev.DeviceClock().SleepFor(std::chrono::milliseconds(ms)); };
    try {
        m_progress = 0;
        KeepDriveOpen = true;

        // Polls TEST UNIT READY every two seconds until the drive answers or the estimate runs out.
        const auto pollUnitReady = [&] {
            bool ready = false;
            do {
                ProgressStep();
                m_elapsed += 2;
                ready = dev.TestUnitReady(5000);
                if (!ready) sleep(2000);
            } while (!ready && TimeLeft());
        };

        if (dev.QuirkSlowLeadOut) pollUnitReady();
        if (QuirkPollReady) {
            pollUnitReady();
            (void)dev.ReadDiscInformation();
            sleep(5000);
        }

        bool ready = dev.TestUnitReady(5000) && dev.ReadDiscInformation();
        if (!ready) {
            if (m_mediumIndex != medium::kDvdRam) {
                bool answered = false;
                do {
                    ProgressStep();
                    answered = dev.ReadDiscInformation();
                    m_elapsed += 5;
                    if (!answered) sleep(5000);
                } while (!answered && TimeLeft());
            }
            pollUnitReady();
            std::uint8_t asc = 0;
            do {
                ProgressStep();
                dev.m_requestSense.fill(0);
                const bool senseAnswered = dev.RequestSense(dev.m_requestSense, kRequestSenseLength);
                m_elapsed += 2;
                if (senseAnswered)
                    asc = dev.m_requestSense[senseat::kResponseCode] == kValidFixedSense
                              ? kAscNotReady
                              : dev.m_requestSense[senseat::kAsc];
                else // without sense data only TEST UNIT READY can say the drive is ready
                    asc = dev.TestUnitReady(5000) ? 0 : kAscNotReady;
                sleep(2000);
            } while (asc != 0 && TimeLeft());
            ready = asc == 0;
        }
        m_driveBecameReady = ready && !m_stopRequested;

        // The pass-through layer kept the drive open through the erase; open it afresh, as the disc
        // the kernel knew is gone.
        if (ASPILayerName() == kBuiltInLayerName) ResetASPI();

        if (!m_stopRequested) {
            m_progress = 100;
            if (dev.OnEraseDone) dev.OnEraseDone(&dev, !m_driveBecameReady);

            (void)dev.SetWriteParameters(false, false, medium::kCdRom);
            (void)dev.SetSpeeds(dev.MaxReadSpeedX(), 2);
            KeepDriveOpen = false;
            (void)dev.RezeroUnit();
            (void)dev.PreventMediumRemoval(true);
            (void)dev.LoadMedium(false);
            (void)dev.RezeroUnit();
            (void)dev.TestUnitReady(5000);
        }
    } catch (...) {
        // Nothing in the body throws on purpose; whatever did, the device must leave the erase state.
    }
    KeepDriveOpen = false;
    dev.EraseThreadFinished();
}

// ---- starting an erase ----

bool TSCSIDevice::EraseDisc(bool quick) {
    if (m_erasing) return false; // one erase at a time; the running one keeps the drive
    JoinEraseThread();

    (void)TestUnitReady(5000);
    (void)LoadMedium(false);
    const std::uint8_t index = GetMediumType();
    LastMediumIndex = index;
    const auto becameReady = [this] { return TestUnitReady(5000) || WaitUnitReady(30000, 5000); };
    if (!becameReady()) return false;
    if (index != medium::kDvdRam) {
        (void)SetSpeeds(ReadSpeed, m_writeSpeed);
        (void)SetWriteParameters(false, false, index);
    }
    const std::uint16_t speed = CurrentWriteSpeedX();
    if (!becameReady()) return false;

    char text[96];
    std::snprintf(text, sizeof text, "STARTING ERASE PROCESS ON %s AT %s",
                  std::string(DeviceTypeName(index)).c_str(), SpeedText(index, speed).c_str());
    AddDebugMessage(std::string(">>> ") + text, 1);

    bool accepted = false;
    if (index == medium::kDvdRam || index == medium::kDvdPlusRw) {
        accepted = FormatUnit(kFormatDataCode1, index == medium::kDvdRam ? kDvdRamFormat : kDvdPlusRwFormat);
    } else {
        std::array<std::uint8_t, 12> cdb{};
        ByteWriter w(cdb);
        w.PutU8(0, op::kBlank);
        w.PutU8(1, static_cast<std::uint8_t>(kBlankImmediate | (quick ? kBlankMinimal : kBlankWholeDisc)));
        // Only a completed command started an erase; status 00h means nothing reached a drive.
        accepted = RunOkWaitingOutBusy(cdb, srbflag::kNoData, nullptr, 0, kBlankTimeoutMs);
    }

    if (accepted) {
        m_eraseThread = std::make_unique<TEraseThread>(*this, index, EstimatedEraseDuration(index, quick));
        m_erasing = true;
        m_eraseThread->Start();
    } else {
        m_erasing = false;
        if (OnEraseDone) OnEraseDone(this, true);
    }
    return accepted;
}

int TSCSIDevice::EraseProgress() const {
    return m_erasing && m_eraseThread ? m_eraseThread->Progress() : 0;
}

void TSCSIDevice::JoinEraseThread() {
    if (m_eraseThread) {
        m_eraseThread->Join();
        m_eraseThread.reset();
    }
}

} // namespace lorvane::drive
