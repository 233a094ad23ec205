// Compilations recorded on the virtual recorder through the whole pipeline: the producer reads ahead,
// the writer sends every block, closes as the medium needs, and reports once.

#include "pipeline/burn_fixture.h"

namespace lorvane::pipeline::testing {
namespace {

using recorder::MediumKind;

using Burn = BurnFixture;

struct MediumCase {
    MediumKind kind;
    const char* name;
};

class BurnOnMedium : public Burn, public ::testing::WithParamInterface<MediumCase> {};

TEST_P(BurnOnMedium, ACompilationLandsSectorForSector) {
    Insert(GetParam().kind);
    AddSource("a.txt", PatternBytes(1, 1));
    AddSource("docs/b.bin", PatternBytes(200000, 2));
    AddSource("docs/empty", {});
    AddSource("big.bin", PatternBytes(3 * 1024 * 1024 + 5, 3));
    Prepare(false);
    const Bytes expected = ExpectedSession();
    ASSERT_TRUE(burner->Burn());
    EXPECT_EQ(done.Wait(), "");
    burner->WaitForWriteEnd();
    EXPECT_EQ(done.Count(), 1u);
    EXPECT_FALSE(image::TOrbelBurner::Writing());
    EXPECT_EQ(burner->WrittenBytes.load(), static_cast<std::int64_t>(expected.size()));
    EXPECT_TRUE(log.Contains(std::string(">>> STARTING WRITE PROCESS ON ") + GetParam().name));
    const Bytes onDisc = ReadFileBytes(DiscFile(), 0, expected.size());
    EXPECT_TRUE(onDisc == expected) << "disc and session differ";
}

INSTANTIATE_TEST_SUITE_P(
    EveryWritableMedium, BurnOnMedium,
    ::testing::Values(MediumCase{MediumKind::CdR, "CD-R"}, MediumCase{MediumKind::CdRw, "CD-RW"},
                      MediumCase{MediumKind::DvdR, "DVD-R"}, MediumCase{MediumKind::DvdRw, "DVD-RW"},
                      MediumCase{MediumKind::DvdPlusR, "DVD+R"}, MediumCase{MediumKind::DvdPlusRw, "DVD+RW"},
                      MediumCase{MediumKind::DvdRam, "DVD-RAM"}),
    [](const auto& testInfo) {
        std::string name = testInfo.param.name;
        for (char& ch : name)
            if (ch == '-')
                ch = '_';
            else if (ch == '+')
                ch = 'P';
        return name;
    });

} // namespace
} // namespace lorvane::pipeline::testing
