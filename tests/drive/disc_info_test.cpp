#include "scripted_mmc.h"

#include <limits>

namespace lorvane::drive {
namespace {

using namespace transport;
using namespace drivetest;

TEST(MSFToFrames, CountsHoursMinutesSecondsAndFramesWithoutTheLeadInOffset) {
    EXPECT_EQ(MSFToFrames(0, 0, 2, 0), 150u);
    EXPECT_EQ(MSFToFrames(0, 79, 59, 74), 359999u);
    EXPECT_EQ(MSFToFrames(1, 2, 3, 4), 270000u + 9000u + 225u + 4u);
}

TEST(DeviceTypeNames, NameEveryMediumIndex) {
    const std::string_view kNames[] = {"UNKNOWN", "CD-ROM",   "CD-R",   "CD-RW",  "DVD-ROM",
                                       "DVD-R",   "DVD-RAM",  "DVD-RW", "DVD-RW", "DVD+RW",
                                       "DVD+R",   "DDCD-ROM", "DDCD-R", "DDCD-RW"};
    ASSERT_EQ(DeviceTypeNames.size(), std::size(kNames));
    for (std::uint8_t i = 0; i < DeviceTypeNames.size(); ++i) EXPECT_EQ(DeviceTypeName(i), kNames[i]);
    EXPECT_EQ(DeviceTypeName(14), "UNKNOWN");
    EXPECT_EQ(DeviceTypeName(255), "UNKNOWN");
}

TEST_F(MmcTest, DiscCommandsSendTheirCdbs) {
    auto& dev = Drive();
    mmc.discInfo = DiscInfoReply(0);
    mmc.tracks[0xFF] = TrackReply(0, 0, 359849, 359849);
    mmc.toc = Bytes(12, 0);
    mmc.capacity = {{1000, 2048}};
    mmc.formatCapacity = 2295104;
    std::array<std::uint8_t, 56> disc{};
    std::array<std::uint8_t, 114> toc{};
    std::vector<std::uint8_t> sectors(4096);
    std::uint32_t lastLba = 0, length = 0, blocks = 0;
    const struct {
        const char* name;
        std::function<bool()> call;
        Bytes cdb;
        std::uint32_t dataLength;
    } kCases[] = {
        {"disc information",
         [&] { return dev.ReadDiscInformation(disc, 56); },
         {0x51, 0, 0, 0, 0, 0, 0, 0, 56, 0},
         56},
        {"invisible track",
         [&] { return dev.ReadTrackInformation(0xFF); },
         {0x52, 0x01, 0, 0, 0, 0xFF, 0, 0, 38, 0},
         38},
        {"TOC in MSF",
         [&] { return dev.ReadTOC(0, toc, 114, 1, true, 0x80); },
         {0x43, 0x02, 0x00, 0, 0, 0, 0x01, 0, 114, 0x80},
         114},
        {"capacity", [&] { return dev.ReadCapacity(lastLba, length); }, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8},
        {"format capacities",
         [&] { return dev.ReadFormatCapacities(blocks); },
         {0x23, 0, 0, 0, 0, 0, 0, 0, 248, 0},
         248},
        {"two sectors",
         [&] { return dev.ReadSectors(0x12345, 2, sectors); },
         {0x28, 0, 0x00, 0x01, 0x23, 0x45, 0, 0x00, 0x02, 0},
         4096},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        script.sent.clear();
        EXPECT_TRUE(c.call());
        ASSERT_EQ(script.sent.size(), 1u);
        ExpectSent(script.sent[0], c.cdb, 0x48, c.dataLength);
    }
    EXPECT_EQ(lastLba, 1000u);
    EXPECT_EQ(length, 2048u);
    EXPECT_EQ(blocks, 2295104u);
    EXPECT_EQ(dev.TrackInfo().freeBlocks, 359849u);
    EXPECT_EQ(dev.TrackInfo().trackSize, 359849u);
    EXPECT_EQ(dev.TrackInfo().dataLength, 36u);

    // Outputs are written only on success.
    mmc.capacity.reset();
    mmc.formatCapacity.reset();
    lastLba = length = blocks = 7;
    EXPECT_FALSE(dev.ReadCapacity(lastLba, length));
    EXPECT_FALSE(dev.ReadFormatCapacities(blocks));
    EXPECT_EQ(lastLba + length + blocks, 21u);
    // Of the failures only READ CAPACITY's is logged.
    ASSERT_EQ(sink.lines.size(), 1u);
    EXPECT_TRUE(sink.lines[0].starts_with("<<< READ CAPACITY"));
}

TEST_F(MmcTest, MediumTypeOfEveryProfile) {
    const struct {
        std::uint16_t profile;
        std::uint8_t index;
    } kProfiles[] = {
        {0x08, 1}, {0x09, 2},  {0x0A, 3},  {0x10, 4},  {0x11, 5},  {0x12, 6}, {0x13, 7}, {0x14, 7},
        {0x1A, 9}, {0x1B, 10}, {0x20, 11}, {0x21, 12}, {0x22, 13}, {0x02, 0}, {0x2B, 0}, {0x40, 0},
    };
    auto& dev = Drive();
    mmc.notReadyUntilMs = std::numeric_limits<std::int64_t>::max(); // no fallback answers
    mmc.present = false;
    for (const auto& c : kProfiles) {
        SCOPED_TRACE(c.profile);
        mmc.profile = c.profile;
        EXPECT_EQ(dev.GetMediumType(), c.index);
    }
}

TEST_F(MmcTest, MediumTypeFallsBackToAtipDiscInformationAndReadiness) {
    const struct {
        const char* name;
        std::optional<std::uint16_t> profile;
        std::optional<Bytes> atip, discInfo;
        bool ready;
        std::uint8_t index;
    } kCases[] = {
        {"blank CD-R by ATIP", std::nullopt, AtipReply(0x80, 79, 59, 74), std::nullopt, true, 2},
        {"CD-RW by ATIP", std::nullopt, AtipReply(0xC0, 74, 0, 0), std::nullopt, true, 3},
        {"pressed disc by ATIP", std::nullopt, AtipReply(0x00, 0, 0, 0), std::nullopt, true, 1},
        {"unknown profile then ATIP", 0x02, AtipReply(0x80, 79, 59, 74), std::nullopt, true, 2},
        {"erasable by disc information", std::nullopt, std::nullopt, DiscInfoReply(0x10), true, 3},
        {"recordable by disc information", std::nullopt, std::nullopt, DiscInfoReply(0x01), true, 2},
        {"only ready", std::nullopt, std::nullopt, std::nullopt, true, 1},
        {"nothing", std::nullopt, std::nullopt, std::nullopt, false, 0},
    };
    auto& dev = Drive();
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        mmc.profile = c.profile;
        mmc.atip = c.atip;
        mmc.discInfo = c.discInfo;
        mmc.present = c.ready;
        EXPECT_EQ(dev.GetMediumType(), c.index);
    }
}

TEST_F(MmcTest, NextWritableAddress) {
    const struct {
        const char* name;
        std::optional<Bytes> sessions;
        std::map<std::uint8_t, Bytes> tracks;
        std::optional<std::pair<std::uint32_t, std::uint32_t>> capacity;
        std::optional<std::uint32_t> formatCapacity;
        std::uint32_t result;
    } kCases[] = {
        {"blank disc: the invisible track at 0",
         Bytes{0, 2, 1, 0},
         {{1, TrackReply(0, 0, 359849, 359849)}},
         {{5, 2048}},
         std::nullopt,
         0},
        {"appendable disc",
         Bytes{0, 2, 1, 1},
         {{2, TrackReply(11400, 11400, 340000, 340000)}},
         std::nullopt,
         std::nullopt,
         11400},
        {"closed disc: READ CAPACITY",
         Bytes{0, 2, 1, 1},
         {{2, TrackReply(0, 0, 0, 0)}},
         {{22000, 2048}},
         std::nullopt,
         22000},
        {"untrusted last LBA: format capacity",
         Bytes{0, 2, 1, 1},
         {},
         {{0x7F000001, 2048}},
         2295104,
         2295104},
        {"untrusted last LBA, no format capacity",
         Bytes{0, 2, 1, 1},
         {},
         {{0xFFFFFFFF, 2048}},
         std::nullopt,
         0},
        {"last LBA at the limit is trusted", Bytes{0, 2, 1, 1}, {}, {{0x7F000000, 2048}}, 5, 0x7F000000},
        {"no capacity: free blocks",
         std::nullopt,
         {{1, TrackReply(0, 0, 1234, 0)}},
         std::nullopt,
         std::nullopt,
         0},
        {"nothing answers", std::nullopt, {}, std::nullopt, std::nullopt, 0},
    };
    auto& dev = Drive();
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        mmc.sessions = c.sessions;
        mmc.tracks = c.tracks;
        mmc.capacity = c.capacity;
        mmc.formatCapacity = c.formatCapacity;
        EXPECT_EQ(dev.GetNextWritableAddress(), c.result);
    }
}

TEST_F(MmcTest, DiscCapacity) {
    const struct {
        const char* name;
        std::optional<Bytes> atip;
        std::optional<std::pair<std::uint32_t, std::uint32_t>> capacity;
        std::map<std::uint8_t, Bytes> tracks;
        std::optional<std::uint32_t> formatCapacity;
        std::uint32_t result;
    } kCases[] = {
        {"ATIP lead-out", AtipReply(0x80, 79, 59, 74), {{1000, 2048}}, {}, std::nullopt, 359999},
        {"implausible ATIP: READ CAPACITY",
         AtipReply(0x80, 4, 0, 0),
         {{300000, 2048}},
         {},
         std::nullopt,
         300000},
        {"implausible ATIP, smaller capacity",
         AtipReply(0x80, 4, 0, 0),
         {{100, 2048}},
         {},
         std::nullopt,
         18000},
        {"ATIP of 20000 frames is kept",
         AtipReply(0x80, 4, 26, 50),
         {{300000, 2048}},
         {},
         std::nullopt,
         20000},
        {"DVD: the invisible track",
         std::nullopt,
         std::nullopt,
         {{1, TrackReply(16, 16, 2295088, 2295088)}},
         std::nullopt,
         2295104},
        {"format capacity", std::nullopt, std::nullopt, {}, 2236704, 2236704},
        {"next writable address last", std::nullopt, {{4000, 2048}}, {}, std::nullopt, 4000},
        // Answers to the ATIP request that are no ATIP count as a refusal. Read as an ATIP, the TOC's
        // lead-out entry (00 16 AA at bytes 12-14) would give 0:22:170, 1820 frames, for a disc of 1080
        // blocks; with two tracks (data length 26, as an ATIP's) the second entry would give 1502.
        {"TOC for the ATIP, one track", TocReply({150}, 1230), {{1079, 2048}}, {}, std::nullopt, 1079},
        {"TOC for the ATIP, two tracks", TocReply({150, 600}, 1230), {{1079, 2048}}, {}, std::nullopt, 1079},
        {"TOC for the ATIP, the track information first",
         TocReply({150}, 1230),
         {{1079, 2048}},
         {{1, TrackReply(0, 0, 1080, 1080)}},
         std::nullopt,
         1080},
        {"pressed disc: the ATIP header alone",
         Bytes{0x00, 0x02, 0x00, 0x00},
         {{1079, 2048}},
         {},
         std::nullopt,
         1079},
        {"ATIP without its fixed bit", AtipReply(0x00, 79, 59, 74), {{1079, 2048}}, {}, std::nullopt, 1079},
        {"ATIP of a rewritable disc", AtipReply(0xC0, 74, 0, 0), {{1000, 2048}}, {}, std::nullopt, 333000},
    };
    auto& dev = Drive();
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        mmc.atip = c.atip;
        mmc.capacity = c.capacity;
        mmc.tracks = c.tracks;
        mmc.formatCapacity = c.formatCapacity;
        EXPECT_EQ(dev.GetDiscCapacity(), c.result);
    }
}

TEST_F(MmcTest, FreeBlocksAskTheTrackForTheMediumAsIfTheDiscWereClosed) {
    const Bytes writePage = [] {
        Bytes page(8 + 54, 0);
        page[8] = 0x05;
        page[9] = 0x32;
        return page;
    }();
    const struct {
        const char* name;
        std::uint16_t profile;
        std::map<std::uint8_t, Bytes> tracks;
        std::uint8_t askedTrack;
        std::uint32_t result;
        bool writeParameters;
    } kCases[] = {
        {"CD-R: the invisible track", 0x09, {{0xFF, TrackReply(0, 0, 359849, 359849)}}, 0xFF, 359849, true},
        {"DVD+RW: track 1, track size larger", 0x1A, {{1, TrackReply(0, 0, 0, 2295104)}}, 1, 2295104, true},
        {"DVD-RAM: no write parameters", 0x12, {{1, TrackReply(0, 0, 2236704, 0)}}, 1, 2236704, false},
        {"DVD+R counts as a CD-style invisible track",
         0x1B,
         {{0xFF, TrackReply(0, 0, 2295104, 0)}},
         0xFF,
         2295104,
         true},
        {"neither track answers", 0x09, {}, 0xFF, 0, true},
    };
    auto& dev = Drive();
    dev.FinalizeDisc = false;
    dev.UnderrunProtection = true;
    mmc.writePage = writePage;
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        mmc.profile = c.profile;
        mmc.tracks = c.tracks;
        mmc.dataOut.clear();
        script.sent.clear();
        EXPECT_EQ(dev.GetFreeBlocks(), c.result);
        EXPECT_FALSE(dev.FinalizeDisc);
        const auto asked = script.SentWith(0x52);
        ASSERT_FALSE(asked.empty());
        EXPECT_EQ(asked[0].cdb[5], c.askedTrack);
        ASSERT_EQ(mmc.dataOut.size(), c.writeParameters ? 1u : 0u);
        if (c.writeParameters) {
            EXPECT_EQ(mmc.dataOut[0][8 + 3] & 0xC0, 0); // closed: no next session
        }
    }
}

TEST_F(MmcTest, DiscInfoOfADiscAndOfAnEmptyTray) {
    auto& dev = Drive();
    mmc.profile = 0x0A;
    mmc.toc = Bytes(12, 0);
    mmc.sessions = Bytes{0, 2, 1, 2};
    mmc.atip = AtipReply(0xC0, 74, 0, 0);
    mmc.discInfo = DiscInfoReply(0x10 | 0x04 | 0x01);
    mmc.tracks[0xFF] = TrackReply(20000, 20000, 313000, 313000);
    const TDisc disc = dev.GetDiscInfo();
    EXPECT_TRUE(disc.ready);
    EXPECT_EQ(disc.mediumName, "CD-RW");
    EXPECT_TRUE(disc.erasable);
    EXPECT_EQ(disc.profile, 0x0A);
    EXPECT_EQ(disc.firstSession, 1);
    EXPECT_EQ(disc.lastSession, 2);
    EXPECT_EQ(disc.discStatus, 1);
    EXPECT_EQ(disc.lastSessionState, 1);
    EXPECT_EQ(disc.blocks, 20000u);
    EXPECT_EQ(disc.blockLength, 2048u);
    EXPECT_EQ(disc.capacity, 333000u); // 74:00:00 is 333000 frames

    // A TOC sent for the ATIP request is no capacity; READ CAPACITY's figure stands.
    mmc.profile = 0x08;
    mmc.atip = TocReply({150}, 1230);
    mmc.discInfo.reset();
    mmc.tracks.clear();
    mmc.capacity = {1079, 2048};
    EXPECT_EQ(dev.GetDiscInfo().capacity, 1079u);

    mmc.present = false;
    const std::int64_t slept = clock.SleptMs();
    const TDisc none = dev.GetDiscInfo();
    EXPECT_FALSE(none.ready);
    EXPECT_EQ(none.capacity + none.blocks + none.profile, 0u);
    EXPECT_TRUE(none.mediumName.empty());
    EXPECT_EQ(clock.SleptMs() - slept, 5000); // one step of the short wait
}

TEST_F(MmcTest, ErasableByDiscInformationOrByTheMedium) {
    auto& dev = Drive();
    mmc.discInfo = DiscInfoReply(0x10);
    EXPECT_TRUE(dev.IsDiscErasable());
    mmc.discInfo = DiscInfoReply(0x01);
    EXPECT_FALSE(dev.IsDiscErasable());
    mmc.discInfo.reset();
    for (const auto& [profile, erasable] :
         {std::pair{0x12, true}, {0x13, true}, {0x1A, true}, {0x11, false}}) {
        SCOPED_TRACE(profile);
        mmc.profile = static_cast<std::uint16_t>(profile);
        EXPECT_EQ(dev.IsDiscErasable(), erasable);
        EXPECT_EQ(LastMediumIndex, MediumIndexOfProfile(static_cast<std::uint16_t>(profile)));
    }
    LastMediumIndex = 0;
}

} // namespace
} // namespace lorvane::drive
