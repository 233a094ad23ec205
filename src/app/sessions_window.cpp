#include "app/sessions_window.h"

#include <QFont>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/core/disc_report.h"
#include "app/tree_window.h"
#include "image/orbel_burner.h"

namespace lorvane::app {

namespace {

constexpr int kClientWidth = 334;
constexpr int kClientHeight = 202;
constexpr int kInfoPanelHeight = 55;
constexpr int kHeaderPanelHeight = 20;
constexpr int kHeaderBorder = 4;
constexpr int kLineHeight = 15;
constexpr int kListFontPoints = 9;
// Each session line keeps the number of the session it shows.
constexpr int kSessionRole = Qt::UserRole;

QFont ListFont() {
    QFont font(QStringLiteral("Courier New"), kListFontPoints);
    font.setStyleHint(QFont::TypeWriter);
    return font;
}

QLabel* CaptionLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return label;
}

QLabel* ValueLabel(QWidget* parent) {
    auto* label = new QLabel(parent);
    QFont bold = label->font();
    bold.setBold(true);
    label->setFont(bold);
    return label;
}

} // namespace

TfrmSessions::TfrmSessions(QWidget* owner, image::TOrbelBurner& orbel) : QDialog(owner), m_orbel(orbel) {
    setObjectName(QStringLiteral("frmSessions"));
    setWindowTitle(QStringLiteral("Disc & Sessions Information"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                   Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(kClientWidth, kClientHeight);

    Panel1 = new QFrame(this);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel1->setFixedHeight(kInfoPanelHeight);
    Label1 = CaptionLabel(QStringLiteral("Medium  :"), Panel1);
    Label2 = CaptionLabel(QStringLiteral("Disc Size  :"), Panel1);
    Label3 = CaptionLabel(QStringLiteral("Used Space  :"), Panel1);
    lMedium = ValueLabel(Panel1);
    lDiscSize = ValueLabel(Panel1);
    lUsedSpace = ValueLabel(Panel1);
    auto* info = new QGridLayout(Panel1);
    info->setContentsMargins(4, 1, 4, 1);
    info->setVerticalSpacing(0);
    info->addWidget(Label1, 0, 0);
    info->addWidget(lMedium, 0, 1);
    info->addWidget(Label2, 1, 0);
    info->addWidget(lDiscSize, 1, 1);
    info->addWidget(Label3, 2, 0);
    info->addWidget(lUsedSpace, 2, 1);
    info->setColumnStretch(1, 1);

    Panel2 = new QFrame(this);
    Panel2->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel2->setFixedHeight(kHeaderPanelHeight);
    Panel2->setFont(ListFont());
    Label4 = new QLabel(QString::fromLatin1(kSessionListHeader), Panel2);
    Label4->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    SpeedButton1 = new QToolButton(Panel2);
    SpeedButton1->setText(QStringLiteral("Show Files"));
    SpeedButton1->setAutoRaise(true);
    SpeedButton1->setFocusPolicy(Qt::NoFocus);
    auto* header = new QHBoxLayout(Panel2);
    header->setContentsMargins(kHeaderBorder, 0, 0, 0);
    header->setSpacing(0);
    header->addWidget(Label4, 1);
    header->addWidget(SpeedButton1);

    lb = new QListWidget(this);
    lb->setFont(ListFont());
    lb->setUniformItemSizes(true);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(Panel1);
    layout->addWidget(Panel2);
    layout->addWidget(lb, 1);

    // Outside the layout and beyond the client area: it only serves as the default button.
    Button1 = new QPushButton(QStringLiteral("OK"), this);
    Button1->setDefault(true);
    Button1->setGeometry(kClientWidth + 20, kClientHeight + 20, 75, 25);

    ShowMessage = [this](const QString& text) { QMessageBox::information(this, windowTitle(), text); };
    ShowViewer = [](TfrmTree& viewer) { viewer.exec(); };

    connect(SpeedButton1, &QToolButton::clicked, this, &TfrmSessions::SpeedButton1Click);
    connect(lb, &QListWidget::itemClicked, this, [this] { SpeedButton1Click(); });
    connect(lb, &QListWidget::itemDoubleClicked, this, [this] { Button1Click(); });
    connect(Button1, &QPushButton::clicked, this, &TfrmSessions::Button1Click);
}

TfrmSessions::~TfrmSessions() = default;

void TfrmSessions::ReadDisc() {
    lb->clear();
    const DiscReport report = ReadDiscReport(m_orbel);
    for (std::size_t i = 0; i < report.lines.size(); ++i) {
        auto* item = new QListWidgetItem(QString::fromStdString(report.lines[i]), lb);
        item->setSizeHint(QSize(0, kLineHeight));
        if (i < report.sessions.size()) item->setData(kSessionRole, report.sessions[i]);
    }
    if (!report.ready) return;
    lMedium->setText(QString::fromStdString(report.medium));
    lDiscSize->setText(QString::fromStdString(report.discSize));
    lUsedSpace->setText(QString::fromStdString(report.usedSpace));
}

void TfrmSessions::SpeedButton1Click() {
    const int row = lb->currentRow();
    if (row < 0 || !lb->currentItem()->isSelected()) {
        ShowMessage(QStringLiteral("Select session from list"));
        return;
    }
    if (lb->count() <= 1 || row == lb->count() - 1) return;
    // The line names its session: a session whose start could not be read has no line of its own.
    bool numbered = false;
    const int session = lb->item(row)->data(kSessionRole).toInt(&numbered);
    if (!numbered) return;

    m_orbel.ClearCompilation(kViewerMaxFiles, kViewerMaxDirectories);
    (void)m_orbel.ImportDiscSession(session, nullptr); // a failure is logged; the viewer shows what came
    TfrmTree viewer(this, m_orbel);
    ShowViewer(viewer);
}

void TfrmSessions::Button1Click() {
    accept();
}

bool TfrmSessions::FormKeyPress(int key) {
    if (key != Qt::Key_Escape) return false;
    reject();
    return true;
}

void TfrmSessions::keyPressEvent(QKeyEvent* event) {
    if (FormKeyPress(event->key())) return;
    QDialog::keyPressEvent(event);
}

void TfrmSessions::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (event->spontaneous()) return;
    if (const QScreen* screen = this->screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

} // namespace lorvane::app
