#pragma once
// Decoding of SRB status, sense key and additional sense code into the component's upper-case texts.

#include "transport/srb.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace lorvane::drive {

// Byte positions in fixed-format sense data (SPC, response codes 70h/71h).
namespace senseat {
inline constexpr std::size_t kResponseCode = 0;
inline constexpr std::size_t kKey = 2;
inline constexpr std::size_t kAsc = 12;
inline constexpr std::size_t kAscq = 13;
} // namespace senseat

using SenseArea = std::array<std::uint8_t, transport::kSenseAreaLength>;

struct SenseCode {
    std::uint8_t asc;
    std::uint8_t ascq;
    std::string_view text;
};

// Every additional sense code the component names, sorted by (asc, ascq).
std::span<const SenseCode> SenseCodes();

// The text for an SRB status with its host adapter and target status; empty for pending and
// success, "UNKNOWN" for any combination without a name.
std::string StatusText(std::uint8_t status, std::uint8_t hostStatus, std::uint8_t targetStatus);

// The sense key's text for fixed-format sense data; empty when byte 0 is 0, "UNKNOWN" for another
// response code, "CHECK CONDITION" for the keys without a name (9 and 12).
std::string SenseKeyText(std::span<const std::uint8_t, transport::kSenseAreaLength> sense);

// The additional sense code's text, or the two codes in decimal joined by a comma ("115,7").
std::string SenseCodeText(std::uint8_t asc, std::uint8_t ascq);

struct DecodedFailure {
    std::string text;        // what LastErrorText becomes
    bool targetBusy = false; // the target answered busy (08h)
};

// The whole decoding of a failed command: status text, the sense key for a check condition, and the
// additional sense code in parentheses when the drive returned sense data.
DecodedFailure DecodeFailure(std::uint8_t status, std::uint8_t hostStatus, std::uint8_t targetStatus,
                             std::span<const std::uint8_t, transport::kSenseAreaLength> sense);

} // namespace lorvane::drive
