#pragma once
// The application options the main window keeps beside the burner's properties, each named after its
// key in the settings file, and the three states of the "Save path" box.

namespace lorvane::app {

enum class SavePathState { Unchecked, Checked, Grayed };

struct AppOptions {
    bool ArchiveFiles = false;
    bool ImportSession = false;
    int SessionNo = 0; // -128..127; -1 the last session, 0 none
    bool EjectDisc = false;
    bool ShowFiles = false;
    bool QuickSaveISO = false;
};

} // namespace lorvane::app
