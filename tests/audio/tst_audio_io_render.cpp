// The IO callback's render step: channel picking and mixing, layout checks, pieces, pause, drops
// and the meter sums, on hand-built buffer lists.

#include "audio/AudioRingBuffer.h"
#include "audio/IORender.h"
#include "audio/MeterState.h"

#include <QTest>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

using namespace harkwell;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Sample f of a channel is its base times (1 + f mod 3): any stride or order mistake shows, and
// every mix of channels follows the same pattern.
float pattern(int64_t frame) { return float(1 + frame % 3); }

struct Buffer {
    std::vector<float> bases;  // one per channel
    int64_t frames = 0;
    bool hasData = true;
};

ChannelPick pick(int64_t buffer, int64_t channel, int64_t bufferChannels) { return {buffer, channel, bufferChannels}; }

struct RenderCase {
    std::vector<Buffer> buffers;
    IOLayout layout;
    bool paused = false;
    int64_t ringCapacity = 1 << 15;
    int64_t ringPrefill = 0;
    // Expected, for pattern multiplier 1:
    float left = 0, right = 0, mic = 0, system = 0;
    int64_t frames = 0;  // rendered (and metered)
    int64_t written = 0;
    int64_t dropped = 0;
    bool mismatch = false;
};

// The two usual devices: a microphone of two channels and a stereo system tap.
const Buffer kMic2{{0.1f, 0.2f}, 100};
const Buffer kTap2{{-0.15f, 0.05f}, 100};
IOLayout micAndTap()
{
    return {pick(0, 0, 2), pick(0, 1, 2), pick(1, 0, 2), pick(1, 1, 2), false, 2, true};
}

}  // namespace

Q_DECLARE_METATYPE(RenderCase)

class IORenderTest : public QObject {
    Q_OBJECT
private slots:
    void render_data()
    {
        QTest::addColumn<RenderCase>("c");
        const IOLayout both = micAndTap();
        IOLayout oneChannelMic = both;
        oneChannelMic.micA = pick(0, 0, 1);
        oneChannelMic.micB = {};
        IOLayout noMicChannel = both;
        noMicChannel.micA = noMicChannel.micB = {};
        const IOLayout stereoTap{{}, {}, pick(0, 0, 2), pick(0, 1, 2), true, 1, true};
        const IOLayout monoTap{{}, {}, pick(0, 0, 1), pick(0, 0, 1), true, 1, true};
        IOLayout relaxed = both;
        relaxed.strict = false;

        QTest::newRow("microphone off, one-channel tap: both sides carry it")
            << RenderCase{{{{-0.15f}, 100}}, monoTap, false, 1 << 15, 0, -0.15f, -0.15f, 0, -0.15f, 100, 100, 0, false};
        QTest::newRow("microphone off, stereo tap: left and right")
            << RenderCase{{kTap2}, stereoTap, false, 1 << 15, 0, -0.15f, 0.05f, 0, -0.05f, 100, 100, 0, false};
        QTest::newRow("one-channel microphone passes unhalved")
            << RenderCase{{{{0.1f}, 100}, kTap2}, oneChannelMic, false, 1 << 15, 0, 0.1f, -0.05f, 0.1f, -0.05f, 100, 100, 0, false};
        QTest::newRow("two-channel microphone is their mean")
            << RenderCase{{kMic2, kTap2}, both, false, 1 << 15, 0, 0.15f, -0.05f, 0.15f, -0.05f, 100, 100, 0, false};
        QTest::newRow("no microphone channel: left is silence")
            << RenderCase{{kMic2, kTap2}, noMicChannel, false, 1 << 15, 0, 0, -0.05f, 0, -0.05f, 100, 100, 0, false};
        QTest::newRow("strict: one buffer fewer than resolved")
            << RenderCase{{kMic2}, both, false, 1 << 15, 0, 0, 0, 0, 0, 0, 0, 0, true};
        QTest::newRow("strict: a buffer changed its channel count")
            << RenderCase{{kMic2, {{-0.15f}, 100}}, both, false, 1 << 15, 0, 0, 0, 0, 0, 0, 0, 0, true};
        QTest::newRow("relaxed: renders from the picks that remain")
            << RenderCase{{kMic2}, relaxed, false, 1 << 15, 0, 0.15f, 0, 0.15f, 0, 100, 100, 0, false};
        QTest::newRow("relaxed: a buffer without data is no source")
            << RenderCase{{kMic2, {{-0.15f, 0.05f}, 100, false}}, relaxed, false, 1 << 15, 0, 0.15f, 0, 0.15f, 0, 100, 100, 0, false};
        QTest::newRow("buffers of different sizes: the smallest offer")
            << RenderCase{{kMic2, {{-0.15f, 0.05f}, 60}}, both, false, 1 << 15, 0, 0.15f, -0.05f, 0.15f, -0.05f, 60, 60, 0, false};
        QTest::newRow("10,000 frames in pieces of 4,096, 4,096 and 1,808")
            << RenderCase{{{{0.1f, 0.2f}, 10'000}, {{-0.15f, 0.05f}, 10'000}}, both, false, 1 << 15, 0, 0.15f, -0.05f, 0.15f, -0.05f, 10'000, 10'000, 0, false};
        QTest::newRow("full ring: drops are counted, meters still measure")
            << RenderCase{{kMic2, kTap2}, both, false, 64, 64, 0.15f, -0.05f, 0.15f, -0.05f, 100, 0, 100, false};
        QTest::newRow("nearly full ring drops the tail of the second piece")
            << RenderCase{{{{0.1f, 0.2f}, 10'000}, {{-0.15f, 0.05f}, 10'000}}, both, false, 8192, 1000, 0.15f, -0.05f, 0.15f, -0.05f, 10'000, 7192, 2808, false};
        QTest::newRow("paused: nothing written or dropped, meters run")
            << RenderCase{{kMic2, kTap2}, both, true, 64, 64, 0.15f, -0.05f, 0.15f, -0.05f, 100, 0, 0, false};
        QTest::newRow("NaN microphone sample becomes silence")
            << RenderCase{{{{kNaN}, 100}, kTap2}, oneChannelMic, false, 1 << 15, 0, 0, -0.05f, 0, -0.05f, 100, 100, 0, false};
        QTest::newRow("infinite tap sample becomes silence")
            << RenderCase{{kMic2, {{kInf, 0.05f}, 100}}, both, false, 1 << 15, 0, 0.15f, 0.025f, 0.15f, 0.025f, 100, 100, 0, false};
    }
    void render()
    {
        QFETCH(RenderCase, c);

        std::vector<std::vector<float>> storage;
        std::vector<InputBuffer> list;
        for (const Buffer& b : c.buffers) {
            const auto channels = int64_t(b.bases.size());
            std::vector<float> samples;
            for (int64_t f = 0; f < b.frames; ++f)
                for (float base : b.bases)
                    samples.push_back(base * pattern(f));
            storage.push_back(std::move(samples));
            list.push_back({channels, b.frames * channels * 4, b.hasData ? storage.back().data() : nullptr});
        }

        AudioRingBuffer ring(c.ringCapacity, 2);
        const std::vector<float> filler(size_t(c.ringPrefill) * 2, 9.0f);
        QCOMPARE(ring.write(filler.data(), c.ringPrefill), c.ringPrefill);
        MeterState meter;
        meter.paused = c.paused ? 1 : 0;
        std::vector<float> scratch(size_t(IORender::kScratchSamples));  // exact size: overruns show under ASan

        IORender::render(list, c.layout, ring, &meter, scratch.data());

        QCOMPARE(meter.callbacks.load(), 1);
        QCOMPARE(meter.layoutMismatch.load(), c.mismatch ? 1 : 0);
        QCOMPARE(meter.frames.load(), c.frames);
        QCOMPARE(meter.droppedFrames.load(), c.dropped);
        QCOMPARE(ring.writeCount() - c.ringPrefill, c.written);

        const float maxMultiplier = c.frames >= 3 ? 3.0f : float(c.frames);
        QCOMPARE(meter.micPeak.load(), std::abs(c.mic) * maxMultiplier);
        QCOMPARE(meter.systemPeak.load(), std::abs(c.system) * maxMultiplier);
        double squares = 0;
        for (int64_t f = 0; f < c.frames; ++f)
            squares += double(pattern(f)) * pattern(f);
        QVERIFY(std::abs(meter.micSumSquares.load() - squares * c.mic * c.mic) <= 1e-4 * squares);
        QVERIFY(std::abs(meter.systemSumSquares.load() - squares * c.system * c.system) <= 1e-4 * squares);

        std::vector<float> drained(size_t(c.ringPrefill + c.written) * 2);
        QCOMPARE(ring.read(drained.data(), c.ringPrefill + c.written), c.ringPrefill + c.written);
        for (int64_t f = 0; f < c.written; ++f) {
            const size_t at = size_t(c.ringPrefill + f) * 2;
            QCOMPARE(drained[at], c.left * pattern(f));
            QCOMPARE(drained[at + 1], c.right * pattern(f));
        }

        // The scratch holds the last piece, which starts on a 4,096-frame boundary.
        if (c.frames > 0) {
            const int64_t lastStart = (c.frames - 1) / IORender::kPieceFrames * IORender::kPieceFrames;
            for (int64_t f = lastStart; f < c.frames; ++f) {
                QCOMPARE(scratch[size_t(f - lastStart) * 2], c.left * pattern(f));
                QCOMPARE(scratch[size_t(f - lastStart) * 2 + 1], c.right * pattern(f));
            }
        }
    }

    // The level tick asks for a reset; the next call starts the sums over, keeps the lifetime
    // counters and clears the request. Without a request the sums keep adding up.
    void resetRequestStartsTheSumsOver()
    {
        const std::vector<float> samples(2 * 10, 0.5f);
        const InputBuffer tap{2, int64_t(samples.size()) * 4, samples.data()};
        const IOLayout layout{{}, {}, pick(0, 0, 2), pick(0, 1, 2), true, 1, true};
        AudioRingBuffer ring(64, 2);
        MeterState meter;
        meter.systemPeak = 0.9f;
        meter.systemSumSquares = 7.0;
        meter.frames = 1000;
        meter.callbacks = 5;
        meter.droppedFrames = 3;
        std::vector<float> scratch(size_t(IORender::kScratchSamples));

        IORender::render({&tap, 1}, layout, ring, &meter, scratch.data());
        QCOMPARE(meter.frames.load(), 1010);
        QCOMPARE(meter.systemPeak.load(), 0.9f);

        meter.resetRequested = 1;
        IORender::render({&tap, 1}, layout, ring, &meter, scratch.data());
        QCOMPARE(meter.resetRequested.load(), 0);
        QCOMPARE(meter.frames.load(), 10);
        QCOMPARE(meter.systemPeak.load(), 0.5f);
        QCOMPARE(meter.systemSumSquares.load(), 2.5);
        QCOMPARE(meter.callbacks.load(), 7);
        QCOMPARE(meter.droppedFrames.load(), 3);
    }

    // Frames the server skipped become silence in the ring and are counted apart from the ring's
    // overflow; while paused nothing is lost.
    void skippedFramesAreSilenceCountedApart_data()
    {
        QTest::addColumn<int64_t>("lost");
        QTest::addColumn<bool>("paused");
        QTest::addColumn<int64_t>("ringCapacity");
        QTest::addColumn<int64_t>("written");
        QTest::addColumn<int64_t>("dropped");
        QTest::newRow("a few frames") << int64_t(100) << false << int64_t(1 << 15) << int64_t(100) << int64_t(0);
        QTest::newRow("more than a piece") << IORender::kPieceFrames + 7 << false << int64_t(1 << 15)
                                           << IORender::kPieceFrames + 7 << int64_t(0);
        QTest::newRow("more than the ring holds") << int64_t(5000) << false << int64_t(4096) << int64_t(4096) << int64_t(904);
        QTest::newRow("a restarted clock is not filled") << IORender::kLostFramesLimit * 2 << false << int64_t(1 << 20)
                                                         << IORender::kLostFramesLimit << int64_t(0);
        QTest::newRow("paused") << int64_t(100) << true << int64_t(1 << 15) << int64_t(0) << int64_t(0);
    }
    void skippedFramesAreSilenceCountedApart()
    {
        QFETCH(int64_t, lost);
        QFETCH(bool, paused);
        QFETCH(int64_t, ringCapacity);
        QFETCH(int64_t, written);
        QFETCH(int64_t, dropped);
        AudioRingBuffer ring(ringCapacity, 2);
        MeterState meter;
        meter.paused = paused ? 1 : 0;
        std::vector<float> scratch(size_t(IORender::kScratchSamples), 0.7f);

        IORender::renderLost(lost, ring, &meter, scratch.data());

        QCOMPARE(ring.writeCount(), written);
        QCOMPARE(meter.lostFrames.load(), paused ? 0 : std::min(lost, IORender::kLostFramesLimit));
        QCOMPARE(meter.droppedFrames.load(), dropped);
        std::vector<float> out(size_t(2 * std::max<int64_t>(written, 1)), 1.0f);
        QCOMPARE(ring.read(out.data(), written), written);
        QVERIFY(std::all_of(out.begin(), out.begin() + 2 * written, [](float v) { return v == 0.0f; }));
    }

    void emptyCallbackMetersNothing_data()
    {
        QTest::addColumn<int64_t>("byteSize");
        QTest::addColumn<int64_t>("channel");
        QTest::newRow("zero frames") << int64_t(0) << int64_t(0);
        QTest::newRow("picked channel beyond the buffer") << int64_t(400) << int64_t(2);
    }
    void emptyCallbackMetersNothing()
    {
        QFETCH(int64_t, byteSize);
        QFETCH(int64_t, channel);
        const std::vector<float> samples(100, 0.5f);
        const InputBuffer tap{2, byteSize, samples.data()};
        const IOLayout layout{{}, {}, pick(0, channel, 2), pick(0, channel, 2), true, 1, true};
        AudioRingBuffer ring(64, 2);
        MeterState meter;
        std::vector<float> scratch(size_t(IORender::kScratchSamples));
        IORender::render({&tap, 1}, layout, ring, &meter, scratch.data());
        QCOMPARE(meter.callbacks.load(), 1);
        QCOMPARE(meter.frames.load(), 0);
        QCOMPARE(ring.writeCount(), 0);
        QCOMPARE(meter.layoutMismatch.load(), 0);
    }
};

QTEST_GUILESS_MAIN(IORenderTest)
#include "tst_audio_io_render.moc"
