#pragma once
// What the disc information window shows: the medium, the disc size, the used space, one line per
// session and the free-space line. Read from the drive without any widget, so the command-line tool
// prints the same.

#include <string>
#include <vector>

namespace lorvane::drive {
class TSCSIDevice;
}

namespace lorvane::app {

struct DiscReport {
    bool ready = false;             // false: the drive reports no ready medium
    std::string medium;             // the short name of the medium type
    std::string discSize;           // "702.83 MB"
    std::string usedSpace;          // "0.00 MB"
    std::vector<std::string> lines; // the session lines, then the free-space line
    // The session number of each session line, in the same order (a session whose start cannot be read
    // has no line, so a line's place in the list need not be its number).
    std::vector<unsigned> sessions;
};

inline constexpr const char* kNoSessionInformation = "     Error getting session information";
inline constexpr const char* kSessionListHeader = " Number     Start     Size";

DiscReport ReadDiscReport(drive::TSCSIDevice& device);

} // namespace lorvane::app
