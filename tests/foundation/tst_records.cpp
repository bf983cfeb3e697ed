// The shared value records: watched folders and the recorder's values with recording.json.

#include "foundation/DateForms.h"
#include "foundation/DurationSeconds.h"
#include "foundation/FileEntry.h"
#include "foundation/RecordingTypes.h"
#include "foundation/WatchedFolder.h"
#include "platform/paths/Paths.h"
#include "support/TempHome.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <limits>

using namespace harkwell;

Q_DECLARE_METATYPE(std::optional<double>)
Q_DECLARE_METATYPE(std::optional<int>)

namespace {
QDateTime utc(const char* text) { return QDateTime::fromString(QString::fromLatin1(text), Qt::ISODate).toUTC(); }
}  // namespace

class RecordsTest : public QObject {
    Q_OBJECT
private slots:
    // ---- WatchedFolder

    void genericFolderHasAStableHashedId()
    {
        test::TempHome home;
        const WatchedFolder folder = WatchedFolder::generic("/tmp");
        QCOMPARE(folder.id, QStringLiteral("folder-1xsoeratoj8ij"));
        QCOMPARE(folder.displayName, QStringLiteral("tmp"));
        QCOMPARE(folder.path, QStringLiteral("/tmp"));
        QVERIFY(folder.enabled);
        QVERIFY(folder.extensions.isEmpty());
        QCOMPARE(folder.normaliser, WatchedFolder::Normaliser::None);

        QCOMPARE(WatchedFolder::generic("/tmp", QString()).displayName, QString());
        const WatchedFolder tilde = WatchedFolder::generic("~/Audio");
        QCOMPARE(tilde.path, QStringLiteral("~/Audio"));
        QCOMPARE(tilde.id, WatchedFolder::generic(home.path() + "/Audio").id);
        QVERIFY(WatchedFolder::generic("/tmp/").id != folder.id);
    }

    void effectiveExtensions()
    {
        WatchedFolder folder = WatchedFolder::generic("/tmp");
        QCOMPARE(folder.effectiveExtensions(), QSet<QString>({"m4a", "wav"}));
        folder.extensions = {"M4A", "mp3", ".Ogg"};
        QCOMPARE(folder.effectiveExtensions(), QSet<QString>({"m4a", "mp3", ".ogg"}));
    }

    void equalityKeepsExtensionOrder()
    {
        WatchedFolder a = WatchedFolder::generic("/tmp");
        a.extensions = {"m4a", "wav"};
        WatchedFolder b = a;
        QVERIFY(a == b);
        b.extensions = {"wav", "m4a"};
        QVERIFY(!(a == b));
    }

    void voiceMemosPathPrefersTheGroupContainer()
    {
        test::TempHome home;
        QCOMPARE(WatchedFolder::voiceMemosPath(), Paths::voiceMemosFolder());
        home.make("Library/Application Support/com.apple.voicememos/Recordings");
        QCOMPARE(WatchedFolder::voiceMemosPath(), Paths::voiceMemosLegacyFolder());
        home.make("Library/Group Containers/group.com.apple.VoiceMemos.shared/Recordings");
        QCOMPARE(WatchedFolder::voiceMemosPath(), Paths::voiceMemosFolder());

        const WatchedFolder voiceMemos = WatchedFolder::defaultVoiceMemos(false);
        QCOMPARE(voiceMemos.id, QStringLiteral("voice-memos"));
        QCOMPARE(voiceMemos.displayName, QStringLiteral("Voice Memos"));
        QCOMPARE(voiceMemos.path, Paths::voiceMemosFolder());
        QCOMPARE(voiceMemos.normaliser, WatchedFolder::Normaliser::VoiceMemos);
        QVERIFY(!voiceMemos.enabled);
    }

    void watchedFolderJsonRoundTrips()
    {
        WatchedFolder folder = WatchedFolder::defaultVoiceMemos(true);
        folder.extensions = {"qta"};
        QCOMPARE(WatchedFolder::fromJson(folder.toJson()).value(), folder);
        QJsonObject object = folder.toJson();
        object.insert("normaliser", "VoiceMemos");
        QVERIFY(!WatchedFolder::fromJson(object).has_value());
    }

    // ---- Recording values

    void recordingSourceDecoding_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<std::optional<RecordingSource>>("expected");
        QTest::addColumn<QString>("error");
        const QString invalid = QString::fromLatin1(RecordingSource::kInvalidKeysText);
        QTest::newRow("app") << QByteArray(R"({"app": {"bundleID": "com.x", "name": "X"}})")
                             << std::optional(RecordingSource::app("com.x", "X")) << QString();
        QTest::newRow("all audio") << QByteArray(R"({"allAudio": {}})") << std::optional(RecordingSource::allAudio())
                                   << QString();
        QTest::newRow("all audio ignores contents, not unknown keys")
            << QByteArray(R"({"allAudio": {"x": 1}, "other": 2})") << std::optional(RecordingSource::allAudio()) << QString();
        QTest::newRow("empty") << QByteArray("{}") << std::optional<RecordingSource>() << invalid;
        QTest::newRow("both") << QByteArray(R"({"allAudio": {}, "app": {"bundleID": "a", "name": "b"}})")
                              << std::optional<RecordingSource>() << invalid;
        QTest::newRow("unknown only") << QByteArray(R"({"tab": {}})") << std::optional<RecordingSource>() << invalid;
        QTest::newRow("app name missing") << QByteArray(R"({"app": {"bundleID": "a"}})")
                                          << std::optional<RecordingSource>() << QStringLiteral("app.name: missing");
        QTest::newRow("allAudio not an object") << QByteArray(R"({"allAudio": true})") << std::optional<RecordingSource>()
                                                << QStringLiteral("allAudio: expected an object");
    }
    void recordingSourceDecoding()
    {
        QFETCH(QByteArray, json);
        QFETCH(std::optional<RecordingSource>, expected);
        QFETCH(QString, error);
        const auto decoded = RecordingSource::fromJson(QJsonDocument::fromJson(json).object());
        if (expected) {
            QVERIFY(decoded.has_value());
            QVERIFY(*decoded == *expected);
            QCOMPARE(RecordingSource::fromJson(decoded->toJson()).value(), *expected);
        } else {
            QVERIFY(!decoded.has_value());
            QCOMPARE(decoded.error().text, error);
        }
    }

    void rawValuedEnumerationsAreExact()
    {
        QCOMPARE(echoCancellationModeFromRaw("on"), std::optional(EchoCancellationMode::On));
        QVERIFY(!echoCancellationModeFromRaw("On").has_value());
        QCOMPARE(toRawValue(EchoCancellationMode::Automatic), QStringLiteral("automatic"));
        QCOMPARE(allEchoCancellationModes().size(), 3);
        QCOMPARE(audioOutputKindFromRaw("headphones"), std::optional(AudioOutputKind::Headphones));
        QVERIFY(!audioOutputKindFromRaw("speakers").has_value());
        QCOMPARE(toRawValue(AudioOutputKind::BuiltInSpeakers), QStringLiteral("builtInSpeakers"));
    }

    void recordingOptionsRoundTrip()
    {
        RecordingOptions options{RecordingSource::app("a", "b"), true, std::nullopt};
        QVERIFY(!options.toJson().contains("microphoneUID"));
        QCOMPARE(RecordingOptions::fromJson(options.toJson()).value(), options);
        options.microphoneUid = QStringLiteral("uid");
        QCOMPARE(RecordingOptions::fromJson(options.toJson()).value(), options);
        QVERIFY(qHash(options) != qHash(RecordingOptions{}));
    }

    void canonicalIdIsLocalTimeWhateverTheLocale()
    {
        QLocale::setDefault(QLocale(QLocale::Arabic, QLocale::Egypt));
        const QDateTime local(QDate(2025, 1, 2), QTime(3, 4, 5), Qt::LocalTime);
        QCOMPARE(recordingCanonicalId(local), QStringLiteral("250102-030405"));
        QCOMPARE(recordingCanonicalId(local.toUTC()), QStringLiteral("250102-030405"));
        QLocale::setDefault(QLocale::c());
    }

    void workFolderIsUnderApplicationSupport()
    {
        test::TempHome home;
        QCOMPARE(RecordingPaths::workFolder("250102-030405"),
                 home.path() + "/xdg/data/harkwell/Recordings/250102-030405");
        QVERIFY(!QFileInfo::exists(RecordingPaths::workFolder("250102-030405")));
    }

    // ---- FileEntry

    void fileEntryWithoutClassificationHasNineKeysAndRoundTrips()
    {
        FileEntry entry{QUuid::createUuid(), "Plan B.md", "projects/x/Plan B.md", "x",
                        utc("2025-03-14T08:26:53.125Z"), utc("2025-03-15T00:00:00Z"), 1234,
                        QUrl::fromLocalFile("/home/u/vault/projects/x/Plan B.md"), FileEntry::Source::Outbox};
        const QJsonObject object = entry.toJson();
        QCOMPARE(object.size(), 9);
        QCOMPARE(object.value("fullPath").toString(), QStringLiteral("file:///home/u/vault/projects/x/Plan%20B.md"));
        QCOMPARE(object.value("id").toString(), entry.id.toString(QUuid::WithoutBraces).toUpper());
        QCOMPARE(object.value("creationDate").toDouble(), 763'633'613.125);
        QCOMPARE(object.value("source").toString(), QStringLiteral("outbox"));
        // Through the cache's bytes, as the scanner stores it.
        const QJsonArray array = QJsonDocument::fromJson(QJsonDocument(FileEntry::toJson({entry})).toJson()).array();
        QCOMPARE(FileEntry::fromJson(array).value(), QList<FileEntry>{entry});

        entry.filenameDate = utc("2025-03-14T00:00:00Z");
        entry.domain = QStringLiteral("work");
        entry.fileType = QString();
        QCOMPARE(entry.toJson().size(), 12);
        QCOMPARE(FileEntry::fromJson(entry.toJson()).value(), entry);
    }

    void fileEntryDecodingFailures_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QJsonValue>("value");
        QTest::newRow("unknown source") << "source" << QJsonValue("archive");
        QTest::newRow("size not whole") << "size" << QJsonValue(1.5);
        QTest::newRow("date as text") << "creationDate" << QJsonValue("2025-01-01");
        QTest::newRow("id not a UUID") << "id" << QJsonValue("abc");
        QTest::newRow("empty URL") << "fullPath" << QJsonValue("");
        QTest::newRow("filename missing") << "filename" << QJsonValue(QJsonValue::Undefined);
    }
    void fileEntryDecodingFailures()
    {
        QFETCH(QString, key);
        QFETCH(QJsonValue, value);
        FileEntry entry{QUuid::createUuid(), "a.md", "a.md", "", utc("2025-01-01T00:00:00Z"), utc("2025-01-01T00:00:00Z"),
                        1, QUrl::fromLocalFile("/a.md"), FileEntry::Source::Vault};
        QJsonObject object = entry.toJson();
        if (value.isUndefined())
            object.remove(key);
        else
            object.insert(key, value);
        QVERIFY(!FileEntry::fromJson(object).has_value());
        QVERIFY(!FileEntry::fromJson(QJsonArray{entry.toJson(), object}).has_value());
    }

    // The scan cache's entries are what the menu opens, reveals and trashes: only what a listing
    // writes decodes, a local file's URL with a plain absolute path, whatever bytes its name holds.
    void fileEntryFullPathIsAPlainLocalFile_data()
    {
        QTest::addColumn<QString>("fullPath");
        QTest::addColumn<bool>("decodes");
        QTest::newRow("listed file") << "file:///v/notes/a.md" << true;
        QTest::newRow("escaped blank and percent") << "file:///v/a%20b%25.md" << true;
        QTest::newRow("name not UTF-8") << "file:///v/%FF.md" << true;
        QTest::newRow("climbs out of the folder") << "file:///v/notes/../../etc/passwd" << false;
        QTest::newRow("dot segment") << "file:///v/./a.md" << false;
        QTest::newRow("empty segment") << "file:///v//a.md" << false;
        QTest::newRow("relative path") << "file:a.md" << false;
        QTest::newRow("on another host") << "file://host/v/a.md" << false;
        QTest::newRow("with a query") << "file:///v/a.md?x=1" << false;
        QTest::newRow("with a fragment") << "file:///v/a.md#x" << false;
        QTest::newRow("not a file") << "https://example.invalid/a.md" << false;
    }
    void fileEntryFullPathIsAPlainLocalFile()
    {
        QFETCH(QString, fullPath);
        QFETCH(bool, decodes);
        FileEntry entry{QUuid::createUuid(), "a.md", "a.md", "", utc("2025-01-01T00:00:00Z"), utc("2025-01-01T00:00:00Z"),
                        1, QUrl::fromLocalFile("/a.md"), FileEntry::Source::Vault};
        QJsonObject object = entry.toJson();
        object.insert("fullPath", fullPath);
        const auto read = FileEntry::fromJson(object);
        QCOMPARE(read.has_value(), decodes);
        if (decodes)
            QCOMPARE(FileEntry::fromJson(read->toJson()).value(), *read);
    }

    void fileEntryIdentityAndOrder()
    {
        const QDateTime instant = utc("2025-01-01T00:00:00Z");
        FileEntry a{QUuid::createUuid(), "a.md", "a.md", "", instant, instant, 1, QUrl::fromLocalFile("/a.md"),
                    FileEntry::Source::Vault};
        FileEntry b = a;
        QVERIFY(a == b);
        b.id = QUuid::createUuid();
        QVERIFY(!(a == b));
        b.filename = QStringLiteral("b.md");
        QVERIFY(!(a < b) && !(b < a) && a <= b && a >= b);
        b.creationDate = instant.addSecs(1);
        QVERIFY(a < b && b > a && a <= b && !(a >= b));
        FileEntry c = a;
        c.domain = QString();
        QVERIFY(!(a == c));  // absent never equals present, even empty
    }

    // ---- RecordingSidecar

    void sidecarWithoutOptionalsOmitsTheirKeys()
    {
        RecordingSidecar sidecar;
        sidecar.id = QStringLiteral("250102-030405");
        sidecar.startedAt = utc("2025-01-02T03:04:05.750Z");
        RecordingSidecar::Segment segment;
        segment.file = QStringLiteral("segment-001.caf");
        segment.startedAt = sidecar.startedAt;
        segment.sampleRate = 48000;
        segment.reason = QString::fromLatin1(SegmentReason::kStart);
        sidecar.segments = {segment};

        const QByteArray bytes = sidecar.encode();
        const QJsonObject object = QJsonDocument::fromJson(bytes).object();
        QCOMPARE(object.keys(), QStringList({"appVersion", "channelLayout", "id", "micSideSilent", "segments", "source",
                                             "startedAt", "status", "systemSideSilent"}));
        QCOMPARE(object.value("startedAt").toString(), QStringLiteral("2025-01-02T03:04:05Z"));
        QCOMPARE(object.value("status").toString(), QStringLiteral("recording"));
        QCOMPARE(object.value("channelLayout").toString(), QStringLiteral("L=microphone,R=system"));
        QCOMPARE(object.value("source").toObject(), QJsonObject({{"allAudio", QJsonObject()}}));
        QVERIFY(bytes.startsWith("{\n"));
        QVERIFY(bytes.indexOf("\"appVersion\"") < bytes.indexOf("\"systemSideSilent\""));

        auto read = RecordingSidecar::decode(bytes);
        QVERIFY(read.has_value());
        RecordingSidecar expected = sidecar;
        expected.startedAt = utc("2025-01-02T03:04:05Z");
        expected.segments[0].startedAt = expected.startedAt;
        QVERIFY(*read == expected);
    }

    void sidecarWithEveryFieldRoundTrips()
    {
        RecordingSidecar sidecar;
        sidecar.id = QStringLiteral("250102-030405_2");
        sidecar.startedAt = utc("2025-01-02T03:04:05Z");
        sidecar.endedAt = utc("2025-01-02T04:00:00Z");
        sidecar.source = RecordingSource::app("us.zoom.xos", "zoom.us");
        sidecar.microphoneName = QStringLiteral("Built-in Microphone");
        sidecar.status = QStringLiteral("some-future-status");
        sidecar.systemSideSilent = true;
        sidecar.levels = RecordingSidecar::LevelsSummary{0.5f, 0.25f, 0.125f, 1.0f};
        sidecar.submittedParts = QStringList{"250102-030405", ""};
        sidecar.reconstructed = true;
        sidecar.echoCancellation = QStringLiteral("automatic");
        sidecar.outputKind = QStringLiteral("headphones");
        sidecar.appVersion = QStringLiteral("9.9");
        RecordingSidecar::Segment segment{"segment-002.caf", sidecar.startedAt, sidecar.endedAt, 44100.0,
                                          QStringLiteral("USB Mic"), QString::fromLatin1(SegmentReason::kEchoChange),
                                          RecordingSource::allAudio(), QString::fromLatin1(ChannelLayout::kSystemStereo),
                                          false, 0.02};
        sidecar.segments = {segment, segment};
        const auto read = RecordingSidecar::decode(sidecar.encode());
        QVERIFY(read.has_value());
        QVERIFY(*read == sidecar);
        QCOMPARE(QJsonDocument::fromJson(sidecar.encode()).object().value("levels").toObject().keys(),
                 QStringList({"micPeak", "micRMS", "systemPeak", "systemRMS"}));
    }

    void sidecarMissingARequiredKeyDoesNotDecode_data()
    {
        QTest::addColumn<QString>("key");
        for (const char* key : {"id", "startedAt", "source", "channelLayout", "segments", "status", "systemSideSilent",
                                "micSideSilent", "appVersion"})
            QTest::newRow(key) << QString::fromLatin1(key);
    }
    void sidecarMissingARequiredKeyDoesNotDecode()
    {
        QFETCH(QString, key);
        RecordingSidecar sidecar;
        sidecar.id = QStringLiteral("x");
        sidecar.startedAt = utc("2025-01-02T03:04:05Z");
        QJsonObject object = sidecar.toJson();
        QVERIFY(RecordingSidecar::fromJson(object).has_value());
        object.remove(key);
        QVERIFY(!RecordingSidecar::fromJson(object).has_value());
    }

    void sidecarDateForms()
    {
        RecordingSidecar sidecar;
        sidecar.id = QStringLiteral("x");
        sidecar.startedAt = utc("2025-01-02T03:04:05Z");
        QJsonObject object = sidecar.toJson();
        object.insert("startedAt", "2025-01-02T03:04:05.250Z");
        QVERIFY(!RecordingSidecar::fromJson(object).has_value());
        const auto fractional = RecordingSidecar::fromJson(object, RecordingSidecar::DateDecoding::Iso8601Fractional);
        QCOMPARE(fractional.value().startedAt, utc("2025-01-02T03:04:05.250Z"));
        object.insert("startedAt", 757'479'845.0);  // 2025-01-02T03:04:05Z
        const auto seconds = RecordingSidecar::fromJson(object, RecordingSidecar::DateDecoding::ReferenceSeconds);
        QCOMPARE(seconds.value().startedAt, utc("2025-01-02T03:04:05Z"));
        object.insert("startedAt", "2025-01-02T04:04:05+01:00");
        QCOMPARE(RecordingSidecar::fromJson(object).value().startedAt, utc("2025-01-02T03:04:05Z"));
    }

    // Whatever date a sidecar is read with, what is written of it reads back: times past the years
    // 1 to 9999 (an offset across the edge, reference seconds beyond it) are brought to the nearer end.
    void sidecarDatesAtTheEdgesOfTimeReadBack_data()
    {
        QTest::addColumn<QJsonValue>("startedAt");
        QTest::addColumn<int>("form");
        QTest::addColumn<QString>("written");
        const int iso = int(RecordingSidecar::DateDecoding::Iso8601);
        const int seconds = int(RecordingSidecar::DateDecoding::ReferenceSeconds);
        QTest::newRow("year 1 with an offset east") << QJsonValue("0001-01-01T00:00:00+05:00") << iso << "0001-01-01T00:00:00Z";
        QTest::newRow("year 9999 with an offset west") << QJsonValue("9999-12-31T23:00:00-05:00") << iso << "9999-12-31T23:59:59Z";
        QTest::newRow("the last second") << QJsonValue("9999-12-31T23:59:59Z") << iso << "9999-12-31T23:59:59Z";
        QTest::newRow("seconds past year 9999") << QJsonValue(3e11) << seconds << "9999-12-31T23:59:59Z";
        QTest::newRow("seconds past any clock") << QJsonValue(1e300) << seconds << "9999-12-31T23:59:59Z";
        QTest::newRow("seconds before year 1") << QJsonValue(-1e300) << seconds << "0001-01-01T00:00:00Z";
    }
    void sidecarDatesAtTheEdgesOfTimeReadBack()
    {
        QFETCH(QJsonValue, startedAt);
        QFETCH(int, form);
        QFETCH(QString, written);
        RecordingSidecar sidecar;
        sidecar.id = QStringLiteral("x");
        sidecar.startedAt = utc("2025-01-02T03:04:05Z");
        QJsonObject object = sidecar.toJson();
        if (startedAt.isDouble())  // every date in the one form
            object.insert("endedAt", startedAt);
        object.insert("startedAt", startedAt);

        const auto read = RecordingSidecar::fromJson(object, RecordingSidecar::DateDecoding(form));
        QVERIFY(read);
        const QByteArray bytes = read->encode();
        QVERIFY2(bytes.contains("\"startedAt\": \"" + written.toLatin1() + "\""), bytes.constData());
        const auto again = RecordingSidecar::decode(bytes);
        QVERIFY2(again, bytes.constData());
        QCOMPARE(DateForms::internetDateTime(again->startedAt), written);
    }

    // Every reader joins a segment's name to the work folder; a name that reaches anywhere else
    // fails the file, and recovery rebuilds it from the segments it finds.
    void sidecarSegmentFileIsOneNameInTheWorkFolder_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("decodes");
        QTest::newRow("plain") << "segment-000.caf" << true;
        QTest::newRow("blanks and dots") << "segment 1..caf" << true;
        QTest::newRow("climbs out") << "../x" << false;
        QTest::newRow("parent") << ".." << false;
        QTest::newRow("the folder itself") << "." << false;
        QTest::newRow("absolute") << "/etc/passwd" << false;
        QTest::newRow("in a subfolder") << "a/segment-000.caf" << false;
        QTest::newRow("empty") << "" << false;
    }
    void sidecarSegmentFileIsOneNameInTheWorkFolder()
    {
        QFETCH(QString, file);
        QFETCH(bool, decodes);
        RecordingSidecar sidecar;
        sidecar.id = QStringLiteral("x");
        sidecar.startedAt = utc("2025-01-02T03:04:05Z");
        RecordingSidecar::Segment segment;
        segment.file = file;
        segment.startedAt = sidecar.startedAt;
        segment.reason = QString::fromLatin1(SegmentReason::kStart);
        sidecar.segments = {segment};
        const auto read = RecordingSidecar::decode(sidecar.encode());
        QCOMPARE(read.has_value(), decodes);
        if (!decodes)
            QCOMPARE(read.error().text, QStringLiteral("segments[0].file: not a file name in the work folder"));
    }

    // Levels are floats; a file's number beyond a float's range is brought to the nearer end
    // instead of becoming infinite, so what is written of it reads back.
    void sidecarLevelsBeyondAFloatReadBack_data()
    {
        QTest::addColumn<double>("level");
        QTest::addColumn<float>("read");
        const float most = std::numeric_limits<float>::max();
        QTest::newRow("in range") << 0.5 << 0.5f;
        QTest::newRow("just past the largest float") << 3.5e38 << most;
        QTest::newRow("far past it") << 1e308 << most;
        QTest::newRow("far past it, negative") << -1e308 << -most;
    }
    void sidecarLevelsBeyondAFloatReadBack()
    {
        QFETCH(double, level);
        QFETCH(float, read);
        RecordingSidecar sidecar;
        sidecar.id = QStringLiteral("x");
        sidecar.startedAt = utc("2025-01-02T03:04:05Z");
        QJsonObject object = sidecar.toJson();
        object.insert("levels", QJsonObject{{"micPeak", level}, {"micRMS", 0.25}, {"systemPeak", level}, {"systemRMS", 0}});
        const auto decoded = RecordingSidecar::fromJson(object);
        QVERIFY(decoded && decoded->levels);
        QCOMPARE(decoded->levels->micPeak, read);
        QCOMPARE(decoded->levels->systemPeak, read);
        const auto again = RecordingSidecar::decode(decoded->encode());
        QVERIFY2(again, decoded->encode().constData());
        QVERIFY(*again == *decoded);
    }

    void channelLayoutOfMixedSegments()
    {
        RecordingSidecar sidecar;
        RecordingSidecar::Segment a;
        a.channelLayout = QString::fromLatin1(ChannelLayout::kMicrophoneSystem);
        RecordingSidecar::Segment unstamped;
        sidecar.segments = {a, unstamped};
        QCOMPARE(sidecar.channelLayoutWith(ChannelLayout::kMicrophoneSystem), QString(ChannelLayout::kMicrophoneSystem));
        QCOMPARE(sidecar.channelLayoutWith(ChannelLayout::kSystemStereo), QString(ChannelLayout::kMixed));
    }

    // A duration reaches a note only as whole seconds an int holds; anything else is left out.
    void durationSecondsForANote_data()
    {
        QTest::addColumn<std::optional<double>>("seconds");
        QTest::addColumn<std::optional<int>>("rounded");
        QTest::addColumn<std::optional<int>>("truncated");
        const double nan = std::numeric_limits<double>::quiet_NaN();
        const double inf = std::numeric_limits<double>::infinity();
        QTest::newRow("absent") << std::optional<double>() << std::optional<int>() << std::optional<int>();
        QTest::newRow("half up") << std::optional(2.5) << std::optional(3) << std::optional(2);
        QTest::newRow("negative half") << std::optional(-2.5) << std::optional(-3) << std::optional(-2);
        QTest::newRow("below half") << std::optional(59.49) << std::optional(59) << std::optional(59);
        QTest::newRow("not a number") << std::optional(nan) << std::optional<int>() << std::optional<int>();
        QTest::newRow("infinite") << std::optional(inf) << std::optional<int>() << std::optional<int>();
        QTest::newRow("past int") << std::optional(3e9) << std::optional<int>() << std::optional<int>();
        QTest::newRow("int's edge") << std::optional(2147483647.4) << std::optional(2147483647) << std::optional(2147483647);
    }

    void durationSecondsForANote()
    {
        QFETCH(std::optional<double>, seconds);
        QFETCH(std::optional<int>, rounded);
        QFETCH(std::optional<int>, truncated);
        QCOMPARE(DurationSeconds::rounded(seconds), rounded);
        QCOMPARE(DurationSeconds::truncated(seconds), truncated);
    }
};

QTEST_GUILESS_MAIN(RecordsTest)
#include "tst_records.moc"
