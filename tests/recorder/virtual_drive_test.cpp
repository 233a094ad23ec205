#include "recorder/virtual_drive.h"

#include "recorder/medium.h"
#include "recorder/scsi_codes.h"
#include "recorder/virtual_recorder.h"
#include "recorder_test_support.h"
#include "support/fake_clock.h"
#include "transport/event.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

namespace lorvane::recorder {
namespace {

using testsupport::MakeExecute;
using Bytes = std::vector<std::uint8_t>;
namespace ts = transport::srbstatus;
constexpr std::uint8_t kIn = transport::srbflag::kRead;
constexpr std::uint8_t kNone = transport::srbflag::kNoData;

// SPC-3 6.4.2 standard INQUIRY data of the default identity, written out by hand.
const Bytes kDefaultInquiry = [] {
    Bytes b = {
        0x05, 0x80, 0x05, 0x02, 0x5B, 0x00, 0x00, 0x00, 'L', 'O', 'R', 'V', 'A', 'N', 'E', ' ', // vendor
        'V',  'I',  'R',  'T',  'U',  'A',  'L',  ' ',  'R', 'E', 'C', 'O', 'R', 'D', 'E', 'R',
        '1',  '.',  '0',  '0'};
    b.resize(56, ' '); // vendor-specific 36-55
    b.resize(96, 0x00);
    return b;
}();

// Fixed-format sense data, SPC-3 4.5.3: 70h, key, 4 information bytes, additional length 0Ah, ...
Bytes Sense18(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
    return {0x70, 0x00, key,  0x00, 0x00, 0x00, 0x00, 0x0A, 0x00,
            0x00, 0x00, 0x00, asc,  ascq, 0x00, 0x00, 0x00, 0x00};
}

// A disc that is ready, or busy with a long operation until a moment on the drive's clock.
class TestMedium final : public Medium {
public:
    explicit TestMedium(transport::Clock::TimePoint busyUntil = {}) : m_busyUntil(busyUntil) {}
    std::uint16_t CurrentProfile() const override { return 0x0009; }
    std::optional<SenseCode> NotReady(transport::Clock::TimePoint now) const override {
        if (now >= m_busyUntil) return std::nullopt;
        SenseCode busy = sense::kOperationInProgress;
        busy.progress = 0x8000;
        return busy;
    }

private:
    transport::Clock::TimePoint m_busyUntil;
};

class VirtualDriveTest : public ::testing::Test {
protected:
    VirtualDriveTest()
        : recorder(clock), drive(recorder.AddDrive(DriveIdentity{}, scratch.File("disc.img"))) {}

    struct Answer {
        std::uint8_t status = 0;
        std::uint8_t hostStatus = 0;
        std::uint8_t targetStatus = 0;
        Bytes sense; // the first 14 bytes of the sense area
        Bytes data;
    };
    Answer Send(std::initializer_list<std::uint8_t> cdb, std::uint32_t dataLength = 0) {
        Bytes buffer(dataLength, 0xEE);
        auto srb = MakeExecute(0, 0, cdb, dataLength ? kIn : kNone, buffer.empty() ? nullptr : buffer.data(),
                               dataLength);
        const std::uint32_t returned = recorder.SendCommand(&srb);
        EXPECT_EQ(returned, srb.header.status);
        return {srb.header.status, srb.hostStatus, srb.targetStatus,
                Bytes(srb.senseArea, srb.senseArea + transport::kSenseLengthAsked), buffer};
    }

    testsupport::ScratchFolder scratch;
    testing::FakeClock clock;
    VirtualRecorder recorder;
    VirtualDrive& drive;
};

TEST_F(VirtualDriveTest, InquiryReturnsStandardDataOfAnMmcDrive) {
    const Answer answer = Send({0x12, 0x00, 0x00, 0x00, 0x60, 0x00}, 96);
    EXPECT_EQ(answer.status, ts::kComplete);
    EXPECT_EQ(answer.targetStatus, 0x00);
    EXPECT_EQ(answer.data, kDefaultInquiry);
}

TEST_F(VirtualDriveTest, InquiryPadsShortIdentityFieldsAndCutsLongOnes) {
    const DriveIdentity identity{
        .vendor = "AB", .product = "A PRODUCT NAME LONGER THAN 16", .revision = "7", .peripheralType = 4};
    recorder.AddDrive(identity, scratch.File("second.img"), 0, 3);
    Bytes buffer(36, 0);
    auto srb = MakeExecute(0, 3, {0x12, 0x00, 0x00, 0x00, 0x24, 0x00}, kIn, buffer.data(), 36);
    ASSERT_EQ(recorder.SendCommand(&srb), ts::kComplete);
    const Bytes expected = {0x04, 0x80, 0x05, 0x02, 0x5B, 0x00, 0x00, 0x00, 'A', 'B', ' ', ' ',
                            ' ',  ' ',  ' ',  ' ',  'A',  ' ',  'P',  'R',  'O', 'D', 'U', 'C',
                            'T',  ' ',  'N',  'A',  'M',  'E',  ' ',  'L',  '7', ' ', ' ', ' '};
    EXPECT_EQ(buffer, expected);
}

// The reply is cut by the CDB's allocation length and by the request's data length, whichever is
// smaller, and nothing past the data length is ever written.
TEST_F(VirtualDriveTest, InquiryHonoursAllocationAndDataLength) {
    constexpr struct {
        std::uint16_t allocation;
        std::uint32_t dataLength;
        std::size_t written;
    } kCases[] = {{36, 96, 36},   {96, 36, 36},      {5, 128, 5}, {0, 96, 0},
                  {128, 128, 96}, {0x0100, 200, 96}, {96, 1, 1}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(::testing::Message() << "allocation " << c.allocation << " data " << c.dataLength);
        const std::uint32_t guard = 16;
        Bytes buffer(c.dataLength + guard, 0xEE);
        auto srb = MakeExecute(0, 0,
                               {0x12, 0x00, 0x00, static_cast<std::uint8_t>(c.allocation >> 8),
                                static_cast<std::uint8_t>(c.allocation & 0xFF), 0x00},
                               kIn, buffer.data(), c.dataLength);
        ASSERT_EQ(recorder.SendCommand(&srb), ts::kComplete);
        for (std::size_t i = 0; i < buffer.size(); ++i) {
            if (i < c.written)
                ASSERT_EQ(buffer[i], kDefaultInquiry[i]) << "byte " << i;
            else
                ASSERT_EQ(buffer[i], 0xEE) << "byte " << i << " written past the reply";
        }
    }
}

TEST_F(VirtualDriveTest, InquiryWithoutDataInFlagTransfersNothing) {
    Bytes buffer(96, 0xEE);
    auto srb = MakeExecute(0, 0, {0x12, 0x00, 0x00, 0x00, 0x60, 0x00}, kNone, buffer.data(), 96);
    EXPECT_EQ(recorder.SendCommand(&srb), ts::kComplete);
    EXPECT_EQ(buffer, Bytes(96, 0xEE));
}

TEST_F(VirtualDriveTest, InquiryForVitalProductDataIsRefused) {
    const Answer answer = Send({0x12, 0x01, 0x80, 0x00, 0x60, 0x00}, 96);
    EXPECT_EQ(answer.status, ts::kError);
    const Bytes full = Sense18(0x05, 0x24, 0x00);
    EXPECT_EQ(answer.sense, Bytes(full.begin(), full.begin() + 14));
}

TEST_F(VirtualDriveTest, UnknownOperationCodesAreInvalidCommandOperationCode) {
    const Bytes expected = {0x70, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00,
                            0x0A, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00};
    for (std::uint8_t opcode : Bytes{0x02, 0x3B, 0x5D, 0xC0, 0xFF}) {
        SCOPED_TRACE(::testing::Message() << "opcode " << std::hex << +opcode);
        const Answer answer = Send({opcode, 0, 0, 0, 0, 0, 0, 0, 0, 0});
        EXPECT_EQ(answer.status, ts::kError);
        EXPECT_EQ(answer.hostStatus, 0x00);
        EXPECT_EQ(answer.targetStatus, 0x02);
        EXPECT_EQ(answer.sense, expected);
    }
}

// As an ASPI manager with SRB_SenseLen: the first min(sense length, 33) bytes, nothing after them.
TEST_F(VirtualDriveTest, SenseCopyHonoursTheRequestSenseLength) {
    const Bytes full = Sense18(0x05, 0x20, 0x00);
    for (std::uint8_t senseLength : Bytes{0, 1, 14, 18, 33, 40, 255}) {
        SCOPED_TRACE(::testing::Message() << "sense length " << +senseLength);
        auto srb = MakeExecute(0, 0, {0xF0, 0, 0, 0, 0, 0}, kNone, nullptr, 0, senseLength);
        std::memset(srb.senseArea, 0xEE, sizeof srb.senseArea);
        ASSERT_EQ(recorder.SendCommand(&srb), ts::kError);
        const std::size_t copied = std::min<std::size_t>(senseLength, 33);
        for (std::size_t i = 0; i < sizeof srb.senseArea; ++i) {
            const std::uint8_t expected = i >= copied ? 0xEE : i < full.size() ? full[i] : 0x00;
            ASSERT_EQ(srb.senseArea[i], expected) << "sense byte " << i;
        }
    }
}

TEST_F(VirtualDriveTest, TestUnitReadyFollowsTrayAndMedium) {
    struct Step {
        const char* what;
        void (*act)(VirtualDrive&);
        std::uint8_t status;
        Bytes sense;
    };
    const Step steps[] = {
        {"empty tray, closed", [](VirtualDrive&) {}, ts::kError, Sense18(0x02, 0x3A, 0x01)},
        {"empty tray, open", [](VirtualDrive& d) { d.OpenTray(); }, ts::kError, Sense18(0x02, 0x3A, 0x02)},
        {"disc loaded",
         [](VirtualDrive& d) { d.LoadMedium(std::make_unique<TestMedium>()); },
         ts::kComplete,
         {}},
        {"tray opened with the disc", [](VirtualDrive& d) { d.OpenTray(); }, ts::kError,
         Sense18(0x02, 0x3A, 0x02)},
        {"tray closed again", [](VirtualDrive& d) { d.CloseTray(); }, ts::kComplete, {}},
        {"disc taken out", [](VirtualDrive& d) { d.LoadMedium(nullptr); }, ts::kError,
         Sense18(0x02, 0x3A, 0x01)},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        step.act(drive);
        const Answer answer = Send({0x00, 0, 0, 0, 0, 0});
        EXPECT_EQ(answer.status, step.status);
        if (step.status == ts::kError) {
            EXPECT_EQ(answer.targetStatus, 0x02);
            EXPECT_EQ(answer.sense, Bytes(step.sense.begin(), step.sense.begin() + 14));
        } else {
            EXPECT_EQ(answer.targetStatus, 0x00);
        }
    }
}

TEST_F(VirtualDriveTest, RequestSenseReturnsThePendingSenseOnceThenTheCurrentCondition) {
    drive.LoadMedium(std::make_unique<TestMedium>());
    ASSERT_EQ(Send({0xF0, 0, 0, 0, 0, 0}).status, ts::kError); // unknown here: 5/20/00

    Answer first = Send({0x03, 0, 0, 0, 18, 0}, 18);
    EXPECT_EQ(first.status, ts::kComplete);
    EXPECT_EQ(first.data, Sense18(0x05, 0x20, 0x00));

    Answer second = Send({0x03, 0, 0, 0, 18, 0}, 18);
    EXPECT_EQ(second.data, Sense18(0x00, 0x00, 0x00)) << "the pending sense is cleared once read";
}

TEST_F(VirtualDriveTest, RequestSenseWithoutPendingSenseReportsWhyTheUnitIsNotReady) {
    EXPECT_EQ(Send({0x03, 0, 0, 0, 18, 0}, 18).data, Sense18(0x02, 0x3A, 0x01));
    drive.OpenTray();
    EXPECT_EQ(Send({0x03, 0, 0, 0, 18, 0}, 18).data, Sense18(0x02, 0x3A, 0x02));
}

TEST_F(VirtualDriveTest, AnyOtherCommandClearsThePendingSense) {
    drive.LoadMedium(std::make_unique<TestMedium>());
    ASSERT_EQ(Send({0xF0, 0, 0, 0, 0, 0}).status, ts::kError);
    ASSERT_EQ(Send({0x00, 0, 0, 0, 0, 0}).status, ts::kComplete);
    EXPECT_EQ(Send({0x03, 0, 0, 0, 18, 0}, 18).data, Sense18(0x00, 0x00, 0x00));
}

TEST_F(VirtualDriveTest, RequestSenseHonoursAllocationAndDataLength) {
    constexpr struct {
        std::uint8_t allocation;
        std::uint32_t dataLength;
        std::size_t written;
    } kCases[] = {{18, 18, 18}, {14, 18, 14}, {252, 32, 18}, {18, 8, 8}, {0, 18, 0}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(::testing::Message() << "allocation " << +c.allocation << " data " << c.dataLength);
        ASSERT_EQ(Send({0xF0, 0, 0, 0, 0, 0}).status, ts::kError);
        const Answer answer = Send({0x03, 0, 0, 0, c.allocation, 0}, c.dataLength);
        const Bytes full = Sense18(0x05, 0x20, 0x00);
        for (std::size_t i = 0; i < answer.data.size(); ++i)
            ASSERT_EQ(answer.data[i], i < c.written ? full[i] : 0xEE) << "byte " << i;
    }
}

TEST_F(VirtualDriveTest, LongOperationOfTheMediumRunsOnTheDriveClock) {
    drive.LoadMedium(std::make_unique<TestMedium>(clock.Now() + std::chrono::minutes(18)));
    Answer busy = Send({0x00, 0, 0, 0, 0, 0});
    EXPECT_EQ(busy.status, ts::kError);
    EXPECT_EQ(busy.sense[2], 0x02);
    EXPECT_EQ(busy.sense[12], 0x04);
    EXPECT_EQ(busy.sense[13], 0x07);

    // Progress travels in the sense-key specific bytes (SKSV set), as drives report it while blanking.
    const Bytes progress = {0x70, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x00,
                            0x00, 0x00, 0x00, 0x04, 0x07, 0x00, 0x80, 0x80, 0x00};
    EXPECT_EQ(Send({0x03, 0, 0, 0, 18, 0}, 18).data, progress);

    clock.Advance(std::chrono::minutes(18));
    EXPECT_EQ(Send({0x00, 0, 0, 0, 0, 0}).status, ts::kComplete);
}

TEST_F(VirtualDriveTest, RegisteredCommandsAreAnsweredAndCutToTheDataLength) {
    drive.RegisterCommand(0x25, [](CommandContext& context) {
        EXPECT_EQ(context.dataInRoom, 6u);
        return CommandOutcome::Good({0x00, 0x05, 0x7E, 0x3F, 0x00, 0x00, 0x08, 0x00});
    });
    Bytes buffer(8, 0xEE);
    auto srb = MakeExecute(0, 0, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, kIn, buffer.data(), 6);
    ASSERT_EQ(recorder.SendCommand(&srb), ts::kComplete);
    EXPECT_EQ(buffer, (Bytes{0x00, 0x05, 0x7E, 0x3F, 0x00, 0x00, 0xEE, 0xEE}));
}

TEST_F(VirtualDriveTest, MediumAnswersBeforeTheCommandTable) {
    class Answering final : public Medium {
    public:
        std::uint16_t CurrentProfile() const override { return 0x0011; }
        std::optional<CommandOutcome> Execute(CommandContext& context) override {
            if (context.cdb[0] != 0x00) return std::nullopt;
            return CommandOutcome::Check(sense::kLongWriteInProgress);
        }
    };
    drive.LoadMedium(std::make_unique<Answering>());
    EXPECT_EQ(Send({0x00, 0, 0, 0, 0, 0}).sense[13], 0x08);
    EXPECT_EQ(Send({0x12, 0, 0, 0, 36, 0}, 36).status, ts::kComplete);
}

TEST_F(VirtualDriveTest, MalformedRequestsAreInvalidSrbs) {
    Bytes buffer(8);
    auto noCdb = MakeExecute(0, 0, {}, kNone);
    auto longCdb = MakeExecute(0, 0, {0x12}, kNone);
    longCdb.cdbLength = 17;
    auto noBuffer = MakeExecute(0, 0, {0x12, 0, 0, 0, 36, 0}, kIn, nullptr, 36);
    auto bothWays =
        MakeExecute(0, 0, {0x12, 0, 0, 0, 8, 0}, kIn | transport::srbflag::kDataOut, buffer.data(), 8);
    for (auto* srb : {&noCdb, &longCdb, &noBuffer, &bothWays}) {
        EXPECT_EQ(recorder.SendCommand(srb), ts::kInvalidSrb);
        EXPECT_EQ(srb->header.status, ts::kInvalidSrb);
    }
    EXPECT_TRUE(drive.Commands().empty());
}

TEST_F(VirtualDriveTest, RecordsEveryExecutedCommand) {
    Send({0x12, 0, 0, 0, 36, 0}, 36);
    Send({0x00, 0, 0, 0, 0, 0});
    Send({0xBB, 0x00, 0xFF, 0xFF, 0x02, 0xC2, 0, 0, 0, 0, 0, 0});
    const auto records = drive.Commands();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].cdb, (Bytes{0x12, 0, 0, 0, 36, 0}));
    EXPECT_EQ(records[0].flags, kIn);
    EXPECT_EQ(records[0].dataLength, 36u);
    EXPECT_EQ(records[1].cdb, (Bytes{0x00, 0, 0, 0, 0, 0}));
    EXPECT_EQ(records[1].flags, kNone);
    EXPECT_EQ(records[2].cdb.size(), 12u);
    drive.ClearCommands();
    EXPECT_TRUE(drive.Commands().empty());
}

TEST_F(VirtualDriveTest, DiscFileIsCreatedEmptyWhenTheDriveIsAdded) {
    EXPECT_TRUE(std::filesystem::exists(drive.DiscPath()));
    EXPECT_EQ(std::filesystem::file_size(drive.DiscPath()), 0u);
    EXPECT_THROW(recorder.AddDrive(DriveIdentity{}, scratch.File("missing-folder/disc.img")),
                 std::system_error);
}

// --- faults -----------------------------------------------------------------------------------

struct FaultCase {
    const char* name;
    Fault fault;
    std::vector<std::uint8_t> opcodes;  // sent in this order: 12h INQUIRY, 00h TEST UNIT READY, ...
    std::vector<std::uint8_t> expected; // 'G' good, 'B' busy, 'C' check condition with the fault's sense,
                                        // 'N' no device, 'P' pending
};

const Bytes kFaultSense = {0x72, 0x00, 0x03, 0x0C, 0x00, 0x01, 0x02,
                           0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09};

class FaultTest : public VirtualDriveTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultTest, FiresOnMatchingCommandsAfterSkipForTimes) {
    drive.LoadMedium(std::make_unique<TestMedium>()); // every command here succeeds without a fault
    drive.InjectFault(GetParam().fault);
    std::vector<transport::SrbExecuteScsi> srbs(GetParam().opcodes.size());
    Bytes buffer(36);
    for (std::size_t i = 0; i < srbs.size(); ++i) {
        const std::uint8_t opcode = GetParam().opcodes[i];
        SCOPED_TRACE(::testing::Message() << "command " << i << " opcode " << std::hex << +opcode);
        srbs[i] = MakeExecute(0, 0, {opcode, 0, 0, 0, 36, 0}, kIn, buffer.data(), 36);
        const std::uint32_t returned = recorder.SendCommand(&srbs[i]);
        const auto& srb = srbs[i];
        switch (GetParam().expected[i]) {
        case 'G':
            EXPECT_EQ(returned, ts::kComplete);
            EXPECT_EQ(srb.targetStatus, 0x00);
            break;
        case 'B':
            EXPECT_EQ(returned, ts::kError);
            EXPECT_EQ(srb.hostStatus, 0x00);
            EXPECT_EQ(srb.targetStatus, 0x08);
            break;
        case 'C':
            EXPECT_EQ(returned, ts::kError);
            EXPECT_EQ(srb.hostStatus, 0x00);
            EXPECT_EQ(srb.targetStatus, 0x02);
            EXPECT_EQ(Bytes(srb.senseArea, srb.senseArea + 14), kFaultSense);
            break;
        case 'N': EXPECT_EQ(returned, ts::kNoDevice); break;
        case 'P':
            EXPECT_EQ(returned, ts::kPending);
            EXPECT_EQ(srb.header.status, ts::kPending);
            break;
        default: FAIL();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Recorder, FaultTest,
    ::testing::Values(
        FaultCase{"BusyOnce", {FaultKind::Busy, std::nullopt, {}, 0, 1}, {0x12, 0x12, 0x00}, {'B', 'G', 'G'}},
        FaultCase{"BusyAfterSkipTwice",
                  {FaultKind::Busy, std::nullopt, {}, 1, 2},
                  {0x12, 0x00, 0x12, 0x00},
                  {'G', 'B', 'B', 'G'}},
        FaultCase{"CheckConditionOnlyOnItsOpcode",
                  {FaultKind::CheckCondition, 0x00, kFaultSense, 0, -1},
                  {0x12, 0x00, 0x12, 0x00, 0x00},
                  {'G', 'C', 'G', 'C', 'C'}},
        FaultCase{"SkipCountsOnlyMatchingCommands",
                  {FaultKind::CheckCondition, 0x00, kFaultSense, 1, 1},
                  {0x00, 0x12, 0x12, 0x00, 0x00},
                  {'G', 'G', 'G', 'C', 'G'}},
        FaultCase{"NeverCompleteOnce", {FaultKind::NeverComplete, 0x12, {}, 0, 1}, {0x12, 0x12}, {'P', 'G'}},
        FaultCase{"VanishAfterTwo",
                  {FaultKind::Vanish, std::nullopt, {}, 2, 1},
                  {0x12, 0x00, 0x12, 0x12, 0x00},
                  {'G', 'G', 'N', 'N', 'N'}},
        FaultCase{
            "ZeroTimesNeverFires", {FaultKind::Busy, std::nullopt, {}, 0, 0}, {0x12, 0x00}, {'G', 'G'}}),
    [](const ::testing::TestParamInfo<FaultCase>& param) { return std::string(param.param.name); });

TEST_F(VirtualDriveTest, CheckConditionFaultSenseIsWhatRequestSenseReturns) {
    drive.InjectFault({FaultKind::CheckCondition, 0x00, FixedSense(0x03, 0x0C, 0x00), 0, 1});
    drive.LoadMedium(std::make_unique<TestMedium>());
    ASSERT_EQ(Send({0x00, 0, 0, 0, 0, 0}).status, ts::kError);
    EXPECT_EQ(Send({0x03, 0, 0, 0, 18, 0}, 18).data, Sense18(0x03, 0x0C, 0x00));
}

TEST_F(VirtualDriveTest, FaultsAreMatchedInTheOrderTheyWereArmed) {
    drive.LoadMedium(std::make_unique<TestMedium>());
    drive.InjectFault({FaultKind::Busy, 0x00, {}, 0, 1});
    drive.InjectFault({FaultKind::CheckCondition, std::nullopt, kFaultSense, 0, 1});
    EXPECT_EQ(Send({0x00, 0, 0, 0, 0, 0}).targetStatus, 0x08);
    EXPECT_EQ(Send({0x00, 0, 0, 0, 0, 0}).targetStatus, 0x02);
    EXPECT_EQ(Send({0x00, 0, 0, 0, 0, 0}).status, ts::kComplete);
    drive.InjectFault({FaultKind::Busy, std::nullopt, {}, 0, -1});
    drive.ClearFaults();
    EXPECT_EQ(Send({0x00, 0, 0, 0, 0, 0}).status, ts::kComplete);
}

// A fault with an address hits only the reads and writes whose blocks include it.
TEST_F(VirtualDriveTest, AnAddressedFaultHitsOnlyTheTransfersCoveringItsBlock) {
    drive.LoadMedium(std::make_unique<TestMedium>());
    drive.InjectFaultAt(100, {FaultKind::Busy, std::nullopt, {}, 0, -1});
    const struct {
        const char* what;
        std::initializer_list<std::uint8_t> cdb;
        bool hit;
    } cases[] = {
        {"READ (10) of 90-99", {0x28, 0, 0, 0, 0, 90, 0, 0, 10, 0}, false},
        {"READ (10) of 95-104", {0x28, 0, 0, 0, 0, 95, 0, 0, 10, 0}, true},
        {"WRITE (10) of 100", {0x2A, 0, 0, 0, 0, 100, 0, 0, 1, 0}, true},
        {"WRITE (10) of 101-131", {0x2A, 0, 0, 0, 0, 101, 0, 0, 31, 0}, false},
        {"READ (12) of 0-65535+", {0xA8, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}, true},
        {"WRITE (12) of 100, no blocks", {0xAA, 0, 0, 0, 0, 100, 0, 0, 0, 0, 0, 0}, false},
        {"TEST UNIT READY", {0x00, 0, 0, 0, 0, 0}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Send(c.cdb).targetStatus == 0x08, c.hit);
    }
}

// The tray's button pressed during a command: the disc stays in the open tray and medium access is
// refused from that command on, with the open tray's sense.
TEST_F(VirtualDriveTest, AnOpenTrayFaultOpensTheTrayUnderTheCommand) {
    drive.LoadMedium(std::make_unique<TestMedium>());
    drive.InjectFault({FaultKind::OpenTray, 0x00, {}, 1, 1});
    EXPECT_EQ(Send({0x00, 0, 0, 0, 0, 0}).status, ts::kComplete);
    const Answer refused = Send({0x00, 0, 0, 0, 0, 0});
    EXPECT_EQ(refused.targetStatus, 0x02);
    ASSERT_GE(refused.sense.size(), 14u);
    EXPECT_EQ((Bytes{refused.sense[2], refused.sense[12], refused.sense[13]}), (Bytes{0x02, 0x3A, 0x02}));
    EXPECT_EQ(drive.Tray(), TrayState::Open);
    EXPECT_TRUE(drive.HasMedium());
    EXPECT_EQ(Send({0x00, 0, 0, 0, 0, 0}).targetStatus, 0x02);
    drive.CloseTray();
    EXPECT_EQ(Send({0x00, 0, 0, 0, 0, 0}).status, ts::kComplete);
}

TEST_F(VirtualDriveTest, VanishedDriveIsGoneForEveryRequest) {
    drive.InjectFault({FaultKind::Vanish, std::nullopt, {}, 0, 1});
    EXPECT_EQ(Send({0x12, 0, 0, 0, 36, 0}, 36).status, ts::kNoDevice);
    EXPECT_TRUE(drive.Vanished());
    transport::SrbGetDeviceType type{};
    type.header.command = transport::srbcmd::kGetDeviceType;
    EXPECT_EQ(recorder.SendCommand(&type), ts::kNoDevice);
    EXPECT_EQ(type.deviceType, 0x1F);
    EXPECT_TRUE(drive.Commands().empty());
}

} // namespace
} // namespace lorvane::recorder
