// The drive component against the virtual recorder, with real media on the virtual clock: neither side
// is a double written for the other, so a disagreement between them shows up here. Expected figures
// come from MMC and from the behaviour of real recorders, not from either implementation.

#include "drive/erase_thread.h"
#include "drive/scsi_device.h"
#include "recorder/media.h"
#include "recorder/virtual_drive.h"
#include "recorder/virtual_recorder.h"
#include "support/fake_clock.h"
#include "support/fake_kernel.h"
#include "transport/aspi.h"
#include "transport/pass_through.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace lorvane::drive {
namespace {

using recorder::MediumKind;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kWriteFlags = 0x50;          // data out, posting, as the writers send WRITE (10)
constexpr std::uint16_t kBlocksPerWrite = 31;       // one 63,488-byte cache block
constexpr std::uint32_t kCdRLeadOutFrames = 359999; // ATIP 79:59:74 counted as MSF frames
constexpr std::uint32_t kDvdMinusRBlocks = 2298496; // blank DVD-R / DVD-RW sequential
constexpr std::uint32_t kDvdPlusBlocks = 2295104;   // DVD+R, DVD+RW
constexpr std::uint32_t kDvdRamBlocks = 2236704;    // DVD-RAM with the default spare areas
constexpr std::uint32_t kCdRFreeBlocks = 359849;    // ATIP lead-out LBA - NWA 0
constexpr std::uint32_t kPressedBlocks = 1000;      // the content given to a pressed disc

class LineSink final : public DebugTextSink {
public:
    ~LineSink() override { DetachFromDevices(); }
    void AppendLine(const std::string& line) override { lines.push_back(line); }
    std::vector<std::string> lines; // appended under the log link lock; read after the thread ended
};

// Distinct, position-dependent sector contents, so a block read from the wrong place shows.
Bytes Pattern(std::uint32_t firstLba, std::uint32_t blocks) {
    Bytes data(std::size_t{blocks} * 2048);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>((i / 2048 + firstLba) * 7 + i % 251);
    return data;
}

class RecorderIntegration : public ::testing::Test {
protected:
    void SetUp() override {
        transport::CloseTransport();
        transport::SetPassThroughKernel(&kernel);
        std::string folder = (std::filesystem::path(::testing::TempDir()) / "lorvane_integ_XXXXXX").string();
        ASSERT_NE(::mkdtemp(folder.data()), nullptr);
        m_folder = folder;
        drive = &recorder.AddDrive(recorder::DriveIdentity{}, m_folder / "drive.disc");
        recorder::VirtualRecorder::Install(&recorder);
        transport::SetModuleLoader(&loader);
        ASSERT_TRUE(dev.InitTransport(false));
        ASSERT_EQ(dev.DeviceList.size(), 1u);
        dev.SetDebugWindow(&sink);
    }
    void TearDown() override {
        dev.JoinEraseThread();
        transport::CloseTransport();
        transport::SetModuleLoader(nullptr);
        recorder::VirtualRecorder::Install(nullptr);
        transport::SetPassThroughKernel(nullptr);
        drive->ChangeMedium(nullptr); // the medium saves its state before the folder goes
        std::error_code ignored;
        std::filesystem::remove_all(m_folder, ignored);
    }

    // Puts a disc of that kind in the tray and selects the drive, as at start-up.
    void Insert(MediumKind kind) {
        if (kind == MediumKind::CdRom || kind == MediumKind::DvdRom) {
            std::ofstream(drive->DiscPath(), std::ios::binary)
                .write(reinterpret_cast<const char*>(Pattern(0, kPressedBlocks).data()),
                       std::streamsize{kPressedBlocks} * 2048);
        }
        const std::optional<std::string> refusal = recorder::InsertDisc(*drive, kind);
        ASSERT_FALSE(refusal.has_value()) << *refusal;
        dev.SetDevice(dev.DeviceList.at(0));
        ASSERT_EQ(dev.DeviceType, 5);
    }

    // WRITE (10) of the data in cache-block sized pieces from lba on; a drive whose buffer is full
    // answers 2/04/08 and the block is sent again a little later, as the writer does.
    ::testing::AssertionResult Write(std::uint32_t lba, const Bytes& data) {
        const std::uint32_t blocks = static_cast<std::uint32_t>(data.size() / 2048);
        for (std::uint32_t done = 0; done < blocks;) {
            const auto count =
                static_cast<std::uint16_t>(std::min<std::uint32_t>(kBlocksPerWrite, blocks - done));
            const std::span<const std::uint8_t> piece(data.data() + std::size_t{done} * 2048,
                                                      std::size_t{count} * 2048);
            int tries = 0;
            while (!dev.WriteSectors(static_cast<std::int32_t>(lba + done), count, kWriteFlags, piece)) {
                const bool longWrite =
                    dev.LastSense[2] == 0x02 && dev.LastSense[12] == 0x04 && dev.LastSense[13] == 0x08;
                if (!longWrite || ++tries > 1000)
                    return ::testing::AssertionFailure()
                           << "WRITE at " << lba + done << ": " << dev.LastErrorText;
                clock.SleepFor(std::chrono::milliseconds(50));
            }
            done += count;
        }
        return ::testing::AssertionSuccess();
    }

    // One session of a CD, DVD+R or DVD+RW data track the way the writer records it: the write
    // parameters as if the disc were to be finalized, the blocks, a flush, the write parameters
    // with the real FinalizeDisc, the close (a DVD+R: close track, then finalize), and the wait.
    ::testing::AssertionResult RecordSession(std::uint8_t mediumIndex, std::uint32_t lba, const Bytes& data) {
        const bool finalize = dev.FinalizeDisc;
        dev.FinalizeDisc = true;
        const bool prepared = dev.SetWriteParameters(dev.TestWrite, true, mediumIndex);
        dev.FinalizeDisc = finalize;
        if (!prepared) return ::testing::AssertionFailure() << "MODE SELECT: " << dev.LastErrorText;
        if (auto written = Write(lba, data); !written) return written;
        if (!dev.SyncCache(120000, false))
            return ::testing::AssertionFailure() << "SYNCHRONIZE CACHE: " << dev.LastErrorText;
        if (!dev.TestWrite) {
            if (!dev.SetWriteParameters(false, true, mediumIndex))
                return ::testing::AssertionFailure() << "MODE SELECT: " << dev.LastErrorText;
            if (mediumIndex == medium::kDvdPlusR) {
                if (!dev.CloseTrackSession(true, false, false))
                    return ::testing::AssertionFailure() << "CLOSE TRACK: " << dev.LastErrorText;
                if (!dev.CloseTrackSession(false, true, true))
                    return ::testing::AssertionFailure() << "FINALIZE: " << dev.LastErrorText;
            } else if (!dev.CloseTrackSession(false, CloseImmediate, false)) {
                return ::testing::AssertionFailure() << "CLOSE SESSION: " << dev.LastErrorText;
            }
        }
        if (!dev.WaitUnitReady(240000, 5000))
            return ::testing::AssertionFailure() << "not ready after the session close";
        return ::testing::AssertionSuccess();
    }

    // A DVD-R or DVD-RW recorded the way the writer does it: disc at once into a reserved track of
    // one block more than the data, closed by the flush; READ DISC INFORMATION answers again once the
    // lead-out is written.
    ::testing::AssertionResult RecordDiscAtOnce(std::uint8_t mediumIndex, const Bytes& data) {
        const auto blocks = static_cast<std::uint32_t>(data.size() / 2048);
        dev.FinalizeDisc = true;
        if (!dev.SetWriteParameters(dev.TestWrite, true, mediumIndex))
            return ::testing::AssertionFailure() << "MODE SELECT: " << dev.LastErrorText;
        constexpr std::array<std::uint8_t, 28> kPerformance = {
            0,    0,    0, 0, 0,    0,    0, 0, 0x00, 0x23, 0x12, 0x7F, 0,    0,
            0xAB, 0xBD, 0, 0, 0x03, 0xE8, 0, 0, 0x05, 0x8A, 0,    0,    0x03, 0xE8};
        if (!dev.SetStreaming(kPerformance))
            return ::testing::AssertionFailure() << "SET STREAMING: " << dev.LastErrorText;
        if (!dev.SendDVDTimestamp(45306.5))
            return ::testing::AssertionFailure() << "SEND DVD STRUCTURE: " << dev.LastErrorText;
        if (!dev.ReserveTrack(blocks + 1))
            return ::testing::AssertionFailure() << "RESERVE TRACK: " << dev.LastErrorText;
        (void)dev.WaitUnitReady(10000, 1000);
        if (auto written = Write(0, data); !written) return written;
        if (!dev.SyncCache(1800000, true))
            return ::testing::AssertionFailure() << "SYNCHRONIZE CACHE: " << dev.LastErrorText;
        int seconds = 0;
        while (!dev.ReadDiscInformation()) {
            if (++seconds > 3600) return ::testing::AssertionFailure() << "the lead-out never ends";
            clock.SleepFor(std::chrono::milliseconds(1000));
        }
        if (!dev.WaitUnitReady(240000, 5000))
            return ::testing::AssertionFailure() << "not ready after the lead-out";
        return ::testing::AssertionSuccess();
    }

    std::array<std::uint8_t, 3> LastSenseCode() const {
        return {dev.LastSense[2], dev.LastSense[12], dev.LastSense[13]};
    }

    testing::FakeClock clock;
    testing::FakeKernel kernel;
    recorder::VirtualRecorder recorder{clock};
    recorder::InProcessModuleLoader loader;
    recorder::VirtualDrive* drive = nullptr;
    TSCSIDevice dev{clock};
    LineSink sink;

private:
    std::filesystem::path m_folder;
};

// ---- capabilities and speeds ----

TEST_F(RecorderIntegration, TheDefaultDriveReportsEveryCapabilityAndItsCdSpeeds) {
    Insert(MediumKind::CdR);
    ASSERT_TRUE(dev.ReadCapabilities());
    // Reads CD-R/RW, method 2, DVD-ROM, DVD-R/RW, DVD-RAM, DVD+R/+RW; writes all of them, test writes,
    // underrun protection (page 2Ah bytes 2-4 and the DVD+R/+RW and DVD-R/-RW features).
    EXPECT_EQ(dev.Capabilities, 0x5FFFFu) << std::hex << dev.Capabilities;
    EXPECT_EQ(dev.DeviceMaxWriteSpeed, 40); // 7056 kB/s
    EXPECT_EQ(dev.DeviceMaxReadSpeed, 48);  // 8467 kB/s
    EXPECT_EQ(dev.MaxWriteSpeedX(), 40);
    EXPECT_EQ(dev.MaxReadSpeedX(), 48);

    const struct { std::uint16_t asked, current; } kCases[] = {{16, 16}, {0, 40}, {12, 10}, {1, 4}, {40, 40}};
    for (const auto& [asked, current] : kCases) {
        SCOPED_TRACE(::testing::Message() << asked << "x");
        dev.SetWriteSpeed(asked); // x * 177 kB/s, rounded down by the drive to its speed list
        EXPECT_EQ(dev.WriteSpeed(), asked);
        EXPECT_EQ(dev.CurrentWriteSpeedX(), current);
    }
}

TEST_F(RecorderIntegration, ADvdInTheTraySwitchesTheDriveToItsDvdSpeeds) {
    Insert(MediumKind::DvdR);
    ASSERT_TRUE(dev.ReadCapabilities());
    EXPECT_EQ(dev.DeviceMaxWriteSpeed, 126); // 22160 kB/s, 16x DVD
    EXPECT_EQ(dev.DeviceMaxReadSpeed, 126);
    dev.SetWriteSpeed(16); // 2832 kB/s: below the slowest DVD speed, so the slowest, 2770 kB/s (2x)
    EXPECT_EQ(dev.CurrentWriteSpeedX(), 16);
}

// A reader that refuses the default mode values and takes the READ TOC format from byte 9, as ATAPI
// drives (qemu's among them) do, next to the default writer: the capabilities come from the current
// values, and a pressed disc is as large as what is on it, not as the TOC's lead-out entry read as an
// ATIP would make it.
TEST_F(RecorderIntegration, AnAtapiReaderReportsItsCapabilitiesAndThePressedDiscsSize) {
    recorder::DriveIdentity atapi;
    atapi.product = "ATAPI READER";
    atapi.model.writesCdR = atapi.model.writesCdRw = atapi.model.writesDvdR = false;
    atapi.model.writesDvdRam = atapi.model.writesDvdPlus = false;
    atapi.model.testWrite = atapi.model.underrunProtection = false;
    atapi.model.modeSenseDefaultValues = false;
    atapi.model.tocFormatInByte9 = true;
    recorder::VirtualDrive* reader =
        &recorder.AddDrive(atapi, drive->DiscPath().parent_path() / "reader.disc");
    dev.ScanDevices();
    ASSERT_EQ(dev.DeviceList.size(), 2u);

    const struct {
        const char* name;
        recorder::VirtualDrive* drive;
        std::uint32_t capabilities;
        std::uint16_t maxRead;
    } kCases[] = {
        {"writer", drive, 0x5FFFF, 48},
        // Reads CD-R/RW, method 2, DVD-ROM, DVD-R/RW, DVD-RAM (page 2Ah byte 2), DVD+R/+RW (feature 2Ah).
        {"ATAPI reader", reader, 0x1FF, 48},
    };
    for (std::size_t i = 0; i < std::size(kCases); ++i) {
        const auto& c = kCases[i];
        SCOPED_TRACE(c.name);
        std::ofstream(c.drive->DiscPath(), std::ios::binary)
            .write(reinterpret_cast<const char*>(Pattern(0, kPressedBlocks).data()),
                   std::streamsize{kPressedBlocks} * 2048);
        ASSERT_FALSE(recorder::InsertDisc(*c.drive, MediumKind::CdRom).has_value());
        dev.SetDevice(dev.DeviceList.at(i));
        ASSERT_EQ(dev.DeviceType, 5);

        EXPECT_TRUE(dev.ReadCapabilities());
        EXPECT_EQ(dev.Capabilities, c.capabilities) << std::hex << dev.Capabilities;
        EXPECT_EQ(dev.DeviceMaxReadSpeed, c.maxRead);
        EXPECT_EQ(dev.GetMediumType(), medium::kCdRom);
        // Read as an ATIP, the reader's TOC would give 0:20:170 (1670 frames) from the lead-out entry.
        EXPECT_EQ(dev.GetDiscCapacity(), kPressedBlocks);
        EXPECT_EQ(dev.GetDiscInfo().capacity, kPressedBlocks);
        EXPECT_EQ(dev.GetNextWritableAddress(), kPressedBlocks - 1); // READ CAPACITY's last LBA
    }
}

// ---- disc and track information, a row per medium ----

struct MediumCase {
    MediumKind kind;
    std::uint8_t index;
    const char* name;
    bool erasable;
    std::uint8_t discStatus;
    // nullopt: not recordable, not asked. A random-access disc has no next writable address: the
    // fallback READ CAPACITY gives its formatted size less one, as real drives report it (MMC).
    std::optional<std::uint32_t> nextWritable;
    std::optional<std::uint32_t> freeBlocks;
    std::optional<std::uint32_t> capacity;
};

void PrintTo(const MediumCase& row, std::ostream* out) {
    *out << recorder::MediumKindName(row.kind);
}

class BlankMedium : public RecorderIntegration, public ::testing::WithParamInterface<MediumCase> {};

TEST_P(BlankMedium, IsReportedAsTheMediumItIs) {
    const MediumCase& row = GetParam();
    Insert(row.kind);
    EXPECT_EQ(dev.GetMediumType(), row.index);
    EXPECT_EQ(dev.IsDiscErasable(), row.erasable);

    const TDisc disc = dev.GetDiscInfo();
    EXPECT_TRUE(disc.ready);
    EXPECT_EQ(disc.mediumName, row.name);
    EXPECT_EQ(disc.erasable, row.erasable);
    EXPECT_EQ(disc.discStatus, row.discStatus);

    if (row.nextWritable) {
        EXPECT_EQ(dev.GetNextWritableAddress(), *row.nextWritable);
        EXPECT_EQ(dev.GetFreeBlocks(), *row.freeBlocks);
    }
    if (row.capacity) {
        EXPECT_EQ(dev.GetDiscCapacity(), *row.capacity);
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryKind, BlankMedium,
    ::testing::Values(
        MediumCase{MediumKind::CdRom, 1, "CD-ROM", false, 2, std::nullopt, std::nullopt, std::nullopt},
        MediumCase{MediumKind::CdR, 2, "CD-R", false, 0, 0u, kCdRFreeBlocks, kCdRLeadOutFrames},
        MediumCase{MediumKind::CdRw, 3, "CD-RW", true, 0, 0u, kCdRFreeBlocks, kCdRLeadOutFrames},
        MediumCase{MediumKind::DvdRom, 4, "DVD-ROM", false, 2, std::nullopt, std::nullopt, std::nullopt},
        MediumCase{MediumKind::DvdR, 5, "DVD-R", false, 0, 0u, kDvdMinusRBlocks, kDvdMinusRBlocks},
        MediumCase{MediumKind::DvdRam, 6, "DVD-RAM", true, 3, kDvdRamBlocks - 1, kDvdRamBlocks,
                   kDvdRamBlocks},
        MediumCase{MediumKind::DvdRw, 7, "DVD-RW Sequential Recording", true, 0, 0u, kDvdMinusRBlocks,
                   kDvdMinusRBlocks},
        MediumCase{MediumKind::DvdPlusRw, 9, "DVD+RW", true, 0, 0u, kDvdPlusBlocks, kDvdPlusBlocks},
        MediumCase{MediumKind::DvdPlusR, 10, "DVD+R", false, 0, 0u, kDvdPlusBlocks, kDvdPlusBlocks}),
    [](const ::testing::TestParamInfo<MediumCase>& row) {
        std::string name(recorder::MediumKindName(row.param.kind));
        std::replace(name.begin(), name.end(), '-', '_');
        std::replace(name.begin(), name.end(), '+', 'P');
        return name;
    });

TEST_F(RecorderIntegration, AnEmptyTrayIsNoMediumAndNotReady) {
    Insert(MediumKind::None);
    EXPECT_EQ(dev.GetMediumType(), 0);
    const std::int64_t start = clock.NowMs();
    const TDisc disc = dev.GetDiscInfo();
    EXPECT_FALSE(disc.ready);
    EXPECT_EQ(disc.mediumName, "");
    EXPECT_EQ(disc.capacity, 0u);
    EXPECT_LE(clock.NowMs() - start, 5000); // one step of the 3-second wait, on the virtual clock
    EXPECT_EQ(LastSenseCode(), (std::array<std::uint8_t, 3>{0x02, 0x3A, 0x01}));
}

// ---- recording ----

TEST_F(RecorderIntegration, TwoCdRSessionsFollowTheMultiSessionGeometry) {
    Insert(MediumKind::CdR);
    ASSERT_EQ(dev.GetMediumType(), medium::kCdR);
    const Bytes first = Pattern(0, 300); // nine full cache blocks and one of 21 sectors
    ASSERT_TRUE(RecordSession(medium::kCdR, 0, first));
    // The page kept the disc appendable: multi-session 11b, track mode 4.
    EXPECT_EQ(dev.WriteParametersPage()[3], 0xC4);

    EXPECT_EQ(dev.GetLastSession(), 1);
    // 300 blocks + 2 run-out = lead-out at 302; + 6750 lead-out + 4500 lead-in + 150 pre-gap.
    EXPECT_EQ(dev.GetNextWritableAddress(), 11702u);
    std::array<std::uint8_t, 12> toc{};
    ASSERT_TRUE(dev.ReadTOC(1, toc, 12, 0, false, 0));
    EXPECT_EQ(toc, (std::array<std::uint8_t, 12>{0x00, 0x0A, 1, 1, 0, 0x14, 1, 0, 0, 0, 0, 0}));
    Bytes back(first.size());
    ASSERT_TRUE(dev.ReadSectors(0, 300, back));
    EXPECT_TRUE(back == first);
    const TDisc appendable = dev.GetDiscInfo();
    EXPECT_EQ(appendable.discStatus, 1);
    EXPECT_EQ(appendable.firstSession, 1);
    EXPECT_EQ(appendable.lastSession, 1);

    const Bytes second = Pattern(11702, 1000);
    ASSERT_TRUE(RecordSession(medium::kCdR, 11702, second));
    EXPECT_EQ(dev.GetLastSession(), 2);
    // Lead-out at 12704; a later session costs 2250 + 4500 + 150.
    EXPECT_EQ(dev.GetNextWritableAddress(), 19604u);
    ASSERT_TRUE(dev.ReadTOC(1, toc, 12, 0, false, 0));
    EXPECT_EQ(toc, (std::array<std::uint8_t, 12>{0x00, 0x0A, 1, 2, 0, 0x14, 2, 0, 0x00, 0x00, 0x2D, 0xB6}));
    back.resize(second.size());
    ASSERT_TRUE(dev.ReadSectors(11702, 1000, back));
    EXPECT_TRUE(back == second);
    ASSERT_TRUE(dev.ReadSectors(0, 300, std::span(back).first(first.size())));
    EXPECT_TRUE(std::equal(first.begin(), first.end(), back.begin()));
}

TEST_F(RecorderIntegration, AFinalizedCdRTakesNoFurtherSession) {
    Insert(MediumKind::CdR);
    dev.FinalizeDisc = true;
    ASSERT_TRUE(RecordSession(medium::kCdR, 0, Pattern(0, 300)));
    EXPECT_EQ(dev.WriteParametersPage()[3], 0x04);
    EXPECT_EQ(dev.GetDiscInfo().discStatus, 2);
    EXPECT_EQ(dev.GetLastSession(), 1);
    EXPECT_FALSE(dev.WriteSectors(11702, 31, kWriteFlags, Pattern(11702, 31)));
    EXPECT_EQ(dev.LastSense[2], 0x05);
}

TEST_F(RecorderIntegration, ATestWriteLeavesTheCdRBlank) {
    Insert(MediumKind::CdR);
    dev.TestWrite = true;
    ASSERT_TRUE(RecordSession(medium::kCdR, 0, Pattern(0, 300)));
    EXPECT_EQ(dev.WriteParametersPage()[2] & 0x10, 0x10); // the page asked for a simulation
    EXPECT_EQ(dev.GetLastSession(), 0);
    EXPECT_EQ(dev.GetNextWritableAddress(), 0u);
    EXPECT_EQ(dev.GetDiscInfo().discStatus, 0);
    EXPECT_EQ(dev.GetFreeBlocks(), kCdRFreeBlocks);
    Bytes back(2048);
    EXPECT_FALSE(dev.ReadSectors(0, 1, back));

    // The same disc then records for real from its start.
    dev.TestWrite = false;
    ASSERT_TRUE(RecordSession(medium::kCdR, 0, Pattern(0, 300)));
    EXPECT_EQ(dev.GetNextWritableAddress(), 11702u);
}

TEST_F(RecorderIntegration, ADvdPlusRwIsWrittenAnywhere) {
    Insert(MediumKind::DvdPlusRw);
    ASSERT_TRUE(dev.SetWriteParameters(false, true, medium::kDvdPlusRw));
    const struct {
        std::uint32_t lba, blocks;
    } kWrites[] = {{5000, 62}, {17, 31}, {0, 16}, {kDvdPlusBlocks - 31, 31}};
    for (const auto& [lba, blocks] : kWrites) {
        SCOPED_TRACE(::testing::Message() << "at " << lba);
        const Bytes data = Pattern(lba, blocks);
        ASSERT_TRUE(Write(lba, data));
        ASSERT_TRUE(dev.SyncCache(120000, false));
        Bytes back(data.size());
        ASSERT_TRUE(dev.ReadSectors(lba, static_cast<std::uint16_t>(blocks), back));
        EXPECT_TRUE(back == data);
    }
    // Nothing past the end of the user area.
    EXPECT_FALSE(dev.WriteSectors(static_cast<std::int32_t>(kDvdPlusBlocks), 1, kWriteFlags, Pattern(0, 1)));
    EXPECT_EQ(dev.LastSense[2], 0x05);
    EXPECT_EQ(dev.GetMediumType(), medium::kDvdPlusRw);
}

TEST_F(RecorderIntegration, ADvdMinusRIsRecordedAndClosedInOnePass) {
    for (const auto& [kind, index] :
         {std::pair{MediumKind::DvdR, medium::kDvdR}, std::pair{MediumKind::DvdRw, medium::kDvdRw}}) {
        SCOPED_TRACE(DeviceTypeName(index));
        Insert(kind);
        ASSERT_EQ(dev.GetMediumType(), index);
        const Bytes data = Pattern(0, 1000);
        ASSERT_TRUE(RecordDiscAtOnce(index, data));
        // Track mode 5 and no next session: a DVD-R/-RW recording is always closed.
        EXPECT_EQ(dev.WriteParametersPage()[3], 0x05);
        const TDisc disc = dev.GetDiscInfo();
        EXPECT_EQ(disc.discStatus, 2);
        EXPECT_EQ(disc.lastSession, 1);
        Bytes back(data.size());
        ASSERT_TRUE(dev.ReadSectors(0, 1000, back));
        EXPECT_TRUE(back == data);
        EXPECT_FALSE(dev.WriteSectors(1008, 16, kWriteFlags, Pattern(1008, 16)));
        drive->ChangeMedium(nullptr);
        std::filesystem::remove(drive->DiscPath());
        std::filesystem::remove(recorder::DiscStatePath(drive->DiscPath()));
    }
}

TEST_F(RecorderIntegration, ADvdPlusRIsFinalizedByTheWriterSequence) {
    Insert(MediumKind::DvdPlusR);
    const Bytes data = Pattern(0, 500);
    ASSERT_TRUE(RecordSession(medium::kDvdPlusR, 0, data));
    EXPECT_EQ(dev.WriteParametersPage()[2] & 0x2F, 0x22); // LS_V, write type 2
    EXPECT_EQ(dev.WriteParametersPage()[5], 0x10);        // link size 16
    EXPECT_EQ(dev.GetDiscInfo().discStatus, 2);
    EXPECT_EQ(dev.GetLastSession(), 1);
    Bytes back(data.size());
    ASSERT_TRUE(dev.ReadSectors(0, 500, back));
    EXPECT_TRUE(back == data);
}

// ---- erase ----

struct EraseCase {
    MediumKind kind;
    bool quick;
    std::uint8_t index;
    std::uint32_t nextWritable; // afterwards; a formatted random-access disc reports its size less one
    std::optional<std::uint8_t> blankStatus; // disc status afterwards where MMC fixes it
};

void PrintTo(const EraseCase& row, std::ostream* out) {
    *out << recorder::MediumKindName(row.kind) << (row.quick ? " quick" : " full");
}

class Erase : public RecorderIntegration, public ::testing::WithParamInterface<EraseCase> {
protected:
    // Leaves something on the disc, so that a blank disc afterwards says the erase worked.
    void RecordSomething(std::uint8_t index) {
        switch (index) {
        case medium::kCdRw: ASSERT_TRUE(RecordSession(index, 0, Pattern(0, 300))); break;
        case medium::kDvdRw: ASSERT_TRUE(RecordDiscAtOnce(index, Pattern(0, 320))); break;
        default:
            ASSERT_TRUE(Write(0, Pattern(0, 320)));
            ASSERT_TRUE(dev.SyncCache(120000, false));
            break;
        }
        Bytes back(2048);
        ASSERT_TRUE(dev.ReadSectors(0, 1, back));
        ASSERT_TRUE(back == Pattern(0, 1));
    }
};

TEST_P(Erase, LeavesTheDiscBlankAndReportsTheEnd) {
    const EraseCase& row = GetParam();
    Insert(row.kind);
    ASSERT_EQ(dev.GetMediumType(), row.index);
    RecordSomething(row.index);

    std::vector<bool> done;
    int progressAtEnd = -1;
    dev.OnEraseDone = [&](TSCSIDevice* sender, bool withError) {
        EXPECT_EQ(sender, &dev);
        done.push_back(withError);
        progressAtEnd = dev.EraseProgress();
    };
    ASSERT_TRUE(dev.EraseDisc(row.quick));
    dev.JoinEraseThread();

    EXPECT_EQ(done, std::vector<bool>{false});
    EXPECT_EQ(progressAtEnd, 100);
    EXPECT_FALSE(dev.Erasing());
    EXPECT_EQ(dev.EraseProgress(), 0);
    EXPECT_EQ(dev.GetMediumType(), row.index);
    EXPECT_EQ(dev.GetNextWritableAddress(), row.nextWritable);
    if (row.blankStatus) {
        EXPECT_EQ(dev.GetDiscInfo().discStatus, *row.blankStatus);
    }
    EXPECT_TRUE(dev.TestUnitReady(5000));
    Bytes back(2048); // a blank disc has nothing to read, a formatted one no longer the old data
    if (dev.ReadSectors(0, 1, back)) {
        EXPECT_FALSE(back == Pattern(0, 1));
    }
    const std::string announce =
        std::string(">>> STARTING ERASE PROCESS ON ") + std::string(DeviceTypeName(row.index)) + " AT ";
    EXPECT_TRUE(std::any_of(sink.lines.begin(), sink.lines.end(),
                            [&](const std::string& line) { return line.starts_with(announce); }));
}

INSTANTIATE_TEST_SUITE_P(
    Rewritable, Erase,
    ::testing::Values(EraseCase{MediumKind::CdRw, true, medium::kCdRw, 0, 0},
                      EraseCase{MediumKind::CdRw, false, medium::kCdRw, 0, 0},
                      EraseCase{MediumKind::DvdRw, true, medium::kDvdRw, 0, 0},
                      EraseCase{MediumKind::DvdRw, false, medium::kDvdRw, 0, 0},
                      EraseCase{MediumKind::DvdPlusRw, true, medium::kDvdPlusRw, kDvdPlusBlocks - 1, {}},
                      EraseCase{MediumKind::DvdPlusRw, false, medium::kDvdPlusRw, kDvdPlusBlocks - 1, {}},
                      EraseCase{MediumKind::DvdRam, true, medium::kDvdRam, kDvdRamBlocks - 1, {}},
                      EraseCase{MediumKind::DvdRam, false, medium::kDvdRam, kDvdRamBlocks - 1, {}}),
    [](const ::testing::TestParamInfo<EraseCase>& row) {
        std::string name(recorder::MediumKindName(row.param.kind));
        std::replace(name.begin(), name.end(), '-', '_');
        std::replace(name.begin(), name.end(), '+', 'P');
        return name + (row.param.quick ? "_quick" : "_full");
    });

TEST_F(RecorderIntegration, ErasingACdRIsRefused) {
    Insert(MediumKind::CdR);
    ASSERT_TRUE(RecordSession(medium::kCdR, 0, Pattern(0, 300)));
    for (const bool quick : {true, false}) {
        SCOPED_TRACE(quick ? "quick" : "full");
        std::vector<bool> done;
        dev.OnEraseDone = [&](TSCSIDevice*, bool withError) { done.push_back(withError); };
        EXPECT_FALSE(dev.EraseDisc(quick));
        EXPECT_EQ(done, std::vector<bool>{true});
        EXPECT_FALSE(dev.Erasing());
        EXPECT_EQ(LastSenseCode(), (std::array<std::uint8_t, 3>{0x05, 0x30, 0x06}));
        EXPECT_EQ(dev.GetNextWritableAddress(), 11702u); // the recording is untouched
    }
}

// ---- unit control ----

TEST_F(RecorderIntegration, TheTrayOpensClosesAndStaysShutWhileLocked) {
    Insert(MediumKind::CdR);
    ASSERT_TRUE(dev.TestUnitReady(5000));

    ASSERT_TRUE(dev.LoadMedium(true));
    EXPECT_EQ(drive->Tray(), recorder::TrayState::Open);
    EXPECT_FALSE(dev.TestUnitReady(5000));
    EXPECT_EQ(LastSenseCode(), (std::array<std::uint8_t, 3>{0x02, 0x3A, 0x02}));
    EXPECT_EQ(dev.GetMediumType(), 0);

    ASSERT_TRUE(dev.LoadMedium(false));
    EXPECT_EQ(drive->Tray(), recorder::TrayState::Closed);
    EXPECT_TRUE(dev.TestUnitReady(5000) || dev.TestUnitReady(5000)); // a unit attention may come first
    EXPECT_EQ(dev.GetMediumType(), medium::kCdR);

    ASSERT_TRUE(dev.PreventMediumRemoval(false));
    EXPECT_FALSE(dev.LoadMedium(true));
    EXPECT_EQ(LastSenseCode(), (std::array<std::uint8_t, 3>{0x05, 0x53, 0x02}));
    EXPECT_EQ(drive->Tray(), recorder::TrayState::Closed);
    ASSERT_TRUE(dev.PreventMediumRemoval(true));
    EXPECT_TRUE(dev.LoadMedium(true));
    EXPECT_EQ(drive->Tray(), recorder::TrayState::Open);
}

TEST_F(RecorderIntegration, WaitUnitReadyFollowsAnImmediateBlankToItsEnd) {
    Insert(MediumKind::CdRw);
    ASSERT_TRUE(RecordSession(medium::kCdRw, 0, Pattern(0, 300)));
    LastMediumIndex = medium::kCdRw;

    const std::array<std::uint8_t, 12> blank{0xA1, 0x11}; // BLANK, Immed, minimal
    transport::SrbExecuteScsi srb{};
    srb.header.flags = 0x40;
    srb.cdbLength = 12;
    std::copy(blank.begin(), blank.end(), srb.cdb);
    dev.ExecuteCommand(srb, 10000);
    ASSERT_EQ(srb.header.status, 0x01);

    EXPECT_FALSE(dev.TestUnitReady(5000));
    EXPECT_EQ(LastSenseCode(), (std::array<std::uint8_t, 3>{0x02, 0x04, 0x07}));
    // A budget far too short gives up without the drive becoming ready.
    EXPECT_FALSE(dev.WaitUnitReady(3000, 5000));
    const std::int64_t start = clock.NowMs();
    ASSERT_TRUE(dev.WaitUnitReady(30 * 60 * 1000, 5000));
    EXPECT_GT(clock.NowMs() - start, 5000);
    EXPECT_TRUE(dev.TestUnitReady(5000));
    EXPECT_EQ(dev.GetNextWritableAddress(), 0u);
}

// ---- faults ----

TEST_F(RecorderIntegration, ABusyWriteIsReportedAndTheNextOneGoesThrough) {
    Insert(MediumKind::CdR);
    ASSERT_TRUE(dev.SetWriteParameters(false, true, medium::kCdR));
    drive->InjectFault({recorder::FaultKind::Busy, 0x2A, {}});
    const Bytes data = Pattern(0, 31);
    EXPECT_FALSE(dev.WriteSectors(0, 31, kWriteFlags, data));
    EXPECT_TRUE(dev.TargetBusy);
    EXPECT_TRUE(dev.WriteSectors(0, 31, kWriteFlags, data));
    EXPECT_FALSE(dev.TargetBusy);
    Bytes back(data.size());
    ASSERT_TRUE(dev.SyncCache(120000, false));
    ASSERT_TRUE(dev.ReadSectors(0, 31, back));
    EXPECT_TRUE(back == data);
}

TEST_F(RecorderIntegration, ACommandThatNeverCompletesTimesOutOnTheVirtualClock) {
    Insert(MediumKind::CdR);
    drive->InjectFault({recorder::FaultKind::NeverComplete, 0x00, {}});
    const std::int64_t start = clock.NowMs();
    EXPECT_FALSE(dev.TestUnitReady(5000)); // no command waits less than 10 s
    EXPECT_EQ(clock.NowMs() - start, 10000);
    EXPECT_EQ(dev.LastErrorText, "COMMAND TIMEOUT");
    EXPECT_EQ(recorder.PendingCount(), 0u); // the request was aborted, not left behind
    EXPECT_TRUE(dev.TestUnitReady(5000));
}

} // namespace
} // namespace lorvane::drive
