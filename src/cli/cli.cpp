#include "cli/cli.h"

#include "cli/options.h"
#include "drive/scsi_device.h"
#include "recorder/virtual_recorder.h"
#include "transport/aspi.h"

#include <algorithm>
#include <cctype>
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
    device.ReadSpeed = 0;
    device.WriteSpeed = 0;
}

// The transport for one invocation: the virtual recorder in-process when --virtual names a disc file,
// otherwise what the desktop program uses (the SG_IO layer preferred, the manager module as fallback).
// Leaves the process-wide transport as it found it.
class TransportSession {
public:
    TransportSession() = default;
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
        if (options.discFile) {
            m_recorder = std::make_unique<recorder::VirtualRecorder>();
            try {
                m_recorder->AddDrive(recorder::DriveIdentity{}, *options.discFile);
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
        if (!device.InitTransport(true)) {
            err << kProgram << ": no drive access: no CD/DVD drive was found and the manager module "
                << transport::kManagerModuleFile << " could not be loaded\n";
            return false;
        }
        return true;
    }

private:
    std::unique_ptr<recorder::VirtualRecorder> m_recorder;
    recorder::InProcessModuleLoader m_loader;
};

bool AllDigits(const std::string& text) {
    return !text.empty() && text.size() <= 6 &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

// Selects the drive named by -d: a position in the device list (1 = first) or a device string.
bool SelectDrive(drive::TSCSIDevice& device, const std::string& which, std::ostream& err) {
    std::string deviceString = which;
    if (AllDigits(which)) {
        const std::size_t position = std::stoul(which);
        if (position == 0 || position > device.DeviceList.size()) {
            err << kProgram << ": there is no drive " << which << " (" << device.DeviceList.size()
                << " found)\n";
            return false;
        }
        deviceString = device.DeviceList[position - 1];
    }
    device.SetDevice(deviceString);
    if (device.DeviceString.empty()) {
        err << kProgram << ": '" << which << "' names no CD/DVD drive\n";
        return false;
    }
    return true;
}

int Drives(drive::TSCSIDevice& device, const Invocation& invocation, std::ostream& out, std::ostream& err) {
    if (device.DeviceList.empty()) {
        err << kProgram << ": no CD/DVD drive found\n";
        return kExitFailed;
    }
    if (invocation.common.device && !SelectDrive(device, *invocation.common.device, err)) return kExitFailed;
    for (const std::string& entry : device.DeviceList) out << entry << '\n';
    return kExitOk;
}

} // namespace

int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
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

    drive::TSCSIDevice device;
    ApplyDesignValues(device);
    if (invocation.common.log) {
        device.OnDebugMessage = [&err](drive::TSCSIDevice*, const std::string& message, std::uint8_t) {
            err << message << '\n';
        };
    }
    TransportSession session;
    if (!session.Start(device, invocation.common, err)) return kExitFailed;
    return Drives(device, invocation, out, err);
}

} // namespace lorvane::cli
