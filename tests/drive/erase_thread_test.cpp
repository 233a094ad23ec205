#include "drive/erase_thread.h"

#include "scripted_mmc.h"

#include <atomic>
#include <limits>
#include <thread>

namespace lorvane::drive {
namespace {

using namespace transport;
using namespace drivetest;

// Page 2Ah with a current write speed of 2832 kB/s (16x).
Bytes CapabilitiesReply() {
    Bytes reply(8, 0);
    Bytes page(22, 0);
    page[0] = 0x2A;
    page[1] = 0x14;
    page[3] = 0x02;
    page[20] = 0x0B;
    page[21] = 0x10;
    reply.insert(reply.end(), page.begin(), page.end());
    return reply;
}

Bytes WritePageReply() {
    Bytes reply(8 + 54, 0);
    reply[8] = 0x05;
    reply[9] = 0x32;
    return reply;
}

TEST(EstimatedEraseDuration, ByMediumAndKind) {
    const struct {
        std::uint8_t medium;
        bool quick;
        std::uint16_t units;
    } kCases[] = {
        {medium::kCdRw, true, 150},    {medium::kCdRw, false, 4500},    {medium::kDvdRw, true, 120},
        {medium::kDvdRw, false, 4440}, {medium::kDvdPlusRw, true, 600}, {medium::kDvdPlusRw, false, 4440},
        {medium::kDvdRam, true, 4440}, {medium::kDvdRam, false, 4440},  {medium::kCdR, true, 150},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(::testing::Message() << int{c.medium} << (c.quick ? " quick" : " full"));
        EXPECT_EQ(EstimatedEraseDuration(c.medium, c.quick), c.units);
    }
}

class EraseTest : public MmcTest {
protected:
    const std::thread::id testThread = std::this_thread::get_id();
    TSCSIDevice& Eraser(std::uint16_t profile) {
        auto& dev = Drive();
        mmc.profile = profile;
        mmc.capsPage = CapabilitiesReply();
        mmc.writePage = WritePageReply();
        mmc.discInfo = DiscInfoReply(0x10);
        dev.OnEraseDone = [this](TSCSIDevice* sender, bool withError) {
            EXPECT_EQ(sender, device.get());
            done.push_back(withError);
        };
        return dev;
    }
    std::vector<bool> done; // written on the erase thread, read after the join
};

TEST_F(EraseTest, QuickAndFullEraseOfEveryRewritableMedium) {
    const std::array<std::uint8_t, 16> kRamList = {0x00, 0x82, 0x00, 0x08, 0x00, 0x22, 0x21, 0x20,
                                                   0x00, 0x00, 0x08, 0x00, 0,    0,    0,    0};
    const std::array<std::uint8_t, 16> kPlusRwList = {0x00, 0x82, 0x00, 0x08, 0, 0, 0, 0,
                                                      0x98, 0,    0,    0,    0, 0, 0, 0};
    const struct {
        const char* name;
        std::uint16_t profile;
        bool quick;
        Bytes command; // BLANK (12 bytes) or FORMAT UNIT (6)
        std::optional<std::array<std::uint8_t, 16>> list;
        bool writeSetup; // SET CD SPEED and the write parameters before the erase
        const char* message;
    } kCases[] = {
        {"CD-RW quick",
         0x0A,
         true,
         {0xA1, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         std::nullopt,
         true,
         ">>> STARTING ERASE PROCESS ON CD-RW AT 16X"},
        {"CD-RW full",
         0x0A,
         false,
         {0xA1, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         std::nullopt,
         true,
         ">>> STARTING ERASE PROCESS ON CD-RW AT 16X"},
        {"DVD-RW quick",
         0x13,
         true,
         {0xA1, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         std::nullopt,
         true,
         ">>> STARTING ERASE PROCESS ON DVD-RW AT 2X"},
        {"DVD-RW full",
         0x14,
         false,
         {0xA1, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         std::nullopt,
         true,
         ">>> STARTING ERASE PROCESS ON DVD-RW AT 2X"},
        {"DVD+RW",
         0x1A,
         true,
         {0x04, 0x11, 0, 0, 0, 0},
         kPlusRwList,
         true,
         ">>> STARTING ERASE PROCESS ON DVD+RW AT 2X"},
        {"DVD-RAM",
         0x12,
         false,
         {0x04, 0x11, 0, 0, 0, 0},
         kRamList,
         false,
         ">>> STARTING ERASE PROCESS ON DVD-RAM AT 1X"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        auto& dev = Eraser(c.profile);
        done.clear();
        ASSERT_TRUE(dev.EraseDisc(c.quick));
        dev.JoinEraseThread();
        EXPECT_FALSE(dev.Erasing());
        EXPECT_EQ(dev.EraseProgress(), 0);
        EXPECT_EQ(done, std::vector<bool>{false});
        EXPECT_EQ(LastMediumIndex, MediumIndexOfProfile(c.profile));
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events[0], (std::pair<std::string, std::uint8_t>{c.message, 1}));
        EXPECT_FALSE(KeepDriveOpen);

        const auto erases = script.SentWith(c.command[0]);
        ASSERT_EQ(erases.size(), 1u);
        EXPECT_EQ(CdbOf(erases[0], c.command.size()), c.command);
        EXPECT_EQ(erases[0].cdbLength, c.command.size());
        EXPECT_EQ(erases[0].flags, c.list ? 0x50 : 0x40);
        if (c.list) {
            const auto list =
                std::find(mmc.dataOut.begin(), mmc.dataOut.end(), Bytes(c.list->begin(), c.list->end()));
            EXPECT_NE(list, mmc.dataOut.end());
        }
        // Before the erase command: speeds and write parameters unless DVD-RAM.
        std::vector<std::uint8_t> before;
        for (const auto& s : script.sent) {
            if (s.cdb[0] == c.command[0]) break;
            before.push_back(s.cdb[0]);
        }
        EXPECT_EQ(std::count(before.begin(), before.end(), 0xBB), c.writeSetup ? 1 : 0);
        EXPECT_EQ(std::count(before.begin(), before.end(), 0x55), c.writeSetup ? 1 : 0);
        // After it, the drive is returned to normal use: write parameters for CD-ROM, the speeds
        // (the capability probes, then SET CD SPEED), rezero, allow removal, load, rezero, ready.
        const std::vector<std::uint8_t> kRestore = {0x5A, 0x55, 0x5A, 0x5A, 0x46, 0x46, 0x5A,
                                                    0xBB, 0x01, 0x1E, 0x1B, 0x01, 0x00};
        const std::vector<std::uint8_t> codes = Opcodes();
        ASSERT_GE(codes.size(), kRestore.size());
        EXPECT_EQ(std::vector<std::uint8_t>(codes.end() - static_cast<std::ptrdiff_t>(kRestore.size()),
                                            codes.end()),
                  kRestore);
        // Maximum read speed (unknown: FFFFh) and 2x (354 kB/s) for writing.
        EXPECT_EQ(CdbOf(script.SentWith(0xBB).back(), 6), (Bytes{0xBB, 0, 0xFF, 0xFF, 0x01, 0x62}));
    }
    LastMediumIndex = 0;
}

TEST_F(EraseTest, ARefusedEraseCommandRaisesTheEventWithAnError) {
    auto& dev = Eraser(0x0A);
    mmc.refused.insert(0xA1);
    EXPECT_FALSE(dev.EraseDisc(true));
    EXPECT_FALSE(dev.Erasing());
    EXPECT_EQ(done, std::vector<bool>{true});
    ASSERT_FALSE(sink.lines.empty());
    EXPECT_TRUE(sink.lines.back().starts_with("<<< BLANK"));
    LastMediumIndex = 0;
}

TEST_F(EraseTest, ADriveNotReadyBeforeTheEraseGivesFalseAndNoEvent) {
    auto& dev = Eraser(0x0A);
    mmc.notReadyUntilMs = std::numeric_limits<std::int64_t>::max();
    EXPECT_FALSE(dev.EraseDisc(true));
    EXPECT_TRUE(done.empty());
    EXPECT_TRUE(script.SentWith(0xA1).empty());
    LastMediumIndex = 0;
}

TEST_F(EraseTest, AFullCdRwEraseFollowsSeventyFiveMinutesOfDriveTime) {
    auto& dev = Eraser(0x0A);
    std::vector<int> progress; // sampled on the erase thread while the drive is busy
    script.command = [&](SrbExecuteScsi& srb) {
        if (srb.cdb[0] == 0xA1) mmc.notReadyUntilMs = clock.NowMs() + 75 * 60 * 1000;
        if (srb.cdb[0] == 0x51 && !mmc.Ready()) progress.push_back(dev.EraseProgress());
        mmc.Serve(srb);
    };
    const std::int64_t start = clock.NowMs();
    ASSERT_TRUE(dev.EraseDisc(false));
    dev.JoinEraseThread();
    EXPECT_GE(clock.NowMs() - start, 75 * 60 * 1000);
    EXPECT_EQ(done, std::vector<bool>{false});
    ASSERT_GT(progress.size(), 800u);
    EXPECT_EQ(progress.front(), 0);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_EQ(progress[progress.size() / 2], 50);
    EXPECT_LE(progress.back(), 100);
    LastMediumIndex = 0;
}

TEST_F(EraseTest, AnEstimateThatRunsOutBeforeTheDriveIsReadyIsAnError) {
    auto& dev = Eraser(0x13);
    script.command = [&](SrbExecuteScsi& srb) {
        if (srb.cdb[0] == 0xA1) mmc.notReadyUntilMs = std::numeric_limits<std::int64_t>::max();
        mmc.Serve(srb);
    };
    mmc.requestSense = NotReadySense();
    const std::int64_t start = clock.NowMs();
    ASSERT_TRUE(dev.EraseDisc(true));
    dev.JoinEraseThread();
    EXPECT_EQ(done, std::vector<bool>{true});
    EXPECT_LT(clock.NowMs() - start, 10 * 60 * 1000); // gave up near the 120-unit estimate
    LastMediumIndex = 0;
}

TEST_F(EraseTest, ValidFixedSenseKeepsTheThreadWaitingUntilTheEstimateRunsOut) {
    auto& dev = Eraser(0x0A);
    bool blanked = false;
    script.command = [&](SrbExecuteScsi& srb) {
        if (srb.cdb[0] == 0xA1) blanked = true;
        if (blanked && srb.cdb[0] == 0x00 && mmc.notReadyUntilMs == 0) {
            mmc.notReadyUntilMs = 1; // the first TEST UNIT READY after BLANK fails once
            return Fail(srb, 0x04, 0x00, 0x02, NotReadySense());
        }
        if (blanked && srb.cdb[0] == 0x03) {
            Bytes sense = Sense(0, 0, 0);
            sense[0] = 0xF0;
            return Answer(srb, sense);
        }
        mmc.Serve(srb);
    };
    const std::int64_t start = clock.NowMs();
    ASSERT_TRUE(dev.EraseDisc(true));
    dev.JoinEraseThread();
    // 150 units at 2 units per 2-second poll: the sense loop runs for well over two minutes.
    EXPECT_GE(clock.NowMs() - start, 140 * 1000);
    EXPECT_EQ(done, std::vector<bool>{true});
    LastMediumIndex = 0;
}

TEST_F(EraseTest, ASecondEraseWhileOneRunsIsRefusedAndTheDeviceJoinsItsThread) {
    auto& dev = Eraser(0x0A);
    std::atomic<bool> release{false};
    std::atomic<bool> following{false};
    script.command = [&](SrbExecuteScsi& srb) {
        if (srb.cdb[0] == 0xA1) mmc.notReadyUntilMs = std::numeric_limits<std::int64_t>::max();
        // Hold the erase thread at its first busy poll until the test has looked.
        if (srb.cdb[0] == 0x51 && std::this_thread::get_id() != testThread) {
            following = true;
            while (!release) std::this_thread::yield();
        }
        mmc.Serve(srb);
    };
    mmc.requestSense = NotReadySense();
    ASSERT_TRUE(dev.EraseDisc(false));
    while (!following) std::this_thread::yield();
    EXPECT_TRUE(dev.Erasing());
    EXPECT_FALSE(dev.EraseDisc(false));
    release = true;
    device.reset(); // asks the thread to stop and joins it
    EXPECT_FALSE(KeepDriveOpen);
    LastMediumIndex = 0;
}

// ---- through the built-in pass-through layer ----

TEST(EraseOnBuiltInLayer, TheTransportIsReopenedAfterTheErase) {
    testing::FakeKernel kernel;
    testing::FakeClock clock;
    class NoModule final : public ModuleLoader {
    public:
        void* Open(const std::string&) override { return nullptr; }
        void* Symbol(void*, const char*) override { return nullptr; }
        void Close(void*) override {}
    } noModule;
    CloseTransport();
    SetModuleLoader(&noModule);
    SetPassThroughKernel(&kernel);
    auto& drive = kernel.AddDrive(0, ScsiAddress{0, 0, 0, 0});
    drive.respond = [](const testing::SeenRequest& request) {
        testing::FakeReply reply;
        if (request.cdb[0] == 0x46) {
            reply.data.assign(16, 0);
            reply.data[7] = 0x0A; // CD-RW
        }
        return reply;
    };
    {
        TSCSIDevice dev(clock);
        ASSERT_TRUE(dev.InitTransport(true));
        ASSERT_EQ(dev.DeviceList.size(), 1u);
        dev.SetDevice(dev.DeviceList[0]);
        const int closesBefore = kernel.Drive(0).closes;
        const int inquiriesBefore = kernel.Drive(0).inquiries;
        ASSERT_TRUE(dev.EraseDisc(true));
        dev.JoinEraseThread();
        EXPECT_TRUE(ASPIInitialized());
        EXPECT_EQ(ASPILayerName(), "OBASPI32");
        EXPECT_GT(kernel.Drive(0).inquiries, inquiriesBefore); // the layer looked for its drives again
        EXPECT_GT(kernel.Drive(0).closes, closesBefore);
        EXPECT_FALSE(KeepDriveOpen);
    }
    EXPECT_EQ(kernel.OpenHandles(), 0);
    CloseTransport();
    SetPassThroughKernel(nullptr);
    SetModuleLoader(nullptr);
    LastMediumIndex = 0;
}

} // namespace
} // namespace lorvane::drive
