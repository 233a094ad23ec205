#include "cli/options.h"

#include <charconv>

namespace lorvane::cli {

namespace {
struct VerbShape {
    const char* name;
    std::size_t minOperands;
    std::size_t maxOperands;
};
constexpr std::size_t kAny = static_cast<std::size_t>(-1);
constexpr VerbShape kVerbs[] = {
    {"drives", 0, 0},   {"caps", 0, 0},     {"speeds", 0, 0}, {"info", 0, 0},         {"load", 0, 0},
    {"eject", 0, 0},    {"ready", 0, 0},    {"erase", 0, 0},  {"build-iso", 1, kAny}, {"burn", 1, kAny},
    {"burn-iso", 1, 1}, {"sessions", 0, 0}, {"ls", 0, 1},     {"extract", 2, 2}};

std::optional<Invocation::SavePath> SavePathFromWord(const std::string& word) {
    if (word == "none") return Invocation::SavePath::None;
    if (word == "full") return Invocation::SavePath::Full;
    if (word == "last") return Invocation::SavePath::Last;
    return std::nullopt;
}

// "--name VALUE" or "--name=VALUE".
bool IsValueOption(const std::string& arg, const char* name) {
    const std::string option(name);
    return arg == option || arg.rfind(option + "=", 0) == 0;
}

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
        } else if (arg == "-o" || IsValueOption(arg, "--output")) {
            auto file = arg.rfind("--output=", 0) == 0 ? std::optional(arg.substr(9)) : nextValue();
            if (!file || file->empty()) return UsageError{"-o needs an image file name"};
            invocation.output = *file;
        } else if (arg == "--no-joliet") {
            invocation.joliet = false;
        } else if (arg == "--no-recurse") {
            invocation.recurse = false;
        } else if (IsValueOption(arg, "--volume-id")) {
            auto text = arg == "--volume-id" ? nextValue() : std::optional(arg.substr(12));
            if (!text) return UsageError{"--volume-id needs a text"};
            invocation.volumeId = *text;
        } else if (IsValueOption(arg, "--boot")) {
            auto image = arg == "--boot" ? nextValue() : std::optional(arg.substr(7));
            if (!image || image->empty()) return UsageError{"--boot needs a boot image file"};
            invocation.bootImage = *image;
        } else if (IsValueOption(arg, "--save-path")) {
            auto word = arg == "--save-path" ? nextValue() : std::optional(arg.substr(12));
            const auto savePath = word ? SavePathFromWord(*word) : std::nullopt;
            if (!savePath) return UsageError{"--save-path takes none, full or last"};
            invocation.savePath = *savePath;
        } else if (IsValueOption(arg, "--speed")) {
            auto speed = arg == "--speed" ? nextValue() : std::optional(arg.substr(8));
            if (!speed || speed->empty()) return UsageError{"--speed needs a speed (a number or max)"};
            invocation.speed = *speed;
        } else if (IsValueOption(arg, "--import") || IsValueOption(arg, "--session")) {
            const bool import = arg.rfind("--import", 0) == 0;
            const std::size_t nameLength = import ? 8 : 9;
            auto text = arg.size() == nameLength ? nextValue() : std::optional(arg.substr(nameLength + 1));
            int number = 0;
            const bool parsed = text && !text->empty() &&
                                std::from_chars(text->data(), text->data() + text->size(), number).ptr ==
                                    text->data() + text->size();
            const bool valid = parsed && number >= -1 && number <= 255 && number != 0;
            if (!valid)
                return UsageError{std::string(import ? "--import" : "--session") +
                                  " takes a session number from 1 to 255, or -1 for the last"};
            (import ? invocation.importSession : invocation.session) = number;
        } else if (arg == "--test") {
            invocation.testWrite = true;
        } else if (arg == "--close") {
            invocation.closeDisc = true;
        } else if (arg == "--eject") {
            invocation.eject = true;
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
    const std::string& verb = invocation.verb;
    const bool building = verb == "build-iso";
    const bool compiling = building || verb == "burn";
    const bool recording = verb == "burn" || verb == "burn-iso";
    if (verb == "erase" && invocation.quick == invocation.full)
        return UsageError{"erase needs exactly one of --quick and --full"};
    if (verb != "erase" && invocation.full) return UsageError{"--full goes with erase"};
    if (verb != "erase" && !building && invocation.quick)
        return UsageError{"--quick goes with erase and build-iso"};
    if (building && !invocation.output) return UsageError{"build-iso needs -o FILE"};
    if (!building && invocation.output) return UsageError{"-o goes with build-iso"};
    if (!compiling && (!invocation.joliet || !invocation.recurse || invocation.volumeId ||
                       invocation.bootImage || invocation.savePath != Invocation::SavePath::None))
        return UsageError{
            "--no-joliet, --volume-id, --boot, --save-path and --no-recurse go with build-iso and burn"};
    if (!recording && (invocation.speed || invocation.testWrite || invocation.eject))
        return UsageError{"--speed, --test and --eject go with burn and burn-iso"};
    if (verb != "burn" && invocation.closeDisc) return UsageError{"--close goes with burn"};
    if (verb != "burn" && invocation.importSession) return UsageError{"--import goes with burn"};
    if (verb != "ls" && verb != "extract" && invocation.session)
        return UsageError{"--session goes with ls and extract"};
    if (invocation.speed && *invocation.speed != "max") {
        const std::string& text = *invocation.speed;
        const bool digits = text.find_first_not_of("0123456789") == std::string::npos && text.size() <= 5;
        if (!digits || std::stoul(text) == 0 || std::stoul(text) > 9362)
            return UsageError{"--speed takes a whole number from 1 to 9362 (times the medium's 1x) or max"};
    }
    if (invocation.common.medium && !invocation.common.discFile)
        return UsageError{"--medium goes with --virtual"};
    return invocation;
}

std::string UsageText() {
    return "usage: lorvane-cli [--log] [--virtual FILE [--medium KIND]] [-d DEVICE] VERB [OPERANDS]\n"
           "verbs:\n"
           "  drives            list every CD/DVD device, one device string a line\n"
           "  caps              the drive's read and write capabilities and maximum speeds\n"
           "  speeds            the write speeds the drive takes, as the speed list shows them\n"
           "  info              medium, disc size, used space, sessions and free space\n"
           "  load              close the tray\n"
           "  eject             flush the drive's cache, allow removal and open the tray\n"
           "  ready             test whether the unit is ready\n"
           "  erase --quick|--full   erase a rewritable disc, with progress\n"
           "  build-iso -o FILE [--no-joliet] [--volume-id TEXT] [--boot IMAGE]\n"
           "            [--save-path none|full|last] [--no-recurse] [--quick] PATH...\n"
           "                    save the files and folders as an ISO 9660 image (Joliet names unless\n"
           "                    --no-joliet; El Torito bootable with --boot). --save-path: none puts\n"
           "                    every PATH in the root, full keeps its whole folder path, last keeps\n"
           "                    its last folder. Saves in the background with progress unless --quick\n"
           "  burn [--speed X|max] [--test] [--close] [--no-joliet] [--volume-id TEXT] [--boot IMAGE]\n"
           "       [--save-path none|full|last] [--no-recurse] [--eject] PATH...\n"
           "                    record the files and folders on the disc in the drive, with progress;\n"
           "                    --test writes with the laser off, --close closes the disc, Ctrl-C aborts\n"
           "  burn-iso [--speed X|max] [--test] [--eject] FILE\n"
           "                    record an image file on an empty disc\n"
           "  sessions          the sessions on the disc (number, start, size) and the free space\n"
           "  ls [--session N] [DISC-PATH]\n"
           "                    list a folder (the root by default) of session N (the last by default)\n"
           "  extract [--session N] DISC-PATH DEST\n"
           "                    copy a file of the disc to DEST (a file, or a folder to put it in), or\n"
           "                    every file below a folder of the disc into the folder DEST; existing\n"
           "                    files are never overwritten\n"
           "options:\n"
           "  --log             print every diagnostic line to standard error\n"
           "  --virtual FILE    use the virtual recorder in-process with FILE as its disc file\n"
           "  --medium KIND     the medium of a new virtual disc: none, cd-rom, cd-r, cd-rw, dvd-rom,\n"
           "                    dvd-r, dvd-rw, dvd+r, dvd+rw, dvd-ram (cd-rom and dvd-rom with an\n"
           "                    existing FILE present that file as a pressed disc)\n"
           "  -d DEVICE         select a drive by its device string or its position (1 = first)\n";
}

} // namespace lorvane::cli
