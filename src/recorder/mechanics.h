#pragma once
// The recorder's mechanics apart from the disc: what kind of drive it is (which media it reads and
// writes, its speeds, its buffer), the speeds it was last set to, and the drive buffer that WRITE (10)
// fills and that drains onto the disc at the write speed, on the drive's clock.

#include "transport/clock.h"

#include <cstdint>
#include <vector>

namespace lorvane::recorder {

// The kind of recorder a virtual drive is. The defaults make a modern DVD writer.
struct DriveModel {
    bool readsDvd = true;
    bool writesCdR = true;
    bool writesCdRw = true;
    bool writesDvdR = true;   // DVD-R and DVD-RW
    bool writesDvdRam = true;
    bool writesDvdPlus = true; // DVD+R and DVD+RW
    bool testWrite = true;
    bool underrunProtection = true;
    // Write speeds the drive supports, fastest first (kB/s); requests are rounded down to one of them
    // (and up to the slowest).
    std::vector<std::uint16_t> cdWriteSpeedsKBs{7056, 5645, 4234, 2823, 1764, 706};
    std::vector<std::uint16_t> dvdWriteSpeedsKBs{22160, 16620, 11080, 5540, 2770};
    std::uint16_t cdMaxReadKBs = 8467;  // 48x
    std::uint16_t dvdMaxReadKBs = 22160; // 16x
    std::uint32_t bufferBytes = 2 * 1024 * 1024;
};

// Speeds and buffer of one drive. Only touched with the recorder's lock held.
class DriveMechanics {
public:
    explicit DriveMechanics(const DriveModel& model) : m_model(model) {}

    const DriveModel& Model() const { return m_model; }

    // Current speeds in kB/s as the drive took them (after rounding).
    std::uint16_t ReadSpeedKBs() const { return m_readKBs; }
    std::uint16_t WriteSpeedKBs() const { return m_writeKBs; }
    void SetSpeeds(std::uint16_t readKBs, std::uint16_t writeKBs) {
        m_readKBs = readKBs;
        m_writeKBs = writeKBs;
    }

    // Buffer: bytes taken by WRITE (10) that have not yet reached the disc.
    std::uint32_t BufferBytes() const { return m_model.bufferBytes; }
    std::uint32_t BufferFree(transport::Clock::TimePoint /*now*/) const { return m_model.bufferBytes; }
    // Takes bytes into the buffer; false when they do not fit right now (the host retries).
    bool Accept(std::uint32_t /*bytes*/, transport::Clock::TimePoint /*now*/) { return true; }
    // When everything in the buffer will have been written to the disc.
    transport::Clock::TimePoint DrainedAt(transport::Clock::TimePoint now) const { return now; }

private:
    DriveModel m_model;
    std::uint16_t m_readKBs = 0xFFFF;
    std::uint16_t m_writeKBs = 0xFFFF;
};

} // namespace lorvane::recorder
