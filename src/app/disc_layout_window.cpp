#include "app/disc_layout_window.h"

#include <QAction>
#include <QFont>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QSplitter>
#include <QTableWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <utility>

#include "image/iso_text.h"
#include "image/orbel_burner.h"

namespace lorvane::app {

namespace {

constexpr int kWidth = 646;
constexpr int kHeight = 369;
constexpr int kTreeWidth = 145;
constexpr int kNameColumnWidth = 254;
constexpr int kSizeColumnWidth = 71;
constexpr int kDateColumnWidth = 141;
constexpr int kRowHeight = 18;
constexpr int kPanelHeight = 22;
constexpr int kCloseWidth = 121;
constexpr int kSizeWidth = 9;
enum Column { kNameColumn = 0, kSizeColumn = 1, kDateColumn = 2, kColumnCount = 3 };

// The name as the disc shows it: the tree adds a "." to a file name without one for its lookups, and
// the Joliet record leaves it out again.
QString ShownName(const image::TFEntry& entry) {
    std::string name = entry.LongName;
    if (entry.DotAdded && name.size() > 1 && name.back() == '.') name.pop_back();
    return QString::fromStdString(name);
}

// A date-time as month-day-year hours:minutes:seconds, for example 12-31-2004 23:59:58.
QString DateText(double dateTime) {
    const image::CivilTime time = image::DecodeDateTime(dateTime);
    return QString::asprintf("%02u-%02u-%04d %02u:%02u:%02u", time.month, time.day, time.year, time.hour,
                             time.minute, time.second);
}

QTableWidgetItem* Cell(const QString& text) {
    auto* cell = new QTableWidgetItem(text);
    cell->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    return cell;
}

QAction* MenuAction(const QString& caption, const QKeySequence& shortcut, QWidget* owner) {
    auto* action = new QAction(caption, owner);
    action->setShortcut(shortcut);
    // Each list's keys act on that list only, as its popup menu does.
    action->setShortcutContext(Qt::WidgetShortcut);
    owner->addAction(action);
    return action;
}

} // namespace

TfrmDiscLayout::TfrmDiscLayout(QWidget* owner, image::TOrbelBurner& orbel) : QDialog(owner), m_orbel(orbel) {
    setObjectName(QStringLiteral("frmDiscLayout"));
    setWindowTitle(QString::fromLatin1(kDiscLayoutCaption));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                   Qt::WindowCloseButtonHint);
    setFont(QFont(QStringLiteral("Tahoma"), 8));
    resize(kWidth, kHeight);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    Splitter1 = new QSplitter(Qt::Horizontal, this);
    Splitter1->setChildrenCollapsible(false);
    tvDir = new QTreeWidget(Splitter1);
    tvDir->setHeaderHidden(true);
    tvDir->setColumnCount(1);
    tvDir->setSelectionMode(QAbstractItemView::SingleSelection);
    tvDir->setSelectionBehavior(QAbstractItemView::SelectRows);
    tvDir->setAllColumnsShowFocus(true);
    tvDir->setContextMenuPolicy(Qt::CustomContextMenu);
    Delete1 = MenuAction(QStringLiteral("Delete"), QKeySequence(Qt::Key_Delete), tvDir);
    Refresh1 = MenuAction(QStringLiteral("Refresh"), QKeySequence(Qt::Key_F5), tvDir);

    fl = new QTableWidget(0, kColumnCount, Splitter1);
    QFont courier(QStringLiteral("Courier New"));
    courier.setStyleHint(QFont::Monospace);
    fl->setFont(courier);
    fl->setToolTip(QStringLiteral("Double click on a file name to extract"));
    fl->setHorizontalHeaderLabels(
        {QStringLiteral("File Name"), QStringLiteral("File Size"), QStringLiteral("    Date & Time ")});
    fl->verticalHeader()->hide();
    fl->verticalHeader()->setMinimumSectionSize(kRowHeight);
    fl->verticalHeader()->setDefaultSectionSize(kRowHeight);
    fl->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    fl->horizontalHeader()->setStretchLastSection(false);
    fl->horizontalHeader()->setHighlightSections(false);
    fl->setColumnWidth(kNameColumn, kNameColumnWidth);
    fl->setColumnWidth(kSizeColumn, kSizeColumnWidth);
    fl->setColumnWidth(kDateColumn, kDateColumnWidth);
    fl->setSelectionMode(QAbstractItemView::SingleSelection);
    fl->setSelectionBehavior(QAbstractItemView::SelectRows);
    fl->setEditTriggers(QAbstractItemView::NoEditTriggers);
    fl->setWordWrap(false);
    fl->setContextMenuPolicy(Qt::CustomContextMenu);
    MenuItem1 = MenuAction(QStringLiteral("Delete"), QKeySequence(Qt::Key_Delete), fl);
    MenuItem2 = MenuAction(QStringLiteral("Refresh"), QKeySequence(Qt::Key_F5), fl);

    Splitter1->addWidget(tvDir);
    Splitter1->addWidget(fl);
    Splitter1->setStretchFactor(0, 0);
    Splitter1->setStretchFactor(1, 1);
    Splitter1->setSizes({kTreeWidth, kWidth - kTreeWidth});
    layout->addWidget(Splitter1, 1);

    Panel2 = new QFrame(this);
    Panel2->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel2->setFixedHeight(kPanelHeight);
    auto* bottom = new QHBoxLayout(Panel2);
    bottom->setContentsMargins(1, 1, 1, 1);
    bottom->setSpacing(0);
    bClose = new QPushButton(QStringLiteral("Close"), Panel2);
    bClose->setFixedWidth(kCloseWidth);
    bClose->setAutoDefault(false); // Enter in a list must not close the window
    bottom->addWidget(bClose);
    bottom->addStretch(1);
    layout->addWidget(Panel2);

    ShowMessage = [this](const QString& text) {
        QMessageBox box(QMessageBox::NoIcon, QGuiApplication::applicationDisplayName(), text, QMessageBox::Ok,
                        this);
        box.exec();
    };

    connect(tvDir, &QTreeWidget::currentItemChanged, this, &TfrmDiscLayout::tvdirClick);
    connect(tvDir, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        // A right click selects the folder it is on first, so the menu acts on what the user sees.
        if (QTreeWidgetItem* node = tvDir->itemAt(at)) tvDir->setCurrentItem(node);
        QMenu menu(tvDir);
        menu.addAction(Delete1);
        menu.addAction(Refresh1);
        menu.exec(tvDir->viewport()->mapToGlobal(at));
    });
    connect(fl, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        QMenu menu(fl);
        menu.addAction(MenuItem1);
        menu.addAction(MenuItem2);
        menu.exec(fl->viewport()->mapToGlobal(at));
    });
    connect(Delete1, &QAction::triggered, this, &TfrmDiscLayout::Delete1Click);
    connect(Refresh1, &QAction::triggered, this, &TfrmDiscLayout::Refresh1Click);
    connect(MenuItem1, &QAction::triggered, this, &TfrmDiscLayout::MenuItem1Click);
    connect(MenuItem2, &QAction::triggered, this, &TfrmDiscLayout::Refresh1Click);
    connect(bClose, &QPushButton::clicked, this, &TfrmDiscLayout::bCloseClick);

    if (const QScreen* screen = owner ? owner->screen() : QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void TfrmDiscLayout::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!event->spontaneous()) FormShow();
}

void TfrmDiscLayout::FormShow() {
    const QSignalBlocker quiet(tvDir); // the grid is filled once, for the root, at the end
    tvDir->clear();
    m_nodes.clear();
    m_shown = nullptr;
    image::TDEntry* root = m_orbel.Root;
    if (!root) {
        FillGrid(nullptr);
        return;
    }
    auto* rootNode = new QTreeWidgetItem(tvDir, {QString::fromLatin1(kRootNodeCaption)});
    m_nodes.emplace(rootNode, root);
    // Depth first in entry order; a work list instead of recursion, since imported trees can be deep.
    std::vector<std::pair<QTreeWidgetItem*, const image::TDEntry*>> pending{{rootNode, root}};
    while (!pending.empty()) {
        const auto [parentNode, dir] = pending.back();
        pending.pop_back();
        std::vector<std::pair<QTreeWidgetItem*, const image::TDEntry*>> children;
        for (const image::TFEntry* entry = dir->FirstEntry; entry; entry = entry->Next) {
            if (!entry->Dir || entry->Dir == dir || entry->Dir == root) continue;
            auto* node = new QTreeWidgetItem(parentNode, {ShownName(*entry)});
            m_nodes.emplace(node, entry->Dir);
            children.emplace_back(node, entry->Dir);
        }
        pending.insert(pending.end(), children.rbegin(), children.rend());
    }
    rootNode->setExpanded(true);
    tvDir->setCurrentItem(rootNode);
    tvdirClick();
}

image::TDEntry* TfrmDiscLayout::DirectoryOf(const QTreeWidgetItem* node) const {
    const auto found = m_nodes.find(node);
    return found == m_nodes.end() ? nullptr : found->second;
}

image::TFEntry* TfrmDiscLayout::EntryOfRow(int row) const {
    if (row < 0 || static_cast<std::size_t>(row) >= m_rows.size()) return nullptr;
    return m_rows[static_cast<std::size_t>(row)];
}

void TfrmDiscLayout::tvdirClick() {
    FillGrid(DirectoryOf(tvDir->currentItem()));
}

void TfrmDiscLayout::FillGrid(image::TDEntry* dir) {
    m_shown = dir;
    m_rows.clear();
    if (dir)
        for (image::TFEntry* entry = dir->FirstEntry; entry; entry = entry->Next) m_rows.push_back(entry);

    fl->setUpdatesEnabled(false);
    fl->clearContents();
    fl->setRowCount(static_cast<int>(m_rows.size()));
    for (int row = 0; row < static_cast<int>(m_rows.size()); ++row) {
        const image::TFEntry& entry = *m_rows[static_cast<std::size_t>(row)];
        fl->setItem(row, kNameColumn, Cell(ShownName(entry)));
        if (entry.Dir) {
            fl->setItem(row, kSizeColumn, Cell(QStringLiteral(" < DIR > ")));
            fl->setItem(row, kDateColumn, Cell(QString()));
        } else {
            fl->setItem(row, kSizeColumn, Cell(QStringLiteral("%1").arg(entry.ISOSize, kSizeWidth)));
            fl->setItem(row, kDateColumn, Cell(DateText(entry.DateTime)));
        }
    }
    fl->setUpdatesEnabled(true);
}

void TfrmDiscLayout::MenuItem1Click() {
    const int row = fl->currentRow();
    image::TFEntry* entry = EntryOfRow(row);
    if (!entry || !m_shown) return;
    if (entry->Dir) {
        ShowMessage(QStringLiteral("You can not delete directory, ") + ShownName(*entry) +
                    QStringLiteral(" is a directory, use tree view to delete directory"));
        return;
    }
    (void)m_orbel.RemoveNode(m_shown, entry);
    FillGrid(m_shown);
    // The row below moves up into the current place, so Del can take one file after another.
    if (fl->rowCount() > 0) fl->setCurrentCell(std::min(row, fl->rowCount() - 1), kNameColumn);
}

void TfrmDiscLayout::Delete1Click() {
    image::TDEntry* dir = DirectoryOf(tvDir->currentItem());
    if (!dir) return;
    (void)m_orbel.RemoveDirectory(dir); // refuses the root
    Button1Click();
}

void TfrmDiscLayout::Refresh1Click() {
    Button1Click();
}

void TfrmDiscLayout::Button1Click() {
    FormShow();
}

void TfrmDiscLayout::bCloseClick() {
    reject();
}

} // namespace lorvane::app
