// The SG_IO pass-through layer: drive scan and addressing, the host adapter answer, cached INQUIRY,
// handle policy, and how a command's outcome reaches the SRB.

#include "transport/pass_through.h"

#include "transport/aspi.h"
#include "transport/srb.h"

#include "support/fake_kernel.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <optional>
#include <set>
#include <vector>

namespace lorvane::transport {
namespace {

using lorvane::testing::FakeDrive;
using lorvane::testing::FakeKernel;
using lorvane::testing::FakeReply;
using lorvane::testing::OpenFailure;
using lorvane::testing::SeenRequest;

// DID_* host codes of the Linux SCSI mid layer.
constexpr std::uint16_t kDidNoConnect = 0x01, kDidBusBusy = 0x02, kDidTimeOut = 0x03, kDidBadTarget = 0x04;

constexpr ScsiAddress At(std::uint8_t host, std::uint8_t target, std::uint8_t lun = 0) {
    return ScsiAddress{.host = host, .channel = 0, .target = target, .lun = lun};
}

SrbExecuteScsi Execute(std::uint8_t adapter, std::uint8_t target, std::uint8_t lun, std::uint8_t flags,
                       std::vector<std::uint8_t> cdb, std::uint8_t* data = nullptr,
                       std::uint32_t length = 0) {
    SrbExecuteScsi srb{};
    srb.header.command = srbcmd::kExecuteScsi;
    srb.header.hostAdapter = adapter;
    srb.header.flags = flags;
    srb.target = target;
    srb.lun = lun;
    srb.dataLength = length;
    srb.dataBuffer = data;
    srb.senseLength = kSenseLengthAsked;
    srb.cdbLength = static_cast<std::uint8_t>(cdb.size());
    std::memcpy(srb.cdb, cdb.data(), cdb.size());
    return srb;
}

const std::vector<std::uint8_t> kTestUnitReady = {0x00, 0, 0, 0, 0, 0};

class PassThrough : public ::testing::Test {
protected:
    void SetUp() override {
        CloseTransport();
        SetPassThroughKernel(&kernel);
        KeepDriveOpen = false;
    }
    void TearDown() override {
        PassThroughClose();
        KeepDriveOpen = false;
        SetPassThroughKernel(nullptr);
    }
    std::uint8_t Send(void* srb) { return static_cast<std::uint8_t>(PassThroughSendCommand(srb)); }

    FakeKernel kernel;
};

TEST_F(PassThrough, ScanAddressesDrivesAndPutsUnaddressedOnesOnAVirtualAdapter) {
    struct Drive {
        int number;
        std::optional<ScsiAddress> address;
    };
    struct Expected {
        std::uint8_t adapter, target, lun;
        int number; // the drive that must answer there
    };
    const struct Case {
        const char* name;
        std::vector<Drive> drives;
        std::uint8_t found;
        std::uint32_t supportInfo;
        std::vector<Expected> expected;
    } cases[] = {
        {"two unaddressed drives beside real ones on adapters 0 and 1",
         {{0, At(0, 1)}, {1, std::nullopt}, {2, At(1, 0)}, {3, std::nullopt}},
         4,
         0x0103,
         {{0, 1, 0, 0}, {1, 0, 0, 2}, {2, 0, 0, 1}, {2, 1, 0, 3}}},
        // The unaddressed drives count as adapter 0 until the virtual adapter is placed after it.
        {"only unaddressed drives",
         {{0, std::nullopt}, {4, std::nullopt}},
         2,
         0x0102,
         {{1, 0, 0, 0}, {1, 1, 0, 4}}},
        {"host, target and LUN as the kernel reports them",
         {{1, At(4, 0, 0)}, {7, At(9, 3, 1)}},
         2,
         0x010A,
         {{4, 0, 0, 1}, {9, 3, 1, 7}}},
        {"a real drive at LUN 250 is not taken for an unaddressed one",
         {{0, At(0, 2, 250)}},
         1,
         0x0101,
         {{0, 2, 250, 0}}},
        {"nodes beyond the table are left out", {{31, At(0, 0)}, {32, At(0, 1)}}, 1, 0x0101, {{0, 0, 0, 31}}},
        {"no drive at all", {}, 0, 0xE800, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeKernel caseKernel;
        SetPassThroughKernel(&caseKernel);
        for (const Drive& d : c.drives) caseKernel.AddDrive(d.number, d.address);

        EXPECT_EQ(PassThroughScan(), c.found);
        EXPECT_EQ(PassThroughGetSupportInfo(), c.supportInfo);
        EXPECT_EQ(caseKernel.OpenHandles(), 0) << "the scan closes every drive it opened";
        for (const Expected& e : c.expected) {
            SCOPED_TRACE(::testing::Message()
                         << "address " << +e.adapter << ":" << +e.target << ":" << +e.lun);
            SrbGetDeviceType type{};
            type.header.command = srbcmd::kGetDeviceType;
            type.header.hostAdapter = e.adapter;
            type.target = e.target;
            type.lun = e.lun;
            EXPECT_EQ(Send(&type), srbstatus::kComplete);
            EXPECT_EQ(type.deviceType, 0x05);
            const int before = caseKernel.Drive(e.number).commands;
            SrbExecuteScsi srb = Execute(e.adapter, e.target, e.lun, srbflag::kNoData, kTestUnitReady);
            EXPECT_EQ(Send(&srb), srbstatus::kComplete);
            EXPECT_EQ(caseKernel.Drive(e.number).commands, before + 1) << "the wrong drive answered";
        }
        PassThroughClose();
        SetPassThroughKernel(&kernel);
    }
}

TEST_F(PassThrough, ScanSendsTheIdentifyingInquiry) {
    kernel.AddDrive(0, At(0, 0));
    ASSERT_EQ(PassThroughScan(), 1);
    const FakeDrive& drive = kernel.Drive(0);
    ASSERT_TRUE(drive.last.has_value());
    const SeenRequest& inquiry = *drive.last;
    // SPC-3 6.4.1: INQUIRY, EVPD 0, allocation length 96.
    EXPECT_EQ(inquiry.cdb, (std::vector<std::uint8_t>{0x12, 0x00, 0x00, 0x00, 0x60, 0x00}));
    EXPECT_EQ(inquiry.direction, DataDirection::In);
    EXPECT_EQ(inquiry.dataLength, 96u);
    EXPECT_EQ(inquiry.senseLength, 24);
    EXPECT_EQ(inquiry.timeoutMs, 120'000u);
    EXPECT_EQ(kernel.OpenedPaths(), std::vector<std::string>{"/dev/sr0"});
    EXPECT_EQ(drive.readWriteOpens, 1);
    EXPECT_EQ(drive.closes, 1);
}

TEST_F(PassThrough, DrivesThatCannotBeOpenedOrIdentifiedAreLeftOut) {
    const struct {
        const char* name;
        OpenFailure openFailure;
        bool inquiryFails;
        std::uint8_t found;
        int readOnlyOpens;
        int closes;
    } cases[] = {
        {"read-write refused: read-only fallback", OpenFailure::ReadWrite, false, 1, 1, 1},
        {"both opens refused", OpenFailure::Both, false, 0, 0, 0},
        {"INQUIRY fails", OpenFailure::None, true, 0, 0, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeKernel caseKernel;
        SetPassThroughKernel(&caseKernel);
        FakeDrive& drive = caseKernel.AddDrive(0, At(0, 0));
        drive.openFailure = c.openFailure;
        drive.inquiryFails = c.inquiryFails;
        EXPECT_EQ(PassThroughScan(), c.found);
        EXPECT_EQ(PassThroughGetSupportInfo(), c.found == 0 ? 0xE800u : 0x0101u);
        EXPECT_EQ(drive.readOnlyOpens, c.readOnlyOpens);
        EXPECT_EQ(drive.closes, c.closes);
        EXPECT_EQ(caseKernel.OpenHandles(), 0);
        SrbGetDeviceType type{};
        type.header.command = srbcmd::kGetDeviceType;
        EXPECT_EQ(Send(&type), c.found == 0 ? srbstatus::kNoDevice : srbstatus::kComplete);
        PassThroughClose();
        SetPassThroughKernel(&kernel);
    }
}

TEST_F(PassThrough, ScanRunsOnceUntilTheLayerIsClosed) {
    EXPECT_EQ(PassThroughGetSupportInfo(), 0xE800u) << "no drive found yet";
    kernel.AddDrive(0, At(0, 0));
    ASSERT_EQ(PassThroughScan(), 1);
    EXPECT_EQ(PassThroughScan(), 0);
    EXPECT_EQ(kernel.Drive(0).inquiries, 1);
    EXPECT_EQ(PassThroughGetSupportInfo(), 0x0101u) << "a second scan keeps the table";
    PassThroughClose();
    EXPECT_EQ(PassThroughGetSupportInfo(), 0xE800u);
    EXPECT_EQ(PassThroughScan(), 1);
    EXPECT_EQ(kernel.Drive(0).inquiries, 2);
}

TEST_F(PassThrough, HostAdapterInquiryAnswer) {
    kernel.AddDrive(0, At(0, 0));
    ASSERT_EQ(PassThroughScan(), 1);
    SrbHostAdapterInquiry srb{};
    srb.header.command = srbcmd::kHostAdapterInquiry;
    ASSERT_EQ(Send(&srb), srbstatus::kComplete);
    // clang-format off
    const std::array<std::uint8_t, 60> golden = {
        0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // header: command 0, status 01h, adapter 0
        0x01,                                           // one host adapter
        0x07,                                           // the adapter's own SCSI id
        'L', 'O', 'R', 'V', 'A', 'N', 'E', ' ', 'S', 'G', '_', 'I', 'O', ' ', ' ', ' ',
        'S', 'P', 'T', 'I', ' ', '0', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0x07, 0x00,             // buffer alignment mask 0007h
        0x00,                   // flags
        0x08,                   // maximum targets
        0x00, 0x00, 0xFF, 0x00, // maximum transfer length 00FF0000h
        0, 0, 0, 0, 0, 0, 0, 0, // rest of the adapter-unique bytes
        0, 0,                   // reserved
    };
    // clang-format on
    std::array<std::uint8_t, 60> bytes{};
    std::memcpy(bytes.data(), &srb, sizeof srb);
    EXPECT_EQ(bytes, golden);
}

TEST_F(PassThrough, HostAdapterInquiryNamesEveryAdapterAndRefusesOthers) {
    kernel.AddDrive(0, At(12, 0));
    ASSERT_EQ(PassThroughScan(), 1);
    const struct {
        std::uint8_t adapter, status;
        const char* adapterId;
    } cases[] = {{0, 0x01, "SPTI 0"}, {12, 0x01, "SPTI 12"}, {13, 0x81, ""}, {255, 0x81, ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(+c.adapter);
        SrbHostAdapterInquiry srb{};
        srb.header.command = srbcmd::kHostAdapterInquiry;
        srb.header.hostAdapter = c.adapter;
        EXPECT_EQ(Send(&srb), c.status);
        EXPECT_EQ(srb.adapterCount, 13);
        char expected[16] = {};
        std::memcpy(expected, c.adapterId, std::strlen(c.adapterId));
        EXPECT_EQ(std::memcmp(srb.adapterId, expected, sizeof expected), 0);
    }
}

TEST_F(PassThrough, GetDeviceTypeFindsOnlyScannedAddresses) {
    kernel.AddDrive(0, At(0, 3));
    ASSERT_EQ(PassThroughScan(), 1);
    const struct {
        std::uint8_t adapter, target, lun, status, type;
    } cases[] = {{0, 3, 0, 0x01, 0x05}, {0, 2, 0, 0x82, 0x1F}, {0, 3, 1, 0x82, 0x1F}, {1, 3, 0, 0x82, 0x1F}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << +c.adapter << ":" << +c.target << ":" << +c.lun);
        SrbGetDeviceType srb{};
        srb.header.command = srbcmd::kGetDeviceType;
        srb.header.hostAdapter = c.adapter;
        srb.target = c.target;
        srb.lun = c.lun;
        EXPECT_EQ(Send(&srb), c.status);
        EXPECT_EQ(srb.deviceType, c.type);
    }
}

TEST_F(PassThrough, InquiryIsAnsweredFromTheScanEvenWhileTheDriveIsBusy) {
    FakeDrive& drive = kernel.AddDrive(0, At(0, 0));
    drive.inquiry = lorvane::testing::StandardInquiry("PLEXTOR", "DVDR   PX-760A", "1.07");
    ASSERT_EQ(PassThroughScan(), 1);
    // From now on the drive would not answer an INQUIRY at all.
    drive.inquiryFails = true;
    drive.openFailure = OpenFailure::Both;
    const std::vector<std::uint8_t> inquiry = {0x12, 0x00, 0x00, 0x00, 0x60, 0x00};

    const struct {
        std::uint32_t length;
        std::size_t written;
    } cases[] = {{96, 36}, {36, 36}, {8, 8}, {0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        std::vector<std::uint8_t> buffer(c.length + 16, 0xAA);
        SrbExecuteScsi srb = Execute(0, 0, 0, srbflag::kRead, inquiry, buffer.data(), c.length);
        EXPECT_EQ(Send(&srb), srbstatus::kComplete);
        EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(c.written),
                               drive.inquiry.begin()));
        for (std::size_t i = c.written; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xAA) << "byte " << i;
    }
    EXPECT_EQ(drive.inquiries, 1) << "only the scan's INQUIRY reached the drive";
    EXPECT_EQ(drive.readWriteOpens + drive.failedOpens, 1);
}

TEST_F(PassThrough, KeepDriveOpenDecidesWhetherTheHandleOutlivesACommand) {
    const struct {
        bool keep;
        int opens, closesAfterCommands, distinctHandles;
    } cases[] = {{false, 3, 3, 3}, {true, 1, 0, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keep ? "kept open" : "closed after every command");
        FakeKernel caseKernel;
        SetPassThroughKernel(&caseKernel);
        FakeDrive& drive = caseKernel.AddDrive(0, At(0, 0));
        std::set<int> handles;
        drive.respond = [&handles](const SeenRequest& request) {
            handles.insert(request.fd);
            return FakeReply{};
        };
        ASSERT_EQ(PassThroughScan(), 1);
        const int scanOpens = drive.readWriteOpens;
        const int scanCloses = drive.closes;
        KeepDriveOpen = c.keep;
        for (int i = 0; i < 3; ++i) {
            SrbExecuteScsi srb = Execute(0, 0, 0, srbflag::kNoData, kTestUnitReady);
            EXPECT_EQ(Send(&srb), srbstatus::kComplete);
        }
        EXPECT_EQ(drive.readWriteOpens - scanOpens, c.opens);
        EXPECT_EQ(drive.closes - scanCloses, c.closesAfterCommands);
        EXPECT_EQ(static_cast<int>(handles.size()), c.distinctHandles);
        EXPECT_EQ(caseKernel.OpenHandles(), c.keep ? 1 : 0);
        PassThroughClose(); // closes what was kept
        EXPECT_EQ(caseKernel.OpenHandles(), 0);
        EXPECT_EQ(caseKernel.BadCloses(), 0);
        KeepDriveOpen = false;
        SetPassThroughKernel(&kernel);
    }
}

TEST_F(PassThrough, CommandTravelsWithItsDirectionLengthsAndTimeout) {
    FakeDrive& drive = kernel.AddDrive(0, At(0, 0));
    ASSERT_EQ(PassThroughScan(), 1);
    // READ (10) of 32 sectors; the CDB goes out exactly as given.
    const std::vector<std::uint8_t> read10 = {0x28, 0x00, 0x00, 0x00, 0x12, 0x34, 0x00, 0x00, 0x20, 0x00};
    const struct {
        const char* name;
        std::uint8_t flags;
        std::uint32_t length;
        DataDirection direction;
        std::uint32_t lengthSeen;
    } cases[] = {
        {"64 KiB in", srbflag::kRead, 65'536, DataDirection::In, 65'536},
        {"data in without event", srbflag::kDataIn, 2048, DataDirection::In, 2048},
        {"64 KiB out", srbflag::kWrite, 65'536, DataDirection::Out, 65'536},
        {"data out without event", srbflag::kDataOut, 2048, DataDirection::Out, 2048},
        {"no data", srbflag::kNoData, 0, DataDirection::None, 0},
        {"a length but no direction: no data phase", srbflag::kNoData, 2048, DataDirection::None, 0},
        {"zero-length read", srbflag::kRead, 0, DataDirection::In, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint8_t> buffer(c.length);
        for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<std::uint8_t>(i * 7);
        FakeReply reply;
        reply.data.assign(c.length, 0x5C);
        drive.replies.push_back(reply);

        SrbExecuteScsi srb = Execute(0, 0, 0, c.flags, read10, buffer.data(), c.length);
        EXPECT_EQ(Send(&srb), srbstatus::kComplete);
        ASSERT_TRUE(drive.last.has_value());
        const SeenRequest& seen = *drive.last;
        EXPECT_EQ(seen.cdb, read10);
        EXPECT_EQ(seen.direction, c.direction);
        EXPECT_EQ(seen.dataLength, c.lengthSeen);
        EXPECT_EQ(seen.senseLength, 14);
        EXPECT_EQ(seen.timeoutMs, 120'000u);
        if (c.direction == DataDirection::In) {
            EXPECT_EQ(buffer, std::vector<std::uint8_t>(c.length, 0x5C));
        }
        if (c.direction == DataDirection::Out) {
            ASSERT_EQ(seen.dataOut.size(), buffer.size());
            EXPECT_EQ(seen.dataOut, buffer);
        }
    }
}

TEST_F(PassThrough, FailedCommandReportsStatusAndSense) {
    FakeDrive& drive = kernel.AddDrive(0, At(0, 0));
    ASSERT_EQ(PassThroughScan(), 1);
    // Fixed-format sense (SPC-3 4.5.3): NOT READY, 3A/00 medium not present.
    const std::vector<std::uint8_t> noMedium = {0x70, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x00,
                                                0x00, 0x00, 0x00, 0x3A, 0x00, 0x00, 0x00, 0x00, 0x00};
    const std::vector<std::uint8_t> longSense(40, 0x71);
    const struct {
        const char* name;
        FakeReply reply;
        std::uint8_t senseLength; // asked in the SRB
        std::uint8_t status, targetStatus, hostStatus;
        std::size_t senseCopied;
    } cases[] = {
        {"good", {.scsiStatus = 0x00}, 14, 0x01, 0x00, 0x00, 0},
        {"check condition with sense",
         {.scsiStatus = 0x02, .driverStatus = 0x08, .sense = noMedium},
         24,
         0x04,
         0x02,
         0x00,
         18},
        {"sense cut to the room asked for",
         {.scsiStatus = 0x02, .sense = noMedium},
         14,
         0x04,
         0x02,
         0x00,
         14},
        {"sense cut to the SRB's area", {.scsiStatus = 0x02, .sense = longSense}, 60, 0x04, 0x02, 0x00, 33},
        {"condition met", {.scsiStatus = 0x04}, 14, 0x04, 0x04, 0x00, 0},
        {"busy", {.scsiStatus = 0x08}, 14, 0x04, 0x08, 0x00, 0},
        {"reservation conflict", {.scsiStatus = 0x18}, 14, 0x04, 0x18, 0x00, 0},
        {"task set full", {.scsiStatus = 0x28}, 14, 0x04, 0x28, 0x00, 0},
        {"command aborted", {.scsiStatus = 0x40}, 14, 0x04, 0x40, 0x00, 0},
        {"host time-out", {.hostStatus = kDidTimeOut}, 14, 0x04, 0x00, 0x09, 0},
        {"drive gone", {.hostStatus = kDidNoConnect}, 14, 0x04, 0x00, 0x11, 0},
        {"bad target", {.hostStatus = kDidBadTarget}, 14, 0x04, 0x00, 0x11, 0},
        {"bus busy", {.hostStatus = kDidBusBusy}, 14, 0x04, 0x00, 0x00, 0},
        {"driver error with good status", {.driverStatus = 0x06}, 14, 0x04, 0x00, 0x00, 0},
        {"ioctl refused",
         {.ioctlFails = true, .scsiStatus = 0x02, .sense = noMedium},
         14,
         0x04,
         0x00,
         0x00,
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        drive.replies.push_back(c.reply);
        SrbExecuteScsi srb = Execute(0, 0, 0, srbflag::kNoData, kTestUnitReady);
        srb.senseLength = c.senseLength;
        std::memset(srb.senseArea, 0xEE, sizeof srb.senseArea); // stale bytes from an earlier use
        const bool succeeds = c.status == srbstatus::kComplete;
        EXPECT_EQ(Send(&srb), c.status);
        EXPECT_EQ(srb.header.status, c.status);
        EXPECT_EQ(srb.targetStatus, c.targetStatus);
        EXPECT_EQ(srb.hostStatus, c.hostStatus);
        if (succeeds) continue;
        std::vector<std::uint8_t> expected(kSenseAreaLength, 0);
        const auto& sense = c.reply.sense;
        std::copy_n(sense.begin(), c.senseCopied, expected.begin());
        EXPECT_EQ(std::vector<std::uint8_t>(srb.senseArea, srb.senseArea + kSenseAreaLength), expected);
    }
    EXPECT_EQ(kernel.OpenHandles(), 0) << "failures close the handle too";
}

TEST_F(PassThrough, DriveThatVanishedAfterTheScanFailsItsCommands) {
    FakeDrive& drive = kernel.AddDrive(0, At(0, 0));
    ASSERT_EQ(PassThroughScan(), 1);
    drive.openFailure = OpenFailure::Both;
    const int commands = drive.commands;
    SrbExecuteScsi srb = Execute(0, 0, 0, srbflag::kNoData, kTestUnitReady);
    EXPECT_EQ(Send(&srb), srbstatus::kError);
    EXPECT_EQ(srb.targetStatus, 0);
    EXPECT_EQ(drive.commands, commands);
    EXPECT_EQ(kernel.BadCloses(), 0);
}

TEST_F(PassThrough, RequestsOutsideExecuteAndUnknownAddresses) {
    kernel.AddDrive(0, At(0, 0));
    ASSERT_EQ(PassThroughScan(), 1);
    EXPECT_EQ(PassThroughSendCommand(nullptr), 4u);

    SrbGetDiskInfo diskInfo{};
    diskInfo.header.command = srbcmd::kGetDiskInfo;
    EXPECT_EQ(Send(&diskInfo), srbstatus::kPending) << "not answered: the caller falls back";

    const std::uint8_t others[] = {srbcmd::kAbort, 0x04, 0x05, 0x07, 0xFF};
    for (const std::uint8_t command : others) {
        SCOPED_TRACE(+command);
        SrbAbort srb{};
        srb.header.command = command;
        EXPECT_EQ(Send(&srb), srbstatus::kError);
    }

    SrbExecuteScsi nobody = Execute(0, 5, 0, srbflag::kNoData, kTestUnitReady);
    EXPECT_EQ(Send(&nobody), srbstatus::kNoDevice);
    EXPECT_EQ(kernel.Drive(0).commands, 1) << "only the scan reached the drive";
}

TEST(LinuxKernel, FailsCleanlyOnWhatIsNoDrive) {
    EXPECT_EQ(OpticalDrivePath(0), "/dev/sr0");
    EXPECT_EQ(OpticalDrivePath(17), "/dev/sr17");
    PassThroughKernel& real = LinuxKernel();
    const std::vector<int> drives = real.OpticalDrives();
    EXPECT_TRUE(std::is_sorted(drives.begin(), drives.end()));
    EXPECT_EQ(real.Open("/nonexistent/sr0", true), -1);

    const int fd = real.Open("/dev/null", false);
    ASSERT_GE(fd, 0);
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    std::array<std::uint8_t, 6> cdb = {0x00, 0, 0, 0, 0, 0};
    PassThroughRequest request;
    request.cdb = cdb.data();
    request.cdbLength = 6;
    request.timeoutMs = 1000;
    EXPECT_FALSE(real.SendScsi(fd, request)); // not a SCSI device: ENOTTY
    EXPECT_FALSE(real.Address(fd).has_value());
    real.Close(fd);
}

} // namespace
} // namespace lorvane::transport
