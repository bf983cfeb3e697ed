// Storing recording.json outside the writer: durable and readable back when the work folder is
// there, nothing at all when it is not, and a logged line when the write fails.

#include "foundation/HarkwellLog.h"
#include "foundation/RecordingTypes.h"
#include "platform/paths/Paths.h"
#include "recording/RecordingRecovery.h"
#include "support/TempHome.h"

#include <QDir>
#include <QFile>
#include <QTest>

using namespace harkwell;

namespace {

QString logText()
{
    HarkwellLog::waitUntilWritten();
    QFile file(Paths::logFile());
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

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

}  // namespace

class TestRecordingRecovery : public QObject {
    Q_OBJECT

private slots:
    void savesIntoAnExistingWorkFolder()
    {
        test::TempHome home;
        const RecordingSidecar record = sidecar();
        QVERIFY(QDir().mkpath(Paths::recordingFolder(record.id)));
        home.writeFile(QStringLiteral("Library/Application Support/harkwell/Recordings/260304-090000/recording.json"),
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
