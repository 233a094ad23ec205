// lorvane-cli build-iso: what it writes on success, and how it refuses what it cannot build.

#include "cli/cli.h"
#include "image/temp_tree.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using lorvane::cli::kExitFailed;
using lorvane::cli::kExitOk;
using lorvane::cli::kExitUsage;
using lorvane::cli::RunCli;
using lorvane::image::testing::RunningAsRoot;
using lorvane::image::testing::TempTree;
namespace fs = std::filesystem;

struct Result {
    int status;
    std::string out;
    std::string err;
};

Result BuildIso(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int status = RunCli(args, out, err);
    return {status, out.str(), err.str()};
}

std::string FirstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

class BuildIsoTest : public ::testing::Test {
protected:
    std::string Image() const { return m_tree.Path("out.iso"); }
    TempTree m_tree;
};

// Sector counts of images without a boot image: 16 system sectors, the descriptors, two path tables per
// tree, one root extent per tree, zero padding up to sector 150 where the file area starts, then the
// files in whole sectors.
TEST_F(BuildIsoTest, ReportsTheImageSizeInSectorsAndMegabytes) {
    constexpr struct {
        const char* name;
        std::size_t size;
        bool joliet;
        const char* line; // after "<FILE>: "
    } kCases[] = {
        {"one byte", 1, true, "151 sectors, 0.29 MB"},
        {"one byte, no Joliet", 1, false, "151 sectors, 0.29 MB"},
        {"empty file", 0, true, "150 sectors, 0.29 MB"},
        {"three megabytes and a byte", 3 * 1048576 + 1, true, "1687 sectors, 3.29 MB"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const std::string source = m_tree.File(std::string("src/") + (c.joliet ? "j" : "n") + ".bin", c.size);
        std::vector<std::string> args = {"build-iso", "-o", Image()};
        if (!c.joliet) args.push_back("--no-joliet");
        args.push_back(source);
        const Result r = BuildIso(args);
        ASSERT_EQ(r.status, kExitOk) << r.err;
        EXPECT_EQ(r.out, Image() + ": " + c.line + "\n");
        EXPECT_EQ(r.err, "");
        const std::uintmax_t sectors = std::stoul(c.line);
        EXPECT_EQ(fs::file_size(Image()), sectors * 2048);
        fs::remove(source);
    }
}

TEST_F(BuildIsoTest, AcceptsTheLongOptionFormsAndQuick) {
    m_tree.File("src/a.txt", 10);
    const Result r = BuildIso({"build-iso", "--output=" + Image(), "--volume-id=Backup", "--save-path=last",
                               "--quick", m_tree.Path("src")});
    ASSERT_EQ(r.status, kExitOk) << r.err;
    EXPECT_EQ(r.out, Image() + ": 151 sectors, 0.29 MB\n");
}

TEST_F(BuildIsoTest, ReplacesAnExistingImageFile) {
    m_tree.File("src/a.txt", 10);
    m_tree.File("out.iso", 5 * 1048576);
    const Result r = BuildIso({"build-iso", "-o", Image(), m_tree.Path("src")});
    ASSERT_EQ(r.status, kExitOk) << r.err;
    EXPECT_EQ(fs::file_size(Image()), 151u * 2048);
}

// Every failure names its cause on standard error, exits with 1 and leaves no image file behind.
TEST_F(BuildIsoTest, FailsWithAReasonAndWritesNoImage) {
    m_tree.File("src/a.txt", 10);
    m_tree.Folder("hollow/empty/emptier");
    m_tree.Folder("folder.img");
    const std::string src = m_tree.Path("src"), missing = m_tree.Path("missing");
    const struct {
        const char* name;
        std::vector<std::string> args;
        std::string firstLine;
    } kCases[] = {
        {"missing path", {"-o", Image(), src, missing}, "lorvane-cli: no such file or folder: " + missing},
        {"missing boot image",
         {"-o", Image(), "--boot", missing, src},
         "lorvane-cli: boot image not found: " + missing},
        {"boot image is a folder",
         {"-o", Image(), "--boot", m_tree.Path("folder.img"), src},
         "lorvane-cli: boot image not found: " + m_tree.Path("folder.img")},
        {"empty folder tree",
         {"-o", Image(), m_tree.Path("hollow")},
         "lorvane-cli: nothing to put in the image"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"build-iso"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Result r = BuildIso(args);
        EXPECT_EQ(r.status, kExitFailed);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(FirstLine(r.err), c.firstLine);
        EXPECT_FALSE(fs::exists(Image()));
    }
}

TEST_F(BuildIsoTest, FailsWhenTheImageFileCannotBeCreated) {
    m_tree.File("src/a.txt", 10);
    const std::string inMissingFolder = m_tree.Path("no/such/folder/out.iso");
    const std::string onAFolder = m_tree.Folder("a-folder");
    for (const std::string& output : {inMissingFolder, onAFolder}) {
        SCOPED_TRACE(output);
        const Result r = BuildIso({"build-iso", "-o", output, m_tree.Path("src")});
        EXPECT_EQ(r.status, kExitFailed);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "lorvane-cli: CAN'T CREATE FILE \"" + output + "\"\n");
    }
    EXPECT_FALSE(fs::exists(m_tree.Path("no")));
    EXPECT_TRUE(fs::is_empty(onAFolder));
}

TEST_F(BuildIsoTest, FailsWhenTheImageFolderIsNotWritable) {
    const lorvane::image::testing::PermissionsApply permissions;
    if (!permissions.Active()) GTEST_SKIP() << "root's permission overrides cannot be dropped here";
    m_tree.File("src/a.txt", 10);
    const std::string locked = m_tree.Folder("locked");
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
    const std::string output = locked + "/out.iso";
    const Result r = BuildIso({"build-iso", "-o", output, m_tree.Path("src")});
    EXPECT_EQ(r.status, kExitFailed);
    EXPECT_EQ(r.err, "lorvane-cli: CAN'T CREATE FILE \"" + output + "\"\n");
    EXPECT_FALSE(fs::exists(output));
}

// An image written over one of its own sources would destroy the source and record the half-written
// image in its place.
TEST_F(BuildIsoTest, RefusesToWriteTheImageOverOneOfItsSources) {
    const std::string source = m_tree.File("src/data.bin", 100000);
    const std::string inside = m_tree.File("src/old.iso", 4096);
    for (const std::string& output : {source, inside}) {
        SCOPED_TRACE(output);
        const std::uintmax_t size = fs::file_size(output);
        const Result r = BuildIso({"build-iso", "-o", output, m_tree.Path("src")});
        EXPECT_EQ(r.status, kExitFailed);
        EXPECT_EQ(r.err, "lorvane-cli: the image file is one of the sources: " + output + "\n");
        EXPECT_EQ(fs::file_size(output), size);
    }
}

// Two sources that would share one name in one image folder: the second cannot be recorded, and an
// image without it would pass for a complete one.
TEST_F(BuildIsoTest, FailsWhenTwoSourcesShareANameInTheImage) {
    m_tree.File("one/x.txt", 1);
    const std::string second = m_tree.File("two/x.txt", 2);
    m_tree.File("two/y.txt", 3);
    const struct {
        const char* name;
        std::vector<std::string> operands;
    } kCases[] = {
        {"two folders merged into the root", {m_tree.Path("one"), m_tree.Path("two")}},
        {"two files into the root", {m_tree.Path("one/x.txt"), second}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"build-iso", "-o", Image()};
        args.insert(args.end(), c.operands.begin(), c.operands.end());
        const Result r = BuildIso(args);
        EXPECT_EQ(r.status, kExitFailed);
        EXPECT_EQ(r.err, "lorvane-cli: another file of the same name is already in its image folder: " +
                             second + "\n");
        EXPECT_FALSE(fs::exists(Image()));
    }
    // Kept apart by their folder paths, both go in.
    const Result r =
        BuildIso({"build-iso", "-o", Image(), "--save-path", "last", m_tree.Path("one"), m_tree.Path("two")});
    EXPECT_EQ(r.status, kExitOk) << r.err;
}

TEST_F(BuildIsoTest, LeavesOutNamesLongerThan127CharactersWithALine) {
    m_tree.File("src/a.txt", 1);
    const std::string tooLong = m_tree.File("src/" + std::string(124, 'x') + ".txt", 1);
    const Result r = BuildIso({"build-iso", "-o", Image(), m_tree.Path("src")});
    EXPECT_EQ(r.status, kExitOk) << r.err;
    EXPECT_EQ(r.err, "lorvane-cli: left out, the name is longer than 127 characters: " + tooLong + "\n");
}

TEST_F(BuildIsoTest, LeavesOutNamesTooLongForJolietWithTheirOwnLine) {
    m_tree.File("src/a.txt", 1);
    m_tree.File("src/" + std::string(99, 'k') + ".txt", 1); // 103 units: the longest Joliet takes
    const std::string tooLong = m_tree.File("src/" + std::string(100, 'x') + ".txt", 1);
    Result r = BuildIso({"build-iso", "-o", Image(), m_tree.Path("src")});
    EXPECT_EQ(r.status, kExitOk) << r.err;
    EXPECT_EQ(r.err,
              "lorvane-cli: left out, the name is longer than a Joliet name can be (103 UTF-16 units): " +
                  tooLong + "\n");
    // Without Joliet only the 127-character limit is left.
    fs::remove(Image());
    r = BuildIso({"build-iso", "--no-joliet", "-o", Image(), m_tree.Path("src")});
    EXPECT_EQ(r.status, kExitOk) << r.err;
    EXPECT_EQ(r.err, "");
}

TEST_F(BuildIsoTest, SkippedLinksAreNamedOnStandardError) {
    m_tree.File("src/inner/a.txt", 1);
    fs::create_symlink("inner", m_tree.Path("src/folder-link"));
    fs::create_symlink("nowhere", m_tree.Path("src/broken"));
    const Result r = BuildIso({"build-iso", "-o", Image(), m_tree.Path("src")});
    EXPECT_EQ(r.status, kExitOk) << r.err;
    EXPECT_EQ(r.err, "lorvane-cli: SKIPPED BROKEN SYMBOLIC LINK: " + m_tree.Path("src/broken") +
                         "\nlorvane-cli: SKIPPED SYMBOLIC LINK TO A FOLDER: " +
                         m_tree.Path("src/folder-link") + "\n");
}

TEST_F(BuildIsoTest, UsageErrorsExitWithTwoAndWriteNothing) {
    m_tree.File("src/a.txt", 1);
    const std::string src = m_tree.Path("src");
    const struct {
        std::vector<std::string> args;
        const char* firstLine;
    } kCases[] = {
        {{"build-iso", src}, "lorvane-cli: build-iso needs -o FILE"},
        {{"build-iso", "-o"}, "lorvane-cli: -o needs an image file name"},
        {{"build-iso", "-o", Image()}, "lorvane-cli: wrong number of operands for 'build-iso'"},
        {{"build-iso", "-o", Image(), "--save-path", "some", src},
         "lorvane-cli: --save-path takes none, full or last"},
        {{"build-iso", "-o", Image(), src, "--save-path"},
         "lorvane-cli: --save-path takes none, full or last"},
        {{"build-iso", "-o", Image(), "--boot", src, "--volume-id"}, "lorvane-cli: --volume-id needs a text"},
        {{"build-iso", "-o", Image(), "--full", src}, "lorvane-cli: --full goes with erase"},
        {{"drives", "-o", Image()}, "lorvane-cli: -o goes with build-iso"},
        {{"burn", "-o", Image(), src}, "lorvane-cli: -o goes with build-iso"},
        {{"build-iso", "-o", Image(), "--speed", "4", src},
         "lorvane-cli: --speed, --test and --eject go with burn and burn-iso"},
        {{"burn", "--speed", "fast", src},
         "lorvane-cli: --speed takes a whole number from 1 to 9362 (times the medium's 1x) or max"},
        {{"burn-iso", "--close", Image()}, "lorvane-cli: --close goes with burn"},
        {{"info", "--no-joliet"},
         "lorvane-cli: --no-joliet, --volume-id, --boot, --save-path and --no-recurse go with build-iso and "
         "burn"},
        {{"--boot", src, "eject"},
         "lorvane-cli: --no-joliet, --volume-id, --boot, --save-path and --no-recurse go with build-iso and "
         "burn"},
        {{"ready", "--save-path", "full"},
         "lorvane-cli: --no-joliet, --volume-id, --boot, --save-path and --no-recurse go with build-iso and "
         "burn"},
        {{"caps", "--no-recurse"},
         "lorvane-cli: --no-joliet, --volume-id, --boot, --save-path and --no-recurse go with build-iso and "
         "burn"},
        {{"load", "--volume-id", "X"},
         "lorvane-cli: --no-joliet, --volume-id, --boot, --save-path and --no-recurse go with build-iso and "
         "burn"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.firstLine);
        const Result r = BuildIso(c.args);
        EXPECT_EQ(r.status, kExitUsage);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(FirstLine(r.err), c.firstLine);
        EXPECT_NE(r.err.find("\nusage: lorvane-cli "), std::string::npos);
        EXPECT_FALSE(fs::exists(Image()));
    }
}

} // namespace
