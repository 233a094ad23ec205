// Fuzzes the ISO builder the way `lorvane-cli build-iso --quick` drives it: the input becomes a source
// tree in a scratch folder (nested folders, names of every awkward kind, files of many small sizes), the
// burner builds an image of it (ClearCompilation, AddDirectory, PrepareImage, quick SaveToISO), and the
// image is checked:
//   - on every input, in-process: the image is exactly the planned sectors long, the volume descriptors
//     stand where the layout put them and say what was asked (volume identifier, Joliet, El Torito with
//     the boot image's bytes), every file's bytes lie at its extent, the tree holds exactly the source
//     tree less the names the tree leaves out by design, no folder records one identifier twice, and
//     the burner's own session import (the image as a pressed disc in the virtual recorder) gives back
//     every folder and file with its name, size and bytes, from the Joliet tree and from the ISO tree;
//   - on every 16th input (the first one included, so a saved crash input replays its peer check), and
//     on every input when LORVANE_FUZZ_PEERS=1 (LORVANE_FUZZ_PEERS=N: every Nth, 0: never): xorriso,
//     bsdtar, isoinfo and pycdlib read the image as separate processes and must show the same names (as
//     each of them shows a recorded identifier), sizes and bytes. The readers cost a few tenths of a
//     second an input, about ten in-process checks' worth; one input in sixteen keeps them to under
//     half of the run.
// Any difference prints what differed and aborts, so libFuzzer keeps the input.
//
// Input (every byte is optional; a missing byte reads as 0):
//   byte 0: bit 0 Joliet off; bit 1 a volume identifier follows (length byte, then its characters);
//           bit 2 a boot image follows (size kind, content seed); bits 3-4 where the folder lands
//           (0 and 3 --save-path none, 1 full, 2 last); bit 5 the top folder's name follows (a name,
//           below; else "src"); bit 6 the image is read back as a DVD-ROM rather than a CD-ROM.
//   then one entry after another, each an operation byte (low 3 bits):
//     0-2 a file: name, size;  3 a folder, entered: name;  4 back to the parent folder;
//     5 a file named as the previous name of the folder with the case of its letters swapped: size;
//     6 a file named as the previous name with a piece put in before its last dot: piece, size;
//     7 an empty folder, not entered: name.
//   A name: kind byte (low 2 bits) 0 pieces (count byte, one byte per piece, from kPieces: dots,
//   spaces, extensions, accents, CJK, emoji, the characters Joliet cannot hold); 1 printable ASCII
//   (length byte, one byte per character); 2 a long name (character byte, length byte from 90 to 137
//   characters, extension byte), around the 103 and 127 limits; 3 an 8.3 name (length byte, the
//   characters, extension length byte, the characters), in either case.
//   A size: kind byte (low 3 bits) 0 empty; 1 1-256 bytes; 2 around one sector; 3 around two sectors;
//   4 up to 16 KiB; 5 up to 64 KiB; 6 around the 128 KiB copy block; 7 the next bytes of the input as
//   the content (length byte). Generated content comes from one seed byte.
// The tree holds at most kMaxEntries names, kMaxDepth folder levels and kMaxTreeBytes of file data.
// Two names of one folder that the tree would take for one name (the same Joliet-safe name, a file
// "a" beside "a.") are not both made: the tree refuses the second by design and build-iso fails then.

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "drive/scsi_device.h"
#include "image/orbel_burner.h"
#include "recorder/media.h"
#include "recorder/virtual_drive.h"
#include "recorder/virtual_recorder.h"
#include "support/fake_clock.h"
#include "support/fake_kernel.h"
#include "transport/aspi.h"
#include "transport/pass_through.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace lorvane;

constexpr std::size_t kSector = 2048;
constexpr std::size_t kMaxEntries = 48;
constexpr std::size_t kMaxDepth = 10;
constexpr std::size_t kMaxTreeBytes = 1 << 20;
constexpr std::size_t kMaxNameBytes = 255;  // NAME_MAX
constexpr std::size_t kMaxPathBytes = 3000; // well below PATH_MAX, with room for the readers' folders
constexpr unsigned kDefaultPeerInterval = 16;
// isoinfo extracts one file a process; it extracts this many of each image.
constexpr std::size_t kIsoinfoExtractions = 3;
// The limits the tree applies to long names (see AddFileEntry, AddDirectoryLevel).
constexpr std::size_t kMaxLongNameUnits = 127;
constexpr std::size_t kMaxJolietFileUnits = 103;
constexpr std::size_t kMaxJolietFolderUnits = 103;

// ---------------------------------------------------------------------------------------------------
// Input

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    std::uint8_t Byte() { return m_at < m_size ? m_data[m_at++] : 0; }
    bool Empty() const { return m_at >= m_size; }
    std::string Bytes(std::size_t count) {
        const std::size_t n = std::min(count, m_size - m_at);
        std::string bytes(reinterpret_cast<const char*>(m_data + m_at), n);
        m_at += n;
        return bytes;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
};

// What names are made of: letters, dots and spaces where 8.3 names have none, extensions of every
// length, the characters an alias replaces and those Joliet cannot hold, accents, CJK, emoji (UTF-16
// surrogate pairs), and the "~1" of an alias.
constexpr std::string_view kPieces[] = {
    "a",
    "b",
    "Z",
    "readme",
    "README",
    "Readme",
    "notes",
    "file",
    "x1",
    "data",
    ".",
    ".",
    "..",
    " ",
    "  ",
    "txt",
    "TXT",
    "tar",
    "gz",
    "html",
    "jpeg",
    "c",
    "-",
    "_",
    "~1",
    "~2",
    "(1)",
    "[x]",
    "{y}",
    "#",
    "$",
    "%",
    "&",
    "'",
    "!",
    "@",
    "^",
    "`",
    "+",
    ",",
    "=",
    ";",
    ":",
    "?",
    "*",
    "\\",
    "\"",
    "<",
    ">",
    "|",
    "\xC3\xA9",
    /* é */ "\xC3\x89",
    /* É */ "\xC3\xBC",
    /* ü */ "\xC3\x9F",
    /* ß */ "\xCE\xA9", /* Ω */
    "\xE6\x97\xA5\xE6\x9C\xAC",
    /* 日本 */ "\xE6\x96\x87\xE6\x9B\xB8", /* 文書 */
    "\xED\x95\x9C",
    /* 한 */ "\xF0\x9F\x8E\x89",
    /* 🎉 */ "\xF0\x9F\x98\x80", /* 😀 */
    "\xF0\x9D\x84\x9E",
    /* 𝄞 */ "1",
    "2",
    "10",
    "~",
    "ab.cd",
    ".git",
    "..x",
};
constexpr std::size_t kPieceCount = std::size(kPieces);

// The characters of a long name: one UTF-16 unit each, or two for the emoji.
constexpr std::string_view kLongCharacters[] = {
    "L", "x", " ", ".", "\xC3\xA9", "\xE6\x97\xA5", "\xF0\x9F\x8E\x89"};
constexpr std::string_view kLongExtensions[] = {"", ".txt", ".a", ".jpeg", "."};

std::size_t Utf8Length(unsigned char lead) {
    return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

// UTF-16 units of a valid UTF-8 text.
std::size_t Utf16Units(std::string_view text) {
    std::size_t units = 0;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = Utf8Length(static_cast<unsigned char>(text[at]));
        units += length == 4 ? 2 : 1;
        at += length;
    }
    return units;
}

// Cuts a valid UTF-8 text to at most `bytes` bytes without splitting a character.
std::string CutUtf8(std::string text, std::size_t bytes) {
    if (text.size() <= bytes) return text;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t length = Utf8Length(static_cast<unsigned char>(text[at]));
        if (at + length > bytes) break;
        at += length;
    }
    text.resize(at);
    return text;
}

char AsciiLetterOrDigit(std::uint8_t byte) {
    static constexpr std::string_view kSet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    return kSet[byte % kSet.size()];
}

std::string ReadName(Input& in) {
    std::string name;
    switch (in.Byte() & 3) {
    case 0: {
        const int count = 1 + in.Byte() % 6;
        for (int i = 0; i < count; ++i) name += kPieces[in.Byte() % kPieceCount];
        break;
    }
    case 1: {
        const int length = 1 + in.Byte() % 32;
        for (int i = 0; i < length; ++i) {
            const char c = static_cast<char>(0x20 + in.Byte() % 95);
            name += c == '/' ? '_' : c;
        }
        break;
    }
    case 2: {
        const std::string_view character = kLongCharacters[in.Byte() % std::size(kLongCharacters)];
        const std::size_t units = 90 + in.Byte() % 48;
        const std::string_view extension = kLongExtensions[in.Byte() % std::size(kLongExtensions)];
        while (Utf16Units(name) + Utf16Units(extension) < units) name += character;
        name += extension;
        break;
    }
    default: {
        const int base = 1 + in.Byte() % 8;
        for (int i = 0; i < base; ++i) name += AsciiLetterOrDigit(in.Byte());
        const int extension = in.Byte() % 4;
        if (extension > 0) name += '.';
        for (int i = 0; i < extension; ++i) name += AsciiLetterOrDigit(in.Byte());
        break;
    }
    }
    return name;
}

// Content that follows from one seed byte: no two sizes or seeds give the same bytes at one place.
std::string MakeContent(std::size_t size, std::uint8_t seed) {
    std::string bytes(size, '\0');
    std::uint32_t state = 0x9E3779B9u ^ (seed * 0x01000193u) ^ static_cast<std::uint32_t>(size);
    for (char& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

std::string ReadContent(Input& in) {
    const std::uint8_t kind = in.Byte() & 7;
    std::size_t size = 0;
    switch (kind) {
    case 0: return {};
    case 1: size = 1 + in.Byte(); break;
    case 2: size = kSector - 2 + in.Byte() % 5; break;
    case 3: size = 2 * kSector - 2 + in.Byte() % 5; break;
    case 4: size = std::size_t{in.Byte()} * 64 + in.Byte(); break;
    case 5: size = std::size_t{in.Byte()} << 8 | in.Byte(); break;
    case 6: size = image::kFileCopyBlock - 1 + in.Byte() % 3; break;
    default: return in.Bytes(in.Byte());
    }
    return MakeContent(size, in.Byte());
}

// ---------------------------------------------------------------------------------------------------
// The source tree and what the image must hold of it

struct SourceNode {
    std::string name; // as on the local disk
    bool folder = false;
    std::string bytes;
    std::vector<SourceNode> children;
};

std::string WithDot(std::string name) {
    if (name.find('.') == std::string::npos) name += '.';
    return name;
}

// A name as the tree keeps it: the characters a Joliet identifier cannot hold (controls, "*", "/",
// ":", ";", "?", "\") as "_".
std::string JolietSafe(std::string_view name) {
    std::string out;
    for (char c : name) {
        const auto code = static_cast<unsigned char>(c);
        out += code < 0x20 || std::string_view("*/:;?\\").find(c) != std::string_view::npos ? '_' : c;
    }
    return out;
}

// The name by which the tree finds an entry in its folder: a folder's safe name, a file's with a dot.
std::string TreeKey(const SourceNode& node) {
    return node.folder ? JolietSafe(node.name) : WithDot(JolietSafe(node.name));
}

// Why the tree leaves a name out by design, or nothing: 127 units with the dot the tree adds; with
// Joliet, the units the record carries (without that dot).
const char* Refusal(const SourceNode& node, bool joliet) {
    const std::size_t recorded = Utf16Units(JolietSafe(node.name));
    if (node.folder)
        return joliet && recorded > kMaxJolietFolderUnits ? "folder name too long for Joliet" : nullptr;
    if (Utf16Units(TreeKey(node)) > kMaxLongNameUnits) return "name longer than 127 characters";
    if (joliet && recorded > kMaxJolietFileUnits) return "name too long for Joliet";
    return nullptr;
}

struct Options {
    bool joliet = true;
    std::optional<std::string> volumeId;
    std::optional<std::string> bootImage; // its bytes
    int savePath = 0;                     // 0 none, 1 full, 2 last
    std::string topName = "src";
    bool dvd = false;
};

struct Generated {
    Options options;
    SourceNode top; // the folder handed to AddDirectory
};

Generated Decode(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    Generated out;
    Options& options = out.options;
    const std::uint8_t flags = in.Byte();
    options.joliet = !(flags & 1);
    if (flags & 2) {
        const int length = in.Byte() % 48;
        std::string id;
        for (int i = 0; i < length; ++i) id += static_cast<char>(0x20 + in.Byte() % 95);
        options.volumeId = id;
    }
    if (flags & 4) {
        static constexpr std::size_t kBootSizes[] = {512, 2048, 1228800, 1474560, 2949120};
        const std::uint8_t kind = in.Byte();
        const std::uint8_t seed = in.Byte();
        const std::size_t bootSize = kind % 8 < 5 ? kBootSizes[kind % 8] : 1 + std::size_t{kind} * 37 % 9000;
        options.bootImage = MakeContent(bootSize, seed);
    }
    options.savePath = (flags >> 3) & 3;
    if (options.savePath == 3) options.savePath = 0;
    if (flags & 32) {
        // A short name: the tree makes the kept folders with no Joliet length check of its own.
        std::string name = CutUtf8(ReadName(in), 64);
        if (name.empty() || name == "." || name == "..") name = "top";
        options.topName = name;
    }
    options.dvd = (flags & 64) != 0;

    out.top.name = options.topName;
    out.top.folder = true;
    std::vector<SourceNode*> stack{&out.top};
    std::size_t entries = 0, treeBytes = 0, pathBytes = options.topName.size() + 1;
    std::vector<std::size_t> pathStack;
    while (!in.Empty() && entries < kMaxEntries) {
        SourceNode& folder = *stack.back();
        const std::uint8_t op = in.Byte() & 7;
        if (op == 4) {
            if (stack.size() > 1) {
                stack.pop_back();
                pathBytes = pathStack.back();
                pathStack.pop_back();
            }
            continue;
        }
        SourceNode node;
        node.folder = op == 3 || op == 7;
        const std::string* previous = folder.children.empty() ? nullptr : &folder.children.back().name;
        if (op == 5) {
            node.name = previous ? *previous : "Twin";
            for (char& c : node.name) {
                if (c >= 'a' && c <= 'z')
                    c = static_cast<char>(c - 'a' + 'A');
                else if (c >= 'A' && c <= 'Z')
                    c = static_cast<char>(c - 'A' + 'a');
            }
        } else if (op == 6) {
            node.name = previous ? *previous : "Mangled.txt";
            const std::size_t dot = node.name.rfind('.');
            node.name.insert(dot == std::string::npos || dot == 0 ? node.name.size() : dot,
                             kPieces[in.Byte() % kPieceCount]);
        } else {
            node.name = ReadName(in);
        }
        if (!node.folder) node.bytes = ReadContent(in);
        node.name = CutUtf8(node.name, kMaxNameBytes);
        if (node.name.empty() || node.name == "." || node.name == "..") node.name = "n" + node.name;
        if (node.bytes.size() + treeBytes > kMaxTreeBytes) node.bytes.resize(node.bytes.size() % 4096);
        // Names the local disk cannot hold side by side, or the tree would take for one.
        bool clash = pathBytes + node.name.size() + 1 > kMaxPathBytes ||
                     (node.folder && op == 3 && stack.size() > kMaxDepth);
        for (const SourceNode& sibling : folder.children)
            clash = clash || sibling.name == node.name || TreeKey(sibling) == TreeKey(node);
        if (clash) continue;
        ++entries;
        treeBytes += node.bytes.size();
        folder.children.push_back(std::move(node));
        if (op == 3) {
            pathStack.push_back(pathBytes);
            pathBytes += folder.children.back().name.size() + 1;
            stack.push_back(&folder.children.back());
        }
    }
    return out;
}

// One folder or file of an image tree, by the names of one of its two trees.
struct Node {
    bool folder = false;
    std::uint64_t size = 0;
    std::optional<std::string> bytes;
};
// "/"-separated path (no leading "/") -> node; the root is not listed.
using Tree = std::map<std::string, Node>;

// The recorded Joliet identifiers of the source tree: what the tree keeps below `prefix`, each file's
// name with ";1", a file whose name has no dot without the dot the tree adds. Folders left with no
// file are pruned as the tree prunes them.
bool ExpectJoliet(const SourceNode& folder, const std::string& prefix, bool joliet, Tree& tree,
                  std::vector<std::string>& refused) {
    bool any = false;
    for (const SourceNode& child : folder.children) {
        const std::string path = prefix + JolietSafe(child.name) + (child.folder ? "" : ";1");
        if (const char* why = Refusal(child, joliet)) {
            refused.push_back(path + " (" + why + ")");
            continue;
        }
        if (child.folder) {
            Tree below;
            if (ExpectJoliet(child, path + "/", joliet, below, refused)) {
                tree[path] = Node{true, 0, std::nullopt};
                tree.merge(below);
                any = true;
            }
        } else {
            tree[path] = Node{false, child.bytes.size(), child.bytes};
            any = true;
        }
    }
    return any;
}

// ---------------------------------------------------------------------------------------------------
// Failure reports

std::string Printable(std::string_view text) {
    std::string out;
    for (char c : text) {
        const auto code = static_cast<unsigned char>(c);
        if (code < 0x20 || code == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", code);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

void PrintTree(const char* title, const Tree& tree) {
    std::fprintf(stderr, "  %s (%zu names):\n", title, tree.size());
    for (const auto& [path, node] : tree)
        std::fprintf(stderr, "    %s%s %llu\n", Printable(path).c_str(), node.folder ? "/" : "",
                     static_cast<unsigned long long>(node.size));
}

// Collects the differences of one check; Fail() prints them with the context and aborts.
class Report {
public:
    explicit Report(std::string what) : m_what(std::move(what)) {}
    void Add(const std::string& line) { m_lines.push_back(line); }
    bool Empty() const { return m_lines.empty(); }
    const std::vector<std::string>& Lines() const { return m_lines; }
    const std::string& What() const { return m_what; }

private:
    std::string m_what;
    std::vector<std::string> m_lines;
};

// Compares two trees: names, kinds, sizes, and bytes where both sides have them. With `partial`, names
// missing from `actual` are not differences (a reader that gave up half way).
void CompareTrees(const Tree& expected, const Tree& actual, Report& report, bool partial = false) {
    for (const auto& [path, node] : expected) {
        const auto found = actual.find(path);
        if (found == actual.end()) {
            if (!partial) report.Add("missing: " + Printable(path));
            continue;
        }
        if (found->second.folder != node.folder) {
            report.Add("folder/file differs: " + Printable(path));
            continue;
        }
        if (node.folder) continue;
        if (found->second.size != node.size)
            report.Add("size " + std::to_string(found->second.size) + " instead of " +
                       std::to_string(node.size) + ": " + Printable(path));
        else if (node.bytes && found->second.bytes && *node.bytes != *found->second.bytes)
            report.Add("other bytes: " + Printable(path));
    }
    for (const auto& [path, node] : actual)
        if (!expected.contains(path)) report.Add("unexpected: " + Printable(path) + (node.folder ? "/" : ""));
}

// ---------------------------------------------------------------------------------------------------
// The bench: the virtual recorder with one drive, a burner connected to it for the import, and a burner
// without drives that builds the images as build-iso does.

class Discard final : public drive::DebugTextSink {
public:
    ~Discard() override { DetachFromDevices(); }
    void AppendLine(const std::string&) override {}
};

struct Bench {
    Bench() {
        std::string pattern = (fs::temp_directory_path() / "lorvane_isofuzz_XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        folder = pattern;
        // Made before the transport starts, as build-iso's burner on a machine without drives.
        builder.emplace();
        builder->OnDebugMessage = [this](drive::TSCSIDevice*, const std::string& line, std::uint8_t) {
            if (log.size() < 200) log.push_back(line);
        };
        transport::SetPassThroughKernel(&kernel);
        drive = &recorder.AddDrive(identity, folder / "image.iso");
        recorder::VirtualRecorder::Install(&recorder);
        transport::SetModuleLoader(&loader);
        reader.emplace(clock);
        if (!reader->InitTransport(false)) std::abort();
        reader->SetDebugWindow(&sink);
    }

    fs::path Work() const { return folder / "work"; }
    fs::path Image() const { return drive->DiscPath(); }

    testing::FakeClock clock;
    testing::FakeKernel kernel;
    recorder::DriveIdentity identity;
    recorder::VirtualRecorder recorder{clock};
    recorder::InProcessModuleLoader loader;
    recorder::VirtualDrive* drive = nullptr;
    Discard sink;
    std::optional<image::TOrbelBurner> builder;
    std::optional<image::TOrbelBurner> reader;
    fs::path folder;
    bool selected = false;
    std::vector<std::string> log; // the builder's lines for the input being checked
    unsigned peerInterval = kDefaultPeerInterval;
    unsigned long runs = 0;
    std::map<std::string, bool> peers; // reader -> installed
};

Bench* g_bench = nullptr;
const Generated* g_input = nullptr; // the input being checked, for the failure report

void RemoveFolder() {
    std::error_code ignored;
    if (g_bench) fs::remove_all(g_bench->folder, ignored);
}

[[noreturn]] void Fail(const Report& report, const Tree* expected = nullptr, const Tree* actual = nullptr,
                       const char* actualTitle = "actual") {
    std::fprintf(stderr, "\n==== iso_builder_fuzz: %s\n", report.What().c_str());
    for (const std::string& line : report.Lines()) std::fprintf(stderr, "  %s\n", line.c_str());
    if (expected) PrintTree("expected", *expected);
    if (actual) PrintTree(actualTitle, *actual);
    if (g_input) {
        const Options& o = g_input->options;
        std::fprintf(stderr, "  options: joliet=%d save-path=%d top=\"%s\" volume-id=%s boot=%zu dvd=%d\n",
                     o.joliet, o.savePath, Printable(o.topName).c_str(),
                     o.volumeId ? ("\"" + Printable(*o.volumeId) + "\"").c_str() : "none",
                     o.bootImage ? o.bootImage->size() : 0, o.dvd);
    }
    if (g_bench) {
        std::fprintf(stderr, "  builder log:\n");
        for (const std::string& line : g_bench->log)
            std::fprintf(stderr, "    %s\n", Printable(line).c_str());
    }
    std::fflush(stderr);
    std::abort();
}

void Require(bool condition, const std::string& what) {
    if (condition) return;
    Report report(what);
    Fail(report);
}

// ---------------------------------------------------------------------------------------------------
// Writing the source tree

void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    Require(static_cast<bool>(out), "cannot write the source file " + path.string());
}

void WriteTree(const SourceNode& folder, const fs::path& at) {
    std::error_code error;
    fs::create_directory(at, error);
    Require(!error, "cannot make the source folder " + at.string() + ": " + error.message());
    for (const SourceNode& child : folder.children) {
        if (child.folder)
            WriteTree(child, at / child.name);
        else
            WriteFile(at / child.name, child.bytes);
    }
}

// The bytes of a file, read in one piece (a character iterator is slow under the instrumentation).
std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return {};
    std::string bytes(static_cast<std::size_t>(std::max<std::streamoff>(in.tellg(), 0)), '\0');
    in.seekg(0);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

// ---------------------------------------------------------------------------------------------------
// The built tree

bool IsFolderEntry(const image::TFEntry& entry) {
    return entry.Dir != nullptr;
}

// The identifiers the records carry (Joliet: a file's long name without the dot the tree added).
std::string IsoIdentifier(const image::TFEntry& entry) {
    return IsFolderEntry(entry) ? entry.ShortName : entry.ShortName + ";1";
}
std::string JolietIdentifier(const image::TFEntry& entry) {
    std::string name = entry.LongName;
    if (!IsFolderEntry(entry) && entry.DotAdded && name.size() > 1 && name.back() == '.') name.pop_back();
    return IsFolderEntry(entry) ? name : name + ";1";
}

enum class Kind { Iso, Joliet };

// The built tree by the identifiers of one of its trees; file bytes from the sources.
void BuiltTree(const image::TDEntry& dir, const std::string& prefix, Kind kind, Tree& tree) {
    for (const image::TFEntry* entry = dir.FirstEntry; entry; entry = entry->Next) {
        const std::string path =
            prefix + (kind == Kind::Iso ? IsoIdentifier(*entry) : JolietIdentifier(*entry));
        if (IsFolderEntry(*entry)) {
            tree[path] = Node{true, 0, std::nullopt};
            BuiltTree(*entry->Dir, path + "/", kind, tree);
        } else {
            tree[path] =
                Node{false, static_cast<std::uint64_t>(entry->ISOSize), ReadBytes(entry->SourcePath)};
        }
    }
}

// Two entries of one folder with one identifier: readers show one of them, or a mix.
void CheckUniqueIdentifiers(const image::TDEntry& dir, const std::string& path, bool joliet, Report& report) {
    std::set<std::string> iso, jolietNames;
    for (const image::TFEntry* entry = dir.FirstEntry; entry; entry = entry->Next) {
        if (!iso.insert(IsoIdentifier(*entry)).second)
            report.Add("ISO 9660 identifier twice in " + Printable(path) +
                       "/: " + Printable(IsoIdentifier(*entry)));
        if (joliet && !jolietNames.insert(JolietIdentifier(*entry)).second)
            report.Add("Joliet identifier twice in " + Printable(path) +
                       "/: " + Printable(JolietIdentifier(*entry)));
        if (IsFolderEntry(*entry))
            CheckUniqueIdentifiers(*entry->Dir, path + "/" + entry->LongName, joliet, report);
    }
}

// ---------------------------------------------------------------------------------------------------
// In-process checks of the image

std::uint32_t Le32(const std::string& bytes, std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 3])) << 24;
}
std::uint32_t Be32(const std::string& bytes, std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at])) << 24 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 3]));
}

std::string Sector(const std::string& image, std::int64_t byteOffset) {
    const auto at = static_cast<std::size_t>(byteOffset);
    return at + kSector <= image.size() ? image.substr(at, kSector) : std::string();
}

bool IsDescriptor(const std::string& sector, unsigned type) {
    return sector.size() == kSector && static_cast<unsigned char>(sector[0]) == type &&
           sector.compare(1, 5, "CD001") == 0 && sector[6] == 1;
}

std::string PaddedUpper(const std::string& text, std::size_t length) {
    std::string out = text.substr(0, length);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    out.resize(length, ' ');
    return out;
}

// ASCII as big-endian UTF-16, cut and space-filled to `units`.
std::string JolietText(const std::string& text, std::size_t units) {
    std::string out;
    for (std::size_t i = 0; i < units; ++i) {
        out += '\0';
        out += i < text.size() ? text[i] : ' ';
    }
    return out;
}

void CheckImage(const image::TOrbelBurner& b, const Options& options, const std::string& image,
                Report& report) {
    // The file holds exactly the planned session.
    if (b.TotalSectors() != b.SessionSectors || b.ImageEnd - b.SessionStart != b.SessionSectors ||
        static_cast<std::int64_t>(image.size()) != b.SessionSectors * 2048)
        report.Add("image of " + std::to_string(image.size()) + " bytes; planned " +
                   std::to_string(b.SessionSectors) + " sectors (TotalSectors " +
                   std::to_string(b.TotalSectors()) + ", ImageEnd " + std::to_string(b.ImageEnd) + ")");
    if (b.SessionStart != 0)
        report.Add("an image file's session starts at " + std::to_string(b.SessionStart));
    if (!report.Empty()) return;

    // The descriptors from sector 16 on, in their order.
    std::int64_t at = 16 * 2048;
    const auto expectAt = [&](std::int64_t location, const char* name) {
        if (location != at)
            report.Add(std::string(name) + " at byte " + std::to_string(location) + ", not " +
                       std::to_string(at));
        at += 2048;
    };
    expectAt(b.PVDLocation, "primary descriptor");
    if (b.Bootable) expectAt(b.BootRecordLocation, "boot record");
    if (options.joliet) expectAt(b.JolietSVDLocation, "Joliet descriptor");
    expectAt(b.TerminatorLocation, "terminator");
    if (!report.Empty()) return;

    const std::string pvd = Sector(image, b.PVDLocation);
    if (!IsDescriptor(pvd, 1)) report.Add("no primary volume descriptor at sector 16");
    if (Le32(pvd, 80) != b.SessionSectors || Be32(pvd, 84) != b.SessionSectors)
        report.Add("volume space size " + std::to_string(Le32(pvd, 80)) + " / " +
                   std::to_string(Be32(pvd, 84)));
    if (Le32(pvd, 156 + 2) != b.DirRecordsLocation / 2048)
        report.Add("root record of the primary descriptor points at " + std::to_string(Le32(pvd, 158)));
    if (Le32(pvd, 140) != b.PathTableL / 2048 || Be32(pvd, 148) != b.PathTableM / 2048)
        report.Add("path table sectors in the primary descriptor differ from the layout");
    // ECMA-119 8.4.9: unused in the primary descriptor; an escape sequence there would pass it for Joliet.
    if (pvd.substr(88, 32) != std::string(32, '\0'))
        report.Add("bytes 88-119 of the primary descriptor are not zero");
    const std::string id = options.volumeId.value_or("");
    if (pvd.substr(40, 32) != PaddedUpper(id, 32))
        report.Add("primary volume identifier \"" + Printable(pvd.substr(40, 32)) + "\"");
    if (options.joliet) {
        const std::string svd = Sector(image, b.JolietSVDLocation);
        if (!IsDescriptor(svd, 2) || svd.substr(88, 3) != "%/@")
            report.Add("no Joliet descriptor where the layout put it");
        else if (svd.substr(40, 32) != JolietText(id, 16))
            report.Add("Joliet volume identifier differs");
        else if (Le32(svd, 158) != b.JolietDirRecordsLocation / 2048)
            report.Add("root record of the Joliet descriptor points at " + std::to_string(Le32(svd, 158)));
    }
    if (!IsDescriptor(Sector(image, b.TerminatorLocation), 255))
        report.Add("no terminator where the layout put it");

    // El Torito: the record, the catalog's entries, and the boot image's bytes where the entry says.
    if (b.Bootable != options.bootImage.has_value()) report.Add("Bootable " + std::to_string(b.Bootable));
    if (b.Bootable && options.bootImage) {
        const std::string record = Sector(image, b.BootRecordLocation);
        if (!IsDescriptor(record, 0) || record.compare(7, 23, "EL TORITO SPECIFICATION") != 0 ||
            Le32(record, 71) != b.BootCatalogLocation / 2048)
            report.Add("boot record descriptor does not point at the catalog");
        const std::string catalog = Sector(image, b.BootCatalogLocation);
        unsigned sum = 0;
        for (std::size_t i = 0; i < 32; i += 2)
            sum += static_cast<unsigned char>(catalog[i]) |
                   static_cast<unsigned>(static_cast<unsigned char>(catalog[i + 1])) << 8;
        const std::size_t size = options.bootImage->size();
        const int media = size == 1228800 ? 1 : size == 1474560 ? 2 : size == 2949120 ? 3 : 4;
        if (catalog[0] != 1 || (sum & 0xFFFF) != 0 || static_cast<unsigned char>(catalog[30]) != 0x55 ||
            static_cast<unsigned char>(catalog[31]) != 0xAA)
            report.Add("boot catalog validation entry is not valid");
        if (static_cast<unsigned char>(catalog[32]) != 0x88 || catalog[33] != media || catalog[38] != 1 ||
            Le32(catalog, 40) != b.BootImageLocation / 2048)
            report.Add("boot catalog default entry: media " + std::to_string(catalog[33]) + ", start " +
                       std::to_string(Le32(catalog, 40)));
        std::string padded = *options.bootImage;
        padded.resize(static_cast<std::size_t>(image::SectorsFor(static_cast<std::int64_t>(size)) * 2048),
                      '\0');
        if (image.compare(static_cast<std::size_t>(b.BootImageLocation), padded.size(), padded) != 0)
            report.Add("the boot image's bytes are not at its start sector");
    }

    // Every file's bytes at its extent, zero-filled to its last sector.
    for (const auto& entry : b.Files()) {
        if (IsFolderEntry(*entry) || entry->ISOSize == 0) continue;
        const std::string source = ReadBytes(entry->SourcePath);
        const auto start = static_cast<std::size_t>(b.FirstFileLocation + std::int64_t{entry->Extent} * 2048);
        std::string padded = source;
        padded.resize(static_cast<std::size_t>(image::SectorsFor(entry->ISOSize) * 2048), '\0');
        if (static_cast<std::int64_t>(source.size()) != entry->ISOSize ||
            start + padded.size() > image.size() || image.compare(start, padded.size(), padded) != 0)
            report.Add("bytes of " + Printable(entry->SourcePath) + " are not at sector " +
                       std::to_string(start / 2048));
    }
}

// The tree an import gave, by the imported long names, with the bytes ExtractFile copies out.
void ImportedTree(image::TOrbelBurner& reader, const image::TDEntry& dir, const std::string& prefix,
                  const fs::path& scratch, Tree& tree, Report& report) {
    for (const image::TFEntry* entry = dir.FirstEntry; entry; entry = entry->Next) {
        const std::string path = prefix + entry->LongName;
        if (IsFolderEntry(*entry)) {
            tree[path] = Node{true, 0, std::nullopt};
            ImportedTree(reader, *entry->Dir, path + "/", scratch, tree, report);
            continue;
        }
        const fs::path into = scratch / "extracted";
        bool complete = false;
        try {
            complete = reader.ExtractFile(entry, into.string());
        } catch (const image::ImageWriteError& error) {
            report.Add(std::string("extraction failed: ") + error.what());
        }
        if (!complete) report.Add("extraction of " + Printable(path) + " stopped early");
        tree[path] = Node{false, static_cast<std::uint64_t>(entry->ISOSize), ReadBytes(into)};
    }
}

// The built tree by the names an import gives: Joliet long names (a file's with its dot), or the ISO
// 9660 identifiers up to their ";" (a file's with a dot added when it has none).
void ImportExpectation(const image::TDEntry& dir, const std::string& prefix, Kind kind, Tree& tree) {
    for (const image::TFEntry* entry = dir.FirstEntry; entry; entry = entry->Next) {
        std::string name = kind == Kind::Joliet ? entry->LongName : entry->ShortName;
        if (!IsFolderEntry(*entry)) name = WithDot(name);
        const std::string path = prefix + name;
        if (IsFolderEntry(*entry)) {
            tree[path] = Node{true, 0, std::nullopt};
            ImportExpectation(*entry->Dir, path + "/", kind, tree);
        } else {
            tree[path] =
                Node{false, static_cast<std::uint64_t>(entry->ISOSize), ReadBytes(entry->SourcePath)};
        }
    }
}

void CheckImport(Bench& bench, const Options& options, const std::string& image, const fs::path& scratch) {
    if (recorder::InsertDisc(*bench.drive,
                             options.dvd ? recorder::MediumKind::DvdRom : recorder::MediumKind::CdRom))
        Require(false, "the virtual recorder does not take the image as a pressed disc");
    bench.drive->ClearCommands(); // the drive keeps every command it was sent
    if (!bench.selected) {
        bench.reader->SetDevice(bench.reader->DeviceList.at(0));
        bench.selected = true;
    }
    image::TOrbelBurner& reader = *bench.reader;
    const image::TOrbelBurner& builder = *bench.builder;

    // The import reads the Joliet tree when there is one, else the ISO 9660 tree.
    reader.ClearCompilation(65535, 8191);
    Require(reader.ImportDiscSession(-1, nullptr), "the burner does not import its own image");
    {
        Report report(std::string("own import of the ") + (options.joliet ? "Joliet" : "ISO 9660") +
                      " tree differs");
        Tree expected, actual;
        ImportExpectation(*builder.Root, "", options.joliet ? Kind::Joliet : Kind::Iso, expected);
        ImportedTree(reader, *reader.Root, "", scratch, actual, report);
        CompareTrees(expected, actual, report);
        if (!report.Empty()) Fail(report, &expected, &actual, "imported");
    }
    if (!options.joliet) return;
    // The ISO 9660 tree of a Joliet image, from the primary descriptor's root record.
    const std::string pvd = Sector(image, 16 * 2048);
    reader.ClearCompilation(65535, 8191);
    (void)reader.ReadISODirectory(Le32(pvd, 158), Le32(pvd, 166), reader.Root);
    Report report("own import of the ISO 9660 tree differs");
    Tree expected, actual;
    ImportExpectation(*builder.Root, "", Kind::Iso, expected);
    ImportedTree(reader, *reader.Root, "", scratch, actual, report);
    CompareTrees(expected, actual, report);
    if (!report.Empty()) Fail(report, &expected, &actual, "imported");
}

// ---------------------------------------------------------------------------------------------------
// The peers

struct ToolRun {
    int status = -1; // exit status; -1 when it could not start or did not exit
    std::string out, err;
};

// Runs argv (argv[0] searched in PATH) with stdin from /dev/null, LC_ALL=C.UTF-8 so that every reader
// shows names in UTF-8, and its output through files in scratch.
ToolRun Run(const std::vector<std::string>& argv, const fs::path& scratch) {
    ToolRun run;
    const fs::path outFile = scratch / "tool.out", errFile = scratch / "tool.err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> environment;
    for (char** variable = environ; *variable; ++variable)
        if (std::strncmp(*variable, "LC_ALL=", 7) != 0) environment.emplace_back(*variable);
    environment.emplace_back("LC_ALL=C.UTF-8");
    std::vector<char*> envp;
    for (std::string& variable : environment) envp.push_back(variable.data());
    envp.push_back(nullptr);
    pid_t child = 0;
    const int spawned = posix_spawnp(&child, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return run;
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return run;
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = ReadBytes(outFile);
    run.err = ReadBytes(errFile);
    return run;
}

std::string Command(const std::vector<std::string>& argv) {
    std::string text;
    for (const std::string& arg : argv) text += (text.empty() ? "" : " ") + ("'" + Printable(arg) + "'");
    return text;
}

bool HaveProgram(std::string_view name) {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');)
        if (!folder.empty() && access((fs::path(folder) / name).c_str(), X_OK) == 0) return true;
    return false;
}

// Debian's pycdlib is installed for the system interpreter only.
constexpr const char* kPython = "/usr/bin/python3";

enum class Reader { Xorriso, Bsdtar, Isoinfo, Pycdlib };
constexpr Reader kReaders[] = {Reader::Xorriso, Reader::Bsdtar, Reader::Isoinfo, Reader::Pycdlib};

const char* ReaderName(Reader reader) {
    switch (reader) {
    case Reader::Xorriso: return "xorriso";
    case Reader::Bsdtar: return "bsdtar";
    case Reader::Isoinfo: return "isoinfo";
    case Reader::Pycdlib: return "pycdlib";
    }
    return "?";
}

// UTF-8 to UTF-16 code units (the names are valid UTF-8).
std::u16string Utf16(std::string_view text) {
    std::u16string units;
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const std::size_t length = Utf8Length(byte);
        std::uint32_t code = length == 1 ? byte : byte & (0x7Fu >> length);
        for (std::size_t k = 1; k < length && i + k < text.size(); ++k)
            code = code << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
        i += length;
        if (code >= 0x10000) {
            units.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
        } else {
            units.push_back(static_cast<char16_t>(code));
        }
    }
    return units;
}

constexpr std::size_t kBsdtarJolietUnits = 103;

// The UTF-8 bytes of the first `count` units of a text's UTF-16 form.
std::size_t Utf8Bytes(const std::u16string& units, std::size_t count) {
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < count && i < units.size(); ++i) {
        const char16_t unit = units[i];
        if (unit >= 0xD800 && unit < 0xDC00) {
            bytes += 4;
            ++i;
        } else {
            bytes += unit < 0x80 ? 1 : unit < 0x800 ? 2 : 3;
        }
    }
    return bytes;
}

// A recorded identifier as the reader shows it. xorriso drops ";1" and a dot left before it in both
// trees; bsdtar drops ";1" in both, and in the ISO 9660 tree a last dot of any name, a folder's too
// (the kept folders' short names are cut from their names, dots and all); isoinfo and pycdlib
// show identifiers as recorded, isoinfo a Joliet name one byte a UTF-16 unit (ISO 8859-1, "_" for the
// units above FFh).
std::string Shown(Reader reader, Kind kind, std::string name, bool folder) {
    const bool versioned = !folder && name.size() > 2 && name.ends_with(";1");
    switch (reader) {
    case Reader::Xorriso:
    case Reader::Bsdtar:
        if (reader == Reader::Bsdtar && kind == Kind::Joliet) {
            // libarchive keeps the first 103 units of a Joliet identifier (the most mkisofs writes); one
            // cut inside a surrogate pair cannot be converted, and bsdtar skips it with an error.
            const std::u16string units = Utf16(name);
            if (units.size() > kBsdtarJolietUnits) {
                const char16_t last = units[kBsdtarJolietUnits - 1];
                if (last >= 0xD800 && last < 0xDC00) return {};
                return CutUtf8(name, Utf8Bytes(units, kBsdtarJolietUnits));
            }
        }
        if (versioned) name.resize(name.size() - 2);
        if ((reader == Reader::Xorriso ? versioned : kind == Kind::Iso) && name.size() > 1 &&
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

// The tree as a reader shows it. Names the reader shows alike in one folder (a file "A.;1" beside a
// folder "A" for xorriso, two CJK names for isoinfo) and names a reader cannot extract ("..") are
// ambiguous: they and everything below them are left out of the comparison, on both sides. A name
// the reader cannot show at all (empty, or "..": xorriso shows "...;1" so) makes it fail, maybe half
// way: its exit status is not compared then, nor what it left out.
struct ShownTree {
    Tree tree;
    std::set<std::string> ambiguous; // shown paths
    bool unshowable = false;
};

ShownTree Show(Reader reader, Kind kind, const Tree& recorded) {
    ShownTree shown;
    std::map<std::string, int> count;
    std::vector<std::pair<std::string, Node>> all;
    for (const auto& [path, node] : recorded) {
        std::vector<std::string> parts = Split(path);
        std::string joined;
        bool odd = false;
        for (std::size_t i = 0; i < parts.size(); ++i) {
            const std::string name = Shown(reader, kind, parts[i], node.folder || i + 1 < parts.size());
            odd = odd || name.empty() || name == "." || name == "..";
            joined += (i ? "/" : "") + name;
        }
        if (odd) {
            shown.ambiguous.insert(joined);
            shown.unshowable = true;
        }
        ++count[joined];
        all.emplace_back(joined, node);
    }
    for (const auto& [path, n] : count)
        if (n > 1) shown.ambiguous.insert(path);
    for (auto& [path, node] : all) shown.tree[path] = node;
    return shown;
}

bool Below(const std::string& path, const std::set<std::string>& ambiguous) {
    for (const std::string& prefix : ambiguous)
        if (path == prefix || (path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0 &&
                               path[prefix.size()] == '/'))
            return true;
    return false;
}

void DropAmbiguous(Tree& tree, const std::set<std::string>& ambiguous) {
    if (ambiguous.empty()) return;
    std::erase_if(tree, [&](const auto& item) { return Below(item.first, ambiguous); });
}

std::string Parent(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// A reader that finds two names alike in one folder may give one of them a name of its own (xorriso
// shows a Joliet ".A;1" beside ".A.;1" as ".A" and "_______.A"): names shown in such a folder that no
// entry has are left out, with everything below them.
void DropRenamed(Tree& shown, const Tree& expected, const std::set<std::string>& ambiguous) {
    if (ambiguous.empty()) return;
    std::set<std::string> folders;
    for (const std::string& path : ambiguous) folders.insert(Parent(path));
    std::set<std::string> renamed;
    for (const auto& [path, node] : shown)
        if (!expected.contains(path) && folders.contains(Parent(path)) && !Below(path, renamed))
            renamed.insert(path);
    DropAmbiguous(shown, renamed);
}

// Everything below root, with the bytes of every file.
Tree Snapshot(const fs::path& root) {
    Tree tree;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, error); !error && it != fs::end(it);
         it.increment(error)) {
        const std::string relative = fs::relative(it->path(), root).string();
        if (it->is_directory()) {
            tree[relative] = Node{true, 0, std::nullopt};
        } else {
            std::string bytes = ReadBytes(it->path());
            const std::uint64_t size = bytes.size();
            tree[relative] = Node{false, size, std::move(bytes)};
        }
    }
    return tree;
}

// Extracted folders keep the image's read-only modes; open them again for the next input's clean-up.
void OpenUp(const fs::path& root) {
    std::error_code ignored;
    fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ignored);
    for (auto it = fs::recursive_directory_iterator(root, ignored); it != fs::end(it); it.increment(ignored))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// One peer's view of one tree; `listing` is the name of the view in the report.
struct PeerView {
    PeerView(std::string listingName, std::vector<std::string> argv)
        : listing(std::move(listingName)), command(std::move(argv)) {}
    std::string listing;
    std::vector<std::string> command;
    ToolRun run;
    Tree tree;
};

// isoinfo -l: "Directory listing of /PATH/" heads each folder; each entry line reads
// "MODE LINKS UID GID SIZE MON DD YYYY [ EXTENT FLAGS]  NAME ".
Tree ParseIsoinfo(const std::string& out) {
    Tree tree;
    std::string folder;
    for (const std::string& line : Lines(out)) {
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
        tree[folder.empty() ? name : folder + "/" + name] = Node{isFolder, isFolder ? 0 : size, std::nullopt};
    }
    return tree;
}

// bsdtar -tv: "MODE LINKS UID GID SIZE MON DD TIME|YEAR NAME", the name after one space; "." is the root.
Tree ParseBsdtarListing(const std::string& out) {
    Tree tree;
    for (const std::string& line : Lines(out)) {
        std::size_t at = 0;
        std::string fields[8];
        for (std::string& field : fields) {
            while (at < line.size() && line[at] == ' ') ++at;
            const std::size_t end = std::min(line.find(' ', at), line.size());
            field = line.substr(at, end - at);
            at = end;
        }
        if (at >= line.size()) continue;
        const std::string name = line.substr(at + 1);
        if (name == ".") continue;
        const bool isFolder = !fields[0].empty() && fields[0][0] == 'd';
        tree[name] =
            Node{isFolder, isFolder ? 0 : std::strtoull(fields[4].c_str(), nullptr, 10), std::nullopt};
    }
    return tree;
}

std::string FromHex(std::string_view hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
    return bytes;
}

// pycdlib_listing.py: "TREE d|f HEX(PATH) [HEX(BYTES)]" a line.
Tree ParsePycdlib(const std::string& out, std::string_view which) {
    Tree tree;
    for (const std::string& line : Lines(out)) {
        std::vector<std::string> fields;
        std::istringstream in(line);
        for (std::string field; std::getline(in, field, '\t');) fields.push_back(field);
        if (fields.size() < 3 || fields[0] != which) continue;
        if (fields[1] == "d") {
            tree[FromHex(fields[2])] = Node{true, 0, std::nullopt};
        } else {
            std::string bytes = FromHex(fields.size() > 3 ? fields[3] : "");
            const std::uint64_t size = bytes.size();
            tree[FromHex(fields[2])] = Node{false, size, std::move(bytes)};
        }
    }
    return tree;
}

std::vector<PeerView> ReadWith(Reader reader, Kind kind, const std::string& image, const Tree& expectedShown,
                               const fs::path& scratch) {
    std::vector<PeerView> views;
    const std::string tree = kind == Kind::Iso ? "ISO 9660" : "Joliet";
    const fs::path into =
        scratch / (std::string(ReaderName(reader)) + (kind == Kind::Iso ? "-iso" : "-joliet"));
    std::error_code ignored;
    fs::remove_all(into, ignored);
    fs::create_directories(into);
    switch (reader) {
    case Reader::Xorriso: {
        // -read_fs must come before -indev to choose the tree.
        PeerView view{"xorriso -extract, " + tree + " tree",
                      {"xorriso", "-read_fs", kind == Kind::Iso ? "ecma119" : "any", "-osirrox", "on",
                       "-indev", image, "-extract", "/", into.string()}};
        view.run = Run(view.command, scratch);
        OpenUp(into);
        view.tree = Snapshot(into);
        views.push_back(std::move(view));
        break;
    }
    case Reader::Bsdtar: {
        std::vector<std::string> options;
        if (kind == Kind::Iso) options = {"--options", "iso9660:!joliet"};
        PeerView list{"bsdtar -tv, " + tree + " tree", {"bsdtar"}};
        list.command.insert(list.command.end(), options.begin(), options.end());
        list.command.insert(list.command.end(), {"-tvf", image});
        list.run = Run(list.command, scratch);
        list.tree = ParseBsdtarListing(list.run.out);
        views.push_back(std::move(list));
        PeerView extract{"bsdtar -x, " + tree + " tree", {"bsdtar"}};
        extract.command.insert(extract.command.end(), options.begin(), options.end());
        extract.command.insert(extract.command.end(), {"-xf", image, "-C", into.string()});
        extract.run = Run(extract.command, scratch);
        OpenUp(into);
        extract.tree = Snapshot(into);
        views.push_back(std::move(extract));
        break;
    }
    case Reader::Isoinfo: {
        PeerView view{"isoinfo -l, " + tree + " tree", {"isoinfo", "-i", image, "-l"}};
        if (kind == Kind::Joliet) view.command.push_back("-J");
        view.run = Run(view.command, scratch);
        view.tree = ParseIsoinfo(view.run.out);
        // A few files' bytes through -x (one process each), by their ISO 9660 paths.
        if (view.run.status == 0 && kind == Kind::Iso) {
            std::size_t extracted = 0;
            for (auto& [path, node] : view.tree) {
                if (node.folder || !expectedShown.contains(path) || extracted++ >= kIsoinfoExtractions)
                    continue;
                const ToolRun file = Run({"isoinfo", "-i", image, "-x", "/" + path}, scratch);
                if (file.status == 0) node.bytes = file.out;
            }
        }
        views.push_back(std::move(view));
        break;
    }
    case Reader::Pycdlib: {
        // One run lists both trees: it runs for the ISO 9660 tree, which is always read first.
        static ToolRun listing;
        PeerView view{"pycdlib, " + tree + " tree", {kPython, LORVANE_PYCDLIB_LISTING, image}};
        if (kind == Kind::Iso) listing = Run(view.command, scratch);
        view.run = listing;
        view.tree = ParsePycdlib(listing.out, kind == Kind::Iso ? "iso" : "joliet");
        views.push_back(std::move(view));
        break;
    }
    }
    return views;
}

void CheckPeers(Bench& bench, const Options& options, const Tree& jolietExpected, const std::string& image,
                const fs::path& scratch) {
    Tree isoRecorded;
    BuiltTree(*bench.builder->Root, "", Kind::Iso, isoRecorded);
    for (const Reader reader : kReaders) {
        if (!bench.peers[ReaderName(reader)]) continue;
        for (const Kind kind : {Kind::Iso, Kind::Joliet}) {
            if (kind == Kind::Joliet && !options.joliet) continue;
            // pycdlib reads both trees in one run.
            const ShownTree expected = Show(reader, kind, kind == Kind::Iso ? isoRecorded : jolietExpected);
            Tree want = expected.tree;
            DropAmbiguous(want, expected.ambiguous);
            for (PeerView& view : ReadWith(reader, kind, image, want, scratch)) {
                Report report(view.listing + " differs from the image's tree");
                if (view.run.status != 0 && !expected.unshowable)
                    report.Add("exit status " + std::to_string(view.run.status) + ": " +
                               Printable(view.run.err));
                Tree got = view.tree;
                DropAmbiguous(got, expected.ambiguous);
                DropRenamed(got, want, expected.ambiguous);
                CompareTrees(want, got, report, expected.unshowable);
                if (!report.Empty()) {
                    report.Add("command: " + Command(view.command));
                    Fail(report, &want, &view.tree, "shown");
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------------
// One input

void Build(Bench& bench, const Generated& input, const fs::path& source, const fs::path& bootPath) {
    image::TOrbelBurner& b = *bench.builder;
    const Options& options = input.options;
    // As build-iso's FillCompilation and BuildIso set the burner up.
    b.WritePostGap = false;
    b.JolietFileSystem = options.joliet;
    b.IdVolume = options.volumeId.value_or("");
    b.Bootable = options.bootImage.has_value();
    b.BootImage = options.bootImage ? bootPath.string() : std::string();
    b.ClearCompilation(600000, 20000);
    b.LastFolderOnly = options.savePath == 2;
    Require(b.AddDirectory(b.Root, source.string(), "*.*", image::attr::kAnyFile, true, options.savePath != 0,
                           false) == 1,
            "AddDirectory refused the source folder");
    Require(b.PrepareImage(true), "PrepareImage failed: " + b.ImageError);
    try {
        Require(b.SaveToISO(bench.Image().string(), true) == 1, "the quick save did not report its end");
    } catch (const image::ImageWriteError& error) {
        Require(false, std::string("the quick save failed: ") + error.what());
    }
}

// The folders the source folder lands in: none, every folder of its path, or its own name only.
std::vector<std::string> Placement(const Options& options, const fs::path& source) {
    std::vector<std::string> folders;
    if (options.savePath == 1)
        for (const auto& part : source.relative_path()) folders.push_back(part.string());
    else if (options.savePath == 2)
        folders.push_back(source.filename().string());
    return folders;
}

void CheckTree(const Bench& bench, const Generated& input, const fs::path& source, Tree& jolietExpected) {
    const image::TOrbelBurner& b = *bench.builder;
    const Options& options = input.options;
    std::string prefix;
    std::vector<std::string> refused;
    Tree below;
    const bool any = ExpectJoliet(input.top, "", options.joliet, below, refused);
    // The kept folders are made whether or not a file follows.
    for (const std::string& folder : Placement(options, source)) {
        prefix += JolietSafe(folder);
        jolietExpected[prefix] = Node{true, 0, std::nullopt};
        prefix += "/";
    }
    if (any)
        for (auto& [path, node] : below) jolietExpected[prefix + path] = node;

    Report report("the tree differs from the source tree less the names it leaves out");
    Tree built;
    BuiltTree(*b.Root, "", Kind::Joliet, built);
    CompareTrees(jolietExpected, built, report);
    if (!report.Empty()) {
        for (const std::string& line : refused) report.Add("left out by design: " + Printable(line));
        Fail(report, &jolietExpected, &built, "built");
    }
    Report twice("one folder records an identifier twice");
    CheckUniqueIdentifiers(*b.Root, "", options.joliet, twice);
    if (!twice.Empty()) Fail(twice);
}

bool PeersDue(Bench& bench) {
    const unsigned long run = bench.runs++;
    return bench.peerInterval != 0 && run % bench.peerInterval == 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Never freed: the recorder and the transport stay up until the process ends.
    g_bench = new Bench();
    std::atexit(RemoveFolder);
    if (const char* interval = std::getenv("LORVANE_FUZZ_PEERS"))
        g_bench->peerInterval = static_cast<unsigned>(std::strtoul(interval, nullptr, 10));
    for (const char* program : {"xorriso", "bsdtar", "isoinfo"})
        g_bench->peers[program] = HaveProgram(program);
    g_bench->peers["pycdlib"] =
        access(kPython, X_OK) == 0 && Run({kPython, "-c", "import pycdlib"}, g_bench->folder).status == 0;
    for (const auto& [name, installed] : g_bench->peers)
        if (!installed)
            std::fprintf(stderr, "iso_builder_fuzz: %s is not installed; its check is left out\n",
                         name.c_str());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Bench& bench = *g_bench;
    const Generated input = Decode(data, size);
    g_input = &input;
    bench.log.clear();
    const bool peers = PeersDue(bench);

    const fs::path work = bench.Work();
    std::error_code ignored;
    fs::remove_all(work, ignored);
    fs::create_directories(work);
    const fs::path source = work / input.top.name;
    const fs::path bootPath = work / "boot.img";
    WriteTree(input.top, source);
    if (input.options.bootImage) WriteFile(bootPath, *input.options.bootImage);

    Build(bench, input, source, bootPath);
    Tree jolietExpected;
    CheckTree(bench, input, source, jolietExpected);
    const std::string image = ReadBytes(bench.Image());
    {
        Report report("the image differs from its layout");
        CheckImage(*bench.builder, input.options, image, report);
        if (!report.Empty()) Fail(report);
    }
    const fs::path scratch = work / "scratch";
    fs::create_directories(scratch);
    CheckImport(bench, input.options, image, scratch);
    if (peers) CheckPeers(bench, input.options, jolietExpected, bench.Image().string(), scratch);

    fs::remove_all(work, ignored);
    g_input = nullptr;
    return 0;
}
