#include "recorder/media.h"

#include "recorder/disc_medium.h"
#include "recorder/disc_state.h"
#include "recorder/virtual_drive.h"

#include <array>
#include <fstream>
#include <memory>
#include <sstream>
#include <system_error>
#include <utility>

namespace lorvane::recorder {

namespace {

constexpr std::array<std::pair<MediumKind, std::string_view>, 10> kNames{{
    {MediumKind::None, "none"},
    {MediumKind::CdRom, "cd-rom"},
    {MediumKind::CdR, "cd-r"},
    {MediumKind::CdRw, "cd-rw"},
    {MediumKind::DvdRom, "dvd-rom"},
    {MediumKind::DvdR, "dvd-r"},
    {MediumKind::DvdRw, "dvd-rw"},
    {MediumKind::DvdPlusR, "dvd+r"},
    {MediumKind::DvdPlusRw, "dvd+rw"},
    {MediumKind::DvdRam, "dvd-ram"},
}};

std::optional<std::string> InsertPressed(VirtualDrive& drive, MediumKind kind, std::uint64_t bytes) {
    const std::uint64_t blocks = (bytes + kSectorSize - 1) / kSectorSize;
    const std::uint32_t largest =
        kind == MediumKind::CdRom ? geometry::kLargestCdRom : geometry::kLargestDvdRom;
    if (blocks == 0) return "a pressed disc needs a disc file with content";
    if (blocks > largest) return "the disc file is too large for a " + std::string(MediumKindName(kind));
    drive.ChangeMedium(std::make_unique<DiscMedium>(PressedDisc(kind, static_cast<std::uint32_t>(blocks)),
                                                    std::filesystem::path()),
                       VirtualDrive::Notice::AlreadyLoaded);
    return std::nullopt;
}

} // namespace

std::optional<MediumKind> MediumKindFromName(std::string_view name) {
    for (const auto& [kind, text] : kNames)
        if (text == name) return kind;
    return std::nullopt;
}

std::string_view MediumKindName(MediumKind kind) {
    for (const auto& [k, text] : kNames)
        if (k == kind) return text;
    return "none";
}

std::filesystem::path DiscStatePath(const std::filesystem::path& discFile) {
    std::filesystem::path state = discFile;
    state += ".state";
    return state;
}

std::optional<std::string> InsertDisc(VirtualDrive& drive, std::optional<MediumKind> kind) {
    if (kind == MediumKind::None) {
        drive.ChangeMedium(nullptr, VirtualDrive::Notice::AlreadyLoaded);
        return std::nullopt;
    }
    const std::filesystem::path& disc = drive.DiscPath();
    const std::filesystem::path statePath = DiscStatePath(disc);
    std::error_code error;
    const std::uint64_t bytes =
        std::filesystem::is_regular_file(disc, error) ? std::filesystem::file_size(disc, error) : 0;
    if (kind && IsPressed(*kind)) return InsertPressed(drive, *kind, error ? 0 : bytes);

    if (std::filesystem::exists(statePath, error)) {
        std::ifstream in(statePath, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        if (!in) return "the disc state " + statePath.string() + " cannot be read";
        ParsedDiscState parsed = ParseDiscState(text.str());
        if (!parsed.state) return "the disc state " + statePath.string() + " is damaged: " + parsed.error;
        if (kind && *kind != parsed.state->kind)
            return "the disc file holds a " + std::string(MediumKindName(parsed.state->kind)) +
                   " disc, not a " + std::string(MediumKindName(*kind));
        drive.ChangeMedium(std::make_unique<DiscMedium>(std::move(*parsed.state), statePath),
                           VirtualDrive::Notice::AlreadyLoaded);
        return std::nullopt;
    }
    if (bytes != 0) {
        if (kind)
            return "the disc file holds data but no disc state, so it cannot be a blank " +
                   std::string(MediumKindName(*kind)) + "; use cd-rom or dvd-rom to read it";
        // An image file on its own: the pressed disc it would make.
        const MediumKind pressed = (bytes + kSectorSize - 1) / kSectorSize <= geometry::kLargestCdRom
                                       ? MediumKind::CdRom
                                       : MediumKind::DvdRom;
        return InsertPressed(drive, pressed, bytes);
    }
    auto medium = std::make_unique<DiscMedium>(BlankDisc(kind.value_or(MediumKind::CdR)), statePath);
    if (!medium->Save()) return "the disc state " + statePath.string() + " cannot be written";
    drive.ChangeMedium(std::move(medium), VirtualDrive::Notice::AlreadyLoaded);
    return std::nullopt;
}

} // namespace lorvane::recorder
