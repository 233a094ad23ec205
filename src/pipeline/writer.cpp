#include "pipeline/writer.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>
#include <unistd.h>
#include <vector>

#include "drive/disc_info.h"
#include "pipeline/stream_ex.h"
#include "transport/aspi.h"
#include "transport/byte_order.h"

namespace lorvane::pipeline {

std::atomic<bool> Writing{false};
std::atomic<bool> AbortRequested{false};

std::array<std::uint8_t, 28> PerformanceDescriptor(std::uint32_t writeKBs) {
    constexpr std::uint32_t kEndLba = 0x0023127F, kReadKBs = 0x0000ABBD, kMilliseconds = 1000;
    std::array<std::uint8_t, 28> descriptor{};
    transport::ByteWriter w(descriptor);
    w.PutBe32(8, kEndLba);
    w.PutBe32(12, kReadKBs);
    w.PutBe32(16, kMilliseconds);
    w.PutBe32(20, writeKBs);
    w.PutBe32(24, kMilliseconds);
    return descriptor;
}

namespace {

namespace m = drive::medium;
constexpr std::uint8_t kAscNotReady = 0x04;
constexpr std::uint8_t kAscNone = 0x00;
constexpr std::size_t kAscAt = 12; // additional sense code in fixed-format sense data (SPC)
constexpr int kWriteAttempts = 10000;
constexpr std::uint8_t kAscqLongWrite = 0x08; // 2/04/08: long write in progress, the drive's buffer is full
// A full buffer drains within a fraction of a second at any speed: asking again soon keeps the drive fed
// (a 2 MiB buffer lasts 94 ms at 16x DVD); the total wait per block stays that of the slow retries.
constexpr int kBufferFullRetryMs = 5;
constexpr std::uint16_t kFastestKBs = 0xFFFF;
constexpr std::size_t kAscqAt = 13;
constexpr int kCloseAttempts = 1000;
constexpr int kPollEvery = 5;
constexpr std::uint32_t kLeadOutSeconds = 960;
// The drive may take a long time to write a DVD lead-out, but one that never answers again (gone from
// the bus) must not hold the writer for ever.
constexpr int kLeadOutWaitLimitSeconds = 3 * 3600;
constexpr std::uint8_t kLogInfo = 1;

bool IsSequentialDvd(std::uint8_t medium) {
    return medium == m::kDvdR || medium == m::kDvdRw || medium == m::kDvdRwSequential;
}
bool IsDvd(std::uint8_t medium) {
    return medium >= m::kDvdR && medium <= m::kDvdPlusR;
}

double LocalNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    const long offset = localtime_r(&now, &local) ? local.tm_gmtoff : 0;
    return static_cast<double>(now + offset) / 86400.0 + 25569.0;
}

std::string CantWriteText(const std::string& path) {
    return "CAN'T WRITE FILE \"" + path + "\"";
}

void BeginRun(WriteRun& run) {
    RaiseToTimeCritical();
    AbortRequested = false;
    Writing = true;
    *run.writtenBytes = 0;
}

// One run of a writer: the start, the write loop and the closing sequence of the recorder, or the
// image file's loop; then the hand-over.
class WriteEngine {
public:
    WriteEngine(WriteRun& run, WriterKind kind) : m_run(run), m_kind(kind) {}

    void RunDisc() {
        if (StartRecorder()) {
            WriteLoop();
            CloseRecorder();
        }
        HandOver();
    }

    void RunImageFile() {
        std::unique_ptr<TFileStreamEx> file;
        try {
            file = std::make_unique<TFileStreamEx>(m_run.imageFileName, fmCreate);
        } catch (const EStreamError&) {
            FailWith(CantCreateFileText(m_run.imageFileName));
        }
        if (file) {
            std::int32_t n = m_run.producer->TakeBlock(m_block);
            while (n != 0) {
                if (n != -1) {
                    *m_run.writtenBytes += n;
                    // A short write (a full disk) would leave an image shorter than its layout.
                    if (!WriteAll(*file, n)) {
                        FailWith(CantWriteText(m_run.imageFileName));
                        break;
                    }
                }
                if (!NextBlock(n)) break;
            }
            const int handle = file->Handle;
            file->Handle = -1;
            if (::close(handle) != 0 && m_run.producer->ErrorText().empty())
                FailWith(CantWriteText(m_run.imageFileName));
        }
        HandOver();
    }

    bool ImageBurn() const { return m_kind == WriterKind::ImageBurn; }
    drive::TSCSIDevice& Device() { return *m_run.device; }
    void Sleep(int ms) { Device().DeviceClock().SleepFor(std::chrono::milliseconds(ms)); }
    std::uint8_t Asc() const { return m_run.device->LastSense[kAscAt]; }

    void FailWith(const std::string& text) {
        m_run.producer->SetErrorText(text);
        m_run.producer->Cancel();
    }

    bool WriteAll(TFileStreamEx& file, std::int32_t n) {
        std::int32_t done = 0;
        while (done < n) {
            const std::int32_t written = file.Write(m_block->data.data() + done, n - done);
            if (written <= 0) return false;
            done += written;
        }
        return true;
    }

    // Waits for the next block into n; false when the loop must end (abort, producer failure).
    bool NextBlock(std::int32_t& n) {
        for (;;) {
            if (AbortRequested) {
                FailWith(kAbortedText);
                return false;
            }
            n = m_run.producer->TakeBlock(m_block);
            if (!m_run.producer->ErrorText().empty()) return false;
            if (n != -1) return true;
            m_run.producer->WaitForBlock(AbortRequested);
        }
    }

    bool StartRecorder() {
        drive::TSCSIDevice& d = Device();
        m_medium = d.GetMediumType();
        drive::LastMediumIndex = m_medium;
        if (ImageBurn()) {
            (void)d.TestUnitReady(5000);
            if (m_medium != m::kDvdRam) (void)d.LoadMedium(false);
        } else {
            if (m_medium != m::kDvdRam) (void)d.LoadMedium(false);
            if (m_medium != m::kDvdPlusRw) (void)d.RezeroUnit();
        }
        if (m_medium != m::kDvdRam) (void)d.SetSpeeds(d.ReadSpeed, d.WriteSpeed());
        (void)d.WaitUnitReady(ImageBurn() ? 30000 : 10000, 1000);
        const std::uint16_t speed = d.CurrentWriteSpeedX();

        const bool finalize = d.FinalizeDisc;
        d.FinalizeDisc = ImageBurn() ? !d.QuirkNoFinalize : true;
        (void)d.SetWriteParameters(d.TestWrite, d.UnderrunProtection, m_medium);
        d.FinalizeDisc = finalize;

        (void)m_run.prepareTrack();
        if (ImageBurn() && m_run.sessionStart() != 0) {
            FailWith(kNeedEmptyDiscText);
            return false;
        }
        if (IsSequentialDvd(m_medium)) {
            const std::uint16_t taken = d.CurrentWriteSpeedKBs();
            (void)d.SetStreaming(PerformanceDescriptor(taken != 0 ? taken : kFastestKBs));
            (void)d.SendDVDTimestamp(LocalNow());
            (void)d.ReserveTrack(static_cast<std::uint32_t>(m_run.totalSectors + 1));
            (void)d.WaitUnitReady(10000, 1000);
        }
        if (ImageBurn()) (void)d.WaitUnitReady(30000, 100);
        if (m_medium != m::kDvdRam && !d.TestWrite && d.PerformOPC) (void)d.SendOPC();

        const bool perDvdSpeed = ImageBurn() ? IsDvd(m_medium) && m_medium != m::kDvdPlusR : IsDvd(m_medium);
        const long shown = perDvdSpeed ? std::lround(speed / 7.0) : speed;
        char line[128];
        std::snprintf(line, sizeof line, ">>> STARTING WRITE PROCESS ON %s AT %ldX",
                      std::string(drive::DeviceTypeName(m_medium)).c_str(), shown);
        d.AddDebugMessage(line, kLogInfo);
        if (d.TestWrite) d.AddDebugMessage(">>> TEST/DUMMY WRITE", kLogInfo);
        return true;
    }

    void WriteLoop() {
        drive::TSCSIDevice& d = Device();
        std::uint32_t sectors = 0;
        int pollCountdown = kPollEvery;
        const std::uint32_t start = m_run.sessionStart();
        std::int32_t n = m_run.producer->TakeBlock(m_block);
        transport::KeepDriveOpen = true;
        while (n != 0) {
            if (n != -1) {
                *m_run.writtenBytes += n;
                if (m_medium != m::kDvdRam && pollCountdown == 0 && d.ReadBufferCapacity())
                    pollCountdown = kPollEvery;
                --pollCountdown;
                const auto count = static_cast<std::uint16_t>(n / kQueueSectorSize);
                const int retryMs = ImageBurn() ? 100 : 600;
                for (std::int64_t waitedMs = 0;;) {
                    if (AbortRequested) return FailWith(kAbortedText);
                    if (d.WriteSectors(
                            static_cast<std::int32_t>(start + sectors), count, kWriteFlags,
                            std::span<const std::uint8_t>(m_block->data.data(), static_cast<std::size_t>(n))))
                        break;
                    // Busy and not-ready answers are waited out; so is a failure without sense, but only
                    // when the drive gave it: a write that timed out or a drive that is gone would
                    // otherwise be sent again for hours.
                    const bool waitable = d.TargetBusy || Asc() == kAscNotReady ||
                                          (Asc() == kAscNone && d.LastFailureFromTarget);
                    if (!waitable)
                        return FailWith(std::string(kWriterErrorText) + " [" + d.LastErrorText + "]");
                    const bool bufferFull = Asc() == kAscNotReady && d.LastSense[kAscqAt] == kAscqLongWrite;
                    const int pause = bufferFull ? kBufferFullRetryMs : retryMs;
                    Sleep(pause);
                    waitedMs += pause;
                    if (waitedMs >= std::int64_t{retryMs} * kWriteAttempts) return FailWith(kWriterBusyText);
                }
                sectors += count;
            }
            if (!NextBlock(n)) return;
        }
    }

    void CloseRecorder() {
        drive::TSCSIDevice& d = Device();
        if (m_medium != m::kDvdRam) (void)d.ReadBufferCapacity();
        const bool leadOutWait =
            ImageBurn() ? IsDvd(m_medium) && m_medium != m::kDvdRam : IsSequentialDvd(m_medium);
        if (m_run.finalizingTrack) m_run.finalizingTrack();
        if (leadOutWait) {
            if (d.QuirkSlowLeadOut)
                d.AddDebugMessage(">>> WRITING LEAD-OUT (THIS CAN TAKE APPROXIMATELY 15-20 MINUTES)",
                                  kLogInfo);
            (void)d.SyncCache(1800000, true);
            d.DeviceFreeBufferSize = d.DeviceBufferSize.load();
            for (int seconds = 0; !d.ReadDiscInformation() && seconds < kLeadOutWaitLimitSeconds; ++seconds) {
                const std::uint32_t step = d.DeviceBufferSize / kLeadOutSeconds;
                const std::uint32_t free = d.DeviceFreeBufferSize;
                d.DeviceFreeBufferSize = free > step ? free - step : 0;
                Sleep(1000);
            }
        } else {
            if (!d.SyncCache(120000, false)) (void)d.SyncCache(120000, true);
            if (ImageBurn()) (void)d.WaitUnitReady(1800000, 2000);
        }
        if (ImageBurn()) {
            if (m_medium != m::kDvdRam) (void)d.ReadBufferCapacity();
        } else {
            d.DeviceBufferSize = 0;
            d.DeviceFreeBufferSize = 0;
        }
        if (!m_run.producer->ErrorText().empty()) return;

        if (ImageBurn()) (void)d.SetWriteParameters(d.TestWrite, false, m_medium);
        const bool closes =
            !d.TestWrite && !(m_medium >= m::kDvdR && m_medium <= m::kDvdRwSequential) && d.FinalizeTrack;
        if (closes) {
            if (!ImageBurn()) (void)d.SetWriteParameters(d.TestWrite, d.UnderrunProtection, m_medium);
            if (!ImageBurn() && m_medium == m::kDvdPlusR) {
                (void)d.CloseTrackSession(true, false, false);
                (void)d.CloseTrackSession(false, true, true);
            } else {
                for (int attempts = 0;;) {
                    if (d.CloseTrackSession(false, drive::CloseImmediate, false)) break;
                    if (d.TargetBusy || Asc() == kAscNotReady) {
                        Sleep(1000);
                        if (++attempts < kCloseAttempts) continue;
                        break;
                    }
                    (void)d.CloseTrackSession(false, drive::CloseImmediate, false);
                    break;
                }
            }
        }
        const bool plainDisc = !(m_medium >= m::kDvdR && m_medium <= m::kDvdPlusRw);
        if (ImageBurn()) {
            transport::KeepDriveOpen = false;
            (void)d.WaitUnitReady(240000, 5000);
            (void)d.LoadMedium(false);
            (void)d.PreventMediumRemoval(true);
            if (plainDisc) (void)d.RezeroUnit();
            return;
        }
        (void)d.WaitUnitReady(240000, 5000);
        if (m_medium != m::kDvdRam) (void)d.ReadBufferCapacity();
        transport::KeepDriveOpen = false;
        (void)d.SetWriteParameters(false, false, m::kCdRom);
        (void)d.SetSpeeds(d.MaxReadSpeedX(), 2);
        (void)d.RezeroUnit();
        (void)d.PreventMediumRemoval(true);
        (void)d.LoadMedium(false);
        (void)d.RezeroUnit();
        (void)d.TestUnitReady(5000);
        if (plainDisc) (void)d.RezeroUnit();
    }

    // The end of every run, also after an unexpected exception: the completion is raised exactly once.
    void EnsureHandedOver(const char* reason) {
        if (m_handedOver) return;
        if (m_run.producer->ErrorText().empty()) FailWith(reason);
        HandOver();
    }

    void HandOver() {
        m_handedOver = true;
        transport::KeepDriveOpen = false;
        if (transport::ASPILayerName() == "OBASPI32") transport::ResetASPI();
        const std::string error = m_run.producer->ErrorText();
        if (ImageBurn()) {
            if (m_run.writeDone) m_run.writeDone(error);
            m_run.releaseProducer();
        } else {
            m_run.releaseProducer();
            if (m_run.writeDone) m_run.writeDone(error);
        }
        Writing = false;
    }

private:
    WriteRun& m_run;
    const WriterKind m_kind;
    std::unique_ptr<CacheBlock> m_block; // the block being written, taken from the queue
    std::uint8_t m_medium = m::kNone;
    bool m_handedOver = false;
};

// Runs one writer body; nothing escapes the thread.
void RunBody(WriteRun& run, WriterKind kind, bool toImageFile) noexcept {
    BeginRun(run);
    WriteEngine engine(run, kind);
    try {
        if (toImageFile)
            engine.RunImageFile();
        else
            engine.RunDisc();
    } catch (const std::exception& error) {
        try {
            engine.EnsureHandedOver(error.what());
        } catch (...) {
            Writing = false;
        }
    } catch (...) {
        try {
            engine.EnsureHandedOver("INTERNAL ERROR");
        } catch (...) {
            Writing = false;
        }
    }
}

} // namespace

void WriterThread::Launch(std::function<void()> body) {
    Join();
    m_thread = std::thread(std::move(body));
}

void TThWrite::Start(WriteRun run, bool toImageFile) {
    m_toImageFile = toImageFile;
    Writing = true; // before the thread runs, so a poll right after the start sees the write
    Launch([run = std::move(run), toImageFile]() mutable {
        RunBody(run, WriterKind::Compilation, toImageFile);
    });
}

void TISOWrite::Start(WriteRun run) {
    Writing = true;
    Launch([run = std::move(run)]() mutable { RunBody(run, WriterKind::ImageBurn, false); });
}

} // namespace lorvane::pipeline
