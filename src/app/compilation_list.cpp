#include "app/compilation_list.h"

#include <QAbstractItemView>
#include <QAction>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeySequence>

#include <algorithm>
#include <utility>

#include "app/ex_drag_drop.h"
#include "image/orbel_burner.h"

namespace lorvane::app {

namespace {

constexpr int kTickColumnWidth = 23;
constexpr int kSizeColumnWidth = 87;

std::string LocalPath(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

} // namespace

TCompilationList::TCompilationList(image::TOrbelBurner& orbel, QWidget* parent)
    : QTreeWidget(parent), m_orbel(orbel) {
    setObjectName("clBox");
    setColumnCount(3);
    setHeaderLabels({"R", "Name", "Size "});
    headerItem()->setTextAlignment(kSizeColumn, Qt::AlignRight | Qt::AlignVCenter);
    header()->setStretchLastSection(false);
    header()->setSectionResizeMode(kTickColumn, QHeaderView::Fixed);
    header()->setSectionResizeMode(kNameColumn, QHeaderView::Stretch);
    header()->setSectionResizeMode(kSizeColumn, QHeaderView::Fixed);
    // The style's smallest section is wider than the tick column.
    header()->setMinimumSectionSize(std::min(header()->minimumSectionSize(), kTickColumnWidth));
    header()->resizeSection(kTickColumn, kTickColumnWidth);
    header()->resizeSection(kSizeColumn, kSizeColumnWidth);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setSortingEnabled(false);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setDragDropMode(QAbstractItemView::DropOnly);
    setDropIndicatorShown(false);
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);

    m_remove1 = new QAction("Remove", this);
    m_remove1->setObjectName("Remove1");
    m_remove1->setShortcut(QKeySequence(Qt::Key_Delete));
    m_remove1->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    addAction(m_remove1);
    setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(m_remove1, &QAction::triggered, this, &TCompilationList::Remove1Click);
    connect(this, &QTreeWidget::itemDoubleClicked, this, &TCompilationList::Remove1Click);

    m_explorerDragDrop = new TExDragDrop(this);
    m_explorerDragDrop->setObjectName("ExplorerDragDrop");
    m_explorerDragDrop->OnDropped = [this](QObject* sender, int itemsCount) {
        ExplorerDragDropDropped(sender, itemsCount);
    };
    m_explorerDragDrop->SetControl(this);
}

TCompilationList::~TCompilationList() {
    // Unbind while the list is still whole; as a child it would only go after the list's own parts.
    delete m_explorerDragDrop;
}

void TCompilationList::SetDragSources(QAbstractItemView* lbDir, QAbstractItemView* lbFiles,
                                      std::function<QString()> selectedFolder,
                                      std::function<QStringList()> selectedFiles) {
    m_lbDir = lbDir;
    m_lbFiles = lbFiles;
    m_selectedFolder = std::move(selectedFolder);
    m_selectedFiles = std::move(selectedFiles);
}

void TCompilationList::AddRow(const QString& path, bool ticked) {
    auto* item = new QTreeWidgetItem(this);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    item->setCheckState(kTickColumn, ticked ? Qt::Checked : Qt::Unchecked);
    item->setText(kNameColumn, path);
    item->setToolTip(kNameColumn, path);
    item->setText(kSizeColumn, QString::fromStdString(SizeCellText(m_orbel.GetPathSize(LocalPath(path)))));
    item->setTextAlignment(kSizeColumn, Qt::AlignRight | Qt::AlignVCenter);
}

void TCompilationList::AddFolderRow(const QString& folder) {
    // The file system's root keeps its one "/".
    QString path = folder;
    if (path.endsWith('/')) path.chop(1);
    AddRow(path + '/', true);
}

void TCompilationList::AddFileRow(const QString& file) {
    AddRow(file, false);
}

bool TCompilationList::clBoxDragOver(const QObject* source) const {
    return source != nullptr && (source == m_lbDir || source == m_lbFiles);
}

void TCompilationList::clBoxDragDrop(const QObject* source) {
    if (!clBoxDragOver(source)) return;
    if (source == m_lbDir) {
        if (!m_selectedFolder) return;
        const QString folder = m_selectedFolder();
        if (!folder.isEmpty()) AddFolderRow(folder);
    } else if (m_selectedFiles) {
        for (const QString& file : m_selectedFiles())
            if (!file.isEmpty()) AddFileRow(file);
    }
}

void TCompilationList::ExplorerDragDropDropped(QObject* sender, int itemsCount) {
    if (sender != m_explorerDragDrop) return;
    const QStringList& items = m_explorerDragDrop->Items();
    const int count = std::min(itemsCount, static_cast<int>(items.size()));
    for (int index = 0; index < count; ++index) {
        const QString& path = items[index];
        if (QFileInfo(path).isDir())
            AddRow(path.endsWith('/') ? path : path + '/', true);
        else
            AddRow(path, false);
    }
}

void TCompilationList::Remove1Click() {
    const QList<QTreeWidgetItem*> selected = selectedItems();
    if (selected.isEmpty()) return;
    delete selected.front();
}

std::vector<CompilationRow> TCompilationList::Rows() const {
    std::vector<CompilationRow> rows;
    rows.reserve(static_cast<std::size_t>(topLevelItemCount()));
    for (int index = 0; index < topLevelItemCount(); ++index) {
        const QTreeWidgetItem* item = topLevelItem(index);
        rows.push_back({item->checkState(kTickColumn) == Qt::Checked, LocalPath(item->text(kNameColumn))});
    }
    return rows;
}

void TCompilationList::dragEnterEvent(QDragEnterEvent* event) {
    dragMoveEvent(event);
}

void TCompilationList::dragMoveEvent(QDragMoveEvent* event) {
    if (!clBoxDragOver(event->source())) {
        event->ignore();
        return;
    }
    // Only ever a copy: a move would let the source list drop what it gave.
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void TCompilationList::dropEvent(QDropEvent* event) {
    if (!clBoxDragOver(event->source())) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
    clBoxDragDrop(event->source());
}

} // namespace lorvane::app
