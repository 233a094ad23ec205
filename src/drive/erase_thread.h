#pragma once
// TEraseThread: follows a rewritable disc's blank or format until the drive is ready again, and
// reports an estimated progress meanwhile.

#include <atomic>
#include <cstdint>
#include <thread>

namespace lorvane::drive {

class TSCSIDevice;

// Erase durations in progress units (about one second each): how long the drive is expected to stay
// busy after the BLANK or FORMAT UNIT was accepted.
std::uint16_t EstimatedEraseDuration(std::uint8_t mediumIndex, bool quick);

// One erase follow-up on its own std::thread. The device that starts it owns it and joins it before
// it goes away; the thread "ends by itself" once the drive is ready or the estimate has run out.
class TEraseThread {
public:
    TEraseThread(TSCSIDevice& device, std::uint8_t mediumIndex, std::uint16_t estimatedDuration);
    ~TEraseThread(); // asks the body to stop at its next wait and joins it
    TEraseThread(const TEraseThread&) = delete;
    TEraseThread& operator=(const TEraseThread&) = delete;

    void Start();
    void Join();
    // The body leaves its loops at the next step and skips the event and the restore steps.
    void RequestStop() { m_stopRequested = true; }

    int Progress() const { return m_progress; }
    std::uint8_t MediumIndex() const { return m_mediumIndex; }
    std::uint16_t EstimatedDuration() const { return m_estimatedDuration; }
    // False when the drive was still not ready when the estimate ran out.
    bool DriveBecameReady() const { return m_driveBecameReady; }

private:
    void Execute() noexcept;
    void ProgressStep();
    bool TimeLeft() const;

    TSCSIDevice& m_device;
    const std::uint8_t m_mediumIndex;
    const std::uint16_t m_estimatedDuration;
    double m_elapsed = 0;                        // only the body touches it
    std::atomic<int> m_progress{0};              // written by the body, polled by the GUI timer
    std::atomic<bool> m_stopRequested{false};    // set by the owner, polled by the body
    std::atomic<bool> m_driveBecameReady{false}; // written by the body, read after the join
    std::thread m_thread;
};

} // namespace lorvane::drive
