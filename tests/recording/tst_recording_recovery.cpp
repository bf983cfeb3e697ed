// Recordings left behind: the launch scan (offered, removed, rebuilt, left alone), the date forms
// recording.json may hold, rebuilding from segment files, closing open ends, removing parts,
// leftover aggregate devices, and storing recording.json outside the writer.

#include "SegmentFixtures.h"

#include "audio/RecorderDeviceNames.h"
#include "foundation/DateForms.h"
#include "foundation/HarkwellLog.h"
#include "platform/audiohal/SimulatedAudioHardware.h"
#include "foundation/RecordingTypes.h"
#include "platform/paths/Paths.h"
#include "recording/RecordingRecovery.h"
#include "support/LogFile.h"
#include "support/TempHome.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace harkwell;

namespace {

using test::logText;

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

RecordingSidecar sidecar()
{
    RecordingSidecar s;
    s.id = QStringLiteral("260304-090000");
    s.startedAt = QDateTime(QDate(2026, 3, 4), QTime(9, 0, 0, 750), Qt::UTC);
    s.source = RecordingSource::app(QStringLiteral("us.zoom.xos"), QStringLiteral("Zoom"));
    s.microphoneName = QStringLiteral("Built-in");
    s.status = QString::fromLatin1(RecordingStatus::kEncoded);
    s.submittedParts = QStringList{QStringLiteral("260304-090000"), QString()};
    s.segments.append({QStringLiteral("segment-001.caf"), s.startedAt, s.startedAt.addSecs(60), 48000, std::nullopt,
                       QString::fromLatin1(SegmentReason::kStart), std::nullopt, std::nullopt, std::nullopt, std::nullopt});
    return s;
}

QString sidecarPath(const QString& id) { return Paths::recordingFolder(id) + QStringLiteral("/recording.json"); }

// A work folder with a recording.json of that status and start.
void leave(const QString& id, const QString& status, const QDateTime& startedAt)
{
    RecordingSidecar record = sidecar();
    record.id = id;
    record.status = status;
    record.startedAt = startedAt;
    QVERIFY(QDir().mkpath(Paths::recordingFolder(id)));
    RecordingRecovery::saveSidecar(record);
}

QString segmentPath(const QString& id, const QString& name) { return Paths::recordingFolder(id) + '/' + name; }

QStringList ids(const QList<RecordingSidecar>& list)
{
    QStringList result;
    for (const RecordingSidecar& s : list)
        result.append(s.id);
    return result;
}

QDateTime at(int hour, int minute = 0) { return QDateTime(QDate(2026, 3, 4), QTime(hour, minute), Qt::UTC); }

}  // namespace

class TestRecordingRecovery : public QObject {
    Q_OBJECT

private slots:

    void theScanOffersUnfinishedAndRemovesFinished()
    {
        test::TempHome home;
        leave("260304-080000", "recording", at(8));
        leave("260304-100000", "paused", at(10));
        leave("260304-090000", "stopped", at(9));
        leave("260304-090000_2", "encoded", at(9));  // same start: listing order kept
        leave("260304-070000", "sent", at(7));
        leave("260304-060000", "discarded", at(6));
        leave("260304-050000", "archived", at(5));
        leave("260304-110000", "recording", at(11));  // the recording under way
        QVERIFY(QDir().mkpath(Paths::recordingFolder(".hidden")));
        home.writeFile(Paths::recordingsFolder() + "/stray-file", "x");

        const auto offered = RecordingRecovery::scan(QStringLiteral("260304-110000"));

        QCOMPARE(ids(offered), (QStringList{"260304-100000", "260304-090000", "260304-090000_2", "260304-080000"}));
        QVERIFY(!QFileInfo::exists(Paths::recordingFolder("260304-070000")));
        QVERIFY(!QFileInfo::exists(Paths::recordingFolder("260304-060000")));
        QVERIFY(QFileInfo::exists(Paths::recordingFolder("260304-050000")));
        QVERIFY(QFileInfo::exists(Paths::recordingFolder("260304-110000")));
        const QString log = logText();
        QVERIFY(log.contains("[harkwell] recorder: recovery: removed leftover 260304-070000 folder (sent)"));
        QVERIFY(log.contains("[harkwell] recorder: recovery: removed leftover 260304-060000 folder (discarded)"));
        QVERIFY(!log.contains("260304-050000"));
        QVERIFY(!log.contains(".hidden"));
    }

    void aRecordingIsKnownByItsFolderNotByTheIdItHolds()
    {
        test::TempHome home;
        leave("260305-140709", "stopped", at(9));
        // A backup or sync-conflict copy of that folder, and a folder whose recording.json names
        // the folder above the recordings folder.
        QVERIFY(QDir().mkpath(Paths::recordingFolder("260305-140709 (copy)")));
        QVERIFY(QFile::copy(sidecarPath("260305-140709"), sidecarPath("260305-140709 (copy)")));
        leave("climber", "stopped", at(8));
        QByteArray climbing = readAll(sidecarPath("climber"));
        climbing.replace("\"id\": \"climber\"", "\"id\": \"..\"");
        QVERIFY(climbing.contains("\"id\": \"..\""));
        home.writeFile(Paths::recordingsFolder() + "/climber/recording.json", climbing);

        const auto offered = RecordingRecovery::scan();

        QCOMPARE(ids(offered), (QStringList{"260305-140709", "260305-140709 (copy)", "climber"}));
        QCOMPARE(RecordingRecovery::loadSidecar("climber")->id, QStringLiteral("climber"));
        const QString log = logText();
        QVERIFY(log.contains("[harkwell] recorder: recovery: 260305-140709 (copy) holds a recording.json with the id "
                             "“260305-140709”; taken as 260305-140709 (copy)"));
        QVERIFY(log.contains("recovery: climber holds a recording.json with the id “..”; taken as climber"));
    }

    void onlyAPlainFolderNameIsARecordingId_data()
    {
        QTest::addColumn<QString>("id");
        QTest::newRow("empty") << QString();
        QTest::newRow("dot") << ".";
        QTest::newRow("the folder above") << "..";
        QTest::newRow("further up") << "../../../..";
        QTest::newRow("a sibling through the parent") << "../Recordings/260304-090000";
        QTest::newRow("a subfolder") << "260304-090000/segments";
        QTest::newRow("a NUL") << QStringLiteral("260304-090000") + QChar(u'\0');
    }
    void onlyAPlainFolderNameIsARecordingId()
    {
        QFETCH(QString, id);
        test::TempHome home;
        leave("260304-090000", "stopped", at(9));
        home.writeFile(Paths::recordingsFolder() + "/260304-090000/260304-090000.m4a", "x");
        home.writeFile(Paths::recordingsFolder() + "/260304-090000/segments/segment-001.caf", "x");
        home.writeFile(Paths::applicationSupport() + "/260304-090000.m4a", "x");
        home.writeFile(Paths::applicationSupport() + "/segment-001.caf", "x");

        QVERIFY(!RecordingPaths::isWorkFolderName(id));
        QVERIFY(!RecordingRecovery::loadSidecar(id));
        QVERIFY(!RecordingRecovery::reconstructSidecar(id));
        RecordingRecovery::removeEncodedParts(id);

        QVERIFY(QFileInfo::exists(Paths::applicationSupport() + "/260304-090000.m4a"));
        QVERIFY(QFileInfo::exists(Paths::recordingFolder("260304-090000") + "/260304-090000.m4a"));
        QVERIFY(!QFileInfo::exists(Paths::applicationSupport() + "/recording.json"));
        QVERIFY(!QFileInfo::exists(Paths::recordingFolder("260304-090000") + "/segments/recording.json"));
    }

    void theScanOfNoRecordingsFolderFindsNothing()
    {
        test::TempHome home;
        QVERIFY(RecordingRecovery::scan().isEmpty());
        QVERIFY(!QFileInfo::exists(Paths::recordingsFolder()));
    }

    void aFolderWithoutSidecarIsRebuiltFromItsSegments_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("sidecarBytes");  // empty: no recording.json at all
        QTest::newRow("no recording.json") << "260304-093015" << QString();
        QTest::newRow("unreadable recording.json") << "260304-093015" << "{\"id\": 12";
        QTest::newRow("a suffix after the time stamp") << "260304-093015_2" << QString();
    }
    void aFolderWithoutSidecarIsRebuiltFromItsSegments()
    {
        QFETCH(QString, id);
        QFETCH(QString, sidecarBytes);
        test::TempHome home;
        QVERIFY(QDir().mkpath(Paths::recordingFolder(id)));
        QVERIFY(test::writeSegment(segmentPath(id, "segment-002.caf"), {{0.2, 0.1f}}, 44100));
        QVERIFY(test::writeSegment(segmentPath(id, "segment-001.caf"), {{0.2, 0.1f}}));
        for (const char* name : {"segment-010.caf", "segment-1000.caf", "segment-101.caf"})
            home.writeFile(Paths::recordingsFolder() + QStringLiteral("/%1/%2").arg(id, name), "not audio");
        if (!sidecarBytes.isEmpty())
            home.writeFile(Paths::recordingsFolder() + QStringLiteral("/%1/recording.json").arg(id),
                           sidecarBytes.toUtf8());

        const auto offered = RecordingRecovery::scan();

        QCOMPARE(offered.size(), 1);
        const RecordingSidecar& rebuilt = offered.first();
        QCOMPARE(rebuilt.id, id);
        QCOMPARE(rebuilt.status, QStringLiteral("stopped"));
        QCOMPARE(rebuilt.reconstructed, std::optional(true));
        QCOMPARE(rebuilt.source, RecordingSource::allAudio());
        QCOMPARE(rebuilt.microphoneName, std::optional<QString>("unknown"));
        QCOMPARE(rebuilt.channelLayout, QStringLiteral("L=microphone,R=system"));
        QVERIFY(!rebuilt.systemSideSilent && !rebuilt.micSideSilent);
        QCOMPARE(rebuilt.startedAt, QDateTime(QDate(2026, 3, 4), QTime(9, 30, 15), Qt::LocalTime));
        QCOMPARE(rebuilt.segments.size(), 5);
        QCOMPARE(rebuilt.segments[0].file, QStringLiteral("segment-001.caf"));
        QCOMPARE(rebuilt.segments[0].reason, QStringLiteral("start"));
        QCOMPARE(rebuilt.segments[0].sampleRate, 48000.0);
        QCOMPARE(rebuilt.segments[1].reason, QStringLiteral("resume"));
        QCOMPARE(rebuilt.segments[1].sampleRate, 44100.0);
        QCOMPARE(rebuilt.segments[2].file, QStringLiteral("segment-010.caf"));
        QCOMPARE(rebuilt.segments[2].sampleRate, 48000.0);  // not audio: the default rate
        QCOMPARE(rebuilt.segments[3].file, QStringLiteral("segment-101.caf"));
        QCOMPARE(rebuilt.segments[4].file, QStringLiteral("segment-1000.caf"));
        QCOMPARE(rebuilt.endedAt, rebuilt.segments.last().endedAt);
        const auto saved = RecordingRecovery::loadSidecar(id);  // written into the folder, dates to the second
        QVERIFY(saved);
        QCOMPARE(saved->reconstructed, std::optional(true));
        QCOMPARE(saved->segments.size(), 5);
        QCOMPARE(saved->startedAt, rebuilt.startedAt);
        QVERIFY(logText().contains(
            QStringLiteral("[harkwell] recorder: recovery: %1 had no readable recording.json; rebuilt it from 5 segment(s)").arg(id)));
    }

    // The flags were written while the recording ran; a segment that holds sound is never offered
    // as silent, and one that holds none still is.
    void theAudioDecidesWhetherARecordingIsSilent_data()
    {
        QTest::addColumn<float>("amplitude");
        QTest::addColumn<bool>("offeredSilent");
        QTest::newRow("speech under a stale silent flag") << 0.2f << false;
        QTest::newRow("digital silence") << 0.0f << true;
    }
    void theAudioDecidesWhetherARecordingIsSilent()
    {
        QFETCH(float, amplitude);
        QFETCH(bool, offeredSilent);
        test::TempHome home;
        RecordingSidecar record = sidecar();
        record.status = QString::fromLatin1(RecordingStatus::kStopped);
        record.systemSideSilent = record.micSideSilent = true;
        record.segments.append(record.segments.first());
        record.segments[1].file = QStringLiteral("segment-002.caf");
        QVERIFY(QDir().mkpath(Paths::recordingFolder(record.id)));
        RecordingRecovery::saveSidecar(record);
        QVERIFY(test::writeSegment(segmentPath(record.id, "segment-001.caf"), {{1.0, 0.0f}}));
        QVERIFY(test::writeSegment(segmentPath(record.id, "segment-002.caf"), {{0.5, 0.0f}, {0.5, amplitude}}));

        const auto offered = RecordingRecovery::scan();

        QCOMPARE(offered.size(), 1);
        QCOMPARE(RecordingRecovery::flaggedSilent(offered.first()), offeredSilent);
        QCOMPARE(RecordingRecovery::flaggedSilent(*RecordingRecovery::loadSidecar(record.id)), offeredSilent);
    }

    // A link in the recordings folder leads outside it: never read, offered or removed through.
    void aSymbolicLinkIsNeverFollowed_data()
    {
        QTest::addColumn<QString>("status");
        QTest::newRow("an unfinished recording behind it") << "stopped";
        QTest::newRow("a sent recording behind it") << "sent";
    }
    void aSymbolicLinkIsNeverFollowed()
    {
        QFETCH(QString, status);
        test::TempHome home;
        const QString id = QStringLiteral("260304-090000");
        const QString outside = home.make("Elsewhere/" + id);
        RecordingSidecar record = sidecar();
        record.status = status;
        home.writeFile("Elsewhere/" + id + "/recording.json", record.encode());
        home.writeFile("Elsewhere/" + id + "/260304-090000.m4a", "x");
        QVERIFY(test::writeSegment(outside + "/segment-001.caf", {{0.2, 0.1f}}));
        QVERIFY(QDir().mkpath(Paths::recordingsFolder()));
        QVERIFY(QFile::link(outside, Paths::recordingFolder(id)));

        QVERIFY(RecordingRecovery::scan().isEmpty());
        QVERIFY(!RecordingRecovery::loadSidecar(id));
        QVERIFY(!RecordingRecovery::reconstructSidecar(id));
        RecordingRecovery::removeEncodedParts(id);
        QVERIFY(!RecordingRecovery::removeWorkFolder(id));

        QCOMPARE(QDir(outside).entryList(QDir::Files, QDir::Name),
                 (QStringList{"260304-090000.m4a", "recording.json", "segment-001.caf"}));
        QVERIFY(QFileInfo(Paths::recordingFolder(id)).isSymLink());
        QCOMPARE(logText().count("[harkwell] recorder: recovery: 260304-090000 is a symbolic link; ignored"), 1);
    }

    void aFolderWithNeitherSidecarNorAudioIsLeftAlone()
    {
        test::TempHome home;
        home.writeFile(Paths::recordingsFolder() + "/260304-090000/notes.txt", "x");

        QVERIFY(RecordingRecovery::scan().isEmpty());

        QCOMPARE(QDir(Paths::recordingFolder("260304-090000")).entryList(QDir::Files), QStringList{"notes.txt"});
        QVERIFY(logText().contains(
            "[harkwell] recorder: recovery: 260304-090000 has no readable recording.json and no audio; left alone"));
    }

    void sidecarsInEveryDateForm_data()
    {
        QTest::addColumn<QJsonValue>("startedAt");
        const QDateTime start(QDate(2026, 3, 4), QTime(9, 0, 0), Qt::UTC);
        QTest::newRow("internet date-time") << QJsonValue("2026-03-04T09:00:00Z");
        QTest::newRow("with fractional seconds") << QJsonValue("2026-03-04T09:00:00.000Z");
        QTest::newRow("seconds since 2001") << QJsonValue(DateForms::referenceSeconds(start));
    }
    void sidecarsInEveryDateForm()
    {
        QFETCH(QJsonValue, startedAt);
        test::TempHome home;
        RecordingSidecar record = sidecar();
        record.segments.clear();
        QJsonObject object = record.toJson();
        object.insert("startedAt", startedAt);
        QVERIFY(QDir().mkpath(Paths::recordingFolder(record.id)));
        home.writeFile(Paths::recordingsFolder() + "/260304-090000/recording.json",
                       QJsonDocument(object).toJson());

        const auto loaded = RecordingRecovery::loadSidecar(record.id);

        QVERIFY(loaded);
        QCOMPARE(loaded->startedAt, QDateTime(QDate(2026, 3, 4), QTime(9, 0, 0), Qt::UTC));
        QCOMPARE(loaded->submittedParts, record.submittedParts);
    }

    void closingOpenEnds_data()
    {
        QTest::addColumn<bool>("withSegment");
        QTest::addColumn<bool>("segmentFileExists");
        QTest::addColumn<bool>("endedAtSet");
        QTest::addColumn<QString>("segmentEnd");  // "file", "start" or "kept"
        QTest::addColumn<QString>("recordingEnd");  // "file", "segment", "start" or "kept"
        QTest::newRow("last segment open, its file there") << true << true << false << "file" << "file";
        QTest::newRow("last segment open, its file gone") << true << false << false << "start" << "segment";
        QTest::newRow("no segments") << false << false << false << "" << "start";
        QTest::newRow("an end already set is kept") << true << true << true << "file" << "kept";
    }
    void closingOpenEnds()
    {
        QFETCH(bool, withSegment);
        QFETCH(bool, segmentFileExists);
        QFETCH(bool, endedAtSet);
        QFETCH(QString, segmentEnd);
        QFETCH(QString, recordingEnd);
        test::TempHome home;
        RecordingSidecar record = sidecar();
        record.segments.clear();
        const QDateTime segmentStart = at(9, 5);
        const QDateTime kept = at(12);
        QVERIFY(QDir().mkpath(Paths::recordingFolder(record.id)));
        if (withSegment) {
            record.segments.append({"segment-001.caf", at(9), at(9, 4), 48000, std::nullopt, "start", std::nullopt,
                                    std::nullopt, std::nullopt, std::nullopt});
            record.segments.append({"segment-002.caf", segmentStart, std::nullopt, 48000, std::nullopt, "resume",
                                    std::nullopt, std::nullopt, std::nullopt, std::nullopt});
        }
        if (segmentFileExists)
            QVERIFY(test::writeSegment(segmentPath(record.id, "segment-002.caf"), {{0.1, 0.1f}}));
        if (endedAtSet)
            record.endedAt = kept;
        const QDateTime fileTime = QFileInfo(segmentPath(record.id, "segment-002.caf")).lastModified();

        const RecordingSidecar closed = RecordingRecovery::closeOpenEnds(record);

        if (withSegment) {
            QCOMPARE(closed.segments[0].endedAt, std::optional(at(9, 4)));  // earlier ones untouched
            QCOMPARE(closed.segments[1].endedAt, std::optional(segmentEnd == "file" ? fileTime : segmentStart));
        }
        const QDateTime expected = recordingEnd == "file"      ? fileTime
                                   : recordingEnd == "segment" ? segmentStart
                                   : recordingEnd == "kept"    ? kept
                                                               : record.startedAt;
        QCOMPARE(closed.endedAt, std::optional(expected));
    }

    void encodedPartsAreRemovedAndNothingElse()
    {
        test::TempHome home;
        for (const char* name : {"260304-090000.m4a", "260304-090000_2.m4a", "other.m4a", "segment-001.caf", "recording.json"})
            home.writeFile(Paths::recordingsFolder() + QStringLiteral("/260304-090000/") + name, "x");

        RecordingRecovery::removeEncodedParts("260304-090000");

        QCOMPARE(QDir(Paths::recordingFolder("260304-090000")).entryList(QDir::Files, QDir::Name),
                 (QStringList{"recording.json", "segment-001.caf"}));
    }

    void leftoverAggregateDevicesAreDestroyed()
    {
        test::TempHome home;
        SimulatedAudioHardware hal;
        hal.addDevice({"speakers", "Speakers", {}, {2}});
        RecorderHAL::AggregateDescription ours;
        ours.uid = QString::fromLatin1(kRecorderAggregateUidPrefix) + "A";
        RecorderHAL::AggregateDescription stuck = ours;
        stuck.uid = QString::fromLatin1(kRecorderAggregateUidPrefix) + "B";
        RecorderHAL::AggregateDescription theirs = ours;
        theirs.uid = "com.example.other";
        QVERIFY(hal.createAggregateDevice(ours));
        QVERIFY(hal.createAggregateDevice(stuck));
        QVERIFY(hal.createAggregateDevice(theirs));
        hal.failCall(SimulatedAudioHardware::Call::DestroyAggregate, HalError::kIllegalOperation);

        QCOMPARE(RecordingRecovery::destroyLeftoverAggregates(hal), 1);

        QCOMPARE(hal.aggregates().size(), 2);
        const QString log = logText();
        QVERIFY(log.contains(QStringLiteral("[harkwell] recorder: could not destroy leftover aggregate device %1 (OSStatus %2)")
                                 .arg(ours.uid)
                                 .arg(HalError::kIllegalOperation)));
        QVERIFY(log.contains("[harkwell] recorder: destroyed leftover aggregate device " + stuck.uid));
        QCOMPARE(RecordingRecovery::destroyLeftoverAggregates(hal), 1);
        QCOMPARE(RecordingRecovery::destroyLeftoverAggregates(hal), 0);
    }
    void savesIntoAnExistingWorkFolder()
    {
        test::TempHome home;
        const RecordingSidecar record = sidecar();
        QVERIFY(QDir().mkpath(Paths::recordingFolder(record.id)));
        home.writeFile(Paths::recordingsFolder() + QStringLiteral("/260304-090000/recording.json"),
                       "{\"old\": true}");

        RecordingRecovery::saveSidecar(record);

        const QByteArray written = readAll(sidecarPath(record.id));
        const auto decoded = RecordingSidecar::decode(written);
        QVERIFY2(decoded, qPrintable(decoded ? QString() : decoded.error().text));
        QCOMPARE(decoded->submittedParts, record.submittedParts);
        QCOMPARE(decoded->status, QStringLiteral("encoded"));
        // ISO dates to the second, pretty-printed, keys in sorted order.
        QVERIFY(written.contains("\"startedAt\": \"2026-03-04T09:00:00Z\""));
        QVERIFY(written.contains("\n    \"appVersion\""));
        const QList<QByteArray> keys{"\"appVersion\"", "\"channelLayout\"", "\"id\"", "\"micSideSilent\"",
                                     "\"microphoneName\"", "\"segments\"", "\"source\"", "\"startedAt\"",
                                     "\"status\"", "\"submittedParts\"", "\"systemSideSilent\""};
        for (qsizetype i = 1; i < keys.size(); ++i)
            QVERIFY2(written.indexOf("\n    " + keys[i - 1]) < written.indexOf("\n    " + keys[i]), keys[i].constData());
        // Nothing of the write is left beside the file.
        QCOMPARE(QDir(Paths::recordingFolder(record.id)).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("recording.json")});
    }

    void doesNothingWithoutTheWorkFolder()
    {
        test::TempHome home;
        RecordingRecovery::saveSidecar(sidecar());
        QVERIFY(!QFileInfo::exists(Paths::recordingFolder(sidecar().id)));
        QVERIFY(!logText().contains(QStringLiteral("could not write sidecar")));
    }

    void aFailedWriteIsLoggedAndReturns_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("shownId");
        QTest::newRow("recording.json is a folder") << QStringLiteral("260304-090000") << QStringLiteral("260304-090000");
        QTest::newRow("an id that climbs out") << QStringLiteral("..") << QStringLiteral("..");
        QTest::newRow("no id") << QString() << QStringLiteral("?");
    }
    void aFailedWriteIsLoggedAndReturns()
    {
        QFETCH(QString, id);
        QFETCH(QString, shownId);
        test::TempHome home;
        QVERIFY(QDir().mkpath(sidecarPath(QStringLiteral("260304-090000"))));  // a folder where the file goes
        RecordingSidecar record = sidecar();
        record.id = id;

        RecordingRecovery::saveSidecar(record);

        QVERIFY(logText().contains(QStringLiteral("[harkwell] recorder: recovery: could not write sidecar for %1: ").arg(shownId)));
        QVERIFY(!QFileInfo::exists(Paths::applicationSupport() + QStringLiteral("/recording.json")));
    }
};

QTEST_GUILESS_MAIN(TestRecordingRecovery)
#include "tst_recording_recovery.moc"
