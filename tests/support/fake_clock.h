#pragma once
// A virtual clock for tests: time moves only when somebody sleeps on it.

#include "transport/clock.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

namespace lorvane::testing {

class FakeClock final : public transport::Clock {
public:
    TimePoint Now() const override { return TimePoint(std::chrono::milliseconds(m_nowMs.load())); }
    void SleepFor(std::chrono::milliseconds d) override {
        m_nowMs += d.count();
        m_sleptMs += d.count();
        std::this_thread::yield();
    }
    void Advance(std::chrono::milliseconds d) { m_nowMs += d.count(); }
    std::int64_t NowMs() const { return m_nowMs.load(); }
    std::int64_t SleptMs() const { return m_sleptMs.load(); }

private:
    std::atomic<std::int64_t> m_nowMs{1'000'000};
    std::atomic<std::int64_t> m_sleptMs{0};
};

} // namespace lorvane::testing
