// The user's command after a transcript: environment, working folder, one run per id, the logged
// tail of its output, and the time limit that leaves no process of the command behind.

#include "foundation/HarkwellLog.h"
#include "pipeline/AfterTranscriptCommand.h"
#include "platform/clock/FakeClock.h"
#include "platform/paths/Paths.h"
#include "support/LogFile.h"
#include "support/TempHome.h"

#include <QFile>
#include <QSignalSpy>
#include <QTest>

#include <optional>

#include <signal.h>

using namespace harkwell;
using namespace std::chrono_literals;

namespace {

using test::logText;

QString readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// Gone, or a zombie that only waits for a parent to reap it.
bool processIsGone(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    return close >= 0 && text.mid(close + 2, 1) == "Z";
}

struct Fixture {
    test::TempHome home;
    FakeClock clock;
    QString command;
    QString vaultPath = QStringLiteral("~/Vault");
    AfterTranscriptCommand runner{clock, [this] { return AfterTranscriptCommand::Setup{command, vaultPath}; }};

    Fixture() { home.make(QStringLiteral("Vault/_inbox")); }
    QString vault() const { return home.path() + QStringLiteral("/Vault"); }
};

}  // namespace

class TestAfterTranscriptCommand : public QObject {
    Q_OBJECT

private slots:
    void runsInTheVaultWithTheCaptureVariables()
    {
        Fixture f;
        qputenv("HARKWELL_ID", "stale");
        qputenv("HARKWELL_PASSTHROUGH", "kept");
        f.command = QStringLiteral(
            "  printf '%s\\n' \"$PWD\" \"$HARKWELL_ID\" \"$HARKWELL_FILE\" \"$HARKWELL_FOLDER\" "
            "\"$HARKWELL_PASSTHROUGH\" > seen.txt \n");
        QSignalSpy ended(&f.runner, &AfterTranscriptCommand::runEnded);

        f.runner.transcriptWritten(QStringLiteral("260304-090000"));
        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 10000);

        const QStringList lines = readFile(f.vault() + QStringLiteral("/seen.txt")).split(QLatin1Char('\n'));
        QCOMPARE(lines.value(0), f.vault());
        QCOMPARE(lines.value(1), QStringLiteral("260304-090000"));
        QCOMPARE(lines.value(2), f.vault() + QStringLiteral("/_inbox/260304-090000.md"));
        QCOMPARE(lines.value(3), f.vault());
        QCOMPARE(lines.value(4), QStringLiteral("kept"));
        QVERIFY(!f.runner.isRunning(QStringLiteral("260304-090000")));

        const QString log = logText();
        QVERIFY(log.contains(QStringLiteral("[harkwell] after-transcript: started for 260304-090000 (pid ")));
        QVERIFY(log.contains(QStringLiteral("[harkwell] after-transcript: 260304-090000 exited 0 after 0 s")));
        // A command that prints nothing logs no output block.
        QVERIFY(!log.contains(QStringLiteral("output (end)")));
        qunsetenv("HARKWELL_ID");
        qunsetenv("HARKWELL_PASSTHROUGH");
    }

    void blankCommandRunsNothing()
    {
        Fixture f;
        f.command = QStringLiteral(" \n\t ");
        f.runner.transcriptWritten(QStringLiteral("a"));
        QVERIFY(!f.runner.isRunning(QStringLiteral("a")));
        QCoreApplication::processEvents();
        QVERIFY(!logText().contains(QStringLiteral("after-transcript")));
    }

    void oneRunPerIdAtATime()
    {
        Fixture f;
        f.command = QStringLiteral("echo \"$HARKWELL_ID\" >> runs.txt");
        QSignalSpy ended(&f.runner, &AfterTranscriptCommand::runEnded);

        f.runner.transcriptWritten(QStringLiteral("a"));
        f.runner.transcriptWritten(QStringLiteral("a"));
        f.runner.transcriptWritten(QStringLiteral("b"));
        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 2, 10000);

        QStringList runs = readFile(f.vault() + QStringLiteral("/runs.txt")).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        runs.sort();
        QCOMPARE(runs, (QStringList{QStringLiteral("a"), QStringLiteral("b")}));
        QCOMPARE(logText().count(QStringLiteral("after-transcript: a already running; not started again")), 1);

        // Once ended, the id may run again.
        f.runner.transcriptWritten(QStringLiteral("a"));
        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 3, 10000);
    }

    void logsTheExitStatusAndTheTailOfBothStreams()
    {
        Fixture f;
        // 10,000 bytes on standard output, then a marker on standard error, then status 3.
        f.command = QStringLiteral("head -c 10000 /dev/zero | tr '\\0' x; echo; echo 'the end' >&2; exit 3");
        QSignalSpy ended(&f.runner, &AfterTranscriptCommand::runEnded);
        f.runner.transcriptWritten(QStringLiteral("c"));
        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 10000);

        const QString log = logText();
        QVERIFY(log.contains(QStringLiteral("after-transcript: c exited 3 after 0 s")));
        // The log keeps each record on one line: the output's line breaks are written as "\n".
        const QString marker = QStringLiteral("after-transcript: c output (end):\\n");
        const qsizetype at = log.indexOf(marker);
        QVERIFY(at >= 0);
        const QString tail = log.mid(at + marker.size()).section(QLatin1Char('\n'), 0, 0).replace(QStringLiteral("\\n"), QStringLiteral("\n"));
        QVERIFY(tail.endsWith(QStringLiteral("the end")));
        QVERIFY(tail.size() <= AfterTranscriptCommand::kTailBytes);
        QVERIFY(tail.startsWith(QLatin1Char('x')));
    }

    void aMissingVaultFolderIsLoggedAsNotStarted()
    {
        Fixture f;
        f.vaultPath = QStringLiteral("~/Nowhere");
        f.command = QStringLiteral("true");
        QSignalSpy ended(&f.runner, &AfterTranscriptCommand::runEnded);
        f.runner.transcriptWritten(QStringLiteral("d"));
        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 10000);
        QVERIFY(logText().contains(QStringLiteral("after-transcript: could not start for d: ")));
        QVERIFY(!f.runner.isRunning(QStringLiteral("d")));
    }

    void theTimeLimitEndsTheWholeGroup_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<bool>("shellIgnoresTerminate");
        // A child that ignores the terminate request and would outlive its shell.
        QTest::newRow("child ignores terminate")
            << QStringLiteral("(trap '' TERM HUP; exec sleep 300) & echo $! > child.pid; wait") << false;
        // The shell itself ignores it; only the kill after the grace ends it.
        QTest::newRow("shell ignores terminate")
            << QStringLiteral("trap '' TERM HUP; sleep 300 & echo $! > child.pid; wait; wait") << true;
    }

    void theTimeLimitEndsTheWholeGroup()
    {
        QFETCH(QString, command);
        QFETCH(bool, shellIgnoresTerminate);
        Fixture f;
        f.command = command;
        QSignalSpy ended(&f.runner, &AfterTranscriptCommand::runEnded);
        f.runner.transcriptWritten(QStringLiteral("e"));

        const QString pidFile = f.vault() + QStringLiteral("/child.pid");
        QTRY_VERIFY_WITH_TIMEOUT(readFile(pidFile).endsWith(QLatin1Char('\n')), 10000);
        const qint64 child = readFile(pidFile).trimmed().toLongLong();
        QVERIFY(child > 1);
        QTRY_COMPARE_WITH_TIMEOUT(f.clock.pendingSleepers(), 1, 10000);

        f.clock.advance(AfterTranscriptCommand::kTimeLimit - 1s);
        QTest::qWait(0);
        QVERIFY(!processIsGone(child));
        f.clock.advance(1s);
        if (shellIgnoresTerminate) {
            QTRY_COMPARE_WITH_TIMEOUT(f.clock.pendingSleepers(), 1, 10000);
            QCOMPARE(ended.count(), 0);
            f.clock.advance(AfterTranscriptCommand::kKillGrace);
        }
        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(processIsGone(child), 10000);

        const QString seconds = shellIgnoresTerminate ? QStringLiteral("605") : QStringLiteral("600");
        QVERIFY(logText().contains(QStringLiteral("after-transcript: e stopped after %1 s (time limit)").arg(seconds)));
        QVERIFY(!logText().contains(QStringLiteral("e exited")));
    }
};

QTEST_GUILESS_MAIN(TestAfterTranscriptCommand)
#include "tst_after_transcript_command.moc"
