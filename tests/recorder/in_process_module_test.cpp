#include "recorder/virtual_recorder.h"

#include "recorder_test_support.h"
#include "support/fake_clock.h"
#include "transport/aspi.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace lorvane::recorder {
namespace {

using testsupport::MakeExecute;
using Bytes = std::vector<std::uint8_t>;
namespace ts = transport::srbstatus;

template <class Fn> Fn AsFunction(void* symbol) {
    Fn fn = nullptr;
    std::memcpy(&fn, &symbol, sizeof fn);
    return fn;
}

// Byte 0-35 of the default drive's INQUIRY data.
const Bytes kInquiry36 = {0x05, 0x80, 0x05, 0x02, 0x5B, 0x00, 0x00, 0x00, 'L', 'O', 'R', 'V',
                          'A',  'N',  'E',  ' ',  'V',  'I',  'R',  'T',  'U', 'A', 'L', ' ',
                          'R',  'E',  'C',  'O',  'R',  'D',  'E',  'R',  '1', '.', '0', '0'};

class InProcessModuleTest : public ::testing::Test {
protected:
    ~InProcessModuleTest() override { VirtualRecorder::Install(nullptr); }
    testsupport::ScratchFolder scratch;
    testing::FakeClock clock;
    VirtualRecorder recorder{clock};
    InProcessModuleLoader loader;
};

TEST_F(InProcessModuleTest, OpensTheModuleFileNameOnlyWhileARecorderIsInstalled) {
    EXPECT_EQ(loader.Open("./libwnaspi32.so"), nullptr) << "nothing installed";
    VirtualRecorder::Install(&recorder);
    constexpr struct {
        const char* path;
        bool opens;
    } kCases[] = {{"./libwnaspi32.so", true},
                  {"libwnaspi32.so", true},
                  {"/opt/x/lib/libwnaspi32.so", true},
                  {"libwnaspi32.so.1", false},
                  {"WNASPI32.DLL", false},
                  {"/libwnaspi32.so/other.so", false},
                  {"", false}};
    int opened = 0;
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.path);
        void* module = loader.Open(c.path);
        EXPECT_EQ(module != nullptr, c.opens);
        if (module) ++opened;
    }
    EXPECT_EQ(loader.OpenCount(), opened);
}

TEST_F(InProcessModuleTest, EntryPointsForwardToTheInstalledRecorder) {
    recorder.AddDrive({}, scratch.File("a.img"));
    VirtualRecorder::Install(&recorder);
    void* module = loader.Open("./libwnaspi32.so");
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(loader.Symbol(module, "SendASPI32Commandx"), nullptr);
    EXPECT_EQ(loader.Symbol(module, "InitASPI"), nullptr);
    EXPECT_EQ(loader.Symbol(nullptr, "SendASPI32Command"), nullptr);
    auto support = AsFunction<transport::GetSupportInfoFn>(loader.Symbol(module, "GetASPI32SupportInfo"));
    auto send = AsFunction<transport::SendCommandFn>(loader.Symbol(module, "SendASPI32Command"));
    ASSERT_NE(support, nullptr);
    ASSERT_NE(send, nullptr);

    EXPECT_EQ(support(), 0x0101u);
    Bytes buffer(36);
    auto srb = MakeExecute(0, 0, {0x12, 0, 0, 0, 36, 0}, transport::srbflag::kRead, buffer.data(), 36);
    EXPECT_EQ(send(&srb), ts::kComplete);
    EXPECT_EQ(buffer, kInquiry36);
    EXPECT_EQ(send(nullptr), 4u);

    loader.Close(module);
    EXPECT_EQ(loader.OpenCount(), 0);
    VirtualRecorder::Install(nullptr);
    EXPECT_EQ(support(), 0xE800u) << "no recorder, no adapters";
}

TEST_F(InProcessModuleTest, DestroyedRecorderUninstallsItself) {
    auto own = std::make_unique<VirtualRecorder>(clock);
    VirtualRecorder::Install(own.get());
    own.reset();
    EXPECT_EQ(VirtualRecorder::Installed(), nullptr);
    EXPECT_EQ(VirtualRecorder::EntryPoints().getSupportInfo(), 0xE800u);
}

// The transport's own road: InitASPI without preferring the built-in layer opens the manager module
// from the current folder and takes its two entry points.
TEST_F(InProcessModuleTest, TransportSelectsTheInstalledRecorderAsTheManager) {
    recorder.AddDrive({}, scratch.File("a.img"));
    VirtualRecorder::Install(&recorder);
    transport::SetModuleLoader(&loader);
    ASSERT_TRUE(transport::InitASPI(false));
    EXPECT_EQ(transport::ASPILayerName(), transport::kManagerLayerName);
    EXPECT_EQ(loader.OpenCount(), 1);
    EXPECT_EQ(transport::GetASPI32SupportInfo(), 0x0101u);
    Bytes buffer(36);
    auto srb = MakeExecute(0, 0, {0x12, 0, 0, 0, 36, 0}, transport::srbflag::kRead, buffer.data(), 36);
    EXPECT_EQ(transport::SendASPI32Command(&srb), ts::kComplete);
    EXPECT_EQ(buffer, kInquiry36);
    transport::FreeASPI();
    EXPECT_EQ(loader.OpenCount(), 0);
    transport::SetModuleLoader(nullptr);
}

// The built module, loaded the way the transport loads a manager.
TEST(ManagerModule, ServesOneDefaultDriveOnTheDiscFileFromTheEnvironment) {
    const char* bin = std::getenv("LORVANE_BIN");
    if (bin == nullptr || *bin == '\0') GTEST_SKIP() << "LORVANE_BIN is not set";
    testsupport::ScratchFolder scratch;
    const std::filesystem::path disc = scratch.File("module-disc.img");
    std::optional<std::string> previous;
    if (const char* old = std::getenv("LORVANE_VIRTUAL_DISC")) previous = old;
    ::setenv("LORVANE_VIRTUAL_DISC", disc.c_str(), 1);

    void* module =
        ::dlopen((std::filesystem::path(bin) / transport::kManagerModuleFile).c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << ::dlerror();
    auto support = AsFunction<transport::GetSupportInfoFn>(::dlsym(module, transport::kGetSupportInfoName));
    auto send = AsFunction<transport::SendCommandFn>(::dlsym(module, transport::kSendCommandName));
    ASSERT_NE(support, nullptr);
    ASSERT_NE(send, nullptr);
    EXPECT_EQ(::dlsym(module, "_ZN7lorvane8recorder15VirtualRecorder9InstalledEv"), nullptr)
        << "the module exports its two entry points only";

    EXPECT_EQ(support(), 0x0101u);
    Bytes buffer(96, 0xEE);
    auto srb = MakeExecute(0, 0, {0x12, 0, 0, 0, 36, 0}, transport::srbflag::kRead, buffer.data(), 96);
    EXPECT_EQ(send(&srb), ts::kComplete);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 36), kInquiry36);
    EXPECT_EQ(buffer[36], 0xEE);
    EXPECT_TRUE(std::filesystem::exists(disc));

    ::dlclose(module);
    if (previous)
        ::setenv("LORVANE_VIRTUAL_DISC", previous->c_str(), 1);
    else
        ::unsetenv("LORVANE_VIRTUAL_DISC");
}

} // namespace
} // namespace lorvane::recorder
