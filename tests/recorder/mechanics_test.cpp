#include "recorder/mechanics.h"

#include "support/fake_clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <vector>

namespace lorvane::recorder {
namespace {

using Bytes = std::vector<std::uint8_t>;
using std::chrono::milliseconds;
constexpr std::uint16_t kCdR = 0x0009, kDvdR = 0x0011, kDvdRam = 0x0012, kNoMedium = 0x0000;

DriveModel CdRDrive() { // 24x/16x/8x/4x CD-R writer
    DriveModel model;
    model.readsDvd = model.readsDvdRam = false;
    model.writesDvdR = model.writesDvdRam = model.writesDvdPlus = false;
    model.cdWriteSpeedsKBs = {4234, 2823, 1411, 706};
    return model;
}

TEST(DriveMechanics, RoundsSpeedsDownToTheListOfTheMediumKindAndUpToTheSlowest) {
    constexpr struct {
        bool cdRDrive;
        std::uint16_t profile, readAsked, writeAsked, read, write;
    } kCases[] = {
        {false, kCdR, 0xFFFF, 0xFFFF, 8467, 7056}, // FFFFh: the fastest for a CD
        {false, kNoMedium, 0xFFFF, 0xFFFF, 8467, 7056},
        {false, kCdR, 10000, 7100, 8467, 7056}, // above the fastest
        {false, kCdR, 1770, 5000, 1770, 4234},  // 5000 lies between 24x and 32x
        {false, kCdR, 0, 100, 176, 706},        // below the slowest: up to it
        {false, kDvdR, 0xFFFF, 0xFFFF, 22160, 22160},
        {false, kDvdR, 0, 1418, 1385, 2770}, // 1x DVD asked, 2x is the slowest
        {false, kDvdRam, 30000, 11100, 22160, 11080},
        {true, kCdR, 0xFFFF, 16 * 177, 8467, 2823}, // 16x as hosts send it
        {true, kCdR, 0xFFFF, 24 * 177, 8467, 4234},
        {true, kCdR, 0xFFFF, 8 * 177, 8467, 1411},
        {true, kDvdR, 0xFFFF, 0xFFFF, 22160, 0}, // writes no DVD at all
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.profile << ' ' << std::dec << c.readAsked << '/'
                                          << c.writeAsked << (c.cdRDrive ? " CD-R drive" : ""));
        DriveMechanics mechanics(c.cdRDrive ? CdRDrive() : DriveModel{});
        mechanics.SetMediumProfile(c.profile);
        mechanics.SetSpeeds(c.readAsked, c.writeAsked);
        EXPECT_EQ(mechanics.ReadSpeedKBs(), c.read);
        EXPECT_EQ(mechanics.WriteSpeedKBs(), c.write);
    }
}

TEST(DriveMechanics, AMediumChangeRoundsTheRequestAgainForTheNewKind) {
    DriveMechanics mechanics{DriveModel{}};
    mechanics.SetSpeeds(0xFFFF, 3000); // set with an empty tray
    EXPECT_EQ(mechanics.WriteSpeedKBs(), 2823);
    mechanics.SetMediumProfile(kDvdR);
    EXPECT_EQ(mechanics.WriteSpeedKBs(), 2770);
    mechanics.SetMediumProfile(kCdR);
    EXPECT_EQ(mechanics.WriteSpeedKBs(), 2823);
}

// 1 MB at 1x CD (176 kB/s = 176 bytes a millisecond) into a 2 MiB buffer.
TEST(DriveMechanics, BufferDrainsAtTheWriteSpeedOnTheDriveClock) {
    DriveModel model;
    model.cdWriteSpeedsKBs = {176};
    DriveMechanics mechanics(model);
    testing::FakeClock clock;
    const auto start = clock.Now();
    ASSERT_TRUE(mechanics.Accept(1'000'000, start));
    EXPECT_EQ(mechanics.DrainedAt(start), start + std::chrono::microseconds(5'681'819)); // 1e6 / 176 ms, up

    constexpr struct {
        std::int64_t elapsedMs;
        std::uint32_t free;
    } kCases[] = {{0, 1'097'152},    {1000, 1'273'152}, {5000, 1'977'152},
                  {5681, 2'097'008}, {5682, 2'097'152}, {3'600'000, 2'097'152}};
    for (const auto& [elapsedMs, free] : kCases) {
        SCOPED_TRACE(elapsedMs);
        EXPECT_EQ(mechanics.BufferFree(start + milliseconds(elapsedMs)), free);
    }
    EXPECT_EQ(mechanics.DrainedAt(start + milliseconds(6000)), start + milliseconds(6000));
}

// 1000 kB/s drains one byte a microsecond.
TEST(DriveMechanics, RefusesWhatDoesNotFitUntilEnoughHasDrained) {
    DriveModel model;
    model.cdWriteSpeedsKBs = {1000};
    model.bufferBytes = 100'000;
    DriveMechanics mechanics(model);
    const auto t0 = testing::FakeClock().Now();
    constexpr struct {
        std::int64_t atMs;
        std::uint32_t bytes;
        bool taken;
        std::uint32_t freeAfter;
    } kSteps[] = {
        {0, 63'488, true, 36'512},     {0, 63'488, false, 36'512},
        {26, 63'488, false, 62'512},   {27, 63'488, true, 24},
        {126, 200'000, false, 99'024}, // empty only from 126.976 ms on
        {127, 200'000, true, 0},       {127, 1, false, 0},
        {327, 1, true, 99'999},
    };
    for (const auto& s : kSteps) {
        SCOPED_TRACE(::testing::Message() << s.atMs << " ms, " << s.bytes << " bytes");
        const auto now = t0 + milliseconds(s.atMs);
        EXPECT_EQ(mechanics.Accept(s.bytes, now), s.taken);
        EXPECT_EQ(mechanics.BufferFree(now), s.freeAfter);
    }
}

TEST(DriveMechanics, TheDrainKeepsTheOldSpeedUntilTheSpeedChanges) {
    DriveModel model;
    model.cdWriteSpeedsKBs = {1000, 500};
    DriveMechanics mechanics(model);
    const auto t0 = testing::FakeClock().Now();
    ASSERT_TRUE(mechanics.Accept(100'000, t0));
    mechanics.SetSpeedsAt(0xFFFF, 500, t0 + milliseconds(50)); // 50000 left, then half a byte a microsecond
    EXPECT_EQ(mechanics.BufferFree(t0 + milliseconds(150)), model.bufferBytes);
    EXPECT_EQ(mechanics.BufferFree(t0 + milliseconds(100)), model.bufferBytes - 25'000);
}

// A host on the drive's clock: 63,488-byte transfers (31 blocks), retried every millisecond while the
// buffer is full, with pauses after chosen transfers; then the flush.
struct HostRun {
    int transfers;
    std::vector<std::pair<int, std::int64_t>> pauses; // after transfer i, wait that many ms
};

RecordingStats Record(DriveMechanics& mechanics, testing::FakeClock& clock, const HostRun& run) {
    constexpr std::uint32_t kTransfer = 31 * 2048;
    for (int i = 0; i < run.transfers; ++i) {
        while (!mechanics.Accept(kTransfer, clock.Now())) clock.Advance(milliseconds(1));
        for (const auto& [after, ms] : run.pauses)
            if (after == i) clock.Advance(milliseconds(ms));
    }
    mechanics.EndStream(clock.Now());
    return mechanics.Recording();
}

DriveMechanics DvdAt16x() {
    DriveMechanics mechanics{DriveModel{}};
    mechanics.SetMediumProfile(kDvdR);
    mechanics.SetSpeeds(0xFFFF, 22160);
    return mechanics;
}

// 2,097,152 bytes at 22,160 bytes a millisecond: 94.637 ms from full to empty.
TEST(DriveMechanics, TheFullBufferLastsAbout94MsAt16xDvd) {
    DriveMechanics mechanics = DvdAt16x();
    testing::FakeClock clock;
    const auto t0 = clock.Now();
    ASSERT_TRUE(mechanics.Accept(mechanics.BufferBytes(), t0));
    EXPECT_EQ(mechanics.DrainedAt(t0), t0 + std::chrono::microseconds(94'637));
    EXPECT_EQ(mechanics.BufferFree(t0 + milliseconds(94)), 2'083'040u); // 14,112 bytes left
}

// A pause counts only when it outlasts what is buffered and more data follows it: the buffer is full
// when each pause starts (the host has just been refused), so it lasts 94.6 ms.
TEST(DriveMechanics, CountsAnUnderrunWhenTheBufferRunsEmptyBeforeMoreDataComes) {
    const struct {
        const char* what;
        HostRun run;
        std::uint32_t underruns;
        double starvedMs; // the pauses less the 94.6 ms the buffer lasts, give or take the 1 ms retry
    } kCases[] = {
        {"kept fed", {400, {}}, 0, 0},
        {"pause shorter than the buffer", {400, {{100, 90}}}, 0, 0},
        {"pause longer than the buffer", {400, {{100, 150}}}, 1, 55.4},
        {"two long pauses", {400, {{100, 150}, {300, 1000}}}, 2, 960.8},
        {"idle after the last transfer, then the flush", {400, {{399, 5000}}}, 0, 0},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.what);
        DriveMechanics mechanics = DvdAt16x();
        testing::FakeClock clock;
        const RecordingStats stats = Record(mechanics, clock, c.run);
        EXPECT_EQ(stats.underruns, c.underruns);
        EXPECT_NEAR(static_cast<double>(stats.starved.count()) / 1000.0, c.starvedMs, 1.0);
    }
}

TEST(DriveMechanics, TheRecordedRateRunsFromTheFirstWriteToTheEndOfTheFlush) {
    const auto record = [](const HostRun& run, testing::FakeClock::TimePoint* start = nullptr) {
        DriveMechanics mechanics = DvdAt16x();
        testing::FakeClock clock;
        if (start) *start = clock.Now();
        return Record(mechanics, clock, run);
    };
    testing::FakeClock::TimePoint t0;
    const RecordingStats fed = record({400, {}}, &t0);
    ASSERT_TRUE(fed.firstWrite && fed.flushed);
    EXPECT_EQ(*fed.firstWrite, t0);
    EXPECT_EQ(fed.bytes, 400u * 63'488);
    EXPECT_EQ(fed.writeSpeedKBs, 22160);
    // Fed without a gap the disc moves at the full speed: 25,395,200 bytes in 1146.0 ms.
    EXPECT_NEAR(fed.BytesPerSecond(), 22'160'000.0, 22'160.0);
    // A flush that comes late: the data was on the disc when the buffer ran out.
    EXPECT_NEAR(record({400, {{399, 5000}}}).BytesPerSecond(), 22'160'000.0, 22'160.0);
    // The drive stood for 1000 ms on top of the 1146 ms of writing.
    const RecordingStats paused = record({400, {{100, 1094}}});
    EXPECT_EQ(paused.underruns, 1u);
    EXPECT_NEAR(paused.BytesPerSecond(), 25'395'200.0 / 2.146, 25'000.0);
}

TEST(DriveMechanics, NothingIsRecordedBeforeTheFlushAndADiscardTakesBackWhatWasBuffered) {
    DriveMechanics mechanics = DvdAt16x();
    testing::FakeClock clock;
    ASSERT_TRUE(mechanics.Accept(1'000'000, clock.Now()));
    EXPECT_EQ(mechanics.Recording().BytesPerSecond(), 0.0);
    clock.Advance(milliseconds(10)); // 221,600 bytes reach the disc
    mechanics.DiscardBuffer(clock.Now());
    EXPECT_EQ(mechanics.Recording().bytes, 221'600u);
    clock.Advance(milliseconds(500));
    ASSERT_TRUE(mechanics.Accept(63'488, clock.Now()));
    EXPECT_EQ(mechanics.Recording().underruns, 0u) << "a medium change or reset is no underrun";
    mechanics.ResetRecording();
    EXPECT_EQ(mechanics.Recording().bytes, 0u);
    EXPECT_FALSE(mechanics.Recording().firstWrite.has_value());
}

// Mode page 2Ah of the default drive with a CD-R loaded, MMC-3 table 6.3.11 written out by hand.
const Bytes kDefaultCdPage = {
    0x2A, 0x36, 0x3F, 0x37, 0xF0, 0x00, 0x29, 0x00, 0x21, 0x13, 0x01, 0x00, 0x08, 0x00, // 0-13
    0x21, 0x13, 0x00, 0x00, 0x1B, 0x90, 0x1B, 0x90, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // 14-27
    0x1B, 0x90, 0x00, 0x06,                                                             // 28-31
    0x00, 0x00, 0x1B, 0x90, 0x00, 0x00, 0x16, 0x0D, 0x00, 0x00, 0x10, 0x8A,             // 40x 32x 24x
    0x00, 0x00, 0x0B, 0x07, 0x00, 0x00, 0x06, 0xE4, 0x00, 0x00, 0x02, 0xC2};            // 16x 10x 4x

TEST(CapabilitiesPage, MatchesTheHandWrittenPageForEachControlAndModel) {
    DriveModel cdR = CdRDrive();
    cdR.shortCapabilitiesPage = true;
    cdR.underrunProtection = false;
    DriveModel ramOnly;
    ramOnly.writesCdR = ramOnly.writesCdRw = ramOnly.writesDvdR = ramOnly.writesDvdPlus = false;
    ramOnly.testWrite = false;
    ramOnly.capabilitiesMaxWriteKBs = 0;
    ramOnly.dvdWriteSpeedsKBs = {4155};
    DriveModel noDvdRows;
    noDvdRows.dvdBitsInCapabilitiesPage = false;
    noDvdRows.dvdWriteSpeedsKBs = {5540};

    Bytes defaults = kDefaultCdPage; // current speeds at their maxima, as the drive starts
    Bytes changeable(kDefaultCdPage.size(), 0);
    changeable[0] = 0x2A;
    changeable[1] = 0x36;
    Bytes locked = kDefaultCdPage;
    locked[6] = 0x2B; // Lock State
    Bytes slow = kDefaultCdPage;
    slow[14] = 0x06, slow[15] = 0xE8; // read 1768
    slow[20] = slow[28] = 0x0B, slow[21] = slow[29] = 0x07;
    const Bytes shortCd = {0x2A, 0x14, 0x07, 0x07, 0x70, 0x00, 0x29, 0x00, 0x21, 0x13, 0x01,
                           0x00, 0x08, 0x00, 0x21, 0x13, 0x00, 0x00, 0x10, 0x8A, 0x10, 0x8A};
    const Bytes ramDvd = {0x2A, 0x22, 0x3F, 0x20, 0xF0, 0x00, 0x29, 0x00, 0x56, 0x90, 0x01, 0x00,
                          0x08, 0x00, 0x56, 0x90, 0x00, 0x00, 0x00, 0x00, 0x10, 0x3B, 0x00, 0x00,
                          0x00, 0x00, 0x00, 0x00, 0x10, 0x3B, 0x00, 0x01, 0x00, 0x00, 0x10, 0x3B};
    const Bytes dvdNoRows = {0x2A, 0x22, 0x07, 0x07, 0xF0, 0x00, 0x29, 0x00, 0x56, 0x90, 0x01, 0x00,
                             0x08, 0x00, 0x56, 0x90, 0x00, 0x00, 0x15, 0xA4, 0x15, 0xA4, 0x00, 0x00,
                             0x00, 0x00, 0x00, 0x00, 0x15, 0xA4, 0x00, 0x01, 0x00, 0x00, 0x15, 0xA4};

    struct Case {
        const char* name;
        DriveModel model;
        PageControl control;
        std::uint16_t profile;
        bool lock;
        std::uint16_t readAsked, writeAsked;
        Bytes expected;
    };
    const Case kCases[] = {
        {"current", DriveModel{}, PageControl::Current, kCdR, false, 0xFFFF, 0xFFFF, kDefaultCdPage},
        {"empty tray", DriveModel{}, PageControl::Current, kNoMedium, false, 0xFFFF, 0xFFFF, kDefaultCdPage},
        {"default", DriveModel{}, PageControl::Default, kCdR, true, 1768, 2832, defaults},
        {"changeable", DriveModel{}, PageControl::Changeable, kCdR, true, 1768, 2832, changeable},
        {"locked", DriveModel{}, PageControl::Current, kCdR, true, 0xFFFF, 0xFFFF, locked},
        {"16x", DriveModel{}, PageControl::Current, kCdR, false, 1768, 2832, slow},
        {"saved", DriveModel{}, PageControl::Saved, kCdR, false, 0xFFFF, 0xFFFF, {}},
        {"short CD-R drive", cdR, PageControl::Current, kCdR, false, 0xFFFF, 0xFFFF, shortCd},
        {"DVD-RAM only", ramOnly, PageControl::Current, kDvdRam, false, 0xFFFF, 0xFFFF, ramDvd},
        {"no DVD rows", noDvdRows, PageControl::Current, kDvdR, false, 0xFFFF, 0xFFFF, dvdNoRows},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        DriveMechanics mechanics(c.model);
        mechanics.PreventRemoval(c.lock);
        mechanics.SetSpeeds(c.readAsked, c.writeAsked);
        EXPECT_EQ(CapabilitiesPage(c.model, mechanics, c.control, c.profile), c.expected);
    }
}

} // namespace
} // namespace lorvane::recorder
