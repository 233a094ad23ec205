// The compilation list and its drop target: drops of file URLs from outside the program, drags from the
// folder and file lists, the size cells, removing rows, and the rows handed to the burner.

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QListWidget>
#include <QMimeData>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <memory>

#include "app/compilation_list.h"
#include "app/ex_drag_drop.h"
#include "image/orbel_burner.h"

using lorvane::app::CompilationRow;
using lorvane::app::TCompilationList;
using lorvane::app::TExDragDrop;

namespace {

std::unique_ptr<QMimeData> FileUrls(const QStringList& paths) {
    auto data = std::make_unique<QMimeData>();
    QList<QUrl> urls;
    for (const QString& path : paths) urls.append(QUrl::fromLocalFile(path));
    data->setUrls(urls);
    return data;
}

std::unique_ptr<QMimeData> Urls(const QList<QUrl>& urls) {
    auto data = std::make_unique<QMimeData>();
    data->setUrls(urls);
    return data;
}

// Delivers a drag that came from outside the program (no source widget) and its drop to the widget;
// true when the drop was accepted.
bool DropFromOutside(QWidget* target, const QMimeData* data) {
    const QPoint at(5, 5);
    QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    if (!enter.isAccepted()) return false;
    QDropEvent drop(QPointF(at), Qt::CopyAction | Qt::MoveAction, data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
    return drop.isAccepted() && drop.dropAction() == Qt::CopyAction;
}

struct Row {
    bool ticked;
    QString path;
    QString size;
    bool operator==(const Row&) const = default;
};

QList<Row> Shown(const TCompilationList& list) {
    QList<Row> rows;
    for (int index = 0; index < list.topLevelItemCount(); ++index) {
        const QTreeWidgetItem* item = list.topLevelItem(index);
        rows.append({item->checkState(TCompilationList::kTickColumn) == Qt::Checked,
                     item->text(TCompilationList::kNameColumn), item->text(TCompilationList::kSizeColumn)});
    }
    return rows;
}

} // namespace

namespace QTest {
template <> char* toString(const Row& row) {
    return qstrdup(QString("{%1, %2, \"%3\"}")
                       .arg(row.ticked ? "ticked" : "unticked", row.path, row.size)
                       .toUtf8()
                       .constData());
}
} // namespace QTest

class CompilationListTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        QVERIFY(m_dir.isValid());
        m_list = std::make_unique<TCompilationList>(m_orbel);
        m_list->resize(400, 300);
        m_lbDir = std::make_unique<QListWidget>();
        m_lbFiles = std::make_unique<QListWidget>();
        m_list->SetDragSources(
            m_lbDir.get(), m_lbFiles.get(), [this] { return m_selectedFolder; },
            [this] { return m_selectedFiles; });
    }
    void cleanup() {
        m_list.reset();
        m_lbDir.reset();
        m_lbFiles.reset();
    }

    void threeFilesGiveOneDropWithThreeItems() {
        const QStringList files = {File("a.txt", 1), File("b.txt", 2), File("c d.txt", 3)};
        TExDragDrop target;
        int drops = 0, lastCount = -1;
        QObject* lastSender = nullptr;
        target.OnDropped = [&](QObject* sender, int count) {
            ++drops;
            lastCount = count;
            lastSender = sender;
        };
        QVERIFY(target.HandleDrop(FileUrls(files).get()));
        QCOMPARE(drops, 1);
        QCOMPARE(lastCount, 3);
        QCOMPARE(lastSender, &target);
        QCOMPARE(target.Items(), files);

        const QStringList second = {File("e.txt", 4)};
        QVERIFY(target.HandleDrop(FileUrls(second).get()));
        QCOMPARE(drops, 2);
        QCOMPARE(lastCount, 1);
        QCOMPARE(target.Items(), second);
    }

    void onlyLocalFilesCount() {
        const QString local = File("a.txt", 1);
        TExDragDrop target;
        int drops = 0;
        target.OnDropped = [&](QObject*, int) { ++drops; };
        QVERIFY(!target.HandleDrop(Urls({QUrl("https://example.org/x.iso")}).get()));
        QVERIFY(!target.HandleDrop(nullptr));
        auto text = std::make_unique<QMimeData>();
        text->setText("/etc/passwd");
        QVERIFY(!target.HandleDrop(text.get()));
        QCOMPARE(drops, 0);
        QVERIFY(target.Items().isEmpty());

        QVERIFY(target.HandleDrop(
            Urls({QUrl("https://example.org/x.iso"), QUrl::fromLocalFile(local), QUrl("ftp://host/y")})
                .get()));
        QCOMPARE(drops, 1);
        QCOMPARE(target.Items(), QStringList{local});
    }

    void aDropOnTheListAddsItsRows() {
        const QString a = File("a.txt", 1200);
        const QString folder = Folder("docs");
        File("docs/one.bin", 1000);
        File("docs/sub/two.bin", 200);
        const QString empty = File("empty.txt", 0);
        const auto data = FileUrls({a, folder, empty});
        int drops = 0;
        m_list->ExplorerDragDrop()->OnDropped = [&](QObject* sender, int count) {
            ++drops;
            m_list->ExplorerDragDropDropped(sender, count);
        };
        QVERIFY(DropFromOutside(m_list->viewport(), data.get()));
        QCOMPARE(drops, 1);
        QCOMPARE(Shown(*m_list),
                 (QList<Row>{{false, a, "1,200"}, {true, folder + "/", "1,200"}, {false, empty, ""}}));
    }

    void aDropOnTheListItselfAddsItsRowsToo() {
        const QString a = File("a.txt", 7);
        QVERIFY(DropFromOutside(m_list.get(), FileUrls({a}).get()));
        QCOMPARE(Shown(*m_list), (QList<Row>{{false, a, "7"}}));
    }

    void aDroppedFolderKeepsOneFinalSlash() {
        const QString folder = Folder("photos");
        m_list->ExplorerDragDrop()->HandleDrop(FileUrls({folder + "/"}).get());
        QCOMPARE(Shown(*m_list), (QList<Row>{{true, folder + "/", ""}}));
    }

    void aDroppedPathThatIsNoFolderIsKeptAsGiven() {
        const QString gone = m_dir.filePath("gone");
        m_list->ExplorerDragDrop()->HandleDrop(FileUrls({gone}).get());
        QCOMPARE(Shown(*m_list), (QList<Row>{{false, gone, ""}}));
    }

    void dropsWithoutLocalFilesAreRefused() {
        auto text = std::make_unique<QMimeData>();
        text->setText("hello");
        QVERIFY(!DropFromOutside(m_list->viewport(), text.get()));
        QVERIFY(!DropFromOutside(m_list->viewport(), Urls({QUrl("https://example.org/a")}).get()));
        QCOMPARE(m_list->topLevelItemCount(), 0);
    }

    void dragsFromTheFolderAndFileLists() {
        const QString folder = Folder("data/mail");
        File("data/mail/a.txt", 1200);
        QVERIFY(m_list->clBoxDragOver(m_lbDir.get()));
        QVERIFY(m_list->clBoxDragOver(m_lbFiles.get()));

        m_selectedFolder = folder;
        m_list->clBoxDragDrop(m_lbDir.get());
        m_selectedFolder = folder + "/";
        m_list->clBoxDragDrop(m_lbDir.get());
        const QString b = File("data/b.txt", 5), c = File("data/c.txt", 0), d = File("data/d.txt", 1);
        m_selectedFiles = {d, b, c};
        m_list->clBoxDragDrop(m_lbFiles.get());
        QCOMPARE(Shown(*m_list), (QList<Row>{{true, folder + "/", "1,200"},
                                             {true, folder + "/", "1,200"},
                                             {false, d, "1"},
                                             {false, b, "5"},
                                             {false, c, ""}}));
    }

    void dragsFromAnyOtherSourceAddNothing() {
        QListWidget other;
        m_selectedFolder = Folder("x");
        m_selectedFiles = {File("y.txt", 1)};
        QVERIFY(!m_list->clBoxDragOver(&other));
        QVERIFY(!m_list->clBoxDragOver(nullptr));
        QVERIFY(!m_list->clBoxDragOver(m_list.get()));
        m_list->clBoxDragDrop(&other);
        m_list->clBoxDragDrop(nullptr);
        m_list->clBoxDragDrop(m_list.get());
        QCOMPARE(m_list->topLevelItemCount(), 0);

        // A list without drag sources takes no drag at all.
        TCompilationList bare(m_orbel);
        QVERIFY(!bare.clBoxDragOver(nullptr));
        bare.clBoxDragDrop(nullptr);
        QCOMPARE(bare.topLevelItemCount(), 0);
    }

    void aDropRaisedByAnotherTargetAddsNothing() {
        TExDragDrop foreign;
        foreign.HandleDrop(FileUrls({File("a.txt", 1)}).get());
        m_list->ExplorerDragDropDropped(&foreign, 1);
        m_list->ExplorerDragDropDropped(nullptr, 1);
        QCOMPARE(m_list->topLevelItemCount(), 0);
    }

    void removeDeletesTheSelectedRowOnly() {
        const QString a = File("a.txt", 1), b = File("b.txt", 2);
        m_list->AddFileRow(a);
        m_list->AddFileRow(b);
        m_list->Remove1Click(); // nothing selected
        QCOMPARE(m_list->topLevelItemCount(), 2);

        QCOMPARE(m_list->Remove1()->text(), QString("Remove"));
        QCOMPARE(m_list->Remove1()->shortcut(), QKeySequence(Qt::Key_Delete));
        QVERIFY(m_list->actions().contains(m_list->Remove1()));
        m_list->setCurrentItem(m_list->topLevelItem(0));
        m_list->Remove1()->trigger();
        QCOMPARE(Shown(*m_list), (QList<Row>{{false, b, "2"}}));
    }

    void delRemovesTheSelectedRow() {
        const QString a = File("a.txt", 1), b = File("b.txt", 2);
        m_list->AddFileRow(a);
        m_list->AddFileRow(b);
        m_list->show();
        m_list->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_list.get()));
        m_list->setFocus();
        m_list->clearSelection();
        QTest::keyClick(m_list.get(), Qt::Key_Delete);
        QCOMPARE(m_list->topLevelItemCount(), 2);
        m_list->setCurrentItem(m_list->topLevelItem(1));
        QTest::keyClick(m_list.get(), Qt::Key_Delete);
        QCOMPARE(Shown(*m_list), (QList<Row>{{false, a, "1"}}));
    }

    void doubleClickRemovesTheRow() {
        const QString a = File("a.txt", 1), b = File("b.txt", 2);
        m_list->AddFileRow(a);
        m_list->AddFileRow(b);
        m_list->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_list.get()));
        const QRect rect = m_list->visualItemRect(m_list->topLevelItem(0));
        // What a real double-click delivers: press, release, double-click, release.
        const QPoint at(rect.center().x() + 60, rect.center().y());
        QTest::mouseClick(m_list->viewport(), Qt::LeftButton, Qt::NoModifier, at);
        QTest::mouseDClick(m_list->viewport(), Qt::LeftButton, Qt::NoModifier, at);
        QTest::mouseRelease(m_list->viewport(), Qt::LeftButton, Qt::NoModifier, at);
        QCOMPARE(Shown(*m_list), (QList<Row>{{false, b, "2"}}));
    }

    void rowsAreHandedOverInOrderWithTheirTicks() {
        const QString folder = Folder("f");
        const QString a = File("a.txt", 1);
        m_list->AddFolderRow(folder);
        m_list->AddFileRow(a);
        m_list->AddFolderRow(folder);
        m_list->topLevelItem(2)->setCheckState(TCompilationList::kTickColumn, Qt::Unchecked);
        const std::vector<CompilationRow> rows = m_list->Rows();
        QCOMPARE(rows.size(), std::size_t{3});
        QCOMPARE(rows[0].recursive, true);
        QCOMPARE(QString::fromStdString(rows[0].path), folder + "/");
        QCOMPARE(rows[1].recursive, false);
        QCOMPARE(QString::fromStdString(rows[1].path), a);
        QCOMPARE(rows[2].recursive, false);
        QCOMPARE(QString::fromStdString(rows[2].path), folder + "/");
    }

    void theListsLook() {
        QCOMPARE(m_list->columnCount(), 3);
        QCOMPARE(m_list->headerItem()->text(0), QString("R"));
        QCOMPARE(m_list->headerItem()->text(1), QString("Name"));
        QCOMPARE(m_list->headerItem()->text(2), QString("Size "));
        QCOMPARE(m_list->columnWidth(0), 23);
        QCOMPARE(m_list->columnWidth(2), 87);
        m_list->AddFileRow(File("a.txt", 1));
        QTreeWidgetItem* item = m_list->topLevelItem(0);
        QVERIFY(!(item->flags() & Qt::ItemIsEditable));
        QVERIFY(item->flags() & Qt::ItemIsUserCheckable);
        QCOMPARE(Qt::Alignment(item->textAlignment(2)) & Qt::AlignRight, Qt::AlignRight);
    }

    void unbindingHandsDropsBackToTheWidget() {
        QListWidget first, second;
        auto target = std::make_unique<TExDragDrop>();
        int drops = 0;
        target->OnDropped = [&](QObject*, int) { ++drops; };
        const auto data = FileUrls({File("a.txt", 1)});

        target->SetControl(&first);
        QVERIFY(DropFromOutside(first.viewport(), data.get()));
        QCOMPARE(drops, 1);

        // Binding another widget lets go of the first.
        target->SetControl(&second);
        QCOMPARE(target->Control(), &second);
        QVERIFY(!DropFromOutside(first.viewport(), data.get()));
        QVERIFY(DropFromOutside(&second, data.get()));
        QCOMPARE(drops, 2);

        target->SetControl(nullptr);
        QVERIFY(!DropFromOutside(second.viewport(), data.get()));
        target->SetControl(&second);
        target.reset();
        QVERIFY(!DropFromOutside(second.viewport(), data.get()));
        QCOMPARE(drops, 2);
    }

    void aTargetOutlivingItsWidgetIsHarmless() {
        TExDragDrop target;
        auto widget = std::make_unique<QListWidget>();
        target.SetControl(widget.get());
        widget.reset();
        QCOMPARE(target.Control(), nullptr);
        target.SetControl(nullptr);
    }

private:
    QString File(const QString& relative, qint64 size) {
        const QString path = m_dir.filePath(relative);
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly)) qFatal("cannot create %s", qPrintable(path));
        file.write(QByteArray(size, 'x'));
        return path;
    }
    QString Folder(const QString& relative) {
        const QString path = m_dir.filePath(relative);
        QDir().mkpath(path);
        return path;
    }

    lorvane::image::TOrbelBurner m_orbel;
    QTemporaryDir m_dir;
    std::unique_ptr<TCompilationList> m_list;
    std::unique_ptr<QListWidget> m_lbDir;
    std::unique_ptr<QListWidget> m_lbFiles;
    QString m_selectedFolder;
    QStringList m_selectedFiles;
};

QTEST_MAIN(CompilationListTest)
#include "compilation_list_test.moc"
