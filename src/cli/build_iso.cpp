#include "cli/build_iso.h"

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <ostream>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "cli/compilation.h"
#include "cli/write_progress.h"
#include "image/orbel_burner.h"

namespace lorvane::cli {

namespace {

// The compilation's source file that is the same file as the image about to be written, if any:
// writing the image would destroy that source and record the half-written image in its place.
const std::string* SourceThatIsTheImage(const image::TOrbelBurner& burner, const std::string& output) {
    struct stat image {};
    if (::stat(output.c_str(), &image) != 0) return nullptr;
    for (const auto& entry : burner.Files()) {
        struct stat source {};
        if (!entry->SourcePath.empty() && ::stat(entry->SourcePath.c_str(), &source) == 0 &&
            source.st_dev == image.st_dev && source.st_ino == image.st_ino)
            return &entry->SourcePath;
    }
    return nullptr;
}

} // namespace

int BuildIso(const Invocation& invocation, std::ostream& out, std::ostream& err) {
    image::TOrbelBurner burner;
    RouteLog(burner, invocation.common.log, err);
    burner.WritePostGap = false;
    if (const auto failed = FillCompilation(burner, invocation, err)) return *failed;
    if (const std::string* source = SourceThatIsTheImage(burner, *invocation.output)) {
        err << kProgram << ": the image file is one of the sources: " << *source << '\n';
        return kExitFailed;
    }
    burner.AddDebugMessage(">>> ADD FILES/DIRS TO .ISO DONE.", 0);
    burner.AddDebugMessage(">>> START BUILDING .ISO FILE", 0);
    if (!burner.PrepareImage(true)) {
        err << kProgram << ": cannot build the image: " << burner.ImageError << '\n';
        return kExitFailed;
    }
    const auto removePartial = [&](const std::string& error) {
        // A partly written image would pass for a whole one.
        if (error.rfind("CAN'T CREATE FILE", 0) != 0) {
            std::error_code ignored;
            std::filesystem::remove(*invocation.output, ignored);
        }
    };
    if (invocation.quick) {
        try {
            burner.SaveToISO(*invocation.output, true);
        } catch (const image::ImageWriteError& error) {
            err << kProgram << ": " << error.what() << '\n';
            removePartial(error.what());
            return kExitFailed;
        }
    } else {
        WriteWatcher watcher(burner);
        burner.SaveToISO(*invocation.output, false);
        const std::string error = watcher.Wait(out, false);
        if (!error.empty()) {
            err << kProgram << ": " << error << '\n';
            removePartial(error);
            return kExitFailed;
        }
    }
    out << *invocation.output << ": " << burner.TotalSectors() << " sectors, "
        << Megabytes(burner.TotalSectors()) << " MB\n";
    return kExitOk;
}

} // namespace lorvane::cli
