#pragma once
// lorvane-cli build-iso: the paths given become a compilation saved as an ISO 9660 image file.

#include <iosfwd>

#include "cli/cli.h"
#include "cli/options.h"

namespace lorvane::cli {

// Exit status: kExitOk when the image was written; kExitFailed for a missing path or boot image, an
// empty compilation, a value the file system cannot hold, or an image that could not be written.
int BuildIso(const Invocation& invocation, std::ostream& out, std::ostream& err);

} // namespace lorvane::cli
