// The disc information dialog and the file viewer against the virtual recorder in-process, on the
// virtual clock: the session lines of one-, two- and three-session discs and of discs whose geometry is
// set by hand, unreadable descriptors, no medium, the lines that open the viewer and those that do
// not, the viewer's folders and rows, and extraction of single files and of whole folders.

#include <QDir>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QTreeWidget>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "app/main_window.h"
#include "app/sessions_window.h"
#include "app/settings_file.h"
#include "app/tree_window.h"
#include "image/orbel_burner.h"
#include "recorder/disc_medium.h"
#include "recorder/disc_state.h"
#include "recorder/media.h"
#include "recorder/virtual_drive.h"
#include "recorder/virtual_recorder.h"
#include "support/fake_clock.h"
#include "support/fake_kernel.h"
#include "transport/aspi.h"
#include "transport/pass_through.h"

using lorvane::app::TForm1;
using lorvane::app::TfrmSessions;
using lorvane::app::TfrmTree;
using lorvane::recorder::MediumKind;
namespace fs = std::filesystem;
namespace geometry = lorvane::recorder::geometry;

using Tracks = std::vector<std::pair<std::uint32_t, std::uint32_t>>; // start, size
Q_DECLARE_METATYPE(Tracks)

namespace {

constexpr std::uint8_t kRead10 = 0x28;

using Files = std::map<std::string, std::string>; // "folder/name" -> content

std::string Pattern(std::size_t size, unsigned seed) {
    std::string content(size, '\0');
    std::uint32_t x = seed * 2654435761u + 7;
    for (char& c : content) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return content;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void WriteFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

std::vector<std::string> Names(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(folder)) names.push_back(item.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// A table-of-contents time of a sector, written by hand: minute with 3 digits, second and frame with 2.
QString TocTime(std::uint32_t lba) {
    const std::uint32_t frames = lba + 150;
    return QString::asprintf("%03u:%02u:%02u", frames / 4500, frames / 75 % 60, frames % 75);
}

// Whole megabytes of a sector count, 512 sectors each, ties to even.
std::uint32_t Megabytes(std::uint64_t sectors) {
    const std::uint64_t whole = sectors / 512, rest = sectors % 512;
    return static_cast<std::uint32_t>(whole + (rest > 256 || (rest == 256 && whole % 2 == 1) ? 1 : 0));
}

QString Line(unsigned number, std::uint32_t startLba, std::uint64_t sectors) {
    return QString::asprintf("  %03u      ", number) + TocTime(startLba) +
           QString::asprintf("  %4u MB", Megabytes(sectors));
}

// An ISO 9660 primary volume descriptor with only the fields the dialog reads: type 1, "CD001" and
// the volume space size (ECMA-119 8.4.8, both-byte order at bytes 80-87).
std::string PrimaryDescriptor(std::uint32_t volumeSpace) {
    std::string sector(2048, '\0');
    sector[0] = 1;
    sector.replace(1, 5, "CD001");
    sector[6] = 1;
    for (std::size_t i = 0; i < 4; ++i) {
        sector[80 + i] = static_cast<char>(volumeSpace >> (8 * i));
        sector[87 - i] = static_cast<char>(volumeSpace >> (8 * i));
    }
    return sector;
}

// A disc information dialog and its viewer on a virtual recorder, every box answered by the test.
class Rig {
public:
    explicit Rig(MediumKind medium = MediumKind::CdR) {
        lorvane::transport::CloseTransport();
        lorvane::transport::SetPassThroughKernel(&kernel);
        lorvane::transport::SetModuleLoader(&loader);
        drive = &recorder.AddDrive({}, Path("drive.disc"));
        if (const auto refusal = lorvane::recorder::InsertDisc(*drive, medium))
            qFatal("%s", refusal->c_str());
        lorvane::recorder::VirtualRecorder::Install(&recorder);
    }
    ~Rig() {
        window.reset();
        lorvane::transport::CloseTransport();
        lorvane::transport::SetModuleLoader(nullptr);
        lorvane::recorder::VirtualRecorder::Install(nullptr);
        lorvane::transport::SetPassThroughKernel(nullptr);
        drive->ChangeMedium(nullptr);
    }

    fs::path Path(const std::string& name) const { return fs::path(folder.path().toStdString()) / name; }

    // Records one session per entry, each importing the one before, as multi-session burns do. Done
    // with a burner of its own before the window exists.
    void BurnSessions(const std::vector<Files>& sessions) {
        lorvane::image::TOrbelBurner burner(clock);
        QVERIFY(burner.InitTransport(false));
        burner.SetDevice(burner.DeviceList.at(0));
        burner.WritePostGap = false;
        burner.FinalizeDisc = false;
        std::mutex lock; // guards results
        std::condition_variable doneChanged;
        std::vector<std::string> results;
        burner.OnWriteDone = [&](lorvane::image::TOrbelBurner*, const std::string& error) {
            {
                std::scoped_lock guard(lock);
                results.push_back(error);
            }
            doneChanged.notify_all();
        };
        for (std::size_t i = 0; i < sessions.size(); ++i) {
            const fs::path source = Path("session" + std::to_string(i + 1));
            for (const auto& [name, content] : sessions[i]) WriteFile(source / name, content);
            burner.ClearCompilation(600000, 20000);
            if (i > 0) QVERIFY(burner.ImportDiscSession(-1, nullptr));
            QCOMPARE(burner.AddDirectory(burner.Root, source.string(), "*.*", lorvane::image::attr::kAnyFile,
                                         true, false, false),
                     1);
            QVERIFY2(burner.PrepareImage(false), burner.ImageError.c_str());
            QVERIFY(burner.Burn());
            std::string error;
            {
                std::unique_lock wait(lock);
                doneChanged.wait(wait, [&] { return results.size() == i + 1; });
                error = results.back();
            }
            burner.WaitForWriteEnd();
            QCOMPARE(error, std::string());
        }
        burner.OnWriteDone = nullptr;
        lorvane::transport::CloseTransport();
    }

    // Puts a CD-R of the given sessions and tracks in the tray, as the drive held it at start.
    void LoadDisc(const lorvane::recorder::DiscState& state) {
        drive->ChangeMedium(std::make_unique<lorvane::recorder::DiscMedium>(state, fs::path()),
                            lorvane::recorder::VirtualDrive::Notice::AlreadyLoaded);
    }
    // Writes a sector of the disc file directly.
    void WriteSector(std::uint32_t lba, const std::string& sector) {
        const int fd = ::open(drive->DiscPath().c_str(), O_WRONLY);
        QVERIFY(fd >= 0);
        QCOMPARE(::pwrite(fd, sector.data(), sector.size(), static_cast<off_t>(lba) * 2048),
                 static_cast<ssize_t>(sector.size()));
        ::close(fd);
    }
    // Replaces every occurrence of a byte string in the disc file by another of the same length.
    int PatchDisc(const std::string& from, const std::string& to) {
        std::string disc = ReadFile(drive->DiscPath());
        int count = 0;
        for (std::size_t at = disc.find(from); at != std::string::npos; at = disc.find(from, at + 1)) {
            disc.replace(at, to.size(), to);
            ++count;
        }
        std::ofstream(drive->DiscPath(), std::ios::binary | std::ios::in | std::ios::out) << disc;
        return count;
    }

    lorvane::recorder::DiscState Disc() {
        return drive->WithMedium([](lorvane::recorder::Medium* medium) {
            return dynamic_cast<lorvane::recorder::DiscMedium&>(*medium).State();
        });
    }

    // Makes the main window; "Disc Info" then runs onSessions with the filled dialog, and the dialog's
    // viewer runs onViewer once it is shown.
    void Start() {
        window = std::make_unique<TForm1>(clock);
        window->ShowMessage = [this](QMessageBox::Icon, const QString& text) { mainMessages << text; };
        window->ShowSessions = [this](TfrmSessions& dialog) {
            dialog.ShowMessage = [this](const QString& text) { messages << text; };
            dialog.ShowViewer = [this](TfrmTree& viewer) {
                ++viewers;
                viewer.ShowMessage = [this](const QString& text) { messages << text; };
                viewer.InputBox = [this](const QString& caption, const QString& prompt,
                                         const QString& initial) -> std::optional<QString> {
                    inputs << caption + "|" + prompt + "|" + initial;
                    return input;
                };
                viewer.AskYesNo = [this](QMessageBox::Icon icon, const QString& caption, const QString& text,
                                         QMessageBox::StandardButton defaultButton) {
                    questions << caption + "|" + text;
                    questionIcons.push_back(icon);
                    questionDefaults.push_back(defaultButton);
                    return answer;
                };
                viewer.ChooseFolder = [this](const QString& initial) {
                    folderInitials << initial;
                    return chosenFolder;
                };
                viewer.show();
                if (onViewer) onViewer(viewer);
                viewer.close();
            };
            if (onSessions) onSessions(dialog);
        };
        window->show();
    }

    // Opens "Disc Info" and hands the filled dialog to f.
    void DiscInfo(const std::function<void(TfrmSessions&)>& f) {
        onSessions = f;
        window->bDiscClick();
        onSessions = nullptr;
    }
    // Opens the viewer on the session line and hands it to f.
    void View(int line, const std::function<void(TfrmTree&)>& f) {
        DiscInfo([&](TfrmSessions& dialog) {
            onViewer = f;
            dialog.lb->setCurrentRow(line);
            dialog.SpeedButton1Click();
            onViewer = nullptr;
        });
    }

    static QStringList Lines(const TfrmSessions& dialog) {
        QStringList lines;
        for (int i = 0; i < dialog.lb->count(); ++i) lines << dialog.lb->item(i)->text();
        return lines;
    }
    static QStringList Rows(const TfrmTree& viewer) {
        QStringList rows;
        for (int row = 0; row < viewer.fl->rowCount(); ++row) {
            const QTableWidgetItem* name = viewer.fl->item(row, 0);
            const QTableWidgetItem* size = viewer.fl->item(row, 1);
            rows << (name ? name->text() : QString()) + "|" + (size ? size->text() : QString());
        }
        return rows;
    }
    // Selects the tree node of that caption path ("CDROOT/sub").
    static void SelectNode(TfrmTree& viewer, const QString& path) {
        QTreeWidgetItem* node = viewer.tvDir->topLevelItem(0);
        const QStringList parts = path.split('/');
        for (qsizetype i = 1; i < parts.size() && node; ++i) {
            QTreeWidgetItem* next = nullptr;
            for (int c = 0; c < node->childCount(); ++c)
                if (node->child(c)->text(0) == parts[i]) next = node->child(c);
            node = next;
        }
        QVERIFY(node);
        viewer.tvDir->setCurrentItem(node);
    }
    // Double-clicks the grid row that shows this name.
    static void DoubleClickRow(TfrmTree& viewer, const QString& name) {
        for (int row = 0; row < viewer.fl->rowCount(); ++row) {
            const QTableWidgetItem* item = viewer.fl->item(row, 0);
            if (item && item->text().mid(3) == name) {
                viewer.fl->setCurrentCell(row, 0);
                emit viewer.fl->cellDoubleClicked(row, 0);
                return;
            }
        }
        QFAIL(qPrintable("no row " + name));
    }

    QTemporaryDir folder;
    lorvane::testing::FakeClock clock;
    lorvane::testing::FakeKernel kernel;
    lorvane::recorder::VirtualRecorder recorder{clock};
    lorvane::recorder::InProcessModuleLoader loader;
    lorvane::recorder::VirtualDrive* drive = nullptr;
    std::unique_ptr<TForm1> window;

    std::function<void(TfrmSessions&)> onSessions;
    std::function<void(TfrmTree&)> onViewer;
    int viewers = 0;
    QStringList mainMessages;
    QStringList messages;
    QStringList inputs;
    std::optional<QString> input;
    QStringList questions;
    std::vector<QMessageBox::Icon> questionIcons;
    std::vector<QMessageBox::StandardButton> questionDefaults;
    QMessageBox::StandardButton answer = QMessageBox::No;
    QStringList folderInitials;
    QString chosenFolder;
};

// The session most viewer tests use: three files and a subfolder at the root.
const Files kViewerFiles = {{"a.bin", Pattern(100000, 1)},
                            {"b.txt", Pattern(0, 2)},
                            {"c.dat", Pattern(4097, 3)},
                            {"sub/d.txt", Pattern(70000, 4)},
                            {"sub/inner/e.txt", Pattern(1, 5)}};

} // namespace

class SessionsWindowTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init() { QFile::remove(lorvane::app::SettingsFilePath()); }

    void dialogHasItsCaptionSizeAndHeader() {
        Rig rig;
        rig.Start();
        rig.DiscInfo([](TfrmSessions& dialog) {
            QCOMPARE(dialog.windowTitle(), QString("Disc & Sessions Information"));
            QCOMPARE(dialog.size(), QSize(334, 202));
            QCOMPARE(dialog.Label4->text(), QString(" Number     Start     Size"));
            QCOMPARE(dialog.SpeedButton1->text(), QString("Show Files"));
            QCOMPARE(dialog.lb->font().family(), QString("Courier New"));
            QCOMPARE(dialog.Label1->text(), QString("Medium  :"));
            QCOMPARE(dialog.Label2->text(), QString("Disc Size  :"));
            QCOMPARE(dialog.Label3->text(), QString("Used Space  :"));
            QVERIFY(dialog.Button1->isDefault());
            QVERIFY(!dialog.rect().intersects(dialog.Button1->geometry()));
        });
    }

    void blankDiscShowsOnlyTheFreeLine() {
        Rig rig;
        rig.Start();
        rig.DiscInfo([&](TfrmSessions& dialog) {
            // No table of contents on a blank disc: the lead-out time is the placeholder.
            QCOMPARE(Rig::Lines(dialog),
                     QStringList{" Free      00:00:00  " +
                                 QString::asprintf("%4u MB", Megabytes(geometry::kAtipLeadOutLba))});
            QCOMPARE(dialog.lMedium->text(), QString("CD-R"));
            // The capacity counts the frames up to the ATIP lead-out start, 79:59:74.
            QCOMPARE(dialog.lDiscSize->text(), QString("703.12 MB"));
            QCOMPARE(dialog.lUsedSpace->text(), QString("0.00 MB"));
            // The only line is the free-space line.
            dialog.lb->setCurrentRow(0);
            dialog.SpeedButton1Click();
        });
        QCOMPARE(rig.viewers, 0);
        QVERIFY(rig.messages.isEmpty());
    }

    void withoutAMediumTheErrorLineOnly() {
        Rig rig(MediumKind::None);
        rig.Start();
        rig.DiscInfo([&](TfrmSessions& dialog) {
            QCOMPARE(Rig::Lines(dialog), QStringList{"     Error getting session information"});
            QCOMPARE(dialog.lMedium->text(), QString());
            dialog.SpeedButton1Click(); // nothing selected
            QCOMPARE(rig.messages, QStringList{"Select session from list"});
            dialog.show();
            const QRect line = dialog.lb->visualItemRect(dialog.lb->item(0));
            QTest::mouseClick(dialog.lb->viewport(), Qt::LeftButton, {}, line.center());
            QCOMPARE(dialog.lb->currentRow(), 0);
            dialog.close();
        });
        QCOMPARE(rig.viewers, 0);
        QCOMPARE(rig.messages.size(), 1);
    }

    void oneTwoAndThreeSessionDiscs() {
        for (unsigned sessions = 1; sessions <= 3; ++sessions) {
            Rig rig;
            std::vector<Files> discs;
            for (unsigned i = 1; i <= sessions; ++i)
                discs.push_back({{"s" + std::to_string(i) + ".bin", Pattern(5000 * i, i)}});
            rig.BurnSessions(discs);
            const lorvane::recorder::DiscState state = rig.Disc();
            QCOMPARE(lorvane::recorder::ClosedSessions(state), std::size_t{sessions});
            QCOMPARE(state.tracks.size(), std::size_t{sessions});
            QStringList expected;
            for (std::size_t i = 0; i < state.tracks.size(); ++i)
                expected << Line(static_cast<unsigned>(i + 1), state.tracks[i].start, state.tracks[i].size);
            // The first session starts after the pre-gap; each later one after the lead-out before it,
            // its own lead-in and pre-gap.
            QVERIFY(expected[0].startsWith("  001      000:02:00  "));
            for (std::size_t i = 1; i < state.tracks.size(); ++i) {
                const auto& before = state.tracks[i - 1];
                QCOMPARE(state.tracks[i].start,
                         before.start + before.size +
                             (i == 1 ? geometry::kFirstSessionOverhead : geometry::kLaterSessionOverhead));
            }
            const std::uint32_t leadOut = lorvane::recorder::LastLeadOut(state);
            rig.Start();
            rig.DiscInfo([&](TfrmSessions& dialog) {
                const QStringList lines = Rig::Lines(dialog);
                QCOMPARE(lines.size(), qsizetype(sessions + 1));
                QCOMPARE(lines.mid(0, sessions), expected);
                QVERIFY2(lines.back().startsWith(" Free      " + TocTime(leadOut) + "  "),
                         qPrintable(lines.back()));
                QVERIFY2(lines.back().endsWith(" MB"), qPrintable(lines.back()));
                QCOMPARE(dialog.lMedium->text(), QString("CD-R"));
            });
        }
    }

    void linesOfTheDiscsGeometry_data() {
        QTest::addColumn<Tracks>("tracks");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("two sessions, the second at 12:36:43")
            << Tracks{{0, 45193}, {56593, 1000}}
            << QStringList{"  001      000:02:00    88 MB", "  002      012:36:43     2 MB"};
        QTest::newRow("a session of 307,200 sectors")
            << Tracks{{0, 307200}} << QStringList{"  001      000:02:00   600 MB"};
    }
    void linesOfTheDiscsGeometry() {
        QFETCH(Tracks, tracks);
        QFETCH(QStringList, lines);
        Rig rig;
        lorvane::recorder::DiscState state;
        state.kind = MediumKind::CdR;
        std::uint16_t session = 0;
        for (const auto& [start, size] : tracks) {
            state.sessions.push_back({start, true});
            lorvane::recorder::TrackRecord track;
            track.start = start;
            track.size = size;
            track.recorded = size - geometry::kTaoRunOut;
            track.session = ++session;
            track.closed = true;
            state.tracks.push_back(track);
            // The descriptor's own figure differs from the track size: the track size wins.
            rig.WriteSector(start + 16, PrimaryDescriptor(size / 2));
        }
        // The open session the next recording would go to.
        const auto& last = state.tracks.back();
        state.sessions.push_back(
            {last.start + last.size +
                 (session == 1 ? geometry::kFirstSessionOverhead : geometry::kLaterSessionOverhead),
             false});
        rig.LoadDisc(state);
        rig.Start();
        rig.DiscInfo([&](TfrmSessions& dialog) {
            QCOMPARE(Rig::Lines(dialog).mid(0, lines.size()), lines);
            QCOMPARE(dialog.lb->count(), lines.size() + 1);
        });
    }

    void anUnreadableDescriptorShowsNoSize() {
        Rig rig;
        rig.BurnSessions({{{"one.txt", Pattern(10, 1)}}, {{"two.txt", Pattern(20, 2)}}});
        const lorvane::recorder::DiscState state = rig.Disc();
        rig.Start();
        rig.drive->ClearCommands();
        // The second READ (10) of "Disc Info" is the one of the second session's descriptor.
        rig.drive->InjectFault({lorvane::recorder::FaultKind::CheckCondition, kRead10,
                                lorvane::recorder::FixedSense(0x03, 0x11, 0x00), 1, 1});
        rig.DiscInfo([&](TfrmSessions& dialog) {
            const QStringList lines = Rig::Lines(dialog);
            QCOMPARE(lines.size(), 3);
            QCOMPARE(lines[0], Line(1, state.tracks[0].start, state.tracks[0].size));
            QCOMPARE(lines[1], "  002      " + TocTime(state.tracks[1].start) + "  ???? MB");
        });
        std::vector<std::uint32_t> reads;
        for (const auto& record : rig.drive->Commands())
            if (record.cdb.size() >= 6 && record.cdb[0] == kRead10)
                reads.push_back(std::uint32_t{record.cdb[2]} << 24 | std::uint32_t{record.cdb[3]} << 16 |
                                std::uint32_t{record.cdb[4]} << 8 | record.cdb[5]);
        QCOMPARE(reads, (std::vector<std::uint32_t>{state.tracks[0].start + 16, state.tracks[1].start + 16}));
    }

    void onlySessionLinesOpenTheViewerAtOnce() {
        Rig rig;
        rig.BurnSessions({{{"one.txt", Pattern(10, 1)}}, {{"two.txt", Pattern(20, 2)}}});
        rig.Start();
        QStringList rootRows;
        rig.onViewer = [&](TfrmTree& viewer) { rootRows = Rig::Rows(viewer); };
        rig.DiscInfo([&](TfrmSessions& dialog) {
            dialog.show();
            // The header and the free-space line open nothing.
            QTest::mouseClick(dialog.Label4, Qt::LeftButton);
            const QRect free = dialog.lb->visualItemRect(dialog.lb->item(2));
            QTest::mouseClick(dialog.lb->viewport(), Qt::LeftButton, {}, free.center());
            QCOMPARE(rig.viewers, 0);
            // A single click on the first session's line opens it.
            const QRect first = dialog.lb->visualItemRect(dialog.lb->item(0));
            QTest::mouseClick(dialog.lb->viewport(), Qt::LeftButton, {}, first.center());
            QCOMPARE(rig.viewers, 1);
            QCOMPARE(rootRows, QStringList{" 1 one.txt|       10"});
            // "Show Files" on the second line: the second session lists both files.
            dialog.lb->setCurrentRow(1);
            QTest::mouseClick(dialog.SpeedButton1, Qt::LeftButton);
            QCOMPARE(rig.viewers, 2);
            QCOMPARE(rootRows, (QStringList{" 1 one.txt|       10", " 2 two.txt|       20"}));
            dialog.close();
        });
        QVERIFY(rig.messages.isEmpty());
    }

    void enterEscapeAndDoubleClickClose() {
        Rig rig;
        rig.BurnSessions({{{"one.txt", Pattern(10, 1)}}});
        rig.Start();
        const struct {
            const char* name;
            Qt::Key key; // Qt::Key_unknown: a double click on the free-space line
            QDialog::DialogCode result;
        } kCases[] = {{"Enter", Qt::Key_Return, QDialog::Accepted},
                      {"Esc", Qt::Key_Escape, QDialog::Rejected},
                      {"double click", Qt::Key_unknown, QDialog::Accepted}};
        for (const auto& c : kCases) {
            rig.DiscInfo([&](TfrmSessions& dialog) {
                dialog.show();
                dialog.activateWindow();
                dialog.lb->setFocus();
                QVERIFY(dialog.isVisible());
                if (c.key != Qt::Key_unknown) {
                    QTest::keyClick(dialog.lb, c.key);
                } else {
                    emit dialog.lb->itemDoubleClicked(dialog.lb->item(1));
                }
                QVERIFY2(!dialog.isVisible(), c.name);
                QCOMPARE(dialog.result(), int(c.result));
            });
        }
        QCOMPARE(rig.viewers, 0);
    }

    void viewerShowsTheFoldersAndTheirEntries() {
        Rig rig;
        rig.BurnSessions({kViewerFiles});
        rig.Start();
        rig.View(0, [&](TfrmTree& viewer) {
            QCOMPARE(
                viewer.windowTitle(),
                QString(
                    "File and Directories Viewer and Extractor (Double Click on a file name to extract)"));
            QCOMPARE(viewer.size(), QSize(625, 369));
            QCOMPARE(viewer.fl->horizontalHeaderItem(0)->text(), QString("File Name"));
            QCOMPARE(viewer.fl->horizontalHeaderItem(1)->text(), QString("File Size"));
            QCOMPARE(viewer.fl->columnWidth(0), 361);
            QCOMPARE(viewer.fl->columnWidth(1), 71);
            QCOMPARE(viewer.fl->toolTip(), QString("Double click on a file name to extract"));
            QCOMPARE(viewer.Msg->text(), QString());
            QCOMPARE(viewer.tvDir->topLevelItemCount(), 1);
            QTreeWidgetItem* root = viewer.tvDir->topLevelItem(0);
            QCOMPARE(root->text(0), QString("CDROOT"));
            QCOMPARE(viewer.NodeDirectory(root), rig.window->orbel.Root);
            QCOMPARE(root->childCount(), 1);
            QCOMPARE(root->child(0)->text(0), QString("sub"));
            QCOMPARE(root->child(0)->child(0)->text(0), QString("inner"));
            // In the order of the session's directory records.
            QCOMPARE(Rig::Rows(viewer), (QStringList{" 1 sub| < DIR > ", " 2 a.bin|   100000",
                                                     " 3 b.txt|        0", " 4 c.dat|     4097"}));
            QCOMPARE(viewer.RowEntry(0)->Dir, viewer.NodeDirectory(root->child(0)));
            QCOMPARE(viewer.RowEntry(1)->LongName, std::string("a.bin"));
            Rig::SelectNode(viewer, "CDROOT/sub");
            QCOMPARE(Rig::Rows(viewer), (QStringList{" 1 inner| < DIR > ", " 2 d.txt|    70000"}));
            Rig::SelectNode(viewer, "CDROOT/sub/inner");
            QCOMPARE(Rig::Rows(viewer), QStringList{" 1 e.txt|        1"});
        });
        QCOMPARE(rig.viewers, 1);
    }

    void anEmptyFolderKeepsOneEmptyRowThatExtractsNothing() {
        Rig rig;
        rig.BurnSessions({{{"x.txt", Pattern(3, 1)}, {"hollow/in/y.txt", Pattern(3, 2)}}});
        rig.Start();
        rig.View(0, [&](TfrmTree& viewer) {
            // Take y.txt out of the imported tree: "in" is then empty.
            Rig::SelectNode(viewer, "CDROOT/hollow");
            QCOMPARE(Rig::Rows(viewer), QStringList{" 1 in| < DIR > "});
            lorvane::image::TDEntry* in = viewer.RowEntry(0)->Dir;
            QVERIFY(rig.window->orbel.RemoveNode(in, in->FirstEntry));
            Rig::SelectNode(viewer, "CDROOT/hollow/in");
            QCOMPARE(Rig::Rows(viewer), QStringList{"|"});
            QCOMPARE(viewer.RowEntry(0), nullptr);
            viewer.fl->setCurrentCell(0, 0);
            viewer.Extract1Click();
            rig.chosenFolder = QString::fromStdString(rig.Path("never").string());
            viewer.MsgClick();
        });
        QVERIFY(rig.inputs.isEmpty());
        QVERIFY(rig.messages.isEmpty());
        QVERIFY(rig.folderInitials.isEmpty());
    }

    void aDirectoryRowIsNotExtracted() {
        Rig rig;
        rig.BurnSessions({kViewerFiles});
        rig.Start();
        rig.View(0, [&](TfrmTree& viewer) {
            Rig::DoubleClickRow(viewer, "sub");
            // A double click on the header row does nothing.
            QTest::mouseDClick(viewer.fl->horizontalHeader()->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
        });
        QCOMPARE(rig.messages, QStringList{"You can not extract directory, sub is a directory"});
        QVERIFY(rig.inputs.isEmpty());
    }

    void aFileIsExtractedByteForByte() {
        Rig rig;
        rig.BurnSessions({kViewerFiles});
        rig.Start();
        const fs::path out = rig.Path("out");
        fs::create_directories(out);
        rig.input = QString::fromStdString((out / "copy.bin").string());
        rig.View(0, [&](TfrmTree& viewer) { Rig::DoubleClickRow(viewer, "a.bin"); });
        QCOMPARE(rig.inputs, QStringList{"Extract File|Enter Filename and Path|a.bin"});
        QCOMPARE(ReadFile(out / "copy.bin"), kViewerFiles.at("a.bin"));
        QVERIFY(rig.messages.isEmpty());
        QCOMPARE(Names(out), std::vector<std::string>{"copy.bin"});

        // A bare name lands in the current folder; a folder takes the file under its own name.
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(QString::fromStdString(out.string())));
        rig.input = "bare.dat";
        rig.View(0, [&](TfrmTree& viewer) { Rig::DoubleClickRow(viewer, "c.dat"); });
        QDir::setCurrent(previous);
        rig.input = QString::fromStdString(out.string());
        rig.View(0, [&](TfrmTree& viewer) {
            Rig::SelectNode(viewer, "CDROOT/sub");
            Rig::DoubleClickRow(viewer, "d.txt");
        });
        QCOMPARE(ReadFile(out / "bare.dat"), kViewerFiles.at("c.dat"));
        QCOMPARE(ReadFile(out / "d.txt"), kViewerFiles.at("sub/d.txt"));
        // An empty file comes out empty; Cancel extracts nothing.
        rig.input = QString::fromStdString((out / "empty.txt").string());
        rig.View(0, [&](TfrmTree& viewer) { Rig::DoubleClickRow(viewer, "b.txt"); });
        QVERIFY(fs::is_regular_file(out / "empty.txt"));
        QCOMPARE(fs::file_size(out / "empty.txt"), std::uintmax_t{0});
        rig.input = std::nullopt;
        rig.View(0, [&](TfrmTree& viewer) { Rig::DoubleClickRow(viewer, "a.bin"); });
        QCOMPARE(Names(out), (std::vector<std::string>{"bare.dat", "copy.bin", "d.txt", "empty.txt"}));
        QVERIFY(rig.questions.isEmpty());
        QVERIFY(rig.messages.isEmpty());
    }

    void anExistingFileIsReplacedOnlyOnYes() {
        Rig rig;
        rig.BurnSessions({kViewerFiles});
        rig.Start();
        const fs::path target = rig.Path("mine.bin");
        WriteFile(target, "my own data");
        rig.input = QString::fromStdString(target.string());
        rig.answer = QMessageBox::No;
        rig.View(0, [&](TfrmTree& viewer) { Rig::DoubleClickRow(viewer, "a.bin"); });
        QCOMPARE(rig.questions.size(), 1);
        QCOMPARE(rig.questions[0], "Extract File|" + QString::fromStdString(target.string()) +
                                       " already exists.\nDo you want to replace it?");
        QCOMPARE(rig.questionDefaults[0], QMessageBox::No);
        QCOMPARE(rig.questionIcons[0], QMessageBox::Warning);
        QCOMPARE(ReadFile(target), std::string("my own data"));

        rig.answer = QMessageBox::Yes;
        rig.View(0, [&](TfrmTree& viewer) { Rig::DoubleClickRow(viewer, "a.bin"); });
        QCOMPARE(rig.questions.size(), 2);
        QCOMPARE(ReadFile(target), kViewerFiles.at("a.bin"));
        QVERIFY(rig.messages.isEmpty());
    }

    void anUnreadableSectorLeavesNoCopyAndKeepsTheReplacedFile() {
        Rig rig;
        rig.BurnSessions({kViewerFiles});
        rig.Start();
        const fs::path out = rig.Path("out");
        const fs::path target = out / "mine.bin";
        WriteFile(target, "my own data");
        rig.answer = QMessageBox::Yes;
        rig.View(0, [&](TfrmTree& viewer) {
            // a.bin is read in two parts (31 and 18 sectors); the second read fails.
            rig.drive->InjectFault({lorvane::recorder::FaultKind::CheckCondition, kRead10,
                                    lorvane::recorder::FixedSense(0x03, 0x11, 0x00), 1, 1});
            rig.input = QString::fromStdString(target.string());
            Rig::DoubleClickRow(viewer, "a.bin");
            // A new file is not left behind shortened either.
            rig.drive->InjectFault({lorvane::recorder::FaultKind::CheckCondition, kRead10,
                                    lorvane::recorder::FixedSense(0x03, 0x11, 0x00), 1, 1});
            rig.input = QString::fromStdString((out / "new.bin").string());
            Rig::DoubleClickRow(viewer, "a.bin");
        });
        QCOMPARE(rig.messages.size(), 2);
        for (const QString& message : rig.messages)
            QVERIFY2(message.startsWith("a.bin could not be read from the disc"), qPrintable(message));
        QCOMPARE(ReadFile(target), std::string("my own data"));
        QCOMPARE(Names(out), std::vector<std::string>{"mine.bin"});
    }

    void theBottomPanelExtractsTheFolderFilesIntoTheChosenFolder() {
        Rig rig;
        rig.BurnSessions({kViewerFiles});
        rig.Start();
        const fs::path all = rig.Path("all");
        fs::create_directories(all);
        rig.chosenFolder = QString::fromStdString(all.string());
        rig.View(0, [&](TfrmTree& viewer) {
            QTest::mouseClick(viewer.Msg, Qt::LeftButton);
            QCOMPARE(viewer.Msg->text(), QString("Extracting c.dat")); // the last file's text stays
            Rig::SelectNode(viewer, "CDROOT/sub");
            viewer.MsgClick();
            QCOMPARE(viewer.Msg->text(), QString("Extracting d.txt"));
        });
        QCOMPARE(rig.folderInitials.size(), 2);
        QCOMPARE(rig.folderInitials[0], QDir::currentPath());
        QCOMPARE(rig.folderInitials[1], rig.chosenFolder); // the next click starts where the last went
        for (const char* name : {"a.bin", "b.txt", "c.dat"})
            QCOMPARE(ReadFile(all / name), kViewerFiles.at(name));
        QCOMPARE(ReadFile(all / "d.txt"), kViewerFiles.at("sub/d.txt"));
        // Only each folder's own files: no subfolder and nothing below one.
        QCOMPARE(Names(all), (std::vector<std::string>{"a.bin", "b.txt", "c.dat", "d.txt"}));
    }

    void theBottomPanelNeverOverwrites() {
        Rig rig;
        rig.BurnSessions({kViewerFiles});
        rig.Start();
        const fs::path into = rig.Path("into");
        WriteFile(into / "c.dat", "keep me");
        rig.chosenFolder = QString::fromStdString(into.string());
        rig.View(0, [&](TfrmTree& viewer) {
            viewer.MsgClick();
            QCOMPARE(viewer.Msg->text(), "Not overwritten, already in " + rig.chosenFolder + ": c.dat");
            viewer.MsgClick();
            QCOMPARE(viewer.Msg->text(),
                     "Not overwritten, already in " + rig.chosenFolder + ": a.bin, b.txt, c.dat");
            // Cancel extracts nothing.
            rig.chosenFolder.clear();
            fs::remove(into / "a.bin");
            viewer.MsgClick();
        });
        QVERIFY(!fs::exists(into / "a.bin"));
        QCOMPARE(ReadFile(into / "b.txt"), kViewerFiles.at("b.txt"));
        QCOMPARE(ReadFile(into / "c.dat"), std::string("keep me"));
        QCOMPARE(Names(into), (std::vector<std::string>{"b.txt", "c.dat"}));
        QVERIFY(rig.questions.isEmpty());
    }

    void namesFromTheDiscStayInsideTheFolder() {
        Rig rig;
        rig.BurnSessions(
            {{{"x-y.txt", Pattern(300, 1)}, {"zz", Pattern(400, 2)}, {"ok.txt", Pattern(5, 3)}}});
        // Joliet names are UTF-16 big-endian: "x-y" becomes "x/y", and "zz" becomes "..".
        QVERIFY(rig.PatchDisc(std::string("\0x\0-\0y", 6), std::string("\0x\0/\0y", 6)) >= 1);
        QVERIFY(rig.PatchDisc(std::string("\0z\0z", 4), std::string("\0.\0.", 4)) >= 1);
        rig.Start();
        const fs::path into = rig.Path("safe") / "inside";
        fs::create_directories(into);
        rig.chosenFolder = QString::fromStdString(into.string());
        QStringList rows;
        rig.View(0, [&](TfrmTree& viewer) {
            rows = Rig::Rows(viewer);
            viewer.MsgClick();
        });
        // The tree takes "x/y.txt" under a name Joliet allows and refuses ".." as a file name.
        QCOMPARE(rows, (QStringList{" 1 ok.txt|        5", " 2 x_y.txt|      300"}));
        QCOMPARE(ReadFile(into / "x_y.txt"), Pattern(300, 1));
        QCOMPARE(ReadFile(into / "ok.txt"), Pattern(5, 3));
        QCOMPARE(Names(into), (std::vector<std::string>{"ok.txt", "x_y.txt"}));
        // Nothing landed beside or above the folder.
        QCOMPARE(Names(rig.Path("safe")), std::vector<std::string>{"inside"});

        // The input box offers that name.
        rig.input = std::nullopt;
        rig.View(0, [&](TfrmTree& viewer) { Rig::DoubleClickRow(viewer, "x_y.txt"); });
        QCOMPARE(rig.inputs, QStringList{"Extract File|Enter Filename and Path|x_y.txt"});
    }
};

QTEST_MAIN(SessionsWindowTest)
#include "sessions_window_test.moc"
