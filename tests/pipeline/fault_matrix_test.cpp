// Every fault the virtual recorder can inject against every long operation that talks to the drive: a
// burn on each writable medium, an image burn, an erase, a session import and an extraction. Each row
// says what the operation reports, what it leaves on the disc or on the local disk, and how the drive is
// left. docs/reliability.md lists the same rows.

#include <sys/stat.h>

#include "image/orbel_burner.h"
#include "pipeline/burn_fixture.h"
#include "recorder/disc_state.h"

namespace lorvane::pipeline::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using recorder::Fault;
using recorder::FaultKind;
using recorder::FixedSense;
using recorder::MediumKind;

constexpr std::uint8_t kRead10 = 0x28, kWrite10 = 0x2A, kBlank = 0xA1, kFormatUnit = 0x04;

enum class Op { Burn, ImageBurn, Erase, Import, Extract };

enum class DriveFault {
    Busy,
    NotReady,
    LongWrite,
    MediumError,
    NeverCompletes,
    TrayOpened,
    Vanished,
    DiscFull
};

const char* FaultName(DriveFault fault) {
    switch (fault) {
    case DriveFault::Busy: return "Busy";
    case DriveFault::NotReady: return "NotReady";
    case DriveFault::LongWrite: return "LongWriteInProgress";
    case DriveFault::MediumError: return "MediumErrorAtAnAddress";
    case DriveFault::NeverCompletes: return "CommandNeverCompletes";
    case DriveFault::TrayOpened: return "TrayOpened";
    case DriveFault::Vanished: return "DriveVanished";
    case DriveFault::DiscFull: return "DiscFull";
    }
    return "?";
}

// What the operation reports and leaves behind.
enum class Left {
    Complete, // the operation finished as without the fault: the whole session, the erased disc, every file
    Partial,  // stopped where the fault met it; the disc holds what was written before (write-once media
              // keep an open track), the import what was read before
    Nothing,  // refused before the drive was asked to change anything; no local file
};

// How the drive is left: ready for the next operation, with its tray open (the disc still in it), or
// gone from the bus.
enum class DriveAfter { Ready, TrayOpen, Gone };

struct Row {
    Op op;
    MediumKind medium;
    DriveFault fault;
    std::string result; // OnWriteDone's text; for an erase "" when the erase succeeded, for an import or
                        // extraction "" when it returned true
    Left left;
    DriveAfter after;
};

std::string RowName(const ::testing::TestParamInfo<Row>& info) {
    const Row& r = info.param;
    std::string op;
    switch (r.op) {
    case Op::Burn: op = "Burn"; break;
    case Op::ImageBurn: op = "ImageBurn"; break;
    case Op::Erase: op = "Erase"; break;
    case Op::Import: op = "Import"; break;
    case Op::Extract: op = "Extract"; break;
    }
    std::string medium(recorder::MediumKindName(r.medium));
    for (char& ch : medium)
        if (ch == '-')
            ch = '_';
        else if (ch == '+')
            ch = 'P';
    return op + "_" + medium + "_" + FaultName(r.fault);
}

void PrintTo(const Row& row, std::ostream* out) {
    *out << recorder::MediumKindName(row.medium) << ", " << FaultName(row.fault) << " -> \"" << row.result
         << '"';
}

class FaultMatrix : public BurnFixture, public ::testing::WithParamInterface<Row> {
protected:
    // The fault on the command that carries the operation: WRITE (10) for recordings, BLANK or FORMAT
    // UNIT for an erase, READ (10) for reading a session back. Recordings and imports meet it after
    // their first transfer, so it strikes in the middle of the work.
    void Arm(DriveFault fault, std::uint8_t opcode, int skip, std::uint32_t badLba,
             const std::vector<std::uint8_t>& mediumError) {
        switch (fault) {
        case DriveFault::Busy: drive->InjectFault({FaultKind::Busy, opcode, {}, skip, 3}); break;
        case DriveFault::NotReady:
            drive->InjectFault({FaultKind::CheckCondition, opcode, FixedSense(2, 0x04, 0x01), skip, 3});
            break;
        case DriveFault::LongWrite:
            drive->InjectFault({FaultKind::CheckCondition, opcode, FixedSense(2, 0x04, 0x08), skip, 3});
            break;
        case DriveFault::MediumError:
            if (opcode == kRead10 || opcode == kWrite10)
                drive->InjectFaultAt(badLba, {FaultKind::CheckCondition, opcode, mediumError, 0, -1});
            else
                drive->InjectFault({FaultKind::CheckCondition, opcode, mediumError, 0, -1});
            break;
        case DriveFault::NeverCompletes:
            drive->InjectFault({FaultKind::NeverComplete, opcode, {}, skip, 1});
            break;
        case DriveFault::TrayOpened: drive->InjectFault({FaultKind::OpenTray, opcode, {}, skip, 1}); break;
        case DriveFault::Vanished: drive->InjectFault({FaultKind::Vanish, opcode, {}, skip, 1}); break;
        case DriveFault::DiscFull: break; // the disc itself is made full
        }
    }

    void Sources() {
        AddSource("a.txt", PatternBytes(1, 1));
        AddSource("docs/b.bin", PatternBytes(200000, 2));
        AddSource("docs/deeper/c.bin", PatternBytes(300000, 3));
        AddSource("d.bin", PatternBytes(500000, 4));
    }

    // A disc with a closed first session that leaves 8,000 blocks (about 16 MB) for another, or a
    // compilation too large for an empty overwritable disc.
    void FillDisc(MediumKind kind) {
        using namespace recorder;
        if (kind == MediumKind::DvdPlusRw || kind == MediumKind::DvdRam) {
            // Two sparse files of 2.4 GB: together more than any single-layer DVD holds. They are never
            // read: the burn must be refused before the first block.
            for (const char* name : {"huge1.bin", "huge2.bin"}) {
                std::ofstream(Source() / name).close();
                fs::resize_file(Source() / name, 2400ull * 1000 * 1000);
            }
            return;
        }
        DiscState full = BlankDisc(kind);
        const bool cd = IsCd(kind);
        const std::uint32_t overhead =
            cd ? geometry::kFirstSessionOverhead
               : (kind == MediumKind::DvdPlusR ? geometry::kDvdPlusSessionGap : geometry::kDvdMinusBorder);
        const std::uint32_t size = CapacityLimit(full) - overhead - 8000;
        full.sessions = {SessionRecord{0, true}, SessionRecord{size + overhead, false}};
        full.tracks = {TrackRecord{.start = 0, .size = size, .recorded = size, .session = 1, .closed = true}};
        drive->ChangeMedium(std::make_unique<DiscMedium>(full, DiscStatePath(DiscFile())),
                            recorder::VirtualDrive::Notice::AlreadyLoaded);
        burner->SetDevice(burner->DeviceList.at(0));
        AddSource("e.bin", PatternBytes(20 * 1024 * 1024, 5)); // 20 MiB: more than is left
    }

    bool Ready() { return burner->TestUnitReady(5000); }

    std::string RunBurn(const Row& row) {
        Insert(row.medium);
        burner->FinalizeDisc = false;
        Sources();
        if (row.fault == DriveFault::DiscFull) FillDisc(row.medium);
        Prepare(false);
        // A refused session is compared with nothing; its sources are never read.
        if (row.fault != DriveFault::DiscFull) m_expected = ExpectedSession();
        m_sessionStart = static_cast<std::uint32_t>(burner->SessionStart);
        Arm(row.fault, kWrite10, 1, m_sessionStart + 40, FixedSense(3, 0x0C, 0x00));
        drive->ClearCommands();
        const bool started = burner->Burn();
        const std::string result = done.Wait();
        FinishWrite();
        EXPECT_EQ(done.Count(), 1u);
        EXPECT_EQ(started, row.fault != DriveFault::DiscFull);
        return result;
    }

    std::string RunImageBurn(const Row& row) {
        Insert(row.medium);
        Sources();
        const fs::path image = Folder() / "image.iso";
        if (row.fault == DriveFault::DiscFull) {
            // An image larger than any CD: never read, refused first.
            std::ofstream(image).close();
            fs::resize_file(image, 900ull * 1024 * 1024);
        } else {
            Prepare(true);
            EXPECT_EQ(burner->SaveToISO(image.string(), true), 1);
            m_expected = ReadFileBytes(image);
        }
        m_sessionStart = 0;
        Arm(row.fault, kWrite10, 1, 40, FixedSense(3, 0x0C, 0x00));
        drive->ClearCommands();
        const std::size_t before = done.Count();
        const bool started = burner->BurnISO(image.string());
        const std::string result = done.Wait(before + 1);
        FinishWrite();
        EXPECT_EQ(started, row.fault != DriveFault::DiscFull);
        return result;
    }

    std::string RunErase(const Row& row) {
        Insert(row.medium);
        std::vector<bool> results;
        burner->OnEraseDone = [&](drive::TSCSIDevice*, bool withError) { results.push_back(withError); };
        const std::uint8_t opcode =
            row.medium == MediumKind::DvdPlusRw || row.medium == MediumKind::DvdRam ? kFormatUnit : kBlank;
        Arm(row.fault, opcode, 0, 0, FixedSense(3, 0x31, 0x00));
        (void)burner->EraseDisc(true);
        burner->JoinEraseThread();
        burner->OnEraseDone = nullptr;
        EXPECT_EQ(results.size(), 1u);
        return results.empty() ? "no event" : results.front() ? "ERASE FAILED" : "";
    }

    // A disc holding the sources as its one session. Remembers where the folder "docs" has its Joliet
    // directory extent, which an import reads first.
    void RecordedDisc(const Row& row) {
        Insert(row.medium);
        Sources();
        Prepare(false);
        for (const image::TFEntry* entry = burner->Root->FirstEntry; entry; entry = entry->Next)
            if (entry->Dir && entry->LongName == "docs")
                m_docsExtent = static_cast<std::uint32_t>(burner->JolietDirRecordsLocation / 2048) +
                               entry->Dir->JolietExtent;
        ASSERT_TRUE(burner->Burn());
        ASSERT_EQ(done.Wait(), "");
        FinishWrite();
    }

    std::string RunImport(const Row& row) {
        RecordedDisc(row);
        burner->ClearCompilation(1000, 100);
        // The fourth read of the import: two descriptors and the root's sector come first.
        Arm(row.fault, kRead10, 3, m_docsExtent, FixedSense(3, 0x11, 0x00));
        const bool imported = burner->ImportDiscSession(-1, nullptr);
        m_importIncomplete = burner->ImportIncomplete();
        m_importedFiles = 0;
        for (const auto& file : burner->Files())
            if (!file->Dir) ++m_importedFiles;
        return imported ? "" : "IMPORT FAILED";
    }

    std::string RunExtract(const Row& row) {
        RecordedDisc(row);
        burner->ClearCompilation(1000, 100);
        EXPECT_TRUE(burner->ImportDiscSession(-1, nullptr));
        const image::TFEntry* file = nullptr;
        for (const image::TFEntry* entry = burner->Root->FirstEntry; entry; entry = entry->Next)
            if (entry->LongName == "d.bin") file = entry;
        if (file == nullptr) return "no d.bin";
        Arm(row.fault, kRead10, 1, file->Extent + 40, FixedSense(3, 0x11, 0x00));
        m_extracted = Folder() / "out.bin";
        return burner->ExtractFile(file, m_extracted.string()) ? "" : "EXTRACT FAILED";
    }

    Bytes m_expected;
    std::uint32_t m_sessionStart = 0;
    std::size_t m_importedFiles = 0;
    std::uint32_t m_docsExtent = 0;
    bool m_importIncomplete = false;
    fs::path m_extracted;
};

TEST_P(FaultMatrix, OutcomeAndWhatIsLeft) {
    const Row& row = GetParam();
    std::string result;
    switch (row.op) {
    case Op::Burn: result = RunBurn(row); break;
    case Op::ImageBurn: result = RunImageBurn(row); break;
    case Op::Erase: result = RunErase(row); break;
    case Op::Import: result = RunImport(row); break;
    case Op::Extract: result = RunExtract(row); break;
    }
    if (HasFatalFailure()) return;
    if (row.fault == DriveFault::DiscFull)
        EXPECT_EQ(result.rfind(row.result, 0), 0u) << result;
    else
        EXPECT_EQ(result, row.result);

    // What is left.
    if (row.op == Op::Burn || row.op == Op::ImageBurn) {
        const Bytes onDisc = ReadFileBytes(DiscFile(), std::size_t{m_sessionStart} * 2048, m_expected.size());
        const std::size_t written = static_cast<std::size_t>(burner->WrittenBytes.load());
        switch (row.left) {
        case Left::Complete: EXPECT_TRUE(onDisc == m_expected) << "the disc lacks part of the session"; break;
        case Left::Partial:
            EXPECT_LT(written, m_expected.size());
            EXPECT_FALSE(onDisc == m_expected);
            break;
        case Left::Nothing:
            EXPECT_TRUE(Sent(kWrite10).empty());
            EXPECT_EQ(written, 0u);
            break;
        }
    } else if (row.op == Op::Import) {
        // A partial tree is marked, so that no new session is built on it.
        EXPECT_EQ(m_importIncomplete, row.left != Left::Complete);
        switch (row.left) {
        case Left::Complete: EXPECT_EQ(m_importedFiles, 4u); break;
        case Left::Partial:
            EXPECT_GT(m_importedFiles, 0u);
            EXPECT_LT(m_importedFiles, 4u);
            break;
        case Left::Nothing: EXPECT_EQ(m_importedFiles, 0u); break;
        }
    } else if (row.op == Op::Extract) {
        // The component reports a copy cut short; lorvane-cli and the file viewer remove it.
        const Bytes copy = ReadFileBytes(m_extracted);
        if (row.left == Left::Complete)
            EXPECT_TRUE(copy == PatternBytes(500000, 4));
        else
            EXPECT_LT(copy.size(), 500000u);
    }

    // How the drive is left.
    switch (row.after) {
    case DriveAfter::Ready:
        EXPECT_FALSE(drive->Vanished());
        EXPECT_EQ(drive->Tray(), recorder::TrayState::Closed);
        EXPECT_TRUE(Ready()) << burner->LastErrorText;
        break;
    case DriveAfter::TrayOpen:
        EXPECT_EQ(drive->Tray(), recorder::TrayState::Open);
        EXPECT_TRUE(drive->HasMedium());
        EXPECT_FALSE(Ready());
        break;
    case DriveAfter::Gone: EXPECT_TRUE(drive->Vanished()); break;
    }
    EXPECT_EQ(recorder::VirtualRecorder::Installed()->PendingCount(), 0u) << "a request was left pending";
}

// The texts the writer reports for the drive faults that end a recording.
const std::string kMediumErrorText = "WRITER ERROR [MEDIUM ERROR (WRITE ERROR)]";
const std::string kTimeoutText = "WRITER ERROR [COMMAND TIMEOUT]";
const std::string kTrayText = "WRITER ERROR [NOT READY (MEDIUM NOT PRESENT - TRAY OPEN)]";
const std::string kGoneText = "WRITER ERROR [NO DEVICE]";

std::vector<Row> Rows() {
    std::vector<Row> rows;
    const MediumKind writable[] = {MediumKind::CdR,   MediumKind::CdRw,     MediumKind::DvdR,
                                   MediumKind::DvdRw, MediumKind::DvdPlusR, MediumKind::DvdPlusRw,
                                   MediumKind::DvdRam};
    for (const MediumKind medium : writable) {
        rows.push_back({Op::Burn, medium, DriveFault::Busy, "", Left::Complete, DriveAfter::Ready});
        rows.push_back({Op::Burn, medium, DriveFault::NotReady, "", Left::Complete, DriveAfter::Ready});
        rows.push_back({Op::Burn, medium, DriveFault::LongWrite, "", Left::Complete, DriveAfter::Ready});
        rows.push_back(
            {Op::Burn, medium, DriveFault::MediumError, kMediumErrorText, Left::Partial, DriveAfter::Ready});
        rows.push_back(
            {Op::Burn, medium, DriveFault::NeverCompletes, kTimeoutText, Left::Partial, DriveAfter::Ready});
        rows.push_back(
            {Op::Burn, medium, DriveFault::TrayOpened, kTrayText, Left::Partial, DriveAfter::TrayOpen});
        rows.push_back({Op::Burn, medium, DriveFault::Vanished, kGoneText, Left::Partial, DriveAfter::Gone});
        rows.push_back({Op::Burn, medium, DriveFault::DiscFull, "THE SESSION DOES NOT FIT ON THE DISC (",
                        Left::Nothing, DriveAfter::Ready});
    }
    for (const MediumKind medium : {MediumKind::CdR, MediumKind::DvdPlusRw}) {
        rows.push_back({Op::ImageBurn, medium, DriveFault::Busy, "", Left::Complete, DriveAfter::Ready});
        rows.push_back({Op::ImageBurn, medium, DriveFault::NotReady, "", Left::Complete, DriveAfter::Ready});
        rows.push_back({Op::ImageBurn, medium, DriveFault::LongWrite, "", Left::Complete, DriveAfter::Ready});
        rows.push_back({Op::ImageBurn, medium, DriveFault::MediumError, kMediumErrorText, Left::Partial,
                        DriveAfter::Ready});
        rows.push_back({Op::ImageBurn, medium, DriveFault::NeverCompletes, kTimeoutText, Left::Partial,
                        DriveAfter::Ready});
        rows.push_back(
            {Op::ImageBurn, medium, DriveFault::TrayOpened, kTrayText, Left::Partial, DriveAfter::TrayOpen});
        rows.push_back(
            {Op::ImageBurn, medium, DriveFault::Vanished, kGoneText, Left::Partial, DriveAfter::Gone});
    }
    rows.push_back({Op::ImageBurn, MediumKind::CdR, DriveFault::DiscFull,
                    "THE IMAGE DOES NOT FIT ON THE DISC (", Left::Nothing, DriveAfter::Ready});
    for (const MediumKind medium :
         {MediumKind::CdRw, MediumKind::DvdRw, MediumKind::DvdPlusRw, MediumKind::DvdRam}) {
        rows.push_back({Op::Erase, medium, DriveFault::Busy, "", Left::Complete, DriveAfter::Ready});
        rows.push_back({Op::Erase, medium, DriveFault::NotReady, "", Left::Complete, DriveAfter::Ready});
        rows.push_back({Op::Erase, medium, DriveFault::LongWrite, "", Left::Complete, DriveAfter::Ready});
        rows.push_back(
            {Op::Erase, medium, DriveFault::MediumError, "ERASE FAILED", Left::Nothing, DriveAfter::Ready});
        rows.push_back({Op::Erase, medium, DriveFault::NeverCompletes, "ERASE FAILED", Left::Nothing,
                        DriveAfter::Ready});
        rows.push_back(
            {Op::Erase, medium, DriveFault::TrayOpened, "ERASE FAILED", Left::Nothing, DriveAfter::TrayOpen});
        rows.push_back(
            {Op::Erase, medium, DriveFault::Vanished, "ERASE FAILED", Left::Nothing, DriveAfter::Gone});
    }
    for (const MediumKind medium : {MediumKind::CdR, MediumKind::DvdPlusR}) {
        rows.push_back({Op::Import, medium, DriveFault::Busy, "", Left::Complete, DriveAfter::Ready});
        rows.push_back({Op::Import, medium, DriveFault::NotReady, "", Left::Complete, DriveAfter::Ready});
        rows.push_back({Op::Import, medium, DriveFault::LongWrite, "", Left::Complete, DriveAfter::Ready});
        rows.push_back({Op::Import, medium, DriveFault::MediumError, "", Left::Partial, DriveAfter::Ready});
        rows.push_back(
            {Op::Import, medium, DriveFault::NeverCompletes, "", Left::Partial, DriveAfter::Ready});
        rows.push_back({Op::Import, medium, DriveFault::TrayOpened, "", Left::Partial, DriveAfter::TrayOpen});
        rows.push_back({Op::Import, medium, DriveFault::Vanished, "", Left::Partial, DriveAfter::Gone});
        rows.push_back({Op::Extract, medium, DriveFault::Busy, "", Left::Complete, DriveAfter::Ready});
        rows.push_back({Op::Extract, medium, DriveFault::NotReady, "", Left::Complete, DriveAfter::Ready});
        rows.push_back({Op::Extract, medium, DriveFault::LongWrite, "", Left::Complete, DriveAfter::Ready});
        rows.push_back({Op::Extract, medium, DriveFault::MediumError, "EXTRACT FAILED", Left::Partial,
                        DriveAfter::Ready});
        rows.push_back({Op::Extract, medium, DriveFault::NeverCompletes, "EXTRACT FAILED", Left::Partial,
                        DriveAfter::Ready});
        rows.push_back({Op::Extract, medium, DriveFault::TrayOpened, "EXTRACT FAILED", Left::Partial,
                        DriveAfter::TrayOpen});
        rows.push_back(
            {Op::Extract, medium, DriveFault::Vanished, "EXTRACT FAILED", Left::Partial, DriveAfter::Gone});
    }
    return rows;
}

INSTANTIATE_TEST_SUITE_P(EveryOperation, FaultMatrix, ::testing::ValuesIn(Rows()), RowName);

// Local files that are gone when a recording needs them: the recording is refused or ends with the
// file's name, and the disc is left as it was (nothing is written before the producer has its first
// blocks, and a boot image is read right after the structures). A boot image missing when the session
// is laid out leaves the session without it, with a line in the log.
enum class LocalFault { BootImageMissingAtLayout, BootImageGoneBeforeTheBurn, ImageFileMissing };

struct LocalRow {
    const char* name;
    LocalFault fault;
};

class LocalFaultOnARecording : public FaultMatrix {};

TEST_F(LocalFaultOnARecording, IsReportedWithTheFileAndLeavesTheDiscBlank) {
    const LocalRow rows[] = {
        {"boot image missing when the session is laid out", LocalFault::BootImageMissingAtLayout},
        {"boot image gone between the layout and the burn", LocalFault::BootImageGoneBeforeTheBurn},
        {"image file missing for an image burn", LocalFault::ImageFileMissing},
    };
    Insert(MediumKind::CdR);
    Sources();
    const fs::path boot = Folder() / "boot.img";
    for (const LocalRow& row : rows) {
        SCOPED_TRACE(row.name);
        burner->Bootable = row.fault != LocalFault::ImageFileMissing;
        std::ofstream(boot, std::ios::binary)
            .write(reinterpret_cast<const char*>(PatternBytes(2048, 7).data()), 2048);
        burner->BootImage = boot.string();
        const std::size_t before = done.Count();
        drive->ClearCommands();
        switch (row.fault) {
        case LocalFault::BootImageMissingAtLayout:
            fs::remove(boot);
            burner->ClearCompilation(1000, 100);
            ASSERT_EQ(burner->AddDirectory(burner->Root, Source().string(), "*.*", image::attr::kAnyFile,
                                           true, false, false),
                      1);
            // The session is laid out without the boot image, and the log says so.
            EXPECT_TRUE(burner->PrepareImage(false)) << burner->ImageError;
            EXPECT_FALSE(burner->Bootable);
            EXPECT_TRUE(log.Contains(">>> BOOT IMAGE \"" + boot.string() +
                                     "\" NOT FOUND, THE DISC WILL NOT BE BOOTABLE"));
            break;
        case LocalFault::BootImageGoneBeforeTheBurn:
            Prepare(false);
            fs::remove(boot);
            EXPECT_FALSE(burner->Burn());
            EXPECT_EQ(done.Wait(before + 1),
                      "CAN'T OPEN FILE \"" + boot.string() + "\" OR FILE IS IN USES BY OTHER SOFTWARE");
            FinishWrite();
            break;
        case LocalFault::ImageFileMissing: {
            const fs::path image = Folder() / "missing.iso";
            EXPECT_FALSE(burner->BurnISO(image.string()));
            EXPECT_EQ(done.Wait(before + 1),
                      "CAN'T OPEN FILE \"" + image.string() + "\" OR FILE IS IN USES BY OTHER SOFTWARE");
            break;
        }
        }
        EXPECT_TRUE(Sent(kWrite10).empty());
        EXPECT_TRUE(Disc().tracks.empty()) << "the disc is no longer blank";
        EXPECT_TRUE(Ready());
    }
}

// A disc closed by its first session (a CD-R finalized on request, DVD-R and DVD+R always) is refused
// before a block is sent, with or without an import, instead of failing at the drive's first refusal.
class ClosedDisc : public BurnFixture, public ::testing::WithParamInterface<MediumKind> {};

TEST_P(ClosedDisc, TakesNoFurtherSession) {
    Insert(GetParam());
    burner->FinalizeDisc = true;
    AddSource("first.txt", PatternBytes(1000, 1));
    Prepare(false);
    ASSERT_TRUE(burner->Burn());
    ASSERT_EQ(done.Wait(), "");
    FinishWrite();
    const recorder::DiscState closed = Disc();
    ASSERT_TRUE(closed.finalized);

    for (const bool import : {false, true}) {
        SCOPED_TRACE(import ? "with the first session imported" : "without an import");
        burner->ClearCompilation(1000, 100);
        if (import) {
            ASSERT_TRUE(burner->ImportDiscSession(-1, nullptr));
        }
        ASSERT_EQ(burner->AddFile("\\", AddSource("second.txt", PatternBytes(1000, 2)), false), 1);
        drive->ClearCommands();
        if (import) {
            // The imported files would have to stay where they are, and there is no place after them.
            EXPECT_FALSE(burner->PrepareImage(false));
            EXPECT_EQ(burner->ImageError, "THE DISC IS CLOSED: NO SESSION CAN BE ADDED");
        } else {
            ASSERT_TRUE(burner->PrepareImage(false)) << burner->ImageError;
            const std::size_t before = done.Count();
            EXPECT_FALSE(burner->Burn());
            EXPECT_EQ(done.Wait(before + 1), "THE DISC IS CLOSED: NO SESSION CAN BE ADDED");
            FinishWrite();
        }
        EXPECT_TRUE(Sent(kWrite10).empty());
        EXPECT_EQ(Disc(), closed);
    }
}

INSTANTIATE_TEST_SUITE_P(WriteOnceMedia, ClosedDisc,
                         ::testing::Values(MediumKind::CdR, MediumKind::DvdR, MediumKind::DvdPlusR),
                         [](const auto& medium) {
                             std::string name(recorder::MediumKindName(medium.param));
                             std::erase(name, '-');
                             std::replace(name.begin(), name.end(), '+', 'P');
                             return name;
                         });

// A pressed disc (a CD-ROM or DVD-ROM in a recorder, or any disc in a reader that calls itself one) takes
// neither a session nor an image: both are refused before a block is sent, and the disc is unchanged.
class PressedDisc : public BurnFixture, public ::testing::WithParamInterface<MediumKind> {};

TEST_P(PressedDisc, TakesNoSessionAndNoImage) {
    const Bytes pressed = PatternBytes(200 * 2048, 9);
    std::ofstream(DiscFile(), std::ios::binary)
        .write(reinterpret_cast<const char*>(pressed.data()), static_cast<std::streamsize>(pressed.size()));
    Insert(GetParam());
    AddSource("new.txt", PatternBytes(1000, 2));
    const fs::path image = Folder() / "small.iso";
    std::ofstream(image, std::ios::binary).write(reinterpret_cast<const char*>(pressed.data()), 20 * 2048);
    Prepare(false);
    drive->ClearCommands();

    std::size_t before = done.Count();
    EXPECT_FALSE(burner->Burn());
    EXPECT_EQ(done.Wait(before + 1), "THE DISC IS CLOSED: NO SESSION CAN BE ADDED");
    FinishWrite();
    before = done.Count();
    EXPECT_FALSE(burner->BurnISO(image.string()));
    EXPECT_EQ(done.Wait(before + 1), "NEED EMPTY DISC FOR ISO BURNING");
    FinishWrite();

    EXPECT_TRUE(Sent(kWrite10).empty());
    EXPECT_EQ(ReadFileBytes(DiscFile()), pressed);
    EXPECT_TRUE(burner->TestUnitReady(5000));
}

INSTANTIATE_TEST_SUITE_P(ReadOnlyMedia, PressedDisc, ::testing::Values(MediumKind::CdRom, MediumKind::DvdRom),
                         [](const auto& medium) {
                             std::string name(recorder::MediumKindName(medium.param));
                             std::erase(name, '-');
                             return name;
                         });

// A drive that answers busy for ever: the writer gives up after 10,000 tries 600 ms apart (100 minutes
// on the drive's clock) instead of holding the disc and the program for good.
TEST_F(FaultMatrix, ADriveBusyForMoreThanOneHundredMinutesEndsTheBurn) {
    Insert(MediumKind::CdR);
    Sources();
    Prepare(false);
    drive->InjectFault({FaultKind::Busy, kWrite10, {}, 1, -1});
    std::int64_t waitedMs = 0;
    componentClock.onSleep = [&](std::chrono::milliseconds slept) {
        if (slept == 600ms) waitedMs += slept.count();
    };
    ASSERT_TRUE(burner->Burn());
    EXPECT_EQ(done.Wait(), "WRITER BUSY/BUFFER FULL");
    FinishWrite();
    EXPECT_EQ(waitedMs, 10000 * 600);
    EXPECT_EQ(Sent(kWrite10).size(), 10001u); // the first block, then the second one 10,000 times
    drive->ClearFaults();
    EXPECT_TRUE(Ready());
}

} // namespace
} // namespace lorvane::pipeline::testing
