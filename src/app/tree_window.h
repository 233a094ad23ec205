#pragma once
// TfrmTree, the file viewer and extractor: the folders of the session imported into the burner's tree,
// the entries of the chosen folder, and copies of single files, or of all files of a folder, from the
// disc to the local disk. Made by the disc information dialog for each session it opens.

#include <QDialog>
#include <QMessageBox>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

class QLabel;
class QShowEvent;
class QKeyEvent;
class QSplitter;
class QTableWidget;
class QTreeWidget;
class QTreeWidgetItem;

namespace lorvane::image {
class TOrbelBurner;
struct TDEntry;
struct TFEntry;
} // namespace lorvane::image

namespace lorvane::app {

class TfrmTree : public QDialog {
    Q_OBJECT
public:
    TfrmTree(QWidget* owner, image::TOrbelBurner& orbel);
    ~TfrmTree() override;

    QTreeWidget* tvDir = nullptr;
    QSplitter* Splitter1 = nullptr;
    QTableWidget* fl = nullptr; // one row per entry of the folder shown
    QLabel* Msg = nullptr;      // the bottom panel; a click extracts every file of the folder shown

    // Every question and message goes through these, so tests can answer them.
    // A message box with an OK button.
    std::function<void(const QString& text)> ShowMessage;
    // The input box: nullopt when cancelled.
    std::function<std::optional<QString>(const QString& caption, const QString& prompt,
                                         const QString& initial)>
        InputBox;
    // A Yes/No box: the icon, the caption, the text and the default button; returns the button pressed.
    std::function<QMessageBox::StandardButton(QMessageBox::Icon icon, const QString& caption,
                                              const QString& text, QMessageBox::StandardButton defaultButton)>
        AskYesNo;
    // The folder the files of a folder are extracted into, starting at initial; empty when cancelled.
    std::function<QString(const QString& initial)> ChooseFolder;

    // Builds the folder tree from the burner's root and shows the root's entries.
    void FormShow();
    // Shows the entries of the selected folder.
    void tvdirClick();
    // A double click on a grid row: asks where to put the row's file and extracts it there.
    void Extract1Click();
    // A click on the bottom panel: extracts every file of the folder shown into a chosen folder.
    void MsgClick();
    // Esc closes the window; true when the key was taken.
    bool FormKeyPress(int key);

    // The entry a grid row shows (rows counted from 0 below the header); nullptr for an empty row.
    const image::TFEntry* RowEntry(int row) const;
    // The directory a tree node stands for.
    const image::TDEntry* NodeDirectory(const QTreeWidgetItem* node) const;

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void AddFolderNodes(QTreeWidgetItem* parent, const image::TDEntry* dir);

    image::TOrbelBurner& m_orbel;
    std::vector<const image::TFEntry*> m_rowEntries; // the entry of each grid row
    QString m_extractFolder; // where the last folder extraction went; the next one starts there
};

} // namespace lorvane::app
