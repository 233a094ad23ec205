#include "app/caps_window.h"

#include <QCheckBox>
#include <QFont>
#include <QFrame>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QScreen>

#include <iterator>
#include <utility>

#include "drive/scsi_device.h"

namespace lorvane::app {

namespace {

constexpr int kClientWidth = 264;
constexpr int kClientHeight = 188;
constexpr int kTitleHeight = 21;

// A box with its text on the left, as the dialog lines them up; the panel, not the box, stops changes.
QCheckBox* RightBox(const char* name, const QString& caption, QWidget* parent) {
    auto* box = new QCheckBox(caption, parent);
    box->setObjectName(QString::fromLatin1(name));
    box->setLayoutDirection(Qt::RightToLeft);
    return box;
}

// A maximum speed in CD units, the number followed by "x" ("48x").
QString SpeedText(std::uint16_t speed) {
    return QString::number(speed) + QLatin1Char('x');
}

} // namespace

TForm2::TForm2(QWidget* owner, const drive::TSCSIDevice& device) : QDialog(owner) {
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QString::fromLatin1(kCapsCaption));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                   Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFont(QFont(QStringLiteral("Tahoma"), 8));
    setFixedSize(kClientWidth, kClientHeight);

    Label1 = new QLabel(this);
    Label1->setGeometry(0, 0, kClientWidth, kTitleHeight);

    Panel2 = new QFrame(this);
    Panel2->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel2->setGeometry(0, kTitleHeight, kClientWidth, kClientHeight - kTitleHeight);
    Panel2->setEnabled(false);
    // Disabled only so that nothing can be changed: the boxes keep the colours of enabled ones, so that
    // what is ticked stays easy to read.
    QPalette readable = Panel2->palette();
    for (int role = 0; role < QPalette::NColorRoles; ++role) {
        const auto colorRole = static_cast<QPalette::ColorRole>(role);
        readable.setBrush(QPalette::Disabled, colorRole, readable.brush(QPalette::Active, colorRole));
    }
    Panel2->setPalette(readable);

    ReadCDR = RightBox("ReadCDR", QStringLiteral("Read CDR"), Panel2);
    ReadCDRW = RightBox("ReadCDRW", QStringLiteral("Read CDRW"), Panel2);
    ReadDVDR = RightBox("ReadDVDR", QStringLiteral("Read DVD-R"), Panel2);
    ReadDVDRW = RightBox("ReadDVDRW", QStringLiteral("Read DVD-RW"), Panel2);
    ReadDVDRAM = RightBox("ReadDVDRAM", QStringLiteral("Read DVD-RAM"), Panel2);
    ReadDVDPR = RightBox("ReadDVDPR", QStringLiteral("Read DVD+R"), Panel2);
    ReadDVDPRW = RightBox("ReadDVDPRW", QStringLiteral("Read DVD+RW"), Panel2);
    ReadDVD = RightBox("ReadDVD", QStringLiteral("Read DVD"), Panel2);
    WriteCDR = RightBox("WriteCDR", QStringLiteral("Write CDR"), Panel2);
    WriteCDRW = RightBox("WriteCDRW", QStringLiteral("Write CDRW"), Panel2);
    WriteDVDR = RightBox("WriteDVDR", QStringLiteral("Write DVD-R"), Panel2);
    WriteDVDRW = RightBox("WriteDVDRW", QStringLiteral("Write DVD-RW"), Panel2);
    WriteDVDRAM = RightBox("WriteDVDRAM", QStringLiteral("Write DVD-RAM"), Panel2);
    WriteDVDPR = RightBox("WriteDVDPR", QStringLiteral("Write DVD+R"), Panel2);
    WriteDVDPRW = RightBox("WriteDVDPRW", QStringLiteral("Write DVD+RW"), Panel2);
    WriteTest = RightBox("WriteTest", QStringLiteral("Write Test"), Panel2);
    UnderrunProtection = RightBox("UnderrunProtection", QStringLiteral("Underrun Protection"), Panel2);
    QFont bold = UnderrunProtection->font();
    bold.setBold(true);
    UnderrunProtection->setFont(bold);
    Label2 = new QLabel(Panel2);
    Label3 = new QLabel(Panel2);
    // The two speed lines share one row of the narrow dialog.
    QFont small = Label2->font();
    small.setPointSizeF(small.pointSizeF() - 1);
    Label2->setFont(small);
    Label3->setFont(small);

    auto* grid = new QGridLayout(Panel2);
    grid->setContentsMargins(4, 2, 4, 2);
    grid->setHorizontalSpacing(6);
    grid->setVerticalSpacing(0);
    QCheckBox* const left[] = {ReadCDR,    ReadCDRW,  ReadDVDR,   ReadDVDRW,
                               ReadDVDRAM, ReadDVDPR, ReadDVDPRW, ReadDVD};
    QCheckBox* const right[] = {WriteCDR,    WriteCDRW,  WriteDVDR,   WriteDVDRW,
                                WriteDVDRAM, WriteDVDPR, WriteDVDPRW, WriteTest};
    int row = 0;
    for (; row < static_cast<int>(std::size(left)); ++row) {
        grid->addWidget(left[row], row, 0);
        grid->addWidget(right[row], row, 1);
    }
    grid->addWidget(UnderrunProtection, row++, 0, 1, 2, Qt::AlignHCenter);
    grid->addWidget(Label2, row, 0);
    grid->addWidget(Label3, row, 1);

    // Out of the visible area: it is there for Esc.
    Button1 = new QPushButton(QStringLiteral("Close"), this);
    Button1->setAutoDefault(false);
    Button1->setGeometry(kClientWidth + 16, kClientHeight + 16, 75, 25);
    connect(Button1, &QPushButton::clicked, this, &TForm2::Button1Click);

    ShowCapabilities(device.DeviceString, device.Capabilities, device.DeviceMaxWriteSpeed,
                     device.DeviceMaxReadSpeed);

    if (const QScreen* screen = owner ? owner->screen() : QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void TForm2::ShowCapabilities(const std::string& deviceString, std::uint32_t capabilities,
                              std::uint16_t maxWriteSpeed, std::uint16_t maxReadSpeed) {
    // Every flag but method-2 reading has its box.
    const std::pair<QCheckBox*, std::uint32_t> boxes[] = {
        {ReadCDR, drive::cap::kReadCdR},
        {ReadCDRW, drive::cap::kReadCdRw},
        {ReadDVDR, drive::cap::kReadDvdR},
        {ReadDVDRW, drive::cap::kReadDvdRw},
        {ReadDVDRAM, drive::cap::kReadDvdRam},
        {ReadDVDPR, drive::cap::kReadDvdPlusR},
        {ReadDVDPRW, drive::cap::kReadDvdPlusRw},
        {ReadDVD, drive::cap::kReadDvdRom},
        {WriteCDR, drive::cap::kWriteCdR},
        {WriteCDRW, drive::cap::kWriteCdRw},
        {WriteDVDR, drive::cap::kWriteDvdR},
        {WriteDVDRW, drive::cap::kWriteDvdRw},
        {WriteDVDRAM, drive::cap::kWriteDvdRam},
        {WriteDVDPR, drive::cap::kWriteDvdPlusR},
        {WriteDVDPRW, drive::cap::kWriteDvdPlusRw},
        {WriteTest, drive::cap::kTestWrite},
        {UnderrunProtection, drive::cap::kUnderrunProtection},
    };
    for (const auto& [box, bit] : boxes) box->setChecked((capabilities & bit) != 0);
    Label1->setText(QStringLiteral("  ") + QString::fromStdString(deviceString));
    Label2->setText(QStringLiteral("Max Write Speed   :  ") + SpeedText(maxWriteSpeed));
    Label3->setText(QStringLiteral("Max Read Speed    :  ") + SpeedText(maxReadSpeed));
}

void TForm2::Button1Click() {
    reject();
}

} // namespace lorvane::app
