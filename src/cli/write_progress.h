#pragma once
// Waiting for a write started through the burner (burn, burn-iso, background build-iso): a progress
// line while it runs, Ctrl-C asks it to stop, and the completion's error text comes back.

#include <condition_variable>
#include <iosfwd>
#include <mutex>
#include <optional>
#include <string>

#include "image/orbel_burner.h"

namespace lorvane::cli {

class WriteWatcher {
public:
    // Takes the burner's OnWriteDone; hooks Ctrl-C for the watcher's lifetime.
    explicit WriteWatcher(image::TOrbelBurner& burner);
    ~WriteWatcher();
    WriteWatcher(const WriteWatcher&) = delete;
    WriteWatcher& operator=(const WriteWatcher&) = delete;

    // Shows progress every half second until the write has ended; its error text ("" on success).
    // driveBuffer: the drive's buffer fill is part of the line.
    std::string Wait(std::ostream& out, bool driveBuffer);
    // The error text when the write already ended (a start that failed), else nullopt.
    std::optional<std::string> Result();

private:
    image::TOrbelBurner& m_burner;
    std::mutex m_lock; // guards m_result
    std::condition_variable m_done;
    std::optional<std::string> m_result;
};

} // namespace lorvane::cli
