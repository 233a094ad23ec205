#include "scripted_mmc.h"

namespace lorvane::drive {
namespace {

using namespace transport;
using namespace drivetest;

// A page 05h as a drive reports it: audio pause 150 and a valid catalogue number flag, which must
// come back unchanged.
Bytes DrivePage() {
    Bytes page(54, 0);
    page[0] = 0x05;
    page[1] = 0x32;
    page[2] = 0x0F; // junk the page must not keep
    page[3] = 0x3F;
    page[4] = 0x0D;
    page[5] = 0x77;
    page[8] = 0x20;
    page[10] = 0x10;
    page[14] = 0x00;
    page[15] = 0x96;
    page[16] = 0x80;
    return page;
}

Bytes ModeReplyAt(const Bytes& page, std::size_t at) {
    Bytes reply(at, 0);
    reply.insert(reply.end(), page.begin(), page.end());
    if (at == 16) reply[7] = 8;
    return reply;
}

TEST_F(MmcTest, WriteParametersPageBytesTwoAndThree) {
    constexpr std::uint32_t kBoth = cap::kUnderrunProtection | cap::kTestWrite;
    const struct {
        const char* name;
        std::uint8_t medium;
        bool testWrite, underrun, finalize;
        std::uint32_t capabilities;
        bool linkSize, slowLeadOut;
        std::uint8_t byte2, byte3, byte5;
    } kCases[] = {
        {"CD-R open session", medium::kCdR, false, true, false, kBoth, false, false, 0x41, 0xC4, 0},
        {"CD-R finalized", medium::kCdR, false, true, true, kBoth, false, false, 0x41, 0x04, 0},
        {"CD-R test write", medium::kCdR, true, true, false, kBoth, false, false, 0x51, 0x04, 0},
        {"CD-R without underrun wish", medium::kCdR, false, false, false, kBoth, false, false, 0x01, 0xC4, 0},
        {"drive without protection", medium::kCdR, false, true, false, cap::kTestWrite, false, false, 0x01,
         0xC4, 0},
        {"drive without test write", medium::kCdR, true, true, false, cap::kUnderrunProtection, false, false,
         0x41, 0x04, 0},
        {"link size model", medium::kCdR, false, true, false, kBoth, true, false, 0x61, 0xC4, 0},
        {"slow lead-out model", medium::kCdRw, false, false, false, kBoth, false, true, 0x41, 0xC4, 0},
        {"slow lead-out model test write", medium::kCdRw, true, false, false, kBoth, false, true, 0x51, 0xC4,
         0},
        {"slow lead-out model finalized", medium::kCdRw, false, false, true, kBoth, false, true, 0x41, 0x04,
         0},
        {"DVD-R", medium::kDvdR, false, true, false, kBoth, false, false, 0x42, 0x05, 0},
        {"DVD-R test write", medium::kDvdR, true, true, false, kBoth, false, false, 0x52, 0x05, 0},
        {"DVD-RW without underrun wish", medium::kDvdRw, false, false, false, kBoth, false, false, 0x02, 0x05,
         0},
        {"DVD-RW sequential, slow lead-out", medium::kDvdRwSequential, false, true, false, kBoth, false, true,
         0x42, 0x05, 0},
        {"DVD+R", medium::kDvdPlusR, false, true, false, kBoth, false, false, 0x62, 0xC4, 0x10},
        {"DVD+R finalized", medium::kDvdPlusR, false, true, true, kBoth, false, false, 0x62, 0x04, 0x10},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        auto& dev = Drive();
        dev.FinalizeDisc = c.finalize;
        dev.Capabilities = c.capabilities;
        dev.QuirkLinkSize = c.linkSize;
        dev.QuirkSlowLeadOut = c.slowLeadOut;
        mmc.writePage = ModeReplyAt(DrivePage(), 8);
        mmc.dataOut.clear();
        ASSERT_TRUE(dev.SetWriteParameters(c.testWrite, c.underrun, c.medium));
        ASSERT_EQ(script.sent.size(), 2u);
        EXPECT_EQ(CdbOf(script.sent[0], 10), (Bytes{0x5A, 0, 0x05, 0, 0, 0, 0, 0x02, 0x00, 0}));
        EXPECT_EQ(script.sent[0].dataLength, 512u);
        EXPECT_EQ(CdbOf(script.sent[1], 10), (Bytes{0x55, 0x10, 0, 0, 0, 0, 0, 0, 60, 0}));
        EXPECT_EQ(script.sent[1].flags, 0x50);
        ASSERT_EQ(mmc.dataOut.size(), 1u);
        Bytes expected(60, 0);
        const Bytes kept = DrivePage();
        std::copy(kept.begin(), kept.begin() + 52, expected.begin() + 8);
        expected[8 + 1] = 0x32;
        expected[8 + 2] = c.byte2;
        expected[8 + 3] = c.byte3;
        expected[8 + 4] = 0x08;
        for (std::size_t i = 5; i <= 13; ++i) expected[8 + i] = 0;
        expected[8 + 5] = c.byte5;
        EXPECT_EQ(mmc.dataOut[0], expected);
    }
}

TEST_F(MmcTest, WriteParametersWherePageAndDriveAllow) {
    auto& dev = Drive();
    dev.Capabilities = cap::kUnderrunProtection;
    // DVD-RAM takes no write parameters: nothing is sent.
    EXPECT_TRUE(dev.SetWriteParameters(false, true, medium::kDvdRam));
    EXPECT_TRUE(script.sent.empty());
    // A reply with a block descriptor (page at byte 16) gives the same list as one without.
    for (const std::size_t at : {std::size_t{8}, std::size_t{16}, std::size_t{7}}) {
        SCOPED_TRACE(at);
        mmc.writePage = ModeReplyAt(DrivePage(), at);
        EXPECT_TRUE(dev.SetWriteParameters(false, true, medium::kCdR));
    }
    ASSERT_EQ(mmc.dataOut.size(), 3u);
    EXPECT_EQ(mmc.dataOut[1], mmc.dataOut[0]);
    EXPECT_EQ(mmc.dataOut[2], mmc.dataOut[0]);
    // A failed MODE SENSE sends nothing.
    script.sent.clear();
    mmc.writePage.reset();
    EXPECT_FALSE(dev.SetWriteParameters(false, true, medium::kCdR));
    EXPECT_EQ(Opcodes(), (std::vector<std::uint8_t>{0x5A}));
}

TEST_F(MmcTest, RecordingCommandsSendTheirCdbs) {
    auto& dev = Drive();
    const Bytes block(2048 * 2, 0xA5);
    const Bytes cue(16, 0x41);
    const std::array<std::uint8_t, 16> formatList = {0, 0x82, 0, 8, 0, 0, 0, 0, 0x98};
    const struct {
        const char* name;
        std::function<bool()> call;
        Bytes cdb;
        std::uint8_t flags;
        std::uint32_t dataLength;
    } kCases[] = {
        {"OPC", [&] { return dev.SendOPC(); }, {0x54, 0x01, 0, 0, 0, 0, 0, 0, 0, 0}, 0x40, 0},
        {"reserve",
         [&] { return dev.ReserveTrack(0x00012345); },
         {0x53, 0, 0, 0, 0, 0x00, 0x01, 0x23, 0x45, 0},
         0x48,
         8},
        {"write at -150",
         [&] { return dev.WriteSectors(-150, 2, 0x50, block); },
         {0x2A, 0, 0xFF, 0xFF, 0xFF, 0x6A, 0, 0x00, 0x02, 0},
         0x50,
         4096},
        {"write at 0x11400",
         [&] { return dev.WriteSectors(0x11400, 31, 0x50, block); },
         {0x2A, 0, 0x00, 0x01, 0x14, 0x00, 0, 0x00, 0x1F, 0},
         0x50,
         4096},
        {"sync immediate",
         [&] { return dev.SyncCache(1800000, true); },
         {0x35, 0x02, 0, 0, 0, 0, 0, 0, 0, 0},
         0x40,
         0},
        {"sync", [&] { return dev.SyncCache(120000, false); }, {0x35, 0x00, 0, 0, 0, 0, 0, 0, 0, 0}, 0x40, 0},
        {"close track",
         [&] { return dev.CloseTrackSession(true, false, false); },
         {0x5B, 0x00, 0x01, 0, 0, 0xFF, 0, 0, 0, 0},
         0x40,
         0},
        {"close session immediately",
         [&] { return dev.CloseTrackSession(false, true, false); },
         {0x5B, 0x01, 0x02, 0, 0, 0x00, 0, 0, 0, 0},
         0x40,
         0},
        {"plain close session",
         [&] { return dev.CloseTrackSession(false, false, false); },
         {0x5B, 0x00, 0x02, 0, 0, 0x00, 0, 0, 0, 0},
         0x40,
         0},
        {"finalize DVD+R",
         [&] { return dev.CloseTrackSession(false, true, true); },
         {0x5B, 0x01, 0x05, 0, 0, 0x00, 0, 0, 0, 0},
         0x40,
         0},
        {"cue sheet",
         [&] { return dev.SendCueSheet(cue); },
         {0x5D, 0, 0, 0, 0, 0, 0, 0x00, 0x10, 0},
         0x50,
         16},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        script.sent.clear();
        EXPECT_TRUE(c.call());
        ASSERT_EQ(script.sent.size(), 1u);
        ExpectSent(script.sent[0], c.cdb, c.flags, c.dataLength);
    }
    script.sent.clear();
    mmc.dataOut.clear();
    EXPECT_TRUE(dev.FormatUnit(0x11, formatList));
    ASSERT_EQ(script.sent.size(), 1u);
    EXPECT_EQ(CdbOf(script.sent[0], 6), (Bytes{0x04, 0x11, 0, 0, 0, 0}));
    EXPECT_EQ(script.sent[0].cdbLength, 6);
    EXPECT_EQ(script.sent[0].flags, 0x50);
    ASSERT_EQ(mmc.dataOut.size(), 1u);
    EXPECT_EQ(mmc.dataOut[0], Bytes(formatList.begin(), formatList.end()));
}

TEST(DvdTimestampText, FourteenDigitsYearFirstSecondsLast) {
    const struct {
        double when;
        const char* text;
    } kCases[] = {
        {0.0, "18991230000000"},
        {45306.0 + (9 * 3600 + 5 * 60 + 7) / 86400.0, "20240115090507"},
        {36526.5, "20000101120000"},
        {45351.0 + 86399.4 / 86400.0, "20240229235959"}, // leap day, a fraction of a second before midnight
        {2.0, "19000101000000"},
        {1e12, "99991231235959"}, // beyond year 9999: clamped, still 14 characters
        {-1e12, "00010101000000"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.text);
        const std::string text = DvdTimestampText(c.when);
        EXPECT_EQ(text, c.text);
        EXPECT_EQ(text.size(), 14u);
    }
}

TEST_F(MmcTest, DvdTimestampGoesAsStructureFormat0F) {
    auto& dev = Drive();
    ASSERT_TRUE(dev.SendDVDTimestamp(45306.0 + (9 * 3600 + 5 * 60 + 7) / 86400.0));
    ASSERT_EQ(script.sent.size(), 1u);
    EXPECT_EQ(CdbOf(script.sent[0], 12), (Bytes{0xBF, 0, 0, 0, 0, 0, 0, 0x0F, 0x00, 22, 0, 0}));
    EXPECT_EQ(script.sent[0].flags, 0x50);
    Bytes expected = {0x00, 0x14, 0, 0, 0, 0, 0, 0};
    for (const char ch : std::string("20240115090507")) expected.push_back(static_cast<std::uint8_t>(ch));
    ASSERT_EQ(mmc.dataOut.size(), 1u);
    EXPECT_EQ(mmc.dataOut[0], expected);
}

TEST_F(MmcTest, AWriteThatReachedNoDriveIsAFailure) {
    auto& dev = Drive();
    const Bytes block(2048, 0);
    dev.SetDevice(""); // nothing selected: the SRB is never sent
    script.sent.clear();
    EXPECT_FALSE(dev.WriteSectors(0, 1, 0x50, block));
    EXPECT_TRUE(script.sent.empty());
}

TEST_F(MmcTest, RecordingFailuresAreLoggedButNotALongWrite) {
    auto& dev = Drive();
    const Bytes block(2048, 0);
    script.command = [](SrbExecuteScsi& srb) { Fail(srb, 0x04, 0x00, 0x02, Sense(0x02, 0x04, 0x08)); };
    EXPECT_FALSE(dev.WriteSectors(0, 1, 0x50, block));
    EXPECT_TRUE(sink.lines.empty());
    script.command = [](SrbExecuteScsi& srb) { Fail(srb, 0x04, 0x00, 0x02, Sense(0x05, 0x21, 0x02)); };
    EXPECT_FALSE(dev.WriteSectors(0, 1, 0x50, block));
    EXPECT_FALSE(dev.CloseTrackSession(false, false, false));
    EXPECT_FALSE(dev.SyncCache(120000, false)); // not logged
    ASSERT_EQ(sink.lines.size(), 2u);
    EXPECT_TRUE(sink.lines[0].starts_with("<<< WRITE (10)"));
    EXPECT_TRUE(sink.lines[1].starts_with("<<< CLOSE TRACK"));
}

} // namespace
} // namespace lorvane::drive
