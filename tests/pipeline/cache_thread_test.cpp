// The producers and their queue: what a consumer receives, block by block, from the compilation
// producer (structures, boot image, files in whole sectors, padding) and from the image producer, and
// how both end on a cancel or a failed source.

#include "pipeline/cache_thread.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <numeric>
#include <string>
#include <vector>

#include "pipeline/iso_burner_thread.h"
#include "pipeline/stream_ex.h"

namespace lorvane::pipeline {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr int kTwoMiB = 2097152; // the smallest cache: 32 blocks, at most 31 queued

Bytes Pattern(std::size_t size, std::uint8_t seed) {
    Bytes data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
    return data;
}

Bytes Sectored(Bytes data) {
    data.resize((data.size() + 2047) / 2048 * 2048, 0);
    return data;
}

void Append(Bytes& to, const Bytes& more) {
    to.insert(to.end(), more.begin(), more.end());
}

// Sources with nothing but the structure sectors.
CompilationSources StructureOnly(Bytes& structure) {
    CompilationSources sources;
    sources.structure = &structure;
    sources.bootImageOffset = structure.size();
    return sources;
}

struct Received {
    std::vector<std::int32_t> lengths;
    Bytes bytes;
};

// Takes blocks the way the writer does until GetBlock answers 0.
Received TakeAll(BlockQueue& queue) {
    const std::atomic<bool> never{false};
    Received received;
    Bytes block(kCacheBlockBytes);
    for (;;) {
        const std::int32_t n = queue.GetBlock(block.data());
        if (n == 0) return received;
        if (n == -1) {
            queue.WaitForBlock(never);
            continue;
        }
        received.lengths.push_back(n);
        received.bytes.insert(received.bytes.end(), block.begin(), block.begin() + n);
    }
}

class CacheThread : public ::testing::Test {
protected:
    void SetUp() override {
        std::string folder = (std::filesystem::path(::testing::TempDir()) / "lorvane_cache_XXXXXX").string();
        ASSERT_NE(::mkdtemp(folder.data()), nullptr);
        m_folder = folder;
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(m_folder, ignored);
    }
    std::string Write(const std::string& name, const Bytes& content) const {
        const std::string path = (m_folder / name).string();
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(content.data()),
                   static_cast<std::streamsize>(content.size()));
        return path;
    }
    std::string PathOf(const std::string& name) const { return (m_folder / name).string(); }

    Bytes structure;

private:
    std::filesystem::path m_folder;
};

TEST_F(CacheThread, QueuesStructuresBootImageAndFilesInWholeSectors) {
    const struct {
        const char* name;
        std::size_t structureBytes;
        std::size_t bootOffset;     // SIZE_MAX: no boot image
        std::size_t bootImageBytes; // its length
        std::vector<std::size_t> fileSizes;
        std::vector<std::int32_t> lengths; // the blocks, worked out by hand
    } kCases[] = {
        // 1 byte and 2048 take one sector each; 63488 fills the block's other 29 sectors and spills 2.
        {"small files share blocks", 40960, SIZE_MAX, 0, {1, 2048, 63488}, {40960, 63488, 4096}},
        // Structure chunks are exact; the last file's partial block is still queued.
        {"structure of more than a block",
         70 * 2048,
         SIZE_MAX,
         0,
         {63489},
         {63488, 63488, 8 * 2048, 63488, 2048}},
        {"a file of exactly one block", 2048, SIZE_MAX, 0, {63488}, {2048, 63488}},
        // The boot image goes between the structure sectors up to the catalog and the rest of them.
        {"boot image of 3000 bytes", 20 * 2048, 18 * 2048, 3000, {5000}, {18 * 2048, 4096, 2 * 2048, 6144}},
        {"boot image of two blocks",
         20 * 2048,
         19 * 2048,
         2 * 63488 + 1,
         {},
         {19 * 2048, 63488, 63488, 2048, 2048}},
        {"no files", 30 * 2048, SIZE_MAX, 0, {}, {30 * 2048}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        structure = Pattern(c.structureBytes, 1);
        Bytes expected(structure.begin(), structure.end());
        CompilationSources sources;
        sources.structure = &structure;
        sources.bootImageOffset = std::min(c.bootOffset, c.structureBytes);
        if (c.bootOffset != SIZE_MAX) {
            const Bytes boot = Pattern(c.bootImageBytes, 2);
            sources.bootImagePath = Write("boot.img", boot);
            sources.bootImageBytes = static_cast<std::int64_t>(boot.size());
            const Bytes sectored = Sectored(boot);
            expected.insert(expected.begin() + static_cast<std::ptrdiff_t>(c.bootOffset), sectored.begin(),
                            sectored.end());
        }
        std::uint8_t seed = 10;
        for (const std::size_t size : c.fileSizes) {
            const Bytes content = Pattern(size, seed);
            sources.files.push_back({Write("f" + std::to_string(seed++), content), std::int64_t(size)});
            Append(expected, Sectored(content));
        }
        TCacheThread producer(kTwoMiB, std::move(sources), std::int64_t(expected.size()), false);
        const Received received = TakeAll(producer);
        EXPECT_EQ(received.lengths, c.lengths);
        EXPECT_TRUE(received.bytes == expected);
        EXPECT_EQ(producer.ErrorText(), "");
        EXPECT_TRUE(structure.empty()); // released once queued
    }
}

TEST_F(CacheThread, PadsShortSessionsToThreeHundredSectorsOnlyWhenAsked) {
    const struct {
        std::int64_t sessionSectors;
        bool writePostGap;
        std::int64_t received;
    } kCases[] = {
        {100, true, 614400}, {100, false, 100 * 2048}, {300, true, 614400}, {301, true, 301 * 2048}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(::testing::Message() << c.sessionSectors << " sectors, post-gap " << c.writePostGap);
        structure = Pattern(static_cast<std::size_t>(c.sessionSectors * 2048), 3);
        const Bytes copy = structure;
        TCacheThread producer(kTwoMiB, StructureOnly(structure), c.sessionSectors * 2048, c.writePostGap);
        const Received received = TakeAll(producer);
        ASSERT_EQ(std::int64_t(received.bytes.size()), c.received);
        EXPECT_TRUE(std::equal(copy.begin(), copy.end(), received.bytes.begin()));
        EXPECT_TRUE(std::all_of(received.bytes.begin() + std::ptrdiff_t(copy.size()), received.bytes.end(),
                                [](std::uint8_t b) { return b == 0; }));
        for (const std::int32_t length : received.lengths) EXPECT_EQ(length % 2048, 0);
    }
}

TEST_F(CacheThread, AStructureLargerThanTheCacheWaitsPrimedWithTheQueueFull) {
    structure = Pattern(40 * std::size_t{kCacheBlockBytes}, 4);
    const Bytes copy = structure;
    TCacheThread producer(kTwoMiB, StructureOnly(structure), std::int64_t(copy.size()), false);
    ASSERT_TRUE(producer.WaitUntilPrimed());
    EXPECT_EQ(producer.QueueLength(), 31u); // MaxBlocks - 1
    EXPECT_EQ(producer.CachedBytes(), 31 * std::int64_t{kCacheBlockBytes});
    EXPECT_FALSE(producer.EndOfData());
    const Received received = TakeAll(producer);
    EXPECT_EQ(received.lengths.size(), 40u);
    EXPECT_TRUE(received.bytes == copy);
    EXPECT_EQ(producer.CachedBytes(), 0);
}

TEST_F(CacheThread, CancelWhileWaitingForRoomEmptiesTheQueueAndEndsTheData) {
    structure = Pattern(40 * std::size_t{kCacheBlockBytes}, 5);
    TCacheThread producer(kTwoMiB, StructureOnly(structure), 40 * std::int64_t{kCacheBlockBytes}, false);
    ASSERT_TRUE(producer.WaitUntilPrimed());
    producer.Cancel();
    const std::atomic<bool> never{false};
    while (!producer.EndOfData()) producer.WaitForBlock(never); // no sleep: the producer's end wakes it
    EXPECT_EQ(producer.QueueLength(), 0u);
    EXPECT_EQ(producer.CachedBytes(), 0);
    EXPECT_EQ(producer.ErrorText(), "OPERATION ABORTED BY USER");
    Bytes block(kCacheBlockBytes);
    EXPECT_EQ(producer.GetBlock(block.data()), 0);
    EXPECT_EQ(producer.GetBlock(block.data()), 0);
}

TEST_F(CacheThread, AFailedSourceEndsTheRunAfterTheBlocksBeforeIt) {
    const Bytes first = Pattern(100000, 6);
    const std::string gone = PathOf("deleted.bin");
    const std::string shrunk = Write("shrunk.bin", Pattern(3000, 7));
    const struct {
        std::string path;
        std::int64_t plannedSize;
        std::string text;
    } kCases[] = {
        {gone, 5000, CantOpenFileText(gone)},
        {shrunk, 5000, "FILE \"" + shrunk + "\" IS SHORTER THAN WHEN IT WAS ADDED"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.path);
        structure = Pattern(8 * 2048, 8);
        Bytes expected = structure;
        // The failing file's block is never queued: only the full block of the file before it comes.
        expected.insert(expected.end(), first.begin(), first.begin() + kCacheBlockBytes);
        CompilationSources sources = StructureOnly(structure);
        sources.files = {{Write("first.bin", first), std::int64_t(first.size())},
                         {c.path, c.plannedSize},
                         {Write("after.bin", Pattern(10, 9)), 10}};
        TCacheThread producer(kTwoMiB, std::move(sources), (8 + 49 + 3 + 1) * 2048, false);
        const Received received = TakeAll(producer);
        EXPECT_EQ(received.lengths, (std::vector<std::int32_t>{8 * 2048, kCacheBlockBytes}));
        EXPECT_TRUE(received.bytes == expected);
        EXPECT_EQ(producer.ErrorText(), c.text);
    }
}

TEST_F(CacheThread, TheImageProducerPadsTheLastBlockToAWholeSector) {
    const struct {
        std::size_t fileBytes;
        std::vector<std::int32_t> lengths;
    } kCases[] = {{70000, {63488, 8192}}, {2048, {2048}}, {2 * 63488, {63488, 63488}}, {1, {2048}}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.fileBytes);
        const Bytes image = Pattern(c.fileBytes, 11);
        const std::string path = Write("image.iso", image);
        TISOBurnerThread producer(kTwoMiB, std::int64_t(image.size()), path);
        const Received received = TakeAll(producer);
        EXPECT_EQ(received.lengths, c.lengths);
        EXPECT_TRUE(received.bytes == Sectored(image));
        EXPECT_EQ(producer.ErrorText(), "");
        EXPECT_TRUE(producer.EndOfData());
    }
}

TEST_F(CacheThread, TheImageProducerNamesAnImageItCannotReadInFull) {
    const std::string missing = PathOf("missing.iso");
    const std::string shrunk = Write("shrunk.iso", Pattern(100000, 12));
    const struct {
        std::string path;
        std::int64_t size;
        std::string text;
        std::size_t blocks; // delivered before the failure
    } kCases[] = {
        {missing, 4096, CantOpenFileText(missing), 0},
        {shrunk, 200000, "FILE \"" + shrunk + "\" IS SHORTER THAN WHEN IT WAS ADDED", 1},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.path);
        TISOBurnerThread producer(kTwoMiB, c.size, c.path);
        const Received received = TakeAll(producer);
        EXPECT_EQ(received.lengths.size(), c.blocks);
        EXPECT_EQ(producer.ErrorText(), c.text);
    }
}

} // namespace
} // namespace lorvane::pipeline
