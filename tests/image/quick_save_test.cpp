// The quick image save: the structure sectors, the boot image in its reserved sectors, and every file's
// bytes at the sector its directory record names, with zero-filled sector tails; and the failures that
// must stop the save instead of producing an image whose records point at the wrong data.

#include "image/orbel_burner.h"

#include "support/fake_clock.h"
#include "temp_tree.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace lorvane::image {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kSector = 2048;

// Bytes that differ from sector to sector and from file to file, so a misplaced block shows.
Bytes Pattern(std::size_t size, unsigned seed) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>((i * 7 + i / 2048 + seed * 31) % 251 + 1);
    return bytes;
}
void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}
Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}
bool Holds(const Bytes& image, std::size_t at, const Bytes& expected) {
    return at + expected.size() <= image.size() &&
           std::equal(expected.begin(), expected.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
}
bool AllZero(const Bytes& image, std::size_t from, std::size_t to) {
    return to <= image.size() && std::all_of(image.begin() + static_cast<std::ptrdiff_t>(from),
                                             image.begin() + static_cast<std::ptrdiff_t>(to),
                                             [](std::uint8_t b) { return b == 0; });
}

class QuickSave : public ::testing::Test {
protected:
    QuickSave() {
        burner.OnWriteDone = [this](TOrbelBurner* sender, const std::string& error) {
            EXPECT_EQ(sender, &burner);
            done.push_back(error);
        };
        burner.OnDebugMessage = [this](drive::TSCSIDevice*, const std::string& text, std::uint8_t type) {
            log.emplace_back(text, type);
        };
        burner.ISOFileName = "earlier.iso";
    }
    // A source file with its own pattern, added to the root under its file name.
    std::string Add(const std::string& name, std::size_t size, unsigned seed) {
        const std::string path = tree.Path(name);
        WriteFile(path, Pattern(size, seed));
        EXPECT_TRUE(
            burner.AddFileEntry(burner.Root, {name, "", attr::kArchive, size, 45000.0}, false, 0, path));
        return path;
    }
    // The text of the ImageWriteError the save must throw; OnWriteDone must stay silent.
    std::string SaveError() {
        try {
            burner.SaveToISO(image, true);
        } catch (const ImageWriteError& error) {
            EXPECT_TRUE(done.empty());
            EXPECT_EQ(burner.ISOFileName, "earlier.iso");
            return error.what();
        }
        ADD_FAILURE() << "the save did not fail";
        return {};
    }

    lorvane::testing::FakeClock clock;
    testing::TempTree tree;
    TOrbelBurner burner{clock};
    std::string image = tree.Path("out.iso");
    std::vector<std::string> done;
    std::vector<std::pair<std::string, std::uint8_t>> log;
};

TEST_F(QuickSave, EveryFileLandsAtItsExtentWithAZeroFilledTail) {
    struct Source {
        std::size_t size;
        std::uint32_t extent; // worked out from the sizes: each file starts on the next free sector
    };
    // Below and above 131072 bytes, so both the kernel copy and the buffered copy take part.
    constexpr Source kSources[] = {{1, 0},      {2048, 1},    {2049, 2},    {0, 0},
                                   {131072, 4}, {131073, 68}, {300000, 133}};
    for (unsigned i = 0; i < std::size(kSources); ++i)
        Add("f" + std::to_string(i) + ".bin", kSources[i].size, i);
    WriteFile(image, Bytes(1000000, 0xEE)); // an older, longer image is replaced
    ASSERT_TRUE(burner.PrepareImage(true)) << burner.ImageError;
    ASSERT_EQ(burner.FileDataSectors, 280);

    ASSERT_EQ(burner.SaveToISO(image, true), 1);
    EXPECT_EQ(done, std::vector<std::string>{""});
    EXPECT_EQ(burner.ISOFileName, "earlier.iso");
    const Bytes saved = ReadFile(image);
    ASSERT_EQ(saved.size(), (150 + 280) * kSector);
    EXPECT_TRUE(Holds(saved, 0, burner.StructureStream));
    for (unsigned i = 0; i < std::size(kSources); ++i) {
        const Source& s = kSources[i];
        SCOPED_TRACE(s.size);
        EXPECT_EQ(burner.Files()[i]->Extent, s.extent);
        if (s.size == 0) continue;
        const std::size_t at = 307200 + s.extent * kSector;
        EXPECT_TRUE(Holds(saved, at, Pattern(s.size, i)));
        EXPECT_TRUE(AllZero(saved, at + s.size, at + (s.size + kSector - 1) / kSector * kSector));
    }
}

TEST_F(QuickSave, TheBootImageSitsInItsSectorsAndThePaddingFollowsIt) {
    struct Case {
        std::size_t bootBytes;
        std::size_t firstFileSector;
    };
    // Joliet on: boot catalog at sector 26, boot image from 27; 3000 bytes end at 29, so 29-149 pad.
    constexpr Case kCases[] = {{3000, 150}, {1474560, 747}};
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.bootBytes);
        burner.ClearCompilation(10, 10);
        done.clear();
        const Bytes boot = Pattern(c.bootBytes, 7);
        WriteFile(tree.Path("boot.img"), boot);
        burner.BootImage = tree.Path("boot.img");
        burner.Bootable = true;
        Add("a.txt", 5, 3);
        ASSERT_TRUE(burner.PrepareImage(true)) << burner.ImageError;
        ASSERT_EQ(burner.SaveToISO(image, true), 1);
        EXPECT_EQ(done, std::vector<std::string>{""});

        const Bytes saved = ReadFile(image);
        const Bytes& s = burner.StructureStream;
        const std::size_t bootEnd = 27 * kSector + (c.bootBytes + kSector - 1) / kSector * kSector;
        ASSERT_EQ(saved.size(), (c.firstFileSector + 1) * kSector);
        EXPECT_TRUE(std::equal(s.begin(), s.begin() + 27 * kSector, saved.begin()));
        EXPECT_TRUE(Holds(saved, 27 * kSector, boot));
        EXPECT_TRUE(AllZero(saved, 27 * kSector + c.bootBytes, c.firstFileSector * kSector));
        EXPECT_TRUE(std::equal(s.begin() + 27 * kSector, s.end(),
                               saved.begin() + static_cast<std::ptrdiff_t>(bootEnd)));
        EXPECT_TRUE(Holds(saved, c.firstFileSector * kSector, Pattern(5, 3)));
    }
}

TEST_F(QuickSave, ASourceThatChangedAfterTheLayoutNeverShiftsTheImage) {
    struct Case {
        const char* name;
        std::size_t added;
        std::ptrdiff_t change; // bytes appended (positive) or cut (negative); 0: the file is deleted
        bool fails;
    };
    constexpr Case kCases[] = {
        {"deleted, small", 1000, 0, true},         {"deleted, large", 200000, 0, true},
        {"shrunk, small", 1000, -500, true},       {"shrunk, large", 200000, -50000, true},
        {"emptied, large", 200000, -200000, true}, {"grown, small", 5000, 3000, false},
        {"grown, large", 200000, 100000, false},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        burner.ClearCompilation(10, 10);
        done.clear();
        const std::string path = Add("changing.bin", c.added, 1);
        Add("next.bin", 10, 2);
        ASSERT_TRUE(burner.PrepareImage(true)) << burner.ImageError;
        if (c.change == 0)
            std::filesystem::remove(path);
        else
            WriteFile(path,
                      Pattern(static_cast<std::size_t>(static_cast<std::ptrdiff_t>(c.added) + c.change), 1));
        if (c.change == 0) {
            EXPECT_EQ(SaveError(), "CAN'T OPEN FILE \"" + path + "\" OR FILE IS IN USES BY OTHER SOFTWARE");
            continue;
        }
        if (c.fails) {
            EXPECT_NE(SaveError().find(path), std::string::npos);
            continue;
        }
        ASSERT_EQ(burner.SaveToISO(image, true), 1);
        const Bytes saved = ReadFile(image);
        const std::size_t sectors = (c.added + kSector - 1) / kSector;
        ASSERT_EQ(saved.size(), (150 + sectors + 1) * kSector);
        EXPECT_TRUE(Holds(saved, 307200, Pattern(c.added, 1)));
        EXPECT_TRUE(AllZero(saved, 307200 + c.added, 307200 + sectors * kSector));
        EXPECT_TRUE(Holds(saved, 307200 + sectors * kSector, Pattern(10, 2)));
    }
}

TEST_F(QuickSave, AnImageThatCannotBeCreatedIsRefused) {
    Add("a.txt", 5, 1);
    ASSERT_TRUE(burner.PrepareImage(true)) << burner.ImageError;
    image = tree.Path("no such folder/out.iso");
    EXPECT_EQ(SaveError(), "CAN'T CREATE FILE \"" + image + "\"");
}

TEST_F(QuickSave, ImportedFilesAreNeitherOpenedNorCopied) {
    // Its data stays in the earlier session; the source path names nothing on purpose.
    ASSERT_TRUE(burner.AddFileEntry(burner.Root, {"old.bin", "", attr::kArchive, 5000, 45000.0}, false, 1234,
                                    tree.Path("gone.bin")));
    Add("new.bin", 3000, 4);
    ASSERT_TRUE(burner.PrepareImage(true)) << burner.ImageError;
    ASSERT_EQ(burner.SaveToISO(image, true), 1);
    const Bytes saved = ReadFile(image);
    ASSERT_EQ(saved.size(), 152 * kSector);
    EXPECT_TRUE(Holds(saved, 307200, Pattern(3000, 4)));
    EXPECT_TRUE(log.empty()) << log.front().first;
}

TEST_F(QuickSave, DataThatWouldMissItsRecordedSectorFailsTheCopy) {
    const std::string path = Add("a.txt", 5, 1);
    ASSERT_TRUE(burner.PrepareImage(true)) << burner.ImageError;
    const int fd = ::open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    // Standing at sector 0 instead of 150: the bytes would land where no directory record points.
    try {
        burner.WriteFileData(fd);
        ADD_FAILURE() << "the copy went on";
    } catch (const ImageWriteError& error) {
        EXPECT_STREQ(error.what(), "INTERNAL ERROR 0004");
    }
    ::close(fd);
    EXPECT_EQ(log, (decltype(log){{">>> INTERNAL ERROR 0004 " + path + " 150<>0", 4}}));
}

} // namespace
} // namespace lorvane::image
