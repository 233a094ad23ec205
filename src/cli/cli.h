#pragma once
// lorvane-cli: the command-line front end. Kept apart from main() so tests run it in-process.

#include "transport/clock.h"

#include <iosfwd>
#include <string>
#include <vector>

namespace lorvane::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// With --virtual the recorder and the drive code run on real time sped up this many times, so that a
// disc file is blanked or written in seconds.
inline constexpr unsigned kVirtualTimeFactor = 1000;

// Runs one invocation; args exclude the program name. Output goes to out, reasons and log lines to err.
// clock: the clock of every wait; nullptr for the real clock (sped up with --virtual).
int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
           transport::Clock* clock = nullptr);

} // namespace lorvane::cli
