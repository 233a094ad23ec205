#include "cli/write_progress.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ostream>

#include "cli/compilation.h"

namespace lorvane::cli {

namespace {

std::atomic<bool> g_interrupted{false}; // set by the SIGINT handler, polled by the waiting thread
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void OnInterrupt(int) {
    g_interrupted = true;
}

struct sigaction g_previous {};

int Percent(std::int64_t part, std::int64_t whole) {
    if (whole <= 0) return 0;
    return static_cast<int>(std::min<std::int64_t>(100, part * 100 / whole));
}

} // namespace

WriteWatcher::WriteWatcher(image::TOrbelBurner& burner) : m_burner(burner) {
    m_burner.OnWriteDone = [this](image::TOrbelBurner*, const std::string& error) {
        {
            std::scoped_lock lock(m_lock);
            if (!m_result) m_result = error;
        }
        m_done.notify_all();
    };
    g_interrupted = false;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &g_previous);
}

WriteWatcher::~WriteWatcher() {
    ::sigaction(SIGINT, &g_previous, nullptr);
    m_burner.WaitForWriteEnd();
    m_burner.OnWriteDone = nullptr;
}

std::optional<std::string> WriteWatcher::Result() {
    std::scoped_lock lock(m_lock);
    return m_result;
}

std::string WriteWatcher::Wait(std::ostream& out, bool driveBuffer) {
    bool aborting = false;
    std::string lastLine;
    for (;;) {
        {
            std::unique_lock lock(m_lock);
            if (m_done.wait_for(lock, std::chrono::milliseconds(500), [&] { return m_result.has_value(); }))
                break;
        }
        if (g_interrupted && !aborting) {
            aborting = true;
            out << "aborting ...\n" << std::flush;
            m_burner.AbortWrite();
        }
        const std::int64_t total = m_burner.TotalSectors();
        const std::int64_t written = m_burner.WrittenBytes / 2048;
        std::string line = Megabytes(written) + " of " + Megabytes(total) + " MB, buffer " +
                           std::to_string(m_burner.CacheFillPercent()) + "%";
        if (driveBuffer) {
            const std::uint32_t size = m_burner.DeviceBufferSize;
            const std::uint32_t free = m_burner.DeviceFreeBufferSize;
            line += ", drive " + std::to_string(Percent(size > free ? size - free : 0, size)) + "%";
        }
        line = std::to_string(Percent(written, total)) + "%  " + line;
        if (line != lastLine) out << line << '\n' << std::flush;
        lastLine = line;
    }
    m_burner.WaitForWriteEnd();
    return *Result();
}

} // namespace lorvane::cli
