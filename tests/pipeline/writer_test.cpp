// The writers against the virtual recorder: how each medium is closed, retries on a busy drive, aborts,
// write and source failures, image burns, background image saves and the 300-sector post-gap.

#include <cmath>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "pipeline/burn_fixture.h"
#include "pipeline/stream_ex.h"
#include "recorder/disc_state.h"

namespace lorvane::pipeline::testing {
namespace {

using recorder::Fault;
using recorder::FaultKind;
using recorder::FixedSense;
using recorder::MediumKind;
using namespace std::chrono_literals;

constexpr std::uint8_t kWrite10 = 0x2A, kSyncCache = 0x35, kReadDiscInfo = 0x51, kReserveTrack = 0x53,
                       kCloseTrackSession = 0x5B;
// CLOSE TRACK/SESSION (MMC-5 6.3): byte 1 bit 0 Immed, byte 2 the close function, bytes 4-5 the track.
const Bytes kCloseSessionImmediate = {0x5B, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
const Bytes kCloseInvisibleTrack = {0x5B, 0x00, 0x01, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00, 0x00};
const Bytes kFinalizeDvdPlusRImmediate = {0x5B, 0x01, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
const std::string kAborted = "OPERATION ABORTED BY USER";

std::uint32_t Be32(const Bytes& b, std::size_t at) {
    return std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 | std::uint32_t{b[at + 2]} << 8 |
           b[at + 3];
}

class Writer : public BurnFixture {
protected:
    // A few files, about 1.3 MB in all: inside the default cache and smaller than the drive's 2 MiB
    // buffer, so the drive never refuses a block for a full buffer and every retry is an injected one.
    void SmallCompilation() {
        AddSource("a.txt", PatternBytes(1, 1));
        AddSource("docs/b.bin", PatternBytes(200000, 2));
        AddSource("docs/c.bin", PatternBytes(1100000, 3));
    }
    std::vector<Bytes> Cdbs(std::uint8_t opcode) const {
        std::vector<Bytes> cdbs;
        for (const auto& record : Sent(opcode)) cdbs.push_back(record.cdb);
        return cdbs;
    }
    // Sectors the WRITE (10) commands that succeeded carried, checking they are strictly consecutive
    // from `start` (a retried block repeats its address).
    std::uint32_t ConsecutiveWrittenSectors(std::uint32_t start) const {
        std::uint32_t next = start, last = start;
        for (const Bytes& cdb : Cdbs(kWrite10)) {
            const std::uint32_t lba = Be32(cdb, 2);
            const std::uint32_t count = std::uint32_t{cdb[7]} << 8 | cdb[8];
            EXPECT_TRUE(lba == next || lba == last) << "WRITE (10) at " << lba << ", expected " << next;
            last = lba;
            next = lba + count;
        }
        return next - start;
    }
    // WRITE (10) commands less the retries of a refused block, which repeat its address.
    std::size_t BlocksWritten() const {
        std::size_t blocks = 0;
        std::optional<std::uint32_t> last;
        for (const Bytes& cdb : Cdbs(kWrite10)) {
            blocks += last != Be32(cdb, 2) ? 1 : 0;
            last = Be32(cdb, 2);
        }
        return blocks;
    }
    std::string Burned() {
        drive->ClearCommands();
        EXPECT_TRUE(burner->Burn());
        const std::string error = done.Wait(done.Count() + 1);
        FinishWrite();
        return error;
    }
};

struct CloseCase {
    const char* name;
    MediumKind kind;
    bool finalizeDisc, testWrite, finalizeTrack;
    std::vector<Bytes> closes; // the CLOSE TRACK/SESSION commands, in order
    bool finalized;            // the disc takes no further session
};

class WriterClosing : public Writer, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(WriterClosing, ClosesAsTheMediumNeeds) {
    const CloseCase& c = GetParam();
    Insert(c.kind);
    burner->FinalizeDisc = c.finalizeDisc;
    burner->TestWrite = c.testWrite;
    burner->FinalizeTrack = c.finalizeTrack;
    SmallCompilation();
    Prepare(false);
    const std::uint32_t sectors = static_cast<std::uint32_t>(burner->TotalSectors());
    ASSERT_EQ(Burned(), "");
    EXPECT_EQ(done.Count(), 1u);
    EXPECT_EQ(Cdbs(kCloseTrackSession), c.closes);
    EXPECT_EQ(ConsecutiveWrittenSectors(0), sectors);
    EXPECT_EQ(log.Contains(">>> TEST/DUMMY WRITE"), c.testWrite);
    EXPECT_FALSE(log.Contains("WRITING LEAD-OUT")); // only for the drives that need minutes for it
    const recorder::DiscState disc = Disc();
    if (c.testWrite) {
        for (const auto& track : disc.tracks) EXPECT_EQ(track.recorded, 0u);
        const Bytes start = ReadFileBytes(DiscFile(), 0, 65536); // nothing reached the disc file
        EXPECT_TRUE(std::all_of(start.begin(), start.end(), [](std::uint8_t b) { return b == 0; }));
        return;
    }
    if (c.kind == MediumKind::DvdR) {
        // Closed by its write parameters and the flush; the reservation covers the run and one more.
        const auto reserves = Cdbs(kReserveTrack);
        ASSERT_EQ(reserves.size(), 1u);
        EXPECT_EQ(Be32(reserves[0], 5), sectors + 1);
    }
    if (c.kind == MediumKind::CdR || c.kind == MediumKind::DvdPlusR) {
        EXPECT_EQ(disc.finalized, c.finalized);
    }
    if (c.kind == MediumKind::CdR && !c.finalized) {
        // An appendable CD: the next session begins after the track's 2 run-out blocks, the first
        // lead-out (6750), the next lead-in (4500) and the pre-gap (150).
        const std::uint32_t expected = sectors + 2 + 6750 + 4500 + 150;
        const auto next = recorder::NextWritable(disc);
        ASSERT_TRUE(next.has_value());
        EXPECT_EQ(next->nextWritable, expected);
        EXPECT_TRUE(burner->PrepareTrack());
        EXPECT_EQ(burner->SessionStart, expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Media, WriterClosing,
    ::testing::Values(
        CloseCase{"CdAppendable", MediumKind::CdR, false, false, true, {kCloseSessionImmediate}, false},
        CloseCase{"CdFinalized", MediumKind::CdR, true, false, true, {kCloseSessionImmediate}, true},
        CloseCase{"CdTestWrite", MediumKind::CdR, false, true, true, {}, false},
        CloseCase{"CdNoFinalizeTrack", MediumKind::CdRw, false, false, false, {}, false},
        CloseCase{"DvdPlusR",
                  MediumKind::DvdPlusR,
                  false,
                  false,
                  true,
                  {kCloseInvisibleTrack, kFinalizeDvdPlusRImmediate},
                  true},
        CloseCase{"DvdPlusRw", MediumKind::DvdPlusRw, false, false, true, {kCloseSessionImmediate}, false},
        CloseCase{"DvdR", MediumKind::DvdR, false, false, true, {}, true}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

struct RetryCase {
    const char* name;
    Fault fault;
};

class WriterRetries : public Writer, public ::testing::WithParamInterface<RetryCase> {};

TEST_P(WriterRetries, ABusyOrNotReadyDriveStillReceivesEveryBlock) {
    Insert(MediumKind::CdR);
    SmallCompilation();
    Prepare(false);
    const Bytes expected = ExpectedSession();
    const std::int64_t total = burner->TotalSectors() * 2048;
    EXPECT_EQ(burner->CacheFillPercent(), 0);
    drive->InjectFault(GetParam().fault);
    std::vector<int> fillAtRetry;
    // A busy or becoming-ready drive is asked again after 600 ms; a full buffer (long write in progress)
    // after 5 ms, since it drains within a fraction of a second.
    const auto pause = GetParam().fault.sense.size() > 13 && GetParam().fault.sense[13] == 0x08 ? 5ms : 600ms;
    componentClock.onSleep = [&](std::chrono::milliseconds slept) {
        if (slept == pause) fillAtRetry.push_back(burner->CacheFillPercent());
    };
    ASSERT_EQ(Burned(), "");
    EXPECT_EQ(fillAtRetry.size(), 4u); // one pause per refused attempt
    // All of the session was queued before the writer started; two blocks have been taken.
    const double queued = static_cast<double>(total - 2 * kCacheBlockBytes);
    ASSERT_FALSE(fillAtRetry.empty());
    EXPECT_EQ(fillAtRetry.front(), static_cast<int>(std::nearbyint(queued / burner->CacheSize() * 100)));
    EXPECT_EQ(burner->CacheFillPercent(), 0);
    // WRITE (10) (MMC-5 6.44): LBA 0, 31 blocks.
    EXPECT_EQ(Cdbs(kWrite10).front(), (Bytes{0x2A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1F, 0x00}));
    EXPECT_EQ(ConsecutiveWrittenSectors(0), static_cast<std::uint32_t>(total / 2048));
    EXPECT_TRUE(ReadFileBytes(DiscFile(), 0, expected.size()) == expected);
}

INSTANTIATE_TEST_SUITE_P(
    Conditions, WriterRetries,
    ::testing::Values(RetryCase{"BusyStatus", {FaultKind::Busy, kWrite10, {}, 1, 4}},
                      RetryCase{"LongWriteInProgress",
                                {FaultKind::CheckCondition, kWrite10, FixedSense(2, 0x04, 0x08), 1, 4}},
                      RetryCase{"BecomingReady",
                                {FaultKind::CheckCondition, kWrite10, FixedSense(2, 0x04, 0x01), 1, 4}}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

enum class AbortAt { BeforeBurn, DuringRetry, AtFinalizing };
struct AbortCase {
    const char* name;
    AbortAt at;
    std::string error;
};

class WriterAbort : public Writer, public ::testing::WithParamInterface<AbortCase> {};

TEST_P(WriterAbort, AbortStopsOnlyTheWriteLoop) {
    const AbortCase& c = GetParam();
    Insert(MediumKind::CdR);
    SmallCompilation();
    Prepare(false);
    if (c.at == AbortAt::BeforeBurn) burner->AbortWrite(); // priming: the writer clears it when it starts
    if (c.at == AbortAt::DuringRetry) {
        drive->InjectFault({FaultKind::Busy, kWrite10, {}, 2, 1});
        componentClock.onSleep = [&](std::chrono::milliseconds slept) {
            if (slept == 600ms) burner->AbortWrite();
        };
    }
    if (c.at == AbortAt::AtFinalizing)
        burner->OnFinalizingTrack = [](image::TOrbelBurner* b) { b->AbortWrite(); };
    EXPECT_EQ(Burned(), c.error);
    EXPECT_EQ(done.Count(), 1u);
    EXPECT_FALSE(image::TOrbelBurner::Writing());
    EXPECT_EQ(Sent(kSyncCache).empty(), false); // the drive's cache is flushed in every case
    if (c.at == AbortAt::DuringRetry) {
        EXPECT_EQ(Sent(kWrite10).size(), 3u); // two blocks, then the refused third one
        EXPECT_TRUE(Sent(kCloseTrackSession).empty());
    } else {
        EXPECT_EQ(Cdbs(kCloseTrackSession), std::vector<Bytes>{kCloseSessionImmediate});
    }
}

INSTANTIATE_TEST_SUITE_P(Moments, WriterAbort,
                         ::testing::Values(AbortCase{"BeforeBurn", AbortAt::BeforeBurn, ""},
                                           AbortCase{"DuringRetry", AbortAt::DuringRetry, kAborted},
                                           AbortCase{"AtFinalizing", AbortAt::AtFinalizing, ""}),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST(PerformanceDescriptor, CarriesTheWriteSpeedTheDriveTook) {
    // MMC-5 SET STREAMING performance descriptor: flags, start LBA, end LBA, read size and time, write size
    // and time, all big-endian.
    EXPECT_EQ(PerformanceDescriptor(22160),
              (std::array<std::uint8_t, 28>{0,    0,    0,    0,    0,    0,    0,    0,    0x00, 0x23,
                                            0x12, 0x7F, 0x00, 0x00, 0xAB, 0xBD, 0x00, 0x00, 0x03, 0xE8,
                                            0x00, 0x00, 0x56, 0x90, 0x00, 0x00, 0x03, 0xE8}));
}

// The drive records a DVD-R at the speed asked for, and a full buffer is asked again soon enough that it
// never runs dry.
TEST_F(Writer, ADvdMinusRIsRecordedAtTheChosenSpeedWithoutUnderruns) {
    Insert(MediumKind::DvdR);
    AddSource("big.bin", PatternBytes(12 * 1024 * 1024, 9));
    Prepare(false);
    burner->SetWriteSpeed(16 * 7); // the speed list's 16X row on a DVD
    drive->ResetRecording();
    ASSERT_EQ(Burned(), "");
    const recorder::RecordingStats stats = drive->Recording();
    EXPECT_EQ(stats.underruns, 0u);
    EXPECT_GE(stats.writeSpeedKBs, 16620); // at least 12x: never the drive's slowest 2x (2770 kB/s)
    EXPECT_GE(stats.BytesPerSecond(), 0.9 * stats.writeSpeedKBs * 1000.0);
}

TEST_F(Writer, AWriteErrorEndsTheRunWithTheCommandsFailure) {
    Insert(MediumKind::CdR);
    SmallCompilation();
    Prepare(false);
    drive->InjectFault({FaultKind::CheckCondition, kWrite10, FixedSense(3, 0x0C, 0x00), 1, 1});
    EXPECT_EQ(Burned(), "WRITER ERROR [MEDIUM ERROR (WRITE ERROR)]");
    EXPECT_EQ(done.Count(), 1u);
    EXPECT_EQ(Sent(kWrite10).size(), 2u); // no retry of a medium error
    EXPECT_TRUE(Sent(kCloseTrackSession).empty());
    EXPECT_TRUE(log.Contains("<<< WRITE (10)"));
}

// A write the drive never answers, or a drive gone from the bus, carries no sense: it is no busy drive to
// wait for, so the run ends at once instead of sending the block again for hours.
class LostWrite : public Writer, public ::testing::WithParamInterface<FaultKind> {};

TEST_P(LostWrite, IsNotRetried) {
    Insert(MediumKind::CdR);
    SmallCompilation();
    Prepare(false);
    drive->InjectFault({GetParam(), kWrite10, {}, 1, 1});
    const std::string error = Burned();
    EXPECT_EQ(error.rfind("WRITER ERROR [", 0), 0u) << error;
    EXPECT_EQ(done.Count(), 1u);
    EXPECT_LE(Sent(kWrite10).size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(NeverCompletesOrGone, LostWrite,
                         ::testing::Values(FaultKind::NeverComplete, FaultKind::Vanish));

TEST_F(Writer, ASourceGoneAfterTheLayoutFailsTheRunWhereverItIsMet) {
    Insert(MediumKind::CdR);
    burner->SetCacheSize(2097152); // 31 blocks: the first file alone overfills it
    AddSource("a_big.bin", PatternBytes(3 * 1024 * 1024, 4));
    const std::string late = AddSource("b_late.bin", PatternBytes(5000, 5));
    Prepare(false);
    ASSERT_EQ(burner->Files().back()->SourcePath, late);
    std::filesystem::remove(late);
    const std::size_t structureBlocks =
        (burner->StructureStream.size() + kCacheBlockBytes - 1) / kCacheBlockBytes;
    EXPECT_EQ(Burned(), CantOpenFileText(late)); // met while writing
    // The producer meets the gone file after queueing the structure blocks and the 49 full blocks of
    // the first file, with at most 31 of them waiting; the first file's partial block never comes.
    const std::size_t queued = structureBlocks + 49, writes = BlocksWritten();
    EXPECT_GE(writes, queued - 31);
    EXPECT_LE(writes, queued);
    EXPECT_TRUE(Sent(kCloseTrackSession).empty());

    // Met while the queue is primed: Burn refuses from the calling thread and no writer starts.
    const std::string early = AddSource("c_early.bin", PatternBytes(5000, 6));
    std::filesystem::remove(Source() / "a_big.bin");
    Prepare(false);
    std::filesystem::remove(early);
    drive->ClearCommands();
    EXPECT_FALSE(burner->Burn());
    EXPECT_EQ(done.Results(), (std::vector<std::string>{CantOpenFileText(late), CantOpenFileText(early)}));
    EXPECT_TRUE(Sent(kWrite10).empty());
    EXPECT_FALSE(image::TOrbelBurner::Writing());
}

TEST_F(Writer, AnotherWriteIsRefusedWhileOneRunsAndAFinishedOneNeedsANewLayout) {
    Insert(MediumKind::CdR);
    SmallCompilation();
    Prepare(false);
    const std::string iso = (Folder() / "x.iso").string();
    std::vector<bool> started;
    burner->OnFinalizingTrack = [&](image::TOrbelBurner* b) {
        started = {b->Burn(), b->BurnISO(iso), b->SaveToISO(iso, false) != -1};
    };
    EXPECT_EQ(Burned(), "ANOTHER WRITE IS STILL RUNNING"); // raised first, from inside the running write
    EXPECT_EQ(started, (std::vector<bool>{false, false, false}));
    const std::string running = "ANOTHER WRITE IS STILL RUNNING";
    EXPECT_EQ(done.Results(), (std::vector<std::string>{running, running, running, ""}));
    EXPECT_FALSE(burner->Burn());
    EXPECT_EQ(done.Wait(5), "THE COMPILATION IS NOT PREPARED");
    EXPECT_EQ(done.Count(), 5u);
}

TEST_F(Writer, WritePostGapFillsAShortSessionToThreeHundredSectors) {
    Insert(MediumKind::CdR);
    AddSource("f.bin", PatternBytes(10, 7));
    Prepare(false);
    const std::int64_t sectors = burner->SessionSectors;
    ASSERT_LT(sectors, 300);
    burner->WritePostGap = true;
    const Bytes session = ExpectedSession();
    ASSERT_EQ(std::int64_t(session.size()), sectors * 2048);
    ASSERT_EQ(Burned(), "");
    EXPECT_EQ(ConsecutiveWrittenSectors(0), 300u);
    EXPECT_EQ(burner->WrittenBytes.load(), 614400);
    Bytes expected = session;
    expected.resize(614400, 0);
    EXPECT_TRUE(ReadFileBytes(DiscFile(), 0, 614400) == expected);

    // The background image save pads the same way.
    Prepare(true);
    ASSERT_EQ(burner->SessionSectors, sectors);
    // This layout's own structures: its "." and ".." records carry the time of this build.
    const Bytes structure(burner->StructureStream.begin(), burner->StructureStream.end());
    const std::string iso = (Folder() / "gap.iso").string();
    EXPECT_EQ(burner->SaveToISO(iso, false), -1);
    EXPECT_EQ(done.Wait(2), "");
    FinishWrite();
    expected = ExpectedSession(structure);
    expected.resize(614400, 0);
    EXPECT_TRUE(ReadFileBytes(iso) == expected);
}

TEST_F(Writer, ImageBurnRefusesADiscThatIsNotEmpty) {
    Insert(MediumKind::CdR);
    SmallCompilation();
    Prepare(false);
    ASSERT_EQ(Burned(), ""); // the disc stays appendable
    const std::string iso = (Folder() / "image.iso").string();
    std::ofstream(iso, std::ios::binary) << std::string(100000, 'i');
    drive->ClearCommands();
    EXPECT_TRUE(burner->BurnISO(iso));
    EXPECT_EQ(done.Wait(2), "NEED EMPTY DISC FOR ISO BURNING");
    FinishWrite();
    EXPECT_TRUE(Sent(kWrite10).empty());
    EXPECT_TRUE(Sent(kSyncCache).empty());
    EXPECT_TRUE(Sent(kCloseTrackSession).empty());
    EXPECT_EQ(recorder::ClosedSessions(Disc()), 1u);
}

struct ImageBurnCase {
    const char* name;
    MediumKind kind;
    std::size_t rawBytes; // 0: an image of the compilation saved quickly; else a file of that size
};

class WriterImageBurn : public Writer, public ::testing::WithParamInterface<ImageBurnCase> {};

TEST_P(WriterImageBurn, TheDiscHoldsTheImageSectorForSectorAndIsClosedPlainly) {
    const ImageBurnCase& c = GetParam();
    Insert(c.kind);
    const std::string iso = (Folder() / "image.iso").string();
    std::size_t nth = 1;
    if (c.rawBytes == 0) {
        SmallCompilation();
        Prepare(true);
        ASSERT_EQ(burner->SaveToISO(iso, true), 1);
        EXPECT_EQ(done.Wait(nth++), "");
    } else {
        const Bytes raw = PatternBytes(c.rawBytes, 8);
        std::ofstream(iso, std::ios::binary)
            .write(reinterpret_cast<const char*>(raw.data()), static_cast<std::streamsize>(raw.size()));
    }
    Bytes image = ReadFileBytes(iso);
    drive->ClearCommands();
    ASSERT_TRUE(burner->BurnISO(iso));
    EXPECT_EQ(done.Wait(nth), "");
    FinishWrite();
    EXPECT_EQ(done.Count(), nth);
    EXPECT_EQ(burner->SessionSectors, static_cast<std::int64_t>(image.size() / 2048));
    image.resize(static_cast<std::size_t>(image::SectorsFor(static_cast<std::int64_t>(image.size()))) * 2048,
                 0);
    EXPECT_EQ(ConsecutiveWrittenSectors(0), image.size() / 2048);
    EXPECT_TRUE(ReadFileBytes(DiscFile(), 0, image.size()) == image);
    // Every medium, DVD+R included, gets the one close session.
    EXPECT_EQ(Cdbs(kCloseTrackSession), std::vector<Bytes>{kCloseSessionImmediate});
}

INSTANTIATE_TEST_SUITE_P(Images, WriterImageBurn,
                         ::testing::Values(ImageBurnCase{"QuickSavedOnCdR", MediumKind::CdR, 0},
                                           ImageBurnCase{"QuickSavedOnDvdPlusR", MediumKind::DvdPlusR, 0},
                                           ImageBurnCase{"OddSizeOnDvdPlusRw", MediumKind::DvdPlusRw, 70000}),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(Writer, BackgroundSaveEqualsTheQuickSaveOfTheSameCompilation) {
    SmallCompilation();
    Prepare(true);
    const Bytes structure = burner->StructureStream; // the background save releases it
    const Bytes expected = ExpectedSession();
    const std::string background = (Folder() / "background.iso").string();
    const std::string quick = (Folder() / "quick.iso").string();
    std::ofstream(background) << "an older image, replaced";
    EXPECT_EQ(burner->SaveToISO(background, false), -1);
    EXPECT_EQ(done.Wait(1), "");
    FinishWrite();
    EXPECT_EQ(burner->ISOFileName, background);
    EXPECT_TRUE(burner->StructureStream.empty());
    const Bytes saved = ReadFileBytes(background);
    EXPECT_TRUE(saved == expected);
    EXPECT_EQ(burner->WrittenBytes.load(), static_cast<std::int64_t>(expected.size()));

    Prepare(true); // a new layout: only the dates of "." and ".." may differ
    ASSERT_EQ(burner->SaveToISO(quick, true), 1);
    EXPECT_EQ(done.Wait(2), "");
    const Bytes quickly = ReadFileBytes(quick);
    ASSERT_EQ(quickly.size(), saved.size());
    EXPECT_TRUE(std::equal(saved.begin() + static_cast<std::ptrdiff_t>(structure.size()), saved.end(),
                           quickly.begin() + static_cast<std::ptrdiff_t>(structure.size())));
}

TEST_F(Writer, BackgroundSaveReportsAFileItCannotCreateOrFill) {
    const std::string unreachable = (Folder() / "no folder" / "x.iso").string();
    const struct {
        std::string path, error;
    } kCases[] = {
        {unreachable, "CAN'T CREATE FILE \"" + unreachable + "\""},
        {"/dev/full", "CAN'T WRITE FILE \"/dev/full\""}, // every write fails with ENOSPC
    };
    SmallCompilation();
    std::size_t nth = 0;
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.path);
        Prepare(true);
        EXPECT_EQ(burner->SaveToISO(c.path, false), -1);
        EXPECT_EQ(done.Wait(++nth), c.error);
        FinishWrite();
        EXPECT_EQ(done.Count(), nth);
        EXPECT_FALSE(image::TOrbelBurner::Writing());
    }
}

TEST_F(Writer, AbortStopsABackgroundSaveWithinOneBlock) {
    SmallCompilation();
    Prepare(true);
    const std::size_t whole = ExpectedSession().size();
    const std::string fifo = (Folder() / "pipe.iso").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(burner->SaveToISO(fifo, false), -1);
    const int in = ::open(fifo.c_str(), O_RDONLY);
    ASSERT_GE(in, 0);
    (void)::fcntl(in, F_SETPIPE_SZ, 4096); // refused while more than that is buffered; then larger
    const auto capacity = static_cast<std::size_t>(::fcntl(in, F_GETPIPE_SZ));
    std::vector<char> chunk(4096);
    std::size_t before = 0, after = 0;
    for (ssize_t got;
         before < 2 * std::size_t{kCacheBlockBytes} && (got = ::read(in, chunk.data(), 4096)) > 0;)
        before += static_cast<std::size_t>(got);
    burner->AbortWrite();
    for (ssize_t got; (got = ::read(in, chunk.data(), chunk.size())) > 0;)
        after += static_cast<std::size_t>(got);
    ::close(in);
    EXPECT_EQ(done.Wait(), kAborted);
    FinishWrite();
    EXPECT_LE(after, std::size_t{kCacheBlockBytes} + capacity);
    EXPECT_LT(before + after, whole);
}

class SlowLeadOutWriter : public Writer {
protected:
    SlowLeadOutWriter() { identity.product = "DVD-RW  DVR-103"; } // a model that needs minutes
};

TEST_F(SlowLeadOutWriter, TheBufferDisplayCountsDownWhileTheLeadOutIsWritten) {
    Insert(MediumKind::DvdR);
    SmallCompilation();
    Prepare(false);
    std::atomic<bool> flushing{false};
    burner->OnFinalizingTrack = [&](image::TOrbelBurner*) {
        // The drive keeps refusing READ DISC INFORMATION longer than the countdown lasts.
        drive->InjectFault({FaultKind::CheckCondition, kReadDiscInfo, FixedSense(2, 0x04, 0x08), 0, 1000});
        flushing = true;
    };
    std::vector<std::pair<std::uint32_t, std::uint32_t>> shown; // size and free at each second
    componentClock.onSleep = [&](std::chrono::milliseconds slept) {
        if (flushing && slept == 1000ms && burner->DeviceBufferSize != 0)
            shown.emplace_back(burner->DeviceBufferSize.load(), burner->DeviceFreeBufferSize.load());
    };
    ASSERT_EQ(Burned(), "");
    EXPECT_TRUE(log.Contains(">>> WRITING LEAD-OUT (THIS CAN TAKE APPROXIMATELY 15-20 MINUTES)"));
    ASSERT_EQ(shown.size(), 1000u);
    const std::uint32_t size = shown.front().first, step = size / 960;
    ASSERT_GT(step, 0u);
    std::uint32_t free = size;
    for (const auto& [bufferSize, bufferFree] : shown) {
        free = free > step ? free - step : 0;
        EXPECT_EQ(bufferSize, size);
        EXPECT_EQ(bufferFree, free);
    }
    EXPECT_EQ(shown.back().second, 0u);
    EXPECT_TRUE(Sent(kCloseTrackSession).empty());
}

TEST_F(Writer, TheLeadOutWaitGivesUpOnADriveThatNeverAnswersAgain) {
    Insert(MediumKind::DvdR);
    SmallCompilation();
    Prepare(false);
    std::atomic<std::int64_t> flushAt{0};
    burner->OnFinalizingTrack = [&](image::TOrbelBurner*) {
        drive->InjectFault({FaultKind::CheckCondition, kReadDiscInfo, FixedSense(2, 0x04, 0x08), 0, -1});
        flushAt = clock.NowMs();
    };
    EXPECT_EQ(Burned(), ""); // closing commands do not decide the outcome
    const std::int64_t waited = clock.NowMs() - flushAt;
    EXPECT_GE(waited, 3 * 3600 * 1000);
    EXPECT_LT(waited, 4 * 3600 * 1000);
}

} // namespace
} // namespace lorvane::pipeline::testing
