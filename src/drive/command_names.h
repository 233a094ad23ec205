#pragma once
// Fixed-width names of the operation codes, as the failure log shows them.

#include <array>
#include <cstdint>
#include <string>

namespace lorvane::drive {

inline constexpr std::size_t kCommandNameWidth = 22;

// 256 entries indexed by operation code: a 22-character name for the commands this system knows,
// the code as two upper-case hexadecimal digits ("5E") for every other code.
const std::array<std::string, 256>& CommandNames();

} // namespace lorvane::drive
