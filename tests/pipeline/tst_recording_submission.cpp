// Handing a finished recording's parts to the inbox: free ids and reuse of earlier hand-overs,
// the stubs, the sidecar's submitted parts after each part, failures part-way, and the upload cases.

#include "PipelineFixture.h"

#include "foundation/DateForms.h"
#include "foundation/HarkwellLog.h"
#include "foundation/InboxWriter.h"
#include "foundation/RecordingSidecarStore.h"
#include "foundation/Settings.h"
#include "pipeline/RecordingSubmission.h"
#include "platform/media/FakeDurationProbe.h"
#include "platform/paths/Paths.h"
#include "platform/secrets/FakeSecretStore.h"
#include "service/Keychain.h"
#include "support/LogFile.h"
#include "support/TempHome.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <algorithm>

using namespace harkwell;
using Upload = RecordingSubmitOutcome::Upload;

namespace {

constexpr char kId[] = "260304-090000";

using test::logText;

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

struct StartedUpload {
    QString id;
    QString contentSource;
    QStringList tags;
    QMap<QString, QString> metadata;
};

struct Fixture {
    test::TempHome home;
    FakeSecretStore secrets;
    FakeDurationProbe durations;
    Settings settings{home.path() + "/settings.json"};
    QList<StartedUpload> uploads;
    RecordingSubmission submission{{&settings, [] { return Keychain::hasDeviceToken(); }, &durations,
                                    [this](const QString& id, const QString& contentSource, const QStringList& tags,
                                           const QMap<QString, QString>& metadata) {
                                        uploads.append({id, contentSource, tags, metadata});
                                    }}};
    RecordingSidecar sidecar;

    explicit Fixture(std::optional<bool> uploadOn = true, bool paired = true)
    {
        home.make("Vault");
        settings.update([&](AppSettings& s) {
            s.vaultPath = "~/Vault";
            s.captureMirelonEnabled = uploadOn;
        });
        Keychain::setStore(&secrets);
        if (paired)
            Keychain::write(Keychain::kDeviceTokenAccount, QStringLiteral("hwdt_test"), Keychain::deviceTokenService());
        sidecar.id = kId;
        sidecar.startedAt = QDateTime(QDate(2026, 3, 4), QTime(9, 0), Qt::UTC);
        sidecar.source = RecordingSource::app("us.zoom.xos", "Zoom");
        sidecar.microphoneName = "Built-in";
        sidecar.status = RecordingStatus::kEncoded;
        QDir().mkpath(Paths::recordingFolder(kId));
    }
    ~Fixture() { Keychain::setStore(nullptr); }

    InboxWriter inbox() const { return InboxWriter(home.path() + "/Vault"); }
    QString notePath(const QString& id) const { return *inbox().notePath(id); }
    QString audioPath(const QString& id) const { return *inbox().audioCopyPath(id); }

    // Encoded parts in the work folder, named as the encoder names them, with their durations.
    QList<QUrl> parts(const QList<std::optional<double>>& seconds)
    {
        QList<QUrl> urls;
        for (qsizetype i = 0; i < seconds.size(); ++i) {
            const QString name = i == 0 ? QString(kId) : QStringLiteral("%1_%2").arg(kId).arg(i + 1);
            const QString path = home.writeFile(Paths::recordingsFolder() + "/" + QString(kId) + "/" + name
                                                    + ".m4a",
                                                "audio of part " + QByteArray::number(i + 1));
            durations.setDuration(path, seconds[i]);
            urls.append(QUrl::fromLocalFile(path));
        }
        return urls;
    }

    // A note (with its audio copy unless told otherwise), as something earlier left it.
    void place(const QString& id, const QString& origin, const QDateTime& created, bool withAudio = true,
               std::optional<QString> status = QStringLiteral("queued"))
    {
        InboxFrontmatter note;
        note.id = id;
        note.created = created;
        note.sourceOrigin = origin;
        note.mirelonJobStatus = status;
        QVERIFY(inbox().ensureDirectories());
        QVERIFY(inbox().writeMarkdown(note, "earlier"));
        if (withAudio)
            home.writeFile("Vault/_inbox/.audio/" + id + ".m4a", "earlier audio");
    }

    RecordingSubmitOutcome submit(const QList<QUrl>& parts) { return QCoro::waitFor(submission.submit(parts, sidecar)); }
    RecordingSubmitOutcome submit(const QList<QUrl>& parts, const RecordingSidecar& given)
    {
        return QCoro::waitFor(submission.submit(parts, given));
    }

    std::optional<QStringList> savedParts() const
    {
        const auto saved = RecordingSidecar::decode(readAll(RecordingSidecarStore::path(kId)));
        return saved ? saved->submittedParts : std::nullopt;
    }
    QStringList uploadedIds() const
    {
        QStringList ids;
        for (const StartedUpload& upload : uploads)
            ids.append(upload.id);
        return ids;
    }
};

QList<std::optional<QString>> ids(const QStringList& texts)
{
    QList<std::optional<QString>> list;
    for (const QString& text : texts)
        list.append(text.isEmpty() ? std::nullopt : std::optional(text));
    return list;
}

}  // namespace

Q_DECLARE_METATYPE(std::optional<bool>)
Q_DECLARE_METATYPE(harkwell::RecordingSubmitOutcome::Upload)

class TestRecordingSubmission : public QObject {
    Q_OBJECT

private slots:
    void newPartsTakeFreeIds_data()
    {
        QTest::addColumn<QStringList>("occupants");  // "<id>": a voice memo's note and audio; ".audio/<id>": audio alone
        QTest::addColumn<QList<double>>("seconds");
        QTest::addColumn<QStringList>("expected");

        const QString id = kId;
        QTest::newRow("all free") << QStringList() << QList<double>{600, 600, 30}
                                  << QStringList{id, id + "_2", id + "_3"};
        QTest::newRow("a voice memo at the base id") << QStringList{id} << QList<double>{600, 30}
                                                     << QStringList{id + "_2", id + "_2_2"};
        // The first part is so short that the second part's start falls within 2 s of the first
        // part's stub: it must still get its own copy.
        QTest::newRow("a voice memo at the base id, a short first part")
            << QStringList{id} << QList<double>{1, 30} << QStringList{id + "_2", id + "_2_2"};
        QTest::newRow("an audio copy without a note") << QStringList{".audio/" + id, id + "_2"} << QList<double>{600, 30}
                                                      << QStringList{id + "_3", id + "_2_2"};
    }
    void newPartsTakeFreeIds()
    {
        QFETCH(QStringList, occupants);
        QFETCH(QList<double>, seconds);
        QFETCH(QStringList, expected);

        Fixture f;
        for (const QString& occupant : occupants) {
            if (occupant.startsWith(".audio/"))
                f.home.writeFile("Vault/_inbox/" + occupant + ".m4a", "other audio");
            else
                f.place(occupant, "voice_memo", f.sidecar.startedAt);
        }
        QList<std::optional<double>> durations(seconds.begin(), seconds.end());

        const RecordingSubmitOutcome outcome = f.submit(f.parts(durations));

        QCOMPARE(outcome.partIds, ids(expected));
        QVERIFY(outcome.reused.isEmpty());
        QCOMPARE(f.savedParts(), expected);
        for (qsizetype i = 0; i < expected.size(); ++i) {
            QCOMPARE(readAll(f.audioPath(expected[i])), "audio of part " + QByteArray::number(i + 1));
            QCOMPARE(InboxWriter::readFrontmatter(f.notePath(expected[i]))->sourceOrigin, "harkwell_recorder");
        }
        QCOMPARE(f.uploadedIds(), expected);
    }

    void anEarlierStubIsReusedWithinTwoSeconds_data()
    {
        QTest::addColumn<int>("startMs");       // the recording's start, from 09:00:00
        QTest::addColumn<int>("createdSecs");   // the stub's creation (whole seconds, as notes keep it)
        QTest::addColumn<QString>("origin");
        QTest::addColumn<bool>("withAudio");
        QTest::addColumn<bool>("reused");

        QTest::newRow("2.0 s later") << 0 << 2 << "harkwell_recorder" << true << true;
        QTest::newRow("2.0 s earlier") << 0 << -2 << "harkwell_recorder" << true << true;
        QTest::newRow("2.5 s later") << -500 << 2 << "harkwell_recorder" << true << false;
        QTest::newRow("the predecessor's recorder") << 0 << 0 << "corvale_recorder" << true << true;
        QTest::newRow("a voice memo") << 0 << 0 << "voice_memo" << true << false;
        QTest::newRow("its audio copy is gone") << 0 << 0 << "harkwell_recorder" << false << false;
    }
    void anEarlierStubIsReusedWithinTwoSeconds()
    {
        QFETCH(int, startMs);
        QFETCH(int, createdSecs);
        QFETCH(QString, origin);
        QFETCH(bool, withAudio);
        QFETCH(bool, reused);

        Fixture f;
        const QDateTime created = f.sidecar.startedAt.addSecs(createdSecs);
        f.sidecar.startedAt = f.sidecar.startedAt.addMSecs(startMs);
        f.place(kId, origin, created, withAudio);

        const RecordingSubmitOutcome outcome = f.submit(f.parts({60}));

        const QString expected = reused ? QString(kId) : QString(kId) + "_2";
        QCOMPARE(outcome.partIds, ids({expected}));
        QCOMPARE(outcome.reused, reused ? QSet<QString>{kId} : QSet<QString>{});
        QCOMPARE(f.savedParts(), QStringList{expected});
        if (reused) {
            QCOMPARE(InboxWriter::readBody(f.notePath(kId)), "earlier");  // left as it stood
            QVERIFY(logText().contains(QStringLiteral("[harkwell] recorder: part 1 of %1 is already in the inbox as %1 (queued)").arg(kId)));
            QCOMPARE(f.uploads.first().metadata["meeting_started_at"], DateForms::internetDateTime(created));
        }
    }

    void stubOfANewPart()
    {
        Fixture f;
        const QList<QUrl> parts = f.parts({1805.5, std::nullopt, 10});
        const RecordingSidecar given = f.sidecar;

        f.submit(parts);

        const auto first = InboxWriter::readFrontmatter(f.notePath(kId));
        QVERIFY(first);
        QCOMPARE(first->created, f.sidecar.startedAt);
        QCOMPARE(first->classification, "meeting_recording");
        QCOMPARE(first->status, "pending");
        QCOMPARE(first->sourceType, "audio");
        QCOMPARE(first->audioPath, QStringLiteral("_inbox/.audio/%1.m4a").arg(kId));
        QCOMPARE(first->audioDurationSec, 1806);
        QCOMPARE(first->ingestionTool, "harkwell-mac");
        QCOMPARE(first->externalId, std::nullopt);
        QCOMPARE(first->mirelonJobStatus, "queued");
        QCOMPARE(first->recorderSource, "Zoom");
        QCOMPARE(first->recorderMicrophone, "Built-in");
        QCOMPARE(first->recorderChannelLayout, "L=microphone,R=system");
        QCOMPARE(first->targetSkill, "/transcript");
        QCOMPARE(first->tags, QStringList({"meeting", "recording"}));
        QCOMPARE(InboxWriter::readBody(f.notePath(kId)), "");

        // An unknown duration leaves the field out, logs -1 and does not move the next part's start.
        const auto second = InboxWriter::readFrontmatter(f.notePath(QString(kId) + "_2"));
        QCOMPARE(second->audioDurationSec, std::nullopt);
        QCOMPARE(second->created, f.sidecar.startedAt.addSecs(1805));  // notes keep whole seconds
        QCOMPARE(InboxWriter::readFrontmatter(f.notePath(QString(kId) + "_3"))->created, second->created);
        const QString log = logText();
        QVERIFY(log.contains(QStringLiteral("[harkwell] recorder: %1 is in the inbox (Zoom, 1806 s)").arg(kId)));
        QVERIFY(log.contains(QStringLiteral("[harkwell] recorder: %1_2 is in the inbox (Zoom, -1 s)").arg(kId)));
        QCOMPARE(f.sidecar, given);  // the caller's record is not changed

        // Without an app and a microphone.
        Fixture g;
        g.sidecar.source = RecordingSource::allAudio();
        g.sidecar.microphoneName.reset();
        g.submit(g.parts({5}));
        const auto plain = InboxWriter::readFrontmatter(g.notePath(kId));
        QCOMPARE(plain->recorderSource, "All audio");
        QCOMPARE(plain->recorderMicrophone, "off");
        QCOMPARE(g.uploads.first().metadata["recorder_source"], "All audio");
        QCOMPARE(g.uploads.first().metadata["microphone"], "off");
    }

    void aCopyFailurePartWayLeavesThatPartOut_data()
    {
        QTest::addColumn<QStringList>("submittedBefore");
        QTest::addColumn<QStringList>("submittedAfter");
        const QString id = kId;
        QTest::newRow("no earlier hand-over") << QStringList() << QStringList{id, "", id + "_3"};
        QTest::newRow("an earlier entry naming a stub since deleted")
            << QStringList{"", id + "_7"} << QStringList{id, id + "_7", id + "_3"};
    }
    void aCopyFailurePartWayLeavesThatPartOut()
    {
        QFETCH(QStringList, submittedBefore);
        QFETCH(QStringList, submittedAfter);

        Fixture f;
        if (!submittedBefore.isEmpty())
            f.sidecar.submittedParts = submittedBefore;
        const QList<QUrl> parts = f.parts({60, 60, 60});
        QVERIFY(QFile::remove(parts[1].toLocalFile()));

        const RecordingSubmitOutcome outcome = f.submit(parts);

        QCOMPARE(outcome.partIds, ids({kId, "", QString(kId) + "_3"}));
        QCOMPARE(f.savedParts(), submittedAfter);
        QVERIFY(!QFileInfo::exists(f.notePath(QString(kId) + "_2")));
        QVERIFY(!QFileInfo::exists(f.audioPath(QString(kId) + "_2")));
        QCOMPARE(f.uploadedIds(), QStringList({kId, QString(kId) + "_3"}));
        QVERIFY(logText().contains(
            QStringLiteral("[harkwell] recorder: copying %1_2.m4a into the inbox as %1_2 failed: ").arg(kId)));

        // The next attempt reuses what stands and places only the missing part.
        f.parts({60, 60, 60});
        f.uploads.clear();
        RecordingSidecar again = f.sidecar;
        again.submittedParts = f.savedParts();
        const RecordingSubmitOutcome retried = f.submit(parts, again);
        QCOMPARE(retried.partIds, ids({kId, QString(kId) + "_2", QString(kId) + "_3"}));
        QCOMPARE(retried.reused, QSet<QString>({kId, QString(kId) + "_3"}));
        QCOMPARE(f.savedParts(), QStringList({kId, QString(kId) + "_2", QString(kId) + "_3"}));
    }

    void submittingAgainCopiesNothing_data()
    {
        QTest::addColumn<bool>("withSubmittedParts");
        QTest::newRow("found through submittedParts") << true;
        QTest::newRow("found through base id and start") << false;
    }
    void submittingAgainCopiesNothing()
    {
        QFETCH(bool, withSubmittedParts);
        Fixture f;
        const QList<QUrl> parts = f.parts({90, 45});
        const RecordingSubmitOutcome first = f.submit(parts);
        InboxWriter(f.inbox()).updateMirelonJobStatus(kId, "done");
        const QStringList notesBefore = QDir(f.inbox().inboxFolder()).entryList(QDir::Files);
        f.uploads.clear();

        RecordingSidecar again = f.sidecar;
        if (withSubmittedParts)
            again.submittedParts = f.savedParts();
        const RecordingSubmitOutcome second = f.submit(parts, again);

        QCOMPARE(second.partIds, first.partIds);
        QCOMPARE(second.reused, QSet<QString>({kId, QString(kId) + "_2"}));
        QCOMPARE(QDir(f.inbox().inboxFolder()).entryList(QDir::Files), notesBefore);
        QCOMPARE(f.uploadedIds(), QStringList{QString(kId) + "_2"});  // the done part is not uploaded again
        QCOMPARE(f.uploads.first().metadata["meeting_started_at"], "2026-03-04T09:01:30Z");
        QCOMPARE(f.savedParts(), QStringList({kId, QString(kId) + "_2"}));
    }

    void uploadCases_data()
    {
        QTest::addColumn<std::optional<bool>>("uploadOn");
        QTest::addColumn<bool>("paired");
        QTest::addColumn<bool>("allDone");
        QTest::addColumn<Upload>("upload");
        QTest::addColumn<QString>("stubStatus");
        QTest::addColumn<int>("started");
        QTest::addColumn<QString>("line");

        QTest::newRow("off") << std::optional(false) << true << false << Upload::UploadOff << "skipped" << 0
                             << "Mirelon upload disabled; 260304-090000 stays skipped in the vault";
        QTest::newRow("absent counts as off") << std::optional<bool>() << true << false << Upload::UploadOff << "skipped"
                                              << 0 << "Mirelon upload disabled";
        QTest::newRow("not paired") << std::optional(true) << false << false << Upload::NotPaired << "queued" << 0
                                    << "not paired with Mirelon; 260304-090000 waits in the vault (queued) until pairing";
        QTest::newRow("uploading") << std::optional(true) << true << false << Upload::Uploading << "queued" << 2 << "";
        QTest::newRow("uploading, every part done") << std::optional(true) << true << true << Upload::Uploading << "done"
                                                    << 0 << "";
    }
    void uploadCases()
    {
        QFETCH(std::optional<bool>, uploadOn);
        QFETCH(bool, paired);
        QFETCH(bool, allDone);
        QFETCH(Upload, upload);
        QFETCH(QString, stubStatus);
        QFETCH(int, started);
        QFETCH(QString, line);

        Fixture f(uploadOn, paired);
        const QDateTime start = f.sidecar.startedAt;
        if (allDone) {
            f.place(kId, "harkwell_recorder", start, true, QStringLiteral("done"));
            f.place(QString(kId) + "_2", "harkwell_recorder", start.addSecs(1200), true, QStringLiteral("done"));
        }

        const RecordingSubmitOutcome outcome = f.submit(f.parts({1200, 300}));

        QCOMPARE(outcome.upload, upload);
        QCOMPARE(outcome.partIds.size(), 2);
        QCOMPARE(InboxWriter::readFrontmatter(f.notePath(kId))->mirelonJobStatus, stubStatus);
        QCOMPARE(f.uploads.size(), started);
        if (!line.isEmpty())
            QVERIFY(logText().contains("[harkwell] recorder: " + line));
        if (started > 0) {
            const StartedUpload& second = f.uploads[1];
            QCOMPARE(second.id, QString(kId) + "_2");
            QCOMPARE(second.contentSource, "meeting");
            QCOMPARE(second.tags, QStringList({"meeting", "harkwell-mac"}));
            QCOMPARE(second.metadata, (QMap<QString, QString>{{"harkwell_id", QString(kId) + "_2"},
                                                               {"recorder_source", "Zoom"},
                                                               {"microphone", "Built-in"},
                                                               {"channel_layout", "L=microphone,R=system"},
                                                               {"meeting_started_at", "2026-03-04T09:20:00Z"}}));
        }
    }

    // Wired to the pipeline's re-upload entry: each part is uploaded as a meeting, polled and
    // written with its transcript, although the hand-over returned long before.
    void partsTravelThroughThePipeline()
    {
        test::PipelineFixture p;
        QDir().mkpath(Paths::recordingFolder(kId));
        RecordingSubmission submission({p.settings.get(), [] { return Keychain::hasDeviceToken(); }, &p.durations,
                                        [&p](const QString& id, const QString& contentSource, const QStringList& tags,
                                             const QMap<QString, QString>& metadata) {
                                            p.pipeline->uploadExisting(id, contentSource, tags, metadata);
                                        }});
        RecordingSidecar sidecar;
        sidecar.id = kId;
        sidecar.startedAt = QDateTime(QDate(2026, 3, 4), QTime(9, 0), Qt::UTC);
        QList<QUrl> parts;
        for (const QString& name : {QString(kId), QString(kId) + "_2"}) {
            const QString path = p.home.writeFile("parts/" + name + ".m4a", "audio of " + name.toUtf8());
            p.durations.setDuration(path, 60);
            parts.append(QUrl::fromLocalFile(path));
        }

        const RecordingSubmitOutcome outcome = QCoro::waitFor(submission.submit(parts, sidecar));
        QCOMPARE(outcome.upload, Upload::Uploading);

        QTRY_COMPARE_WITH_TIMEOUT(p.service.requests("POST", "sources").size(), 2, 10000);
        // The two uploads run side by side and may reach the service in either order.
        const QList<test::RecordedRequest> uploads = p.service.requests("POST", "sources");
        const test::RecordedRequest second =
            *std::find_if(uploads.cbegin(), uploads.cend(), [](const test::RecordedRequest& upload) {
                return upload.formPart("file")->fileName == QString(kId) + "_2.m4a";
            });
        QCOMPARE(second.formPart("content_source")->data, "meeting");
        QCOMPARE(second.formPart("tags")->data, "meeting,harkwell-mac");
        QCOMPARE(second.formPart("file")->data, "audio of " + QByteArray(kId) + "_2");
        const QJsonObject metadata = QJsonDocument::fromJson(second.formPart("content_source_metadata")->data).object();
        QCOMPARE(metadata["harkwell_id"].toString(), QString(kId) + "_2");
        QCOMPARE(metadata["recorder_source"].toString(), "All audio");
        QCOMPARE(metadata["meeting_started_at"].toString(), "2026-03-04T09:01:00Z");

        for (const QString& id : {QString(kId), QString(kId) + "_2"})
            QTRY_COMPARE_WITH_TIMEOUT(p.note(id).value_or(InboxFrontmatter()).mirelonJobStatus, std::optional<QString>("done"), 10000);
        QCOMPARE(p.body(kId), "Transcript text.");
        // The note is on disk before its polling task has resumed; the pipeline must outlive that task.
        for (const QString& id : {QString(kId), QString(kId) + "_2"})
            QTRY_VERIFY_WITH_TIMEOUT(!p.pipeline->isClaimed(id), 10000);
    }

    void anEmptyRecordingStillMakesTheInbox()
    {
        Fixture f;
        const RecordingSubmitOutcome outcome = f.submit({});
        QCOMPARE(outcome, (RecordingSubmitOutcome{{}, {}, Upload::Uploading}));
        QVERIFY(QFileInfo(f.inbox().audioFolder()).isDir());
        QVERIFY(f.uploads.isEmpty());
    }

    void anInboxThatCannotBeMadeWritesNothing()
    {
        Fixture f;
        f.home.writeFile("Vault/_inbox", "a file where the inbox should be");
        const QByteArray sidecarBefore = "{\"untouched\": true}";
        f.home.writeFile(Paths::recordingsFolder() + "/" + QString(kId) + "/recording.json", sidecarBefore);

        const RecordingSubmitOutcome outcome = f.submit(f.parts({60, 60}));

        QCOMPARE(outcome, (RecordingSubmitOutcome{{std::nullopt, std::nullopt}, {}, Upload::Nothing}));
        QVERIFY(f.uploads.isEmpty());
        QCOMPARE(readAll(RecordingSidecarStore::path(kId)), sidecarBefore);
        QVERIFY(logText().contains(QStringLiteral("[harkwell] recorder: cannot create the inbox for %1: ").arg(kId)));
    }
};

QTEST_GUILESS_MAIN(TestRecordingSubmission)
#include "tst_recording_submission.moc"
