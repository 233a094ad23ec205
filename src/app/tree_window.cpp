#include "app/tree_window.h"

#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QFont>
#include <QHeaderView>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QScreen>
#include <QShowEvent>
#include <QSplitter>
#include <QStringList>
#include <QTableWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "app/core/entry_names.h"
#include "image/orbel_burner.h"

namespace lorvane::app {

namespace fs = std::filesystem;

namespace {

constexpr int kWidth = 625;
constexpr int kHeight = 369;
constexpr int kTreeWidth = 121;
constexpr int kNameColumnWidth = 361;
constexpr int kSizeColumnWidth = 71;
constexpr int kRowHeight = 18;
constexpr int kGridFontPoints = 8;
constexpr int kMsgHeight = 19;
// Each tree node keeps the directory it stands for.
constexpr int kDirectoryRole = Qt::UserRole;

QString EntryName(const image::TFEntry& entry) {
    return QString::fromStdString(DiscEntryName(entry));
}

// The name a disc file is written under locally: never one that leaves the folder it is written into.
std::string LocalName(const image::TFEntry& entry) {
    const std::string name = DiscEntryName(entry);
    return SafeLocalName(name).value_or(name);
}

fs::path LocalPath(const QString& text) {
    return fs::path(QFile::encodeName(text).toStdString());
}

QString ShownPath(const fs::path& path) {
    return QFile::decodeName(QByteArray::fromStdString(path.string()));
}

bool Exists(const fs::path& path) {
    std::error_code error;
    return fs::symlink_status(path, error).type() != fs::file_type::not_found;
}

enum class Extracted { Done, Exists, Failed };

// Copies the file entry to dest. The data goes to a scratch file beside dest first and takes dest's
// name only when it was read in full, so an unreadable sector never leaves a shortened copy behind
// and never costs the file being replaced. Without replace an existing dest is left alone (Exists).
// On Failed, reason says why.
Extracted ExtractTo(image::TOrbelBurner& orbel, const image::TFEntry& entry, const fs::path& dest,
                    bool replace, QString& reason) {
    const fs::path folder = dest.parent_path().empty() ? fs::path(".") : dest.parent_path();
    if (!replace && Exists(dest)) return Extracted::Exists;
    std::string scratch = (folder / ".lorvane-extract-XXXXXX").string();
    const int fd = ::mkstemp(scratch.data());
    if (fd < 0) {
        reason = QStringLiteral("%1 can not be created: %2")
                     .arg(ShownPath(dest), QString::fromLocal8Bit(std::strerror(errno)));
        return Extracted::Failed;
    }
    // mkstemp makes the file private; the copy gets the permissions any new file of this user gets.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    (void)::fchmod(fd, 0666 & ~mask);
    ::close(fd);

    bool complete = false;
    try {
        complete = orbel.ExtractFile(&entry, scratch);
    } catch (const image::ImageWriteError&) {
        ::unlink(scratch.c_str());
        reason = QStringLiteral("%1 can not be written").arg(ShownPath(dest));
        return Extracted::Failed;
    }
    if (!complete) {
        ::unlink(scratch.c_str());
        reason = QStringLiteral("%1 could not be read from the disc").arg(EntryName(entry));
        if (!orbel.LastErrorText.empty()) reason += " (" + QString::fromStdString(orbel.LastErrorText) + ")";
        return Extracted::Failed;
    }

    int renamed = 0;
    if (replace) {
        renamed = ::rename(scratch.c_str(), dest.c_str());
    } else {
        renamed = ::renameat2(AT_FDCWD, scratch.c_str(), AT_FDCWD, dest.c_str(), RENAME_NOREPLACE);
        if (renamed != 0 && (errno == EINVAL || errno == ENOSYS)) {
            // A file system that cannot refuse to replace in the rename itself.
            if (Exists(dest)) {
                errno = EEXIST;
            } else {
                renamed = ::rename(scratch.c_str(), dest.c_str());
            }
        }
    }
    if (renamed != 0) {
        const int error = errno;
        ::unlink(scratch.c_str());
        if (error == EEXIST) return Extracted::Exists;
        reason = QStringLiteral("%1 can not be created: %2")
                     .arg(ShownPath(dest), QString::fromLocal8Bit(std::strerror(error)));
        return Extracted::Failed;
    }
    return Extracted::Done;
}

} // namespace

TfrmTree::TfrmTree(QWidget* owner, image::TOrbelBurner& orbel) : QDialog(owner), m_orbel(orbel) {
    setObjectName(QStringLiteral("frmTree"));
    setWindowTitle(
        QStringLiteral("File and Directories Viewer and Extractor (Double Click on a file name to extract)"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                   Qt::WindowCloseButtonHint);
    resize(kWidth, kHeight);

    tvDir = new QTreeWidget(this);
    tvDir->setHeaderHidden(true);
    tvDir->setColumnCount(1);
    tvDir->setSelectionBehavior(QAbstractItemView::SelectRows);
    tvDir->setAllColumnsShowFocus(true);

    fl = new QTableWidget(this);
    fl->setColumnCount(2);
    fl->setHorizontalHeaderLabels({QStringLiteral("File Name"), QStringLiteral("File Size")});
    fl->verticalHeader()->hide();
    fl->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    fl->verticalHeader()->setDefaultSectionSize(kRowHeight);
    fl->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    fl->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    fl->setColumnWidth(0, kNameColumnWidth);
    fl->setColumnWidth(1, kSizeColumnWidth);
    // 8 points, so that the nine places of a size fit the size column.
    QFont fixed(QStringLiteral("Courier New"), kGridFontPoints);
    fixed.setStyleHint(QFont::TypeWriter);
    fl->setFont(fixed);
    fl->setSelectionBehavior(QAbstractItemView::SelectRows);
    fl->setSelectionMode(QAbstractItemView::SingleSelection);
    fl->setEditTriggers(QAbstractItemView::NoEditTriggers);
    fl->setShowGrid(true);
    fl->setToolTip(QStringLiteral("Double click on a file name to extract"));

    Splitter1 = new QSplitter(Qt::Horizontal, this);
    Splitter1->addWidget(tvDir);
    Splitter1->addWidget(fl);
    Splitter1->setStretchFactor(0, 0);
    Splitter1->setStretchFactor(1, 1);
    Splitter1->setSizes({kTreeWidth, kWidth - kTreeWidth});

    Msg = new QLabel(this);
    Msg->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Msg->setFixedHeight(kMsgHeight);
    Msg->setToolTip(QStringLiteral("Click here to extract every file of this folder"));
    Msg->installEventFilter(this);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(Splitter1, 1);
    layout->addWidget(Msg);

    ShowMessage = [this](const QString& text) { QMessageBox::information(this, windowTitle(), text); };
    InputBox = [this](const QString& caption, const QString& prompt,
                      const QString& initial) -> std::optional<QString> {
        bool ok = false;
        const QString text = QInputDialog::getText(this, caption, prompt, QLineEdit::Normal, initial, &ok);
        if (!ok) return std::nullopt;
        return text;
    };
    AskYesNo = [this](QMessageBox::Icon icon, const QString& caption, const QString& text,
                      QMessageBox::StandardButton defaultButton) {
        QMessageBox box(icon, caption, text, QMessageBox::Yes | QMessageBox::No, this);
        box.setDefaultButton(defaultButton);
        return static_cast<QMessageBox::StandardButton>(box.exec());
    };
    ChooseFolder = [this](const QString& initial) {
        return QFileDialog::getExistingDirectory(this, QStringLiteral("Extract the files of this folder to"),
                                                 initial);
    };

    connect(tvDir, &QTreeWidget::currentItemChanged, this, [this] { tvdirClick(); });
    connect(fl, &QTableWidget::cellDoubleClicked, this, [this] { Extract1Click(); });
}

TfrmTree::~TfrmTree() = default;

void TfrmTree::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (event->spontaneous()) return;
    if (const QScreen* screen = this->screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    FormShow();
}

void TfrmTree::keyPressEvent(QKeyEvent* event) {
    if (FormKeyPress(event->key())) return;
    QDialog::keyPressEvent(event);
}

bool TfrmTree::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Msg && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton &&
        Msg->rect().contains(static_cast<QMouseEvent*>(event)->position().toPoint())) {
        MsgClick();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

bool TfrmTree::FormKeyPress(int key) {
    if (key != Qt::Key_Escape) return false;
    reject();
    return true;
}

void TfrmTree::AddFolderNodes(QTreeWidgetItem* parent, const image::TDEntry* dir) {
    for (const image::TFEntry* entry = dir->FirstEntry; entry; entry = entry->Next) {
        if (!entry->Dir) continue;
        auto* node = new QTreeWidgetItem(parent, {EntryName(*entry)});
        node->setData(0, kDirectoryRole, QVariant::fromValue(reinterpret_cast<quintptr>(entry->Dir)));
        AddFolderNodes(node, entry->Dir);
    }
}

void TfrmTree::FormShow() {
    const QSignalBlocker quiet(tvDir);
    tvDir->clear();
    auto* root = new QTreeWidgetItem(tvDir, {QStringLiteral("CDROOT")});
    root->setData(0, kDirectoryRole, QVariant::fromValue(reinterpret_cast<quintptr>(m_orbel.Root)));
    if (m_orbel.Root) AddFolderNodes(root, m_orbel.Root);
    root->setExpanded(true);
    tvDir->setCurrentItem(root);
    tvdirClick();
}

const image::TDEntry* TfrmTree::NodeDirectory(const QTreeWidgetItem* node) const {
    if (!node) return nullptr;
    return reinterpret_cast<const image::TDEntry*>(node->data(0, kDirectoryRole).value<quintptr>());
}

const image::TFEntry* TfrmTree::RowEntry(int row) const {
    if (row < 0 || static_cast<std::size_t>(row) >= m_rowEntries.size()) return nullptr;
    return m_rowEntries[static_cast<std::size_t>(row)];
}

void TfrmTree::tvdirClick() {
    m_rowEntries.clear();
    const image::TDEntry* dir = NodeDirectory(tvDir->currentItem());
    if (dir)
        for (const image::TFEntry* entry = dir->FirstEntry; entry; entry = entry->Next)
            m_rowEntries.push_back(entry);
    fl->clearContents();
    // An empty folder keeps one empty row below the header.
    fl->setRowCount(m_rowEntries.empty() ? 1 : static_cast<int>(m_rowEntries.size()));
    for (std::size_t i = 0; i < m_rowEntries.size(); ++i) {
        const image::TFEntry& entry = *m_rowEntries[i];
        const int row = static_cast<int>(i);
        fl->setItem(row, 0,
                    new QTableWidgetItem(QStringLiteral("%1 %2").arg(row + 1, 2).arg(EntryName(entry))));
        fl->setItem(row, 1,
                    new QTableWidgetItem(entry.Dir ? QStringLiteral(" < DIR > ")
                                                   : QStringLiteral("%1").arg(entry.ISOSize, 9)));
    }
}

void TfrmTree::Extract1Click() {
    const image::TFEntry* entry = RowEntry(fl->currentRow());
    if (!entry) return;
    const QString name = EntryName(*entry);
    if (entry->Dir) {
        ShowMessage("You can not extract directory, " + name + " is a directory");
        return;
    }
    const QString local = QString::fromStdString(LocalName(*entry));
    const std::optional<QString> answer =
        InputBox(QStringLiteral("Extract File"), QStringLiteral("Enter Filename and Path"), local);
    if (!answer || answer->trimmed().isEmpty()) return;
    // A bare name lands in the current folder; a folder gets the file under its own name.
    fs::path dest = LocalPath(*answer);
    std::error_code error;
    if (fs::is_directory(dest, error)) dest /= LocalName(*entry);
    bool replace = false;
    if (Exists(dest)) {
        if (AskYesNo(QMessageBox::Warning, QStringLiteral("Extract File"),
                     ShownPath(dest) + " already exists.\nDo you want to replace it?",
                     QMessageBox::No) != QMessageBox::Yes)
            return;
        replace = true;
    }
    QString reason;
    switch (ExtractTo(m_orbel, *entry, dest, replace, reason)) {
    case Extracted::Done: Msg->setText("Extracted " + name + " to " + ShownPath(dest)); break;
    case Extracted::Exists: ShowMessage(ShownPath(dest) + " already exists; it was not replaced."); break;
    case Extracted::Failed: ShowMessage(reason); break;
    }
}

void TfrmTree::MsgClick() {
    bool anyFile = false;
    for (const image::TFEntry* entry : m_rowEntries) anyFile = anyFile || (entry && !entry->Dir);
    if (!anyFile) return;
    const QString initial = m_extractFolder.isEmpty() ? QDir::currentPath() : m_extractFolder;
    const QString chosen = ChooseFolder(initial);
    if (chosen.isEmpty()) return;
    m_extractFolder = chosen;
    const fs::path folder = LocalPath(chosen);

    QStringList kept;
    QStringList failed;
    for (int row = 0; row < fl->rowCount(); ++row) {
        const image::TFEntry* entry = RowEntry(row);
        if (!entry || entry->Dir) continue;
        const QString name = EntryName(*entry);
        Msg->setText("Extracting " + name);
        Msg->repaint();
        QString reason;
        switch (ExtractTo(m_orbel, *entry, folder / LocalName(*entry), false, reason)) {
        case Extracted::Done: break;
        case Extracted::Exists: kept << name; break;
        case Extracted::Failed: failed << reason; break;
        }
    }
    QStringList report;
    if (!kept.isEmpty()) report << "Not overwritten, already in " + chosen + ": " + kept.join(", ");
    if (!failed.isEmpty()) report << "Not extracted: " + failed.join(", ");
    if (!report.isEmpty()) Msg->setText(report.join("; "));
}

} // namespace lorvane::app
