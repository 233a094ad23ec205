#include "recorder/virtual_recorder.h"

#include "recorder/virtual_drive.h"
#include "recorder_test_support.h"
#include "support/fake_clock.h"
#include "transport/event.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

namespace lorvane::recorder {
namespace {

using testsupport::MakeExecute;
using Bytes = std::vector<std::uint8_t>;
namespace ts = transport::srbstatus;
constexpr std::uint8_t kIn = transport::srbflag::kRead;

class VirtualRecorderTest : public ::testing::Test {
protected:
    transport::SrbHostAdapterInquiry AdapterInquiry(std::uint8_t adapter) {
        transport::SrbHostAdapterInquiry srb;
        std::memset(&srb, 0xEE, sizeof srb);
        srb.header = {transport::srbcmd::kHostAdapterInquiry, 0, adapter, 0, 0};
        recorder.SendCommand(&srb);
        return srb;
    }
    std::uint8_t DeviceType(std::uint8_t adapter, std::uint8_t target, std::uint8_t lun, std::uint8_t& type) {
        transport::SrbGetDeviceType srb{};
        srb.header = {transport::srbcmd::kGetDeviceType, 0, adapter, 0, 0};
        srb.target = target;
        srb.lun = lun;
        const std::uint32_t status = recorder.SendCommand(&srb);
        EXPECT_EQ(status, srb.header.status);
        type = srb.deviceType;
        return srb.header.status;
    }
    std::uint8_t InquiryByte0(std::uint8_t adapter, std::uint8_t target, std::uint8_t& byte0) {
        Bytes buffer(36, 0xEE);
        auto srb = MakeExecute(adapter, target, {0x12, 0, 0, 0, 36, 0}, kIn, buffer.data(), 36);
        recorder.SendCommand(&srb);
        byte0 = buffer[0];
        return srb.header.status;
    }

    testsupport::ScratchFolder scratch;
    testing::FakeClock clock;
    VirtualRecorder recorder{clock};
};

TEST_F(VirtualRecorderTest, SupportInfoCountsAdapters) {
    EXPECT_EQ(recorder.GetSupportInfo(), 0xE800u) << "no drive, no adapter";
    recorder.AddDrive({}, scratch.File("a.img"));
    EXPECT_EQ(recorder.GetSupportInfo(), 0x0101u);
    recorder.AddDrive({}, scratch.File("b.img"), 2);
    EXPECT_EQ(recorder.GetSupportInfo(), 0x0103u) << "highest adapter with a drive + 1";
    EXPECT_EQ(recorder.AdapterCount(), 3);
}

TEST_F(VirtualRecorderTest, HostAdapterInquiryAnswersLikeAManager) {
    recorder.AddDrive({}, scratch.File("a.img"));
    const auto srb = AdapterInquiry(0);
    const auto* raw = reinterpret_cast<const std::uint8_t*>(&srb);
    const Bytes expected = {
        0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // header
        0x01, 0x07,                                     // count, SCSI id
        'L',  'O',  'R',  'V',  'A',  'N',  'E',  ' ',  'V',  'I', 'R', 'T', 'U', 'A', 'L', ' ', // manager
        'V',  'I',  'R',  'T',  'U',  'A',  'L',  ' ',  '0',  ' ', ' ', ' ', ' ', ' ', ' ', ' ', // adapter
        0x07, 0x00, 0x00, 0x08, 0x00, 0x00, 0xFF, 0x00, // mask, flags, targets, max transfer
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(Bytes(raw, raw + sizeof srb), expected);
}

TEST_F(VirtualRecorderTest, HostAdapterInquiryBeyondTheCountIsInvalidAdapter) {
    recorder.AddDrive({}, scratch.File("a.img"));
    recorder.AddDrive({}, scratch.File("b.img"), 1);
    constexpr struct {
        std::uint8_t adapter;
        std::uint8_t status;
        const char* adapterId;
    } kCases[] = {{0, ts::kComplete, "VIRTUAL 0       "},
                  {1, ts::kComplete, "VIRTUAL 1       "},
                  {2, ts::kInvalidHostAdapter, nullptr},
                  {200, ts::kInvalidHostAdapter, nullptr}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(::testing::Message() << "adapter " << +c.adapter);
        const auto srb = AdapterInquiry(c.adapter);
        EXPECT_EQ(srb.header.status, c.status);
        EXPECT_EQ(srb.adapterCount, 2);
        if (c.adapterId) {
            EXPECT_EQ(std::string(srb.adapterId, 16), c.adapterId);
        }
    }
}

TEST_F(VirtualRecorderTest, DrivesAnswerAtTheirOwnAddressOnly) {
    recorder.AddDrive({}, scratch.File("a.img"));                    // 0:0
    recorder.AddDrive({.peripheralType = 4}, scratch.File("b.img")); // 0:1
    recorder.AddDrive({}, scratch.File("c.img"), 1, 5);              // 1:5
    constexpr struct {
        std::uint8_t adapter, target, lun;
        std::uint8_t status;
        std::uint8_t type;
    } kCases[] = {{0, 0, 0, ts::kComplete, 5},
                  {0, 1, 0, ts::kComplete, 4},
                  {1, 5, 0, ts::kComplete, 5},
                  {0, 2, 0, ts::kNoDevice, 0x1F},
                  {0, 0, 1, ts::kNoDevice, 0x1F},
                  {1, 0, 0, ts::kNoDevice, 0x1F},
                  {2, 0, 0, ts::kInvalidHostAdapter, 0x1F}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(::testing::Message() << +c.adapter << ":" << +c.target << ":" << +c.lun);
        std::uint8_t type = 0;
        EXPECT_EQ(DeviceType(c.adapter, c.target, c.lun, type), c.status);
        EXPECT_EQ(type, c.type);
        if (c.lun == 0) {
            std::uint8_t byte0 = 0;
            EXPECT_EQ(InquiryByte0(c.adapter, c.target, byte0), c.status);
            if (c.status == ts::kComplete) {
                EXPECT_EQ(byte0, c.type);
            }
        }
    }
    EXPECT_EQ(recorder.DriveCount(), 3u);
    EXPECT_NE(recorder.FindDrive(1, 5, 0), nullptr);
    EXPECT_EQ(recorder.FindDrive(1, 4, 0), nullptr);
}

TEST_F(VirtualRecorderTest, AddingADriveAtATakenAddressIsRefused) {
    recorder.AddDrive({}, scratch.File("a.img"), 0, 3);
    EXPECT_THROW(recorder.AddDrive({}, scratch.File("b.img"), 0, 3), std::invalid_argument);
    EXPECT_EQ(recorder.AddDrive({}, scratch.File("c.img")).Target(), 0) << "the lowest free target";
    EXPECT_EQ(recorder.AddDrive({}, scratch.File("d.img")).Target(), 1);
}

TEST_F(VirtualRecorderTest, RequestCodesOutsideTheSetAreInvalidRequests) {
    recorder.AddDrive({}, scratch.File("a.img"));
    for (std::uint8_t code : Bytes{0x04, 0x05, 0x07, 0x80, 0xFF}) {
        SCOPED_TRACE(::testing::Message() << "code " << +code);
        transport::SrbGetDiskInfo srb{};
        srb.header.command = code;
        EXPECT_EQ(recorder.SendCommand(&srb), ts::kInvalidRequest);
        EXPECT_EQ(srb.header.status, ts::kInvalidRequest);
    }
}

TEST_F(VirtualRecorderTest, GetDiskInfoIsNotAnswered) {
    recorder.AddDrive({}, scratch.File("a.img"));
    transport::SrbGetDiskInfo srb;
    std::memset(&srb, 0xEE, sizeof srb);
    srb.header = {transport::srbcmd::kGetDiskInfo, 0, 0, 0, 0};
    srb.target = 0;
    srb.lun = 0;
    EXPECT_EQ(recorder.SendCommand(&srb), ts::kPending);
    EXPECT_EQ(srb.header.status, ts::kPending);
    EXPECT_EQ(srb.driveFlags, 0xEE);
    EXPECT_EQ(srb.driveNumber, 0xEE);
}

TEST_F(VirtualRecorderTest, NullRequestReturnsFour) {
    EXPECT_EQ(recorder.SendCommand(nullptr), 4u);
}

// --- pending requests and abort ------------------------------------------------------------------

class PendingTest : public VirtualRecorderTest {
protected:
    PendingTest() : drive(recorder.AddDrive({}, scratch.File("a.img"))) {}
    std::uint8_t Abort(void* target) {
        transport::SrbAbort srb{};
        srb.header = {transport::srbcmd::kAbort, 0, 0, 0, 0};
        srb.srbToAbort = target;
        const std::uint32_t status = recorder.SendCommand(&srb);
        EXPECT_EQ(status, srb.header.status);
        return srb.header.status;
    }
    VirtualDrive& drive;
};

TEST_F(PendingTest, NeverCompletingRequestStaysPendingAndIsNeverSignalled) {
    drive.InjectFault({FaultKind::NeverComplete, std::nullopt, {}, 0, 1});
    transport::CompletionEvent event;
    ASSERT_TRUE(event.Valid());
    Bytes buffer(36, 0xEE);
    auto srb = MakeExecute(0, 0, {0x12, 0, 0, 0, 36, 0}, kIn, buffer.data(), 36);
    srb.eventHandle = event.Handle();
    EXPECT_EQ(recorder.SendCommand(&srb), ts::kPending);
    EXPECT_EQ(srb.header.status, ts::kPending);
    EXPECT_EQ(recorder.PendingCount(), 1u);
    EXPECT_FALSE(event.IsSet());
    EXPECT_EQ(buffer, Bytes(36, 0xEE));
    EXPECT_EQ(drive.Commands().size(), 1u) << "the request reached the drive";

    EXPECT_EQ(Abort(&srb), ts::kComplete);
    EXPECT_EQ(srb.header.status, ts::kAborted);
    EXPECT_EQ(recorder.PendingCount(), 0u);
    EXPECT_FALSE(event.IsSet()) << "the caller closed its event before aborting";
}

TEST_F(PendingTest, AbortOfARequestThatIsNotPendingFails) {
    Bytes buffer(36);
    auto done = MakeExecute(0, 0, {0x12, 0, 0, 0, 36, 0}, kIn, buffer.data(), 36);
    ASSERT_EQ(recorder.SendCommand(&done), ts::kComplete);
    EXPECT_EQ(Abort(&done), ts::kAbortFailed);
    EXPECT_EQ(done.header.status, ts::kComplete) << "a finished request keeps its answer";
    EXPECT_EQ(Abort(nullptr), ts::kAbortFailed);
}

TEST_F(PendingTest, RequestIsNeverWrittenAfterAbort) {
    drive.InjectFault({FaultKind::NeverComplete, std::nullopt, {}, 0, 1});
    auto srb = MakeExecute(0, 0, {0x00, 0, 0, 0, 0, 0}, transport::srbflag::kNoData);
    ASSERT_EQ(recorder.SendCommand(&srb), ts::kPending);
    ASSERT_EQ(Abort(&srb), ts::kComplete);
    // The host now owns the block again: it marks it as timed out, as the drive component does.
    srb.header.status = ts::kError;
    srb.hostStatus = transport::hoststatus::kCommandTimeout;
    const auto snapshot = srb;
    EXPECT_EQ(Abort(&srb), ts::kAbortFailed);
    auto other = MakeExecute(0, 0, {0x00, 0, 0, 0, 0, 0}, transport::srbflag::kNoData);
    recorder.SendCommand(&other);
    EXPECT_EQ(std::memcmp(&srb, &snapshot, sizeof srb), 0);
}

TEST_F(PendingTest, ResentRequestIsANewRequestThatAbortCannotOverwrite) {
    drive.InjectFault({FaultKind::NeverComplete, std::nullopt, {}, 0, 1});
    Bytes buffer(36);
    auto srb = MakeExecute(0, 0, {0x12, 0, 0, 0, 36, 0}, kIn, buffer.data(), 36);
    ASSERT_EQ(recorder.SendCommand(&srb), ts::kPending);
    srb.header.status = 0;
    ASSERT_EQ(recorder.SendCommand(&srb), ts::kComplete);
    EXPECT_EQ(recorder.PendingCount(), 0u);
    EXPECT_EQ(Abort(&srb), ts::kAbortFailed);
    EXPECT_EQ(srb.header.status, ts::kComplete);
}

TEST_F(PendingTest, PendingRequestIsNotTouchedWhenTheRecorderGoesAway) {
    auto own = std::make_unique<VirtualRecorder>(clock);
    own->AddDrive({}, scratch.File("b.img")).InjectFault({FaultKind::NeverComplete, std::nullopt, {}, 0, -1});
    auto srb = MakeExecute(0, 0, {0x00, 0, 0, 0, 0, 0}, transport::srbflag::kNoData);
    ASSERT_EQ(own->SendCommand(&srb), ts::kPending);
    const auto snapshot = srb;
    own.reset();
    EXPECT_EQ(std::memcmp(&srb, &snapshot, sizeof srb), 0);
}

// Commands come from the GUI thread and one worker at the same time.
TEST_F(PendingTest, TwoThreadsShareOneRecorder) {
    recorder.AddDrive({}, scratch.File("b.img"));
    auto work = [this](std::uint8_t target) {
        for (int i = 0; i < 500; ++i) {
            Bytes buffer(36);
            auto srb = MakeExecute(0, target, {0x12, 0, 0, 0, 36, 0}, kIn, buffer.data(), 36);
            if (recorder.SendCommand(&srb) != ts::kComplete || buffer[1] != 0x80) return false;
        }
        return true;
    };
    bool first = false;
    std::thread worker([&] { first = work(0); });
    const bool second = work(1);
    worker.join();
    EXPECT_TRUE(first);
    EXPECT_TRUE(second);
    EXPECT_EQ(drive.Commands().size(), 500u);
}

} // namespace
} // namespace lorvane::recorder
