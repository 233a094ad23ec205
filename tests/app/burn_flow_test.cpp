// Handing the compilation list to the burner: where sources land for each "Save path" state, folder
// rows with and without their sub-folders, archive-only adds, the session import ahead of the rows,
// pruning of empty folders, and the size cells.

#include "app/core/burn_flow.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "image/enumeration.h"
#include "image/orbel_burner.h"
#include "image/temp_tree.h"
#include "support/fake_clock.h"
#include "support/fake_kernel.h"
#include "transport/aspi.h"
#include "transport/pass_through.h"

namespace lorvane::app {
namespace {

using image::TDEntry;
using image::TFEntry;
using image::testing::TempTree;

// Every entry of the tree as "/dir/name" of long names, depth first in list order; folders end in "/".
void Collect(const TDEntry* dir, const std::string& prefix, std::vector<std::string>& out) {
    for (const TFEntry* entry = dir->FirstEntry; entry; entry = entry->Next) {
        if (entry->Dir) {
            out.push_back(prefix + "/" + entry->LongName + "/");
            Collect(entry->Dir, prefix + "/" + entry->LongName, out);
        } else {
            out.push_back(prefix + "/" + entry->LongName);
        }
    }
}

std::vector<std::string> Tree(const image::TOrbelBurner& burner) {
    std::vector<std::string> out;
    Collect(burner.Root, "", out);
    return out;
}

// The tree's form of a source folder kept whole: its path components as directories.
std::vector<std::string> KeptFolders(const std::string& folder) {
    std::vector<std::string> out;
    std::string path;
    std::size_t at = 1;
    while (at < folder.size()) {
        const std::size_t slash = std::min(folder.find('/', at), folder.size());
        path += "/" + folder.substr(at, slash - at);
        out.push_back(path + "/");
        at = slash + 1;
    }
    return out;
}

std::vector<std::string> Joined(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class TransferTest : public ::testing::Test {
protected:
    void SetUp() override {
        burner.ClearCompilation(600000, 20000);
        burner.OnDebugMessage = [this](drive::TSCSIDevice*, const std::string& line, std::uint8_t) {
            log.push_back(line);
        };
        mailFile = tree.File("data/mail/a.txt", 10);
        tree.File("data/mail/sub/b.txt", 20);
        mailFolder = tree.Path("data/mail") + "/";
    }

    TransferOutcome Transfer(const std::vector<CompilationRow>& rows, SavePathState state,
                             const AppOptions& options = {}) {
        return TransferCompilation(burner, rows, state, options);
    }

    lorvane::testing::FakeClock clock;
    image::TOrbelBurner burner{clock};
    TempTree tree;
    std::vector<std::string> log;
    std::string mailFile;
    std::string mailFolder;
};

TEST_F(TransferTest, SavePathDecidesWhereAFileLands) {
    const struct {
        SavePathState state;
        std::vector<std::string> expected;
    } kCases[] = {
        {SavePathState::Unchecked, {"/a.txt"}},
        {SavePathState::Checked, Joined(KeptFolders(tree.Path("data/mail")), {tree.Path("data/mail/a.txt")})},
        {SavePathState::Grayed, {"/mail/", "/mail/a.txt"}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(static_cast<int>(c.state));
        burner.ClearCompilation(600000, 20000);
        EXPECT_EQ(Transfer({{false, mailFile}}, c.state), TransferOutcome::Transferred);
        EXPECT_EQ(Tree(burner), c.expected);
        EXPECT_EQ(burner.LastFolderOnly, c.state == SavePathState::Grayed);
    }
}

TEST_F(TransferTest, SavePathDecidesWhereAFolderRowsContentLands) {
    const std::string kept = tree.Path("data/mail");
    const struct {
        SavePathState state;
        std::vector<std::string> expected;
    } kCases[] = {
        {SavePathState::Unchecked, {"/sub/", "/sub/b.txt", "/a.txt"}},
        {SavePathState::Checked,
         Joined(KeptFolders(kept), {kept + "/sub/", kept + "/sub/b.txt", kept + "/a.txt"})},
        {SavePathState::Grayed, {"/mail/", "/mail/sub/", "/mail/sub/b.txt", "/mail/a.txt"}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(static_cast<int>(c.state));
        burner.ClearCompilation(600000, 20000);
        EXPECT_EQ(Transfer({{true, mailFolder}}, c.state), TransferOutcome::Transferred);
        EXPECT_EQ(Tree(burner), c.expected);
    }
}

TEST_F(TransferTest, GrayedKeepsOnlyTheFilesOwnFolder) {
    const std::string photo = tree.File("Photos/2004/x.jpg", 3);
    Transfer({{false, photo}}, SavePathState::Grayed);
    EXPECT_EQ(Tree(burner), (std::vector<std::string>{"/2004/", "/2004/x.jpg"}));
}

TEST_F(TransferTest, AnUntickedFolderRowLeavesItsSubFoldersOut) {
    Transfer({{false, mailFolder}}, SavePathState::Unchecked);
    EXPECT_EQ(Tree(burner), std::vector<std::string>{"/a.txt"});
}

TEST_F(TransferTest, AFolderRowWithoutItsFinalSlashStillMeansTheFolder) {
    Transfer({{false, tree.Path("data/mail")}}, SavePathState::Unchecked);
    EXPECT_EQ(Tree(burner), std::vector<std::string>{"/a.txt"});
}

TEST_F(TransferTest, RowsAreAddedInListOrder) {
    const std::string other = tree.File("other/z.txt", 1);
    Transfer({{false, other}, {false, mailFile}, {true, tree.Path("other") + "/"}}, SavePathState::Grayed);
    EXPECT_EQ(Tree(burner), (std::vector<std::string>{"/other/", "/other/z.txt", "/mail/", "/mail/a.txt"}));
}

TEST_F(TransferTest, AnEmptyListIsRefusedAndAddsNothing) {
    EXPECT_EQ(Transfer({}, SavePathState::Checked), TransferOutcome::NoRows);
    EXPECT_TRUE(Tree(burner).empty());
    EXPECT_EQ(burner.DirectoryCount(), 0);
}

TEST_F(TransferTest, FoldersLeftEmptyArePruned) {
    const std::string empty = tree.Folder("data/empty/inner");
    Transfer({{true, tree.Path("data/empty") + "/"}, {false, mailFile}}, SavePathState::Checked);
    EXPECT_EQ(Tree(burner), Joined(KeptFolders(tree.Path("data/mail")), {tree.Path("data/mail/a.txt")}));
    EXPECT_EQ(burner.DirectoryCount(), static_cast<int>(KeptFolders(tree.Path("data/mail")).size()));
}

TEST_F(TransferTest, ArchiveOnlyTakesFlaggedFilesAndPrunesWhatIsLeftEmpty) {
    const std::string flagged = tree.File("arch/new.txt", 4);
    const std::string done = tree.File("arch/old.txt", 4);
    const std::string doneBelow = tree.File("arch/sub/old2.txt", 4);
    if (!image::SetArchiveBit(done, false) || !image::SetArchiveBit(doneBelow, false) ||
        !image::SetArchiveBit(flagged, true))
        GTEST_SKIP() << "the temporary folder takes no extended attributes";

    AppOptions options;
    options.ArchiveFiles = true;
    Transfer({{true, tree.Path("arch") + "/"}}, SavePathState::Grayed, options);
    EXPECT_EQ(Tree(burner), (std::vector<std::string>{"/arch/", "/arch/new.txt"}));
    ASSERT_EQ(burner.FileCount(), 2); // the folder entry and the file
    const TFEntry* file = burner.Root->FirstEntry->Dir->FirstEntry;
    EXPECT_TRUE(file->ArchiveMode);

    // Nothing flagged in the folder: the folder the kept path made goes as well.
    burner.ClearCompilation(600000, 20000);
    Transfer({{true, tree.Path("arch/sub") + "/"}}, SavePathState::Checked, options);
    EXPECT_TRUE(Tree(burner).empty());
    EXPECT_EQ(burner.DirectoryCount(), 0);

    // Without the option every file goes, and none is marked for clearing.
    burner.ClearCompilation(600000, 20000);
    Transfer({{true, tree.Path("arch") + "/"}}, SavePathState::Unchecked);
    EXPECT_EQ(Tree(burner), (std::vector<std::string>{"/sub/", "/sub/old2.txt", "/new.txt", "/old.txt"}));
    for (const auto& entry : burner.Files()) EXPECT_FALSE(entry->ArchiveMode) << entry->LongName;
}

TEST_F(TransferTest, ASourceGoneSinceItWasListedIsLoggedAndTheOthersGoOn) {
    const std::string gone = tree.Path("data/gone.txt");
    EXPECT_EQ(Transfer({{false, gone}, {false, mailFile}}, SavePathState::Unchecked),
              TransferOutcome::Transferred);
    EXPECT_EQ(Tree(burner), std::vector<std::string>{"/a.txt"});
    EXPECT_NE(std::find(log.begin(), log.end(), "SOURCE NOT FOUND: " + gone), log.end());
}

TEST_F(TransferTest, TheSameFolderTwiceIsHandedOverTwice) {
    std::vector<std::string> offered;
    burner.OnAddFile = [&offered](image::TOrbelBurner*, const std::string& fullPath, std::string&,
                                  std::string&, double&, std::uint32_t, std::int64_t,
                                  bool&) { offered.push_back(fullPath); };
    Transfer({{false, mailFolder}, {false, mailFolder}}, SavePathState::Unchecked);
    EXPECT_EQ(offered, (std::vector<std::string>{mailFile, mailFile}));
}

// ---- the session import, from a drive behind the fake kernel ----

using Sector = std::array<std::uint8_t, 2048>;

void PutLe32(Sector& s, std::size_t at, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i) s[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A directory record (ECMA-119 9.1, offsets from 0) with a valid date.
std::size_t PutRecord(Sector& s, std::size_t at, std::uint32_t extent, std::uint32_t size, std::uint8_t flags,
                      const std::string& id) {
    std::size_t length = 33 + id.size();
    length += length % 2;
    s[at] = static_cast<std::uint8_t>(length);
    PutLe32(s, at + 2, extent);
    PutLe32(s, at + 10, size);
    const std::array<std::uint8_t, 6> date = {104, 6, 15, 10, 20, 30};
    std::copy(date.begin(), date.end(), s.begin() + static_cast<std::ptrdiff_t>(at + 18));
    s[at + 25] = flags;
    s[at + 28] = 1;
    s[at + 32] = static_cast<std::uint8_t>(id.size());
    std::memcpy(&s[at + 33], id.data(), id.size());
    return at + length;
}

// One ISO 9660 session at sector 0: the primary descriptor at 16, the terminator at 17 and a root
// directory at 20 that holds OLD.TXT.
std::vector<Sector> OneSessionDisc() {
    std::vector<Sector> disc(32, Sector{});
    Sector& pvd = disc[16];
    pvd[0] = 1;
    std::memcpy(&pvd[1], "CD001", 5);
    pvd[6] = 1;
    PutRecord(pvd, 156, 20, 2048, 0x02, std::string(1, '\0'));
    Sector& end = disc[17];
    end[0] = 255;
    std::memcpy(&end[1], "CD001", 5);
    end[6] = 1;
    Sector& root = disc[20];
    std::size_t at = PutRecord(root, 0, 20, 2048, 0x02, std::string(1, '\0'));
    at = PutRecord(root, at, 20, 2048, 0x02, std::string(1, '\1'));
    PutRecord(root, at, 30, 5, 0, "OLD.TXT;1");
    return disc;
}

class ImportTest : public TransferTest {
protected:
    void SetUp() override {
        TransferTest::SetUp();
        transport::CloseTransport();
        transport::SetModuleLoader(&noModule);
        transport::SetPassThroughKernel(&kernel);
        lorvane::testing::FakeDrive& drive = kernel.AddDrive(0, transport::ScsiAddress{1, 0, 0, 0});
        drive.respond = [this](const lorvane::testing::SeenRequest& request) { return Answer(request); };
        ASSERT_TRUE(burner.InitTransport(true));
        ASSERT_FALSE(burner.DeviceList.empty());
        burner.SetDevice(burner.DeviceList.at(0));
        opcodes.clear();
    }
    void TearDown() override {
        transport::CloseTransport();
        transport::SetPassThroughKernel(nullptr);
        transport::SetModuleLoader(nullptr);
    }

    lorvane::testing::FakeReply Answer(const lorvane::testing::SeenRequest& request) {
        opcodes.push_back(request.cdb.at(0));
        lorvane::testing::FakeReply reply;
        if (request.cdb[0] == 0x43 && (request.cdb[2] & 0x0F) == 1) {
            // READ TOC session information (MMC): one complete session.
            reply.data = {0x00, 0x0A, 1, 1, 0, 0x14, 1, 0, 0, 0, 0, 0};
        } else if (request.cdb[0] == 0x43 && (request.cdb[2] & 0x0F) == 0) {
            // The table of contents in MSF form: track 1 at 00:02:00, that is sector 0.
            reply.data = {0x00, 0x12, 1, 1, 0, 0x14, 1, 0, 0, 0, 2, 0, 0, 0x14, 0xAA, 0, 0, 1, 0, 0};
        } else if (request.cdb[0] == 0x28) {
            const std::uint32_t lba = static_cast<std::uint32_t>(request.cdb[2]) << 24 |
                                      static_cast<std::uint32_t>(request.cdb[3]) << 16 |
                                      static_cast<std::uint32_t>(request.cdb[4]) << 8 | request.cdb[5];
            if (lba < disc.size()) reply.data.assign(disc[lba].begin(), disc[lba].end());
        }
        return reply;
    }

    class NoModule final : public transport::ModuleLoader {
    public:
        void* Open(const std::string&) override { return nullptr; }
        void* Symbol(void*, const char*) override { return nullptr; }
        void Close(void*) override {}
    } noModule;
    lorvane::testing::FakeKernel kernel;
    std::vector<Sector> disc = OneSessionDisc();
    std::vector<std::uint8_t> opcodes;
};

TEST_F(ImportTest, TheImportedSessionComesBeforeTheRows) {
    AppOptions options;
    options.SessionNo = -1;
    EXPECT_EQ(Transfer({{false, mailFile}}, SavePathState::Unchecked, options), TransferOutcome::Transferred);
    EXPECT_EQ(Tree(burner), (std::vector<std::string>{"/OLD.TXT", "/a.txt"}));
    ASSERT_NE(burner.Root->FirstEntry, nullptr);
    EXPECT_TRUE(burner.Root->FirstEntry->Imported);
    EXPECT_EQ(burner.Root->FirstEntry->Extent, 30u);
}

TEST_F(ImportTest, AnEmptyListIsRefusedEvenWithTheImportedEntries) {
    AppOptions options;
    options.SessionNo = 1;
    EXPECT_EQ(Transfer({}, SavePathState::Checked, options), TransferOutcome::NoRows);
    EXPECT_EQ(Tree(burner), std::vector<std::string>{"/OLD.TXT"});
}

TEST_F(ImportTest, SessionZeroAsksTheDriveNothing) {
    EXPECT_EQ(Transfer({{false, mailFile}}, SavePathState::Unchecked), TransferOutcome::Transferred);
    EXPECT_TRUE(opcodes.empty());
    EXPECT_EQ(Tree(burner), std::vector<std::string>{"/a.txt"});
}

// The root's sector cannot be read: burning on would hide every file of the earlier session.
TEST_F(ImportTest, ASessionThatCouldNotBeReadInFullStopsTheBurn) {
    kernel.Drive(0).respond = [this](const lorvane::testing::SeenRequest& request) {
        if (request.cdb[0] == 0x28 && request.cdb[5] == 20) {
            lorvane::testing::FakeReply unreadable;
            unreadable.scsiStatus = 0x02;
            unreadable.driverStatus = 0x08;
            unreadable.sense = {0x70, 0, 0x03, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x11, 0x00};
            return unreadable;
        }
        return Answer(request);
    };
    AppOptions options;
    options.SessionNo = -1;
    EXPECT_EQ(Transfer({{false, mailFile}}, SavePathState::Unchecked, options),
              TransferOutcome::ImportIncomplete);
    EXPECT_TRUE(burner.ImportIncomplete());
}

TEST_F(ImportTest, ADiscWithoutASessionStillTakesTheRows) {
    disc.clear();
    kernel.Drive(0).respond = [](const lorvane::testing::SeenRequest&) {
        lorvane::testing::FakeReply reply;
        reply.data.assign(12, 0); // no complete session
        return reply;
    };
    AppOptions options;
    options.SessionNo = -1;
    EXPECT_EQ(Transfer({{false, mailFile}}, SavePathState::Unchecked, options), TransferOutcome::Transferred);
    EXPECT_EQ(Tree(burner), std::vector<std::string>{"/a.txt"});
}

// ---- the size cells ----

TEST(SizeCellText, ShowsThousandsAndLeavesZeroEmpty) {
    const struct {
        std::int64_t bytes;
        const char* text;
    } kCases[] = {
        {0, ""},
        {1, "1"},
        {999, "999"},
        {1000, "1,000"},
        {1200, "1,200"},
        {1234567, "1,234,567"},
        {5368709120, "5,368,709,120"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(SizeCellText(c.bytes), c.text);
    }
}

} // namespace
} // namespace lorvane::app
