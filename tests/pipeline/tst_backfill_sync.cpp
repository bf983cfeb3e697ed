// Backfill from the service against the fake service: what is skipped, the notes written and
// their names, the body's fall-backs, the order of the progress reports, failures and cancelling.

#include "foundation/HarkwellLog.h"
#include "foundation/InboxWriter.h"
#include "foundation/RecordingTypes.h"
#include "pipeline/BackfillSync.h"
#include "platform/clock/FakeClock.h"
#include "platform/paths/Paths.h"
#include "platform/secrets/FakeSecretStore.h"
#include "service/Keychain.h"
#include "support/FakeMirelonService.h"
#include "support/Fifo.h"
#include "support/LocalZone.h"
#include "support/LogFile.h"
#include "support/TempHome.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QTest>

using namespace harkwell;
using namespace harkwell::test;
using Progress = BackfillSync::Progress;

namespace {

constexpr double kMonday = 1'772'611'200;  // 2026-03-04 08:00:00 UTC, 13:30:00 in the fixture's zone

using test::logText;

QByteArray page(const QJsonArray& files, const std::optional<QString>& nextCursor)
{
    QJsonObject object{{"files", files}, {"count", files.size()}, {"has_more", nextCursor.has_value()}};
    if (nextCursor)
        object.insert("next_cursor", *nextCursor);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QJsonObject listed(const QString& key, const QJsonObject& more = {})
{
    QJsonObject entry{{"cache_key", key}, {"status", "completed"}};
    for (auto it = more.begin(); it != more.end(); ++it)
        entry.insert(it.key(), it.value());
    return entry;
}

QByteArray detailBody(const QString& key, const QJsonObject& result)
{
    return QJsonDocument(QJsonObject{{"success", true}, {"cache_key", key}, {"result", result}}).toJson(QJsonDocument::Compact);
}

QString describe(const Progress& p)
{
    switch (p.kind) {
    case Progress::Kind::Listing:
        return "listing";
    case Progress::Kind::Syncing:
        return QStringLiteral("syncing %1/%2 %3").arg(p.done).arg(p.total).arg(p.currentTitle.value_or("-"));
    case Progress::Kind::Finished:
        return QStringLiteral("finished synced=%1 skipped=%2 failed=%3").arg(p.synced).arg(p.skipped).arg(p.failed);
    case Progress::Kind::Failed:
        return "failed " + (p.error ? p.error->plainDescription() : QString());
    }
    return {};
}

struct Fixture {
    // Note ids are local times: a zone half an hour off UTC shows whether the service's UTC times
    // are turned into local ones.
    LocalZone zone{"Asia/Kolkata"};
    TempHome home;
    FakeSecretStore secrets;
    FakeClock clock{QDateTime(QDate(2026, 3, 5), QTime(10, 11, 12), Qt::UTC)};
    FakeMirelonService service;
    QNetworkAccessManager network;
    QStringList reports;

    Fixture()
    {
        home.make("Vault/_inbox");
        Keychain::setStore(&secrets);
        Keychain::write(Keychain::kDeviceTokenAccount, QStringLiteral("hwdt_test"), Keychain::deviceTokenService());
        clock.setAutoAdvance(true);
    }
    ~Fixture() { Keychain::setStore(nullptr); }

    QString vault() const { return home.path() + "/Vault"; }
    QString inbox() const { return vault() + "/_inbox"; }
    BackfillSync makeSync() { return BackfillSync(MirelonClient(service.baseUrl(), network, clock), InboxWriter(vault()), clock); }

    // Runs to the end, cancelling once the report `cancelAt` (counted from 0) has been made.
    void run(BackfillSync& sync, int cancelAt = -1)
    {
        QCoro::waitFor(sync.run([&](const Progress& progress) {
            reports.append(describe(progress));
            if (reports.size() - 1 == cancelAt)
                sync.cancel();
        }));
    }
    void run() { BackfillSync sync = makeSync(); run(sync); }

    void placeNote(const QString& relativePath, const QString& externalId)
    {
        InboxFrontmatter note;
        note.id = QFileInfo(relativePath).completeBaseName();
        note.externalId = externalId;
        home.writeFile("Vault/_inbox/" + relativePath, InboxWriter::renderMarkdown(note, "kept").toUtf8());
    }
    std::optional<InboxFrontmatter> note(const QString& id) const
    {
        auto read = InboxWriter::readFrontmatter(inbox() + "/" + id + ".md");
        return read ? std::optional(*read) : std::nullopt;
    }
    QString body(const QString& id) const { return InboxWriter::readBody(inbox() + "/" + id + ".md").value_or("<none>"); }
    QStringList fetchedKeys() const
    {
        QStringList keys;
        for (const RecordedRequest& request : service.requests("GET", "sources/*"))
            keys.append(request.path.section('/', 1));
        return keys;
    }
};

}  // namespace

Q_DECLARE_METATYPE(std::optional<int>)

class TestBackfillSync : public QObject {
    Q_OBJECT

private slots:
    void skipsHeldAndDeletedAndWritesTheRestAcrossTwoPages()
    {
        Fixture f;
        f.placeNote("held.md", "k1");
        f.placeNote("archive/moved.md", "k5");  // moved out of the inbox root: fetched again
        f.placeNote(".hidden.md", "k7");        // hidden: not looked at
        f.service.script("GET", "sources",
                         {{200, page({listed("k1", {{"created_at", kMonday}}), listed("k2", {{"is_deleted", true}}),
                                      listed("k3", {{"created_at", kMonday}, {"llm_title", "Standup"}})},
                                     QStringLiteral("k3"))},
                          {200, page({listed("k4", {{"created_at", kMonday + 0.4}}),
                                      listed("k5", {{"created_at", kMonday + 60}}),
                                      listed("k6", {{"created_at", 0}, {"timestamp", kMonday + 120}}),
                                      listed("k7", {})},
                                     std::nullopt)}});
        for (const QString key : {"k3", "k4", "k5", "k6", "k7"}) {
            FakeSource source;
            source.cacheKey = key;
            source.title = key == "k3" ? "Standup" : "";
            source.text = "Words of " + key;
            f.service.addSource(source);
        }

        f.run();

        QCOMPARE(f.reports, QStringList({"listing", "syncing 0/5 -", "syncing 0/5 Standup", "syncing 1/5 -",
                                         "syncing 2/5 -", "syncing 3/5 -", "syncing 4/5 -", "syncing 5/5 -",
                                         "finished synced=5 skipped=2 failed=0"}));
        QCOMPARE(f.fetchedKeys(), QStringList({"k3", "k4", "k5", "k6", "k7"}));
        QCOMPARE(f.service.peakInFlight(), 1);
        const auto listings = f.service.requests("GET", "sources");
        QCOMPARE(listings.size(), 2);
        QVERIFY(listings[0].query.queryItemValue("include_deleted") != "true");
        QVERIFY(logText().contains("[harkwell] BackfillSync: total_remote=7 already_local=2 to_fetch=5"));

        // Named from the service's times in local time; the same second twice gets "_2"; no time at
        // all is now (10:11:12 UTC).
        const QString monday = "260304-133000";
        const QStringList expectedIds{monday, monday + "_2", "260304-133100", "260304-133200", "260305-154112"};
        const QStringList keys{"k3", "k4", "k5", "k6", "k7"};
        for (int i = 0; i < keys.size(); ++i) {
            const auto note = f.note(expectedIds[i]);
            QVERIFY2(note, qPrintable(expectedIds[i]));
            QCOMPARE(note->externalId, keys[i]);
            QCOMPARE(f.body(expectedIds[i]), "Words of " + keys[i]);
        }
        QCOMPARE(f.note(monday + "_2")->created, QDateTime::fromSecsSinceEpoch(qint64(kMonday), Qt::UTC));

        const InboxFrontmatter standup = *f.note(monday);
        QCOMPARE(standup.created, QDateTime::fromSecsSinceEpoch(qint64(kMonday), Qt::UTC));
        QCOMPARE(standup.classification, "voice_memo");
        QCOMPARE(standup.status, "pending");
        QCOMPARE(standup.sourceOrigin, "mirelon_backfill");
        QCOMPARE(standup.audioPath, "_inbox/.audio/" + monday + ".m4a");
        QCOMPARE(standup.audioDurationSec, 13);  // 12.5 rounds away from zero
        QCOMPARE(standup.mirelonJobStatus, "done");
        QCOMPARE(standup.uploadedAt, std::nullopt);
        QCOMPARE(standup.title, "Standup");
        QCOMPARE(standup.targetSkill, "/transcript");
        QCOMPARE(standup.tags, QStringList({"voice-memo", "harkwell-backfill"}));
        QCOMPARE(f.note("260304-133100")->title, std::nullopt);
        QVERIFY(!QFileInfo::exists(f.inbox() + "/.audio/" + monday + ".m4a"));  // no audio is written
    }

    void aSecondRunFetchesNothing()
    {
        Fixture f;
        f.service.addSource(FakeSource{"a", "a.m4a"});
        f.service.addSource(FakeSource{"b", "b.m4a"});
        f.run();
        QCOMPARE(f.reports.last(), "finished synced=2 skipped=0 failed=0");

        f.reports.clear();
        f.service.clearRequests();
        f.run();
        QCOMPARE(f.reports, QStringList({"listing", "syncing 0/0 -", "syncing 0/0 -", "finished synced=0 skipped=2 failed=0"}));
        QVERIFY(f.fetchedKeys().isEmpty());
    }

    void aFifoInTheInboxIsPassedOverWithoutWaiting()
    {
        Fixture f;
        f.placeNote("held.md", "k1");
        const QString fifo = f.inbox() + "/pipe.md";
        QVERIFY(makeFifo(fifo));
        QSet<QString> held;
        QVERIFY(finishesWithoutWriter(fifo, [&] { held = BackfillSync::existingExternalIds(f.inbox()); }));
        QCOMPARE(held, QSet<QString>{"k1"});
    }

    void bodyFallsBack_data()
    {
        QTest::addColumn<QJsonObject>("result");
        QTest::addColumn<QString>("body");
        QTest::addColumn<std::optional<int>>("duration");

        QTest::newRow("text") << QJsonObject{{"text", "Said."}, {"llm_summary", "Sum."}, {"duration", 2.4}} << "Said."
                              << std::optional(2);
        QTest::newRow("empty text wins over a summary")
            << QJsonObject{{"text", ""}, {"llm_summary", "Sum."}} << "" << std::optional<int>();
        QTest::newRow("summary") << QJsonObject{{"llm_summary", "Sum."}, {"duration", 0.5}} << "Sum." << std::optional(1);
        QTest::newRow("nothing") << QJsonObject{{"duration", 1e300}} << "(no transcript content available)"
                                 << std::optional<int>();
    }
    void bodyFallsBack()
    {
        QFETCH(QJsonObject, result);
        QFETCH(QString, body);
        QFETCH(std::optional<int>, duration);

        Fixture f;
        f.service.script("GET", "sources", {{200, page({listed("k", {{"created_at", kMonday}})}, std::nullopt)}});
        f.service.script("GET", "sources/k", {{200, detailBody("k", result)}});
        f.run();

        QCOMPARE(f.reports.last(), "finished synced=1 skipped=0 failed=0");
        QCOMPARE(f.body("260304-133000"), body);
        QCOMPARE(f.note("260304-133000")->audioDurationSec, duration);
    }

    void cancelling_data()
    {
        QTest::addColumn<int>("cancelAt");  // the report after which the caller cancels; -1: before the run
        QTest::addColumn<QStringList>("reports");
        QTest::addColumn<QString>("cancelledLine");
        QTest::addColumn<QStringList>("fetched");

        QTest::newRow("before the first source")
            << -1 << QStringList{"listing", "syncing 0/4 -", "syncing 0/4 -", "finished synced=0 skipped=0 failed=0"}
            << "cancelled at 0/4" << QStringList();
        // Cancelled while the third (failing) source is being fetched: that fetch ends, the fourth never starts.
        QTest::newRow("after two written and one failing")
            << 4
            << QStringList{"listing", "syncing 0/4 -", "syncing 0/4 s1", "syncing 1/4 s2", "syncing 2/4 s3",
                           "syncing 2/4 -", "finished synced=2 skipped=0 failed=1"}
            << "cancelled at 2/4" << QStringList{"s1", "s2", "s3"};
    }
    void cancelling()
    {
        QFETCH(int, cancelAt);
        QFETCH(QStringList, reports);
        QFETCH(QString, cancelledLine);
        QFETCH(QStringList, fetched);

        Fixture f;
        for (const QString key : {"s4", "s3", "s2", "s1"}) {  // listed newest first: s1 … s4
            FakeSource source;
            source.cacheKey = key;
            source.title = key;
            source.createdAt = kMonday + key.back().digitValue() * 60;
            f.service.addSource(source);
        }
        f.service.script("GET", "sources/s3", {{500, "boom"}});

        BackfillSync sync = f.makeSync();
        if (cancelAt < 0)
            sync.cancel();
        f.run(sync, cancelAt);

        QCOMPARE(f.reports, reports);
        QCOMPARE(f.fetchedKeys(), fetched);
        const QString log = logText();
        QVERIFY(log.contains("[harkwell] BackfillSync: " + cancelledLine));
        QCOMPARE(log.contains("[harkwell] BackfillSync: failed cache_key=s3 err=requestFailed(status: 500, body: \"boom\")"),
                 fetched.contains("s3"));
        QCOMPARE(QDir(f.inbox()).entryList({"*.md"}).size(), fetched.isEmpty() ? 0 : 2);
    }

    void aFailingListingEndsTheRun()
    {
        Fixture f;
        f.service.script("GET", "sources", {{503, "down"}});
        f.run();
        QCOMPARE(f.reports, QStringList({"listing", "failed requestFailed(status: 503, body: \"down\")"}));
        QVERIFY(logText().contains("[harkwell] BackfillSync: listAllSources failed: requestFailed(status: 503, body: \"down\")"));
        QVERIFY(QDir(f.inbox()).isEmpty());
    }

    void aNoteThatCannotBeWrittenCountsAsFailed()
    {
        Fixture f;
        QDir(f.inbox()).removeRecursively();
        f.home.writeFile("Vault/_inbox", "a file where the inbox should be");
        f.service.addSource(FakeSource{"a", "a.m4a"});
        f.run();
        QCOMPARE(f.reports.last(), "finished synced=0 skipped=0 failed=1");
        QVERIFY(logText().contains("[harkwell] BackfillSync: failed cache_key=a err="));
    }
};

QTEST_GUILESS_MAIN(TestBackfillSync)
#include "tst_backfill_sync.moc"
