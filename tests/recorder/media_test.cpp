#include "recorder/media.h"

#include "recorder/disc_medium.h"
#include "recorder/disc_state.h"

#include "media_test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

namespace lorvane::recorder {
namespace {

using namespace testsupport;
using Sense = std::tuple<int, int, int>;

TEST(MediumKindNames, NamesGoBothWaysAndNothingElseIsAName) {
    for (MediumKind kind : {MediumKind::None, MediumKind::CdRom, MediumKind::CdR, MediumKind::CdRw,
                            MediumKind::DvdRom, MediumKind::DvdR, MediumKind::DvdRw, MediumKind::DvdPlusR,
                            MediumKind::DvdPlusRw, MediumKind::DvdRam})
        EXPECT_EQ(MediumKindFromName(MediumKindName(kind)), kind);
    for (const char* unknown : {"", "CD-R", "cdr", "bd-r", "dvd-r "})
        EXPECT_EQ(MediumKindFromName(unknown), std::nullopt);
}

class InsertDiscTest : public DiscFixture {
public:
    std::uint16_t Profile() {
        return drive->WithMedium([](Medium* m) { return m ? m->CurrentProfile() : std::uint16_t{0xFFFF}; });
    }
    void MakeImage(std::uint64_t bytes) {
        std::ofstream(drive->DiscPath(), std::ios::binary | std::ios::trunc) << std::string(2048, 'x');
        std::filesystem::resize_file(drive->DiscPath(), bytes);
    }
};

TEST_F(InsertDiscTest, ChoosesTheDiscFromTheFileAndTheKindAsked) {
    ASSERT_EQ(InsertDisc(*drive, std::nullopt), std::nullopt);
    EXPECT_EQ(Profile(), 0x0009) << "a new file is a blank CD-R";
    EXPECT_TRUE(std::filesystem::exists(DiscStatePath(drive->DiscPath())));

    Fresh(MediumKind::DvdPlusRw);
    EXPECT_EQ(Profile(), 0x001A);
    ASSERT_EQ(InsertDisc(*drive, std::nullopt), std::nullopt);
    EXPECT_EQ(Profile(), 0x001A) << "the saved disc comes back";
    ASSERT_EQ(InsertDisc(*drive, MediumKind::DvdPlusRw), std::nullopt);
    const auto refused = InsertDisc(*drive, MediumKind::DvdR);
    ASSERT_TRUE(refused);
    EXPECT_NE(refused->find("dvd+rw"), std::string::npos) << *refused;

    ASSERT_EQ(InsertDisc(*drive, MediumKind::None), std::nullopt);
    EXPECT_FALSE(drive->HasMedium());
}

TEST_F(InsertDiscTest, ImageFilesBecomePressedDiscs) {
    MakeImage(300 * 2048 + 100);
    EXPECT_TRUE(InsertDisc(*drive, MediumKind::CdR)) << "data without a state is no blank disc";
    ASSERT_EQ(InsertDisc(*drive, std::nullopt), std::nullopt);
    EXPECT_EQ(Profile(), 0x0008);
    EXPECT_EQ(Capacity().data, (Bytes{0, 0, 0x01, 0x2C, 0, 0, 0x08, 0})) << "301 blocks, the last one partly";
    ASSERT_EQ(InsertDisc(*drive, MediumKind::DvdRom), std::nullopt);
    EXPECT_EQ(Profile(), 0x0010);

    MakeImage(std::uint64_t{500000} * 2048); // sparse: larger than any CD
    ASSERT_EQ(InsertDisc(*drive, std::nullopt), std::nullopt);
    EXPECT_EQ(Profile(), 0x0010);
    EXPECT_TRUE(InsertDisc(*drive, MediumKind::CdRom)) << "too large for a CD-ROM";

    MakeImage(0);
    EXPECT_TRUE(InsertDisc(*drive, MediumKind::CdRom)) << "a pressed disc needs content";
}

TEST_F(InsertDiscTest, ADamagedStateIsReportedNotGuessed) {
    std::ofstream(DiscStatePath(drive->DiscPath())) << "lorvane-disc-state 9\n";
    const auto refused = InsertDisc(*drive, std::nullopt);
    ASSERT_TRUE(refused);
    EXPECT_NE(refused->find("damaged"), std::string::npos) << *refused;
}

// A second recorder on the same disc file finds the disc as the first one left it, and the file is
// a plain image: sector N at N x 2048.
TEST_F(InsertDiscTest, TheDiscPersistsAcrossRecorders) {
    Insert(MediumKind::CdR);
    CdTrackAtOnce(true);
    WriteRun(0, 300);
    ASSERT_TRUE(SyncCache().Good());
    ASSERT_TRUE(Close(2).Good());
    WriteRun(11702, 62); // second session left open, not even flushed
    const Bytes disc = DiscInformation().data, toc = Toc(0).data, next = TrackInformation(1, 0xFF).data;

    VirtualRecorder other(clock);
    ASSERT_EQ(InsertDisc(*drive, MediumKind::None), std::nullopt); // the first drive lets go of the disc
    VirtualDrive& again = other.AddDrive(DriveIdentity(), drive->DiscPath());
    again.SetReportMediumChange(false);
    ASSERT_EQ(InsertDisc(again, std::nullopt), std::nullopt);
    auto srb = [&](std::initializer_list<std::uint8_t> cdb, std::size_t length) {
        Bytes buffer(length, 0xEE);
        auto request = MakeExecute(0, again.Target(), cdb, transport::srbflag::kRead, buffer.data(),
                                   static_cast<std::uint32_t>(length));
        other.SendCommand(&request);
        return buffer;
    };
    EXPECT_EQ(srb({0x51, 0, 0, 0, 0, 0, 0, 0, 34, 0}, 34), disc);
    EXPECT_EQ(srb({0x43, 0, 0, 0, 0, 0, 0, 0, 252, 0}, 252), toc);
    EXPECT_EQ(srb({0x52, 1, 0, 0, 0, 0xFF, 0, 0, 36, 0}, 36), next);
    EXPECT_EQ(srb({0x28, 0, 0, 0, 0x2D, 0xF3, 0, 0, 1, 0}, 2048),
              Bytes(2048, std::uint8_t{(11702 + 61) & 0xFF}));

    std::ifstream image(again.DiscPath(), std::ios::binary);
    image.seekg(299 * 2048);
    EXPECT_EQ(image.get(), 299 & 0xFF);
    EXPECT_EQ(std::filesystem::file_size(again.DiscPath()), (11702u + 62u) * 2048u);
}

// Standard ISO tools read the disc file as the image it is: an ISO 9660 image written to a CD-R
// through the recorder lists its files with xorriso.
TEST_F(InsertDiscTest, IsoToolsReadWhatWasRecorded) {
    if (std::system("command -v genisoimage >/dev/null 2>&1 && command -v xorriso >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "genisoimage and xorriso are not installed";
    const std::filesystem::path tree = scratch.File("tree"), iso = scratch.File("session.iso");
    std::filesystem::create_directories(tree);
    std::ofstream(tree / "README.TXT") << "recorded through the virtual recorder\n";
    const std::string make = "genisoimage -quiet -r -o '" + iso.string() + "' '" + tree.string() + "'";
    ASSERT_EQ(std::system(make.c_str()), 0);
    std::ifstream in(iso, std::ios::binary);
    const Bytes image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(image.size() % 2048, 0u);

    Insert(MediumKind::CdR);
    CdTrackAtOnce(true);
    const auto blocks = static_cast<std::uint16_t>(image.size() / 2048);
    ASSERT_TRUE(Out({0x2A, 0, 0, 0, 0, 0, 0, B(blocks, 1), B(blocks, 0), 0}, image).Good());
    ASSERT_TRUE(SyncCache().Good());
    ASSERT_TRUE(Close(2).Good());

    const std::string list = "xorriso -indev '" + drive->DiscPath().string() + "' -ls / 2>/dev/null";
    FILE* pipe = ::popen(list.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char chunk[256];
    while (std::fgets(chunk, sizeof chunk, pipe) != nullptr) output += chunk;
    EXPECT_EQ(::pclose(pipe), 0);
    EXPECT_NE(output.find("README.TXT"), std::string::npos) << output;
}

TEST_F(InsertDiscTest, ADiscChangeIsReportedOnceAsUnitAttention) {
    const auto changeDisc = [&] {
        drive->ChangeMedium(
            std::make_unique<DiscMedium>(BlankDisc(MediumKind::CdR), std::filesystem::path()));
    };
    drive->SetReportMediumChange(true);
    Insert(MediumKind::CdR);
    EXPECT_TRUE(NoData({0, 0, 0, 0, 0, 0}).Good()) << "the disc held at start raises no unit attention";

    changeDisc();
    EXPECT_TRUE(In({0x12, 0, 0, 0, 36, 0}, 36).Good()) << "INQUIRY is answered regardless";
    EXPECT_EQ(NoData({0, 0, 0, 0, 0, 0}).Sense(), Sense(6, 0x28, 0));
    EXPECT_TRUE(NoData({0, 0, 0, 0, 0, 0}).Good());

    changeDisc();
    const Reply sense = In({0x03, 0, 0, 0, 18, 0}, 18);
    EXPECT_EQ(Slice(sense.data, 0, 14), (Bytes{0x70, 0, 0x06, 0, 0, 0, 0, 0x0A, 0, 0, 0, 0, 0x28, 0x00}));
    EXPECT_TRUE(DiscInformation().Good()) << "REQUEST SENSE took the unit attention";

    drive->SetReportMediumChange(false);
    changeDisc();
    EXPECT_TRUE(NoData({0, 0, 0, 0, 0, 0}).Good());
}

} // namespace
} // namespace lorvane::recorder
