// Transcript notifications: batches settle after 10 s and never wait past 60 s, a capture is
// reported once with ready over failed over sent, and every text, identifier and payload is the
// one the menu's click handling and the user expect.

#include "foundation/HarkwellLog.h"
#include "foundation/Settings.h"
#include "pipeline/TranscriptNotifier.h"
#include "platform/clock/FakeClock.h"
#include "platform/notifications/FakeNotifications.h"
#include "platform/paths/Paths.h"
#include "support/TempHome.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTest>
#include <QUrl>
#include <QUrlQuery>

#include <memory>

using namespace harkwell;
using namespace std::chrono_literals;

namespace {

const QString kSendAgain = "Send it again from Settings > Captures > Upload pending captures.";

struct Stub {
    std::optional<QString> title;
    QString classification = "voice_memo";
    std::optional<int> durationSec;
    QString created = "2026-03-04T08:30:00Z";
};

class Fixture {
public:
    explicit Fixture(bool hasBundleIdentifier = true)
        : settings(Paths::settingsFile()),
          notifier(settings, clock, &centre, hasBundleIdentifier)
    {
        settings.update([&](AppSettings& s) {
            s.vaultPath = vault();
            s.vaultName = "Vault";
        });
        QDir().mkpath(inbox());
    }

    QString vault() const { return home.path() + "/Vault"; }
    QString inbox() const { return vault() + "/_inbox"; }

    void stub(const QString& id, const Stub& stub = {}) const
    {
        QStringList lines{"---", "id: " + id, "created: " + stub.created, "classification: " + stub.classification,
                          "status: pending", "confidence: high", "source:", "  type: audio", "  origin: voice_memo",
                          "  audio_path: _inbox/.audio/" + id + ".m4a"};
        if (stub.durationSec)
            lines << "  audio_duration_sec: " + QString::number(*stub.durationSec);
        lines << "  ingestion_tool: harkwell-mac" << "  mirelon_job_status: queued" << "target_skill: /transcript";
        if (stub.title)
            lines << "title: \"" + *stub.title + "\"";
        lines << "---" << "" << "";
        home.writeFile("Vault/_inbox/" + id + ".md", lines.join('\n').toUtf8());
    }

    // Moves the fake clock and lets the woken flush run.
    void advance(std::chrono::milliseconds duration)
    {
        clock.advance(duration);
        for (int i = 0; i < 5; ++i)
            QCoreApplication::processEvents();
    }

    QStringList posted() const
    {
        QStringList out;
        for (const NotificationRequest& r : centre.posted())
            out << r.identifier + " | " + r.title;
        return out;
    }

    QString log() const
    {
        HarkwellLog::waitUntilWritten();
        QFile file(Paths::logFile());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    test::TempHome home;
    Settings settings;
    FakeClock clock{QDateTime(QDate(2026, 3, 4), QTime(9, 0), Qt::UTC)};
    FakeNotifications centre;
    TranscriptNotifier notifier;
};

// "s:A" sent, "r:A" ready, "f:A:poll_timeout" failed.
CaptureEvent parseEvent(const QString& text)
{
    const QStringList parts = text.split(':');
    if (parts[0] == "s")
        return CaptureEvent::sent(parts[1]);
    if (parts[0] == "r")
        return CaptureEvent::transcriptReady(parts[1]);
    return CaptureEvent::failed(parts[1], parts.value(2));
}

}  // namespace

class TranscriptNotifierTest : public QObject {
    Q_OBJECT
private slots:
    void oneSentIsPostedAfterSettlingAndItsReadyReplacesIt()
    {
        Fixture f;
        f.stub("260304-083000", {"Weekly sync", "meeting_recording", 150, "2026-03-04T08:30:00Z"});
        f.notifier.receive(CaptureEvent::sent("260304-083000"));
        f.advance(9999ms);
        QVERIFY(f.centre.posted().isEmpty());
        f.advance(1ms);
        QCOMPARE(f.posted(), QStringList{"harkwell.transcript.260304-083000 | Sending to Mirelon"});
        const NotificationRequest sent = f.centre.posted().constFirst();
        QVERIFY2(sent.body.startsWith("Meeting recording recorded "), qPrintable(sent.body));
        QVERIFY2(sent.body.endsWith(" \u00B7 3 min\nThe transcript follows in a few minutes."), qPrintable(sent.body));
        QCOMPARE(sent.threadIdentifier, QString("harkwell.transcripts"));
        QCOMPARE(sent.payload, (QMap<QString, QString>{{"filePath", f.inbox() + "/260304-083000.md"}}));

        // A later batch starts its own settle time rather than flushing at once.
        f.advance(70s);
        f.notifier.receive(CaptureEvent::transcriptReady("260304-083000"));
        f.advance(9s);
        QCOMPARE(f.centre.posted().size(), 1);
        f.advance(1s);
        QCOMPARE(f.posted().last(), QString("harkwell.transcript.260304-083000 | Transcript ready"));
        const NotificationRequest ready = f.centre.posted().last();
        QCOMPARE(ready.body, QString("Weekly sync\nMeeting recording \u00B7 3 min"));
        QCOMPARE(ready.payload, (QMap<QString, QString>{{"filePath", f.inbox() + "/260304-083000.md"}}));
    }

    void steadyReportsArePostedSixtySecondsAfterTheFirst()
    {
        Fixture f;
        for (int i = 0; i < 12; ++i) {  // at 0, 5, … 55 s
            f.notifier.receive(CaptureEvent::transcriptReady(QString("id%1").arg(i)));
            f.advance(5s - 1ms);
            QVERIFY2(f.centre.posted().isEmpty(), qPrintable(QString("posted before report %1").arg(i + 1)));
            f.advance(1ms);
        }
        QCOMPARE(f.posted(), QStringList{"harkwell.transcripts.id11 | 12 transcripts ready"});
    }

    void oneNotificationPerCapture_data()
    {
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("ready over sent") << QStringList{"s:A", "r:A"} << QStringList{"harkwell.transcript.A | Transcript ready"};
        QTest::newRow("ready over earlier failure") << QStringList{"f:A:failed", "r:A"} << QStringList{"harkwell.transcript.A | Transcript ready"};
        QTest::newRow("ready over later failure") << QStringList{"r:A", "f:A:failed"} << QStringList{"harkwell.transcript.A | Transcript ready"};
        QTest::newRow("failed over sent") << QStringList{"s:A", "f:A:upload_failed"} << QStringList{"harkwell.transcript.failed.A | Transcript failed"};
        QTest::newRow("sent twice counts once") << QStringList{"s:A", "s:A"} << QStringList{"harkwell.transcript.A | Sending to Mirelon"};
        QTest::newRow("kinds in order sent, ready, failed")
            << QStringList{"f:C:failed", "r:B", "s:A"}
            << QStringList{"harkwell.transcript.A | Sending to Mirelon", "harkwell.transcript.B | Transcript ready",
                           "harkwell.transcript.failed.C | Transcript failed"};
        QTest::newRow("repeat moves to the end")
            << QStringList{"r:A", "r:B", "r:A"} << QStringList{"harkwell.transcripts.A | 2 transcripts ready"};
    }
    void oneNotificationPerCapture()
    {
        QFETCH(QStringList, events);
        QFETCH(QStringList, expected);
        Fixture f;
        for (const QString& event : events)
            f.notifier.receive(parseEvent(event));
        f.advance(10s);
        QCOMPARE(f.posted(), expected);
    }

    void switchedOffKindsAreDroppedWithoutClearingOthers()
    {
        Fixture f;
        f.settings.update([](AppSettings& s) {
            s.notifyTranscriptReady = false;
            s.notifyVoiceMemoSent = true;
        });
        f.notifier.receive(CaptureEvent::sent("A"));
        f.notifier.receive(CaptureEvent::transcriptReady("A"));
        f.advance(10s);
        QCOMPARE(f.posted(), QStringList{"harkwell.transcript.A | Sending to Mirelon"});

        f.settings.update([](AppSettings& s) {
            s.notifyVoiceMemoSent = false;
            s.notifyTranscriptFailed = false;
        });
        f.notifier.receive(CaptureEvent::sent("B"));
        f.notifier.receive(CaptureEvent::failed("B", "failed"));
        f.notifier.recordingNotSent("260304-090000", "Upload is switched off.");
        f.advance(60s);
        QCOMPARE(f.centre.posted().size(), 1);
    }

    void summaries_data()
    {
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QString>("identifier");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("payloadKey");
        QTest::newRow("ready, newest three first")
            << QStringList{"r:A", "r:B", "r:C", "r:D", "r:E"} << "harkwell.transcripts.E" << "5 transcripts ready"
            << "Title E; Title D; Title C and 2 more" << "filePath";
        QTest::newRow("ready, three") << QStringList{"r:A", "r:B", "r:untitled"} << "harkwell.transcripts.untitled"
                                      << "3 transcripts ready" << "untitled; Title B; Title A" << "filePath";
        QTest::newRow("failed, reason of the last")
            << QStringList{"f:A:upload_failed", "f:B:failed", "f:C:poll_timeout"} << "harkwell.transcripts.failed.C"
            << "3 transcripts failed"
            << "Mirelon did not finish it in time for 3 captures. Send them again from Settings > Captures > Upload pending captures."
            << "action";
        QTest::newRow("sent") << QStringList{"s:A", "s:B"} << "harkwell.sent.B" << "Sending 2 voice memos to Mirelon"
                              << "The transcripts follow over the next minutes." << "filePath";
    }
    void summaries()
    {
        QFETCH(QStringList, events);
        QFETCH(QString, identifier);
        QFETCH(QString, title);
        QFETCH(QString, body);
        QFETCH(QString, payloadKey);
        Fixture f;
        for (const QString id : {"A", "B", "C", "D", "E"})
            f.stub(id, {"Title " + id});
        f.stub("untitled");
        for (const QString& event : events)
            f.notifier.receive(parseEvent(event));
        f.advance(10s);
        QCOMPARE(f.centre.posted().size(), 1);
        const NotificationRequest r = f.centre.posted().constFirst();
        QCOMPARE(r.identifier, identifier);
        QCOMPARE(r.title, title);
        QCOMPARE(r.body, body);
        const QMap<QString, QString> expected = payloadKey == "action"
            ? QMap<QString, QString>{{"action", "captureSettings"}}
            : QMap<QString, QString>{{"filePath", f.inbox()}};
        QCOMPARE(r.payload, expected);
    }

    void singleFailure_data()
    {
        QTest::addColumn<bool>("hasStub");
        QTest::addColumn<QString>("classification");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("body");
        QTest::newRow("untitled voice memo, upload") << true << "voice_memo" << "upload_failed"
                                                     << "X (voice memo): the upload failed. " + kSendAgain;
        QTest::newRow("meeting, timeout") << true << "meeting_recording" << "poll_timeout"
                                          << "X (meeting recording): Mirelon did not finish it in time. " + kSendAgain;
        QTest::newRow("other kind, failed") << true << "phone_call" << "failed"
                                            << "X (audio): Mirelon could not transcribe it. " + kSendAgain;
        QTest::newRow("unreadable stub") << false << "" << "failed"
                                         << "X (voice memo): Mirelon could not transcribe it. " + kSendAgain;
    }
    void singleFailure()
    {
        QFETCH(bool, hasStub);
        QFETCH(QString, classification);
        QFETCH(QString, status);
        QFETCH(QString, body);
        Fixture f;
        if (hasStub)
            f.stub("X", {std::nullopt, classification});
        f.notifier.receive(CaptureEvent::failed("X", status));
        f.advance(10s);
        QCOMPARE(f.posted(), QStringList{"harkwell.transcript.failed.X | Transcript failed"});
        QCOMPARE(f.centre.posted().constFirst().body, body);
        QCOMPARE(f.centre.posted().constFirst().payload, (QMap<QString, QString>{{"action", "captureSettings"}}));
    }

    void durationTexts_data()
    {
        QTest::addColumn<int>("seconds");  // -1: none in the stub
        QTest::addColumn<QString>("body");
        QTest::newRow("absent") << -1 << "T\nVoice memo";
        QTest::newRow("zero") << 0 << "T\nVoice memo";
        QTest::newRow("59 s") << 59 << "T\nVoice memo \u00B7 59 s";
        QTest::newRow("60 s") << 60 << "T\nVoice memo \u00B7 1 min";
        QTest::newRow("89 s") << 89 << "T\nVoice memo \u00B7 1 min";
        QTest::newRow("90 s") << 90 << "T\nVoice memo \u00B7 2 min";
        QTest::newRow("150 s") << 150 << "T\nVoice memo \u00B7 3 min";
    }
    void durationTexts()
    {
        QFETCH(int, seconds);
        QFETCH(QString, body);
        Fixture f;
        f.stub("A", {"T", "voice_memo", seconds < 0 ? std::nullopt : std::optional(seconds)});
        f.notifier.receive(CaptureEvent::transcriptReady("A"));
        f.advance(10s);
        QCOMPARE(f.centre.posted().constFirst().body, body);
    }

    void readyLinksIntoObsidianVaultsOnly()
    {
        Fixture f;
        f.settings.update([](AppSettings& s) { s.vaultName = "Notes & Ideas+#1"; });
        f.stub("A", {"T"});
        f.notifier.receive(CaptureEvent::transcriptReady("A"));
        f.advance(10s);
        QCOMPARE(f.centre.posted().constFirst().payload, (QMap<QString, QString>{{"filePath", f.inbox() + "/A.md"}}));

        QVERIFY(QDir().mkpath(f.vault() + "/.obsidian"));
        f.notifier.receive(CaptureEvent::transcriptReady("A"));
        f.advance(10s);
        const QMap<QString, QString> payload = f.centre.posted().last().payload;
        QCOMPARE(payload.value("filePath"), f.inbox() + "/A.md");
        const QUrl link(payload.value("obsidianLink"), QUrl::StrictMode);
        QVERIFY(link.isValid());
        QCOMPARE(link.scheme(), QString("obsidian"));
        QCOMPARE(link.host(), QString("open"));
        const QUrlQuery query(link);
        QCOMPARE(query.queryItemValue("vault", QUrl::FullyDecoded), QString("Notes & Ideas+#1"));
        QCOMPARE(query.queryItemValue("file", QUrl::FullyDecoded), QString("_inbox/A"));
    }

    void permissionPaths()
    {
        Fixture f;
        // Not asked yet: the first post asks, and goes out only once granted.
        f.centre.setAuthorization(NotificationAuthorization::NotDetermined);
        f.notifier.sendTest();
        QCOMPARE(f.centre.authorizationRequests(), 1);
        QVERIFY(f.centre.posted().isEmpty());
        QVERIFY(f.log().contains("[harkwell] notifications: permission declined"));

        f.centre.setGrantOnRequest(true);
        f.notifier.sendTest();
        QCOMPARE(f.posted(), QStringList{"harkwell.test | Transcript ready"});
        QVERIFY(f.log().contains("[harkwell] notifications: permission granted"));

        f.centre.clearPosted();
        f.centre.setAuthorization(NotificationAuthorization::Denied);
        QVERIFY(f.notifier.notificationsDenied());
        f.notifier.sendTest();
        QVERIFY(f.centre.posted().isEmpty());
        QVERIFY(f.log().contains("[harkwell] notifications: off for harkwell; not posting harkwell.test"));

        f.centre.setAuthorization(NotificationAuthorization::Authorized);
        QVERIFY(!f.notifier.notificationsDenied());
        f.centre.setAddError(QString("service went away"));
        f.notifier.sendTest();
        QVERIFY(f.log().contains("[harkwell] notifications: could not post harkwell.test: service went away"));
    }

    void withoutBundleIdentifierNothingIsAskedOrPosted()
    {
        Fixture f(false);
        f.centre.setAuthorization(NotificationAuthorization::Denied);
        QVERIFY(!f.notifier.notificationsDenied());
        f.centre.setAuthorization(NotificationAuthorization::NotDetermined);
        f.notifier.sendTest();
        f.notifier.receive(CaptureEvent::transcriptReady("A"));
        f.advance(10s);
        QVERIFY(f.centre.posted().isEmpty());
        QCOMPARE(f.centre.authorizationRequests(), 0);
    }

    void immediateNotices()
    {
        Fixture f;
        f.settings.update([](AppSettings& s) {
            s.notifyTranscriptReady = false;
            s.notifyVoiceMemoSent = false;
        });
        f.notifier.sendTest();
        f.notifier.recordingNotSent("260304-090000", "Mirelon is not paired.");
        QCOMPARE(f.posted(), (QStringList{"harkwell.test | Transcript ready",
                                          "harkwell.recording.notsent.260304-090000 | Recording not sent"}));
        const NotificationRequest test = f.centre.posted().at(0);
        QCOMPARE(test.body, QString("This is a test notification from harkwell.\nMeeting recording \u00B7 42 min"));
        QCOMPARE(test.payload, (QMap<QString, QString>{{"filePath", f.inbox()}}));
        const NotificationRequest notSent = f.centre.posted().at(1);
        QCOMPARE(notSent.body, QString("Mirelon is not paired."));
        QCOMPARE(notSent.payload, (QMap<QString, QString>{{"action", "recorder"}}));
    }
};

QTEST_GUILESS_MAIN(TranscriptNotifierTest)
#include "tst_transcript_notifier.moc"
