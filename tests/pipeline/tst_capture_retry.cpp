// Retrying pending captures: the watermark, which inbox notes are listed, and a run's progress,
// pauses and cancellation.

#include "PipelineFixture.h"

#include "pipeline/CaptureRetry.h"
#include "platform/defaults/Defaults.h"

#include <QFile>
#include <QTest>

#include <qcoro/qcorotask.h>

using namespace harkwell;
using namespace harkwell::test;
using namespace std::chrono_literals;

namespace {

using Progress = CaptureRetry::Progress;

QString describe(const Progress& p)
{
    switch (p.kind) {
    case Progress::Kind::Scanning: return QStringLiteral("scanning");
    case Progress::Kind::Uploading: return QStringLiteral("uploading %1/%2 %3").arg(p.done).arg(p.total).arg(p.currentId);
    case Progress::Kind::Finished: return QStringLiteral("finished %1/%2/%3").arg(p.uploaded).arg(p.skipped).arg(p.failed);
    case Progress::Kind::Failed: return QStringLiteral("failed");
    }
    return {};
}

}  // namespace

class TestCaptureRetry : public QObject {
    Q_OBJECT

private slots:
    void theWatermarkIsFixedAtItsFirstRead()
    {
        PipelineFixture f;
        Defaults::standard().remove(QString::fromLatin1(CaptureRetry::kWatermarkKey));
        const QDateTime first = CaptureRetry::retryWatermark(f.clock);
        QCOMPARE(first, f.clock.now());
        f.clock.advance(1h);
        QCOMPARE(CaptureRetry::retryWatermark(f.clock), first);
        QVERIFY(f.logText().contains(QStringLiteral("[harkwell] capture retry: watermark set to 2026-03-04T09:00:00Z")));
    }

    // A damaged defaults file, or the copy of one an earlier start kept aside, never moves the
    // watermark to now: its date comes from the damaged text, or else no capture is too old.
    void aDamagedDefaultsFileNeverMovesTheWatermark_data()
    {
        QTest::addColumn<QByteArray>("damaged");
        QTest::addColumn<bool>("keptBefore");
        QTest::addColumn<QDateTime>("watermark");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QStringList>("pending");

        const QByteArray truncated("{\"harkwell.loginItem.enabledOnce\": true,\n"
                                   "  \"harkwell.captureRetry.watermark\": \"2026-02-01T10:00:00.250Z\",\n"
                                   "  \"NSWindow Fra");
        const QDateTime february(QDate(2026, 2, 1), QTime(10, 0, 0, 250), Qt::UTC);
        const QDateTime earliest = QDateTime::fromSecsSinceEpoch(0, Qt::UTC);
        const QString taken = QStringLiteral("watermark 2026-02-01T10:00:00Z taken from it");
        const QString anyAge = QStringLiteral("it holds no watermark, so captures of any age are retried");
        const QStringList sinceFebruary{QStringLiteral("b-february")};
        const QStringList all{QStringLiteral("a-january"), QStringLiteral("b-february")};

        QTest::newRow("truncated") << truncated << false << february << taken << sinceFebruary;
        QTest::newRow("kept aside by an earlier start") << truncated << true << february << taken << sinceFebruary;
        QTest::newRow("empty") << QByteArray() << false << earliest << anyAge << all;
        QTest::newRow("not an object") << QByteArray("[1, 2]") << false << earliest << anyAge << all;
        QTest::newRow("watermark not a date") << QByteArray("{\"harkwell.captureRetry.watermark\": \"soon\"") << false
                                              << earliest << anyAge << all;
    }
    void aDamagedDefaultsFileNeverMovesTheWatermark()
    {
        QFETCH(QByteArray, damaged);
        QFETCH(bool, keptBefore);
        QFETCH(QDateTime, watermark);
        QFETCH(QString, line);
        QFETCH(QStringList, pending);

        PipelineFixture f;
        Defaults defaults = Defaults::standard();
        const QString damagedPath = keptBefore ? defaults.keptAsidePath() : defaults.filePath();
        if (keptBefore)
            defaults.remove(QString::fromLatin1(CaptureRetry::kWatermarkKey));
        QFile file(damagedPath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(damaged);
        file.close();
        auto created = [](InboxFrontmatter note, QDate day) {
            note.created = QDateTime(day, QTime(12, 0), Qt::UTC);
            return note;
        };
        f.placeNote(created(PipelineFixture::noteFor(QStringLiteral("a-january"), QStringLiteral("upload_failed")), QDate(2026, 1, 20)));
        f.placeNote(created(PipelineFixture::noteFor(QStringLiteral("b-february"), QStringLiteral("upload_failed")), QDate(2026, 2, 20)));

        QCOMPARE(CaptureRetry::retryWatermark(f.clock), watermark);
        f.clock.advance(1h);
        QCOMPARE(CaptureRetry::retryWatermark(f.clock), watermark);
        CaptureRetry retry(*f.pipeline, *f.settings, f.clock);
        QCOMPARE(retry.pendingIds(), pending);

        // The damaged text stays for a person to read, the file holds the watermark again, and the
        // log says it once.
        QFile kept(defaults.keptAsidePath());
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), damaged);
        QVERIFY(!defaults.cannotBeOpened());
        QCOMPARE(defaults.dateValue(QString::fromLatin1(CaptureRetry::kWatermarkKey)), watermark);
        QCOMPARE(f.logText().count(QStringLiteral("capture retry: ")), 1);
        QVERIFY2(f.logText().contains(line), qPrintable(f.logText()));
    }

    // Notes keep whole seconds, the watermark milliseconds: a capture of the watermark's own second
    // is listed and sent once, one of the second before is left alone.
    void theWatermarksOwnSecondCounts_data()
    {
        QTest::addColumn<QTime>("created");
        QTest::addColumn<bool>("listed");
        QTest::newRow("second before") << QTime(8, 59, 59) << false;
        QTest::newRow("same second") << QTime(9, 0, 0) << true;
        QTest::newRow("second after") << QTime(9, 0, 1) << true;
    }
    void theWatermarksOwnSecondCounts()
    {
        QFETCH(QTime, created);
        QFETCH(bool, listed);

        PipelineFixture f;
        Defaults::standard().setDate(QString::fromLatin1(CaptureRetry::kWatermarkKey),
                                     QDateTime(QDate(2026, 3, 4), QTime(9, 0, 0, 400), Qt::UTC));
        InboxFrontmatter note = PipelineFixture::noteFor(QStringLiteral("260304-090000"), QStringLiteral("upload_failed"));
        note.created = QDateTime(QDate(2026, 3, 4), created, Qt::UTC);
        f.placeNote(note);

        CaptureRetry retry(*f.pipeline, *f.settings, f.clock);
        QCOMPARE(retry.pendingIds().size(), listed ? 1 : 0);
        QCOMPARE(CaptureRetry::ids(f.vault(), &CapturePipeline::isResumable, f.clock).size(), listed ? 1 : 0);
        QCoro::waitFor(retry.run([](const Progress&) {}));
        QCOMPARE(f.service.requests("POST", QStringLiteral("sources")).size(), listed ? 1 : 0);
        QVERIFY(retry.pendingIds().isEmpty());
        QCoro::waitFor(retry.run([](const Progress&) {}));
        QCOMPARE(f.service.requests("POST", QStringLiteral("sources")).size(), listed ? 1 : 0);
        if (listed)
            QTRY_VERIFY_WITH_TIMEOUT(f.eventNames().contains(QStringLiteral("transcriptReady")), 20000);
    }

    void listsRetryableNotesWithAudioSinceTheWatermark()
    {
        PipelineFixture f;
        Defaults::standard().setDate(QString::fromLatin1(CaptureRetry::kWatermarkKey), QDateTime(QDate(2026, 3, 1), QTime(0, 0), Qt::UTC));
        auto old = [](InboxFrontmatter note) {
            note.created = QDateTime(QDate(2026, 2, 1), QTime(0, 0), Qt::UTC);
            return note;
        };
        f.placeNote(PipelineFixture::noteFor(QStringLiteral("a-no-status"), std::nullopt));
        f.placeNote(PipelineFixture::noteFor(QStringLiteral("b-queued-no-key"), QStringLiteral("queued"), QString()));
        f.placeNote(PipelineFixture::noteFor(QStringLiteral("c-queued-key"), QStringLiteral("queued"), QStringLiteral("k")));
        f.placeNote(PipelineFixture::noteFor(QStringLiteral("d-paywalled"), QStringLiteral("paywalled"), QStringLiteral("k")));
        f.placeNote(PipelineFixture::noteFor(QStringLiteral("e-done"), QStringLiteral("done"), QStringLiteral("k")));
        f.placeNote(old(PipelineFixture::noteFor(QStringLiteral("f-old"), QStringLiteral("failed"))));
        InboxFrontmatter recording = old(PipelineFixture::noteFor(QStringLiteral("g-old-recording"), QStringLiteral("failed")));
        recording.sourceOrigin = QStringLiteral("harkwell_recorder");
        f.placeNote(recording);
        f.placeNote(PipelineFixture::noteFor(QStringLiteral("h-no-audio"), QStringLiteral("skipped")));
        QFile::remove(*f.inbox().audioCopyPath(QStringLiteral("h-no-audio")));

        CaptureRetry retry(*f.pipeline, *f.settings, f.clock);
        QCOMPARE(retry.pendingIds(), (QStringList{QStringLiteral("a-no-status"), QStringLiteral("b-queued-no-key"),
                                                  QStringLiteral("d-paywalled"), QStringLiteral("g-old-recording")}));
        QCOMPARE(CaptureRetry::ids(f.vault(), &CapturePipeline::isResumable, f.clock),
                 (QStringList{QStringLiteral("b-queued-no-key"), QStringLiteral("c-queued-key")}));
    }

    void runsOneUploadAfterAnotherWithPauses()
    {
        PipelineFixture f;
        for (const char* id : {"260304-080001", "260304-080002", "260304-080003"})
            f.placeNote(PipelineFixture::noteFor(QString::fromLatin1(id), QStringLiteral("upload_failed")));
        FakeClock pauses;
        CaptureRetry retry(*f.pipeline, *f.settings, pauses);
        QStringList reports;

        QCoro::Task<> run = retry.run([&](const Progress& p) { reports << describe(p); });
        QTRY_COMPARE_WITH_TIMEOUT(pauses.pendingSleepers(), 1, 10000);
        QVERIFY(retry.isRunning());
        // A second run while one is under way does nothing.
        QCoro::waitFor(retry.run([&](const Progress&) { reports << QStringLiteral("second run"); }));
        pauses.advance(CaptureRetry::kGapBetweenUploads);
        QTRY_COMPARE_WITH_TIMEOUT(pauses.pendingSleepers(), 1, 10000);
        pauses.advance(CaptureRetry::kGapBetweenUploads);
        QCoro::waitFor(run);
        QCoreApplication::processEvents();

        QCOMPARE(reports, (QStringList{QStringLiteral("scanning"), QStringLiteral("uploading 0/3 260304-080001"),
                                       QStringLiteral("uploading 1/3 260304-080002"), QStringLiteral("uploading 2/3 260304-080003"),
                                       QStringLiteral("finished 3/0/0")}));
        QCOMPARE(pauses.requestedSleeps(), (QList<std::chrono::milliseconds>{2s, 2s}));
        QCOMPARE(f.service.requests("POST", QStringLiteral("sources")).size(), 3);
        QVERIFY(!retry.isRunning());
        // Each upload goes on polling in the pipeline until its transcript is in.
        QTRY_COMPARE_WITH_TIMEOUT(f.events.size(), 3, 20000);
    }

    // The second note changes while the first is being uploaded: no longer retryable, it is skipped
    // without an upload or a pause; unreadable, it is uploaded all the same.
    void aNoteThatChangedMeanwhileIsSkippedOrUploaded_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("finished");
        QTest::addColumn<int>("uploads");
        QTest::addColumn<int>("pauses");

        QTest::newRow("now done") << "done" << "finished 2/1/0" << 2 << 1;
        QTest::newRow("now queued with a key") << "queued with a key" << "finished 2/1/0" << 2 << 1;
        QTest::newRow("now unreadable") << "unreadable" << "finished 3/0/0" << 3 << 2;
    }

    void aNoteThatChangedMeanwhileIsSkippedOrUploaded()
    {
        QFETCH(QString, change);
        QFETCH(QString, finished);
        QFETCH(int, uploads);
        QFETCH(int, pauses);

        PipelineFixture f;
        const QString second = QStringLiteral("260304-080002");
        for (const char* id : {"260304-080001", "260304-080002", "260304-080003"})
            f.placeNote(PipelineFixture::noteFor(QString::fromLatin1(id), QStringLiteral("upload_failed")));
        bool changed = false;
        connect(&f.service, &FakeMirelonService::requestArrived, this, [&](const RecordedRequest& request) {
            if (changed || request.method != "POST")
                return;
            changed = true;
            if (change == QLatin1String("unreadable"))
                f.home.writeFile(QStringLiteral("Vault/_inbox/") + second + QStringLiteral(".md"), "no frontmatter here");
            else if (change == QLatin1String("done"))
                f.placeNote(PipelineFixture::noteFor(second, QStringLiteral("done"), QStringLiteral("key-x")));
            else
                f.placeNote(PipelineFixture::noteFor(second, QStringLiteral("queued"), QStringLiteral("key-x")));
        });
        FakeClock pauseClock;
        CaptureRetry retry(*f.pipeline, *f.settings, pauseClock);
        QStringList reports;

        QCoro::Task<> run = retry.run([&](const Progress& p) { reports << describe(p); });
        QTRY_COMPARE_WITH_TIMEOUT(pauseClock.pendingSleepers(), 1, 10000);
        pauseClock.advance(CaptureRetry::kGapBetweenUploads);
        if (pauses == 2) {
            QTRY_COMPARE_WITH_TIMEOUT(pauseClock.pendingSleepers(), 1, 10000);
            pauseClock.advance(CaptureRetry::kGapBetweenUploads);
        }
        QCoro::waitFor(run);
        QCoreApplication::processEvents();

        QCOMPARE(reports.mid(1, 3), (QStringList{QStringLiteral("uploading 0/3 260304-080001"),
                                                 QStringLiteral("uploading 1/3 260304-080002"),
                                                 QStringLiteral("uploading 2/3 260304-080003")}));
        QCOMPARE(reports.last(), finished);
        QCOMPARE(pauseClock.requestedSleeps().size(), pauses);
        QCOMPARE(f.service.requests("POST", QStringLiteral("sources")).size(), uploads);
        QTRY_COMPARE_WITH_TIMEOUT(f.events.size(), uploads, 20000);
    }

    void cancellingDuringAPauseFinishesWithTheCountsSoFar()
    {
        PipelineFixture f;
        for (const char* id : {"260304-080001", "260304-080002", "260304-080003"})
            f.placeNote(PipelineFixture::noteFor(QString::fromLatin1(id), QStringLiteral("skipped")));
        FakeClock pauses;
        CaptureRetry retry(*f.pipeline, *f.settings, pauses);
        QStringList reports;

        QCoro::Task<> run = retry.run([&](const Progress& p) { reports << describe(p); });
        QTRY_COMPARE_WITH_TIMEOUT(pauses.pendingSleepers(), 1, 10000);
        pauses.advance(CaptureRetry::kGapBetweenUploads);
        QTRY_COMPARE_WITH_TIMEOUT(f.service.requests("POST", QStringLiteral("sources")).size(), 2, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(pauses.requestedSleeps().size(), 2, 10000);
        retry.cancel();
        QCoro::waitFor(run);
        QCoreApplication::processEvents();

        QCOMPARE(reports.last(), QStringLiteral("finished 2/0/0"));
        QCOMPARE(f.service.requests("POST", QStringLiteral("sources")).size(), 2);
        QTRY_COMPARE_WITH_TIMEOUT(f.events.size(), 2, 20000);
    }
};

QTEST_GUILESS_MAIN(TestCaptureRetry)
#include "tst_capture_retry.moc"
