// The loadable recorder puts the disc of its disc file in the tray; each case runs in a child process
// of its own, since the module keeps one recorder for the life of the process.

#include "recorder/media.h"
#include "recorder_test_support.h"
#include "transport/aspi.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace lorvane::recorder {
namespace {

// Loads the module in a child with the given environment, asks it for its adapters (which makes the
// recorder and its disc) and returns the disc state it saved.
std::string StateAfterLoading(const std::filesystem::path& disc, std::optional<std::string> medium) {
    const char* bin = std::getenv("LORVANE_BIN");
    const pid_t child = ::fork();
    if (child == 0) {
        ::setenv("LORVANE_VIRTUAL_DISC", disc.c_str(), 1);
        if (medium)
            ::setenv("LORVANE_VIRTUAL_MEDIUM", medium->c_str(), 1);
        else
            ::unsetenv("LORVANE_VIRTUAL_MEDIUM");
        void* module = ::dlopen((std::filesystem::path(bin) / transport::kManagerModuleFile).c_str(),
                                RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr) ::_exit(2);
        using SupportFn = std::uint32_t (*)();
        SupportFn support = nullptr;
        void* symbol = ::dlsym(module, transport::kGetSupportInfoName);
        std::memcpy(&support, &symbol, sizeof support);
        ::_exit(support != nullptr && support() == 0x0101u ? 0 : 3);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    std::ifstream in(DiscStatePath(disc));
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(ModuleDisc, ANewDiscIsOfTheKindTheEnvironmentNamesAndASavedOneStays) {
    if (std::getenv("LORVANE_BIN") == nullptr) GTEST_SKIP() << "LORVANE_BIN is not set";
    testsupport::ScratchFolder scratch;
    const struct {
        const char* what;
        const char* file;
        std::optional<std::string> medium;
        const char* kindLine;
    } cases[] = {
        {"no medium named: a CD-R", "a.img", std::nullopt, "kind cd-r\n"},
        {"an unknown name: a CD-R", "b.img", "floppy", "kind cd-r\n"},
        {"a DVD+RW", "c.img", "dvd+rw", "kind dvd+rw\n"},
        {"the saved DVD+RW stays when another kind is named", "c.img", "dvd-r", "kind dvd+rw\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string state = StateAfterLoading(scratch.File(c.file), c.medium);
        EXPECT_NE(state.find(c.kindLine), std::string::npos) << state;
    }
}

} // namespace
} // namespace lorvane::recorder
