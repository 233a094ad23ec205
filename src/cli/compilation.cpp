#include "cli/compilation.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <ostream>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "cli/cli.h"

namespace lorvane::cli {

namespace {

// The lines about sources left out (limits, unreadable or skipped paths). Level 0 carries the ordinary
// progress lines; the reasons a build or a write fails come back on their own.
bool IsWarning(std::uint8_t mType) {
    return mType == image::logtype::kLimit || mType == image::logtype::kPath;
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

} // namespace

void RouteLog(drive::TSCSIDevice& device, bool everyLine, std::ostream& err) {
    device.OnDebugMessage = [&err, everyLine](drive::TSCSIDevice*, const std::string& line,
                                              std::uint8_t mType) {
        if (everyLine)
            err << line << '\n';
        else if (IsWarning(mType))
            err << kProgram << ": " << line << '\n';
    };
}

std::optional<int> FillCompilation(image::TOrbelBurner& burner, const Invocation& invocation,
                                   std::ostream& err) {
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

    burner.JolietFileSystem = invocation.joliet;
    if (invocation.volumeId) burner.IdVolume = *invocation.volumeId;
    burner.Bootable = invocation.bootImage.has_value();
    burner.BootImage = invocation.bootImage.value_or("");

    // Every source the tree was offered; the tree refuses a second file of a name already in its folder
    // without telling, so the offers are checked against the entries made.
    std::vector<std::string> offered;
    burner.OnAddFile = [&offered, &err](image::TOrbelBurner*, const std::string& fullPath,
                                        std::string& longName, std::string&, double&, std::uint32_t,
                                        std::int64_t, bool& skip) {
        if (!skip)
            offered.push_back(fullPath);
        else if (image::Utf16Length(longName) > image::kMaxLongNameLength)
            err << kProgram << ": left out, the name is longer than 127 characters: " << fullPath << '\n';
        else
            err << kProgram
                << ": left out, the name is longer than a Joliet name can be (103 UTF-16 units): " << fullPath
                << '\n';
    };
    struct Unhook {
        image::TOrbelBurner& burner;
        ~Unhook() { burner.OnAddFile = nullptr; }
    } unhook{burner};

    burner.ClearCompilation(kCompilationMaxFiles, kCompilationMaxDirectories);
    // The imported entries come first; the paths are added beside them.
    if (invocation.importSession && !burner.ImportDiscSession(*invocation.importSession, nullptr)) {
        err << kProgram << ": cannot import session " << *invocation.importSession
            << " (no complete session, or no ISO 9660 file system in it)\n";
        return kExitFailed;
    }
    if (invocation.importSession && burner.ImportIncomplete()) {
        err << kProgram << ": cannot import session " << *invocation.importSession
            << ": the drive could not read all of its folders, and a new session would hide the files in "
               "them\n";
        return kExitFailed;
    }
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
        if (path.empty() || recorded.contains(path)) continue; // imported entries have no source
        err << kProgram << ": another file of the same name is already in its image folder: " << path << '\n';
        refused = true;
    }
    if (refused) return kExitFailed;
    if (burner.FileCount() == 0 && burner.DirectoryCount() == 0) {
        err << kProgram << ": nothing to put in the image\n";
        return kExitFailed;
    }
    return std::nullopt;
}

std::string Megabytes(std::int64_t sectors) {
    char digits[40];
    const int length =
        std::snprintf(digits, sizeof digits, "%.2f", static_cast<double>(sectors) * 2048.0 / 1048576.0);
    const std::string_view number(digits, static_cast<std::size_t>(std::max(length, 0)));
    const std::size_t whole = number.find('.');
    std::string text;
    for (std::size_t i = 0; i < number.size(); ++i) {
        if (i > 0 && i < whole && (whole - i) % 3 == 0) text.push_back(',');
        text.push_back(number[i]);
    }
    return text;
}

} // namespace lorvane::cli
