// Segments into AAC parts: names, the quietest-second cut, conversion of other rates and channel
// counts, skipped segments, leftovers of an earlier attempt, and the error texts.

#include "SegmentFixtures.h"

#include "foundation/HarkwellLog.h"
#include "platform/paths/Paths.h"
#include "recording/RecordingEncoder.h"
#include "support/LogFile.h"
#include "support/TempHome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <cmath>
#include <limits>
#include <vector>

using namespace harkwell;
using test::Stretch;

namespace {

constexpr char kId[] = "260304-090000";

using test::logText;

struct Fixture {
    test::TempHome home;
    QString folder = home.make(Paths::recordingsFolder() + QStringLiteral("/") + kId);
    RecordingSidecar sidecar;

    Fixture() { sidecar.id = kId; }

    void segment(const QString& name, const QList<Stretch>& stretches, int rate = 48000, int channels = 2)
    {
        QVERIFY(test::writeSegment(folder + '/' + name, stretches, rate, channels));
        list(name);
    }
    void list(const QString& name)
    {
        sidecar.segments.append({name, QDateTime::currentDateTimeUtc(), std::nullopt, 48000, std::nullopt,
                                 QStringLiteral("start"), std::nullopt, std::nullopt, std::nullopt, std::nullopt});
    }
    QStringList files() const { return QDir(folder).entryList(QDir::Files, QDir::Name); }
};

// Seconds of a 48 kHz limit.
RecordingEncoder::Limits limits(double partSeconds, double windowSeconds)
{
    return {qint64(partSeconds * 48000), qint64(windowSeconds * 48000)};
}

}  // namespace

class TestRecordingEncoder : public QObject {
    Q_OBJECT

private slots:
    void partNames_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("name");
        QTest::newRow("first") << 1 << QStringLiteral("260304-090000.m4a");
        QTest::newRow("second") << 2 << QStringLiteral("260304-090000_2.m4a");
        QTest::newRow("twelfth") << 12 << QStringLiteral("260304-090000_12.m4a");
    }
    void partNames()
    {
        QFETCH(int, index);
        QFETCH(QString, name);
        QCOMPARE(RecordingEncoder::partName(kId, index), name);
    }

    void limitsAt48kHz()
    {
        const auto standard = RecordingEncoder::Limits::forRate(48000);
        QCOMPARE(standard.partFrames, qint64(571'950'545));
        QCOMPARE(standard.windowFrames, qint64(2'880'000));
    }

    void quietestCut_data()
    {
        QTest::addColumn<QList<float>>("blockLevels");  // one level per block of 4 frames
        QTest::addColumn<qint64>("length");
        QTest::addColumn<qint64>("cut");
        QTest::newRow("a quiet block in the middle") << QList<float>{0.5f, 0.1f, 0.5f, 0.5f} << qint64(16) << qint64(6);
        QTest::newRow("all equal: the last whole block") << QList<float>{0, 0, 0, 0} << qint64(16) << qint64(14);
        QTest::newRow("a partial block is not weighed") << QList<float>{0.5f, 0.4f, 0.0f} << qint64(10) << qint64(6);
        QTest::newRow("shorter than a block") << QList<float>{0.5f} << qint64(3) << qint64(3);
        QTest::newRow("a block that is not a number never wins")
            << QList<float>{0.5f, std::numeric_limits<float>::quiet_NaN(), 0.6f} << qint64(12) << qint64(2);
    }
    void quietestCut()
    {
        QFETCH(QList<float>, blockLevels);
        QFETCH(qint64, length);
        QFETCH(qint64, cut);
        std::vector<float> left;
        for (float level : blockLevels)
            for (int i = 0; i < 4; ++i)
                left.push_back(i % 2 ? -level : level);
        left.resize(size_t(std::max<qint64>(length, 1)));
        std::vector<float> right(left.size(), 0.0f);
        const float* channels[] = {left.data(), right.data()};
        QCOMPARE(RecordingEncoder::quietestCut(channels, 2, length, 4), cut);
    }

    void oneRecordingBecomesOnePartThatPlays()
    {
        Fixture f;
        f.segment("segment-001.caf", {{2.0, 0.3f}});
        f.list("segment-002.caf");  // never written
        QVERIFY(QFile(f.folder + "/segment-003.caf").open(QIODevice::WriteOnly));
        f.list("segment-003.caf");  // empty
        f.segment("segment-004.caf", {{1.5, 0.2f}});

        const auto parts = RecordingEncoder::encode(f.folder, f.sidecar);

        QVERIFY2(parts, qPrintable(parts ? QString() : parts.error().text()));
        QCOMPARE(*parts, QStringList{f.folder + "/260304-090000.m4a"});
        const auto probe = test::ffprobe(parts->first());
        QVERIFY(probe);
        QCOMPARE(probe->codec, QStringLiteral("aac"));
        QCOMPARE(probe->sampleRate, 48000);
        QCOMPARE(probe->channels, 2);
        // What players and the service take an .m4a for: the iTunes-style brand, not plain MP4's.
        QCOMPARE(probe->majorBrand, QStringLiteral("M4A "));
        QVERIFY2(std::abs(probe->duration - 3.5) < 0.05, qPrintable(QString::number(probe->duration)));
        const QString log = logText();
        QVERIFY(log.contains("[harkwell] recorder: skipping empty or missing segment-002.caf"));
        QVERIFY(log.contains("[harkwell] recorder: skipping empty or missing segment-003.caf"));
        QVERIFY(log.contains("[harkwell] recorder: encoded 260304-090000 into 1 part(s), 4 s"));
        QVERIFY(!log.contains(" cut at "));
    }

    void otherRatesAndChannelCountsAreConverted_data()
    {
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("channels");
        QTest::newRow("44.1 kHz mono") << 44100 << 1;
        QTest::newRow("16 kHz stereo") << 16000 << 2;
        QTest::newRow("48 kHz with four channels") << 48000 << 4;
    }
    void otherRatesAndChannelCountsAreConverted()
    {
        QFETCH(int, rate);
        QFETCH(int, channels);
        Fixture f;
        f.segment("segment-001.caf", {{2.0, 0.3f}}, rate, channels);

        const auto parts = RecordingEncoder::encode(f.folder, f.sidecar);

        QVERIFY2(parts, qPrintable(parts ? QString() : parts.error().text()));
        const auto probe = test::ffprobe(parts->first());
        QVERIFY(probe);
        QCOMPARE(probe->sampleRate, 48000);
        QCOMPARE(probe->channels, 2);
        QVERIFY2(std::abs(probe->duration - 2.0) < 0.05, qPrintable(QString::number(probe->duration)));
    }

    // Parts of 10 s with a 4 s window: each part is written straight to 6 s and cut in the middle
    // of the quietest whole second of the 4 s after that.
    void longRecordingsAreCutInTheQuietestSecond()
    {
        Fixture f;
        // 0–7 s loud, 7–8 s silent, then loud to 13.5 s in this segment and on in the next.
        f.segment("segment-001.caf", {{7.0, 0.5f}, {1.0, 0.0f}, {5.5, 0.5f}});
        f.segment("segment-002.caf", {{6.5, 0.5f}});  // to 20 s: part 2 fills its window evenly

        const auto parts = RecordingEncoder::encode(f.folder, f.sidecar, limits(10, 4));

        QVERIFY2(parts, qPrintable(parts ? QString() : parts.error().text()));
        QCOMPARE(*parts, (QStringList{f.folder + "/260304-090000.m4a", f.folder + "/260304-090000_2.m4a",
                                      f.folder + "/260304-090000_3.m4a"}));
        const QString log = logText();
        // The silent second starts 1 s into the first window: its middle is 7.5 s.
        QVERIFY2(log.contains("[harkwell] recorder: part 1 cut at 7.5 s"), qPrintable(log));
        // The second window (13.5–17.5 s) is evenly loud: its last whole second wins.
        QVERIFY2(log.contains("[harkwell] recorder: part 2 cut at 9.5 s"), qPrintable(log));
        QVERIFY(log.contains("[harkwell] recorder: encoded 260304-090000 into 3 part(s), 20 s"));
        const QList<double> expected{7.5, 9.5, 3.0};
        for (qsizetype i = 0; i < parts->size(); ++i) {
            const auto probe = test::ffprobe(parts->at(i));
            QVERIFY(probe);
            QVERIFY2(std::abs(probe->duration - expected[i]) < 0.05, qPrintable(QString::number(probe->duration)));
        }
    }

    void aRecordingThatEndsInTheWindowStaysOnePart()
    {
        Fixture f;
        f.segment("segment-001.caf", {{8.0, 0.5f}});

        const auto parts = RecordingEncoder::encode(f.folder, f.sidecar, limits(10, 4));

        QVERIFY(parts);
        QCOMPARE(parts->size(), 1);
        QVERIFY(!logText().contains(" cut at "));
        QVERIFY(std::abs(test::ffprobe(parts->first())->duration - 8.0) < 0.05);
    }

    void oldPartsGoFirstAndOtherFilesStay()
    {
        Fixture f;
        f.segment("segment-001.caf", {{1.0, 0.3f}});
        for (const char* name : {"260304-090000.m4a", "260304-090000_2.m4a", "260304-090000_17.m4a",
                                 "260304-0900001.m4a", "notes.m4a", "recording.json"})
            QVERIFY(QFile(f.folder + '/' + name).open(QIODevice::WriteOnly));

        QVERIFY(RecordingEncoder::encode(f.folder, f.sidecar));

        QCOMPARE(f.files(), (QStringList{"260304-090000.m4a", "260304-0900001.m4a", "notes.m4a", "recording.json",
                                         "segment-001.caf"}));
    }

    void errors_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("text");
        QTest::newRow("no segments") << "none" << "The recording has no audio segments.";
        QTest::newRow("every segment missing or empty") << "missing" << "The recording contains no readable audio.";
        QTest::newRow("a segment that is not audio is skipped") << "garbage"
                                                                << "The recording contains no readable audio.";
        QTest::newRow("the part's name is taken by a folder") << "folder"
                                                              << "Could not create 260304-090000.m4a: Is a directory";
    }
    void errors()
    {
        QFETCH(QString, setup);
        QFETCH(QString, text);
        Fixture f;
        if (setup == "missing") {
            f.list("segment-001.caf");
            QVERIFY(QFile(f.folder + "/segment-002.caf").open(QIODevice::WriteOnly));
            f.list("segment-002.caf");
        } else if (setup == "garbage") {
            f.home.writeFile(Paths::recordingsFolder() + QStringLiteral("/%1/segment-001.caf").arg(kId),
                             "this is not audio at all");
            f.list("segment-001.caf");
        } else if (setup == "folder") {
            f.segment("segment-001.caf", {{1.0, 0.3f}});
            QVERIFY(QDir().mkpath(f.folder + "/260304-090000.m4a/inside"));
        }

        const auto parts = RecordingEncoder::encode(f.folder, f.sidecar);

        QVERIFY(!parts);
        QCOMPARE(parts.error().text(), text);
        if (setup != "folder")
            QVERIFY(f.files().filter(".m4a").isEmpty());
        if (setup == "garbage")
            QVERIFY(logText().contains("[harkwell] recorder: cannot open segment-001.caf, skipped: "));
    }
};

QTEST_GUILESS_MAIN(TestRecordingEncoder)
#include "tst_recording_encoder.moc"
