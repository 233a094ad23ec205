#pragma once
// Orbel.ini: the user's choices between runs, in the user's configuration folder
// (QStandardPaths::AppConfigLocation), section "Options".

#include <QList>
#include <QString>

#include <optional>
#include <utility>

#include "app/core/app_options.h"

namespace lorvane::image {
class TOrbelBurner;
}

namespace lorvane::app {

// The keys of section "Options".
namespace key {
inline constexpr const char* kArchiveFiles = "ArchiveFiles";
inline constexpr const char* kImportSession = "ImportSession";
inline constexpr const char* kSavePath = "SavePath";
inline constexpr const char* kCloseTrack = "CloseTrack";
inline constexpr const char* kCloseDisc = "CloseDisc";
inline constexpr const char* kEjectDisc = "EjectDisc";
inline constexpr const char* kJolietFS = "JolietFS";
inline constexpr const char* kBootable = "Bootable";
inline constexpr const char* kTestWrite = "TestWrite";
inline constexpr const char* kQuickSaveISO = "QuickSaveISO";
inline constexpr const char* kShowFiles = "ShowFiles";
inline constexpr const char* kPerformOPC = "PerformOPC";
inline constexpr const char* kSessionNo = "SessionNo";
inline constexpr const char* kBootImage = "BootImage";
inline constexpr const char* kVolumeLable = "VolumeLable"; // sic: the key has always been spelt so
inline constexpr const char* kCacheSize = "CacheSize";
} // namespace key

// The longest volume label the settings keep.
inline constexpr int kVolumeLabelLength = 16;

// The number of a session number text (blanks around it allowed) when it is a decimal integer in
// -128..127; nullopt otherwise.
std::optional<int> ParseSessionNumber(const QString& text);
// Whether the text (blanks around it allowed) is a decimal integer at all, whatever its size.
bool IsIntegerText(const QString& text);

// The settings file's full path.
QString SettingsFilePath();

// "Checked", "Grayed" or "Unchecked"; read back without regard to case, anything else Unchecked.
QString SavePathWord(SavePathState state);
SavePathState SavePathFromWord(const QString& word);

// The reading at start: the options, the "Save path" state and the burner properties, in the file's
// order. False (with the reason) when "SessionNo" is outside -128..127: the keys before it keep what
// was read, the later ones their defaults. A missing file or key leaves the default.
bool ReadSettingsAtStart(image::TOrbelBurner& orbel, AppOptions& options, SavePathState& savePath,
                         QString* error = nullptr);

// What the "Save path" box writes at every click. False when the file could not be written.
bool WriteSavePath(SavePathState state);

// One key's value in section "Options" as the file holds it; nullopt when the file or the key is missing.
std::optional<QString> ReadSettingsValue(const QString& key);

// Stores the values under their keys in section "Options", in the given order: a key the section
// already holds keeps its line, a new key is added at the section's end; every other line of the file
// stays. The file is replaced in one step, so a failed write leaves the old file whole. False (with
// the reason) when the folder or the file could not be written.
bool WriteSettingsValues(const QList<std::pair<QString, QString>>& values, QString* error = nullptr);

} // namespace lorvane::app
