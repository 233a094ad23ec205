#include "cli/cli.h"

#include "support/fake_clock.h"
#include "support/fake_kernel.h"
#include "transport/aspi.h"
#include "transport/pass_through.h"

#include <gtest/gtest.h>

#include "cli/cli_runner.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using lorvane::cli::RunCli;
namespace fs = std::filesystem;

using lorvane::cli::testing::Lines;
using lorvane::cli::testing::Result;
using lorvane::cli::testing::RunTool;

// A module loader that finds nothing: the machine has no manager module.
class NoModule final : public lorvane::transport::ModuleLoader {
public:
    void* Open(const std::string&) override { return nullptr; }
    void* Symbol(void*, const char*) override { return nullptr; }
    void Close(void*) override {}
};

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir =
            fs::temp_directory_path() /
            ("lorvane-cli-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
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
    std::string Disc() const { return (m_dir / "disc.img").string(); }

    fs::path m_dir;
    lorvane::testing::FakeKernel m_kernel;
    NoModule m_noModule;
};

constexpr const char* kVirtualEntry = "0:0:0,?: LORVANE VIRTUAL RECORDER1.00";

TEST_F(CliTest, VirtualRecorderIsListedInTheDeviceStringFormatAndItsDiscFileIsCreated) {
    const Result r = RunTool({"--virtual", Disc(), "drives"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, std::string(kVirtualEntry) + "\n");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(fs::exists(Disc()));
}

TEST_F(CliTest, OptionsMayFollowTheVerb) {
    const Result r = RunTool({"drives", "--virtual=" + Disc()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, std::string(kVirtualEntry) + "\n");
}

TEST_F(CliTest, LogPrintsTheDiagnosticLinesToStandardError) {
    const Result r = RunTool({"--log", "--virtual", Disc(), "drives"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string(kVirtualEntry) + "\n");
    EXPECT_NE(r.err.find(">>> WNASPI32.DLL\n"), std::string::npos) << r.err;
}

TEST_F(CliTest, WithoutDriveOrModuleDrivesFailsWithAReason) {
    const Result r = RunTool({"drives"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("no CD/DVD drive was found"), std::string::npos) << r.err;
    EXPECT_FALSE(lorvane::transport::ASPIInitialized());
}

TEST_F(CliTest, ListsTheKernelsDrivesThroughTheBuiltInLayer) {
    auto& drive = m_kernel.AddDrive(0, lorvane::transport::ScsiAddress{.host = 1, .target = 0});
    drive.inquiry = lorvane::testing::StandardInquiry("HL-DT-ST", "DVDRAM GH24NSD1", "0100");
    const Result r = RunTool({"drives"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1:0:0,/dev/sr0 HL-DT-STDVDRAM GH24NSD1 0100\n");
}

TEST_F(CliTest, DeviceSelection) {
    const struct {
        std::vector<std::string> device;
        int status;
        const char* errorPart;
    } kCases[] = {
        {{"-d", "1"}, 0, ""},
        {{"-d", kVirtualEntry}, 0, ""},
        {{"--device=1"}, 0, ""},
        {{"-d", "2"}, 1, "there is no drive 2"},
        {{"-d", "0"}, 1, "there is no drive 0"},
        {{"-d", "0:5:0,?: NOBODY"}, 1, "names no CD/DVD drive"},
        {{"-d", "abcdef"}, 1, "names no CD/DVD drive"},
        {{"-d", "99999999999999999999"}, 1, "names no CD/DVD drive"},
        {{"-d"}, 2, "-d needs"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.device.back());
        std::vector<std::string> args = {"--virtual", Disc(), "drives"};
        args.insert(args.end(), c.device.begin(), c.device.end());
        const Result r = RunTool(args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.errorPart), std::string::npos) << r.err;
        if (c.status == 0) {
            EXPECT_EQ(r.out, std::string(kVirtualEntry) + "\n");
        }
    }
}

TEST_F(CliTest, UsageErrorsExitWithTwo) {
    const std::vector<std::vector<std::string>> kCases = {
        {},
        {"frobnicate"},
        {"--virtual"},
        {"--bogus", "drives"},
        {"drives", "extra"},
        {"--medium", "cd-r", "drives"},
        {"--virtual", "x.img", "--medium", "floppy", "drives"},
        {"erase"},
        {"erase", "--quick", "--full"},
        {"info", "--quick"},
    };
    for (const auto& args : kCases) {
        SCOPED_TRACE(args.empty() ? "(none)" : args.front());
        const Result r = RunTool(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("usage: lorvane-cli"), std::string::npos) << r.err;
    }
}

TEST_F(CliTest, UnusableDiscFileFailsCleanly) {
    const Result r = RunTool({"--virtual", (m_dir / "missing-folder" / "disc.img").string(), "drives"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("lorvane-cli: "), std::string::npos);
}

TEST_F(CliTest, FullEraseOfACdRwShowsProgressAndLeavesAnEmptyDisc) {
    const Result erase = RunTool({"--virtual", Disc(), "--medium", "cd-rw", "erase", "--full"});
    ASSERT_EQ(erase.status, 0) << erase.err;
    const auto lines = Lines(erase.out);
    ASSERT_GE(lines.size(), 3u) << erase.out;
    EXPECT_EQ(lines[lines.size() - 2], "erase: 100%");
    EXPECT_EQ(lines.back(), "ERASE PROCESS DONE");
    int last = -1; // the progress lines only ever rise
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        ASSERT_EQ(lines[i].rfind("erase: ", 0), 0u) << lines[i];
        const int percent = std::stoi(lines[i].substr(7));
        EXPECT_GE(percent, last);
        last = percent;
    }

    const Result info = RunTool({"--virtual", Disc(), "info"});
    ASSERT_EQ(info.status, 0) << info.err;
    const auto report = Lines(info.out);
    ASSERT_EQ(report.size(), 5u) << info.out;
    EXPECT_EQ(report[0], "Medium  : CD-RW");
    EXPECT_EQ(report[2], "Used Space  : 0.00 MB");
    EXPECT_EQ(report[3], " Number     Start     Size");
    EXPECT_EQ(report[4].rfind(" Free      ", 0), 0u) << report[4];
}

// An image file presented as a pressed CD-ROM: one session from 00:02:00 whose size comes from the
// track (307,200 sectors = 600 MB), and the lead-out right after it.
TEST_F(CliTest, InfoOfAPressedCdRomListsItsSession) {
    constexpr std::uint32_t kSectors = 307200;
    {
        std::ofstream image(Disc(), std::ios::binary);
        std::string descriptor(2048, '\0');
        descriptor[0] = 1; // primary volume descriptor, ECMA-119 8.4
        descriptor.replace(1, 5, "CD001");
        descriptor[80] = static_cast<char>(kSectors & 0xFF); // volume space size, little-endian half
        descriptor[81] = static_cast<char>((kSectors >> 8) & 0xFF);
        descriptor[82] = static_cast<char>((kSectors >> 16) & 0xFF);
        image.seekp(16 * 2048);
        image.write(descriptor.data(), static_cast<std::streamsize>(descriptor.size()));
    }
    fs::resize_file(Disc(), std::uint64_t{kSectors} * 2048);
    const Result r = RunTool({"--virtual", Disc(), "--medium", "cd-rom", "info"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 6u) << r.out;
    EXPECT_EQ(lines[0], "Medium  : CD-ROM");
    EXPECT_EQ(lines[4], "  001      000:02:00   600 MB");
    EXPECT_EQ(lines[5], " Free      068:18:00     0 MB");
}

TEST_F(CliTest, EraseRefusesADiscThatIsNotErasable) {
    const Result r = RunTool({"--virtual", Disc(), "--medium", "cd-r", "erase", "--quick"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Disc is not Erasable"), std::string::npos) << r.err;
}

TEST_F(CliTest, SpeedRowsOfTheDefaultRecorderWithACdR) {
    const Result r = RunTool({"--virtual", Disc(), "--medium", "cd-r", "speeds"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Max\n40X (6,000 KB/s)\n32X (4,800 KB/s)\n24X (3,600 KB/s)\n16X (2,400 KB/s)\n"
                     "10X (1,500 KB/s)\n04X (600 KB/s)\n");
}

TEST_F(CliTest, CapsShowsTheCapabilityBoxesAndSpeeds) {
    const Result r = RunTool({"--virtual", Disc(), "caps"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 12u) << r.out;
    EXPECT_EQ(lines[0], std::string("  ") + kVirtualEntry);
    EXPECT_EQ(lines[1], "[x] Read CDR        [x] Write CDR");
    EXPECT_EQ(lines[9], "[x] Underrun Protection");
    EXPECT_EQ(lines[10].rfind("Max Write Speed   :  ", 0), 0u);
    EXPECT_EQ(lines[11].rfind("Max Read Speed    :  ", 0), 0u);
}

TEST_F(CliTest, UnitCommands) {
    const struct {
        std::vector<std::string> args;
        int status;
        const char* out;
    } kCases[] = {
        {{"--medium", "cd-r", "ready"}, 0, "DRIVE IS READY\n"},
        {{"--medium", "none", "ready"}, 1, ""},
        {{"--medium", "cd-r", "load"}, 0, "LOAD MEDIUM COMMAND DONE.\n"},
        {{"--medium", "dvd+rw", "eject"}, 0, "EJECT MEDIUM COMMAND DONE.\n"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.args.back() + " " + c.args[1]);
        fs::remove(Disc());
        fs::remove(Disc() + ".state");
        std::vector<std::string> args = {"--virtual", Disc()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Result r = RunTool(args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(r.out, c.out);
    }
}

// The installed program: the module beside it serves as the drive; copied away from it, with no
// optical drive on the machine, it fails with a clear message.
TEST(CliProgram, UsesTheModuleBesideItAndFailsWithoutIt) {
    const char* bin = std::getenv("LORVANE_BIN");
    if (bin == nullptr) GTEST_SKIP() << "LORVANE_BIN is not set";
    if (fs::exists("/dev/sr0")) GTEST_SKIP() << "this machine has an optical drive";
    const fs::path dir = fs::temp_directory_path() / "lorvane-cli-program";
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path disc = dir / "module-disc.img";
    const std::string env = "LORVANE_VIRTUAL_DISC='" + disc.string() + "' ";

    const fs::path out = dir / "out.txt";
    const std::string withModule =
        env + "'" + (fs::path(bin) / "lorvane-cli").string() + "' drives >'" + out.string() + "' 2>&1";
    EXPECT_EQ(std::system(withModule.c_str()), 0);
    std::ifstream listed(out);
    std::string line;
    std::getline(listed, line);
    EXPECT_EQ(line, kVirtualEntry);

    fs::copy_file(fs::path(bin) / "lorvane-cli", dir / "lorvane-cli");
    const std::string alone =
        env + "cd '" + dir.string() + "' && ./lorvane-cli drives >'" + out.string() + "' 2>&1";
    const int status = std::system(alone.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    std::ifstream message(out);
    std::getline(message, line);
    EXPECT_NE(line.find("no CD/DVD drive was found"), std::string::npos) << line;
    fs::remove_all(dir);
}

} // namespace
