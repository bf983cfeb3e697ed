// Capture status counts: inbox notes by job status, today's total and the newest note; what cannot
// be listed or read shrinks into the counts; the timer's first count comes after 1 s and then every
// 30 s; the coordinator's reports publish only what changed.

#include "foundation/Settings.h"
#include "pipeline/CaptureStatus.h"
#include "platform/clock/FakeClock.h"
#include "platform/filesystem/FakeFileSystem.h"
#include "platform/paths/Paths.h"
#include "support/Fifo.h"
#include "support/TempHome.h"

#include <QDir>
#include <QSignalSpy>
#include <QTest>

#include <cerrno>

using namespace harkwell;
using namespace std::chrono_literals;

namespace {

QString utcText(const QDateTime& time) { return time.toUTC().toString("yyyy-MM-ddTHH:mm:ssZ"); }

class Inbox {
public:
    QString vault() const { return home.path() + "/Vault"; }
    QString folder() const { return vault() + "/_inbox"; }

    // A note as the pipeline writes it; absent values leave their line out.
    void note(const QString& name, std::optional<QString> status, std::optional<QDateTime> created = {},
              std::optional<QString> title = {}) const
    {
        const QString id = name.section('.', 0, 0);
        QStringList lines{"---", "id: " + id};
        if (created)
            lines << "created: " + utcText(*created);
        lines << "classification: voice_memo" << "status: pending" << "source:" << "  type: audio";
        if (status)
            lines << "  mirelon_job_status: " + *status;
        if (title)
            lines << "title: " + *title;
        lines << "---" << "" << "body";
        home.writeFile("Vault/_inbox/" + name, lines.join('\n').toUtf8());
    }

    test::TempHome home;
};

const QDateTime kNow = QDateTime(QDate(2026, 3, 4), QTime(15, 0)).toLocalTime();

}  // namespace

class CaptureStatusTest : public QObject {
    Q_OBJECT
private slots:
    void countsByJobStatus_data()
    {
        QTest::addColumn<QString>("status");  // "<absent>": no key at all
        QTest::addColumn<QString>("bucket");
        for (const char* s : {"done"})
            QTest::newRow(s) << s << "done";
        QTest::newRow("processing") << "processing" << "processing";
        for (const char* s : {"upload_failed", "failed", "poll_timeout", "paywalled"})
            QTest::newRow(s) << s << "failed";
        for (const char* s : {"queued", "skipped", "duplicate_upload", "pending", "completed", "unknown", "<absent>"})
            QTest::newRow(s) << s << "pending";
    }
    void countsByJobStatus()
    {
        QFETCH(QString, status);
        QFETCH(QString, bucket);
        Inbox inbox;
        inbox.note("a.md", status == "<absent>" ? std::nullopt : std::optional(status), kNow.addSecs(-60));
        const CaptureStatus::Snapshot s = CaptureStatus::count(inbox.folder(), kNow, FileSystem::local());
        const QMap<QString, int> counts{{"pending", s.pending}, {"processing", s.processing}, {"done", s.done}, {"failed", s.failed}};
        for (auto it = counts.begin(); it != counts.end(); ++it)
            QCOMPARE(it.value(), it.key() == bucket ? 1 : 0);
    }

    void todaysTotalAndTheNewestNote()
    {
        Inbox inbox;
        const QDateTime midnight = kNow.date().startOfDay();
        inbox.note("midnight.md", "done", midnight, "Standup");
        inbox.note("yesterday.md", "done", midnight.addSecs(-1), "Late thought");
        inbox.note("newest.md", "queued", kNow.addSecs(-5));  // untitled, though others have titles
        inbox.note("older.md", "failed", kNow.addSecs(-3600), "Older");

        const CaptureStatus::Snapshot s = CaptureStatus::count(inbox.folder(), kNow, FileSystem::local());
        QCOMPARE(s.totalToday, 3);
        QCOMPARE(s.done, 2);
        QCOMPARE(s.pending, 1);
        QCOMPARE(s.failed, 1);
        QCOMPARE(s.mostRecentId, std::optional<QString>("newest"));
        QCOMPARE(s.mostRecentTitle, std::nullopt);
    }

    void aNoteWithoutCreatedIsTodaysNewest()
    {
        Inbox inbox;
        const QDateTime now = QDateTime::currentDateTime();
        inbox.note("dated.md", "done", now.addSecs(-60), "Dated");
        inbox.note("undated.md", std::nullopt, std::nullopt, "Undated");
        const CaptureStatus::Snapshot s = CaptureStatus::count(inbox.folder(), now, FileSystem::local());
        QCOMPARE(s.totalToday, 2);
        QCOMPARE(s.mostRecentTitle, std::optional<QString>("Undated"));
    }

    void onlyReadableTopLevelNotesCount()
    {
        Inbox inbox;
        inbox.note("counted.md", "done", kNow);
        inbox.home.writeFile("Vault/_inbox/plain.md", "# no frontmatter\n");
        inbox.note("capital.MD", "done", kNow);
        inbox.note(".hidden.md", "done", kNow);
        inbox.note("audio.m4a", "done", kNow);
        inbox.home.writeFile("Vault/_inbox/.audio/inside.md", "---\nid: inside\n---\n");
        inbox.home.writeFile("Vault/_inbox/sub/nested.md", "---\nid: nested\n---\n");
        const CaptureStatus::Snapshot s = CaptureStatus::count(inbox.folder(), kNow, FileSystem::local());
        QCOMPARE(s.done + s.pending + s.processing + s.failed, 1);
        QCOMPARE(s.mostRecentId, std::optional<QString>("counted"));
    }

    void aFifoInTheInboxIsPassedOverWithoutWaiting()
    {
        Inbox inbox;
        inbox.note("counted.md", "done", kNow);
        const QString fifo = inbox.folder() + "/pipe.md";
        QVERIFY(test::makeFifo(fifo));
        CaptureStatus::Snapshot s;
        QVERIFY(test::finishesWithoutWriter(fifo, [&] { s = CaptureStatus::count(inbox.folder(), kNow, FileSystem::local()); }));
        QCOMPARE(s.done + s.pending + s.processing + s.failed, 1);
        QCOMPARE(s.mostRecentId, std::optional<QString>("counted"));
    }

    void anUnlistableInboxCountsNothing()
    {
        Inbox inbox;
        inbox.note("a.md", "done", kNow, "A");
        FakeFileSystem files;
        files.denyListing(inbox.folder(), EACCES);
        QCOMPARE(CaptureStatus::count(inbox.folder(), kNow, files), CaptureStatus::Snapshot{});
        QCOMPARE(CaptureStatus::count(inbox.home.path() + "/NoVault/_inbox", kNow, FileSystem::local()), CaptureStatus::Snapshot{});
    }

    void countsOneSecondAfterStartThenEveryThirtySeconds()
    {
        Inbox inbox;
        inbox.note("a.md", "done", kNow, "A");
        Settings settings(Paths::settingsFile());
        settings.update([&](AppSettings& s) { s.vaultPath = inbox.vault(); });
        FakeClock clock(kNow);
        CaptureStatus status(settings, clock, FileSystem::local());
        QSignalSpy changed(&status, &CaptureStatus::changed);

        status.start();
        QTRY_COMPARE_WITH_TIMEOUT(clock.pendingSleepers(), 1, 5000);
        clock.advance(999ms);
        QCOMPARE(clock.pendingSleepers(), 1);
        clock.advance(1ms);
        QTRY_COMPARE_WITH_TIMEOUT(changed.size(), 1, 5000);
        QCOMPARE(status.snapshot().done, 1);
        QCOMPARE(status.snapshot().mostRecentTitle, std::optional<QString>("A"));

        // Published again even when nothing changed, and the inbox is read afresh.
        QTRY_COMPARE_WITH_TIMEOUT(clock.pendingSleepers(), 1, 5000);
        clock.advance(29999ms);
        QCOMPARE(clock.pendingSleepers(), 1);
        inbox.note("b.md", "failed", kNow, "B");
        clock.advance(1ms);
        QTRY_COMPARE_WITH_TIMEOUT(changed.size(), 2, 5000);
        QCOMPARE(status.snapshot().failed, 1);

        // A restart's first count comes 1 s later; the old schedule stops.
        QTRY_COMPARE_WITH_TIMEOUT(clock.pendingSleepers(), 1, 5000);
        clock.advance(10s);
        status.start();
        QTRY_COMPARE_WITH_TIMEOUT(clock.pendingSleepers(), 2, 5000);
        clock.advance(1s);
        QTRY_COMPARE_WITH_TIMEOUT(changed.size(), 3, 5000);
        clock.advance(20s);  // the old schedule's tick, then the new one's at 31 s
        clock.advance(10s);
        QTRY_COMPARE_WITH_TIMEOUT(changed.size(), 4, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(clock.pendingSleepers(), 1, 5000);
        QCOMPARE(changed.size(), 4);
    }

    // A clock that jumps ahead (a wake from sleep, a time set by hand) gives one count for all the
    // deadlines it passed, and the next comes a full interval or less after it.
    void aJumpOfTheClockCountsOnce_data()
    {
        QTest::addColumn<int>("jumpSeconds");
        QTest::newRow("one interval") << 30;
        QTest::newRow("five minutes and a bit") << 301;
        QTest::newRow("eight hours") << 8 * 3600;
    }
    void aJumpOfTheClockCountsOnce()
    {
        QFETCH(int, jumpSeconds);
        Inbox inbox;
        Settings settings(Paths::settingsFile());
        settings.update([&](AppSettings& s) { s.vaultPath = inbox.vault(); });
        FakeClock clock(kNow);
        CaptureStatus status(settings, clock, FileSystem::local());
        QSignalSpy changed(&status, &CaptureStatus::changed);
        status.start();
        QTRY_COMPARE_WITH_TIMEOUT(clock.pendingSleepers(), 1, 5000);
        clock.advance(1s);
        QTRY_COMPARE_WITH_TIMEOUT(changed.size(), 1, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(clock.pendingSleepers(), 1, 5000);

        clock.setNow(clock.now().addSecs(jumpSeconds));
        QTRY_COMPARE_WITH_TIMEOUT(changed.size(), 2, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(clock.pendingSleepers(), 1, 5000);
        QTest::qWait(50);
        QCOMPARE(changed.size(), 2);
        clock.advance(30s);
        QTRY_COMPARE_WITH_TIMEOUT(changed.size(), 3, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(clock.pendingSleepers(), 1, 5000);
        QTest::qWait(50);
        QCOMPARE(changed.size(), 3);
    }

    void coordinatorReportsPublishWhatChanged()
    {
        test::TempHome home;
        Settings settings(Paths::settingsFile());
        FakeClock clock(kNow);
        CaptureStatus status(settings, clock, FileSystem::local());
        QSignalSpy changed(&status, &CaptureStatus::changed);

        status.recordPoll(2);
        QTRY_COMPARE_WITH_TIMEOUT(changed.size(), 1, 5000);
        QCOMPARE(status.lastPoll(), std::optional(kNow));
        QCOMPARE(status.lastNewCapture(), std::optional(kNow));

        clock.advance(30s);
        status.recordPoll(0);
        QTRY_COMPARE_WITH_TIMEOUT(changed.size(), 2, 5000);
        QCOMPARE(status.lastPoll(), std::optional(kNow.addSecs(30)));
        QCOMPARE(status.lastNewCapture(), std::optional(kNow));

        status.updateAccess(CaptureAccess::State::ok(3));
        status.updateAccess(CaptureAccess::State::ok(3));
        status.updateAccess(CaptureAccess::State::ok(4));
        status.recordPoll(0);  // a marker: everything before it has been delivered
        QTRY_COMPARE_WITH_TIMEOUT(changed.size(), 5, 5000);
        QCOMPARE(status.access(), std::optional(CaptureAccess::State::ok(4)));
    }
};

QTEST_GUILESS_MAIN(CaptureStatusTest)
#include "tst_capture_status.moc"
