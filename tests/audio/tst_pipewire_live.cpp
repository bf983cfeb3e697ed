// Recording on a real PipeWire server of the test's own, through the PipeWire backend, the engine
// and the writer: all audio, one app (native and pulse clients), the recorded app's stream ending,
// the microphone removed, the default sink switched, the server restarted, and the defaults a
// freshly made backend knows. Each case prints its figures: frames written against wall time,
// the tones' levels in each channel, frames lost.

#include "audio/AudioProcessCatalog.h"
#include "audio/RecordingEngine.h"
#include "audio/RecordingWriter.h"
#include "platform/audiohal/PipeWireAudioHardware.h"
#include "platform/paths/Paths.h"
#include "support/LogFile.h"
#include "support/PipeWireRig.h"
#include "support/TempHome.h"

#include <QElapsedTimer>
#include <QTest>

#include <sndfile.h>

#include <cmath>

using namespace harkwell;
using test::PipeWireRig;

namespace {

constexpr double kMicTone = 300;
constexpr float kMicLevel = 0.25f;

// A tenth of a second: every tone the cases play fits whole cycles into it.
constexpr qint64 kBlock = 4800;

// Whether a block of interleaved stereo holds a cycle the server skipped: the recorder writes
// silence in both channels there, where no tone stays near zero for more than a sample.
bool holdsSkippedCycle(const std::vector<float>& samples, qint64 first, qint64 last)
{
    int run = 0;
    for (qint64 i = first; i < last; ++i) {
        run = std::abs(samples[size_t(2 * i)]) < 1e-6f && std::abs(samples[size_t(2 * i + 1)]) < 1e-6f ? run + 1 : 0;
        if (run >= 32)
            return true;
    }
    return false;
}

// The amplitude of one frequency in one channel of interleaved stereo, over [from, to) seconds:
// the mean of its amplitude in each block without a skipped cycle. Block by block, since the
// players' audio resumes after a skipped cycle where it stopped, a phase away from before; the
// level is the tone's, the loss is counted apart.
double level(const std::vector<float>& samples, int channel, double frequency, double from, double to)
{
    const qint64 first = std::max<qint64>(0, qint64(from * 48000)), last = std::min<qint64>(qint64(to * 48000), qint64(samples.size() / 2));
    double sum = 0;
    int blocks = 0;
    for (qint64 block = first; block + kBlock <= last; block += kBlock) {
        if (holdsSkippedCycle(samples, std::max(first, block - 32), std::min(last, block + kBlock + 32)))
            continue;
        double re = 0, im = 0;
        for (qint64 i = block; i < block + kBlock; ++i) {
            const double phase = 2 * M_PI * frequency * double(i) / 48000;
            re += samples[size_t(2 * i + channel)] * std::cos(phase);
            im += samples[size_t(2 * i + channel)] * std::sin(phase);
        }
        sum += 2 * std::hypot(re, im) / double(kBlock);
        ++blocks;
    }
    return blocks > 0 ? sum / blocks : -1;
}

struct Take {
    std::vector<float> samples;  // interleaved stereo, all segments in order
    qint64 frames = 0;
    double wallSeconds = 0;
    int64_t dropped = 0;  // the ring was full
    int64_t lost = 0;     // the server skipped cycles; silence in the take
    int segments = 0;
    QStringList errors;

    double seconds() const { return double(frames) / 48000; }
    double at(int channel, double frequency, double from, double to) const
    {
        return level(samples, channel, frequency, from, to);
    }
};

// One recording: the engine into the writer for `seconds`, `during` run at the given moments.
class Recording {
public:
    Recording(RecorderHAL& hal, const RecordingOptions& options, const QString& id)
        : m_engine(options, hal), m_id(id)
    {
        RecordingSidecar sidecar;
        sidecar.id = id;
        m_writer = std::make_unique<RecordingWriter>(RecordingPaths::workFolder(id), sidecar);
        m_engine.onError = [this](const QString& message) { m_take.errors.append(message); };
        m_engine.onFormatChange = [this](double rate, const std::optional<QString>& microphone) {
            if (!m_timer.isValid())
                return;  // the start's own format
            if (!m_writer->beginSegment(rate, microphone, QStringLiteral("device-change"), false, 0.0))
                m_take.errors.append(QStringLiteral("the writer could not cut a segment"));
        };
    }
    std::expected<void, RecordingEngine::EngineError> start()
    {
        auto started = m_engine.start();
        if (!started)
            return started;
        // Wall time counts from the first audio: connecting the streams takes a moment. It starts
        // before the segment opens, since the ring keeps what comes meanwhile (with the
        // microphone, opening the segment prepares the echo canceller, which takes a while).
        QElapsedTimer waited;
        waited.start();
        while (m_engine.meter().callbacks.load() == 0 && waited.elapsed() < 3000)
            QTest::qWait(1);
        m_timer.start();
        if (!m_writer->beginSegment(m_engine.sampleRate(), m_engine.microphoneName(), QStringLiteral("start"), false, 0.0))
            return std::unexpected(RecordingEngine::EngineError{QStringLiteral("no segment"), {}});
        m_writer->startDraining(m_engine.ring());
        return {};
    }
    Take finish()
    {
        m_take.wallSeconds = double(m_timer.nsecsElapsed()) / 1e9;
        m_take.dropped = m_engine.meter().droppedFrames.load();
        m_take.lost = m_engine.meter().lostFrames.load();
        m_engine.stop();
        const RecordingSidecar sidecar = m_writer->finish();
        for (const auto& segment : sidecar.segments) {
            SF_INFO info{};
            SNDFILE* file = sf_open(QFile::encodeName(RecordingPaths::workFolder(m_id) + "/" + segment.file).constData(),
                                    SFM_READ, &info);
            if (!file)
                continue;
            const size_t at = m_take.samples.size();
            m_take.samples.resize(at + size_t(info.frames * info.channels));
            sf_readf_float(file, m_take.samples.data() + at, info.frames);
            sf_close(file);
            m_take.frames += info.frames;
            ++m_take.segments;
        }
        return m_take;
    }
    RecordingEngine& engine() { return m_engine; }

private:
    RecordingEngine m_engine;
    QString m_id;
    std::unique_ptr<RecordingWriter> m_writer;
    QElapsedTimer m_timer;
    Take m_take;
};

void report(const char* name, const Take& take, const QStringList& levels)
{
    qInfo("%s: %lld frames written over %.3f s of wall time (%.0f frames), %d segment(s), %lld dropped, %lld lost "
          "to skipped cycles; %s",
          name, take.frames, take.wallSeconds, take.wallSeconds * 48000, take.segments, qint64(take.dropped),
          qint64(take.lost), qPrintable(levels.join(", ")));
}

// A loaded machine makes the server skip cycles now and then; the take keeps them as silence
// and counts them. More than a tenth of the take lost would be a fault of the recorder's own.
bool lossIsBounded(const Take& take) { return double(take.lost) <= 0.1 * take.seconds() * 48000; }

QString figure(const char* what, double value) { return QStringLiteral("%1 %2").arg(QLatin1String(what)).arg(value, 0, 'f', 4); }

}  // namespace

class PipeWireLiveTest : public QObject {
    Q_OBJECT

    std::unique_ptr<PipeWireRig> rig;
    std::unique_ptr<test::TempHome> home;
    std::unique_ptr<PipeWireAudioHardware> hal;

private slots:
    void initTestCase()
    {
        home = std::make_unique<test::TempHome>();
        rig = std::make_unique<PipeWireRig>();
        QVERIFY2(rig->error().isEmpty(), qPrintable(rig->error()));
        QVERIFY(rig->feedMicrophone(kMicTone, kMicLevel, 120));
        hal = std::make_unique<PipeWireAudioHardware>();
        QCOMPARE(hal->connectionError(), std::nullopt);
    }
    void cleanupTestCase()
    {
        // An engine's timed loops (levels, device checks) end at their next wake-up after it goes;
        // let them wake, so their frames are freed before the process ends.
        QTest::qWait(int((RecordingEngine::kDeviceCheckDelay + RecordingEngine::kLevelInterval).count()) * 2);
        hal.reset();
        rig.reset();
        home.reset();
    }

    // Right after it is made, a backend knows the default devices.
    void defaultsAreKnownOnceMade()
    {
        for (int run = 0; run < 10; ++run) {
            PipeWireAudioHardware fresh;
            const auto output = fresh.readUInt32(RecorderHAL::kSystemObject, AudioProperty::DefaultOutputDevice, AudioScope::Global);
            const auto input = fresh.readUInt32(RecorderHAL::kSystemObject, AudioProperty::DefaultInputDevice, AudioScope::Global);
            QVERIFY(output && input);
            QCOMPARE(fresh.string(*output, AudioProperty::DeviceUid), std::optional<QString>(PipeWireRig::kSinkName));
            QCOMPARE(fresh.string(*input, AudioProperty::DeviceUid), std::optional<QString>(PipeWireRig::kMicrophoneName));
            // A null sink belongs to no sound card.
            QCOMPARE(fresh.readUInt32(*output, AudioProperty::TransportType, AudioScope::Global), RecorderHAL::Result<quint32>(AudioTransport::kVirtual));
        }
    }

    void allAudio_data()
    {
        QTest::addColumn<bool>("microphone");
        QTest::newRow("system audio only") << false;
        QTest::newRow("with the microphone") << true;
    }
    void allAudio()
    {
        QFETCH(bool, microphone);
        const qint64 player = rig->play(PipeWireRig::Client::Native, 440, 0.3f, 4);
        QVERIFY(player);
        QTest::qWait(300);
        Recording recording(*hal, {RecordingSource::allAudio(), microphone, std::nullopt}, "all");
        QVERIFY2(recording.start(), "start");
        QTest::qWait(2000);
        const Take take = recording.finish();
        rig->stopPlayer(player);

        const double system = microphone ? take.at(1, 440, 0.3, 1.7) : take.at(0, 440, 0.3, 1.7);
        const double mic = microphone ? take.at(0, kMicTone, 0.3, 1.7) : -1;
        const double micLeak = microphone ? take.at(0, 440, 0.3, 1.7) : -1;
        report(microphone ? "all audio + microphone" : "all audio", take,
               {figure("system 440 Hz (played 0.3)", system), figure("microphone 300 Hz (played 0.25)", mic),
                figure("440 Hz in the microphone channel", micLeak)});
        QVERIFY(take.errors.isEmpty());
        QCOMPARE(take.dropped, 0);
        QVERIFY2(lossIsBounded(take), "skipped cycles stay a small part of the take");
        QVERIFY2(std::abs(take.seconds() - take.wallSeconds) < 0.15, "frames written follow wall time");
        QVERIFY(std::abs(system - 0.3) < 0.01);
        if (microphone) {
            QVERIFY(std::abs(mic - kMicLevel) < 0.01);
            QVERIFY(micLeak < 0.001);
        } else {
            QVERIFY(std::abs(take.at(1, 440, 0.3, 1.7) - 0.3) < 0.01);
        }
    }

    // Only the chosen app's tone is recorded, whether it is a pulse or a native client.
    void oneApp_data()
    {
        QTest::addColumn<bool>("pulse");
        QTest::newRow("native client (pw-play)") << false;
        QTest::newRow("pulse client (paplay)") << true;
    }
    void oneApp()
    {
        QFETCH(bool, pulse);
        const auto recorded = pulse ? PipeWireRig::Client::Pulse : PipeWireRig::Client::Native;
        const auto other = pulse ? PipeWireRig::Client::Native : PipeWireRig::Client::Pulse;
        const qint64 a = rig->play(recorded, 440, 0.3f, 4);
        const qint64 b = rig->play(other, 660, 0.2f, 4);
        QVERIFY(a && b);
        const QString bundleId = pulse ? "pacat" : "pw-cat";
        AudioProcessCatalog catalog(*hal);
        std::optional<AudioApp> app;
        QTRY_VERIFY_WITH_TIMEOUT(([&] {
                                     for (const AudioApp& candidate : catalog.audioApps())
                                         if (candidate.bundleId == bundleId && candidate.isPlaying)
                                             app = candidate;
                                     return app.has_value();
                                 }()),
                                 3000);
        Recording recording(*hal, {RecordingSource::app(app->bundleId, app->name), false, std::nullopt}, "app");
        QVERIFY2(recording.start(), "start");
        QTest::qWait(1500);
        const Take take = recording.finish();
        rig->stopPlayer(a);
        rig->stopPlayer(b);

        const double own = take.at(0, 440, 0.2, 1.3), others = take.at(0, 660, 0.2, 1.3);
        report(pulse ? "one app, pulse" : "one app, native", take,
               {figure("recorded app 440 Hz (played 0.3)", own), figure("other app 660 Hz (played 0.2)", others)});
        QVERIFY(take.errors.isEmpty());
        QCOMPARE(take.dropped, 0);
        QVERIFY2(lossIsBounded(take), "skipped cycles stay a small part of the take");
        QVERIFY(std::abs(take.seconds() - take.wallSeconds) < 0.15);
        QVERIFY(std::abs(own - 0.3) < 0.01);
        QVERIFY(others < 0.001);
    }

    // Two processes of one program: one plays into the sink, the other feeds a virtual
    // microphone. Only the first is the app's sound; the feed is the user's voice path.
    void oneAppLeavesAStreamIntoASourceAlone()
    {
        constexpr double kFeedTone = 350;
        QVERIFY(rig->feedMicrophone(kFeedTone, 0.25f, 4, false));
        const qint64 player = rig->play(PipeWireRig::Client::Native, 440, 0.3f, 4);
        QVERIFY(player);
        AudioProcessCatalog catalog(*hal);
        std::optional<AudioApp> app;
        QTRY_VERIFY_WITH_TIMEOUT(([&] {
                                     for (const AudioApp& candidate : catalog.audioApps())
                                         if (candidate.bundleId == "pw-cat" && candidate.isPlaying)
                                             app = candidate;
                                     return app.has_value();
                                 }()),
                                 3000);
        Recording recording(*hal, {RecordingSource::app(app->bundleId, app->name), false, std::nullopt}, "app-feed");
        QVERIFY2(recording.start(), "start");
        QTest::qWait(1500);
        const Take take = recording.finish();
        rig->stopPlayer(player);

        const double own = take.at(0, 440, 0.2, 1.3), feed = take.at(0, kFeedTone, 0.2, 1.3);
        report("one app, a second process feeding a source", take,
               {figure("played 440 Hz (0.3)", own), figure("fed into the source 350 Hz (0.25)", feed)});
        QVERIFY(take.errors.isEmpty());
        QVERIFY(std::abs(own - 0.3) < 0.01);
        QVERIFY(feed < 0.001);
    }

    // The recorded app's stream ends: its channel falls silent and never carries the
    // microphone, while the microphone and the time go on.
    void theRecordedAppsStreamEnds()
    {
        // The tone's end is placed in the take by the clock, since finding the app can take a
        // second on a busy machine; it plays from before the take starts, as finding it needs.
        constexpr double kToneSeconds = 2.5;
        QElapsedTimer sincePlay;
        sincePlay.start();
        const qint64 player = rig->play(PipeWireRig::Client::Native, 440, 0.3f, kToneSeconds);
        QVERIFY(player);
        AudioProcessCatalog catalog(*hal);
        std::optional<AudioApp> app;
        QTRY_VERIFY_WITH_TIMEOUT(([&] {
                                     for (const AudioApp& candidate : catalog.audioApps())
                                         if (candidate.bundleId == "pw-cat" && candidate.isPlaying)
                                             app = candidate;
                                     return app.has_value();
                                 }()),
                                 3000);
        Recording recording(*hal, {RecordingSource::app(app->bundleId, app->name), true, std::nullopt}, "ends");
        QVERIFY2(recording.start(), "start");
        const double endsAt = kToneSeconds - double(sincePlay.elapsed()) / 1000;  // in the take, at the earliest
        QVERIFY2(endsAt > 0.5, "the app was found too late to hear it end");
        QTest::qWait(int((endsAt + 1.2) * 1000));
        const RecordingEngine::Phase phase = recording.engine().phase();
        const Take take = recording.finish();

        const double early = take.at(1, 440, 0.05, std::min(endsAt - 0.1, 1.0));
        const double micInSystem = take.at(1, kMicTone, endsAt + 0.3, endsAt + 1.1);
        const double micLate = take.at(0, kMicTone, endsAt + 0.3, endsAt + 1.1);
        report("recorded app ends", take,
               {figure("app 440 Hz before the end (played 0.3, system = mean of both sides)", early),
                figure("microphone 300 Hz in the system channel after", micInSystem),
                figure("microphone 300 Hz after (played 0.25)", micLate)});
        QCOMPARE(phase, RecordingEngine::Phase::Running);
        QVERIFY(take.errors.isEmpty());
        QVERIFY(std::abs(early - 0.3) < 0.01);
        QVERIFY(micInSystem < 0.001);
        QVERIFY(std::abs(micLate - kMicLevel) < 0.01);
        QVERIFY(std::abs(take.seconds() - take.wallSeconds) < 0.15);
    }

    // The microphone goes away: its channel never carries system audio, and the recording goes
    // on without it.
    void theMicrophoneIsRemoved()
    {
        const qint64 player = rig->play(PipeWireRig::Client::Native, 440, 0.3f, 5);
        QVERIFY(player);
        QTest::qWait(300);
        Recording recording(*hal, {RecordingSource::allAudio(), true, std::nullopt}, "mic-gone");
        QVERIFY2(recording.start(), "start");
        QTest::qWait(1000);
        QVERIFY(rig->removeNode(PipeWireRig::kMicrophoneName));
        QTest::qWait(2000);
        const RecordingEngine::Phase phase = recording.engine().phase();
        const Take take = recording.finish();
        rig->stopPlayer(player);
        // Put the microphone back for the cases after this one.
        QVERIFY(rig->addMicrophone());
        QVERIFY(rig->feedMicrophone(kMicTone, kMicLevel, 120));

        const double systemInMic = take.at(0, 440, 1.1, take.seconds() - 0.1);
        const double system = take.at(1, 440, 0.2, take.seconds() - 0.1);
        report("microphone removed", take,
               {figure("system 440 Hz in the microphone channel after removal", systemInMic),
                figure("system 440 Hz over the whole take (played 0.3, mean of both sides)", system)});
        QCOMPARE(phase, RecordingEngine::Phase::Running);
        QVERIFY(take.errors.isEmpty());
        QVERIFY(systemInMic < 0.001);
        QVERIFY(std::abs(take.seconds() - take.wallSeconds) < 0.5);  // less the rebuild's moment
    }

    // A new default sink: the recording follows it.
    void theDefaultSinkIsSwitched()
    {
        QVERIFY(rig->addSink(PipeWireRig::kOtherSinkName, "Other Sink"));
        const qint64 first = rig->play(PipeWireRig::Client::Native, 440, 0.3f, 5);
        const qint64 second = rig->play(PipeWireRig::Client::Native, 550, 0.2f, 5, PipeWireRig::kOtherSinkName);
        QVERIFY(first && second);
        QTest::qWait(300);
        Recording recording(*hal, {RecordingSource::allAudio(), false, std::nullopt}, "switch");
        QVERIFY2(recording.start(), "start");
        QTest::qWait(1000);
        QVERIFY(rig->setDefaultSink(PipeWireRig::kOtherSinkName));
        QTest::qWait(2500);
        const Take take = recording.finish();
        rig->stopPlayer(first);
        rig->stopPlayer(second);
        QVERIFY(rig->setDefaultSink(PipeWireRig::kSinkName));
        QVERIFY(rig->removeNode(PipeWireRig::kOtherSinkName));

        const double before = take.at(0, 440, 0.1, 0.9), after = take.at(0, 550, take.seconds() - 0.6, take.seconds() - 0.1);
        report("default sink switched", take,
               {figure("first sink 440 Hz before (played 0.3)", before), figure("second sink 550 Hz after (played 0.2)", after)});
        QVERIFY(take.errors.isEmpty());
        QVERIFY(take.segments >= 2);
        QVERIFY(std::abs(before - 0.3) < 0.01);
        QVERIFY(std::abs(after - 0.2) < 0.01);
    }

    // The server restarts under a recording: the recording carries on once the server is back,
    // and the next recording starts on the same backend.
    void theServerRestarts()
    {
        Recording recording(*hal, {RecordingSource::allAudio(), false, std::nullopt}, "restart");
        QVERIFY2(recording.start(), "start");
        QTest::qWait(500);
        QElapsedTimer restart;
        restart.start();
        QVERIFY(rig->restartServer());
        const double restartSeconds = double(restart.elapsed()) / 1000;
        const int64_t callbacksBefore = recording.engine().meter().callbacks.load();
        QVERIFY(rig->feedMicrophone(kMicTone, kMicLevel, 120));
        const qint64 player = rig->play(PipeWireRig::Client::Native, 440, 0.3f, 6);
        // The engine waits up to 30 s for the restarted server's output before it rebuilds.
        QTRY_VERIFY_WITH_TIMEOUT(recording.engine().phase() != RecordingEngine::Phase::Running
                                     || recording.engine().meter().callbacks.load() > callbacksBefore + 5,
                                 35000);
        QTest::qWait(1500);
        const RecordingEngine::Phase phase = recording.engine().phase();
        const Take take = recording.finish();
        const double after = take.at(0, 440, take.seconds() - 1.0, take.seconds() - 0.1);
        report("server restarted", take,
               {QStringLiteral("restart took %1 s").arg(restartSeconds, 0, 'f', 2),
                QStringLiteral("engine %1").arg(phase == RecordingEngine::Phase::Running ? "carried on" : "ended"),
                figure("440 Hz played after the restart (0.3)", after), take.errors.join(" ")});
        QCOMPARE(phase, RecordingEngine::Phase::Running);
        QVERIFY2(take.errors.isEmpty(), qPrintable(take.errors.join(" ")));
        QVERIFY(std::abs(after - 0.3) < 0.01);

        Recording next(*hal, {RecordingSource::allAudio(), true, std::nullopt}, "after-restart");
        const auto started = next.start();
        QVERIFY2(started, started ? "" : qPrintable(started.error().message));
        QTest::qWait(1000);
        const Take second = next.finish();
        rig->stopPlayer(player);
        report("next recording after the restart", second,
               {figure("system 440 Hz (played 0.3)", second.at(1, 440, 0.2, 0.9)),
                figure("microphone 300 Hz (played 0.25)", second.at(0, kMicTone, 0.2, 0.9))});
        QVERIFY(std::abs(second.at(0, kMicTone, 0.2, 0.9) - kMicLevel) < 0.01);
        QVERIFY(std::abs(second.at(1, 440, 0.2, 0.9) - 0.3) < 0.01);
    }
};

QTEST_GUILESS_MAIN(PipeWireLiveTest)
#include "tst_pipewire_live.moc"
