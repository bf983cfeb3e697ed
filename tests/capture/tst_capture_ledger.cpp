// Capture ids from Voice Memos names and clock times, and the seen ledger with its migrations.

#include "capture/CaptureStateMigration.h"
#include "capture/CaptureStateStore.h"
#include "capture/FilenameNormaliser.h"
#include "foundation/HarkwellLog.h"
#include "foundation/Settings.h"
#include "platform/clock/FakeClock.h"
#include "platform/paths/Paths.h"
#include "support/TempHome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <ctime>

using namespace harkwell;

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString logText()
{
    HarkwellLog::waitUntilWritten();
    return QString::fromUtf8(readAll(Paths::logFile()));
}

QDateTime utc(const char* text) { return QDateTime::fromString(QString::fromLatin1(text), Qt::ISODate).toUTC(); }

}  // namespace

class CaptureLedgerTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        // Capture ids are local time: pin a zone with daylight saving to show that it is honoured.
        qputenv("TZ", "Europe/Berlin");
        tzset();
    }

    void parsesVoiceMemosNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("id");  // empty: the name gives nothing
        QTest::addColumn<QString>("hexId");
        QTest::newRow("no tail") << "20240115 143022.m4a" << "240115-143022" << "";
        QTest::newRow("tail keeps case") << "20240115 143022-abcDEF.m4a" << "240115-143022" << "abcDEF";
        QTest::newRow("two blanks") << "20240115  143022-3F2A1B.m4a" << "240115-143022" << "3F2A1B";
        QTest::newRow("tab") << "20240115\t143022.m4a" << "240115-143022" << "";
        QTest::newRow("summer time") << "20240715 090000.m4a" << "240715-090000" << "";
        QTest::newRow("no blank") << "20240115143022.m4a" << "" << "";
        QTest::newRow("upper-case extension") << "20240115 143022.M4A" << "" << "";
        QTest::newRow("qta") << "20240115 143022.qta" << "" << "";
        QTest::newRow("tail not hex") << "20240115 143022-xyz.m4a" << "" << "";
        QTest::newRow("plain name") << "Recording 1.m4a" << "" << "";
        QTest::newRow("text before the date") << "x20240115 143022.m4a" << "" << "";
        QTest::newRow("month 13") << "20241332 120000.m4a" << "" << "";
        QTest::newRow("minute 61") << "20240115 126100.m4a" << "" << "";
    }
    void parsesVoiceMemosNames()
    {
        QFETCH(QString, name);
        QFETCH(QString, id);
        QFETCH(QString, hexId);
        const auto parsed = FilenameNormaliser::parse(name);
        QCOMPARE(parsed.has_value(), !id.isEmpty());
        if (parsed) {
            QCOMPARE(FilenameNormaliser::canonicalId(parsed->timestamp), id);
            QCOMPARE(parsed->hexId, hexId);
        }
    }

    void canonicalIdIsLocalTimeWithLeadingZeros_data()
    {
        QTest::addColumn<QDateTime>("time");
        QTest::addColumn<QString>("id");
        QTest::newRow("end of 1999") << QDateTime(QDate(1999, 12, 31), QTime(23, 59, 59), Qt::LocalTime) << "991231-235959";
        QTest::newRow("leading zeros") << QDateTime(QDate(2024, 2, 1), QTime(7, 5, 9), Qt::LocalTime) << "240201-070509";
        QTest::newRow("from UTC, winter") << utc("2024-01-15T13:30:22Z") << "240115-143022";
        QTest::newRow("from UTC, summer") << utc("2024-07-15T13:30:22Z") << "240715-153022";
    }
    void canonicalIdIsLocalTimeWithLeadingZeros()
    {
        QFETCH(QDateTime, time);
        QFETCH(QString, id);
        QCOMPARE(FilenameNormaliser::canonicalId(time), id);
    }

    void newLedgerIsWrittenSortedWithWholeSecondDates()
    {
        test::TempHome home;
        CaptureStateStore store(Paths::stateFile(), Paths::legacyWatcherStateFile());
        QVERIFY(!QFile::exists(Paths::stateFile()));  // nothing is written until the first change
        store.markSeen("b.m4a", "240115-143022", "voice-memos", utc("2024-01-15T13:30:22.750Z"));
        store.markSeen("a.m4a", "", "folder-x", utc("2024-01-16T08:00:00Z"));

        const QString text = QString::fromUtf8(readAll(Paths::stateFile()));
        QVERIFY(text.indexOf("\"seenByFolder\"") < text.indexOf("\"version\": 2"));
        QVERIFY(text.indexOf("\"version\": 2") < text.indexOf("\"voiceMemosSeen\": {"));
        QVERIFY(text.indexOf("folder-x") < text.indexOf("voice-memos"));
        QVERIFY(text.contains("\"firstSeen\": \"2024-01-15T13:30:22Z\""));
        QVERIFY(text.indexOf("\"canonicalId\": \"240115-143022\"") < text.indexOf("\"firstSeen\": \"2024-01-15"));
        QVERIFY(text.contains("\n    "));  // pretty-printed

        CaptureStateStore reopened(Paths::stateFile(), Paths::legacyWatcherStateFile());
        QVERIFY(reopened.hasSeen("b.m4a", "voice-memos"));
        QVERIFY(!reopened.hasSeen("b.m4a", "folder-x"));
        QVERIFY(!reopened.hasSeen("B.m4a", "voice-memos"));
        QCOMPARE(reopened.snapshot().seenByFolder["voice-memos"]["b.m4a"].firstSeen, utc("2024-01-15T13:30:22Z"));
    }

    // What the ledger writes reads back as the very state it was written from, dates past an end of
    // time included.
    void ledgerReadsBackWhatItWrites_data()
    {
        QTest::addColumn<QString>("firstSeen");
        QTest::addColumn<QDateTime>("read");
        QTest::newRow("in range, with an offset") << "2024-01-01T09:10:10+02:00"
                                                  << QDateTime(QDate(2024, 1, 1), QTime(7, 10, 10), Qt::UTC);
        QTest::newRow("year 1 with an offset east") << "0001-01-01T00:00:00+05:00"
                                                    << QDateTime(QDate(1, 1, 1), QTime(0, 0), Qt::UTC);
        QTest::newRow("year 9999 with an offset west") << "9999-12-31T23:59:59-12:00"
                                                       << QDateTime(QDate(9999, 12, 31), QTime(23, 59, 59), Qt::UTC);
    }
    void ledgerReadsBackWhatItWrites()
    {
        QFETCH(QString, firstSeen);
        QFETCH(QDateTime, read);
        const QJsonObject entry{{"canonicalId", ""}, {"firstSeen", firstSeen}};
        const QByteArray text = QJsonDocument(QJsonObject{{"version", 2},
                                                          {"seenByFolder", QJsonObject{{"f", QJsonObject{{"a.m4a", entry}}}}},
                                                          {"voiceMemosSeen", QJsonObject()}})
                                    .toJson();
        const auto state = CaptureStateStore::State::decode(text);
        QVERIFY(state);
        QCOMPARE(state->seenByFolder["f"]["a.m4a"].firstSeen, read);
        const auto again = CaptureStateStore::State::decode(state->encode());
        QVERIFY(again);
        QVERIFY(*again == *state);
    }

    // A date the ledger takes (year 1 with an offset, a clock far off) is written in a form the
    // next start reads back, instead of one that makes the whole ledger unreadable.
    void datesAtTheEdgesOfTimeKeepTheLedgerReadable()
    {
        test::TempHome home;
        home.writeFile(Paths::stateFile(),
                       R"({"version": 2, "seenByFolder": {"f": {"old.m4a": {"canonicalId": "", )"
                       R"("firstSeen": "0001-01-01T00:00:00+05:00"}}}, "voiceMemosSeen": {}})");
        {
            CaptureStateStore store(Paths::stateFile(), Paths::legacyWatcherStateFile());
            QVERIFY(store.hasSeen("old.m4a", "f"));
            store.markSeen("late.m4a", "", "f", QDateTime(QDate(10000, 1, 1), QTime(4, 0), Qt::UTC));
            store.markSeen("early.m4a", "", "f", QDateTime(QDate(-5, 1, 1), QTime(0, 0), Qt::UTC));
        }
        const QByteArray onDisk = readAll(Paths::stateFile());
        QVERIFY2(CaptureStateStore::State::decode(onDisk), onDisk.constData());
        CaptureStateStore reopened(Paths::stateFile(), Paths::legacyWatcherStateFile());
        QCOMPARE(reopened.seenCount("f"), 3);
        QCOMPARE(reopened.snapshot().seenByFolder["f"]["late.m4a"].firstSeen,
                 QDateTime(QDate(9999, 12, 31), QTime(23, 59, 59), Qt::UTC));
    }

    void markSeenTwiceKeepsTheSecond()
    {
        test::TempHome home;
        CaptureStateStore store(Paths::stateFile(), Paths::legacyWatcherStateFile());
        store.markSeen("a.m4a", "240101-000000", "f", utc("2024-01-01T00:00:00Z"));
        store.markSeen("a.m4a", "240202-000000", "f", utc("2024-02-02T00:00:00Z"));
        const CaptureStateStore::SeenEntry expected{utc("2024-02-02T00:00:00Z"), "240202-000000"};
        QCOMPARE(store.snapshot().seenByFolder["f"]["a.m4a"], expected);
        QCOMPARE(store.seenCount("f"), 1);
        QCOMPARE(store.seenCount("other"), 0);
    }

    void forgetRemovesNamesAndLeavesTheIndexMarker()
    {
        test::TempHome home;
        FakeClock clock;
        CaptureStateStore store(Paths::stateFile(), Paths::legacyWatcherStateFile(), clock);
        store.markSeen("a.m4a", "id-a", "f", clock.now());
        store.markSeen("b.m4a", "id-b", "f", clock.now());

        QCOMPARE(store.forget({"a.m4a", "a.m4a", "never.m4a"}, "f"), 1);
        QVERIFY(!store.hasSeen("a.m4a", "f"));
        QVERIFY(store.hasSeen("b.m4a", "f"));
        QCOMPARE(store.seenCount("f"), 2);  // b and the marker

        QCOMPARE(store.forget({"x.m4a"}, "unindexed"), 0);
        QCOMPARE(store.seenCount("unindexed"), 1);
        const CaptureStateStore::SeenEntry marker{clock.now(), ""};
        QCOMPARE(store.snapshot().seenByFolder["unindexed"][CaptureStateStore::kIndexMarker], marker);

        CaptureStateStore reopened(Paths::stateFile(), Paths::legacyWatcherStateFile(), clock);
        QCOMPARE(reopened.seenCount("unindexed"), 1);
        QVERIFY(!reopened.hasSeen("a.m4a", "f"));
    }

    void loadsEachLayout_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("version");         // after loading; 0: started over empty
        QTest::addColumn<QStringList>("voiceMemos");  // names in the "voice-memos" map after loading
        QTest::addColumn<QString>("keptId");       // canonicalId of "both.m4a", when present
        QTest::addColumn<QString>("logLine");      // empty: nothing logged
        QTest::addColumn<bool>("rewritten");

        const QByteArray entryX = R"({"canonicalId": "240101-101010", "firstSeen": "2024-01-01T09:10:10Z"})";
        const QByteArray entryY = R"({"canonicalId": "", "firstSeen": "2023-01-01T00:00:00Z"})";
        QTest::newRow("version 1 merges, folder map wins")
            << QByteArray(R"({"version": 1, "seenByFolder": {"voice-memos": {"both.m4a": )" + entryX
                          + R"(}}, "voiceMemosSeen": {"both.m4a": )" + entryY + R"(, "old.m4a": )" + entryY + "}}")
            << 2 << QStringList{"both.m4a", "old.m4a"} << "240101-101010"
            << "[harkwell] capture: migrated state v1 -> v2 (2 entries)" << true;
        QTest::newRow("no version, no voiceMemosSeen")
            << QByteArray(R"({"seenByFolder": {"voice-memos": {"both.m4a": )" + entryX + "}}}")
            << 2 << QStringList{"both.m4a"} << "240101-101010"
            << "[harkwell] capture: migrated state v1 -> v2 (1 entries)" << true;
        QTest::newRow("version 3 loads unchanged")
            << QByteArray(R"({"version": 3, "seenByFolder": {}, "voiceMemosSeen": {"both.m4a": )" + entryY + "}}")
            << 3 << QStringList{} << "" << "" << false;
        QTest::newRow("current version")
            << QByteArray(R"({"version": 2, "seenByFolder": {"voice-memos": {"both.m4a": )" + entryX
                          + R"(}}, "voiceMemosSeen": {}})")
            << 2 << QStringList{"both.m4a"} << "240101-101010" << "" << false;
        QTest::newRow("fractional date: unreadable, starts over")
            << QByteArray(R"({"version": 2, "seenByFolder": {"voice-memos": {"both.m4a": {"canonicalId": "", )"
                          R"("firstSeen": "2024-01-01T09:10:10.500Z"}}}, "voiceMemosSeen": {}})")
            << 0 << QStringList{} << "" << "firstSeen: expected an ISO 8601 date); kept it as state.json.invalid" << false;
        QTest::newRow("entry without canonicalId: unreadable")
            << QByteArray(R"({"seenByFolder": {"voice-memos": {"both.m4a": {"firstSeen": "2024-01-01T09:10:10Z"}}}})")
            << 0 << QStringList{} << "" << "canonicalId: expected a string); kept it as state.json.invalid" << false;
        QTest::newRow("version as text: unreadable") << QByteArray(R"({"version": "2"})")
            << 0 << QStringList{} << "" << "(version: expected an integer); kept it as state.json.invalid" << false;
        QTest::newRow("version beyond any integer: unreadable") << QByteArray(R"({"version": -1e19})")
            << 0 << QStringList{} << "" << "(version: expected an integer); kept it as state.json.invalid" << false;
        QTest::newRow("version past the largest number: unreadable") << QByteArray(R"({"version": 1e308})")
            << 0 << QStringList{} << "" << "(version: expected an integer); kept it as state.json.invalid" << false;
        QTest::newRow("fractional version: unreadable") << QByteArray(R"({"version": 2.5})")
            << 0 << QStringList{} << "" << "(version: expected an integer); kept it as state.json.invalid" << false;
        QTest::newRow("not JSON: unreadable") << QByteArray("{") << 0 << QStringList{} << ""
            << "[harkwell] capture: state.json could not be read (state.json is not a JSON object" << false;
        // A full disk or a cut-off write elsewhere: what was read so far stays for a person to see.
        QTest::newRow("empty file: kept aside") << QByteArray("") << 0 << QStringList{} << ""
            << "kept it as state.json.invalid; files in the watched folders changed after its last write are taken as new" << false;
        QTest::newRow("truncated: kept aside")
            << QByteArray(R"({"version": 2, "seenByFolder": {"voice-memos": {"both.m4a": {"canonicalId": ""}}}})").chopped(5)
            << 0 << QStringList{} << "" << "kept it as state.json.invalid" << false;
    }
    void loadsEachLayout()
    {
        QFETCH(QByteArray, file);
        QFETCH(int, version);
        QFETCH(QStringList, voiceMemos);
        QFETCH(QString, keptId);
        QFETCH(QString, logLine);
        QFETCH(bool, rewritten);
        test::TempHome home;
        home.writeFile(Paths::stateFile(), file);

        CaptureStateStore store(Paths::stateFile(), Paths::legacyWatcherStateFile());
        const CaptureStateStore::State state = store.snapshot();
        QCOMPARE(state.version, version == 0 ? 2 : version);
        QCOMPARE(state.seenByFolder.value("voice-memos").keys(), voiceMemos);
        if (!keptId.isEmpty())
            QCOMPARE(state.seenByFolder["voice-memos"]["both.m4a"].canonicalId, keptId);
        if (version == 2)
            QVERIFY(state.voiceMemosSeen.isEmpty());
        if (version == 0)
            QCOMPARE(state, CaptureStateStore::State{});

        const QString log = logText();
        if (logLine.isEmpty())
            QVERIFY2(!log.contains("capture:"), qPrintable(log));
        else
            QVERIFY2(log.contains(logLine), qPrintable(log));

        // A damaged ledger is kept aside whole, never replaced, and the watchers hear of it.
        QCOMPARE(store.startedFromDamagedFile(), version == 0);
        if (version == 0) {
            QVERIFY(!QFile::exists(Paths::stateFile()));
            QCOMPARE(readAll(Paths::stateFile() + ".invalid"), file);
            return;
        }
        const QByteArray onDisk = readAll(Paths::stateFile());
        QCOMPARE(onDisk != file, rewritten);
        if (rewritten)
            QCOMPARE(CaptureStateStore::State::decode(onDisk).value(), state);
    }

    void importsTheLegacyWatcherOnlyWithoutAReadableLedger_data()
    {
        QTest::addColumn<QByteArray>("legacy");
        QTest::addColumn<int>("imported");  // -1: silently ignored
        QTest::newRow("two names, one repeated") << QByteArray(R"({"processed": ["a.m4a", "b.m4a", "a.m4a"], "x": 1})") << 2;
        QTest::newRow("empty list") << QByteArray(R"({"processed": []})") << 0;
        QTest::newRow("not a list of texts") << QByteArray(R"({"processed": ["a.m4a", 3]})") << -1;
        QTest::newRow("no processed key") << QByteArray(R"({"other": []})") << -1;
        QTest::newRow("not JSON") << QByteArray("nope") << -1;
    }
    void importsTheLegacyWatcherOnlyWithoutAReadableLedger()
    {
        QFETCH(QByteArray, legacy);
        QFETCH(int, imported);
        test::TempHome home;
        FakeClock clock;
        home.writeFile(".voice_memo_watcher_state.json", legacy);
        CaptureStateStore store(Paths::stateFile(), Paths::legacyWatcherStateFile(), clock);

        const QString log = logText();
        if (imported < 0) {
            QVERIFY(!QFile::exists(Paths::stateFile()));
            QVERIFY(!log.contains("capture:"));
            return;
        }
        const int processedCount = QJsonDocument::fromJson(legacy).object()["processed"].toArray().size();
        QVERIFY(log.contains(QString("[harkwell] capture: migrating %1 entries from voice-memo-watcher state").arg(processedCount)));
        // The map exists even when empty, but an empty map still leaves the folder to be indexed.
        QVERIFY(store.snapshot().seenByFolder.contains("voice-memos"));
        QCOMPARE(store.seenCount("voice-memos"), imported);
        if (imported > 0) {
            const CaptureStateStore::SeenEntry entry{clock.now(), ""};
            QCOMPARE(store.snapshot().seenByFolder["voice-memos"]["a.m4a"], entry);
        }
        QCOMPARE(CaptureStateStore::State::decode(readAll(Paths::stateFile())).value(), store.snapshot());
        QCOMPARE(readAll(Paths::legacyWatcherStateFile()), legacy);

        // A readable ledger wins over the legacy file at the next start.
        store.markSeen("new.m4a", "", "voice-memos", clock.now());
        home.writeFile(".voice_memo_watcher_state.json", R"({"processed": ["z.m4a"]})");
        CaptureStateStore reopened(Paths::stateFile(), Paths::legacyWatcherStateFile(), clock);
        QVERIFY(!reopened.hasSeen("z.m4a", "voice-memos"));
        QVERIFY(reopened.hasSeen("new.m4a", "voice-memos"));
    }

    void failedWriteIsLoggedAndMemoryStaysAuthoritative()
    {
        test::TempHome home;
        // A folder in the way of the file makes every write fail.
        home.make(Paths::stateFile());
        CaptureStateStore store(Paths::stateFile(), Paths::legacyWatcherStateFile());
        store.markSeen("a.m4a", "", "f", QDateTime::currentDateTimeUtc());
        QVERIFY(store.hasSeen("a.m4a", "f"));
        QVERIFY(logText().contains("[harkwell] capture: state persist failed: "));
    }

    // A file that keeps failing in one state is tried at polls 1, 3, 6, 11, …: its wait doubles up
    // to an hour of polls. Only its first failure is news; a change to the file ends the wait.
    void oddFilesWaitTwiceAsLongAfterEachFailure()
    {
        CaptureBackoff backoff;
        std::optional<FileStat> file = FileStat{100, QDateTime(QDate(2026, 3, 4), QTime(9, 0), Qt::UTC), false, true, 1, 42};
        QList<int> tried;
        int news = 0;
        for (int poll = 1; poll <= 2000; ++poll) {
            if (backoff.waits("f", "a.m4a", file))
                continue;
            tried << poll;
            news += backoff.found("f", "a.m4a", file, "cannot be copied") ? 1 : 0;
        }
        QCOMPARE(tried.mid(0, 6), (QList<int>{1, 3, 6, 11, 20, 37}));
        QCOMPARE(tried.last() - tried[tried.size() - 2], CaptureBackoff::kLongestWaitPolls + 1);
        QCOMPARE(news, 1);

        // Changed (a sync went on, a new version was put in place): tried at once, and the same
        // failure again is not news; another failure is.
        QVERIFY(backoff.waits("f", "a.m4a", file));
        for (const auto change : {+[](FileStat& s) { s.size = 200; }, +[](FileStat& s) { s.modified = s.modified.addSecs(1); },
                                  +[](FileStat& s) { s.inode = 43; }}) {
            change(*file);
            QVERIFY(!backoff.waits("f", "a.m4a", file));
            QVERIFY(!backoff.found("f", "a.m4a", file, "cannot be copied"));
            QVERIFY(backoff.waits("f", "a.m4a", file));
        }
        QVERIFY(backoff.found("f", "a.m4a", file, "not a regular file"));

        // Still being written: said once, never waited for; gone from the folder: forgotten.
        QVERIFY(backoff.found("f", "b.m4a", file, "size still changing", CaptureBackoff::Wait::None));
        QVERIFY(!backoff.waits("f", "b.m4a", file));
        QVERIFY(!backoff.found("f", "b.m4a", file, "size still changing", CaptureBackoff::Wait::None));
        backoff.keepOnly("f", {"b.m4a"});
        QVERIFY(!backoff.waits("f", "a.m4a", file));
        QVERIFY(backoff.found("f", "a.m4a", file, "not a regular file"));
    }
    // Each damaged file is kept for a person to look at; a second damage never replaces the first copy.
    void keptCopiesOfDamagedFilesNeverReplaceOneAnother_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("seen ledger") << "state";
        QTest::newRow("settings") << "settings";
    }
    void keptCopiesOfDamagedFilesNeverReplaceOneAnother()
    {
        QFETCH(QString, file);
        test::TempHome home;
        const QString path = file == "state" ? Paths::stateFile() : Paths::settingsFile();
        const QList<QByteArray> damages{"{ first", "{ second", "{ third"};
        for (const QByteArray& damage : damages) {
            QDir().mkpath(QFileInfo(path).absolutePath());
            QFile written(path);
            QVERIFY(written.open(QIODevice::WriteOnly));
            written.write(damage);
            written.close();
            if (file == "state") {
                CaptureStateStore store(path, Paths::legacyWatcherStateFile());
                QVERIFY(store.startedFromDamagedFile());
            } else {
                Settings settings(path);
                QVERIFY(settings.save().has_value());
            }
        }
        QCOMPARE(readAll(path + ".invalid"), damages[0]);
        QCOMPARE(readAll(path + ".invalid.1"), damages[1]);
        QCOMPARE(readAll(path + ".invalid.2"), damages[2]);
        QVERIFY2(logText().contains(QFileInfo(path).fileName() + ".invalid.2"), qPrintable(logText()));
    }

    // A write killed half-way leaves its temporary beside the ledger; the next start removes it and
    // only it.
    void leftoverWritesAreRemovedAtStart()
    {
        test::TempHome home;
        const QString folder = QFileInfo(Paths::stateFile()).absolutePath();
        QDir().mkpath(folder);
        const QStringList leftovers{".state.json.a1B2c3", ".state.json.ZZZZZZ"};
        const QStringList others{".state.json.invalid", "state.json.invalid", ".settings.json.Ab12Cd", ".state.json.abc"};
        for (const QString& name : leftovers + others)
            QVERIFY(QFile(folder + "/" + name).open(QIODevice::WriteOnly));

        CaptureStateStore store(Paths::stateFile(), Paths::legacyWatcherStateFile());
        store.markIndexed("inbox", QDateTime::currentDateTimeUtc());
        for (const QString& name : leftovers)
            QVERIFY2(!QFile::exists(folder + "/" + name), qPrintable(name));
        for (const QString& name : others)
            QVERIFY2(QFile::exists(folder + "/" + name), qPrintable(name));
        QVERIFY(QFile::exists(Paths::stateFile()));
        QVERIFY(logText().contains("[harkwell] capture: removed 2 unfinished state.json write(s) left by an earlier run"));
    }
};

QTEST_GUILESS_MAIN(CaptureLedgerTest)
#include "tst_capture_ledger.moc"
