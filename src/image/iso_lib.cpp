#include "image/iso_lib.h"

#include <optional>

namespace lorvane::image {
namespace {

// Decodes one UTF-8 sequence at text[at]; nullopt for an invalid, overlong or truncated one.
// `length` receives the bytes consumed (1 for an invalid byte).
std::optional<char32_t> DecodeAt(std::string_view text, std::size_t at, std::size_t& length) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    length = 1;
    if (lead < 0x80) return lead;
    std::size_t count = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        count = 1, value = lead & 0x1Fu, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        count = 2, value = lead & 0x0Fu, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        count = 3, value = lead & 0x07u, minimum = 0x10000;
    } else {
        return std::nullopt;
    }
    if (at + count >= text.size()) return std::nullopt;
    for (std::size_t i = 1; i <= count; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return std::nullopt;
        value = (value << 6) | (byte(at + i) & 0x3Fu);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return std::nullopt;
    length = count + 1;
    return value;
}

} // namespace

std::string UpperCase(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

std::string MakeShortName(std::string_view name) {
    std::string out;
    std::size_t characters = 0;
    for (std::size_t at = 0; at < name.size() && characters < 13; ++characters) {
        std::size_t length = 1;
        const auto code = DecodeAt(name, at, length);
        const char32_t c = code.value_or(0xFFFD);
        if (c <= 32 || c >= 123)
            out += '_';
        else
            out += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
        at += length;
    }
    return out;
}

std::string JolietSafeName(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (std::size_t at = 0; at < name.size();) {
        std::size_t length = 1;
        const auto code = DecodeAt(name, at, length);
        // Joliet 1995: the identifiers exclude 00h-1Fh, "*", "/", ":", ";", "?" and "\".
        if (!code || *code < 0x20 || *code == '*' || *code == '/' || *code == ':' || *code == ';' ||
            *code == '?' || *code == '\\')
            out += '_';
        else
            out.append(name.substr(at, length));
        at += length;
    }
    return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        std::size_t length = 1;
        const char32_t c = DecodeAt(text, at, length).value_or(0xFFFD);
        if (c >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        at += length;
    }
    return out;
}

std::size_t Utf16Length(std::string_view text) {
    std::size_t units = 0;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t length = 1;
        const char32_t c = DecodeAt(text, at, length).value_or(0xFFFD);
        units += c >= 0x10000 ? 2 : 1;
        at += length;
    }
    return units;
}

std::size_t CodePointCount(std::string_view text) {
    std::size_t count = 0;
    for (std::size_t at = 0; at < text.size(); ++count) {
        std::size_t length = 1;
        DecodeAt(text, at, length);
        at += length;
    }
    return count;
}

} // namespace lorvane::image
