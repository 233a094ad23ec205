// Discs extended session by session: each new session imports the last one, lists its files beside the
// new ones and leaves their data where it already is.

#include <map>

#include "image/orbel_burner.h"
#include "peers/peer_tools.h"
#include "pipeline/burn_fixture.h"
#include "recorder/disc_state.h"

namespace lorvane::pipeline::testing {
namespace {

namespace fs = std::filesystem;
using recorder::MediumKind;

constexpr std::uint8_t kWrite10 = 0x2A;

using Files = std::map<std::string, Bytes>; // "folder/name" -> content

struct Written {
    std::uint32_t firstLba = UINT32_MAX;
    std::uint64_t sectors = 0;
};

class Multisession : public BurnFixture {
protected:
    void SetUp() override {
        BurnFixture::SetUp();
        burner->FinalizeDisc = false; // every session leaves the disc open for the next
    }

    // Writes the session's sources under their own folder and adds them to the expected disc content.
    void Sources(const std::string& session, const Files& files) {
        for (const auto& [path, content] : files) {
            const fs::path full = Folder() / session / path;
            fs::create_directories(full.parent_path());
            std::ofstream(full, std::ios::binary)
                .write(reinterpret_cast<const char*>(content.data()),
                       static_cast<std::streamsize>(content.size()));
            m_expected[path] = content;
        }
    }

    // Clears the tree, imports a session (0: none) and adds the session folder's contents to the root.
    void Compile(const std::string& session, int import) {
        burner->ClearCompilation(600000, 20000);
        if (import != 0) {
            ASSERT_TRUE(burner->ImportDiscSession(import, nullptr));
        }
        ASSERT_EQ(burner->AddDirectory(burner->Root, (Folder() / session).string(), "*.*",
                                       image::attr::kAnyFile, true, false, false),
                  1);
        ASSERT_TRUE(burner->PrepareImage(false)) << burner->ImageError;
    }

    // Records the prepared session; what the drive was sent to write.
    Written Record() {
        drive->ClearCommands();
        EXPECT_TRUE(burner->Burn());
        EXPECT_EQ(done.Wait(++m_burns), "");
        FinishWrite();
        Written written;
        for (const recorder::CommandRecord& write : Sent(kWrite10)) {
            // WRITE (10): LBA in bytes 2-5, transfer length in bytes 7-8 (MMC).
            const std::uint32_t lba = std::uint32_t{write.cdb[2]} << 24 | std::uint32_t{write.cdb[3]} << 16 |
                                      std::uint32_t{write.cdb[4]} << 8 | write.cdb[5];
            written.firstLba = std::min(written.firstLba, lba);
            written.sectors += std::uint32_t{write.cdb[7]} << 8 | write.cdb[8];
        }
        return written;
    }

    void BurnSession(const std::string& session, int import) {
        Compile(session, import);
        Record();
    }

    // Imports the session into an emptied tree and extracts every file: path -> content.
    Files Imported(int session) {
        burner->ClearCompilation(65535, 8191);
        if (!burner->ImportDiscSession(session, nullptr)) return {};
        Files found;
        Extract(burner->Root, "", found);
        return found;
    }
    void Extract(const image::TDEntry* dir, const std::string& path, Files& found) {
        for (const image::TFEntry* entry = dir->FirstEntry; entry; entry = entry->Next) {
            if (entry->Dir) {
                Extract(entry->Dir, path + entry->LongName + "/", found);
                continue;
            }
            const fs::path out = Folder() / ("extracted-" + std::to_string(++m_extracted));
            EXPECT_TRUE(burner->ExtractFile(entry, out.string())) << entry->LongName;
            found[path + entry->LongName] = ReadFileBytes(out);
        }
    }

    // Where each imported file of the tree has its data: path -> extent.
    std::map<std::string, std::uint32_t> Extents() const {
        std::map<std::string, std::uint32_t> extents;
        for (const auto& file : burner->Files())
            if (!file->Dir && file->Imported) extents[file->LongName] = file->Extent;
        return extents;
    }

    Files m_expected;

private:
    std::size_t m_burns = 0;
    int m_extracted = 0;
};

struct MediumCase {
    MediumKind kind;
    const char* name;
};

class MultisessionOnMedium : public Multisession, public ::testing::WithParamInterface<MediumCase> {};

TEST_P(MultisessionOnMedium, SecondSessionListsOldAndNewFilesAndWritesOnlyTheNewOnes) {
    Insert(GetParam().kind);
    const Bytes big = PatternBytes(1024 * 1024 + 5, 1);
    Sources("s1", {{"a.txt", PatternBytes(4, 2)}, {"docs/big.bin", big}});
    BurnSession("s1", 0);
    const recorder::DiscState afterFirst = Disc();
    ASSERT_EQ(recorder::ClosedSessions(afterFirst), 1u);
    const Files first = Imported(-1);
    EXPECT_EQ(first, m_expected);
    const auto oldExtents = Extents();
    ASSERT_EQ(oldExtents.size(), 2u);

    Sources("s2", {{"new.txt", PatternBytes(7, 3)}, {"docs/c.txt", PatternBytes(3000, 4)}});
    Compile("s2", -1);
    // The imported files keep pointing at the first session's data.
    EXPECT_EQ(Extents(), oldExtents);
    const Written written = Record();
    EXPECT_EQ(written.firstLba, burner->SessionStart);
    EXPECT_EQ(written.sectors, static_cast<std::uint64_t>(burner->SessionSectors));
    // The 513 sectors of big.bin are not written again.
    EXPECT_LT(written.sectors, 513u);
    EXPECT_EQ(burner->WrittenBytes.load(), burner->SessionSectors * 2048);

    const recorder::DiscState afterSecond = Disc();
    ASSERT_EQ(recorder::ClosedSessions(afterSecond), 2u);
    // MMC / Orange Book: after the first session's lead-out (1:30) the next session has its own
    // lead-in (1:00) and pre-gap (0:02) before its first sector.
    const recorder::TrackRecord& track = afterFirst.tracks.front();
    EXPECT_EQ(burner->SessionStart, track.start + track.size + 6750 + 4500 + 150);
    EXPECT_EQ(afterSecond.sessions[1].start, burner->SessionStart);

    EXPECT_EQ(Imported(-1), m_expected);
    // The second session's tree points at the first session's data, not at a copy.
    const auto lastExtents = Extents();
    for (const auto& [name, extent] : oldExtents) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(lastExtents.contains(name));
        EXPECT_EQ(lastExtents.at(name), extent);
    }
    // The earlier session still reads as it was.
    EXPECT_EQ(Imported(1), first);
}

INSTANTIATE_TEST_SUITE_P(AppendableMedia, MultisessionOnMedium,
                         ::testing::Values(MediumCase{MediumKind::CdR, "CdR"},
                                           MediumCase{MediumKind::CdRw, "CdRw"}),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(Multisession, ThirdSessionAndTheSessionNumbersAsked) {
    Insert(MediumKind::CdR);
    Sources("s1", {{"one.txt", PatternBytes(10, 1)}});
    BurnSession("s1", 0);
    const Files session1 = m_expected;
    Sources("s2", {{"two.txt", PatternBytes(20, 2)}, {"sub/two.bin", PatternBytes(5000, 3)}});
    BurnSession("s2", -1);
    const Files session2 = m_expected;
    const recorder::DiscState afterSecond = Disc();
    Sources("s3", {{"three.txt", PatternBytes(30, 4)}, {"sub/three.bin", PatternBytes(70000, 5)}});
    BurnSession("s3", 2);
    ASSERT_EQ(recorder::ClosedSessions(Disc()), 3u);
    const recorder::TrackRecord& second = afterSecond.tracks.back();
    // A later session's lead-out is 0:30.
    EXPECT_EQ(Disc().sessions[2].start, second.start + second.size + 2250 + 4500 + 150);

    EXPECT_EQ(Imported(-1), m_expected);
    EXPECT_EQ(Imported(2), session2);
    EXPECT_EQ(Imported(1), session1);

    const struct {
        int asked;
        bool imported;
        const char* logged; // nullptr: nothing logged
        const Files* content;
    } kCases[] = {
        {5, true, ">>> IMPORTING SESSION # 3", &m_expected},
        {-1, true, ">>> IMPORTING SESSION # 3", &m_expected},
        {3, true, ">>> IMPORTING SESSION # 3", &m_expected},
        {0, false, nullptr, nullptr},
        {-2, false, ">>> ERROR IMPORTING SESSION # -2", nullptr},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.asked);
        burner->ClearCompilation(65535, 8191);
        const std::size_t before = log.Lines().size();
        EXPECT_EQ(burner->ImportDiscSession(c.asked, nullptr), c.imported);
        const std::vector<std::string> lines = log.Lines();
        const std::vector<std::string> added(lines.begin() + static_cast<std::ptrdiff_t>(before),
                                             lines.end());
        if (c.logged) {
            EXPECT_NE(std::find(added.begin(), added.end(), c.logged), added.end());
        } else {
            EXPECT_TRUE(added.empty());
        }
        if (c.content) {
            Files found;
            Extract(burner->Root, "", found);
            EXPECT_EQ(found, *c.content);
        } else {
            EXPECT_EQ(burner->FileCount(), 0);
        }
    }
    // Below -1 the number is no session: the request is logged, then refused.
    EXPECT_TRUE(log.Contains(">>> IMPORTING SESSION # -2"));
}

// A DVD+RW is written from its first sector every time: a session there cannot keep files of the one
// before, so the layout refuses it instead of recording directories that point at overwritten data.
TEST_F(Multisession, AnOverwritableDiscRefusesASessionThatWouldOverwriteItsImportedFiles) {
    Insert(recorder::MediumKind::DvdPlusRw);
    Sources("one", {{"a.bin", PatternBytes(300000, 1)}});
    BurnSession("one", 0);
    burner->ClearCompilation(600000, 20000);
    ASSERT_TRUE(burner->ImportDiscSession(-1, nullptr));
    ASSERT_EQ(burner->AddDirectory(burner->Root, (Folder() / "one").string(), "*.*", image::attr::kAnyFile,
                                   true, false, false),
              1);
    EXPECT_FALSE(burner->PrepareImage(false));
    EXPECT_EQ(burner->ImageError, image::kImportedDataOverwrittenMessage);
    EXPECT_TRUE(burner->StructureStream.empty());
    EXPECT_EQ(Imported(-1), m_expected); // the first session is still whole
}

TEST_F(Multisession, XorrisoReadsTheLastSessionWithEveryFile) {
    if (!lorvane::peers::HaveProgram("xorriso")) GTEST_SKIP() << "xorriso is not installed";
    Insert(MediumKind::CdR);
    Sources("s1", {{"a.txt", PatternBytes(4, 1)}, {"docs/Big File.bin", PatternBytes(300000, 2)}});
    BurnSession("s1", 0);
    Sources("s2", {{"new.txt", PatternBytes(9, 3)}, {"docs/c.txt", PatternBytes(2, 4)}});
    BurnSession("s2", -1);
    const std::uint32_t lastStart = burner->SessionStart;
    burner.reset(); // the disc file is complete once the drive is left alone

    const fs::path out = Folder() / "xorriso-out";
    const lorvane::peers::ToolRun run =
        lorvane::peers::RunProgram({"xorriso", "-osirrox", "on", "-indev", DiscFile().string(), "-load",
                                    "sbsector", std::to_string(lastStart), "-extract", "/", out.string()},
                                   Folder());
    ASSERT_EQ(run.status, 0) << run.err;
    Files found;
    for (const auto& item : fs::recursive_directory_iterator(out))
        if (item.is_regular_file())
            found[fs::relative(item.path(), out).string()] = ReadFileBytes(item.path());
    EXPECT_EQ(found, m_expected);
}

} // namespace
} // namespace lorvane::pipeline::testing
