#pragma once
// TfrmSettings, "Advanced options": shows the burner's properties and the application options, applies
// and saves them on "OK". Created for each use and shown modally; its owner frees it after exec().

#include <QDialog>

#include <functional>

#include "app/core/app_options.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;

namespace lorvane::image {
class TOrbelBurner;
}

namespace lorvane::app {

class TfrmSettings : public QDialog {
    Q_OBJECT
public:
    // savePath: the main window's "Save path" state, written with the other keys on "OK".
    TfrmSettings(QWidget* owner, image::TOrbelBurner& orbel, AppOptions& options,
                 std::function<SavePathState()> savePath);

    // The controls, by their names (the main window sets cEject, cShowFiles and cImportSession before it
    // shows the dialog; tests drive the rest).
    QLabel* Label1 = nullptr; // "Volume Label :"
    QLineEdit* eVolLabel = nullptr;
    QCheckBox* cJoliet = nullptr;
    QCheckBox* cCloseDisc = nullptr;
    QCheckBox* cImportSession = nullptr;
    QLineEdit* eSession = nullptr;
    QCheckBox* cUnderrunProtection = nullptr;
    QCheckBox* cTestWrite = nullptr;
    QCheckBox* cEject = nullptr;
    QCheckBox* cOPC = nullptr;
    QCheckBox* cQuickSaveISO = nullptr;
    QCheckBox* cBootable = nullptr;
    QLabel* Label2 = nullptr; // the boot image path
    QCheckBox* cShowFiles = nullptr;
    QCheckBox* cArchiveOnly = nullptr;
    QLabel* Label4 = nullptr; // "Cache Size :"
    QSlider* sCacheSize = nullptr;
    QLabel* Label3 = nullptr;       // the cache size in MB
    QPushButton* Button1 = nullptr; // OK
    QPushButton* Button2 = nullptr; // Cancel
    QPushButton* Button3 = nullptr; // Close Track

    // Replaces the boot image file dialog (tests answer it): returns the chosen path, empty = cancelled.
    std::function<QString(const QString& initial)> AskBootImage;
    // Replaces the message boxes (tests read them): kind "notice" or "error", and the text.
    std::function<void(const QString& kind, const QString& text)> ShowMessage;

    // "OK": applies, saves and closes; an invalid session number keeps the dialog open.
    void Button1Click();
    // "Cancel": closes without applying anything.
    void Button2Click();
    // "Close Track": closes the last session on the disc; the dialog stays open.
    void Button3Click();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void FormShow();
    void cImportSessionClick();
    void cBootableClick();
    void sCacheSizeChange(int position);

    image::TOrbelBurner& m_orbel;
    AppOptions& m_options;
    std::function<SavePathState()> m_savePath;
};

} // namespace lorvane::app
