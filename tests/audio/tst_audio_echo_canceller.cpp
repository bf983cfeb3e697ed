// The echo canceller: its sizes per rate, exact delay, convergence on an echo path, the linear
// stage on a fixed path, an echo path that vanishes, keeping a near-end talker, recovery from
// non-finite input and reset.

#include "audio/EchoCanceller.h"

#include <QTest>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

using namespace harkwell;

namespace {

std::vector<float> whiteNoise(int64_t count, float amplitude, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> uniform(-amplitude, amplitude);
    std::vector<float> out(static_cast<size_t>(count));
    for (float& x : out)
        x = uniform(random);
    return out;
}

// Noise in syllable-like bursts (about 4 per second), so levels rise and fall like speech.
std::vector<float> talker(int64_t count, double rate, float amplitude, unsigned seed)
{
    auto out = whiteNoise(count, amplitude, seed);
    for (int64_t i = 0; i < count; ++i)
        out[size_t(i)] *= float(0.55 + 0.45 * std::sin(2 * std::numbers::pi * 4.0 * double(i) / rate));
    return out;
}

// What the microphone hears of the loudspeaker: a delay and a decaying random response.
std::vector<float> echoOf(const std::vector<float>& reference, double rate, double delaySeconds, double gain)
{
    const auto delay = int64_t(delaySeconds * rate);
    const auto taps = int64_t(0.05 * rate);
    std::mt19937 random(7);
    std::normal_distribution<double> normal;
    std::vector<double> response(static_cast<size_t>(taps));
    double norm = 0;
    for (int64_t t = 0; t < taps; ++t) {
        response[size_t(t)] = normal(random) * std::exp(-double(t) / (0.01 * rate));
        norm += response[size_t(t)] * response[size_t(t)];
    }
    for (double& h : response)
        h *= gain / std::sqrt(norm);
    std::vector<float> out(reference.size(), 0.0f);
    for (int64_t i = 0; i < int64_t(out.size()); ++i) {
        double acc = 0;
        for (int64_t t = 0; t < taps; ++t) {
            const int64_t j = i - delay - t;
            if (j < 0)
                break;
            acc += response[size_t(t)] * reference[size_t(j)];
        }
        out[size_t(i)] = float(acc);
    }
    return out;
}

std::vector<float> mix(const std::vector<float>& a, const std::vector<float>& b)
{
    std::vector<float> out(a.size());
    for (size_t i = 0; i < a.size(); ++i)
        out[i] = a[i] + b[i];
    return out;
}

// Feeds everything in uneven chunks, as the writer does.
std::vector<float> run(EchoCanceller& canceller, const std::vector<float>& mic, const std::vector<float>& reference)
{
    std::vector<float> out(mic.size());
    const int64_t chunks[] = {37, 480, 1, 1024, 333};
    int64_t at = 0;
    for (int turn = 0; at < int64_t(mic.size()); ++turn) {
        const int64_t count = std::min<int64_t>(chunks[turn % 5], int64_t(mic.size()) - at);
        canceller.process(mic.data() + at, reference.data() + at, out.data() + at, count);
        at += count;
    }
    return out;
}

double energy(const std::vector<float>& x, int64_t from, int64_t to)
{
    double sum = 0;
    for (int64_t i = from; i < to; ++i)
        sum += double(x[size_t(i)]) * x[size_t(i)];
    return sum;
}

// Level of `before` over `after` in dB, on [from, to) of the input with the output 2n later.
double lossDB(const std::vector<float>& before, const std::vector<float>& after, int64_t delay, int64_t from, int64_t to)
{
    return 10 * std::log10(energy(before, from, to) / energy(after, from + delay, to + delay));
}

bool allFinite(const std::vector<float>& x)
{
    return std::all_of(x.begin(), x.end(), [](float v) { return std::isfinite(v); });
}

}  // namespace

class EchoCancellerTest : public QObject {
    Q_OBJECT
private slots:
    void sizesFollowTheRate_data()
    {
        QTest::addColumn<double>("rate");
        QTest::addColumn<qint64>("blockSize");
        QTest::addColumn<qint64>("partitions");
        QTest::addColumn<qint64>("bands");
        QTest::newRow("16 kHz") << 16000.0 << qint64(128) << qint64(38) << qint64(10);
        QTest::newRow("44.1 kHz") << 44100.0 << qint64(512) << qint64(26) << qint64(12);
        QTest::newRow("48 kHz") << 48000.0 << qint64(512) << qint64(29) << qint64(12);
        QTest::newRow("96 kHz") << 96000.0 << qint64(1024) << qint64(29) << qint64(12);
        QTest::newRow("0 Hz takes the 48 kHz sizes") << 0.0 << qint64(512) << qint64(29) << qint64(12);
        QTest::newRow("3,999 Hz takes the 48 kHz sizes") << 3999.0 << qint64(512) << qint64(29) << qint64(12);
        QTest::newRow("NaN takes the 48 kHz sizes") << std::numeric_limits<double>::quiet_NaN() << qint64(512) << qint64(29) << qint64(12);
    }
    void sizesFollowTheRate()
    {
        QFETCH(double, rate);
        QFETCH(qint64, blockSize);
        QFETCH(qint64, partitions);
        QFETCH(qint64, bands);
        EchoCanceller canceller(rate);
        QCOMPARE(canceller.blockSize(), blockSize);
        QCOMPARE(canceller.partitions(), partitions);
        QCOMPARE(canceller.bandCount(), bands);
        QVERIFY(canceller.sampleRate() == rate || (std::isnan(rate) && std::isnan(canceller.sampleRate())));
    }

    void silentReferencePassesMicrophoneTwoBlocksLate_data()
    {
        QTest::addColumn<double>("rate");
        QTest::newRow("16 kHz") << 16000.0;
        QTest::newRow("48 kHz") << 48000.0;
    }
    void silentReferencePassesMicrophoneTwoBlocksLate()
    {
        QFETCH(double, rate);
        EchoCanceller canceller(rate);
        const int64_t n = canceller.blockSize();
        const auto mic = whiteNoise(int64_t(rate), 0.3f, 1);
        const std::vector<float> silence(mic.size(), 0.0f);
        const auto out = run(canceller, mic, silence);

        for (int64_t i = 0; i < n; ++i)
            QCOMPARE(out[size_t(i)], 0.0f);
        float worst = 0;
        for (int64_t i = 2 * n; i < int64_t(out.size()); ++i)
            worst = std::max(worst, std::abs(out[size_t(i)] - mic[size_t(i - 2 * n)]));
        QVERIFY2(worst < 1e-5f, qPrintable(QString::number(worst)));
        QCOMPARE(canceller.diagnostics().farEndActiveBlocks, 0);
        QCOMPARE(canceller.diagnostics().foregroundUpdates, 0);
    }

    void convergesOnAnEchoPath_data()
    {
        QTest::addColumn<double>("rate");
        QTest::newRow("16 kHz") << 16000.0;
        QTest::newRow("48 kHz") << 48000.0;
    }
    void convergesOnAnEchoPath()
    {
        QFETCH(double, rate);
        EchoCanceller canceller(rate);
        const int64_t n = canceller.blockSize();
        const auto total = int64_t(4 * rate);
        const auto reference = talker(total, rate, 0.5f, 2);
        const auto mic = mix(echoOf(reference, rate, 0.03, 0.5), whiteNoise(total, 0.001f, 3));
        const auto out = run(canceller, mic, reference);

        const double erle = lossDB(mic, out, 2 * n, int64_t(3 * rate), total - 2 * n);
        QVERIFY2(erle > 10, qPrintable(QString("ERLE %1 dB").arg(erle)));
        const auto& d = canceller.diagnostics();
        QVERIFY(d.foregroundUpdates > 0);
        QVERIFY(d.adapted);
        QVERIFY(d.erleDB > 0);
        QVERIFY(d.leakage < 1);
        QVERIFY(d.farEndActiveBlocks > 0);
        QVERIFY(allFinite(out));
    }

    // The adaptive filter alone on the easiest case: white noise through a fixed path, nothing
    // else at the microphone.
    void linearStageLearnsAFixedPath_data()
    {
        QTest::addColumn<double>("rate");
        QTest::newRow("16 kHz") << 16000.0;
        QTest::newRow("44.1 kHz") << 44100.0;
        QTest::newRow("48 kHz") << 48000.0;
    }
    void linearStageLearnsAFixedPath()
    {
        QFETCH(double, rate);
        EchoCanceller canceller(rate);
        const auto total = int64_t(6 * rate);
        const auto reference = whiteNoise(total, 0.5f, 10);
        run(canceller, echoOf(reference, rate, 0.03, 0.5), reference);

        const float erle = canceller.diagnostics().erleDB;
        QVERIFY2(erle > 40, qPrintable(QString("ERLE %1 dB").arg(erle)));
    }

    // The loudspeaker goes quiet mid-call while the reference plays on (muted, unplugged) and
    // someone talks in the room. Subtracting the learnt echo would now add it: the output falls
    // back to the microphone at once, and the filters that no longer fit are dropped, so the
    // talker then comes through untouched.
    void aVanishedEchoPathNeitherAddsEchoNorStays_data()
    {
        QTest::addColumn<double>("rate");
        QTest::newRow("16 kHz") << 16000.0;
        QTest::newRow("48 kHz") << 48000.0;
    }
    void aVanishedEchoPathNeitherAddsEchoNorStays()
    {
        QFETCH(double, rate);
        EchoCanceller canceller(rate);
        const int64_t n = canceller.blockSize();
        const auto cut = int64_t(3 * rate), total = int64_t(4 * rate);
        const auto reference = talker(total, rate, 0.5f, 11);
        const auto echo = echoOf(reference, rate, 0.03, 0.5);
        const auto nearEnd = talker(total, rate, 0.05f, 12);
        const auto noise = whiteNoise(total, 0.001f, 13);
        std::vector<float> mic(static_cast<size_t>(total));
        for (int64_t i = 0; i < total; ++i)
            mic[size_t(i)] = (i < cut ? echo[size_t(i)] : nearEnd[size_t(i)]) + noise[size_t(i)];
        const auto out = run(canceller, mic, reference);

        // The blocks the cut falls in are crossfaded; from the third on nothing is added.
        const double first = lossDB(mic, out, 2 * n, cut + 3 * n, cut + int64_t(0.2 * rate));
        QVERIFY2(first > -1, qPrintable(QString("output over microphone after the cut: %1 dB").arg(-first)));
        QVERIFY(canceller.diagnostics().divergenceResets >= 1);
        const double later = lossDB(mic, out, 2 * n, cut + int64_t(0.5 * rate), total - 2 * n);
        QVERIFY2(std::abs(later) < 1, qPrintable(QString("near-end loss %1 dB").arg(later)));
        QVERIFY(allFinite(out));
    }

    // After learning an echo path, the far end falls silent and someone speaks in the room: the
    // canceller must hand the talker through without eating them.
    void keepsNearEndTalkerWhenFarEndIsSilent()
    {
        const double rate = 48000;
        EchoCanceller canceller(rate);
        const int64_t n = canceller.blockSize();
        const auto half = int64_t(3 * rate);
        auto reference = talker(half, rate, 0.5f, 4);
        reference.resize(size_t(2 * half), 0.0f);
        auto nearEnd = std::vector<float>(size_t(half), 0.0f);
        const auto speech = talker(half, rate, 0.1f, 5);
        nearEnd.insert(nearEnd.end(), speech.begin(), speech.end());
        const auto mic = mix(echoOf(reference, rate, 0.03, 0.5), nearEnd);
        const auto out = run(canceller, mic, reference);

        const double loss = lossDB(mic, out, 2 * n, half + int64_t(0.5 * rate), 2 * half - 2 * n);
        QVERIFY2(std::abs(loss) < 1, qPrintable(QString("near-end loss %1 dB").arg(loss)));
    }

    // A non-finite sample resets the canceller; the block it spoiled goes out as the raw
    // microphone of the block before, nothing non-finite ever leaves, and processing resumes.
    void recoversFromNonFiniteInput_data()
    {
        QTest::addColumn<bool>("inReference");
        QTest::addColumn<float>("bad");
        QTest::addColumn<int>("badBlocks");
        QTest::newRow("NaN in the microphone") << false << std::numeric_limits<float>::quiet_NaN() << 1;
        QTest::newRow("infinity in the microphone") << false << std::numeric_limits<float>::infinity() << 1;
        QTest::newRow("NaN in the reference") << true << std::numeric_limits<float>::quiet_NaN() << 1;
        QTest::newRow("NaN in two blocks running") << false << std::numeric_limits<float>::quiet_NaN() << 2;
    }
    void recoversFromNonFiniteInput()
    {
        QFETCH(bool, inReference);
        QFETCH(float, bad);
        QFETCH(int, badBlocks);
        const double rate = 48000;
        EchoCanceller canceller(rate);
        const int64_t n = canceller.blockSize();
        const int64_t blocks = 40, spoiled = 20;
        auto mic = whiteNoise(blocks * n, 0.3f, 6);
        std::vector<float> reference(mic.size(), 0.0f);
        for (int b = 0; b < badBlocks; ++b)
            (inReference ? reference : mic)[size_t((spoiled + b) * n + 5)] = bad;
        const auto out = run(canceller, mic, reference);

        QVERIFY(allFinite(out));
        QCOMPARE(canceller.diagnostics().divergenceResets, badBlocks);
        QCOMPARE(canceller.diagnostics().leakage, 1.0f);
        // The recovered block: the raw microphone of the block before, two blocks late.
        for (int64_t i = 0; i < n; ++i)
            QCOMPARE(out[size_t((spoiled + 1) * n + i)], mic[size_t((spoiled - 1) * n + i)]);
        // Two blocks after the last spoiled one, the microphone passes again as before.
        float worst = 0;
        for (int64_t i = (spoiled + badBlocks + 3) * n; i < blocks * n; ++i)
            worst = std::max(worst, std::abs(out[size_t(i)] - mic[size_t(i - 2 * n)]));
        QVERIFY2(worst < 1e-5f, qPrintable(QString::number(worst)));
    }

    void resetReturnsToTheFreshState()
    {
        const double rate = 16000;
        const auto total = int64_t(3 * rate);
        const auto reference = talker(total, rate, 0.5f, 8);
        const auto mic = mix(echoOf(reference, rate, 0.02, 0.5), whiteNoise(total, 0.001f, 9));

        EchoCanceller used(rate);
        run(used, mic, reference);
        std::vector<float> partial(100);
        used.process(mic.data(), reference.data(), partial.data(), 100);  // leave a block half full
        QVERIFY(used.diagnostics().foregroundUpdates > 0);
        used.reset();
        const auto& d = used.diagnostics();
        QCOMPARE(d.farEndActiveBlocks, 0);
        QCOMPARE(d.foregroundUpdates, 0);
        QCOMPARE(d.backgroundResets, 0);
        QCOMPARE(d.divergenceResets, 0);
        QCOMPARE(d.relearns, 0);
        QCOMPARE(d.leakage, 1.0f);
        QCOMPARE(d.erleDB, 0.0f);
        QCOMPARE(d.adapted, false);

        EchoCanceller fresh(rate);
        QVERIFY(run(used, mic, reference) == run(fresh, mic, reference));
    }
};

QTEST_GUILESS_MAIN(EchoCancellerTest)
#include "tst_audio_echo_canceller.moc"
