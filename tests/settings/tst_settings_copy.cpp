// The settings window's editing copy: how each stored key becomes what its control shows, and how
// the edited form is saved back (lists from text, clamped numbers, keys left unset).

#include "foundation/Settings.h"
#include "platform/paths/Paths.h"
#include "settings/SettingsEditingCopy.h"
#include "support/TempHome.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTest>

using namespace harkwell;
using namespace harkwell::test;

namespace {

QString& textField(SettingsEditingCopy& copy, const QString& name)
{
    if (name == u"additionalPaths")
        return copy.additionalPaths;
    if (name == u"includeExtensions")
        return copy.includeExtensions;
    if (name == u"excludeDirs")
        return copy.excludeDirs;
    if (name == u"excludeFiles")
        return copy.excludeFiles;
    if (name == u"remotesPath")
        return copy.remotesPath;
    if (name == u"mirelonBaseUrl")
        return copy.mirelonBaseUrl;
    qFatal("unknown text field");
}

int& intField(SettingsEditingCopy& copy, const QString& name)
{
    if (name == u"inboxGroupThreshold")
        return copy.inboxGroupThreshold;
    if (name == u"outboxGroupThreshold")
        return copy.outboxGroupThreshold;
    if (name == u"handoffGroupThreshold")
        return copy.handoffGroupThreshold;
    if (name == u"todayGroupThreshold")
        return copy.todayGroupThreshold;
    if (name == u"menuDayLimit")
        return copy.menuDayLimit;
    if (name == u"recordingAutoStopMinutes")
        return copy.recordingAutoStopMinutes;
    qFatal("unknown number field");
}

QJsonValue savedKey(const SettingsEditingCopy& copy, const AppSettings& stored, const QString& key)
{
    return copy.appliedTo(stored).toJson().value(key);
}

const QJsonValue kAbsent = QJsonValue(QJsonValue::Undefined);

}  // namespace

class SettingsCopyTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TempHome> m_home;
    std::unique_ptr<Settings> m_settings;

    SettingsEditingCopy loaded() const { return SettingsEditingCopy::load(*m_settings); }

private slots:
    void init()
    {
        m_home = std::make_unique<TempHome>();
        m_settings = std::make_unique<Settings>(Paths::settingsFile());
    }
    void cleanup()
    {
        m_settings.reset();
        m_home.reset();
    }

    void listTextsAreSavedAsLists_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QJsonValue>("saved");
        QTest::newRow("paths: blank lines and spaces") << "additionalPaths" << "  ~/a \n\n \t \r\n~/b\t\n" << "additionalPaths"
                                                       << QJsonValue(QJsonArray{"~/a", "~/b"});
        QTest::newRow("paths: empty text") << "additionalPaths" << "" << "additionalPaths" << QJsonValue(QJsonArray{});
        QTest::newRow("extensions lower-cased") << "includeExtensions" << " MD, Txt,, pdf ," << "includeExtensions"
                                                << QJsonValue(QJsonArray{"md", "txt", "pdf"});
        QTest::newRow("directories keep case") << "excludeDirs" << ".Git ,node_modules" << "excludeDirs"
                                               << QJsonValue(QJsonArray{".Git", "node_modules"});
        QTest::newRow("hidden files: the defaults are unset")
            << "excludeFiles" << "CHANGELOG.md,_manifest*, CLAUDE.md, README.md, _tasks-history.md, _inbox.yaml"
            << "excludeFilePatterns" << kAbsent;
        QTest::newRow("hidden files: defaults in another order")
            << "excludeFiles" << "_manifest*, CHANGELOG.md, CLAUDE.md, README.md, _tasks-history.md, _inbox.yaml"
            << "excludeFilePatterns"
            << QJsonValue(QJsonArray{"_manifest*", "CHANGELOG.md", "CLAUDE.md", "README.md", "_tasks-history.md", "_inbox.yaml"});
        QTest::newRow("hidden files: cleared hides nothing") << "excludeFiles" << " " << "excludeFilePatterns"
                                                             << QJsonValue(QJsonArray{});
        QTest::newRow("remotes: empty is unset") << "remotesPath" << "" << "remotesPath" << kAbsent;
        QTest::newRow("remotes: kept as typed") << "remotesPath" << " ~/r " << "remotesPath" << QJsonValue(" ~/r ");
        QTest::newRow("base URL: only blanks") << "mirelonBaseUrl" << " \t " << "mirelonBaseURL" << kAbsent;
        QTest::newRow("base URL: trimmed") << "mirelonBaseUrl" << " https://x.example/api/v1 " << "mirelonBaseURL"
                                           << QJsonValue("https://x.example/api/v1");
    }
    void listTextsAreSavedAsLists()
    {
        QFETCH(QString, field);
        QFETCH(QString, text);
        QFETCH(QString, key);
        QFETCH(QJsonValue, saved);
        SettingsEditingCopy copy = loaded();
        textField(copy, field) = text;
        QCOMPARE(savedKey(copy, m_settings->settings(), key), saved);
    }

    void numbersAreClampedOnSave_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("saved");
        for (const char* threshold : {"inboxGroupThreshold", "outboxGroupThreshold", "handoffGroupThreshold",
                                      "todayGroupThreshold", "menuDayLimit"}) {
            QTest::addRow("%s 0", threshold) << threshold << 0 << 1;
            QTest::addRow("%s -3", threshold) << threshold << -3 << 1;
            QTest::addRow("%s 1000", threshold) << threshold << 1000 << 1000;
        }
        QTest::newRow("auto-stop below 0") << "recordingAutoStopMinutes" << -5 << 0;
        QTest::newRow("auto-stop 0 is off") << "recordingAutoStopMinutes" << 0 << 0;
    }
    void numbersAreClampedOnSave()
    {
        QFETCH(QString, field);
        QFETCH(int, value);
        QFETCH(int, saved);
        SettingsEditingCopy copy = loaded();
        intField(copy, field) = value;
        const QString key = field;
        QCOMPARE(savedKey(copy, m_settings->settings(), key), QJsonValue(saved));
    }

    void unsetKeysLoadAsTheirShownDefaults()
    {
        AppSettings stored;
        stored.searchDays.reset();
        stored.timeBasis.reset();
        stored.recentDays = 45;
        stored.menuDayLimit = -2;
        stored.recordingAutoStopMinutes = -7;
        stored.remotesPath.reset();
        m_settings->setSettings(stored);
        const SettingsEditingCopy copy = loaded();
        QCOMPARE(copy.searchDays, 45);
        QCOMPARE(copy.timeBasis, TimeBasis::Modification);
        QCOMPARE(copy.inboxGroupThreshold, 15);
        QCOMPARE(copy.menuDayLimit, 1);
        QCOMPARE(copy.recordingAutoStopMinutes, 0);
        QCOMPARE(copy.remotesPath, QString());
        QCOMPARE(copy.excludeFiles, QStringLiteral("CHANGELOG.md, _manifest*, CLAUDE.md, README.md, _tasks-history.md, _inbox.yaml"));
        QCOMPARE(copy.additionalPaths, QStringLiteral("~/workspace"));
        QCOMPARE(copy.recordingConsentText, QString::fromUtf8(SettingsEditingCopy::kDefaultConsentText));
        QVERIFY(copy.recordingIncludeMicrophone && copy.notifyVoiceMemoSent && copy.recordingQuickKey);
        QCOMPARE(copy.recordingEchoCancellation, EchoCancellationMode::Automatic);
        // A fresh install watches the Voice Memos folder, switched off.
        QCOMPARE(copy.watchedFolders.size(), 1);
        QCOMPARE(copy.watchedFolders.first().id, QStringLiteral("voice-memos"));
        QVERIFY(!copy.watchedFolders.first().enabled);
    }

    void theFirstSaveWritesEveryDefaultExplicitly()
    {
        const QJsonObject saved = loaded().appliedTo(m_settings->settings()).toJson();
        for (const char* key : {"searchDays", "timeBasis", "watchedFoldersRaw", "notifyTranscriptReady",
                                "notifyTranscriptFailed", "notifyVoiceMemoSent", "inboxGroupThreshold", "menuDayLimit",
                                "recordingSource", "recordingIncludeMicrophone", "recordingAutoStopMinutes",
                                "captureVoiceMemosEnabled", "captureMirelonEnabled", "keepVoiceMemosRunning"})
            QVERIFY2(saved.contains(QLatin1String(key)), key);
        for (const char* key : {"excludeFilePatterns", "recordingConsentText", "recordingEchoCancellation",
                                "afterTranscriptCommand", "mirelonBaseURL", "recordingMicrophoneUID"})
            QVERIFY2(!saved.contains(QLatin1String(key)), key);
    }

    void consentTextIsKeptOnlyWhenItSaysSomethingElse_data()
    {
        QTest::addColumn<QString>("stored");  // empty: none stored
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QJsonValue>("saved");
        const QString standard = QString::fromUtf8(SettingsEditingCopy::kDefaultConsentText);
        QTest::newRow("default left as shown") << QString() << standard << kAbsent;
        QTest::newRow("default typed with blanks") << QString() << "  " + standard + "\n" << kAbsent;
        QTest::newRow("custom replaced by the default") << "Say hello." << standard << QJsonValue(standard);
        QTest::newRow("only blanks and breaks") << "Say hello." << " \n\t " << kAbsent;
        QTest::newRow("custom text trimmed") << QString() << " Say hi. " << QJsonValue("Say hi.");
    }
    void consentTextIsKeptOnlyWhenItSaysSomethingElse()
    {
        QFETCH(QString, stored);
        QFETCH(QString, typed);
        QFETCH(QJsonValue, saved);
        if (!stored.isEmpty())
            m_settings->update([&](AppSettings& s) { s.recordingConsentText = stored; });
        SettingsEditingCopy copy = loaded();
        copy.recordingConsentText = typed;
        QCOMPARE(savedKey(copy, m_settings->settings(), QStringLiteral("recordingConsentText")), saved);
    }

    void afterTranscriptCommandNeedsTheSwitchAndText_data()
    {
        QTest::addColumn<bool>("on");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QJsonValue>("saved");
        QTest::newRow("on") << true << "  claude -p \"/inbox\"\n" << QJsonValue("claude -p \"/inbox\"");
        QTest::newRow("off with text") << false << "echo hi" << kAbsent;
        QTest::newRow("on, only blanks") << true << " \n " << kAbsent;
    }
    void afterTranscriptCommandNeedsTheSwitchAndText()
    {
        QFETCH(bool, on);
        QFETCH(QString, text);
        QFETCH(QJsonValue, saved);
        SettingsEditingCopy copy = loaded();
        copy.afterTranscriptOn = on;
        copy.afterTranscriptCommand = text;
        QCOMPARE(savedKey(copy, m_settings->settings(), QStringLiteral("afterTranscriptCommand")), saved);
    }

    void aStoredCommandLoadsSwitchedOnAndTrimmed()
    {
        m_settings->update([](AppSettings& s) { s.afterTranscriptCommand = QStringLiteral("\n  run it  \n"); });
        const SettingsEditingCopy copy = loaded();
        QVERIFY(copy.afterTranscriptOn);
        QCOMPARE(copy.afterTranscriptCommand, QStringLiteral("run it"));
    }

    void echoCancellationAutomaticIsUnset()
    {
        SettingsEditingCopy copy = loaded();
        copy.recordingEchoCancellation = EchoCancellationMode::Off;
        QCOMPARE(savedKey(copy, m_settings->settings(), QStringLiteral("recordingEchoCancellation")), QJsonValue("off"));
        m_settings->update([](AppSettings& s) { s.recordingEchoCancellation = EchoCancellationMode::On; });
        copy = loaded();
        QCOMPARE(copy.recordingEchoCancellation, EchoCancellationMode::On);
        copy.recordingEchoCancellation = EchoCancellationMode::Automatic;
        QCOMPARE(savedKey(copy, m_settings->settings(), QStringLiteral("recordingEchoCancellation")), kAbsent);
    }

    void removingEveryFolderSavesAnEmptyListAndVoiceMemosOff()
    {
        m_settings->update([](AppSettings& s) { s.captureVoiceMemosEnabled = true; });
        SettingsEditingCopy copy = loaded();
        QVERIFY(copy.voiceMemosEnabled());
        copy.watchedFolders.clear();
        m_settings->setSettings(copy.appliedTo(m_settings->settings()));
        const QJsonObject saved = m_settings->settings().toJson();
        QCOMPARE(saved.value("watchedFoldersRaw"), QJsonValue(QJsonArray{}));
        QCOMPARE(saved.value("captureVoiceMemosEnabled"), QJsonValue(false));
        // The next window offers the Voice Memos folder again, switched off.
        const SettingsEditingCopy next = loaded();
        QCOMPARE(next.watchedFolders.size(), 1);
        QVERIFY(!next.voiceMemosEnabled());
    }

    void everyKeyIsOverwrittenFromTheCopy()
    {
        const SettingsEditingCopy copy = loaded();
        // Another part of the application changed the settings after the window was built.
        m_settings->update([](AppSettings& s) {
            s.vaultName = QStringLiteral("Changed elsewhere");
            s.maxFiles = 9;
        });
        const AppSettings saved = copy.appliedTo(m_settings->settings());
        QCOMPARE(saved.vaultName, copy.vaultName);
        QCOMPARE(saved.maxFiles, 500);
    }
};

QTEST_GUILESS_MAIN(SettingsCopyTest)
#include "tst_settings_copy.moc"
