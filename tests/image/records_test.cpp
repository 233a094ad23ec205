#include "image/records.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <string>
#include <vector>

#include "image/iso_text.h"
#include "image/orbel_burner.h" // the layout code includes both

namespace lorvane::image {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Hex(std::initializer_list<unsigned> values) {
    Bytes bytes;
    for (const unsigned v : values) bytes.push_back(static_cast<std::uint8_t>(v));
    return bytes;
}
Bytes Ascii(std::string_view text) {
    return {text.begin(), text.end()};
}
Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}
Bytes Slice(const Bytes& stream, std::size_t at, std::size_t count) {
    if (at + count > stream.size()) return {};
    return {stream.begin() + static_cast<std::ptrdiff_t>(at),
            stream.begin() + static_cast<std::ptrdiff_t>(at + count)};
}
bool AllZero(const Bytes& stream, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i)
        if (stream[i] != 0) return false;
    return true;
}

// 2024-03-15 13:45:30.120 local time as days since 1899-12-30 (2024-01-01 is day 45292).
constexpr double kMarch15 = 45366.0 + (13 * 3600 + 45 * 60 + 30.12) / 86400.0;

// A small tree whose entries outlive the test body; links are set by hand as the layout would.
class TreeBuilder {
public:
    TDEntry& Root() {
        if (m_directories.empty()) {
            TDEntry& root = m_directories.emplace_back();
            root.Parent = &root;
            root.Level = 1;
        }
        return m_directories.front();
    }
    TDEntry& Directory(TDEntry& parent, std::string shortName, std::string longName) {
        TDEntry& d = m_directories.emplace_back();
        d.ShortName = std::move(shortName);
        d.LongName = std::move(longName);
        d.Parent = &parent;
        return d;
    }
    TFEntry& Entry(TDEntry& owner, std::string shortName, std::string longName) {
        TFEntry& e = m_entries.emplace_back();
        e.ShortName = std::move(shortName);
        e.LongName = std::move(longName);
        if (owner.FirstEntry == nullptr) {
            owner.FirstEntry = &e;
        } else {
            TFEntry* last = owner.FirstEntry;
            while (last->Next != nullptr) last = last->Next;
            last->Next = &e;
        }
        return e;
    }

private:
    std::deque<TDEntry> m_directories;
    std::deque<TFEntry> m_entries;
};

TEST(IsoText, PaddedTextUpperCasesCutsAndFillsWithSpaces) {
    const struct {
        const char* value;
        std::size_t length;
        std::string expected;
    } kCases[] = {
        {"My Disc", 32, "MY DISC" + std::string(25, ' ')},
        {"abcdefghijklmnopqrstuvwxyz0123456789ABCD", 32, "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"},
        {"", 8, "        "},
        {"x{y}", 5, "X{Y} "},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(PaddedText(c.value, c.length), c.expected);
    }
}

TEST(IsoText, JolietTextIsBigEndianUtf16PaddedWithSpaces) {
    const struct {
        const char* value;
        std::size_t bytes;
        Bytes expected;
    } kCases[] = {
        {"My Disc", 32, Hex({0x00, 0x4D, 0x00, 0x79, 0x00, 0x20, 0x00, 0x44, 0x00, 0x69, 0x00,
                             0x73, 0x00, 0x63, 0x00, 0x20, 0x00, 0x20, 0x00, 0x20, 0x00, 0x20,
                             0x00, 0x20, 0x00, 0x20, 0x00, 0x20, 0x00, 0x20, 0x00, 0x20})},
        // Cut to 16 code units, case kept.
        {"abcdefghijklmnopqrstuvwxyz0123456789ABCD", 32,
         Hex({0x00, 0x61, 0x00, 0x62, 0x00, 0x63, 0x00, 0x64, 0x00, 0x65, 0x00,
              0x66, 0x00, 0x67, 0x00, 0x68, 0x00, 0x69, 0x00, 0x6A, 0x00, 0x6B,
              0x00, 0x6C, 0x00, 0x6D, 0x00, 0x6E, 0x00, 0x6F, 0x00, 0x70})},
        {"caf\xC3\xA9", 8, Hex({0x00, 0x63, 0x00, 0x61, 0x00, 0x66, 0x00, 0xE9})},
        {"\xE6\x97\xA5", 4, Hex({0x65, 0xE5, 0x00, 0x20})},
        // U+1F600 is D83D DE00; a field with room for one unit gets a space, not half a character.
        {"\xF0\x9F\x98\x80", 2, Hex({0x00, 0x20})},
        {"\xF0\x9F\x98\x80", 4, Hex({0xD8, 0x3D, 0xDE, 0x00})},
        // An odd field (36 of 37 bytes are text in the descriptors) ends in a zero byte.
        {"A", 5, Hex({0x00, 0x41, 0x00, 0x20, 0x00})},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(JolietText(c.value, c.bytes), c.expected);
    }
}

TEST(IsoText, VolumeDatesAreSixteenDigitsAndAZeroOffset) {
    const struct {
        double value;
        const char* digits;
    } kCases[] = {
        {0.0, "1899123000000000"},
        {kMarch15, "2024031513453012"},
        {45366.5, "2024031512000000"},
        {45366.0 + 0.9999999999, "2024031600000000"}, // rounds to midnight of the next day
        {-1.25, "1899122906000000"},                  // the fraction counts forward from midnight
        {-800000.0, "0000010100000000"},              // before year 0: held at the first moment
        {3.0e6, "9999123123595999"},                  // after 9999: held at the last moment
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.digits);
        EXPECT_EQ(EncodeVolumeDate(c.value), c.digits);
        const VolumeDate date = MakeVolumeDate(c.value);
        EXPECT_EQ(Bytes(date.begin(), date.end()), Cat({Ascii(c.digits), Hex({0x00})}));
    }
    const VolumeDate zero = MakeZeroDate();
    EXPECT_EQ(Bytes(zero.begin(), zero.end()), Cat({Ascii("0000000000000000"), Hex({0x00})}));
}

TEST(IsoText, RecordDatesCarryTheSignedQuarterHourOffset) {
    const struct {
        double value;
        int gmtOffset;
        Bytes expected;
    } kCases[] = {
        {kMarch15, 0, Hex({124, 3, 15, 13, 45, 30, 0x00})},
        {kMarch15, 4, Hex({124, 3, 15, 13, 45, 30, 0x04})},   // UTC+1
        {kMarch15, -20, Hex({124, 3, 15, 13, 45, 30, 0xEC})}, // UTC-5
        {kMarch15, 22, Hex({124, 3, 15, 13, 45, 30, 0x16})},  // UTC+5:30
        {kMarch15, 127, Hex({124, 3, 15, 13, 45, 30, 0x7F})},
        {kMarch15, -128, Hex({124, 3, 15, 13, 45, 30, 0x80})},
        {45366.0 + 59.999 / 86400.0, 0, Hex({124, 3, 15, 0, 0, 59, 0x00})}, // seconds truncated
        {2.0, 0, Hex({0, 1, 1, 0, 0, 0, 0x00})},                            // 1900-01-01
        {1.0, 0, Hex({0, 1, 1, 0, 0, 0, 0x00})},                            // 1899: held at 1900
        {100000.0, 0, Hex({255, 12, 31, 23, 59, 59, 0x00})},                // 2173: held at 2155
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(testing::Message() << c.value << " offset " << c.gmtOffset);
        RecordDate date{};
        EncodeRecordDate(date, c.value, c.gmtOffset);
        EXPECT_EQ(Bytes(date.begin(), date.end()), c.expected);
    }
    for (const int offset : {128, -129, 1000}) {
        SCOPED_TRACE(offset);
        RecordDate date{};
        EXPECT_THROW(EncodeRecordDate(date, kMarch15, offset), RecordRangeError);
    }
}

VolumeIdentity SampleIdentity() {
    VolumeIdentity id;
    id.IdSystem = "Linux";
    id.IdVolume = "My Disc";
    id.IdVolumeSet = "set";
    id.IdPublisher = "pub";
    id.IdPreparer = "prep";
    id.IdApplication = "Lorvane";
    id.FileCopyright = "copy.txt";
    id.FileAbstract = "abs.txt";
    id.FileBibliographic = "bib.txt";
    id.DateCreation = kMarch15;
    id.DateModification = 0;
    return id;
}

// Sectors: path tables L 18 and M 19, root directory at 20 of one sector, 153 sectors in the session.
constexpr TreePlacement kIsoPlacement{10, 18 * 2048, 19 * 2048, 20 * 2048, 2048};

TEST(VolumeDescriptors, PrimaryDescriptorFixedFields) {
    {
        Bytes s;
        WritePrimaryDescriptor(s, SampleIdentity(), 153, kIsoPlacement);
        ASSERT_EQ(s.size(), 2048u);
        EXPECT_EQ(Slice(s, 0, 8), Hex({0x01, 'C', 'D', '0', '0', '1', 0x01, 0x00}));
        EXPECT_EQ(Slice(s, 8, 32), Ascii("LINUX                           "));
        EXPECT_EQ(Slice(s, 40, 32), Ascii("MY DISC                         "));
        EXPECT_EQ(Slice(s, 80, 8), Hex({0x99, 0, 0, 0, 0, 0, 0, 0x99}));
        // No Joliet escape sequence in the primary descriptor, whether or not a Joliet tree follows.
        EXPECT_EQ(Slice(s, 88, 32), Bytes(32, 0));
        EXPECT_EQ(Slice(s, 120, 40),
                  Hex({0x01, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x08, 0x08, 0x00, 0x0A, 0x00,
                       0x00, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x12, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                       0x00, 0x00, 0x00, 0x13, 0x00, 0x00, 0x00, 0x00, 0x22, 0x00, 0x14, 0x00}));
        EXPECT_EQ(Slice(s, 156, 34),
                  Hex({0x22, 0x00, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x14, 0x00, 0x08,
                       0x00, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                       0x00, 0x02, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, 0x01, 0x00}));
        EXPECT_EQ(Slice(s, 190, 128), Ascii("SET" + std::string(125, ' ')));
        EXPECT_EQ(Slice(s, 574, 128), Ascii("LORVANE" + std::string(121, ' ')));
        EXPECT_EQ(Slice(s, 702, 37), Ascii("COPY.TXT" + std::string(29, ' ')));
        EXPECT_EQ(Slice(s, 776, 37), Ascii("BIB.TXT" + std::string(30, ' ')));
        EXPECT_EQ(Slice(s, 813, 17), Cat({Ascii("2024031513453012"), Hex({0})}));
        EXPECT_EQ(Slice(s, 830, 17), Cat({Ascii("1899123000000000"), Hex({0})}));
        EXPECT_EQ(Slice(s, 847, 34),
                  Cat({Ascii("0000000000000000"), Hex({0}), Ascii("0000000000000000"), Hex({0})}));
        EXPECT_EQ(s[881], 0x01);
        EXPECT_TRUE(AllZero(s, 882, 1024));
        EXPECT_EQ(Slice(s, 1024, 8), Ascii("        "));
        EXPECT_TRUE(AllZero(s, 1032, 2048));
    }
}

TEST(VolumeDescriptors, JolietDescriptorDiffersWhereJolietSaysSo) {
    const TreePlacement joliet{12, 21 * 2048, 22 * 2048, 24 * 2048, 4096};
    Bytes s;
    WriteJolietDescriptor(s, SampleIdentity(), 153, joliet);
    ASSERT_EQ(s.size(), 2048u);
    EXPECT_EQ(Slice(s, 0, 8), Hex({0x02, 'C', 'D', '0', '0', '1', 0x01, 0x00}));
    EXPECT_EQ(Slice(s, 8, 32), Hex({0x00, 0x4C, 0x00, 0x69, 0x00, 0x6E, 0x00, 0x75, 0x00, 0x78, 0x00,
                                    0x20, 0x00, 0x20, 0x00, 0x20, 0x00, 0x20, 0x00, 0x20, 0x00, 0x20,
                                    0x00, 0x20, 0x00, 0x20, 0x00, 0x20, 0x00, 0x20, 0x00, 0x20}));
    EXPECT_EQ(Slice(s, 40, 14),
              Hex({0x00, 0x4D, 0x00, 0x79, 0x00, 0x20, 0x00, 0x44, 0x00, 0x69, 0x00, 0x73, 0x00, 0x63}));
    EXPECT_EQ(Slice(s, 54, 18), Hex({0x00, 0x20, 0x00, 0x20, 0x00, 0x20, 0x00, 0x20, 0x00, 0x20, 0x00, 0x20,
                                     0x00, 0x20, 0x00, 0x20, 0x00, 0x20}));
    EXPECT_EQ(Slice(s, 88, 3), Hex({0x25, 0x2F, 0x40}));
    EXPECT_EQ(Slice(s, 132, 24),
              Hex({0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x15, 0x00, 0x00, 0x00,
                   0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x16, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Slice(s, 156, 18), Hex({0x22, 0x00, 0x18, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x18, 0x00, 0x10,
                                      0x00, 0x00, 0x00, 0x00, 0x10, 0x00}));
    EXPECT_EQ(Slice(s, 190, 8), Hex({0x00, 0x73, 0x00, 0x65, 0x00, 0x74, 0x00, 0x20}));
    // File identifiers: 36 bytes of text, the 37th byte 0.
    EXPECT_EQ(Slice(s, 702, 16), Hex({0x00, 0x63, 0x00, 0x6F, 0x00, 0x70, 0x00, 0x79, 0x00, 0x2E, 0x00, 0x74,
                                      0x00, 0x78, 0x00, 0x74}));
    EXPECT_EQ(Slice(s, 736, 4), Hex({0x00, 0x20, 0x00, 0x00}));
    EXPECT_EQ(Slice(s, 739, 2), Hex({0x00, 0x61}));
    EXPECT_EQ(s[775], 0x00);
    EXPECT_EQ(s[812], 0x00);
    EXPECT_EQ(Slice(s, 813, 17), Cat({Ascii("2024031513453012"), Hex({0})}));
    EXPECT_EQ(s[881], 0x01);
    EXPECT_EQ(Slice(s, 1024, 8), Ascii("        "));
}

TEST(VolumeDescriptors, BootRecordAndTerminator) {
    Bytes boot;
    WriteBootRecordDescriptor(boot, 25 * 2048);
    ASSERT_EQ(boot.size(), 2048u);
    EXPECT_EQ(Slice(boot, 0, 7), Hex({0x00, 'C', 'D', '0', '0', '1', 0x01}));
    EXPECT_EQ(Slice(boot, 7, 32), Cat({Ascii("EL TORITO SPECIFICATION"), Hex({0, 0, 0, 0, 0, 0, 0, 0, 0})}));
    EXPECT_TRUE(AllZero(boot, 39, 71));
    EXPECT_EQ(Slice(boot, 71, 4), Hex({0x19, 0x00, 0x00, 0x00}));
    EXPECT_TRUE(AllZero(boot, 75, 2048));

    Bytes end;
    WriteTerminator(end);
    ASSERT_EQ(end.size(), 2048u);
    EXPECT_EQ(Slice(end, 0, 7), Hex({0xFF, 'C', 'D', '0', '0', '1', 0x01}));
    EXPECT_TRUE(AllZero(end, 7, 2048));
}

TEST(VolumeDescriptors, ValuesBeyondThirtyTwoBitsAreRefused) {
    Bytes s;
    EXPECT_THROW(WritePrimaryDescriptor(s, SampleIdentity(), 0x1'0000'0000, kIsoPlacement), RecordRangeError);
    TreePlacement bigRoot = kIsoPlacement;
    bigRoot.RootSize = 0x1'0000'0000;
    EXPECT_THROW(WriteJolietDescriptor(s, SampleIdentity(), 153, bigRoot), RecordRangeError);
    EXPECT_THROW(WriteBootRecordDescriptor(s, 0x1'0000'0000LL * 2048), RecordRangeError);
    EXPECT_NO_THROW(WritePrimaryDescriptor(s, SampleIdentity(), 0xFFFF'FFFF, kIsoPlacement));
}

TEST(PathTable, RootOnlyTableInBothByteOrders) {
    TreeBuilder tree;
    TDEntry& root = tree.Root();
    std::vector<TDEntry*> order{&root};
    const struct {
        PathTableOrder byteOrder;
        Bytes expected;
    } kCases[] = {
        {PathTableOrder::Little, Hex({0x01, 0x00, 0x14, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00})},
        {PathTableOrder::Big, Hex({0x01, 0x00, 0x00, 0x00, 0x00, 0x14, 0x00, 0x01, 0x00, 0x00})},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.byteOrder == PathTableOrder::Little ? "type L" : "type M");
        Bytes s;
        WritePathTable(s, order, TreeKind::Iso, 20, c.byteOrder);
        ASSERT_EQ(s.size(), 2048u);
        EXPECT_EQ(Slice(s, 0, 10), c.expected);
        EXPECT_TRUE(AllZero(s, 10, 2048));
    }
    EXPECT_EQ(PathTableBytes(order, TreeKind::Iso), 10);
    EXPECT_EQ(PathTableBytes(order, TreeKind::Joliet), 10);
}

TEST(PathTable, RecordsPadOddNamesAndNumberParentsByTablePosition) {
    TreeBuilder tree;
    TDEntry& root = tree.Root();
    TDEntry& docs = tree.Directory(root, "DOCS", "Docs");
    TDEntry& abc = tree.Directory(docs, "ABC", "abc");
    root.ISOExtent = 0;
    docs.ISOExtent = 1;
    abc.ISOExtent = 2;
    root.JolietExtent = 0;
    docs.JolietExtent = 2;
    abc.JolietExtent = 1;
    // Table order is not creation order: "abc" sits at position 2 only in this table.
    std::vector<TDEntry*> order{&root, &docs, &abc};
    const struct {
        TreeKind which;
        PathTableOrder byteOrder;
        Bytes expected;
    } kCases[] = {
        {TreeKind::Iso, PathTableOrder::Little,
         Hex({0x01, 0x00, 0x14, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,               // root
              0x04, 0x00, 0x15, 0x00, 0x00, 0x00, 0x01, 0x00, 'D',  'O',  'C', 'S',     // DOCS
              0x03, 0x00, 0x16, 0x00, 0x00, 0x00, 0x02, 0x00, 'A',  'B',  'C', 0x00})}, // ABC
        {TreeKind::Iso, PathTableOrder::Big,
         Hex({0x01, 0x00, 0x00, 0x00, 0x00, 0x14, 0x00, 0x01, 0x00, 0x00, 0x04, 0x00,
              0x00, 0x00, 0x00, 0x15, 0x00, 0x01, 'D',  'O',  'C',  'S',  0x03, 0x00,
              0x00, 0x00, 0x00, 0x16, 0x00, 0x02, 'A',  'B',  'C',  0x00})},
        {TreeKind::Joliet, PathTableOrder::Big,
         Hex({0x01, 0x00, 0x00, 0x00, 0x00, 0x14, 0x00, 0x01, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00,
              0x00, 0x16, 0x00, 0x01, 0x00, 'D',  0x00, 'o',  0x00, 'c',  0x00, 's',  0x06, 0x00,
              0x00, 0x00, 0x00, 0x15, 0x00, 0x02, 0x00, 'a',  0x00, 'b',  0x00, 'c'})},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(testing::Message() << (c.which == TreeKind::Iso ? "ISO " : "Joliet ")
                                        << (c.byteOrder == PathTableOrder::Little ? "L" : "M"));
        Bytes s;
        WritePathTable(s, order, c.which, 20, c.byteOrder);
        ASSERT_EQ(s.size(), 2048u);
        EXPECT_EQ(Slice(s, 0, c.expected.size()), c.expected);
        EXPECT_TRUE(AllZero(s, c.expected.size(), 2048));
        EXPECT_EQ(PathTableBytes(order, c.which), static_cast<std::int64_t>(c.expected.size()));
    }
}

TEST(PathTable, FillsToTheSectorEndOnlyWhenNeeded) {
    // 10 (root) + 199 records of 10 bytes + 4 of 12 = 2048 exactly; one more record spills over.
    const struct {
        int twoLetterNames, fourLetterNames;
        std::size_t bytes, written;
    } kCases[] = {{199, 4, 2048, 2048}, {200, 4, 2058, 4096}, {199, 3, 2036, 2048}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.bytes);
        TreeBuilder tree;
        TDEntry& root = tree.Root();
        std::vector<TDEntry*> order{&root};
        for (int i = 0; i < c.twoLetterNames; ++i) order.push_back(&tree.Directory(root, "AB", "ab"));
        for (int i = 0; i < c.fourLetterNames; ++i) order.push_back(&tree.Directory(root, "ABCD", "ab"));
        EXPECT_EQ(PathTableBytes(order, TreeKind::Iso), static_cast<std::int64_t>(c.bytes));
        Bytes s;
        WritePathTable(s, order, TreeKind::Iso, 20, PathTableOrder::Little);
        EXPECT_EQ(s.size(), c.written);
        EXPECT_TRUE(AllZero(s, c.bytes, c.written));
        EXPECT_EQ(Slice(s, c.bytes - 12, 4), Hex({0x04, 0x00, 0x14, 0x00}));
    }
}

TEST(PathTable, RefusesWhatItsFieldsCannotHold) {
    TreeBuilder tree;
    TDEntry& root = tree.Root();
    TDEntry& orphanParent = tree.Directory(root, "X", "x");
    TDEntry& orphan = tree.Directory(orphanParent, "Y", "y");
    TDEntry& longName = tree.Directory(root, std::string(256, 'N'), "n");
    TDEntry& farExtent = tree.Directory(root, "F", "f");
    farExtent.ISOExtent = 0xFFFF'FFF0;
    const struct {
        const char* what;
        std::vector<TDEntry*> order;
    } kCases[] = {
        {"parent not in the table", {&root, &orphan}},
        {"name of 256 bytes", {&root, &longName}},
        {"extent beyond 32 bits", {&root, &farExtent}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.what);
        Bytes s;
        EXPECT_THROW(WritePathTable(s, c.order, TreeKind::Iso, 20, PathTableOrder::Little), RecordRangeError);
    }
}

TEST(PathTable, ParentNumbersAbove65535AreRefused) {
    TreeBuilder tree;
    TDEntry& root = tree.Root();
    std::vector<TDEntry*> order{&root};
    for (int i = 1; i < 65536; ++i) order.push_back(&tree.Directory(root, "D", "d"));
    order.push_back(&tree.Directory(*order.back(), "E", "e")); // parent at position 65536
    Bytes s;
    EXPECT_THROW(WritePathTable(s, order, TreeKind::Iso, 20, PathTableOrder::Big), RecordRangeError);
    order.pop_back();
    order.push_back(&tree.Directory(*order[65534], "E", "e")); // parent at position 65535
    EXPECT_NO_THROW(WritePathTable(s, order, TreeKind::Iso, 20, PathTableOrder::Big));
}

// Golden record: length, 0, extent (both), data length (both), date, flags, 0, 0, sequence 1 (both),
// identifier length, identifier, padding.
Bytes Record(unsigned length, Bytes extentBoth, Bytes sizeBoth, unsigned flags, Bytes identifier) {
    Bytes r = Cat({Hex({length, 0x00}), extentBoth, sizeBoth, Hex({124, 3, 15, 13, 45, 30, 0x04}),
                   Hex({flags, 0x00, 0x00, 0x01, 0x00, 0x00, 0x01, static_cast<unsigned>(identifier.size())}),
                   identifier});
    r.resize(length, 0);
    return r;
}

constexpr DirectoryAreas kAreas{20, 150, kMarch15, 4};

TEST(DirectoryRecords, FileNamesGetVersionSuffixDirectoriesDoNot) {
    TreeBuilder tree;
    TDEntry& root = tree.Root();
    TFEntry& readme = tree.Entry(root, "README.", "readme.");
    readme.ISOSize = readme.JolietSize = 5;
    readme.DateTime = kMarch15;
    TFEntry& docs = tree.Entry(root, "DOCS", "Docs");
    docs.Attributes = attr::kDirectory;
    docs.Extent = docs.JolietExtent = 1;
    docs.ISOSize = docs.JolietSize = 2048;
    docs.DateTime = kMarch15;
    root.ISOSize = root.JolietSize = 2048;
    std::vector<TDEntry*> directories{&root};

    const Bytes dot = Record(34, Hex({0x14, 0, 0, 0, 0, 0, 0, 0x14}), Hex({0, 0x08, 0, 0, 0, 0, 0x08, 0}),
                             0x02, Hex({0x00}));
    const Bytes dotDot = Record(34, Hex({0x14, 0, 0, 0, 0, 0, 0, 0x14}), Hex({0, 0x08, 0, 0, 0, 0, 0x08, 0}),
                                0x02, Hex({0x01}));
    const struct {
        TreeKind which;
        Bytes expected;
    } kCases[] = {
        {TreeKind::Iso, Cat({dot, dotDot,
                             Record(42, Hex({0x96, 0, 0, 0, 0, 0, 0, 0x96}), Hex({5, 0, 0, 0, 0, 0, 0, 5}),
                                    0x00, Ascii("README.;1")),
                             Record(38, Hex({0x15, 0, 0, 0, 0, 0, 0, 0x15}),
                                    Hex({0, 0x08, 0, 0, 0, 0, 0x08, 0}), 0x02, Ascii("DOCS"))})},
        {TreeKind::Joliet,
         Cat({dot, dotDot,
              Record(52, Hex({0x96, 0, 0, 0, 0, 0, 0, 0x96}), Hex({5, 0, 0, 0, 0, 0, 0, 5}), 0x00,
                     Hex({0, 'r', 0, 'e', 0, 'a', 0, 'd', 0, 'm', 0, 'e', 0, '.', 0, ';', 0, '1'})),
              Record(42, Hex({0x15, 0, 0, 0, 0, 0, 0, 0x15}), Hex({0, 0x08, 0, 0, 0, 0, 0x08, 0}), 0x02,
                     Hex({0, 'D', 0, 'o', 0, 'c', 0, 's'}))})},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.which == TreeKind::Iso ? "ISO" : "Joliet");
        Bytes s;
        WriteDirectoryExtents(s, directories, c.which, kAreas);
        ASSERT_EQ(s.size(), 2048u);
        EXPECT_EQ(Slice(s, 0, c.expected.size()), c.expected);
        EXPECT_TRUE(AllZero(s, c.expected.size(), 2048));
        EXPECT_EQ(DirectoryExtentBytes(root, c.which), 2048);
    }
}

// A name that had no dot keeps its ISO 9660 separator but reaches the Joliet tree as it was; a name that
// really ends with a dot keeps it.
TEST(DirectoryRecords, JolietRecordsAddedDotsOnlyToTheShortName) {
    TreeBuilder tree;
    TDEntry& root = tree.Root();
    TFEntry& makefile = tree.Entry(root, "MAKEFILE.", "Makefile.");
    makefile.DotAdded = true;
    tree.Entry(root, "ODD.", "odd.");
    root.ISOSize = root.JolietSize = 2048;
    std::vector<TDEntry*> directories{&root};
    for (const auto& [which, first, second] :
         {std::tuple{TreeKind::Iso, Ascii("MAKEFILE.;1"), Ascii("ODD.;1")},
          std::tuple{TreeKind::Joliet,
                     Hex({0, 'M', 0, 'a', 0, 'k', 0, 'e', 0, 'f', 0, 'i', 0, 'l', 0, 'e', 0, ';', 0, '1'}),
                     Hex({0, 'o', 0, 'd', 0, 'd', 0, '.', 0, ';', 0, '1'})}}) {
        SCOPED_TRACE(which == TreeKind::Iso ? "ISO" : "Joliet");
        Bytes s;
        WriteDirectoryExtents(s, directories, which, kAreas);
        const std::size_t firstAt = 68, secondAt = firstAt + s[firstAt];
        EXPECT_EQ(Slice(s, firstAt + 33, s[firstAt + 32]), first);
        EXPECT_EQ(Slice(s, secondAt + 33, s[secondAt + 32]), second);
    }
}

TEST(DirectoryRecords, TwoFileRootWithEmptyHiddenAndImportedEntries) {
    TreeBuilder tree;
    TDEntry& root = tree.Root();
    root.ISOSize = 2048;
    TDEntry& sub = tree.Directory(root, "SUB", "sub");
    sub.ISOExtent = 1;
    sub.ISOSize = 2048;
    TFEntry& a = tree.Entry(root, "A.TXT", "a.txt");
    a.ISOSize = 1;
    a.DateTime = kMarch15;
    TFEntry& b = tree.Entry(root, "B.TXT", "b.txt");
    b.ISOSize = 4096;
    b.Extent = 1;
    b.DateTime = kMarch15;
    TFEntry& empty = tree.Entry(root, "E", "e");
    empty.Extent = 7; // an empty file points nowhere
    empty.DateTime = kMarch15;
    empty.Attributes = attr::kHidden;
    TFEntry& old = tree.Entry(root, "O", "o");
    old.Imported = true;
    old.Extent = 40;
    old.ISOSize = 3;
    old.DateTime = kMarch15;
    TFEntry& hiddenDir = tree.Entry(root, "SUB", "sub");
    hiddenDir.Dir = &sub;
    hiddenDir.Extent = 1;
    hiddenDir.ISOSize = 2048;
    hiddenDir.Attributes = attr::kDirectory | attr::kHidden;
    hiddenDir.DateTime = kMarch15;

    std::vector<TDEntry*> directories{&root, &sub};
    Bytes s;
    WriteDirectoryExtents(s, directories, TreeKind::Iso, kAreas);
    ASSERT_EQ(s.size(), 4096u);
    const Bytes expected = Cat({
        Record(40, Hex({0x96, 0, 0, 0, 0, 0, 0, 0x96}), Hex({1, 0, 0, 0, 0, 0, 0, 1}), 0x00,
               Ascii("A.TXT;1")),
        Record(40, Hex({0x97, 0, 0, 0, 0, 0, 0, 0x97}), Hex({0, 0x10, 0, 0, 0, 0, 0x10, 0}), 0x00,
               Ascii("B.TXT;1")),
        Record(36, Hex({0, 0, 0, 0, 0, 0, 0, 0}), Hex({0, 0, 0, 0, 0, 0, 0, 0}), 0x01, Ascii("E;1")),
        Record(36, Hex({0x28, 0, 0, 0, 0, 0, 0, 0x28}), Hex({3, 0, 0, 0, 0, 0, 0, 3}), 0x00, Ascii("O;1")),
        Record(36, Hex({0x15, 0, 0, 0, 0, 0, 0, 0x15}), Hex({0, 0x08, 0, 0, 0, 0, 0x08, 0}), 0x03,
               Ascii("SUB")),
    });
    EXPECT_EQ(Slice(s, 68, expected.size()), expected);
    EXPECT_TRUE(AllZero(s, 68 + expected.size(), 2048));
    // The sub-directory's own extent: "." is itself at sector 21, ".." the root at 20.
    EXPECT_EQ(Slice(s, 2048, 10), Hex({0x22, 0x00, 0x15, 0, 0, 0, 0, 0, 0, 0x15}));
    EXPECT_EQ(Slice(s, 2048 + 34, 10), Hex({0x22, 0x00, 0x14, 0, 0, 0, 0, 0, 0, 0x14}));
    EXPECT_EQ(Slice(s, 2048 + 18, 7), Hex({124, 3, 15, 13, 45, 30, 0x04}));
    EXPECT_EQ(s[2048 + 33], 0x00);
    EXPECT_EQ(s[2048 + 34 + 33], 0x01);
    EXPECT_TRUE(AllZero(s, 2048 + 68, 4096));
}

TEST(DirectoryRecords, NoRecordCrossesASectorEnd) {
    // 1980 bytes follow "." and ".."; records of 40 bytes leave 20 unused, records of 44 fill it exactly.
    const struct {
        const char* name; // gives the record length with ";1"
        int count;
        std::size_t extentBytes;
        std::size_t secondSectorFirstLength; // 0 when nothing goes to a second sector
    } kCases[] = {
        {"A.TXT", 49, 2048, 0},
        {"A.TXT", 50, 4096, 40},
        {"ABCDEFG.H", 45, 2048, 0},
        {"ABCDEFG.H", 46, 4096, 44},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(testing::Message() << c.name << " x" << c.count);
        TreeBuilder tree;
        TDEntry& root = tree.Root();
        for (int i = 0; i < c.count; ++i) tree.Entry(root, c.name, c.name).ISOSize = 1;
        std::vector<TDEntry*> directories{&root};
        Bytes s;
        WriteDirectoryExtents(s, directories, TreeKind::Iso, kAreas);
        ASSERT_EQ(s.size(), c.extentBytes);
        EXPECT_EQ(DirectoryExtentBytes(root, TreeKind::Iso), static_cast<std::int64_t>(c.extentBytes));
        if (c.secondSectorFirstLength != 0) {
            const std::size_t recordLength = c.secondSectorFirstLength;
            const std::size_t used = 68 + recordLength * (1980 / recordLength);
            EXPECT_TRUE(AllZero(s, used, 2048));
            EXPECT_EQ(s[2048], recordLength);
            EXPECT_TRUE(AllZero(s, 2048 + recordLength, 4096));
        }
    }
}

TEST(DirectoryRecords, ImportedDotRecordsAreNotSynthesisedAgain) {
    TreeBuilder tree;
    TDEntry& root = tree.Root();
    TFEntry& dot = tree.Entry(root, ".", ".");
    dot.Attributes = attr::kDirectory;
    dot.ISOSize = 2048;
    dot.DateTime = kMarch15;
    TFEntry& dotDot = tree.Entry(root, "..", "..");
    dotDot.Attributes = attr::kDirectory;
    dotDot.ISOSize = 2048;
    dotDot.DateTime = kMarch15;
    std::vector<TDEntry*> directories{&root};
    Bytes s;
    WriteDirectoryExtents(s, directories, TreeKind::Iso, kAreas);
    ASSERT_EQ(s.size(), 2048u);
    const Bytes dotRecord = Record(34, Hex({0x14, 0, 0, 0, 0, 0, 0, 0x14}),
                                   Hex({0, 0x08, 0, 0, 0, 0, 0x08, 0}), 0x02, Hex({0x00}));
    const Bytes dotDotRecord = Record(34, Hex({0x14, 0, 0, 0, 0, 0, 0, 0x14}),
                                      Hex({0, 0x08, 0, 0, 0, 0, 0x08, 0}), 0x02, Hex({0x01}));
    EXPECT_EQ(Slice(s, 0, 68), Cat({dotRecord, dotDotRecord}));
    EXPECT_TRUE(AllZero(s, 68, 2048));
}

TEST(DirectoryRecords, RefusesRecordsTheirFieldsCannotHold) {
    const struct {
        const char* what;
        std::string shortName;
        std::string longName;
        bool directory;
        std::int64_t size;
        std::uint32_t extent;
        TreeKind which;
        bool fits;
    } kCases[] = {
        {"ISO name of 219 + ;1: 254 bytes", std::string(219, 'A'), "a", false, 1, 0, TreeKind::Iso, true},
        {"ISO name of 220 + ;1: 256 bytes", std::string(220, 'A'), "a", false, 1, 0, TreeKind::Iso, false},
        {"Joliet file of 108 units", "A", std::string(108, 'a'), false, 1, 0, TreeKind::Joliet, true},
        {"Joliet file of 109 units", "A", std::string(109, 'a'), false, 1, 0, TreeKind::Joliet, false},
        {"Joliet folder of 110 units", "A", std::string(110, 'a'), true, 2048, 0, TreeKind::Joliet, true},
        {"Joliet folder of 111 units", "A", std::string(111, 'a'), true, 2048, 0, TreeKind::Joliet, false},
        {"data length just below 4 GiB", "A", "a", false, 0xFFFF'FFFF, 0, TreeKind::Iso, true},
        {"data length of 4 GiB", "A", "a", false, 0x1'0000'0000, 0, TreeKind::Iso, false},
        {"file extent beyond 32 bits", "A", "a", false, 1, 0xFFFF'FFF0, TreeKind::Iso, false},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.what);
        TreeBuilder tree;
        TDEntry& root = tree.Root();
        TFEntry& entry = tree.Entry(root, c.shortName, c.longName);
        if (c.directory) entry.Attributes = attr::kDirectory;
        entry.ISOSize = entry.JolietSize = c.size;
        entry.Extent = entry.JolietExtent = c.extent;
        std::vector<TDEntry*> directories{&root};
        Bytes s;
        if (c.fits) {
            EXPECT_NO_THROW(WriteDirectoryExtents(s, directories, c.which, kAreas));
            EXPECT_NO_THROW(DirectoryExtentBytes(root, c.which));
        } else {
            EXPECT_THROW(WriteDirectoryExtents(s, directories, c.which, kAreas), RecordRangeError);
        }
    }
    TreeBuilder tree;
    TDEntry& root = tree.Root();
    tree.Entry(root, "A", "a");
    std::vector<TDEntry*> directories{&root};
    Bytes s;
    DirectoryAreas badOffset = kAreas;
    badOffset.GMTOffset = 200;
    EXPECT_THROW(WriteDirectoryExtents(s, directories, TreeKind::Iso, badOffset), RecordRangeError);
}

TEST(BootCatalog, ValidationEntrySumsToZeroAndDefaultEntryPicksTheMedia) {
    const struct {
        std::int64_t imageSize;
        unsigned mediaType;
    } kCases[] = {{1228800, 1}, {1474560, 2}, {2949120, 3}, {2048, 4}, {1476608, 4}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.imageSize);
        Bytes s;
        WriteBootCatalog(s, c.imageSize, 27 * 2048);
        ASSERT_EQ(s.size(), 2048u);
        // Words 0001h, 0000h, 6F4Ch "Lo", 7672h "rv", 6E61h "an", 0065h "e", AA55h sum to FEDAh: 0126h.
        EXPECT_EQ(Slice(s, 0, 32),
                  Hex({0x01, 0x00, 0x00, 0x00, 'L', 'o', 'r', 'v', 'a', 'n', 'e', 0,    0,    0,    0,   0, 0,
                       0,    0,    0,    0,    0,   0,   0,   0,   0,   0,   0,   0x26, 0x01, 0x55, 0xAA}));
        unsigned sum = 0;
        for (std::size_t i = 0; i < 32; i += 2) sum += s[i] + 256u * s[i + 1];
        EXPECT_EQ(sum % 65536, 0u);
        EXPECT_EQ(Slice(s, 32, 12),
                  Hex({0x88, c.mediaType, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x1B, 0x00, 0x00, 0x00}));
        EXPECT_TRUE(AllZero(s, 44, 2048));
    }
    Bytes s;
    EXPECT_THROW(WriteBootCatalog(s, 2048, 0x1'0000'0000LL * 2048), RecordRangeError);
}

} // namespace
} // namespace lorvane::image
