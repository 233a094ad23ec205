// The virtual recorder as a loadable manager module: a machine without a real recorder still has one
// drive to burn to. The two entry points serve one process-wide recorder on the real clock, made on
// the first call, with the disc of its disc file in the tray.

#include "recorder/media.h"
#include "recorder/virtual_drive.h"
#include "recorder/virtual_recorder.h"
#include "transport/clock.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>

namespace {

using lorvane::recorder::MediumKind;
using lorvane::recorder::VirtualRecorder;

// $LORVANE_VIRTUAL_DISC, else $XDG_DATA_HOME/lorvane/virtual-disc.img with XDG_DATA_HOME defaulting to
// ~/.local/share (XDG Base Directory: a relative XDG_DATA_HOME is ignored).
std::filesystem::path DiscFilePath() {
    if (const char* disc = std::getenv("LORVANE_VIRTUAL_DISC"); disc != nullptr && *disc != '\0') return disc;
    std::filesystem::path dataHome;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && *xdg == '/') {
        dataHome = xdg;
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || *home == '\0') {
            const passwd* entry = ::getpwuid(::getuid());
            home = entry != nullptr ? entry->pw_dir : "/tmp";
        }
        dataHome = std::filesystem::path(home) / ".local" / "share";
    }
    return dataHome / "lorvane" / "virtual-disc.img";
}

struct ProcessRecorder {
    ProcessRecorder() : recorder(lorvane::transport::SystemClock()) {
        // A disc file that cannot be made leaves a recorder without drives: the manager then
        // reports no host adapters instead of taking the host program down.
        try {
            const std::filesystem::path disc = DiscFilePath();
            std::error_code ignored;
            if (disc.has_parent_path()) std::filesystem::create_directories(disc.parent_path(), ignored);
            lorvane::recorder::VirtualDrive& drive =
                recorder.AddDrive(lorvane::recorder::DriveIdentity{}, disc);
            // $LORVANE_VIRTUAL_MEDIUM chooses the kind of a new disc (CD-R when unset or unknown); a
            // disc file that already holds a disc keeps it.
            std::optional<MediumKind> kind;
            if (const char* name = std::getenv("LORVANE_VIRTUAL_MEDIUM"); name != nullptr)
                kind = lorvane::recorder::MediumKindFromName(name);
            if (lorvane::recorder::InsertDisc(drive, kind) && kind)
                (void)lorvane::recorder::InsertDisc(drive, std::nullopt); // a failure leaves the tray empty
        } catch (const std::exception&) {}
    }
    VirtualRecorder recorder;
};

// A function-local static: made on first use, destroyed when the module is unloaded or the process
// ends, after everything made before it.
VirtualRecorder& Recorder() {
    static ProcessRecorder instance;
    return instance.recorder;
}

} // namespace

extern "C" __attribute__((visibility("default"))) std::uint32_t GetASPI32SupportInfo() {
    return Recorder().GetSupportInfo();
}

extern "C" __attribute__((visibility("default"))) std::uint32_t SendASPI32Command(void* srb) {
    return Recorder().SendCommand(srb);
}
