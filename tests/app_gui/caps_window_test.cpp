// The drive capabilities dialog: which boxes each Capabilities flag ticks, the speed and device labels,
// boxes that cannot be changed, Esc, and the dialog as "..." opens it for a drive of the virtual
// recorder without sending the drive anything.

#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <filesystem>
#include <memory>

#include "app/caps_window.h"
#include "app/main_window.h"
#include "app/settings_file.h"
#include "drive/scsi_device.h"
#include "recorder/media.h"
#include "recorder/virtual_drive.h"
#include "recorder/virtual_recorder.h"
#include "support/fake_clock.h"
#include "support/fake_kernel.h"
#include "transport/aspi.h"
#include "transport/pass_through.h"

using lorvane::app::TForm2;
namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t Bit(int n) {
    return std::uint32_t{1} << n;
}

// The names of the ticked boxes, in the dialog's order (left column, right column, then the last row).
QStringList Ticked(const TForm2& dialog) {
    const QCheckBox* const boxes[] = {
        dialog.ReadCDR,   dialog.ReadCDRW,          dialog.ReadDVDR,    dialog.ReadDVDRW,  dialog.ReadDVDRAM,
        dialog.ReadDVDPR, dialog.ReadDVDPRW,        dialog.ReadDVD,     dialog.WriteCDR,   dialog.WriteCDRW,
        dialog.WriteDVDR, dialog.WriteDVDRW,        dialog.WriteDVDRAM, dialog.WriteDVDPR, dialog.WriteDVDPRW,
        dialog.WriteTest, dialog.UnderrunProtection};
    QStringList ticked;
    for (const QCheckBox* box : boxes)
        if (box->isChecked()) ticked << box->objectName();
    return ticked;
}

// A device as ReadCapabilities leaves it.
struct Device {
    Device(std::uint32_t capabilities, std::uint16_t maxWrite, std::uint16_t maxRead) {
        device.DeviceString = "1:0:0 LORVANE  DVD-RW VR-16    1.00";
        device.Capabilities = capabilities;
        device.DeviceMaxWriteSpeed = maxWrite;
        device.DeviceMaxReadSpeed = maxRead;
    }
    lorvane::testing::FakeClock clock;
    lorvane::drive::TSCSIDevice device{clock};
};

} // namespace

class CapsWindowTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void eachFlagTicksItsBox_data() {
        QTest::addColumn<std::uint32_t>("capabilities");
        QTest::addColumn<QStringList>("ticked");
        QTest::newRow("none") << std::uint32_t{0} << QStringList{};
        QTest::newRow("0 1 3 9 10 11 18")
            << (Bit(0) | Bit(1) | Bit(3) | Bit(9) | Bit(10) | Bit(11) | Bit(18))
            << QStringList{"ReadCDR",   "ReadCDRW",  "ReadDVD",           "WriteCDR",
                           "WriteCDRW", "WriteTest", "UnderrunProtection"};
        QTest::newRow("bit 0") << Bit(0) << QStringList{"ReadCDR"};
        QTest::newRow("bit 1") << Bit(1) << QStringList{"ReadCDRW"};
        QTest::newRow("bit 2 has no box") << Bit(2) << QStringList{};
        QTest::newRow("bit 3") << Bit(3) << QStringList{"ReadDVD"};
        QTest::newRow("bit 4") << Bit(4) << QStringList{"ReadDVDR"};
        QTest::newRow("bit 5") << Bit(5) << QStringList{"ReadDVDRW"};
        QTest::newRow("bit 6") << Bit(6) << QStringList{"ReadDVDRAM"};
        QTest::newRow("bit 7") << Bit(7) << QStringList{"ReadDVDPR"};
        QTest::newRow("bit 8") << Bit(8) << QStringList{"ReadDVDPRW"};
        QTest::newRow("bit 9") << Bit(9) << QStringList{"WriteCDR"};
        QTest::newRow("bit 10") << Bit(10) << QStringList{"WriteCDRW"};
        QTest::newRow("bit 11") << Bit(11) << QStringList{"WriteTest"};
        QTest::newRow("bit 12") << Bit(12) << QStringList{"WriteDVDR"};
        QTest::newRow("bit 13") << Bit(13) << QStringList{"WriteDVDRW"};
        QTest::newRow("bit 14") << Bit(14) << QStringList{"WriteDVDRAM"};
        QTest::newRow("bit 15") << Bit(15) << QStringList{"WriteDVDPR"};
        QTest::newRow("bit 16") << Bit(16) << QStringList{"WriteDVDPRW"};
        QTest::newRow("bit 17 has no box") << Bit(17) << QStringList{};
        QTest::newRow("bit 18") << Bit(18) << QStringList{"UnderrunProtection"};
        QTest::newRow("bits 19 to 31 have no box") << ~((Bit(19) - 1)) << QStringList{};
        QTest::newRow("every flag") << (Bit(19) - 1)
                                    << QStringList{"ReadCDR",     "ReadCDRW",          "ReadDVDR",
                                                   "ReadDVDRW",   "ReadDVDRAM",        "ReadDVDPR",
                                                   "ReadDVDPRW",  "ReadDVD",           "WriteCDR",
                                                   "WriteCDRW",   "WriteDVDR",         "WriteDVDRW",
                                                   "WriteDVDRAM", "WriteDVDPR",        "WriteDVDPRW",
                                                   "WriteTest",   "UnderrunProtection"};
    }
    void eachFlagTicksItsBox() {
        QFETCH(std::uint32_t, capabilities);
        QFETCH(QStringList, ticked);
        Device drive(capabilities, 48, 40);
        const TForm2 dialog(nullptr, drive.device);
        QCOMPARE(Ticked(dialog), ticked);
    }

    void theBoxesCarryTheirCaptions() {
        Device drive(0, 0, 0);
        const TForm2 dialog(nullptr, drive.device);
        const struct {
            const QCheckBox* box;
            const char* caption;
        } kCases[] = {
            {dialog.ReadCDR, "Read CDR"},
            {dialog.WriteCDR, "Write CDR"},
            {dialog.ReadCDRW, "Read CDRW"},
            {dialog.WriteCDRW, "Write CDRW"},
            {dialog.ReadDVDR, "Read DVD-R"},
            {dialog.WriteDVDR, "Write DVD-R"},
            {dialog.ReadDVDRW, "Read DVD-RW"},
            {dialog.WriteDVDRW, "Write DVD-RW"},
            {dialog.ReadDVDRAM, "Read DVD-RAM"},
            {dialog.WriteDVDRAM, "Write DVD-RAM"},
            {dialog.ReadDVDPR, "Read DVD+R"},
            {dialog.WriteDVDPR, "Write DVD+R"},
            {dialog.ReadDVDPRW, "Read DVD+RW"},
            {dialog.WriteDVDPRW, "Write DVD+RW"},
            {dialog.ReadDVD, "Read DVD"},
            {dialog.WriteTest, "Write Test"},
            {dialog.UnderrunProtection, "Underrun Protection"},
        };
        for (const auto& c : kCases) {
            QCOMPARE(c.box->text(), QString(c.caption));
            QCOMPARE(c.box->layoutDirection(), Qt::RightToLeft); // the text left of the box
        }
        QVERIFY(dialog.UnderrunProtection->font().bold());
        QVERIFY(!dialog.ReadCDR->font().bold());
        QCOMPARE(dialog.windowTitle(), QString("Device Capabilities"));
        QCOMPARE(dialog.size(), QSize(264, 188));
        QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
    }

    void theLabelsShowTheDeviceAndItsMaximumSpeeds_data() {
        QTest::addColumn<int>("write");
        QTest::addColumn<int>("read");
        QTest::addColumn<QString>("writeText");
        QTest::addColumn<QString>("readText");
        QTest::newRow("48x writer") << 48 << 40 << "Max Write Speed   :  48x"
                                    << "Max Read Speed    :  40x";
        QTest::newRow("DVD-RAM only") << 1 << 16 << "Max Write Speed   :  1x"
                                      << "Max Read Speed    :  16x";
        QTest::newRow("nothing known") << 0 << 0 << "Max Write Speed   :  0x"
                                       << "Max Read Speed    :  0x";
    }
    void theLabelsShowTheDeviceAndItsMaximumSpeeds() {
        QFETCH(int, write);
        QFETCH(int, read);
        QFETCH(QString, writeText);
        QFETCH(QString, readText);
        Device drive(0, static_cast<std::uint16_t>(write), static_cast<std::uint16_t>(read));
        const TForm2 dialog(nullptr, drive.device);
        QCOMPARE(dialog.Label1->text(), QString("  1:0:0 LORVANE  DVD-RW VR-16    1.00"));
        QCOMPARE(dialog.Label2->text(), writeText);
        QCOMPARE(dialog.Label3->text(), readText);
    }

    void theBoxesCannotBeChanged() {
        Device drive(Bit(0) | Bit(9), 48, 40);
        TForm2 dialog(nullptr, drive.device);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        const QStringList before = Ticked(dialog);
        const auto boxes = {dialog.ReadCDR, dialog.ReadCDRW, dialog.UnderrunProtection};
        for (QCheckBox* box : boxes) QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(4, 4));
        QCOMPARE(Ticked(dialog), before);
        for (QCheckBox* box : boxes) {
            box->setFocus();
            QTest::keyClick(box, Qt::Key_Space);
        }
        QCOMPARE(Ticked(dialog), before);
        QCOMPARE(before, (QStringList{"ReadCDR", "WriteCDR"}));
        QVERIFY(!dialog.Panel2->isEnabled());
    }

    void escapeAndTheHiddenCloseButtonCloseTheDialog() {
        Device drive(0, 0, 0);
        {
            TForm2 dialog(nullptr, drive.device);
            QCOMPARE(dialog.Button1->text(), QString("Close"));
            QVERIFY(!dialog.rect().intersects(dialog.Button1->geometry())); // out of sight
            dialog.show();
            QVERIFY(QTest::qWaitForWindowExposed(&dialog));
            QTest::keyClick(&dialog, Qt::Key_Escape);
            QVERIFY(!dialog.isVisible());
            QCOMPARE(dialog.result(), int(QDialog::Rejected));
        }
        {
            TForm2 dialog(nullptr, drive.device);
            dialog.show();
            dialog.Button1->click();
            QVERIFY(!dialog.isVisible());
        }
    }

    // "..." in the main window shows what the virtual recorder's capabilities page says, from the figures
    // read when the drive was selected: opening the dialog sends nothing.
    void theMainWindowShowsTheSelectedDrivesCapabilities() {
        QTemporaryDir folder;
        lorvane::testing::FakeClock clock;
        lorvane::testing::FakeKernel kernel;
        lorvane::recorder::VirtualRecorder recorder{clock};
        lorvane::recorder::InProcessModuleLoader loader;
        lorvane::transport::CloseTransport();
        lorvane::transport::SetPassThroughKernel(&kernel);
        lorvane::transport::SetModuleLoader(&loader);
        lorvane::recorder::DriveIdentity identity;
        // A 48x CD writer that reads no DVD and answers no GET CONFIGURATION.
        identity.model.readsDvd = false;
        identity.model.readsDvdRam = false;
        identity.model.writesDvdR = false;
        identity.model.writesDvdRam = false;
        identity.model.writesDvdPlus = false;
        identity.model.getConfiguration = false;
        identity.model.cdWriteSpeedsKBs = {8467, 7056, 4234};
        identity.model.cdMaxReadKBs = 7056;
        lorvane::recorder::VirtualDrive& drive =
            recorder.AddDrive(identity, fs::path(folder.path().toStdString()) / "drive.disc");
        QVERIFY(!lorvane::recorder::InsertDisc(drive, lorvane::recorder::MediumKind::CdR));
        lorvane::recorder::VirtualRecorder::Install(&recorder);
        {
            lorvane::app::TForm1 window(clock);
            window.ShowMessage = [](QMessageBox::Icon, const QString& text) { QFAIL(qPrintable(text)); };
            window.show();
            QCOMPARE(window.cbDrives->count(), 1);

            const std::size_t sent = drive.Commands().size();
            int shown = 0;
            window.ShowCaps = [&](TForm2& dialog) {
                ++shown;
                QCOMPARE(dialog.parentWidget(), &window);
                QCOMPARE(Ticked(dialog), (QStringList{"ReadCDR", "ReadCDRW", "WriteCDR", "WriteCDRW",
                                                      "WriteTest", "UnderrunProtection"}));
                QCOMPARE(dialog.Label1->text(), "  " + QString::fromStdString(window.orbel.DeviceString));
                QCOMPARE(dialog.Label2->text(), QString("Max Write Speed   :  48x"));
                QCOMPARE(dialog.Label3->text(), QString("Max Read Speed    :  40x"));
            };
            QTest::mouseClick(window.bCaps, Qt::LeftButton);
            QCOMPARE(shown, 1);
            QCOMPARE(drive.Commands().size(), sent);
        }
        lorvane::transport::CloseTransport();
        lorvane::transport::SetModuleLoader(nullptr);
        lorvane::recorder::VirtualRecorder::Install(nullptr);
        lorvane::transport::SetPassThroughKernel(nullptr);
        drive.ChangeMedium(nullptr);
    }
};

QTEST_MAIN(CapsWindowTest)
#include "caps_window_test.moc"
