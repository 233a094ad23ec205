// The 64-bit file streams: sizes and positions past 4 GiB, the open and create errors with their texts,
// short counts instead of exceptions for failed reads and writes.

#include "pipeline/stream_ex.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "pipeline/block_queue.h"

namespace lorvane::pipeline {
namespace {

class StreamEx : public ::testing::Test {
protected:
    void SetUp() override {
        std::string folder = (std::filesystem::path(::testing::TempDir()) / "lorvane_stream_XXXXXX").string();
        ASSERT_NE(::mkdtemp(folder.data()), nullptr);
        m_folder = folder;
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(m_folder, ignored);
    }
    std::string PathOf(const std::string& name) const { return (m_folder / name).string(); }
    std::string WriteFile(const std::string& name, const std::string& content) const {
        std::ofstream(PathOf(name), std::ios::binary) << content;
        return PathOf(name);
    }

private:
    std::filesystem::path m_folder;
};

TEST_F(StreamEx, AFileBeyondFourGiBHasItsExactSizeAndReadsToItsLastByte) {
    constexpr std::int64_t kSize = (std::int64_t{4} << 30) + 100000; // sparse: costs no disk
    const std::string path = PathOf("big.bin");
    {
        TFileStreamEx out(path, fmCreate);
        out.SetSize(kSize - 1);
        ASSERT_EQ(out.Write("\x5A", 1), 1); // the last byte, at an offset a 32-bit field cannot hold
    }
    TFileStreamEx in(path, kInputMode);
    EXPECT_EQ(in.Size(), kSize);
    // From three blocks before the end, reads of one cache block deliver every byte, then 0.
    const std::int64_t from = kSize - 3 * kCacheBlockBytes + 1234;
    ASSERT_EQ(in.Seek(from, soBeginning), from);
    std::vector<std::uint8_t> block(kCacheBlockBytes);
    std::int64_t total = 0;
    std::uint8_t last = 0;
    for (std::int32_t got; (got = in.Read(block.data(), kCacheBlockBytes)) > 0; total += got)
        last = block[static_cast<std::size_t>(got) - 1];
    EXPECT_EQ(total, kSize - from);
    EXPECT_EQ(last, 0x5A);
    EXPECT_EQ(in.Seek(0, soCurrent), kSize);
}

TEST_F(StreamEx, SizeLeavesThePositionWhereItWas) {
    TFileStreamEx in(WriteFile("ten", "0123456789"), kInputMode);
    char c = 0;
    ASSERT_EQ(in.Seek(6, soBeginning), 6);
    EXPECT_EQ(in.Size(), 10);
    ASSERT_EQ(in.Read(&c, 1), 1);
    EXPECT_EQ(c, '6');
    EXPECT_EQ(in.Seek(-2, soEnd), 8);
    EXPECT_EQ(in.Seek(1, soCurrent), 9);
}

TEST_F(StreamEx, AFileOpenForWritingElsewhereStillOpensForReading) {
    const std::string path = WriteFile("shared", "abc");
    const int writer = ::open(path.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(writer, 0);
    TFileStreamEx in(path, kInputMode);
    ASSERT_EQ(::write(writer, "de", 2), 2);
    char data[8] = {};
    EXPECT_EQ(in.Read(data, sizeof data), 5); // sees what the other writer added meanwhile
    EXPECT_STREQ(data, "abcde");
    ::close(writer);
}

TEST_F(StreamEx, CreatingOverAFileEmptiesIt) {
    const std::string path = WriteFile("old.iso", std::string(5000, 'x'));
    TFileStreamEx out(path, fmCreate);
    EXPECT_EQ(out.Size(), 0);
    EXPECT_EQ(out.Write("new", 3), 3);
    EXPECT_EQ(std::filesystem::file_size(path), 3u);
}

TEST_F(StreamEx, FailedOpensAndCreatesRaiseTheirTextsWithTheName) {
    const std::string missing = PathOf("no such file.bin");
    const std::string inMissingFolder = PathOf("gone/x.iso");
    std::filesystem::create_directories(PathOf("folder"));
    const struct {
        std::string path;
        std::uint16_t mode;
        std::string text;
        bool create;
    } kCases[] = {
        {missing, kInputMode, "CAN'T OPEN FILE \"" + missing + "\" OR FILE IS IN USES BY OTHER SOFTWARE",
         false},
        // A folder opens on Linux but holds no bytes to burn.
        {PathOf("folder"), kInputMode,
         "CAN'T OPEN FILE \"" + PathOf("folder") + "\" OR FILE IS IN USES BY OTHER SOFTWARE", false},
        {inMissingFolder, fmCreate, "CAN'T CREATE FILE \"" + inMissingFolder + "\"", true},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.path);
        try {
            TFileStreamEx stream(c.path, c.mode);
            ADD_FAILURE() << "opened";
        } catch (const EFOpenError& error) {
            EXPECT_FALSE(c.create);
            EXPECT_EQ(error.what(), c.text);
        } catch (const EFCreateError& error) {
            EXPECT_TRUE(c.create);
            EXPECT_EQ(error.what(), c.text);
        }
    }
}

TEST_F(StreamEx, FailedTransfersAreShortCountsAndNegativeCountsAreErrors) {
    const std::string path = WriteFile("data", "payload");
    TFileStreamEx readOnly(path, kInputMode);
    TFileStreamEx writeOnly(path, fmOpenWrite | fmShareDenyNone);
    char data[4] = {};
    EXPECT_EQ(readOnly.Write("zz", 2), 0);
    EXPECT_EQ(writeOnly.Read(data, 4), 0);
    EXPECT_THROW((void)readOnly.Read(data, -1), std::out_of_range);
    EXPECT_THROW((void)writeOnly.Write(data, -1), std::out_of_range);
    EXPECT_EQ(readOnly.Seek(-1, soBeginning), -1);
    EXPECT_THROW(readOnly.SetSize(1), EStreamError); // the handle may not change the file
    writeOnly.SetSize(3);
    EXPECT_EQ(std::filesystem::file_size(path), 3u);
}

} // namespace
} // namespace lorvane::pipeline
