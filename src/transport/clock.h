#pragma once
// The one injectable clock: every sleep and timed wait of the drive layer, the workers and the
// virtual recorder goes through it, so tests run hour-long waits in virtual time.

#include <chrono>

namespace lorvane::transport {

class Clock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    virtual ~Clock() = default;
    virtual TimePoint Now() const = 0;
    virtual void SleepFor(std::chrono::milliseconds duration) = 0;
    // Waits until the event descriptor (an eventfd) is readable or the time-out has passed; true when
    // it became readable. The default polls in short sleeps on this clock, which a virtual clock needs.
    virtual bool WaitForEvent(int eventFd, std::chrono::milliseconds timeout);
};

// The real clock (steady_clock, real sleeps, poll(2) for events). Lives for the whole process.
Clock& SystemClock();

// Real time sped up by a factor: a sleep of N ms lasts N/factor ms and Now() runs factor times as fast.
// The command-line tool runs the virtual recorder on it, so an hour-long blank of a disc file takes
// seconds while every wait keeps its proportions.
class ScaledClock final : public Clock {
public:
    explicit ScaledClock(unsigned factor);
    TimePoint Now() const override;
    void SleepFor(std::chrono::milliseconds duration) override;

private:
    unsigned m_factor;
    TimePoint m_start;
};

} // namespace lorvane::transport
