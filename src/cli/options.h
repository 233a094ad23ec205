#pragma once
// Parsing of lorvane-cli's command line: the options every verb shares, then the verb and its operands.

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace lorvane::cli {

struct CommonOptions {
    bool log = false;                    // --log
    std::optional<std::string> discFile; // --virtual FILE
    std::optional<std::string> device;   // -d DEVICE
    std::optional<std::string> medium;   // --medium KIND (with --virtual)
};

struct Invocation {
    CommonOptions common;
    std::string verb;
    std::vector<std::string> operands;
    bool help = false;
    bool quick = false; // erase --quick, build-iso --quick
    bool full = false;  // erase --full

    // How source paths map onto the disc: the three states of the desktop program's "Save path".
    enum class SavePath { None, Full, Last };
    // build-iso
    std::optional<std::string> output; // -o FILE
    bool joliet = true;                // --no-joliet turns it off
    std::optional<std::string> volumeId;
    std::optional<std::string> bootImage;
    SavePath savePath = SavePath::None;
    bool recurse = true; // --no-recurse
    // burn, burn-iso
    std::optional<std::string> speed; // --speed X|max
    bool testWrite = false;           // --test
    bool closeDisc = false;           // --close
    bool eject = false;               // --eject
    std::optional<int> importSession; // burn --import N (-1 the last session)
    // ls, extract
    std::optional<int> session; // --session N
};

struct UsageError {
    std::string message;
};

// Options may stand before or after the verb; "--" ends option parsing.
std::variant<Invocation, UsageError> ParseCommandLine(const std::vector<std::string>& args);

std::string UsageText();

} // namespace lorvane::cli
