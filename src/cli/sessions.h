#pragma once
// lorvane-cli's session verbs: the session list of the disc information window, and browsing and
// extracting the files of a session already on the disc.

#include <iosfwd>
#include <optional>
#include <string>

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

// The name a disc entry is shown and written under: its long name without the "." the tree gives a
// file name that has none.
std::string DiscEntryName(const image::TFEntry& entry);

// A name from the disc as one local path component that stays inside its folder: "/" and "\" become
// "_", and an empty name, "." and ".." become underscores. nullopt when the name is already safe.
std::optional<std::string> SafeLocalName(const std::string& name);

} // namespace lorvane::cli
