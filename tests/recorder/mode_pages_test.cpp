#include "recorder/mode_pages.h"

#include "media_test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace lorvane::recorder {
namespace {

using namespace testsupport;
using Sense = std::tuple<int, int, int>;

class ModePagesTest : public DiscFixture {
public:
    Reply ModeSense(std::uint8_t flags, std::uint8_t page, std::uint16_t allocation = 512) {
        return In({0x5A, flags, page, 0, 0, 0, 0, B(allocation, 1), B(allocation, 0), 0}, 512);
    }
};

// Mode parameter header (10): data length, medium type, device-specific, block descriptor length 0;
// then page 05h as a drive starts with on CD: track at once, mode 1 data, audio pause 150.
const Bytes kCdDefaultPage = [] {
    Bytes b = {0x00, 0x3A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x32, 0x01, 0x04,
               0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x96};
    b.resize(60, 0x00);
    return b;
}();

TEST_F(ModePagesTest, WriteParametersPageForEachPageControl) {
    Insert(MediumKind::CdR);
    EXPECT_EQ(Slice(ModeSense(0x08, 0x05).data, 0, 60), kCdDefaultPage);
    EXPECT_EQ(Slice(ModeSense(0x08, 0x85).data, 8, 52), Slice(kCdDefaultPage, 8, 52)) << "default values";
    const Bytes changeable = {0x05, 0x32, 0x7F, 0xFF, 0x0F, 0xFF, 0x00, 0x3F, 0xFF, 0x00, 0xFF, 0xFF};
    EXPECT_EQ(Slice(ModeSense(0x08, 0x45).data, 8, 12), changeable);
    EXPECT_EQ(ModeSense(0x08, 0xC5).Sense(), Sense(5, 0x39, 0)) << "saved values";
    EXPECT_EQ(ModeSense(0x08, 0x1A).Sense(), Sense(5, 0x24, 0)) << "no such page";
    EXPECT_EQ(Slice(ModeSense(0x08, 0x05, 10).data, 0, 12),
              (Bytes{0x00, 0x3A, 0, 0, 0, 0, 0, 0, 0x05, 0x32, 0xEE, 0xEE}))
        << "cut to the allocation length";

    CdTrackAtOnce(true);
    EXPECT_EQ(Slice(ModeSense(0x08, 0x05).data, 8, 6), (Bytes{0x05, 0x32, 0x41, 0xC4, 0x08, 0x00}));
    EXPECT_EQ(Slice(ModeSense(0x08, 0x85).data, 8, 6), Slice(kCdDefaultPage, 8, 6)) << "defaults unchanged";
}

TEST_F(ModePagesTest, DvdMinusRStartsInIncrementalRecording) {
    Insert(MediumKind::DvdR);
    // LS_V + packet, FP + track mode 5, mode 1 blocks, link size 16, packet size 16.
    EXPECT_EQ(Slice(ModeSense(0x08, 0x05).data, 8, 14),
              (Bytes{0x05, 0x32, 0x20, 0x25, 0x08, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10}));
}

TEST_F(ModePagesTest, AllPagesAndTheBlockDescriptor) {
    Insert(MediumKind::CdR);
    const Reply all = ModeSense(0x08, 0x3F);
    EXPECT_EQ(all.data[8], 0x05);
    EXPECT_EQ(all.data[60], 0x2A) << "page 2Ah follows page 05h";
    const std::size_t length = (all.data[0] << 8 | all.data[1]) + 2u;
    const std::size_t underrunAt = 60u + 2u + all.data[61];
    EXPECT_EQ(Slice(all.data, underrunAt, 4), (Bytes{0x30, 0x02, 0x01, 0x00})) << "then the vendor page 30h";
    EXPECT_EQ(length, underrunAt + 4);

    drive->SetModeSenseBlockDescriptor(true);
    // Block descriptor: density 0, 359849 blocks (05 7D A9), block length 2048.
    EXPECT_EQ(Slice(ModeSense(0x00, 0x05).data, 0, 18),
              (Bytes{0x00, 0x42, 0, 0, 0, 0, 0x00, 0x08, 0x00, 0x05, 0x7D, 0xA9, 0x00, 0x00, 0x08, 0x00, 0x05,
                     0x32}));
    EXPECT_EQ(Slice(ModeSense(0x08, 0x05).data, 0, 10), Slice(kCdDefaultPage, 0, 10)) << "DBD set";
}

TEST_F(ModePagesTest, ModeSelectChecksTheWriteParametersAgainstTheMedium) {
    struct Case {
        const char* what;
        MediumKind kind;
        std::uint8_t writeFlags, trackFlags, linkSize, blockType;
        Sense sense;
    };
    const Sense bad{5, 0x26, 0};
    const Case cases[] = {
        {"CD track at once, next session allowed", MediumKind::CdR, 0x41, 0xC4, 0, 8, kGood},
        {"CD test write", MediumKind::CdRw, 0x51, 0x04, 0, 8, kGood},
        {"CD mode 2 form 1", MediumKind::CdR, 0x01, 0x04, 0, 10, kGood},
        {"reserved multi-session 10b", MediumKind::CdR, 0x41, 0x84, 0, 8, bad},
        {"CD packet writing", MediumKind::CdR, 0x40, 0x04, 0, 8, bad},
        {"CD raw", MediumKind::CdR, 0x03, 0x04, 0, 8, bad},
        {"CD raw block type", MediumKind::CdR, 0x01, 0x04, 0, 0, bad},
        {"audio track mode for data blocks", MediumKind::CdR, 0x01, 0x00, 0, 8, bad},
        {"DVD-R disc at once", MediumKind::DvdR, 0x42, 0x05, 0, 8, kGood},
        {"DVD-R incremental, link 16", MediumKind::DvdR, 0x20, 0x05, 16, 8, kGood},
        {"DVD-R link size 8", MediumKind::DvdR, 0x20, 0x05, 8, 8, bad},
        {"DVD-R track at once", MediumKind::DvdR, 0x01, 0x05, 0, 8, bad},
        {"DVD-RW layer jump", MediumKind::DvdRw, 0x04, 0x05, 0, 8, bad},
        {"DVD+R takes the page and ignores it", MediumKind::DvdPlusR, 0x62, 0x04, 16, 8, kGood},
        {"DVD+R cannot simulate", MediumKind::DvdPlusR, 0x72, 0x04, 16, 8, bad},
        {"DVD+RW track at once is ignored", MediumKind::DvdPlusRw, 0x41, 0x04, 0, 8, kGood},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fresh(c.kind);
        const Bytes before = Slice(ModeSense(0x08, 0x05).data, 8, 52);
        EXPECT_EQ(WriteParameters(c.writeFlags, c.trackFlags, c.linkSize, c.blockType).Sense(), c.sense);
        const Bytes after = Slice(ModeSense(0x08, 0x05).data, 8, 52);
        if (c.sense == kGood) {
            EXPECT_EQ(Slice(after, 2, 4), (Bytes{c.writeFlags, c.trackFlags, c.blockType, c.linkSize}))
                << "taken";
        } else {
            EXPECT_EQ(after, before) << "left as it was";
        }
    }
}

TEST_F(ModePagesTest, ModeSelectRefusesMalformedParameterLists) {
    Insert(MediumKind::CdR);
    const auto list = [] {
        Bytes b(60, 0);
        b[8] = 0x05;
        b[9] = 0x32;
        b[10] = 0x41;
        b[11] = 0x04;
        b[12] = 0x08;
        return b;
    };
    struct Case {
        const char* what;
        std::function<Reply(ModePagesTest&)> send;
        Sense sense;
    };
    const Case cases[] = {
        {"page length 30h",
         [&](auto& t) {
             Bytes b = list();
             b[9] = 0x30;
             return t.Out({0x55, 0x10, 0, 0, 0, 0, 0, 0, 60, 0}, b);
         },
         {5, 0x26, 0}},
        {"page cut short",
         [&](auto& t) {
             return t.Out({0x55, 0x10, 0, 0, 0, 0, 0, 0, 20, 0}, list());
         },
         {5, 0x26, 0}},
        {"page 2Ah is not changeable",
         [&](auto& t) {
             Bytes b = list();
             b[8] = 0x2A;
             return t.Out({0x55, 0x10, 0, 0, 0, 0, 0, 0, 60, 0}, b);
         },
         {5, 0x26, 0}},
        {"less data than the CDB announces",
         [&](auto& t) {
             return t.Out({0x55, 0x10, 0, 0, 0, 0, 0, 0, 60, 0}, Slice(list(), 0, 40));
         },
         {5, 0x26, 0}},
        {"no page format bit",
         [&](auto& t) {
             return t.Out({0x55, 0x00, 0, 0, 0, 0, 0, 0, 60, 0}, list());
         },
         {5, 0x24, 0}},
        {"save pages",
         [&](auto& t) {
             return t.Out({0x55, 0x11, 0, 0, 0, 0, 0, 0, 60, 0}, list());
         },
         {5, 0x24, 0}},
        {"block descriptor for 512-byte blocks",
         [&](auto& t) {
             Bytes b = list();
             b[7] = 8;
             b.insert(b.begin() + 8, {0, 0, 0, 0, 0, 0x00, 0x02, 0x00});
             return t.Out({0x55, 0x10, 0, 0, 0, 0, 0, 0, 68, 0}, b);
         },
         {5, 0x26, 0}},
        {"block descriptor for 2048-byte blocks",
         [&](auto& t) {
             Bytes b = list();
             b[7] = 8;
             b.insert(b.begin() + 8, {0, 0, 0, 0, 0, 0x00, 0x08, 0x00});
             return t.Out({0x55, 0x10, 0, 0, 0, 0, 0, 0, 68, 0}, b);
         },
         kGood},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.send(*this).Sense(), c.sense);
    }
}

TEST_F(ModePagesTest, ADriveThatCannotSimulateRefusesTheTestWriteBit) {
    DriveIdentity identity;
    identity.model.testWrite = false;
    drive = &recorder.AddDrive(identity, scratch.File("second.img"));
    drive->SetReportMediumChange(false);
    Insert(MediumKind::CdR);
    EXPECT_EQ(WriteParameters(0x51, 0x04).Sense(), Sense(5, 0x26, 0));
    EXPECT_TRUE(WriteParameters(0x41, 0x04).Good());
}

TEST_F(ModePagesTest, OnlyADriveWithUnderrunProtectionHasTheVendorPage) {
    EXPECT_EQ(Slice(ModeSense(0x08, 0x30).data, 0, 12),
              (Bytes{0x00, 0x0A, 0, 0, 0, 0, 0, 0, 0x30, 0x02, 0x01, 0x00}));
    DriveIdentity identity;
    identity.model.underrunProtection = false;
    drive = &recorder.AddDrive(identity, scratch.File("second.img"));
    EXPECT_EQ(ModeSense(0x08, 0x30).Sense(), Sense(5, 0x24, 0));
}

TEST_F(ModePagesTest, ADriveWithoutDefaultValuesRefusesThemForEveryPage) {
    DriveIdentity identity;
    identity.model.modeSenseDefaultValues = false;
    drive = &recorder.AddDrive(identity, scratch.File("second.img"));
    for (const std::uint8_t page : {std::uint8_t{0x05}, std::uint8_t{0x2A}, std::uint8_t{0x3F}}) {
        SCOPED_TRACE(int{page});
        EXPECT_EQ(ModeSense(0x08, static_cast<std::uint8_t>(0x80 | page)).Sense(), Sense(5, 0x24, 0));
        EXPECT_TRUE(ModeSense(0x08, page).Good()) << "current values";
    }
}

TEST_F(ModePagesTest, ModeSenseWorksWithoutADisc) {
    EXPECT_EQ(Slice(ModeSense(0x08, 0x05).data, 0, 60), kCdDefaultPage);
    EXPECT_EQ(ModeSense(0x08, 0x2A).data[8], 0x2A);
}

} // namespace
} // namespace lorvane::recorder
