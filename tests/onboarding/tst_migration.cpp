// The migration from Corvale on a private home: what it moves, what it keeps, what it says, and
// that a run with nothing left does nothing.

#include "capture/CaptureStateStore.h"
#include "foundation/HarkwellLog.h"
#include "foundation/Settings.h"
#include "onboarding/MigrationFromCorvale.h"
#include "platform/clock/FakeClock.h"
#include "platform/defaults/Defaults.h"
#include "platform/paths/Paths.h"
#include "platform/runningapps/FakeRunningApplications.h"
#include "platform/secrets/FakeSecretStore.h"
#include "service/Keychain.h"
#include "support/TempHome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <memory>

using namespace harkwell;

namespace {

const QString kPrefix = QStringLiteral("[harkwell] migration from Corvale: ");
const QString kOldService = QStringLiteral("corvale.mirelon");
const QString kNewService = QStringLiteral("app.harkwell.Harkwell");
const QString kCorvale = QStringLiteral("app.corvale.Corvale");

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QJsonObject readObject(const QString& path) { return QJsonDocument::fromJson(readAll(path)).object(); }

QByteArray json(const QJsonObject& object) { return QJsonDocument(object).toJson(); }

bool exists(const QString& path) { return QFileInfo::exists(path); }

}  // namespace

class MigrationTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::TempHome> m_home;
    std::unique_ptr<FakeSecretStore> m_secrets;
    std::unique_ptr<FakeRunningApplications> m_apps;
    std::unique_ptr<FakeClock> m_clock;
    int m_logLinesSeen = 0;

    // The migration's messages logged since the last call, without the prefix. Lines of other
    // areas (the settings saying why a moved file does not decode) are theirs to test; every
    // line must still carry the product prefix.
    QStringList newMessages()
    {
        HarkwellLog::waitUntilWritten();
        const QStringList lines = QString::fromUtf8(readAll(Paths::logFile())).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QStringList messages;
        for (qsizetype i = m_logLinesSeen; i < lines.size(); ++i) {
            const QString line = lines[i].section(QLatin1Char(' '), 1);  // behind the time stamp
            if (line.startsWith(QLatin1String("[harkwell] ")) && !line.startsWith(kPrefix))
                continue;
            if (!line.startsWith(kPrefix)) {
                qWarning("unprefixed line: %s", qPrintable(line));
                return {QStringLiteral("<unprefixed>")};
            }
            messages.append(line.mid(kPrefix.size()));
        }
        m_logLinesSeen = int(lines.size());
        return messages;
    }

    QStringList run()
    {
        MigrationFromCorvale::run(*m_apps, *m_clock);
        return newMessages();
    }

    QString home(const QString& relative) const { return m_home->path() + QLatin1Char('/') + relative; }

private slots:
    void init()
    {
        m_home = std::make_unique<test::TempHome>();
        Settings::shared().restart();
        m_secrets = std::make_unique<FakeSecretStore>();
        Keychain::setStore(m_secrets.get());
        m_apps = std::make_unique<FakeRunningApplications>();
        m_clock = std::make_unique<FakeClock>();
        m_clock->setAutoAdvance(true);
        m_logLinesSeen = 0;
    }
    void cleanup()
    {
        HarkwellLog::waitUntilWritten();
        Keychain::setStore(nullptr);
        m_home.reset();
    }

    void nothingLeftMeansNothingHappens_data()
    {
        QTest::addColumn<QByteArray>("suite");  // the predecessor's defaults file; empty: none
        QTest::newRow("no trace at all") << QByteArray();
        QTest::newRow("only the dropped key") << QByteArray(R"({"corvale.loginItem.decided": true})");
        QTest::newRow("suite that does not parse") << QByteArray("{not json");
    }
    void nothingLeftMeansNothingHappens()
    {
        QFETCH(QByteArray, suite);
        if (!suite.isEmpty())
            m_home->writeFile(Paths::preferencesFolder() + QStringLiteral("/app.corvale.Corvale.json"), suite);
        m_apps->addInstance(kCorvale, FakeRunningApplications::kNever);

        QCOMPARE(run(), QStringList());
        QVERIFY(!exists(Paths::logFile()));
        QVERIFY(!exists(Paths::applicationSupport()));
        QVERIFY(m_apps->quitRequests().isEmpty());
        if (!suite.isEmpty())
            QCOMPARE(readAll(Defaults(kCorvale).filePath()), suite);
    }

    void settingsFile_data()
    {
        QTest::addColumn<QByteArray>("old");
        QTest::addColumn<bool>("harkwellHasSettings");
        QTest::addColumn<QStringList>("settingsLines");
        QTest::addColumn<bool>("oldRemains");

        QJsonObject full = AppSettings().toJson();
        full.insert(QStringLiteral("vaultPath"), QStringLiteral("/vaults/Work"));
        full.insert(QStringLiteral("vaultName"), QStringLiteral("Work"));
        QTest::newRow("moved") << json(full) << false
                               << QStringList{"settings moved (vault /vaults/Work)", "removed ~/.corvale.json"} << false;
        // Settings harkwell could not read would be set aside at its first save: they stay, and the line says why.
        QTest::newRow("vault path not text") << QByteArray(R"({"vaultPath": 4})") << false
                                             << QStringList{"~/.corvale.json cannot be read by harkwell (…"} << true;
        QTest::newRow("keys harkwell lacks") << QByteArray(R"({"b": [1, 2], "a": "x"})") << false
                                             << QStringList{"~/.corvale.json cannot be read by harkwell (…"} << true;
        QTest::newRow("a value harkwell does not know") << QByteArray(R"({"vaultPath": "/v", "timeBasis": "auto"})") << false
                                                        << QStringList{"~/.corvale.json cannot be read by harkwell (…"} << true;
        QTest::newRow("harkwell's own settings win") << json(full) << true << QStringList{"removed ~/.corvale.json"} << false;
        const QStringList unreadable{"~/.corvale.json is unreadable; left in place, defaults used"};
        QTest::newRow("array") << QByteArray("[1, 2]") << false << unreadable << true;
        QTest::newRow("empty file") << QByteArray("") << false << unreadable << true;
        QTest::newRow("malformed") << QByteArray(R"({"vaultPath": )") << false << unreadable << true;
    }
    void settingsFile()
    {
        QFETCH(QByteArray, old);
        QFETCH(bool, harkwellHasSettings);
        QFETCH(QStringList, settingsLines);
        QFETCH(bool, oldRemains);

        const QString oldPath = m_home->writeFile(QStringLiteral(".corvale.json"), old);
        QByteArray ours;
        if (harkwellHasSettings) {
            AppSettings mine;
            mine.vaultName = QStringLiteral("Mine");
            ours = mine.encode();
            m_home->writeFile(Paths::settingsFile(), ours);
            Settings::shared().restart();
        }

        const QStringList messages = run();
        QCOMPARE(messages.first(), QStringLiteral("starting"));
        const QStringList middle = messages.mid(1, messages.size() - 2);
        QCOMPARE(middle.size(), settingsLines.size());
        for (qsizetype i = 0; i < middle.size(); ++i) {
            const QString& expected = settingsLines[i];
            QVERIFY2(expected.endsWith(u'…') ? middle[i].startsWith(expected.chopped(1)) : middle[i] == expected,
                     qPrintable(middle[i]));
        }
        QCOMPARE(messages.last(), oldRemains ? QStringLiteral("partly done, continues at the next launch") : QStringLiteral("done"));
        QCOMPARE(exists(oldPath), oldRemains);

        if (harkwellHasSettings) {
            QCOMPARE(readAll(Paths::settingsFile()), ours);
        } else if (oldRemains) {
            QVERIFY(!exists(Paths::settingsFile()));
            QCOMPARE(Settings::shared().settings(), AppSettings());
        } else {
            // The same keys and values, pretty-printed with sorted keys; the shared settings follow.
            const QJsonObject moved = readObject(Paths::settingsFile());
            QCOMPARE(moved, QJsonDocument::fromJson(old).object());
            QCOMPARE(readAll(Paths::settingsFile()), QJsonDocument(moved).toJson(QJsonDocument::Indented));
            if (moved.contains(QStringLiteral("vaultName")))
                QCOMPARE(Settings::shared().settings().vaultName, QStringLiteral("Work"));
        }
    }

    void deviceTokenAndAccounts_data()
    {
        QTest::addColumn<QString>("oldToken");  // empty: none
        QTest::addColumn<QString>("newToken");  // empty: none
        QTest::addColumn<bool>("storeWritesFail");
        QTest::addColumn<QStringList>("keychainLines");
        QTest::addColumn<QString>("tokenAfter");
        QTest::addColumn<bool>("oldItemsRemain");

        const QString long40 = QStringLiteral("abcdefghijklmnopqrstuvwxyz0123456789ABCD");
        const QStringList removed{"Keychain corvale.mirelon/mirelon_device_token removed",
                                  "Keychain corvale.mirelon/mirelon_username removed",
                                  "Keychain corvale.mirelon/mirelon_password removed"};
        QTest::newRow("long token moved") << long40 << QString() << false
                                          << QStringList{"device token abcdefghijkl moved to the harkwell Keychain item"} + removed
                                          << long40 << false;
        QTest::newRow("short token shown whole") << QStringLiteral("8chars!!") << QString() << false
                                                 << QStringList{"device token 8chars!! moved to the harkwell Keychain item"} + removed
                                                 << QStringLiteral("8chars!!") << false;
        QTest::newRow("harkwell's token wins") << long40 << QStringLiteral("mine") << false << removed
                                               << QStringLiteral("mine") << false;
        QTest::newRow("copy fails: all kept") << long40 << QString() << true
                                              << QStringList{"could not copy the device token; the old item is kept"}
                                              << QString() << true;
        QTest::newRow("no token: accounts still removed") << QString() << QString() << false << removed.mid(1) << QString()
                                                          << false;
    }
    void deviceTokenAndAccounts()
    {
        QFETCH(QString, oldToken);
        QFETCH(QString, newToken);
        QFETCH(bool, storeWritesFail);
        QFETCH(QStringList, keychainLines);
        QFETCH(QString, tokenAfter);
        QFETCH(bool, oldItemsRemain);

        if (!oldToken.isEmpty())
            m_secrets->write(kOldService, QStringLiteral("mirelon_device_token"), oldToken.toUtf8());
        if (!newToken.isEmpty())
            m_secrets->write(kNewService, QStringLiteral("mirelon_device_token"), newToken.toUtf8());
        m_secrets->write(kOldService, QStringLiteral("mirelon_username"), "ada");
        m_secrets->write(kOldService, QStringLiteral("mirelon_password"), "secret");
        m_secrets->setFailWrites(storeWritesFail);

        const QStringList messages = run();
        QCOMPARE(messages.mid(1, messages.size() - 2), keychainLines);
        const auto token = m_secrets->item(kNewService, QStringLiteral("mirelon_device_token"));
        QCOMPARE(token.value_or(QByteArray()), tokenAfter.toUtf8());
        QCOMPARE(m_secrets->item(kOldService, QStringLiteral("mirelon_username")).has_value(), oldItemsRemain);
        QCOMPARE(m_secrets->item(kOldService, QStringLiteral("mirelon_password")).has_value(), oldItemsRemain);
        if (!oldToken.isEmpty())
            QCOMPARE(m_secrets->item(kOldService, QStringLiteral("mirelon_device_token")).has_value(), oldItemsRemain);
        QCOMPARE(messages.last(), oldItemsRemain ? QStringLiteral("partly done, continues at the next launch") : QStringLiteral("done"));
    }

    void preferencesCarriedOver_data()
    {
        QTest::addColumn<QJsonObject>("suite");
        QTest::addColumn<QJsonObject>("standardBefore");
        QTest::addColumn<QJsonObject>("standardAfter");
        QTest::addColumn<QStringList>("lines");

        const QJsonObject two{{"corvale.captureRetry.watermark", "2025-01-02T03:04:05.000Z"},
                              {"NSWindow Frame CorvaleRecorder", "10 20 300 200"},
                              {"corvale.loginItem.decided", true},
                              {"unrelated", 1}};
        QTest::newRow("two values")
            << two << QJsonObject()
            << QJsonObject{{"harkwell.captureRetry.watermark", "2025-01-02T03:04:05.000Z"},
                           {"NSWindow Frame HarkwellRecorder", "10 20 300 200"}}
            << QStringList{"2 preferences carried over (app.corvale.Corvale)"};
        QTest::newRow("one value, one already set")
            << two << QJsonObject{{"harkwell.captureRetry.watermark", "mine"}}
            << QJsonObject{{"harkwell.captureRetry.watermark", "mine"}, {"NSWindow Frame HarkwellRecorder", "10 20 300 200"}}
            << QStringList{"1 preference carried over (app.corvale.Corvale)"};
        QTest::newRow("notice flags by prefix")
            << QJsonObject{{"corvale.envNotified.zsh-missing", true}} << QJsonObject()
            << QJsonObject{{"harkwell.envNotified.zsh-missing", true}}
            << QStringList{"1 preference carried over (app.corvale.Corvale)"};
        QTest::newRow("nothing new: no line")
            << QJsonObject{{"NSWindow Frame CorvaleRecorder", "old"}} << QJsonObject{{"NSWindow Frame HarkwellRecorder", "new"}}
            << QJsonObject{{"NSWindow Frame HarkwellRecorder", "new"}} << QStringList();
    }
    void preferencesCarriedOver()
    {
        QFETCH(QJsonObject, suite);
        QFETCH(QJsonObject, standardBefore);
        QFETCH(QJsonObject, standardAfter);
        QFETCH(QStringList, lines);

        m_home->writeFile(Paths::preferencesFolder() + QStringLiteral("/app.corvale.Corvale.json"), json(suite));
        if (!standardBefore.isEmpty())
            m_home->writeFile(Paths::preferencesFolder() + QStringLiteral("/app.harkwell.Harkwell.json"), json(standardBefore));

        const QStringList messages = run();
        QCOMPARE(messages.mid(1, messages.size() - 2), lines);
        QCOMPARE(Defaults::standard().all(), standardAfter);
        // Carried, skipped and dropped keys all leave the suite; others stay.
        QJsonObject left = suite;
        for (const QString& key : suite.keys())
            if (key.startsWith(QLatin1String("corvale.")) || key.startsWith(QLatin1String("NSWindow")))
                left.remove(key);
        QCOMPARE(Defaults(kCorvale).all(), left);
        QCOMPARE(messages.last(), QStringLiteral("done"));
    }

    void oldScanCacheIsDeleted()
    {
        const QString cache = m_home->writeFile(QStringLiteral(".corvale-cache.json"), "{}");
        QCOMPARE(run(), (QStringList{"starting", "removed the old scan cache (rebuilt in ~/Library/Caches/harkwell)", "done"}));
        QVERIFY(!exists(cache));
    }

    void anUnreadableSuiteIsLeftAlone()
    {
        const QByteArray garbled("{\"corvale.captureRetry.watermark\": ");
        const QString suite = m_home->writeFile(Paths::preferencesFolder() + QStringLiteral("/app.corvale.Corvale.json"), garbled);
        m_home->writeFile(QStringLiteral(".corvale-cache.json"), "{}");

        QCOMPARE(run(), (QStringList{"starting", "removed the old scan cache (rebuilt in ~/Library/Caches/harkwell)", "done"}));
        QCOMPARE(readAll(suite), garbled);
        QVERIFY(!exists(Defaults::standard().filePath()));
    }

    void aRunningCorvaleIsAskedToQuit_data()
    {
        QTest::addColumn<int>("looksUntilGone");
        QTest::addColumn<bool>("foldersMove");
        QTest::newRow("quits after 3 s") << 15 << true;
        QTest::newRow("never quits") << int(FakeRunningApplications::kNever) << false;
    }
    void aRunningCorvaleIsAskedToQuit()
    {
        QFETCH(int, looksUntilGone);
        QFETCH(bool, foldersMove);
        m_home->writeFile(Paths::predecessorSupport() + QStringLiteral("/Recordings/rec-1/segment-001.caf"), "audio");
        m_home->writeFile(Paths::predecessorLogs() + QStringLiteral("/corvale.log"), "old log");
        const RunningProcess corvale = m_apps->addInstance(kCorvale, looksUntilGone);
        const QDateTime start = m_clock->now();

        const QStringList messages = run();
        QCOMPARE(m_apps->quitRequests(), QList<RunningProcess>{corvale});
        QCOMPARE(messages.at(1), QStringLiteral("asking the running Corvale to quit"));
        QCOMPARE(exists((Paths::recordingsFolder() + "/rec-1/segment-001.caf")), foldersMove);
        QCOMPARE(exists((Paths::logsFolder() + "/from-corvale.log")), foldersMove);
        if (foldersMove) {
            QVERIFY(m_clock->now() < start.addSecs(4));
            QCOMPARE(messages.last(), QStringLiteral("done"));
        } else {
            // The whole deadline in 0.2 s steps, then the folders wait for the next launch.
            QCOMPARE(start.msecsTo(m_clock->now()), 10'000);
            QCOMPARE(m_clock->requestedSleeps().first(), std::chrono::milliseconds(200));
            QVERIFY(messages.contains("Corvale is still running; state, recordings and logs move at the next launch"));
            QCOMPARE(messages.last(), QStringLiteral("partly done, continues at the next launch"));
            QVERIFY(exists(Paths::predecessorSupport() + QStringLiteral("/Recordings/rec-1")));
        }
    }

    void supportFolderMovesWhatHarkwellLacks()
    {
        const QString oldSupport = Paths::predecessorSupport();
        const QString newSupport = Paths::applicationSupport();
        m_home->writeFile(Paths::predecessorSupport() + QStringLiteral("/.DS_Store"), "x");
        m_home->writeFile(Paths::predecessorSupport() + QStringLiteral("/state.json"), R"({"version": 2, "seenByFolder": {}})");
        m_home->writeFile(Paths::predecessorSupport() + QStringLiteral("/Recordings/a/recording.json"), "{}");
        m_home->writeFile(Paths::predecessorSupport() + QStringLiteral("/Recordings/b/recording.json"), "{\"old\":1}");
        m_home->writeFile(Paths::predecessorSupport() + QStringLiteral("/notes.txt"), "old");
        m_home->writeFile(Paths::predecessorSupport() + QStringLiteral("/secrets.json"), "old");
        m_home->writeFile(Paths::recordingsFolder() + QStringLiteral("/b/recording.json"), "{\"new\":1}");
        m_home->writeFile(newSupport + "/secrets.json", "new");

        QStringList messages = run();
        QVERIFY(messages.contains(QStringLiteral("moved %1/state.json -> %2/state.json").arg(oldSupport, newSupport)));
        QVERIFY(!messages.join('\n').contains("merged"));
        QVERIFY(messages.contains(QStringLiteral("moved %1/Recordings/a -> %2/Recordings/a").arg(oldSupport, newSupport)));
        QVERIFY(messages.contains("recording b already exists; the old copy is kept"));
        QVERIFY(messages.contains("secrets.json already exists in harkwell's folder; the old copy is kept"));
        QVERIFY(messages.contains(QStringLiteral("%1/Recordings kept, still holds 1 item").arg(oldSupport)));
        QVERIFY(messages.contains(QStringLiteral("%1 kept, still holds 2 items").arg(oldSupport)));
        QCOMPARE(messages.last(), QStringLiteral("partly done, continues at the next launch"));
        QCOMPARE(readAll(newSupport + "/Recordings/b/recording.json"), QByteArray("{\"new\":1}"));
        QCOMPARE(readAll(newSupport + "/secrets.json"), QByteArray("new"));
        QCOMPARE(readAll(newSupport + "/notes.txt"), QByteArray("old"));

        // Once the user clears the clashes, the next launch finishes and removes the old folder.
        QDir(oldSupport + "/Recordings/b").removeRecursively();
        QFile::remove(oldSupport + "/secrets.json");
        messages = run();
        QVERIFY(messages.contains(QStringLiteral("removed %1/Recordings").arg(oldSupport)));
        QVERIFY(messages.contains(QStringLiteral("removed %1").arg(oldSupport)));
        QCOMPARE(messages.last(), QStringLiteral("done"));
        QVERIFY(!exists(oldSupport));

        QCOMPARE(run(), QStringList());
    }

    void seenLedgerIsMerged_data()
    {
        QTest::addColumn<QByteArray>("oldState");
        QTest::addColumn<QByteArray>("newState");
        QTest::addColumn<QByteArray>("merged");  // empty: both files stay as they were
        QTest::addColumn<QStringList>("lines");  // in this order among the migration's lines; a line ending in "…" is a prefix

        const QByteArray seen = R"({"canonicalId": "%1", "firstSeen": "2026-01-02T03:04:05Z"})";
        const auto entry = [&](const char* id) { return QString::fromLatin1(seen).arg(QLatin1String(id)); };
        const auto doc = [](const QString& text) { return text.toUtf8(); };
        QTest::newRow("entries of harkwell's file win, other keys are the old file's")
            << doc(QStringLiteral(R"({"version": 1, "onlyOld": true, "seenByFolder": {"A": {"x": %1, "y": %2}}})").arg(entry("old-x"), entry("old-y")))
            << doc(QStringLiteral(R"({"version": 2, "onlyNew": true, "seenByFolder": {"A": {"y": %1}, "B": {"z": %2}}})").arg(entry("new-y"), entry("z")))
            << doc(QStringLiteral(R"({"version": 2, "onlyOld": true, "voiceMemosSeen": {}, "seenByFolder": {"A": {"x": %1, "y": %2}, "B": {"z": %3}}})")
                       .arg(entry("old-x"), entry("new-y"), entry("z")))
            << QStringList{"state.json merged (2 folders)"};
        QTest::newRow("the first layout's Voice Memos map joins its folder")
            << doc(QStringLiteral(R"({"voiceMemosSeen": {"m.m4a": %1}})").arg(entry("m")))
            << QByteArray(R"({"version": 2, "seenByFolder": {}})")
            << doc(QStringLiteral(R"({"version": 2, "voiceMemosSeen": {}, "seenByFolder": {"voice-memos": {"m.m4a": %1}}})").arg(entry("m")))
            << QStringList{"state.json merged (1 folders)"};
        QTest::newRow("a malformed folder costs only itself")
            << doc(QStringLiteral(R"({"seenByFolder": {"A": {"x": %1}, "bad": [1]}})").arg(entry("x")))
            << doc(QStringLiteral(R"({"version": 2, "seenByFolder": {"B": {"z": %1}}})").arg(entry("z")))
            << doc(QStringLiteral(R"({"version": 2, "voiceMemosSeen": {}, "seenByFolder": {"A": {"x": %1}, "B": {"z": %2}}})").arg(entry("x"), entry("z")))
            << QStringList{"state.json: 1 unreadable seen entry left out", "state.json merged (2 folders)"};
        QTest::newRow("entries the store cannot read are left out")
            << doc(QStringLiteral(R"({"version": 2, "seenByFolder": {"A": {"ok": %1, "fraction": {"canonicalId": "f", "firstSeen": "2026-01-02T03:04:05.5Z"}, "noId": {"firstSeen": "2026-01-02T03:04:05Z"}}}})").arg(entry("ok")))
            << doc(QStringLiteral(R"({"version": 2, "seenByFolder": {"A": {"mine": %1}}})").arg(entry("mine")))
            << doc(QStringLiteral(R"({"version": 2, "voiceMemosSeen": {}, "seenByFolder": {"A": {"ok": %1, "mine": %2}}})").arg(entry("ok"), entry("mine")))
            << QStringList{"state.json: 2 unreadable seen entries left out", "state.json merged (1 folders)"};
        QTest::newRow("old ledger unreadable") << QByteArray("[]") << QByteArray(R"({"seenByFolder": {}})") << QByteArray()
                                               << QStringList{"state.json could not be merged; the old copy is kept (…"};
        QTest::newRow("new ledger unreadable") << QByteArray(R"({"seenByFolder": {}})") << QByteArray("{oops") << QByteArray()
                                               << QStringList{"state.json could not be merged; the old copy is kept (…"};
        QTest::newRow("a version that is no number") << QByteArray(R"({"seenByFolder": {}})") << QByteArray(R"({"version": "2"})")
                                                     << QByteArray()
                                                     << QStringList{"state.json could not be merged; the old copy is kept (…"};
    }
    void seenLedgerIsMerged()
    {
        QFETCH(QByteArray, oldState);
        QFETCH(QByteArray, newState);
        QFETCH(QByteArray, merged);
        QFETCH(QStringList, lines);

        const QString oldPath = m_home->writeFile(Paths::predecessorSupport() + QStringLiteral("/state.json"), oldState);
        m_home->writeFile(Paths::stateFile(), newState);

        const QStringList messages = run();
        qsizetype at = 0;
        for (const QString& line : lines) {
            const auto matches = [&](const QString& message) {
                return line.endsWith(u'…') ? message.startsWith(line.chopped(1)) : message == line;
            };
            while (at < messages.size() && !matches(messages[at]))
                ++at;
            QVERIFY2(at < messages.size(), qPrintable(line + QStringLiteral(" not in: ") + messages.join(" | ")));
        }
        if (merged.isEmpty()) {
            QCOMPARE(readAll(oldPath), oldState);
            QCOMPARE(readAll(Paths::stateFile()), newState);
        } else {
            QVERIFY(!exists(oldPath));
            QCOMPARE(readObject(Paths::stateFile()), QJsonDocument::fromJson(merged).object());
            // The store reads every merged record.
            const auto ledger = CaptureStateStore::State::decode(readAll(Paths::stateFile()));
            QVERIFY2(ledger, qPrintable(ledger ? QString() : ledger.error().text));
            QCOMPARE(ledger->entryCount(), CaptureStateStore::State::decode(merged)->entryCount());
        }
    }

    void logsMoveUnderNamesOfTheirOwn()
    {
        m_home->writeFile(Paths::predecessorLogs() + QStringLiteral("/corvale.log"), "newest");
        m_home->writeFile(Paths::predecessorLogs() + QStringLiteral("/.DS_Store"), "x");
        m_home->writeFile(Paths::logsFolder() + QStringLiteral("/from-corvale.log"), "first");
        m_home->writeFile(Paths::logsFolder() + QStringLiteral("/from-2-corvale.log"), "second");

        const QStringList messages = run();
        QCOMPARE(readAll((Paths::logsFolder() + "/from-3-corvale.log")), QByteArray("newest"));
        QCOMPARE(readAll((Paths::logsFolder() + "/from-corvale.log")), QByteArray("first"));
        QCOMPARE(readAll((Paths::logsFolder() + "/from-.DS_Store")), QByteArray("x"));
        QVERIFY(messages.contains(QStringLiteral("removed %1").arg(Paths::predecessorLogs())));
        QVERIFY(!exists(Paths::predecessorLogs()));
        QCOMPARE(messages.last(), QStringLiteral("done"));
    }

    void aFolderThatCannotBeListedIsKeptAndSaysWhy()
    {
        // Something at the old log folder's place that is no folder: it cannot be listed or removed.
        const QString oldLogs = m_home->writeFile(Paths::predecessorLogs(), "not a folder");
        const QStringList messages = run();
        QVERIFY2(!messages.contains(QStringLiteral("removed %1").arg(oldLogs)), qPrintable(messages.join(" | ")));
        QVERIFY2(std::any_of(messages.begin(), messages.end(),
                             [&](const QString& m) { return m.startsWith(oldLogs + QStringLiteral(" kept, it cannot be listed: ")); }),
                 qPrintable(messages.join(" | ")));
        QVERIFY(exists(oldLogs));
        QCOMPARE(messages.last(), QStringLiteral("partly done, continues at the next launch"));
    }

    void aFinishedMigrationDoesNothingAtTheNextLaunch()
    {
        QJsonObject settings = AppSettings().toJson();
        settings.insert(QStringLiteral("vaultPath"), QStringLiteral("/v"));
        m_home->writeFile(QStringLiteral(".corvale.json"), json(settings));
        m_home->writeFile(QStringLiteral(".corvale-cache.json"), "{}");
        m_home->writeFile(Paths::predecessorSupport() + QStringLiteral("/state.json"), "{}");
        m_home->writeFile(Paths::predecessorLogs() + QStringLiteral("/corvale.log"), "log");
        m_home->writeFile(Paths::preferencesFolder() + QStringLiteral("/app.corvale.Corvale.json"), R"({"corvale.envNotified.x": true})");
        m_secrets->write(kOldService, QStringLiteral("mirelon_device_token"), "token");

        QCOMPARE(run().last(), QStringLiteral("done"));
        QCOMPARE(run(), QStringList());
    }
};

QTEST_MAIN(MigrationTest)
#include "tst_migration.moc"
