#include "scripted_mmc.h"

#include <limits>

namespace lorvane::drive {
namespace {

using namespace transport;
using namespace drivetest;

TEST_F(MmcTest, UnitCommandsSendTheirCdbs) {
    auto& dev = Drive();
    std::array<std::uint8_t, 40> sense{};
    const struct {
        const char* name;
        std::function<bool()> call;
        Bytes cdb;
        std::uint8_t flags;
        std::uint32_t dataLength;
    } kCases[] = {
        {"test unit ready", [&] { return dev.TestUnitReady(5000); }, {0x00, 0, 0, 0, 0, 0}, 0x40, 0},
        {"rezero", [&] { return dev.RezeroUnit(); }, {0x01, 0, 0, 0, 0, 0}, 0x40, 0},
        {"request sense", [&] { return dev.RequestSense(sense, 40); }, {0x03, 0, 0, 0, 40, 0}, 0x48, 40},
        {"request sense bounded by the buffer",
         [&] { return dev.RequestSense(std::span(sense).first(18), 40); },
         {0x03, 0, 0, 0, 18, 0},
         0x48,
         18},
        {"eject", [&] { return dev.LoadMedium(true); }, {0x1B, 0, 0, 0, 0x02, 0}, 0x40, 0},
        {"load", [&] { return dev.LoadMedium(false); }, {0x1B, 0, 0, 0, 0x03, 0}, 0x40, 0},
        {"lock", [&] { return dev.PreventMediumRemoval(false); }, {0x1E, 0, 0, 0, 0x01, 0}, 0x40, 0},
        {"unlock", [&] { return dev.PreventMediumRemoval(true); }, {0x1E, 0, 0, 0, 0x00, 0}, 0x40, 0},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        script.sent.clear();
        EXPECT_TRUE(c.call());
        ASSERT_EQ(script.sent.size(), 1u);
        ExpectSent(script.sent[0], c.cdb, c.flags, c.dataLength);
    }
    // Failures of these commands are expected while waiting: decoded, not logged.
    mmc.present = false;
    EXPECT_FALSE(dev.TestUnitReady(5000));
    EXPECT_EQ(dev.LastErrorText.empty(), false);
    EXPECT_TRUE(sink.lines.empty());
}

TEST_F(MmcTest, WaitUnitReadyKeepsToItsBudget) {
    const std::int64_t kForever = std::numeric_limits<std::int64_t>::max();
    const struct {
        const char* name;
        std::int64_t notReadyForMs;
        std::optional<Bytes> requestSense; // the answer while not ready
        std::uint8_t lastMedium;
        int totalMs, stepMs;
        bool result;
        std::int64_t sleptMs;
    } kCases[] = {
        {"ready at once", 0, NotReadySense(), medium::kCdRw, 30000, 5000, true, 5000},
        {"ready after 12 s", 12000, NotReadySense(), medium::kCdRw, 30000, 5000, true, 15000},
        {"never ready, short budget", kForever, NotReadySense(), medium::kCdRw, 3000, 5000, false, 5000},
        {"never ready", kForever, NotReadySense(), medium::kCdRw, 30000, 5000, false, 35000},
        // DVD-RAM reports no disc information while formatting: the wait starts at the sense loops.
        {"DVD-RAM ready at once", 0, NotReadySense(), medium::kDvdRam, 30000, 5000, true, 5000},
        {"DVD-RAM never ready", kForever, NotReadySense(), medium::kDvdRam, 30000, 5000, false, 35000},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        auto& dev = Drive();
        mmc.notReadyUntilMs = c.notReadyForMs == kForever ? kForever : clock.NowMs() + c.notReadyForMs;
        mmc.requestSense = c.requestSense;
        LastMediumIndex = c.lastMedium;
        const std::int64_t slept = clock.SleptMs();
        EXPECT_EQ(dev.WaitUnitReady(c.totalMs, c.stepMs), c.result);
        EXPECT_EQ(clock.SleptMs() - slept, c.sleptMs);
    }
    LastMediumIndex = 0;
}

TEST_F(MmcTest, WaitUnitReadyCountsValidFixedSenseAsNotReady) {
    auto& dev = Drive();
    LastMediumIndex = medium::kCdRw;
    // Ready by TEST UNIT READY, but REQUEST SENSE keeps answering F0h (valid fixed format).
    script.command = [this](SrbExecuteScsi& srb) {
        if (srb.cdb[0] == 0x03) {
            Bytes sense = Sense(0, 0, 0);
            sense[0] = 0xF0;
            return Answer(srb, sense);
        }
        mmc.Serve(srb);
    };
    mmc.discInfo = DiscInfoReply(0x10);
    // A first TEST UNIT READY that fails sends the wait into the sense loop.
    int testUnitReadies = 0;
    auto serve = script.command;
    script.command = [&, serve](SrbExecuteScsi& srb) {
        if (srb.cdb[0] == 0x00 && testUnitReadies++ == 0) return Fail(srb, 0x04, 0x00, 0x02, NotReadySense());
        serve(srb);
    };
    const std::int64_t slept = clock.SleptMs();
    EXPECT_FALSE(dev.WaitUnitReady(30000, 5000));
    EXPECT_EQ(clock.SleptMs() - slept, 30000);
    LastMediumIndex = 0;
}

TEST_F(MmcTest, WaitUnitReadyIsNotFooledByARefusedRequestSense) {
    auto& dev = Drive();
    LastMediumIndex = medium::kCdRw;
    // No medium (2/3A/00 ends the not-ready loops) and REQUEST SENSE refused: nothing says "ready".
    mmc.present = false;
    mmc.refused.insert(0x03);
    EXPECT_FALSE(dev.WaitUnitReady(30000, 5000));

    // A drive that is ready says so through TEST UNIT READY in the place of the refused sense.
    LastMediumIndex = medium::kDvdRam;
    mmc.present = true;
    mmc.notReadyUntilMs = clock.NowMs() + 20000;
    EXPECT_TRUE(dev.WaitUnitReady(60000, 5000));
    LastMediumIndex = 0;
}

TEST_F(MmcTest, WaitUnitReadyPollsEveryOneAndAHalfSecondsForSlowLeadOutModels) {
    auto& dev = Drive();
    dev.QuirkSlowLeadOut = true;
    LastMediumIndex = medium::kCdR;
    mmc.discInfo = DiscInfoReply(0x01);
    mmc.notReadyUntilMs = clock.NowMs() + 4000;
    const std::int64_t slept = clock.SleptMs();
    EXPECT_TRUE(dev.WaitUnitReady(30000, 5000));
    // three polls of 1.5 s reach the ready drive, then one step of the disc-information loop
    EXPECT_EQ(clock.SleptMs() - slept, 3 * 1500 + 5000);
    LastMediumIndex = 0;
}

} // namespace
} // namespace lorvane::drive
