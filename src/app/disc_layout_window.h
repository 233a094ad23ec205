#pragma once
// TfrmDiscLayout, "Remove files or directories": the burner's compilation tree as it is about to be
// written, imported entries included, with folders on the left and the selected folder's entries on the
// right. Files and whole folders can be taken out; nothing can be added or renamed. Every removal changes
// the burner's tree at once.

#include <QDialog>
#include <QString>

#include <functional>
#include <unordered_map>
#include <vector>

class QAction;
class QFrame;
class QPushButton;
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

inline constexpr const char* kDiscLayoutCaption = "Remove files or directories";
inline constexpr const char* kRootNodeCaption = "CDROOT";

class TfrmDiscLayout : public QDialog {
    Q_OBJECT
public:
    TfrmDiscLayout(QWidget* owner, image::TOrbelBurner& orbel);

    QTreeWidget* tvDir = nullptr;
    QSplitter* Splitter1 = nullptr;
    QTableWidget* fl = nullptr;
    QFrame* Panel2 = nullptr;
    QPushButton* bClose = nullptr;
    // The tree's popup menu.
    QAction* Delete1 = nullptr;  // "Delete", Del
    QAction* Refresh1 = nullptr; // "Refresh", F5
    // The grid's popup menu.
    QAction* MenuItem1 = nullptr; // "Delete", Del
    QAction* MenuItem2 = nullptr; // "Refresh", F5

    // The message box (tests read it).
    std::function<void(const QString& text)> ShowMessage;

    // Builds the folder tree from the burner's root, selects the root and lists it.
    void FormShow();
    // Lists the entries of the selected folder in the grid.
    void tvdirClick();
    // Grid "Delete": takes the file of the current row out of the tree; folders are refused.
    void MenuItem1Click();
    // Tree "Delete": takes the selected folder and everything below it out of the tree (not the root).
    void Delete1Click();
    void Refresh1Click();
    // Builds the tree again from the burner's tree.
    void Button1Click();
    void bCloseClick();

    // The folder a tree node stands for (nullptr for none), and the folder the grid lists.
    image::TDEntry* DirectoryOf(const QTreeWidgetItem* node) const;
    image::TDEntry* ShownDirectory() const { return m_shown; }
    // The entry a grid row shows (nullptr for none).
    image::TFEntry* EntryOfRow(int row) const;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void FillGrid(image::TDEntry* dir);

    image::TOrbelBurner& m_orbel;
    std::unordered_map<const QTreeWidgetItem*, image::TDEntry*> m_nodes; // tree node -> its folder
    std::vector<image::TFEntry*> m_rows; // grid row -> its entry; rebuilt with each fill
    image::TDEntry* m_shown = nullptr;   // the folder the grid lists
};

} // namespace lorvane::app
