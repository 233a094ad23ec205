#pragma once
// The compilation of lorvane-cli's build-iso and burn: each PATH handled like a row of the desktop
// program's compilation list, with the file-system options applied to the burner.

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

#include "cli/options.h"
#include "image/orbel_burner.h"

namespace lorvane::cli {

inline constexpr const char* kProgram = "lorvane-cli";
// The compilation's room, as the desktop program clears it before a burn or a build.
inline constexpr int kCompilationMaxFiles = 600000;
inline constexpr int kCompilationMaxDirectories = 20000;

// Shows the burner's log on err: every line with --log, else the lines that name a source left out
// or a build problem.
void RouteLog(drive::TSCSIDevice& device, bool everyLine, std::ostream& err);

// Applies the options (Joliet, volume identifier, boot image) and fills the cleared compilation from
// the operands. nullopt when the compilation is ready; else the exit status, with the reason on err.
std::optional<int> FillCompilation(image::TOrbelBurner& burner, const Invocation& invocation,
                                   std::ostream& err);

// Sectors as megabytes (1,048,576 bytes) with two decimals and thousands separators: "1,234.50".
std::string Megabytes(std::int64_t sectors);

} // namespace lorvane::cli
