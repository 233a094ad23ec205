#pragma once
// The names entries of an imported session are shown and written under, on any local disk.

#include <optional>
#include <string>

#include "image/iso_lib.h"

namespace lorvane::app {

// The name a disc entry is shown and written under: its long name without the "." the tree gives a
// file name that has none.
std::string DiscEntryName(const image::TFEntry& entry);

// A name from the disc as one local path component that stays inside its folder: "/" and "\" become
// "_", and an empty name, "." and ".." become underscores. nullopt when the name is already safe.
std::optional<std::string> SafeLocalName(const std::string& name);

} // namespace lorvane::app
