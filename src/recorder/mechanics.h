#pragma once
// The recorder's mechanics apart from the disc: what kind of drive it is (which media it reads and
// writes, its speeds, its buffer), the speeds it was last set to, the tray lock, and the drive buffer
// that WRITE (10) fills and that drains onto the disc at the write speed, on the drive's clock.

#include "transport/clock.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace lorvane::recorder {

// The kind of recorder a virtual drive is. The defaults make a modern DVD writer.
struct DriveModel {
    bool readsDvd = true;    // DVD-ROM, DVD-R/-RW, DVD+R/+RW
    bool readsDvdRam = true; // also when the drive cannot write DVD-RAM
    bool writesCdR = true;
    bool writesCdRw = true;
    bool writesDvdR = true; // DVD-R and DVD-RW
    bool writesDvdRDualLayer = false;
    bool writesDvdRam = true;
    bool writesDvdPlus = true; // DVD+R and DVD+RW
    bool testWrite = true;
    bool underrunProtection = true;
    // GET CONFIGURATION (46h) is answered at all; older drives reject the operation code.
    bool getConfiguration = true;
    // Mode page 2Ah reports the DVD read/write bits (bytes 2-3 bits 3-5); some drives leave them clear
    // and describe DVD only through GET CONFIGURATION features.
    bool dvdBitsInCapabilitiesPage = true;
    // Mode page 2Ah in the old 22-byte form (page length 14h) without write speed descriptors.
    bool shortCapabilitiesPage = false;
    // MODE SENSE answers the default values of a page (page control 10b); some ATAPI drives refuse
    // them with 5/24/00 and report current values only.
    bool modeSenseDefaultValues = true;
    // READ TOC/PMA/ATIP takes its format from CDB byte 9 bits 6-7 alone, where SFF-8020 ATAPI drives
    // look, and ignores byte 2: an ATIP request (format 4, which that field cannot express) is then
    // answered with the TOC.
    bool tocFormatInByte9 = false;
    // What page 2Ah bytes 18-19 report as the maximum write speed when it is not the fastest entry of
    // the speed list (some DVD-RAM-only writers report 0 there).
    std::optional<std::uint16_t> capabilitiesMaxWriteKBs;
    // Write speeds the drive supports, fastest first (kB/s); requests are rounded down to one of them
    // (and up to the slowest).
    std::vector<std::uint16_t> cdWriteSpeedsKBs{7056, 5645, 4234, 2823, 1764, 706};
    std::vector<std::uint16_t> dvdWriteSpeedsKBs{22160, 16620, 11080, 5540, 2770};
    std::uint16_t cdMaxReadKBs = 8467;   // 48x
    std::uint16_t dvdMaxReadKBs = 22160; // 16x
    std::uint32_t bufferBytes = 2 * 1024 * 1024;
};

// What the drive counted while recording since the counters were last reset: the figures a real drive
// keeps for its buffer-underrun (link) count, and the rate at which the data reached the disc.
struct RecordingStats {
    // Times the buffer ran empty while a track was being written and more data followed (with buffer
    // underrun protection the drive stops the laser and links on; the event is counted all the same).
    std::uint32_t underruns = 0;
    // How long the drive stood with an empty buffer in those underruns, in total.
    std::chrono::microseconds starved{0};
    std::uint64_t bytes = 0; // taken by WRITE (10), less what was discarded unwritten
    std::optional<transport::Clock::TimePoint> firstWrite;
    std::optional<transport::Clock::TimePoint> flushed; // the last byte of the last flush on the disc
    std::uint16_t writeSpeedKBs = 0;                    // the speed the last WRITE (10) was taken at

    // Bytes a second from the first WRITE (10) to the end of the last flush; 0 before a flush.
    double BytesPerSecond() const;
};

// Whether an MMC profile (GET CONFIGURATION bytes 6-7) is a DVD; 0000h (no medium) counts as CD.
bool IsDvdProfile(std::uint16_t profile);

// Speeds, tray lock and drive buffer of one drive. Only touched with the recorder's lock held.
class DriveMechanics {
public:
    explicit DriveMechanics(const DriveModel& model) : m_model(model) {}

    const DriveModel& Model() const { return m_model; }

    // The kind of medium the speeds are rounded for (0000h, CD or DVD profiles). A change of kind
    // rounds the last requested speeds again for the new kind, as drives do on a medium change.
    void SetMediumProfile(std::uint16_t profile);

    // Current speeds in kB/s as the drive took them: rounded to what the drive supports for the
    // current medium kind, FFFFh resolved to the fastest.
    std::uint16_t ReadSpeedKBs() const;
    std::uint16_t WriteSpeedKBs() const;
    // The same for another medium kind than the current one.
    std::uint16_t ReadSpeedKBsFor(std::uint16_t profile) const;
    std::uint16_t WriteSpeedKBsFor(std::uint16_t profile) const;
    // Takes the host's requests (kB/s, FFFFh = fastest); they are rounded down to a supported speed,
    // up to the slowest when below every supported one. Drains what is buffered at the old speed first
    // when called through SetSpeedsAt.
    void SetSpeeds(std::uint16_t readKBs, std::uint16_t writeKBs);
    void SetSpeedsAt(std::uint16_t readKBs, std::uint16_t writeKBs, transport::Clock::TimePoint now);
    // The fastest speeds for the current medium kind (page 2Ah bytes 8-9 and 18-19 before overrides).
    std::uint16_t MaxReadSpeedKBs() const;
    std::uint16_t MaxWriteSpeedKBs() const;
    // The write speed list for the current medium kind, fastest first (empty when the drive does not
    // write that kind).
    const std::vector<std::uint16_t>& WriteSpeedList() const;

    // PREVENT/ALLOW MEDIUM REMOVAL.
    bool RemovalPrevented() const { return m_removalPrevented; }
    void PreventRemoval(bool prevent) { m_removalPrevented = prevent; }

    // Buffer: bytes taken by WRITE (10) that have not yet reached the disc.
    std::uint32_t BufferBytes() const { return m_model.bufferBytes; }
    std::uint32_t BufferFree(transport::Clock::TimePoint now) const;
    // Takes bytes into the buffer; false when they do not fit right now (the host retries). A transfer
    // larger than the whole buffer is taken once the buffer is empty, so it can never wait forever.
    bool Accept(std::uint32_t bytes, transport::Clock::TimePoint now);
    // When everything in the buffer will have been written to the disc.
    transport::Clock::TimePoint DrainedAt(transport::Clock::TimePoint now) const;
    // Empties the buffer at once (a medium change or reset discards what was not written).
    void DiscardBuffer(transport::Clock::TimePoint now);
    // SYNCHRONIZE CACHE or CLOSE TRACK/SESSION: the host has no more data for the track, so the buffer
    // draining empty from here on is the end of the recording and not an underrun.
    void EndStream(transport::Clock::TimePoint now);

    const RecordingStats& Recording() const { return m_stats; }
    void ResetRecording() { m_stats = RecordingStats{}; }

private:
    std::uint64_t FillAt(transport::Clock::TimePoint now) const;
    void Settle(transport::Clock::TimePoint now);
    std::uint16_t DrainRateKBs() const;
    transport::Clock::TimePoint EmptyAt() const;

    DriveModel m_model;
    std::uint16_t m_profile = 0;
    std::uint16_t m_requestedReadKBs = 0xFFFF;
    std::uint16_t m_requestedWriteKBs = 0xFFFF;
    bool m_removalPrevented = false;
    std::uint64_t m_fillBytes = 0;          // undrained bytes as of m_fillAt
    transport::Clock::TimePoint m_fillAt{}; // when m_fillBytes was last brought up to date
    bool m_streaming = false; // data taken for a track that the host has not yet flushed or closed
    std::optional<transport::Clock::TimePoint> m_dryFrom; // the buffer ran empty there while streaming
    RecordingStats m_stats;
};

// MODE SENSE page control (CDB byte 2 bits 6-7).
enum class PageControl : std::uint8_t { Current = 0, Changeable = 1, Default = 2, Saved = 3 };

// Offsets in mode page 2Ah, MM Capabilities and Mechanical Status (MMC-3 6.3.11, kept in MMC-5).
namespace capspage {
inline constexpr std::size_t kPageCode = 0, kPageLength = 1, kReadFlags = 2, kWriteFlags = 3,
                             kFeatureFlags = 4, kCdFlags = 5, kMechanism = 6, kSlotFlags = 7,
                             kMaxReadSpeed = 8, kVolumeLevels = 10, kBufferSize = 12, kCurrentReadSpeed = 14,
                             kWordFlags = 17, kMaxWriteSpeed = 18, kCurrentWriteSpeed = 20,
                             kCopyManagement = 22, kRotationControl = 27, kSelectedWriteSpeed = 28,
                             kDescriptorCount = 30, kDescriptors = 32;
inline constexpr std::size_t kDescriptorLength = 4, kShortLength = 22;
inline constexpr std::uint8_t kCode = 0x2A;
} // namespace capspage

// Mode page 2Ah as this drive reports it for the loaded medium's profile (0 for an empty tray):
// page code and length first, no mode parameter header. Changeable values are all zero (nothing in
// the page can be set); Default values show the maximum speeds as the current ones. Saved values are
// not supported: the result is empty and the caller answers 5/39/00.
std::vector<std::uint8_t> CapabilitiesPage(const DriveModel& model, const DriveMechanics& mechanics,
                                           PageControl control, std::uint16_t profile);

} // namespace lorvane::recorder
