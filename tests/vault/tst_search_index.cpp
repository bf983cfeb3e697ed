// The search panel's model: what a query, a scope, the hidden-file rules and the extension chips
// keep and in which order; the deep search; the selection; folder mode; and removal after a delete.

#include "SearchFixture.h"
#include "VaultFixture.h"

#include "vault/SearchIndex.h"

#include <QSemaphore>
#include <QSignalSpy>
#include <QTest>

#include <atomic>

using namespace harkwell;
using namespace harkwell::test;

Q_DECLARE_METATYPE(SearchIndex::Scope)

namespace {

using Source = FileEntry::Source;

// The recent lists: five vault files (one a system file), one each in the inbox, outbox and
// handoff, and an inbox entry with the path of a vault file: the scanner's own inbox entry stands
// for that path.
void setRecentLists(SearchHome& home)
{
    const QString v = home.vault();
    home.listers->set(
        {
            entry(v, "Foo/bar-notes.md", at(4, 8)),
            entry(v, "Projects/plan.pdf", at(3, 10)),
            entry(v, "Projects/config.JSON", at(2)),
            entry(v, "Finance/budget.xlsx", at(1, 11), Source::Vault, "ekonomi", "möte"),
            entry(v, "Work/report.docx", at(1, 8)),
        },
        {entry(v, "_outbox/client/letter.pdf", at(1, 7), Source::Outbox)},
        {entry(v, "_inbox/260303-101500.md", at(3, 11), Source::Inbox),
         entry(v, "Foo/bar-notes.md", at(4, 8), Source::Inbox)},
        {entry(v, ".handoff/brief.txt", at(1, 6), Source::Handoff)});
}

}  // namespace

class SearchIndexTest : public QObject {
    Q_OBJECT

private slots:
    void searchKeepsAndOrders_data();
    void searchKeepsAndOrders();
    void resultsAreCappedAfterSorting();
    void typedLetterByLetterFindsWhatAWholeQueryFinds();
    void orderFollowsTimeBasis();
    void followsTheScanner();
    void deepSearchLoadsEveryFileOnce();
    void deepSearchKeepsTheRecentResultsWhileLoading();
    void hiddenFilesFollowThePatternsAndExtensions_data();
    void hiddenFilesFollowThePatternsAndExtensions();
    void selectionStaysInsideTheList();
    void resetKeepsFolderModeAndTheHiddenSwitch();
    void folderModeListsTheSelectedFilesFolder();
    void folderModeOfAFolderThatCannotBeListed();
    void folderModeOutsideTheVaultGivesBareNames();
    void removalKeepsTheSelectionInsideTheList();
    void extensionRule_data();
    void extensionRule();
};

void SearchIndexTest::searchKeepsAndOrders_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<SearchIndex::Scope>("scope");
    QTest::addColumn<bool>("hideSystemFiles");
    QTest::addColumn<QStringList>("filters");
    QTest::addColumn<QStringList>("expected");

    const QStringList everythingShown{"bar-notes.md", "260303-101500.md", "plan.pdf",  "budget.xlsx",
                                      "report.docx",  "letter.pdf",       "brief.txt"};
    QTest::newRow("empty query: every file newest first, system files hidden")
        << "" << SearchIndex::Scope::All << true << QStringList{} << everythingShown;
    QTest::newRow("a blank query is an empty one") << " \t \u00a0" << SearchIndex::Scope::All << true << QStringList{}
                                                   << everythingShown;
    QTest::newRow("words may match different parts of the path")
        << "  Foo   bar " << SearchIndex::Scope::All << true << QStringList{} << QStringList{"bar-notes.md"};
    QTest::newRow("words match the domain and the type")
        << "EKONOMI möte" << SearchIndex::Scope::All << true << QStringList{} << QStringList{"budget.xlsx"};
    QTest::newRow("a decomposed accent matches a composed one")
        << QString::fromUtf8("mo\xcc\x88te") << SearchIndex::Scope::All << true << QStringList{}
        << QStringList{"budget.xlsx"};
    QTest::newRow("every word must match") << "plan zzz" << SearchIndex::Scope::All << true << QStringList{}
                                           << QStringList{};
    QTest::newRow("inbox scope: the inbox list, its entry winning over the vault's of the same path")
        << "" << SearchIndex::Scope::Inbox << true << QStringList{} << QStringList{"bar-notes.md", "260303-101500.md"};
    QTest::newRow("outbox scope") << "" << SearchIndex::Scope::Outbox << true << QStringList{}
                                  << QStringList{"letter.pdf"};
    QTest::newRow("handoff scope") << "" << SearchIndex::Scope::Handoff << true << QStringList{}
                                   << QStringList{"brief.txt"};
    QTest::newRow("one chip") << "" << SearchIndex::Scope::All << true << QStringList{"pdf"}
                              << QStringList{"plan.pdf", "letter.pdf"};
    QTest::newRow("two chips keep either group")
        << "" << SearchIndex::Scope::All << true << QStringList{"pdf", "doc", "docx", "odt"}
        << QStringList{"plan.pdf", "report.docx", "letter.pdf"};
    QTest::newRow("a system file is hidden, whatever its extension's case")
        << "config" << SearchIndex::Scope::All << true << QStringList{} << QStringList{};
    QTest::newRow("shown when system files are") << "config" << SearchIndex::Scope::All << false << QStringList{}
                                                 << QStringList{"config.JSON"};
}

void SearchIndexTest::searchKeepsAndOrders()
{
    QFETCH(QString, query);
    QFETCH(SearchIndex::Scope, scope);
    QFETCH(bool, hideSystemFiles);
    QFETCH(QStringList, filters);
    QFETCH(QStringList, expected);

    SearchHome home;
    setRecentLists(home);
    auto scanner = home.scanner();
    SearchIndex index(*scanner, home.settings, [] { return QList<FileEntry>{}; });
    index.setScope(scope);
    index.setHideSystemFiles(hideSystemFiles);
    index.setActiveExtFilters(QSet<QString>(filters.cbegin(), filters.cend()));
    index.setQuery(query);

    QCOMPARE(names(index.results()), expected);
    QCOMPARE(index.selectedIndex(), 0);
    QCOMPARE(index.indexFileCount(), 8);  // nine listed, one path twice
}

void SearchIndexTest::resultsAreCappedAfterSorting()
{
    SearchHome home;
    QList<FileEntry> many;
    // Listed oldest first, so the cap must come after the sort to keep the newest.
    for (int i = 0; i < 600; ++i)
        many.append(entry(home.vault(), QStringLiteral("n/%1.md").arg(i), at(1).addSecs(i)));
    home.listers->set(many);
    auto scanner = home.scanner();
    SearchIndex index(*scanner, home.settings, [] { return QList<FileEntry>{}; });
    index.search();

    QCOMPARE(index.results().size(), SearchIndex::kMaxResults);
    QCOMPARE(index.results().first().filename, QStringLiteral("599.md"));
    QCOMPARE(index.results().last().filename, QStringLiteral("100.md"));
}

// Every file whose name, path, folder, domain or type holds each word, whether the query was typed
// a letter at a time (each keystroke narrowing the last) or given whole, checked against a plain
// scan of the same files.
void SearchIndexTest::typedLetterByLetterFindsWhatAWholeQueryFinds()
{
    SearchHome home;
    const QString v = home.vault();
    const QStringList words{"möte", "plan", "Budget", "zq", "résumé", "2603", "x-1", "Ärende"};
    QList<FileEntry> files;
    for (int i = 0; i < 240; ++i) {
        const QString folder = words[i % 8] + QStringLiteral("-%1").arg(i % 5);
        const QString name = words[(i * 3) % 8] + QLatin1Char('_') + words[(i * 5 + 1) % 8] + QStringLiteral("%1.md").arg(i);
        const QString relative = i % 7 == 0 ? name : folder + QLatin1Char('/') + name;
        FileEntry made = entry(v, relative, at(1 + i % 28, i % 24), FileEntry::Source::Vault,
                               i % 4 == 0 ? std::optional<QString>(words[(i + 2) % 8]) : std::nullopt,
                               i % 6 == 0 ? std::optional<QString>(QStringLiteral("Kvitto")) : std::nullopt);
        if (i % 7 == 0)
            made.parentFolder = QStringLiteral("Valv");  // a top-level file's folder is the vault's own name
        files.append(made);
    }
    home.listers->set(files);
    auto scanner = home.scanner();
    SearchIndex typed(*scanner, home.settings, [] { return QList<FileEntry>{}; });
    SearchIndex whole(*scanner, home.settings, [] { return QList<FileEntry>{}; });
    const auto fold = [](const QString& text) { return text.toLower().normalized(QString::NormalizationForm_C); };
    const auto expected = [&](const QString& query) {
        QSet<QString> found;
        for (const FileEntry& file : files) {
            const QStringList fields{file.filename, file.relativePath, file.parentFolder, file.domain.value_or(""),
                                     file.fileType.value_or("")};
            bool all = true;
            for (const QString& word : fold(query).split(' ', Qt::SkipEmptyParts))
                all = all && std::any_of(fields.cbegin(), fields.cend(), [&](const QString& f) { return fold(f).contains(word); });
            if (all)
                found.insert(file.filename);
        }
        return found;
    };
    const auto asSet = [](const QList<FileEntry>& list) {
        QSet<QString> set;
        for (const FileEntry& file : list)
            set.insert(file.filename);
        return set;
    };
    for (const QString& query : {QStringLiteral("plan möte"), QStringLiteral("valv zq"), QStringLiteral("kvitto 26"),
                                 QString::fromUtf8("re\xcc\x81sume\xcc\x81 x-1"), QStringLiteral("ärende budget-3"),
                                 QStringLiteral("q zq"), QStringLiteral("budgetz")}) {
        typed.reset();
        for (qsizetype length = 1; length <= query.size(); ++length) {
            typed.setQuery(query.left(length));
            whole.reset();
            whole.setQuery(query.left(length));
            QCOMPARE(asSet(typed.results()), expected(query.left(length)));
            QCOMPARE(names(typed.results()), names(whole.results()));
        }
    }
}

void SearchIndexTest::orderFollowsTimeBasis()
{
    SearchHome home;
    FileEntry created = entry(home.vault(), "a/created-late.md", at(1));
    created.creationDate = at(3);
    FileEntry modified = entry(home.vault(), "a/modified-late.md", at(2));
    modified.creationDate = at(1);
    home.listers->set({created, modified});
    auto scanner = home.scanner();
    SearchIndex index(*scanner, home.settings, [] { return QList<FileEntry>{}; });

    index.search();
    QCOMPARE(names(index.results()), (QStringList{"modified-late.md", "created-late.md"}));
    home.settings.update([](AppSettings& values) { values.timeBasis = TimeBasis::Either; });
    index.search();
    QCOMPARE(names(index.results()), (QStringList{"created-late.md", "modified-late.md"}));
}

void SearchIndexTest::followsTheScanner()
{
    SearchHome home;
    home.listers->set({entry(home.vault(), "a/first.md", at(1))});
    auto scanner = home.scanner();
    SearchIndex index(*scanner, home.settings, [] { return QList<FileEntry>{}; });
    index.setQuery("second");
    QVERIFY(index.results().isEmpty());

    home.listers->set({entry(home.vault(), "a/first.md", at(1)), entry(home.vault(), "a/second.md", at(2))});
    scanner->refresh();
    QTRY_COMPARE_WITH_TIMEOUT(names(index.results()), QStringList{"second.md"}, 10000);
    QCOMPARE(index.indexFileCount(), 2);

    // Closed, the panel's index only notes the scanner's changes; it catches up when it opens.
    index.setPanelOpen(false);
    const int builds = index.preparedBuilds();
    QSignalSpy changed(&index, &SearchIndex::changed);
    home.listers->set({entry(home.vault(), "a/first.md", at(1)), entry(home.vault(), "a/second.md", at(2)),
                       entry(home.vault(), "b/second-draft.md", at(3))});
    scanner->refresh();
    QTRY_VERIFY_WITH_TIMEOUT(!scanner->isScanning(), 10000);
    QTest::qWait(3 * SearchIndex::kFollowDelayMs);
    QCOMPARE(changed.size(), 0);
    QCOMPARE(index.preparedBuilds(), builds);
    QCOMPARE(names(index.results()), QStringList{"second.md"});

    index.setPanelOpen(true);
    QCOMPARE(names(index.results()), (QStringList{"second-draft.md", "second.md"}));
    QCOMPARE(index.indexFileCount(), 3);
}

void SearchIndexTest::deepSearchLoadsEveryFileOnce()
{
    SearchHome home;
    setRecentLists(home);
    auto scanner = home.scanner();
    const QString v = home.vault();
    std::atomic<int> loads = 0;
    // Old files the recent lists do not hold, and a vault file whose path the inbox list also has.
    SearchIndex index(*scanner, home.settings, [&loads, v] {
        ++loads;
        return QList<FileEntry>{entry(v, "Archive/2019-plan.md", QDateTime(QDate(2019, 5, 1), QTime(9, 0))),
                                entry(v, "Archive/2018-plan.md", QDateTime(QDate(2018, 5, 1), QTime(9, 0))),
                                entry(v, "Foo/bar-notes.md", at(4, 8))};
    });

    index.setQuery("plan");
    QCOMPARE(names(index.results()), QStringList{"plan.pdf"});
    index.setDeepSearch(true);
    QTRY_VERIFY_WITH_TIMEOUT(!index.isLoadingFull(), 10000);
    QCOMPARE(names(index.results()), (QStringList{"2019-plan.md", "2018-plan.md"}));
    QCOMPARE(index.indexFileCount(), 3);  // as listed, the duplicate included

    // The structure lists follow the scanner: the inbox scope of the deep index is the scanner's inbox.
    index.setQuery("");
    index.setScope(SearchIndex::Scope::Inbox);
    QCOMPARE(names(index.results()), (QStringList{"bar-notes.md", "260303-101500.md"}));
    QCOMPARE(index.results().first().source, Source::Inbox);
    index.rebuildIndex();
    QCOMPARE(index.indexFileCount(), 6);  // the merged full index: the listing and four structure files, less one path

    index.setDeepSearch(false);
    index.setDeepSearch(true);
    QVERIFY(!index.isLoadingFull());
    QCOMPARE(loads.load(), 1);

    index.reset();  // drops the full index
    QVERIFY(!index.isDeepSearch());
    index.setDeepSearch(true);
    QTRY_VERIFY_WITH_TIMEOUT(!index.isLoadingFull(), 10000);
    QCOMPARE(loads.load(), 2);
}

void SearchIndexTest::deepSearchKeepsTheRecentResultsWhileLoading()
{
    SearchHome home;
    setRecentLists(home);
    auto scanner = home.scanner();
    auto release = std::make_shared<QSemaphore>();
    SearchIndex index(*scanner, home.settings, [release, v = home.vault()] {
        release->acquire();
        return QList<FileEntry>{entry(v, "Archive/old.md", QDateTime(QDate(2019, 5, 1), QTime(9, 0)))};
    });
    index.search();
    const QStringList recent = names(index.results());

    index.setDeepSearch(true);
    QVERIFY(index.isLoadingFull());
    QCOMPARE(names(index.results()), recent);
    release->release();
    QTRY_VERIFY_WITH_TIMEOUT(!index.isLoadingFull(), 10000);
    QVERIFY(names(index.results()).contains("old.md"));
}

void SearchIndexTest::hiddenFilesFollowThePatternsAndExtensions_data()
{
    QTest::addColumn<QString>("filename");
    QTest::addColumn<bool>("hidden");

    QTest::newRow("a default pattern") << "README.md" << true;
    QTest::newRow("a pattern, letter case aside") << "readme.MD" << true;
    QTest::newRow("a pattern with a wildcard") << "_manifest-2026.md" << true;
    QTest::newRow("a hidden extension, upper case") << "config.JSON" << true;
    QTest::newRow("a log file") << "run.log" << true;
    QTest::newRow("an ordinary note") << "notes.md" << false;
    QTest::newRow("a name that only contains a pattern") << "my-README.md" << false;
}

void SearchIndexTest::hiddenFilesFollowThePatternsAndExtensions()
{
    QFETCH(QString, filename);
    QFETCH(bool, hidden);

    // The deep listing, which the scanner's exclusions do not touch, brings the file in.
    SearchHome home;
    auto scanner = home.scanner();
    const FileEntry file = entry(home.vault(), "a/" + filename, at(1));
    SearchIndex index(*scanner, home.settings, [file] { return QList<FileEntry>{file}; });
    index.setDeepSearch(true);
    QTRY_VERIFY_WITH_TIMEOUT(!index.isLoadingFull(), 10000);

    QCOMPARE(index.results().isEmpty(), hidden);
    index.setHideSystemFiles(false);
    QCOMPARE(names(index.results()), QStringList{filename});
}

void SearchIndexTest::selectionStaysInsideTheList()
{
    SearchHome home;
    setRecentLists(home);
    auto scanner = home.scanner();
    SearchIndex index(*scanner, home.settings, [] { return QList<FileEntry>{}; });
    index.setQuery("pdf");
    QCOMPARE(index.results().size(), 2);

    index.moveUp();
    QCOMPARE(index.selectedIndex(), 0);
    index.moveDown();
    index.moveDown();
    QCOMPARE(index.selectedIndex(), 1);
    QCOMPARE(index.selectedFile()->filename, QStringLiteral("letter.pdf"));

    // A list that shrank past the selection selects nothing.
    index.setSelectedIndex(5);
    QVERIFY(!index.selectedFile());
}

void SearchIndexTest::resetKeepsFolderModeAndTheHiddenSwitch()
{
    SearchHome home;
    VaultTree::file(home.vault(), "Foo/bar-notes.md", at(4, 8));
    setRecentLists(home);
    auto scanner = home.scanner();
    SearchIndex index(*scanner, home.settings, [] { return QList<FileEntry>{}; });
    index.setQuery("bar");
    index.setScope(SearchIndex::Scope::All);
    index.setActiveExtFilters({"md"});
    index.setHideSystemFiles(false);
    index.drillIntoFolder();
    QCOMPARE(index.folderPath(), QStringLiteral("Foo"));
    QTRY_COMPARE(names(index.folderFiles()), QStringList{"bar-notes.md"});

    index.reset();
    QCOMPARE(index.query(), QString());
    QVERIFY(index.activeExtFilters().isEmpty());
    QCOMPARE(index.scope(), SearchIndex::Scope::All);
    QVERIFY(!index.hideSystemFiles());
    QCOMPARE(index.folderPath(), QStringLiteral("Foo"));
    QCOMPARE(names(index.folderFiles()), QStringList{"bar-notes.md"});
}

void SearchIndexTest::folderModeListsTheSelectedFilesFolder()
{
    SearchHome home;
    const QString v = home.vault();
    VaultTree::file(v, "Work/Acme/260301-kickoff-acme.md", at(1));
    VaultTree::file(v, "Work/Acme/beta.md", at(3));
    VaultTree::file(v, "Work/Acme/Alpha.md", at(2));
    VaultTree::file(v, "Work/Acme/.hidden.md", at(4));
    VaultTree::file(v, "Work/Acme/Sub/deeper.md", at(4));
    QFile::link(v + "/Work/Acme/beta.md", v + "/Work/Acme/link.md");
    home.listers->set({entry(v, "Work/Acme/Alpha.md", at(2))});
    auto scanner = home.scanner();
    SearchIndex index(*scanner, home.settings, [] { return QList<FileEntry>{}; });
    index.search();

    index.drillIntoFolder();
    QCOMPARE(index.folderPath(), QStringLiteral("Work/Acme"));
    QTRY_COMPARE(names(index.folderFiles()), (QStringList{"beta.md", "Alpha.md", "260301-kickoff-acme.md"}));
    QCOMPARE(index.selectedIndex(), 1);  // the file drilled from
    QCOMPARE(index.selectedFile()->relativePath, QStringLiteral("Work/Acme/Alpha.md"));
    QCOMPARE(index.selectedFile()->parentFolder, QStringLiteral("Acme"));
    QCOMPARE(index.selectedFile()->source, Source::Vault);
    QVERIFY(index.folderFiles().last().filenameDate.has_value());  // classified like a listed file

    index.setFolderSortByName(true);
    QCOMPARE(names(index.folderFiles()), (QStringList{"260301-kickoff-acme.md", "Alpha.md", "beta.md"}));

    index.exitFolderMode();
    QVERIFY(!index.folderPath());
    QVERIFY(index.folderFiles().isEmpty());
    QVERIFY(!index.folderSortByName());
}

void SearchIndexTest::folderModeOfAFolderThatCannotBeListed()
{
    SearchHome home;
    home.listers->set({entry(home.vault(), "a.md", at(1)), entry(home.vault(), "Gone/b.md", at(2))});
    auto scanner = home.scanner();
    SearchIndex index(*scanner, home.settings, [] { return QList<FileEntry>{}; });
    index.search();
    index.setSelectedIndex(0);  // Gone/b.md, whose folder does not exist

    index.drillIntoFolder();
    QCOMPARE(index.folderPath(), QStringLiteral("Gone"));
    QVERIFY(index.folderFiles().isEmpty());

    index.exitFolderMode();
    index.setSelectedIndex(1);  // a.md, at the top of the vault
    VaultTree::file(home.vault(), "a.md", at(1));
    index.drillIntoFolder();
    QCOMPARE(index.folderPath(), QString());  // the entry's parent folder: none at the top
}

void SearchIndexTest::folderModeOutsideTheVaultGivesBareNames()
{
    SearchHome home;
    const QString outside = home.home.make("elsewhere/Notes");
    VaultTree::file(outside, "one.md", at(1));
    FileEntry file = entry(home.home.path(), "elsewhere/Notes/one.md", at(1), Source::Workspace);
    file.relativePath = "one.md";
    file.parentFolder = "Notes";
    home.listers->set({file});
    auto scanner = home.scanner();
    SearchIndex index(*scanner, home.settings, [] { return QList<FileEntry>{}; });
    index.search();

    index.drillIntoFolder();
    QCOMPARE(index.folderPath(), QStringLiteral("Notes"));
    QTRY_COMPARE(index.folderFiles().size(), 1);
    QCOMPARE(index.folderFiles().first().relativePath, QStringLiteral("one.md"));
    QCOMPARE(index.folderFiles().first().source, Source::Workspace);
}

void SearchIndexTest::removalKeepsTheSelectionInsideTheList()
{
    SearchHome home;
    const QString v = home.vault();
    VaultTree::file(v, "F/a.md", at(3));
    VaultTree::file(v, "F/b.md", at(2));
    home.listers->set({entry(v, "F/a.md", at(3)), entry(v, "F/b.md", at(2)), entry(v, "c.md", at(1))});
    auto scanner = home.scanner();
    SearchIndex index(*scanner, home.settings, [] { return QList<FileEntry>{}; });
    index.search();

    index.setSelectedIndex(2);
    index.removeFromCurrentList(*index.selectedFile());
    QCOMPARE(names(index.results()), (QStringList{"a.md", "b.md"}));
    QCOMPARE(index.selectedIndex(), 1);

    // In folder mode only the folder list loses the file; the results keep it until the next search.
    index.drillIntoFolder();
    QTRY_COMPARE(names(index.folderFiles()), (QStringList{"a.md", "b.md"}));
    index.removeFromCurrentList(*index.selectedFile());
    QCOMPARE(names(index.folderFiles()), QStringList{"a.md"});
    QCOMPARE(index.selectedIndex(), 0);
    index.exitFolderMode();
    QCOMPARE(names(index.results()), (QStringList{"a.md", "b.md"}));

    index.setQuery("a.md");
    index.removeFromCurrentList(index.results().first());
    QVERIFY(index.results().isEmpty());
    QCOMPARE(index.selectedIndex(), 0);
    index.setQuery("");
    QCOMPARE(names(index.results()), QStringList{"b.md"});  // gone from the index as well
}

void SearchIndexTest::extensionRule_data()
{
    QTest::addColumn<QString>("filename");
    QTest::addColumn<QString>("extension");
    QTest::newRow("last one only") << "a.tar.gz" << "gz";
    QTest::newRow("none") << "Makefile" << "";
    QTest::newRow("lower-cased") << "Deck.PPTX" << "pptx";
    QTest::newRow("trailing full stop") << "odd." << "";
}

void SearchIndexTest::extensionRule()
{
    QFETCH(QString, filename);
    QFETCH(QString, extension);
    QCOMPARE(SearchIndex::extensionOf(filename), extension);
}

QTEST_GUILESS_MAIN(SearchIndexTest)
#include "tst_search_index.moc"
