// Running applications read from /proc: a real child under a unique name is found by its bundle
// identifier, asked to quit, and seen gone; this process never counts.

#include "platform/runningapps/ProcRunningApplications.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

using namespace harkwell;

class RunningApplicationsTest : public QObject {
    Q_OBJECT
private slots:
    void namesFromTheBundleIdentifier()
    {
        QCOMPARE(ProcRunningApplications::processNames("app.corvale.Corvale"), (QStringList{"app.corvale.Corvale", "Corvale"}));
        QCOMPARE(ProcRunningApplications::processNames("corvale"), QStringList{"corvale"});
    }

    void findsAsksAndSeesAChildQuit()
    {
        // A copy of sleep under a name no other process has, so nothing else is ever signalled.
        QTemporaryDir dir;
        const QString name = QStringLiteral("hw") + QUuid::createUuid().toString(QUuid::Id128).left(10);
        const QString program = dir.filePath(name);
        QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), program));
        QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner);

        ProcRunningApplications applications;
        const QString identifier = QStringLiteral("org.example.") + name;
        QVERIFY(applications.instances(identifier).isEmpty());

        QProcess child;
        child.start(program, {QStringLiteral("300")});
        QVERIFY(child.waitForStarted());
        QList<RunningProcess> found;
        QTRY_VERIFY_WITH_TIMEOUT(!(found = applications.instances(identifier)).isEmpty(), 5000);
        QCOMPARE(found.size(), 1);
        QCOMPARE(found.first().pid, child.processId());
        QVERIFY(!applications.hasTerminated(found.first()));

        // The same id with another start time is some other process: not ours to signal.
        RunningProcess impostor = found.first();
        ++impostor.startTicks;
        QVERIFY(applications.hasTerminated(impostor));
        QVERIFY(!applications.requestQuit(impostor));
        QVERIFY(!applications.hasTerminated(found.first()));

        QVERIFY(applications.requestQuit(found.first()));
        QVERIFY(child.waitForFinished(5000));
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);  // ended by SIGTERM
        QVERIFY(applications.hasTerminated(found.first()));
        QVERIFY(applications.instances(identifier).isEmpty());
    }

    void neverThisProcess()
    {
        ProcRunningApplications applications;
        const QString self = QCoreApplication::applicationFilePath().section('/', -1);
        QVERIFY(applications.instances(QStringLiteral("org.example.") + self).isEmpty());
    }
};

QTEST_MAIN(RunningApplicationsTest)
#include "tst_running_applications.moc"
