// Orbel.ini and the "Advanced options" dialog: what survives a restart, in which form, and what the
// dialog's controls do.

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "app/settings_dialog.h"
#include "app/settings_file.h"
#include "image/orbel_burner.h"
#include "recorder/media.h"
#include "recorder/virtual_drive.h"
#include "recorder/virtual_recorder.h"
#include "support/fake_clock.h"
#include "support/fake_kernel.h"
#include "transport/aspi.h"
#include "transport/pass_through.h"

using lorvane::app::AppOptions;
using lorvane::app::SavePathState;
using lorvane::app::TfrmSettings;
using lorvane::image::TOrbelBurner;

Q_DECLARE_METATYPE(SavePathState)

namespace {

using Message = std::pair<QString, QString>;

// The burner as the main window sets it up before the settings are read.
void DesignValues(TOrbelBurner& orbel) {
    orbel.UnderrunProtection = true;
    orbel.PerformOPC = true;
    orbel.FinalizeDisc = false;
    orbel.TestWrite = false;
    orbel.ReplaceFile = false;
    orbel.WritePostGap = false;
    orbel.SetCacheSize(4194304);
}

// A burner without any drive, on the virtual clock, with a dialog over it whose questions and messages
// the test answers and reads.
struct Bench {
    Bench() {
        DesignValues(orbel);
        dialog = std::make_unique<TfrmSettings>(nullptr, orbel, options, [this] { return savePath; });
        dialog->AskBootImage = [this](const QString& initial) {
            asked.push_back(initial);
            return answer;
        };
        dialog->ShowMessage = [this](const QString& kind, const QString& text) {
            messages.emplace_back(kind, text);
        };
    }
    QStringList MessageKinds() const {
        QStringList kinds;
        for (const auto& [kind, text] : messages) kinds << kind;
        return kinds;
    }

    lorvane::testing::FakeClock clock;
    TOrbelBurner orbel{clock};
    AppOptions options;
    SavePathState savePath = SavePathState::Unchecked;
    std::unique_ptr<TfrmSettings> dialog;
    std::vector<QString> asked;
    QString answer; // the boot image "chosen"; empty = the dialog was cancelled
    std::vector<Message> messages;
};

// What the next start reads, into a burner and options set up as the main window sets them.
struct Restart {
    Restart() {
        DesignValues(orbel);
        ok = lorvane::app::ReadSettingsAtStart(orbel, options, savePath, &error);
    }
    lorvane::testing::FakeClock clock;
    TOrbelBurner orbel{clock};
    AppOptions options;
    SavePathState savePath = SavePathState::Grayed;
    QString error;
    bool ok = false;
};

void WriteFile(const QByteArray& text) {
    const QString path = lorvane::app::SettingsFilePath();
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(text), text.size());
}

QStringList FileLines() {
    QFile file(lorvane::app::SettingsFilePath());
    if (!file.open(QIODevice::ReadOnly)) return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n');
    if (!lines.isEmpty() && lines.back().isEmpty()) lines.removeLast();
    return lines;
}

bool FileExists() {
    return QFileInfo::exists(lorvane::app::SettingsFilePath());
}

// A virtual recorder with one CD-R drive behind the manager slot, on the virtual clock.
struct RecorderBench {
    RecorderBench() {
        lorvane::transport::CloseTransport();
        lorvane::transport::SetPassThroughKernel(&kernel);
        drive =
            &recorder.AddDrive(identity, std::filesystem::path(folder.path().toStdString()) / "drive.disc");
        lorvane::recorder::VirtualRecorder::Install(&recorder);
        lorvane::transport::SetModuleLoader(&loader);
        orbel = std::make_unique<TOrbelBurner>(clock);
    }
    ~RecorderBench() {
        orbel.reset();
        lorvane::transport::CloseTransport();
        lorvane::transport::SetModuleLoader(nullptr);
        lorvane::recorder::VirtualRecorder::Install(nullptr);
        lorvane::transport::SetPassThroughKernel(nullptr);
        drive->ChangeMedium(nullptr);
    }
    QTemporaryDir folder;
    lorvane::testing::FakeClock clock;
    lorvane::testing::FakeKernel kernel;
    lorvane::recorder::DriveIdentity identity;
    lorvane::recorder::VirtualRecorder recorder{clock};
    lorvane::recorder::InProcessModuleLoader loader;
    lorvane::recorder::VirtualDrive* drive = nullptr;
    std::unique_ptr<TOrbelBurner> orbel;
};

} // namespace

class SettingsTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);
        // Only ever the test folder's file is removed.
        QVERIFY2(lorvane::app::SettingsFilePath().contains(QLatin1String(".qttest")),
                 qPrintable(lorvane::app::SettingsFilePath()));
        lorvane::transport::CloseTransport();
    }
    void init() {
        QFile::remove(lorvane::app::SettingsFilePath());
        QDir(lorvane::app::SettingsFilePath()).removeRecursively();
    }
    void cleanup() { init(); }

    void firstStartWithoutFileGivesTheDefaults() {
        QVERIFY(!FileExists());
        Restart start;
        QVERIFY(start.ok);
        QCOMPARE(start.savePath, SavePathState::Unchecked);
        QVERIFY(start.orbel.JolietFileSystem);
        QVERIFY(!start.orbel.FinalizeDisc);
        QVERIFY(start.orbel.PerformOPC);
        QVERIFY(!start.orbel.TestWrite);
        QCOMPARE(start.orbel.CacheSize(), 4194304);
        QCOMPARE(start.options.SessionNo, 0);
        QVERIFY(!start.options.ImportSession);
        QVERIFY(!start.options.ArchiveFiles);
        QVERIFY(!start.options.EjectDisc);
        QVERIFY(!start.options.ShowFiles);
        QVERIFY(!start.options.QuickSaveISO);
        QVERIFY(!start.orbel.Bootable);
        QVERIFY(!FileExists());
    }

    void okWritesEveryKeyInOrderAndTheNextStartReadsThemBack() {
        Bench bench;
        bench.orbel.FinalizeTrack = false;
        bench.savePath = SavePathState::Grayed;
        bench.options.ImportSession = true;
        bench.dialog->cImportSession->setChecked(true);
        bench.dialog->cEject->setChecked(true);
        bench.dialog->cShowFiles->setChecked(true);
        bench.dialog->show();
        bench.dialog->eVolLabel->setText(QStringLiteral("MY DISC"));
        bench.dialog->cJoliet->setChecked(false);
        bench.dialog->cCloseDisc->setChecked(true);
        bench.dialog->eSession->setText(QStringLiteral("3"));
        bench.dialog->cTestWrite->setChecked(true);
        bench.dialog->cOPC->setChecked(false);
        bench.dialog->cQuickSaveISO->setChecked(true);
        bench.dialog->cArchiveOnly->setChecked(true);
        bench.dialog->sCacheSize->setValue(7);
        bench.answer = QStringLiteral("/boot/floppy.img");
        bench.dialog->cBootable->click();
        bench.dialog->Button1->click();

        QCOMPARE(bench.dialog->result(), int(QDialog::Accepted));
        QVERIFY(!bench.dialog->isVisible());
        QVERIFY(bench.messages.empty());
        const QStringList expected = {"[Options]",           "ArchiveFiles=1",   "ImportSession=1",
                                      "SavePath=Grayed",     "CloseTrack=0",     "CloseDisc=1",
                                      "EjectDisc=1",         "JolietFS=0",       "Bootable=1",
                                      "TestWrite=1",         "QuickSaveISO=1",   "ShowFiles=1",
                                      "PerformOPC=0",        "SessionNo=3",      "BootImage=/boot/floppy.img",
                                      "VolumeLable=MY DISC", "CacheSize=7340032"};
        QCOMPARE(FileLines(), expected);

        Restart start;
        QVERIFY2(start.ok, qPrintable(start.error));
        QVERIFY(start.options.ArchiveFiles);
        QVERIFY(start.options.ImportSession);
        QCOMPARE(start.options.SessionNo, 3);
        QCOMPARE(start.savePath, SavePathState::Grayed);
        QVERIFY(start.orbel.FinalizeDisc);
        QVERIFY(start.options.EjectDisc);
        QVERIFY(!start.orbel.JolietFileSystem);
        QVERIFY(start.orbel.TestWrite);
        QVERIFY(start.options.QuickSaveISO);
        QVERIFY(start.options.ShowFiles);
        QVERIFY(!start.orbel.PerformOPC);
        QCOMPARE(start.orbel.BootImage, std::string("/boot/floppy.img"));
        QCOMPARE(start.orbel.IdVolume, std::string("MY DISC"));
        QCOMPARE(start.orbel.CacheSize(), 7340032);
        // "CloseTrack" is kept but not read back: the property keeps its own default.
        QVERIFY(start.orbel.FinalizeTrack);
    }

    void savePathWordsReadWithoutRegardToCase_data() {
        QTest::addColumn<QByteArray>("word");
        QTest::addColumn<SavePathState>("state");
        QTest::newRow("Checked") << QByteArray("Checked") << SavePathState::Checked;
        QTest::newRow("checked") << QByteArray("checked") << SavePathState::Checked;
        QTest::newRow("CHECKED") << QByteArray("CHECKED") << SavePathState::Checked;
        QTest::newRow("Grayed") << QByteArray("Grayed") << SavePathState::Grayed;
        QTest::newRow("gRAYed") << QByteArray("gRAYed") << SavePathState::Grayed;
        QTest::newRow("Unchecked") << QByteArray("Unchecked") << SavePathState::Unchecked;
        QTest::newRow("1") << QByteArray("1") << SavePathState::Unchecked;
        QTest::newRow("0") << QByteArray("0") << SavePathState::Unchecked;
        QTest::newRow("empty") << QByteArray("") << SavePathState::Unchecked;
        QTest::newRow("Check") << QByteArray("Check") << SavePathState::Unchecked;
        QTest::newRow("Grey") << QByteArray("Grey") << SavePathState::Unchecked;
    }
    void savePathWordsReadWithoutRegardToCase() {
        QFETCH(QByteArray, word);
        QFETCH(SavePathState, state);
        WriteFile("[Options]\nSavePath=" + word + "\n");
        QCOMPARE(Restart().savePath, state);
    }

    void savePathBoxAndOkWriteTheSameWord_data() {
        QTest::addColumn<SavePathState>("state");
        QTest::addColumn<QString>("line");
        QTest::newRow("checked") << SavePathState::Checked << QStringLiteral("SavePath=Checked");
        QTest::newRow("grayed") << SavePathState::Grayed << QStringLiteral("SavePath=Grayed");
        QTest::newRow("unchecked") << SavePathState::Unchecked << QStringLiteral("SavePath=Unchecked");
    }
    void savePathBoxAndOkWriteTheSameWord() {
        QFETCH(SavePathState, state);
        QFETCH(QString, line);
        QVERIFY(lorvane::app::WriteSavePath(state));
        QCOMPARE(FileLines(), QStringList({"[Options]", line}));
        QCOMPARE(Restart().savePath, state);

        Bench bench;
        bench.savePath = state;
        bench.dialog->show();
        bench.dialog->Button1Click();
        // The key the box wrote keeps its line; the others follow it.
        const QStringList lines = FileLines();
        QCOMPARE(lines.count(line), 1);
        QCOMPARE(lines.indexOf(line), 1);
        QCOMPARE(lines.size(), 17);
        QCOMPARE(Restart().savePath, state);
    }

    void booleansAreAnyNonZeroInteger_data() {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<bool>("fallback");
        QTest::addColumn<bool>("expected");
        QTest::newRow("1") << QByteArray("1") << false << true;
        QTest::newRow("0") << QByteArray("0") << true << false;
        QTest::newRow("2") << QByteArray("2") << false << true;
        QTest::newRow("-1") << QByteArray("-1") << false << true;
        QTest::newRow("blanks around") << QByteArray("  1 ") << false << true;
        QTest::newRow("huge") << QByteArray("123456789012345678901234567890") << false << true;
        QTest::newRow("text keeps the default (false)") << QByteArray("yes") << false << false;
        QTest::newRow("text keeps the default (true)") << QByteArray("no") << true << true;
        QTest::newRow("empty keeps the default") << QByteArray("") << true << true;
    }
    void booleansAreAnyNonZeroInteger() {
        QFETCH(QByteArray, value);
        QFETCH(bool, fallback);
        QFETCH(bool, expected);
        WriteFile("[Options]\nTestWrite=" + value + "\n");
        lorvane::testing::FakeClock clock;
        TOrbelBurner orbel(clock);
        orbel.TestWrite = fallback;
        AppOptions options;
        SavePathState savePath = SavePathState::Unchecked;
        QVERIFY(lorvane::app::ReadSettingsAtStart(orbel, options, savePath));
        QCOMPARE(orbel.TestWrite, expected);
    }

    void anOutOfRangeSessionNoStopsTheReadingAtThatKey_data() {
        QTest::addColumn<QByteArray>("sessionNo");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<int>("expected");
        QTest::newRow("128") << QByteArray("128") << false << 0;
        QTest::newRow("-129") << QByteArray("-129") << false << 0;
        QTest::newRow("beyond 64 bits") << QByteArray("99999999999999999999") << false << 0;
        QTest::newRow("127") << QByteArray("127") << true << 127;
        QTest::newRow("-128") << QByteArray("-128") << true << -128;
        QTest::newRow("not a number reads as 0") << QByteArray("last") << true << 0;
    }
    void anOutOfRangeSessionNoStopsTheReadingAtThatKey() {
        QFETCH(QByteArray, sessionNo);
        QFETCH(bool, ok);
        QFETCH(int, expected);
        WriteFile("[Options]\nArchiveFiles=1\nSavePath=Checked\nCloseDisc=1\nJolietFS=0\nTestWrite=1\n"
                  "PerformOPC=0\nQuickSaveISO=1\nImportSession=1\nSessionNo=" +
                  sessionNo +
                  "\nEjectDisc=1\nShowFiles=1\nBootImage=/b.img\nVolumeLable=LATE\nCacheSize=8388608\n");
        Restart start;
        QCOMPARE(start.ok, ok);
        // The keys before "SessionNo" are read either way.
        QVERIFY(start.options.ArchiveFiles);
        QCOMPARE(start.savePath, SavePathState::Checked);
        QVERIFY(start.orbel.FinalizeDisc);
        QVERIFY(!start.orbel.JolietFileSystem);
        QVERIFY(start.orbel.TestWrite);
        QVERIFY(!start.orbel.PerformOPC);
        QVERIFY(start.options.QuickSaveISO);
        QCOMPARE(start.options.SessionNo, expected);
        if (ok) {
            QVERIFY(start.error.isEmpty());
            QVERIFY(start.options.EjectDisc);
            QVERIFY(start.options.ImportSession);
            QCOMPARE(start.orbel.IdVolume, std::string("LATE"));
            QCOMPARE(start.orbel.CacheSize(), 8388608);
            return;
        }
        QVERIFY2(start.error.contains(QString::fromLatin1(sessionNo)), qPrintable(start.error));
        QVERIFY2(start.error.contains(lorvane::app::SettingsFilePath()), qPrintable(start.error));
        QVERIFY(!start.options.EjectDisc);
        QVERIFY(!start.options.ShowFiles);
        QVERIFY(!start.options.ImportSession);
        QCOMPARE(start.orbel.BootImage, std::string());
        QCOMPARE(start.orbel.IdVolume, std::string());
        QCOMPARE(start.orbel.CacheSize(), 4194304);
    }

    void sessionNoIsReadOnlyWhenImportSessionIsOn() {
        WriteFile("[Options]\nImportSession=0\nSessionNo=-1\n");
        lorvane::testing::FakeClock clock;
        TOrbelBurner orbel(clock);
        AppOptions options;
        options.SessionNo = 5;
        SavePathState savePath = SavePathState::Unchecked;
        QVERIFY(lorvane::app::ReadSettingsAtStart(orbel, options, savePath));
        QCOMPARE(options.SessionNo, 0);
        QVERIFY(!options.ImportSession);
    }

    void cacheSizeGoesThroughThePropertysRounding_data() {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<int>("expected");
        QTest::newRow("1000000") << QByteArray("1000000") << 2097152;
        QTest::newRow("negative") << QByteArray("-5") << 2097152;
        QTest::newRow("not whole sectors") << QByteArray("4194303") << 4192256;
        QTest::newRow("text keeps the current value") << QByteArray("big") << 4194304;
    }
    void cacheSizeGoesThroughThePropertysRounding() {
        QFETCH(QByteArray, value);
        QFETCH(int, expected);
        WriteFile("[Options]\nCacheSize=" + value + "\n");
        QCOMPARE(Restart().orbel.CacheSize(), expected);
    }

    void sliderAtThreeSavesThreeMegabytes() {
        Bench bench;
        bench.dialog->show();
        bench.dialog->sCacheSize->setValue(3);
        bench.dialog->Button1Click();
        QCOMPARE(bench.orbel.CacheSize(), 3145728);
        QVERIFY(FileLines().contains(QStringLiteral("CacheSize=3145728")));
        QCOMPARE(Restart().orbel.CacheSize(), 3145728);
    }

    void volumeLabelHoldsSixteenCharacters() {
        Bench bench;
        bench.dialog->show();
        bench.dialog->eVolLabel->clear();
        QTest::keyClicks(bench.dialog->eVolLabel, QStringLiteral("ABCDEFGHIJKLMNOPQ"));
        QCOMPARE(bench.dialog->eVolLabel->text(), QStringLiteral("ABCDEFGHIJKLMNOP"));
        bench.dialog->Button1Click();
        QCOMPARE(bench.orbel.IdVolume, std::string("ABCDEFGHIJKLMNOP"));
        QVERIFY(FileLines().contains(QStringLiteral("VolumeLable=ABCDEFGHIJKLMNOP")));
    }

    void aLongerLabelInTheFileIsCutToSixteen() {
        WriteFile("[Options]\nVolumeLable=ABCDEFGHIJKLMNOPQRST\n");
        QCOMPARE(Restart().orbel.IdVolume, std::string("ABCDEFGHIJKLMNOP"));
    }

    void valuesComeBackAsTheyWereStored_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("readBack");
        QTest::newRow("plain") << QStringLiteral("DISC") << QStringLiteral("DISC");
        QTest::newRow("blanks at the edges") << QStringLiteral("  DISC ") << QStringLiteral("  DISC ");
        QTest::newRow("quoted") << QStringLiteral("\"DISC\"") << QStringLiteral("\"DISC\"");
        QTest::newRow("one quote") << QStringLiteral("'DISC") << QStringLiteral("'DISC");
        QTest::newRow("equals and semicolon") << QStringLiteral("a=b;c") << QStringLiteral("a=b;c");
        QTest::newRow("comma") << QStringLiteral("A,B") << QStringLiteral("A,B");
        QTest::newRow("at sign") << QStringLiteral("@Variant(x)") << QStringLiteral("@Variant(x)");
        QTest::newRow("non-ASCII") << QStringLiteral("Ünïcödé ディスク")
                                   << QStringLiteral("Ünïcödé ディスク");
        QTest::newRow("empty") << QString() << QString();
        // A line break would let the rest of the value pass for another key.
        QTest::newRow("line break") << QStringLiteral("/a.img\nCacheSize=1") << QStringLiteral("/a.img");
    }
    void valuesComeBackAsTheyWereStored() {
        QFETCH(QString, stored);
        QFETCH(QString, readBack);
        QVERIFY(lorvane::app::WriteSettingsValues({{QStringLiteral("BootImage"), stored}}));
        QCOMPARE(lorvane::app::ReadSettingsValue(QStringLiteral("BootImage")).value_or(QStringLiteral("?")),
                 readBack);
        QCOMPARE(FileLines().size(), 2);
    }

    void otherSectionsAndKeysOfTheFileStay() {
        WriteFile(
            "; kept by hand\n[Window]\nLeft=10\n\n[options]\nFuture=yes\ncachesize=100\n\n[Last]\nX=1\n");
        QVERIFY(lorvane::app::WriteSettingsValues(
            {{QStringLiteral("CacheSize"), QStringLiteral("3145728")}, {QStringLiteral("JolietFS"), "0"}}));
        const QStringList expected = {
            "; kept by hand",    "[Window]",   "Left=10", "",       "[options]", "Future=yes",
            "CacheSize=3145728", "JolietFS=0", "",        "[Last]", "X=1"};
        QCOMPARE(FileLines(), expected);
    }

    void aSessionNumberBelowMinusOneIsAcceptedAndSaved() {
        Bench bench;
        bench.dialog->cImportSession->setChecked(true);
        bench.dialog->show();
        bench.dialog->eSession->setText(QStringLiteral("-5"));
        bench.dialog->Button1Click();
        QVERIFY(bench.messages.empty());
        QCOMPARE(bench.dialog->result(), int(QDialog::Accepted));
        QCOMPARE(bench.options.SessionNo, -5);
        QVERIFY(bench.options.ImportSession);
        QVERIFY(FileLines().contains(QStringLiteral("SessionNo=-5")));
        Restart start;
        QVERIFY(start.ok);
        QCOMPARE(start.options.SessionNo, -5);
    }

    void bootableIsSavedButUntickedAfterARestart() {
        Bench bench;
        bench.dialog->show();
        bench.answer = QStringLiteral("/images/boot.ima");
        bench.dialog->cBootable->click();
        bench.dialog->Button1Click();
        QVERIFY(bench.orbel.Bootable);
        QCOMPARE(bench.orbel.BootImage, std::string("/images/boot.ima"));
        QVERIFY(FileLines().contains(QStringLiteral("Bootable=1")));

        Restart start;
        QVERIFY(!start.orbel.Bootable);
        QCOMPARE(start.orbel.BootImage, std::string("/images/boot.ima"));
        TfrmSettings dialog(nullptr, start.orbel, start.options, [] { return SavePathState::Unchecked; });
        dialog.show();
        QVERIFY(!dialog.cBootable->isChecked());
        QCOMPARE(dialog.Label2->text(), QStringLiteral("/images/boot.ima"));
    }

    void theDialogsFixedFrame() {
        Bench bench;
        QCOMPARE(bench.dialog->windowTitle(), QStringLiteral("Advanced options"));
        QCOMPARE(bench.dialog->size(), QSize(336, 304));
        QCOMPARE(bench.dialog->minimumSize(), bench.dialog->maximumSize());
        QVERIFY(bench.dialog->windowFlags() & Qt::WindowCloseButtonHint);
        QVERIFY(!(bench.dialog->windowFlags() & Qt::WindowMinMaxButtonsHint));
        QVERIFY(bench.dialog->Button1->isDefault());
        QCOMPARE(bench.dialog->cArchiveOnly->text(),
                 QStringLiteral("Archive files only && Clear Archive Bit"));
        QCOMPARE(bench.dialog->eSession->width(), 34);
        QCOMPARE(bench.dialog->eVolLabel->maxLength(), 16);
        QCOMPARE(bench.dialog->sCacheSize->minimum(), 2);
        QCOMPARE(bench.dialog->sCacheSize->maximum(), 64);
        QCOMPARE(bench.dialog->sCacheSize->tickInterval(), 4);
        // Every control fits the fixed frame.
        const QSize needed = bench.dialog->layout()->minimumSize();
        QVERIFY2(needed.width() <= 336 && needed.height() <= 304,
                 qPrintable(QStringLiteral("%1 x %2").arg(needed.width()).arg(needed.height())));
    }

    void formShowFillsTheControlsWithoutAsking() {
        Bench bench;
        bench.orbel.JolietFileSystem = false;
        bench.orbel.FinalizeDisc = true;
        bench.orbel.IdVolume = "BACKUP";
        bench.orbel.TestWrite = true;
        bench.orbel.PerformOPC = false;
        bench.orbel.Bootable = true;
        bench.orbel.BootImage = "/b/boot.bin";
        bench.orbel.SetCacheSize(5 * 1048576 + 4096);
        bench.options.QuickSaveISO = true;
        bench.options.SessionNo = -1;
        bench.options.ArchiveFiles = true;
        bench.dialog->show();
        QVERIFY(bench.asked.empty());
        QVERIFY(!bench.dialog->cJoliet->isChecked());
        QVERIFY(bench.dialog->cCloseDisc->isChecked());
        QCOMPARE(bench.dialog->eVolLabel->text(), QStringLiteral("BACKUP"));
        QVERIFY(bench.dialog->cTestWrite->isChecked());
        QVERIFY(!bench.dialog->cOPC->isChecked());
        QVERIFY(bench.dialog->cBootable->isChecked());
        QCOMPARE(bench.dialog->Label2->text(), QStringLiteral("/b/boot.bin"));
        QCOMPARE(bench.dialog->eSession->text(), QStringLiteral("-1"));
        QVERIFY(bench.dialog->cArchiveOnly->isChecked());
        QVERIFY(bench.dialog->cQuickSaveISO->isChecked());
        QCOMPARE(bench.dialog->sCacheSize->value(), 5);
        QCOMPARE(bench.dialog->Label3->text(), QStringLiteral(" 5 MB"));
    }

    void sessionEditFollowsImportSession() {
        Bench bench;
        QVERIFY(!bench.dialog->eSession->isEnabled());
        bench.dialog->cImportSession->setChecked(true);
        bench.dialog->show();
        QVERIFY(bench.dialog->eSession->isEnabled());
        bench.dialog->cImportSession->click();
        QVERIFY(!bench.dialog->eSession->isEnabled());
        bench.dialog->cImportSession->click();
        QVERIFY(bench.dialog->eSession->isEnabled());
    }

    void underrunProtectionIsEnabledOnlyWhenTheDriveOffersIt_data() {
        QTest::addColumn<std::uint32_t>("capabilities");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("offered") << (lorvane::drive::cap::kUnderrunProtection |
                                     lorvane::drive::cap::kWriteCdR)
                                 << true;
        QTest::newRow("not offered") << lorvane::drive::cap::kWriteCdR << false;
        QTest::newRow("no drive") << std::uint32_t{0} << false;
    }
    void underrunProtectionIsEnabledOnlyWhenTheDriveOffersIt() {
        QFETCH(std::uint32_t, capabilities);
        QFETCH(bool, enabled);
        Bench bench;
        bench.orbel.Capabilities = capabilities;
        bench.dialog->show();
        QCOMPARE(bench.dialog->cUnderrunProtection->isEnabled(), enabled);
        QVERIFY(bench.dialog->cUnderrunProtection->isChecked());
    }

    void label3ShowsTheCacheSize_data() {
        QTest::addColumn<int>("position");
        QTest::addColumn<QString>("text");
        QTest::newRow("2") << 2 << QStringLiteral(" 2 MB");
        QTest::newRow("4") << 4 << QStringLiteral(" 4 MB");
        QTest::newRow("9") << 9 << QStringLiteral(" 9 MB");
        QTest::newRow("10") << 10 << QStringLiteral("10 MB");
        QTest::newRow("64") << 64 << QStringLiteral("64 MB");
        QTest::newRow("above the range") << 65 << QStringLiteral("64 MB");
    }
    void label3ShowsTheCacheSize() {
        QFETCH(int, position);
        QFETCH(QString, text);
        Bench bench;
        bench.dialog->show();
        bench.dialog->sCacheSize->setValue(position == 2 ? 3 : 2);
        bench.dialog->sCacheSize->setValue(position);
        QCOMPARE(bench.dialog->Label3->text(), text);
    }

    void tickingBootableAsksForTheImage_data() {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("ticked");
        QTest::addColumn<QString>("label");
        QTest::newRow("chosen") << QStringLiteral("/new/boot.img") << true << QStringLiteral("/new/boot.img");
        QTest::newRow("cancelled") << QString() << false << QStringLiteral("/old/boot.img");
    }
    void tickingBootableAsksForTheImage() {
        QFETCH(QString, answer);
        QFETCH(bool, ticked);
        QFETCH(QString, label);
        Bench bench;
        bench.orbel.BootImage = "/old/boot.img";
        bench.dialog->show();
        bench.answer = answer;
        bench.dialog->cBootable->click();
        QCOMPARE(bench.asked, std::vector<QString>{QStringLiteral("/old/boot.img")});
        QCOMPARE(bench.dialog->cBootable->isChecked(), ticked);
        QCOMPARE(bench.dialog->Label2->text(), label);
        // Unticking asks nothing and keeps the path.
        if (ticked) {
            bench.dialog->cBootable->click();
            QCOMPARE(bench.asked.size(), std::size_t{1});
            QVERIFY(!bench.dialog->cBootable->isChecked());
            QCOMPARE(bench.dialog->Label2->text(), label);
        }
    }

    void okRefusesAnInvalidSessionNumber_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("word") << QStringLiteral("last");
        QTest::newRow("blank") << QString();
        QTest::newRow("fraction") << QStringLiteral("1.5");
        QTest::newRow("above 127") << QStringLiteral("128");
        QTest::newRow("below -128") << QStringLiteral("-129");
    }
    void okRefusesAnInvalidSessionNumber() {
        QFETCH(QString, text);
        Bench bench;
        bench.dialog->cImportSession->setChecked(true);
        bench.dialog->show();
        bench.dialog->cJoliet->setChecked(false);
        bench.dialog->eSession->setText(text);
        bench.dialog->Button1->click();
        QCOMPARE(bench.MessageKinds(), QStringList{QStringLiteral("error")});
        QVERIFY(bench.dialog->isVisible());
        QVERIFY(!FileExists());
        // What came before the session number is applied all the same.
        QVERIFY(!bench.orbel.JolietFileSystem);
        QVERIFY(bench.options.ImportSession);
        QCOMPARE(bench.options.SessionNo, 0);
        // Corrected, the same dialog saves and closes.
        bench.dialog->eSession->setText(QStringLiteral("2"));
        bench.dialog->Button1->click();
        QCOMPARE(bench.dialog->result(), int(QDialog::Accepted));
        QVERIFY(!bench.dialog->isVisible());
        QCOMPARE(bench.options.SessionNo, 2);
        QVERIFY(FileExists());
    }

    void okWithSessionZeroGivesTheNoticeAndSaves() {
        Bench bench;
        bench.dialog->cImportSession->setChecked(true);
        bench.dialog->show();
        bench.dialog->eSession->setText(QStringLiteral("0"));
        bench.dialog->Button1Click();
        const std::vector<Message> expected = {
            {QStringLiteral("notice"),
             QStringLiteral("Session to import; Zero means not to import any session")}};
        QCOMPARE(bench.messages, expected);
        QCOMPARE(bench.dialog->result(), int(QDialog::Accepted));
        QVERIFY(FileLines().contains(QStringLiteral("SessionNo=0")));
    }

    void anUntickedImportSavesTheTypedTextButImportsNothing() {
        Bench bench;
        bench.options.SessionNo = 4;
        bench.dialog->show();
        bench.dialog->eSession->setText(QStringLiteral("7"));
        bench.dialog->Button1Click();
        QVERIFY(bench.messages.empty());
        QCOMPARE(bench.options.SessionNo, 0);
        QVERIFY(FileLines().contains(QStringLiteral("ImportSession=0")));
        QVERIFY(FileLines().contains(QStringLiteral("SessionNo=7")));
        QCOMPARE(Restart().options.SessionNo, 0);
    }

    void cancelEscAndTheCloseBoxDiscardEverything_data() {
        QTest::addColumn<int>("way");
        QTest::newRow("Cancel") << 0;
        QTest::newRow("Esc") << 1;
        QTest::newRow("close box") << 2;
    }
    void cancelEscAndTheCloseBoxDiscardEverything() {
        QFETCH(int, way);
        Bench bench;
        bench.orbel.BootImage = "/old.img";
        bench.dialog->show();
        bench.dialog->eVolLabel->setText(QStringLiteral("CHANGED"));
        bench.dialog->cJoliet->setChecked(false);
        bench.dialog->cTestWrite->setChecked(true);
        bench.dialog->sCacheSize->setValue(40);
        bench.dialog->cArchiveOnly->setChecked(true);
        bench.answer = QStringLiteral("/new.img");
        bench.dialog->cBootable->click();
        QVERIFY(bench.dialog->cBootable->isChecked());
        if (way == 0)
            bench.dialog->Button2->click();
        else if (way == 1)
            QTest::keyClick(bench.dialog.get(), Qt::Key_Escape);
        else
            bench.dialog->close();
        QVERIFY(!bench.dialog->isVisible());
        QCOMPARE(bench.dialog->result(), int(QDialog::Rejected));
        QVERIFY(!FileExists());
        QCOMPARE(bench.orbel.IdVolume, std::string());
        QVERIFY(bench.orbel.JolietFileSystem);
        QVERIFY(!bench.orbel.TestWrite);
        QCOMPARE(bench.orbel.CacheSize(), 4194304);
        QVERIFY(!bench.orbel.Bootable);
        QCOMPARE(bench.orbel.BootImage, std::string("/old.img"));
        QVERIFY(!bench.options.ArchiveFiles);
    }

    void anUnwritableFileIsReportedAndTheValuesStayApplied() {
        // A folder where the file should be: nothing can be written there.
        QVERIFY(QDir().mkpath(lorvane::app::SettingsFilePath()));
        Bench bench;
        bench.dialog->show();
        bench.dialog->cTestWrite->setChecked(true);
        bench.dialog->Button1Click();
        QCOMPARE(bench.MessageKinds(), QStringList{QStringLiteral("error")});
        QVERIFY(bench.messages.front().second.contains(lorvane::app::SettingsFilePath()));
        QVERIFY(bench.orbel.TestWrite);
        QCOMPARE(bench.dialog->result(), int(QDialog::Accepted));
        QVERIFY(!lorvane::app::WriteSavePath(SavePathState::Checked));
    }

    void closeTrackClosesTheLastSessionAndStaysOpen() {
        RecorderBench recorder;
        QVERIFY(recorder.orbel->InitTransport(false));
        const std::optional<std::string> refusal =
            lorvane::recorder::InsertDisc(*recorder.drive, lorvane::recorder::MediumKind::CdR);
        QVERIFY2(!refusal, refusal ? refusal->c_str() : "");
        QVERIFY(!recorder.orbel->DeviceList.empty());
        recorder.orbel->SetDevice(recorder.orbel->DeviceList.at(0));
        AppOptions options;
        TfrmSettings dialog(nullptr, *recorder.orbel, options, [] { return SavePathState::Unchecked; });
        std::vector<Message> messages;
        dialog.ShowMessage = [&](const QString& kind, const QString& text) {
            messages.emplace_back(kind, text);
        };
        dialog.show();
        // The virtual drive offers underrun protection.
        QVERIFY(dialog.cUnderrunProtection->isEnabled());
        recorder.drive->ClearCommands();
        dialog.Button3->click();

        std::vector<std::vector<std::uint8_t>> sent;
        for (const lorvane::recorder::CommandRecord& record : recorder.drive->Commands())
            sent.push_back(record.cdb);
        // MMC CLOSE TRACK/SESSION: no immediate bit, close function 010b (the session), track 0.
        const std::vector<std::vector<std::uint8_t>> expected = {
            {0x5B, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}};
        QCOMPARE(sent, expected);
        QVERIFY(dialog.isVisible());
        QVERIFY(messages.empty());
        QVERIFY(!FileExists());
    }
};

QTEST_MAIN(SettingsTest)
#include "settings_test.moc"
