// The layout editor over the burner's compilation tree: the folder tree and the entry grid, the date
// column, removal of files and folders (and of the root, which stays), Refresh, the keys of each list,
// and the editor inside a burn on the virtual recorder: what it removes stays off the disc, and the
// entries of an imported session are shown and can be removed like the others.

#include <QAction>
#include <QDate>
#include <QHeaderView>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTime>
#include <QTreeWidget>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>

#include "app/compilation_list.h"
#include "app/disc_layout_window.h"
#include "app/main_window.h"
#include "app/settings_file.h"
#include "image/orbel_burner.h"
#include "recorder/media.h"
#include "recorder/virtual_drive.h"
#include "recorder/virtual_recorder.h"
#include "support/fake_clock.h"
#include "support/fake_kernel.h"
#include "transport/aspi.h"
#include "transport/pass_through.h"

using lorvane::app::TfrmDiscLayout;
using lorvane::image::DirectoryListing;
using lorvane::image::TDEntry;
using lorvane::image::TFEntry;
using lorvane::image::TOrbelBurner;
namespace fs = std::filesystem;
namespace attr = lorvane::image::attr;

namespace {

// A local date and time as the tree keeps it: days since 1899-12-30.
double DateTime(int year, int month, int day, int hour, int minute, int second) {
    const auto days = static_cast<double>(QDate(1899, 12, 30).daysTo(QDate(year, month, day)));
    // Before the epoch the day counts down and its time still counts up from midnight.
    const double time = QTime(hour, minute, second).msecsSinceStartOfDay() / 86400000.0;
    return days < 0 ? days - time : days + time;
}

// A burner without a drive whose tree the test builds entry by entry:
//   \ a.txt  DOCS\ (guide.pdf, old\ (notes.txt))  pics.d\ (cat.jpg)  README
struct Tree {
    Tree() {
        orbel.ClearCompilation(1000, 100);
        File(orbel.Root, "a.txt", 1234, DateTime(2004, 12, 31, 23, 59, 58));
        docs = Folder(orbel.Root, "DOCS");
        File(docs, "guide.pdf", 987654321, DateTime(1999, 1, 2, 3, 4, 5));
        old = Folder(docs, "old");
        File(old, "notes.txt", 7, DateTime(2020, 2, 29, 0, 0, 0));
        pics = Folder(orbel.Root, "pics.d");
        File(pics, "cat.jpg", 0, DateTime(2010, 6, 15, 12, 30, 45));
        File(orbel.Root, "README", 10, DateTime(2001, 9, 9, 1, 46, 40));
    }
    TDEntry* Folder(TDEntry* parent, const std::string& name) {
        DirectoryListing listing;
        listing.Name = name;
        listing.Attr = attr::kDirectory;
        listing.Time = DateTime(2000, 1, 1, 0, 0, 0);
        TDEntry* dir = orbel.AddDirectoryEntry(parent, listing);
        if (!dir) qFatal("folder %s not added", name.c_str());
        return dir;
    }
    void File(TDEntry* dir, const std::string& name, std::uint64_t size, double time,
              std::int32_t importedSector = 0) {
        DirectoryListing listing;
        listing.Name = name;
        listing.Attr = attr::kArchive;
        listing.Size = size;
        listing.Time = time;
        if (!orbel.AddFileEntry(dir, listing, false, importedSector, "/nowhere/" + name))
            qFatal("file %s not added", name.c_str());
    }
    bool HasDirectory(const TDEntry* dir) const {
        for (const auto& d : orbel.Directories())
            if (d.get() == dir) return true;
        return false;
    }
    QStringList FileNames() const {
        QStringList names;
        for (const auto& f : orbel.Files())
            if (!f->Dir) names << QString::fromStdString(f->LongName);
        names.sort();
        return names;
    }

    lorvane::testing::FakeClock clock;
    TOrbelBurner orbel{clock};
    TDEntry* docs = nullptr;
    TDEntry* old = nullptr;
    TDEntry* pics = nullptr;
};

// A window over a burner, shown (which builds the tree), with its message box answered by the test.
struct Editor {
    explicit Editor(TOrbelBurner& orbel)
        : m_own(std::make_unique<TfrmDiscLayout>(nullptr, orbel)), window(*m_own) {
        window.ShowMessage = [this](const QString& text) { messages << text; };
        window.show();
    }
    // Over the window a burn opened.
    explicit Editor(TfrmDiscLayout& opened) : window(opened) {
        window.ShowMessage = [this](const QString& text) { messages << text; };
        window.show();
    }
    // The tree as indented captions, depth first.
    QStringList TreeLines() const {
        QStringList lines;
        std::function<void(const QTreeWidgetItem*, int)> walk = [&](const QTreeWidgetItem* node, int depth) {
            lines << QString(depth * 2, ' ') + node->text(0);
            for (int i = 0; i < node->childCount(); ++i) walk(node->child(i), depth + 1);
        };
        for (int i = 0; i < window.tvDir->topLevelItemCount(); ++i) walk(window.tvDir->topLevelItem(i), 0);
        return lines;
    }
    QTreeWidgetItem* Node(const QString& caption) const {
        const auto found = window.tvDir->findItems(caption, Qt::MatchExactly | Qt::MatchRecursive);
        return found.isEmpty() ? nullptr : found.front();
    }
    void Select(const QString& caption) {
        QTreeWidgetItem* node = Node(caption);
        QVERIFY2(node, qPrintable(caption));
        window.tvDir->setCurrentItem(node);
    }
    QStringList Column(int column) const {
        QStringList cells;
        for (int row = 0; row < window.fl->rowCount(); ++row) {
            const QTableWidgetItem* cell = window.fl->item(row, column);
            cells << (cell ? cell->text() : QString());
        }
        return cells;
    }
    int Row(const QString& name) const { return static_cast<int>(Column(0).indexOf(name)); }
    QString Cell(const QString& name, int column) const {
        const QTableWidgetItem* cell = window.fl->item(Row(name), column);
        return cell ? cell->text() : QString();
    }

private:
    std::unique_ptr<TfrmDiscLayout> m_own;

public:
    TfrmDiscLayout& window;
    QStringList messages;
};

// A main window on a CD-R in a drive of the virtual recorder, with every question answered by the test.
struct Rig {
    Rig() {
        lorvane::transport::CloseTransport();
        lorvane::transport::SetPassThroughKernel(&kernel);
        lorvane::transport::SetModuleLoader(&loader);
        drive = &recorder.AddDrive(lorvane::recorder::DriveIdentity{}, Path("drive.disc"));
        if (const auto refusal = lorvane::recorder::InsertDisc(*drive, lorvane::recorder::MediumKind::CdR))
            qFatal("%s", refusal->c_str());
        lorvane::recorder::VirtualRecorder::Install(&recorder);
        window = std::make_unique<lorvane::app::TForm1>(clock);
        window->AskYesNo = [this](QMessageBox::Icon, const QString&, const QString& text,
                                  QMessageBox::StandardButton) {
            questions << text;
            return answer;
        };
        window->ShowMessage = [this](QMessageBox::Icon, const QString& text) { messages << text; };
        window->Beep = [] {};
        window->show();
    }
    ~Rig() {
        window.reset();
        lorvane::transport::CloseTransport();
        lorvane::transport::SetModuleLoader(nullptr);
        lorvane::recorder::VirtualRecorder::Install(nullptr);
        lorvane::transport::SetPassThroughKernel(nullptr);
        drive->ChangeMedium(nullptr);
    }
    std::string Path(const std::string& name) const {
        return (fs::path(folder.path().toStdString()) / name).string();
    }
    std::string Sources(const std::string& name, const std::map<std::string, std::size_t>& files) {
        const fs::path root = Path(name);
        for (const auto& [relative, size] : files) {
            fs::create_directories((root / relative).parent_path());
            std::ofstream(root / relative, std::ios::binary) << std::string(size, 'x');
        }
        return root.string();
    }
    bool Logged(const QString& line) const { return window->Memo1->toPlainText().split('\n').contains(line); }
    // Burns with the editor on; `edit` runs inside it. Returns once the write has ended.
    void Burn(const std::function<void(Editor&)>& edit) {
        window->Options.ShowFiles = true;
        int shown = 0;
        window->ShowDiscLayout = [&](TfrmDiscLayout& layout) {
            ++shown;
            QVERIFY(questions.isEmpty()); // the editor comes before the question
            Editor editor(layout);
            edit(editor);
            layout.bCloseClick();
        };
        window->Memo1->clear();
        window->bBurnClick();
        QCOMPARE(shown, 1);
        QTRY_VERIFY(Logged(">>> WRITE/BURNCD PROCESS DONE"));
        QVERIFY(!Logged(">>> WRITE/BURNCD PROCESS DONE WITH ERROR"));
        asked = questions.value(0);
        questions.clear();
    }
    // The last session on the disc, read back into the burner's tree: each folder's path and its entries
    // in name order.
    std::map<std::string, QStringList> LastSession() {
        TOrbelBurner& orbel = window->orbel;
        orbel.ClearCompilation(1000, 100);
        if (!orbel.ImportDiscSession(-1, nullptr)) return {};
        std::map<std::string, QStringList> folders;
        for (const auto& dir : orbel.Directories()) {
            QStringList& names = folders[dir->Path];
            for (const TFEntry* entry = dir->FirstEntry; entry; entry = entry->Next)
                names << QString::fromStdString(entry->LongName);
            names.sort();
        }
        return folders;
    }

    QTemporaryDir folder;
    lorvane::testing::FakeClock clock;
    lorvane::testing::FakeKernel kernel;
    lorvane::recorder::VirtualRecorder recorder{clock};
    lorvane::recorder::InProcessModuleLoader loader;
    lorvane::recorder::VirtualDrive* drive = nullptr;
    std::unique_ptr<lorvane::app::TForm1> window;
    QMessageBox::StandardButton answer = QMessageBox::Yes;
    QStringList questions;
    QString asked; // the question of the last Burn
    QStringList messages;
};

const QStringList kFullTree{"CDROOT", "  DOCS", "    old", "  pics.d"};

} // namespace

class DiscLayoutWindowTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void init() { QFile::remove(lorvane::app::SettingsFilePath()); }

    void theWindowShowsTheTreeWithTheRootListed() {
        Tree tree;
        Editor editor(tree.orbel);
        TfrmDiscLayout& w = editor.window;
        QCOMPARE(w.windowTitle(), QString("Remove files or directories"));
        QCOMPARE(w.size(), QSize(646, 369));
        QVERIFY(w.minimumSize() != w.maximumSize()); // sizeable
        QCOMPARE(w.bClose->text(), QString("Close"));
        QCOMPARE(w.bClose->width(), 121);
        QCOMPARE(w.Delete1->text(), QString("Delete"));
        QCOMPARE(w.Delete1->shortcut(), QKeySequence(Qt::Key_Delete));
        QCOMPARE(w.Refresh1->text(), QString("Refresh"));
        QCOMPARE(w.Refresh1->shortcut(), QKeySequence(Qt::Key_F5));
        QCOMPARE(w.MenuItem1->text(), QString("Delete"));
        QCOMPARE(w.MenuItem1->shortcut(), QKeySequence(Qt::Key_Delete));
        QCOMPARE(w.MenuItem2->text(), QString("Refresh"));
        QCOMPARE(w.MenuItem2->shortcut(), QKeySequence(Qt::Key_F5));

        QCOMPARE(editor.TreeLines(), kFullTree);
        QCOMPARE(w.tvDir->currentItem(), w.tvDir->topLevelItem(0));
        QCOMPARE(w.DirectoryOf(w.tvDir->topLevelItem(0)), tree.orbel.Root);
        QCOMPARE(w.DirectoryOf(editor.Node("old")), tree.old);
        QCOMPARE(w.ShownDirectory(), tree.orbel.Root);

        QCOMPARE(w.fl->columnCount(), 3);
        QStringList headers;
        for (int column = 0; column < 3; ++column) headers << w.fl->horizontalHeaderItem(column)->text();
        QCOMPARE(headers, (QStringList{"File Name", "File Size", "    Date & Time "}));
        QCOMPARE(w.fl->columnWidth(0), 254);
        QCOMPARE(w.fl->columnWidth(1), 71);
        QCOMPARE(w.fl->columnWidth(2), 141);
        QCOMPARE(w.fl->verticalHeader()->defaultSectionSize(), 18);
        QCOMPARE(w.fl->font().family(), QString("Courier New"));
        QCOMPARE(w.fl->toolTip(), QString("Double click on a file name to extract"));

        // Entry order; the "." the tree adds to README for its lookups is not part of the name.
        QCOMPARE(editor.Column(0), (QStringList{"a.txt", "DOCS", "pics.d", "README"}));
        QCOMPARE(editor.Column(1), (QStringList{"     1234", " < DIR > ", " < DIR > ", "       10"}));
        QCOMPARE(editor.Column(2), (QStringList{"12-31-2004 23:59:58", "", "", "09-09-2001 01:46:40"}));
        for (int row = 0; row < 4; ++row)
            QCOMPARE(w.EntryOfRow(row)->LongName.substr(0, 4), editor.Column(0)[row].left(4).toStdString());
        QVERIFY(!w.EntryOfRow(4));
        QVERIFY(!w.EntryOfRow(-1));
    }

    void theDateColumnIsMonthDayYearAndTime_data() {
        QTest::addColumn<double>("time");
        QTest::addColumn<QString>("text");
        QTest::newRow("the last day of 2004") << DateTime(2004, 12, 31, 23, 59, 58) << "12-31-2004 23:59:58";
        QTest::newRow("single digits") << DateTime(1999, 1, 2, 3, 4, 5) << "01-02-1999 03:04:05";
        QTest::newRow("midnight of a leap day") << DateTime(2020, 2, 29, 0, 0, 0) << "02-29-2020 00:00:00";
        QTest::newRow("the epoch") << 0.0 << "12-30-1899 00:00:00";
        QTest::newRow("a year before 1000") << DateTime(999, 3, 4, 5, 6, 7) << "03-04-0999 05:06:07";
        QTest::newRow("half a second less a little")
            << DateTime(2004, 12, 31, 23, 59, 58) + 0.4 / 86400 << "12-31-2004 23:59:58";
    }
    void theDateColumnIsMonthDayYearAndTime() {
        QFETCH(double, time);
        QFETCH(QString, text);
        Tree tree;
        tree.File(tree.orbel.Root, "dated.bin", 1, time);
        Editor editor(tree.orbel);
        QCOMPARE(editor.Cell("dated.bin", 2), text);
    }

    void sizesAreRightAlignedInNineCharacters_data() {
        QTest::addColumn<qulonglong>("size");
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << 0ull << "        0";
        QTest::newRow("nine digits") << 987654321ull << "987654321";
        QTest::newRow("ten digits take ten") << 4294967295ull << "4294967295";
    }
    void sizesAreRightAlignedInNineCharacters() {
        QFETCH(qulonglong, size);
        QFETCH(QString, text);
        Tree tree;
        tree.File(tree.orbel.Root, "sized.bin", size, 0);
        Editor editor(tree.orbel);
        QCOMPARE(editor.Cell("sized.bin", 1), text);
    }

    void selectingAFolderListsIt() {
        Tree tree;
        Editor editor(tree.orbel);
        editor.Select("DOCS");
        QCOMPARE(editor.window.ShownDirectory(), tree.docs);
        QCOMPARE(editor.Column(0), (QStringList{"guide.pdf", "old"}));
        QCOMPARE(editor.Column(1), (QStringList{"987654321", " < DIR > "}));
        editor.Select("old");
        QCOMPARE(editor.Column(0), QStringList{"notes.txt"});
        QCOMPARE(editor.Column(2), QStringList{"02-29-2020 00:00:00"});
    }

    void deletingTheRootLeavesEverythingInPlace() {
        Tree tree;
        Editor editor(tree.orbel);
        const QStringList files = tree.FileNames();
        const int directories = tree.orbel.DirectoryCount();
        editor.window.Delete1Click();
        QCOMPARE(tree.orbel.DirectoryCount(), directories);
        QCOMPARE(tree.FileNames(), files);
        QCOMPARE(editor.TreeLines(), kFullTree);
        QCOMPARE(editor.Column(0), (QStringList{"a.txt", "DOCS", "pics.d", "README"}));
        QVERIFY(editor.messages.isEmpty());
    }

    void deletingAFolderTakesItAndEverythingBelowIt() {
        Tree tree;
        Editor editor(tree.orbel);
        editor.Select("DOCS");
        const std::int64_t sizeBefore = tree.orbel.CompilationSize;
        editor.window.Delete1Click();
        QCOMPARE(editor.TreeLines(), (QStringList{"CDROOT", "  pics.d"}));
        QCOMPARE(editor.window.tvDir->currentItem(), editor.window.tvDir->topLevelItem(0));
        QCOMPARE(editor.Column(0), (QStringList{"a.txt", "pics.d", "README"}));
        QVERIFY(!tree.HasDirectory(tree.docs) && !tree.HasDirectory(tree.old));
        QVERIFY(!tree.orbel.FindDirectory("\\DOCS"));
        QVERIFY(!tree.orbel.FindDirectory("\\DOCS\\OLD"));
        QCOMPARE(tree.orbel.DirectoryCount(), 1);
        QCOMPARE(tree.FileNames(), (QStringList{"README.", "a.txt", "cat.jpg"}));
        QCOMPARE(tree.orbel.CompilationSize, sizeBefore - 482254 * 2048 - 2048); // guide.pdf, notes.txt
        QVERIFY(editor.messages.isEmpty());

        // A folder below another one goes alone.
        Tree again;
        Editor second(again.orbel);
        second.Select("old");
        second.window.Delete1Click();
        QCOMPARE(second.TreeLines(), (QStringList{"CDROOT", "  DOCS", "  pics.d"}));
        QVERIFY(again.HasDirectory(again.docs));
        QVERIFY(!again.HasDirectory(again.old));
        second.Select("DOCS");
        QCOMPARE(second.Column(0), QStringList{"guide.pdf"});
    }

    void theGridRefusesToDeleteAFolder() {
        Tree tree;
        Editor editor(tree.orbel);
        editor.window.fl->setCurrentCell(editor.Row("DOCS"), 0);
        editor.window.MenuItem1Click();
        QCOMPARE(editor.messages,
                 QStringList{
                     "You can not delete directory, DOCS is a directory, use tree view to delete directory"});
        QVERIFY(tree.HasDirectory(tree.docs));
        QCOMPARE(editor.Column(0), (QStringList{"a.txt", "DOCS", "pics.d", "README"}));
    }

    void theGridDeletesTheFileOfTheCurrentRow() {
        Tree tree;
        Editor editor(tree.orbel);
        editor.window.MenuItem1Click(); // no current row: nothing
        QCOMPARE(tree.FileNames().size(), 5);

        editor.window.fl->setCurrentCell(editor.Row("a.txt"), 0);
        editor.window.MenuItem1Click();
        QCOMPARE(editor.Column(0), (QStringList{"DOCS", "pics.d", "README"}));
        QVERIFY(!tree.FileNames().contains("a.txt"));
        // The next row moves into the current place, and the last row stays current at the end.
        QCOMPARE(editor.window.fl->currentRow(), 0);
        editor.window.fl->setCurrentCell(editor.Row("README"), 0);
        editor.window.MenuItem1Click();
        QCOMPARE(editor.Column(0), (QStringList{"DOCS", "pics.d"}));
        QCOMPARE(editor.window.fl->currentRow(), 1);
        QCOMPARE(editor.TreeLines(), kFullTree);
        QVERIFY(editor.messages.isEmpty());
    }

    void deletingTheLastFileOfAFolderLeavesTheFolder() {
        Tree tree;
        Editor editor(tree.orbel);
        editor.Select("pics.d");
        editor.window.fl->setCurrentCell(0, 0);
        editor.window.MenuItem1Click();
        QCOMPARE(editor.window.fl->rowCount(), 0);
        QVERIFY(!editor.window.EntryOfRow(0));
        editor.window.MenuItem1Click(); // an empty folder's grid has nothing to delete
        QVERIFY(tree.HasDirectory(tree.pics));
        QVERIFY(!tree.pics->FirstEntry);
        QCOMPARE(editor.TreeLines(), kFullTree);
        QVERIFY(!tree.FileNames().contains("cat.jpg"));
        editor.window.Refresh1Click();
        QCOMPARE(editor.TreeLines(), kFullTree);
    }

    void refreshBuildsTheTreeAgainFromTheBurner() {
        Tree tree;
        Editor editor(tree.orbel);
        editor.Select("old");
        // Changes made to the tree elsewhere show after Refresh, which selects the root again.
        tree.Folder(tree.pics, "kittens");
        QVERIFY(tree.orbel.RemoveFileByName("\\", "a.txt"));
        editor.window.Refresh1Click();
        QCOMPARE(editor.TreeLines(), (QStringList{"CDROOT", "  DOCS", "    old", "  pics.d", "    kittens"}));
        QCOMPARE(editor.window.tvDir->currentItem(), editor.window.tvDir->topLevelItem(0));
        QCOMPARE(editor.window.ShownDirectory(), tree.orbel.Root);
        QCOMPARE(editor.Column(0), (QStringList{"DOCS", "pics.d", "README"}));
        // The grid's Refresh is the same.
        tree.File(tree.orbel.Root, "late.txt", 3, 0);
        editor.window.MenuItem2->trigger();
        QCOMPARE(editor.Column(0), (QStringList{"DOCS", "pics.d", "README", "late.txt"}));
    }

    void theKeysActOnTheListThatHasTheFocus() {
        Tree tree;
        Editor editor(tree.orbel);
        TfrmDiscLayout& w = editor.window;
        QVERIFY(QTest::qWaitForWindowActive(&w));

        w.fl->setFocus();
        w.fl->setCurrentCell(editor.Row("a.txt"), 0);
        QTest::keyClick(w.fl, Qt::Key_Delete);
        QCOMPARE(editor.Column(0), (QStringList{"DOCS", "pics.d", "README"}));
        QCOMPARE(editor.TreeLines(), kFullTree);

        w.tvDir->setFocus();
        editor.Select("DOCS");
        QTest::keyClick(w.tvDir, Qt::Key_Delete);
        QCOMPARE(editor.TreeLines(), (QStringList{"CDROOT", "  pics.d"}));
        QCOMPARE(tree.FileNames(), (QStringList{"README.", "cat.jpg"}));

        tree.Folder(tree.orbel.Root, "new");
        editor.Select("pics.d");
        QTest::keyClick(w.tvDir, Qt::Key_F5);
        QCOMPARE(editor.TreeLines(), (QStringList{"CDROOT", "  pics.d", "  new"}));
        QCOMPARE(w.tvDir->currentItem(), w.tvDir->topLevelItem(0));
        tree.Folder(tree.orbel.Root, "newer");
        w.fl->setFocus();
        QTest::keyClick(w.fl, Qt::Key_F5);
        QCOMPARE(editor.TreeLines(), (QStringList{"CDROOT", "  pics.d", "  new", "  newer"}));
    }

    void aDoubleClickOnARowDoesNothing() {
        Tree tree;
        Editor editor(tree.orbel);
        const QRect cell = editor.window.fl->visualItemRect(editor.window.fl->item(editor.Row("a.txt"), 0));
        QTest::mouseDClick(editor.window.fl->viewport(), Qt::LeftButton, {}, cell.center());
        QCOMPARE(tree.FileNames().size(), 5);
        QCOMPARE(editor.Column(0), (QStringList{"a.txt", "DOCS", "pics.d", "README"}));
        QVERIFY(editor.messages.isEmpty());
        QVERIFY(!editor.window.fl->isPersistentEditorOpen(editor.window.fl->item(0, 0)));
    }

    void closeAndEscapeCloseTheWindow() {
        Tree tree;
        {
            Editor editor(tree.orbel);
            QVERIFY(QTest::qWaitForWindowActive(&editor.window));
            QTest::keyClick(&editor.window, Qt::Key_Escape);
            QVERIFY(!editor.window.isVisible());
        }
        {
            Editor editor(tree.orbel);
            QTest::mouseClick(editor.window.bClose, Qt::LeftButton);
            QVERIFY(!editor.window.isVisible());
        }
    }

    void importedEntriesAreShownAndRemovedLikeTheOthers() {
        Tree tree;
        tree.File(tree.docs, "from-disc.txt", 4096, DateTime(2003, 3, 3, 3, 3, 3), 1234);
        Editor editor(tree.orbel);
        editor.Select("DOCS");
        QCOMPARE(editor.Column(0), (QStringList{"guide.pdf", "old", "from-disc.txt"}));
        QCOMPARE(editor.Cell("from-disc.txt", 1), QString("     4096"));
        QCOMPARE(editor.Cell("from-disc.txt", 2), QString("03-03-2003 03:03:03"));
        const std::int64_t size = tree.orbel.CompilationSize;
        editor.window.fl->setCurrentCell(editor.Row("from-disc.txt"), 0);
        editor.window.MenuItem1Click();
        QCOMPARE(editor.Column(0), (QStringList{"guide.pdf", "old"}));
        QCOMPARE(tree.orbel.CompilationSize, size); // its data is on the disc already
    }
    // Without "Show files before burning" the burn goes straight to the question.
    void theBurnOpensTheEditorOnlyWhenShowFilesIsOn() {
        Rig rig;
        rig.window->clBox->AddFolderRow(QString::fromStdString(rig.Sources("src", {{"a.txt", 10}})));
        int shown = 0;
        rig.window->ShowDiscLayout = [&](TfrmDiscLayout&) { ++shown; };
        rig.answer = QMessageBox::No;
        rig.window->bBurnClick();
        QCOMPARE(shown, 0);
        QCOMPARE(rig.questions.size(), 1);
        rig.window->Options.ShowFiles = true;
        rig.window->ShowDiscLayout = [&](TfrmDiscLayout& layout) {
            ++shown;
            QCOMPARE(layout.parentWidget(), rig.window.get());
            QCOMPARE(rig.questions.size(), 1);
        };
        rig.window->bBurnClick();
        QCOMPARE(shown, 1);
        QCOMPARE(rig.questions.size(), 2);
    }

    // What the editor takes out stays off the disc; a folder whose last file went is recorded empty.
    void theDiscHoldsWhatTheEditorLeft() {
        Rig rig;
        const std::string source = rig.Sources("src", {{"a.txt", 5000},
                                                       {"big.bin", 400000},
                                                       {"docs/b.bin", 300000},
                                                       {"docs/deep/c.txt", 100},
                                                       {"keep/only.txt", 50}});
        rig.window->clBox->AddFolderRow(QString::fromStdString(source));
        rig.answer = QMessageBox::No;
        rig.window->bBurnClick();
        const QString whole = rig.questions.value(0);
        rig.questions.clear();
        rig.answer = QMessageBox::Yes;

        QStringList shownTree;
        rig.Burn([&](Editor& editor) {
            shownTree = editor.TreeLines();
            editor.Select("docs");
            editor.window.Delete1Click();
            editor.Select("keep");
            editor.window.fl->setCurrentCell(editor.Row("only.txt"), 0);
            editor.window.MenuItem1Click();
            editor.Select("CDROOT");
            editor.window.fl->setCurrentCell(editor.Row("big.bin"), 0);
            editor.window.MenuItem1Click();
            QCOMPARE(editor.Column(0), (QStringList{"keep", "a.txt"})); // folders first, as the add made them
        });
        QCOMPARE(shownTree, (QStringList{"CDROOT", "  docs", "    deep", "  keep"}));
        // The question comes after the editor and counts only what is left.
        QVERIFY(whole.startsWith("Start Writing ") && rig.asked.startsWith("Start Writing "));
        QVERIFY(rig.asked.split(' ')[2].toDouble() < whole.split(' ')[2].toDouble() - 0.5);

        const auto session = rig.LastSession();
        QCOMPARE(session.size(), std::size_t{2});
        QCOMPARE(session.at("\\"), (QStringList{"a.txt", "keep"}));
        QCOMPARE(session.at("\\KEEP"), QStringList{});
    }

    // With "Import Session" the editor shows the earlier session's entries beside the new ones, and an
    // imported file taken out is not listed in the new session.
    void theEntriesOfAnImportedSessionAreShownAndCanBeRemoved() {
        Rig rig;
        rig.window->clBox->AddFolderRow(
            QString::fromStdString(rig.Sources("first", {{"a.txt", 3000}, {"old/b.txt", 20}, {"c.txt", 1}})));
        rig.Burn([](Editor&) {});
        QCOMPARE(rig.LastSession().at("\\"), (QStringList{"a.txt", "c.txt", "old"}));

        rig.window->bClearClick();
        rig.window->clBox->AddFolderRow(QString::fromStdString(rig.Sources("second", {{"new.txt", 70}})));
        rig.window->Options.ImportSession = true;
        rig.window->Options.SessionNo = -1;
        rig.Burn([](Editor& editor) {
            QCOMPARE(editor.TreeLines(), (QStringList{"CDROOT", "  old"}));
            QCOMPARE(editor.Column(0), (QStringList{"old", "a.txt", "c.txt", "new.txt"}));
            QCOMPARE(editor.Cell("a.txt", 1), QString("     3000"));
            QVERIFY(editor.window.EntryOfRow(editor.Row("a.txt"))->Imported);
            QVERIFY(!editor.window.EntryOfRow(editor.Row("new.txt"))->Imported);
            editor.Select("old");
            QCOMPARE(editor.Column(0), QStringList{"b.txt"});
            editor.Select("CDROOT");
            editor.window.fl->setCurrentCell(editor.Row("a.txt"), 0);
            editor.window.MenuItem1Click();
        });
        const auto session = rig.LastSession();
        QCOMPARE(session.at("\\"), (QStringList{"c.txt", "new.txt", "old"}));
        QCOMPARE(session.at("\\OLD"), QStringList{"b.txt"});
    }
};

QTEST_MAIN(DiscLayoutWindowTest)
#include "disc_layout_window_test.moc"
