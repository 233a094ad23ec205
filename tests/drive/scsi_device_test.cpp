#include "drive/scsi_device.h"

#include "drive/opcodes.h"
#include "drive_harness.h"
#include "recorder/virtual_drive.h"
#include "recorder/virtual_recorder.h"
#include "support/fake_clock.h"
#include "support/fake_kernel.h"
#include "transport/aspi.h"
#include "transport/pass_through.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <tuple>
#include <vector>

namespace lorvane::drive {
namespace {

using namespace transport;
using namespace drivetest;

// ---- command execution ----

TEST_F(DeviceTest, NothingIsSentWithoutATransportOrADevice) {
    for (const bool closeTransport : {false, true}) {
        SCOPED_TRACE(closeTransport ? "transport closed" : "no device selected");
        auto& dev = closeTransport ? Selected() : MakeDevice();
        if (closeTransport) CloseTransport();
        script.sent.clear();
        std::uint8_t data[8] = {};
        SrbExecuteScsi srb = Command({0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 0x50, data, sizeof data);
        const SrbExecuteScsi before = srb;
        EXPECT_EQ(dev.ExecuteCommand(srb, 10000), 0xE2);
        EXPECT_EQ(std::memcmp(&srb, &before, sizeof srb), 0);
        EXPECT_EQ(srb.header.status, 0x00);
        EXPECT_TRUE(script.sent.empty());
        EXPECT_TRUE(sink.lines.empty());
        ASSERT_TRUE(InitASPI(false));
    }
}

TEST_F(DeviceTest, AddressesTheSrbAndPutsTheLunIntoCdbByteOne) {
    auto& dev = Selected("2:5:3");
    const struct {
        std::uint8_t flags;
        bool event;
    } kCases[] = {{0x40, true}, {0x48, true}, {0x50, true}, {0x08, false}, {0x00, false}};
    for (const auto& [flags, event] : kCases) {
        SCOPED_TRACE(::testing::Message() << "flags " << std::hex << +flags);
        script.sent.clear();
        SrbExecuteScsi srb = Command({0x5B, 0xFF, 0x02, 0, 0, 1, 0, 0, 0, 0}, flags);
        srb.senseLength = 99;
        EXPECT_EQ(dev.ExecuteCommand(srb, 10000), 1);
        ASSERT_EQ(script.sent.size(), 1u);
        const SentCommand& sent = script.sent[0];
        EXPECT_EQ(sent.adapter, 2);
        EXPECT_EQ(sent.target, 5);
        EXPECT_EQ(sent.lun, 3);
        EXPECT_EQ(sent.senseLength, 14);
        EXPECT_EQ(sent.cdb[1], 0x7F); // LUN 3 in bits 5-7, the caller's bits 0-4 kept
        EXPECT_EQ(sent.eventHandle != 0, event);
        EXPECT_EQ(srb.header.status, 0x01);
        EXPECT_EQ(std::uintptr_t{srb.eventHandle}, 0u); // the event is gone once the call returns
    }
}

TEST_F(DeviceTest, AModuleWithoutEntryPointsIsAFailedStartNotACrash) {
    auto& dev = MakeDevice();
    CloseTransport();
    loader.withoutEntryPoints = true;
    EXPECT_FALSE(dev.InitTransport(false));
    EXPECT_FALSE(dev.ASPIInitialized());
    EXPECT_TRUE(dev.DeviceList.empty());
    loader.withoutEntryPoints = false;
}

TEST_F(DeviceTest, ADataLengthWithoutABufferLogsNoData) {
    auto& dev = Selected();
    script.command = [](SrbExecuteScsi& s) { Fail(s, 0x04, 0x00, 0x02, Sense(0x03, 0x11, 0x00)); };
    SrbExecuteScsi srb = Command({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 0x48, nullptr, 2048);
    dev.ExecuteCommand(srb, 10000);
    ASSERT_EQ(sink.lines.size(), 1u);
    EXPECT_EQ(sink.lines[0], "<<< READ (10)              (28) {48|0A} - 0:0:0 <04> [0800] "
                             "00 00 00 00 00 00 00 01 00 00 00 00 00 00 00  | "
                             "= 00 02 70 03 ASC:11,ASQ:00 MEDIUM ERROR (UNRECOVERED READ ERROR)");
}

TEST_F(DeviceTest, OperationCodeFFIsNotSentAndCountsAsDone) {
    auto& dev = Selected();
    SrbExecuteScsi srb = Command({0xFF, 0, 0, 0, 0, 0}, 0x40);
    EXPECT_EQ(dev.ExecuteCommand(srb, 10000), 1);
    EXPECT_EQ(srb.header.status, 0x01);
    EXPECT_TRUE(script.sent.empty());
    EXPECT_TRUE(dev.LastErrorText.empty());
}

struct LogCase {
    const char* name;
    std::string address;
    SrbExecuteScsi srb;
    std::uint32_t bufferLength;
    std::uint8_t fill;
    std::uint8_t status, host, target;
    Bytes sense;
    std::string errorText;
    std::string line; // empty: no line
    bool busy = false;
};

TEST_F(DeviceTest, FailureLogLinesAreExact) {
    const std::string zeros15 = Repeat("00 ", 15);
    const std::vector<LogCase> kCases = {
        {"write, loss of streaming, 1000-byte buffer", "0:0:0",
         Command({0x2A, 0x00, 0x00, 0x00, 0x12, 0x34, 0x00, 0x00, 0x1F, 0x00}, 0x50), 1000, 0xAB, 0x04, 0x00,
         0x02, Sense(0x03, 0x0C, 0x09), "MEDIUM ERROR (WRITE ERROR - LOSS OF STREAMING)",
         "<<< WRITE (10)             (2A) {50|0A} - 0:0:0 <04> [03E8] "
         "00 00 00 12 34 00 00 1F 00 00 00 00 00 00 00  | " +
             Repeat("AB ", 257) +
             "= 00 02 70 03 ASC:0C,ASQ:09 MEDIUM ERROR (WRITE ERROR - LOSS OF STREAMING)"},
        {"no data, hexadecimal target, LUN bits, unlisted sense code", "1:10:2",
         Command({0x5B, 0x01, 0x02, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}, 0x40), 0, 0, 0x04, 0x00, 0x02,
         Sense(0x05, 0x73, 0x07), "ILLEGAL REQUEST (115,7)",
         "<<< CLOSE TRACK/SESSION    (5B) {40|0A} - 1:A:2 <04> [0000] "
         "41 02 00 00 01 00 00 00 00 00 00 00 00 00 00  | "
         "= 00 02 70 05 ASC:73,ASQ:07 ILLEGAL REQUEST (115,7)"},
        {"operation code without a name",
         "0:0:0",
         Command({0xD8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0x48),
         16,
         0x5A,
         0x82,
         0x00,
         0x00,
         {},
         "NO DEVICE",
         "<<< D8 (D8) {48|0C} - 0:0:0 <82> [0010] " + zeros15 + " | " + Repeat("5A ", 16) +
             "= 00 00 00 00 ASC:00,ASQ:00 NO DEVICE"},
        {"65536 bytes, busy target",
         "0:0:0",
         Command({0x28, 0, 0, 0, 0, 0, 0, 0, 0x20, 0}, 0x48),
         65536,
         0x00,
         0x04,
         0x00,
         0x08,
         {},
         "TARGET BUSY",
         "<<< READ (10)              (28) {48|0A} - 0:0:0 <04> [10000] "
         "00 00 00 00 00 00 00 20 00 00 00 00 00 00 00  | " +
             Repeat("00 ", 257) + "= 00 08 00 00 ASC:00,ASQ:00 TARGET BUSY",
         true},
        {"long write in progress is not logged", "0:0:0", Command({0x2A, 0, 0, 0, 0, 0, 0, 0, 0x1F, 0}, 0x50),
         64, 0, 0x04, 0x00, 0x02, Sense(0x02, 0x04, 0x08),
         "NOT READY (LOGICAL UNIT NOT READY, LONG WRITE IN PROGRESS)", ""},
        {"a not-ready TEST UNIT READY is not logged", "0:0:0", Command({0x00, 0, 0, 0, 0, 0}, 0x40), 0, 0,
         0x04, 0x00, 0x02, Sense(0x02, 0x3A, 0x01), "NOT READY (MEDIUM NOT PRESENT - TRAY CLOSED)", ""},
        {"abort",
         "0:0:0",
         Command({0xA1, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0x40),
         0,
         0,
         0x02,
         0x00,
         0x00,
         {},
         "OPERATION ABORTED BY USER",
         "<<< BLANK                  (A1) {40|0C} - 0:0:0 <02> [0000] "
         "11 00 00 00 00 00 00 00 00 00 00 00 00 00 00  | = 00 00 00 00 ASC:00,ASQ:00 OPERATION ABORTED BY "
         "USER"},
    };
    for (const LogCase& c : kCases) {
        SCOPED_TRACE(c.name);
        auto& dev = Selected(c.address);
        std::vector<std::uint8_t> buffer(c.bufferLength, c.fill);
        SrbExecuteScsi srb = c.srb;
        srb.dataBuffer = buffer.empty() ? nullptr : buffer.data();
        srb.dataLength = c.bufferLength;
        script.command = [&](SrbExecuteScsi& s) { Fail(s, c.status, c.host, c.target, c.sense); };
        EXPECT_EQ(dev.ExecuteCommand(srb, 10000), 1);
        EXPECT_EQ(dev.LastErrorText, c.errorText);
        EXPECT_EQ(dev.TargetBusy, c.busy);
        Bytes expectedSense(33, 0);
        std::copy(c.sense.begin(), c.sense.end(), expectedSense.begin());
        EXPECT_EQ(Bytes(dev.LastSense.begin(), dev.LastSense.end()), expectedSense);
        if (c.line.empty()) {
            EXPECT_TRUE(sink.lines.empty());
        } else {
            ASSERT_EQ(sink.lines.size(), 1u);
            EXPECT_EQ(sink.lines[0], c.line);
            ASSERT_EQ(events.size(), 1u);
            EXPECT_EQ(events[0], std::make_pair(c.line, std::uint8_t{0}));
        }
        script.command = [](SrbExecuteScsi& s) { s.header.status = 1; };
    }
}

TEST_F(DeviceTest, ProbingCommandsAreDecodedButNotLogged) {
    auto& dev = Selected();
    script.command = [](SrbExecuteScsi& s) { Fail(s, 0x04, 0x00, 0x02, Sense(0x05, 0x24, 0x00)); };
    // INQUIRY (12h) is answered by the script itself; its unlogged failure shows in the selection tests.
    constexpr std::uint8_t kUnlogged[] = {0x00, 0x01, 0x1B, 0x1E, 0x23, 0x35, 0x43, 0x46,
                                          0x51, 0x52, 0x55, 0x5A, 0x5C, 0xB6, 0xBB};
    constexpr std::uint8_t kLogged[] = {0x03, 0x04, 0x25, 0x28, 0x2A, 0x53,
                                        0x5B, 0x5D, 0xA1, 0xAD, 0xBE, 0xFE};
    for (const bool logged : {false, true}) {
        for (const std::uint8_t code :
             logged ? std::span<const std::uint8_t>(kLogged) : std::span<const std::uint8_t>(kUnlogged)) {
            SCOPED_TRACE(::testing::Message() << "opcode " << std::hex << +code);
            sink.lines.clear();
            SrbExecuteScsi srb = Command({code, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0x40);
            dev.ExecuteCommand(srb, 10000);
            EXPECT_EQ(dev.LastErrorText, "ILLEGAL REQUEST (INVALID FIELD IN CDB)");
            EXPECT_EQ(dev.LastSense[12], 0x24);
            EXPECT_EQ(sink.lines.size(), logged ? 1u : 0u);
        }
    }
}

TEST_F(DeviceTest, ATimedOutCommandIsAbortedAfterAtLeastTenSecondsAndNamesItsCause) {
    auto& dev = Selected();
    script.command = [](SrbExecuteScsi&) {}; // stays pending, never signals
    const struct {
        int timeoutMs;
        std::int64_t waitedMs;
        std::uint8_t opcode;
        bool logged;
    } kCases[] = {{5000, 10000, 0x2A, true},  {0, 10000, 0x2A, true},     {-1, 10000, 0x2A, true},
                  {10000, 10000, 0x2A, true}, {10001, 10001, 0x2A, true}, {30000, 30000, 0x00, false}};
    for (const auto& [timeoutMs, waitedMs, opcode, logged] : kCases) {
        SCOPED_TRACE(timeoutMs);
        sink.lines.clear();
        script.aborts = 0;
        SrbExecuteScsi srb = Command({opcode, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0x40);
        const std::int64_t start = clock.NowMs();
        EXPECT_EQ(dev.ExecuteCommand(srb, timeoutMs), 1);
        EXPECT_EQ(clock.NowMs() - start, waitedMs);
        EXPECT_EQ(script.aborts, 1);
        EXPECT_EQ(script.aborted, &srb);
        EXPECT_EQ(script.abortAdapter, 0);
        EXPECT_TRUE(script.abortSawEvent); // aborted while its event still existed
        EXPECT_EQ(srb.header.status, 0x04);
        EXPECT_EQ(srb.hostStatus, 0x09);
        EXPECT_EQ(dev.LastErrorText, "COMMAND TIMEOUT");
        if (logged) {
            ASSERT_EQ(sink.lines.size(), 1u);
            EXPECT_EQ(sink.lines[0], "<<< WRITE (10)             (2A) {40|0A} - 0:0:0 <04> [0000] " +
                                         Repeat("00 ", 15) +
                                         " | = 09 00 00 00 ASC:00,ASQ:00 COMMAND TIMEOUT");
        } else {
            EXPECT_TRUE(sink.lines.empty());
        }
    }
}

TEST_F(DeviceTest, ACommandCompletedLaterThroughItsEventEndsTheWait) {
    auto& dev = Selected();
    ScheduledClock later;
    dev.SetClock(later);
    const struct {
        std::uint8_t status;
        Bytes sense;
        std::string errorText;
        std::size_t lines;
    } kCases[] = {{0x01, {}, "", 0}, {0x04, Sense(0x03, 0x0C, 0x00), "MEDIUM ERROR (WRITE ERROR)", 1}};
    for (const auto& [status, sense, errorText, lines] : kCases) {
        SCOPED_TRACE(errorText);
        sink.lines.clear();
        script.aborts = 0;
        script.command = [&, status = status, sense = sense](SrbExecuteScsi& pending) {
            later.At(3000, [&pending, status, sense] {
                Fail(pending, status, 0x00, status == 0x01 ? 0x00 : 0x02, sense);
                SignalCompletionEvent(pending.eventHandle);
            });
        };
        SrbExecuteScsi srb = Command({0x2A, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0x40);
        const std::int64_t start = later.NowMs();
        dev.ExecuteCommand(srb, 60000);
        EXPECT_EQ(later.NowMs() - start, 3000);
        EXPECT_EQ(srb.header.status, status);
        EXPECT_EQ(script.aborts, 0);
        EXPECT_EQ(dev.LastErrorText, errorText);
        EXPECT_EQ(sink.lines.size(), lines);
    }
}

TEST_F(DeviceTest, AnyAnswerDecodesAndLogsWithinItsBuffers) {
    auto& dev = Selected();
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> byte(0, 255);
    constexpr std::uint8_t kStatuses[] = {0x01, 0x02, 0x03, 0x04, 0x04, 0x04, 0x80, 0x81,
                                          0x82, 0xE0, 0xE1, 0xE5, 0xE6, 0x07, 0xFF};
    constexpr std::uint32_t kLengths[] = {0, 1, 256, 257, 258, 1000, 65536};
    for (int i = 0; i < 2000; ++i) {
        const std::uint8_t status = kStatuses[static_cast<std::size_t>(byte(random)) % std::size(kStatuses)];
        const std::uint8_t host = static_cast<std::uint8_t>(byte(random) % 3 == 0 ? byte(random) : 0);
        const std::uint8_t target = static_cast<std::uint8_t>(byte(random));
        Bytes sense(33);
        for (auto& b : sense) b = static_cast<std::uint8_t>(byte(random));
        if (byte(random) % 2) sense[0] = static_cast<std::uint8_t>(0x70 | (sense[0] & 0x81));
        const std::uint32_t length = kLengths[static_cast<std::size_t>(byte(random)) % std::size(kLengths)];
        std::vector<std::uint8_t> buffer(length);
        for (auto& b : buffer) b = static_cast<std::uint8_t>(byte(random));
        auto code = static_cast<std::uint8_t>(byte(random) % 255); // FFh is never sent
        if (code == op::kInquiry) code = op::kWrite10;             // the script answers INQUIRY itself
        script.command = [&](SrbExecuteScsi& s) { Fail(s, status, host, target, sense); };
        SrbExecuteScsi srb = Command({code, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0x48,
                                     buffer.empty() ? nullptr : buffer.data(), length);
        sink.lines.clear();
        dev.ExecuteCommand(srb, 10000);
        if (status != 0x01) {
            EXPECT_EQ(dev.LastErrorText.empty(),
                      status == 0x04 && host == 0 && (target == 0 || target == 2) && sense[0] == 0);
            EXPECT_EQ(Bytes(dev.LastSense.begin(), dev.LastSense.end()), sense);
        }
        for (const auto& line : sink.lines) {
            EXPECT_TRUE(line.starts_with("<<< "));
            EXPECT_TRUE(line.ends_with(" " + dev.LastErrorText));
        }
    }
}

// ---- log sink ----

TEST_F(DeviceTest, ADestroyedSinkIsForgottenByEveryDevice) {
    auto& first = MakeDevice();
    TSCSIDevice second(clock);
    {
        LineSink shortLived;
        first.SetDebugWindow(&shortLived);
        second.SetDebugWindow(&shortLived);
        first.AddDebugMessage(">>> ONE", 1);
        second.AddDebugMessage(">>> TWO", 1);
        EXPECT_EQ(shortLived.lines, (std::vector<std::string>{">>> ONE", ">>> TWO"}));
    }
    EXPECT_EQ(first.DebugWindow(), nullptr);
    EXPECT_EQ(second.DebugWindow(), nullptr);
    first.AddDebugMessage(">>> THREE", 1); // must not reach the dead sink
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), std::make_pair(std::string(">>> THREE"), std::uint8_t{1}));

    // A device destroyed before its sink leaves nothing behind in it.
    LineSink longLived;
    {
        TSCSIDevice gone(clock);
        gone.SetDebugWindow(&longLived);
    }
    first.SetDebugWindow(&longLived);
    first.AddDebugMessage(">>> FOUR", 1);
    EXPECT_EQ(longLived.lines, std::vector<std::string>{">>> FOUR"});
    first.SetDebugWindow(nullptr);
}

// ---- discovery ----

TEST_F(DeviceTest, ScanListsCdDvdAndWriteOnceDevicesWithTheirStrings) {
    script.devices[{0, 0, 0}] = InquiryReply(5, "LORVANE ", "VIRTUAL RECORDER", "1.00");
    script.devices[{0, 1, 0}] = InquiryReply(4, "WORM CO ", "WRITE ONCE  \x01   ", "0.1 ");
    script.devices[{0, 2, 0}] = InquiryReply(0, "DISK CO ", "HARD DISK       ", "1.00");
    script.devices[{0, 3, 0}] = InquiryReply(0x25, "LORVANE ", "ABSENT LUN      ", "1.00");
    script.devices[{0, 7, 7}] = InquiryReply(5, "LAST    ", "SEVEN SEVEN     ", "7.77");
    script.diskInfo = [](SrbGetDiskInfo& srb) {
        if (srb.target == 7) {
            srb.driveNumber = 3;
            srb.header.status = 1;
        }
    };
    auto& dev = MakeDevice();
    EXPECT_EQ(dev.DeviceList, (std::vector<std::string>{
                                  "0:0:0,?: LORVANE VIRTUAL RECORDER1.00",
                                  "0:1:0,?: WORM CO WRITE ONCE  \x01   0.1  (not supported)",
                                  "0:7:7,/dev/sr3 LAST    SEVEN SEVEN     7.77",
                              }));
    EXPECT_EQ(script.SentWith(op::kInquiry).size(), 64u);
    for (const auto& c : script.SentWith(op::kInquiry)) {
        EXPECT_EQ(Bytes(c.cdb.begin(), c.cdb.begin() + 6),
                  (Bytes{0x12, static_cast<std::uint8_t>(c.lun << 5), 0, 0, 0x80, 0}));
        EXPECT_EQ(c.cdbLength, 6);
        EXPECT_EQ(c.flags, 0x48);
        EXPECT_EQ(c.dataLength, 128u);
    }
    EXPECT_EQ(dev.Adapter(), kNoDevice);
    EXPECT_TRUE(dev.LastErrorText.empty());
    EXPECT_TRUE(sink.lines.empty()); // DoDebug is off
}

TEST_F(DeviceTest, AdapterCountRules) {
    const struct {
        const char* name;
        std::uint8_t status, count;
        int stored;
        std::size_t inquiries;
        std::size_t devices;
    } kCases[] = {
        {"zero adapters scans seven", 0x01, 0, 7, 7 * 64, 1},
        {"two adapters", 0x01, 2, 2, 2 * 64, 0},
        {"failed inquiry scans nothing", 0x81, 3, -1, 0, 0},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        script.sent.clear();
        script.devices = {{{6, 7, 7}, InquiryReply(5, "SIX     ", "ADAPTER SIX     ", "6.00")},
                          {{7, 0, 0}, InquiryReply(5, "SEVEN   ", "NOT SCANNED     ", "7.00")}};
        script.adapterInquiry = [&c](SrbHostAdapterInquiry& srb) {
            srb.adapterCount = srb.header.hostAdapter == 0 ? c.count : 0;
            srb.header.status = srb.header.hostAdapter == 0 ? c.status : 0x81;
        };
        auto& dev = MakeDevice();
        EXPECT_EQ(dev.AdapterCount(), c.stored);
        EXPECT_EQ(script.SentWith(op::kInquiry).size(), c.inquiries);
        EXPECT_EQ(dev.DeviceList.size(), c.devices);
        // A rescan sees the same adapters: the inquiries of the other adapters do not change the count.
        const auto list = dev.DeviceList;
        dev.ScanDevices();
        EXPECT_EQ(dev.AdapterCount(), c.stored);
        EXPECT_EQ(dev.DeviceList, list);
    }
}

TEST_F(DeviceTest, ScanWithDebugLinesNamesTheLayerAndEachAdapter) {
    auto& dev = Selected("0:2:0");
    dev.DoDebug = true;
    dev.ScanDevices();
    EXPECT_EQ(sink.lines, (std::vector<std::string>{">>> WNASPI32.DLL", ">>> LORVANE SCRIPT   (ADAPTER 0)"}));
    for (const auto& [message, mType] : events) EXPECT_EQ(mType, 1);
    // The selection survives the scan.
    EXPECT_EQ(dev.Adapter(), 0);
    EXPECT_EQ(dev.Target(), 2);
    EXPECT_EQ(dev.Lun(), 0);
}

TEST_F(DeviceTest, AManagerModulesAddressesAreNotMatchedToKernelDrives) {
    kernel.AddDrive(0, ScsiAddress{0, 0, 0, 0});
    script.devices[{0, 0, 0}] = InquiryReply(5, "LORVANE ", "VIRTUAL RECORDER", "1.00");
    auto& dev = MakeDevice();
    EXPECT_EQ(dev.DeviceList, std::vector<std::string>{"0:0:0,?: " + kIdentity});
    EXPECT_TRUE(kernel.OpenedPaths().empty());
}

// ---- selection ----

TEST_F(DeviceTest, SetDeviceRefusesEveryMalformedString) {
    const struct {
        std::string text;
        bool message;
    } kCases[] = {
        {"", false},
        {"1", true},
        {"abc", true},
        {"1:0:", true},
        {"0:0:0", true},
        {"0:0:0 ?: LORVANE", true},
        {"x:0:0,?: ", true},
        {"0:0,?: LORVANE", true},
        {"0:0:0:0,?: ", true},
        {":0:0,?: ", true},
        {"0::0,?: ", true},
        {"0:0:,?: ", true},
        {"-1:0:0,?: ", true},
        {" 0:0:0,?: ", true},
        {"0:0:0 ,?: ", true},
        {"256:0:0,?: ", true},
        {"0:0:99999999999999999999999,?: ", true},
        {"0:0:1,?: ", true}, // no device there
        {std::string("0:0\0:0,?: ", 10), true},
        {std::string(5000, ':'), true},
        {std::string(5000, '9') + ",", true},
        {",,,,,,", true},
    };
    script.devices[{0, 0, 0}] = InquiryReply(5, "LORVANE ", "VIRTUAL RECORDER", "1.00");
    auto& dev = MakeDevice();
    for (const auto& [text, message] : kCases) {
        SCOPED_TRACE(text);
        dev.SetDevice("0:0:0,?: " + kIdentity);
        ASSERT_EQ(dev.DeviceType, 5);
        sink.lines.clear();
        int changes = 0;
        dev.OnDeviceChange = [&](TSCSIDevice*) { ++changes; };
        dev.SetDevice(text);
        EXPECT_EQ(sink.lines, message ? std::vector<std::string>{"INVALID DEVICE ID / NOT A CD OR DVD DRIVE"}
                                      : std::vector<std::string>{});
        EXPECT_EQ(changes, 0);
        EXPECT_EQ(dev.Adapter(), kNoDevice);
        EXPECT_EQ(dev.Target(), kNoDevice);
        EXPECT_EQ(dev.Lun(), kNoDevice);
        EXPECT_EQ(dev.DeviceType, 127);
        EXPECT_TRUE(dev.DeviceString.empty());
        EXPECT_TRUE(dev.DeviceIdentity.empty());
        dev.OnDeviceChange = nullptr;
    }
}

TEST_F(DeviceTest, SetDeviceSelectsByTheNumbersBeforeTheComma) {
    const struct {
        std::string text;
        Address address;
        std::uint8_t type;
    } kCases[] = {
        {"1:0:0,/dev/sr0 " + kIdentity, {1, 0, 0}, 5},
        {"12:3:0,?: " + kIdentity, {12, 3, 0}, 5},
        {"007:07:7,", {7, 7, 7}, 4},
        {"255:255:255,x", {255, 255, 255}, 5},
    };
    auto& dev = MakeDevice();
    for (const auto& [text, address, type] : kCases) {
        SCOPED_TRACE(text);
        script.devices = {{address, InquiryReply(type, "LORVANE ", "VIRTUAL\x1FRECORDER", "1.0\x7F")}};
        int changes = 0;
        dev.OnDeviceChange = [&](TSCSIDevice* sender) {
            EXPECT_EQ(sender, &dev);
            ++changes;
        };
        sink.lines.clear();
        dev.SetDevice(text);
        EXPECT_EQ(changes, 1);
        EXPECT_TRUE(sink.lines.empty());
        EXPECT_EQ(std::tuple(dev.Adapter(), dev.Target(), dev.Lun()), address);
        EXPECT_EQ(dev.DeviceType, type);
        EXPECT_EQ(dev.DeviceString, text);
        EXPECT_EQ(dev.DeviceIdentity, "LORVANE  VIRTUAL RECORDER 1.0\x7F");
    }
}

TEST_F(DeviceTest, ADeviceThatStopsAnsweringIsNotSelectedOnTheStrengthOfThePreviousOne) {
    auto& dev = Selected();
    script.devices.clear();
    int changes = 0;
    dev.OnDeviceChange = [&](TSCSIDevice*) { ++changes; };
    dev.SetDevice("0:0:0,?: " + kIdentity);
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(dev.DeviceType, 127);
    EXPECT_EQ(dev.Adapter(), kNoDevice);
    EXPECT_EQ(sink.lines, std::vector<std::string>{"INVALID DEVICE ID / NOT A CD OR DVD DRIVE"});
}

TEST_F(DeviceTest, ModelFlagsComeFromExactProductAndVendorFields) {
    struct Flags {
        bool underrun, linkSize, pollReady, closeImmediate, noFinalize, slowLeadOut;
        bool operator==(const Flags&) const = default;
    };
    const struct {
        std::string vendor, product;
        Flags flags;
    } kCases[] = {
        {"LORVANE ", "VIRTUAL RECORDER", {false, false, false, true, false, false}},
        {"RICOH   ", "CD-W512EB       ", {true, false, false, true, false, false}},
        {"RICOH   ", "cd-w512eb       ", {false, false, false, true, false, false}},
        {"SONY    ", "CRX175E         ", {false, true, false, true, false, false}},
        {"SONY    ", "CD-RW  CRX800E  ", {false, true, false, true, false, false}},
        {"SONY    ", "CD-RW CRX800E   ", {false, false, false, true, false, false}},
        {"SONY    ", "  CD-RW  CRX800E", {false, true, false, true, false, false}},
        {"SONY    ", "CD-RW  CRX100E  ", {false, false, false, true, true, false}},
        {"MATSHITA", "UJDA720 DVD/CDRW", {false, false, true, true, false, false}},
        {"MATSHITA", "UJD A720        ", {false, false, false, true, false, false}},
        {"TDK     ", "CDRW121032      ", {false, false, true, true, false, false}},
        {"  TDKX  ", "CDRW121032      ", {false, false, true, true, false, false}},
        {"TD      ", "CDRW121032      ", {false, false, false, true, false, false}},
        {"        ", "CDRW121032      ", {false, false, false, true, false, false}},
        {"LITE-ON ", "CDRW321040X     ", {false, false, false, false, false, false}},
        {"PIONEER ", "DVD-RW  DVR-104 ", {false, false, false, true, false, true}},
        {"PIONEER ", "DVD-RW  DVR-103 ", {false, false, false, true, false, true}},
        {"PIONEER ", std::string("DVD-RW  DVR-104\0", 16), {false, false, false, true, false, false}},
        {"PIONEER ", " DVD-RW  DVR-104", {false, false, false, true, false, false}},
    };
    auto& dev = MakeDevice();
    for (const auto& [vendor, product, flags] : kCases) {
        SCOPED_TRACE(vendor + "|" + product);
        script.devices = {{{0, 0, 0}, InquiryReply(5, vendor, product, "1.00")}};
        dev.SetDevice("0:0:0,?: " + vendor + product + "1.00");
        ASSERT_EQ(dev.DeviceType, 5);
        const Flags actual{dev.QuirkUnderrun,     dev.QuirkLinkSize,   QuirkPollReady.load(),
                           CloseImmediate.load(), dev.QuirkNoFinalize, dev.QuirkSlowLeadOut};
        EXPECT_TRUE(actual == flags);
    }
}

// ---- capabilities ----

// MMC mode page 2Ah, 22 bytes: reads CD-R/RW, method 2, DVD-ROM, DVD-R, DVD-RAM (3Fh); writes CD-R,
// CD-RW, test write, DVD-R (17h); BUF (80h); max read 7940 kB/s, buffer 2048 KB, current read 2822,
// max write 7056, current write 2832.
const Bytes kPage = {0x2A, 0x14, 0x3F, 0x17, 0x80, 0x00, 0x00, 0x00, 0x1F, 0x04, 0x00,
                     0x00, 0x08, 0x00, 0x0B, 0x06, 0x00, 0x00, 0x1B, 0x90, 0x0B, 0x10};

Bytes ModeReply(const Bytes& page, std::size_t at) {
    Bytes reply(at, 0);
    reply.insert(reply.end(), page.begin(), page.end());
    reply[1] = static_cast<std::uint8_t>(reply.size() - 2);
    if (at == 16) reply[7] = 8; // block descriptor length
    return reply;
}

struct Pages {
    std::optional<Bytes> defaults, current, vendor, feature2A, feature2F;
};

void ServePages(Script& script, const Pages& pages) {
    script.command = [&pages](SrbExecuteScsi& srb) {
        std::optional<Bytes> reply;
        if (srb.cdb[0] == 0x5A && srb.cdb[2] == 0xAA) reply = pages.defaults;
        if (srb.cdb[0] == 0x5A && srb.cdb[2] == 0x2A) reply = pages.current;
        if (srb.cdb[0] == 0x5A && srb.cdb[2] == 0x30) reply = pages.vendor;
        if (srb.cdb[0] == 0x46 && srb.cdb[3] == 0x2A) reply = pages.feature2A;
        if (srb.cdb[0] == 0x46 && srb.cdb[3] == 0x2F) reply = pages.feature2F;
        if (reply)
            Answer(srb, *reply);
        else
            Fail(srb, 0x04, 0x00, 0x02, Sense(0x05, 0x24, 0x00));
    };
}

// The default values come first; a drive that refuses them (ATAPI drives among them) is asked for the
// current values, and the flag probes follow those.
TEST_F(DeviceTest, ReadCapabilitiesSendsTheProbesInOrder) {
    const Bytes defaults = {0x5A, 0x00, 0xAA, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x00};
    const Bytes vendor = {0x5A, 0x00, 0x30, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x00};
    const Bytes plusRw = {0x46, 0x02, 0x00, 0x2A, 0x00, 0x00, 0x00, 0x00, 0x72, 0x00};
    const Bytes minusR = {0x46, 0x02, 0x00, 0x2F, 0x00, 0x00, 0x00, 0x00, 0x72, 0x00};
    const Bytes current = {0x5A, 0x00, 0x2A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x00};
    const struct {
        const char* name;
        Pages pages;
        bool result;
        std::vector<Bytes> cdbs;
    } kCases[] = {
        {"default values",
         {ModeReply(kPage, 8), ModeReply(kPage, 8), {}, {}, {}},
         true,
         {defaults, vendor, plusRw, minusR, current}},
        {"current values only",
         {{}, ModeReply(kPage, 8), {}, {}, {}},
         true,
         {defaults, current, vendor, plusRw, minusR}},
        {"neither", {{}, {}, {}, {}, {}}, false, {defaults, current, plusRw, minusR}},
    };
    auto& dev = Selected();
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        ServePages(script, c.pages);
        script.sent.clear();
        EXPECT_EQ(dev.ReadCapabilities(), c.result);
        ASSERT_EQ(script.sent.size(), c.cdbs.size());
        for (std::size_t i = 0; i < c.cdbs.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(Bytes(script.sent[i].cdb.begin(), script.sent[i].cdb.begin() + 10), c.cdbs[i]);
            EXPECT_EQ(Bytes(script.sent[i].cdb.begin() + 10, script.sent[i].cdb.end()), Bytes(6, 0));
            EXPECT_EQ(script.sent[i].cdbLength, 10);
            EXPECT_EQ(script.sent[i].flags, 0x48);
            EXPECT_EQ(script.sent[i].dataLength, c.cdbs[i][0] == 0x46 ? 114u : 128u);
        }
    }
    EXPECT_TRUE(sink.lines.empty()); // MODE SENSE and GET CONFIGURATION failures are not logged
}

TEST_F(DeviceTest, ReadCapabilitiesFindsThePageWhereverTheDrivePutsIt) {
    auto& dev = Selected();
    for (const std::size_t at : {std::size_t{8}, std::size_t{16}, std::size_t{7}}) {
        SCOPED_TRACE(at);
        const Pages pages{ModeReply(kPage, at), ModeReply(kPage, at), {}, {}, {}};
        ServePages(script, pages);
        ASSERT_TRUE(dev.ReadCapabilities());
        EXPECT_EQ(dev.Capabilities, 0x43E7Fu);
        EXPECT_EQ(dev.DeviceMaxWriteSpeed, 40); // 7056 / 176.46 = 39.99
        EXPECT_EQ(dev.DeviceMaxReadSpeed, 45);  // 7940 / 176.46 = 44.996
        const CapabilitiesPage& page = dev.CapabilitiesPageCopy();
        EXPECT_EQ(Bytes(page.raw.begin(), page.raw.end()), kPage);
        EXPECT_EQ(page.maxWriteKBs, 7056);
        EXPECT_EQ(page.currentWriteKBs, 2832);
        EXPECT_EQ(page.maxReadKBs, 7940);
        EXPECT_EQ(page.currentReadKBs, 2822);
        EXPECT_EQ(page.bufferSizeKB, 2048);
        EXPECT_EQ(dev.MaxWriteSpeedX(), 40);
        EXPECT_EQ(dev.MaxReadSpeedX(), 45);
        EXPECT_EQ(dev.CurrentWriteSpeedX(), 16);
    }
}

// A multi-format writer that also writes DVD-RAM keeps the speeds it reports; only a DVD-RAM writer
// that reports none is taken as 1x.
TEST_F(DeviceTest, ADvdRamWriterKeepsTheSpeedsItReports) {
    auto& dev = Selected();
    Bytes multiFormat = kPage;
    multiFormat[3] = 0x37; // writes CD-R, CD-RW, test write, DVD-R and DVD-RAM
    const Pages pages{ModeReply(multiFormat, 8), ModeReply(multiFormat, 8), {}, {}, {}};
    ServePages(script, pages);
    EXPECT_EQ(dev.MaxWriteSpeedX(), 40);
    EXPECT_EQ(dev.CurrentWriteSpeedX(), 16);
    EXPECT_EQ(dev.DeviceMaxWriteSpeed, 40);
    EXPECT_TRUE(dev.Capabilities & cap::kWriteDvdRam);
}

TEST_F(DeviceTest, ReadCapabilitiesCases) {
    Bytes dvdRam = kPage;
    dvdRam[2] = 0x20;
    dvdRam[3] = 0x20;
    dvdRam[4] = 0x00;
    std::fill(dvdRam.begin() + 8, dvdRam.end(), std::uint8_t{0});
    Bytes noUnderrun = kPage;
    noUnderrun[4] = 0x00;
    Bytes savable = kPage;
    savable[0] = 0xAA; // parameters-saveable bit: not recognised at any offset
    Bytes faster = kPage;
    faster[18] = 0x2B; // 11152 kB/s = 63x in the current values
    faster[19] = 0x90;
    // A reader as ATAPI drives report it: reads CD-R, CD-RW, DVD-ROM, DVD-R, DVD-RAM (3Bh), writes
    // nothing, no BUF; maximum read speed 706 kB/s (4x).
    Bytes reader(22, 0);
    reader[0] = 0x2A;
    reader[1] = 0x14;
    reader[2] = 0x3B;
    reader[4] = 0x71;
    reader[9] = 0xC2;
    reader[8] = 0x02;
    // The page at byte 15, where the current values are read when the default values failed.
    Bytes at15(15, 0);
    at15.insert(at15.end(), kPage.begin(), kPage.end());
    const Bytes feature2A = {0, 0, 0, 12, 0, 0, 0, 0x1B, 0x00, 0x2A, 0x0B, 0x04, 0x01, 0, 0, 0};
    const Bytes feature2AReadOnly = {0, 0, 0, 12, 0, 0, 0, 0x1B, 0x00, 0x2A, 0x0B, 0x04, 0x00, 0, 0, 0};
    const Bytes feature2B = {0, 0, 0, 12, 0, 0, 0, 0x1B, 0x00, 0x2B, 0x0B, 0x04, 0x01, 0, 0, 0};
    const Bytes feature2F = {0, 0, 0, 12, 0, 0, 0, 0x11, 0x00, 0x2F, 0x0B, 0x04, 0x01, 0, 0, 0};
    const Bytes feature2FFlags = {0, 0, 0, 12, 0, 0, 0, 0x11, 0x00, 0x2F, 0x0B, 0x04, 0x46, 0, 0, 0};
    const Bytes feature2FBufOnly = {0, 0, 0, 12, 0, 0, 0, 0x11, 0x00, 0x2F, 0x0B, 0x04, 0x40, 0, 0, 0};
    const Bytes vendorAt8 = ModeReply({0x30, 0x02, 0x00, 0x00}, 8);
    const Bytes vendorAt9 = ModeReply({0x00, 0x30, 0x02, 0x00, 0x00}, 8);

    const struct {
        const char* name;
        Pages pages;
        bool result;
        std::uint32_t capabilities;
        std::uint16_t maxWrite, maxRead;
    } kCases[] = {
        {"DVD-RAM without speeds",
         {ModeReply(dvdRam, 8), ModeReply(dvdRam, 8), {}, {}, {}},
         true,
         0x4040,
         1,
         1},
        {"vendor page 30h",
         {ModeReply(noUnderrun, 8), ModeReply(kPage, 8), vendorAt8, {}, {}},
         true,
         0x3E7F | 0x40000,
         40,
         45},
        {"vendor page elsewhere",
         {ModeReply(noUnderrun, 8), ModeReply(kPage, 8), vendorAt9, {}, {}},
         true,
         0x3E7F,
         40,
         45},
        {"DVD+RW writer",
         {ModeReply(kPage, 8), ModeReply(kPage, 8), {}, feature2A, {}},
         true,
         0x43E7F | 0x18180,
         40,
         45},
        {"DVD+RW reader",
         {ModeReply(kPage, 8), ModeReply(kPage, 8), {}, feature2AReadOnly, {}},
         true,
         0x43E7F | 0x180,
         40,
         45},
        {"another feature answers",
         {ModeReply(kPage, 8), ModeReply(kPage, 8), {}, feature2B, {}},
         true,
         0x43E7F,
         40,
         45},
        {"DVD-R writer",
         {ModeReply(noUnderrun, 8), ModeReply(kPage, 8), {}, {}, feature2F},
         true,
         0x3E7F,
         40,
         45},
        // Feature 002Fh byte 4 is a flag byte: 40h BUF, 04h test write, 02h DVD-RW.
        {"DVD-R and DVD-RW writer by the feature flags",
         {ModeReply(dvdRam, 8), ModeReply(kPage, 8), {}, {}, feature2FFlags},
         true,
         0x4070 | 0x3000,
         40,
         45},
        {"DVD-R writer without DVD-RW",
         {ModeReply(dvdRam, 8), ModeReply(kPage, 8), {}, {}, feature2FBufOnly},
         true,
         0x4070 | 0x1000,
         40,
         45},
        {"page with the saveable bit",
         {ModeReply(savable, 8), ModeReply(savable, 8), {}, {}, {}},
         true,
         0x43E7F,
         40,
         45},
        {"current values faster",
         {ModeReply(kPage, 16), ModeReply(faster, 16), {}, {}, {}},
         true,
         0x43E7F,
         63,
         45},
        // Without the default values the flags come from the current values.
        {"no default values", {{}, ModeReply(kPage, 8), {}, {}, {}}, true, 0x43E7F, 40, 45},
        {"no default values, the page at byte 15", {{}, at15, {}, {}, {}}, true, 0x43E7F, 40, 45},
        {"no default values, vendor page and features",
         {{}, ModeReply(noUnderrun, 16), vendorAt8, feature2A, feature2FFlags},
         true,
         0x3E7F | 0x40000 | 0x18180 | 0x3000,
         40,
         45},
        {"no default values, a reader", {{}, ModeReply(reader, 8), {}, {}, {}}, true, 0x7B, 0, 4},
        {"no default values, no page in the current values",
         {{}, ModeReply({0x0D, 0x06, 0, 0, 0, 0, 0, 0}, 8), {}, {}, {}},
         true,
         0,
         0,
         0},
        {"no current values", {ModeReply(kPage, 8), {}, {}, {}, {}}, false, 0x43E7F, 40, 45},
        {"nothing", {{}, {}, {}, {}, {}}, false, 0, 0, 0},
        {"nothing but the features", {{}, {}, {}, feature2A, {}}, false, 0x18180, 0, 0},
    };
    auto& dev = Selected();
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        ServePages(script, c.pages);
        EXPECT_EQ(dev.ReadCapabilities(), c.result);
        EXPECT_EQ(dev.Capabilities, c.capabilities) << std::hex << dev.Capabilities;
        EXPECT_EQ(dev.DeviceMaxWriteSpeed, c.maxWrite);
        EXPECT_EQ(dev.DeviceMaxReadSpeed, c.maxRead);
        if (!c.result) {
            EXPECT_EQ(dev.MaxWriteSpeedX(), 0);
        }
    }
}

TEST(SpeedX, RoundsKilobytesPerSecondToCdSpeeds) {
    constexpr struct {
        std::uint32_t kBs;
        std::uint16_t x;
    } kCases[] = {{0, 0},     {88, 0},    {89, 1},    {176, 1},   {177, 1},    {1411, 8},
                  {2822, 16}, {7056, 40}, {8467, 48}, {8468, 48}, {65535, 371}};
    for (const auto& [kBs, x] : kCases) {
        SCOPED_TRACE(kBs);
        EXPECT_EQ(SpeedX(kBs), x);
    }
}

TEST_F(DeviceTest, TheUnderrunModelReportsProtectionFromItsFirstSelectionOnly) {
    Bytes noUnderrun = kPage;
    noUnderrun[4] = 0x00;
    const Pages pages{ModeReply(noUnderrun, 8), ModeReply(noUnderrun, 8), {}, {}, {}};
    ServePages(script, pages);
    script.devices = {{{0, 0, 0}, InquiryReply(5, "RICOH   ", "CD-W512EB       ", "1.00")},
                      {{0, 1, 0}, InquiryReply(5, "LORVANE ", "VIRTUAL RECORDER", "1.00")}};
    auto& dev = MakeDevice();
    dev.SetDevice(dev.DeviceList.at(0));
    EXPECT_TRUE(dev.QuirkUnderrun);
    EXPECT_EQ(dev.Capabilities, 0x3E7Fu | cap::kUnderrunProtection);
    dev.SetDevice(dev.DeviceList.at(1));
    EXPECT_FALSE(dev.QuirkUnderrun);
    EXPECT_EQ(dev.Capabilities, 0x3E7Fu);
}

// ---- through the built-in pass-through layer ----

class KernelDiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        CloseTransport();
        SetModuleLoader(&noModule);
        SetPassThroughKernel(&kernel);
    }
    void TearDown() override {
        CloseTransport();
        SetPassThroughKernel(nullptr);
        SetModuleLoader(nullptr);
    }
    class NoModule final : public ModuleLoader {
    public:
        void* Open(const std::string&) override { return nullptr; }
        void* Symbol(void*, const char*) override { return nullptr; }
        void Close(void*) override {}
    } noModule;
    testing::FakeKernel kernel;
    testing::FakeClock clock;
};

TEST_F(KernelDiscoveryTest, DeviceStringsNameTheKernelNodes) {
    kernel.AddDrive(0, ScsiAddress{1, 0, 0, 0}).inquiry =
        testing::StandardInquiry("LORVANE", "FAKE ONE", "1.00");
    kernel.AddDrive(1).inquiry = testing::StandardInquiry("LORVANE", "NO ADDRESS", "2.00");
    kernel.AddDrive(2, ScsiAddress{0, 0, 3, 0}).inquiry =
        testing::StandardInquiry("LORVANE", "FAKE TWO", "3.00");
    TSCSIDevice dev(clock);
    ASSERT_TRUE(dev.InitTransport(true));
    EXPECT_EQ(ASPILayerName(), "OBASPI32");
    EXPECT_EQ(dev.AdapterCount(), 3);
    EXPECT_EQ(dev.DeviceList, (std::vector<std::string>{
                                  "0:3:0,/dev/sr2 LORVANE FAKE TWO        3.00",
                                  "1:0:0,/dev/sr0 LORVANE FAKE ONE        1.00",
                                  "2:0:0,?: LORVANE NO ADDRESS      2.00",
                              }));
    EXPECT_EQ(kernel.OpenHandles(), 0);

    dev.SetDevice(dev.DeviceList[1]);
    EXPECT_EQ(dev.DeviceType, 5);
    EXPECT_EQ(dev.DeviceIdentity, "LORVANE  FAKE ONE         1.00");
    EXPECT_EQ(dev.GetDriveLetter(), "/dev/sr0");
}

TEST_F(KernelDiscoveryTest, NoTransportMeansNoDevices) {
    TSCSIDevice dev(clock);
    EXPECT_FALSE(dev.InitTransport(true));
    EXPECT_TRUE(dev.DeviceList.empty());
    dev.SetDevice("0:0:0,?: LORVANE");
    EXPECT_EQ(dev.DeviceType, 127);
}

// ---- end to end through the virtual recorder ----

class RecorderTest : public ::testing::Test {
protected:
    void SetUp() override {
        CloseTransport();
        SetPassThroughKernel(&kernel);
        discFile = std::filesystem::path(::testing::TempDir()) /
                   ("drive_test_" +
                    std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".disc");
        std::filesystem::remove(discFile);
        drive = &recorder.AddDrive(recorder::DriveIdentity{}, discFile);
        recorder::VirtualRecorder::Install(&recorder);
        SetModuleLoader(&loader);
        ASSERT_TRUE(dev.InitTransport(false));
        dev.SetDebugWindow(&sink);
    }
    void TearDown() override {
        CloseTransport();
        recorder::VirtualRecorder::Install(nullptr);
        SetModuleLoader(nullptr);
        SetPassThroughKernel(nullptr);
        std::filesystem::remove(discFile);
    }
    testing::FakeClock clock;
    testing::FakeKernel kernel;
    recorder::VirtualRecorder recorder{clock};
    recorder::InProcessModuleLoader loader;
    std::filesystem::path discFile;
    recorder::VirtualDrive* drive = nullptr;
    TSCSIDevice dev{clock};
    LineSink sink;
};

TEST_F(RecorderTest, FindsSelectsAndReadsTheVirtualDrive) {
    EXPECT_EQ(ASPILayerName(), "WNASPI32.DLL");
    ASSERT_EQ(dev.DeviceList, std::vector<std::string>{"0:0:0,?: " + kIdentity});
    dev.SetDevice(dev.DeviceList[0]);
    EXPECT_EQ(dev.DeviceType, 5);
    EXPECT_EQ(dev.DeviceIdentity, "LORVANE  VIRTUAL RECORDER 1.00");
    EXPECT_TRUE(sink.lines.empty());
}

TEST_F(RecorderTest, RecorderFaultsReachTheLog) {
    dev.SetDevice(dev.DeviceList.at(0));
    ASSERT_EQ(dev.DeviceType, 5);
    drive->InjectFault({recorder::FaultKind::CheckCondition, 0x2A, recorder::FixedSense(0x03, 0x0C, 0x09)});
    std::vector<std::uint8_t> block(2048);
    SrbExecuteScsi srb = Command({0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 0x50, block.data(), 2048);
    dev.ExecuteCommand(srb, 10000);
    EXPECT_EQ(dev.LastErrorText, "MEDIUM ERROR (WRITE ERROR - LOSS OF STREAMING)");
    ASSERT_EQ(sink.lines.size(), 1u);
    EXPECT_TRUE(sink.lines[0].starts_with("<<< WRITE (10)             (2A) {50|0A} - 0:0:0 <04> [0800] "));
    EXPECT_TRUE(sink.lines[0].ends_with(
        "= 00 02 70 03 ASC:0C,ASQ:09 MEDIUM ERROR (WRITE ERROR - LOSS OF STREAMING)"));

    sink.lines.clear();
    drive->InjectFault({recorder::FaultKind::NeverComplete, 0x2A, {}});
    const std::int64_t start = clock.NowMs();
    SrbExecuteScsi hung = Command({0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 0x50, block.data(), 2048);
    dev.ExecuteCommand(hung, 5000);
    EXPECT_EQ(clock.NowMs() - start, 10000);
    EXPECT_EQ(hung.header.status, 0x04);
    EXPECT_EQ(hung.hostStatus, 0x09);
    EXPECT_EQ(dev.LastErrorText, "COMMAND TIMEOUT");
    ASSERT_EQ(sink.lines.size(), 1u);
    EXPECT_TRUE(sink.lines[0].ends_with(" COMMAND TIMEOUT"));
}

} // namespace
} // namespace lorvane::drive
