#pragma once
// lorvane-cli: the command-line front end. Kept apart from main() so tests run it in-process.

#include <iosfwd>
#include <string>
#include <vector>

namespace lorvane::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// Runs one invocation; args exclude the program name. Output goes to out, reasons and log lines to err.
int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace lorvane::cli
