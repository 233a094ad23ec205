#pragma once
// Orbel.ini: the user's choices between runs, in the user's configuration folder
// (QStandardPaths::AppConfigLocation), section "Options".

#include <QString>

#include "app/core/app_options.h"

namespace lorvane::image {
class TOrbelBurner;
}

namespace lorvane::app {

// The settings file's full path.
QString SettingsFilePath();

// "Checked", "Grayed" or "Unchecked"; read back without regard to case, anything else Unchecked.
QString SavePathWord(SavePathState state);
SavePathState SavePathFromWord(const QString& word);

// The reading at start: the options, the "Save path" state and the burner properties, in the file's
// order. False (with the reason) when "SessionNo" is outside -128..127: the keys before it keep what
// was read, the later ones their defaults.
bool ReadSettingsAtStart(image::TOrbelBurner& orbel, AppOptions& options, SavePathState& savePath,
                         QString* error = nullptr);

// What the "Save path" box writes at every click.
void WriteSavePath(SavePathState state);

} // namespace lorvane::app
