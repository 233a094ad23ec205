#include "app/settings_dialog.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QSlider>
#include <QVBoxLayout>

#include <iterator>

#include "app/settings_file.h"
#include "image/orbel_burner.h"

namespace lorvane::app {

namespace {

constexpr int kMegabyte = 1048576;
constexpr int kMinimumCacheMegabytes = 2;
constexpr int kMaximumCacheMegabytes = 64;
constexpr int kCacheTickInterval = 4;
constexpr int kSessionEditWidth = 34;
constexpr int kBootImageLabelWidth = 181;

QString BooleanValue(bool value) {
    return value ? QStringLiteral("1") : QStringLiteral("0");
}

QCheckBox* NewCheckBox(const QString& caption, QWidget* parent) {
    return new QCheckBox(caption, parent);
}

} // namespace

TfrmSettings::TfrmSettings(QWidget* owner, image::TOrbelBurner& orbel, AppOptions& options,
                           std::function<SavePathState()> savePath)
    : QDialog(owner), m_orbel(orbel), m_options(options), m_savePath(std::move(savePath)) {
    setObjectName(QStringLiteral("frmSettings"));
    setWindowTitle(QStringLiteral("Advanced options"));
    // A fixed dialog border with only the close box.
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                   Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(336, 304);

    Label1 = new QLabel(QStringLiteral("Volume Label :"), this);
    eVolLabel = new QLineEdit(this);
    eVolLabel->setMaxLength(kVolumeLabelLength);
    cJoliet = NewCheckBox(QStringLiteral("Joliet File System"), this);
    cJoliet->setToolTip(QStringLiteral("Long File Name"));
    cCloseDisc = NewCheckBox(QStringLiteral("Close Disc (Finalize)"), this);
    cImportSession = NewCheckBox(QStringLiteral("Import Session"), this);
    eSession = new QLineEdit(QStringLiteral("0"), this);
    eSession->setFixedWidth(kSessionEditWidth);
    eSession->setToolTip(QStringLiteral("Session Number to Import; for Last Session enter -1"));
    eSession->setEnabled(false);
    cUnderrunProtection = NewCheckBox(QStringLiteral("Underrun Protection"), this);
    cTestWrite = NewCheckBox(QStringLiteral("Test Write"), this);
    cEject = NewCheckBox(QStringLiteral("Eject after Write/Erase"), this);
    cOPC = NewCheckBox(QStringLiteral("Perform OPC"), this);
    cQuickSaveISO = NewCheckBox(QStringLiteral("Quick Save .ISO"), this);
    cBootable = NewCheckBox(QStringLiteral("Bootable"), this);
    Label2 = new QLabel(this);
    Label2->setFixedWidth(kBootImageLabelWidth);
    cShowFiles = NewCheckBox(QStringLiteral("Show files before burning"), this);
    cArchiveOnly = NewCheckBox(QStringLiteral("Archive files only && Clear Archive Bit"), this);
    Label4 = new QLabel(QStringLiteral("Cache Size :"), this);
    sCacheSize = new QSlider(Qt::Horizontal, this);
    sCacheSize->setRange(kMinimumCacheMegabytes, kMaximumCacheMegabytes);
    sCacheSize->setTickInterval(kCacheTickInterval);
    sCacheSize->setTickPosition(QSlider::TicksBelow);
    sCacheSize->setValue(kMinimumCacheMegabytes);
    Label3 = new QLabel(this);
    // Room for the widest value, so the slider keeps its length while it moves.
    Label3->setMinimumWidth(Label3->fontMetrics().horizontalAdvance(QStringLiteral("64 MB")));
    Button1 = new QPushButton(QStringLiteral("OK"), this);
    Button1->setDefault(true);
    Button2 = new QPushButton(QStringLiteral("Cancel"), this);
    Button2->setAutoDefault(false);
    Button3 = new QPushButton(QStringLiteral("Close Track"), this);
    Button3->setAutoDefault(false);

    auto* volume = new QHBoxLayout;
    volume->addWidget(Label1);
    volume->addWidget(eVolLabel, 1);

    auto* importRow = new QHBoxLayout;
    importRow->setSpacing(4);
    importRow->addWidget(cImportSession);
    importRow->addWidget(eSession);
    importRow->addStretch(1);

    auto* boxes = new QGridLayout;
    boxes->setHorizontalSpacing(4);
    boxes->setVerticalSpacing(2);
    boxes->addWidget(cJoliet, 0, 0);
    boxes->addWidget(cCloseDisc, 1, 0);
    boxes->addLayout(importRow, 2, 0);
    boxes->addWidget(cUnderrunProtection, 3, 0);
    boxes->addWidget(cEject, 0, 1);
    boxes->addWidget(cOPC, 1, 1);
    boxes->addWidget(cQuickSaveISO, 2, 1);
    boxes->addWidget(cTestWrite, 3, 1);

    auto* boot = new QHBoxLayout;
    boot->addWidget(cBootable);
    boot->addWidget(Label2);
    boot->addStretch(1);

    auto* cache = new QHBoxLayout;
    cache->addWidget(Label4);
    cache->addWidget(sCacheSize, 1);
    cache->addWidget(Label3);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(Button3);
    buttons->addStretch(1);
    buttons->addWidget(Button1);
    buttons->addWidget(Button2);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->setSpacing(6);
    layout->addLayout(volume);
    layout->addLayout(boxes);
    layout->addLayout(boot);
    layout->addWidget(cShowFiles);
    layout->addWidget(cArchiveOnly);
    layout->addLayout(cache);
    layout->addStretch(1);
    layout->addLayout(buttons);

    QWidget* const tabOrder[] = {
        eVolLabel,    cJoliet,    cCloseDisc, cImportSession, eSession,  cUnderrunProtection,
        cTestWrite,   cEject,     cOPC,       cQuickSaveISO,  cBootable, cShowFiles,
        cArchiveOnly, sCacheSize, Button1,    Button2,        Button3};
    for (std::size_t i = 1; i < std::size(tabOrder); ++i) setTabOrder(tabOrder[i - 1], tabOrder[i]);

    AskBootImage = [this](const QString& initial) {
        QFileDialog dlg(this);
        dlg.setFileMode(QFileDialog::ExistingFile);
        dlg.setNameFilter(
            QStringLiteral("All Image Files (*.IMG *.IMA *.BIN *.img *.ima *.bin);;All Files (*)"));
        dlg.setDefaultSuffix(QStringLiteral("img"));
        if (!initial.isEmpty()) dlg.selectFile(initial);
        if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return QString();
        return dlg.selectedFiles().constFirst();
    };
    ShowMessage = [this](const QString& kind, const QString& text) {
        if (kind == QLatin1String("error"))
            QMessageBox::critical(this, QStringLiteral("Lorvane"), text);
        else
            QMessageBox::information(this, QStringLiteral("Lorvane"), text);
    };

    // toggled also follows the main window's setting of the box before the dialog shows; clicked
    // comes only from the user, so filling the box asks nothing.
    connect(cImportSession, &QCheckBox::toggled, this, [this] { cImportSessionClick(); });
    connect(cBootable, &QCheckBox::clicked, this, [this] { cBootableClick(); });
    connect(sCacheSize, &QSlider::valueChanged, this, &TfrmSettings::sCacheSizeChange);
    connect(Button1, &QPushButton::clicked, this, &TfrmSettings::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &TfrmSettings::Button2Click);
    connect(Button3, &QPushButton::clicked, this, &TfrmSettings::Button3Click);
    sCacheSizeChange(sCacheSize->value());
}

void TfrmSettings::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (event->spontaneous()) return;
    if (const QScreen* screen = this->screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    FormShow();
}

void TfrmSettings::FormShow() {
    cJoliet->setChecked(m_orbel.JolietFileSystem);
    cQuickSaveISO->setChecked(m_options.QuickSaveISO);
    cCloseDisc->setChecked(m_orbel.FinalizeDisc);
    eVolLabel->setText(QString::fromStdString(m_orbel.IdVolume));
    cTestWrite->setChecked(m_orbel.TestWrite);
    cOPC->setChecked(m_orbel.PerformOPC);
    cBootable->setChecked(m_orbel.Bootable);
    Label2->setText(QString::fromStdString(m_orbel.BootImage));
    Label2->setToolTip(Label2->text());
    eSession->setText(QString::number(m_options.SessionNo));
    cArchiveOnly->setChecked(m_options.ArchiveFiles);
    cUnderrunProtection->setChecked(m_orbel.UnderrunProtection);
    cUnderrunProtection->setEnabled((m_orbel.Capabilities & drive::cap::kUnderrunProtection) != 0);
    sCacheSize->setValue(m_orbel.CacheSize() / kMegabyte);
    sCacheSizeChange(sCacheSize->value());
    cImportSessionClick();
}

void TfrmSettings::cImportSessionClick() {
    eSession->setEnabled(cImportSession->isChecked());
}

void TfrmSettings::cBootableClick() {
    if (!cBootable->isChecked()) return;
    const QString chosen = AskBootImage ? AskBootImage(Label2->text()) : QString();
    if (chosen.isEmpty()) {
        cBootable->setChecked(false);
        return;
    }
    Label2->setText(chosen);
    Label2->setToolTip(chosen);
}

void TfrmSettings::sCacheSizeChange(int position) {
    Label3->setText(QStringLiteral("%1 MB").arg(position, 2));
}

void TfrmSettings::Button1Click() {
    m_orbel.JolietFileSystem = cJoliet->isChecked();
    m_orbel.IdVolume = eVolLabel->text().toStdString();
    m_orbel.FinalizeDisc = cCloseDisc->isChecked();
    m_orbel.UnderrunProtection = cUnderrunProtection->isChecked();
    m_orbel.TestWrite = cTestWrite->isChecked();
    m_orbel.PerformOPC = cOPC->isChecked();
    m_orbel.SetCacheSize(sCacheSize->value() * kMegabyte);
    m_orbel.Bootable = cBootable->isChecked();
    m_orbel.BootImage = Label2->text().toStdString();

    m_options.ArchiveFiles = cArchiveOnly->isChecked();
    m_options.EjectDisc = cEject->isChecked();
    m_options.ShowFiles = cShowFiles->isChecked();
    m_options.ImportSession = cImportSession->isChecked();

    const QString sessionText = eSession->text();
    if (cImportSession->isChecked() && !sessionText.trimmed().isEmpty() &&
        ParseSessionNumber(sessionText) == 0)
        ShowMessage(QStringLiteral("notice"),
                    QStringLiteral("Session to import; Zero means not to import any session"));
    if (cImportSession->isChecked()) {
        const std::optional<int> number = ParseSessionNumber(sessionText);
        if (!number) {
            ShowMessage(QStringLiteral("error"),
                        QStringLiteral("\"%1\" is not a valid session number: enter a whole number from -128 "
                                       "to 127 (-1 for the last session)")
                            .arg(sessionText));
            eSession->setFocus();
            return;
        }
        m_options.SessionNo = *number;
    } else {
        m_options.SessionNo = 0;
    }
    m_options.QuickSaveISO = cQuickSaveISO->isChecked();

    SavePathState savePath = SavePathState::Unchecked;
    if (m_savePath)
        savePath = m_savePath();
    else if (const std::optional<QString> stored = ReadSettingsValue(QLatin1String(key::kSavePath)))
        savePath = SavePathFromWord(*stored);
    const QList<std::pair<QString, QString>> values = {
        {QLatin1String(key::kArchiveFiles), BooleanValue(cArchiveOnly->isChecked())},
        {QLatin1String(key::kImportSession), BooleanValue(cImportSession->isChecked())},
        {QLatin1String(key::kSavePath), SavePathWord(savePath)},
        {QLatin1String(key::kCloseTrack), BooleanValue(m_orbel.FinalizeTrack)},
        {QLatin1String(key::kCloseDisc), BooleanValue(m_orbel.FinalizeDisc)},
        {QLatin1String(key::kEjectDisc), BooleanValue(cEject->isChecked())},
        {QLatin1String(key::kJolietFS), BooleanValue(cJoliet->isChecked())},
        {QLatin1String(key::kBootable), BooleanValue(cBootable->isChecked())},
        {QLatin1String(key::kTestWrite), BooleanValue(cTestWrite->isChecked())},
        {QLatin1String(key::kQuickSaveISO), BooleanValue(cQuickSaveISO->isChecked())},
        {QLatin1String(key::kShowFiles), BooleanValue(cShowFiles->isChecked())},
        {QLatin1String(key::kPerformOPC), BooleanValue(cOPC->isChecked())},
        {QLatin1String(key::kSessionNo), sessionText},
        {QLatin1String(key::kBootImage), QString::fromStdString(m_orbel.BootImage)},
        {QLatin1String(key::kVolumeLable), eVolLabel->text()},
        {QLatin1String(key::kCacheSize), QString::number(m_orbel.CacheSize())},
    };
    // The values stay applied for this run even when they cannot be kept for the next one.
    QString error;
    if (!WriteSettingsValues(values, &error)) ShowMessage(QStringLiteral("error"), error);
    accept();
}

void TfrmSettings::Button2Click() {
    reject();
}

void TfrmSettings::Button3Click() {
    // The outcome shows in the command log; nothing else is said.
    (void)m_orbel.CloseTrackSession(false, false, false);
}

} // namespace lorvane::app
