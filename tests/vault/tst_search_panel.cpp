// The search panel driven by keys, offscreen: typing filters, the arrows move the selection,
// Return opens and hides, Escape clears or hides, the Ctrl commands reach the panel from any
// window, folder mode, and what the view shows for an empty list and in its status line.

#include "SearchFixture.h"
#include "VaultFixture.h"

#include "foundation/Opening.h"
#include "platform/filemanager/FakeFileManager.h"
#include "platform/mail/FakeMailComposer.h"
#include "platform/workspace/FakeWorkspace.h"
#include "vault/SearchResultRow.h"
#include "vault/SearchTextField.h"
#include "vault/SearchView.h"
#include "vault/SearchWindowController.h"

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

using namespace harkwell;
using namespace harkwell::test;

namespace {

// A panel over three vault files that exist on disk, newest first: c.md, b.md, a.md.
struct Panel {
    SearchHome home;
    FakeWorkspace workspace;
    FakeFileManager fileManager;
    FakeMailComposer mail;
    std::unique_ptr<FileScanner> scanner;
    std::unique_ptr<SearchWindowController> controller;

    explicit Panel(bool withFiles = true)
    {
        Opening::setWorkspace(&workspace);
        const QString v = home.vault();
        if (withFiles) {
            for (const auto& [name, day] : {std::pair{"Notes/a.md", 1}, {"Notes/b.md", 2}, {"Notes/c.md", 3}})
                VaultTree::file(v, name, at(day));
            home.listers->set({entry(v, "Notes/a.md", at(1)), entry(v, "Notes/b.md", at(2)), entry(v, "Notes/c.md", at(3))});
        }
        scanner = home.scanner();
        SearchFileActions::Services services;
        services.fileManager = &fileManager;
        services.mail = &mail;
        services.python3 = [] { return std::optional<QString>(); };
        controller = std::make_unique<SearchWindowController>(
            home.settings, [] { return QList<FileEntry>{}; }, services);
        controller->setScanner(scanner.get());
        controller->show();
    }
    ~Panel() { Opening::setWorkspace(nullptr); }

    SearchIndex& index() const { return *controller->searchIndex(); }
    SearchView& view() const { return *controller->view(); }
    SearchTextField* field() const { return view().searchField(); }
    bool visible() const { return controller->panel()->isVisible(); }
    QString path(const QString& relative) const { return home.vault() + "/" + relative; }
};

QStringList shownRows(const QListWidget* list)
{
    QStringList rows;
    for (int i = 0; i < list->count(); ++i)
        rows.append(list->item(i)->text());
    return rows;
}

}  // namespace

class SearchPanelTest : public QObject {
    Q_OBJECT

private slots:
    void showPutsTheCaretInAnEmptySearch();
    void typingFilters();
    void arrowsMoveAndReturnOpens();
    void returnWithNothingSelectedOnlyHides();
    void escapeClearsThenHides();
    void clickOnARowOpensIt();
    void commandKeys_data();
    void commandKeys();
    void keysOfAnotherWindowStayWithIt();
    void folderModeKeys();
    void emptyListTexts();
    void statusLineDays_data();
    void statusLineDays();
    void clearShowsOnlyWithFilters();
    void rowDateFollowsTimeBasis();
    void textFieldKeys_data();
    void textFieldKeys();
    void textFieldSyncKeepsTheCaret();
    void withoutScannerThePanelIsEmpty();
};

void SearchPanelTest::showPutsTheCaretInAnEmptySearch()
{
    Panel panel;
    QVERIFY(panel.visible());
    QCOMPARE(panel.controller->panel()->windowTitle(), QStringLiteral("Search Vault"));
    QVERIFY(panel.controller->panel()->windowFlags() & Qt::WindowStaysOnTopHint);
    QTRY_VERIFY(panel.field()->hasFocus());
    QCOMPARE(shownRows(panel.view().fileList()), (QStringList{"c.md", "b.md", "a.md"}));

    // Reopening resets the search.
    QTest::keyClicks(panel.field(), "b");
    panel.controller->orderOut();
    panel.controller->show();
    QCOMPARE(panel.index().query(), QString());
    QCOMPARE(panel.field()->text(), QString());
    QCOMPARE(panel.view().fileList()->count(), 3);
}

void SearchPanelTest::typingFilters()
{
    Panel panel;
    QTest::keyClicks(panel.field(), "b.m");
    QCOMPARE(panel.index().query(), QStringLiteral("b.m"));
    QCOMPARE(shownRows(panel.view().fileList()), QStringList{"b.md"});
    QTest::keyClick(panel.field(), Qt::Key_Backspace);
    QTest::keyClick(panel.field(), Qt::Key_Backspace);
    QTest::keyClick(panel.field(), Qt::Key_Backspace);
    QCOMPARE(panel.view().fileList()->count(), 3);
}

void SearchPanelTest::arrowsMoveAndReturnOpens()
{
    Panel panel;
    QTest::keyClick(panel.field(), Qt::Key_Down);
    QTest::keyClick(panel.field(), Qt::Key_Down);
    QTest::keyClick(panel.field(), Qt::Key_Down);  // stops at the last row
    QTest::keyClick(panel.field(), Qt::Key_Up);
    QCOMPARE(panel.index().selectedIndex(), 1);
    QCOMPARE(panel.view().fileList()->currentRow(), 1);

    QTest::keyClick(panel.field(), Qt::Key_Return);
    QVERIFY(!panel.visible());
    QTRY_COMPARE(panel.workspace.opened(), QList<QUrl>{QUrl::fromLocalFile(panel.path("Notes/b.md"))});
}

void SearchPanelTest::returnWithNothingSelectedOnlyHides()
{
    Panel panel;
    QTest::keyClicks(panel.field(), "nothing like it");
    QTest::keyClick(panel.field(), Qt::Key_Return);
    QVERIFY(!panel.visible());
    QCoreApplication::processEvents();
    QVERIFY(panel.workspace.opened().isEmpty());
}

void SearchPanelTest::escapeClearsThenHides()
{
    Panel panel;
    QTest::keyClicks(panel.field(), "zzz");
    QCOMPARE(panel.view().emptyText(), QStringLiteral("No matches"));
    QTest::keyClick(panel.field(), Qt::Key_Escape);
    QVERIFY(panel.visible());
    QCOMPARE(panel.field()->text(), QString());
    QCOMPARE(panel.view().fileList()->count(), 3);
    QTest::keyClick(panel.field(), Qt::Key_Escape);
    QVERIFY(!panel.visible());
}

void SearchPanelTest::clickOnARowOpensIt()
{
    Panel panel;
    QListWidget* list = panel.view().fileList();
    const QRect row = list->visualItemRect(list->item(2));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, row.center());
    QVERIFY(!panel.visible());
    QTRY_COMPARE(panel.workspace.opened(), QList<QUrl>{QUrl::fromLocalFile(panel.path("Notes/a.md"))});
}

void SearchPanelTest::commandKeys_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<bool>("staysOpen");
    QTest::addColumn<QString>("effect");

    QTest::newRow("Ctrl-D trashes") << int(Qt::Key_D) << int(Qt::ControlModifier) << true << "trashed";
    QTest::newRow("Ctrl-Shift-D trashes too") << int(Qt::Key_D) << int(Qt::ControlModifier | Qt::ShiftModifier)
                                              << true << "trashed";
    QTest::newRow("Ctrl-F reveals and hides") << int(Qt::Key_F) << int(Qt::ControlModifier) << false << "revealed";
    QTest::newRow("Ctrl-M mails and hides") << int(Qt::Key_M) << int(Qt::ControlModifier) << false << "mailed";
    QTest::newRow("Ctrl-P stays open") << int(Qt::Key_P) << int(Qt::ControlModifier) << true << "";
    QTest::newRow("Ctrl-S toggles the folder sort") << int(Qt::Key_S) << int(Qt::ControlModifier) << true << "sorted";
}

void SearchPanelTest::commandKeys()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(bool, staysOpen);
    QFETCH(QString, effect);

    Panel panel;
    QTest::keyClick(panel.field(), Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QCOMPARE(panel.visible(), staysOpen);
    const QString selected = panel.path("Notes/c.md");
    if (effect == "trashed") {
        QTRY_COMPARE(shownRows(panel.view().fileList()), (QStringList{"b.md", "a.md"}));
        QCOMPARE(panel.fileManager.trashAttempts(), QList<QUrl>{QUrl::fromLocalFile(selected)});
    } else if (effect == "revealed") {
        QCOMPARE(panel.fileManager.revealed(), QList<QUrl>{QUrl::fromLocalFile(selected)});
    } else if (effect == "mailed") {
        QTRY_COMPARE(panel.mail.composed(), QList<QStringList>{{selected}});
    } else if (effect == "sorted") {
        QVERIFY(panel.index().folderSortByName());
    }
    QCOMPARE(panel.field()->text(), QString());  // no letter reached the field
}

void SearchPanelTest::keysOfAnotherWindowStayWithIt()
{
    // Ctrl+D deletes forward in a text field here; with the panel open it must not trash the
    // selected search result instead.
    Panel panel;
    QWidget other;
    auto* field = new QLineEdit(QStringLiteral("abc"), &other);
    auto* save = new QAction(&other);
    save->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    save->setShortcutContext(Qt::ApplicationShortcut);
    other.addAction(save);
    int saves = 0;
    connect(save, &QAction::triggered, &other, [&saves] { ++saves; });
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    field->setFocus();
    field->setCursorPosition(0);

    QTest::keyClick(field, Qt::Key_D, Qt::ControlModifier);
    QTest::keyClick(field, Qt::Key_S, Qt::ControlModifier);
    QVERIFY(panel.visible());
    QVERIFY(panel.fileManager.trashAttempts().isEmpty());
    QVERIFY(!panel.index().folderSortByName());
    QCOMPARE(saves, 1);

    // The panel's own keys still act.
    QTest::keyClick(panel.field(), Qt::Key_S, Qt::ControlModifier);
    QVERIFY(panel.index().folderSortByName());
}

void SearchPanelTest::folderModeKeys()
{
    Panel panel;
    VaultTree::file(panel.home.vault(), "Notes/old.md", QDateTime(QDate(2025, 1, 1), QTime(9, 0)));
    QTest::keyClick(panel.field(), Qt::Key_Down);  // b.md
    QTest::keyClick(panel.field(), Qt::Key_Right);
    QCOMPARE(panel.index().folderPath(), QStringLiteral("Notes"));
    QTRY_COMPARE(shownRows(panel.view().fileList()), (QStringList{"c.md", "b.md", "a.md", "old.md"}));
    QCOMPARE(panel.index().selectedIndex(), 1);
    QVERIFY(!panel.field()->isVisible());

    // The keys now go to the panel itself, and the monitor takes them.
    QWidget* target = panel.controller->panel();
    QTest::keyClick(target, Qt::Key_Down);
    QTest::keyClick(target, Qt::Key_Down);
    QTest::keyClick(target, Qt::Key_Down);
    QCOMPARE(panel.index().selectedIndex(), 3);
    QTest::keyClick(target, Qt::Key_S, Qt::ControlModifier);
    QCOMPARE(shownRows(panel.view().fileList()), (QStringList{"a.md", "b.md", "c.md", "old.md"}));
    QTest::keyClick(target, Qt::Key_Escape);
    QVERIFY(!panel.index().folderPath());
    QVERIFY(panel.visible());
    QTRY_VERIFY(panel.field()->hasFocus());
    // The selection kept its number, which lies past the three results.
    QVERIFY(!panel.index().selectedFile());
    QTest::keyClick(panel.field(), Qt::Key_Up);
    QCOMPARE(panel.index().selectedFile()->filename, QStringLiteral("a.md"));

    QTest::keyClick(panel.field(), Qt::Key_Right);
    QTest::keyClick(target, Qt::Key_Left);
    QVERIFY(!panel.index().folderPath());

    QTest::keyClick(panel.field(), Qt::Key_Right);
    QTRY_COMPARE(panel.index().folderFiles().size(), 4);
    QTest::keyClick(target, Qt::Key_Return);
    QVERIFY(!panel.visible());
    QTRY_COMPARE(panel.workspace.opened(), QList<QUrl>{QUrl::fromLocalFile(panel.path("Notes/a.md"))});

    // A panel hidden in folder mode comes back in it.
    panel.controller->show();
    QCOMPARE(panel.index().folderPath(), QStringLiteral("Notes"));
}

void SearchPanelTest::emptyListTexts()
{
    Panel empty(false);
    QCOMPARE(empty.view().emptyText(), QStringLiteral("No recent files"));
    QTest::keyClicks(empty.field(), " ");
    QCOMPARE(empty.view().emptyText(), QStringLiteral("No matches"));  // a blank query is not an empty one

    Panel panel;
    QTest::keyClick(panel.field(), Qt::Key_Right);
    QTRY_COMPARE(panel.index().folderFiles().size(), 3);
    QFile::remove(panel.path("Notes/a.md"));
    QFile::remove(panel.path("Notes/b.md"));
    QFile::remove(panel.path("Notes/c.md"));
    panel.index().drillIntoFolder();  // nothing selected in an emptied folder: stays as it was
    panel.index().exitFolderMode();
    QTest::keyClick(panel.field(), Qt::Key_Right);
    QTRY_COMPARE(panel.view().emptyText(), QStringLiteral("Empty folder"));
    QTest::keyClick(panel.controller->panel(), Qt::Key_Return);
    QVERIFY(!panel.visible());

    // A notice (a mount that does not answer) shows until the panel is shown again.
    QCOMPARE(panel.view().noticeText(), QString());
    panel.index().setNotice(QStringLiteral("The remote mount doesn’t answer."));
    QCOMPARE(panel.view().noticeText(), QStringLiteral("The remote mount doesn’t answer."));
    panel.controller->show();
    QCOMPARE(panel.view().noticeText(), QString());
}

void SearchPanelTest::statusLineDays_data()
{
    QTest::addColumn<std::optional<int>>("searchDays");
    QTest::addColumn<int>("recentDays");
    QTest::addColumn<QString>("shown");
    QTest::newRow("unset, a week of recent days") << std::optional<int>() << 7 << "Last 30 days";
    QTest::newRow("unset, more recent days than 30") << std::optional<int>() << 45 << "Last 45 days";
    QTest::newRow("set") << std::optional<int>(10) << 7 << "Last 10 days";
    QTest::newRow("set to one day") << std::optional<int>(1) << 7 << "Last 1 day";
}

void SearchPanelTest::statusLineDays()
{
    QFETCH(std::optional<int>, searchDays);
    QFETCH(int, recentDays);
    QFETCH(QString, shown);

    Panel panel;
    panel.home.settings.update([&](AppSettings& values) {
        values.searchDays = searchDays;
        values.recentDays = recentDays;
    });
    panel.index().search();
    const auto buttons = panel.controller->panel()->findChildren<QPushButton*>();
    const auto days = std::find_if(buttons.cbegin(), buttons.cend(),
                                   [](QPushButton* button) { return button->text().startsWith("Last "); });
    QVERIFY(days != buttons.cend());
    QVERIFY((*days)->text().startsWith(shown + " "));
    QVERIFY((*days)->text().endsWith("-- click to search all"));
}

void SearchPanelTest::clearShowsOnlyWithFilters()
{
    Panel panel;
    const auto buttons = panel.controller->panel()->findChildren<QPushButton*>();
    const auto find = [&](const QString& text) {
        return *std::find_if(buttons.cbegin(), buttons.cend(), [&](QPushButton* b) { return b->text() == text; });
    };
    QPushButton* clear = find("Clear");
    QVERIFY(!clear->isVisible());
    find("doc")->click();
    QCOMPARE(panel.index().activeExtFilters(), (QSet<QString>{"doc", "docx", "odt"}));
    QVERIFY(clear->isVisible());
    QCOMPARE(panel.view().emptyText(), QStringLiteral("No recent files"));
    find("doc")->click();
    QVERIFY(panel.index().activeExtFilters().isEmpty());
    find("md")->click();
    clear->click();
    QVERIFY(panel.index().activeExtFilters().isEmpty());
    QVERIFY(!clear->isVisible());
}

void SearchPanelTest::rowDateFollowsTimeBasis()
{
    FileEntry file = entry("/v", "x.md", QDateTime(QDate(2026, 3, 2), QTime(14, 5)));
    file.creationDate = QDateTime(QDate(2026, 3, 1), QTime(8, 0));
    const QLocale locale = QLocale::system();
    const auto shown = [&](const QDateTime& date) { return locale.toString(date, "MMM d, HH:mm"); };
    QCOMPARE(SearchResultRow::dateText(file, std::nullopt), shown(file.modificationDate));
    QCOMPARE(SearchResultRow::dateText(file, TimeBasis::Creation), shown(file.creationDate));
    QCOMPARE(SearchResultRow::dateText(file, TimeBasis::Either), shown(file.modificationDate));
    file.creationDate = QDateTime(QDate(2026, 3, 3), QTime(8, 0));
    QCOMPARE(SearchResultRow::dateText(file, TimeBasis::Either), shown(file.creationDate));
}

void SearchPanelTest::textFieldKeys_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("caret");
    QTest::addColumn<bool>("selectAll");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QString>("raised");  // the callback, or "" when the field handled the key itself

    const int none = int(Qt::NoModifier);
    QTest::newRow("up") << "abc" << 1 << false << int(Qt::Key_Up) << none << "up";
    QTest::newRow("down") << "abc" << 1 << false << int(Qt::Key_Down) << none << "down";
    QTest::newRow("right inside the text moves the caret") << "abc" << 1 << false << int(Qt::Key_Right) << none << "";
    QTest::newRow("right at the end") << "abc" << 3 << false << int(Qt::Key_Right) << none << "right";
    QTest::newRow("right after an emoji at the end")
        << QString::fromUtf8("a\xf0\x9f\x98\x80") << 3 << false << int(Qt::Key_Right) << none << "right";
    QTest::newRow("right before the emoji") << QString::fromUtf8("a\xf0\x9f\x98\x80") << 1 << false
                                            << int(Qt::Key_Right) << none << "";
    QTest::newRow("left at the start") << "abc" << 0 << false << int(Qt::Key_Left) << none << "left";
    QTest::newRow("left inside the text") << "abc" << 2 << false << int(Qt::Key_Left) << none << "";
    QTest::newRow("left with everything selected") << "abc" << 3 << true << int(Qt::Key_Left) << none << "left";
    // With Shift or Ctrl the arrows stay the field's, as in any text field.
    const int shift = int(Qt::ShiftModifier);
    QTest::newRow("Shift-left selects") << "abc" << 3 << false << int(Qt::Key_Left) << shift << "";
    QTest::newRow("Shift-left at the start") << "abc" << 0 << false << int(Qt::Key_Left) << shift << "";
    QTest::newRow("Shift-right at the end") << "abc" << 3 << false << int(Qt::Key_Right) << shift << "";
    QTest::newRow("Shift-up") << "abc" << 3 << false << int(Qt::Key_Up) << shift << "";
    QTest::newRow("Shift-down") << "abc" << 0 << false << int(Qt::Key_Down) << shift << "";
    QTest::newRow("Ctrl-left at the start") << "abc" << 0 << false << int(Qt::Key_Left) << int(Qt::ControlModifier) << "";
    QTest::newRow("Ctrl-right at the end") << "abc" << 3 << false << int(Qt::Key_Right) << int(Qt::ControlModifier)
                                           << "";
    QTest::newRow("return") << "abc" << 3 << false << int(Qt::Key_Return) << none << "return";
    QTest::newRow("escape") << "abc" << 3 << false << int(Qt::Key_Escape) << none << "escape";
    QTest::newRow("Ctrl-M") << "abc" << 3 << false << int(Qt::Key_M) << int(Qt::ControlModifier) << "M";
    QTest::newRow("Ctrl-Shift-M") << "abc" << 3 << false << int(Qt::Key_M)
                                  << int(Qt::ControlModifier | Qt::ShiftModifier) << "M";
    QTest::newRow("Ctrl-P") << "abc" << 3 << false << int(Qt::Key_P) << int(Qt::ControlModifier) << "P";
    QTest::newRow("Ctrl-S") << "abc" << 3 << false << int(Qt::Key_S) << int(Qt::ControlModifier) << "S";
    QTest::newRow("Ctrl-F") << "abc" << 3 << false << int(Qt::Key_F) << int(Qt::ControlModifier) << "F";
    QTest::newRow("Ctrl-D") << "abc" << 3 << false << int(Qt::Key_D) << int(Qt::ControlModifier) << "D";
    QTest::newRow("Ctrl-A stays the field's") << "abc" << 1 << false << int(Qt::Key_A) << int(Qt::ControlModifier)
                                              << "";
}

void SearchPanelTest::textFieldKeys()
{
    QFETCH(QString, text);
    QFETCH(int, caret);
    QFETCH(bool, selectAll);
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(QString, raised);

    QStringList calls;
    const auto record = [&calls](const char* name) { return [&calls, name] { calls.append(name); }; };
    SearchTextField::Callbacks callbacks{record("up"),     record("down"), record("right"), record("left"),
                                         record("return"), record("M"),    record("P"),     record("S"),
                                         record("F"),      record("D"),    record("escape")};
    SearchTextField field(callbacks);
    field.setText(text);
    field.setCursorPosition(caret);
    if (selectAll)
        field.selectAll();
    field.show();

    QTest::keyClick(&field, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QCOMPARE(calls, raised.isEmpty() ? QStringList{} : QStringList{raised});
    QCOMPARE(field.text(), text);
    if (key == Qt::Key_Right && raised.isEmpty() && modifiers == Qt::NoModifier)
        QVERIFY(field.cursorPosition() > caret);
    if (key == Qt::Key_Left && modifiers == Qt::ShiftModifier && caret > 0)
        QCOMPARE(field.selectedText(), text.right(1));

    // Without callbacks the commands are still taken, and nothing is typed.
    SearchTextField bare({});
    bare.show();
    QTest::keyClick(&bare, Qt::Key_D, Qt::ControlModifier);
    QCOMPARE(bare.text(), QString());
}

void SearchPanelTest::textFieldSyncKeepsTheCaret()
{
    SearchTextField field({});
    field.setText("hello");
    field.setCursorPosition(2);
    field.syncText("hello");
    QCOMPARE(field.cursorPosition(), 2);
    field.syncText("");
    QCOMPARE(field.text(), QString());
}

void SearchPanelTest::withoutScannerThePanelIsEmpty()
{
    SearchHome home;
    SearchWindowController controller(home.settings, [] { return QList<FileEntry>{}; }, {});
    controller.show();
    QVERIFY(controller.panel()->isVisible());
    QVERIFY(!controller.searchIndex());
    // Keys pass through the monitor untouched.
    QLineEdit other;
    other.show();
    QTest::keyClick(&other, Qt::Key_S, Qt::ControlModifier);
    QTest::keyClicks(&other, "ok");
    QCOMPARE(other.text(), QStringLiteral("ok"));
}

QTEST_MAIN(SearchPanelTest)
#include "tst_search_panel.moc"
