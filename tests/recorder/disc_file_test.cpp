#include "recorder/disc_file.h"

#include "recorder_test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <vector>

namespace lorvane::recorder {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(DiscFile, SectorsLandAtTheirLbaAndUnwrittenOnesReadAsZeros) {
    testsupport::ScratchFolder scratch;
    DiscFile disc(scratch.File("disc.img"));
    EXPECT_EQ(disc.Size(), 0u);

    Bytes sector(kSectorSize, 0x5A);
    ASSERT_TRUE(disc.Write(16, sector));
    EXPECT_EQ(disc.Size(), 17u * kSectorSize);

    Bytes back(3 * kSectorSize, 0xEE);
    ASSERT_TRUE(disc.Read(15, back)); // 15 unwritten, 16 written, 17 past the end
    for (std::size_t i = 0; i < back.size(); ++i)
        ASSERT_EQ(back[i], i / kSectorSize == 1 ? 0x5A : 0x00) << "byte " << i;

    // A plain reader sees the same bytes at LBA x 2048: the file is a disc image.
    std::ifstream plain(scratch.File("disc.img"), std::ios::binary);
    plain.seekg(16 * 2048);
    EXPECT_EQ(plain.get(), 0x5A);

    EXPECT_FALSE(disc.Write(0, Bytes(100)));
    EXPECT_FALSE(disc.Read(0, std::span<std::uint8_t>(back.data(), 100)));
    ASSERT_TRUE(disc.Truncate(0));
    EXPECT_EQ(disc.Size(), 0u);
}

TEST(DiscFile, ExistingContentIsKept) {
    testsupport::ScratchFolder scratch;
    {
        DiscFile disc(scratch.File("disc.img"));
        ASSERT_TRUE(disc.Write(0, Bytes(kSectorSize, 0x11)));
    }
    DiscFile again(scratch.File("disc.img"));
    Bytes back(kSectorSize);
    ASSERT_TRUE(again.Read(0, back));
    EXPECT_EQ(back, Bytes(kSectorSize, 0x11));
}

} // namespace
} // namespace lorvane::recorder
