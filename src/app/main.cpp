// lorvane: the desktop program. The main window is the only window made at start.
//
// A hidden switch, --screenshots FOLDER, saves a picture of the main window and of the settings dialog
// into FOLDER once start-up is over, then ends the program (the documentation's pictures come from it).

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QStringList>
#include <QTimer>

#include "app/main_window.h"
#include "app/settings_dialog.h"

namespace {

// Pictures of the windows, taken once they are shown and painted. True when both were saved.
bool SaveScreenshots(lorvane::app::TForm1& window, const QString& folder) {
    QDir().mkpath(folder);
    QApplication::processEvents();
    bool saved = window.grab().save(QDir(folder).filePath("main-window.png"));
    const auto settings = window.CreateSettingsDialog();
    settings->show();
    QApplication::processEvents();
    saved = settings->grab().save(QDir(folder).filePath("settings-dialog.png")) && saved;
    settings->close();
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
