#include "image/iso_text.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>

#include "image/iso_lib.h"

namespace lorvane::image {

namespace {

constexpr std::int64_t kMillisecondsPerDay = 86'400'000;
// 1899-12-30, the origin of date-time values, counted from 1970-01-01.
constexpr std::int64_t kOriginToUnixDays = -25'569;

bool IsHighSurrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

void AppendBigEndian(std::vector<std::uint8_t>& out, char16_t unit) {
    const auto value = static_cast<std::uint16_t>(unit);
    out.push_back(static_cast<std::uint8_t>(value / 256));
    out.push_back(static_cast<std::uint8_t>(value % 256));
}

} // namespace

CivilTime DecodeDateTime(double dateTime) {
    if (!std::isfinite(dateTime)) dateTime = 0;
    // Beyond these bounds no field could hold the year anyway; the encoders clamp it.
    dateTime = std::clamp(dateTime, -1.0e7, 1.0e7);
    double wholeDays = std::trunc(dateTime);
    auto milliseconds = static_cast<std::int64_t>(
        std::llround(std::fabs(dateTime - wholeDays) * static_cast<double>(kMillisecondsPerDay)));
    if (milliseconds >= kMillisecondsPerDay) {
        milliseconds -= kMillisecondsPerDay;
        wholeDays += dateTime < 0 ? -1 : 1;
    }
    const std::chrono::sys_days day{
        std::chrono::days{static_cast<std::int64_t>(wholeDays) + kOriginToUnixDays}};
    const std::chrono::year_month_day date{day};
    CivilTime civil;
    civil.year = static_cast<int>(date.year());
    civil.month = static_cast<unsigned>(date.month());
    civil.day = static_cast<unsigned>(date.day());
    civil.hour = static_cast<unsigned>(milliseconds / 3'600'000);
    civil.minute = static_cast<unsigned>(milliseconds / 60'000 % 60);
    civil.second = static_cast<unsigned>(milliseconds / 1000 % 60);
    civil.millisecond = static_cast<unsigned>(milliseconds % 1000);
    return civil;
}

std::string PaddedText(std::string_view value, std::size_t length) {
    std::string text = UpperCase(value.substr(0, std::min(value.size(), length)));
    text.resize(length, ' ');
    return text;
}

std::vector<std::uint8_t> JolietText(std::string_view value, std::size_t bytes) {
    const std::size_t units = bytes / 2;
    std::u16string text = Utf8ToUtf16(value);
    if (text.size() < units) text.resize(units, u' ');
    text.resize(units);
    if (!text.empty() && IsHighSurrogate(text.back())) text.back() = u' ';
    std::vector<std::uint8_t> out;
    out.reserve(bytes);
    for (const char16_t unit : text) AppendBigEndian(out, unit);
    out.resize(bytes, 0);
    return out;
}

std::vector<std::uint8_t> JolietIdentifier(std::string_view value) {
    std::vector<std::uint8_t> out;
    for (const char16_t unit : Utf8ToUtf16(value)) AppendBigEndian(out, unit);
    return out;
}

std::string EncodeVolumeDate(double dateTime) {
    CivilTime t = DecodeDateTime(dateTime);
    if (t.year < 0) t = CivilTime{0, 1, 1, 0, 0, 0, 0};
    if (t.year > 9999) t = CivilTime{9999, 12, 31, 23, 59, 59, 999};
    char digits[64]; // room for any unsigned field, though each is at most two digits here
    std::snprintf(digits, sizeof digits, "%04d%02u%02u%02u%02u%02u%02u", t.year, t.month, t.day, t.hour,
                  t.minute, t.second, t.millisecond / 10);
    return std::string(digits, 16);
}

VolumeDate MakeVolumeDate(double dateTime) {
    VolumeDate date{};
    const std::string digits = EncodeVolumeDate(dateTime);
    std::copy(digits.begin(), digits.end(), date.begin());
    return date; // byte 16, the offset from GMT, stays 0
}

VolumeDate MakeZeroDate() {
    VolumeDate date{};
    std::fill_n(date.begin(), 16, static_cast<std::uint8_t>('0'));
    return date;
}

void EncodeRecordDate(std::span<std::uint8_t, kRecordDateSize> record, double dateTime, int gmtOffset) {
    if (gmtOffset < -128 || gmtOffset > 127)
        throw RecordRangeError("GMT OFFSET " + std::to_string(gmtOffset) + " OUT OF RANGE -128..127");
    CivilTime t = DecodeDateTime(dateTime);
    if (t.year < 1900) t = CivilTime{1900, 1, 1, 0, 0, 0, 0};
    if (t.year > 2155) t = CivilTime{2155, 12, 31, 23, 59, 59, 999};
    record[0] = static_cast<std::uint8_t>(t.year - 1900);
    record[1] = static_cast<std::uint8_t>(t.month);
    record[2] = static_cast<std::uint8_t>(t.day);
    record[3] = static_cast<std::uint8_t>(t.hour);
    record[4] = static_cast<std::uint8_t>(t.minute);
    record[5] = static_cast<std::uint8_t>(t.second);
    record[6] = static_cast<std::uint8_t>(static_cast<std::int8_t>(gmtOffset));
}

} // namespace lorvane::image
