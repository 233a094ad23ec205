#pragma once
// The GUI-free steps of handing the compilation list to the burner.

#include <cstdint>
#include <string>
#include <vector>

#include "app/core/app_options.h"

namespace lorvane::image {
class TOrbelBurner;
}

namespace lorvane::app {

// One row of the compilation list: a source folder (its path ends with "/"; ticked = with its
// sub-folders) or a source file.
struct CompilationRow {
    bool recursive = false;
    std::string path;
};

enum class TransferOutcome { Transferred, NoRows, ImportIncomplete };

// Hands every row to the burner, whose compilation the caller has just cleared: first the session
// import when options.SessionNo is not 0, then each row as the "Save path" state says, then the
// removal of directories left empty. NoRows when the list is empty (after the import): the caller shows
// "Atleast one file/directory should be selected". ImportIncomplete when the drive could not read
// all of the imported session's folders: the caller must not burn, since the new session would hide
// the files it could not read.
TransferOutcome TransferCompilation(image::TOrbelBurner& burner, const std::vector<CompilationRow>& rows,
                                    SavePathState savePath, const AppOptions& options);

// The size cell of a row: bytes with thousands separators, empty for 0 ("#,##").
std::string SizeCellText(std::int64_t bytes);

} // namespace lorvane::app
