// What the search panel does with a file: open (through a copy when it lies on a remote mount),
// reveal, trash, mail, and the PDF export with a notice for each way it can fail; and the desktop
// file manager's reveal, which opens the folder when no file manager answers.

#include "SearchFixture.h"
#include "VaultFixture.h"

#include "foundation/Opening.h"
#include "platform/filemanager/DesktopFileManager.h"
#include "platform/filemanager/FakeFileManager.h"
#include "platform/mail/FakeMailComposer.h"
#include "platform/notifications/FakeNotifications.h"
#include "platform/workspace/FakeWorkspace.h"
#include "vault/PdfExport.h"
#include "vault/RemoteCopy.h"
#include "vault/SearchFileActions.h"
#include "support/PrivateSessionBus.h"
#include "vault/SearchIndex.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace harkwell;
using namespace harkwell::test;

namespace {

// One selected file in an index, and the actions over fakes.
struct Actions {
    SearchHome home;
    FakeWorkspace workspace;
    FakeFileManager fileManager;
    FakeMailComposer mail;
    FakeNotifications notifications;
    std::optional<QString> python3 = QStandardPaths::findExecutable("python3");
    std::unique_ptr<FileScanner> scanner;
    std::unique_ptr<SearchIndex> index;
    std::unique_ptr<SearchFileActions> actions;

    // `relativePaths` below the home, each written to disk unless it begins with "missing/".
    explicit Actions(const QStringList& relativePaths, std::optional<QString> remotes = {})
    {
        Opening::setWorkspace(&workspace);
        Notifications::setCurrent(&notifications);
        home.settings.update([&](AppSettings& values) { values.remotesPath = remotes; });
        QList<FileEntry> listed;
        int hour = 0;
        for (const QString& relative : relativePaths) {
            if (!relative.startsWith("missing/"))
                VaultTree::file(home.home.path(), relative, at(1, 1 + hour), "# " + relative.toUtf8());
            listed.append(entry(home.home.path(), relative, at(1, 20 - hour++)));
        }
        home.listers->set(listed);
        scanner = home.scanner();
        index = std::make_unique<SearchIndex>(*scanner, home.settings, [] { return QList<FileEntry>{}; });
        index->search();
        SearchFileActions::Services services;
        services.fileManager = &fileManager;
        services.mail = &mail;
        services.python3 = [this] { return python3; };
        actions = std::make_unique<SearchFileActions>(*index, home.settings, services);
    }
    ~Actions()
    {
        Opening::setWorkspace(nullptr);
        Notifications::setCurrent(nullptr);
    }
    QString path(const QString& relative) const { return home.home.path() + "/" + relative; }

    // The PDF script, with `body` after the arguments are read (input, "-o", output folder).
    void writeScript(const QByteArray& body) const
    {
        home.home.writeFile(".claude/skills/folioize/folioize.py",
                            "import sys, os\nsrc, out = sys.argv[1], sys.argv[3]\n"
                            "name = os.path.splitext(os.path.basename(src))[0] + '.pdf'\n" + body);
    }
};

}  // namespace

class SearchActionsTest : public QObject {
    Q_OBJECT

private slots:
    void openHandsTheFileToTheDesktop();
    void openAndMailUseACopyOfARemoteFile();
    void remoteNamesReachCpLiterally();
    void remoteCopyOfAMissingFileGivesNothing();
    void revealShowsTheSelectedFile();
    void trashRemovesFromTheList();
    void trashRefusedOrAlreadyGoneKeepsTheList();
    void mailWithoutAMailProgramDoesNothing();
    void pdfJoinsTheResults();
    void pdfFailuresPostANotice_data();
    void pdfFailuresPostANotice();
    void pdfOfARemoteFileWorksOnTheCopy();
    void pdfNameReplacesOnlyTheLastExtension();
    void desktopRevealFallsBackToTheFolder();
    void desktopTrash();
};

void SearchActionsTest::openHandsTheFileToTheDesktop()
{
    Actions fixture({"vault/a.md"});
    fixture.actions->openFile(fixture.index->results().first());
    QTRY_COMPARE(fixture.workspace.opened(), QList<QUrl>{QUrl::fromLocalFile(fixture.path("vault/a.md"))});
}

void SearchActionsTest::openAndMailUseACopyOfARemoteFile()
{
    const QString name = QString::fromUtf8("M\xc3\xb6te (1) & $x.md");
    Actions fixture({"remotes/box/" + name}, QStringLiteral("~/remotes"));
    const FileEntry remote = fixture.index->results().first();
    const QString copy = RemoteCopy::copyFolder() + "/" + name.normalized(QString::NormalizationForm_D);

    fixture.actions->openFile(remote);
    QTRY_COMPARE(fixture.workspace.opened(), QList<QUrl>{QUrl::fromLocalFile(copy)});
    QFile copied(copy);
    QVERIFY(copied.open(QIODevice::ReadOnly));
    QCOMPARE(copied.readAll(), "# remotes/box/" + name.toUtf8());

    fixture.actions->mailSelected();
    QTRY_COMPARE(fixture.mail.composed(), QList<QStringList>{{copy}});
    fixture.actions->revealSelected();  // revealed where it is
    QCOMPARE(fixture.fileManager.revealed(), QStringList{fixture.path("remotes/box/" + name)});
}

void SearchActionsTest::remoteNamesReachCpLiterally()
{
    // Names a shell would expand or run, and a name the mount spells decomposed.
    SearchHome home;
    const QString folder = home.home.make("remotes/m/we`ird \"$HOME\"");
    const QString tricky = "a`touch pwned`;#<b>\n$(x).md";
    VaultTree::file(folder, tricky, at(1), "tricky");
    VaultTree::file(folder, QString::fromUtf8("Cafe\xcc\x81.md"), at(1), "decomposed");

    FileEntry file = entry(folder, tricky, at(1));
    const auto copy = RemoteCopy::sshfsCopyToTemp(file);
    QVERIFY(copy);
    QFile copied(*copy);
    QVERIFY(copied.open(QIODevice::ReadOnly));
    QCOMPARE(copied.readAll(), QByteArray("tricky"));
    QVERIFY(!QFile::exists(QDir::currentPath() + "/pwned"));

    FileEntry composed = entry(folder, QString::fromUtf8("Caf\xc3\xa9.md"), at(1));
    const auto second = RemoteCopy::sshfsCopyToTemp(composed);
    QVERIFY(second);
    QFile secondCopy(*second);
    QVERIFY(secondCopy.open(QIODevice::ReadOnly));
    QCOMPARE(secondCopy.readAll(), QByteArray("decomposed"));
}

void SearchActionsTest::remoteCopyOfAMissingFileGivesNothing()
{
    Actions fixture({"missing/gone.md"}, QStringLiteral("~/missing"));
    QVERIFY(!RemoteCopy::sshfsCopyToTemp(fixture.index->results().first()));
    QCOMPARE(RemoteCopy::localCopyIfNeeded(fixture.index->results().first(), QStringLiteral("~/missing")),
             fixture.path("missing/gone.md"));
    // Not remote at all when remotesPath is unset.
    QVERIFY(!RemoteCopy::isOnSSHFS(fixture.index->results().first(), std::nullopt));
}

void SearchActionsTest::revealShowsTheSelectedFile()
{
    Actions fixture({"vault/a.md", "vault/b.md"});
    fixture.index->moveDown();
    fixture.actions->revealSelected();
    QCOMPARE(fixture.fileManager.revealed(), QStringList{fixture.path("vault/b.md")});

    fixture.index->setQuery("nothing");
    fixture.actions->revealSelected();
    fixture.actions->deleteSelected();
    fixture.actions->mailSelected();
    fixture.actions->pdfSelected();
    QCOMPARE(fixture.fileManager.revealed().size(), 1);
    QVERIFY(fixture.fileManager.trashAttempts().isEmpty());
}

void SearchActionsTest::trashRemovesFromTheList()
{
    Actions fixture({"vault/a.md", "vault/b.md"});
    fixture.index->moveDown();
    fixture.actions->deleteSelected();
    QVERIFY(!QFile::exists(fixture.path("vault/b.md")));
    QCOMPARE(names(fixture.index->results()), QStringList{"a.md"});
    QCOMPARE(fixture.index->selectedIndex(), 0);
}

void SearchActionsTest::trashRefusedOrAlreadyGoneKeepsTheList()
{
    Actions fixture({"vault/a.md", "missing/b.md"});
    fixture.fileManager.setRefusal(QStringLiteral("The Trash is full"));
    fixture.actions->deleteSelected();
    QVERIFY(QFile::exists(fixture.path("vault/a.md")));
    fixture.fileManager.setRefusal(std::nullopt);
    fixture.index->moveDown();
    fixture.actions->deleteSelected();  // another program removed it already
    QCOMPARE(names(fixture.index->results()), (QStringList{"a.md", "b.md"}));
    QVERIFY(fixture.notifications.posted().isEmpty());
}

void SearchActionsTest::mailWithoutAMailProgramDoesNothing()
{
    Actions fixture({"vault/a.md"});
    fixture.mail.setAvailable(false);
    fixture.actions->mailSelected();
    fixture.mail.setAvailable(true);
    fixture.actions->mailSelected();
    QTRY_COMPARE(fixture.mail.composed(), QList<QStringList>{{fixture.path("vault/a.md")}});
}

void SearchActionsTest::pdfJoinsTheResults()
{
    if (!QStandardPaths::findExecutable("python3").size())
        QSKIP("python3 is not installed");
    Actions fixture({"vault/notes.draft.md", "vault/other.md"});
    fixture.writeScript("os.makedirs(out, exist_ok=True)\n"
                        "open(os.path.join(out, name), 'w').write(open(src).read() + ' ' + os.getcwd())\n");
    fixture.index->moveDown();
    fixture.index->moveUp();  // notes.draft.md, the newest
    fixture.actions->pdfSelected();
    fixture.actions->pdfSelected();  // a second conversion adds its own entry

    const QString pdf = fixture.home.vault() + "/_outbox/notes.draft.pdf";
    QTRY_COMPARE_WITH_TIMEOUT(names(fixture.index->results()).count("notes.draft.pdf"), 2, 20000);
    const FileEntry made = fixture.index->results().first();
    QCOMPARE(made.fullPath, QUrl::fromLocalFile(pdf));
    QCOMPARE(made.relativePath, pdf);
    QCOMPARE(made.parentFolder, QStringLiteral("_outbox"));
    QCOMPARE(made.source, FileEntry::Source::Workspace);
    QVERIFY(made.size > 0);
    QCOMPARE(fixture.index->selectedIndex(), 0);
    QFile output(pdf);
    QVERIFY(output.open(QIODevice::ReadOnly));
    QCOMPARE(output.readAll(), "# vault/notes.draft.md " + fixture.path("vault").toUtf8());
    QVERIFY(fixture.notifications.posted().isEmpty());
}

void SearchActionsTest::pdfFailuresPostANotice_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QString>("python3");
    QTest::addColumn<QString>("message");

    QTest::newRow("the script fails: its last error line")
        << QByteArray("sys.stderr.write('loading\\n\\nModuleNotFoundError: weasyprint\\n\\n')\nsys.exit(3)\n") << ""
        << "folioize failed: ModuleNotFoundError: weasyprint";
    QTest::newRow("succeeds but writes no PDF") << QByteArray("sys.exit(0)\n") << ""
                                                << "folioize failed: unknown error";
    QTest::newRow("error output that is not UTF-8")
        << QByteArray("sys.stderr.buffer.write(b'\\xff\\xfe bad\\n')\nsys.exit(1)\n") << ""
        << "folioize failed: unknown error";
    QTest::newRow("a chatty script does not stall")
        << QByteArray("for i in range(20000):\n    print('x' * 100)\n    sys.stderr.write('line %d\\n' % i)\nsys.exit(1)\n")
        << "" << "folioize failed: line 19999";
    QTest::newRow("no python3") << QByteArray() << "none"
                                << QString::fromLatin1(SearchFileActions::kPythonMissing);
    QTest::newRow("python3 cannot start") << QByteArray() << "/nonexistent/python3" << "folioize launch failed: ";
}

void SearchActionsTest::pdfFailuresPostANotice()
{
    QFETCH(QByteArray, script);
    QFETCH(QString, python3);
    QFETCH(QString, message);
    if (python3.isEmpty() && !QStandardPaths::findExecutable("python3").size())
        QSKIP("python3 is not installed");

    Actions fixture({"vault/a.md"});
    if (python3 == "none")
        fixture.python3.reset();
    else if (!python3.isEmpty())
        fixture.python3 = python3;
    fixture.writeScript(script);
    fixture.actions->pdfSelected();

    QTRY_COMPARE_WITH_TIMEOUT(fixture.notifications.posted().size(), 1, 20000);
    const NotificationRequest notice = fixture.notifications.posted().first();
    QCOMPARE(notice.title, QStringLiteral("harkwell: PDF failed"));
    QVERIFY2(notice.body.startsWith(message), qPrintable(notice.body));
    QVERIFY(notice.identifier.startsWith("pdf-fail-"));
    QVERIFY(!QUuid::fromString(notice.identifier.mid(9)).isNull());
    QVERIFY(!notice.sound);
    QCOMPARE(names(fixture.index->results()), QStringList{"a.md"});

    // Each failure has a notice of its own.
    fixture.actions->pdfSelected();
    QTRY_COMPARE_WITH_TIMEOUT(fixture.notifications.posted().size(), 2, 20000);
    QVERIFY(fixture.notifications.posted()[1].identifier != notice.identifier);
}

void SearchActionsTest::pdfOfARemoteFileWorksOnTheCopy()
{
    if (!QStandardPaths::findExecutable("python3").size())
        QSKIP("python3 is not installed");
    Actions fixture({"remotes/box/talk.md", "remotes/box/slides.pdf"}, QStringLiteral("~/remotes"));
    fixture.writeScript("open(os.path.join(out, name), 'w').write(src + ' ' + os.getcwd())\n");
    fixture.actions->pdfSelected();
    QTRY_COMPARE_WITH_TIMEOUT(fixture.index->results().first().filename, QStringLiteral("talk.pdf"), 20000);
    QFile output(fixture.home.vault() + "/_outbox/talk.pdf");
    QVERIFY(output.open(QIODevice::ReadOnly));
    QCOMPARE(output.readAll(), (RemoteCopy::copyFolder() + "/talk.md " + RemoteCopy::copyFolder()).toUtf8());
    QVERIFY(!QFile::exists(fixture.path("remotes/box/talk.pdf")));

    // Not markdown: nothing is started.
    fixture.index->moveDown();
    fixture.index->moveDown();
    QCOMPARE(fixture.index->selectedFile()->filename, QStringLiteral("slides.pdf"));
    fixture.actions->pdfSelected();
    QCOMPARE(fixture.index->results().size(), 3);
}

void SearchActionsTest::pdfNameReplacesOnlyTheLastExtension()
{
    QCOMPARE(PdfExport::pdfName("/v/notes.draft.md"), QStringLiteral("notes.draft.pdf"));
    QCOMPARE(PdfExport::pdfName("/v/plain"), QStringLiteral("plain.pdf"));
}

namespace {

// The freedesktop file manager's interface, served by the test on a bus of its own.
class FileManagerService : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    explicit FileManagerService(QObject* parent) : QDBusAbstractAdaptor(parent) {}
    QStringList shown;
public slots:
    void ShowItems(const QStringList& uris, const QString&) { shown += uris; }
};

// The private bus activates nothing, so no file manager of the machine answers.
using PrivateBus = test::PrivateSessionBus;

}  // namespace

void SearchActionsTest::desktopRevealFallsBackToTheFolder()
{
    PrivateBus bus;
    QDBusConnection client = bus.connect("client");
    if (!client.isConnected())
        QSKIP("dbus-daemon could not be started");
    TempHome home;
    const QString file = home.writeFile("Notes/a b.md", "x");
    FakeWorkspace workspace;
    DesktopFileManager manager(client, workspace);

    manager.reveal(file);
    QTRY_COMPARE(workspace.opened(), QList<QUrl>{QUrl::fromLocalFile(home.path() + "/Notes")});

    QDBusConnection server = bus.connect("server");
    QObject root;
    auto* service = new FileManagerService(&root);
    QVERIFY(server.registerObject("/org/freedesktop/FileManager1", &root));
    QVERIFY(server.registerService("org.freedesktop.FileManager1"));
    manager.reveal(file);
    QTRY_COMPARE(service->shown, QStringList{QUrl::fromLocalFile(file).toString(QUrl::FullyEncoded)});
    QCOMPARE(workspace.opened().size(), 1);
}

void SearchActionsTest::desktopTrash()
{
    TempHome home;
    const QString file = home.writeFile("Notes/a.md", "x");
    FakeWorkspace workspace;
    DesktopFileManager manager(QDBusConnection(QStringLiteral("none")), workspace);
    QVERIFY(manager.moveToTrash(file));
    QVERIFY(!QFile::exists(file));
    const auto again = manager.moveToTrash(file);
    QVERIFY(!again);
    QVERIFY(again.error().text.contains("a.md"));
}

QTEST_GUILESS_MAIN(SearchActionsTest)
#include "tst_search_actions.moc"
