#pragma once
// The media the virtual recorder takes, and how a drive's disc file becomes the disc in its tray.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace lorvane::recorder {

class VirtualDrive;

enum class MediumKind { None, CdRom, CdR, CdRw, DvdRom, DvdR, DvdRw, DvdPlusR, DvdPlusRw, DvdRam };

// "none", "cd-rom", "cd-r", "cd-rw", "dvd-rom", "dvd-r", "dvd-rw", "dvd+r", "dvd+rw", "dvd-ram".
std::optional<MediumKind> MediumKindFromName(std::string_view name);
std::string_view MediumKindName(MediumKind kind);

// Where the state of the disc in discFile is kept: "<discFile>.state".
std::filesystem::path DiscStatePath(const std::filesystem::path& discFile);

// Puts the disc held by the drive's disc file into its tray, as the disc the drive already held when
// the host started (no unit attention is pending):
// - CdRom or DvdRom with a disc file that has content: that file as a pressed disc (never saved);
// - a disc file that is new (missing or empty, no saved state): a blank medium of the given kind
//   (CD-R when none is given), its state saved beside the file;
// - a disc file with saved state and no kind or the saved kind given: the saved medium as it was left;
// - a disc file with content, no saved state and no kind: the pressed disc it makes (CD-ROM when it
//   fits 99 minutes, else DVD-ROM);
// - None: an empty tray.
// Returns the reason when the choice contradicts the file (for example a blank kind asked for a file
// that already holds another disc, or a damaged state file); nullopt on success.
std::optional<std::string> InsertDisc(VirtualDrive& drive, std::optional<MediumKind> kind);

} // namespace lorvane::recorder
