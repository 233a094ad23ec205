#pragma once
// clBox, the compilation list of the main window: one row per source folder or file, filled by drags
// from the main window's folder and file lists and by file drops from any file manager (TExDragDrop).

#include <QStringList>
#include <QTreeWidget>

#include <functional>
#include <vector>

#include "app/core/burn_flow.h"

class QAbstractItemView;

namespace lorvane::image {
class TOrbelBurner;
}

namespace lorvane::app {

class TExDragDrop;

class TCompilationList : public QTreeWidget {
    Q_OBJECT
public:
    // orbel: its GetPathSize gives the size cells.
    TCompilationList(image::TOrbelBurner& orbel, QWidget* parent = nullptr);
    ~TCompilationList() override;

    // The two lists whose drags are accepted, and how to read what is selected in them: the folder
    // list's selected folder and the file list's selected files (full paths), in list order.
    void SetDragSources(QAbstractItemView* lbDir, QAbstractItemView* lbFiles,
                        std::function<QString()> selectedFolder, std::function<QStringList()> selectedFiles);

    void AddFolderRow(const QString& folder); // ticked; the path gets a final "/"
    void AddFileRow(const QString& file);     // unticked
    // ExplorerDragDropDropped: one row per dropped path, a folder ticked, a file unticked.
    void ExplorerDragDropDropped(QObject* sender, int itemsCount);
    // "Remove", Del and a double-click: deletes the selected row, if any.
    void Remove1Click();

    std::vector<CompilationRow> Rows() const;
    TExDragDrop* ExplorerDragDrop() const { return m_explorerDragDrop; }

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    image::TOrbelBurner& m_orbel;
    TExDragDrop* m_explorerDragDrop = nullptr;
    QAbstractItemView* m_lbDir = nullptr;
    QAbstractItemView* m_lbFiles = nullptr;
    std::function<QString()> m_selectedFolder;
    std::function<QStringList()> m_selectedFiles;
};

} // namespace lorvane::app
