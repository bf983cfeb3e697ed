// A mount that hangs inside a workspace folder (not below the remotes folder): the refresh and the
// deep search still list the folder's other files, the panel's folder mode and trash say that the
// disk does not answer without holding up the event loop, and the process still ends at once when
// it quits. Each case runs in a child process of this program, since only the end of a process
// shows what it waits for when it quits.

#include "SearchFixture.h"
#include "VaultFixture.h"

#include "platform/filemanager/FakeFileManager.h"
#include "platform/files/MountPoints.h"
#include "platform/childprocess/FakeProcessRunner.h"
#include "platform/workspace/FakeWorkspace.h"
#include "foundation/Opening.h"
#include "platform/mail/FakeMailComposer.h"
#include "platform/notifications/FakeNotifications.h"
#include "support/SlowMount.h"
#include "vault/FileDates.h"
#include "vault/FrozenMounts.h"
#include "vault/LiveScanListers.h"
#include "vault/SearchFileActions.h"
#include "vault/SearchIndex.h"
#include "vault/SpotlightScanner.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTest>
#include <QTimer>

#include <cstdio>

using namespace harkwell;
using namespace harkwell::test;

namespace {

constexpr char kScenarioVariable[] = "HARKWELL_FROZEN_SCENARIO";
constexpr char kWorkspaceVariable[] = "HARKWELL_FROZEN_WORKSPACE";
constexpr int kHangSeconds = 40;

// The longest the event loop went without turning, measured by a timer that fires every 20 ms.
class LoopWatch {
public:
    LoopWatch()
    {
        m_timer.setInterval(20);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { m_worst = std::max(m_worst, m_clock.restart()); });
        m_clock.start();
        m_timer.start();
    }
    qint64 worstGapMs() { return std::max(m_worst, m_clock.elapsed()); }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_worst = 0;
};

void say(const QString& key, const QString& value)
{
    std::printf("%s: %s\n", qPrintable(key), qPrintable(value));
    std::fflush(stdout);
}

QStringList listedNames(const FileScanner& scanner)
{
    QStringList listed;
    for (const FileEntry& entry : scanner.todayFiles())
        listed.append(entry.filename);
    for (const FileEntry& entry : scanner.recentFiles())
        listed.append(entry.filename);
    return listed;
}

// The child: acts as the scenario says on the workspace folder (whose "dead" folder is the frozen
// mount), reports what it saw, and returns, which quits as the application does.
int runScenario(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QString scenario = qEnvironmentVariable(kScenarioVariable);
    const QString workspace = qEnvironmentVariable(kWorkspaceVariable);
    LoopWatch watch;

    if (scenario == QLatin1String("refresh")) {
        Settings settings(workspace + QStringLiteral("/../settings.json"));
        settings.update([&](AppSettings& values) {
            values.vaultPath = workspace + QStringLiteral("/../vault");
            values.additionalPaths = {workspace};
            values.remotesPath.reset();
        });
        // A clock of the test's own: the scanner's pending sleeps unwind when it goes.
        FakeClock clock(QDateTime::currentDateTimeUtc());
        FileScanner scanner(std::make_shared<LiveScanListers>(), settings, clock);
        // What it lists by then is reported either way; the parent judges it.
        [[maybe_unused]] const bool listed = QTest::qWaitFor([&] { return !scanner.isScanning(); }, 15'000);
        say(QStringLiteral("names"), listedNames(scanner).join(QLatin1Char(',')));
    } else {
        // The panel over a listing that names a file on the frozen mount and one beside it.
        SearchHome home;
        home.listers->set({entry(workspace, QStringLiteral("a.md"), at(1, 9)), entry(workspace, QStringLiteral("dead/x.md"), at(1, 10))});
        const auto scanner = home.scanner();
        const auto deep = [workspace] {
            return SpotlightScanner::scanWorkspace(workspace, workspace, FileDates::distantPast(), {QStringLiteral("md")}, {},
                                                   FileEntry::Source::Workspace)
                .value_or(QList<FileEntry>());
        };
        SearchIndex index(*scanner, home.settings, deep);
        FakeFileManager fileManager;
        FakeMailComposer mail;
        FakeNotifications notifications;
        Notifications::setCurrent(&notifications);
        FakeWorkspace workspaceOpener;  // no desktop program is started whatever happens
        Opening::setWorkspace(&workspaceOpener);
        SearchFileActions actions(index, home.settings, {&fileManager, &mail, [] { return QStringLiteral("python3"); }});
        index.search();  // the selected row is the newest: the file on the frozen mount
        if (scenario == QLatin1String("folder"))
            index.drillIntoFolder();
        else if (scenario == QLatin1String("trash"))
            actions.deleteSelected();
        else if (scenario == QLatin1String("pdf"))
            actions.pdfSelected();
        else if (scenario == QLatin1String("open"))
            actions.openFile(*index.selectedFile());
        else
            index.setDeepSearch(true);
        [[maybe_unused]] const bool ended = QTest::qWaitFor(
            [&] {
                return index.notice().has_value() || !notifications.posted().isEmpty()
                       || (scenario == QLatin1String("deep") && !index.isLoadingFull());
            },
            15'000);
        say(QStringLiteral("notice"), notifications.posted().isEmpty() ? index.notice().value_or(QString())
                                                                       : notifications.posted().first().body);
        Notifications::setCurrent(nullptr);
        Opening::setWorkspace(nullptr);
        say(QStringLiteral("names"), names(index.results()).join(QLatin1Char(',')));
    }
    say(QStringLiteral("gap"), QString::number(watch.worstGapMs()));
    say(QStringLiteral("quitting"), QString());
    return 0;
}

}  // namespace

class FrozenMountTest : public QObject {
    Q_OBJECT

private slots:
    void mountThatHangsInsideAWorkspaceFolder_data();
    void mountThatHangsInsideAWorkspaceFolder();
    void onlyMountsAWalkWouldEnterAreAsked_data();
    void onlyMountsAWalkWouldEnterAreAsked();
    void mountPointsBelowAFolderComeFromTheTable();
};

void FrozenMountTest::mountThatHangsInsideAWorkspaceFolder_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QString>("notice");
    QTest::addColumn<QString>("names");

    QTest::newRow("refresh lists the folder's other files") << "refresh" << "" << "a.md";
    QTest::newRow("deep search lists the folder's other files") << "deep" << "" << "a.md";
    QTest::newRow("folder mode") << "folder" << QString::fromUtf8(SearchIndex::kFolderNotAnswering) << "x.md,a.md";
    QTest::newRow("trash") << "trash" << QString::fromUtf8(SearchFileActions::kTrashNotAnswering).arg("x.md") << "x.md,a.md";
    QTest::newRow("pdf") << "pdf" << QString::fromUtf8(SearchFileActions::kPdfNotAnswering).arg("x.md") << "x.md,a.md";
    QTest::newRow("open") << "open" << QString::fromUtf8(SearchFileActions::kOpenNotAnswering).arg("x.md") << "x.md,a.md";
}

void FrozenMountTest::mountThatHangsInsideAWorkspaceFolder()
{
    QFETCH(QString, scenario);
    QFETCH(QString, notice);
    QFETCH(QString, names);

    TempHome home;
    const QString workspace = home.make(QStringLiteral("work"));
    VaultTree::file(workspace, QStringLiteral("a.md"), QDateTime::currentDateTime().addSecs(-60));
    home.make(QStringLiteral("vault"));
    // Opening the mount, or looking up any name in it, takes longer than the whole case may.
    SlowMount mount(workspace + QStringLiteral("/dead"), kHangSeconds, SlowMount::Hang::ListingAndLookups);
    QVERIFY2(mount.start(), qPrintable(mount.error()));

    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(kScenarioVariable), scenario);
    environment.insert(QString::fromLatin1(kWorkspaceVariable), workspace);
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QByteArray output;
    connect(&child, &QProcess::readyReadStandardOutput, this, [&] { output += child.readAllStandardOutput(); });
    child.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(child.waitForStarted());

    QVERIFY2(QTest::qWaitFor([&] { return output.contains("quitting:") || child.state() == QProcess::NotRunning; }, 25'000),
             output.constData());
    QElapsedTimer quitting;
    quitting.start();
    QVERIFY2(QTest::qWaitFor([&] { return child.state() == QProcess::NotRunning; }, 2'000),
             qPrintable(QStringLiteral("still running %1 ms after it quit").arg(quitting.elapsed())));
    output += child.readAllStandardOutput();

    QMap<QString, QString> said;
    for (const QByteArray& line : output.split('\n'))
        if (const qsizetype colon = line.indexOf(": "); colon > 0)
            said.insert(QString::fromUtf8(line.left(colon)), QString::fromUtf8(line.mid(colon + 2)));
    QCOMPARE(said.value(QStringLiteral("notice")), notice);
    QCOMPARE(said.value(QStringLiteral("names")), names);
    QVERIFY2(said.value(QStringLiteral("gap")).toInt() < 1000, qPrintable(said.value(QStringLiteral("gap"))));
}

void FrozenMountTest::onlyMountsAWalkWouldEnterAreAsked_data()
{
    QTest::addColumn<QString>("mountAt");  // below the workspace folder
    QTest::addColumn<QStringList>("prunedNames");
    QTest::addColumn<bool>("skipHidden");
    QTest::addColumn<bool>("asked");

    QTest::newRow("a mount the walk enters") << "dead" << QStringList() << true << true;
    QTest::newRow("below a pruned name") << "remotes/dead" << QStringList{"remotes"} << true << false;
    QTest::newRow("below a hidden folder") << ".box/dead" << QStringList() << true << false;
    QTest::newRow("below a hidden folder the walk enters") << ".box/dead" << QStringList() << false << true;
}

void FrozenMountTest::onlyMountsAWalkWouldEnterAreAsked()
{
    QFETCH(QString, mountAt);
    QFETCH(QStringList, prunedNames);
    QFETCH(bool, skipHidden);
    QFETCH(bool, asked);

    TempHome home;
    const QString workspace = home.make(QStringLiteral("work"));
    SlowMount mount(workspace + QLatin1Char('/') + mountAt, kHangSeconds);
    QVERIFY2(mount.start(), qPrintable(mount.error()));
    // Every probe runs into its limit, as on a frozen mount; none touches the mount itself.
    FakeProcessRunner runner([](const QStringList&, std::chrono::milliseconds) -> std::expected<ProcessRun, ProcessError> {
        ProcessRun run;
        run.ending = ProcessRun::Ending::KilledAtLimit;
        return run;
    });
    const QStringList frozen =
        FrozenMounts::below(workspace, QSet<QString>(prunedNames.begin(), prunedNames.end()), skipHidden, runner);
    QCOMPARE(runner.calls().size(), asked ? 1 : 0);
    QCOMPARE(frozen, asked ? QStringList{workspace + QLatin1Char('/') + mountAt} : QStringList());
}

void FrozenMountTest::mountPointsBelowAFolderComeFromTheTable()
{
    // Fields as /proc/self/mountinfo gives them; a blank in a path is written "\040".
    const QByteArray table = "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
                             "40 22 0:40 / /home/ann/work/dead rw - fuse fuse rw\n"
                             "41 22 0:41 / /home/ann/work/my\\040disk rw - fuse fuse rw\n"
                             "42 22 0:42 / /home/ann/work rw - ext4 /dev/sdb1 rw\n"
                             "43 22 0:43 / /home/ann/workshop/x rw - ext4 /dev/sdc1 rw\n";
    QCOMPARE(MountPoints::below("/home/ann/work/", table),
             (QList<QByteArray>{"/home/ann/work/dead", "/home/ann/work/my disk"}));
}

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsSet(kScenarioVariable))
        return runScenario(argc, argv);
    QCoreApplication app(argc, argv);
    FrozenMountTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_frozen_mount.moc"
