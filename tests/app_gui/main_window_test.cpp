// The main window against the virtual recorder in-process, on the virtual clock: start-up with and
// without a drive, the speed list, burns, image builds and image burns to the end, erases with their
// progress, abort, and the log lines of the drive commands.

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QGuiApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "app/compilation_list.h"
#include "app/main_window.h"
#include "app/settings_dialog.h"
#include "app/settings_file.h"
#include "drive/opcodes.h"
#include "recorder/media.h"
#include "recorder/medium.h"
#include "recorder/virtual_drive.h"
#include "recorder/virtual_recorder.h"
#include "support/fake_clock.h"
#include "support/fake_kernel.h"
#include "transport/aspi.h"
#include "transport/pass_through.h"

using lorvane::app::TForm1;
using lorvane::recorder::MediumKind;
namespace fs = std::filesystem;

extern char** environ;

namespace {

// The burner's clock: the shared virtual clock, with a gate that can hold a worker thread inside one of
// its sleeps, so that a test can look at the window while an erase or a write is under way.
class GateClock final : public lorvane::transport::Clock {
public:
    explicit GateClock(lorvane::testing::FakeClock& clock) : m_clock(clock) {}
    TimePoint Now() const override { return m_clock.Now(); }
    void SleepFor(std::chrono::milliseconds duration) override {
        if (std::this_thread::get_id() != m_gui) {
            std::unique_lock lock(m_lock);
            if (m_holdAt > 0 && ++m_workerSleeps >= m_holdAt) {
                m_held = true;
                m_changed.notify_all();
                m_changed.wait(lock, [&] { return m_holdAt == 0; });
                m_held = false;
            }
        }
        m_clock.SleepFor(duration);
    }
    // Holds the worker that sleeps for the nth time from now on.
    void HoldAtSleep(int nth) {
        std::scoped_lock lock(m_lock);
        m_workerSleeps = 0;
        m_holdAt = nth;
    }
    bool Held() {
        std::scoped_lock lock(m_lock);
        return m_held;
    }
    void Release() {
        {
            std::scoped_lock lock(m_lock);
            m_holdAt = 0;
        }
        m_changed.notify_all();
    }

private:
    lorvane::testing::FakeClock& m_clock;
    const std::thread::id m_gui = std::this_thread::get_id();
    std::mutex m_lock; // guards m_holdAt, m_workerSleeps, m_held
    std::condition_variable m_changed;
    int m_holdAt = 0;
    int m_workerSleeps = 0;
    bool m_held = false;
};

struct Question {
    QMessageBox::Icon icon;
    QString caption;
    QString text;
    QMessageBox::StandardButton defaultButton;
};

// A window on a virtual recorder (or on no transport at all), with every dialog answered by the test.
class Rig {
public:
    explicit Rig(std::optional<lorvane::recorder::DriveModel> model = lorvane::recorder::DriveModel{},
                 MediumKind medium = MediumKind::CdR) {
        lorvane::transport::CloseTransport();
        lorvane::transport::SetPassThroughKernel(&kernel);
        lorvane::transport::SetModuleLoader(&loader);
        if (model) {
            lorvane::recorder::DriveIdentity identity;
            identity.model = *model;
            drive = &recorder.AddDrive(identity, Path("drive.disc"));
            if (const auto refusal = lorvane::recorder::InsertDisc(*drive, medium))
                qFatal("%s", refusal->c_str());
            lorvane::recorder::VirtualRecorder::Install(&recorder);
        }
        window = std::make_unique<TForm1>(clock);
        window->AskYesNo = [this](QMessageBox::Icon icon, const QString& caption, const QString& text,
                                  QMessageBox::StandardButton defaultButton) {
            questions.push_back({icon, caption, text, defaultButton});
            if (onQuestion) onQuestion();
            return answer;
        };
        window->ShowMessage = [this](QMessageBox::Icon, const QString& text) { messages << text; };
        window->InputBox = [this](const QString& caption, const QString&,
                                  const QString&) -> std::optional<QString> {
            inputCaptions << caption;
            return input;
        };
        window->OpenImageFile = [this] { return imageFile; };
        window->Beep = [this] { ++beeps; };
        window->OpenUrl = [](const QUrl&) {};
        window->show();
    }
    ~Rig() {
        clock.Release();
        window.reset();
        lorvane::transport::CloseTransport();
        lorvane::transport::SetModuleLoader(nullptr);
        lorvane::recorder::VirtualRecorder::Install(nullptr);
        lorvane::transport::SetPassThroughKernel(nullptr);
        if (drive) drive->ChangeMedium(nullptr);
    }

    std::string Path(const std::string& name) const {
        return (fs::path(folder.path().toStdString()) / name).string();
    }

    // A source folder of files with distinct contents; returns its path.
    std::string Sources(const std::string& name, const std::map<std::string, std::size_t>& files) {
        const fs::path root = Path(name);
        unsigned seed = 1;
        for (const auto& [relative, size] : files) {
            fs::create_directories((root / relative).parent_path());
            std::ofstream out(root / relative, std::ios::binary);
            std::string content(size, '\0');
            std::uint32_t x = seed++ * 2654435761u;
            for (char& c : content) {
                x = x * 1664525u + 1013904223u;
                c = static_cast<char>(x >> 24);
            }
            out << content;
        }
        return root.string();
    }

    QStringList LogLines() const { return window->Memo1->toPlainText().split('\n'); }
    bool Logged(const QString& line) const { return LogLines().contains(line); }
    // The lines after the first one that starts with `from`.
    QStringList LinesFrom(const QString& from) const {
        const QStringList lines = LogLines();
        for (qsizetype i = 0; i < lines.size(); ++i)
            if (lines[i].startsWith(from)) return lines.mid(i);
        return {};
    }
    int Sent(std::uint8_t opcode) const {
        int count = 0;
        for (const auto& record : drive->Commands())
            if (!record.cdb.empty() && record.cdb[0] == opcode) ++count;
        return count;
    }
    bool DriveBarsEnabled() const { return window->pTop->isEnabled() && window->pTop2->isEnabled(); }

    QTemporaryDir folder;
    lorvane::testing::FakeClock fake;
    GateClock clock{fake};
    lorvane::testing::FakeKernel kernel;
    lorvane::recorder::VirtualRecorder recorder{fake};
    lorvane::recorder::InProcessModuleLoader loader;
    lorvane::recorder::VirtualDrive* drive = nullptr;
    std::unique_ptr<TForm1> window;

    QMessageBox::StandardButton answer = QMessageBox::Yes;
    std::function<void()> onQuestion;
    std::vector<Question> questions;
    QStringList messages;
    std::optional<QString> input;
    QStringList inputCaptions;
    QString imageFile;
    int beeps = 0;
};

// The files xorriso extracts from an image or a disc file, by relative path, with their contents.
std::map<std::string, std::string> ReadWithXorriso(const std::string& image, const std::string& scratch) {
    // posix_spawn rather than fork: the test process runs threads, and a forked copy of them could stall.
    std::vector<std::string> argv{"xorriso", "-osirrox", "on", "-indev", image, "-extract", "/", scratch};
    std::vector<char*> args;
    for (std::string& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t child = 0;
    const int spawned = posix_spawnp(&child, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (spawned != 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {};
    std::map<std::string, std::string> files;
    for (const auto& item : fs::recursive_directory_iterator(scratch)) {
        if (!item.is_regular_file()) continue;
        std::ifstream in(item.path(), std::ios::binary);
        files[fs::relative(item.path(), scratch).string()] = {std::istreambuf_iterator<char>(in), {}};
    }
    return files;
}

std::map<std::string, std::string> FolderFiles(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const auto& item : fs::recursive_directory_iterator(folder)) {
        if (!item.is_regular_file()) continue;
        std::ifstream in(item.path(), std::ios::binary);
        files[fs::relative(item.path(), folder).string()] = {std::istreambuf_iterator<char>(in), {}};
    }
    return files;
}

bool HaveXorriso() {
    return !QStandardPaths::findExecutable("xorriso").isEmpty();
}

// A CD drive that takes 24x, 16x, 8x or 4x and rounds every other request down (and up to 4x).
lorvane::recorder::DriveModel RoundingCdDrive() {
    lorvane::recorder::DriveModel model;
    model.cdWriteSpeedsKBs = {4234, 2823, 1411, 706};
    return model;
}

} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init() { QFile::remove(lorvane::app::SettingsFilePath()); }

    void startsUpWithTheFirstDrive() {
        Rig rig;
        QCOMPARE(rig.window->windowTitle(), QString("Lorvane 1.1.8"));
        QCOMPARE(rig.LogLines().front(), QString(">>> Lorvane 1.1.8"));
        QCOMPARE(rig.LogLines().back(), QString(" "));
        QVERIFY(rig.messages.isEmpty());
        QCOMPARE(rig.window->cbDrives->count(), 1);
        QCOMPARE(rig.window->cbDrives->currentText().toStdString(), rig.window->orbel.DeviceList.front());
        QCOMPARE(rig.window->cbDrives->toolTip(), rig.window->cbDrives->currentText());
        QCOMPARE(rig.window->lDrive->text(), QString("  Drive :")); // the module knows no device node
        QVERIFY(rig.DriveBarsEnabled());
        QVERIFY(rig.window->bBurn->isEnabled());
        QVERIFY(rig.window->bAbort->isHidden());
        QVERIFY(!rig.window->Timer1->isActive());
        QCOMPARE(rig.window->cbSpeed->itemText(0), QString("Max"));
        QCOMPARE(rig.window->cbSpeed->currentIndex(), 0);
    }

    void startsUpWithoutTransportWithTheDriveBarsOff() {
        Rig rig(std::nullopt);
        QCOMPARE(rig.messages,
                 QStringList{QString("Error initializing ASPI Layer, Please visit support page, ") +
                             lorvane::app::kSupportAddress + " for more information"});
        QVERIFY(!rig.window->pTop->isEnabled());
        QVERIFY(!rig.window->pTop2->isEnabled());
        QVERIFY(!rig.window->bBurnISO->isEnabled());
        QVERIFY(rig.window->bSaveISO->isEnabled());
        QCOMPARE(rig.window->cbDrives->count(), 0);
        QCOMPARE(rig.LogLines().back(), QString(">>> Lorvane 1.1.8")); // the sequence ended at the box

        // An image build still works, and its end does not bring the drive bars back.
        rig.window->clBox->AddFolderRow(QString::fromStdString(rig.Sources("src", {{"a.txt", 10}})));
        rig.input = QString::fromStdString(rig.Path("out.iso"));
        rig.window->Options.QuickSaveISO = true;
        rig.window->bSaveISOClick();
        QTRY_VERIFY(rig.Logged(">>> WRITE/BURNCD PROCESS DONE"));
        QVERIFY(fs::exists(rig.Path("out.iso")));
        QVERIFY(!rig.window->pTop->isEnabled());
        QVERIFY(!rig.window->pTop2->isEnabled());
        QVERIFY(rig.window->bSaveISO->isEnabled());
    }

    void speedRowsListEachSpeedTheDriveTakesOnce() {
        Rig rig(RoundingCdDrive());
        QStringList rows;
        for (int i = 0; i < rig.window->cbSpeed->count(); ++i) rows << rig.window->cbSpeed->itemText(i);
        QCOMPARE(rows, (QStringList{"Max", "24X (3,600 KB/s)", "16X (2,400 KB/s)", "08X (1,200 KB/s)",
                                    "04X (600 KB/s)"}));
        // A rebuild keeps the selected row.
        rig.window->cbSpeed->setCurrentIndex(3);
        rig.window->cbSpeedDropDown();
        QCOMPARE(rig.window->cbSpeed->currentIndex(), 3);
        QCOMPARE(rig.window->cbSpeed->count(), 5);
    }

    void burnIsEnabledOnlyByTheCdRDvdRAndDvdRamWriteBits() {
        const struct {
            const char* name;
            bool cdR, cdRw, dvdR, dvdRam, dvdPlus, enabled;
        } kCases[] = {
            {"CD-R", true, false, false, false, false, true},
            {"CD-RW only", false, true, false, false, false, false},
            {"DVD-R", false, false, true, false, false, true},
            {"DVD-RAM", false, false, false, true, false, true},
            {"DVD+R only", false, false, false, false, true, false},
        };
        for (const auto& c : kCases) {
            lorvane::recorder::DriveModel model;
            model.writesCdR = c.cdR;
            model.writesCdRw = c.cdRw;
            model.writesDvdR = c.dvdR;
            model.writesDvdRam = c.dvdRam;
            model.writesDvdPlus = c.dvdPlus;
            Rig rig(model);
            QVERIFY2(rig.window->bBurn->isEnabled() == c.enabled, c.name);
        }
    }

    void burnsTheCompilationAfterTheConfirmation() {
        Rig rig;
        const std::string source = rig.Sources("src", {{"a.txt", 5000}, {"docs/b.bin", 300000}});
        rig.window->clBox->AddFolderRow(QString::fromStdString(source));
        std::int64_t sectors = 0;
        rig.onQuestion = [&] { sectors = rig.window->orbel.TotalSectors(); };
        rig.window->bBurnClick();

        QCOMPARE(rig.questions.size(), std::size_t{1});
        QCOMPARE(rig.questions[0].icon, QMessageBox::Question);
        QCOMPARE(rig.questions[0].caption, QString("Want to Burn the CD ?"));
        QCOMPARE(rig.questions[0].text,
                 "Start Writing " + QString::number(static_cast<double>(sectors) * 2048 / 1048576, 'f', 2) +
                     " MB");
        QCOMPARE(rig.window->pcd->maximum(), static_cast<int>(sectors));
        QVERIFY(rig.Logged(">>> ADD FILES/DIRS TO CD DONE."));
        QVERIFY(
            rig.Logged(">>> STARTING BURNCD ON " + QString::fromStdString(rig.window->orbel.DeviceString)));

        QTRY_VERIFY(rig.Logged(">>> WRITE/BURNCD PROCESS DONE"));
        QVERIFY(!rig.Logged(">>> WRITE/BURNCD PROCESS DONE WITH ERROR"));
        QCOMPARE(rig.LogLines().back(), QString(" "));
        QVERIFY(rig.DriveBarsEnabled());
        QVERIFY(rig.window->bSaveISO->isEnabled() && rig.window->bBurnISO->isEnabled());
        QVERIFY(rig.window->DriveCB->isEnabled());
        QVERIFY(rig.window->bAbort->isHidden());
        QVERIFY(!rig.window->Timer1->isActive());
        QCOMPARE(rig.beeps, 1);
        QCOMPARE(rig.window->orbel.FileCount(), 0);                 // the tree is cleared after a write
        QCOMPARE(rig.window->clBox->Rows().size(), std::size_t{1}); // the list keeps its rows
        QCOMPARE(rig.window->lSize->text(),
                 QString::number(static_cast<double>(sectors) * 2048 / 1048576, 'f', 2) + "/" +
                     QString::number(static_cast<double>(sectors) * 2048 / 1048576, 'f', 2) + " MB");

        if (!HaveXorriso()) QSKIP("xorriso is not installed");
        rig.window.reset(); // the disc file is complete once the drive is left alone
        QCOMPARE(ReadWithXorriso(rig.drive->DiscPath().string(), rig.Path("read")), FolderFiles(source));
    }

    void answeringNoLeavesEverythingAsItWas() {
        Rig rig;
        rig.window->clBox->AddFolderRow(QString::fromStdString(rig.Sources("src", {{"a.txt", 10}})));
        rig.answer = QMessageBox::No;
        rig.window->bBurnClick();
        QCOMPARE(rig.questions.size(), std::size_t{1});
        QVERIFY(
            !rig.Logged(">>> STARTING BURNCD ON " + QString::fromStdString(rig.window->orbel.DeviceString)));
        QVERIFY(rig.DriveBarsEnabled());
        QVERIFY(rig.window->bAbort->isHidden());
        QVERIFY(!rig.window->Timer1->isActive());
        QCOMPARE(rig.Sent(lorvane::drive::op::kWrite10), 0);
    }

    void anEmptyListIsNothingToBurn() {
        Rig rig;
        rig.window->bBurnClick();
        QCOMPARE(rig.messages, QStringList{"Atleast one file/directory should be selected"});
        QCOMPARE(rig.LinesFrom(">>> ADD FILES/DIRS TO CD DONE."),
                 (QStringList{">>> ADD FILES/DIRS TO CD DONE.", ">>> NOTHING TO BURN, ABORTING ..."}));
        QVERIFY(rig.questions.empty());
        QVERIFY(rig.DriveBarsEnabled());
    }

    void buildsAnImageInTheBackgroundAndQuickly() {
        for (const bool quick : {false, true}) {
            Rig rig;
            const std::string source = rig.Sources("src", {{"a.txt", 3000}, {"sub/c.bin", 200000}});
            rig.window->clBox->AddFolderRow(QString::fromStdString(source));
            rig.window->Options.QuickSaveISO = quick;
            const std::string image = rig.Path("out.iso");
            rig.input = QString::fromStdString(image);
            rig.window->bSaveISOClick();
            QCOMPARE(rig.inputCaptions, QStringList{"Build ISO"});
            QVERIFY(rig.questions.empty()); // no confirmation
            QVERIFY(rig.window->bAbort->isHidden());
            QTRY_VERIFY(rig.Logged(">>> WRITE/BURNCD PROCESS DONE"));
            QCOMPARE(rig.LinesFrom(">>> ADD FILES/DIRS TO .ISO DONE.").mid(0, 2),
                     (QStringList{">>> ADD FILES/DIRS TO .ISO DONE.", ">>> START BUILDING .ISO FILE"}));
            QVERIFY(rig.DriveBarsEnabled());
            QVERIFY(rig.window->bSaveISO->isEnabled());
            QCOMPARE(rig.Sent(lorvane::drive::op::kWrite10), 0);
            if (HaveXorriso()) QCOMPARE(ReadWithXorriso(image, rig.Path("read")), FolderFiles(source));
        }
    }

    void aFailedImageBuildGivesTheControlsBackAndLeavesNoPartialImage() {
        for (const bool quick : {false, true}) {
            Rig rig;
            const std::string source = rig.Sources("src", {{"a.txt", 3000}, {"b.txt", 100}});
            rig.window->clBox->AddFolderRow(QString::fromStdString(source));
            rig.window->Options.QuickSaveISO = quick;
            // A source that is gone when the image is written.
            rig.window->orbel.OnAddFile = [&](auto*, const std::string& path, auto&, auto&, auto&, auto, auto,
                                              bool&) {
                if (path.ends_with("b.txt")) fs::remove(path);
            };
            rig.input = QString::fromStdString(rig.Path("out.iso"));
            rig.window->bSaveISOClick();
            QTRY_VERIFY(rig.Logged(">>> WRITE/BURNCD PROCESS DONE WITH ERROR"));
            QVERIFY(rig.window->bSaveISO->isEnabled());
            QVERIFY(rig.DriveBarsEnabled());
            QVERIFY(!fs::exists(rig.Path("out.iso")));
        }
    }

    void anImageIsNeverWrittenOverOneOfItsSources() {
        Rig rig;
        const std::string source = rig.Sources("src", {{"a.txt", 3000}});
        rig.window->clBox->AddFolderRow(QString::fromStdString(source));
        const std::string victim = (fs::path(source) / "a.txt").string();
        const std::map<std::string, std::string> before = FolderFiles(source);
        rig.input = QString::fromStdString(victim);
        rig.window->bSaveISOClick();
        QCOMPARE(rig.messages.size(), 1);
        QVERIFY(rig.messages[0].contains(QString::fromStdString(victim)));
        QCOMPARE(FolderFiles(source), before);
        QVERIFY(rig.window->bSaveISO->isEnabled());
    }

    void burnsAnImageFileWithoutAConfirmation() {
        Rig rig;
        const std::string image = rig.Path("image.iso");
        {
            std::ofstream out(image, std::ios::binary);
            std::string content(150 * 2048, '\0');
            for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 2048);
            out << content;
        }
        rig.window->bBurnISOClick(); // cancelled
        QVERIFY(!rig.Logged(">>> STARTING BURN .ISO IMAGE ON " +
                            QString::fromStdString(rig.window->orbel.DeviceString)));

        rig.imageFile = QString::fromStdString(image);
        rig.window->bBurnISOClick();
        QVERIFY(rig.questions.empty());
        QVERIFY(rig.Logged(">>> STARTING BURN .ISO IMAGE ON " +
                           QString::fromStdString(rig.window->orbel.DeviceString)));
        QCOMPARE(rig.window->pcd->maximum(), 150);
        QTRY_VERIFY(rig.Logged(">>> WRITE/BURNCD PROCESS DONE"));
        QVERIFY(!rig.Logged(">>> WRITE/BURNCD PROCESS DONE WITH ERROR"));
        QVERIFY(rig.DriveBarsEnabled());
        rig.window.reset();
        std::ifstream disc(rig.drive->DiscPath(), std::ios::binary), original(image, std::ios::binary);
        std::string written(150 * 2048, '\0'), expected(150 * 2048, '\0');
        disc.read(written.data(), static_cast<std::streamsize>(written.size()));
        original.read(expected.data(), static_cast<std::streamsize>(expected.size()));
        QVERIFY(written == expected);
    }

    void erasesACdRwWithProgress() {
        const struct {
            bool quick;
            const char* caption;
            int holdAt;
        } kCases[] = {
            {true, "Want to Quick Erase the Disc ?", 2},
            {false, "Want to Complete Erase the Disc ? (may take 10-70 mins)", 10},
        };
        for (const auto& c : kCases) {
            Rig rig(lorvane::recorder::DriveModel{}, MediumKind::CdRw);
            rig.onQuestion = [&] { rig.clock.HoldAtSleep(c.holdAt); };
            if (c.quick)
                rig.window->bQEraseClick();
            else
                rig.window->bCEraseClick();
            QCOMPARE(rig.questions.size(), std::size_t{1});
            QCOMPARE(rig.questions[0].icon, QMessageBox::Warning);
            QCOMPARE(rig.questions[0].caption, QString(c.caption));
            QCOMPARE(rig.questions[0].text, QString("All Data on the CD will be lost"));
            QCOMPARE(rig.questions[0].defaultButton, QMessageBox::No);
            QTRY_VERIFY(rig.clock.Held());

            // While the erase runs: progress in percent, and no drive command can be started.
            QVERIFY(rig.window->Timer1->isActive());
            rig.window->Timer1Timer();
            QCOMPARE(rig.window->pcd->maximum(), 100);
            QVERIFY(rig.window->pcd->value() > 0 && rig.window->pcd->value() < 100);
            QVERIFY(!rig.window->pTop->isEnabled());
            QVERIFY(!rig.window->pTop2->isEnabled());
            QVERIFY(!rig.window->bSaveISO->isEnabled());
            QVERIFY(!rig.window->bBurnISO->isEnabled());
            const int loads = rig.Sent(lorvane::drive::op::kStartStopUnit);
            QTest::mouseClick(rig.window->bEject, Qt::LeftButton);
            QTest::mouseClick(rig.window->bQErase, Qt::LeftButton);
            QCOMPARE(rig.Sent(lorvane::drive::op::kStartStopUnit), loads);
            QCOMPARE(rig.questions.size(), std::size_t{1});

            rig.clock.Release();
            QTRY_VERIFY(rig.Logged(">>> ERASE PROCESS DONE"));
            QVERIFY(!rig.window->orbel.Erasing());
            QVERIFY(rig.DriveBarsEnabled());
            QVERIFY(rig.window->bSaveISO->isEnabled());
            QCOMPARE(rig.window->pcd->value(), 0);
            QVERIFY(!rig.window->Timer1->isActive());
            QCOMPARE(rig.LogLines().back(), QString(" "));
            QCOMPARE(rig.Sent(lorvane::drive::op::kBlank), 1);
        }
    }

    void aDiscThatCannotBeErasedIsRefused() {
        Rig rig; // a blank CD-R
        rig.window->bQEraseClick();
        rig.window->bCEraseClick();
        QCOMPARE(rig.messages, (QStringList{"Disc is not Erasable", "Disc is not Erasable"}));
        QVERIFY(rig.questions.empty());
        QCOMPARE(rig.Sent(lorvane::drive::op::kBlank), 0);
    }

    void abortEndsTheBurnWithTheAbortText() {
        Rig rig;
        rig.window->Options.EjectDisc = true;
        rig.window->clBox->AddFolderRow(QString::fromStdString(rig.Sources("src", {{"big.bin", 8 << 20}})));
        rig.onQuestion = [&] { rig.clock.HoldAtSleep(1); }; // the writer, once the drive's buffer is full
        rig.window->bBurnClick();
        QVERIFY(rig.window->bAbort->isVisible());
        QTRY_VERIFY(rig.clock.Held());
        QTest::mouseClick(rig.window->bAbort, Qt::LeftButton);
        QVERIFY(rig.window->bAbort->isHidden());
        rig.clock.Release();
        QTRY_VERIFY(rig.Logged(">>> WRITE/BURNCD PROCESS DONE WITH ERROR"));
        QCOMPARE(rig.LinesFrom(">>> WRITE/BURNCD PROCESS DONE WITH ERROR").mid(0, 2),
                 (QStringList{">>> WRITE/BURNCD PROCESS DONE WITH ERROR", ">>> OPERATION ABORTED BY USER"}));
        QVERIFY(rig.DriveBarsEnabled());
        QCOMPARE(rig.drive->Tray(), lorvane::recorder::TrayState::Closed); // no eject after a failed write
    }

    void driveCommandsLogTheirOutcome() {
        Rig rig;
        const struct {
            void (TForm1::*command)();
            const char* line;
        } kCases[] = {
            {&TForm1::bReadyClick, ">>> DRIVE IS READY"},
            {&TForm1::bEjectClick, ">>> EJECT MEDIUM COMMAND DONE."},
            {&TForm1::bReadyClick, ">>> DRIVE IS NOT READY "},
            {&TForm1::bLoadClick, ">>> LOAD MEDIUM COMMAND DONE."},
            {&TForm1::bReadyClick, ">>> DRIVE IS READY"},
        };
        for (const auto& c : kCases) {
            (rig.window.get()->*c.command)();
            QCOMPARE(rig.LogLines().back(), QString(c.line));
        }
        lorvane::recorder::Fault refuse;
        refuse.opcode = lorvane::drive::op::kStartStopUnit;
        refuse.sense = lorvane::recorder::FixedSense(0x05, 0x24, 0x00);
        refuse.times = -1;
        rig.drive->InjectFault(refuse);
        rig.window->bEjectClick();
        QCOMPARE(rig.LogLines().back(), QString(">>> EJECT MEDIUM COMMAND FAILED."));
        const qsizetype loadsLogged = rig.LogLines().count(">>> LOAD MEDIUM COMMAND DONE.");
        rig.window->bLoadClick(); // a failed load shows only in the command log
        QCOMPARE(rig.LogLines().count(">>> LOAD MEDIUM COMMAND DONE."), loadsLogged);
        QVERIFY(rig.messages.isEmpty());
    }

    void theLogKeysCopyAndClear() {
        Rig rig;
        QVERIFY(QTest::qWaitForWindowActive(rig.window.get()));
        QTest::keyClick(rig.window.get(), Qt::Key_F5);
        QCOMPARE(QGuiApplication::clipboard()->text(), rig.window->Memo1->toPlainText());
        QVERIFY(QGuiApplication::clipboard()->text().startsWith(">>> Lorvane 1.1.8"));
        QTest::keyClick(rig.window.get(), Qt::Key_F8);
        QVERIFY(rig.window->Memo1->toPlainText().isEmpty());
    }

    void savePathStoresEveryStateItShows() {
        Rig rig;
        QCOMPARE(rig.window->SavePath(), lorvane::app::SavePathState::Unchecked); // no settings file
        QStringList stored;
        for (int click = 0; click < 3; ++click) {
            QTest::mouseClick(rig.window->cPathInfo, Qt::LeftButton);
            stored << lorvane::app::ReadSettingsValue("SavePath").value_or("");
            QCOMPARE(stored.back(), lorvane::app::SavePathWord(rig.window->SavePath()));
        }
        stored.sort();
        QCOMPARE(stored, (QStringList{"Checked", "Grayed", "Unchecked"}));
    }

    void advanceShowsTheSettingsWithTheOptionsTicked() {
        const struct {
            bool eject, showFiles, importSession;
        } kCases[] = {{true, false, true}, {false, true, false}};
        for (const auto& c : kCases) {
            Rig rig;
            rig.window->Options.EjectDisc = c.eject;
            rig.window->Options.ShowFiles = c.showFiles;
            rig.window->Options.ImportSession = c.importSession;
            int shown = 0;
            rig.window->ShowSettings = [&](lorvane::app::TfrmSettings& dialog) {
                ++shown;
                QCOMPARE(dialog.cEject->isChecked(), c.eject);
                QCOMPARE(dialog.cShowFiles->isChecked(), c.showFiles);
                QCOMPARE(dialog.cImportSession->isChecked(), c.importSession);
            };
            QTest::mouseClick(rig.window->bAdvance, Qt::LeftButton);
            QCOMPARE(shown, 1);
        }
    }

    void theNetworkPathBecomesTheBrowsedFolder() {
        Rig rig;
        rig.input = rig.folder.path();
        rig.window->bNetworkClick();
        QCOMPARE(rig.inputCaptions, QStringList{"Network Path"});
        QCOMPARE(QDir(rig.window->BrowseFolder()), QDir(rig.folder.path()));
        rig.input = rig.folder.path() + "/missing";
        rig.window->bNetworkClick();
        QCOMPARE(QDir(rig.window->BrowseFolder()), QDir(rig.folder.path()));
        QCOMPARE(rig.messages.size(), 1);
        rig.input = std::nullopt;
        rig.window->bNetworkClick();
        QCOMPARE(rig.messages.size(), 1);
    }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
