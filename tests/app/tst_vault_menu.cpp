// The menu's "Vault" submenu: today's files flat or by folder, the recent days with their cutoff
// and time basis, the inbox and handoff by day with the day limit and "Older" by month, and the
// outbox with its delivery folders, their dates, manifests and mail rows.

#include "MenuTree.h"
#include "app/VaultMenu.h"
#include "support/TempHome.h"

#include <QTest>

using namespace harkwell;
using harkwell::test::findRow;

using Fields = QMap<QString, QString>;
Q_DECLARE_METATYPE(std::optional<int>)
using harkwell::test::tree;

namespace {

const QDateTime kNow(QDate(2026, 3, 4), QTime(14, 30));

QDateTime at(int month, int day, int hour = 12, int minute = 0) { return QDateTime(QDate(2026, month, day), QTime(hour, minute)); }

FileEntry file(const QString& relativePath, const QDateTime& modified, const QDateTime& created = {})
{
    const QStringList pieces = relativePath.split('/');
    FileEntry entry;
    entry.id = QUuid::createUuid();
    entry.filename = pieces.last();
    entry.relativePath = relativePath;
    entry.parentFolder = pieces.size() > 1 ? pieces[pieces.size() - 2] : QString();
    entry.modificationDate = modified;
    entry.creationDate = created.isValid() ? created : modified;
    entry.fullPath = QUrl::fromLocalFile("/vault/" + relativePath);
    return entry;
}

QList<FileEntry> numbered(int count, const QString& folder = {})
{
    QList<FileEntry> files;
    for (int i = 1; i <= count; ++i)
        files << file((folder.isEmpty() ? QString() : folder + "/") + QString("n%1.md").arg(i), at(3, 4, 9, i));
    return files;
}

VaultMenu::Inputs inputs()
{
    VaultMenu::Inputs in;
    in.now = kNow;
    return in;
}

// Two files a day on each given day, newest day first.
QList<FileEntry> twoADay(const QList<QDate>& days, const QString& folder)
{
    QList<FileEntry> files;
    for (const QDate& day : days)
        for (int i : {2, 1})
            files << file(folder + "/" + day.toString("MMdd") + QString("-%1.md").arg(i), QDateTime(day, QTime(10, i)));
    return files;
}

}  // namespace

class VaultMenuTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

    void fileLabel_data()
    {
        QTest::addColumn<QString>("domain");
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("label");
        QTest::newRow("domain and type") << "work" << "meeting" << "notes.md  \u2014  work / meeting";
        QTest::newRow("domain alone") << "work" << "" << "notes.md  \u2014  work";
        QTest::newRow("type without domain: the folder") << "" << "meeting" << "notes.md  \u2014  Projects";
    }
    void fileLabel()
    {
        QFETCH(QString, domain);
        QFETCH(QString, type);
        QFETCH(QString, label);
        FileEntry entry = file("Projects/notes.md", at(3, 4));
        if (!domain.isEmpty())
            entry.domain = domain;
        if (!type.isEmpty())
            entry.fileType = type;
        QCOMPARE(DayMenus::fileLabel(entry), label);

        QList<QUrl> opened;
        DayMenus::fileRow(entry, [&](const QUrl& url) { opened << url; }).action();
        QCOMPARE(opened, QList<QUrl>{QUrl::fromLocalFile("/vault/Projects/notes.md")});
    }

    void today_data()
    {
        QTest::addColumn<QList<FileEntry>>("files");
        QTest::addColumn<std::optional<int>>("threshold");
        QTest::addColumn<QStringList>("menu");  // two levels: "Today (N)" and its rows

        QTest::newRow("no files") << QList<FileEntry>{} << std::optional<int>{}
                                  << QStringList{"Today (0)", "  No files created today"};
        {
            QStringList flat{"Today (15)"};
            for (int i = 1; i <= 15; ++i)
                flat << QString("  n%1.md  \u2014  ").arg(i);
            QTest::newRow("15 files, threshold unset: flat") << numbered(15) << std::optional<int>{} << flat;
        }
        QTest::newRow("16 files, threshold unset: by folder")
            << numbered(10, "A") + numbered(6, "B") << std::optional<int>{} << QStringList{"Today (16)", "  A (10)", "  B (6)"};
        QTest::newRow("threshold 0 acts as 1: two files grouped")
            << numbered(2, "A") << std::optional<int>(0) << QStringList{"Today (2)", "  A (2)"};
        QTest::newRow("a folder's name holding %1 stays as it is")
            << numbered(2, "Take %1") << std::optional<int>(1) << QStringList{"Today (2)", "  Take %1 (2)"};
        QTest::newRow("threshold 0 acts as 1: one file flat")
            << numbered(1, "A") << std::optional<int>(0) << QStringList{"Today (1)", "  n1.md  \u2014  A"};
        QTest::newRow("more files first, then by name; (root) before capitals")
            << QList<FileEntry>{file("Notes/x.md", at(3, 4, 9)), file("top.md", at(3, 4, 8)), file("Projects/a.md", at(3, 4, 7)),
                                file("Projects/b.md", at(3, 4, 6))}
            << std::optional<int>(1) << QStringList{"Today (4)", "  Projects (2)", "  (root) (1)", "  Notes (1)"};
    }
    void today()
    {
        QFETCH(QList<FileEntry>, files);
        QFETCH(std::optional<int>, threshold);
        QFETCH(QStringList, menu);
        VaultMenu::Inputs in = inputs();
        in.lists.today = files;
        in.settings.todayGroupThreshold = threshold;
        QCOMPARE(tree({VaultMenu::today(in, {})}, 2), menu);
    }

    void folderGroupKeepsInputOrder()
    {
        const auto groups = DayMenus::groupByFolder({file("P/b.md", at(3, 4, 9)), file("P/sub/a.md", at(3, 4, 10))});
        QCOMPARE(groups.size(), 1);
        QCOMPARE(groups[0].files[0].filename, QString("b.md"));
    }

    void recent_data()
    {
        QTest::addColumn<QList<FileEntry>>("files");
        QTest::addColumn<TimeBasis>("basis");
        QTest::addColumn<QStringList>("menu");

        QTest::newRow("seven days back from midnight")
            << QList<FileEntry>{file("in.md", at(2, 25, 0, 1)), file("out.md", at(2, 24, 23, 59))} << TimeBasis::Modification
            << QStringList{"Recent (7 days)", "  Feb 25 (1)", "    in.md  \u2014  "};
        QTest::newRow("nothing inside the window: no submenu")
            << QList<FileEntry>{file("out.md", at(2, 24, 23, 59))} << TimeBasis::Modification << QStringList{};
        QTest::newRow("either: the later date, newest first inside a day")
            << QList<FileEntry>{file("a.md", at(3, 3, 9), at(3, 1, 9)), file("b.md", at(2, 28), at(3, 3, 18)),
                                file("c.md", at(3, 2))}
            << TimeBasis::Either
            << QStringList{"Recent (7 days)", "  Yesterday (2)", "    b.md  \u2014  ", "    a.md  \u2014  ", "  Mar 2 (1)",
                           "    c.md  \u2014  "};
        QTest::newRow("creation")
            << QList<FileEntry>{file("a.md", at(3, 3, 9), at(3, 1, 9))} << TimeBasis::Creation
            << QStringList{"Recent (7 days)", "  Mar 1 (1)", "    a.md  \u2014  "};
    }
    void recent()
    {
        QFETCH(QList<FileEntry>, files);
        QFETCH(TimeBasis, basis);
        QFETCH(QStringList, menu);
        VaultMenu::Inputs in = inputs();
        in.lists.recent = files;
        in.settings.timeBasis = basis;
        QCOMPARE(tree(VaultMenu::recent(in, {})), menu);
    }

    void inboxDays_data()
    {
        QTest::addColumn<std::optional<int>>("dayLimit");
        QTest::addColumn<QStringList>("menu");    // the submenu and its days
        QTest::addColumn<QStringList>("months");  // inside "Older"

        QTest::newRow("limit unset: ten days, then Older by month")
            << std::optional<int>{}
            << QStringList{"Inbox (24)",   "  Today (2)",  "  Yesterday (2)", "  Mar 2 (2)",  "  Mar 1 (2)", "  Feb 28 (2)",
                           "  Feb 27 (2)", "  Feb 26 (2)", "  Feb 25 (2)",    "  Feb 24 (2)", "  Feb 23 (2)", "  Older (4)"}
            << QStringList{"February 2026 (2)", "  Feb 22 (2)", "January 2026 (2)", "  Jan 15 (2)"};
        QTest::newRow("limit 0 acts as 1")
            << std::optional<int>(0) << QStringList{"Inbox (24)", "  Today (2)", "  Older (22)"}
            << QStringList{"March 2026 (6)", "  Yesterday (2)", "  Mar 2 (2)", "  Mar 1 (2)", "February 2026 (14)",
                           "  Feb 28 (2)", "  Feb 27 (2)", "  Feb 26 (2)", "  Feb 25 (2)", "  Feb 24 (2)", "  Feb 23 (2)",
                           "  Feb 22 (2)", "January 2026 (2)", "  Jan 15 (2)"};
    }
    void inboxDays()
    {
        QFETCH(std::optional<int>, dayLimit);
        QFETCH(QStringList, menu);
        QFETCH(QStringList, months);
        QList<QDate> days;
        for (int back = 0; back <= 10; ++back)
            days << kNow.date().addDays(-back);
        days << QDate(2026, 1, 15);
        VaultMenu::Inputs in = inputs();
        in.lists.inbox = twoADay(days, "_inbox");
        in.settings.menuDayLimit = dayLimit;
        const MenuRows rows = VaultMenu::specialFolder("Inbox", in.lists.inbox, std::nullopt, in, {});
        QCOMPARE(tree(rows, 2), menu);
        QCOMPARE(tree(rows.first().children.last().children, 2), months);
        // An older day keeps its files, newest first.
        const auto day = findRow(rows, "Jan 15 (2)");
        QVERIFY(day);
        QCOMPARE(tree(day->content()), (QStringList{"0115-2.md  \u2014  _inbox", "0115-1.md  \u2014  _inbox"}));
    }

    void specialFoldersAreShownOnlyWithFiles()
    {
        VaultMenu::Inputs in = inputs();
        in.lists.handoff = numbered(15, ".handoff");
        QCOMPARE(tree({VaultMenu::submenu(in, {})}, 2),
                 (QStringList{"Vault", "  Today (0)", "  Handoff (15)", "  ---", "  Search Vault\u2026"}));
        QCOMPARE(findRow({VaultMenu::submenu(in, {})}, "Handoff (15)")->children.size(), 15);  // flat up to 15
    }

    void outbox_data()
    {
        QTest::addColumn<QList<FileEntry>>("files");
        QTest::addColumn<std::optional<int>>("threshold");
        QTest::addColumn<QStringList>("menu");

        QTest::newRow("empty: no submenu") << QList<FileEntry>{} << std::optional<int>{} << QStringList{};
        QTest::newRow("flat: a file row and a mail row each, in the given order")
            << QList<FileEntry>{file("_outbox/260110-b/x.md", at(3, 4)), file("_outbox/loose.md", at(3, 3))}
            << std::optional<int>{}
            << QStringList{"Outbox (1)", "  x.md  \u2014  260110-b", "  Mail x.md", "  loose.md  \u2014  _outbox",
                           "  Mail loose.md"};
        QTest::newRow("grouped: loose first, then days newest first, folders by name descending")
            << QList<FileEntry>{file("_outbox/251231-x/z.md", at(3, 4)), file("_outbox/260110-a/y.md", at(3, 4)),
                                file("_outbox/loose.md", at(3, 4)), file("_outbox/260110-b/deep/x.md", at(3, 4))}
            << std::optional<int>(-5)
            << QStringList{"Outbox (3)",  "  (loose) (1)", "    loose.md  \u2014  _outbox", "    Mail loose.md", "  Jan 10 (2)",
                           "    260110-b (1)", "    260110-a (1)", "  Dec 31 (1)", "    251231-x (1)"};
        QTest::newRow("only loose files: no delivery folders")
            << QList<FileEntry>{file("_outbox/a.md", at(3, 4)), file("_outbox/b.md", at(3, 4))} << std::optional<int>(1)
            << QStringList{"Outbox (0)", "  (loose) (2)", "    a.md  \u2014  _outbox", "    Mail a.md",
                           "    b.md  \u2014  _outbox", "    Mail b.md"};
        QTest::newRow("a name without a valid date is dated by its newest file")
            << QList<FileEntry>{file("_outbox/report/a.md", at(2, 1)), file("_outbox/report/b.md", at(3, 3)),
                                file("_outbox/261301-bad/c.md", at(3, 4))}
            << std::optional<int>(1)
            << QStringList{"Outbox (2)", "  Today (1)", "    261301-bad (1)", "  Yesterday (1)", "    report (2)"};
    }
    void outbox()
    {
        QFETCH(QList<FileEntry>, files);
        QFETCH(std::optional<int>, threshold);
        QFETCH(QStringList, menu);
        AppSettings settings;
        settings.outboxGroupThreshold = threshold;
        QCOMPARE(tree(OutboxMenu::rows(files, settings, kNow, {}), 3), menu);
    }

    void outboxFlatUpToFifteen()
    {
        QList<FileEntry> files = numbered(15, "_outbox");
        QCOMPARE(OutboxMenu::rows(files, {}, kNow, {}).first().children.size(), 30);
        files << file("_outbox/n16.md", at(3, 4));
        QCOMPARE(tree(OutboxMenu::rows(files, {}, kNow, {}), 2), (QStringList{"Outbox (0)", "  (loose) (16)"}));
    }

    void deliveryFolder_data()
    {
        QTest::addColumn<Fields>("manifest");
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QStringList>("menu");

        QTest::newRow("manifest with status, summary without Kanal, hidden files left out")
            << Fields{{"Status", "sent"}, {"Kontakt", "Anna"}, {"\u00c4mne", "Report"}}
            << QStringList{"b.md", "_manifest.md", "README.md", "sub/a.pdf"}
            << QStringList{"260115-report (2) \u00b7 sent", "  Anna \u00b7 Report", "  Open folder", "  Open manifest",
                           "  Mail all files (2)\u2026", "  ---", "  a.pdf", "  b.md"};
        QTest::newRow("no manifest, nothing visible")
            << Fields{} << QStringList{"_notes.md", "README.md"}
            << QStringList{"260115-report (0)", "  Open folder", "  ---"};
        QTest::newRow("two files of one name in different subfolders keep their order")
            << Fields{{"Kanal", "mail"}} << QStringList{"x/a.md", "y/a.md"}
            << QStringList{"260115-report (2)", "  mail", "  Open folder", "  Open manifest", "  Mail all files (2)\u2026", "  ---",
                           "  a.md", "  a.md"};
    }
    void deliveryFolder()
    {
        QFETCH(Fields, manifest);
        QFETCH(QStringList, files);
        QFETCH(QStringList, menu);
        test::TempHome home;
        DayMenus::FolderGroup group{"260115-report", {}};
        for (const QString& name : files)
            group.files << file("_outbox/260115-report/" + name, at(1, 15));
        AppSettings settings;
        settings.vaultPath = "~/vault";
        QStringList asked;
        OutboxMenu::Actions actions;
        actions.manifestFields = [&](const QString& folder) {
            asked << folder;
            return manifest;
        };
        QCOMPARE(tree({OutboxMenu::deliveryMenu(group, settings, actions)}), menu);
        QCOMPARE(asked, QStringList{home.path() + "/vault/_outbox/260115-report"});
    }

    void deliveryFolderActions()
    {
        test::TempHome home;
        const QString folder = home.path() + "/vault/_outbox/260115-report";
        DayMenus::FolderGroup group{"260115-report", {file("_outbox/260115-report/b.md", at(1, 15)),
                                                      file("_outbox/260115-report/a.pdf", at(1, 15))}};
        AppSettings settings;
        settings.vaultPath = "~/vault";
        QList<QUrl> opened;
        QList<QPair<QStringList, std::optional<QString>>> mailed;
        OutboxMenu::Actions actions;
        actions.open = [&](const QUrl& url) { opened << url; };
        actions.mail = [&](const QStringList& paths, const std::optional<QString>& subject) { mailed.append({paths, subject}); };
        actions.manifestFields = [](const QString&) { return QMap<QString, QString>{{"\u00c4mne", "Quarterly"}}; };

        const MenuRows rows{OutboxMenu::deliveryMenu(group, settings, actions)};
        findRow(rows, "Open folder")->action();
        findRow(rows, "Open manifest")->action();
        findRow(rows, "Mail all files (2)\u2026")->action();
        findRow(rows, "a.pdf")->action();
        QCOMPARE(opened, (QList<QUrl>{QUrl::fromLocalFile(folder), QUrl::fromLocalFile(folder + "/_manifest.md"),
                                      QUrl::fromLocalFile("/vault/_outbox/260115-report/a.pdf")}));
        QCOMPARE(mailed.size(), 1);
        QCOMPARE(mailed[0].first, (QStringList{"/vault/_outbox/260115-report/a.pdf", "/vault/_outbox/260115-report/b.md"}));
        QCOMPARE(mailed[0].second, std::optional<QString>("Quarterly"));

        // A single file's mail row sets no subject.
        const MenuRows single = OutboxMenu::outboxRows(file("_outbox/x.md", at(3, 4)), actions);
        single[1].action();
        QCOMPARE(mailed[1].first, QStringList{"/vault/_outbox/x.md"});
        QCOMPARE(mailed[1].second, std::nullopt);
    }

    void folderNameDate_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QDate>("date");
        QTest::newRow("dated") << "260110-b" << QDate(2026, 1, 10);
        QTest::newRow("just the date") << "251231" << QDate(2025, 12, 31);
        QTest::newRow("13th month") << "261301-x" << QDate();
        QTest::newRow("30 February") << "260230" << QDate();
        QTest::newRow("shorter than six") << "2601" << QDate();
        QTest::newRow("not digits") << "report" << QDate();
    }
    void folderNameDate()
    {
        QFETCH(QString, name);
        QFETCH(QDate, date);
        QCOMPARE(OutboxMenu::folderNameDate(name).value_or(QDate()), date);
    }
};

QTEST_MAIN(VaultMenuTest)
#include "tst_vault_menu.moc"
