// The road of one capture against the fake service: from a file in a watched folder to its
// transcript note, how each failure ends, ids that collide, and the resume of unfinished captures.

#include "PipelineFixture.h"

#include "foundation/JobStatus.h"
#include "platform/files/FileNames.h"
#include "platform/filesystem/FileSystem.h"
#include "service/HttpExchange.h"
#include "service/MirelonClient.h"

#include <QDir>
#include <QFile>
#include <QTest>
#include <QThreadPool>

#include <qcoro/qcorotask.h>

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace harkwell;
using namespace harkwell::test;
using namespace std::chrono_literals;

namespace {

const QString kId = QStringLiteral("260304-090000");

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray statusAnswer(const QString& status)
{
    return QStringLiteral(R"({"status":{"transcription":{"status":"%1"}}})").arg(status).toUtf8();
}

QStringList inboxNotes(const PipelineFixture& f)
{
    return QDir(f.inbox().inboxFolder()).entryList({QStringLiteral("*.md")}, QDir::Files, QDir::Name);
}

}  // namespace

class TestCapturePipeline : public QObject {
    Q_OBJECT

private slots:
    void aDroppedFileBecomesATranscriptNote()
    {
        PipelineFixture f;
        const QString hook = f.home.writeFile(
            QStringLiteral("hook.sh"), "printf '%s\\n' \"$HARKWELL_ID\" \"$HARKWELL_FILE\" \"$HARKWELL_FOLDER\" > \"$PWD/after.txt\"\n");
        f.settings->update([&](AppSettings& s) { s.afterTranscriptCommand = QStringLiteral("sh '%1'").arg(hook); });
        f.service.script("GET", QStringLiteral("sources/*/status"),
                         {{200, statusAnswer(QStringLiteral("processing"))}, {200, statusAnswer(QStringLiteral("done"))}}, true);
        // What the note says each time the service is asked again.
        QStringList statusAtPoll;
        connect(&f.service, &FakeMirelonService::requestArrived, this, [&](const RecordedRequest& request) {
            const QStringList notes = inboxNotes(f);
            if (request.path.endsWith(QLatin1String("/status")) && !notes.isEmpty())
                statusAtPoll << f.note(notes.first().chopped(3))->mirelonJobStatus.value_or(QString());
        });

        const QByteArray audio("memo bytes, not really audio");
        f.dropFile(QStringLiteral("memo.m4a"), audio);
        f.pipeline->start();
        QTRY_VERIFY_WITH_TIMEOUT((f.coordinatorClock.advance(2s), f.events.size() >= 2), 20000);
        f.pipeline->stop();

        const QStringList notes = inboxNotes(f);
        QCOMPARE(notes.size(), 1);
        const QString id = notes.first().chopped(3);
        QCOMPARE(f.eventNames(), (QStringList{QStringLiteral("sent"), QStringLiteral("transcriptReady")}));
        QCOMPARE(readAll(*f.inbox().audioCopyPath(id)), audio);
        QCOMPARE(statusAtPoll, (QStringList{QStringLiteral("queued"), QStringLiteral("processing")}));

        const InboxFrontmatter note = *f.note(id);
        QCOMPARE(note.mirelonJobStatus, QStringLiteral("done"));
        QCOMPARE(note.externalId, QStringLiteral("key-1"));
        QCOMPARE(note.audioDurationSec, 12);
        QCOMPARE(note.classification, QStringLiteral("audio_capture"));
        QCOMPARE(note.sourceOrigin, QStringLiteral("watched_folder:memos"));
        QCOMPARE(note.status, QStringLiteral("pending"));
        QCOMPARE(f.body(id), QStringLiteral("Transcript text."));

        const RecordedRequest upload = f.service.requests("POST", QStringLiteral("sources")).first();
        QCOMPARE(upload.formPart(QStringLiteral("content_source"))->data, QByteArray("voice_memo"));
        QCOMPARE(upload.formPart(QStringLiteral("file"))->fileName, id + QStringLiteral(".m4a"));

        const QString after = f.vault() + QStringLiteral("/after.txt");
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(after), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(QString::fromUtf8(readAll(after)),
                                  QStringList({id, f.vault() + QStringLiteral("/_inbox/") + id + QStringLiteral(".md"), f.vault(), QString()})
                                      .join(QLatin1Char('\n')),
                                  10000);
        QTRY_VERIFY_WITH_TIMEOUT(!f.command->isRunning(id), 10000);
    }

    void failures_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<QString>("finalStatus");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QString>("logLine");

        const QString sent = QStringLiteral("sent");
        QTest::newRow("upload 500") << "upload 500" << "upload_failed" << QStringList{QStringLiteral("failed:upload_failed")}
                                    << "upload failed for 260304-090000: ";
        QTest::newRow("duplicate upload") << "duplicate upload" << "done" << QStringList{QStringLiteral("transcriptReady")}
                                          << "260304-090000 already in Mirelon library; cache_key=key-dup (seen before)";
        QTest::newRow("ten 404s twice") << "ten 404s twice" << "failed" << QStringList{sent, QStringLiteral("failed:failed")}
                                        << "260304-090000 moved in Mirelon: key-1 -> key-moved";
        QTest::newRow("plan required at fetch") << "plan required at fetch" << "failed" << QStringList{sent, QStringLiteral("failed:failed")}
                                                << "retrieval refused for 260304-090000: Mirelon refused this request for your plan (402, needs pro)";
        QTest::newRow("six hours") << "six hours" << "poll_timeout" << QStringList{sent, QStringLiteral("failed:poll_timeout")}
                                   << "polling timed out for 260304-090000 (>360 min)";
        // The six hours are the poll's own time: a wall clock set a day ahead meanwhile ends nothing.
        QTest::newRow("wall clock a day ahead") << "wall clock a day ahead" << "done" << QStringList{sent, QStringLiteral("transcriptReady")}
                                                << "transcript written for 260304-090000";
        QTest::newRow("fetch fails once after done") << "fetch fails once after done" << "done"
                                                     << QStringList{sent, QStringLiteral("transcriptReady")}
                                                     << "fetch transcript failed for 260304-090000: ";
        // Ends that no number of polls would change: said at once, not after six hours.
        QTest::newRow("key no URL can carry") << "key .." << "failed" << QStringList{sent, QStringLiteral("failed:failed")}
                                              << "cache key .. for 260304-090000 can never be asked for; giving up";
        QTest::newRow("a folder where the note belongs") << "note is a folder" << "" << QStringList{sent, QStringLiteral("failed:failed")}
                                                         << "transcript for 260304-090000 can never be written (";
    }

    void failures()
    {
        QFETCH(QString, scenario);
        QFETCH(QString, finalStatus);
        QFETCH(QStringList, events);
        QFETCH(QString, logLine);

        QStringList statusAtFetch;
        PipelineFixture f;
        f.service.setUploadsAnswerWithTask(false);
        QObject listening;  // goes first, so no request reaches these lambdas while the fixture goes away
        connect(&f.service, &FakeMirelonService::requestArrived, &listening, [&](const RecordedRequest& request) {
            if (request.method == "GET" && request.path.startsWith(QLatin1String("sources/key-")) && request.path.count(QLatin1Char('/')) == 1)
                if (const auto note = f.note(kId))
                    statusAtFetch << note->mirelonJobStatus.value_or(QString());
        });
        if (scenario == QLatin1String("upload 500")) {
            f.service.script("POST", QStringLiteral("sources"), {{500, "boom"}});
        } else if (scenario == QLatin1String("duplicate upload")) {
            FakeSource known;
            known.cacheKey = QStringLiteral("key-dup");
            known.statusSequence = {QStringLiteral("completed")};
            f.service.addSource(known);
            f.service.script("POST", QStringLiteral("sources"),
                             {{200, R"({"status":"duplicate_upload","cache_key":"key-dup","message":"seen before"})"}});
        } else if (scenario == QLatin1String("ten 404s twice")) {
            FakeSource moved;
            moved.cacheKey = QStringLiteral("key-moved");
            moved.originalFilename = kId + QStringLiteral(".m4a");
            f.service.addSource(moved);
            f.service.script("GET", QStringLiteral("sources/*/status"), {{404, R"({"detail":"not found"})"}}, true);
        } else if (scenario == QLatin1String("plan required at fetch")) {
            f.service.script("GET", QStringLiteral("sources/*"), {{402, R"({"plan":"pro"})"}}, true);
        } else if (scenario == QLatin1String("six hours")) {
            f.service.script("GET", QStringLiteral("sources/*/status"), {{200, statusAnswer(QStringLiteral("processing"))}}, true);
        } else if (scenario == QLatin1String("wall clock a day ahead")) {
            f.service.script("GET", QStringLiteral("sources/*/status"),
                             {{200, statusAnswer(QStringLiteral("processing"))}, {200, statusAnswer(QStringLiteral("done"))}}, true);
            connect(&f.service, &FakeMirelonService::requestArrived, &listening, [&, stepped = false](const RecordedRequest& request) mutable {
                if (!stepped && request.path.endsWith(QLatin1String("/status"))) {
                    stepped = true;
                    f.clock.stepWallClock(std::chrono::hours(24));
                }
            });
        } else if (scenario == QLatin1String("fetch fails once after done")) {
            f.service.script("GET", QStringLiteral("sources/*/status"), {{200, statusAnswer(QStringLiteral("done"))}}, true);
            f.service.script("GET", QStringLiteral("sources/*"), {{500, "busy"}});
        } else if (scenario == QLatin1String("key ..")) {
            f.service.script("POST", QStringLiteral("sources"), {{200, R"({"status":"queued","cache_key":".."})"}});
        } else if (scenario == QLatin1String("note is a folder")) {
            f.service.script("GET", QStringLiteral("sources/*/status"), {{200, statusAnswer(QStringLiteral("done"))}}, true);
            connect(&f.service, &FakeMirelonService::requestArrived, &listening, [&](const RecordedRequest& request) {
                if (request.path.endsWith(QLatin1String("/status")) && QFile::remove(*f.inbox().notePath(kId)))
                    QDir().mkpath(*f.inbox().notePath(kId));
            });
        }

        f.dropFile(QStringLiteral("memo.m4a"), "memo");
        QCoro::waitFor(f.pipeline->handle(f.capture(QStringLiteral("memo.m4a"), kId)));

        if (scenario == QLatin1String("key ..") || scenario == QLatin1String("note is a folder")) {
            QCOMPARE(f.service.requests("GET", QStringLiteral("sources/*/status")).size(), scenario == QLatin1String("key ..") ? 0 : 1);
            QCOMPARE(f.service.requests("GET", QStringLiteral("sources/*")).size(), scenario == QLatin1String("key ..") ? 0 : 1);
        }
        if (finalStatus.isEmpty()) {
            QCOMPARE(f.eventNames(), events);
            QVERIFY2(f.logText().contains(QStringLiteral("[harkwell] capture pipeline: ") + logLine), qPrintable(f.logText()));
            return;
        }
        QCOMPARE(f.note(kId)->mirelonJobStatus, finalStatus);
        QCOMPARE(f.eventNames(), events);
        QVERIFY2(f.logText().contains(QStringLiteral("[harkwell] capture pipeline: ") + logLine), qPrintable(logLine));
        QVERIFY(!f.pipeline->isClaimed(kId));

        if (scenario == QLatin1String("ten 404s twice")) {
            QCOMPARE(f.service.requests("GET", QStringLiteral("sources/key-1/status")).size(), 10);
            QCOMPARE(f.service.requests("GET", QStringLiteral("sources/key-moved/status")).size(), 10);
            QVERIFY(f.logText().contains(QStringLiteral("Mirelon has no document for 260304-090000 (cache_key key-moved); giving up")));
        }
        if (scenario == QLatin1String("fetch fails once after done")) {
            // Between the failed fetch and the next one the note was resumable, never "done" without its transcript.
            QCOMPARE(statusAtFetch, (QStringList{QStringLiteral("completed"), QStringLiteral("completed")}));
            QCOMPARE(f.body(kId), QStringLiteral("Transcript text."));
        }
        if (finalStatus != QLatin1String("done"))
            QCOMPARE(f.body(kId), QString());
    }

    // A key beginning "DOC_" gets one source request after its first status answer that is not
    // final; a source that is done there ends polling with the transcript. A new key after a move
    // is probed again.
    void documentKeysAreProbedOnce_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<int>("statusPolls");
        QTest::addColumn<int>("firstKeySources");
        QTest::addColumn<int>("movedKeySources");
        QTest::addColumn<QString>("finalKey");
        QTest::addColumn<QString>("logLine");

        QTest::newRow("source says success")
            << "success" << 1 << 2 << 0 << "DOC_1" << "260304-090000 is done in Mirelon (status success, 7 words)";
        QTest::newRow("source not done: no second probe")
            << "not done" << 3 << 2 << 0 << "DOC_1" << "transcript written for 260304-090000 (7 words)";
        QTest::newRow("probed again after a move")
            << "moved" << 12 << 1 << 2 << "DOC_2" << "260304-090000 is done in Mirelon (status completed, 3 words)";
    }

    void documentKeysAreProbedOnce()
    {
        QFETCH(QString, scenario);
        QFETCH(int, statusPolls);
        QFETCH(int, firstKeySources);
        QFETCH(int, movedKeySources);
        QFETCH(QString, finalKey);
        QFETCH(QString, logLine);

        PipelineFixture f;
        f.service.script("POST", QStringLiteral("sources"), {{200, R"({"status":"processing","cache_key":"DOC_1"})"}});
        const QByteArray pending = statusAnswer(QStringLiteral("pending"));
        const QByteArray notDone = R"({"success":true,"cache_key":"DOC_1","result":{"status":"processing"}})";
        const QByteArray done =
            R"({"success":true,"cache_key":"DOC_1","result":{"status":"success","text":"Probed text.","word_count":7}})";
        if (scenario == QLatin1String("success")) {
            f.service.script("GET", QStringLiteral("sources/DOC_1/status"), {{200, pending}}, true);
            f.service.script("GET", QStringLiteral("sources/DOC_1"), {{200, done}}, true);
        } else if (scenario == QLatin1String("not done")) {
            f.service.script("GET", QStringLiteral("sources/DOC_1/status"),
                             {{200, pending}, {200, pending}, {200, statusAnswer(QStringLiteral("completed"))}}, true);
            f.service.script("GET", QStringLiteral("sources/DOC_1"), {{200, notDone}, {200, done}}, true);
        } else {
            f.service.script("GET", QStringLiteral("sources/DOC_1/status"), {{200, pending}, {404, R"({"detail":"not found"})"}}, true);
            f.service.script("GET", QStringLiteral("sources/DOC_1"), {{200, notDone}}, true);
            FakeSource moved;
            moved.cacheKey = QStringLiteral("DOC_2");
            moved.originalFilename = kId + QStringLiteral(".m4a");
            moved.statusSequence = {QStringLiteral("pending")};
            f.service.addSource(moved);
        }

        f.dropFile(QStringLiteral("memo.m4a"), "memo");
        QCoro::waitFor(f.pipeline->handle(f.capture(QStringLiteral("memo.m4a"), kId)));

        QCOMPARE(f.service.requests("GET", QStringLiteral("sources/*/status")).size(), statusPolls);
        QCOMPARE(f.service.requests("GET", QStringLiteral("sources/DOC_1")).size(), firstKeySources);
        QCOMPARE(f.service.requests("GET", QStringLiteral("sources/DOC_2")).size(), movedKeySources);
        QCOMPARE(f.eventNames(), (QStringList{QStringLiteral("sent"), QStringLiteral("transcriptReady")}));
        QCOMPARE(f.note(kId)->mirelonJobStatus, QStringLiteral("done"));
        QCOMPARE(f.note(kId)->externalId, finalKey);
        QVERIFY2(f.logText().contains(QStringLiteral("[harkwell] capture pipeline: ") + logLine), qPrintable(logLine));
    }

    void pollsOnTheBackOffScheduleForSixHours()
    {
        PipelineFixture f;
        f.service.setUploadsAnswerWithTask(false);
        f.service.script("GET", QStringLiteral("sources/*/status"), {{200, statusAnswer(QStringLiteral("processing"))}}, true);
        f.dropFile(QStringLiteral("memo.m4a"), "memo");
        QCoro::waitFor(f.pipeline->handle(f.capture(QStringLiteral("memo.m4a"), kId)));

        QList<std::chrono::milliseconds> expected;
        expected.append(QList<std::chrono::milliseconds>(12, 5s));
        expected.append(QList<std::chrono::milliseconds>(18, 30s));
        expected.append(QList<std::chrono::milliseconds>(25, 120s));
        expected.append(QList<std::chrono::milliseconds>(60, 300s));
        QCOMPARE(f.clock.requestedSleeps(), expected);
        QCOMPARE(f.service.requests("GET", QStringLiteral("sources/key-1/status")).size(), expected.size());
    }

    void aFailedCopyIsTakenAgainOnALaterTick()
    {
        PipelineFixture f(/*uploads*/ false);
        // A vault path that names a file: the inbox cannot be made.
        f.home.writeFile(QStringLiteral("Blocked"), "not a folder");
        f.settings->update([](AppSettings& s) { s.vaultPath = QStringLiteral("~/Blocked"); });
        f.dropFile(QStringLiteral("memo.m4a"), "memo");
        f.pipeline->start();

        QTRY_VERIFY_WITH_TIMEOUT((f.coordinatorClock.advance(2s), f.logText().contains(QStringLiteral("released in the seen ledger"))), 20000);
        QVERIFY(f.logText().contains(QStringLiteral("capture pipeline: copyAudio failed for ")));
        QVERIFY(!f.ledger->hasSeen(QStringLiteral("memo.m4a"), QString::fromLatin1(PipelineFixture::kFolderId)));

        f.settings->update([](AppSettings& s) { s.vaultPath = QStringLiteral("~/Vault"); });
        QTRY_VERIFY_WITH_TIMEOUT((f.coordinatorClock.advance(30s), f.logText().contains(QStringLiteral("remains pending in vault"))), 20000);
        f.pipeline->stop();
        const QString id = inboxNotes(f).first().chopped(3);
        QCOMPARE(f.note(id)->mirelonJobStatus, QStringLiteral("skipped"));
        QCOMPARE(readAll(*f.inbox().audioCopyPath(id)), QByteArray("memo"));
        QVERIFY(f.ledger->hasSeen(QStringLiteral("memo.m4a"), QString::fromLatin1(PipelineFixture::kFolderId)));
        QVERIFY(f.logText().contains(QStringLiteral("Mirelon upload disabled; %1 remains pending in vault").arg(id)));
    }

    // A file that changes after its guards let it go (a writer that went on after a pause, a sync
    // that put a new version in its place) is not kept as it was half-way: its copy is thrown away,
    // nothing is recorded, and the file is taken again whole.
    void aSourceThatChangesAfterItsGuardsIsTakenAgainWhole_data()
    {
        QTest::addColumn<QString>("change");
        QTest::newRow("appended") << "append";
        QTest::newRow("rewritten in place") << "rewrite";                // same size, a later time
        QTest::newRow("another file renamed over it") << "replace";      // same size and time
    }
    void aSourceThatChangesAfterItsGuardsIsTakenAgainWhole()
    {
        QFETCH(QString, change);
        PipelineFixture f(/*uploads*/ false);
        const QString folderId = QString::fromLatin1(PipelineFixture::kFolderId);
        const QDateTime written(QDate(2026, 3, 4), QTime(8, 0), Qt::UTC);
        auto put = [&](const QString& path, const QByteArray& bytes, QIODevice::OpenMode mode, const QDateTime& time) {
            QFile file(path);
            QVERIFY(file.open(mode));
            file.write(bytes);
            file.flush();
            QVERIFY(file.setFileTime(time, QFileDevice::FileModificationTime));
        };
        const QString path = f.dropFile(QStringLiteral("memo.m4a"), QByteArray());
        put(path, "first half", QIODevice::WriteOnly, written);
        FolderWatcher::NewCapture capture = f.capture(QStringLiteral("memo.m4a"), kId);
        capture.settled = FileSystem::local().stat(path);
        f.ledger->hold(QStringLiteral("memo.m4a"), folderId);

        QByteArray whole;
        if (change == QLatin1String("append")) {
            put(path, " and the rest", QIODevice::Append, written.addSecs(9));
            whole = "first half and the rest";
        } else if (change == QLatin1String("rewrite")) {
            put(path, "FIRST HALF", QIODevice::WriteOnly, written.addSecs(9));
            whole = "FIRST HALF";
        } else {
            put(path + QStringLiteral(".part"), "other half", QIODevice::WriteOnly, written);
            QVERIFY(::rename(QFile::encodeName(path + QStringLiteral(".part")).constData(), QFile::encodeName(path).constData()) == 0);
            whole = "other half";
        }
        QCoro::waitFor(f.pipeline->handle(capture));
        QVERIFY(inboxNotes(f).isEmpty());
        QCOMPARE(QDir(f.inbox().audioFolder()).entryList(QDir::Files | QDir::Hidden), QStringList());
        QVERIFY(!f.ledger->hasSeen(QStringLiteral("memo.m4a"), folderId));
        QVERIFY2(f.logText().contains(QStringLiteral("memo.m4a released in the seen ledger (it changed while it was copied)")),
                 qPrintable(f.logText()));

        // The next poll finds it at rest again and hands it on as it is now.
        capture.settled = FileSystem::local().stat(path);
        QCoro::waitFor(f.pipeline->handle(capture));
        QCOMPARE(inboxNotes(f), QStringList{kId + QStringLiteral(".md")});
        QCOMPARE(readAll(*f.inbox().audioCopyPath(kId)), whole);
        QVERIFY(f.ledger->hasSeen(QStringLiteral("memo.m4a"), folderId));
    }

    // A file that cannot be read when it comes to be copied (a FIFO or a symbolic link put in its
    // place, which even root cannot copy) leaves nothing in the inbox, under its id or any other; it
    // is said once however often it is tried, and waits out a back-off before a poll offers it again.
    void aFileThatCannotBeCopiedIsSaidOnceAndNeverTakenUnderAnotherId_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("FIFO") << "fifo";
        QTest::newRow("symbolic link") << "link";
        QTest::newRow("no read permission") << "unreadable";
    }
    void aFileThatCannotBeCopiedIsSaidOnceAndNeverTakenUnderAnotherId()
    {
        QFETCH(QString, kind);
        if (kind == QLatin1String("unreadable") && ::geteuid() == 0)
            QSKIP("root reads a file whatever its mode says; the FIFO and link rows fail the copy for root too");
        PipelineFixture f(/*uploads*/ false);
        const QString folderId = QString::fromLatin1(PipelineFixture::kFolderId);
        const QString path = f.memos() + QStringLiteral("/memo.m4a");
        if (kind == QLatin1String("fifo")) {
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0644), 0);
        } else if (kind == QLatin1String("link")) {
            f.home.writeFile(QStringLiteral("private.txt"), "private");
            QVERIFY(QFile::link(f.home.path() + QStringLiteral("/private.txt"), path));
        } else {
            f.dropFile(QStringLiteral("memo.m4a"), "memo");
            QVERIFY(QFile::setPermissions(path, {}));
        }

        for (int attempt = 0; attempt < 4; ++attempt) {
            f.ledger->hold(QStringLiteral("memo.m4a"), folderId);
            QCoro::waitFor(f.pipeline->handle(f.capture(QStringLiteral("memo.m4a"), kId)));
        }
        QVERIFY(inboxNotes(f).isEmpty());
        QCOMPARE(QDir(f.inbox().audioFolder()).entryList(QDir::Files | QDir::Hidden), QStringList());
        QCOMPARE(f.logText().count(QStringLiteral("copyAudio failed for ")), 1);
        QVERIFY(!f.ledger->hasSeen(QStringLiteral("memo.m4a"), folderId));
        QVERIFY(f.ledger->oddFiles().waits(folderId, QStringLiteral("memo.m4a"), FileSystem::local().linkStat(path)));
    }

    // A name that is not UTF-8 still names its file on every step: copied byte for byte, and
    // recorded under a key that is its own.
    void aFileWhoseNameIsNotUtf8BecomesANote()
    {
        PipelineFixture f(/*uploads*/ false);
        const QByteArray name("\xff\xfe memo.m4a");
        const QString path = FileNames::text(FileNames::native(f.memos()) + '/' + name);
        {
            QFile file;
            const int fd = ::open(FileNames::native(path).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            QVERIFY(fd >= 0 && file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle));
            QCOMPARE(file.write("odd bytes"), 9);
        }
        f.pipeline->start();
        QTRY_VERIFY_WITH_TIMEOUT((f.coordinatorClock.advance(2s), f.logText().contains(QStringLiteral("remains pending in vault"))), 20000);
        f.pipeline->stop();
        const QStringList notes = inboxNotes(f);
        QCOMPARE(notes.size(), 1);
        QCOMPARE(readAll(*f.inbox().audioCopyPath(notes.first().chopped(3))), QByteArray("odd bytes"));
        QVERIFY(f.ledger->hasSeen(FileNames::text(name), QString::fromLatin1(PipelineFixture::kFolderId)));
        QVERIFY(!f.ledger->hasSeen(QFile::decodeName(name), QString::fromLatin1(PipelineFixture::kFolderId)));
    }

    // A file larger than the service takes is still copied and noted; with uploads on, its note
    // says why it was not sent, and nothing is sent.
    void aFileOverTheLargestUploadIsCopiedAndNoted_data()
    {
        QTest::addColumn<bool>("uploads");
        QTest::newRow("uploads on") << true;
        QTest::newRow("uploads off") << false;
    }
    void aFileOverTheLargestUploadIsCopiedAndNoted()
    {
        QFETCH(bool, uploads);
        PipelineFixture f(uploads);
        MirelonClient::Limits limits;
        limits.maxUploadBytes = 10;
        f.clientLimits = limits;
        const QByteArray audio(11, 'a');
        f.dropFile(QStringLiteral("long.m4a"), audio);
        QCoro::waitFor(f.pipeline->handle(f.capture(QStringLiteral("long.m4a"), kId)));

        QCOMPARE(readAll(*f.inbox().audioCopyPath(kId)), audio);
        QCOMPARE(f.note(kId)->mirelonJobStatus, QStringLiteral("skipped"));
        const QString why = QStringLiteral("Not sent to Mirelon: ") + MirelonClient::tooLargeToSend(QStringLiteral("long.m4a"), 11, 10);
        QCOMPARE(f.body(kId), uploads ? why : QString());
        QVERIFY(f.service.requests().isEmpty());
        QVERIFY(f.ledger->hasSeen(QStringLiteral("long.m4a"), QString::fromLatin1(PipelineFixture::kFolderId)));
    }

    // The audio copy is a new file like any other: its mode is what the umask leaves.
    void theAudioCopyHonoursTheUmask()
    {
        PipelineFixture f(false);
        f.dropFile(QStringLiteral("memo.m4a"), "memo");
        const mode_t before = ::umask(027);
        QCoro::waitFor(f.pipeline->handle(f.capture(QStringLiteral("memo.m4a"), kId)));
        ::umask(before);
        struct stat copy {};
        QCOMPARE(::stat(QFile::encodeName(*f.inbox().audioCopyPath(kId)).constData(), &copy), 0);
        QCOMPARE(copy.st_mode & 0777, mode_t(0640));
    }

    // Files of one second share their canonical id; each still becomes its own note with its own
    // audio, told apart by where it comes from and by its bytes, never by its size.
    void filesWithOneIdBecomeOneNoteEach_data()
    {
        QTest::addColumn<QByteArray>("second");  // the bytes of b.m4a; a.m4a holds "first file"
        QTest::addColumn<bool>("together");      // both handled at once, or b after a has its note
        QTest::newRow("other size, at once") << QByteArray("the second, longer file") << true;
        QTest::newRow("other size, one after the other") << QByteArray("the second, longer file") << false;
        QTest::newRow("same size, at once") << QByteArray("other file") << true;
        QTest::newRow("same size, one after the other") << QByteArray("other file") << false;
    }
    void filesWithOneIdBecomeOneNoteEach()
    {
        QFETCH(QByteArray, second);
        QFETCH(bool, together);
        PipelineFixture f(/*uploads*/ false);
        f.dropFile(QStringLiteral("a.m4a"), "first file");
        f.dropFile(QStringLiteral("b.m4a"), second);
        QCoro::Task<> first = f.pipeline->handle(f.capture(QStringLiteral("a.m4a"), kId));
        if (!together)
            QCoro::waitFor(first);
        QCoro::Task<> other = f.pipeline->handle(f.capture(QStringLiteral("b.m4a"), kId));
        QCoro::waitFor(first);
        QCoro::waitFor(other);

        const QString suffixed = kId + QStringLiteral("_2");
        QCOMPARE(inboxNotes(f), (QStringList{kId + QStringLiteral(".md"), suffixed + QStringLiteral(".md")}));
        QSet<QByteArray> copies{readAll(*f.inbox().audioCopyPath(kId)), readAll(*f.inbox().audioCopyPath(suffixed))};
        QCOMPARE(copies, (QSet<QByteArray>{"first file", second}));
        const CaptureStateStore::FolderMap seen = f.ledger->snapshot().seenByFolder.value(QString::fromLatin1(PipelineFixture::kFolderId));
        QSet<QString> ids{seen.value(QStringLiteral("a.m4a")).canonicalId, seen.value(QStringLiteral("b.m4a")).canonicalId};
        QCOMPARE(ids, (QSet<QString>{kId, suffixed}));

        // The same file queued again keeps its id.
        QCoro::waitFor(f.pipeline->handle(f.capture(QStringLiteral("b.m4a"), kId)));
        QCOMPARE(inboxNotes(f).size(), 2);
    }

    // A kill after the copy and before the note: the file comes back at the next start, finds its own
    // copy under its id and gets its note there, with nothing copied twice.
    void aCopyLeftByAnEarlierRunGetsItsNote()
    {
        PipelineFixture f(/*uploads*/ false);
        QVERIFY(f.inbox().ensureDirectories());
        QFile copy(*f.inbox().audioCopyPath(kId));
        QVERIFY(copy.open(QIODevice::WriteOnly) && copy.write("memo") == 4);
        copy.close();
        f.dropFile(QStringLiteral("memo.m4a"), "memo");
        QCoro::waitFor(f.pipeline->handle(f.capture(QStringLiteral("memo.m4a"), kId)));
        QCOMPARE(inboxNotes(f), QStringList{kId + QStringLiteral(".md")});
        QCOMPARE(QDir(f.inbox().audioFolder()).entryList(QDir::Files | QDir::Hidden), QStringList{kId + QStringLiteral(".m4a")});
        QCOMPARE(f.ledger->snapshot().seenByFolder.value(QString::fromLatin1(PipelineFixture::kFolderId)).value(QStringLiteral("memo.m4a")).canonicalId, kId);
    }

    // What a crash left half-written (an audio copy, a note) goes at the next start; nothing else
    // does, nor a temporary written since this process began.
    void leftoverTemporariesAreRemovedAtStart_data()
    {
        QTest::addColumn<bool>("notes");
        QTest::addColumn<QString>("extension");
        QTest::newRow("audio copies") << false << "m4a";
        QTest::newRow("notes") << true << "md";
    }
    void leftoverTemporariesAreRemovedAtStart()
    {
        QFETCH(bool, notes);
        QFETCH(QString, extension);
        // The file system's clock runs up to a tick behind the one the pipeline reads, so a file
        // written just after the pipeline came to be can carry a time from just before it.
        const QDateTime justBefore = QDateTime::currentDateTimeUtc();
        PipelineFixture f(/*uploads*/ false);
        QVERIFY(f.inbox().ensureDirectories());
        const QString folder = notes ? f.inbox().inboxFolder() : f.inbox().audioFolder();
        auto place = [&](const QString& pattern, bool old) {
            QFile file(folder + QLatin1Char('/') + (pattern.contains(QLatin1String("%1")) ? pattern.arg(extension) : pattern));
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.setFileTime(old ? QDateTime::currentDateTimeUtc().addSecs(-3600) : justBefore,
                                     QFileDevice::FileModificationTime));
        };
        place(QStringLiteral(".260101-101010.%1.Ab12Cd"), true);
        place(QStringLiteral(".260101-101011.%1.xYz789"), true);
        place(QStringLiteral("260101-101012.%1"), true);
        place(QStringLiteral(".kept-by-someone"), true);
        place(QStringLiteral(".260101-101013.%1.new123"), false);
        f.pipeline->start();
        QTRY_VERIFY(f.logText().contains(QStringLiteral("removed .260101-101010.%1.Ab12Cd, left over from a write that did not finish").arg(extension)));
        QTRY_VERIFY(f.logText().contains(QStringLiteral("removed .260101-101011.%1.xYz789").arg(extension)));
        f.pipeline->stop();
        QStringList left = QDir(folder).entryList(QDir::Files | QDir::Hidden);
        left.sort();
        QCOMPARE(left, (QStringList{QStringLiteral(".260101-101013.%1.new123").arg(extension), QStringLiteral(".kept-by-someone"),
                                    QStringLiteral("260101-101012.%1").arg(extension)}));
    }

    void aRecordingsNoteIsNeverTakenOver()
    {
        PipelineFixture f(/*uploads*/ false);
        InboxFrontmatter recording = PipelineFixture::noteFor(kId, QStringLiteral("done"), QStringLiteral("key-r"));
        recording.sourceOrigin = QStringLiteral("harkwell_recorder");
        f.placeNote(recording, "memo");
        f.dropFile(QStringLiteral("memo.m4a"), "memo");

        QCoro::waitFor(f.pipeline->handle(f.capture(QStringLiteral("memo.m4a"), kId)));
        QCOMPARE(f.note(kId)->sourceOrigin, QStringLiteral("harkwell_recorder"));
        QCOMPARE(f.note(kId + QStringLiteral("_2"))->mirelonJobStatus, QStringLiteral("skipped"));
        QVERIFY(f.logText().contains(QStringLiteral("%1 is a recording's id; capturing memo.m4a as %1_2").arg(kId)));
    }

    // What a re-upload sends: the note's own profile (meeting or voice memo), with any argument given
    // replacing its part of it.
    void uploadExistingSendsTheProfileWithTheGivenArgumentsOverIt_data()
    {
        QTest::addColumn<QString>("classification");
        QTest::addColumn<QString>("microphone");
        QTest::addColumn<QString>("layout");
        QTest::addColumn<QString>("givenSource");
        QTest::addColumn<QStringList>("givenTags");
        QTest::addColumn<bool>("givenMetadata");
        QTest::addColumn<QString>("contentSource");
        QTest::addColumn<QString>("tags");
        QTest::addColumn<QString>("metadata");

        const QStringList none;
        const QString meetingTags = QStringLiteral("meeting,harkwell-mac");
        QTest::newRow("meeting without recorder fields")
            << "meeting_recording" << "" << "" << "" << none << false << "meeting" << meetingTags
            << R"({"channel_layout":"L=system-left,R=system-right","harkwell_id":"260304-080000","meeting_started_at":"2026-03-04T08:00:00Z","microphone":"off","recorder_source":"All audio"})";
        QTest::newRow("meeting with a microphone")
            << "meeting_recording" << "Desk Mic" << "" << "" << none << false << "meeting" << meetingTags
            << R"({"channel_layout":"L=microphone,R=system","harkwell_id":"260304-080000","meeting_started_at":"2026-03-04T08:00:00Z","microphone":"Desk Mic","recorder_source":"All audio"})";
        QTest::newRow("meeting with its own layout")
            << "meeting_recording" << "Desk Mic" << "L=a,R=b" << "" << none << false << "meeting" << meetingTags
            << R"({"channel_layout":"L=a,R=b","harkwell_id":"260304-080000","meeting_started_at":"2026-03-04T08:00:00Z","microphone":"Desk Mic","recorder_source":"All audio"})";
        QTest::newRow("content source given, tags from the profile")
            << "voice_memo" << "" << "" << "dictation" << none << false << "dictation" << "voice-memo,harkwell-mac"
            << R"({"harkwell_id":"260304-080000"})";
        QTest::newRow("everything given over a meeting")
            << "meeting_recording" << "" << "" << "call" << QStringList{QStringLiteral("x"), QStringLiteral("y")} << true
            << "call" << "x,y" << R"({"given":"yes"})";
    }

    void uploadExistingSendsTheProfileWithTheGivenArgumentsOverIt()
    {
        QFETCH(QString, classification);
        QFETCH(QString, microphone);
        QFETCH(QString, layout);
        QFETCH(QString, givenSource);
        QFETCH(QStringList, givenTags);
        QFETCH(bool, givenMetadata);
        QFETCH(QString, contentSource);
        QFETCH(QString, tags);
        QFETCH(QString, metadata);

        PipelineFixture f;
        const QString id = QStringLiteral("260304-080000");
        InboxFrontmatter note = PipelineFixture::noteFor(id, QStringLiteral("upload_failed"));
        note.classification = classification;
        if (!microphone.isEmpty())
            note.recorderMicrophone = microphone;
        if (!layout.isEmpty())
            note.recorderChannelLayout = layout;
        f.placeNote(note);

        const std::optional<QString> source = givenSource.isEmpty() ? std::nullopt : std::optional(givenSource);
        const std::optional<QStringList> tagList = givenTags.isEmpty() ? std::nullopt : std::optional(givenTags);
        const std::optional<QMap<QString, QString>> metadataMap =
            givenMetadata ? std::optional(QMap<QString, QString>{{QStringLiteral("given"), QStringLiteral("yes")}}) : std::nullopt;
        QCoro::Task<bool> upload = f.pipeline->uploadExisting(id, source, tagList, metadataMap);
        QVERIFY(QCoro::waitFor(upload));

        const RecordedRequest sent = f.service.requests("POST", QStringLiteral("sources")).first();
        QCOMPARE(QString::fromUtf8(sent.formPart(QStringLiteral("content_source"))->data), contentSource);
        QCOMPARE(QString::fromUtf8(sent.formPart(QStringLiteral("tags"))->data), tags);
        QCOMPARE(QString::fromUtf8(sent.formPart(QStringLiteral("content_source_metadata"))->data), metadata);
        QVERIFY(!sent.formPart(QStringLiteral("language")));
        QVERIFY(f.logText().contains(QStringLiteral("[harkwell] capture retry: %1 uploaded; cache_key=key-1").arg(id)));
        // No "sent" event for a re-upload; polling goes on by itself and holds the id until it ends.
        QVERIFY(f.pipeline->isClaimed(id));
        QTRY_COMPARE_WITH_TIMEOUT(f.eventNames(), QStringList{QStringLiteral("transcriptReady")}, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(!f.pipeline->isClaimed(id), 10000);
    }

    void resume_data()
    {
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("expected");

        QTest::newRow("upload_failed with a key") << "upload_failed" << "key-stored" << "upload";
        QTest::newRow("queued without a key") << "queued" << "" << "upload";
        QTest::newRow("processing without a key") << "processing" << "" << "upload";
        QTest::newRow("queued with a key") << "queued" << "key-stored" << "poll";
        QTest::newRow("poll_timeout with a key") << "poll_timeout" << "key-stored" << "poll";
        QTest::newRow("completed with a key") << "completed" << "key-stored" << "poll";
        QTest::newRow("done") << "done" << "key-stored" << "none";
        QTest::newRow("failed") << "failed" << "key-stored" << "none";
        QTest::newRow("skipped") << "skipped" << "" << "none";
        QTest::newRow("unknown") << "unknown" << "key-stored" << "none";
        QTest::newRow("no status") << "" << "" << "none";
    }

    void resume()
    {
        QFETCH(QString, status);
        QFETCH(QString, key);
        QFETCH(QString, expected);

        PipelineFixture f;
        FakeSource stored;
        stored.cacheKey = QStringLiteral("key-stored");
        stored.statusSequence = {QStringLiteral("completed")};
        f.service.addSource(stored);
        const QString id = QStringLiteral("260304-080000");
        f.placeNote(PipelineFixture::noteFor(id, status.isEmpty() ? std::nullopt : std::optional(status),
                                             key.isEmpty() ? std::nullopt : std::optional(key)));

        QCoro::waitFor(f.pipeline->resumeWork());
        if (expected == QLatin1String("none")) {
            QCoreApplication::processEvents();
            QVERIFY(f.service.requests().isEmpty());
            QVERIFY(!f.logText().contains(QStringLiteral("resuming")));
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(f.eventNames(), QStringList{QStringLiteral("transcriptReady")}, 20000);
        QVERIFY(f.logText().contains(QStringLiteral("capture pipeline: resuming 1 unfinished capture(s)")));
        if (expected == QLatin1String("upload")) {
            QCOMPARE(f.service.requests("POST", QStringLiteral("sources")).size(), 1);
            QVERIFY(f.logText().contains(QStringLiteral("%1 resumed (uploading again)").arg(id)));
            QCOMPARE(f.note(id)->externalId, QStringLiteral("key-1"));
        } else {
            QVERIFY(f.service.requests("POST", QStringLiteral("sources")).isEmpty());
            QVERIFY(f.logText().contains(QStringLiteral("%1 resumed (polling key-stored)").arg(id)));
            QCOMPARE(f.note(id)->externalId, QStringLiteral("key-stored"));
        }
        QCOMPARE(f.note(id)->mirelonJobStatus, QStringLiteral("done"));
        QTRY_VERIFY_WITH_TIMEOUT(!f.pipeline->isClaimed(id), 10000);
    }

    // The service took an upload but its answer, or the key it led to, never reached the note (a
    // kill, a dropped connection): before uploading again, the service's list of sources is searched
    // for a live source under the file name the upload carried, the one thing of the upload the
    // list shows.
    void anUploadTheServiceTookIsFoundBeforeUploadingAgain_data()
    {
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("listedName");
        QTest::addColumn<QString>("listedStatus");
        QTest::addColumn<bool>("deleted");
        QTest::addColumn<bool>("looked");
        QTest::addColumn<bool>("found");

        const QString name = kId + QStringLiteral(".m4a");
        QTest::newRow("queued, listed") << "queued" << name << "completed" << false << true << true;
        QTest::newRow("upload_failed, listed while processing") << "upload_failed" << name << "processing" << false << true << true;
        QTest::newRow("not listed") << "queued" << QString() << QString() << false << true << false;
        QTest::newRow("listed under another name") << "queued" << kId + QStringLiteral("_2.m4a") << "completed" << false << true << false;
        QTest::newRow("listed as failed") << "upload_failed" << name << "Failed" << false << true << false;
        QTest::newRow("listed as deleted") << "queued" << name << "completed" << true << true << false;
        QTest::newRow("never set out") << "skipped" << name << "completed" << false << false << false;
    }
    void anUploadTheServiceTookIsFoundBeforeUploadingAgain()
    {
        QFETCH(QString, status);
        QFETCH(QString, listedName);
        QFETCH(QString, listedStatus);
        QFETCH(bool, deleted);
        QFETCH(bool, looked);
        QFETCH(bool, found);

        PipelineFixture f;
        if (!listedName.isEmpty()) {
            FakeSource earlier;
            earlier.cacheKey = QStringLiteral("key-earlier");
            earlier.originalFilename = listedName;
            earlier.status = listedStatus;
            earlier.deleted = deleted;
            earlier.statusSequence = {QStringLiteral("completed")};
            f.service.addSource(earlier);
        }
        f.placeNote(PipelineFixture::noteFor(kId, status));

        QVERIFY(QCoro::waitFor(f.pipeline->uploadExisting(kId)));
        QTRY_COMPARE_WITH_TIMEOUT(f.eventNames(), QStringList{QStringLiteral("transcriptReady")}, 20000);
        QCOMPARE(f.service.requests("GET", QStringLiteral("sources")).size(), looked ? 1 : 0);
        QCOMPARE(f.service.requests("POST", QStringLiteral("sources")).size(), found ? 0 : 1);
        QCOMPARE(f.note(kId)->externalId, found ? QStringLiteral("key-earlier") : QStringLiteral("key-1"));
        QCOMPARE(f.note(kId)->mirelonJobStatus, QStringLiteral("done"));
        QCOMPARE(f.logText().contains(QStringLiteral("%1 is already in Mirelon as key-earlier").arg(kId)), found);
    }

    // The pipeline may go while a poll waits for the service: the poll ends there without touching
    // it, and its claim goes with it.
    void aPollOutlivingItsPipelineEndsWithoutTouchingIt()
    {
        PipelineFixture f;
        f.placeNote(PipelineFixture::noteFor(kId, QStringLiteral("queued"), QStringLiteral("key-stored")));
        FakeSource stored;
        stored.cacheKey = QStringLiteral("key-stored");
        f.service.addSource(stored);
        f.service.script("GET", QStringLiteral("sources/*/status"),
                         {FakeReply{200, R"({"status":{"transcription":{"status":"processing"}}})", 300}});
        QCoro::waitFor(f.pipeline->resumeWork());
        QTRY_COMPARE_WITH_TIMEOUT(f.service.requests("GET", QStringLiteral("sources/*/status")).size(), 1, 10000);
        f.pipeline.reset();
        // The answer arrives and its job-status write lands; nothing of the pipeline is touched.
        QTest::qWait(600);
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::processEvents();
        QCOMPARE(f.service.requests("GET", QStringLiteral("sources/*/status")).size(), 1);
        QCOMPARE(f.note(kId)->mirelonJobStatus, QStringLiteral("queued"));
    }

    // A file whose note already has its transcript, or whose id another task holds for it, is not
    // taken again: nothing is copied or sent, and it stays recorded as seen under that id.
    void handleSkipsWhatIsDoneOrAlreadyHeld_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<QString>("logLine");
        QTest::newRow("has its transcript") << "done" << "260304-090000 already has its transcript; skipping";
        QTest::newRow("the same file on its way") << "same file" << "260304-090000 is already being handled; skipping";
        QTest::newRow("held by a resumed poll") << "resumed poll" << "260304-090000 is already being handled; skipping";
    }
    void handleSkipsWhatIsDoneOrAlreadyHeld()
    {
        QFETCH(QString, scenario);
        QFETCH(QString, logLine);
        PipelineFixture f;
        f.dropFile(QStringLiteral("memo.m4a"), "memo");
        const FolderWatcher::NewCapture capture = f.capture(QStringLiteral("memo.m4a"), kId);
        std::optional<QCoro::Task<>> holder;
        if (scenario == QLatin1String("done")) {
            f.placeNote(PipelineFixture::noteFor(kId, QStringLiteral("done"), QStringLiteral("key-done")), "memo");
        } else if (scenario == QLatin1String("same file")) {
            // The first task holds the id while its upload waits for an answer.
            f.service.setInterference([](const RecordedRequest& request) {
                FakeInterference late;
                if (request.method == "POST")
                    late.extraDelayMs = 3000;
                return late;
            });
            holder = f.pipeline->handle(capture);
            QTRY_COMPARE_WITH_TIMEOUT(f.service.requests("POST", QStringLiteral("sources")).size(), 1, 10000);
        } else {
            // A poll resumed from the note holds the id while its first status answer is on its way.
            f.placeNote(PipelineFixture::noteFor(kId, QStringLiteral("queued"), QStringLiteral("key-stored")), "memo");
            FakeSource stored;
            stored.cacheKey = QStringLiteral("key-stored");
            stored.statusSequence = {QStringLiteral("completed")};
            f.service.addSource(stored);
            f.service.setInterference([](const RecordedRequest& request) {
                FakeInterference late;
                if (request.path.endsWith(QLatin1String("/status")))
                    late.extraDelayMs = 3000;
                return late;
            });
            QCoro::waitFor(f.pipeline->resumeWork());
            QVERIFY(f.pipeline->isClaimed(kId));
        }

        QCoro::waitFor(f.pipeline->handle(capture));
        QVERIFY2(f.logText().contains(QStringLiteral("[harkwell] capture pipeline: ") + logLine), qPrintable(f.logText()));
        QVERIFY(!f.logText().contains(QStringLiteral("released in the seen ledger")));
        QCOMPARE(f.service.requests("POST", QStringLiteral("sources")).size(), scenario == QLatin1String("same file") ? 1 : 0);
        QCOMPARE(inboxNotes(f), QStringList{kId + QStringLiteral(".md")});
        QCOMPARE(f.ledger->snapshot().seenByFolder.value(QString::fromLatin1(PipelineFixture::kFolderId)).value(QStringLiteral("memo.m4a")).canonicalId, kId);
        if (scenario == QLatin1String("done")) {
            QCOMPARE(f.note(kId)->mirelonJobStatus, QStringLiteral("done"));
            QCOMPARE(f.note(kId)->externalId, QStringLiteral("key-done"));
            QVERIFY(f.service.requests().isEmpty());
            return;
        }
        // The holder carries the capture to its transcript.
        if (holder)
            QCoro::waitFor(*holder);
        QTRY_COMPARE_WITH_TIMEOUT(f.note(kId)->mirelonJobStatus, QStringLiteral("done"), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(!f.pipeline->isClaimed(kId), 10000);
    }

    // Another file with the bytes of a capture still on its way (a copy, or the file renamed) is
    // that capture: "already being handled", settled under its id, never a second note or upload.
    void aFileWithTheBytesOfOneInFlightIsAlreadyBeingHandled_data()
    {
        QTest::addColumn<bool>("renamed");
        QTest::newRow("a copy") << false;
        QTest::newRow("renamed") << true;
    }
    void aFileWithTheBytesOfOneInFlightIsAlreadyBeingHandled()
    {
        QFETCH(bool, renamed);
        PipelineFixture f;
        f.service.setInterference([](const RecordedRequest& request) {
            FakeInterference late;
            if (request.method == "POST")
                late.extraDelayMs = 3000;
            return late;
        });
        const QByteArray audio("memo bytes");
        f.dropFile(QStringLiteral("a.m4a"), audio);
        QCoro::Task<> first = f.pipeline->handle(f.capture(QStringLiteral("a.m4a"), kId));
        QTRY_COMPARE_WITH_TIMEOUT(f.service.requests("POST", QStringLiteral("sources")).size(), 1, 10000);
        if (renamed)
            QVERIFY(QFile::rename(f.memos() + QStringLiteral("/a.m4a"), f.memos() + QStringLiteral("/b.m4a")));
        else
            f.dropFile(QStringLiteral("b.m4a"), audio);

        QCoro::waitFor(f.pipeline->handle(f.capture(QStringLiteral("b.m4a"), kId)));
        QVERIFY2(f.logText().contains(QStringLiteral("[harkwell] capture pipeline: %1 is already being handled; skipping").arg(kId)),
                 qPrintable(f.logText()));
        QCOMPARE(inboxNotes(f), QStringList{kId + QStringLiteral(".md")});
        QCOMPARE(f.ledger->snapshot().seenByFolder.value(QString::fromLatin1(PipelineFixture::kFolderId)).value(QStringLiteral("b.m4a")).canonicalId, kId);
        QCoro::waitFor(first);
        QTRY_COMPARE_WITH_TIMEOUT(f.note(kId)->mirelonJobStatus, QStringLiteral("done"), 20000);
        QCOMPARE(f.service.requests("POST", QStringLiteral("sources")).size(), 1);
    }

    // An answer that can never be used (not JSON, past its cap) is asked for three times, then the
    // capture ends failed with the reason, not after six hours of asking.
    void answersThatCannotBeUsedEndTheCaptureAfterThreeTries_data()
    {
        QTest::addColumn<QString>("route");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("reason");
        QTest::newRow("status not JSON") << "sources/*/status" << QByteArray("not json") << "Mirelon response malformed: status: ";
        QTest::newRow("status past its cap") << "sources/*/status" << QByteArray(MirelonClient::kMaxJsonAnswerBytes + 1, ' ')
                                             << HttpExchange::answerTooLarge(MirelonClient::kMaxJsonAnswerBytes);
        QTest::newRow("transcript not JSON") << "sources/*" << QByteArray("not json") << "Mirelon response malformed: source: ";
    }
    void answersThatCannotBeUsedEndTheCaptureAfterThreeTries()
    {
        QFETCH(QString, route);
        QFETCH(QByteArray, answer);
        QFETCH(QString, reason);
        PipelineFixture f;
        f.service.setUploadsAnswerWithTask(false);
        f.service.script("GET", QStringLiteral("sources/*/status"), {{200, statusAnswer(QStringLiteral("done"))}}, true);
        f.service.script("GET", route, {{200, answer}}, true);
        f.dropFile(QStringLiteral("memo.m4a"), "memo");
        QCoro::waitFor(f.pipeline->handle(f.capture(QStringLiteral("memo.m4a"), kId)));

        QCOMPARE(f.note(kId)->mirelonJobStatus, QStringLiteral("failed"));
        QCOMPARE(f.eventNames(), (QStringList{QStringLiteral("sent"), QStringLiteral("failed:failed")}));
        QCOMPARE(f.service.requests("GET", route).size(), 3);
        const QString said = QStringLiteral("[harkwell] capture pipeline: Mirelon's answer for %1 cannot be used (%2").arg(kId, reason);
        QVERIFY2(f.logText().contains(said), qPrintable(f.logText()));
        QVERIFY(f.logText().contains(QStringLiteral("giving up after 3 tries")));
    }

    // Two resume passes at once (a start and a pairing): the later one finds a capture the earlier
    // one carried to its end meanwhile and leaves it, instead of polling it and writing it again.
    void aResumeLeavesACaptureFinishedMeanwhile()
    {
        PipelineFixture f;
        const QString slow = QStringLiteral("260304-070000");  // listed first, its upload held
        const QString ready = QStringLiteral("260304-080000");
        f.placeNote(PipelineFixture::noteFor(slow, QStringLiteral("queued")));
        f.placeNote(PipelineFixture::noteFor(ready, QStringLiteral("queued"), QStringLiteral("key-stored")));
        FakeSource stored;
        stored.cacheKey = QStringLiteral("key-stored");
        stored.statusSequence = {QStringLiteral("completed")};
        f.service.addSource(stored);
        f.service.setInterference([](const RecordedRequest& request) {
            FakeInterference late;
            if (request.method == "POST")
                late.extraDelayMs = 2000;
            return late;
        });

        QCoro::Task<> one = f.pipeline->resumeWork();
        QCoro::Task<> other = f.pipeline->resumeWork();
        QCoro::waitFor(one);
        QCoro::waitFor(other);
        QTRY_VERIFY_WITH_TIMEOUT(!f.pipeline->isClaimed(slow) && !f.pipeline->isClaimed(ready), 20000);
        QCOMPARE(f.note(slow)->mirelonJobStatus, QStringLiteral("done"));
        QCOMPARE(f.note(ready)->mirelonJobStatus, QStringLiteral("done"));
        QCOMPARE(f.service.requests("GET", QStringLiteral("sources/key-stored")).size(), 1);
        int ready_written = 0;
        for (const CaptureEvent& event : f.events)
            ready_written += event.isTranscriptReady() && event.id == ready;
        QCOMPARE(ready_written, 1);
    }

    // The after-transcript command runs once for a capture, even when its transcript is written
    // again after a restart; a transcript without a word count is logged without one.
    void theAfterTranscriptCommandRunsOnceAcrossARestart()
    {
        PipelineFixture f;
        const QString hook = f.home.writeFile(QStringLiteral("hook.sh"), "printf '%s\\n' \"$HARKWELL_ID\" >> \"$PWD/ran.txt\"\n");
        f.settings->update([&](AppSettings& s) { s.afterTranscriptCommand = QStringLiteral("sh '%1'").arg(hook); });
        FakeSource stored;
        stored.cacheKey = QStringLiteral("key-stored");
        stored.statusSequence = {QStringLiteral("completed")};
        f.service.addSource(stored);
        f.service.script("GET", QStringLiteral("sources/key-stored"),
                         {{200, R"({"success":true,"cache_key":"key-stored","result":{"text":"Words."}})"}}, true);
        const QString id = QStringLiteral("260304-080000");
        f.placeNote(PipelineFixture::noteFor(id, QStringLiteral("completed"), QStringLiteral("key-stored")));
        const QString ran = f.vault() + QStringLiteral("/ran.txt");

        QCoro::waitFor(f.pipeline->resumeWork());
        QTRY_COMPARE_WITH_TIMEOUT(QString::fromUtf8(readAll(ran)), id + QStringLiteral("\n"), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(!f.command->isRunning(id), 10000);
        QVERIFY(f.logText().contains(QStringLiteral("capture pipeline: transcript written for %1\n").arg(id)));
        QVERIFY(!f.logText().contains(QStringLiteral("words)")));

        // A status written late leaves the note to be taken up again at the next start.
        QVERIFY(f.inbox().updateMirelonJobStatus(id, QStringLiteral("completed")));
        f.restart();
        QCoro::waitFor(f.pipeline->resumeWork());
        QTRY_VERIFY_WITH_TIMEOUT(f.logText().contains(QStringLiteral("the after-transcript command was already run for %1; not run again").arg(id)), 20000);
        QCOMPARE(f.note(id)->mirelonJobStatus, QStringLiteral("done"));
        QCOMPARE(QString::fromUtf8(readAll(ran)), id + QStringLiteral("\n"));
    }

    // The service handing one key to two captures is said in the log.
    void aKeyGivenToTwoCapturesIsSaid()
    {
        PipelineFixture f;
        f.service.setUploadsAnswerWithTask(false);
        const QByteArray same = R"({"status":"queued","cache_key":"key-same"})";
        f.service.script("POST", QStringLiteral("sources"), {{200, same}, {200, same}});
        FakeSource stored;
        stored.cacheKey = QStringLiteral("key-same");
        stored.statusSequence = {QStringLiteral("completed")};
        f.service.addSource(stored);
        f.placeNote(PipelineFixture::noteFor(QStringLiteral("260304-070000"), QStringLiteral("queued")), "one");
        f.placeNote(PipelineFixture::noteFor(QStringLiteral("260304-080000"), QStringLiteral("queued")), "two");
        QCoro::waitFor(f.pipeline->resumeWork());
        QTRY_VERIFY_WITH_TIMEOUT(!f.pipeline->isClaimed(QStringLiteral("260304-070000")) && !f.pipeline->isClaimed(QStringLiteral("260304-080000")), 20000);
        QVERIFY2(f.logText().contains(QStringLiteral("capture pipeline: Mirelon gave cache_key key-same to 260304-080000, as it did to 260304-070000")),
                 qPrintable(f.logText()));
    }

    // A note deleted while its capture is polled comes back with the transcript, from a fresh
    // record created at the time of that write.
    void aNoteDeletedWhilePollingIsWrittenAgain()
    {
        PipelineFixture f;
        f.service.script("GET", QStringLiteral("sources/*/status"),
                         {{200, statusAnswer(QStringLiteral("processing"))}, {200, statusAnswer(QStringLiteral("done"))}}, true);
        QDateTime fetchedAt;
        QObject listening;
        connect(&f.service, &FakeMirelonService::requestArrived, &listening, [&](const RecordedRequest& request) {
            if (request.path.endsWith(QLatin1String("/status")))
                QFile::remove(*f.inbox().notePath(kId));
            else if (request.method == "GET" && request.path == QLatin1String("sources/key-1"))
                fetchedAt = f.clock.now();
        });
        f.dropFile(QStringLiteral("memo.m4a"), "memo");
        const FolderWatcher::NewCapture capture = f.capture(QStringLiteral("memo.m4a"), kId);
        QCoro::waitFor(f.pipeline->handle(capture));

        QCOMPARE(f.eventNames(), (QStringList{QStringLiteral("sent"), QStringLiteral("transcriptReady")}));
        const std::optional<InboxFrontmatter> note = f.note(kId);
        QVERIFY(note);
        QCOMPARE(f.body(kId), QStringLiteral("Transcript text."));
        QCOMPARE(note->mirelonJobStatus, QStringLiteral("done"));
        QCOMPARE(note->externalId, QStringLiteral("key-1"));
        QVERIFY(fetchedAt.isValid() && fetchedAt > capture.timestamp);
        QCOMPARE(note->created.toSecsSinceEpoch(), fetchedAt.toSecsSinceEpoch());
        // What the fresh record holds, not what the stub held (a watched folder's capture).
        QCOMPARE(note->sourceOrigin, QStringLiteral("voice_memo"));
        QCOMPARE(note->classification, QStringLiteral("voice_memo"));
        QCOMPARE(note->audioPath, QStringLiteral("_inbox/.audio/") + kId + QStringLiteral(".m4a"));
    }

    // Resuming needs uploads on and a paired computer. The wait covers the queued start, the read of
    // the token store and the listing of the inbox on workers, and the task taking them up: without
    // both, nothing has begun by then.
    void resumeNeedsUploadsOnAndAPairedComputer_data()
    {
        QTest::addColumn<bool>("uploads");
        QTest::addColumn<bool>("paired");
        QTest::newRow("not paired") << true << false;
        QTest::newRow("uploads off") << false << true;
        QTest::newRow("both") << true << true;
    }

    void resumeNeedsUploadsOnAndAPairedComputer()
    {
        QFETCH(bool, uploads);
        QFETCH(bool, paired);
        PipelineFixture f(uploads);
        f.isPaired(paired);
        const QString id = QStringLiteral("260304-080000");
        f.placeNote(PipelineFixture::noteFor(id, QStringLiteral("upload_failed")));
        f.pipeline->resumeUnfinished();
        QCoreApplication::processEvents();
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::processEvents();
        const bool resumes = uploads && paired;
        const QString line = QStringLiteral("capture pipeline: resuming 1 unfinished capture(s)");
        if (resumes)
            QTRY_VERIFY_WITH_TIMEOUT(f.logText().contains(line), 10000);
        else
            QVERIFY(!f.logText().contains(line));
        if (!resumes) {
            QVERIFY(f.service.requests().isEmpty());
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(f.eventNames(), QStringList{QStringLiteral("transcriptReady")}, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(!f.pipeline->isClaimed(id), 10000);
    }
};

QTEST_GUILESS_MAIN(TestCapturePipeline)
#include "tst_capture_pipeline.moc"
