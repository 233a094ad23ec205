#pragma once
// lorvane-cli's session verbs: the session list of the disc information window, and browsing and
// extracting the files of a session already on the disc.

#include <iosfwd>
#include <optional>
#include <string>

#include "app/core/entry_names.h"
#include "cli/options.h"
#include "image/orbel_burner.h"

namespace lorvane::cli {

// sessions: the session lines and the free-space line; 1 when the drive reports no ready medium.
int Sessions(image::TOrbelBurner& burner, std::ostream& out);

// ls [--session N] [DISC-PATH]: imports the session (the last by default) and lists the folder, or the
// one file, that DISC-PATH names ("/"-separated, letters matched without regard to case).
int ListSession(image::TOrbelBurner& burner, const Invocation& invocation, std::ostream& out,
                std::ostream& err);

// extract [--session N] DISC-PATH DEST: one file to DEST (a file name, or a folder to put it in), or
// every file below a folder into the folder DEST. Never overwrites a local file.
int ExtractSession(image::TOrbelBurner& burner, const Invocation& invocation, std::ostream& out,
                   std::ostream& err);

// The disc names rules the desktop program's file viewer follows too.
using app::DiscEntryName;
using app::SafeLocalName;

} // namespace lorvane::cli
