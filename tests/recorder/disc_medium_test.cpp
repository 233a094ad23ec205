#include "recorder/disc_medium.h"

#include "media_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

namespace lorvane::recorder {
namespace {

using namespace testsupport;
using std::chrono::minutes;
using std::chrono::seconds;
using Sense = std::tuple<int, int, int>;

class DiscMediumTest : public DiscFixture {
public:
    // One session of `blocks` written track-at-once at the next writable address and closed.
    void CdSession(std::uint32_t start, std::uint32_t blocks, bool nextSession) {
        CdTrackAtOnce(nextSession);
        WriteRun(start, blocks);
        ASSERT_TRUE(SyncCache().Good());
        ASSERT_TRUE(Close(2).Good());
    }
    void WriteProtect() {
        drive->WithMedium([](Medium* m) { static_cast<DiscMedium*>(m)->SetWriteProtected(true); });
    }
};

// READ DISC INFORMATION of a blank 80-minute CD-R: ATIP lead-in 97:34:23, lead-out 79:59:74.
TEST_F(DiscMediumTest, BlankCdRDiscAndInvisibleTrackInformation) {
    Insert(MediumKind::CdR);
    const Bytes discInformation = {0x00, 0x20, 0x00, 0x01, 0x01, 0x01, 0x01, 0x20, 0x00, 0x00, 0x00, 0x00,
                                   0x00, 0x00, 0x00, 0x00, 0x00, 0x61, 0x22, 0x17, 0x00, 0x4F, 0x3B, 0x4A,
                                   0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(DiscInformation().data, discInformation);
    // Track FFh: track 1 in session 1, blank (40h) mode 1, NWA valid at 0, 359849 blocks free.
    const Bytes invisible = {0x00, 0x22, 0x01, 0x01, 0x00, 0x04, 0x41, 0x01, 0x00, 0x00, 0x00, 0x00,
                             0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x7D, 0xA9, 0x00, 0x00, 0x00, 0x00,
                             0x00, 0x05, 0x7D, 0xA9, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(TrackInformation(1, 0xFF).data, invisible);
    EXPECT_EQ(TrackInformation(2, 1).data, invisible) << "session 1 starts with the same track";
    EXPECT_EQ(TrackInformation(0, 1000).data, invisible) << "LBA 1000 lies in the invisible track";
    // ATIP: B6 bit 7 set, disc type CD-R; lead-in and lead-out start times in binary M S F.
    const Bytes atip = {0x00, 0x1A, 0x00, 0x00, 0xD1, 0x40, 0x80, 0x00, 0x61, 0x22, 0x17, 0x00, 0x4F, 0x3B,
                        0x4A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(Slice(Toc(4, true).data, 0, 28), atip);
    EXPECT_EQ(Toc(0).Sense(), Sense(5, 0x24, 0)) << "a blank disc has no TOC";
    EXPECT_EQ(Capacity().data, (Bytes{0, 0, 0, 0, 0x00, 0x00, 0x08, 0x00}));
}

TEST_F(DiscMediumTest, BlankMediaOfEveryKind) {
    struct Case {
        MediumKind kind;
        std::uint8_t status;     // RDI byte 2
        std::uint8_t flags;      // RDI byte 7
        Bytes lastLeadOut;       // RDI bytes 20-23
        std::uint8_t trackFlags; // RTI byte 6 of track 1
        Bytes trackSize;         // RTI bytes 24-27
    };
    const Case cases[] = {
        {MediumKind::CdRw, 0x10, 0x20, {0x00, 0x4F, 0x3B, 0x4A}, 0x41, {0x00, 0x05, 0x7D, 0xA9}},
        // DVD-R/-RW start in incremental recording: blank, packet/incremental; 2298496 = 00 23 12 80.
        {MediumKind::DvdR, 0x00, 0x20, {0x00, 0x23, 0x12, 0x80}, 0x61, {0x00, 0x23, 0x12, 0x80}},
        {MediumKind::DvdRw, 0x10, 0x20, {0x00, 0x23, 0x12, 0x80}, 0x61, {0x00, 0x23, 0x12, 0x80}},
        // DVD+R/+RW: 2295104 = 00 23 05 40.
        {MediumKind::DvdPlusR, 0x00, 0x20, {0x00, 0x23, 0x05, 0x40}, 0x41, {0x00, 0x23, 0x05, 0x40}},
        {MediumKind::DvdPlusRw, 0x10, 0x20, {0x00, 0x23, 0x05, 0x40}, 0x41, {0x00, 0x23, 0x05, 0x40}},
        // DVD-RAM: disc status "other", complete session, erasable; 2236704 = 00 22 21 20.
        {MediumKind::DvdRam, 0x1F, 0x20, {0xFF, 0xFF, 0xFF, 0xFF}, 0x01, {0x00, 0x22, 0x21, 0x20}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(MediumKindName(c.kind)));
        Fresh(c.kind);
        const Reply disc = DiscInformation();
        ASSERT_TRUE(disc.Good());
        EXPECT_EQ(disc.data[2], c.status);
        EXPECT_EQ(disc.data[4], 1) << "one session";
        EXPECT_EQ(disc.data[7], c.flags);
        EXPECT_EQ(Slice(disc.data, 20, 4), c.lastLeadOut);
        const Reply track = TrackInformation(1, 1);
        ASSERT_TRUE(track.Good());
        EXPECT_EQ(track.data[6], c.trackFlags);
        EXPECT_EQ(Slice(track.data, 24, 4), c.trackSize);
    }
}

// The worked multi-session example: a 300-block track-at-once track gets 2 run-out blocks, so the
// lead-out starts at 302 and the next session at 302 + 11400; a second session of 1000 blocks ends at
// 12704 and leaves the third at 12704 + 6900.
TEST_F(DiscMediumTest, MultiSessionCdGeometry) {
    Insert(MediumKind::CdR);
    CdSession(0, 300, true);

    EXPECT_EQ(Slice(Toc(1).data, 0, 12), (Bytes{0x00, 0x0A, 0x01, 0x01, 0x00, 0x14, 0x01, 0x00, 0, 0, 0, 0}));
    EXPECT_EQ(Slice(Toc(0).data, 0, 20), (Bytes{0x00, 0x12, 0x01, 0x01, 0x00, 0x14, 0x01, 0x00, 0,    0,
                                                0,    0,    0x00, 0x14, 0xAA, 0x00, 0x00, 0x00, 0x01, 0x2E}));
    const Reply next = TrackInformation(1, 0xFF);
    EXPECT_EQ(Slice(next.data, 0, 16),
              (Bytes{0x00, 0x22, 0x02, 0x02, 0x00, 0x04, 0x41, 0x01, 0, 0, 0x2D, 0xB6, 0, 0, 0x2D, 0xB6}));
    EXPECT_EQ(Slice(next.data, 16, 4), (Bytes{0x00, 0x05, 0x4F, 0xF3})) << "359849 - 11702 free";
    const Reply closed = TrackInformation(1, 1);
    EXPECT_EQ(Slice(closed.data, 5, 3), (Bytes{0x04, 0x01, 0x02})) << "complete, LRA valid";
    EXPECT_EQ(Slice(closed.data, 24, 8), (Bytes{0, 0, 0x01, 0x2E, 0, 0, 0x01, 0x2B})) << "size 302, LRA 299";
    // Appendable with an empty last session; the next lead-in at 302 + 6750 = LBA 7052 = 01:36:02.
    const Reply disc = DiscInformation();
    EXPECT_EQ(Slice(disc.data, 2, 5), (Bytes{0x01, 0x01, 0x02, 0x02, 0x02}));
    EXPECT_EQ(Slice(disc.data, 16, 8), (Bytes{0x00, 0x01, 0x24, 0x02, 0x00, 0x4F, 0x3B, 0x4A}));
    EXPECT_EQ(Capacity().data, (Bytes{0, 0, 0x01, 0x2D, 0, 0, 0x08, 0})) << "the run-out counts";

    CdSession(11702, 1000, true);
    EXPECT_EQ(Slice(Toc(1).data, 0, 12),
              (Bytes{0x00, 0x0A, 0x01, 0x02, 0x00, 0x14, 0x02, 0x00, 0, 0, 0x2D, 0xB6}));
    EXPECT_EQ(Slice(TrackInformation(1, 0xFF).data, 12, 4), (Bytes{0, 0, 0x4C, 0x94})) << "NWA 19604";
    // MSF: track 1 at 00:02:00, track 2 at 11852 frames = 02:38:02, lead-out 12854 = 02:51:29.
    EXPECT_EQ(Slice(Toc(0, true).data, 0, 28),
              (Bytes{0x00, 0x1A, 0x01, 0x02, 0x00, 0x14, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x14,
                     0x02, 0x00, 0x00, 0x02, 0x26, 0x02, 0x00, 0x14, 0xAA, 0x00, 0x00, 0x02, 0x33, 0x1D}));
    EXPECT_EQ(Slice(Toc(0, false, 2).data, 0, 4), (Bytes{0x00, 0x12, 0x01, 0x02})) << "from track 2 on";
    EXPECT_EQ(Toc(0, false, 3).Sense(), Sense(5, 0x24, 0));

    CdSession(19604, 300, false);
    const Reply finalized = DiscInformation();
    EXPECT_EQ(Slice(finalized.data, 2, 5), (Bytes{0x0E, 0x01, 0x03, 0x03, 0x03}));
    EXPECT_EQ(Slice(finalized.data, 16, 8), Bytes(8, 0xFF));
    EXPECT_EQ(TrackInformation(1, 0xFF).Sense(), Sense(5, 0x24, 0)) << "no track left to write";
    EXPECT_EQ(Write(19906, 16).Sense(), Sense(5, 0x21, 0x02));
}

TEST_F(DiscMediumTest, ReadsRecordedBlocksOnly) {
    Insert(MediumKind::CdR);
    CdSession(0, 300, true);
    CdSession(11702, 100, true);
    const Reply first = Read(10, 2);
    ASSERT_TRUE(first.Good());
    EXPECT_EQ(first.data[0], 10);
    EXPECT_EQ(first.data[2048], 11);
    const struct {
        std::uint32_t lba;
        std::uint16_t count;
        Sense sense;
    } cases[] = {
        {299, 1, kGood},
        {299, 2, {3, 0x11, 0}},   // into the run-out
        {300, 1, {3, 0x11, 0}},   // run-out block
        {5000, 1, {3, 0x11, 0}},  // between the sessions
        {11801, 1, kGood},        // last recorded block
        {11802, 1, {5, 0x21, 0}}, // past everything recorded
        {0xFFFFFFF0, 32, {5, 0x21, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lba);
        EXPECT_EQ(Read(c.lba, c.count).Sense(), c.sense);
    }
}

TEST_F(DiscMediumTest, TestWriteRecordsNothing) {
    Insert(MediumKind::CdR);
    ASSERT_TRUE(WriteParameters(0x51, 0x04).Good()); // BUFE, test write, track at once
    EXPECT_TRUE(Write(0, 31).Good());
    EXPECT_TRUE(Write(31, 31).Good()) << "the simulation follows its own next writable address";
    EXPECT_EQ(Write(0, 31).Sense(), Sense(5, 0x21, 0x02));
    EXPECT_TRUE(SyncCache().Good());
    EXPECT_TRUE(Close(2).Good());
    EXPECT_EQ(DiscInformation().data[2], 0x00) << "still blank";
    EXPECT_EQ(Slice(TrackInformation(1, 0xFF).data, 12, 4), Bytes(4, 0));
    EXPECT_EQ(Read(0, 1).Sense(), Sense(5, 0x21, 0));
    EXPECT_EQ(std::filesystem::file_size(drive->DiscPath()), 0u);
}

TEST_F(DiscMediumTest, RefusalsCarryTheSenseOfARealDrive) {
    struct Case {
        const char* what;
        MediumKind kind;
        std::function<void(DiscMediumTest&)> setup;
        std::function<Reply(DiscMediumTest&)> command;
        Sense sense;
    };
    const auto nothing = [](DiscMediumTest&) {};
    const Case cases[] = {
        {"write off the NWA",
         MediumKind::CdR,
         nothing,
         [](auto& t) { return t.Write(5, 1); },
         {5, 0x21, 0x02}},
        {"write past a reserved track",
         MediumKind::CdR,
         [](auto& t) { ASSERT_TRUE(t.Reserve(10).Good()); },
         [](auto& t) { return t.Write(0, 16); },
         {5, 0x21, 0x00}},
        {"reservation larger than the disc",
         MediumKind::CdR,
         nothing,
         [](auto& t) { return t.Reserve(359850); },
         {5, 0x24, 0x00}},
        {"empty reserved track at session close",
         MediumKind::CdR,
         [](auto& t) { ASSERT_TRUE(t.Reserve(300).Good()); },
         [](auto& t) { return t.Close(2); },
         {5, 0x72, 0x04}},
        {"reserved track half written at session close",
         MediumKind::CdR,
         [](auto& t) {
             ASSERT_TRUE(t.Reserve(300).Good());
             ASSERT_TRUE(t.Write(0, 31).Good());
         },
         [](auto& t) { return t.Close(2); },
         {5, 0x72, 0x03}},
        {"closing an empty session",
         MediumKind::DvdR,
         nothing,
         [](auto& t) { return t.Close(2); },
         {5, 0x2C, 0}},
        {"session at once without a cue sheet",
         MediumKind::CdR,
         [](auto& t) { ASSERT_TRUE(t.WriteParameters(0x02, 0x04).Good()); },
         [](auto& t) { return t.Write(0, 1); },
         {5, 0x2C, 0}},
        {"disc at once without RESERVE TRACK",
         MediumKind::DvdR,
         [](auto& t) { t.DvdDiscAtOnce(); },
         [](auto& t) { return t.Write(0, 16); },
         {5, 0x2C, 0}},
        {"incremental after a minimal blank",
         MediumKind::DvdRw,
         [](auto& t) {
             ASSERT_TRUE(t.NoData({0xA1, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}).Good());
             ASSERT_TRUE(t.WriteParameters(0x20, 0x05, 16).Good());
         },
         [](auto& t) { return t.Write(0, 16); },
         {5, 0x64, 0}},
        {"blank a CD-R",
         MediumKind::CdR,
         nothing,
         [](auto& t) {
             return t.NoData({0xA1, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
         },
         {5, 0x30, 0x06}},
        {"format a DVD+R",
         MediumKind::DvdPlusR,
         nothing,
         [](auto& t) {
             return t.Out({0x04, 0x11, 0, 0, 0, 0}, {0x00, 0x82, 0x00, 0x08, 0, 0, 0, 0, 0x98, 0, 0, 0});
         },
         {5, 0x30, 0x06}},
        {"finalize function on a CD",
         MediumKind::CdR,
         nothing,
         [](auto& t) { return t.Close(5); },
         {5, 0x24, 0}},
        {"write-protected disc",
         MediumKind::CdR,
         [](auto& t) { t.WriteProtect(); },
         [](auto& t) { return t.Write(0, 1); },
         {7, 0x27, 0}},
        {"read of a blank disc",
         MediumKind::DvdR,
         nothing,
         [](auto& t) { return t.Read(0, 1); },
         {5, 0x21, 0}},
        {"track 0", MediumKind::CdR, nothing, [](auto& t) { return t.TrackInformation(1, 0); }, {5, 0x24, 0}},
        {"ATIP of a DVD",
         MediumKind::DvdPlusR,
         nothing,
         [](auto& t) { return t.Toc(4, true); },
         {5, 0x24, 0}},
        {"tray open",
         MediumKind::CdR,
         [](auto& t) { t.drive->OpenTray(); },
         [](auto& t) { return t.DiscInformation(); },
         {2, 0x3A, 0x02}},
        {"no disc", MediumKind::None, nothing, [](auto& t) { return t.DiscInformation(); }, {2, 0x3A, 0x01}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fresh(c.kind);
        c.setup(*this);
        EXPECT_EQ(c.command(*this).Sense(), c.sense);
    }
}

TEST_F(DiscMediumTest, PressedDiscReadsItsImageAndRefusesWriting) {
    {
        std::ofstream image(drive->DiscPath(), std::ios::binary);
        for (int block = 0; block < 200; ++block) image << std::string(2048, static_cast<char>(block));
    }
    Insert(MediumKind::CdRom);
    EXPECT_EQ(Slice(DiscInformation().data, 2, 5), (Bytes{0x0E, 0x01, 0x01, 0x01, 0x01}));
    EXPECT_EQ(Slice(Toc(0).data, 12, 8), (Bytes{0x00, 0x14, 0xAA, 0x00, 0x00, 0x00, 0x00, 0xC8}));
    EXPECT_EQ(Capacity().data, (Bytes{0, 0, 0, 0xC7, 0, 0, 0x08, 0}));
    EXPECT_EQ(Read(199, 1).data[0], 199);
    EXPECT_EQ(Read(200, 1).Sense(), Sense(5, 0x21, 0));
    EXPECT_EQ(Write(0, 1).Sense(), Sense(5, 0x30, 0x05));
    EXPECT_EQ(Toc(4, true).Sense(), Sense(5, 0x24, 0)) << "a pressed CD has no ATIP";
    EXPECT_FALSE(std::filesystem::exists(DiscStatePath(drive->DiscPath())));
}

// An SFF-8020 style drive takes the READ TOC format from byte 9 alone: the ATIP request (format 4 in
// byte 2) comes back as the TOC, and byte 9's session format is honoured.
TEST_F(DiscMediumTest, ATocFormatInByte9DriveAnswersTheAtipRequestWithTheToc) {
    DriveIdentity identity;
    identity.model.tocFormatInByte9 = true;
    drive = &recorder.AddDrive(identity, scratch.File("atapi.img"));
    drive->SetReportMediumChange(false);
    {
        std::ofstream image(drive->DiscPath(), std::ios::binary);
        for (int block = 0; block < 200; ++block) image << std::string(2048, static_cast<char>(block));
    }
    Insert(MediumKind::CdRom);
    const Reply atip = Toc(4, true);
    ASSERT_TRUE(atip.Good());
    EXPECT_EQ(Slice(atip.data, 0, 20), Slice(Toc(0, true).data, 0, 20)) << "the TOC, lead-out 00:04:50";
    EXPECT_EQ(Slice(atip.data, 0, 4), (Bytes{0x00, 0x12, 0x01, 0x01}));
    EXPECT_EQ(Slice(Toc(1).data, 0, 4), (Bytes{0x00, 0x12, 0x01, 0x01})) << "byte 2 alone: the TOC";
    const Reply session = In({0x43, 0, 0, 0, 0, 0, 0, 0, 12, 0x40}, 12); // format 1 in byte 9 bits 6-7
    EXPECT_EQ(Slice(session.data, 0, 4), (Bytes{0x00, 0x0A, 0x01, 0x01}));
}

// Disc at once as the writer does it: RESERVE TRACK of one block more than it writes, then a flush;
// the drive pads the track, writes the lead-out and is busy meanwhile.
TEST_F(DiscMediumTest, DvdMinusRDiscAtOnceClosesOnTheFlush) {
    Insert(MediumKind::DvdR);
    DvdDiscAtOnce();
    ASSERT_TRUE(Reserve(1001).Good());
    const Reply reserved = TrackInformation(1, 0xFF);
    EXPECT_EQ(reserved.data[6], 0xC1) << "reserved, blank";
    EXPECT_EQ(Slice(reserved.data, 24, 4), (Bytes{0, 0, 0x03, 0xF0})) << "rounded up to 1008";
    WriteRun(0, 1000);
    ASSERT_TRUE(SyncCache(true).Good());
    EXPECT_EQ(DiscInformation().Sense(), Sense(2, 0x04, 0x08));
    EXPECT_EQ(NoData({0, 0, 0, 0, 0, 0}).Sense(), Sense(2, 0x04, 0x08));
    clock.Advance(minutes(1));
    const Reply disc = DiscInformation();
    ASSERT_TRUE(disc.Good());
    EXPECT_EQ(Slice(disc.data, 2, 5), (Bytes{0x0E, 0x01, 0x01, 0x01, 0x01}));
    EXPECT_EQ(Capacity().data, (Bytes{0, 0, 0x03, 0xEF, 0, 0, 0x08, 0}));
    EXPECT_TRUE(Read(1007, 1).Good()) << "the padding reads back";
}

TEST_F(DiscMediumTest, DvdPlusRSessionsAndFinalize) {
    Insert(MediumKind::DvdPlusR);
    WriteRun(0, 100);
    ASSERT_TRUE(Close(1, 0xFF).Good());
    EXPECT_EQ(Slice(TrackInformation(1, 1).data, 24, 4), (Bytes{0, 0, 0, 0x70})) << "whole 32 KiB blocks";
    ASSERT_TRUE(Close(2).Good());
    const Reply appendable = DiscInformation();
    EXPECT_EQ(Slice(appendable.data, 2, 3), (Bytes{0x01, 0x01, 0x02}));
    // Next session after 112 blocks and the 16384-block closure: 16496 = 00 00 40 70.
    EXPECT_EQ(Slice(appendable.data, 16, 4), (Bytes{0x00, 0x00, 0x40, 0x70}));
    EXPECT_EQ(Slice(TrackInformation(1, 0xFF).data, 8, 8), (Bytes{0, 0, 0x40, 0x70, 0, 0, 0x40, 0x70}));
    WriteRun(16496, 50);
    ASSERT_TRUE(Close(1, 0xFF).Good());
    ASSERT_TRUE(Close(5, 0, true).Good());
    EXPECT_EQ(DiscInformation().Sense(), Sense(2, 0x04, 0x07)) << "closing takes a while";
    EXPECT_TRUE(NoData({0, 0, 0, 0, 0, 0}).Good()) << "TEST UNIT READY stays good while closing";
    clock.Advance(minutes(2));
    EXPECT_EQ(Slice(DiscInformation().data, 2, 3), (Bytes{0x0E, 0x01, 0x02}));
    EXPECT_EQ(Slice(Toc(1).data, 2, 5), (Bytes{0x01, 0x02, 0x00, 0x14, 0x02}));
}

// Incremental recording leaves a DVD-R appendable when page 05h allows a next session; each border
// costs its blocks before the next session starts.
TEST_F(DiscMediumTest, DvdMinusRIncrementalSessions) {
    Insert(MediumKind::DvdR);
    ASSERT_TRUE(WriteParameters(0x60, 0xC5, 16).Good()); // BUFE, LS_V, incremental; next session allowed
    WriteRun(0, 40);
    EXPECT_EQ(Slice(TrackInformation(1, 1).data, 5, 3), (Bytes{0x04, 0x21, 0x03}))
        << "incremental, incomplete";
    ASSERT_TRUE(SyncCache().Good());
    ASSERT_TRUE(Close(1, 1).Good());
    ASSERT_TRUE(Close(2).Good());
    // 40 blocks round up to 48; the border adds 34816: the next session starts at 34864 = 00 00 88 30.
    const Reply disc = DiscInformation();
    EXPECT_EQ(Slice(disc.data, 2, 5), (Bytes{0x01, 0x01, 0x02, 0x02, 0x02}));
    EXPECT_EQ(Slice(disc.data, 16, 4), (Bytes{0x00, 0x00, 0x88, 0x30}));
    WriteRun(34864, 20);
    ASSERT_TRUE(WriteParameters(0x60, 0x05, 16).Good()); // the last session finalizes the disc
    ASSERT_TRUE(Close(2).Good());
    EXPECT_EQ(Slice(DiscInformation().data, 2, 3), (Bytes{0x0E, 0x01, 0x02}));
    EXPECT_EQ(Slice(Toc(0).data, 0, 4), (Bytes{0x00, 0x1A, 0x01, 0x02}));
    EXPECT_EQ(Capacity().data, (Bytes{0, 0, 0x88, 0x4F, 0, 0, 0x08, 0}))
        << "20 blocks fill two ECC blocks: 34896";
}

TEST_F(DiscMediumTest, BlankingACdRwTakesTimeOnTheDriveClock) {
    Insert(MediumKind::CdRw);
    CdSession(0, 300, true);
    ASSERT_GT(std::filesystem::file_size(drive->DiscPath()), 0u);
    ASSERT_TRUE(NoData({0xA1, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}).Good()) << "full blank, Immed";
    // 359849 frames of 2352 bytes at the 10x (1764 kB/s) a CD-RW takes: 8 minutes.
    clock.Advance(minutes(4));
    EXPECT_EQ(NoData({0, 0, 0, 0, 0, 0}).Sense(), Sense(2, 0x04, 0x07));
    const Bytes sense = In({0x03, 0, 0, 0, 18, 0}, 18).data; // the not-ready sense in full
    EXPECT_EQ(sense[15], 0x80) << "SKSV";
    const int progress = sense[16] << 8 | sense[17];
    EXPECT_GT(progress, 0x7000);
    EXPECT_LT(progress, 0x9000);
    EXPECT_EQ(DiscInformation().Sense(), Sense(2, 0x04, 0x07));
    clock.Advance(minutes(4));
    EXPECT_TRUE(NoData({0, 0, 0, 0, 0, 0}).Good());
    EXPECT_EQ(Slice(DiscInformation().data, 2, 3), (Bytes{0x10, 0x01, 0x01}));
    EXPECT_EQ(std::filesystem::file_size(drive->DiscPath()), 0u);
    EXPECT_TRUE(Write(0, 16).Good());
}

TEST_F(DiscMediumTest, FormattingRunsInTheBackgroundOrKeepsTheUnitBusy) {
    const Bytes plusRwList = {0x00, 0x82, 0x00, 0x08, 0, 0, 0, 0, 0x98, 0, 0, 0};
    const Bytes ramList = {0x00, 0x82, 0x00, 0x08, 0x00, 0x22, 0x21, 0x20, 0x00, 0x00, 0x08, 0x00};
    Insert(MediumKind::DvdPlusRw);
    EXPECT_EQ(Slice(In({0x23, 0, 0, 0, 0, 0, 0, 0, 252, 0}, 252).data, 0, 20),
              (Bytes{0,    0,    0,    0x10, 0x00, 0x23, 0x05, 0x40, 0x01, 0x00,
                     0x08, 0x00, 0x00, 0x23, 0x05, 0x40, 0x98, 0,    0,    0}));
    ASSERT_TRUE(Out({0x04, 0x11, 0, 0, 0, 0}, plusRwList).Good());
    EXPECT_TRUE(NoData({0, 0, 0, 0, 0, 0}).Good()) << "a background format leaves the unit ready";
    EXPECT_EQ(Slice(DiscInformation().data, 2, 6), (Bytes{0x1E, 0x01, 0x01, 0x01, 0x01, 0x22}));
    EXPECT_TRUE(Write(1000, 16).Good()) << "writing goes on during the background format";
    clock.Advance(minutes(30));
    EXPECT_EQ(DiscInformation().data[7], 0x23) << "format complete";
    EXPECT_EQ(Capacity().data, (Bytes{0x00, 0x23, 0x05, 0x3F, 0, 0, 0x08, 0}));

    Fresh(MediumKind::DvdRam);
    ASSERT_TRUE(Out({0x04, 0x11, 0, 0, 0, 0}, ramList).Good());
    EXPECT_EQ(NoData({0, 0, 0, 0, 0, 0}).Sense(), Sense(2, 0x04, 0x04));
    clock.Advance(minutes(60));
    EXPECT_TRUE(NoData({0, 0, 0, 0, 0, 0}).Good());
    EXPECT_EQ(Capacity().data, (Bytes{0x00, 0x22, 0x21, 0x1F, 0, 0, 0x08, 0}));
    EXPECT_EQ(Out({0x04, 0x11, 0, 0, 0, 0}, {0x00, 0x82, 0x00, 0x04, 0, 0, 0, 0}).Sense(), Sense(5, 0x26, 0));
}

TEST_F(DiscMediumTest, DvdRwQuickFormatMakesARestrictedOverwriteDisc) {
    Insert(MediumKind::DvdRw);
    ASSERT_TRUE(Out({0x04, 0x11, 0, 0, 0, 0}, {0x00, 0x82, 0x00, 0x08, 0, 0, 0, 0, 0x54, 0, 0, 0}).Good());
    EXPECT_EQ(NoData({0, 0, 0, 0, 0, 0}).Sense(), Sense(2, 0x04, 0x04));
    clock.Advance(minutes(5));
    EXPECT_EQ(drive->WithMedium([](Medium* m) { return m->CurrentProfile(); }), 0x0013);
    EXPECT_TRUE(Write(32, 32).Good());
    EXPECT_EQ(Write(40, 16).Sense(), Sense(5, 0x21, 0x02)) << "32 KiB packets";
    EXPECT_EQ(Slice(TrackInformation(1, 1).data, 5, 3), (Bytes{0x04, 0x31, 0x00}));
    ASSERT_TRUE(NoData({0xA1, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}).Good());
    clock.Advance(minutes(60));
    EXPECT_EQ(drive->WithMedium([](Medium* m) { return m->CurrentProfile(); }), 0x0014)
        << "blanked: sequential";
}

// A DVD+R written up to 10 blocks before the end of its user area (2295104 blocks).
TEST_F(DiscMediumTest, AFullDiscTakesNoMore) {
    std::ofstream(DiscStatePath(drive->DiscPath())) << "lorvane-disc-state 1\nkind dvd+r\nsession 0 0\n"
                                                       "track 0 0 2295094 1 0 0 0\n";
    ASSERT_EQ(InsertDisc(*drive, std::nullopt), std::nullopt);
    const Reply track = TrackInformation(1, 0xFF);
    EXPECT_EQ(Slice(track.data, 12, 8), (Bytes{0x00, 0x23, 0x05, 0x36, 0, 0, 0, 0x0A}))
        << "NWA 2295094, 10 free";
    EXPECT_EQ(Write(2295094, 16).Sense(), Sense(5, 0x21, 0));
    EXPECT_TRUE(Write(2295094, 10).Good());
    const Reply full = TrackInformation(1, 0xFF);
    EXPECT_EQ(full.data[7], 0x00) << "no next writable address is left";
    EXPECT_EQ(Slice(full.data, 16, 4), Bytes(4, 0));
    EXPECT_EQ(Write(2295104, 1).Sense(), Sense(5, 0x21, 0)) << "past the end of the user area";
}

TEST_F(DiscMediumTest, AFullBufferAsksTheHostToWait) {
    Insert(MediumKind::CdR);
    CdTrackAtOnce(true);
    std::uint32_t lba = 0;
    Reply refused;
    for (int i = 0; i < 100 && (refused = Write(lba, 31)).Good(); ++i) lba += 31;
    ASSERT_FALSE(refused.Good()) << "a 2 MiB buffer fills";
    EXPECT_EQ(refused.Sense(), Sense(2, 0x04, 0x08));
    clock.Advance(seconds(1));
    EXPECT_TRUE(Write(lba, 31).Good());
}

// The host as the writer drives it: 31-block transfers, resent every millisecond while the drive says
// its buffer is full; after the transfer numbered pauseAfter it stands still for pauseMs.
void FeedTrack(DiscFixture& f, std::uint32_t blocks, int pauseAfter = -1, std::int64_t pauseMs = 0) {
    std::uint32_t lba = 0;
    for (int transfer = 0; lba < blocks; ++transfer) {
        const auto count = static_cast<std::uint16_t>(std::min<std::uint32_t>(blocks - lba, 31));
        Reply reply;
        while ((reply = f.Write(lba, count)).Sense() == Sense(2, 0x04, 0x08))
            f.clock.Advance(std::chrono::milliseconds(1));
        ASSERT_TRUE(reply.Good()) << "write at " << lba;
        lba += count;
        if (transfer == pauseAfter) f.clock.Advance(std::chrono::milliseconds(pauseMs));
    }
}

Reply SetWriteSpeed(DiscFixture& f, std::uint16_t kBs) {
    return f.NoData({0xBB, 0, 0xFF, 0xFF, DiscFixture::B(kBs, 1), DiscFixture::B(kBs, 0), 0, 0, 0, 0, 0, 0});
}

// The 2 MiB buffer lasts 94.6 ms at 16x DVD and 297 ms at 40x CD; the flush and the close that end
// the track are no underrun however long the host takes to send them.
TEST_F(DiscMediumTest, CountsBufferUnderrunsOfTheOpenTrack) {
    const struct {
        MediumKind kind;
        std::uint16_t speed;
        int pauseAfter;
        std::int64_t pauseMs;
        std::uint32_t underruns;
    } kCases[] = {
        {MediumKind::DvdR, 22160, -1, 0, 0},    {MediumKind::DvdR, 22160, 100, 80, 0},
        {MediumKind::DvdR, 22160, 100, 120, 1}, {MediumKind::CdR, 7056, 100, 250, 0},
        {MediumKind::CdR, 7056, 100, 1000, 1},  {MediumKind::CdR, 7056, 300, 1000, 0}, // the last one
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(::testing::Message() << (c.kind == MediumKind::CdR ? "CD-R" : "DVD-R") << " pause "
                                          << c.pauseMs << " ms after transfer " << c.pauseAfter);
        Fresh(c.kind);
        drive->ResetRecording();
        if (c.kind == MediumKind::CdR) {
            CdTrackAtOnce(false);
        } else {
            DvdDiscAtOnce();
            ASSERT_TRUE(Reserve(31 * 301 + 1).Good());
        }
        ASSERT_TRUE(SetWriteSpeed(*this, c.speed).Good());
        const auto start = clock.Now();
        FeedTrack(*this, 31 * 301, c.pauseAfter, c.pauseMs);
        clock.Advance(seconds(3));
        ASSERT_TRUE(SyncCache(c.kind == MediumKind::DvdR).Good());
        if (c.kind == MediumKind::CdR) {
            ASSERT_TRUE(Close(2).Good());
        }
        clock.Advance(minutes(5)); // a DVD-R lead-out
        const RecordingStats stats = drive->Recording();
        EXPECT_EQ(drive->UnderrunCount(), c.underruns);
        EXPECT_EQ(stats.bytes, 31u * 301 * 2048);
        ASSERT_TRUE(stats.firstWrite && stats.flushed);
        EXPECT_EQ(*stats.firstWrite, start);
        const double rate = stats.BytesPerSecond() / 1000.0 / c.speed;
        if (c.underruns == 0) {
            EXPECT_NEAR(rate, 1.0, 0.001);
        } else {
            EXPECT_LT(rate, 0.98); // 25 ms lost of 860 ms at least
        }
    }
}

} // namespace
} // namespace lorvane::recorder
