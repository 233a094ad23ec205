#pragma once
// Runs lorvane-cli in-process on the virtual clock and keeps what it printed.

#include <sstream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "support/fake_clock.h"

namespace lorvane::cli::testing {

struct Result {
    int status;
    std::string out;
    std::string err;
};

inline Result RunTool(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    lorvane::testing::FakeClock clock; // long drive operations pass in virtual time
    const int status = RunCli(args, out, err, &clock);
    return {status, out.str(), err.str()};
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

} // namespace lorvane::cli::testing
