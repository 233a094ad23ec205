// lorvane-cli sessions, ls and extract on discs of the virtual recorder: pressed discs made from images
// and recorded discs of several sessions.

#include "cli/cli.h"
#include "cli/sessions.h"

#include "support/fake_clock.h"
#include "support/fake_kernel.h"
#include "transport/aspi.h"
#include "transport/pass_through.h"

#include <gtest/gtest.h>

#include "cli/cli_runner.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using lorvane::cli::kExitFailed;
using lorvane::cli::kExitOk;
using lorvane::cli::kExitUsage;
using lorvane::cli::RunCli;
namespace fs = std::filesystem;

using lorvane::cli::testing::Lines;
using lorvane::cli::testing::Result;
using lorvane::cli::testing::RunTool;

std::string Content(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class NoModule final : public lorvane::transport::ModuleLoader {
public:
    void* Open(const std::string&) override { return nullptr; }
    void* Symbol(void*, const char*) override { return nullptr; }
    void Close(void*) override {}
};

// 2004-06-15 10:20:30 UTC.
constexpr std::time_t kSourceTime = 1087294830;

class SessionVerbs : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() /
                ("lorvane-sessions-" +
                 std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
        lorvane::transport::SetPassThroughKernel(&m_kernel);
        lorvane::transport::SetModuleLoader(&m_noModule);
    }
    void TearDown() override {
        lorvane::transport::CloseTransport();
        lorvane::transport::SetModuleLoader(nullptr);
        lorvane::transport::SetPassThroughKernel(nullptr);
        fs::remove_all(m_dir);
    }

    fs::path Write(const std::string& relative, const std::string& content) const {
        const fs::path path = m_dir / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
        const timespec times[2] = {{kSourceTime, 0}, {kSourceTime, 0}};
        ::utimensat(AT_FDCWD, path.c_str(), times, 0);
        return path;
    }

    // An image of the folder src (its contents in the root), saved by build-iso.
    std::string Image() {
        const std::string image = (m_dir / "disc.iso").string();
        const Result r = RunTool({"build-iso", "--quick", "-o", image, (m_dir / "src").string()});
        EXPECT_EQ(r.status, kExitOk) << r.err;
        return image;
    }
    void StandardSources() {
        Write("src/readme.txt", "hello\n");
        Write("src/Makefile", "all:\n");
        Write("src/docs/note.txt", "note");
        Write("src/docs/deep/x.bin", std::string(100000, 'x'));
    }

    fs::path m_dir;
    lorvane::testing::FakeKernel m_kernel;
    NoModule m_noModule;
};

// The date column as ls prints it, in local time.
std::string LocalMinute(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
    return text;
}

TEST_F(SessionVerbs, SessionsPrintsTheWindowsLinesForAPressedDisc) {
    StandardSources();
    const std::string image = Image();
    const auto sectors = static_cast<std::uint32_t>(fs::file_size(image) / 2048);
    const Result r = RunTool({"--virtual", image, "--medium", "cd-rom", "sessions"});
    ASSERT_EQ(r.status, kExitOk) << r.err;
    // The lead-out follows the single track; MSF counts 150 frames before block 0.
    const std::uint32_t leadOut = sectors + 150;
    char leadOutTime[16];
    std::snprintf(leadOutTime, sizeof leadOutTime, "%03u:%02u:%02u", leadOut / 4500, leadOut / 75 % 60,
                  leadOut % 75);
    EXPECT_EQ(Lines(r.out),
              (std::vector<std::string>{" Number     Start     Size", "  001      000:02:00     0 MB",
                                        std::string(" Free      ") + leadOutTime + "     0 MB"}));
}

TEST_F(SessionVerbs, SessionsWithoutADiscPrintsTheWindowsErrorLineAndFails) {
    const Result r = RunTool({"--virtual", (m_dir / "tray.disc").string(), "--medium", "none", "sessions"});
    EXPECT_EQ(r.status, kExitFailed);
    EXPECT_EQ(r.out, " Number     Start     Size\n     Error getting session information\n");
}

TEST_F(SessionVerbs, LsListsAFolderOfTheLastSessionWithSizesDatesAndFolderMarks) {
    StandardSources();
    const std::string image = Image();
    const std::string date = LocalMinute(kSourceTime);
    const Result root = RunTool({"--virtual", image, "ls"});
    ASSERT_EQ(root.status, kExitOk) << root.err;
    const std::vector<std::string> lines = Lines(root.out);
    // The folder carries the date of its own source, which changed when files were made in it.
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(lines[0].starts_with("              ") && lines[0].ends_with("  docs/")) << lines[0];
    EXPECT_EQ(lines[1], "           5  " + date + "  Makefile");
    EXPECT_EQ(lines[2], "           6  " + date + "  readme.txt");

    const struct {
        const char* path;
        std::vector<std::string> lines;
    } kCases[] = {
        {"/docs", {"DEEP_LINE", "           4  " + date + "  note.txt"}},
        {"DOCS/", {"DEEP_LINE", "           4  " + date + "  note.txt"}},
        {"/docs/deep", {"      100000  " + date + "  x.bin"}},
        {"/Docs/Deep/X.BIN", {"      100000  " + date + "  x.bin"}},
        {"/", {lines[0], lines[1], lines[2]}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.path);
        const Result r = RunTool({"--virtual", image, "ls", c.path});
        ASSERT_EQ(r.status, kExitOk) << r.err;
        std::vector<std::string> got = Lines(r.out);
        if (!got.empty() && got[0].ends_with("  deep/")) got[0] = "DEEP_LINE";
        EXPECT_EQ(got, c.lines);
    }
}

TEST_F(SessionVerbs, LsAndExtractRefuseWhatTheDiscDoesNotHold) {
    StandardSources();
    const std::string image = Image();
    const std::string blank = (m_dir / "blank.disc").string();
    const std::string zeros = Write("zeros.iso", std::string(100 * 2048, '\0')).string();
    const struct {
        const char* name;
        std::vector<std::string> args;
        std::string err;
    } kCases[] = {
        {"missing folder",
         {"--virtual", image, "ls", "/nope"},
         "lorvane-cli: no such file or folder on the disc: /nope\n"},
        {"missing file",
         {"--virtual", image, "extract", "/docs/none.txt", (m_dir / "out").string()},
         "lorvane-cli: no such file or folder on the disc: /docs/none.txt\n"},
        {"session past the last",
         {"--virtual", image, "ls", "--session", "2"},
         "lorvane-cli: there is no session 2: the disc holds 1 session\n"},
        {"no file system",
         {"--virtual", zeros, "ls"},
         "lorvane-cli: >>> ERROR IMPORTING SESSION 1 (ISO IMAGE NOT FOUND)\n"
         "lorvane-cli: cannot read session 1: no ISO 9660 file system was found in it, or the disc could not "
         "be read\n"},
        {"blank disc",
         {"--virtual", blank, "--medium", "cd-r", "ls"},
         "lorvane-cli: the disc holds no complete session (no disc, a blank disc, or no answer)\n"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const Result r = RunTool(c.args);
        EXPECT_EQ(r.status, kExitFailed);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
    }
    EXPECT_FALSE(fs::exists(m_dir / "out"));

    // Usage errors: the operands and --session where they do not belong.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--virtual", image, "extract", "/readme.txt"},
          std::vector<std::string>{"--virtual", image, "ls", "/a", "/b"},
          std::vector<std::string>{"--virtual", image, "sessions", "--session", "1"},
          std::vector<std::string>{"--virtual", image, "ls", "--session", "0"}}) {
        SCOPED_TRACE(args[2] + " " + args.back());
        EXPECT_EQ(RunTool(args).status, kExitUsage);
    }
}

TEST_F(SessionVerbs, ExtractCopiesAFileOrAWholeFolderByteForByte) {
    StandardSources();
    const std::string image = Image();

    // A file into an existing folder keeps its name (without the dot the tree gives dotless names).
    fs::create_directories(m_dir / "into");
    Result r = RunTool({"--virtual", image, "extract", "/Makefile", (m_dir / "into").string()});
    ASSERT_EQ(r.status, kExitOk) << r.err;
    EXPECT_EQ(r.out, "1 file extracted\n");
    EXPECT_EQ(Content(m_dir / "into" / "Makefile"), "all:\n");
    struct stat info {};
    ASSERT_EQ(::stat((m_dir / "into" / "Makefile").c_str(), &info), 0);
    EXPECT_EQ(info.st_mtim.tv_sec, kSourceTime);

    // A file to a new file name.
    r = RunTool({"--virtual", image, "extract", "/docs/deep/x.bin", (m_dir / "copy.bin").string()});
    ASSERT_EQ(r.status, kExitOk) << r.err;
    EXPECT_EQ(Content(m_dir / "copy.bin"), std::string(100000, 'x'));

    // The whole disc into a new folder.
    r = RunTool({"--virtual", image, "extract", "/", (m_dir / "all").string()});
    ASSERT_EQ(r.status, kExitOk) << r.err;
    EXPECT_EQ(r.out, "4 files extracted\n");
    std::map<std::string, std::string> extracted;
    for (const auto& item : fs::recursive_directory_iterator(m_dir / "all"))
        if (item.is_regular_file())
            extracted[fs::relative(item.path(), m_dir / "all").string()] = Content(item);
    EXPECT_EQ(extracted, (std::map<std::string, std::string>{{"Makefile", "all:\n"},
                                                             {"docs/deep/x.bin", std::string(100000, 'x')},
                                                             {"docs/note.txt", "note"},
                                                             {"readme.txt", "hello\n"}}));
}

TEST_F(SessionVerbs, ExtractNeverOverwritesAndFailsOnAnUnwritableDestination) {
    StandardSources();
    const std::string image = Image();
    Write("taken/readme.txt", "mine");
    Write("taken/docs/note.txt", "mine too");
    Write("plain-file", "x");
    const struct {
        const char* name;
        std::string discPath;
        fs::path dest;
        std::string err;
    } kCases[] = {
        {"file over a file", "/readme.txt", m_dir / "taken" / "readme.txt",
         "lorvane-cli: '" + (m_dir / "taken" / "readme.txt").string() +
             "' exists; it is not overwritten, nothing extracted\n"},
        {"file into a folder holding its name", "/readme.txt", m_dir / "taken",
         "lorvane-cli: '" + (m_dir / "taken" / "readme.txt").string() +
             "' exists; it is not overwritten, nothing extracted\n"},
        {"folder over a file below", "/docs", m_dir / "taken" / "docs",
         "lorvane-cli: '" + (m_dir / "taken" / "docs" / "note.txt").string() +
             "' exists; it is not overwritten, nothing extracted\n"},
        {"folder onto a file", "/docs", m_dir / "plain-file",
         "lorvane-cli: '" + (m_dir / "plain-file").string() +
             "' is not a folder; a disc folder is extracted into a folder\n"},
        {"file in a missing folder", "/readme.txt", m_dir / "no" / "such" / "x.txt",
         "lorvane-cli: cannot write '" + (m_dir / "no" / "such" / "x.txt").string() +
             "' (CAN'T CREATE FILE \"" + (m_dir / "no" / "such" / "x.txt").string() + "\")\n"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const Result r = RunTool({"--virtual", image, "extract", c.discPath, c.dest.string()});
        EXPECT_EQ(r.status, kExitFailed);
        EXPECT_EQ(r.err, c.err);
    }
    EXPECT_EQ(Content(m_dir / "taken" / "readme.txt"), "mine");
    EXPECT_EQ(Content(m_dir / "taken" / "docs" / "note.txt"), "mine too");
    EXPECT_FALSE(fs::exists(m_dir / "taken" / "docs" / "deep"));
}

TEST_F(SessionVerbs, ExtractFailsOnAnUnreadableSectorAndLeavesNoPartialCopy) {
    Write("src/big.bin", std::string(200000, 'b'));
    const std::string image = Image();
    // The pressed disc ends 20 sectors before the file does.
    fs::resize_file(image, fs::file_size(image) - 20 * 2048);
    const fs::path dest = m_dir / "big.out";
    const Result r = RunTool({"--virtual", image, "extract", "/big.bin", dest.string()});
    EXPECT_EQ(r.status, kExitFailed);
    EXPECT_TRUE(r.err.starts_with("lorvane-cli: a sector of '/big.bin' could not be read")) << r.err;
    EXPECT_TRUE(r.err.ends_with("; the partial copy was removed\n")) << r.err;
    EXPECT_FALSE(fs::exists(dest));
}

// A pressed disc written by hand (ECMA-119 8.4, 9.1): the root at sector 20 holds A.TXT and the folder
// SUB, whose extent lies past the end of the 32-sector disc.
std::string DiscWithAnUnreadableFolder() {
    std::string disc(32 * 2048, '\0');
    const auto both32 = [&](std::size_t at, std::uint32_t v) {
        for (std::size_t i = 0; i < 4; ++i) {
            disc[at + i] = static_cast<char>(v >> (8 * i));
            disc[at + 7 - i] = static_cast<char>(v >> (8 * i));
        }
    };
    const auto record = [&](std::size_t at, std::uint32_t extent, std::uint32_t size, bool folder,
                            const std::string& id) {
        const std::size_t length = 33 + id.size() + (id.size() % 2 == 0 ? 1 : 0);
        disc[at] = static_cast<char>(length);
        both32(at + 2, extent);
        both32(at + 10, size);
        const char date[7] = {104, 6, 15, 10, 20, 30, 0};
        std::copy(date, date + 7, disc.begin() + static_cast<std::ptrdiff_t>(at + 18));
        disc[at + 25] = folder ? 2 : 0;
        disc[at + 32] = static_cast<char>(id.size());
        disc.replace(at + 33, id.size(), id);
        return at + length;
    };
    for (const std::size_t lba : {16u, 17u}) disc.replace(lba * 2048 + 1, 6, "CD001\x01");
    disc[16 * 2048] = 1;
    disc[17 * 2048] = static_cast<char>(0xFF);
    record(16 * 2048 + 156, 20, 2048, true, std::string(1, '\0'));
    std::size_t at = record(20 * 2048, 20, 2048, true, std::string(1, '\0'));
    at = record(at, 20, 2048, true, std::string(1, '\1'));
    at = record(at, 30, 3, false, "A.TXT;1");
    record(at, 500, 2048, true, "SUB");
    disc.replace(30 * 2048, 3, "abc");
    return disc;
}

TEST_F(SessionVerbs, AFolderThatCannotBeReadMakesLsAndExtractFail) {
    const std::string disc = Write("broken.iso", DiscWithAnUnreadableFolder()).string();
    const std::string reason = "lorvane-cli: some folders of the session could not be read; ";
    Result r = RunTool({"--virtual", disc, "ls"});
    EXPECT_EQ(r.status, kExitFailed);
    EXPECT_EQ(Lines(r.out).size(), 2u) << r.out;
    EXPECT_EQ(r.err, reason + "the listing may be incomplete\n");

    r = RunTool({"--virtual", disc, "extract", "/", (m_dir / "out").string()});
    EXPECT_EQ(r.status, kExitFailed);
    EXPECT_EQ(r.out, "1 file extracted\n");
    EXPECT_EQ(r.err, reason + "files in them were not extracted\n");
    EXPECT_EQ(Content(m_dir / "out" / "A.TXT"), "abc");
}

// The local disk fills up in the middle of a copy: the reason is given and no shortened copy stays
// behind looking like the file. A file-size limit stands in for the full disk (writes past it fail
// with EFBIG, as they would with ENOSPC).
TEST_F(SessionVerbs, ExtractOntoAFullDiskLeavesNoPartialCopy) {
    Write("one/big.bin", std::string(300000, 'b'));
    const std::string disc = (m_dir / "cd.disc").string();
    Result r = RunTool({"--virtual", disc, "--medium", "cd-r", "burn", (m_dir / "one").string()});
    ASSERT_EQ(r.status, kExitOk) << r.err;

    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 100000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    r = RunTool({"--virtual", disc, "extract", "/big.bin", (m_dir / "copy.bin").string()});
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

    EXPECT_EQ(r.status, kExitFailed);
    EXPECT_NE(r.err.find("cannot write '" + (m_dir / "copy.bin").string() + "'"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("the partial copy was removed"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(m_dir / "copy.bin"));
}

TEST_F(SessionVerbs, SessionsLsAndExtractFollowTheSessionsOfARecordedDisc) {
    Write("one/first.txt", "first");
    Write("two/second.txt", "second");
    const std::string disc = (m_dir / "cd.disc").string();
    Result r = RunTool({"--virtual", disc, "--medium", "cd-r", "burn", (m_dir / "one").string()});
    ASSERT_EQ(r.status, kExitOk) << r.err;
    r = RunTool({"--virtual", disc, "burn", "--import", "-1", (m_dir / "two").string()});
    ASSERT_EQ(r.status, kExitOk) << r.err;

    r = RunTool({"--virtual", disc, "sessions"});
    ASSERT_EQ(r.status, kExitOk) << r.err;
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_TRUE(lines[1].starts_with("  001      000:02:00  ")) << lines[1];
    EXPECT_TRUE(lines[2].starts_with("  002      ")) << lines[2];
    EXPECT_TRUE(lines[3].starts_with(" Free      ")) << lines[3];

    const auto names = [&](const std::vector<std::string>& args) {
        std::vector<std::string> found;
        const Result listed = RunTool(args);
        EXPECT_EQ(listed.status, kExitOk) << listed.err;
        for (const std::string& line : Lines(listed.out)) found.push_back(line.substr(line.rfind("  ") + 2));
        return found;
    };
    EXPECT_EQ(names({"--virtual", disc, "ls"}), (std::vector<std::string>{"first.txt", "second.txt"}));
    EXPECT_EQ(names({"--virtual", disc, "ls", "--session", "-1"}),
              (std::vector<std::string>{"first.txt", "second.txt"}));
    EXPECT_EQ(names({"--virtual", disc, "ls", "--session", "1"}), (std::vector<std::string>{"first.txt"}));

    r = RunTool({"--virtual", disc, "extract", "--session", "2", "/", (m_dir / "out").string()});
    ASSERT_EQ(r.status, kExitOk) << r.err;
    EXPECT_EQ(Content(m_dir / "out" / "first.txt"), "first");
    EXPECT_EQ(Content(m_dir / "out" / "second.txt"), "second");
}

TEST(SafeLocalName, NamesThatWouldLeaveTheirFolderAreReplaced) {
    const struct {
        const char* name;
        std::optional<std::string> safe;
    } kCases[] = {
        {"readme.txt", std::nullopt},
        {"...", std::nullopt},
        {".hidden", std::nullopt},
        {"", "_"},
        {".", "_"},
        {"..", "__"},
        {"a/b", "a_b"},
        {"../../etc", ".._.._etc"},
        {"a\\b", "a_b"},
        {"/", "_"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(lorvane::cli::SafeLocalName(c.name), c.safe);
    }
    EXPECT_EQ(lorvane::cli::SafeLocalName(std::string("a\0b", 3)), "a_b");
}

} // namespace
