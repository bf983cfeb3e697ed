// What the search panel does with a file: open (through a copy when it lies on a remote mount),
// reveal, trash, mail, and the PDF export with a notice for each way it can fail; and the desktop
// file manager's reveal, which opens the folder when no file manager answers.

#include "SearchFixture.h"
#include "VaultFixture.h"

#include "foundation/Opening.h"
#include "platform/filemanager/DesktopFileManager.h"
#include "platform/files/FileNames.h"
#include "platform/filemanager/FakeFileManager.h"
#include "platform/mail/FakeMailComposer.h"
#include "platform/notifications/FakeNotifications.h"
#include "platform/workspace/FakeWorkspace.h"
#include "vault/PdfExport.h"
#include "vault/RemoteCopy.h"
#include "vault/SearchFileActions.h"
#include "support/PrivateSessionBus.h"
#include "support/LogFile.h"
#include "support/SlowMount.h"
#include "vault/SearchIndex.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

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

    // `relativePaths` below the home, each written to disk unless it begins with "missing/" or
    // "remotes/dead/" (the frozen mount's place).
    explicit Actions(const QStringList& relativePaths, std::optional<QString> remotes = {})
    {
        QList<FileEntry> listed;
        int hour = 0;
        for (const QString& relative : relativePaths) {
            if (!relative.startsWith("missing/") && !relative.startsWith("remotes/dead/"))
                VaultTree::file(home.home.path(), relative, at(1, 1 + hour), "# " + relative.toUtf8());
            listed.append(entry(home.home.path(), relative, at(1, 20 - hour++)));
        }
        setUp(listed, remotes);
    }
    void setUp(const QList<FileEntry>& listed, std::optional<QString> remotes)
    {
        actions.reset();
        index.reset();
        Opening::setWorkspace(&workspace);
        Notifications::setCurrent(&notifications);
        home.settings.update([&](AppSettings& values) { values.remotesPath = remotes; });
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
    QUrl url(const QString& relative) const { return QUrl::fromLocalFile(path(relative)); }

    // The PDF script, with `body` after the arguments are read (input, "-o", output folder).
    void writeScript(const QByteArray& body) const
    {
        home.home.writeFile(".claude/skills/folioize/folioize.py",
                            "import sys, os\nsrc, out = sys.argv[1], sys.argv[3]\n"
                            "name = os.path.splitext(os.path.basename(src))[0] + '.pdf'\n" + body);
    }
};

// The longest the event loop went without turning, measured by a timer that fires every 20 ms.
class LoopWatch {
public:
    LoopWatch()
    {
        m_timer.setInterval(20);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            m_worst = std::max(m_worst, m_clock.restart());
        });
        m_clock.start();
        m_timer.start();
    }
    qint64 worstGapMs()
    {
        m_worst = std::max(m_worst, m_clock.elapsed());
        return m_worst;
    }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_worst = 0;
};

QByteArray readAll(const QByteArray& path)
{
    QByteArray content;
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "<missing>";
    char buffer[4096];
    for (ssize_t count; (count = ::read(fd, buffer, sizeof buffer)) > 0;)
        content.append(buffer, count);
    ::close(fd);
    return content;
}

bool writeBytes(const QByteArray& path, const QByteArray& content)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, content.constData(), size_t(content.size())) == content.size();
    ::close(fd);
    return written;
}

QStringList copyFolderEntries() { return QDir(RemoteCopy::copyFolder()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden); }

}  // namespace

class SearchActionsTest : public QObject {
    Q_OBJECT

private slots:
    void openHandsTheFileToTheDesktop();
    void openAndMailUseACopyOfARemoteFile();
    void remoteNamesReachCpLiterally();
    void remoteCopyOfAMissingFileGivesNothing();
    void failedCopyStopsItsActionWithANotice();
    void onlyFilesBelowTheRemotesFolderAreRemote_data();
    void onlyFilesBelowTheRemotesFolderAreRemote();
    void copiesOfEarlierRunsAreRemoved();
    void frozenMountNeverHoldsUpTheEventLoop_data();
    void frozenMountNeverHoldsUpTheEventLoop();
    void namesThatAreNotUtf8KeepTheirBytes();
    void revealShowsTheSelectedFile();
    void trashRemovesFromTheList();
    void trashRefusedOrAlreadyGoneKeepsTheList();
    void mailWithoutAMailProgramDoesNothing();
    void pdfJoinsTheResults();
    void pdfFailuresPostANotice_data();
    void pdfFailuresPostANotice();
    void pdfOfARemoteFileWorksOnTheCopy();
    void pdfIsNeverMadeFromAnotherFile();
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
    const QString decomposed = name.normalized(QString::NormalizationForm_D);

    fixture.actions->openFile(remote);
    QTRY_COMPARE(fixture.workspace.opened().size(), 1);
    const QString copy = fixture.workspace.opened().first().toLocalFile();
    QVERIFY2(copy.startsWith(RemoteCopy::copyFolder() + "/") && copy.endsWith("/" + decomposed), qPrintable(copy));
    QFile copied(copy);
    QVERIFY(copied.open(QIODevice::ReadOnly));
    QCOMPARE(copied.readAll(), "# remotes/box/" + name.toUtf8());

    // Each job copies into a folder of its own: a second copy never stands in for the first.
    fixture.actions->mailSelected();
    QTRY_COMPARE(fixture.mail.composed().size(), 1);
    const QString attachment = fixture.mail.composed().first().first();
    QVERIFY(attachment.endsWith("/" + decomposed));
    QVERIFY(QFileInfo(attachment).absolutePath() != QFileInfo(copy).absolutePath());
    fixture.actions->revealSelected();  // revealed where it is
    QCOMPARE(fixture.fileManager.revealed(), QList<QUrl>{fixture.url("remotes/box/" + name)});
    QVERIFY(fixture.notifications.posted().isEmpty());
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
    const auto copy = RemoteCopy::copyToTemp(file);
    QVERIFY2(copy, qPrintable(copy.error()));
    QCOMPARE(readAll(*copy), QByteArray("tricky"));
    QVERIFY(!QFile::exists(QDir::currentPath() + "/pwned"));

    FileEntry composed = entry(folder, QString::fromUtf8("Caf\xc3\xa9.md"), at(1));
    const auto second = RemoteCopy::copyToTemp(composed);
    QVERIFY2(second, qPrintable(second.error()));
    QCOMPARE(readAll(*second), QByteArray("decomposed"));
}

void SearchActionsTest::remoteCopyOfAMissingFileGivesNothing()
{
    Actions fixture({"missing/gone.md"}, QStringLiteral("~/missing"));
    const QStringList before = copyFolderEntries();
    const auto copy = RemoteCopy::copyToTemp(fixture.index->results().first());
    QVERIFY(!copy);
    QVERIFY2(copy.error().contains("gone.md"), qPrintable(copy.error()));
    QCOMPARE(copyFolderEntries(), before);  // its folder went with it
    // Not remote at all when remotesPath is unset.
    QVERIFY(!RemoteCopy::isOnSSHFS(fixture.index->results().first(), std::nullopt));
}

void SearchActionsTest::failedCopyStopsItsActionWithANotice()
{
    Actions fixture({"missing/gone.md"}, QStringLiteral("~/missing"));
    fixture.actions->openFile(fixture.index->results().first());
    fixture.actions->mailSelected();
    QTRY_COMPARE(fixture.notifications.posted().size(), 2);
    QStringList titles;
    for (const NotificationRequest& notice : fixture.notifications.posted()) {
        titles.append(notice.title);
        QVERIFY2(notice.body.contains("“gone.md” couldn’t be copied from the remote mount."), qPrintable(notice.body));
    }
    titles.sort();
    QCOMPARE(titles, (QStringList{"harkwell: Mail failed", "harkwell: Open failed"}));
    QVERIFY(fixture.workspace.opened().isEmpty());
    QVERIFY(fixture.mail.composed().isEmpty());
}

void SearchActionsTest::onlyFilesBelowTheRemotesFolderAreRemote_data()
{
    QTest::addColumn<QString>("remotes");
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("remote");
    QTest::newRow("below the folder") << "~/workspace/remotes" << "workspace/remotes/box/a.md" << true;
    QTest::newRow("the folder given with a slash") << "~/workspace/remotes/" << "workspace/remotes/box/a.md" << true;
    QTest::newRow("a folder beside it with a longer name") << "~/workspace/remotes" << "workspace/remotes-old/box/a.md" << false;
    QTest::newRow("a file beside it with a longer name") << "~/workspace/remotes" << "workspace/remotes.md" << false;
    QTest::newRow("no remotes folder") << "" << "workspace/remotes/box/a.md" << false;
}

void SearchActionsTest::onlyFilesBelowTheRemotesFolderAreRemote()
{
    QFETCH(QString, remotes);
    QFETCH(QString, file);
    QFETCH(bool, remote);
    TempHome home;
    const FileEntry listed = entry(home.path(), file, at(1));
    const std::optional<QString> setting = remotes.isEmpty() ? std::nullopt : std::optional(remotes);
    QCOMPARE(RemoteCopy::isOnSSHFS(listed, setting), remote);

    // A local file opens in place, so edits land in the file itself.
    if (!remote && setting) {
        Actions fixture({file}, setting);
        fixture.actions->openFile(fixture.index->results().first());
        QTRY_COMPARE(fixture.workspace.opened(), QList<QUrl>{fixture.url(file)});
    }
}

void SearchActionsTest::copiesOfEarlierRunsAreRemoved()
{
    SearchHome remote;
    VaultTree::file(remote.home.path(), "remotes/box/now.md", at(1), "now");
    const auto current = RemoteCopy::copyToTemp(entry(remote.home.path(), "remotes/box/now.md", at(1)));
    QVERIFY2(current, qPrintable(current.error()));
    // What an earlier run left: a copy folder of its own, and a copy of an older version's kind.
    VaultTree::file(RemoteCopy::copyFolder(), "copy-0123456789ab-Xy12Zw/old.md", at(1));
    VaultTree::file(RemoteCopy::copyFolder(), "old plain.md", at(1));

    RemoteCopy::removeLeftovers();
    QCOMPARE(readAll(*current), QByteArray("now"));
    QCOMPARE(copyFolderEntries().size(), 1);

    RemoteCopy::removeCopy(*current);
    QVERIFY(copyFolderEntries().isEmpty());
}

void SearchActionsTest::revealShowsTheSelectedFile()
{
    Actions fixture({"vault/a.md", "vault/b.md"});
    fixture.index->moveDown();
    fixture.actions->revealSelected();
    QCOMPARE(fixture.fileManager.revealed(), QList<QUrl>{fixture.url("vault/b.md")});

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
    QTRY_COMPARE(names(fixture.index->results()), QStringList{"a.md"});
    QVERIFY(!QFile::exists(fixture.path("vault/b.md")));
    QCOMPARE(fixture.index->selectedIndex(), 0);
}

void SearchActionsTest::trashRefusedOrAlreadyGoneKeepsTheList()
{
    Actions fixture({"vault/a.md", "missing/b.md"});
    fixture.fileManager.setRefusal(QStringLiteral("The Trash is full"));
    fixture.actions->deleteSelected();
    QTRY_COMPARE(fixture.fileManager.trashAttempts().size(), 1);
    QVERIFY(QFile::exists(fixture.path("vault/a.md")));
    fixture.fileManager.setRefusal(std::nullopt);
    fixture.index->moveDown();
    fixture.actions->deleteSelected();  // another program removed it already
    QTRY_COMPARE(fixture.fileManager.trashAttempts().size(), 2);
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
    QVERIFY2(QStandardPaths::findExecutable("python3").size(), "python3 is needed");
    Actions fixture({"remotes/box/talk.md", "remotes/box/slides.pdf"}, QStringLiteral("~/remotes"));
    fixture.writeScript("open(os.path.join(out, name), 'w').write(src + '\\n' + os.getcwd() + '\\n' + open(src).read())\n");
    fixture.actions->pdfSelected();
    QTRY_COMPARE_WITH_TIMEOUT(fixture.index->results().first().filename, QStringLiteral("talk.pdf"), 20000);
    QFile output(fixture.home.vault() + "/_outbox/talk.pdf");
    QVERIFY(output.open(QIODevice::ReadOnly));
    const QStringList seen = QString::fromUtf8(output.readAll()).split('\n');
    QCOMPARE(seen.size(), 3);
    QVERIFY2(seen[0].startsWith(RemoteCopy::copyFolder() + "/") && seen[0].endsWith("/talk.md"), qPrintable(seen[0]));
    QCOMPARE(QFileInfo(seen[0]).absolutePath(), seen[1]);  // run in the copy's folder
    QCOMPARE(seen[2], QStringLiteral("# remotes/box/talk.md"));
    QVERIFY(!QFile::exists(fixture.path("remotes/box/talk.pdf")));
    QVERIFY(!QFileInfo::exists(seen[1]));  // the copy went once the PDF was made

    // Not markdown: nothing is started.
    fixture.index->moveDown();
    fixture.index->moveDown();
    QCOMPARE(fixture.index->selectedFile()->filename, QStringLiteral("slides.pdf"));
    fixture.actions->pdfSelected();
    QCOMPARE(fixture.index->results().size(), 3);
}

void SearchActionsTest::pdfIsNeverMadeFromAnotherFile()
{
    QVERIFY2(QStandardPaths::findExecutable("python3").size(), "python3 is needed");
    // A copy of another file of the same name, where copies used to be kept, and a remote file
    // that can no longer be copied.
    Actions fixture({"missing/talk.md"}, QStringLiteral("~/missing"));
    VaultTree::file(RemoteCopy::copyFolder(), "talk.md", at(1), "# someone else's talk");
    fixture.writeScript("open(os.path.join(out, name), 'w').write(open(src).read())\n");
    fixture.actions->pdfSelected();

    QTRY_COMPARE_WITH_TIMEOUT(fixture.notifications.posted().size(), 1, 20000);
    const NotificationRequest notice = fixture.notifications.posted().first();
    QCOMPARE(notice.title, QStringLiteral("harkwell: PDF failed"));
    QVERIFY2(notice.body.contains("“talk.md” couldn’t be copied from the remote mount."), qPrintable(notice.body));
    QVERIFY(!QFile::exists(fixture.home.vault() + "/_outbox/talk.pdf"));
    QCOMPARE(names(fixture.index->results()), QStringList{"talk.md"});
}

void SearchActionsTest::frozenMountNeverHoldsUpTheEventLoop_data()
{
    QTest::addColumn<QString>("action");
    QTest::newRow("open a file whose disk does not answer") << "open";
    QTest::newRow("open a remote file: the copy waits") << "copy";
    QTest::newRow("trash a remote file") << "trash";
    QTest::newRow("list a remote file's folder") << "folder";
}

void SearchActionsTest::frozenMountNeverHoldsUpTheEventLoop()
{
    QFETCH(QString, action);
    const bool remote = action != "open";
    Actions fixture({"remotes/dead/note.md"}, remote ? std::optional<QString>("~/remotes") : std::nullopt);
    // Every name in the mount takes 8 s to look up; the mount itself lists no faster.
    auto mount = std::make_unique<test::SlowMount>(fixture.path("remotes/dead"), 8, test::SlowMount::Hang::ListingAndLookups);
    QVERIFY2(mount->start(), qPrintable(mount->error()));
    const FileEntry file = fixture.index->results().first();
    const int globalBusy = QThreadPool::globalInstance()->activeThreadCount();

    LoopWatch watch;
    if (action == "open")
        Opening::openWithoutWaiting(file.fullPath);
    else if (action == "copy")
        fixture.actions->openFile(file);
    else if (action == "trash")
        fixture.actions->deleteSelected();
    else
        fixture.index->drillIntoFolder();

    if (action == "open") {
        QTRY_VERIFY_WITH_TIMEOUT(test::logText().contains("The disk the file is on doesn’t answer."), 8000);
    } else if (action == "copy") {
        QTest::qWait(2500);
        // The copy waits on threads of its own; the shared workers stay free for the scanner.
        QCOMPARE(QThreadPool::globalInstance()->activeThreadCount(), globalBusy);
    } else if (action == "trash") {
        QTRY_COMPARE_WITH_TIMEOUT(fixture.index->notice().value_or(QString()),
                                  QString::fromUtf8(SearchFileActions::kTrashNotAnswering).arg("note.md"), 6000);
    } else {
        QCOMPARE(fixture.index->folderPath(), QStringLiteral("remotes/dead"));
        QTRY_COMPARE_WITH_TIMEOUT(fixture.index->notice().value_or(QString()), QStringLiteral("The remote mount doesn’t answer."), 8000);
    }
    QVERIFY2(watch.worstGapMs() < 1000, qPrintable(QString::number(watch.worstGapMs())));
    QVERIFY(fixture.workspace.opened().isEmpty());
    QCOMPARE(names(fixture.index->results()), QStringList{"note.md"});

    // Once the mount is gone, what still waited on it ends, and says so; a file whose disk did not
    // answer was never asked to go.
    mount.reset();
    if (action == "copy")
        QTRY_COMPARE_WITH_TIMEOUT(fixture.notifications.posted().size(), 1, 10000);
    else if (action == "trash")
        QVERIFY(fixture.fileManager.trashAttempts().isEmpty());
}

void SearchActionsTest::namesThatAreNotUtf8KeepTheirBytes()
{
    QVERIFY2(QStandardPaths::findExecutable("python3").size(), "python3 is needed");
    // "café.md" and "thé.md" as Latin-1 bytes: not valid UTF-8.
    QList<FileEntry> listed;
    QList<QByteArray> paths;
    std::unique_ptr<Actions> fixture;
    {
        auto made = std::make_unique<Actions>(QStringList{}, std::nullopt);
        const QByteArray vault = QFile::encodeName(made->home.vault());
        for (const QByteArray& name : {QByteArray("caf\xe9.md"), QByteArray("th\xe9.md")}) {
            const QByteArray path = vault + '/' + name;
            QVERIFY(writeBytes(path, "# " + name));
            FileEntry file = entry(made->home.vault(), FileNames::display(name), at(1, 9 + int(paths.size())));
            file.fullPath = FileNames::fileUrl(path);
            listed.append(file);
            paths.append(path);
        }
        made->setUp(listed, std::nullopt);
        fixture = std::move(made);
    }
    QCOMPARE(fixture->index->results().size(), 2);
    QCOMPARE(FileNames::nativePath(fixture->index->results().at(0).fullPath), paths.at(1));  // thé, the newer

    // Open: the existence check and the desktop get the very bytes.
    fixture->actions->openFile(fixture->index->results().at(0));
    QTRY_COMPARE(fixture->workspace.opened().size(), 1);
    QCOMPARE(FileNames::nativePath(fixture->workspace.opened().first()), paths.at(1));

    // The folder list lists such names by their bytes too.
    fixture->index->drillIntoFolder();
    QTRY_COMPARE(fixture->index->folderFiles().size(), 2);
    QCOMPARE(FileNames::nativePath(fixture->index->selectedFile()->fullPath), paths.at(1));
    fixture->index->exitFolderMode();
    fixture->index->setSelectedIndex(0);

    // PDF: the script reads the file and the PDF keeps the name's bytes.
    fixture->writeScript("open(os.path.join(out, name), 'wb').write(open(src, 'rb').read())\n");
    fixture->actions->pdfSelected();
    QTRY_COMPARE_WITH_TIMEOUT(fixture->index->results().size(), 3, 20000);
    const QByteArray pdf = QFile::encodeName(fixture->home.vault()) + "/_outbox/th\xe9.pdf";
    QCOMPARE(FileNames::nativePath(fixture->index->results().first().fullPath), pdf);
    QCOMPARE(readAll(pdf), QByteArray("# th\xe9.md"));
    QVERIFY(fixture->notifications.posted().isEmpty());

    // Trash: the file itself goes.
    fixture->index->setSelectedIndex(1);
    fixture->actions->deleteSelected();
    QTRY_COMPARE(fixture->index->results().size(), 2);
    QCOMPARE(::access(paths.at(1).constData(), F_OK), -1);

    // And the desktop's trash takes such a name too, keeping its bytes.
    DesktopFileManager manager(QDBusConnection(QStringLiteral("none")), fixture->workspace);
    QVERIFY(manager.moveToTrash(FileNames::fileUrl(paths.at(0))));
    QCOMPARE(::access(paths.at(0).constData(), F_OK), -1);
    const QByteArray trash = QFile::encodeName(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)) + "/Trash";
    QCOMPARE(readAll(trash + "/files/caf\xe9.md"), QByteArray("# caf\xe9.md"));
    QVERIFY(readAll(trash + "/info/caf\xe9.md.trashinfo").contains("Path=" + paths.at(0).toPercentEncoding("/") + "\n"));
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

    manager.reveal(QUrl::fromLocalFile(file));
    QTRY_COMPARE(workspace.opened(), QList<QUrl>{QUrl::fromLocalFile(home.path() + "/Notes")});

    QDBusConnection server = bus.connect("server");
    QObject root;
    auto* service = new FileManagerService(&root);
    QVERIFY(server.registerObject("/org/freedesktop/FileManager1", &root));
    QVERIFY(server.registerService("org.freedesktop.FileManager1"));
    manager.reveal(QUrl::fromLocalFile(file));
    QTRY_COMPARE(service->shown, QStringList{QUrl::fromLocalFile(file).toString(QUrl::FullyEncoded)});
    QCOMPARE(workspace.opened().size(), 1);
}

void SearchActionsTest::desktopTrash()
{
    TempHome home;
    const QString file = home.writeFile("Notes/a.md", "x");
    FakeWorkspace workspace;
    DesktopFileManager manager(QDBusConnection(QStringLiteral("none")), workspace);
    QVERIFY(manager.moveToTrash(QUrl::fromLocalFile(file)));
    QVERIFY(!QFile::exists(file));
    const auto again = manager.moveToTrash(QUrl::fromLocalFile(file));
    QVERIFY(!again);
    QVERIFY(again.error().text.contains("a.md"));
}

QTEST_GUILESS_MAIN(SearchActionsTest)
#include "tst_search_actions.moc"
