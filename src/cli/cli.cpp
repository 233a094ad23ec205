#include "cli/cli.h"

#include "app/core/disc_report.h"
#include "app/core/speed_list.h"
#include "cli/build_iso.h"
#include "cli/burn.h"
#include "cli/options.h"
#include "cli/sessions.h"
#include "drive/scsi_device.h"
#include "image/orbel_burner.h"
#include "recorder/media.h"
#include "recorder/virtual_drive.h"
#include "recorder/virtual_recorder.h"
#include "transport/aspi.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <memory>
#include <ostream>
#include <string_view>

namespace lorvane::cli {

namespace {

constexpr std::string_view kProgram = "lorvane-cli";

// The burner settings the desktop program starts from; the tool changes them only through its own
// options and reads no settings file.
void ApplyDesignValues(drive::TSCSIDevice& device) {
    device.DoDebug = true;
    device.UnderrunProtection = true;
    device.FinalizeDisc = false;
    device.TestWrite = false;
    device.PerformOPC = true;
    device.WritePostGap = false;
    device.ReadSpeed = 0;
}

// The transport for one invocation: the virtual recorder in-process when --virtual names a disc file,
// otherwise what the desktop program uses (the SG_IO layer preferred, the manager module as fallback).
// Leaves the process-wide transport as it found it.
class TransportSession {
public:
    explicit TransportSession(transport::Clock& clock) : m_clock(clock) {}
    TransportSession(const TransportSession&) = delete;
    TransportSession& operator=(const TransportSession&) = delete;
    ~TransportSession() {
        transport::CloseTransport();
        if (m_recorder) {
            transport::SetModuleLoader(nullptr);
            recorder::VirtualRecorder::Install(nullptr);
        }
    }

    bool Start(drive::TSCSIDevice& device, const CommonOptions& options, std::ostream& err) {
        if (options.discFile) return StartVirtual(device, options, err);
        if (!device.InitTransport(true)) {
            err << kProgram << ": no drive access: no CD/DVD drive was found and the manager module "
                << transport::kManagerModuleFile << " could not be loaded\n";
            return false;
        }
        return true;
    }

private:
    bool StartVirtual(drive::TSCSIDevice& device, const CommonOptions& options, std::ostream& err) {
        std::optional<recorder::MediumKind> kind;
        if (options.medium) kind = recorder::MediumKindFromName(*options.medium);
        m_recorder = std::make_unique<recorder::VirtualRecorder>(m_clock);
        try {
            recorder::VirtualDrive& drive =
                m_recorder->AddDrive(recorder::DriveIdentity{}, *options.discFile);
            if (const auto refusal = recorder::InsertDisc(drive, kind)) {
                err << kProgram << ": " << *refusal << '\n';
                return false;
            }
        } catch (const std::exception& e) {
            err << kProgram << ": cannot open the disc file '" << *options.discFile << "': " << e.what()
                << '\n';
            return false;
        }
        recorder::VirtualRecorder::Install(m_recorder.get());
        transport::SetModuleLoader(&m_loader);
        if (!device.InitTransport(false)) {
            err << kProgram << ": the virtual recorder could not be started\n";
            return false;
        }
        return true;
    }

    transport::Clock& m_clock;
    std::unique_ptr<recorder::VirtualRecorder> m_recorder;
    recorder::InProcessModuleLoader m_loader;
};

bool AllDigits(const std::string& text) {
    return !text.empty() && text.size() <= 6 &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

// Selects the drive named by -d (a position in the device list, 1 = first, or a device string), or the
// first drive as the desktop program does at start.
bool SelectDrive(drive::TSCSIDevice& device, const std::optional<std::string>& which, std::ostream& err) {
    if (device.DeviceList.empty()) {
        err << kProgram << ": no CD/DVD drive found\n";
        return false;
    }
    std::string deviceString = which.value_or(device.DeviceList.front());
    if (which && AllDigits(*which)) {
        const std::size_t position = std::stoul(*which);
        if (position == 0 || position > device.DeviceList.size()) {
            err << kProgram << ": there is no drive " << *which << " (" << device.DeviceList.size()
                << " found)\n";
            return false;
        }
        deviceString = device.DeviceList[position - 1];
    }
    device.SetDevice(deviceString);
    if (device.DeviceString.empty()) {
        err << kProgram << ": '" << deviceString << "' names no CD/DVD drive\n";
        return false;
    }
    return true;
}

int Failed(std::ostream& err, std::string_view what, const drive::TSCSIDevice& device) {
    err << kProgram << ": " << what;
    if (!device.LastErrorText.empty()) err << ": " << device.LastErrorText;
    err << '\n';
    return kExitFailed;
}

int Drives(drive::TSCSIDevice& device, std::ostream& out) {
    for (const std::string& entry : device.DeviceList) out << entry << '\n';
    return kExitOk;
}

// The rows of the device capabilities dialog: caption and Capabilities bit, left then right column.
struct CapabilityRow {
    const char* left;
    std::uint32_t leftBit;
    const char* right;
    std::uint32_t rightBit;
};
constexpr CapabilityRow kCapabilityRows[] = {
    {"Read CDR", drive::cap::kReadCdR, "Write CDR", drive::cap::kWriteCdR},
    {"Read CDRW", drive::cap::kReadCdRw, "Write CDRW", drive::cap::kWriteCdRw},
    {"Read DVD-R", drive::cap::kReadDvdR, "Write DVD-R", drive::cap::kWriteDvdR},
    {"Read DVD-RW", drive::cap::kReadDvdRw, "Write DVD-RW", drive::cap::kWriteDvdRw},
    {"Read DVD-RAM", drive::cap::kReadDvdRam, "Write DVD-RAM", drive::cap::kWriteDvdRam},
    {"Read DVD+R", drive::cap::kReadDvdPlusR, "Write DVD+R", drive::cap::kWriteDvdPlusR},
    {"Read DVD+RW", drive::cap::kReadDvdPlusRw, "Write DVD+RW", drive::cap::kWriteDvdPlusRw},
    {"Read DVD", drive::cap::kReadDvdRom, "Write Test", drive::cap::kTestWrite},
};

std::string Box(bool ticked, const char* caption) {
    std::string text = ticked ? "[x] " : "[ ] ";
    text += caption;
    return text;
}

int Caps(drive::TSCSIDevice& device, std::ostream& out) {
    out << "  " << device.DeviceString << '\n';
    for (const CapabilityRow& row : kCapabilityRows) {
        std::string left = Box((device.Capabilities & row.leftBit) != 0, row.left);
        left.resize(20, ' ');
        out << left << Box((device.Capabilities & row.rightBit) != 0, row.right) << '\n';
    }
    out << Box((device.Capabilities & drive::cap::kUnderrunProtection) != 0, "Underrun Protection") << '\n';
    out << "Max Write Speed   :  " << device.DeviceMaxWriteSpeed << "x\n";
    out << "Max Read Speed    :  " << device.DeviceMaxReadSpeed << "x\n";
    return kExitOk;
}

int Speeds(drive::TSCSIDevice& device, std::ostream& out) {
    for (const std::string& row : app::BuildSpeedRows(device)) out << row << '\n';
    return kExitOk;
}

int Info(drive::TSCSIDevice& device, std::ostream& out) {
    const app::DiscReport report = app::ReadDiscReport(device);
    out << "Medium  : " << report.medium << '\n';
    out << "Disc Size  : " << report.discSize << '\n';
    out << "Used Space  : " << report.usedSpace << '\n';
    out << app::kSessionListHeader << '\n';
    for (const std::string& line : report.lines) out << line << '\n';
    return report.ready ? kExitOk : kExitFailed;
}

int Load(drive::TSCSIDevice& device, std::ostream& out, std::ostream& err) {
    if (!device.LoadMedium(false)) return Failed(err, "LOAD MEDIUM COMMAND FAILED.", device);
    out << "LOAD MEDIUM COMMAND DONE.\n";
    return kExitOk;
}

int Eject(drive::TSCSIDevice& device, std::ostream& out, std::ostream& err) {
    (void)device.SyncCache(300000, false);
    (void)device.PreventMediumRemoval(true);
    if (!device.LoadMedium(true)) return Failed(err, "EJECT MEDIUM COMMAND FAILED.", device);
    out << "EJECT MEDIUM COMMAND DONE.\n";
    return kExitOk;
}

int Ready(drive::TSCSIDevice& device, std::ostream& out, std::ostream& err) {
    if (!device.TestUnitReady(5000)) return Failed(err, "DRIVE IS NOT READY", device);
    out << "DRIVE IS READY\n";
    return kExitOk;
}

int Erase(drive::TSCSIDevice& device, bool quick, std::ostream& out, std::ostream& err) {
    constexpr std::uint8_t kDvdRam = 6;
    const bool erasable = device.IsDiscErasable();
    if (!(erasable || (quick && device.GetMediumType() == kDvdRam))) {
        err << kProgram << ": Disc is not Erasable\n";
        return kExitFailed;
    }
    std::atomic<int> outcome{-1}; // -1 running, 0 done, 1 done with error
    device.OnEraseDone = [&outcome](drive::TSCSIDevice*, bool withError) { outcome = withError ? 1 : 0; };
    device.SetWriteSpeed(0);
    if (!device.EraseDisc(quick)) {
        if (outcome != 1) return Failed(err, "the drive did not become ready for the erase", device);
    }
    int shown = -1;
    while (device.Erasing()) {
        const int progress = device.EraseProgress();
        if (progress != shown) {
            out << "erase: " << progress << "%\n" << std::flush;
            shown = progress;
        }
        device.DeviceClock().SleepFor(std::chrono::milliseconds(500));
    }
    device.OnEraseDone = nullptr;
    if (outcome != 0) {
        err << kProgram << ": ERASE PROCESS DONE WITH ERROR";
        if (!device.LastErrorText.empty()) err << " (" << device.LastErrorText << ")";
        err << '\n';
        return kExitFailed;
    }
    out << "erase: 100%\nERASE PROCESS DONE\n";
    return kExitOk;
}

int RunVerb(image::TOrbelBurner& device, const Invocation& invocation, std::ostream& out, std::ostream& err) {
    const std::string& verb = invocation.verb;
    if (verb == "drives") {
        if (device.DeviceList.empty()) {
            err << kProgram << ": no CD/DVD drive found\n";
            return kExitFailed;
        }
        if (invocation.common.device && !SelectDrive(device, invocation.common.device, err))
            return kExitFailed;
        return Drives(device, out);
    }
    if (!SelectDrive(device, invocation.common.device, err)) return kExitFailed;
    if (verb == "caps") return Caps(device, out);
    if (verb == "speeds") return Speeds(device, out);
    if (verb == "info") return Info(device, out);
    if (verb == "load") return Load(device, out, err);
    if (verb == "eject") return Eject(device, out, err);
    if (verb == "ready") return Ready(device, out, err);
    if (verb == "erase") return Erase(device, invocation.quick, out, err);
    if (verb == "burn") return Burn(device, invocation, out, err);
    if (verb == "burn-iso") return BurnIso(device, invocation, out, err);
    if (verb == "sessions") return Sessions(device, out);
    if (verb == "ls") return ListSession(device, invocation, out, err);
    if (verb == "extract") return ExtractSession(device, invocation, out, err);
    err << kProgram << ": unknown verb '" << verb << "'\n";
    return kExitUsage;
}

} // namespace

int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
           transport::Clock* clock) {
    const auto parsed = ParseCommandLine(args);
    if (const auto* usage = std::get_if<UsageError>(&parsed)) {
        err << kProgram << ": " << usage->message << '\n' << UsageText();
        return kExitUsage;
    }
    const Invocation& invocation = std::get<Invocation>(parsed);
    if (invocation.help) {
        out << UsageText();
        return kExitOk;
    }
    if (invocation.common.medium && !recorder::MediumKindFromName(*invocation.common.medium)) {
        err << kProgram << ": unknown medium kind '" << *invocation.common.medium << "'\n" << UsageText();
        return kExitUsage;
    }

    // An image build needs no drive.
    if (invocation.verb == "build-iso") return BuildIso(invocation, out, err);

    std::optional<transport::ScaledClock> fastClock;
    if (clock == nullptr && invocation.common.discFile) clock = &fastClock.emplace(kVirtualTimeFactor);
    if (clock == nullptr) clock = &transport::SystemClock();

    TransportSession session(*clock); // outlives the device, whose worker threads use the transport
    image::TOrbelBurner device(*clock);
    ApplyDesignValues(device);
    if (invocation.common.log) {
        device.OnDebugMessage = [&err](drive::TSCSIDevice*, const std::string& message, std::uint8_t) {
            err << message << '\n';
        };
    }
    if (!session.Start(device, invocation.common, err)) return kExitFailed;
    return RunVerb(device, invocation, out, err);
}

} // namespace lorvane::cli
