#include "recorder/disc_state.h"

#include <charconv>
#include <sstream>

namespace lorvane::recorder {

namespace {

constexpr std::string_view kMagic = "lorvane-disc-state";
constexpr unsigned kVersion = 1;

std::uint32_t RoundUp(std::uint32_t value, std::uint32_t unit) {
    const std::uint64_t rounded = (std::uint64_t{value} + unit - 1) / unit * unit;
    return rounded > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(rounded);
}

std::string_view RwModeName(RwMode mode) {
    switch (mode) {
    case RwMode::Sequential: return "sequential";
    case RwMode::MinimallyBlanked: return "minimally-blanked";
    case RwMode::RestrictedOverwrite: return "restricted-overwrite";
    }
    return "sequential";
}

std::optional<RwMode> RwModeFromName(std::string_view name) {
    for (RwMode mode : {RwMode::Sequential, RwMode::MinimallyBlanked, RwMode::RestrictedOverwrite})
        if (RwModeName(mode) == name) return mode;
    return std::nullopt;
}

bool ParseNumber(std::string_view text, std::uint32_t& out) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

bool ParseFlag(std::string_view text, bool& out) {
    if (text != "0" && text != "1") return false;
    out = text == "1";
    return true;
}

std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t at = 0;
    while (at < line.size()) {
        const std::size_t begin = line.find_first_not_of(' ', at);
        if (begin == std::string_view::npos) break;
        const std::size_t end = std::min(line.find(' ', begin), line.size());
        words.push_back(line.substr(begin, end - begin));
        at = end;
    }
    return words;
}

// The invariants every loaded state must keep, so that no command can index or count past them.
std::string Check(const DiscState& state) {
    const std::uint32_t limit = IsPressed(state.kind) ? 0xFFFFFFFFu : CapacityLimit(state);
    if (state.tracks.size() > 255) return "too many tracks";
    if (IsCd(state.kind) && state.tracks.size() > geometry::kMaxCdTracks) return "too many tracks for a CD";
    if (state.sessions.size() > 255) return "too many sessions";
    std::uint64_t previousEnd = 0;
    for (const TrackRecord& track : state.tracks) {
        const std::uint64_t end =
            std::uint64_t{track.start} + (track.closed || track.reserved ? track.size : track.recorded);
        if (track.start < previousEnd || end > limit) return "a track overlaps another or runs past the disc";
        if ((track.closed || track.reserved) && track.recorded > track.size) return "a track holds too much";
        if (track.session == 0 || track.session > state.sessions.size())
            return "a track's session is missing";
        if (state.sessions[track.session - 1].closed && !track.closed)
            return "an open track in a closed session";
        previousEnd = end;
    }
    for (std::size_t i = 0; i + 1 < state.sessions.size(); ++i)
        if (!state.sessions[i].closed) return "only the last session can be open";
    if (!IsOverwritable(state) && !state.finalized && !state.sessions.empty() && state.sessions.back().closed)
        return "an appendable disc needs an open session";
    if (state.formattedBlocks > limit || state.recordedEnd > limit) return "formatted size past the disc";
    return {};
}

} // namespace

bool IsCd(MediumKind kind) {
    return kind == MediumKind::CdRom || kind == MediumKind::CdR || kind == MediumKind::CdRw;
}

bool IsPressed(MediumKind kind) {
    return kind == MediumKind::CdRom || kind == MediumKind::DvdRom;
}

bool IsErasable(MediumKind kind) {
    return kind == MediumKind::CdRw || kind == MediumKind::DvdRw || kind == MediumKind::DvdPlusRw ||
           kind == MediumKind::DvdRam;
}

std::uint16_t ProfileOf(const DiscState& state) {
    switch (state.kind) {
    case MediumKind::None: return 0x0000;
    case MediumKind::CdRom: return 0x0008;
    case MediumKind::CdR: return 0x0009;
    case MediumKind::CdRw: return 0x000A;
    case MediumKind::DvdRom: return 0x0010;
    case MediumKind::DvdR: return 0x0011;
    case MediumKind::DvdRam: return 0x0012;
    case MediumKind::DvdRw: return state.rwMode == RwMode::RestrictedOverwrite ? 0x0013 : 0x0014;
    case MediumKind::DvdPlusRw: return 0x001A;
    case MediumKind::DvdPlusR: return 0x001B;
    }
    return 0x0000;
}

std::uint32_t CapacityLimit(const DiscState& state) {
    switch (state.kind) {
    case MediumKind::CdR:
    case MediumKind::CdRw: return geometry::kAtipLeadOutLba;
    case MediumKind::DvdR: return geometry::kDvdMinusRCapacity;
    case MediumKind::DvdRw:
        return state.rwMode == RwMode::RestrictedOverwrite ? geometry::kDvdRwFormattedCapacity
                                                           : geometry::kDvdMinusRCapacity;
    case MediumKind::DvdPlusR:
    case MediumKind::DvdPlusRw: return geometry::kDvdPlusCapacity;
    case MediumKind::DvdRam: return geometry::kDvdRamMaximumCapacity;
    case MediumKind::CdRom:
    case MediumKind::DvdRom: return state.tracks.empty() ? 0 : state.tracks.front().size;
    case MediumKind::None: return 0;
    }
    return 0;
}

bool IsOverwritable(const DiscState& state) {
    return state.kind == MediumKind::DvdPlusRw || state.kind == MediumKind::DvdRam ||
           (state.kind == MediumKind::DvdRw && state.rwMode == RwMode::RestrictedOverwrite);
}

DiscState BlankDisc(MediumKind kind) {
    DiscState state;
    state.kind = kind;
    if (kind == MediumKind::DvdRam) {
        // DVD-RAM is sold formatted with the default spare areas.
        state.formatted = true;
        state.formattedBlocks = geometry::kDvdRamDefaultCapacity;
    } else if (kind != MediumKind::DvdPlusRw) {
        state.sessions.push_back(SessionRecord{});
    }
    return state;
}

DiscState PressedDisc(MediumKind kind, std::uint32_t blocks) {
    DiscState state;
    state.kind = kind;
    state.finalized = true;
    state.sessions.push_back(SessionRecord{.start = 0, .closed = true});
    state.tracks.push_back(TrackRecord{.start = 0, .size = blocks, .recorded = blocks, .closed = true});
    return state;
}

std::optional<WritableTrack> NextWritable(const DiscState& state) {
    if (state.finalized || IsOverwritable(state) || IsPressed(state.kind) || state.sessions.empty())
        return std::nullopt;
    const SessionRecord& open = state.sessions.back();
    if (open.closed) return std::nullopt;
    const auto session = static_cast<std::uint16_t>(state.sessions.size());
    if (!state.tracks.empty() && state.tracks.back().session == session) {
        const TrackRecord& last = state.tracks.back();
        const std::size_t index = state.tracks.size() - 1;
        const bool full = last.reserved && last.recorded >= last.size;
        if (!last.closed && !full)
            return WritableTrack{index, last.start, last.start + last.recorded, session};
        if (last.discAtOnce) return std::nullopt; // a disc-at-once recording holds one track
        if (IsCd(state.kind) && state.tracks.size() >= geometry::kMaxCdTracks) return std::nullopt;
        const std::uint32_t end = last.start + last.size;
        const std::uint32_t start =
            IsCd(state.kind) ? end + geometry::kPreGap : RoundUp(end, geometry::kEccBlock);
        return WritableTrack{std::nullopt, start, start, session};
    }
    if (IsCd(state.kind) && state.tracks.size() >= geometry::kMaxCdTracks) return std::nullopt;
    return WritableTrack{std::nullopt, open.start, open.start, session};
}

std::uint32_t LastLeadOut(const DiscState& state) {
    std::uint32_t leadOut = 0;
    for (const TrackRecord& track : state.tracks)
        if (track.session <= state.sessions.size() && state.sessions[track.session - 1].closed)
            leadOut = track.start + track.size;
    return leadOut;
}

std::size_t ClosedSessions(const DiscState& state) {
    std::size_t closed = 0;
    for (const SessionRecord& session : state.sessions) closed += session.closed ? 1 : 0;
    return closed;
}

std::string SaveDiscState(const DiscState& state) {
    std::ostringstream out;
    out << kMagic << ' ' << kVersion << '\n';
    out << "kind " << MediumKindName(state.kind) << '\n';
    out << "write-protected " << int{state.writeProtected} << '\n';
    out << "finalized " << int{state.finalized} << '\n';
    out << "formatted " << int{state.formatted} << ' ' << state.formattedBlocks << '\n';
    out << "recorded-end " << state.recordedEnd << '\n';
    out << "dvd-rw-mode " << RwModeName(state.rwMode) << '\n';
    out << "background " << static_cast<unsigned>(state.background) << '\n';
    for (const SessionRecord& session : state.sessions)
        out << "session " << session.start << ' ' << int{session.closed} << '\n';
    for (const TrackRecord& track : state.tracks)
        out << "track " << track.start << ' ' << track.size << ' ' << track.recorded << ' ' << track.session
            << ' ' << int{track.closed} << ' ' << int{track.reserved} << ' ' << int{track.discAtOnce} << '\n';
    return out.str();
}

ParsedDiscState ParseDiscState(std::string_view text) {
    DiscState state;
    bool sawHeader = false, sawKind = false;
    std::size_t lineNumber = 0;
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        const std::string_view line = text.substr(0, newline);
        text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
        ++lineNumber;
        const std::vector<std::string_view> w = Words(line);
        if (w.empty()) continue;
        const auto bad = [&] {
            return ParsedDiscState{std::nullopt, "line " + std::to_string(lineNumber) + " is not understood"};
        };
        std::uint32_t a = 0, b = 0, c = 0, d = 0;
        bool f1 = false, f2 = false, f3 = false;
        if (!sawHeader) {
            if (w.size() != 2 || w[0] != kMagic) return {std::nullopt, "not a disc state file"};
            if (!ParseNumber(w[1], a) || a != kVersion)
                return {std::nullopt, "disc state version " + std::string(w[1]) + " is not supported"};
            sawHeader = true;
        } else if (w[0] == "kind" && w.size() == 2) {
            const auto kind = MediumKindFromName(w[1]);
            if (!kind || *kind == MediumKind::None || IsPressed(*kind)) return bad();
            state.kind = *kind;
            sawKind = true;
        } else if (w[0] == "write-protected" && w.size() == 2 && ParseFlag(w[1], f1)) {
            state.writeProtected = f1;
        } else if (w[0] == "finalized" && w.size() == 2 && ParseFlag(w[1], f1)) {
            state.finalized = f1;
        } else if (w[0] == "formatted" && w.size() == 3 && ParseFlag(w[1], f1) && ParseNumber(w[2], a)) {
            state.formatted = f1;
            state.formattedBlocks = a;
        } else if (w[0] == "recorded-end" && w.size() == 2 && ParseNumber(w[1], a)) {
            state.recordedEnd = a;
        } else if (w[0] == "dvd-rw-mode" && w.size() == 2 && RwModeFromName(w[1])) {
            state.rwMode = *RwModeFromName(w[1]);
        } else if (w[0] == "background" && w.size() == 2 && ParseNumber(w[1], a) && a <= 3) {
            state.background = static_cast<BackgroundFormat>(a);
        } else if (w[0] == "session" && w.size() == 3 && ParseNumber(w[1], a) && ParseFlag(w[2], f1)) {
            state.sessions.push_back(SessionRecord{.start = a, .closed = f1});
        } else if (w[0] == "track" && w.size() == 8 && ParseNumber(w[1], a) && ParseNumber(w[2], b) &&
                   ParseNumber(w[3], c) && ParseNumber(w[4], d) && d <= 0xFFFF && ParseFlag(w[5], f1) &&
                   ParseFlag(w[6], f2) && ParseFlag(w[7], f3)) {
            state.tracks.push_back(TrackRecord{.start = a,
                                               .size = b,
                                               .recorded = c,
                                               .session = static_cast<std::uint16_t>(d),
                                               .closed = f1,
                                               .reserved = f2,
                                               .discAtOnce = f3});
        } else {
            return bad();
        }
    }
    if (!sawHeader) return {std::nullopt, "not a disc state file"};
    if (!sawKind) return {std::nullopt, "the disc state names no medium kind"};
    if (std::string why = Check(state); !why.empty()) return {std::nullopt, why};
    return {std::move(state), {}};
}

} // namespace lorvane::recorder
