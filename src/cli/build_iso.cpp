#include "cli/build_iso.h"

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <ostream>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "image/orbel_burner.h"

namespace lorvane::cli {

namespace {

constexpr const char* kProgram = "lorvane-cli";
// The compilation's room, as the desktop program clears it before a build.
constexpr int kBuildMaxFiles = 600000;
constexpr int kBuildMaxDirectories = 20000;

// The kinds of log line that tell the user about a source left out or a build problem; they are shown
// even without --log.
bool IsWarning(std::uint8_t mType) {
    return mType == image::logtype::kError || mType == image::logtype::kLimit ||
           mType == image::logtype::kPath;
}

// An absolute, normalised path without a trailing "/" (except for "/" itself).
std::string CleanPath(const std::string& path) {
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(path, error);
    if (error) absolute = path;
    std::string clean = absolute.lexically_normal().string();
    while (clean.size() > 1 && clean.back() == '/') clean.pop_back();
    return clean;
}

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

std::string Megabytes(std::int64_t sectors) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", static_cast<double>(sectors) * 2048.0 / 1048576.0);
    return text;
}

} // namespace

int BuildIso(const Invocation& invocation, std::ostream& out, std::ostream& err) {
    for (const std::string& path : invocation.operands) {
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) {
            err << kProgram << ": no such file or folder: " << path << '\n';
            return kExitFailed;
        }
    }
    if (invocation.bootImage) {
        struct stat info {};
        if (::stat(invocation.bootImage->c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
            err << kProgram << ": boot image not found: " << *invocation.bootImage << '\n';
            return kExitFailed;
        }
    }

    image::TOrbelBurner burner;
    burner.OnDebugMessage = [&err, log = invocation.common.log](drive::TSCSIDevice*, const std::string& line,
                                                                std::uint8_t mType) {
        if (log)
            err << line << '\n';
        else if (IsWarning(mType))
            err << kProgram << ": " << line << '\n';
    };
    // Every source the tree was offered; the tree refuses a second file of a name already in its folder
    // without telling, so the offers are checked against the entries made.
    std::vector<std::string> offered;
    burner.OnAddFile = [&offered, &err](image::TOrbelBurner*, const std::string& fullPath, std::string&,
                                        std::string&, double&, std::uint32_t, std::int64_t, bool& skip) {
        if (skip)
            err << kProgram << ": left out, the name is longer than 127 characters: " << fullPath << '\n';
        else
            offered.push_back(fullPath);
    };
    burner.WritePostGap = false;
    burner.JolietFileSystem = invocation.joliet;
    if (invocation.volumeId) burner.IdVolume = *invocation.volumeId;
    if (invocation.bootImage) {
        burner.BootImage = *invocation.bootImage;
        burner.Bootable = true;
    }

    burner.ClearCompilation(kBuildMaxFiles, kBuildMaxDirectories);
    const bool keepSourcePath = invocation.savePath != Invocation::SavePath::None;
    burner.LastFolderOnly = invocation.savePath == Invocation::SavePath::Last;
    for (const std::string& operand : invocation.operands) {
        const std::string path = CleanPath(operand);
        std::error_code error;
        if (std::filesystem::is_directory(path, error)) {
            if (burner.AddDirectory(burner.Root, path, "*.*", image::attr::kAnyFile, invocation.recurse,
                                    keepSourcePath, false) == 0) {
                err << kProgram << ": cannot add the folder " << operand << '\n';
                return kExitFailed;
            }
        } else if (burner.AddFile("\\", path, keepSourcePath) != 1) {
            err << kProgram << ": cannot add the file " << operand << '\n';
            return kExitFailed;
        }
    }
    std::unordered_set<std::string> recorded;
    for (const auto& entry : burner.Files())
        if (!entry->SourcePath.empty()) recorded.insert(entry->SourcePath);
    bool refused = false;
    for (const std::string& path : offered) {
        if (recorded.contains(path)) continue;
        err << kProgram << ": another file of the same name is already in its image folder: " << path << '\n';
        refused = true;
    }
    if (refused) return kExitFailed;
    if (const std::string* source = SourceThatIsTheImage(burner, *invocation.output)) {
        err << kProgram << ": the image file is one of the sources: " << *source << '\n';
        return kExitFailed;
    }
    if (burner.FileCount() == 0 && burner.DirectoryCount() == 0) {
        err << kProgram << ": nothing to put in the image\n";
        return kExitFailed;
    }

    if (!burner.PrepareImage(true)) {
        err << kProgram << ": cannot build the image: " << burner.ImageError << '\n';
        return kExitFailed;
    }
    try {
        burner.SaveToISO(*invocation.output, true);
    } catch (const image::ImageWriteError& error) {
        err << kProgram << ": " << error.what() << '\n';
        // A partly written image would pass for a whole one.
        if (std::string_view(error.what()).rfind("CAN'T CREATE FILE", 0) != 0) {
            std::error_code ignored;
            std::filesystem::remove(*invocation.output, ignored);
        }
        return kExitFailed;
    }
    out << *invocation.output << ": " << burner.TotalSectors() << " sectors, "
        << Megabytes(burner.TotalSectors()) << " MB\n";
    return kExitOk;
}

} // namespace lorvane::cli
