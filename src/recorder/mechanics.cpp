#include "recorder/mechanics.h"

#include "transport/byte_order.h"

#include <algorithm>
#include <chrono>

namespace lorvane::recorder {

namespace {

constexpr std::uint16_t kFastest = 0xFFFF;
// 1x CD (75 frames of 2352 bytes a second), the drain rate of a drive that has no write speed for
// the loaded medium kind at all.
constexpr std::uint16_t kSingleCdKBs = 176;
constexpr std::uint16_t kSingleDvdKBs = 1385;

const std::vector<std::uint16_t> kNoSpeeds;

const std::vector<std::uint16_t>& WriteSpeedsFor(const DriveModel& model, std::uint16_t profile) {
    if (IsDvdProfile(profile))
        return model.writesDvdR || model.writesDvdPlus || model.writesDvdRam ? model.dvdWriteSpeedsKBs
                                                                             : kNoSpeeds;
    return model.writesCdR || model.writesCdRw ? model.cdWriteSpeedsKBs : kNoSpeeds;
}

std::uint16_t MaxReadFor(const DriveModel& model, std::uint16_t profile) {
    return IsDvdProfile(profile) ? model.dvdMaxReadKBs : model.cdMaxReadKBs;
}

std::uint16_t MaxWriteFor(const DriveModel& model, std::uint16_t profile) {
    const auto& speeds = WriteSpeedsFor(model, profile);
    return speeds.empty() ? 0 : *std::max_element(speeds.begin(), speeds.end());
}

// Drives round a requested speed down to one they support, and up to the slowest one when the
// request is below all of them (hosts add a little to land on the speed they mean).
std::uint16_t RoundWrite(const std::vector<std::uint16_t>& speeds, std::uint16_t requested) {
    if (speeds.empty()) return 0;
    const auto [slowest, fastest] = std::minmax_element(speeds.begin(), speeds.end());
    if (requested == kFastest) return *fastest;
    std::uint16_t best = *slowest;
    for (std::uint16_t speed : speeds)
        if (speed <= requested && speed > best) best = speed;
    return best;
}

// Read speeds go down to 1x of the medium kind and no further.
std::uint16_t RoundRead(std::uint16_t maxRead, std::uint16_t slowest, std::uint16_t requested) {
    if (requested == kFastest) return maxRead;
    return std::min(std::max(requested, slowest), maxRead);
}

} // namespace

bool IsDvdProfile(std::uint16_t profile) {
    return profile >= 0x0010 && profile <= 0x002B;
}

void DriveMechanics::SetMediumProfile(std::uint16_t profile) {
    m_profile = profile;
}

std::uint16_t DriveMechanics::ReadSpeedKBs() const {
    return ReadSpeedKBsFor(m_profile);
}

std::uint16_t DriveMechanics::WriteSpeedKBs() const {
    return WriteSpeedKBsFor(m_profile);
}

std::uint16_t DriveMechanics::ReadSpeedKBsFor(std::uint16_t profile) const {
    return RoundRead(MaxReadFor(m_model, profile), IsDvdProfile(profile) ? kSingleDvdKBs : kSingleCdKBs,
                     m_requestedReadKBs);
}

std::uint16_t DriveMechanics::WriteSpeedKBsFor(std::uint16_t profile) const {
    return RoundWrite(WriteSpeedsFor(m_model, profile), m_requestedWriteKBs);
}

void DriveMechanics::SetSpeeds(std::uint16_t readKBs, std::uint16_t writeKBs) {
    m_requestedReadKBs = readKBs;
    m_requestedWriteKBs = writeKBs;
}

void DriveMechanics::SetSpeedsAt(std::uint16_t readKBs, std::uint16_t writeKBs,
                                 transport::Clock::TimePoint now) {
    Settle(now);
    SetSpeeds(readKBs, writeKBs);
}

std::uint16_t DriveMechanics::MaxReadSpeedKBs() const {
    return MaxReadFor(m_model, m_profile);
}

std::uint16_t DriveMechanics::MaxWriteSpeedKBs() const {
    return MaxWriteFor(m_model, m_profile);
}

const std::vector<std::uint16_t>& DriveMechanics::WriteSpeedList() const {
    return WriteSpeedsFor(m_model, m_profile);
}

std::uint16_t DriveMechanics::DrainRateKBs() const {
    const std::uint16_t rate = WriteSpeedKBs();
    return rate != 0 ? rate : kSingleCdKBs;
}

// kB/s are 1000 bytes a second, so a rate of r kB/s moves r bytes a millisecond: the drain is
// counted in whole microseconds to stay exact for the rates drives use.
std::uint64_t DriveMechanics::FillAt(transport::Clock::TimePoint now) const {
    if (m_fillBytes == 0 || now <= m_fillAt) return m_fillBytes;
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(now - m_fillAt).count();
    // Past this the buffer is empty at any rate; the cap also keeps the product inside 64 bits.
    constexpr std::int64_t kLongerThanAnyDrain = std::int64_t{1} << 40;
    const auto micros = static_cast<std::uint64_t>(std::min(elapsed, kLongerThanAnyDrain));
    const std::uint64_t drained = micros * DrainRateKBs() / 1000;
    return drained >= m_fillBytes ? 0 : m_fillBytes - drained;
}

// When the buffer as of m_fillAt runs empty at the current rate (rounded up, as DrainedAt).
transport::Clock::TimePoint DriveMechanics::EmptyAt() const {
    if (m_fillBytes == 0) return m_fillAt;
    const std::uint64_t rate = DrainRateKBs();
    const std::uint64_t micros = (m_fillBytes * 1000 + rate - 1) / rate;
    return m_fillAt + std::chrono::microseconds(static_cast<std::int64_t>(micros));
}

void DriveMechanics::Settle(transport::Clock::TimePoint now) {
    if (now <= m_fillAt && m_fillBytes != 0) return;
    // Remember when the laser ran out of data: the next transfer decides whether that was an underrun
    // (more data for the track) or the end of the recording (a flush or close comes instead).
    if (m_streaming && !m_dryFrom) {
        const transport::Clock::TimePoint empty = EmptyAt();
        if (empty <= now) m_dryFrom = empty;
    }
    m_fillBytes = FillAt(now);
    m_fillAt = now;
}

std::uint32_t DriveMechanics::BufferFree(transport::Clock::TimePoint now) const {
    const std::uint64_t fill = FillAt(now);
    return fill >= m_model.bufferBytes ? 0 : static_cast<std::uint32_t>(m_model.bufferBytes - fill);
}

bool DriveMechanics::Accept(std::uint32_t bytes, transport::Clock::TimePoint now) {
    Settle(now);
    const bool fits = m_fillBytes + bytes <= m_model.bufferBytes;
    if (!fits && m_fillBytes != 0) return false;
    // Data arriving exactly as the last byte leaves keeps the stream going; any gap is an underrun.
    if (m_dryFrom && *m_dryFrom < now) {
        ++m_stats.underruns;
        m_stats.starved += std::chrono::duration_cast<std::chrono::microseconds>(now - *m_dryFrom);
    }
    m_dryFrom.reset();
    m_streaming = true;
    if (!m_stats.firstWrite) m_stats.firstWrite = now;
    m_stats.bytes += bytes;
    m_stats.writeSpeedKBs = DrainRateKBs();
    m_fillBytes += bytes;
    return true;
}

void DriveMechanics::EndStream(transport::Clock::TimePoint now) {
    if (m_streaming) {
        Settle(now);
        // A buffer that ran dry before the flush came finished writing when it did.
        m_stats.flushed = m_fillBytes != 0 ? EmptyAt() : m_dryFrom.value_or(now);
    }
    m_streaming = false;
    m_dryFrom.reset();
}

transport::Clock::TimePoint DriveMechanics::DrainedAt(transport::Clock::TimePoint now) const {
    const std::uint64_t fill = FillAt(now);
    if (fill == 0) return now;
    const std::uint64_t rate = DrainRateKBs();
    const std::uint64_t micros = (fill * 1000 + rate - 1) / rate; // rounded up: drained by then
    return now + std::chrono::microseconds(static_cast<std::int64_t>(micros));
}

void DriveMechanics::DiscardBuffer(transport::Clock::TimePoint now) {
    // After a flush the rest of the buffer is written, not lost (a command without Immed returns
    // when its work is done, which in the drive's time is at once).
    if (m_streaming) m_stats.bytes -= std::min(FillAt(now), m_stats.bytes);
    m_fillBytes = 0;
    m_fillAt = now;
    m_streaming = false;
    m_dryFrom.reset();
}

double RecordingStats::BytesPerSecond() const {
    if (!firstWrite || !flushed || *flushed <= *firstWrite) return 0;
    const std::chrono::duration<double> span = *flushed - *firstWrite;
    return static_cast<double>(bytes) / span.count();
}

std::vector<std::uint8_t> CapabilitiesPage(const DriveModel& model, const DriveMechanics& mechanics,
                                           PageControl control, std::uint16_t profile) {
    if (control == PageControl::Saved) return {};
    using namespace capspage;
    const std::vector<std::uint16_t>& speeds = WriteSpeedsFor(model, profile);
    const std::size_t descriptors = model.shortCapabilitiesPage ? 0 : speeds.size();
    const std::size_t length =
        model.shortCapabilitiesPage ? kShortLength : kDescriptors + kDescriptorLength * descriptors;
    std::vector<std::uint8_t> page(length, 0);
    transport::ByteWriter w(page);
    w.PutU8(kPageCode, kCode);
    w.PutU8(kPageLength, static_cast<std::uint8_t>(length - 2));
    if (control == PageControl::Changeable) return page; // no field of this page can be changed

    const bool dvdBits = model.dvdBitsInCapabilitiesPage;
    std::uint8_t read = 0x01 | 0x02 | 0x04;             // CD-R, CD-RW, Method 2
    if (dvdBits && model.readsDvd) read |= 0x08 | 0x10; // DVD-ROM, DVD-R
    if (dvdBits && model.readsDvdRam) read |= 0x20;
    std::uint8_t write = 0;
    if (model.writesCdR) write |= 0x01;
    if (model.writesCdRw) write |= 0x02;
    if (model.testWrite) write |= 0x04;
    if (dvdBits && model.writesDvdR) write |= 0x10;
    if (dvdBits && model.writesDvdRam) write |= 0x20;
    w.PutU8(kReadFlags, read);
    w.PutU8(kWriteFlags, write);
    // BUF, Multi-session, Mode 2 Form 2, Mode 2 Form 1.
    w.PutU8(kFeatureFlags,
            static_cast<std::uint8_t>((model.underrunProtection ? 0x80 : 0) | 0x40 | 0x20 | 0x10));
    // Tray loading mechanism (001b), Eject, Lock; Lock State mirrors PREVENT MEDIUM REMOVAL.
    const bool locked = control == PageControl::Current && mechanics.RemovalPrevented();
    w.PutU8(kMechanism, static_cast<std::uint8_t>(0x20 | 0x08 | (locked ? 0x02 : 0) | 0x01));
    w.PutBe16(kVolumeLevels, 256);
    w.PutBe16(kBufferSize,
              static_cast<std::uint16_t>(std::min<std::uint32_t>(model.bufferBytes / 1024, 0xFFFF)));

    const std::uint16_t maxRead = MaxReadFor(model, profile);
    const std::uint16_t fastestWrite = MaxWriteFor(model, profile);
    const std::uint16_t maxWrite = model.capabilitiesMaxWriteKBs.value_or(fastestWrite);
    const bool current = control == PageControl::Current;
    const std::uint16_t readNow = current ? mechanics.ReadSpeedKBsFor(profile) : maxRead;
    const std::uint16_t writeNow = current ? mechanics.WriteSpeedKBsFor(profile) : fastestWrite;
    w.PutBe16(kMaxReadSpeed, maxRead);
    w.PutBe16(kCurrentReadSpeed, readNow);
    w.PutBe16(kMaxWriteSpeed, maxWrite);
    w.PutBe16(kCurrentWriteSpeed, writeNow);
    if (model.shortCapabilitiesPage) return page;

    w.PutBe16(kSelectedWriteSpeed, writeNow);
    w.PutBe16(kDescriptorCount, static_cast<std::uint16_t>(descriptors));
    for (std::size_t i = 0; i < descriptors; ++i) // byte 1 rotation control 0: CLV
        w.PutBe16(kDescriptors + kDescriptorLength * i + 2, speeds[i]);
    return page;
}

} // namespace lorvane::recorder
