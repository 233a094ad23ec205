#pragma once
// clBox, the compilation list of the main window: one row per source folder or file, filled by drags
// from the main window's folder and file lists and by file drops from any file manager (TExDragDrop).

#include <QStringList>
#include <QTreeWidget>

#include <functional>
#include <vector>

#include "app/core/burn_flow.h"

class QAbstractItemView;
class QAction;

namespace lorvane::image {
class TOrbelBurner;
}

namespace lorvane::app {

class TExDragDrop;

class TCompilationList : public QTreeWidget {
    Q_OBJECT
public:
    enum Column { kTickColumn = 0, kNameColumn = 1, kSizeColumn = 2 };

    // orbel: its GetPathSize gives the size cells.
    TCompilationList(image::TOrbelBurner& orbel, QWidget* parent = nullptr);
    ~TCompilationList() override;

    // The two lists whose drags are accepted, and how to read what is selected in them: the folder
    // list's selected folder and the file list's selected files (full paths), in list order.
    void SetDragSources(QAbstractItemView* lbDir, QAbstractItemView* lbFiles,
                        std::function<QString()> selectedFolder, std::function<QStringList()> selectedFiles);

    void AddFolderRow(const QString& folder); // ticked; the path gets a final "/"
    void AddFileRow(const QString& file);     // unticked
    // clBoxDragOver: whether a drag from source is taken (only from lbDir or lbFiles).
    bool clBoxDragOver(const QObject* source) const;
    // clBoxDragDrop: the rows for what is selected in source, when it is lbDir or lbFiles.
    void clBoxDragDrop(const QObject* source);
    // ExplorerDragDropDropped: one row per dropped path, a folder ticked, a file unticked.
    void ExplorerDragDropDropped(QObject* sender, int itemsCount);
    // "Remove", Del and a double-click: deletes the selected row, if any.
    void Remove1Click();

    std::vector<CompilationRow> Rows() const;
    TExDragDrop* ExplorerDragDrop() const { return m_explorerDragDrop; }
    QAction* Remove1() const { return m_remove1; }

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void AddRow(const QString& path, bool ticked);

    image::TOrbelBurner& m_orbel;
    TExDragDrop* m_explorerDragDrop = nullptr;
    QAction* m_remove1 = nullptr;
    QAbstractItemView* m_lbDir = nullptr;
    QAbstractItemView* m_lbFiles = nullptr;
    std::function<QString()> m_selectedFolder;
    std::function<QStringList()> m_selectedFiles;
};

} // namespace lorvane::app
