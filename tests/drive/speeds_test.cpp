#include "scripted_mmc.h"

namespace lorvane::drive {
namespace {

using namespace transport;
using namespace drivetest;

TEST(SpeedKBs, MultipliesBy177AndSendsTheMaximumForZero) {
    const struct {
        std::uint16_t x;
        std::optional<std::uint16_t> kBs;
    } kCases[] = {
        {0, 0xFFFF},           {1, 177}, {16, 2832}, {40, 7080}, {370, 65490}, {371, std::nullopt},
        {65535, std::nullopt},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.x);
        EXPECT_EQ(SpeedKBs(c.x), c.kBs);
    }
}

TEST_F(MmcTest, SetSpeedsSendsSetCdSpeedWithBothSpeeds) {
    auto& dev = Drive();
    const struct {
        std::uint16_t readX, writeX;
        bool sent;
        Bytes cdb;
    } kCases[] = {
        {0, 0, true, {0xBB, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0}},
        {48, 16, true, {0xBB, 0, 0x21, 0x30, 0x0B, 0x10, 0, 0, 0, 0, 0, 0}}, // 8496, 2832 kB/s
        {0, 2, true, {0xBB, 0, 0xFF, 0xFF, 0x01, 0x62, 0, 0, 0, 0, 0, 0}},   // 354 kB/s
        {400, 4, false, {}},                                                 // 70800 kB/s: range error
        {4, 400, false, {}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(::testing::Message() << c.readX << "/" << c.writeX);
        script.sent.clear();
        EXPECT_EQ(dev.SetSpeeds(c.readX, c.writeX), c.sent);
        if (!c.sent) {
            EXPECT_TRUE(script.sent.empty());
            continue;
        }
        ASSERT_EQ(script.sent.size(), 1u);
        ExpectSent(script.sent[0], c.cdb, 0x40, 0u);
    }
}

TEST_F(MmcTest, SetWriteSpeedSendsTheReadSpeedTooAndStoresEvenWhenRefused) {
    auto& dev = Drive();
    dev.ReadSpeed = 24; // 4248 kB/s = 1098h
    dev.SetWriteSpeed(16);
    EXPECT_EQ(dev.WriteSpeed(), 16);
    ASSERT_EQ(CdbsWith(0xBB, 6), (std::vector<Bytes>{{0xBB, 0, 0x10, 0x98, 0x0B, 0x10}}));

    mmc.refused.insert(0xBB);
    dev.SetWriteSpeed(4);
    EXPECT_EQ(dev.WriteSpeed(), 4);
    EXPECT_TRUE(sink.lines.empty()); // SET CD SPEED failures are not logged
}

TEST_F(MmcTest, SetStreamingCarriesTheDescriptorLength) {
    auto& dev = Drive();
    Bytes descriptor(28, 0);
    descriptor[0] = 0x04;
    ASSERT_TRUE(dev.SetStreaming(descriptor));
    ASSERT_EQ(script.sent.size(), 1u);
    EXPECT_EQ(CdbOf(script.sent[0], 12), (Bytes{0xB6, 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x1C, 0}));
    EXPECT_EQ(script.sent[0].flags, 0x50);
    EXPECT_EQ(script.sent[0].dataLength, 28u);
    ASSERT_EQ(mmc.dataOut.size(), 1u);
    EXPECT_EQ(mmc.dataOut[0], descriptor);
}

TEST_F(MmcTest, ReadBufferCapacityFillsBothSizes) {
    auto& dev = Drive();
    const struct {
        const char* name;
        std::optional<Bytes> reply;
        bool result;
        std::uint32_t size, free;
    } kCases[] = {
        {"half full", Bytes{0, 10, 0, 0, 0x00, 0x13, 0x18, 0x00, 0x00, 0x09, 0x8C, 0x00}, true, 0x131800,
         0x098C00},
        {"free unknown", Bytes{0, 10, 0, 0, 0x00, 0x18, 0x80, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}, true, 0x188000,
         0x188000},
        {"refused: the size stays, nothing free", std::nullopt, false, 0x188000, 0},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        script.sent.clear();
        script.command = [&c](SrbExecuteScsi& srb) {
            if (c.reply)
                Answer(srb, *c.reply);
            else
                Fail(srb, 0x04, 0x00, 0x02, Sense(0x05, 0x20, 0x00));
        };
        EXPECT_EQ(dev.ReadBufferCapacity(), c.result);
        EXPECT_EQ(dev.DeviceBufferSize, c.size);
        EXPECT_EQ(dev.DeviceFreeBufferSize, c.free);
        ASSERT_EQ(script.sent.size(), 1u);
        EXPECT_EQ(CdbOf(script.sent[0], 10), (Bytes{0x5C, 0, 0, 0, 0, 0, 0, 0, 32, 0}));
        EXPECT_EQ(script.sent[0].flags, 0x48);
        EXPECT_EQ(script.sent[0].dataLength, 32u);
    }
    EXPECT_TRUE(sink.lines.empty());
}

} // namespace
} // namespace lorvane::drive
