#include "image/iso_lib.h"

#include <algorithm>
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

char FoldCase(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// FNV-1a over the case-folded bytes, then a final mix so that the low bits, which pick the slot,
// depend on every byte.
std::size_t FoldedHash(std::string_view name) {
    std::uint64_t hash = 0xCBF29CE484222325ull;
    for (const char c : name) {
        hash ^= static_cast<unsigned char>(FoldCase(c));
        hash *= 0x100000001B3ull;
    }
    hash ^= hash >> 33;
    hash *= 0xFF51AFD7ED558CCDull;
    hash ^= hash >> 33;
    return static_cast<std::size_t>(hash);
}

bool EqualFolded(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (FoldCase(a[i]) != FoldCase(b[i])) return false;
    return true;
}

constexpr std::size_t kFirstIndexSize = 8;

} // namespace

void EntryNameIndex::Insert(TFEntry* entry) {
    // At most 70% full, so that probe runs stay short.
    if ((m_count + 1) * 10 > m_slots.size() * 7) {
        std::vector<TFEntry*> old(std::max(kFirstIndexSize, m_slots.size() * 2), nullptr);
        old.swap(m_slots);
        m_count = 0;
        for (TFEntry* kept : old)
            if (kept) Insert(kept);
    }
    const std::size_t mask = m_slots.size() - 1;
    std::size_t at = FoldedHash(entry->LongName) & mask;
    while (m_slots[at]) at = (at + 1) & mask;
    m_slots[at] = entry;
    ++m_count;
}

void EntryNameIndex::Erase(const TFEntry* entry) {
    if (m_slots.empty()) return;
    const std::size_t mask = m_slots.size() - 1;
    std::size_t at = FoldedHash(entry->LongName) & mask;
    while (m_slots[at] && m_slots[at] != entry) at = (at + 1) & mask;
    if (!m_slots[at]) return;
    m_slots[at] = nullptr;
    --m_count;
    // Close the gap: a later entry of the run moves back when its home slot does not lie after the
    // gap, so that no lookup stops early at the free slot.
    for (std::size_t next = (at + 1) & mask; m_slots[next]; next = (next + 1) & mask) {
        const std::size_t home = FoldedHash(m_slots[next]->LongName) & mask;
        const bool homeAfterGap = at <= next ? (at < home && home <= next) : (at < home || home <= next);
        if (homeAfterGap) continue;
        m_slots[at] = m_slots[next];
        m_slots[next] = nullptr;
        at = next;
    }
}

template <typename Match> TFEntry* EntryNameIndex::FindFirst(std::string_view name, Match match) const {
    if (m_slots.empty()) return nullptr;
    const std::size_t mask = m_slots.size() - 1;
    TFEntry* first = nullptr;
    // Names that differ only in case share a run; the earliest in the list wins.
    for (std::size_t at = FoldedHash(name) & mask; m_slots[at]; at = (at + 1) & mask) {
        TFEntry* entry = m_slots[at];
        if (match(*entry) && (!first || entry->m_order < first->m_order)) first = entry;
    }
    return first;
}

TFEntry* EntryNameIndex::FindExact(std::string_view name, bool directoriesOnly) const {
    return FindFirst(name, [&](const TFEntry& entry) {
        return entry.LongName == name && (!directoriesOnly || entry.Dir != nullptr);
    });
}

TFEntry* EntryNameIndex::FindFolded(std::string_view name) const {
    return FindFirst(name, [&](const TFEntry& entry) { return EqualFolded(entry.LongName, name); });
}

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
