// The microphone pipeline on its own: the file channels come out aligned and complete (first frames
// dropped, the tail flushed), the reference delay is clamped, and the canceller starts after its
// warm-up and fades in and out over one block, reporting each switch once for the writer's log.

#include "audio/EchoCanceller.h"
#include "audio/MicrophonePipeline.h"

#include <QTest>

#include <vector>

using namespace harkwell;

namespace {

constexpr double kRate = 48000;

// Every switch the pipeline reported since the last clear, in order.
std::vector<MicrophonePipeline::Switch> g_switches;

// Feeds frames [first, first + count) of a known signal: mic = frame number, ref = its negative.
qsizetype feed(MicrophonePipeline& pipeline, qint64 first, qsizetype count, bool cancelling,
               std::vector<float>& written, bool layoutAllows = true)
{
    std::vector<float> out(MicrophonePipeline::kChunkFrames * 2);
    for (qsizetype i = 0; i < count; ++i) {
        pipeline.micIn()[i] = float(first + i);
        pipeline.refIn()[i] = -float(first + i);
    }
    const qsizetype n = pipeline.run(count, cancelling, layoutAllows, out.data());
    if (pipeline.lastSwitch() != MicrophonePipeline::Switch::none)
        g_switches.push_back(pipeline.lastSwitch());
    written.insert(written.end(), out.begin(), out.begin() + 2 * n);
    return n;
}

// What the writer does at a segment's close: silence pushes the delay lines out.
void flush(MicrophonePipeline& pipeline, std::vector<float>& written)
{
    std::vector<float> out(MicrophonePipeline::kChunkFrames * 2);
    for (qsizetype remaining = pipeline.delayLength(); remaining > 0;) {
        const qsizetype piece = std::min(remaining, MicrophonePipeline::kChunkFrames);
        std::fill_n(pipeline.micIn(), piece, 0.0f);
        std::fill_n(pipeline.refIn(), piece, 0.0f);
        const qsizetype n = pipeline.run(piece, false, true, out.data());
        written.insert(written.end(), out.begin(), out.begin() + 2 * n);
        remaining -= piece;
    }
}

}  // namespace

class MicrophonePipelineTest : public QObject {
    Q_OBJECT
private slots:
    void channelsComeOutAlignedAndComplete_data()
    {
        QTest::addColumn<QList<int>>("chunks");
        QTest::newRow("one small chunk") << QList<int> {100};
        QTest::newRow("shorter than the delay line") << QList<int> {1, 2, 500};
        QTest::newRow("uneven chunks") << QList<int> {8192, 3, 4000, 8192, 1};
    }
    void channelsComeOutAlignedAndComplete()
    {
        QFETCH(QList<int>, chunks);
        MicrophonePipeline pipeline;
        pipeline.setUp(kRate, true, 0.02);
        QCOMPARE(pipeline.delayLength(), 2 * EchoCanceller(kRate).blockSize());

        std::vector<float> written;
        qint64 fed = 0;
        for (int chunk : chunks) {
            feed(pipeline, fed, chunk, false, written);
            fed += chunk;
        }
        flush(pipeline, written);

        // Frame for frame what went in: nothing lost, nothing added, the two channels in step.
        QCOMPARE(qint64(written.size() / 2), fed);
        for (qint64 f = 0; f < fed; ++f) {
            QCOMPARE(written[2 * f], float(f));
            QCOMPARE(written[2 * f + 1], -float(f));
        }
    }

    void referenceDelayIsClampedAndRounded_data()
    {
        QTest::addColumn<double>("delay");
        QTest::addColumn<qsizetype>("frames");
        QTest::newRow("three seconds is the 2.5 s maximum") << 3.0 << qsizetype(120000);
        QTest::newRow("negative is none") << -0.5 << qsizetype(0);
        QTest::newRow("halves round away from zero") << 10.5 / kRate << qsizetype(11);
    }
    void referenceDelayIsClampedAndRounded()
    {
        QFETCH(double, delay);
        QFETCH(qsizetype, frames);
        MicrophonePipeline pipeline;
        pipeline.setUp(kRate, true, delay);
        QCOMPARE(pipeline.referenceDelayFrames(), frames);
    }

    void withoutMicrophoneNothingIsDelayed()
    {
        MicrophonePipeline pipeline;
        pipeline.setUp(kRate, false, 1.0);
        QVERIFY(!pipeline.hasMicrophone());
        QCOMPARE(pipeline.delayLength(), 0);
        QCOMPARE(pipeline.referenceDelayFrames(), 0);
    }

    void segmentOpenedWithCancellingStartsCleanedWithoutSwitch()
    {
        g_switches.clear();
        MicrophonePipeline pipeline;
        pipeline.setUp(kRate, true, 0);
        std::vector<float> written;
        feed(pipeline, 0, 256, true, written);
        QCOMPARE(pipeline.cancelMix(), 1.0f);
        QVERIFY(g_switches.empty());
    }

    void switchingOnMidSegmentWarmsUpThenFadesInOverOneBlock()
    {
        using Switch = MicrophonePipeline::Switch;
        g_switches.clear();
        MicrophonePipeline pipeline;
        pipeline.setUp(kRate, true, 0);
        const qsizetype block = pipeline.delayLength() / 2;
        std::vector<float> written;
        feed(pipeline, 0, 1000, false, written);
        QCOMPARE(pipeline.cancelMix(), 0.0f);

        // The reset canceller's first output is not yet meaningful: the raw microphone stays for
        // one delay line's length, frame by frame.
        qint64 frame = 1000;
        for (qsizetype i = 0; i < pipeline.delayLength(); ++i)
            feed(pipeline, frame++, 1, true, written);
        QVERIFY(!pipeline.mixIncludesCleaned());
        QCOMPARE(g_switches, std::vector {Switch::on});

        feed(pipeline, frame++, 1, true, written);
        QVERIFY(pipeline.mixIncludesCleaned());
        feed(pipeline, frame, block - 2, true, written);
        frame += block - 2;
        QVERIFY(pipeline.cancelMix() < 1.0f);
        feed(pipeline, frame++, 1, true, written);
        QCOMPARE(pipeline.cancelMix(), 1.0f);

        // Off: one block back to the raw microphone, and only then the canceller stops.
        feed(pipeline, frame, block - 1, false, written);
        frame += block - 1;
        QVERIFY(pipeline.mixIncludesCleaned());
        QCOMPARE(g_switches, std::vector {Switch::on});
        feed(pipeline, frame, 1, false, written);
        QCOMPARE(pipeline.cancelMix(), 0.0f);
        QCOMPARE(g_switches, (std::vector {Switch::on, Switch::off}));
    }

    void layoutWithoutMicrophoneAndSystemIsNeverCancelled()
    {
        MicrophonePipeline pipeline;
        pipeline.setUp(kRate, true, 0);
        std::vector<float> written;
        feed(pipeline, 0, 4096, true, written, /*layoutAllows=*/false);
        QVERIFY(!pipeline.mixIncludesCleaned());
    }

    void levelIsThePeakAtMostEvery95Milliseconds()
    {
        MicrophonePipeline pipeline;
        pipeline.setUp(kRate, true, 0);
        std::vector<float> written;
        std::fill_n(pipeline.micIn(), 4096, 0.0f);
        pipeline.micIn()[10] = -0.25f;  // comes out after the delay line, within this chunk
        std::vector<float> out(MicrophonePipeline::kChunkFrames * 2);
        pipeline.run(4096, false, true, out.data());

        const quint64 t0 = 1'000'000'000;
        QCOMPARE(pipeline.takeLevel(t0), std::optional<float>(0.25f));
        QCOMPARE(pipeline.takeLevel(t0 + 94'000'000), std::nullopt);
        QCOMPARE(pipeline.takeLevel(t0 + 95'000'000), std::optional<float>(0.0f));

        pipeline.dropLevel();
        QCOMPARE(pipeline.takeLevel(t0 + 96'000'000), std::optional<float>(0.0f));
        pipeline.endSegment();
        QCOMPARE(pipeline.takeLevel(t0 + 500'000'000), std::nullopt);
    }
};

QTEST_GUILESS_MAIN(MicrophonePipelineTest)
#include "tst_microphone_pipeline.moc"
