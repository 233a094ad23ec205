// Images made by lorvane-cli build-iso, read back by independent ISO 9660 readers (xorriso, bsdtar,
// isoinfo, pycdlib) and compared with the source trees they were made from: names in both trees,
// structure, sizes, bytes, the volume identifier and the El Torito boot entry.

#include "image/temp_tree.h"
#include "peers/peer_tools.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using lorvane::image::testing::TempTree;
using namespace lorvane::peers;

enum class Reader { Xorriso, Bsdtar, Isoinfo, Pycdlib };
enum class Kind { Iso, Joliet };

const char* ReaderName(Reader reader) {
    switch (reader) {
    case Reader::Xorriso: return "xorriso";
    case Reader::Bsdtar: return "bsdtar";
    case Reader::Isoinfo: return "isoinfo";
    case Reader::Pycdlib: return "pycdlib";
    }
    return "?";
}

// Whether the reader is installed; pycdlib needs the system interpreter with the module.
bool Available(Reader reader, const fs::path& scratch) {
    return reader == Reader::Pycdlib ? HavePycdlib(scratch) : HaveProgram(ReaderName(reader));
}

std::vector<std::string> Split(const std::string& path) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : path) {
        if (c == '/') {
            parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    parts.push_back(part);
    return parts;
}

std::string Join(const std::vector<std::string>& parts) {
    std::string path;
    for (const std::string& part : parts) path += (path.empty() ? "" : "/") + part;
    return path;
}

// UTF-8 to UTF-16 code units (the test names are valid UTF-8).
std::u16string Utf16(const std::string& text) {
    std::u16string units;
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const int length = byte < 0x80 ? 1 : byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
        std::uint32_t code = length == 1 ? byte : byte & (0x7Fu >> length);
        for (int k = 1; k < length; ++k) code = code << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
        i += static_cast<std::size_t>(length);
        if (code >= 0x10000) {
            units.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
        } else {
            units.push_back(static_cast<char16_t>(code));
        }
    }
    return units;
}

// The name as a reader shows a recorded identifier. xorriso drops the ";1" and a dot left in front of
// it from both trees, bsdtar does so in the ISO 9660 tree but keeps the dot of a Joliet name; isoinfo
// and pycdlib give the identifiers as recorded, isoinfo printing Joliet names one byte per UTF-16 unit
// (ISO 8859-1, "_" for what it cannot show).
std::string Shown(Reader reader, Kind kind, std::string name, bool folder) {
    const bool versioned = !folder && name.size() > 2 && name.ends_with(";1");
    switch (reader) {
    case Reader::Xorriso:
    case Reader::Bsdtar:
        if (versioned) name.resize(name.size() - 2);
        if (versioned && (reader == Reader::Xorriso || kind == Kind::Iso) && name.size() > 1 &&
            name.back() == '.')
            name.pop_back();
        return name;
    case Reader::Isoinfo:
        if (kind == Kind::Joliet) {
            std::string latin;
            for (char16_t unit : Utf16(name)) latin += unit < 0x100 ? static_cast<char>(unit) : '_';
            return latin;
        }
        return name;
    case Reader::Pycdlib: return name;
    }
    return name;
}

Tree ShownTree(Reader reader, Kind kind, const Tree& recorded) {
    Tree shown;
    for (const auto& [path, node] : recorded) {
        std::vector<std::string> parts = Split(path);
        for (std::size_t i = 0; i < parts.size(); ++i)
            parts[i] = Shown(reader, kind, parts[i], node.folder || i + 1 < parts.size());
        shown[Join(parts)] = node;
    }
    return shown;
}

// A source tree under TempTree/src together with what the image must record for it.
class SourceTree {
public:
    std::string Source() const { return m_temp.Path("src"); }
    const TempTree& Temp() const { return m_temp; }

    // A file at source/relative whose ISO 9660 path (identifiers as recorded, ";1" included) is isoPath.
    // Its Joliet identifier is its own name, with a dot when it has none (the same rule as the short
    // name), followed by ";1".
    void File(const std::string& relative, const std::string& isoPath, const std::string& bytes) {
        const fs::path path = fs::path(Source()) / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
        // Joliet records the name exactly as the source has it.
        std::vector<std::string> joliet = Split(relative);
        joliet.back() += ";1";
        Record(m_iso, isoPath, bytes);
        Record(m_joliet, Join(joliet), bytes);
    }

    // A file or folder link the image shows under the link's name as the file it points to, or
    // leaves out with the line lorvane-cli prints for it.
    void Link(const std::string& relative, const std::string& target, const std::string& logLine = {}) {
        const fs::path path = fs::path(Source()) / relative;
        fs::create_directories(path.parent_path());
        fs::create_symlink(target, path);
        if (!logLine.empty()) m_log += "lorvane-cli: " + logLine + path.string() + "\n";
    }
    // A file the image must not show (a --no-recurse case).
    void Unrecorded(const std::string& relative) {
        const fs::path path = fs::path(Source()) / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << "left out\n";
    }
    void Recorded(const std::string& isoPath, const std::string& jolietPath, const std::string& bytes) {
        Record(m_iso, isoPath, bytes);
        Record(m_joliet, jolietPath, bytes);
    }
    const std::string& ExpectedLog() const { return m_log; }

    // What a placement puts in front of the source's own paths (ISO and Joliet folder paths).
    void Place(const std::string& isoPrefix, const std::string& jolietPrefix) {
        m_isoPrefix = isoPrefix;
        m_jolietPrefix = jolietPrefix;
    }
    Tree Expected(Kind kind) const {
        const Tree& own = kind == Kind::Iso ? m_iso : m_joliet;
        const std::string& prefix = kind == Kind::Iso ? m_isoPrefix : m_jolietPrefix;
        if (prefix.empty()) return own;
        Tree placed;
        const std::vector<std::string> parts = Split(prefix);
        for (std::size_t i = 1; i <= parts.size(); ++i)
            placed[Join({parts.begin(), parts.begin() + static_cast<std::ptrdiff_t>(i)})] = Node{true, 0, {}};
        for (const auto& [path, node] : own) placed[prefix + "/" + path] = node;
        return placed;
    }
    std::size_t FileCount() const {
        return static_cast<std::size_t>(
            std::count_if(m_iso.begin(), m_iso.end(), [](const auto& item) { return !item.second.folder; }));
    }

private:
    static void Record(Tree& tree, const std::string& path, const std::string& bytes) {
        const std::vector<std::string> parts = Split(path);
        for (std::size_t i = 1; i < parts.size(); ++i)
            tree[Join({parts.begin(), parts.begin() + static_cast<std::ptrdiff_t>(i)})] = Node{true, 0, {}};
        tree[path] = Node{false, bytes.size(), bytes};
    }

    TempTree m_temp;
    Tree m_iso, m_joliet;
    std::string m_isoPrefix, m_jolietPrefix;
    std::string m_log;
};

std::string RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(generator() & 0xFF);
    return bytes;
}

// The long names awkward for one tree or the other: accents, CJK, an emoji (a UTF-16 surrogate pair),
// spaces, no extension, several dots, a 100-character name, an empty file, a dot name (hidden), two
// names that differ only in case, a few megabytes of random bytes, and a folder with a space.
// The short names are the Windows-style aliases of the enumeration layer, worked out by hand.
void AwkwardNames(SourceTree& tree) {
    const std::string hundred = std::string(96, 'L') + ".txt";
    tree.File(".hidden", "HIDDEN~1.;1", "dot name\n");
    tree.File(hundred, "LLLLLL~1.TXT;1", "a hundred characters\n");
    tree.File("README.TXT", "README.TXT;1", "upper\n");
    tree.File("Readme.txt", "README~1.TXT;1", "mixed\n");
    tree.File("Sub Folder/inner.txt", "SUBFOL~1/INNER.TXT;1", "inner\n");
    tree.File("archive.tar.gz", "ARCHIV~1.GZ;1", "several dots\n");
    tree.File("empty.dat", "EMPTY.DAT;1", "");
    tree.File("my notes.text", "MYNOTE~1.TEX;1", "space and a long extension\n");
    tree.File("noext", "NOEXT.;1", "no extension\n");
    tree.File("party \xF0\x9F\x8E\x89.txt", "PARTY_~1.TXT;1", "emoji\n");
    tree.File("random.bin", "RANDOM.BIN;1", RandomBytes(3 * 1048576 + 123, 7));
    tree.File("\xC3\x89t\xC3\xA9 \xC3\xA9t\xC3\xA9.txt", "_T__T_~1.TXT;1", "accents\n");
    tree.File("\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE6\x96\x87\xE6\x9B\xB8.txt",
              "______~1.TXT;1", "CJK\n");
}

// Twenty levels below the root; ISO 9660 readers are not bound to the eight of ECMA-119 6.8.2.1.
void DeepNesting(SourceTree& tree) {
    std::string source, iso;
    for (int level = 1; level <= 20; ++level) {
        source += "d" + std::to_string(level) + "/";
        iso += "D" + std::to_string(level) + "/";
    }
    tree.File(source + "deep.txt", iso + "DEEP.TXT;1", "twenty levels down\n");
    tree.File("top.txt", "TOP.TXT;1", "top\n");
}

// One folder of 3,000 files: its directory extent spans many sectors.
void ThousandsOfEntries(SourceTree& tree) {
    for (int i = 0; i < 3000; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "f%04d.txt", i);
        std::string upper(name);
        std::transform(upper.begin(), upper.end(), upper.begin(),
                       [](char c) { return static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c); });
        tree.File(std::string("many/") + name, "MANY/" + upper + ";1", std::to_string(i * 7919) + "\n");
    }
}

// A small tree with a sub-folder, for the placements.
void SmallTree(SourceTree& tree) {
    tree.File("a.txt", "A.TXT;1", "a\n");
    tree.File("docs/b.txt", "DOCS/B.TXT;1", "bb\n");
    tree.File("docs/old/c.txt", "DOCS/OLD/C.TXT;1", RandomBytes(5000, 3));
}

// Only the top folder's own files; its sub-folders are not looked into.
void TopLevelOnly(SourceTree& tree) {
    tree.File("a.txt", "A.TXT;1", "a\n");
    tree.File("z.txt", "Z.TXT;1", "z\n");
    tree.Unrecorded("docs/b.txt");
    tree.Unrecorded("docs/old/c.txt");
}

// Links to files are followed; links to folders (which could loop) and broken links are left out, each
// with a line on standard error.
void SymbolicLinks(SourceTree& tree) {
    tree.File("inner/x.txt", "INNER/X.TXT;1", "linked bytes\n");
    tree.Link("broken", "nowhere", "SKIPPED BROKEN SYMBOLIC LINK: ");
    tree.Link("linkdir", "inner", "SKIPPED SYMBOLIC LINK TO A FOLDER: ");
    tree.Link("linkfile.txt", "inner/x.txt");
    tree.Recorded("LINKFILE.TXT;1", "linkfile.txt;1", "linked bytes\n");
}

// The short name a folder made from a kept source path gets: the first 13 characters upper-cased,
// characters up to space or from "{" on replaced by "_".
std::string KeptFolderShortName(const std::string& name) {
    std::string shortName = name.substr(0, 13);
    for (char& c : shortName) {
        const auto code = static_cast<unsigned char>(c);
        if (code >= 'a' && code <= 'z') c = static_cast<char>(code - 'a' + 'A');
        if (code <= 32 || code >= 123) c = '_';
    }
    return shortName;
}

enum class Placement { InRoot, FullPath, LastFolder };

struct TreeCase {
    const char* name;
    std::function<void(SourceTree&)> build;
    Placement placement = Placement::InRoot;
    bool joliet = true;
    bool recurse = true;
    // isoinfo -x starts one process per file; with thousands of files the listing alone is compared.
    bool extractEachFile = true;
};

const TreeCase kTreeCases[] = {
    {"AwkwardNames", AwkwardNames},
    {"AwkwardNamesWithoutJoliet", AwkwardNames, Placement::InRoot, false},
    {"DeepNesting", DeepNesting},
    {"ThousandsOfEntries", ThousandsOfEntries, Placement::InRoot, true, true, false},
    {"SavePathNone", SmallTree, Placement::InRoot},
    {"SavePathFull", SmallTree, Placement::FullPath},
    {"SavePathLast", SmallTree, Placement::LastFolder},
    {"NoRecurse", TopLevelOnly, Placement::InRoot, true, false},
    {"SymbolicLinks", SymbolicLinks},
};

// One image built from one case, shared by the tests of every reader.
struct BuiltImage {
    SourceTree tree;
    std::string image;
    ToolRun build;
};

BuiltImage& ImageFor(const TreeCase& treeCase) {
    static std::map<std::string, std::unique_ptr<BuiltImage>> images;
    std::unique_ptr<BuiltImage>& built = images[treeCase.name];
    if (built) return *built;
    built = std::make_unique<BuiltImage>();
    SourceTree& tree = built->tree;
    treeCase.build(tree);
    built->image = tree.Temp().Path("out.iso");
    std::vector<std::string> args = {"build-iso", "-o", built->image};
    if (!treeCase.joliet) args.push_back("--no-joliet");
    if (!treeCase.recurse) args.push_back("--no-recurse");
    switch (treeCase.placement) {
    case Placement::InRoot: args.insert(args.end(), {"--save-path", "none"}); break;
    case Placement::FullPath: {
        args.insert(args.end(), {"--save-path", "full"});
        std::vector<std::string> iso, joliet;
        for (const auto& part : fs::path(tree.Source()).relative_path()) {
            iso.push_back(KeptFolderShortName(part.string()));
            joliet.push_back(part.string());
        }
        tree.Place(Join(iso), Join(joliet));
        break;
    }
    case Placement::LastFolder:
        args.insert(args.end(), {"--save-path", "last"});
        tree.Place("SRC", "src");
        break;
    }
    args.push_back(tree.Source());
    built->build = RunLorvaneCli(args);
    return *built;
}

// What one reader shows of one tree of an image; a folder per extraction below scratch.
Tree ReadBack(Reader reader, Kind kind, const std::string& image, const fs::path& scratch, bool eachFile) {
    const std::string into =
        (scratch / (std::string(ReaderName(reader)) + (kind == Kind::Iso ? "-iso" : "-joliet"))).string();
    fs::remove_all(into);
    fs::create_directories(into);
    switch (reader) {
    case Reader::Xorriso: {
        // -read_fs must come before -indev to decide which tree is loaded.
        std::vector<std::string> args = {"xorriso",  "-read_fs", kind == Kind::Iso ? "ecma119" : "any",
                                         "-osirrox", "on",       "-indev",
                                         image,      "-extract", "/",
                                         into};
        const ToolRun run = RunProgram(args, scratch);
        EXPECT_EQ(run.status, 0) << run.err;
        // Extracted folders keep the image's read-only modes; open them again for the clean-up.
        std::error_code ignored;
        for (auto it = fs::recursive_directory_iterator(into, ignored); it != fs::end(it);
             it.increment(ignored))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        return Snapshot(into);
    }
    case Reader::Bsdtar: {
        std::vector<std::string> args = {"bsdtar"};
        if (kind == Kind::Iso) args.insert(args.end(), {"--options", "iso9660:!joliet"});
        args.insert(args.end(), {"-xf", image, "-C", into});
        const ToolRun run = RunProgram(args, scratch);
        EXPECT_EQ(run.status, 0) << run.err;
        return Snapshot(into);
    }
    case Reader::Pycdlib: {
        const fs::path script = fs::path(__FILE__).parent_path() / "pycdlib_dump.py";
        const ToolRun run = RunProgram({kPython, script.string(), image, into}, scratch);
        EXPECT_EQ(run.status, 0) << run.err;
        return Snapshot(fs::path(into) / (kind == Kind::Iso ? "iso" : "joliet"));
    }
    case Reader::Isoinfo: {
        std::vector<std::string> args = {"isoinfo", "-i", image, "-l"};
        if (kind == Kind::Joliet) args.push_back("-J");
        const ToolRun run = RunProgram(args, scratch);
        EXPECT_EQ(run.status, 0) << run.err;
        // "Directory listing of /SUB/" heads each folder; each entry line ends in "]  NAME ".
        Tree tree;
        std::string folder;
        for (const std::string& line : Lines(run.out)) {
            constexpr std::string_view kHeading = "Directory listing of /";
            if (line.starts_with(kHeading)) {
                folder = line.substr(kHeading.size());
                if (!folder.empty() && folder.back() == '/') folder.pop_back();
                continue;
            }
            const std::size_t at = line.find("]  ");
            if (at == std::string::npos || line.size() < at + 4) continue;
            const std::string name = line.substr(at + 3, line.size() - at - 4);
            if (name == "." || name == "..") continue;
            unsigned long long size = 0;
            char mode[16] = {};
            if (std::sscanf(line.c_str(), "%15s %*s %*s %*s %llu", mode, &size) != 2) continue;
            const bool isFolder = mode[0] == 'd';
            const std::string path = folder.empty() ? name : folder + "/" + name;
            Node node{isFolder, isFolder ? 0 : size, std::nullopt};
            if (!isFolder && kind == Kind::Iso && eachFile) {
                const ToolRun file = RunProgram({"isoinfo", "-i", image, "-x", "/" + path}, scratch);
                EXPECT_EQ(file.status, 0) << file.err;
                node.bytes = file.out;
            }
            tree[path] = node;
        }
        return tree;
    }
    }
    return {};
}

void PrintTo(const TreeCase& treeCase, std::ostream* out) {
    *out << treeCase.name;
}
void PrintTo(Reader reader, std::ostream* out) {
    *out << ReaderName(reader);
}

class PeerReadBack : public ::testing::TestWithParam<std::tuple<TreeCase, Reader>> {
protected:
    void SetUp() override {
        const auto& [treeCase, reader] = GetParam();
        if (!Available(reader, m_scratch.Path())) GTEST_SKIP() << ReaderName(reader) << " is not installed";
    }
    TempTree m_scratch;
};

TEST_P(PeerReadBack, ShowsTheSourceTreeWithItsNamesSizesAndBytes) {
    const auto& [treeCase, reader] = GetParam();
    BuiltImage& built = ImageFor(treeCase);
    ASSERT_EQ(built.build.status, 0) << built.build.err;
    EXPECT_EQ(built.build.err, built.tree.ExpectedLog());

    // ISO 9660 tree: the short names the builder chose.
    ExpectSameTree(ShownTree(reader, Kind::Iso, built.tree.Expected(Kind::Iso)),
                   ReadBack(reader, Kind::Iso, built.image, m_scratch.Path(), treeCase.extractEachFile),
                   std::string(ReaderName(reader)) + " ISO 9660 tree");
    if (!treeCase.joliet) return;
    // Joliet tree: the long names, byte for byte.
    ExpectSameTree(ShownTree(reader, Kind::Joliet, built.tree.Expected(Kind::Joliet)),
                   ReadBack(reader, Kind::Joliet, built.image, m_scratch.Path(), treeCase.extractEachFile),
                   std::string(ReaderName(reader)) + " Joliet tree");
}

// The listings (bsdtar -tf, xorriso -find) name every folder and file once, the root as "." or "/"; without
// Joliet both fall back to the ISO 9660 tree.
using PeerListing = PeerReadBack;
TEST_P(PeerListing, NamesEveryFolderAndFileOnce) {
    const auto& [treeCase, reader] = GetParam();
    BuiltImage& built = ImageFor(treeCase);
    ASSERT_EQ(built.build.status, 0) << built.build.err;
    const Kind kind = treeCase.joliet ? Kind::Joliet : Kind::Iso;
    const ToolRun run = reader == Reader::Bsdtar
                            ? RunProgram({"bsdtar", "-tf", built.image}, m_scratch.Path())
                            : RunProgram({"xorriso", "-indev", built.image, "-find", "/"}, m_scratch.Path());
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<std::string> expected = {reader == Reader::Bsdtar ? "." : "'/'"};
    for (const auto& [path, node] : ShownTree(reader, kind, built.tree.Expected(kind)))
        expected.push_back(reader == Reader::Bsdtar ? path : "'/" + path + "'");
    std::vector<std::string> listed = Lines(run.out);
    std::sort(expected.begin(), expected.end());
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, expected);
}

INSTANTIATE_TEST_SUITE_P(Trees, PeerReadBack,
                         ::testing::Combine(::testing::ValuesIn(kTreeCases),
                                            ::testing::Values(Reader::Xorriso, Reader::Bsdtar,
                                                              Reader::Isoinfo, Reader::Pycdlib)),
                         [](const auto& param) {
                             return std::string(std::get<0>(param.param).name) + "_" +
                                    ReaderName(std::get<1>(param.param));
                         });
INSTANTIATE_TEST_SUITE_P(Trees, PeerListing,
                         ::testing::Combine(::testing::ValuesIn(kTreeCases),
                                            ::testing::Values(Reader::Xorriso, Reader::Bsdtar)),
                         [](const auto& param) {
                             return std::string(std::get<0>(param.param).name) + "_" +
                                    ReaderName(std::get<1>(param.param));
                         });

std::string Hex(const std::string& bytes) {
    std::string hex;
    char digits[3];
    for (char byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned>(static_cast<unsigned char>(byte)));
        hex += digits;
    }
    return hex;
}

// The tab-separated fact lines of pycdlib_dump.py, by their first field.
std::map<std::string, std::vector<std::string>> PycdlibFacts(const std::string& image,
                                                             const fs::path& scratch) {
    const fs::path script = fs::path(__FILE__).parent_path() / "pycdlib_dump.py";
    const fs::path into = scratch / "pycdlib";
    fs::remove_all(into);
    const ToolRun run = RunProgram({kPython, script.string(), image, into.string()}, scratch);
    EXPECT_EQ(run.status, 0) << run.err;
    std::map<std::string, std::vector<std::string>> facts;
    for (const std::string& line : Lines(run.out)) {
        std::vector<std::string> fields;
        std::istringstream in(line);
        for (std::string field; std::getline(in, field, '\t');) fields.push_back(field);
        if (!fields.empty()) facts[fields[0]] = {fields.begin() + 1, fields.end()};
    }
    return facts;
}

std::string TrimRight(std::string text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

// The volume identifier: upper-cased and space-filled to 32 bytes in the primary descriptor, as given
// and space-filled to 16 UTF-16 units in the Joliet descriptor (ECMA-119 8.4.5; Joliet).
struct VolumeCase {
    const char* name;
    std::string given;
    std::string primary; // the 32 recorded bytes; empty when not compared (not d-characters)
    std::string joliet;  // the 16 recorded units, as UTF-8
};

const VolumeCase kVolumeCases[] = {
    {"SevenCharacters", "My Disc", "MY DISC" + std::string(25, ' '), "My Disc" + std::string(9, ' ')},
    {"FortyCharacters", "Backup of the photo archive 2024 to 2026", "BACKUP OF THE PHOTO ARCHIVE 2024",
     "Backup of the ph"},
    {"Accented",
     "Caf\xC3\xA9 \xC3\xBCn\xC3\xAF"
     "code",
     "",
     "Caf\xC3\xA9 \xC3\xBCn\xC3\xAF"
     "code    "},
};

void PrintTo(const VolumeCase& volumeCase, std::ostream* out) {
    *out << volumeCase.name;
}

class PeerVolumeId : public ::testing::TestWithParam<VolumeCase> {};

TEST_P(PeerVolumeId, PrimaryIsUpperCasedAndJolietKeepsTheText) {
    const VolumeCase& volumeCase = GetParam();
    TempTree temp;
    temp.File("src/a.txt", 3);
    const std::string image = temp.Path("out.iso");
    const ToolRun build =
        RunLorvaneCli({"build-iso", "-o", image, "--volume-id", volumeCase.given, temp.Path("src")});
    ASSERT_EQ(build.status, 0) << build.err;

    bool anyReader = false;
    if (HavePycdlib(temp.Path())) {
        anyReader = true;
        auto facts = PycdlibFacts(image, temp.Path());
        if (!volumeCase.primary.empty()) {
            EXPECT_EQ(facts["pvd_volume"], std::vector{Hex(volumeCase.primary)});
        }
        EXPECT_EQ(facts["joliet_volume"], std::vector{Hex(volumeCase.joliet)});
    }
    if (volumeCase.primary.empty()) return;
    if (HaveProgram("isoinfo")) {
        anyReader = true;
        const ToolRun run = RunProgram({"isoinfo", "-d", "-i", image}, temp.Path());
        EXPECT_NE(run.out.find("\nVolume id: " + TrimRight(volumeCase.primary) + "\n"), std::string::npos)
            << run.out;
    }
    if (HaveProgram("xorriso")) {
        anyReader = true;
        const ToolRun run = RunProgram({"xorriso", "-indev", image, "-toc"}, temp.Path());
        EXPECT_NE((run.out + run.err).find("Volume id    : '" + TrimRight(volumeCase.primary) + "'"),
                  std::string::npos)
            << run.out << run.err;
    }
    if (!anyReader) GTEST_SKIP() << "no ISO reader is installed";
}

INSTANTIATE_TEST_SUITE_P(Volumes, PeerVolumeId, ::testing::ValuesIn(kVolumeCases),
                         [](const auto& param) { return std::string(param.param.name); });

// El Torito: the boot catalog's default entry (bootable, the media type the image's size gives, load
// segment 0, one sector, its start) and the boot image bytes at that start, zero-filled to whole sectors.
struct BootCase {
    const char* name;
    std::size_t size;
    int mediaType; // El Torito 2.2: 1, 2, 3 diskettes of 1.2, 1.44, 2.88 MB, 4 hard disk
};

constexpr BootCase kBootCases[] = {
    {"OneSector", 2048, 4},      {"PartOfASector", 3000, 4},  {"Diskette12", 1228800, 1},
    {"Diskette144", 1474560, 2}, {"Diskette288", 2949120, 3},
};

void PrintTo(const BootCase& bootCase, std::ostream* out) {
    *out << bootCase.name;
}

class PeerBootImage : public ::testing::TestWithParam<std::tuple<BootCase, bool>> {};

TEST_P(PeerBootImage, CatalogEntryPointsAtTheBootFileBytes) {
    const auto& [bootCase, joliet] = GetParam();
    TempTree temp;
    const std::string data = RandomBytes(10000, 11), boot = RandomBytes(bootCase.size, 13);
    fs::create_directories(temp.Path("src"));
    std::ofstream(temp.Path("src/data.bin"), std::ios::binary) << data;
    std::ofstream(temp.Path("boot.img"), std::ios::binary) << boot;
    const std::string image = temp.Path("out.iso");
    std::vector<std::string> args = {"build-iso", "-o", image, "--boot", temp.Path("boot.img")};
    if (!joliet) args.push_back("--no-joliet");
    args.push_back(temp.Path("src"));
    const ToolRun build = RunLorvaneCli(args);
    ASSERT_EQ(build.status, 0) << build.err;
    const std::string padded = boot + std::string((2048 - boot.size() % 2048) % 2048, '\0');

    bool anyReader = false;
    std::optional<unsigned long> pycdlibLba;
    if (HavePycdlib(temp.Path())) {
        anyReader = true;
        auto facts = PycdlibFacts(image, temp.Path());
        const std::string id = Hex(std::string("Lorvane") + std::string(17, '\0'));
        const std::vector<std::string>& entry = facts["boot"];
        ASSERT_EQ(entry.size(), 8u);
        // indicator 88h, media type, load segment 0, system type 0, one sector, start, platform x86, id
        EXPECT_EQ(entry[0], "136");
        EXPECT_EQ(entry[1], std::to_string(bootCase.mediaType));
        EXPECT_EQ(entry[2], "0");
        EXPECT_EQ(entry[3], "0");
        EXPECT_EQ(entry[4], "1");
        EXPECT_EQ(entry[6], "0");
        EXPECT_EQ(entry[7], id);
        pycdlibLba = std::stoul(entry[5]);
        EXPECT_TRUE(ReadBytes(image, *pycdlibLba * 2048, padded.size()) == padded) << "boot image bytes";
        const std::string recorded = (fs::path(temp.Path()) / "pycdlib" / "iso" / "DATA.BIN;1").string();
        EXPECT_TRUE(ReadBytes(recorded) == data) << "the file after the boot image";
    }
    if (HaveProgram("xorriso")) {
        anyReader = true;
        const ToolRun report =
            RunProgram({"xorriso", "-indev", image, "-report_el_torito", "plain"}, temp.Path());
        ASSERT_EQ(report.status, 0) << report.err;
        const std::size_t at = report.out.find("El Torito boot img :");
        ASSERT_NE(at, std::string::npos) << report.out;
        std::istringstream row(report.out.substr(at + 20, report.out.find('\n', at) - at - 20));
        std::vector<std::string> fields;
        for (std::string field; row >> field;) fields.push_back(field);
        // N Pltf B Emul Ld_seg Hdpt Ldsiz LBA
        ASSERT_EQ(fields.size(), 8u) << report.out;
        EXPECT_EQ(fields[1], "BIOS");
        EXPECT_EQ(fields[2], "y");
        EXPECT_EQ(fields[4], "0x0000");
        EXPECT_EQ(fields[6], "1");
        if (pycdlibLba) {
            EXPECT_EQ(fields[7], std::to_string(*pycdlibLba));
        }

        const fs::path into = fs::path(temp.Path()) / "xorriso-boot";
        const ToolRun extract = RunProgram(
            {"xorriso", "-osirrox", "on", "-indev", image, "-extract_boot_images", into.string() + "/"},
            temp.Path());
        ASSERT_EQ(extract.status, 0) << extract.err;
        // xorriso guesses the image's length from what follows it, so it may read on into the padding.
        const std::string extracted = ReadBytes(into / "eltorito_img1_bios.img");
        ASSERT_GE(extracted.size(), padded.size());
        EXPECT_TRUE(extracted.compare(0, padded.size(), padded) == 0) << "boot image bytes";
        EXPECT_EQ(extracted.find_first_not_of('\0', padded.size()), std::string::npos);
    }
    if (HaveProgram("isoinfo")) {
        anyReader = true;
        const ToolRun run = RunProgram({"isoinfo", "-d", "-i", image}, temp.Path());
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.out.find("ID 'Lorvane'"), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("Bootid 88 (bootable)"), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("Boot media " + std::to_string(bootCase.mediaType) + " "), std::string::npos)
            << run.out;
        EXPECT_NE(run.out.find("Nsect 1\n"), std::string::npos) << run.out;
        if (pycdlibLba) {
            char bootOffset[64];
            std::snprintf(bootOffset, sizeof bootOffset, "Bootoff %lX %lu\n", *pycdlibLba, *pycdlibLba);
            EXPECT_NE(run.out.find(bootOffset), std::string::npos) << run.out;
        }
    }
    if (HaveProgram("bsdtar")) {
        anyReader = true;
        const fs::path into = fs::path(temp.Path()) / "bsdtar";
        fs::create_directories(into);
        const ToolRun run = RunProgram({"bsdtar", "-xf", image, "-C", into.string()}, temp.Path());
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(ReadBytes(into / (joliet ? "data.bin" : "DATA.BIN")) == data)
            << "the file after the boot image";
    }
    if (!anyReader) GTEST_SKIP() << "no ISO reader is installed";
}

INSTANTIATE_TEST_SUITE_P(BootImages, PeerBootImage,
                         ::testing::Combine(::testing::ValuesIn(kBootCases), ::testing::Bool()),
                         [](const auto& param) {
                             return std::string(std::get<0>(param.param).name) +
                                    (std::get<1>(param.param) ? "_Joliet" : "_IsoOnly");
                         });

} // namespace
