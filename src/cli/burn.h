#pragma once
// lorvane-cli burn and burn-iso: record a compilation, or an existing image file, on the selected drive.

#include <iosfwd>

#include "cli/options.h"
#include "image/orbel_burner.h"

namespace lorvane::cli {

// Exit status: kExitOk when the write ended without error; kExitFailed with the write's error text
// (or the reason it could not start) on err.
int Burn(image::TOrbelBurner& burner, const Invocation& invocation, std::ostream& out, std::ostream& err);
int BurnIso(image::TOrbelBurner& burner, const Invocation& invocation, std::ostream& out, std::ostream& err);

} // namespace lorvane::cli
