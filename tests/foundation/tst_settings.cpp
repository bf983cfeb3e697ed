// The settings file: defaults, strict decoding, sorted output, derived values, and never losing
// a file the user broke by hand.

#include "foundation/HarkwellLog.h"
#include "foundation/Settings.h"
#include "platform/paths/Paths.h"
#include "support/TempHome.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

using namespace harkwell;

namespace {

const QByteArray kRequiredOnly = R"({
  "vaultPath": "~/Notes", "vaultName": "Notes", "additionalPaths": ["~/extra", "/abs"],
  "refreshInterval": 30.5, "recentDays": 3, "maxFiles": 10,
  "includeExtensions": ["MD", "Txt"], "excludeDirs": [".git"]
})";

// The required-only fixture with one member replaced or added.
QByteArray requiredWith(const QString& key, const QJsonValue& value)
{
    QJsonObject object = QJsonDocument::fromJson(kRequiredOnly).object();
    if (value.isUndefined())
        object.remove(key);
    else
        object.insert(key, value);
    return QJsonDocument(object).toJson();
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace

class SettingsTest : public QObject {
    Q_OBJECT
private slots:
    void withoutFileRunsOnDefaultsAndWritesNothing()
    {
        test::TempHome home;
        Settings settings(Settings::fileUrl());
        const AppSettings s = settings.settings();
        QCOMPARE(s.vaultPath, QStringLiteral("~/workspace/Ivander"));
        QCOMPARE(s.refreshInterval, 60.0);
        QCOMPARE(s.recentDays, 7);
        QCOMPARE(s.searchDays, std::optional<int>(30));
        QCOMPARE(s.timeBasis, std::optional(TimeBasis::Modification));
        QCOMPARE(s.maxFiles, 500);
        QCOMPARE(s.captureVoiceMemosEnabled, std::optional(false));
        QCOMPARE(s.captureMirelonEnabled, std::optional(false));
        QCOMPARE(s.excludeDirs.size(), 20);
        QCOMPARE(s.excludeDirs.last(), QStringLiteral(".swiftpm"));
        QVERIFY(!QFile::exists(Paths::settingsFile()));
        QCOMPARE(settings.configPath(), home.path() + QStringLiteral("/xdg/config/harkwell/settings.json"));
    }

    void requiredOnlyFileLeavesEveryOptionalUnset()
    {
        test::TempHome home;
        home.writeFile(Paths::settingsFile(), kRequiredOnly);
        Settings settings(Settings::fileUrl());
        AppSettings expected;
        expected.vaultPath = QStringLiteral("~/Notes");
        expected.vaultName = QStringLiteral("Notes");
        expected.additionalPaths = {QStringLiteral("~/extra"), QStringLiteral("/abs")};
        expected.refreshInterval = 30.5;
        expected.recentDays = 3;
        expected.maxFiles = 10;
        expected.includeExtensions = {QStringLiteral("MD"), QStringLiteral("Txt")};
        expected.excludeDirs = {QStringLiteral(".git")};
        expected.remotesPath.reset();
        expected.searchDays.reset();
        expected.timeBasis.reset();
        expected.captureVoiceMemosEnabled.reset();
        expected.captureMirelonEnabled.reset();
        QVERIFY(settings.settings() == expected);
        QCOMPARE(settings.additionalPaths(), QStringList({home.path() + QStringLiteral("/extra"), QStringLiteral("/abs")}));
        QCOMPARE(settings.includeExtensions(), QSet<QString>({QStringLiteral("md"), QStringLiteral("txt")}));
    }

    void fileThatDoesNotDecodeIsIgnoredWhole_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("not JSON") << QByteArray("{ vaultPath: ");
        QTest::newRow("an array") << QByteArray("[]");
        QTest::newRow("maxFiles missing") << requiredWith("maxFiles", QJsonValue::Undefined);
        QTest::newRow("maxFiles null") << requiredWith("maxFiles", QJsonValue::Null);
        QTest::newRow("recentDays not whole") << requiredWith("recentDays", 2.5);
        QTest::newRow("vaultPath a number") << requiredWith("vaultPath", 3);
        QTest::newRow("bad timeBasis") << requiredWith("timeBasis", "weekly");
        QTest::newRow("capitalised echo mode") << requiredWith("recordingEchoCancellation", "On");
        QTest::newRow("optional boolean as a number") << requiredWith("captureMirelonEnabled", 1);
        QTest::newRow("two-key recordingSource")
            << requiredWith("recordingSource", QJsonObject{{"allAudio", QJsonObject()},
                                                           {"app", QJsonObject{{"bundleID", "b"}, {"name", "n"}}}});
        QTest::newRow("empty recordingSource") << requiredWith("recordingSource", QJsonObject());
        QTest::newRow("app source without name")
            << requiredWith("recordingSource", QJsonObject{{"app", QJsonObject{{"bundleID", "b"}}}});
        QTest::newRow("watched folder without extensions")
            << requiredWith("watchedFoldersRaw", QJsonArray{QJsonObject{{"id", "x"}, {"path", "/x"}, {"displayName", "x"},
                                                                        {"enabled", true}, {"normaliser", "none"}}});
        QTest::newRow("unknown normaliser")
            << requiredWith("watchedFoldersRaw",
                            QJsonArray{QJsonObject{{"id", "x"}, {"path", "/x"}, {"displayName", "x"}, {"enabled", true},
                                                   {"extensions", QJsonArray()}, {"normaliser", "voicememos"}}});
    }
    void fileThatDoesNotDecodeIsIgnoredWhole()
    {
        QFETCH(QByteArray, content);
        test::TempHome home;
        home.writeFile(Paths::settingsFile(), kRequiredOnly);
        Settings settings(Settings::fileUrl());
        const AppSettings before = settings.settings();
        home.writeFile(Paths::settingsFile(), content);
        QSignalSpy changed(&settings, &Settings::changed);
        settings.load();
        QVERIFY(settings.settings() == before);
        QCOMPARE(changed.count(), 0);
        QVERIFY2(!AppSettings::decode(content).has_value(), "decoding must fail");
        HarkwellLog::waitUntilWritten();
        QFile log(Paths::logFile());
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().contains("[harkwell] settings: settings.json could not be read, keeping the current settings: "));
    }

    void decodeFailureNamesTheKey()
    {
        QCOMPARE(AppSettings::decode(requiredWith("maxFiles", QJsonValue::Undefined)).error().text,
                 QStringLiteral("maxFiles: missing"));
        QCOMPARE(AppSettings::decode(requiredWith("recordingSource", QJsonObject())).error().text,
                 QStringLiteral("recordingSource: Invalid number of keys found, expected one."));
    }

    void unknownKeysAreIgnoredAndNullReadsAsUnset()
    {
        QJsonObject object = QJsonDocument::fromJson(kRequiredOnly).object();
        object.insert("somethingNew", 1);
        object.insert("searchDays", QJsonValue::Null);
        auto decoded = AppSettings::decode(QJsonDocument(object).toJson());
        QVERIFY(decoded.has_value());
        QVERIFY(!decoded->searchDays.has_value());
    }

    void savingDefaultsWritesThirteenKeysSorted()
    {
        test::TempHome home;
        Settings settings(Settings::fileUrl());
        QVERIFY(settings.save().has_value());
        const QByteArray bytes = readAll(Paths::settingsFile());
        const QJsonObject object = QJsonDocument::fromJson(bytes).object();
        const QStringList expected{"additionalPaths", "captureMirelonEnabled", "captureVoiceMemosEnabled", "excludeDirs",
                                   "includeExtensions", "maxFiles", "recentDays", "refreshInterval", "remotesPath",
                                   "searchDays", "timeBasis", "vaultName", "vaultPath"};
        QCOMPARE(object.keys(), expected);
        // Pretty-printed, one member per line, in the same sorted order on disk.
        qsizetype previous = -1;
        for (const QString& key : expected) {
            const qsizetype at = bytes.indexOf(QByteArray("\n    \"") + key.toUtf8() + "\":");
            QVERIFY2(at > previous, qPrintable(key));
            previous = at;
        }
        QCOMPARE(object.value("timeBasis").toString(), QStringLiteral("modification"));
    }

    void everyKeyRoundTrips()
    {
        test::TempHome home;
        AppSettings s;
        s.excludeFilePatterns = QStringList{};
        s.mirelonBaseUrl = QStringLiteral("http://127.0.0.1:9/api/v1");
        s.keepVoiceMemosRunning = false;
        s.watchedFoldersRaw = QList<WatchedFolder>{WatchedFolder::generic("/tmp"), WatchedFolder::defaultVoiceMemos(true)};
        s.inboxGroupThreshold = 1;
        s.outboxGroupThreshold = 2;
        s.handoffGroupThreshold = 3;
        s.todayGroupThreshold = 4;
        s.menuDayLimit = 5;
        s.recordingSource = RecordingSource::app("us.zoom.xos", "zoom.us");
        s.recordingIncludeMicrophone = true;
        s.recordingMicrophoneUid = QStringLiteral("mic-1");
        s.recordingConsentReminder = false;
        s.recordingConsentText = QString();
        s.recordingAutoStopMinutes = 0;
        s.recordingShowWindow = false;
        s.notifyTranscriptReady = false;
        s.notifyTranscriptFailed = true;
        s.notifyVoiceMemoSent = false;
        s.recordingQuickKey = false;
        s.recordingEchoCancellation = EchoCancellationMode::Off;
        s.afterTranscriptCommand = QStringLiteral("echo \"$HARKWELL_FILE\"");
        s.timeBasis = TimeBasis::Either;
        Settings writer(Settings::fileUrl());
        writer.setSettings(s);
        QVERIFY(writer.save().has_value());
        QCOMPARE(QJsonDocument::fromJson(readAll(Paths::settingsFile())).object().size(), 35);

        Settings reader(Settings::fileUrl());
        QVERIFY(reader.settings() == s);
    }

    void allAudioSourceIsAnObjectWithOneEmptyObject()
    {
        AppSettings s;
        s.recordingSource = RecordingSource::allAudio();
        QCOMPARE(s.toJson().value("recordingSource").toObject(), QJsonObject({{"allAudio", QJsonObject()}}));
    }

    void loadReplacesTheRecordAndSignals()
    {
        test::TempHome home;
        Settings settings(Settings::fileUrl());
        QSignalSpy changed(&settings, &Settings::changed);
        home.writeFile(Paths::settingsFile(), kRequiredOnly);
        settings.load();
        QCOMPARE(changed.count(), 1);
        QCOMPARE(settings.settings().vaultName, QStringLiteral("Notes"));
    }

    void isExcludedFile_data()
    {
        QTest::addColumn<std::optional<QStringList>>("patterns");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("excluded");
        const std::optional<QStringList> defaults;
        QTest::newRow("case ignored") << defaults << "readme.MD" << true;
        QTest::newRow("prefix pattern") << defaults << "_manifest-old.md" << true;
        QTest::newRow("ordinary note") << defaults << "notes.md" << false;
        QTest::newRow("star crosses no rule for a leading period")
            << std::optional(QStringList{"*.log"}) << ".hidden.log" << true;
        QTest::newRow("empty list excludes nothing") << std::optional(QStringList{}) << "README.md" << false;
        QTest::newRow("bracket class") << std::optional(QStringList{"draft-[0-9]*"}) << "DRAFT-2.md" << true;
    }
    void isExcludedFile()
    {
        QFETCH(std::optional<QStringList>, patterns);
        QFETCH(QString, name);
        QFETCH(bool, excluded);
        test::TempHome home;
        Settings settings(Settings::fileUrl());
        settings.update([&](AppSettings& s) { s.excludeFilePatterns = patterns; });
        QCOMPARE(settings.isExcludedFile(name), excluded);
    }

    void afterTranscriptCommandIsTrimmed()
    {
        test::TempHome home;
        Settings settings(Settings::fileUrl());
        settings.update([](AppSettings& s) { s.afterTranscriptCommand = QStringLiteral("  \n "); });
        QVERIFY(!settings.afterTranscriptCommand().has_value());
        settings.update([](AppSettings& s) { s.afterTranscriptCommand = QStringLiteral("\t say done \n"); });
        QCOMPARE(settings.afterTranscriptCommand(), std::optional(QStringLiteral("say done")));
    }

    void watchedFolders_data()
    {
        QTest::addColumn<std::optional<QList<WatchedFolder>>>("raw");
        QTest::addColumn<std::optional<bool>>("voiceMemosEnabled");
        QTest::addColumn<QStringList>("ids");
        QTest::addColumn<QStringList>("enabledIds");
        const QList<WatchedFolder> own{WatchedFolder::generic("/tmp"), WatchedFolder::generic("/srv", "Server")};
        QList<WatchedFolder> oneOff = own;
        oneOff[1].enabled = false;
        QTest::newRow("unset, voice memos unset") << std::optional<QList<WatchedFolder>>() << std::optional<bool>()
                                                  << QStringList{"voice-memos"} << QStringList{};
        QTest::newRow("empty, voice memos on") << std::optional(QList<WatchedFolder>{}) << std::optional(true)
                                               << QStringList{"voice-memos"} << QStringList{"voice-memos"};
        QTest::newRow("own list wins") << std::optional(oneOff) << std::optional(true)
                                       << QStringList{own[0].id, own[1].id} << QStringList{own[0].id};
    }
    void watchedFolders()
    {
        QFETCH(std::optional<QList<WatchedFolder>>, raw);
        QFETCH(std::optional<bool>, voiceMemosEnabled);
        QFETCH(QStringList, ids);
        QFETCH(QStringList, enabledIds);
        test::TempHome home;
        Settings settings(Settings::fileUrl());
        settings.update([&](AppSettings& s) {
            s.watchedFoldersRaw = raw;
            s.captureVoiceMemosEnabled = voiceMemosEnabled;
        });
        QStringList got;
        for (const WatchedFolder& folder : settings.watchedFolders())
            got.append(folder.id);
        QCOMPARE(got, ids);
        got.clear();
        for (const WatchedFolder& folder : settings.enabledWatchedFolders())
            got.append(folder.id);
        QCOMPARE(got, enabledIds);
    }

    void undecodableFileIsKeptBeforeTheFirstOverwrite()
    {
        test::TempHome home;
        const QByteArray broken = requiredWith("timeBasis", "weekly");
        const QString path = home.writeFile(Paths::settingsFile(), broken);
        Settings settings(Settings::fileUrl());
        QCOMPARE(readAll(path), broken);  // load() leaves it alone

        QVERIFY(settings.save().has_value());
        HarkwellLog::waitUntilWritten();
        QCOMPARE(readAll(path + ".invalid"), broken);
        QVERIFY(AppSettings::decode(readAll(path)).has_value());
        QCOMPARE(readAll(Paths::logFile()).count("settings.json could not be read; kept it as settings.json.invalid"), 1);

        // The file now decodes: a further save replaces it and leaves the kept copy as it was.
        settings.update([](AppSettings& s) { s.vaultName = QStringLiteral("Other"); });
        QVERIFY(settings.save().has_value());
        QCOMPARE(readAll(path + ".invalid"), broken);
        QCOMPARE(Settings(Settings::fileUrl()).settings().vaultName, QStringLiteral("Other"));
    }

    void saveLeavesNoTemporaryFiles()
    {
        test::TempHome home;
        Settings settings(Settings::fileUrl());
        QVERIFY(settings.save().has_value());
        QVERIFY(settings.save().has_value());
        QDir folder(QFileInfo(Paths::settingsFile()).absolutePath());
        QCOMPARE(folder.entryList(QDir::Files | QDir::Hidden), QStringList{"settings.json"});
    }

    void sharedFollowsTheHomeAfterRestart()
    {
        test::TempHome home;
        home.writeFile(Paths::settingsFile(), kRequiredOnly);
        Settings::shared().restart();
        QCOMPARE(Settings::shared().configPath(), Paths::settingsFile());
        QCOMPARE(Settings::shared().settings().vaultName, QStringLiteral("Notes"));
    }
};

QTEST_GUILESS_MAIN(SettingsTest)
#include "tst_settings.moc"
