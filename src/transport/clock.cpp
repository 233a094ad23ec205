#include "transport/clock.h"

#include <poll.h>

#include <algorithm>
#include <thread>

namespace lorvane::transport {

namespace {

bool Readable(int fd, int timeoutMs) {
    pollfd p{.fd = fd, .events = POLLIN, .revents = 0};
    return ::poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN) != 0;
}

class RealClock final : public Clock {
public:
    TimePoint Now() const override { return std::chrono::steady_clock::now(); }
    void SleepFor(std::chrono::milliseconds duration) override { std::this_thread::sleep_for(duration); }
    bool WaitForEvent(int eventFd, std::chrono::milliseconds timeout) override {
        const auto deadline = Now() + timeout;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Now());
            if (Readable(eventFd, static_cast<int>(std::max<std::int64_t>(left.count(), 0)))) return true;
            if (Now() >= deadline) return false;
        }
    }
};

} // namespace

bool Clock::WaitForEvent(int eventFd, std::chrono::milliseconds timeout) {
    constexpr std::chrono::milliseconds kStep{10};
    const auto deadline = Now() + timeout;
    for (;;) {
        if (Readable(eventFd, 0)) return true;
        const auto now = Now();
        if (now >= deadline) return false;
        SleepFor(std::min(kStep, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now)));
    }
}

ScaledClock::ScaledClock(unsigned factor)
    : m_factor(factor == 0 ? 1 : factor), m_start(std::chrono::steady_clock::now()) {}

Clock::TimePoint ScaledClock::Now() const {
    return m_start + (std::chrono::steady_clock::now() - m_start) * m_factor;
}

void ScaledClock::SleepFor(std::chrono::milliseconds duration) {
    const auto real = std::chrono::duration_cast<std::chrono::microseconds>(duration) / m_factor;
    if (real.count() > 0)
        std::this_thread::sleep_for(real);
    else
        std::this_thread::yield();
}

Clock& SystemClock() {
    static RealClock clock;
    return clock;
}

} // namespace lorvane::transport
