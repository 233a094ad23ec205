#include "cli/options.h"

namespace lorvane::cli {

namespace {
struct VerbShape {
    const char* name;
    std::size_t minOperands;
    std::size_t maxOperands;
};
constexpr VerbShape kVerbs[] = {{"drives", 0, 0}, {"caps", 0, 0},  {"speeds", 0, 0}, {"info", 0, 0},
                                {"load", 0, 0},   {"eject", 0, 0}, {"ready", 0, 0},  {"erase", 0, 0}};

const VerbShape* FindVerb(const std::string& verb) {
    for (const VerbShape& known : kVerbs)
        if (verb == known.name) return &known;
    return nullptr;
}
} // namespace

std::variant<Invocation, UsageError> ParseCommandLine(const std::vector<std::string>& args) {
    Invocation invocation;
    bool optionsEnded = false;
    std::vector<std::string> words;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const auto nextValue = [&]() -> std::optional<std::string> {
            if (i + 1 >= args.size()) return std::nullopt;
            return args[++i];
        };
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            words.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--log") {
            invocation.common.log = true;
        } else if (arg == "-h" || arg == "--help") {
            invocation.help = true;
        } else if (arg == "--virtual" || arg.rfind("--virtual=", 0) == 0) {
            auto file = arg == "--virtual" ? nextValue() : std::optional(arg.substr(10));
            if (!file || file->empty()) return UsageError{"--virtual needs a disc file"};
            invocation.common.discFile = *file;
        } else if (arg == "--medium" || arg.rfind("--medium=", 0) == 0) {
            auto medium = arg == "--medium" ? nextValue() : std::optional(arg.substr(9));
            if (!medium || medium->empty()) return UsageError{"--medium needs a medium kind"};
            invocation.common.medium = *medium;
        } else if (arg == "--quick") {
            invocation.quick = true;
        } else if (arg == "--full") {
            invocation.full = true;
        } else if (arg == "-d" || arg == "--device" || arg.rfind("--device=", 0) == 0) {
            auto device = arg.rfind("--device=", 0) == 0 ? std::optional(arg.substr(9)) : nextValue();
            if (!device || device->empty()) return UsageError{"-d needs a device string or a position"};
            invocation.common.device = *device;
        } else {
            return UsageError{"unknown option '" + arg + "'"};
        }
    }
    if (invocation.help) return invocation;
    if (words.empty()) return UsageError{"no verb given"};
    invocation.verb = words.front();
    const VerbShape* shape = FindVerb(invocation.verb);
    if (shape == nullptr) return UsageError{"unknown verb '" + invocation.verb + "'"};
    invocation.operands.assign(words.begin() + 1, words.end());
    if (invocation.operands.size() < shape->minOperands || invocation.operands.size() > shape->maxOperands)
        return UsageError{"wrong number of operands for '" + invocation.verb + "'"};
    if (invocation.verb == "erase" && invocation.quick == invocation.full)
        return UsageError{"erase needs exactly one of --quick and --full"};
    if (invocation.verb != "erase" && (invocation.quick || invocation.full))
        return UsageError{"--quick and --full go with erase"};
    if (invocation.common.medium && !invocation.common.discFile)
        return UsageError{"--medium goes with --virtual"};
    return invocation;
}

std::string UsageText() {
    return "usage: lorvane-cli [--log] [--virtual FILE [--medium KIND]] [-d DEVICE] VERB\n"
           "verbs:\n"
           "  drives            list every CD/DVD device, one device string a line\n"
           "  caps              the drive's read and write capabilities and maximum speeds\n"
           "  speeds            the write speeds the drive takes, as the speed list shows them\n"
           "  info              medium, disc size, used space, sessions and free space\n"
           "  load              close the tray\n"
           "  eject             flush the drive's cache, allow removal and open the tray\n"
           "  ready             test whether the unit is ready\n"
           "  erase --quick|--full   erase a rewritable disc, with progress\n"
           "options:\n"
           "  --log             print every diagnostic line to standard error\n"
           "  --virtual FILE    use the virtual recorder in-process with FILE as its disc file\n"
           "  --medium KIND     the medium of a new virtual disc: none, cd-rom, cd-r, cd-rw, dvd-rom,\n"
           "                    dvd-r, dvd-rw, dvd+r, dvd+rw, dvd-ram (cd-rom and dvd-rom with an\n"
           "                    existing FILE present that file as a pressed disc)\n"
           "  -d DEVICE         select a drive by its device string or its position (1 = first)\n";
}

} // namespace lorvane::cli
