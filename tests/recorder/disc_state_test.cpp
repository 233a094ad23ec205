#include "recorder/disc_state.h"

#include <gtest/gtest.h>

#include <string>

namespace lorvane::recorder {
namespace {

// A CD-R with one closed session of the worked example and an open second session.
DiscState TwoSessionCd() {
    DiscState state = BlankDisc(MediumKind::CdR);
    state.sessions = {{.start = 0, .closed = true}, {.start = 11702, .closed = false}};
    state.tracks = {{.start = 0, .size = 302, .recorded = 300, .session = 1, .closed = true},
                    {.start = 11702, .recorded = 40, .session = 2}};
    return state;
}

const std::string kTwoSessionCdText = "lorvane-disc-state 1\n"
                                      "kind cd-r\n"
                                      "write-protected 0\n"
                                      "finalized 0\n"
                                      "formatted 0 0\n"
                                      "recorded-end 0\n"
                                      "dvd-rw-mode sequential\n"
                                      "background 0\n"
                                      "session 0 1\n"
                                      "session 11702 0\n"
                                      "track 0 302 300 1 1 0 0\n"
                                      "track 11702 0 40 2 0 0 0\n";

TEST(DiscState, SavedTextIsSmallAndVersioned) {
    EXPECT_EQ(SaveDiscState(TwoSessionCd()), kTwoSessionCdText);
}

TEST(DiscState, EveryKindOfStateSurvivesTheRoundTrip) {
    DiscState plusRw = BlankDisc(MediumKind::DvdPlusRw);
    plusRw.formatted = true;
    plusRw.formattedBlocks = 2295104;
    plusRw.recordedEnd = 5000;
    plusRw.background = BackgroundFormat::Suspended;
    DiscState rw = BlankDisc(MediumKind::DvdRw);
    rw.rwMode = RwMode::MinimallyBlanked;
    rw.writeProtected = true;
    rw.tracks = {{.start = 0, .size = 1008, .recorded = 1000, .reserved = true, .discAtOnce = true}};
    DiscState finalized = TwoSessionCd();
    finalized.tracks[1].closed = true;
    finalized.tracks[1].size = 42;
    finalized.sessions[1].closed = true;
    finalized.finalized = true;
    for (const DiscState& state : {TwoSessionCd(), plusRw, rw, finalized, BlankDisc(MediumKind::DvdRam),
                                   BlankDisc(MediumKind::DvdPlusR)}) {
        SCOPED_TRACE(SaveDiscState(state));
        const ParsedDiscState parsed = ParseDiscState(SaveDiscState(state));
        ASSERT_TRUE(parsed.state) << parsed.error;
        EXPECT_EQ(*parsed.state, state);
    }
}

TEST(DiscState, ParseRefusesWhatItDoesNotFullyUnderstand) {
    const auto replaced = [](const std::string& from, const std::string& to) {
        std::string text = kTwoSessionCdText;
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    const struct {
        const char* what;
        std::string text;
    } cases[] = {
        {"empty", ""},
        {"another file", "hello\n"},
        {"a later version", replaced("state 1", "state 2")},
        {"no kind", replaced("kind cd-r\n", "")},
        {"unknown kind", replaced("cd-r", "bd-r")},
        {"pressed discs are never saved", replaced("cd-r", "cd-rom")},
        {"a number with junk", replaced("track 0 302", "track 0 302x")},
        {"a negative number", replaced("track 0 302", "track 0 -302")},
        {"a flag that is not 0 or 1", replaced("finalized 0", "finalized 2")},
        {"an unknown line", kTwoSessionCdText + "speed 16\n"},
        {"overlapping tracks", replaced("track 11702 0 40", "track 200 0 40")},
        {"a track past the ATIP lead-out", replaced("track 11702 0 40", "track 359840 0 40")},
        {"a track in a missing session", replaced("40 2 0", "40 3 0")},
        {"an open track in a closed session", replaced("track 0 302 300 1 1", "track 0 302 300 1 0")},
        {"an open session before the last", replaced("session 0 1", "session 0 0")},
        {"a recorded count beyond the track", replaced("track 0 302 300", "track 0 302 303")},
        {"an appendable disc without an open session", replaced("session 11702 0", "session 11702 1")},
        {"a formatted size past the disc", replaced("formatted 0 0", "formatted 1 4000000")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ParsedDiscState parsed = ParseDiscState(c.text);
        EXPECT_FALSE(parsed.state);
        EXPECT_FALSE(parsed.error.empty());
    }
}

TEST(DiscState, NextWritableAddressFollowsTheGeometry) {
    const struct {
        const char* what;
        DiscState state;
        std::optional<std::uint32_t> nextWritable;
    } cases[] = {
        {"blank CD-R", BlankDisc(MediumKind::CdR), 0u},
        {"open track", TwoSessionCd(), 11742u},
        {"finalized", PressedDisc(MediumKind::CdRom, 100), std::nullopt},
        {"overwritable", BlankDisc(MediumKind::DvdPlusRw), std::nullopt},
        {"after a closed DVD+R track: whole ECC blocks",
         [] {
             DiscState s = BlankDisc(MediumKind::DvdPlusR);
             s.tracks = {{.start = 0, .size = 112, .recorded = 100, .closed = true}};
             return s;
         }(),
         112u},
        {"after a closed CD track in the same session: the pre-gap",
         [] {
             DiscState s = BlankDisc(MediumKind::CdR);
             s.tracks = {{.start = 0, .size = 302, .recorded = 300, .closed = true}};
             return s;
         }(),
         452u},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto next = NextWritable(c.state);
        ASSERT_EQ(next.has_value(), c.nextWritable.has_value());
        if (next) {
            EXPECT_EQ(next->nextWritable, *c.nextWritable);
        }
    }
}

} // namespace
} // namespace lorvane::recorder
