// Reading sessions back into the tree and copying their files out: images written by xorriso and
// sessions written sector by sector, presented by the virtual recorder as pressed discs.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "image/enumeration.h"
#include "image/orbel_burner.h"
#include "peers/peer_tools.h"
#include "pipeline/burn_fixture.h"

namespace lorvane::image {
namespace {

namespace fs = std::filesystem;
using pipeline::testing::Bytes;
using pipeline::testing::PatternBytes;
using pipeline::testing::ReadFileBytes;
using recorder::MediumKind;

constexpr std::size_t kSector = 2048;
constexpr std::uint8_t kRead10 = 0x28;

// ---------------------------------------------------------------------------------------------------
// Sessions written by hand. Offsets from ECMA-119 8.4 (volume descriptors) and 9.1 (directory records),
// counted from 0.

using Date = std::array<std::uint8_t, 7>; // years since 1900, month, day, hour, minute, second, GMT offset
constexpr Date kDate = {104, 6, 15, 10, 20, 30, 0}; // 2004-06-15 10:20:30

void PutLe32(Bytes& out, std::size_t at, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void PutBe32(Bytes& out, std::size_t at, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(v >> (8 * (3 - i)));
}
void PutBoth32(Bytes& out, std::size_t at, std::uint32_t v) {
    PutLe32(out, at, v);
    PutBe32(out, at + 4, v);
}

Bytes Ascii(const std::string& text) {
    return Bytes(text.begin(), text.end());
}
Bytes Ucs2(const std::u16string& text) {
    Bytes out;
    for (const char16_t c : text) {
        out.push_back(static_cast<std::uint8_t>(c >> 8));
        out.push_back(static_cast<std::uint8_t>(c & 0xFF));
    }
    return out;
}

constexpr std::uint8_t kFile = 0x00, kHiddenFlag = 0x01, kDirFlag = 0x02;

// One directory record: 33 fixed bytes, the identifier, a pad byte after an even-length identifier,
// then the system use bytes; the whole record padded to an even length.
Bytes Record(std::uint32_t extent, std::uint32_t size, std::uint8_t flags, const Bytes& identifier,
             const Bytes& systemUse = {}, const Date& date = kDate) {
    std::size_t length = 33 + identifier.size() + (identifier.size() % 2 == 0 ? 1 : 0) + systemUse.size();
    length += length % 2;
    Bytes r(length, 0);
    r[0] = static_cast<std::uint8_t>(length);
    PutBoth32(r, 2, extent);
    PutBoth32(r, 10, size);
    std::copy(date.begin(), date.end(), r.begin() + 18);
    r[25] = flags;
    r[28] = 1; // volume sequence number 1, both-byte
    r[31] = 1;
    r[32] = static_cast<std::uint8_t>(identifier.size());
    std::copy(identifier.begin(), identifier.end(), r.begin() + 33);
    std::copy(systemUse.begin(), systemUse.end(),
              r.begin() + static_cast<std::ptrdiff_t>(33 + identifier.size() + (identifier.size() % 2 == 0)));
    return r;
}
Bytes Self(std::uint32_t extent, std::uint32_t size = kSector, const Bytes& systemUse = {}) {
    return Record(extent, size, kDirFlag, {0x00}, systemUse);
}
Bytes Parent(std::uint32_t extent, std::uint32_t size = kSector) {
    return Record(extent, size, kDirFlag, {0x01});
}

// A pressed disc's sectors, written by hand.
class HandImage {
public:
    explicit HandImage(std::size_t sectors = 64) : m_bytes(sectors * kSector, 0) {}

    // A volume descriptor (type 1 primary, 2 supplementary) at lba with its root directory record.
    void Descriptor(std::uint32_t lba, std::uint8_t type, std::uint32_t rootExtent,
                    std::uint32_t rootSize = kSector) {
        Bytes d(kSector, 0);
        d[0] = type;
        std::copy_n("CD001", 5, d.begin() + 1);
        d[6] = 1;
        PutBoth32(d, 80, static_cast<std::uint32_t>(m_bytes.size() / kSector)); // volume space size
        if (type == 2) std::copy_n("%/E", 3, d.begin() + 88);                   // Joliet UCS-2 level 3
        d[128] = 0x00, d[129] = 0x08, d[130] = 0x08, d[131] = 0x00;             // block size 2048
        const Bytes root = Self(rootExtent, rootSize);
        std::copy(root.begin(), root.end(), d.begin() + 156);
        d[881] = 1;
        Put(lba, d);
    }
    void Terminator(std::uint32_t lba) {
        Bytes d(kSector, 0);
        d[0] = 0xFF;
        std::copy_n("CD001", 5, d.begin() + 1);
        d[6] = 1;
        Put(lba, d);
    }
    // Records one after the other from byte `at` of sector lba.
    void Records(std::uint32_t lba, const std::vector<Bytes>& records, std::size_t at = 0) {
        Bytes joined;
        for (const Bytes& r : records) joined.insert(joined.end(), r.begin(), r.end());
        Put(lba, joined, at);
    }
    void Put(std::uint32_t lba, const Bytes& data, std::size_t at = 0) {
        const std::size_t offset = lba * kSector + at;
        if (m_bytes.size() < offset + data.size())
            m_bytes.resize((offset + data.size() + kSector - 1) / kSector * kSector);
        std::copy(data.begin(), data.end(), m_bytes.begin() + static_cast<std::ptrdiff_t>(offset));
    }
    const Bytes& bytes() const { return m_bytes; }

private:
    Bytes m_bytes;
};

class SessionImport : public pipeline::testing::BurnFixture {
protected:
    void Press(const Bytes& image, MediumKind kind = MediumKind::CdRom) {
        std::ofstream(DiscFile(), std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
        Insert(kind);
        burner->ClearCompilation(65535, 8191);
    }

    // Every entry below the root as "path size" (folders "path/"), in list order, depth first.
    std::vector<std::string> Tree() const {
        std::vector<std::string> lines;
        Walk(burner->Root, "", lines);
        return lines;
    }
    static void Walk(const TDEntry* dir, const std::string& path, std::vector<std::string>& lines) {
        for (const TFEntry* e = dir->FirstEntry; e; e = e->Next) {
            if (e->Dir) {
                lines.push_back(path + e->LongName + "/");
                Walk(e->Dir, path + e->LongName + "/", lines);
            } else {
                lines.push_back(path + e->LongName + " " + std::to_string(e->ISOSize));
            }
        }
    }
    TFEntry* Entry(const std::string& dirPath, const std::string& name) {
        return burner->FindEntry(burner->FindDirectory(dirPath), name);
    }
    int LogCount(const std::string& text) const {
        int count = 0;
        for (const std::string& line : log.Lines()) count += line.find(text) != std::string::npos;
        return count;
    }
};

// ---------------------------------------------------------------------------------------------------
// Images written by xorriso.

struct XorrisoCase {
    const char* label;
    std::vector<std::string> options;
    MediumKind medium;
    bool isoNames; // the ISO 9660 names (no Joliet, no Rock Ridge): upper case, 8.3
};

class XorrisoImport : public SessionImport, public ::testing::WithParamInterface<XorrisoCase> {};

// 2004-06-15 10:20:30 UTC.
constexpr std::int64_t kSourceTime = 1087294830;

TEST_P(XorrisoImport, NamesSizesDatesAndBytesMatchTheSourceTree) {
    const XorrisoCase& param = GetParam();
    if (!peers::HaveProgram("xorriso")) GTEST_SKIP() << "xorriso is not installed";
    const Bytes big = PatternBytes(100000, 7);
    const std::map<std::string, Bytes> files = {
        {"readme.txt", Ascii("hello\n")},
        {"big.bin", big},
        {"empty.dat", {}},
        {"Makefile", Ascii("all:\n")},
        {"docs/A long file name with spaces.text", Ascii("long\n")},
        {"docs/deep/deeper/leaf", Ascii("leaf\n")},
    };
    for (const auto& [path, content] : files) AddSource(path, content);
    for (const auto& item : fs::recursive_directory_iterator(Source())) {
        const timespec times[2] = {{kSourceTime, 0}, {kSourceTime, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, item.path().c_str(), times, 0), 0);
    }
    const fs::path image = Folder() / "peer.iso";
    std::vector<std::string> argv = {"xorriso", "-as", "mkisofs"};
    argv.insert(argv.end(), param.options.begin(), param.options.end());
    argv.insert(argv.end(), {"-o", image.string(), Source().string()});
    const peers::ToolRun run = peers::RunProgram(argv, Folder());
    ASSERT_EQ(run.status, 0) << run.err;
    Press(ReadFileBytes(image), param.medium);

    ASSERT_TRUE(burner->ImportDiscSession(-1, nullptr));
    const std::vector<std::string> expected =
        param.isoNames ? std::vector<std::string>{"BIG.BIN 100000",      "DOCS/",
                                                  "DOCS/A_LONG_F.TEX 5", "DOCS/DEEP/",
                                                  "DOCS/DEEP/DEEPER/",   "DOCS/DEEP/DEEPER/LEAF. 5",
                                                  "EMPTY.DAT 0",         "MAKEFILE. 5",
                                                  "README.TXT 6"}
                       : std::vector<std::string>{"Makefile. 5",
                                                  "big.bin 100000",
                                                  "docs/",
                                                  "docs/A long file name with spaces.text 5",
                                                  "docs/deep/",
                                                  "docs/deep/deeper/",
                                                  "docs/deep/deeper/leaf. 5",
                                                  "empty.dat 0",
                                                  "readme.txt 6"};
    std::vector<std::string> tree = Tree();
    std::sort(tree.begin(), tree.end());
    EXPECT_EQ(tree, expected);

    // Every file comes out byte for byte with its date; every entry keeps the source's date.
    const double sourceDate = DateTimeFromUnix(kSourceTime, 0);
    int extracted = 0;
    for (const auto& file : burner->Files()) {
        SCOPED_TRACE(file->LongName);
        EXPECT_NEAR(file->DateTime, sourceDate, 1.5 / 86400);
        EXPECT_EQ(file->Attributes & attr::kHidden, 0u);
        if (file->Dir) continue;
        if (file->ISOSize > 0) {
            EXPECT_TRUE(file->Imported);
        }
        const fs::path out = Folder() / ("out-" + std::to_string(++extracted));
        ASSERT_TRUE(burner->ExtractFile(file.get(), out.string()));
        const auto source = std::find_if(files.begin(), files.end(), [&](const auto& item) {
            const std::string name = fs::path(item.first).filename().string();
            return UpperCase(name) == UpperCase(file->LongName) ||
                   UpperCase(name + ".") == UpperCase(file->LongName) ||
                   (param.isoNames && file->LongName == "A_LONG_F.TEX" && name.starts_with("A long"));
        });
        ASSERT_NE(source, files.end());
        EXPECT_EQ(ReadFileBytes(out), source->second);
        struct stat info {};
        ASSERT_EQ(::stat(out.c_str(), &info), 0);
        EXPECT_EQ(info.st_mtim.tv_sec, kSourceTime);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Peer, XorrisoImport,
    ::testing::Values(XorrisoCase{"iso_only", {"--norock"}, MediumKind::CdRom, true},
                      XorrisoCase{"rock_ridge_by_default", {}, MediumKind::CdRom, false},
                      XorrisoCase{"rock_ridge", {"-R"}, MediumKind::CdRom, false},
                      XorrisoCase{"joliet", {"-J", "--norock"}, MediumKind::CdRom, false},
                      XorrisoCase{"joliet_rock_ridge", {"-J", "-R"}, MediumKind::CdRom, false},
                      XorrisoCase{"joliet_on_dvd", {"-J"}, MediumKind::DvdRom, false},
                      XorrisoCase{"rock_ridge_on_dvd", {"-R"}, MediumKind::DvdRom, false}),
    [](const auto& testInfo) { return std::string(testInfo.param.label); });

// ---------------------------------------------------------------------------------------------------
// Extraction.

// A primary tree at 20 with the files given as (name, extent, size), data written at their extents.
HandImage FilesImage(const std::vector<std::tuple<std::string, std::uint32_t, Bytes>>& files,
                     std::size_t sectors = 128) {
    HandImage image(sectors);
    image.Descriptor(16, 1, 20);
    image.Terminator(17);
    std::vector<Bytes> records = {Self(20), Parent(20)};
    for (const auto& [name, extent, content] : files) {
        records.push_back(Record(extent, static_cast<std::uint32_t>(content.size()), kFile, Ascii(name)));
        if (!content.empty()) image.Put(extent, content);
    }
    image.Records(20, records);
    return image;
}

TEST_F(SessionImport, ExtractionReadsAtMost31SectorsAtATimeAndWritesOnlyTheFileBytes) {
    const Bytes big = PatternBytes(100000, 3);
    Press(FilesImage({{"BIG.BIN;1", 30, big}, {"EMPTY.DAT;1", 0, {}}}).bytes());
    ASSERT_TRUE(burner->ImportDiscSession(1, nullptr));

    drive->ClearCommands();
    const fs::path out = Folder() / "big.out";
    ASSERT_TRUE(burner->ExtractFile(Entry("\\", "BIG.BIN"), out.string()));
    EXPECT_EQ(ReadFileBytes(out), big);
    const auto reads = Sent(kRead10);
    ASSERT_EQ(reads.size(), 2u);
    // READ (10): LBA in bytes 2-5, transfer length in bytes 7-8 (MMC).
    EXPECT_EQ(reads[0].cdb, (std::vector<std::uint8_t>{0x28, 0, 0, 0, 0, 30, 0, 0, 31, 0}));
    EXPECT_EQ(reads[1].cdb, (std::vector<std::uint8_t>{0x28, 0, 0, 0, 0, 61, 0, 0, 18, 0}));
    EXPECT_TRUE(log.Contains(">>> EXTRACTING FILE BIG.BIN TO " + out.string()));

    // A 0-byte file (recorded at extent 0, as some tools do) comes out empty with its date, unread.
    drive->ClearCommands();
    TFEntry* empty = Entry("\\", "EMPTY.DAT");
    ASSERT_NE(empty, nullptr);
    EXPECT_FALSE(empty->Imported);
    const fs::path emptyOut = Folder() / "empty.out";
    ASSERT_TRUE(burner->ExtractFile(empty, emptyOut.string()));
    EXPECT_TRUE(Sent(kRead10).empty());
    EXPECT_EQ(fs::file_size(emptyOut), 0u);
    struct stat info {};
    ASSERT_EQ(::stat(emptyOut.c_str(), &info), 0);
    EXPECT_NEAR(DateTimeFromUnix(info.st_mtim.tv_sec, 0), empty->DateTime, 1.5 / 86400);
}

TEST_F(SessionImport, ExtractionFailsOnAnUnreadableSectorAndOnAnUncreatableFile) {
    // The disc ends with the file's fifth sector (65 sectors); the entry is made to claim 70.
    Press(FilesImage({{"PAST.END;1", 60, PatternBytes(5 * kSector, 1)}}, 64).bytes());
    ASSERT_TRUE(burner->ImportDiscSession(-1, nullptr));
    TFEntry* past = Entry("\\", "PAST.END");
    ASSERT_NE(past, nullptr);
    // The pressed disc ends where its file ends, so nothing beyond sector 64 can be read.
    past->ISOSize = 70 * kSector;
    EXPECT_FALSE(burner->ExtractFile(past, (Folder() / "past.out").string()));
    EXPECT_THROW(burner->ExtractFile(past, (Folder() / "no-such-folder" / "x").string()), ImageWriteError);

    // An entry added from a local file has no data on the disc yet: nothing is read or created.
    const std::string local = AddSource("local.txt", Ascii("local"));
    ASSERT_EQ(burner->AddFile("\\", local, false), 1);
    drive->ClearCommands();
    const fs::path localOut = Folder() / "local.out";
    EXPECT_FALSE(burner->ExtractFile(Entry("\\", "local.txt"), localOut.string()));
    EXPECT_TRUE(Sent(kRead10).empty());
    EXPECT_FALSE(fs::exists(localOut));
}

// ---------------------------------------------------------------------------------------------------
// Sessions written by hand.

TEST_F(SessionImport, LoopsAndSharedExtentsAreReadOnce) {
    HandImage image;
    image.Descriptor(16, 1, 20);
    image.Terminator(17);
    image.Records(20, {Self(20), Parent(20), Record(21, kSector, kDirFlag, Ascii("A")),
                       Record(20, kSector, kDirFlag, Ascii("SELF")),
                       Record(22, kSector, kDirFlag, Ascii("X")), Record(22, kSector, kDirFlag, Ascii("Y"))});
    image.Records(21, {Self(21), Parent(20), Record(20, kSector, kDirFlag, Ascii("UP")),
                       Record(30, 3, kFile, Ascii("IN_A.TXT;1"))});
    image.Records(22, {Self(22), Parent(20), Record(30, 3, kFile, Ascii("SHARED.TXT;1"))});
    image.Put(30, Ascii("abc"));
    Press(image.bytes());

    ASSERT_TRUE(burner->ImportDiscSession(-1, nullptr));
    EXPECT_EQ(Tree(), (std::vector<std::string>{"A/", "A/UP/", "A/IN_A.TXT 3", "SELF/", "X/",
                                                "X/SHARED.TXT 3", "Y/"}));
}

TEST_F(SessionImport, MalformedRecordsAreSkippedAndTheWalkGoesOn) {
    HandImage image;
    image.Descriptor(16, 1, 20, 3 * kSector);
    image.Terminator(17);
    Bytes overlong = Record(40, 1, kFile, Ascii("OVERLONG.TXT;1"));
    overlong[32] = 40; // the identifier would run 40 bytes, past its 48-byte record
    Date badDate = {104, 13, 0, 25, 61, 99, 0};
    image.Records(20, {Self(20, 3 * kSector), Parent(20, 3 * kSector), overlong,
                       Record(40, 1, kHiddenFlag, Ascii("HIDDEN.TXT;1")),
                       Record(40, 1, kFile, Ascii("BADDATE.TXT;1"), {}, badDate),
                       Record(40, 0xFFFFFFFFu, kFile, Ascii("HUGE.BIN;1")),
                       Record(41, 0xFFFFF800u, kDirFlag, Ascii("HUGEDIR"))});
    // A zero length byte ends the records of a sector; the next sector is read.
    image.Put(20, {0}, 600);
    image.Records(20, {Record(40, 1, kFile, Ascii("AFTERGAP.TXT;1"))}, 700);
    // A record crossing the end of its sector is not taken (ECMA-119 6.8.1.1).
    image.Records(21, {Record(40, 1, kFile, Ascii("SECOND.TXT;1"))});
    image.Records(21, {Record(40, 1, kFile, Ascii("CROSSES.TXT;1"))}, 2030);
    image.Records(22, {Record(40, 1, kFile, Ascii("THIRD.TXT;1"))});
    image.Records(41, {Self(41), Parent(20), Record(40, 1, kFile, Ascii("INHUGE.TXT;1"))});
    image.Put(40, Ascii("z"));
    Press(image.bytes());

    drive->ClearCommands();
    ASSERT_TRUE(burner->ImportDiscSession(-1, nullptr));
    // The three sectors of the root are read one each, once.
    std::map<std::uint32_t, int> reads;
    for (const auto& read : Sent(kRead10)) {
        const std::uint32_t lba = std::uint32_t{read.cdb[2]} << 24 | std::uint32_t{read.cdb[3]} << 16 |
                                  std::uint32_t{read.cdb[4]} << 8 | read.cdb[5];
        ++reads[lba];
        EXPECT_EQ(read.cdb[8], 1) << lba;
    }
    EXPECT_EQ(reads[20], 1);
    EXPECT_EQ(reads[21], 1);
    EXPECT_EQ(reads[22], 1);
    EXPECT_EQ(Tree(),
              (std::vector<std::string>{"HIDDEN.TXT 1", "BADDATE.TXT 1", "HUGE.BIN 4294967295", "HUGEDIR/",
                                        "HUGEDIR/INHUGE.TXT 1", "SECOND.TXT 1", "THIRD.TXT 1"}));
    EXPECT_EQ(Entry("\\", "HIDDEN.TXT")->Attributes, attr::kHidden);
    EXPECT_EQ(Entry("\\", "SECOND.TXT")->Attributes, 0u);
    // Month 13, day 0, 25:61:99 are held at the nearest valid values: 2004-12-01 23:59:59.
    EXPECT_NEAR(Entry("\\", "BADDATE.TXT")->DateTime, 38322.0 + 86399.0 / 86400, 0.5 / 86400);
    EXPECT_NEAR(Entry("\\", "SECOND.TXT")->DateTime, 38153.0 + (10 * 3600 + 20 * 60 + 30) / 86400.0,
                0.5 / 86400);
}

TEST_F(SessionImport, RecordsCarryingXaOrOtherSystemUseDataAreReadCompletely) {
    HandImage image;
    image.Descriptor(16, 1, 20);
    image.Terminator(17);
    // CD-XA: owner and group 0, attributes, "XA", file number, 5 reserved bytes (14 bytes).
    const Bytes xa = {0, 0, 0, 0, 0x8D, 0x55, 'X', 'A', 0, 0, 0, 0, 0, 0};
    const Bytes other(40, 0xEE);
    image.Records(20, {Self(20, kSector, xa), Parent(20), Record(40, 1, kFile, Ascii("ONE.TXT;1"), xa),
                       Record(40, 1, kFile, Ascii("TWO.TXT;1"), other),
                       Record(40, 1, kFile, Ascii("THREE.TXT;1"))});
    Press(image.bytes());
    ASSERT_TRUE(burner->ImportDiscSession(-1, nullptr));
    EXPECT_EQ(Tree(), (std::vector<std::string>{"ONE.TXT 1", "TWO.TXT 1", "THREE.TXT 1"}));
}

// SUSP "SP" indicator (SUSP 1.12 5.3) and Rock Ridge "NM" entries (RRIP 1.12 4.1.4).
Bytes Sp() {
    return {'S', 'P', 7, 1, 0xBE, 0xEF, 0};
}
Bytes Nm(const std::string& name, std::uint8_t flags = 0) {
    Bytes entry(5 + name.size());
    entry[0] = 'N';
    entry[1] = 'M';
    entry[2] = static_cast<std::uint8_t>(entry.size());
    entry[3] = 1;
    entry[4] = flags;
    std::copy(name.begin(), name.end(), entry.begin() + 5);
    return entry;
}
Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST_F(SessionImport, RockRidgeNamesAreTakenOnlyWhenWhollyInsideTheirRecord) {
    HandImage image;
    image.Descriptor(16, 1, 20);
    image.Terminator(17);
    Bytes cut = Record(40, 1, kFile, Ascii("CUT.TXT;1"), Nm("cut name"));
    cut[33 + 9 + 2] = 60; // the NM entry claims more bytes than its record holds
    image.Records(20, {Self(20, kSector, Sp()), Parent(20),
                       Record(40, 1, kFile, Ascii("LONG_NA.TXT;1"), Nm("long name.txt")),
                       Record(40, 1, kFile, Ascii("JOINED.TXT;1"), Join({Nm("first ", 1), Nm("second")})),
                       Record(40, 1, kFile, Ascii("DOT.TXT;1"), Nm("", 0x02)), cut,
                       Record(40, 1, kFile, Ascii("UNENDED.TXT;1"), Nm("unended", 1)),
                       Record(40, 1, kFile, Ascii("SLASH.TXT;1"), Nm("a/b")),
                       Record(40, 1, kFile, Ascii("DOTDOT.TXT;1"), Nm("..")),
                       Record(21, kSector, kDirFlag, Ascii("SUB"), Nm("Sub Folder"))});
    image.Records(21, {Self(21), Parent(20), Record(40, 1, kFile, Ascii("X.TXT;1"), Nm("inner.txt"))});
    Press(image.bytes());
    ASSERT_TRUE(burner->ImportDiscSession(-1, nullptr));
    EXPECT_EQ(Tree(), (std::vector<std::string>{"long name.txt 1", "first second. 1", "DOT.TXT 1",
                                                "CUT.TXT 1", "UNENDED.TXT 1", "a_b. 1", "DOTDOT.TXT 1",
                                                "Sub Folder/", "Sub Folder/inner.txt 1"}));
}

TEST_F(SessionImport, NameEntriesWithoutTheSuspIndicatorAreNotNames) {
    HandImage image;
    image.Descriptor(16, 1, 20);
    image.Terminator(17);
    image.Records(20, {Self(20), Parent(20), Record(40, 1, kFile, Ascii("PLAIN.TXT;1"), Nm("not a name"))});
    Press(image.bytes());
    ASSERT_TRUE(burner->ImportDiscSession(-1, nullptr));
    EXPECT_EQ(Tree(), (std::vector<std::string>{"PLAIN.TXT 1"}));
}

TEST_F(SessionImport, JolietTreeIsPreferredAndItsNamesLoseTheirVersion) {
    HandImage image;
    image.Descriptor(16, 1, 20);
    image.Descriptor(17, 2, 21);
    image.Terminator(18);
    image.Records(20, {Self(20), Parent(20), Record(40, 1, kFile, Ascii("PRIMARY.TXT;1"))});
    const std::u16string name107(105, u'n');
    const std::u16string name108(107, u'm');
    Bytes odd = Ucs2(name108);
    odd.push_back('x'); // 215 bytes
    image.Records(21, {Self(21), Parent(21), Record(40, 1, kFile, Ucs2(u"Long Name.txt;1")),
                       Record(40, 1, kFile, Ucs2(u"x;1")), Record(40, 1, kFile, Ucs2(u"a;b;1")),
                       Record(40, 1, kFile, Ucs2(u"\u00e9t\u00e9.txt;1")),
                       Record(40, 1, kFile, Ucs2(u"sl/ash;1")), Record(40, 1, kFile, Ucs2(u"..;1")),
                       Record(40, 1, kFile, Ucs2(name107 + u";1")), Record(40, 1, kFile, odd)});
    Press(image.bytes());
    ASSERT_TRUE(burner->ImportDiscSession(-1, nullptr));
    const std::string n105(105, 'n');
    EXPECT_EQ(Tree(), (std::vector<std::string>{"Long Name.txt 1", "x. 1", "a. 1", "\xc3\xa9t\xc3\xa9.txt 1",
                                                "sl_ash. 1", n105 + ". 1"}));
    // The 215-byte identifier: one line naming it, and the record left out.
    EXPECT_EQ(
        LogCount("ERROR IMPORTING SESSION, FILE NAME LENGTH EXCEEDS 120 CHARS\n\r" + std::string(107, 'm')),
        1);
}

TEST_F(SessionImport, PrimaryTreeIsReadWhenNoJolietDescriptorPrecedesTheTerminator) {
    HandImage image;
    image.Descriptor(16, 1, 20);
    image.Terminator(17);
    image.Descriptor(18, 2, 21); // after the terminator: not part of the set
    image.Records(20, {Self(20), Parent(20), Record(40, 1, kFile, Ascii("PRIMARY.TXT;1"))});
    image.Records(21, {Self(21), Parent(21), Record(40, 1, kFile, Ucs2(u"joliet.txt;1"))});
    Press(image.bytes());
    ASSERT_TRUE(burner->ImportDiscSession(-1, nullptr));
    EXPECT_EQ(Tree(), (std::vector<std::string>{"PRIMARY.TXT 1"}));
}

TEST_F(SessionImport, SessionWithoutDescriptorIsReportedAndImportsNothing) {
    HandImage image;
    image.Records(20, {Self(20), Parent(20), Record(40, 1, kFile, Ascii("LOST.TXT;1"))});
    Press(image.bytes());
    EXPECT_FALSE(burner->ImportDiscSession(-1, nullptr));
    EXPECT_TRUE(Tree().empty());
    EXPECT_TRUE(log.Contains(">>> IMPORTING SESSION # 1"));
    EXPECT_TRUE(log.Contains(">>> ERROR IMPORTING SESSION 1 (ISO IMAGE NOT FOUND)"));
}

// The longest names the tree takes with Joliet come back from an import of its own image, so that the
// next session of a disc keeps them; one unit longer is refused when the files are added.
TEST_F(SessionImport, TheLongestJolietNamesTheTreeTakesComeBackFromItsOwnImage) {
    const std::string emoji = "\xF0\x9F\x8E\x89"; // two UTF-16 units
    std::string emoji102, emoji104;
    for (int i = 0; i < 49; ++i) emoji102 += emoji;
    emoji104 = emoji102 + emoji + ".txt";
    emoji102 += ".txt";
    const struct {
        std::string path; // below the source folder
        bool taken;
    } kNames[] = {
        // Files: the units their Joliet record carries, ";1" aside.
        {std::string(101, 'f') + ".a", true}, // 103
        {std::string(102, 'g') + ".a", false},
        {std::string(103, 'h'), true}, // 103: the dot the tree adds is not recorded
        {std::string(104, 'i'), false},
        {emoji102, true}, // 102: surrogate pairs count two
        {emoji104, false},
        // Folders of 103 and 104 units.
        {std::string(103, 'd') + "/inside.txt", true},
        {std::string(104, 'e') + "/inside.txt", false},
    };
    std::vector<std::string> expected;
    for (const auto& name : kNames) {
        AddSource(name.path, Ascii(name.path));
        if (!name.taken) continue;
        const std::size_t slash = name.path.find('/');
        if (slash != std::string::npos) expected.push_back(name.path.substr(0, slash + 1));
        const std::string file = name.path.find('.') == std::string::npos ? name.path + "." : name.path;
        expected.push_back(file + " " + std::to_string(name.path.size()));
    }
    std::sort(expected.begin(), expected.end());

    Prepare(true);
    std::vector<std::string> built = Tree();
    std::sort(built.begin(), built.end());
    EXPECT_EQ(built, expected);
    const fs::path image = Folder() / "own.iso";
    ASSERT_EQ(burner->SaveToISO(image.string(), true), 1);
    Press(ReadFileBytes(image));
    ASSERT_TRUE(burner->ImportDiscSession(-1, nullptr));
    std::vector<std::string> imported = Tree();
    std::sort(imported.begin(), imported.end());
    EXPECT_EQ(imported, expected);
    EXPECT_EQ(LogCount("FILE NAME LENGTH EXCEEDS"), 0);
}

TEST_F(SessionImport, ImportGoesIntoTheTargetDirectory) {
    Press(FilesImage({{"ONE.TXT;1", 40, Ascii("1")}}).bytes());
    TDEntry* target = burner->CreateDirectory(burner->Root, "old", attr::kDirectory);
    ASSERT_NE(target, nullptr);
    ASSERT_TRUE(burner->ImportDiscSession(-1, target));
    EXPECT_EQ(Tree(), (std::vector<std::string>{"old/", "old/ONE.TXT 1"}));
}

// ---------------------------------------------------------------------------------------------------
// Removing entries from the tree, and the size of local sources.

class TreeRemoval : public ::testing::Test {
protected:
    void SetUp() override { burner.ClearCompilation(1000, 100); }
    TDEntry* Dir(TDEntry* parent, const std::string& name) {
        return burner.CreateDirectory(parent, name, attr::kDirectory);
    }
    void File(TDEntry* dir, const std::string& name, std::uint64_t size = 10) {
        DirectoryListing listing;
        listing.Name = name;
        listing.Size = size;
        ASSERT_TRUE(burner.AddFileEntry(dir, listing, false, 0, "/nowhere/" + name));
    }
    std::vector<std::string> Paths() const {
        std::vector<std::string> paths;
        for (const auto& d : burner.Directories()) paths.push_back(d->Path);
        return paths;
    }
    TOrbelBurner burner;
};

TEST_F(TreeRemoval, RemoveDirectoryTakesTheFolderItsContentsAndItsEntryButNeverTheRoot) {
    TDEntry* docs = Dir(burner.Root, "DOCS");
    TDEntry* sub = Dir(docs, "sub");
    File(docs, "a.txt");
    File(sub, "b.txt");
    File(burner.Root, "keep.txt");
    ASSERT_EQ(burner.CompilationSize, 3 * 2048);

    TDEntry* root = burner.Root;
    EXPECT_FALSE(burner.RemoveDirectory(root));
    EXPECT_EQ(root, burner.Root);
    EXPECT_EQ(burner.FileCount(), 5);

    EXPECT_TRUE(burner.RemoveDirectory(docs));
    EXPECT_EQ(docs, nullptr);
    EXPECT_EQ(Paths(), (std::vector<std::string>{"\\"}));
    EXPECT_EQ(burner.DirectoryCount(), 0);
    EXPECT_EQ(burner.FileCount(), 1);
    EXPECT_EQ(burner.Root->FirstEntry->LongName, "keep.txt");
    EXPECT_EQ(burner.Root->FirstEntry->Next, nullptr);
    EXPECT_EQ(burner.FindDirectory("\\DOCS"), nullptr);
    EXPECT_EQ(burner.FindDirectory("\\DOCS\\SUB"), nullptr);
    EXPECT_EQ(burner.ISOOrder.size(), 1u);
    EXPECT_EQ(burner.JolietOrder.size(), 1u);
    EXPECT_EQ(burner.CompilationSize, 2048);
    // The name is free again.
    EXPECT_NE(Dir(burner.Root, "DOCS"), nullptr);
}

TEST_F(TreeRemoval, RemoveEmptyDirectoriesTakesChainsOfFoldersLeftEmpty) {
    TDEntry* a = Dir(burner.Root, "A");
    TDEntry* b = Dir(a, "B");
    Dir(b, "C");
    TDEntry* full = Dir(burner.Root, "FULL");
    Dir(full, "EMPTY");
    File(full, "x.txt");
    EXPECT_TRUE(burner.RemoveEmptyDirectories());
    EXPECT_EQ(Paths(), (std::vector<std::string>{"\\", "\\FULL"}));
    EXPECT_EQ(burner.FileCount(), 2); // FULL's entry and x.txt
    EXPECT_EQ(burner.Root->FirstEntry->LongName, "FULL");
    EXPECT_EQ(full->FirstEntry->LongName, "x.txt");
    EXPECT_EQ(full->FirstEntry->Next, nullptr);
}

TEST_F(TreeRemoval, RemoveFileByNameMatchesLikeFindEntry) {
    TDEntry* docs = Dir(burner.Root, "Docs");
    File(docs, "README");
    File(docs, "notes.txt");
    File(docs, "other.txt");
    const struct {
        const char* dir;
        const char* name;
        bool removed;
    } kCases[] = {
        {"\\NOPE", "notes.txt", false}, {"\\DOCS", "missing.txt", false}, {"\\docs", "NOTES.TXT", true},
        {"\\DOCS", "notes.txt", false}, {"\\DOCS", "readme", true},       {"\\DOCS\\", "other.txt", true},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::string(c.dir) + " " + c.name);
        EXPECT_EQ(burner.RemoveFileByName(c.dir, c.name), c.removed);
    }
    EXPECT_EQ(docs->FirstEntry, nullptr);
    EXPECT_EQ(burner.FileCount(), 1);
}

TEST_F(TreeRemoval, GetPathSizeCountsAFolderWithEverythingBelowIt) {
    fs::path root = peers::fs::temp_directory_path() / "lorvane-pathsize";
    std::error_code ignored;
    fs::remove_all(root, ignored);
    fs::create_directories(root / "sub" / "deeper");
    std::ofstream(root / "a", std::ios::binary) << std::string(1000, 'a');
    std::ofstream(root / "sub" / "deeper" / "b", std::ios::binary) << std::string(24, 'b');
    { std::ofstream sparse(root / "sub" / "huge", std::ios::binary); }
    fs::resize_file(root / "sub" / "huge", 5ull << 30); // 5 GiB, sparse
    EXPECT_EQ(burner.GetPathSize(root.string() + "/"), (5ll << 30) + 1024);
    EXPECT_EQ(burner.GetPathSize((root / "a").string()), 1000);
    EXPECT_EQ(burner.GetPathSize((root / "missing").string()), 0);
    fs::remove_all(root, ignored);
}

// ---------------------------------------------------------------------------------------------------
// Discs found by fuzzing the import.

TEST_F(SessionImport, DirectoriesWhoseExtentsOverlapReadEachSectorOnce) {
    // Every directory sector holds directory records whose extents start inside other directories and
    // claim the rest of the disc: following each to its end would read the same sectors again and
    // again, which on a full disc never ends.
    constexpr std::uint32_t kFirst = 20, kCount = 40, kPerSector = 10;
    constexpr std::uint32_t kClaimed = kCount * kSector;
    HandImage image(kFirst + kCount);
    image.Descriptor(16, 1, kFirst, kClaimed);
    image.Terminator(17);
    for (std::uint32_t lba = kFirst; lba < kFirst + kCount; ++lba) {
        std::vector<Bytes> records = {Self(lba, kClaimed), Parent(kFirst, kClaimed)};
        for (std::uint32_t k = 0; k < kPerSector; ++k)
            records.push_back(Record(kFirst + (lba * kPerSector + k) % kCount, kClaimed, kDirFlag,
                                     Ascii("D" + std::to_string(k))));
        image.Records(lba, records);
    }
    Press(image.bytes());

    drive->ClearCommands();
    ASSERT_TRUE(burner->ImportDiscSession(-1, nullptr));
    std::map<std::uint32_t, int> reads;
    for (const auto& read : Sent(kRead10)) {
        const std::uint32_t lba = std::uint32_t{read.cdb[2]} << 24 | std::uint32_t{read.cdb[3]} << 16 |
                                  std::uint32_t{read.cdb[4]} << 8 | read.cdb[5];
        ++reads[lba];
    }
    for (std::uint32_t lba = kFirst; lba < kFirst + kCount; ++lba) EXPECT_EQ(reads[lba], 1) << lba;
    // The root's first sector is walked before any other, so its names are all there.
    const std::vector<std::string> tree = Tree();
    EXPECT_NE(std::find(tree.begin(), tree.end(), "D0/"), tree.end());
    EXPECT_NE(std::find(tree.begin(), tree.end(), "D9/"), tree.end());
}

} // namespace
} // namespace lorvane::image
