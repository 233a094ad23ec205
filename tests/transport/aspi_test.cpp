// Provider choice between the manager module and the SG_IO layer, the dispatching entry points, and
// resetting and freeing the transport.

#include "transport/aspi.h"
#include "transport/pass_through.h"
#include "transport/srb.h"

#include "support/fake_kernel.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace lorvane::transport {
namespace {

using lorvane::testing::FakeKernel;

// Entry points of the fake manager module; they count their calls.
int g_moduleSupportCalls = 0;
int g_moduleSendCalls = 0;
void* g_moduleLastSrb = nullptr;
std::uint32_t ModuleSupportInfo() {
    ++g_moduleSupportCalls;
    return 0x0101;
}
std::uint32_t ModuleSend(void* srb) {
    ++g_moduleSendCalls;
    g_moduleLastSrb = srb;
    static_cast<SrbHeader*>(srb)->status = srbstatus::kComplete;
    return srbstatus::kComplete;
}

template <class Fn> void* AsSymbol(Fn fn) {
    void* symbol = nullptr;
    static_assert(sizeof fn == sizeof symbol);
    std::memcpy(&symbol, &fn, sizeof symbol);
    return symbol;
}

// A module loader whose "modules" are the entry points above, found at chosen paths.
class FakeLoader final : public ModuleLoader {
public:
    struct Module {
        bool hasSupportInfo = true;
        bool hasSendCommand = true;
    };
    std::map<std::string, Module> modules; // path as InitASPI asks for it -> module
    bool throws = false;
    std::vector<std::string> asked; // every path Open() was called with
    int opens = 0;
    int closes = 0;

    void* Open(const std::string& path) override {
        asked.push_back(path);
        if (throws) throw std::runtime_error("loader failure");
        const auto found = modules.find(path);
        if (found == modules.end()) return nullptr;
        ++opens;
        return &found->second;
    }
    void* Symbol(void* module, const char* name) override {
        const auto* m = static_cast<Module*>(module);
        if (std::strcmp(name, "GetASPI32SupportInfo") == 0)
            return m->hasSupportInfo ? AsSymbol(&ModuleSupportInfo) : nullptr;
        if (std::strcmp(name, "SendASPI32Command") == 0)
            return m->hasSendCommand ? AsSymbol(&ModuleSend) : nullptr;
        return nullptr;
    }
    void Close(void*) override { ++closes; }
};

class TransportSelection : public ::testing::Test {
protected:
    void SetUp() override {
        CloseTransport();
        SetPassThroughKernel(&kernel);
        SetModuleLoader(&loader);
        KeepDriveOpen = false;
        g_moduleSupportCalls = g_moduleSendCalls = 0;
        g_moduleLastSrb = nullptr;
    }
    void TearDown() override {
        CloseTransport();
        KeepDriveOpen = false;
        SetModuleLoader(nullptr);
        SetPassThroughKernel(nullptr);
    }
    void AddDrive() { kernel.AddDrive(0, ScsiAddress{.host = 0, .channel = 0, .target = 1, .lun = 0}); }

    FakeKernel kernel;
    FakeLoader loader;
};

TEST_F(TransportSelection, ChoosesTheProviderByPreferenceAndWhatIsPresent) {
    enum class Where { None, CurrentFolder, SearchPath, Throws };
    const struct Case {
        const char* name;
        bool useBuiltIn;
        bool drives;
        Where module;
        bool initialised;
        const char* layer;
        std::vector<std::string> asked; // module paths tried, in order
    } cases[] = {
        {"built-in preferred, drives and module", true, true, Where::CurrentFolder, true, "OBASPI32", {}},
        {"built-in preferred, no drive",
         true,
         false,
         Where::SearchPath,
         true,
         "WNASPI32.DLL",
         {"./libwnaspi32.so", "libwnaspi32.so"}},
        {"built-in preferred, nothing",
         true,
         false,
         Where::None,
         false,
         "",
         {"./libwnaspi32.so", "libwnaspi32.so"}},
        {"module preferred, in current folder",
         false,
         true,
         Where::CurrentFolder,
         true,
         "WNASPI32.DLL",
         {"./libwnaspi32.so"}},
        {"module preferred, through search",
         false,
         true,
         Where::SearchPath,
         true,
         "WNASPI32.DLL",
         {"./libwnaspi32.so", "libwnaspi32.so"}},
        {"module preferred but absent: built-in fallback",
         false,
         true,
         Where::None,
         true,
         "OBASPI32",
         {"./libwnaspi32.so", "libwnaspi32.so"}},
        {"module load throws: built-in fallback",
         false,
         true,
         Where::Throws,
         true,
         "OBASPI32",
         {"./libwnaspi32.so", "libwnaspi32.so"}},
        {"module load throws, no drive",
         false,
         false,
         Where::Throws,
         false,
         "",
         {"./libwnaspi32.so", "libwnaspi32.so"}},
        {"no module, no drive", false, false, Where::None, false, "", {"./libwnaspi32.so", "libwnaspi32.so"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CloseTransport();
        FakeKernel caseKernel; // fresh drives and modules for every case
        FakeLoader caseLoader;
        SetPassThroughKernel(&caseKernel);
        SetModuleLoader(&caseLoader);
        g_moduleSupportCalls = 0;
        if (c.drives) caseKernel.AddDrive(0, ScsiAddress{.host = 0, .channel = 0, .target = 1, .lun = 0});
        if (c.module == Where::CurrentFolder) caseLoader.modules["./libwnaspi32.so"] = {};
        if (c.module == Where::SearchPath) caseLoader.modules["libwnaspi32.so"] = {};
        caseLoader.throws = c.module == Where::Throws;

        EXPECT_EQ(InitASPI(c.useBuiltIn), c.initialised);
        EXPECT_EQ(ASPIInitialized(), c.initialised);
        EXPECT_EQ(ASPILayerName(), c.layer);
        EXPECT_EQ(caseLoader.asked, c.asked);
        const bool manager = std::string(c.layer) == "WNASPI32.DLL";
        EXPECT_EQ(g_moduleSupportCalls, manager ? 1 : 0); // the manager's own initialisation call
        // The layer that was not chosen keeps no drive open.
        EXPECT_EQ(caseKernel.OpenHandles(), 0);
        if (!c.initialised) {
            EXPECT_EQ(GetASPI32SupportInfo(), 0xE800u);
            SrbExecuteScsi srb{};
            srb.header.command = srbcmd::kExecuteScsi;
            srb.cdb[0] = 0x00;
            std::vector<std::uint8_t> before(sizeof srb);
            std::memcpy(before.data(), &srb, sizeof srb);
            EXPECT_EQ(SendASPI32Command(&srb), 0u);
            EXPECT_EQ(std::memcmp(before.data(), &srb, sizeof srb), 0) << "the SRB must stay untouched";
            EXPECT_EQ(caseKernel.OpenedPaths().size(), c.drives ? 1u : 0u)
                << "only the scan may open a drive";
        }
        CloseTransport(); // before caseKernel goes
        SetPassThroughKernel(&kernel);
        SetModuleLoader(&loader);
    }
}

TEST_F(TransportSelection, ManagerPreferredNeverScansTheDrives) {
    AddDrive();
    loader.modules["./libwnaspi32.so"] = {};
    ASSERT_TRUE(InitASPI(false));
    EXPECT_TRUE(kernel.OpenedPaths().empty());
    EXPECT_EQ(Transport().library, &loader.modules["./libwnaspi32.so"]);
}

TEST_F(TransportSelection, EntryPointsDispatchToTheChosenProvider) {
    loader.modules["libwnaspi32.so"] = {};
    ASSERT_TRUE(InitASPI(false));
    SrbHeader srb{};
    EXPECT_EQ(SendASPI32Command(&srb), srbstatus::kComplete);
    EXPECT_EQ(g_moduleSendCalls, 1);
    EXPECT_EQ(g_moduleLastSrb, &srb);
    EXPECT_EQ(GetASPI32SupportInfo(), 0x0101u);

    CloseTransport();
    AddDrive();
    ASSERT_TRUE(InitASPI(true));
    EXPECT_EQ(GetASPI32SupportInfo(), 0x0101u); // one adapter, from the SG_IO layer's table
    SrbGetDeviceType type{};
    type.header.command = srbcmd::kGetDeviceType;
    type.target = 1;
    EXPECT_EQ(SendASPI32Command(&type), srbstatus::kComplete);
    EXPECT_EQ(type.deviceType, 0x05);
    EXPECT_EQ(g_moduleSendCalls, 1);
}

TEST_F(TransportSelection, ModuleWithoutAnEntryPointIsRefusedAndLeavesNoTransport) {
    const struct {
        bool hasSupportInfo, hasSendCommand;
        const char* message;
    } cases[] = {
        {false, true, "Assertion failure (obASPI, line 477)"},
        {true, false, "Assertion failure (obASPI, line 478)"},
        {false, false, "Assertion failure (obASPI, line 477)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        CloseTransport();
        loader.modules["./libwnaspi32.so"] = {c.hasSupportInfo, c.hasSendCommand};
        const int closesBefore = loader.closes;
        try {
            (void)InitASPI(false);
            ADD_FAILURE() << "no AssertionFailure";
        } catch (const AssertionFailure& failure) {
            EXPECT_STREQ(failure.what(), c.message);
        }
        EXPECT_FALSE(ASPIInitialized());
        EXPECT_EQ(Transport().library, nullptr);
        EXPECT_EQ(loader.closes, closesBefore + 1) << "the module must be closed again";
        EXPECT_EQ(g_moduleSupportCalls, 0);
        SrbHeader srb{};
        EXPECT_EQ(SendASPI32Command(&srb), 0u); // no null entry point is called
        EXPECT_EQ(srb.status, 0);
        EXPECT_EQ(GetASPI32SupportInfo(), 0xE800u);
    }
}

TEST_F(TransportSelection, SecondInitKeepsTheActiveProvider) {
    AddDrive();
    loader.modules["./libwnaspi32.so"] = {};
    ASSERT_TRUE(InitASPI(true));
    const auto opened = kernel.OpenedPaths().size();
    // The built-in layer is open, so its scan reports 0 drives: the state stays as it is.
    EXPECT_TRUE(InitASPI(true));
    EXPECT_TRUE(InitASPI(false));
    EXPECT_EQ(ASPILayerName(), "OBASPI32");
    EXPECT_EQ(kernel.OpenedPaths().size(), opened);
    EXPECT_TRUE(loader.asked.empty());

    CloseTransport();
    ASSERT_TRUE(InitASPI(false));
    ASSERT_EQ(ASPILayerName(), "WNASPI32.DLL");
    EXPECT_TRUE(InitASPI(false));
    EXPECT_TRUE(InitASPI(true)); // the manager stays too
    EXPECT_EQ(ASPILayerName(), "WNASPI32.DLL");
    EXPECT_EQ(loader.opens, 1);
    EXPECT_EQ(g_moduleSupportCalls, 3); // once per InitASPI
}

TEST_F(TransportSelection, ResetRescansTheBuiltInLayer) {
    AddDrive();
    ASSERT_TRUE(InitASPI(true));
    EXPECT_EQ(kernel.Drive(0).inquiries, 1);

    KeepDriveOpen = true; // as during a write: the handle stays open
    SrbExecuteScsi srb{};
    srb.header.command = srbcmd::kExecuteScsi;
    srb.header.flags = srbflag::kNoData;
    srb.target = 1;
    srb.cdbLength = 6;
    srb.senseLength = kSenseLengthAsked;
    ASSERT_EQ(SendASPI32Command(&srb), srbstatus::kComplete);
    ASSERT_EQ(kernel.OpenHandles(), 1);
    const int closesBefore = kernel.Drive(0).closes;

    ResetASPI();
    EXPECT_TRUE(ASPIInitialized());
    EXPECT_EQ(ASPILayerName(), "OBASPI32");
    EXPECT_EQ(kernel.OpenHandles(), 0) << "the kept handle is closed by the reset";
    EXPECT_EQ(kernel.Drive(0).closes, closesBefore + 2); // the kept handle, then the new scan's probe
    EXPECT_EQ(kernel.Drive(0).inquiries, 2) << "the drives are scanned again";
    EXPECT_EQ(kernel.BadCloses(), 0);
}

TEST_F(TransportSelection, ResetReloadsTheModuleWithTheRememberedPreference) {
    AddDrive();
    loader.modules["./libwnaspi32.so"] = {};
    ASSERT_TRUE(InitASPI(false));
    ResetASPI();
    EXPECT_EQ(ASPILayerName(), "WNASPI32.DLL"); // still the preferred manager, not the drives found
    EXPECT_EQ(loader.opens, 2);
    EXPECT_EQ(loader.closes, 1);
    EXPECT_TRUE(kernel.OpenedPaths().empty());

    // The module vanished in between: the reset falls back to the drives.
    loader.modules.clear();
    ResetASPI();
    EXPECT_TRUE(ASPIInitialized());
    EXPECT_EQ(ASPILayerName(), "OBASPI32");
    EXPECT_EQ(loader.closes, 2);
}

TEST_F(TransportSelection, ResetSurvivesAModuleThatLostAnEntryPoint) {
    loader.modules["./libwnaspi32.so"] = {};
    ASSERT_TRUE(InitASPI(false));
    loader.modules["./libwnaspi32.so"].hasSendCommand = false;
    EXPECT_NO_THROW(ResetASPI());
    EXPECT_FALSE(ASPIInitialized());
    SrbHeader srb{};
    EXPECT_EQ(SendASPI32Command(&srb), 0u);
}

TEST_F(TransportSelection, ALoaderThatGoesAwayTakesItsModuleWithIt) {
    {
        FakeLoader scoped;
        scoped.modules["./libwnaspi32.so"] = {};
        SetModuleLoader(&scoped);
        ASSERT_TRUE(InitASPI(false));
    }
    EXPECT_FALSE(ASPIInitialized());
    EXPECT_EQ(Transport().library, nullptr);
    SrbHeader srb{};
    EXPECT_EQ(SendASPI32Command(&srb), 0u);
    CloseTransport(); // must not call into the destroyed loader
    SetModuleLoader(&loader);
    EXPECT_FALSE(InitASPI(false)); // the default loader of this fixture has no module
}

TEST_F(TransportSelection, FreeUnloadsTheModule) {
    loader.modules["./libwnaspi32.so"] = {};
    ASSERT_TRUE(InitASPI(false));
    FreeASPI();
    EXPECT_FALSE(ASPIInitialized());
    EXPECT_EQ(Transport().library, nullptr);
    EXPECT_EQ(loader.closes, 1);
    SrbHeader srb{};
    EXPECT_EQ(SendASPI32Command(&srb), 0u);
    EXPECT_EQ(g_moduleSendCalls, 0);
    FreeASPI(); // nothing left to free
    EXPECT_EQ(loader.closes, 1);
}

TEST_F(TransportSelection, CloseTransportClosesKeptDriveHandles) {
    AddDrive();
    ASSERT_TRUE(InitASPI(true));
    KeepDriveOpen = true;
    SrbExecuteScsi srb{};
    srb.header.command = srbcmd::kExecuteScsi;
    srb.target = 1;
    srb.cdbLength = 6;
    ASSERT_EQ(SendASPI32Command(&srb), srbstatus::kComplete);
    ASSERT_EQ(kernel.OpenHandles(), 1);
    CloseTransport();
    EXPECT_EQ(kernel.OpenHandles(), 0);
    EXPECT_FALSE(ASPIInitialized());
    EXPECT_EQ(ASPILayerName(), "");
}

// The virtual recorder's module, loaded with dlopen from the current folder as a user would run it.
TEST_F(TransportSelection, LoadsTheBuiltManagerModule) {
    const char* bin = std::getenv("LORVANE_BIN");
    if (bin == nullptr) GTEST_SKIP() << "LORVANE_BIN not set";
    if (!std::filesystem::exists(std::filesystem::path(bin) / kManagerModuleFile))
        GTEST_SKIP() << "module not built in " << bin;
    SetModuleLoader(nullptr);
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(bin);
    const bool initialised = InitASPI(true); // no drive in the fake kernel: the module is the fallback
    std::filesystem::current_path(previous);
    ASSERT_TRUE(initialised);
    EXPECT_EQ(ASPILayerName(), "WNASPI32.DLL");
    EXPECT_NE(Transport().library, nullptr);
    EXPECT_EQ(GetASPI32SupportInfo() >> 8, srbstatus::kComplete);

    SrbHostAdapterInquiry inquiry{};
    inquiry.header.command = srbcmd::kHostAdapterInquiry;
    EXPECT_EQ(SendASPI32Command(&inquiry), srbstatus::kComplete);
    EXPECT_GE(inquiry.adapterCount, 1);
    FreeASPI();
    EXPECT_FALSE(ASPIInitialized());
}

} // namespace
} // namespace lorvane::transport
