#include "recorder/mechanics_commands.h"

#include "recorder/medium.h"
#include "recorder/virtual_drive.h"
#include "recorder/virtual_recorder.h"
#include "recorder_test_support.h"
#include "support/fake_clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace lorvane::recorder {
namespace {

using testsupport::MakeExecute;
using Bytes = std::vector<std::uint8_t>;
namespace ts = transport::srbstatus;

constexpr std::uint8_t kProbeSpeeds = 0xF0; // test-only opcode: current read and write speed
constexpr std::uint8_t kProbeFill = 0xF1;   // test-only opcode: takes bytes 2-5 into the drive buffer

class ProfileMedium final : public Medium {
public:
    explicit ProfileMedium(std::uint16_t profile) : m_profile(profile) {}
    std::uint16_t CurrentProfile() const override { return m_profile; }

private:
    std::uint16_t m_profile;
};

struct Answer {
    std::uint8_t status = 0;
    Bytes sense; // key, ASC, ASCQ; empty on success
    Bytes data;
};

class MechanicsCommands : public ::testing::Test {
protected:
    explicit MechanicsCommands(DriveModel model = {}) : recorder(clock) { Use(std::move(model)); }

    void Use(DriveModel model) {
        DriveIdentity identity;
        identity.model = std::move(model);
        drive = &recorder.AddDrive(identity, scratch.File("disc" + std::to_string(++drives) + ".img"), 0);
        drive->RegisterCommand(kProbeSpeeds, [](CommandContext& c) {
            const std::uint16_t read = c.drive.mechanics.ReadSpeedKBs(),
                                write = c.drive.mechanics.WriteSpeedKBs();
            return CommandOutcome::Good(
                {static_cast<std::uint8_t>(read >> 8), static_cast<std::uint8_t>(read),
                 static_cast<std::uint8_t>(write >> 8), static_cast<std::uint8_t>(write)});
        });
        drive->RegisterCommand(kProbeFill, [](CommandContext& c) {
            const std::uint32_t bytes = std::uint32_t{c.cdb[2]} << 24 | std::uint32_t{c.cdb[3]} << 16 |
                                        std::uint32_t{c.cdb[4]} << 8 | c.cdb[5];
            return c.drive.mechanics.Accept(bytes, c.now)
                       ? CommandOutcome::Good()
                       : CommandOutcome::Check(sense::kLongWriteInProgress);
        });
    }
    void Load(std::optional<std::uint16_t> profile) {
        drive->LoadMedium(profile ? std::make_unique<ProfileMedium>(*profile) : nullptr);
    }

    Answer Send(const Bytes& cdb, std::uint32_t dataIn = 0, Bytes dataOut = {}) {
        Bytes buffer = dataOut.empty() ? Bytes(dataIn, 0xEE) : dataOut;
        const std::uint8_t flags = !dataOut.empty() ? transport::srbflag::kWrite
                                   : dataIn != 0    ? transport::srbflag::kRead
                                                    : transport::srbflag::kNoData;
        auto srb = MakeExecute(0, drive->Target(), {}, flags, buffer.empty() ? nullptr : buffer.data(),
                               static_cast<std::uint32_t>(buffer.size()));
        srb.cdbLength = static_cast<std::uint8_t>(cdb.size());
        std::copy(cdb.begin(), cdb.end(), srb.cdb);
        recorder.SendCommand(&srb);
        Answer answer{srb.header.status, {}, buffer};
        if (srb.header.status != ts::kComplete)
            answer.sense = {static_cast<std::uint8_t>(srb.senseArea[2] & 0x0F), srb.senseArea[12],
                            srb.senseArea[13]};
        return answer;
    }
    std::pair<int, int> Speeds() {
        const Bytes d = Send({kProbeSpeeds, 0, 0, 0, 0, 0}, 4).data;
        return {d[0] << 8 | d[1], d[2] << 8 | d[3]};
    }

    testing::FakeClock clock;
    testsupport::ScratchFolder scratch;
    VirtualRecorder recorder;
    VirtualDrive* drive = nullptr;
    int drives = 0;
};

const Bytes kGood = {};

TEST_F(MechanicsCommands, GetConfigurationSingleFeatureFormMatchesTheFeatureTables) {
    struct Case {
        std::optional<std::uint16_t> medium;
        std::uint8_t feature;
        Bytes expected;
    };
    const Case kCases[] = {
        // DVD-R/-RW Write on a DVD-R: version 1, current; BUF, Test Write, DVD-RW.
        {0x0011,
         0x2F,
         {0x00, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x11, 0x00, 0x2F, 0x05, 0x04, 0x46, 0, 0, 0}},
        {0x001A,
         0x2F,
         {0x00, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x1A, 0x00, 0x2F, 0x04, 0x04, 0x46, 0, 0, 0}},
        // DVD+RW on a DVD+RW: Write.
        {0x001A,
         0x2A,
         {0x00, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x1A, 0x00, 0x2A, 0x01, 0x04, 0x01, 0, 0, 0}},
        {0x001B,
         0x2B,
         {0x00, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x1B, 0x00, 0x2B, 0x01, 0x04, 0x01, 0, 0, 0}},
        // CD Track-at-Once on a CD-RW: version 2, BUF, Test Write, CD-RW; data types 0, 8, 10.
        {0x000A,
         0x2D,
         {0x00, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x2D, 0x09, 0x04, 0x46, 0, 0x05, 0x01}},
        {std::nullopt,
         0x2D,
         {0x00, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x2D, 0x08, 0x04, 0x46, 0, 0x05, 0x01}},
        {0x0009, 0x21, {0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x09}}, // not a feature of this drive
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.medium.value_or(0) << " feature " << +c.feature);
        Load(c.medium);
        const Answer a = Send({0x46, 0x02, 0x00, c.feature, 0, 0, 0, 0, 114, 0}, 114);
        ASSERT_EQ(a.status, ts::kComplete);
        EXPECT_EQ(Bytes(a.data.begin(), a.data.begin() + static_cast<std::ptrdiff_t>(c.expected.size())),
                  c.expected);
    }
}

// A CD-R writer (no DVD) with an empty tray, every feature, MMC-5 5.3.1-5.3.3 and 5.3.20 by hand.
TEST_F(MechanicsCommands, GetConfigurationListsEveryFeatureAndCutsAtTheAllocationLength) {
    DriveModel cdR;
    cdR.readsDvd = cdR.readsDvdRam = cdR.writesDvdR = cdR.writesDvdRam = cdR.writesDvdPlus = false;
    Use(cdR);
    Load(0x0009);
    const Bytes all = {0x00, 0x00, 0x00, 0x30, 0x00, 0x00, 0x00, 0x09,                         // header, CD-R
                       0x00, 0x00, 0x03, 0x0C, 0x00, 0x09, 0x01, 0x00, 0x00, 0x0A, 0x00, 0x00, // profile list
                       0x00, 0x08, 0x00, 0x00,                                                 //
                       0x00, 0x01, 0x0B, 0x08, 0x00, 0x00, 0x00, 0x02, 0x01, 0x00, 0x00, 0x00, // core
                       0x00, 0x03, 0x03, 0x04, 0x29, 0x00, 0x00, 0x00,  // removable medium
                       0x00, 0x2D, 0x09, 0x04, 0x46, 0x00, 0x05, 0x01}; // CD TAO
    const Answer whole = Send({0x46, 0x00, 0x00, 0x00, 0, 0, 0, 0x01, 0x00, 0}, 256);
    EXPECT_EQ(Bytes(whole.data.begin(), whole.data.begin() + static_cast<std::ptrdiff_t>(all.size())), all);
    EXPECT_EQ(whole.data[all.size()], 0xEE); // nothing beyond the reply

    const Answer cut = Send({0x46, 0x00, 0x00, 0x00, 0, 0, 0, 0x00, 0x10, 0}, 32);
    EXPECT_EQ(Bytes(cut.data.begin(), cut.data.begin() + 16), Bytes(all.begin(), all.begin() + 16));
    EXPECT_EQ(cut.data[16], 0xEE);

    // From feature 0002h on, only current ones: the removable medium and CD TAO.
    const Answer current = Send({0x46, 0x01, 0x00, 0x02, 0, 0, 0, 0x00, 0x40, 0}, 64);
    const Bytes tail(all.end() - 16, all.end());
    EXPECT_EQ(Bytes(current.data.begin() + 8, current.data.begin() + 24), tail);
    EXPECT_EQ(current.data[3], 0x14);

    EXPECT_EQ(Send({0x46, 0x03, 0, 0, 0, 0, 0, 0, 8, 0}, 8).sense, (Bytes{0x05, 0x24, 0x00}));
}

TEST_F(MechanicsCommands, GetConfigurationMarksTheLoadedMediumCurrent) {
    struct Case {
        std::optional<std::uint16_t> medium;
        bool trayOpen;
        std::uint16_t profile;
        std::uint8_t plusRw, plusR, cdTao, dvdR; // D2 of 002Ah, 002Bh, 002Dh, 002Fh
    };
    constexpr std::uint8_t kNo = 0x00;
    const Case kCases[] = {
        {std::nullopt, false, 0x0000, kNo, kNo, 0x08, 0x04}, {0x0009, true, 0x0000, kNo, kNo, 0x08, 0x04},
        {0x0008, false, 0x0008, kNo, kNo, 0x08, 0x04},       {0x0009, false, 0x0009, kNo, kNo, 0x09, 0x04},
        {0x0011, false, 0x0011, kNo, kNo, 0x08, 0x05},       {0x0014, false, 0x0014, kNo, kNo, 0x08, 0x05},
        {0x0013, false, 0x0013, kNo, kNo, 0x08, 0x04},       {0x001A, false, 0x001A, 0x01, kNo, 0x08, 0x04},
        {0x001B, false, 0x001B, kNo, 0x01, 0x08, 0x04},      {0x0012, false, 0x0012, kNo, kNo, 0x08, 0x04},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.medium.value_or(0) << (c.trayOpen ? " open" : ""));
        Load(c.medium);
        if (c.trayOpen) drive->OpenTray();
        const Bytes d = Send({0x46, 0x00, 0x00, 0x00, 0, 0, 0, 0x04, 0x00, 0}, 1024).data;
        EXPECT_EQ(d[6] << 8 | d[7], c.profile);
        std::size_t at = 8;
        int currentProfiles = 0;
        for (std::size_t p = at + 4; p < at + 4 + d[at + 3]; p += 4)
            if (d[p + 2] & 0x01) {
                ++currentProfiles;
                EXPECT_EQ(d[p] << 8 | d[p + 1], c.profile);
            }
        EXPECT_EQ(currentProfiles, c.profile != 0 ? 1 : 0);
        std::map<int, std::uint8_t> versionBytes;
        for (; at < 4u + (d[2] << 8 | d[3]); at += 4u + d[at + 3])
            versionBytes[d[at] << 8 | d[at + 1]] = d[at + 2];
        EXPECT_EQ(versionBytes, (std::map<int, std::uint8_t>{{0x00, 0x03},
                                                             {0x01, 0x0B},
                                                             {0x03, 0x03},
                                                             {0x2A, c.plusRw},
                                                             {0x2B, c.plusR},
                                                             {0x2D, c.cdTao},
                                                             {0x2F, c.dvdR}}));
    }
}

TEST_F(MechanicsCommands, AModelWithoutGetConfigurationRejectsTheOperationCode) {
    DriveModel old;
    old.getConfiguration = false;
    Use(old);
    EXPECT_EQ(Send({0x46, 0x02, 0, 0x2F, 0, 0, 0, 0, 114, 0}, 114).sense, (Bytes{0x05, 0x20, 0x00}));
}

TEST_F(MechanicsCommands, SetCdSpeedRoundsForTheLoadedMediumAndWorksWithoutOne) {
    struct Case {
        std::optional<std::uint16_t> medium;
        std::uint8_t rotation;
        std::uint16_t read, write;
        Bytes sense;
        int readNow, writeNow;
    };
    const Case kCases[] = {
        {0x0009, 0, 0xFFFF, 0xFFFF, kGood, 8467, 7056},
        {0x0009, 0, 0xFFFF, 2832, kGood, 8467, 2823},
        {std::nullopt, 0, 1770, 4248, kGood, 1770, 4234},
        {0x0011, 1, 0xFFFF, 5600, kGood, 22160, 5540},
        {0x0011, 0, 0xFFFF, 177, kGood, 22160, 2770},
        {0x0009, 2, 0xFFFF, 706, {0x05, 0x24, 0x00}, 8467, 7056},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(::testing::Message() << c.read << '/' << c.write);
        Load(c.medium);
        Send({0xBB, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0});
        const Answer a = Send({0xBB, c.rotation, static_cast<std::uint8_t>(c.read >> 8),
                               static_cast<std::uint8_t>(c.read), static_cast<std::uint8_t>(c.write >> 8),
                               static_cast<std::uint8_t>(c.write), 0, 0, 0, 0, 0, 0});
        EXPECT_EQ(a.sense, c.sense);
        EXPECT_EQ(Speeds(), std::make_pair(c.readNow, c.writeNow));
    }
}

// The writer's 28-byte performance descriptor for a DVD-R: to LBA 2298495, 43965 kB read and 1418 kB
// written a second.
const Bytes kWriterDescriptor = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x23,
                                 0x12, 0x7F, 0x00, 0x00, 0xAB, 0xBD, 0x00, 0x00, 0x03, 0xE8,
                                 0x00, 0x00, 0x05, 0x8A, 0x00, 0x00, 0x03, 0xE8};

TEST_F(MechanicsCommands, SetStreamingTakesTheSpeedFromSizeOverTimeAndRefusesABadList) {
    Bytes eightX = kWriterDescriptor;
    eightX[22] = 0x2B, eightX[23] = 0x48; // 11080 kB
    Bytes halfSecond = eightX;
    halfSecond[26] = 0x01, halfSecond[27] = 0xF4; // in 500 ms: 22160 kB/s
    Bytes restore = eightX;
    restore[0] = 0x04; // RDD
    Bytes noTime = kWriterDescriptor;
    noTime[26] = noTime[27] = 0;
    Bytes backwards = kWriterDescriptor;
    backwards[7] = 0xFF, backwards[6] = 0xFF, backwards[5] = 0xFF, backwards[4] = 0x7F; // start beyond end
    struct Case {
        const char* name;
        Bytes list;
        std::uint8_t type, length;
        Bytes sense;
        int readNow, writeNow;
    };
    const Case kCases[] = {
        {"writer's", kWriterDescriptor, 0, 28, kGood, 22160, 2770},
        {"8x", eightX, 0, 28, kGood, 22160, 11080},
        {"16x", halfSecond, 0, 28, kGood, 22160, 22160},
        {"restore defaults", restore, 0, 28, kGood, 22160, 22160},
        {"short", kWriterDescriptor, 0, 20, {0x05, 0x26, 0x00}, 22160, 5540},
        {"no write time", noTime, 0, 28, {0x05, 0x26, 0x00}, 22160, 5540},
        {"end before start", backwards, 0, 28, {0x05, 0x26, 0x00}, 22160, 5540},
        {"other type", kWriterDescriptor, 5, 28, {0x05, 0x24, 0x00}, 22160, 5540},
    };
    Load(0x0011);
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Send({0xBB, 0, 0xFF, 0xFF, 0x15, 0xA4, 0, 0, 0, 0, 0, 0}); // 4x
        const Answer a = Send({0xB6, 0, 0, 0, 0, 0, 0, 0, c.type, 0, c.length, 0}, 0, c.list);
        EXPECT_EQ(a.sense, c.sense);
        EXPECT_EQ(Speeds(), std::make_pair(c.readNow, c.writeNow));
    }
}

// 1 MB written at 1x CD into a 2 MiB buffer; READ BUFFER CAPACITY in bytes and in blocks as it drains.
TEST_F(MechanicsCommands, ReadBufferCapacityShowsTheFreeSpaceReturning) {
    DriveModel model;
    model.cdWriteSpeedsKBs = {176};
    Use(model);
    Load(0x0009);
    ASSERT_EQ(Send({kProbeFill, 0, 0x00, 0x0F, 0x42, 0x40}).status, ts::kComplete); // 1,000,000 bytes
    const std::int64_t written = clock.NowMs();

    constexpr struct {
        std::int64_t atMs; // since the write
        std::uint8_t freeBytes[4], freeBlocks[4];
    } kCases[] = {
        {0, {0x00, 0x10, 0xBD, 0xC0}, {0x00, 0x00, 0x02, 0x17}},    // 1097152 bytes, 535 blocks
        {1000, {0x00, 0x13, 0x6D, 0x40}, {0x00, 0x00, 0x02, 0x6D}}, // 1273152, 621
        {5000, {0x00, 0x1E, 0x2B, 0x40}, {0x00, 0x00, 0x03, 0xC5}}, // 1977152, 965
        {6000, {0x00, 0x20, 0x00, 0x00}, {0x00, 0x00, 0x04, 0x00}}, // all of it back: 2 MiB, 1024
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.atMs);
        clock.Advance(std::chrono::milliseconds(written + c.atMs - clock.NowMs()));
        const Bytes bytes = Send({0x5C, 0x00, 0, 0, 0, 0, 0, 0x00, 0x0C, 0}, 12).data;
        EXPECT_EQ(bytes, (Bytes{0x00, 0x0A, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, c.freeBytes[0],
                                c.freeBytes[1], c.freeBytes[2], c.freeBytes[3]}));
        const Bytes blocks = Send({0x5C, 0x01, 0, 0, 0, 0, 0, 0x00, 0x0C, 0}, 12).data;
        EXPECT_EQ(blocks, (Bytes{0x00, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, c.freeBlocks[0],
                                 c.freeBlocks[1], c.freeBlocks[2], c.freeBlocks[3]}));
    }
    Load(std::nullopt); // the buffer is the drive's, not the disc's
    EXPECT_EQ(Send({0x5C, 0x00, 0, 0, 0, 0, 0, 0x00, 0x08, 0}, 12).data,
              (Bytes{0x00, 0x0A, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0xEE, 0xEE, 0xEE, 0xEE}));
}

TEST_F(MechanicsCommands, TrayOpensClosesAndStaysShutWhileLocked) {
    Load(0x0009);
    constexpr std::uint8_t kEject = 0x02, kLoad = 0x03, kImmedEject = 0x02;
    struct Step {
        const char* name;
        Bytes cdb;
        Bytes sense;
        TrayState trayAfter;
        Bytes readySense; // TEST UNIT READY afterwards
    };
    const Step kSteps[] = {
        {"eject", {0x1B, 0, 0, 0, kEject, 0}, kGood, TrayState::Open, {0x02, 0x3A, 0x02}},
        {"load", {0x1B, 0, 0, 0, kLoad, 0}, kGood, TrayState::Closed, kGood},
        {"lock", {0x1E, 0, 0, 0, 0x01, 0}, kGood, TrayState::Closed, kGood},
        {"eject while locked",
         {0x1B, 0x01, 0, 0, kImmedEject, 0},
         {0x05, 0x53, 0x02},
         TrayState::Closed,
         kGood},
        {"stop spindle while locked", {0x1B, 0, 0, 0, 0x00, 0}, kGood, TrayState::Closed, kGood},
        {"unlock", {0x1E, 0, 0, 0, 0x00, 0}, kGood, TrayState::Closed, kGood},
        {"immediate eject", {0x1B, 0x01, 0, 0, kImmedEject, 0}, kGood, TrayState::Open, {0x02, 0x3A, 0x02}},
        {"load again", {0x1B, 0x01, 0, 0, kLoad, 0}, kGood, TrayState::Closed, kGood},
    };
    for (const Step& s : kSteps) {
        SCOPED_TRACE(s.name);
        EXPECT_EQ(Send(s.cdb).sense, s.sense);
        EXPECT_EQ(drive->Tray(), s.trayAfter);
        EXPECT_EQ(Send({0x00, 0, 0, 0, 0, 0}).sense, s.readySense);
    }
}

TEST_F(MechanicsCommands, OpcAndDvdStructureNeedAMediumTheDriveCanWrite) {
    const Bytes stamp = {0x00, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, '2', '0', '2',
                         '6',  '1',  '2',  '0',  '8',  '0',  '2',  '3',  '0', '1', '5'};
    Bytes badStamp = stamp;
    badStamp[12] = ':';
    struct Case {
        std::optional<std::uint16_t> medium;
        bool trayOpen;
        Bytes opc;
        std::uint8_t format;
        Bytes list;
        Bytes structure;
    };
    const Bytes kNoMediumClosed = {0x02, 0x3A, 0x01}, kNoMediumOpen = {0x02, 0x3A, 0x02};
    const Bytes kCannotWrite = {0x05, 0x30, 0x05}, kBadField = {0x05, 0x24, 0x00},
                kBadList = {0x05, 0x26, 0x00};
    const Case kCases[] = {
        {0x0011, false, kGood, 0x0F, stamp, kGood},
        {0x0014, false, kGood, 0x0F, stamp, kGood},
        {0x0011, false, kGood, 0x0F, badStamp, kBadList},
        {0x0011, false, kGood, 0x0F, Bytes(stamp.begin(), stamp.begin() + 12), kBadList},
        {0x0011, false, kGood, 0x04, stamp, kBadField},
        {0x001B, false, kGood, 0x0F, stamp, kBadField},
        {0x0012, false, kGood, 0x0F, stamp, kBadField},
        {0x0009, false, kGood, 0x0F, stamp, kCannotWrite},
        {0x000A, false, kGood, 0x0F, stamp, kCannotWrite},
        {0x0008, false, kCannotWrite, 0x0F, stamp, kCannotWrite},
        {0x0010, false, kCannotWrite, 0x0F, stamp, kCannotWrite},
        {std::nullopt, false, kNoMediumClosed, 0x0F, stamp, kNoMediumClosed},
        {0x0011, true, kNoMediumOpen, 0x0F, stamp, kNoMediumOpen},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.medium.value_or(0) << " format " << +c.format
                                          << (c.trayOpen ? " open" : ""));
        Load(c.medium);
        if (c.trayOpen) drive->OpenTray();
        EXPECT_EQ(Send({0x54, 0x01, 0, 0, 0, 0, 0, 0, 0, 0}).sense, c.opc);
        const auto length = static_cast<std::uint8_t>(c.list.size());
        EXPECT_EQ(Send({0xBF, 0, 0, 0, 0, 0, 0, c.format, 0x00, length, 0, 0}, 0, c.list).sense, c.structure);
    }
}

TEST_F(MechanicsCommands, RezeroUnitNeedsADisc) {
    EXPECT_EQ(Send({0x01, 0, 0, 0, 0, 0}).sense, (Bytes{0x02, 0x3A, 0x01}));
    Load(0x0008);
    EXPECT_EQ(Send({0x01, 0, 0, 0, 0, 0}).sense, kGood);
}

} // namespace
} // namespace lorvane::recorder
