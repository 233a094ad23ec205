// lorvane: the desktop program. The main window is the only window made at start.
//
// A hidden switch, --screenshots FOLDER, saves a picture of the main window, the settings dialog, the
// layout editor, the drive capabilities dialog, the disc information dialog and the file viewer into FOLDER
// once start-up is over, then ends the program (the documentation's pictures come from it).

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QStringList>
#include <QTimer>

#include "app/caps_window.h"
#include "app/disc_layout_window.h"
#include "app/main_window.h"
#include "app/sessions_window.h"
#include "app/settings_dialog.h"
#include "app/tree_window.h"
#include "image/orbel_burner.h"

namespace {

// A small compilation for the layout editor's picture: listings only, no files are read.
void SampleCompilation(lorvane::image::TOrbelBurner& orbel) {
    namespace attr = lorvane::image::attr;
    constexpr double kDate = 38352.99859; // 12-31-2004 23:57:58
    orbel.ClearCompilation(100, 10);
    lorvane::image::TDEntry* docs =
        orbel.AddDirectoryEntry(orbel.Root, {"Documents", "DOCUME~1", attr::kDirectory, 0, kDate});
    (void)orbel.AddDirectoryEntry(orbel.Root, {"Photos", "", attr::kDirectory, 0, kDate});
    (void)orbel.AddFileEntry(orbel.Root, {"readme.txt", "", attr::kArchive, 1834, kDate}, false, 0, "");
    (void)orbel.AddFileEntry(orbel.Root, {"setup.iso", "", attr::kArchive, 73400320, kDate}, false, 0, "");
    if (docs) (void)orbel.AddFileEntry(docs, {"report.pdf", "", attr::kArchive, 524288, kDate}, false, 0, "");
}

// Pictures of the windows, taken once they are shown and painted. True when all were saved.
bool SaveScreenshots(lorvane::app::TForm1& window, const QString& folder) {
    QDir().mkpath(folder);
    QApplication::processEvents();
    bool saved = window.grab().save(QDir(folder).filePath("main-window.png"));
    const auto settings = window.CreateSettingsDialog();
    settings->show();
    QApplication::processEvents();
    saved = settings->grab().save(QDir(folder).filePath("settings-dialog.png")) && saved;
    settings->close();
    SampleCompilation(window.orbel);
    lorvane::app::TfrmDiscLayout layout(&window, window.orbel);
    layout.show();
    QApplication::processEvents();
    saved = layout.grab().save(QDir(folder).filePath("disc-layout-window.png")) && saved;
    layout.close();
    lorvane::app::TForm2 caps(&window, window.orbel);
    caps.show();
    QApplication::processEvents();
    saved = caps.grab().save(QDir(folder).filePath("caps-window.png")) && saved;
    caps.close();
    lorvane::app::TfrmSessions sessions(&window, window.orbel);
    sessions.ReadDisc();
    sessions.show();
    QApplication::processEvents();
    saved = sessions.grab().save(QDir(folder).filePath("sessions-window.png")) && saved;
    // The viewer shows the sample compilation, as it would an imported session.
    lorvane::app::TfrmTree tree(&sessions, window.orbel);
    tree.show();
    QApplication::processEvents();
    saved = tree.grab().save(QDir(folder).filePath("tree-window.png")) && saved;
    tree.close();
    sessions.close();
    return saved;
}

} // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName("Lorvane");
    QApplication::setApplicationDisplayName("Lorvane");

    QString screenshots;
    const QStringList arguments = QApplication::arguments();
    if (const qsizetype at = arguments.indexOf("--screenshots"); at >= 0 && at + 1 < arguments.size())
        screenshots = arguments.at(at + 1);

    lorvane::app::TForm1 window;
    window.show();
    if (!screenshots.isEmpty()) {
        int status = 1;
        QTimer::singleShot(500, &window, [&] {
            status = SaveScreenshots(window, screenshots) ? 0 : 1;
            QApplication::quit();
        });
        QApplication::exec();
        return status;
    }
    return QApplication::exec();
}
