// The session layout and the generated structure sectors. Expected sectors and bytes are worked out by
// hand from ECMA-119 (descriptors at sector 16, path tables, directory extents whose records never cross
// a sector end), Joliet and El Torito, and from the file area starting no earlier than sector 150.

#include "image/orbel_burner.h"

#include "drive/drive_harness.h"
#include "temp_tree.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace lorvane::image {
namespace {

using Bytes = std::vector<std::uint8_t>;
using LogLine = std::pair<std::string, std::uint8_t>;
constexpr std::int64_t kSector = 2048;

std::uint32_t Le(const Bytes& b, std::size_t at, int width) {
    std::uint32_t v = 0;
    for (int i = width - 1; i >= 0; --i) v = v << 8 | b.at(at + static_cast<std::size_t>(i));
    return v;
}
std::uint32_t Be(const Bytes& b, std::size_t at, int width) {
    std::uint32_t v = 0;
    for (int i = 0; i < width; ++i) v = v << 8 | b.at(at + static_cast<std::size_t>(i));
    return v;
}
// A both-endian 32-bit field (ECMA-119 7.3.3): its halves must agree.
std::uint32_t Both32(const Bytes& b, std::size_t at) {
    EXPECT_EQ(Le(b, at, 4), Be(b, at + 4, 4)) << "both-endian field at " << at;
    return Le(b, at, 4);
}
std::string Text(const Bytes& b, std::size_t at, std::size_t length) {
    return {b.begin() + static_cast<std::ptrdiff_t>(at),
            b.begin() + static_cast<std::ptrdiff_t>(at + length)};
}
bool AllZero(const Bytes& b, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i)
        if (b.at(i) != 0) return false;
    return true;
}
// An ASCII name as Joliet writes it: UCS-2, high byte first.
std::string Ucs2(const std::string& ascii) {
    std::string out;
    for (const char c : ascii) out += {'\0', c};
    return out;
}

// One directory record (ECMA-119 9.1) read back from the stream.
struct Record {
    std::size_t length;
    std::uint32_t extent, size;
    std::uint8_t flags;
    std::string id;
    bool operator==(const Record&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Record& r) {
    return out << '{' << r.length << ' ' << r.extent << ' ' << r.size << ' ' << int(r.flags) << ' ' << r.id
               << '}';
}
Record RecordAt(const Bytes& s, std::size_t at) {
    return {s.at(at), Both32(s, at + 2), Both32(s, at + 10), s.at(at + 25), Text(s, at + 33, s.at(at + 32))};
}

// One path-table record (ECMA-119 9.4).
struct PathEntry {
    std::string id;
    std::uint32_t extent;
    std::uint32_t parent;
    bool operator==(const PathEntry&) const = default;
};
std::ostream& operator<<(std::ostream& out, const PathEntry& e) {
    return out << '{' << e.id << ' ' << e.extent << ' ' << e.parent << '}';
}
std::vector<PathEntry> PathTableAt(const Bytes& s, std::size_t at, std::int64_t size, bool big) {
    std::vector<PathEntry> entries;
    for (const std::size_t end = at + static_cast<std::size_t>(size); at < end;) {
        const std::size_t n = s.at(at);
        entries.push_back({Text(s, at + 8, n), big ? Be(s, at + 2, 4) : Le(s, at + 2, 4),
                           big ? Be(s, at + 6, 2) : Le(s, at + 6, 2)});
        at += 8 + n + n % 2;
    }
    return entries;
}

// Everything the stream must agree on with the layout: its length, the descriptors at their places
// and what they point to, both path-table copies, and the "." and ".." records of every directory.
void ExpectStreamMatchesLayout(const TOrbelBurner& b) {
    const auto AtByte = [&b](std::int64_t location) {
        return static_cast<std::size_t>(location - std::int64_t{b.SessionStart} * kSector);
    };
    const auto At = [&](std::int64_t sector) { return AtByte(sector * kSector); };
    const Bytes& s = b.StructureStream;
    ASSERT_EQ(static_cast<std::int64_t>(s.size()),
              b.FirstFileLocation - std::int64_t{b.SessionStart} * kSector - b.BootImageSize);
    EXPECT_TRUE(AllZero(s, 0, 16 * kSector));
    std::vector<std::pair<std::int64_t, std::uint8_t>> descriptors = {{b.PVDLocation, 1}};
    if (b.Bootable) descriptors.emplace_back(b.BootRecordLocation, 0);
    if (b.JolietFileSystem) descriptors.emplace_back(b.JolietSVDLocation, 2);
    descriptors.emplace_back(b.TerminatorLocation, 0xFF);
    for (const auto& [location, type] : descriptors) {
        SCOPED_TRACE(location / kSector);
        EXPECT_EQ(s.at(AtByte(location)), type);
        EXPECT_EQ(Text(s, AtByte(location) + 1, 6), std::string("CD001\x01"));
    }
    for (const bool joliet : {false, true}) {
        if (joliet && !b.JolietFileSystem) continue;
        SCOPED_TRACE(joliet ? "Joliet" : "ISO 9660");
        const std::size_t vd = AtByte(joliet ? b.JolietSVDLocation : b.PVDLocation);
        const std::int64_t tableSize = joliet ? b.JolietPathTableSize : b.PathTableSize;
        const std::int64_t tableL = joliet ? b.JolietPathTableL : b.PathTableL;
        const std::int64_t tableM = joliet ? b.JolietPathTableM : b.PathTableM;
        const std::uint32_t dirArea = static_cast<std::uint32_t>(
            (joliet ? b.JolietDirRecordsLocation : b.DirRecordsLocation) / kSector);
        EXPECT_EQ(Both32(s, vd + 80), b.SessionSectors);
        EXPECT_EQ(Both32(s, vd + 132), tableSize);
        EXPECT_EQ(Le(s, vd + 140, 4), tableL / kSector);
        EXPECT_EQ(Be(s, vd + 148, 4), tableM / kSector);
        const Record root = RecordAt(s, vd + 156);
        EXPECT_EQ(root.length, 34u);
        EXPECT_EQ(root.extent, dirArea);
        EXPECT_EQ(root.size, joliet ? b.Root->JolietSize : b.Root->ISOSize);
        EXPECT_EQ(Text(s, vd + 88, 3), joliet ? std::string("%/@") : std::string(3, '\0'));

        const auto& order = joliet ? b.JolietOrder : b.ISOOrder;
        const auto little = PathTableAt(s, AtByte(tableL), tableSize, false);
        EXPECT_EQ(little, PathTableAt(s, AtByte(tableM), tableSize, true));
        ASSERT_EQ(little.size(), order.size());
        std::map<const TDEntry*, std::uint32_t> position;
        for (std::size_t i = 0; i < order.size(); ++i) position[order[i]] = static_cast<std::uint32_t>(i + 1);
        for (std::size_t i = 0; i < order.size(); ++i) {
            EXPECT_EQ(little[i].extent, dirArea + (joliet ? order[i]->JolietExtent : order[i]->ISOExtent));
            EXPECT_EQ(little[i].parent, position[order[i]->Parent]);
            if (i > 0) {
                EXPECT_GE(little[i].parent, little[i - 1].parent) << "path table record " << i + 1;
            }
        }
        for (const auto& dir : b.Directories()) {
            const auto extent = [&](const TDEntry& d) {
                return dirArea + (joliet ? d.JolietExtent : d.ISOExtent);
            };
            const auto size = [&](const TDEntry& d) {
                return static_cast<std::uint32_t>(joliet ? d.JolietSize : d.ISOSize);
            };
            EXPECT_EQ(RecordAt(s, At(extent(*dir))), (Record{34, extent(*dir), size(*dir), 2, {'\0'}}));
            EXPECT_EQ(RecordAt(s, At(extent(*dir)) + 34),
                      (Record{34, extent(*dir->Parent), size(*dir->Parent), 2, {'\1'}}));
        }
    }
}

class Layout : public ::testing::Test {
protected:
    Layout() {
        burner.OnDebugMessage = [this](drive::TSCSIDevice*, const std::string& text, std::uint8_t type) {
            log.emplace_back(text, type);
        };
    }
    static DirectoryListing File(std::string name, std::uint64_t size = 0, std::string alias = {}) {
        return {std::move(name), std::move(alias), attr::kArchive, size, 45000.0};
    }
    void AddFile(TDEntry* dir, const std::string& name, std::uint64_t size = 0) {
        EXPECT_TRUE(burner.AddFileEntry(dir, File(name, size), false, 0, "/src/" + name)) << name;
    }
    TDEntry* AddFolder(TDEntry* parent, const std::string& name, const std::string& alias = {}) {
        TDEntry* dir = burner.AddDirectoryEntry(parent, {name, alias, attr::kDirectory, 0, 45000.0});
        EXPECT_NE(dir, nullptr) << name;
        return dir;
    }
    // Offset in StructureStream of an absolute sector before the boot image.
    std::size_t At(std::int64_t sector) const {
        return static_cast<std::size_t>((sector - burner.SessionStart) * kSector);
    }

    lorvane::testing::FakeClock clock;
    TOrbelBurner burner{clock};
    std::vector<LogLine> log;
};

TEST_F(Layout, AnEmptyImagePlacesEveryStructureAndPadsToSector150) {
    struct Case {
        const char* name;
        bool joliet;
        const char* bootImage; // names no file: the layout goes on without a boot image
        std::int64_t pvd, svd, terminator, tableL, tableM, jolietL, jolietM, jolietSize, dirs, jolietDirs,
            padSectors;
    };
    const Case kCases[] = {
        {"ISO 9660 only", false, "", 16, 0, 17, 18, 19, 20, 0, 0, 20, 0, 129},
        {"with Joliet", true, "", 16, 17, 18, 19, 20, 21, 22, 10, 23, 24, 125},
        {"missing boot image", false, "/nonexistent/boot.img", 16, 0, 17, 18, 19, 20, 0, 0, 20, 0, 129},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        burner.ClearCompilation(10, 10);
        burner.JolietFileSystem = c.joliet;
        burner.BootImage = c.bootImage;
        burner.Bootable = true;
        ASSERT_TRUE(burner.PrepareImage(true)) << burner.ImageError;
        EXPECT_FALSE(burner.Bootable);
        EXPECT_EQ(burner.SessionStart, 0u);
        const std::int64_t got[] = {
            burner.PVDLocation,      burner.JolietSVDLocation,  burner.TerminatorLocation,
            burner.PathTableL,       burner.PathTableM,         burner.JolietPathTableL,
            burner.JolietPathTableM, burner.DirRecordsLocation, burner.JolietDirRecordsLocation};
        const std::int64_t want[] = {c.pvd,     c.svd,     c.terminator, c.tableL,    c.tableM,
                                     c.jolietL, c.jolietM, c.dirs,       c.jolietDirs};
        for (std::size_t i = 0; i < std::size(got); ++i)
            EXPECT_EQ(got[i], want[i] * kSector) << "location " << i;
        EXPECT_EQ(burner.PathTableSize, 10);
        EXPECT_EQ(burner.JolietPathTableSize, c.jolietSize);
        EXPECT_EQ(burner.DirRecordsSize, 2048);
        EXPECT_EQ(burner.JolietDirRecordsSize, c.joliet ? 2048 : 0);
        EXPECT_EQ(burner.PadBytes, c.padSectors * kSector);
        EXPECT_EQ(burner.FirstFileLocation, 307200);
        EXPECT_EQ(burner.FileDataSectors, 0);
        EXPECT_EQ(burner.ImageEnd, 150);
        EXPECT_EQ(burner.SessionSectors, 150);
        ASSERT_EQ(burner.StructureStream.size(), 307200u);
        EXPECT_TRUE(AllZero(burner.StructureStream, At(150 - c.padSectors), 307200));
        // The root-only path table: 01 00, the extent, parent 1, a 00h identifier and its padding byte.
        const Bytes& s = burner.StructureStream;
        const auto d = static_cast<std::uint8_t>(c.dirs);
        EXPECT_EQ(Text(s, At(c.tableL), 10), Text({1, 0, d, 0, 0, 0, 1, 0, 0, 0}, 0, 10));
        EXPECT_EQ(Text(s, At(c.tableM), 10), Text({1, 0, 0, 0, 0, d, 0, 1, 0, 0}, 0, 10));
        ExpectStreamMatchesLayout(burner);
    }
}

TEST_F(Layout, TwoFilesFollowEachOtherFromSector150) {
    for (const bool joliet : {false, true}) {
        SCOPED_TRACE(joliet);
        burner.ClearCompilation(10, 10);
        burner.JolietFileSystem = joliet;
        AddFile(burner.Root, "a.txt", 1);
        AddFile(burner.Root, "b.txt", 4096);
        ASSERT_TRUE(burner.PrepareImage(true)) << burner.ImageError;
        EXPECT_EQ(burner.FirstFileLocation, 307200);
        EXPECT_EQ(burner.Files()[0]->Extent, 0u);
        EXPECT_EQ(burner.Files()[1]->Extent, 1u);
        EXPECT_EQ(burner.FileDataSectors, 3);
        EXPECT_EQ(burner.ImageEnd, 153);
        EXPECT_EQ(burner.SessionSectors, 153);
        EXPECT_EQ(burner.Root->ISOSize, 2048);
        ExpectStreamMatchesLayout(burner);

        // ISO root at sector 20 (23 with Joliet): ".", "..", then 40-byte records (33 + 7, odd: no pad).
        const Bytes& s = burner.StructureStream;
        const std::size_t iso = At(joliet ? 23 : 20);
        EXPECT_EQ(RecordAt(s, iso + 68), (Record{40, 150, 1, 0, "A.TXT;1"}));
        EXPECT_EQ(RecordAt(s, iso + 108), (Record{40, 151, 4096, 0, "B.TXT;1"}));
        EXPECT_TRUE(AllZero(s, iso + 148, iso + 2048));
        if (!joliet) continue;
        // Joliet root at 24: 48-byte records (33 + 14 + 1 padding byte).
        const std::size_t jroot = At(24);
        EXPECT_EQ(RecordAt(s, jroot + 68), (Record{48, 150, 1, 0, Ucs2("a.txt;1")}));
        EXPECT_EQ(RecordAt(s, jroot + 116), (Record{48, 151, 4096, 0, Ucs2("b.txt;1")}));
        EXPECT_TRUE(AllZero(s, jroot + 164, jroot + 2048));
    }
}

TEST_F(Layout, DirectoryRecordsNeverCrossASectorEnd) {
    const auto name = [](const char* format, int i) {
        char text[32];
        std::snprintf(text, sizeof text, format, i);
        return std::string(text);
    };
    struct Case {
        const char* name;
        int files;
        std::function<std::string(int)> identifier; // of the i-th file, without ";1"
        std::int64_t rootSize;
        int lastInFirstSector; // 1-based
    };
    const Case kCases[] = {
        // 68 + 45 x 44 = 2048: exactly full.
        {"exactly one sector", 45, [&](int i) { return name("F%04d.TXT", i); }, 2048, 45},
        // The 45th record is 46 bytes, 2 more than the first sector has left.
        {"one byte over", 45, [&](int i) { return name(i == 45 ? "F%05d.TXT" : "F%04d.TXT", i); }, 4096, 44},
        // 68 + 41 x 48 = 2036: the 42nd record opens sector 2; 41 + 3 x 42 < 200 needs a fifth sector.
        {"200 files of 8.3 names", 200, [&](int i) { return name("FILE%04d.TXT", i); }, 10240, 41},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        burner.ClearCompilation(1000, 10);
        burner.JolietFileSystem = false;
        for (int i = 1; i <= c.files; ++i) AddFile(burner.Root, c.identifier(i));
        ASSERT_TRUE(burner.PrepareImage(true)) << burner.ImageError;
        EXPECT_EQ(burner.Root->ISOSize, c.rootSize);
        EXPECT_EQ(burner.DirRecordsSize, c.rootSize);
        ExpectStreamMatchesLayout(burner);
        const Bytes& s = burner.StructureStream;
        const std::size_t root = At(20);
        std::size_t end = 68; // ECMA-119 9.1.12: 33 + identifier length, + 1 when that is even
        for (int i = 1; i <= c.lastInFirstSector; ++i) {
            const std::size_t n = c.identifier(i).size() + 2;
            end += 33 + n + (n + 1) % 2;
        }
        const std::string last = c.identifier(c.lastInFirstSector) + ";1";
        EXPECT_EQ(RecordAt(s, root + end - 33 - last.size() - (last.size() + 1) % 2).id, last);
        EXPECT_TRUE(AllZero(s, root + end, root + 2048));
        if (c.lastInFirstSector < c.files) {
            EXPECT_EQ(RecordAt(s, root + 2048).id, c.identifier(c.lastInFirstSector + 1) + ";1");
        }
    }
}

TEST_F(Layout, BootImageFollowsTheCatalogAndPaddingComesAfterIt) {
    struct Case {
        std::size_t bytes;
        std::int64_t imageSize, firstFileSector, padSectors, streamSectors;
        std::uint8_t mediaType;
    };
    // With Joliet: PVD 16, boot record 17, Joliet 18, terminator 19, path tables 20-23, roots 24 and 25,
    // catalog 26, boot image from 27.
    constexpr Case kCases[] = {{1474560, 1474560, 747, 0, 27, 2}, {3000, 4096, 150, 121, 148, 4}};
    lorvane::image::testing::TempTree tree;
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.bytes);
        burner.ClearCompilation(10, 10);
        std::ofstream(tree.Path("boot.img"), std::ios::binary) << std::string(c.bytes, 'b');
        burner.BootImage = tree.Path("boot.img");
        burner.Bootable = true;
        ASSERT_TRUE(burner.PrepareImage(true)) << burner.ImageError;
        ASSERT_TRUE(burner.Bootable);
        EXPECT_EQ(burner.BootRecordLocation, 17 * kSector);
        EXPECT_EQ(burner.BootCatalogLocation, 26 * kSector);
        EXPECT_EQ(burner.BootImageLocation, 27 * kSector);
        EXPECT_EQ(burner.BootImageSize, c.imageSize);
        EXPECT_EQ(burner.FirstFileLocation, c.firstFileSector * kSector);
        EXPECT_EQ(burner.PadBytes > 0 ? burner.PadBytes : 0, c.padSectors * kSector);
        EXPECT_EQ(burner.ImageEnd, c.firstFileSector);
        EXPECT_EQ(burner.BootImageStreamOffset(), At(27));
        ASSERT_EQ(burner.StructureStream.size(), static_cast<std::size_t>(c.streamSectors * kSector));
        ExpectStreamMatchesLayout(burner);
        const Bytes& s = burner.StructureStream;
        EXPECT_EQ(Text(s, At(17) + 7, 32), std::string("EL TORITO SPECIFICATION") + std::string(9, '\0'));
        EXPECT_EQ(Le(s, At(17) + 71, 4), 26u);
        const std::size_t catalog = At(26);
        EXPECT_EQ(Text(s, catalog, 12), Text({1, 0, 0, 0, 'L', 'o', 'r', 'v', 'a', 'n', 'e', 0}, 0, 12));
        EXPECT_EQ(Text(s, catalog + 30, 4), Text({0x55, 0xAA, 0x88, c.mediaType}, 0, 4));
        EXPECT_EQ(Le(s, catalog + 38, 2), 1u);
        EXPECT_EQ(Le(s, catalog + 40, 4), 27u);
        EXPECT_TRUE(AllZero(s, At(27), s.size())); // the padding
    }
}

TEST_F(Layout, PathTablesOfExactlyOneAndTwoSectorsTakeNoFiller) {
    struct Case {
        int eightCharacterNames;
        std::size_t lastNameLength;
        std::int64_t size, sectors;
    };
    // 10 (root) + 16 per 8-character name + 8 + n + n % 2 for the last one.
    constexpr Case kCases[] = {
        {126, 14, 2048, 1}, {126, 15, 2050, 2}, {254, 14, 4096, 2}, {254, 15, 4098, 3}};
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.size);
        burner.ClearCompilation(1000, 1000);
        burner.JolietFileSystem = false;
        for (int i = 1; i <= c.eightCharacterNames; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "DIR%05d", i);
            AddFolder(burner.Root, name);
        }
        const std::string last = std::string("LONGDIRECTORYNAME").substr(0, c.lastNameLength);
        AddFolder(burner.Root, last);
        ASSERT_TRUE(burner.PrepareImage(true)) << burner.ImageError;
        EXPECT_EQ(burner.PathTableSize, c.size);
        EXPECT_EQ(burner.PathTableL, 18 * kSector);
        EXPECT_EQ(burner.PathTableM, (18 + c.sectors) * kSector);
        EXPECT_EQ(burner.DirRecordsLocation, (18 + 2 * c.sectors) * kSector);
        ExpectStreamMatchesLayout(burner);
        const Bytes& s = burner.StructureStream;
        const std::size_t lastRecord =
            At(18) + static_cast<std::size_t>(c.size) - 8 - c.lastNameLength - c.lastNameLength % 2;
        EXPECT_EQ(Text(s, lastRecord + 8, c.lastNameLength), last);
        EXPECT_TRUE(AllZero(s, At(18) + static_cast<std::size_t>(c.size), At(18 + c.sectors)));
        EXPECT_EQ(s.at(At(18 + c.sectors)), 1); // the M copy's root record right after
    }
}

TEST_F(Layout, PathTablesOrderByLevelParentAndName) {
    // Created in this order, so the directory extents (creation order) differ from the table order.
    TDEntry* zeta = AddFolder(burner.Root, "zeta");
    TDEntry* alpha = AddFolder(burner.Root, "alpha");
    AddFolder(alpha, "b2");
    AddFolder(alpha, "a1");
    AddFolder(zeta, "c");
    AddFolder(AddFolder(burner.Root, "Beta"), "x");
    AddFolder(burner.Root, "mmm", "AAA");
    ASSERT_TRUE(burner.PrepareImage(true)) << burner.ImageError;
    EXPECT_EQ(burner.PathTableSize, 100);
    EXPECT_EQ(burner.JolietPathTableSize, 118);
    ASSERT_EQ(burner.DirRecordsLocation, 23 * kSector);
    ASSERT_EQ(burner.JolietDirRecordsLocation, 32 * kSector);
    ExpectStreamMatchesLayout(burner);
    // Extents in creation order from 23: root, ZETA, ALPHA, B2, A1, C, BETA, X, AAA.
    const std::vector<PathEntry> iso = {{std::string(1, '\0'), 23, 1},
                                        {"AAA", 31, 1},
                                        {"ALPHA", 25, 1},
                                        {"BETA", 29, 1},
                                        {"ZETA", 24, 1},
                                        {"A1", 27, 3},
                                        {"B2", 26, 3},
                                        {"X", 30, 4},
                                        {"C", 28, 5}};
    const Bytes& s = burner.StructureStream;
    EXPECT_EQ(PathTableAt(s, At(19), burner.PathTableSize, false), iso);
    // The numbering is shared by both tables, and the last passes order the Joliet table by the numbers
    // the ISO 9660 passes gave, so both tables list the directories in the same order.
    const std::vector<PathEntry> joliet = {
        {std::string(1, '\0'), 32, 1}, {Ucs2("mmm"), 40, 1},  {Ucs2("alpha"), 34, 1},
        {Ucs2("Beta"), 38, 1},         {Ucs2("zeta"), 33, 1}, {Ucs2("a1"), 36, 3},
        {Ucs2("b2"), 35, 3},           {Ucs2("x"), 39, 4},    {Ucs2("c"), 37, 5}};
    EXPECT_EQ(PathTableAt(s, At(22), burner.JolietPathTableSize, true), joliet);
    for (std::size_t i = 0; i < burner.ISOOrder.size(); ++i) {
        EXPECT_EQ(burner.ISOOrder[i]->Number, i + 1);
        EXPECT_EQ(burner.JolietOrder[i], burner.ISOOrder[i]);
    }
}

TEST_F(Layout, TenThousandDirectoriesSortByParentNumbersAboveFourDigits) {
    burner.ClearCompilation(20000, 20000);
    burner.JolietFileSystem = false;
    // Created backwards, with the sub-folders right after their parents, so that the sort has work.
    for (int i = 10000; i >= 0; --i) {
        char name[16];
        std::snprintf(name, sizeof name, "D%05d", i);
        TDEntry* dir = AddFolder(burner.Root, name);
        if (i == 10000 || i == 9999 || i == 5000 || i == 0) {
            AddFolder(dir, "S1");
            AddFolder(dir, "S0");
        }
    }
    ASSERT_TRUE(burner.PrepareImage(true)) << burner.ImageError;
    EXPECT_EQ(burner.PathTableSize, 10 + 10001 * 14 + 8 * 10);
    ExpectStreamMatchesLayout(burner);
    const auto table = PathTableAt(burner.StructureStream, At(18), burner.PathTableSize, false);
    ASSERT_EQ(table.size(), 10010u);
    EXPECT_EQ(table[10001].id, "D10000");
    // D00000 is number 2, D05000 5002, D09999 10001 and D10000 10002.
    const std::vector<std::pair<std::string, std::uint32_t>> tail = {
        {"S0", 2},     {"S1", 2},     {"S0", 5002},  {"S1", 5002},
        {"S0", 10001}, {"S1", 10001}, {"S0", 10002}, {"S1", 10002}};
    for (std::size_t i = 0; i < tail.size(); ++i)
        EXPECT_EQ(std::make_pair(table[10002 + i].id, table[10002 + i].parent), tail[i]) << i;
}

TEST_F(Layout, AValueOutgrowingItsFieldFailsThePreparation) {
    // A socket exists and is no folder, but cannot be opened for reading, whoever runs the test.
    lorvane::image::testing::TempTree tree;
    const std::string socketPath = tree.Path("boot.img");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
    const int socket = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    for (const bool boot : {false, true}) {
        burner.ClearCompilation(10, 10);
        burner.OnAddFile = [boot](TOrbelBurner*, const std::string&, std::string&, std::string& shortName,
                                  double&, std::uint32_t, std::int64_t, bool&) {
            if (!boot) shortName = std::string(246, 'N') + ".TXT"; // + ";1": 252 bytes, even: 33 + 252 + 1
        };
        AddFile(burner.Root, "a.txt", 10);
        burner.BootImage = boot ? socketPath : "";
        burner.Bootable = boot;
        const std::string error =
            boot ? "CAN'T OPEN FILE \"" + socketPath + "\" OR FILE IS IN USES BY OTHER SOFTWARE"
                 : "DIRECTORY RECORD LENGTH 286 ABOVE 255";
        log.clear();
        EXPECT_FALSE(burner.PrepareImage(true));
        EXPECT_EQ(burner.ImageError, error);
        EXPECT_TRUE(burner.StructureStream.empty());
        EXPECT_EQ(log, (std::vector<LogLine>{{">>> " + error, 0}}));
    }
    ::close(socket);
}

// ---- appending a session: the layout asks the drive for its next writable address ----

class AppendedLayout : public drive::drivetest::DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        script.devices[drive::drivetest::Address{0, 0, 0}] =
            drive::drivetest::InquiryReply(5, "LORVANE ", "VIRTUAL RECORDER", "1.00");
        script.command = [this](transport::SrbExecuteScsi& srb) { Reply(srb); };
        burner = std::make_unique<TOrbelBurner>(clock);
        burner->OnDebugMessage = [this](drive::TSCSIDevice*, const std::string& text, std::uint8_t type) {
            log.emplace_back(text, type);
        };
        burner->SetDevice("0:0:0,?: " + drive::drivetest::kIdentity);
        script.sent.clear();
    }
    void TearDown() override {
        burner.reset();
        DeviceTest::TearDown();
    }
    // A recorder holding a disc with one closed session (MMC: GET CONFIGURATION current profile,
    // READ TOC session info, READ TRACK INFORMATION's next writable address).
    void Reply(transport::SrbExecuteScsi& srb) {
        using drive::drivetest::Answer;
        switch (srb.cdb[0]) {
        case drive::op::kGetConfiguration:
            return Answer(srb, {0, 0, 0, 4, 0, 0, static_cast<std::uint8_t>(profile >> 8),
                                static_cast<std::uint8_t>(profile)});
        case drive::op::kReadTocPmaAtip:
            if ((srb.cdb[2] & 0x0F) == 1) return Answer(srb, {0, 10, 1, 1, 0, 0x14, 1, 0, 0, 0, 0, 0});
            break;
        case drive::op::kReadTrackInformation: {
            if (!answersTrackInformation)
                return drive::drivetest::Fail(srb, 0x04, 0, 0x02, drive::drivetest::Sense(0x05, 0x24, 0x00));
            Bytes reply(36, 0);
            reply[1] = 34;
            reply[2] = srb.cdb[5];
            for (int i = 0; i < 4; ++i)
                reply[12 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(nwa >> (24 - 8 * i));
            return Answer(srb, reply);
        }
        default: break;
        }
        srb.header.status = 1;
    }
    void AddFiles(const std::string& source) {
        ASSERT_TRUE(
            burner->AddFileEntry(burner->Root, {"a.txt", "", attr::kArchive, 1, 45000.0}, false, 0, source));
        // A file of the earlier session: its data stays at sector 300.
        ASSERT_TRUE(burner->AddFileEntry(burner->Root, {"old.bin", "", attr::kArchive, 5000, 45000.0}, false,
                                         300, ""));
    }

    std::unique_ptr<TOrbelBurner> burner;
    std::vector<LogLine> log;
    std::uint16_t profile = 0x0009; // CD-R
    std::uint32_t nwa = 0;
    bool answersTrackInformation = true;
};

TEST_F(AppendedLayout, TheSessionStartsAtTheNextWritableAddressOfACd) {
    struct Case {
        const char* name;
        std::uint16_t profile;
        std::uint32_t nwa;
        bool asksTrack;
        std::uint32_t start;
    };
    constexpr Case kCases[] = {
        {"CD-R", 0x0009, 20000, true, 20000}, {"CD-RW", 0x000A, 31234, true, 31234},
        {"DVD-R", 0x0011, 5000, false, 0},    {"DVD+R", 0x001B, 5000, false, 0},
        {"DVD+RW", 0x001A, 5000, false, 0},   {"CD-R, address above FF000000h", 0x0009, 0xFF000001, true, 0},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        profile = c.profile;
        nwa = c.nwa;
        burner->ClearCompilation(10, 10);
        AddFiles("/src/a.txt");
        script.sent.clear();
        log.clear();
        if (c.start == 0) {
            // Sector 0 is where the earlier session's data lies: the imported file would be overwritten.
            EXPECT_FALSE(burner->PrepareImage(false));
            EXPECT_EQ(burner->ImageError, image::kImportedDataOverwrittenMessage);
            EXPECT_EQ(burner->SessionStart, 0u);
            continue;
        }
        ASSERT_TRUE(burner->PrepareImage(false)) << burner->ImageError;
        const auto track = script.SentWith(drive::op::kReadTrackInformation);
        ASSERT_EQ(track.size(), c.asksTrack ? 1u : 0u);
        if (c.asksTrack) {
            EXPECT_EQ(drive::drivetest::CdbOf(track[0], 6), (Bytes{0x52, 0x01, 0, 0, 0, 2}));
        }
        EXPECT_EQ(burner->SessionStart, c.start);
        const std::int64_t n = c.start;
        // Joliet is on: descriptors N+16 to N+18, path tables N+19 to N+22, roots N+23 and N+24.
        EXPECT_EQ(burner->PVDLocation, (n + 16) * kSector);
        EXPECT_EQ(burner->TerminatorLocation, (n + 18) * kSector);
        EXPECT_EQ(burner->PathTableL, (n + 19) * kSector);
        EXPECT_EQ(burner->DirRecordsLocation, (n + 23) * kSector);
        EXPECT_EQ(burner->JolietDirRecordsLocation, (n + 24) * kSector);
        const std::int64_t firstFile = n == 0 ? 150 : n + 25;
        EXPECT_EQ(burner->FirstFileLocation, firstFile * kSector);
        EXPECT_EQ(burner->FileDataSectors, 1); // the imported file is not written again
        EXPECT_EQ(burner->ImageEnd, firstFile + 1);
        EXPECT_EQ(burner->SessionSectors, firstFile + 1 - n);
        ASSERT_EQ(burner->StructureStream.size(), static_cast<std::size_t>((firstFile - n) * kSector));
        ExpectStreamMatchesLayout(*burner);
        const Bytes& s = burner->StructureStream;
        EXPECT_EQ(Le(s, 16 * kSector + 140, 4), n + 19);
        EXPECT_EQ(Both32(s, 16 * kSector + 156 + 2), n + 23);
        EXPECT_EQ(Le(s, 19 * kSector + 2, 4), n + 23); // the path table's root record
        for (const auto& [dir, fileRecord, oldRecord] : {std::tuple{23, 68, 108}, std::tuple{24, 68, 116}}) {
            const auto at = [&](int offset) { return static_cast<std::size_t>(dir * kSector + offset); };
            EXPECT_EQ(RecordAt(s, at(0)).extent, n + dir);
            EXPECT_EQ(RecordAt(s, at(fileRecord)).extent, firstFile);
            EXPECT_EQ(RecordAt(s, at(oldRecord)).extent, 300u);
            EXPECT_EQ(RecordAt(s, at(oldRecord)).size, 5000u);
        }
        for (const LogLine& line : log) EXPECT_EQ(line.first.find("NEXT WRITABLE"), std::string::npos);
    }
}

TEST_F(AppendedLayout, ADriveWithoutAnAddressLaysOutFromSectorZero) {
    answersTrackInformation = false;
    AddFiles("/src/a.txt");
    EXPECT_FALSE(burner->PrepareImage(false)); // sector 0 would overwrite the imported file
    burner->ClearCompilation(10, 10);
    log.clear();
    ASSERT_TRUE(
        burner->AddFileEntry(burner->Root, {"a.txt", "", attr::kArchive, 1, 45000.0}, false, 0, "/src/a"));
    ASSERT_TRUE(burner->PrepareImage(false)) << burner->ImageError;
    EXPECT_NE(std::find(log.begin(), log.end(), LogLine{">>> ERROR GETTING NEXT WRITABLE ADDRESS", 0}),
              log.end());
    EXPECT_EQ(burner->SessionStart, 0u);
    EXPECT_EQ(burner->PVDLocation, 32768);
    EXPECT_EQ(burner->FirstFileLocation, 307200);
    EXPECT_EQ(burner->SessionSectors, 151);
}

TEST_F(AppendedLayout, AnAppendedSessionSavesFromItsFirstSector) {
    lorvane::image::testing::TempTree tree;
    std::ofstream(tree.Path("a.txt"), std::ios::binary) << 'A';
    nwa = 20000;
    AddFiles(tree.Path("a.txt"));
    ASSERT_TRUE(burner->PrepareImage(false)) << burner->ImageError;
    ASSERT_EQ(burner->SaveToISO(tree.Path("session.iso"), true), 1);
    std::ifstream in(tree.Path("session.iso"), std::ios::binary);
    const Bytes saved{std::istreambuf_iterator<char>(in), {}};
    // Sectors 20000 to 20025 of the disc: the structures, then the one new file at 20025.
    ASSERT_EQ(saved.size(), 26u * kSector);
    EXPECT_TRUE(std::equal(burner->StructureStream.begin(), burner->StructureStream.end(), saved.begin()));
    EXPECT_EQ(saved[25 * kSector], 'A');
    EXPECT_TRUE(AllZero(saved, 25 * kSector + 1, saved.size()));
}

} // namespace
} // namespace lorvane::image
