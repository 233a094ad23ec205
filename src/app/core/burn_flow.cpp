#include "app/core/burn_flow.h"

#include <filesystem>
#include <system_error>

#include "app/core/display_format.h"
#include "image/orbel_burner.h"

namespace lorvane::app {

namespace {

bool IsExistingFolder(const std::string& path) {
    std::error_code error;
    return !path.empty() && std::filesystem::is_directory(path, error);
}

} // namespace

TransferOutcome TransferCompilation(image::TOrbelBurner& burner, const std::vector<CompilationRow>& rows,
                                    SavePathState savePath, const AppOptions& options) {
    // The imported entries come first; the rows are added beside them. A disc without a complete
    // session has nothing to import, which is no reason to stop: the burner logs real failures.
    if (options.SessionNo != 0) {
        (void)burner.ImportDiscSession(options.SessionNo, nullptr);
        if (burner.ImportIncomplete()) return TransferOutcome::ImportIncomplete;
    }
    if (rows.empty()) return TransferOutcome::NoRows;

    const bool lastFolderOnly = savePath == SavePathState::Grayed;
    const bool keepSourcePath = savePath != SavePathState::Unchecked;
    for (const CompilationRow& row : rows) {
        burner.LastFolderOnly = lastFolderOnly;
        if (IsExistingFolder(row.path)) {
            // A folder row always ends with "/"; one that does not still means the folder itself, never
            // its parent.
            const std::string folder = row.path.back() == '/' ? row.path : row.path + "/";
            (void)burner.AddDirectory(burner.Root, folder, "*.*", image::attr::kAnyFile, row.recursive,
                                      keepSourcePath, options.ArchiveFiles);
        } else if (burner.AddFile("\\", row.path, keepSourcePath) == -1) {
            // The burner adds nothing for a source that went away after it was put in the list; say so,
            // or the disc would silently miss it.
            burner.AddDebugMessage("SOURCE NOT FOUND: " + row.path, image::logtype::kPath);
        }
    }
    (void)burner.RemoveEmptyDirectories();
    return TransferOutcome::Transferred;
}

std::string SizeCellText(std::int64_t bytes) {
    if (bytes == 0) return {};
    if (bytes < 0) return "-" + GroupThousands(static_cast<std::uint64_t>(-(bytes + 1)) + 1);
    return GroupThousands(static_cast<std::uint64_t>(bytes));
}

} // namespace lorvane::app
