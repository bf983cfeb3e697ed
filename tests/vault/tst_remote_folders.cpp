// Tools that may hang run under a time limit in a process group of their own; the remote mounts
// are scanned through them, a frozen mount skipped and a slow scan killed with its output kept.

#include "VaultFixture.h"
#include "support/SlowMount.h"
#include "platform/childprocess/FakeProcessRunner.h"
#include "platform/childprocess/SpawnProcessRunner.h"
#include "vault/RemoteFolders.h"

#include <QTest>

#include <csignal>

using namespace harkwell;
using namespace std::chrono_literals;
using test::VaultTree;

namespace {

// Gone or a zombie: a killed grandchild may wait for an init that does not reap.
bool processRuns(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    return close >= 0 && line.size() > close + 2 && line.at(close + 2) != 'Z';
}

QStringList relativePaths(const QList<FileEntry>& entries)
{
    return test::sortedPaths(entries, [](const FileEntry& entry) { return entry.relativePath; });
}

}  // namespace

class RemoteFoldersTest : public QObject {
    Q_OBJECT
private slots:
    void init();

    void runnerReturnsExitCodeAndOutput();
    void runnerKillsTheWholeGroupAtItsLimit();
    void runnerReportsAProgramThatCannotStart();

    void scansEveryMountWithItsRules();
    void frozenMountIsSkippedAndSlowScanKeepsItsOutput();
    void runnerSaysWhenAKilledChildLingers();
    void mountWithAStuckProbeIsNotProbedAgain();
    void entriesAreDatedByTheirNames();
    void emptyOrMissingRemotesFolderListsNothing();

private:
    std::unique_ptr<test::TempHome> m_home;
    QString m_remotes;
};

void RemoteFoldersTest::init()
{
    m_home.reset();  // first: a home restores the HOME it found
    m_home = std::make_unique<test::TempHome>();
    m_remotes = m_home->make(QStringLiteral("workspace/remotes"));
}

void RemoteFoldersTest::runnerReturnsExitCodeAndOutput()
{
    SpawnProcessRunner runner;
    const auto run = runner.run({QStringLiteral("sh"), QStringLiteral("-c"),
                                 QStringLiteral("printf 'a\\0%s' \"$1\"; echo oops >&2; exit 3"), QStringLiteral("sh"),
                                 QStringLiteral("b c")},
                                5s);
    QVERIFY(run);
    QCOMPARE(run->ending, ProcessRun::Ending::Exited);
    QCOMPARE(run->exitCode, 3);
    QCOMPARE(run->output, QByteArray("a\0b c", 5));
    QVERIFY(!run->succeeded());
}

void RemoteFoldersTest::runnerKillsTheWholeGroupAtItsLimit()
{
    const QString pidFile = m_home->path() + QStringLiteral("/sleeper.pid");
    SpawnProcessRunner runner;
    const auto run = runner.run({QStringLiteral("sh"), QStringLiteral("-c"),
                                 QStringLiteral("printf partial; sleep 30 & echo $! > \"$1\"; wait"), QStringLiteral("sh"),
                                 pidFile},
                                300ms);
    QVERIFY(run);
    QCOMPARE(run->ending, ProcessRun::Ending::KilledAtLimit);
    QCOMPARE(run->output, QByteArray("partial"));

    QFile file(pidFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const qint64 sleeper = file.readAll().trimmed().toLongLong();
    QVERIFY(sleeper > 0);
    QTRY_VERIFY_WITH_TIMEOUT(!processRuns(sleeper), 5000);
}

void RemoteFoldersTest::runnerReportsAProgramThatCannotStart()
{
    SpawnProcessRunner runner;
    const auto run = runner.run({QStringLiteral("harkwell-no-such-program")}, 1s);
    QVERIFY(!run);
    QVERIFY2(run.error().text.contains(QStringLiteral("harkwell-no-such-program")), qPrintable(run.error().text));
}

void RemoteFoldersTest::scansEveryMountWithItsRules()
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const char* name : {"alpha/260115-standup.md", "alpha/README.MD", "alpha/.hidden.md", "alpha/.git/inside.md",
                             "alpha/l1/l2/l3/l4/five.md", "alpha/l1/l2/l3/l4/l5/six.md", "alpha/doc.txt",
                             "with blank/a.md", "plain.md", ".hidden-mount/x.md"})
        VaultTree::file(m_remotes, QString::fromLatin1(name), now);
    const QString elsewhere = m_home->make(QStringLiteral("mnt/share"));
    VaultTree::file(elsewhere, QStringLiteral("linked.md"), now);
    QVERIFY(QFile::link(elsewhere, m_remotes + QStringLiteral("/linked")));

    const auto entries = RemoteFolders::scan(m_remotes, {QStringLiteral("md")}, ProcessRunner::system(), {2s, 5s, 10s});
    QCOMPARE(relativePaths(entries),
             (QStringList{"alpha/.git/inside.md", "alpha/260115-standup.md", "alpha/README.MD", "alpha/l1/l2/l3/l4/five.md",
                          "linked/linked.md", "plain.md", "with blank/a.md"}));
}

void RemoteFoldersTest::frozenMountIsSkippedAndSlowScanKeepsItsOutput()
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const char* name : {"frozen/a.md", "slow/real.md", "broken/b.md", "good/c.md"})
        VaultTree::file(m_remotes, QString::fromLatin1(name), now);
    const QString slow = m_remotes + QStringLiteral("/slow");

    // The frozen mount's listing and the slow mount's scan are scripts that sleep past their limits;
    // the broken mount cannot be listed; everything else runs as it is.
    FakeProcessRunner runner([&](const QStringList& arguments, std::chrono::milliseconds limit) {
        const QString program = arguments.first();
        const QString path = program == QLatin1String("ls") ? arguments.last() : arguments.at(2);
        QStringList replaced = arguments;
        if (program == QLatin1String("ls") && path.endsWith(QLatin1String("/frozen")))
            replaced = {QStringLiteral("sh"), QStringLiteral("-c"), QStringLiteral("sleep 30")};
        else if (program == QLatin1String("ls") && path.endsWith(QLatin1String("/broken")))
            replaced = {QStringLiteral("sh"), QStringLiteral("-c"), QStringLiteral("exit 2")};
        else if (program == QLatin1String("find") && path == slow)
            replaced = {QStringLiteral("sh"), QStringLiteral("-c"),
                        QStringLiteral("printf '%s\\0%s\\0%s' \"$1/260120-x.md\" \"$1/y.MD\" \"$1/cut-off\"; sleep 30"),
                        QStringLiteral("sh"), slow};
        return ProcessRunner::system().run(replaced, limit);
    });

    const auto entries = RemoteFolders::scan(m_remotes, {QStringLiteral("md")}, runner, {800ms, 1200ms, 10s});
    QCOMPARE(relativePaths(entries), (QStringList{"good/c.md", "slow/260120-x.md", "slow/y.MD"}));

    // The frozen and the broken mount were never scanned.
    int scans = 0;
    for (const QStringList& call : runner.calls())
        if (call.first() == QLatin1String("find")) {
            ++scans;
            QVERIFY(!call.at(2).endsWith(QLatin1String("/frozen")) && !call.at(2).endsWith(QLatin1String("/broken")));
        }
    QCOMPARE(scans, 2);
}

void RemoteFoldersTest::runnerSaysWhenAKilledChildLingers()
{
    // A listing of a frozen mount cannot be killed until the mount answers.
    const QString dead = m_remotes + QStringLiteral("/dead");
    auto mount = std::make_unique<test::SlowMount>(dead, 30);
    QVERIFY2(mount->start(), qPrintable(mount->error()));
    SpawnProcessRunner runner;
    const auto run = runner.run({QStringLiteral("ls"), QStringLiteral("--"), dead}, 500ms);
    QVERIFY(run);
    QCOMPARE(run->ending, ProcessRun::Ending::KilledAtLimit);
    QVERIFY(run->stillRunning());
    mount.reset();  // the mount goes, and with it the listing
    QTRY_VERIFY_WITH_TIMEOUT(!run->stillRunning(), 10000);

    const auto quick = runner.run({QStringLiteral("sh"), QStringLiteral("-c"), QStringLiteral("sleep 30")}, 300ms);
    QVERIFY(quick);
    QCOMPARE(quick->ending, ProcessRun::Ending::KilledAtLimit);
    QVERIFY(!quick->stillRunning());
}

void RemoteFoldersTest::mountWithAStuckProbeIsNotProbedAgain()
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const char* name : {"stuck/a.md", "good/c.md"})
        VaultTree::file(m_remotes, QString::fromLatin1(name), now);
    auto lingering = std::make_shared<std::atomic<bool>>(true);
    FakeProcessRunner runner([&](const QStringList& arguments, std::chrono::milliseconds limit) -> std::expected<ProcessRun, ProcessError> {
        if (arguments.first() == QLatin1String("ls") && arguments.last().endsWith(QLatin1String("/stuck"))) {
            ProcessRun run;
            run.ending = ProcessRun::Ending::KilledAtLimit;
            if (lingering->load())
                run.lingering = lingering;
            return run;
        }
        return ProcessRunner::system().run(arguments, limit);
    });
    const auto probesOfStuck = [&] {
        int probes = 0;
        for (const QStringList& call : runner.calls())
            probes += call.first() == QLatin1String("ls") && call.last().endsWith(QLatin1String("/stuck"));
        return probes;
    };

    for (int refresh = 0; refresh < 3; ++refresh)
        QCOMPARE(relativePaths(RemoteFolders::scan(m_remotes, {QStringLiteral("md")}, runner, {2s, 5s, 10s})),
                 QStringList{"good/c.md"});
    QCOMPARE(probesOfStuck(), 1);  // the first probe still hangs: no second one beside it

    lingering->store(false);  // the mount answered and the probe ended
    RemoteFolders::scan(m_remotes, {QStringLiteral("md")}, runner, {2s, 5s, 10s});
    QCOMPARE(probesOfStuck(), 2);
}

void RemoteFoldersTest::entriesAreDatedByTheirNames()
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    VaultTree::file(m_remotes, QStringLiteral("alpha/meetings/board/2026-01-15-board.md"), now);
    VaultTree::file(m_remotes, QStringLiteral("alpha/undated.md"), now);

    const auto entries = RemoteFolders::scan(m_remotes, {QStringLiteral("md")}, ProcessRunner::system(), {2s, 5s, 10s});
    QCOMPARE(entries.size(), 2);
    const bool datedFirst = entries.first().filename.startsWith(QLatin1String("2026"));
    const FileEntry& dated = entries.at(datedFirst ? 0 : 1);
    const FileEntry& undated = entries.at(datedFirst ? 1 : 0);

    const QDateTime jan15(QDate(2026, 1, 15), QTime(0, 0), Qt::LocalTime);
    QCOMPARE(dated.creationDate, jan15);
    QCOMPARE(dated.modificationDate, jan15);
    QCOMPARE(dated.filenameDate, std::optional(jan15));
    QCOMPARE(dated.domain, std::optional<QString>(QStringLiteral("board")));
    QCOMPARE(dated.fileType, std::optional<QString>(QStringLiteral("board")));
    QCOMPARE(dated.relativePath, QStringLiteral("alpha/meetings/board/2026-01-15-board.md"));
    QCOMPARE(dated.parentFolder, QStringLiteral("board"));
    QCOMPARE(dated.source, FileEntry::Source::Workspace);
    QCOMPARE(dated.fullPath, QUrl::fromLocalFile(m_remotes + QStringLiteral("/alpha/meetings/board/2026-01-15-board.md")));

    QCOMPARE(undated.creationDate, QDateTime(QDate(1, 1, 1), QTime(0, 0), Qt::UTC));
    QCOMPARE(undated.modificationDate, undated.creationDate);
    QVERIFY(!undated.filenameDate);
}

void RemoteFoldersTest::emptyOrMissingRemotesFolderListsNothing()
{
    QVERIFY(RemoteFolders::scan(m_remotes, {QStringLiteral("md")}, ProcessRunner::system(), {2s, 5s, 10s}).isEmpty());
    QVERIFY(RemoteFolders::scan(m_remotes + QStringLiteral("/none"), {QStringLiteral("md")}, ProcessRunner::system(), {2s, 5s, 10s})
                .isEmpty());
}

QTEST_GUILESS_MAIN(RemoteFoldersTest)
#include "tst_remote_folders.moc"
