#pragma once
// Text and date encodings of the ISO 9660 and Joliet records: padded identifiers, big-endian UTF-16
// identifiers, the 17-byte volume dates (ECMA-119 8.4.26.1) and the 7-byte record dates (ECMA-119 9.1.5).

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace lorvane::image {

// Raised when a value does not fit the field of the record it belongs to; the message is upper case,
// names the field and the value, and becomes the image build's error text.
class RecordRangeError : public std::range_error {
public:
    using std::range_error::range_error;
};

// A date-time value (days since 1899-12-30, local time) split into calendar fields.
struct CivilTime {
    int year = 1899;
    unsigned month = 12, day = 30, hour = 0, minute = 0, second = 0, millisecond = 0;
};
// The fraction of a day counts forward from midnight even for dates before 1899-12-30, and a
// millisecond count that rounds up to a whole day carries into the next day.
CivilTime DecodeDateTime(double dateTime);

// The value upper-cased (a-z only), cut to `length` bytes and filled with spaces up to `length`.
std::string PaddedText(std::string_view value, std::size_t length);

// The value followed by spaces as big-endian UTF-16 (Joliet), exactly `bytes` bytes (an odd count
// leaves the last byte 0). A surrogate pair the field would split is replaced by a space, so the
// field never ends in half a character.
std::vector<std::uint8_t> JolietText(std::string_view value, std::size_t bytes);

// The whole UTF-8 text as big-endian UTF-16 code units, two bytes each (path table and directory
// record identifiers).
std::vector<std::uint8_t> JolietIdentifier(std::string_view value);

// Sixteen digits YYYYMMDDHHMMSSCC (CC = hundredths). Dates outside the years 0...9999 are held at the
// nearest end (first or last moment), because the field has exactly four digits.
std::string EncodeVolumeDate(double dateTime);

inline constexpr std::size_t kVolumeDateSize = 17;
inline constexpr std::size_t kRecordDateSize = 7;
using VolumeDate = std::array<std::uint8_t, kVolumeDateSize>;
using RecordDate = std::array<std::uint8_t, kRecordDateSize>;

// The sixteen digits followed by a GMT offset of 0.
VolumeDate MakeVolumeDate(double dateTime);
// The sixteen characters "0000000000000000" followed by a 0 byte (date not specified).
VolumeDate MakeZeroDate();

// Writes the record date: years since 1900, month, day, hour, minute, second (truncated), then the
// offset from GMT in 15-minute units as a signed byte. Dates outside the years 1900...2155 are held at
// the nearest end (first or last moment), since one byte counts the years. Throws RecordRangeError when
// gmtOffset is outside -128...127.
void EncodeRecordDate(std::span<std::uint8_t, kRecordDateSize> record, double dateTime, int gmtOffset);

} // namespace lorvane::image
