#include "app/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QShortcut>
#include <QSplitter>
#include <QStorageInfo>
#include <QThread>
#include <QTimer>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <limits>

#include "app/caps_window.h"
#include "app/compilation_list.h"
#include "app/core/burn_flow.h"
#include "app/core/display_format.h"
#include "app/core/speed_list.h"
#include "app/disc_layout_window.h"
#include "app/sessions_window.h"
#include "app/settings_dialog.h"
#include "app/settings_file.h"

namespace lorvane::app {

namespace {

constexpr int kTimerIntervalMs = 500;
constexpr int kReadyTimeoutMs = 5000;
constexpr int kEjectFlushTimeoutMs = 300000;
constexpr std::uint8_t kLogLevel = 0;
constexpr std::uint8_t kMediumDvdRam = 6;

// Megabytes of 1,048,576 bytes with thousands separators and two decimals ("#,##0.00").
QString Megabytes(double bytes) {
    char digits[64];
    std::snprintf(digits, sizeof digits, "%.2f", bytes / 1048576.0);
    std::string text = digits;
    const std::size_t dot = text.find('.');
    for (std::size_t at = dot; at > 3; at -= 3) text.insert(at - 3, ",");
    return QString::fromStdString(text);
}

QString SectorsAsMegabytes(std::int64_t sectors) {
    return Megabytes(static_cast<double>(sectors) * static_cast<double>(image::kSectorSize));
}

int ClampToInt(std::int64_t value) {
    return static_cast<int>(std::clamp<std::int64_t>(value, 0, std::numeric_limits<int>::max()));
}

// A bar's maximum. A Qt bar whose range is 0..0 shows a busy animation; the empty bar an unknown size
// stands for is 0 of 1.
void SetBarMaximum(QProgressBar* bar, std::int64_t maximum) {
    bar->setRange(0, std::max(1, ClampToInt(maximum)));
}

QPushButton* Button(const QString& caption, const QString& hint, QWidget* parent) {
    auto* button = new QPushButton(caption, parent);
    if (!hint.isEmpty()) button->setToolTip(hint);
    return button;
}

QFont Monospace() {
    QFont font("Courier New");
    font.setStyleHint(QFont::Monospace);
    return font;
}

// The compilation's source file that is the image about to be written, if any: writing the image would
// destroy that source and record the half-written image in its place.
const std::string* SourceThatIsTheImage(const image::TOrbelBurner& burner, const std::string& output) {
    struct stat imageInfo {};
    if (::stat(output.c_str(), &imageInfo) != 0) return nullptr;
    for (const auto& entry : burner.Files()) {
        struct stat source {};
        if (!entry->SourcePath.empty() && ::stat(entry->SourcePath.c_str(), &source) == 0 &&
            source.st_dev == imageInfo.st_dev && source.st_ino == imageInfo.st_ino)
            return &entry->SourcePath;
    }
    return nullptr;
}

} // namespace

void TSpeedComboBox::showPopup() {
    if (OnDropDown) OnDropDown();
    QComboBox::showPopup();
}

void MemoLogSink::AppendLine(const std::string& line) {
    const QString text = QString::fromStdString(line);
    if (QThread::currentThread() == m_memo->thread()) {
        m_memo->appendPlainText(text);
        return;
    }
    QPlainTextEdit* memo = m_memo;
    QMetaObject::invokeMethod(
        memo, [memo, text] { memo->appendPlainText(text); }, Qt::QueuedConnection);
}

TForm1::TForm1(transport::Clock& clock, QWidget* parent) : QWidget(parent), orbel(clock) {
    setWindowTitle(kMainWindowCaption);
    QFont font("Tahoma", 8);
    setFont(font);
    resize(738, 460);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    BuildControls();
    m_logSink = std::make_unique<MemoLogSink>(Memo1);

    // The burner's design-time settings.
    orbel.SetDebugWindow(m_logSink.get());
    orbel.DoDebug = true;
    orbel.UnderrunProtection = true;
    orbel.PerformOPC = true;
    orbel.FinalizeDisc = false;
    orbel.TestWrite = false;
    orbel.ReplaceFile = false;
    orbel.WritePostGap = false;
    orbel.ReadSpeed = 0;
    orbel.DeviceBufferSize = 0;
    orbel.DeviceFreeBufferSize = 0;
    orbel.SetCacheSize(image::kDefaultCacheSize);
    orbel.DefaultBeep = [this] { Beep(); };
    orbel.OnWriteDone = [this](image::TOrbelBurner*, const std::string& error) { orbelWriteDone(error); };
    orbel.OnEraseDone = [this](drive::TSCSIDevice*, bool withError) { orbelEraseDone(withError); };

    InstallDefaultDialogs();
    ConnectControls();
    FillVolumes();
}

TForm1::~TForm1() {
    // No worker may raise an event into a window that is going away.
    if (image::TOrbelBurner::Writing()) orbel.AbortWrite();
    orbel.WaitForWriteEnd();
    orbel.JoinEraseThread();
    orbel.SetDebugWindow(nullptr);
}

void TForm1::BuildControls() {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    // Top bar.
    pTop = new QFrame(this);
    pTop->setObjectName("pTop");
    pTop->setFixedHeight(27);
    auto* top = new QHBoxLayout(pTop);
    top->setContentsMargins(2, 2, 2, 2);
    top->setSpacing(2);
    lDrive = new QLabel(" Drive :", pTop);
    cbDrives = new QComboBox(pTop);
    cbDrives->setFont(Monospace());
    cbDrives->setFixedWidth(277);
    bCaps = Button("...", "Drive capabilities", pTop);
    bCaps->setFixedWidth(24);
    cbSpeed = new TSpeedComboBox(pTop);
    cbSpeed->setFixedWidth(93);
    bDisc = Button("Disc Info", "Disc & Session information (Extract file from any session)", pTop);
    bAdvance = Button("Advance", "Start Burning", pTop);
    bBurn = Button("Burn", "Start Burning", pTop);
    QFont bold = bBurn->font();
    bold.setBold(true);
    bBurn->setFont(bold);
    for (QWidget* w :
         {static_cast<QWidget*>(lDrive), static_cast<QWidget*>(cbDrives), static_cast<QWidget*>(bCaps),
          static_cast<QWidget*>(cbSpeed), static_cast<QWidget*>(bDisc)})
        top->addWidget(w);
    top->addStretch();
    top->addWidget(bAdvance);
    top->addWidget(bBurn);
    layout->addWidget(pTop);

    // Second bar.
    pTop2 = new QFrame(this);
    pTop2->setObjectName("pTop2");
    pTop2->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    pTop2->setFixedHeight(26);
    auto* top2 = new QHBoxLayout(pTop2);
    top2->setContentsMargins(2, 1, 2, 1);
    top2->setSpacing(2);
    bQErase = Button("Q.Erase", "Quick Erase", pTop2);
    bCErase = Button("C.Erase", "Full Erase (Normally not required)", pTop2);
    bLoad = Button("Load", "Load Medium", pTop2);
    bEject = Button("Eject", "Eject Medium", pTop2);
    bReady = Button("Ready", "Is Unit Ready ?", pTop2);
    for (QPushButton* button : {bQErase, bCErase, bLoad, bEject, bReady}) {
        button->setFixedSize(48, 22);
        top2->addWidget(button);
    }
    top2->addStretch();
    Label1 = new QLabel(QUrl(kMakerAddress).host(), pTop2);
    Label1->setFixedWidth(157);
    Label1->setAlignment(Qt::AlignCenter);
    QFont link = Label1->font();
    link.setPointSize(10);
    link.setUnderline(true);
    Label1->setFont(link);
    Label1->setStyleSheet("color: blue");
    Label1->setCursor(Qt::PointingHandCursor);
    Label1->installEventFilter(this);
    top2->addWidget(Label1);
    layout->addWidget(pTop2);

    // Middle: the compilation beside the local files, the log below them.
    auto* logSplitter = new QSplitter(Qt::Vertical, this);
    auto* middle = new QSplitter(Qt::Horizontal, logSplitter);

    pDiscFiles = new QWidget(middle);
    auto* discFiles = new QVBoxLayout(pDiscFiles);
    discFiles->setContentsMargins(0, 0, 0, 0);
    discFiles->setSpacing(0);
    Panel4 = new QWidget(pDiscFiles);
    auto* tools = new QHBoxLayout(Panel4);
    tools->setContentsMargins(2, 2, 2, 2);
    tools->setSpacing(2);
    bSaveISO = Button("Build .ISO", "Build and Save .ISO Image", Panel4);
    bBurnISO = Button("Burn .ISO", "Start Burning", Panel4);
    cPathInfo = new QCheckBox("Save path", Panel4);
    cPathInfo->setToolTip("Preserve directory structure");
    cPathInfo->setTristate(true);
    cPathInfo->setCheckState(Qt::PartiallyChecked);
    cPathInfo->setLayoutDirection(Qt::RightToLeft); // the text left of the box
    bClear = Button("Clear", "", Panel4);
    tools->addWidget(bSaveISO);
    tools->addWidget(bBurnISO);
    tools->addStretch();
    tools->addWidget(cPathInfo);
    tools->addWidget(bClear);
    discFiles->addWidget(Panel4);
    clBox = new TCompilationList(orbel, pDiscFiles);
    discFiles->addWidget(clBox);

    pDrivesDir = new QWidget(middle);
    auto* drivesDir = new QVBoxLayout(pDrivesDir);
    drivesDir->setContentsMargins(0, 0, 0, 0);
    drivesDir->setSpacing(0);
    Panel2 = new QWidget(pDrivesDir);
    Panel2->setFixedHeight(26);
    DriveCB = new QComboBox(Panel2);
    bNetwork = Button("Network", "", Panel2);
    Panel2->installEventFilter(this);
    drivesDir->addWidget(Panel2);
    auto* browsers = new QSplitter(Qt::Horizontal, pDrivesDir);
    m_dirModel = new QFileSystemModel(this);
    m_dirModel->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    m_dirModel->setRootPath(QDir::rootPath());
    lbDir = new QTreeView(browsers);
    lbDir->setModel(m_dirModel);
    for (int column = 1; column < m_dirModel->columnCount(); ++column) lbDir->hideColumn(column);
    lbDir->setHeaderHidden(true);
    lbDir->setDragEnabled(true);
    lbDir->setDragDropMode(QAbstractItemView::DragOnly);
    m_fileModel = new QFileSystemModel(this);
    // Files of every kind: hidden and system ones too.
    m_fileModel->setFilter(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    lbFiles = new QListView(browsers);
    lbFiles->setModel(m_fileModel);
    lbFiles->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lbFiles->setDragEnabled(true);
    lbFiles->setDragDropMode(QAbstractItemView::DragOnly);
    browsers->addWidget(lbDir);
    browsers->addWidget(lbFiles);
    browsers->setSizes({194, 238});
    drivesDir->addWidget(browsers);
    middle->addWidget(pDiscFiles);
    middle->addWidget(pDrivesDir);
    middle->setSizes({306, 432});

    Memo1 = new QPlainTextEdit(logSplitter);
    Memo1->setFont(Monospace());
    Memo1->setReadOnly(true);
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setToolTip("Log");
    Memo1->setContextMenuPolicy(Qt::CustomContextMenu);
    ClearAll1 = new QAction("Clear Log", Memo1);
    ClearAll1->setShortcut(Qt::Key_F8);
    ClearAll1->setShortcutContext(Qt::WindowShortcut);
    Memo1->addAction(ClearAll1);
    logSplitter->addWidget(middle);
    logSplitter->addWidget(Memo1);
    logSplitter->setSizes({460 - 27 - 26 - 21 - 86, 86});
    layout->addWidget(logSplitter, 1);

    // Status bar.
    pbottom = new QFrame(this);
    pbottom->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    pbottom->setFixedHeight(21);
    auto* bottom = new QHBoxLayout(pbottom);
    bottom->setContentsMargins(1, 1, 1, 1);
    bottom->setSpacing(2);
    Label6 = new QLabel(" CD Progress : ", pbottom);
    pcd = new QProgressBar(pbottom);
    pcd->setFixedWidth(151);
    pcd->setRange(0, 100);
    pcd->setValue(0);
    pcd->setTextVisible(false);
    lSize = new QLabel("Size", pbottom);
    lSize->setFixedWidth(125);
    lSize->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    bAbort = Button("Abort", "Abort write operation", pbottom);
    bAbort->setStyleSheet("color: red");
    bAbort->hide();
    Label5 = new QLabel("Buffer : ", pbottom);
    pBuf = new QProgressBar(pbottom);
    pBuf->setFixedWidth(98);
    pBuf->setRange(0, 100);
    pBuf->setValue(0);
    pBuf->setToolTip("Software buffer status");
    pBuf->setTextVisible(false);
    pHBuf = new QProgressBar(pbottom);
    pHBuf->setFixedWidth(50);
    SetBarMaximum(pHBuf, 0);
    pHBuf->setValue(0);
    pHBuf->setToolTip("Device buffer status");
    pHBuf->setTextVisible(false);
    bottom->addWidget(Label6);
    bottom->addWidget(pcd);
    bottom->addWidget(lSize);
    bottom->addWidget(bAbort);
    bottom->addStretch();
    bottom->addWidget(Label5);
    bottom->addWidget(pBuf);
    bottom->addWidget(pHBuf);
    layout->addWidget(pbottom);

    Timer1 = new QTimer(this);
    Timer1->setInterval(kTimerIntervalMs);
}

void TForm1::ConnectControls() {
    connect(cbDrives, &QComboBox::activated, this, [this] { cbDrivesChange(); });
    cbSpeed->OnDropDown = [this] { cbSpeedDropDown(); };
    connect(bCaps, &QPushButton::clicked, this, &TForm1::bCapsClick);
    connect(bDisc, &QPushButton::clicked, this, &TForm1::bDiscClick);
    connect(bAdvance, &QPushButton::clicked, this, &TForm1::bCDHeaderClick);
    connect(bBurn, &QPushButton::clicked, this, &TForm1::bBurnClick);
    connect(bQErase, &QPushButton::clicked, this, &TForm1::bQEraseClick);
    connect(bCErase, &QPushButton::clicked, this, &TForm1::bCEraseClick);
    connect(bLoad, &QPushButton::clicked, this, &TForm1::bLoadClick);
    connect(bEject, &QPushButton::clicked, this, &TForm1::bEjectClick);
    connect(bReady, &QPushButton::clicked, this, &TForm1::bReadyClick);
    connect(bSaveISO, &QPushButton::clicked, this, &TForm1::bSaveISOClick);
    connect(bBurnISO, &QPushButton::clicked, this, &TForm1::bBurnISOClick);
    connect(cPathInfo, &QCheckBox::clicked, this, &TForm1::cPathInfoClick);
    connect(bClear, &QPushButton::clicked, this, &TForm1::bClearClick);
    connect(bNetwork, &QPushButton::clicked, this, &TForm1::bNetworkClick);
    connect(bAbort, &QPushButton::clicked, this, &TForm1::bAbortClick);
    connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);
    connect(ClearAll1, &QAction::triggered, this, &TForm1::ClearAll1Click);
    connect(Memo1, &QPlainTextEdit::customContextMenuRequested, this, [this](const QPoint& at) {
        QMenu menu(Memo1);
        menu.addAction(ClearAll1);
        menu.exec(Memo1->mapToGlobal(at));
    });
    auto* copyLog = new QShortcut(QKeySequence(Qt::Key_F5), this);
    copyLog->setContext(Qt::WindowShortcut);
    connect(copyLog, &QShortcut::activated, this, &TForm1::CopyLog);

    connect(DriveCB, &QComboBox::activated, this, [this] {
        const QString root = DriveCB->currentData().toString();
        if (!root.isEmpty()) SetBrowseFolder(root);
    });
    connect(lbDir->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) {
                if (!current.isValid()) return;
                const QString folder = m_dirModel->filePath(current);
                m_fileModel->setRootPath(folder);
                lbFiles->setRootIndex(m_fileModel->index(folder));
            });
    clBox->SetDragSources(
        lbDir, lbFiles, [this] { return BrowseFolder(); }, [this] { return SelectedFiles(); });
}

void TForm1::InstallDefaultDialogs() {
    AskYesNo = [this](QMessageBox::Icon icon, const QString& caption, const QString& text,
                      QMessageBox::StandardButton defaultButton) {
        QMessageBox box(icon, caption, text, QMessageBox::Yes | QMessageBox::No, this);
        box.setDefaultButton(defaultButton);
        return static_cast<QMessageBox::StandardButton>(box.exec());
    };
    ShowMessage = [this](QMessageBox::Icon icon, const QString& text) {
        QMessageBox box(icon, QGuiApplication::applicationDisplayName(), text, QMessageBox::Ok, this);
        box.exec();
    };
    InputBox = [this](const QString& caption, const QString& prompt,
                      const QString& initial) -> std::optional<QString> {
        bool ok = false;
        const QString text = QInputDialog::getText(this, caption, prompt, QLineEdit::Normal, initial, &ok);
        if (!ok) return std::nullopt;
        return text;
    };
    OpenImageFile = [this] {
        QFileDialog od(this);
        od.setFileMode(QFileDialog::ExistingFile);
        od.setNameFilters({".ISO Files (*.iso *.ISO)", "All File (*)"});
        od.setDefaultSuffix("iso");
        if (od.exec() != QDialog::Accepted || od.selectedFiles().isEmpty()) return QString();
        return od.selectedFiles().front();
    };
    ShowSettings = [](TfrmSettings& dialog) { dialog.exec(); };
    ShowDiscLayout = [](TfrmDiscLayout& window) { window.exec(); };
    ShowCaps = [](TForm2& dialog) { dialog.exec(); };
    ShowSessions = [](TfrmSessions& dialog) { dialog.exec(); };
    OpenUrl = [](const QUrl& address) { QDesktopServices::openUrl(address); };
    Beep = [] { QApplication::beep(); };
}

void TForm1::FillVolumes() {
    QList<QStorageInfo> volumes = QStorageInfo::mountedVolumes();
    std::sort(volumes.begin(), volumes.end(),
              [](const QStorageInfo& a, const QStorageInfo& b) { return a.rootPath() < b.rootPath(); });
    const QString home = QDir::homePath();
    QString homeVolume = QDir::rootPath();
    for (const QStorageInfo& volume : volumes) {
        if (!volume.isValid() || !volume.isReady()) continue;
        QString text = volume.rootPath();
        if (!volume.displayName().isEmpty() && volume.displayName() != volume.rootPath())
            text += " [" + volume.displayName() + "]";
        DriveCB->addItem(text, volume.rootPath());
        const QString root = volume.rootPath();
        if ((home == root || home.startsWith(root.endsWith('/') ? root : root + "/")) &&
            root.size() >= homeVolume.size())
            homeVolume = root;
    }
    const int index = DriveCB->findData(homeVolume);
    if (index >= 0) DriveCB->setCurrentIndex(index);
    SetBrowseFolder(homeVolume);
    SetBrowseFolder(home);
}

bool TForm1::SetBrowseFolder(const QString& folder) {
    const QFileInfo info(folder);
    if (!info.isDir()) return false;
    const QString path = info.absoluteFilePath();
    // The folder list shows the drive the folder lies on, the folder itself selected.
    const QStorageInfo volume(path);
    const QString root = volume.isValid() ? volume.rootPath() : QDir::rootPath();
    lbDir->setRootIndex(m_dirModel->index(root));
    const QModelIndex index = m_dirModel->index(path);
    lbDir->setCurrentIndex(index);
    lbDir->scrollTo(index);
    m_fileModel->setRootPath(path);
    lbFiles->setRootIndex(m_fileModel->index(path));
    return true;
}

QString TForm1::BrowseFolder() const {
    const QModelIndex current = lbDir->currentIndex();
    return current.isValid() ? m_dirModel->filePath(current) : QString();
}

QStringList TForm1::SelectedFiles() const {
    QModelIndexList selected = lbFiles->selectionModel()->selectedIndexes();
    std::sort(selected.begin(), selected.end(),
              [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    QStringList files;
    for (const QModelIndex& index : selected)
        if (index.column() == 0) files << m_fileModel->filePath(index);
    return files;
}

void TForm1::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (m_shown) return;
    m_shown = true;
    FormShow();
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Panel2 && event->type() == QEvent::Resize) Panel2Resize();
    if (watched == Label1 && event->type() == QEvent::MouseButtonRelease) Label1Click();
    return QWidget::eventFilter(watched, event);
}

void TForm1::Log(const QString& line) {
    orbel.AddDebugMessage(line.toStdString(), kLogLevel);
}

void TForm1::LetWindowRepaint() {
    // Repaints only: a click meanwhile must not start a second command inside this one.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

// ---- start-up and the small operations ----

void TForm1::FormShow() {
    Log(">>> " + windowTitle());
    if (!orbel.InitTransport(true) || !drive::TSCSIDevice::ASPIInitialized()) {
        m_transportReady = false;
        UpdateEnabled();
        ShowMessage(QMessageBox::Critical,
                    QString("Error initializing ASPI Layer, Please visit support page, ") + kSupportAddress +
                        " for more information");
        return;
    }
    if (!orbel.DeviceList.empty()) {
        for (const std::string& device : orbel.DeviceList) cbDrives->addItem(QString::fromStdString(device));
        cbDrives->setCurrentIndex(0);
        cbDrivesChange();
    }
    cbSpeedDropDown();
    SavePathState savePath = SavePathState::Unchecked;
    QString error;
    const bool read = ReadSettingsAtStart(orbel, Options, savePath, &error);
    SetSavePath(savePath);
    if (!read) ShowMessage(QMessageBox::Warning, error);
    Log(" ");
}

void TForm1::cbDrivesChange() {
    const QString device = cbDrives->currentText();
    orbel.SetDevice(device.toStdString());
    cbDrives->setToolTip(device);
    const std::string letter = orbel.GetDriveLetter();
    lDrive->setText(letter.empty() ? QString("  Drive :") : "Drive " + QString::fromStdString(letter) + ":");
    constexpr std::uint32_t kWriteBits =
        drive::cap::kWriteCdR | drive::cap::kWriteDvdR | drive::cap::kWriteDvdRam;
    bBurn->setEnabled((orbel.Capabilities & kWriteBits) != 0);
}

void TForm1::cbSpeedDropDown() {
    const int remembered = cbSpeed->currentIndex();
    const std::vector<std::string> rows = BuildSpeedRows(orbel);
    cbSpeed->clear();
    for (const std::string& row : rows) cbSpeed->addItem(QString::fromStdString(row));
    cbSpeed->setCurrentIndex(SelectedRowAfterRebuild(remembered, rows.size()));
}

void TForm1::Panel2Resize() {
    const int width = std::max(0, Panel2->width() - bNetwork->width() - 4);
    DriveCB->setGeometry(0, 2, width, Panel2->height() - 4);
    bNetwork->move(Panel2->width() - bNetwork->width(), 2);
    bNetwork->resize(bNetwork->width(), Panel2->height() - 4);
}

void TForm1::bNetworkClick() {
    const std::optional<QString> path =
        InputBox("Network Path", "Enter Complete Network path (\\\\Machine1\\C)", QString());
    if (!path) return;
    if (!SetBrowseFolder(*path))
        ShowMessage(QMessageBox::Warning, "The folder \"" + *path + "\" cannot be opened.");
}

void TForm1::Label1Click() {
    OpenUrl(QUrl(kMakerAddress));
}

void TForm1::CopyLog() {
    Memo1->selectAll();
    QGuiApplication::clipboard()->setText(Memo1->toPlainText());
}

void TForm1::ClearAll1Click() {
    Memo1->clear();
}

SavePathState TForm1::SavePath() const {
    switch (cPathInfo->checkState()) {
    case Qt::Checked: return SavePathState::Checked;
    case Qt::PartiallyChecked: return SavePathState::Grayed;
    case Qt::Unchecked: break;
    }
    return SavePathState::Unchecked;
}

void TForm1::SetSavePath(SavePathState state) {
    cPathInfo->setCheckState(state == SavePathState::Checked  ? Qt::Checked
                             : state == SavePathState::Grayed ? Qt::PartiallyChecked
                                                              : Qt::Unchecked);
}

void TForm1::cPathInfoClick() {
    if (!WriteSavePath(SavePath()))
        ShowMessage(QMessageBox::Warning,
                    "The settings file " + SettingsFilePath() + " could not be written.");
}

void TForm1::bClearClick() {
    clBox->clear();
    orbel.ClearCompilation(kCompilationMaxFiles, kCompilationMaxDirectories);
}

// ---- commands ----

void TForm1::SetBusy(bool busy) {
    m_busy = busy;
    UpdateEnabled();
}

void TForm1::UpdateEnabled() {
    // The drive bars stay off for the whole run when no transport could be started, and while an
    // erase runs no other drive command may be sent.
    const bool driveCommands = m_transportReady && !m_busy && !m_erasing;
    pTop->setEnabled(driveCommands);
    pTop2->setEnabled(driveCommands);
    bSaveISO->setEnabled(!m_busy && !m_erasing);
    bBurnISO->setEnabled(driveCommands);
    DriveCB->setEnabled(!m_busy);
}

void TForm1::ApplySelectedSpeed() {
    const std::optional<std::uint16_t> speed =
        ParseSpeedText(cbSpeed->currentText().toStdString(), orbel.GetMediumType());
    if (speed) orbel.SetWriteSpeed(*speed);
}

void TForm1::ReadDriveBuffer() {
    (void)orbel.ReadBufferCapacity();
    SetBarMaximum(pHBuf, orbel.DeviceBufferSize);
}

bool TForm1::TransferRows() {
    orbel.ClearCompilation(kCompilationMaxFiles, kCompilationMaxDirectories);
    switch (TransferCompilation(orbel, clBox->Rows(), SavePath(), Options)) {
    case TransferOutcome::NoRows:
        ShowMessage(QMessageBox::Information, "Atleast one file/directory should be selected");
        break;
    case TransferOutcome::ImportIncomplete:
        // Burning now would hide the files of the folders that could not be read.
        ShowMessage(QMessageBox::Warning,
                    "The session to import could not be read in full: nothing is burned.");
        orbel.ClearCompilation(kCompilationMaxFiles, kCompilationMaxDirectories);
        return false;
    case TransferOutcome::Transferred: break;
    }
    return orbel.DirectoryCount() != 0 || orbel.FileCount() != 0;
}

void TForm1::bBurnClick() {
    ReadDriveBuffer();
    if (cbSpeed->currentIndex() < 0 && cbSpeed->count() > 0) cbSpeed->setCurrentIndex(0);
    ApplySelectedSpeed();
    LetWindowRepaint();
    const bool anything = TransferRows();
    Log(">>> ADD FILES/DIRS TO CD DONE.");
    LetWindowRepaint();
    if (!anything) {
        Log(">>> NOTHING TO BURN, ABORTING ...");
        return;
    }
    if (Options.ShowFiles) {
        TfrmDiscLayout layout(this, orbel);
        ShowDiscLayout(layout);
    }
    if (!orbel.PrepareImage(false)) return; // the burner has logged why
    SetBarMaximum(pcd, orbel.TotalSectors());
    const QString text = "Start Writing " + SectorsAsMegabytes(orbel.TotalSectors()) + " MB";
    if (AskYesNo(QMessageBox::Question, "Want to Burn the CD ?", text, QMessageBox::Yes) !=
        QMessageBox::Yes) {
        Timer1->stop();
        return;
    }
    bAbort->show();
    Timer1->start();
    Log(">>> STARTING BURNCD ON " + QString::fromStdString(orbel.DeviceString));
    m_operation = Operation::Burn;
    SetBusy(true);
    (void)orbel.Burn(); // the end, also of a start that failed, comes through OnWriteDone
}

void TForm1::bSaveISOClick() {
    const std::optional<QString> name =
        InputBox("Build ISO", "Enter ISO File Name to build", QString::fromStdString(orbel.ISOFileName));
    if (!name) return;
    Timer1->start();
    if (!TransferRows()) {
        Timer1->stop();
        return;
    }
    Log(">>> ADD FILES/DIRS TO .ISO DONE.");
    LetWindowRepaint();
    Log(">>> START BUILDING .ISO FILE");
    const std::string fileName = name->toStdString();
    if (const std::string* source = SourceThatIsTheImage(orbel, fileName)) {
        Timer1->stop();
        ShowMessage(QMessageBox::Warning,
                    "The image file is one of the sources: " + QString::fromStdString(*source));
        return;
    }
    m_operation = Operation::BuildImage;
    m_imageFileName = *name;
    SetBusy(true);
    if (!orbel.PrepareImage(true)) { // the burner has logged why
        m_operation = Operation::None;
        Timer1->stop();
        SetBusy(false);
        return;
    }
    SetBarMaximum(pcd, orbel.TotalSectors());
    lSize->setText(SectorsAsMegabytes(orbel.TotalSectors()) + " MB");
    try {
        orbel.SaveToISO(fileName, Options.QuickSaveISO);
    } catch (const image::ImageWriteError& error) {
        // A quick save reports its failures by throwing; they end the build like any other write.
        orbelWriteDone(error.what());
    }
}

void TForm1::bBurnISOClick() {
    const QString file = OpenImageFile();
    if (file.isEmpty()) return;
    ReadDriveBuffer();
    bAbort->show();
    Timer1->start();
    Log(">>> STARTING BURN .ISO IMAGE ON " + QString::fromStdString(orbel.DeviceString));
    m_operation = Operation::BurnImage;
    SetBusy(true);
    ApplySelectedSpeed();
    (void)orbel.BurnISO(file.toStdString());
    SetBarMaximum(pcd, orbel.TotalSectors());
}

void TForm1::bQEraseClick() {
    Erase(true);
}

void TForm1::bCEraseClick() {
    Erase(false);
}

void TForm1::Erase(bool quick) {
    const bool erasable = orbel.IsDiscErasable() || (quick && orbel.GetMediumType() == kMediumDvdRam);
    if (!erasable) {
        ShowMessage(QMessageBox::Information, "Disc is not Erasable");
        return;
    }
    const QString caption =
        quick ? "Want to Quick Erase the Disc ?" : "Want to Complete Erase the Disc ? (may take 10-70 mins)";
    if (AskYesNo(QMessageBox::Warning, caption, "All Data on the CD will be lost", QMessageBox::No) !=
        QMessageBox::Yes)
        return;
    Timer1->start();
    ApplySelectedSpeed();
    m_erasing = true;
    UpdateEnabled();
    m_eraseDoneRaised = false;
    if (!orbel.EraseDisc(quick) && !m_eraseDoneRaised) {
        // The drive never became ready: no erase started and no end will be reported.
        Timer1->stop();
        m_erasing = false;
        UpdateEnabled();
    }
}

void TForm1::bLoadClick() {
    if (orbel.LoadMedium(false)) Log(">>> LOAD MEDIUM COMMAND DONE.");
}

void TForm1::bEjectClick() {
    (void)orbel.SyncCache(kEjectFlushTimeoutMs, false);
    (void)orbel.PreventMediumRemoval(true);
    Log(orbel.LoadMedium(true) ? ">>> EJECT MEDIUM COMMAND DONE." : ">>> EJECT MEDIUM COMMAND FAILED.");
}

void TForm1::bReadyClick() {
    Log(orbel.TestUnitReady(kReadyTimeoutMs) ? ">>> DRIVE IS READY" : ">>> DRIVE IS NOT READY ");
}

void TForm1::bAbortClick() {
    orbel.AbortWrite();
    bAbort->hide();
}

std::unique_ptr<TfrmSettings> TForm1::CreateSettingsDialog() {
    auto dialog = std::make_unique<TfrmSettings>(this, orbel, Options, [this] { return SavePath(); });
    dialog->cEject->setChecked(Options.EjectDisc);
    dialog->cShowFiles->setChecked(Options.ShowFiles);
    dialog->cImportSession->setChecked(Options.ImportSession);
    return dialog;
}

void TForm1::bCDHeaderClick() {
    const std::unique_ptr<TfrmSettings> dialog = CreateSettingsDialog();
    ShowSettings(*dialog);
}

void TForm1::bDiscClick() {
    TfrmSessions dialog(this, orbel);
    dialog.ReadDisc();
    ShowSessions(dialog);
}

void TForm1::bCapsClick() {
    TForm2 dialog(this, orbel);
    ShowCaps(dialog);
}

void TForm1::Timer1Timer() {
    if (orbel.Erasing()) {
        pcd->setRange(0, 100);
        pcd->setValue(orbel.EraseProgress());
        return;
    }
    const std::int64_t written = orbel.WrittenBytes;
    lSize->setText(Megabytes(static_cast<double>(written)) + "/" + SectorsAsMegabytes(orbel.TotalSectors()) +
                   " MB");
    pBuf->setValue(orbel.CacheFillPercent());
    pcd->setValue(ClampToInt(written / image::kSectorSize));
    const std::uint32_t size = orbel.DeviceBufferSize;
    const std::uint32_t free = orbel.DeviceFreeBufferSize;
    if (size >= free) pHBuf->setValue(ClampToInt(size - free));
}

// ---- completion events ----

void TForm1::orbelWriteDone(const std::string& error) {
    QMetaObject::invokeMethod(
        this, [this, error] { WriteDone(error); }, Qt::QueuedConnection);
}

void TForm1::orbelEraseDone(bool withError) {
    m_eraseDoneRaised = true;
    QMetaObject::invokeMethod(
        this, [this, withError] { EraseDone(withError); }, Qt::QueuedConnection);
}

void TForm1::WriteDone(const std::string& error) {
    // The writer raises the event just before its thread ends; no drive command goes out beside it.
    orbel.WaitForWriteEnd();
    const Operation operation = std::exchange(m_operation, Operation::None);
    Timer1->stop();
    SetBusy(false);
    Timer1Timer();
    if (!error.empty()) {
        Log(">>> WRITE/BURNCD PROCESS DONE WITH ERROR");
        Log(">>> " + QString::fromStdString(error));
        // A partly written image would pass for a whole one; a file that could not be created is
        // somebody else's.
        if (operation == Operation::BuildImage && error.rfind("CAN'T CREATE FILE", 0) != 0) {
            std::error_code ignored;
            std::filesystem::remove(m_imageFileName.toStdString(), ignored);
        }
    } else {
        Log(">>> WRITE/BURNCD PROCESS DONE");
        if (Options.ArchiveFiles) (void)orbel.ClearArchiveBits();
        if (Options.EjectDisc && m_transportReady) (void)orbel.LoadMedium(true);
    }
    orbel.ClearCompilation(kCompilationMaxFiles, kCompilationMaxDirectories);
    Beep();
    bAbort->hide();
    Log(" ");
}

void TForm1::EraseDone(bool withError) {
    // The erase thread raises the event before it sets the drive back for normal use; the drive is
    // ours again only once it has ended.
    orbel.JoinEraseThread();
    Log(withError ? ">>> ERASE PROCESS DONE WITH ERROR" : ">>> ERASE PROCESS DONE");
    Timer1->stop();
    if (!withError && Options.EjectDisc) (void)orbel.LoadMedium(true);
    pcd->setValue(0);
    Beep();
    Log(" ");
    m_erasing = false;
    UpdateEnabled();
}

} // namespace lorvane::app
