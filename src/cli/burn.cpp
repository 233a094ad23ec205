#include "cli/burn.h"

#include <ostream>

#include "app/core/speed_list.h"
#include "cli/cli.h"
#include "cli/compilation.h"
#include "cli/write_progress.h"

namespace lorvane::cli {

namespace {

// The drive settings of both verbs: the speed (as the speed list's rows give it) and the test write.
bool ApplyRecordingOptions(image::TOrbelBurner& burner, const Invocation& invocation, std::ostream& err) {
    burner.TestWrite = invocation.testWrite;
    (void)burner.ReadBufferCapacity();
    const std::string row = !invocation.speed || *invocation.speed == "max" ? "Max" : *invocation.speed + "X";
    const auto speed = app::ParseSpeedText(row, burner.GetMediumType());
    if (!speed) {
        err << kProgram << ": the speed " << *invocation.speed << " is too high\n";
        return false;
    }
    burner.SetWriteSpeed(*speed);
    return true;
}

int Finish(image::TOrbelBurner& burner, const Invocation& invocation, const std::string& error,
           std::ostream& out, std::ostream& err) {
    if (!error.empty()) {
        burner.AddDebugMessage(">>> WRITE/BURNCD PROCESS DONE WITH ERROR", 0);
        burner.AddDebugMessage(">>> " + error, 0);
        err << kProgram << ": " << error << '\n';
        return kExitFailed;
    }
    burner.AddDebugMessage(">>> WRITE/BURNCD PROCESS DONE", 0);
    out << "WRITE/BURNCD PROCESS DONE\n";
    if (invocation.eject) (void)burner.LoadMedium(true);
    return kExitOk;
}

} // namespace

int Burn(image::TOrbelBurner& burner, const Invocation& invocation, std::ostream& out, std::ostream& err) {
    RouteLog(burner, invocation.common.log, err);
    burner.FinalizeDisc = invocation.closeDisc;
    if (!ApplyRecordingOptions(burner, invocation, err)) return kExitFailed;
    if (const auto failed = FillCompilation(burner, invocation, err)) return *failed;
    burner.AddDebugMessage(">>> ADD FILES/DIRS TO CD DONE.", 0);
    if (!burner.PrepareImage(false)) {
        err << kProgram << ": cannot build the file system: " << burner.ImageError << '\n';
        return kExitFailed;
    }
    out << "Start Writing " << Megabytes(burner.TotalSectors()) << " MB\n" << std::flush;
    burner.AddDebugMessage(">>> STARTING BURNCD ON " + burner.DeviceString, 0);
    WriteWatcher watcher(burner);
    burner.Burn();
    return Finish(burner, invocation, watcher.Wait(out, true), out, err);
}

int BurnIso(image::TOrbelBurner& burner, const Invocation& invocation, std::ostream& out, std::ostream& err) {
    RouteLog(burner, invocation.common.log, err);
    if (!ApplyRecordingOptions(burner, invocation, err)) return kExitFailed;
    burner.AddDebugMessage(">>> STARTING BURN .ISO IMAGE ON " + burner.DeviceString, 0);
    WriteWatcher watcher(burner);
    burner.BurnISO(invocation.operands.front());
    return Finish(burner, invocation, watcher.Wait(out, true), out, err);
}

} // namespace lorvane::cli
