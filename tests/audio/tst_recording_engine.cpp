// The recording engine on the simulated audio system: what it records (frame for frame, through
// the writer into segment files), what it builds and tears down, how it fails to start, and how it
// follows the devices while it runs (rebuilds, retries, rate and output changes, wake, restarts).

#include "audio/AudioRingBuffer.h"
#include "audio/RecorderDeviceNames.h"
#include "audio/RecordingEngine.h"
#include "audio/RecordingWriter.h"
#include "foundation/HarkwellLog.h"
#include "platform/clock/FakeClock.h"
#include "platform/paths/Paths.h"
#include "support/LogFile.h"
#include "support/SimulatedAudioRig.h"
#include "support/TempHome.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

#include <sndfile.h>

#include <unistd.h>

using namespace harkwell;
using namespace std::chrono_literals;
using Tone = SimulatedAudioHardware::Tone;
using Call = SimulatedAudioHardware::Call;

namespace {

constexpr char kZoomId[] = "us.zoom.xos";
constexpr char kZoomName[] = "zoom.us";
constexpr qint64 kZoomPid = 5100;
constexpr qint64 kMusicPid = 5200;

using test::logText;

qsizetype logCount(const QString& text) { return logText().count(text); }

std::vector<float> readFrames(const QString& path, qint64* frames = nullptr)
{
    SF_INFO info{};
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!file)
        return {};
    std::vector<float> samples(size_t(info.frames * info.channels));
    sf_readf_float(file, samples.data(), info.frames);
    sf_close(file);
    if (frames)
        *frames = info.frames;
    return samples;
}

RecordingOptions allAudio(bool microphone, std::optional<QString> uid = std::nullopt)
{
    return {RecordingSource::allAudio(), microphone, std::move(uid)};
}

RecordingOptions zoom(bool microphone)
{
    return {RecordingSource::app(kZoomId, kZoomName), microphone, std::nullopt};
}

// The laptop with Zoom and a music player playing, the engine on a fake clock, and what its
// callbacks reported.
struct Fixture {
    test::TempHome home;
    FakeClock clock;
    test::SimulatedAudioRig rig;
    SimulatedAudioHardware& hal = rig.hal;
    AudioObjectId zoomProcess = rig.addApp(kZoomId, kZoomName, kZoomPid, true, {500, 0.3f}, {700, 0.2f});
    AudioObjectId musicProcess = rig.addApp("com.example.music", "Music", kMusicPid, true, {220, 0.1f}, {330, 0.1f});
    // This process playing too: the all-audio tap must leave it out.
    AudioObjectId ownProcess = hal.addProcess({qint64(::getpid()), "app.harkwell.Harkwell", true, {900, 0.5f}, {900, 0.5f}});

    std::unique_ptr<RecordingEngine> engine;
    QList<RecordingLevels> levels;
    QList<QPair<double, std::optional<QString>>> formats;
    QStringList errors;
    QList<AudioOutputKind> kinds;

    RecordingEngine& make(const RecordingOptions& options)
    {
        engine = std::make_unique<RecordingEngine>(options, hal, clock);
        engine->onLevels = [this](const RecordingLevels& reading) { levels.append(reading); };
        engine->onFormatChange = [this](double rate, const std::optional<QString>& mic) { formats.append({rate, mic}); };
        engine->onError = [this](const QString& message) { errors.append(message); };
        engine->onOutputKindChange = [this](AudioOutputKind kind) { kinds.append(kind); };
        return *engine;
    }

    // Lets queued notices land, then moves the fake clock by `step` and lets the sleepers due run.
    void pass(std::chrono::milliseconds step = 0ms)
    {
        settle();
        if (step > 0ms)
            clock.advance(step);
        settle();
    }
    static void settle()
    {
        for (int i = 0; i < 5; ++i)
            QCoreApplication::processEvents();
    }
};

}  // namespace

class RecordingEngineTest : public QObject {
    Q_OBJECT
private slots:
    void recordsWhatTheSimulationPlays_data()
    {
        QTest::addColumn<bool>("app");
        QTest::addColumn<bool>("microphone");
        QTest::newRow("all audio, microphone off") << false << false;
        QTest::newRow("all audio, microphone on") << false << true;
        QTest::newRow("one app, microphone off") << true << false;
        QTest::newRow("one app, microphone on") << true << true;
    }
    void recordsWhatTheSimulationPlays()
    {
        QFETCH(bool, app);
        QFETCH(bool, microphone);
        Fixture f;
        RecordingEngine& engine = f.make(app ? zoom(microphone) : allAudio(microphone));
        QVERIFY(engine.start());
        QCOMPARE(engine.phase(), RecordingEngine::Phase::Running);
        QCOMPARE(engine.sampleRate(), 48000.0);
        QCOMPARE(engine.microphoneName(), microphone ? std::optional<QString>(test::SimulatedAudioRig::kMicrophoneName)
                                                     : std::nullopt);
        QCOMPARE(engine.outputKind(), AudioOutputKind::BuiltInSpeakers);
        QCOMPARE(engine.outputLatency(), (480.0 + 512.0) / 48000.0);

        const QList<RecorderHAL::TapDescription> taps = f.hal.taps();
        QCOMPARE(taps.size(), 1);
        QCOMPARE(taps[0].exclusive, !app);
        QCOMPARE(taps[0].processes, app ? QList<AudioObjectId>{f.zoomProcess} : QList<AudioObjectId>{f.ownProcess});
        QVERIFY(taps[0].isPrivate && !taps[0].muted);
        const QList<RecorderHAL::AggregateDescription> aggregates = f.hal.aggregates();
        QCOMPARE(aggregates.size(), 1);
        QVERIFY(aggregates[0].uid.startsWith(kRecorderAggregateUidPrefix));
        QCOMPARE(aggregates[0].name, QString("harkwell Recorder"));
        QCOMPARE(aggregates[0].clockDeviceUid, std::optional<QString>(test::SimulatedAudioRig::kSpeakersUid));
        QCOMPARE(aggregates[0].subDevices.size(), microphone ? 2 : 1);
        if (microphone)
            QVERIFY(aggregates[0].subDevices[1].driftCompensation);
        QCOMPARE(aggregates[0].taps.size(), 1);
        QCOMPARE(aggregates[0].taps[0].uid, taps[0].uuid);

        RecordingSidecar sidecar;
        sidecar.id = "e2e";
        RecordingWriter writer(RecordingPaths::workFolder("e2e"), sidecar, f.clock);
        QVERIFY(writer.beginSegment(engine.sampleRate(), engine.microphoneName(), "start", false, 0.0));
        writer.startDraining(engine.ring());
        const qint64 first = f.hal.position();
        for (qint64 block : {480, 512, 4096, 10000, 37})
            QCOMPARE(f.hal.deliver(block), 1);
        const qint64 total = 480 + 512 + 4096 + 10000 + 37;
        QTRY_COMPARE_WITH_TIMEOUT(engine.ring()->readCount(), total, 10000);
        writer.finish();
        engine.stop();

        qint64 frames = 0;
        const std::vector<float> samples = readFrames(RecordingPaths::workFolder("e2e") + "/segment-001.caf", &frames);
        QCOMPARE(frames, total);
        const Tone micTone{300, 0.25f};
        for (qint64 i = 0; i < total; ++i) {
            const qint64 n = first + i;
            const float left = f.hal.tapSample(taps[0], 0, n, 48000);
            const float right = f.hal.tapSample(taps[0], 1, n, 48000);
            const float wantL = microphone ? micTone.sample(n, 48000) : left;
            const float wantR = microphone ? (left + right) * 0.5f : right;
            if (samples[size_t(2 * i)] != wantL || samples[size_t(2 * i + 1)] != wantR)
                QFAIL(qPrintable(QString("frame %1: (%2, %3), expected (%4, %5)")
                                     .arg(i).arg(samples[size_t(2 * i)]).arg(samples[size_t(2 * i + 1)]).arg(wantL).arg(wantR)));
        }
        // What was recorded is what the apps played, never this process's own sound.
        const Tone zoomLeft{500, 0.3f}, musicLeft{220, 0.1f};
        const qint64 probe = first + 1234;
        const float expectedLeft = zoomLeft.sample(probe, 48000) + (app ? 0.0f : musicLeft.sample(probe, 48000));
        QCOMPARE(f.hal.tapSample(taps[0], 0, probe, 48000), expectedLeft);
        QCOMPARE(f.hal.ioThreadNames(), QStringList{"harkwell.record"});  // Linux keeps 15 bytes

        const QString log = logText();
        QVERIFY(log.contains(QString("[harkwell] recorder: engine started (%1, 48000 Hz, microphone %2)")
                                 .arg(app ? kZoomName : "All audio", microphone ? "MacBook Pro Microphone" : "off")));
        QVERIFY(log.contains(QString("tap created (%1, 2 ch, 48000 Hz, %2 1 process(es))")
                                 .arg(app ? kZoomName : "All audio", app ? "including" : "excluding")));
        QVERIFY(log.contains("output MacBook Pro Speakers is builtInSpeakers"));
        QVERIFY(log.contains("output MacBook Pro Speakers plays 21 ms after the tap; echo reference delayed 0 ms"));
    }

    void levelsEveryTenthOfASecond()
    {
        Fixture f;
        RecordingEngine& engine = f.make(allAudio(true));
        QVERIFY(engine.start());
        f.hal.deliver(4800);
        f.pass(100ms);
        QCOMPARE(f.levels.size(), 1);
        QVERIFY(qAbs(f.levels[0].micPeak - 0.25f) < 0.01f);
        QVERIFY(qAbs(f.levels[0].micRms - 0.25f / std::sqrt(2.0f)) < 0.01f);
        QVERIFY(f.levels[0].systemPeak > 0.1f && f.levels[0].systemPeak <= 1.0f);
        // No callback since the last tick: four zeros.
        f.pass(100ms);
        QCOMPARE(f.levels.size(), 2);
        QCOMPARE(f.levels[1], RecordingLevels{});
        // Paused: nothing reaches the ring, the meters still move.
        engine.meter().paused.store(1);
        const int64_t written = engine.ring()->writeCount();
        f.hal.deliver(4800);
        QCOMPARE(engine.ring()->writeCount(), written);
        f.pass(100ms);
        QVERIFY(f.levels.last().micPeak > 0.2f);
        engine.stop();
        f.pass(100ms);
        QCOMPARE(f.levels.size(), 3);
    }

    void fullRingDropsAreLoggedAtMostEveryFiveSeconds()
    {
        Fixture f;
        RecordingEngine& engine = f.make(allAudio(false));
        QVERIFY(engine.start());
        f.hal.deliver(RecordingEngine::kRingFrames + 1000);
        f.pass(100ms);
        QVERIFY(logText().contains("ring full, 1000 frame(s) dropped so far (the writer is not keeping up)"));
        f.hal.deliver(500);
        f.pass(100ms);
        QCOMPARE(logCount("ring full"), 1);
        f.pass(5s);
        QVERIFY(logText().contains("ring full, 1500 frame(s) dropped so far"));
    }

    void stopReleasesEverything()
    {
        Fixture f;
        RecordingEngine& engine = f.make(zoom(true));
        engine.stop();  // before start: harmless, and silent
        QCOMPARE(logCount("engine stopped"), 0);

        RecordingEngine& second = f.make(zoom(true));
        QVERIFY(second.start());
        QVERIFY(f.hal.listenerCount() > 0);
        QCOMPARE(f.hal.listenerCount(RecorderHAL::kSystemObject, AudioProperty::ProcessObjectList), 1);
        QCOMPARE(f.hal.startedCount(), 1);
        second.stop();
        second.stop();
        QCOMPARE(f.hal.aggregates().size(), 0);
        QCOMPARE(f.hal.taps().size(), 0);
        QCOMPARE(f.hal.ioProcCount(), 0);
        QCOMPARE(f.hal.listenerCount(), 0);
        QCOMPARE(f.hal.deliver(480), 0);
        QCOMPARE(logCount("engine stopped"), 1);
        QCOMPARE(second.phase(), RecordingEngine::Phase::Stopped);
        const auto again = second.start();
        QVERIFY(!again);
        QCOMPARE(again.error().message, QString("This recorder was already stopped; start a new recording."));
        // Destroying an engine mid-recording releases its devices too.
        RecordingEngine& third = f.make(allAudio(false));
        QVERIFY(third.start());
        f.engine.reset();
        QCOMPARE(f.hal.aggregates().size(), 0);
        QCOMPARE(f.hal.taps().size(), 0);
        QCOMPARE(f.hal.listenerCount(), 0);
    }

    void startFailures_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("message");  // a regular expression
        QTest::newRow("tap") << "tap" << "^Creating the system audio tap \\(AudioHardwareCreateProcessTap\\) failed: 'what' \\(2003329396\\)$";
        QTest::newRow("tap format") << "format" << "^Reading 'tfmt' of audio object \\d+ failed: -50$";
        QTest::newRow("silent tap") << "channels" << "^The system audio tap reports no channels\\.$";
        QTest::newRow("no output") << "output" << "^No audio output device is available; the system audio tap needs one as its clock\\.$";
        QTest::newRow("aggregate") << "aggregate" << "^Creating the recorder's private aggregate device \\(AudioHardwareCreateAggregateDevice\\) failed: -50$";
        QTest::newRow("IO proc") << "proc" << "^Creating the recorder's IO callback \\(AudioDeviceCreateIOProcIDWithBlock\\) failed: '!dev' \\(560227702\\)$";
        QTest::newRow("no IO proc id") << "noproc" << "^Core Audio returned no IO callback for the recorder's device\\.$";
        QTest::newRow("device start") << "start" << "^Starting the recorder's audio device \\(AudioDeviceStart\\) failed: 'stop' \\(1937010544\\)$";
        QTest::newRow("no tap buffers") << "buffers" << "^The recorder's audio device has no system audio input \\(buffers \\[1\\]\\)\\.$";
        QTest::newRow("app not playing") << "app" << "^Slack is not using audio right now\\. Start Slack first, or record All audio\\.$";
    }
    void startFailures()
    {
        QFETCH(QString, fault);
        QFETCH(QString, message);
        Fixture f;
        RecordingOptions options = allAudio(true);
        if (fault == "tap")
            f.hal.failCall(Call::CreateTap, HalError::kUnspecified);
        else if (fault == "channels")
            f.hal.setTapFormat(RecorderHAL::TapFormat{RecorderHAL::TapFormat::kLinearPcm, 1, 32, 0, 48000});
        else if (fault == "output")
            f.hal.setDefaultOutput(QString());
        else if (fault == "aggregate")
            f.hal.failCall(Call::CreateAggregate, -50);
        else if (fault == "proc")
            f.hal.failCall(Call::CreateIOProc, HalError::kBadDevice);
        else if (fault == "noproc")
            f.hal.setIOProcWithoutId(true);
        else if (fault == "start")
            f.hal.failCall(Call::StartDevice, HalError::kNotRunning);
        else if (fault == "buffers")
            f.hal.setAggregateInputs(QList<int>{1});
        else if (fault == "app")
            options = {RecordingSource::app("com.tinyspeck.slackmacgap", "Slack"), true, std::nullopt};
        else if (fault == "format")
            f.hal.failRead(f.ownProcess + 1, AudioProperty::TapFormat, -50);  // the next object made is the tap

        RecordingEngine& engine = f.make(options);
        const auto started = engine.start();
        QVERIFY(!started);
        QVERIFY2(QRegularExpression(message).match(started.error().message).hasMatch(),
                 qPrintable(started.error().message));
        QCOMPARE(engine.phase(), RecordingEngine::Phase::Idle);
        QCOMPARE(f.hal.aggregates().size(), 0);
        QCOMPARE(f.hal.taps().size(), 0);
        QCOMPARE(f.hal.ioProcCount(), 0);
        QCOMPARE(f.hal.listenerCount(), 0);
        engine.stop();
        QCOMPARE(logCount("engine stopped"), 0);
    }

    void graphShape_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<bool>("microphone");
        QTest::addColumn<QStringList>("subDevices");
        QTest::addColumn<QString>("clock");
        QTest::addColumn<QString>("line");
        QTest::newRow("speakers and microphone")
            << "" << true << QStringList{"BuiltInSpeakerDevice", "BuiltInMicrophoneDevice"} << "BuiltInSpeakerDevice"
            << "buffers [1, 2], mic at 0/-1, system at 1/1";
        QTest::newRow("headset output, microphone off")
            << "headset" << false << QStringList{} << ""
            << "buffers [2], mic at -1/-1, system at 0/0";
        QTest::newRow("headset output, built-in microphone")
            << "headset" << true << QStringList{"BuiltInMicrophoneDevice"} << "BuiltInMicrophoneDevice"
            << "buffers [1, 2], mic at 0/-1, system at 1/1";
        QTest::newRow("headset is the microphone")
            << "headset-mic" << true << QStringList{"USBHeadset"} << "USBHeadset"
            << "buffers [2, 2], mic at 0/0, system at 1/1";
        QTest::newRow("unreadable aggregate buffers")
            << "unreadable" << true << QStringList{"BuiltInSpeakerDevice", "BuiltInMicrophoneDevice"}
            << "BuiltInSpeakerDevice" << "buffers [1, 2], mic at 0/-1, system at 1/1";
        QTest::newRow("more buffers than expected")
            << "extra" << true << QStringList{"BuiltInSpeakerDevice", "BuiltInMicrophoneDevice"}
            << "BuiltInSpeakerDevice" << "buffers [4, 1, 2], mic at 1/-1, system at 2/2";
        QTest::newRow("one-channel tap")
            << "mono-tap" << false << QStringList{"BuiltInSpeakerDevice"} << "BuiltInSpeakerDevice"
            << "buffers [1], mic at -1/-1, system at 0/0";
        QTest::newRow("non-interleaved tap")
            << "planar-tap" << false << QStringList{"BuiltInSpeakerDevice"} << "BuiltInSpeakerDevice"
            << "buffers [1, 1], mic at -1/-1, system at 0/1";
    }
    void graphShape()
    {
        QFETCH(QString, setup);
        QFETCH(bool, microphone);
        QFETCH(QStringList, subDevices);
        QFETCH(QString, clock);
        QFETCH(QString, line);
        Fixture f;
        if (setup.startsWith("headset")) {
            SimulatedAudioHardware::Device headset;
            headset.uid = "USBHeadset";
            headset.name = "USB Headset";
            headset.inputBuffers = {2};
            headset.outputBuffers = {2};
            headset.transport = AudioTransport::kUsb;
            headset.input = {{800, 0.4f}, {800, 0.2f}};
            f.hal.addDevice(headset);
            f.hal.setDefaultOutput("USBHeadset");
            if (setup == "headset-mic")
                f.hal.setDefaultInput("USBHeadset");
        } else if (setup == "unreadable") {
            f.hal.setAggregateInputs(QList<int>{});
        } else if (setup == "extra") {
            f.hal.setAggregateInputs(QList<int>{4, 1, 2});
        } else if (setup == "mono-tap") {
            f.hal.setTapFormat(RecorderHAL::TapFormat{RecorderHAL::TapFormat::kLinearPcm, 1, 32, 1, 48000});
        } else if (setup == "planar-tap") {
            f.hal.setTapFormat(RecorderHAL::TapFormat{RecorderHAL::TapFormat::kLinearPcm,
                                                      1 | RecorderHAL::TapFormat::kFlagIsNonInterleaved, 32, 2, 48000});
        }
        RecordingEngine& engine = f.make(allAudio(microphone));
        QVERIFY(engine.start());
        const RecorderHAL::AggregateDescription aggregate = f.hal.aggregates().value(0);
        QStringList uids;
        for (const auto& sub : aggregate.subDevices)
            uids.append(sub.uid);
        QCOMPARE(uids, subDevices);
        QCOMPARE(aggregate.clockDeviceUid.value_or(QString()), clock);
        const QString log = logText();
        QVERIFY2(log.contains(line), qPrintable(log));
        if (setup == "headset")
            QVERIFY(log.contains(microphone ? "output USB Headset has its own inputs and is not the microphone; the "
                                              "microphone clocks the recorder"
                                            : "output USB Headset has its own inputs and the microphone is off; the "
                                              "tap clocks the recorder"));
        if (setup == "unreadable")
            QVERIFY(log.contains("aggregate stream configuration not readable; using the expected layout [1, 2]"));
        if (setup == "extra")
            QVERIFY(log.contains("aggregate input buffers [4, 1, 2] differ from expected [1, 2]; taking the tap from the end"));

        // A one-channel tap plays on both sides; the frames follow the layout whatever its shape.
        if (setup == "mono-tap") {
            f.hal.deliver(64);
            std::vector<float> frames(128);
            QCOMPARE(engine.ring()->read(frames.data(), 64), 64);
            for (int i = 0; i < 64; ++i)
                QCOMPARE(frames[size_t(2 * i + 1)], frames[size_t(2 * i)]);
            QVERIFY(std::any_of(frames.begin(), frames.end(), [](float s) { return s != 0; }));
        }
    }

    void streamUsageLimitsTheAggregateToTheChannelsRead()
    {
        Fixture f;
        f.hal.setAggregateInputs(QList<int>{4, 1, 2});
        RecordingEngine& engine = f.make(allAudio(true));
        QVERIFY(engine.start());
        const AudioObjectId aggregate = *f.hal.object(f.hal.aggregates()[0].uid);
        QCOMPARE(f.hal.streamUsage(aggregate, AudioScope::Input), std::optional(QList<bool>{false, true, true}));
        QCOMPARE(f.hal.streamUsage(aggregate, AudioScope::Output), std::optional(QList<bool>{false}));
        QVERIFY(logText().contains("input streams in use: 011"));
        QVERIFY(logText().contains("output streams in use: 0"));
        engine.stop();

        f.hal.failCall(Call::SetStreamUsage, HalError::kIllegalOperation);
        RecordingEngine& second = f.make(allAudio(true));
        QVERIFY(second.start());
        QVERIFY(logText().contains("could not limit the input streams ('nope' (1852797029)); all of them run"));
    }

    void microphoneFallsBackToTheDefaultInput_data()
    {
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("logged");
        QTest::newRow("chosen and connected") << "USBMic" << "Desk Mic" << false;
        QTest::newRow("chosen but gone") << "GoneMic" << "MacBook Pro Microphone" << true;
        QTest::newRow("chosen output-only device") << "BuiltInSpeakerDevice" << "MacBook Pro Microphone" << true;
    }
    void microphoneFallsBackToTheDefaultInput()
    {
        QFETCH(QString, chosen);
        QFETCH(QString, name);
        QFETCH(bool, logged);
        Fixture f;
        f.hal.addDevice({"USBMic", "Desk Mic", {1}, {}, 48000, AudioTransport::kUsb});
        RecordingEngine& engine = f.make(allAudio(true, chosen));
        QVERIFY(engine.start());
        QCOMPARE(engine.microphoneName(), std::optional(name));
        QCOMPARE(logText().contains(QString("chosen microphone %1 is not connected; using the system default input").arg(chosen)),
                 logged);
    }

    void noMicrophoneAtAllStillRecords()
    {
        Fixture f;
        f.hal.removeDevice(test::SimulatedAudioRig::kMicrophoneUid);
        RecordingEngine& engine = f.make(allAudio(true));
        QVERIFY(engine.start());
        QCOMPARE(engine.microphoneName(), std::nullopt);
        QVERIFY(logText().contains("no input device found; recording system audio only"));
        f.hal.deliver(256);
        std::vector<float> frames(512);
        QCOMPARE(engine.ring()->read(frames.data(), 256), 256);
        for (int i = 0; i < 256; ++i)
            QCOMPARE(frames[size_t(2 * i)], 0.0f);  // left: the silent microphone side
    }

    void defaultOutputSwitchRebuildsOnceAfterTheBurst()
    {
        Fixture f;
        RecordingEngine& engine = f.make(allAudio(true));
        QVERIFY(engine.start());
        f.hal.addDevice({"HDMI", "LG Display", {}, {2}, 48000, AudioTransport::kHdmi});
        f.pass();
        f.hal.setDefaultOutput("HDMI");
        f.pass(300ms);
        f.hal.setDefaultInput(test::SimulatedAudioRig::kMicrophoneUid);
        f.pass(300ms);
        f.hal.addDevice({"Virtual", "Loopback", {}, {}, 48000, AudioTransport::kVirtual});
        f.pass(700ms);
        QCOMPARE(logCount("rebuilding the audio graph"), 0);
        f.pass(50ms);
        QCOMPARE(logCount("rebuilding the audio graph"), 1);
        QVERIFY(logText().contains("rebuilding the audio graph: the default output device changed (device list changed)"));
        QCOMPARE(f.formats.size(), 1);
        QCOMPARE(f.formats[0].second, std::optional<QString>("MacBook Pro Microphone"));
        QCOMPARE(f.kinds, QList<AudioOutputKind>{AudioOutputKind::ExternalSpeakers});
        QCOMPARE(engine.outputKind(), AudioOutputKind::ExternalSpeakers);
        QCOMPARE(f.hal.aggregates().size(), 1);
        QCOMPARE(f.hal.aggregates()[0].subDevices.value(0).uid, QString("HDMI"));
        QCOMPARE(f.hal.ioProcCount(), 1);
        const int64_t before = engine.ring()->writeCount();
        QCOMPARE(f.hal.deliver(480), 1);
        QCOMPARE(engine.ring()->writeCount(), before + 480);

        // A device-list notice with the same default output is not a change.
        f.hal.addDevice({"Other", "Other", {}, {2}, 48000, AudioTransport::kUsb});
        f.pass(750ms);
        QCOMPARE(logCount("rebuilding the audio graph"), 1);
    }

    void unpluggedMicrophoneIsReplacedByTheDefaultInput()
    {
        Fixture f;
        f.hal.addDevice({"USBMic", "Desk Mic", {1}, {}, 48000, AudioTransport::kUsb});
        RecordingEngine& engine = f.make(allAudio(true, QString("USBMic")));
        QVERIFY(engine.start());
        QCOMPARE(engine.microphoneName(), std::optional<QString>("Desk Mic"));
        f.hal.removeDevice("USBMic");
        f.pass(750ms);
        QVERIFY(logText().contains("rebuilding the audio graph: the microphone went away (device list changed)"));
        QCOMPARE(f.formats.size(), 1);
        QCOMPARE(f.formats[0], (QPair<double, std::optional<QString>>{48000.0, QString("MacBook Pro Microphone")}));
        QCOMPARE(engine.microphoneName(), std::optional<QString>("MacBook Pro Microphone"));
        QCOMPARE(f.kinds, QList<AudioOutputKind>{});
    }

    void failedRebuildsRetryThenReportOnce()
    {
        Fixture f;
        RecordingEngine& engine = f.make(allAudio(false));
        QVERIFY(engine.start());
        f.hal.removeDevice(test::SimulatedAudioRig::kSpeakersUid);
        f.pass(750ms);
        QVERIFY(logText().contains("rebuilding the audio graph: the output device went away (device list changed)"));
        QVERIFY(logText().contains("rebuild failed (1 of 4): No audio output device is available; the system audio tap "
                                   "needs one as its clock."));
        QCOMPARE(f.hal.aggregates().size(), 0);
        QCOMPARE(f.hal.deliver(480), 0);
        for (int failure = 1; failure < 4; ++failure) {
            f.pass(std::chrono::seconds(failure) - 1ms);
            QCOMPARE(logCount("rebuild failed"), failure);
            f.pass(1ms);
            QCOMPARE(logCount("rebuild failed"), failure + 1);
            QVERIFY(logText().contains("retrying after a failed rebuild (retry)"));
        }
        f.pass(10s);
        QCOMPARE(logCount("rebuild failed"), 4);
        QCOMPARE(f.errors, QStringList{"The audio devices changed and the recorder could not reconnect (No audio output "
                                       "device is available; the system audio tap needs one as its clock.)."});
        QCOMPARE(engine.phase(), RecordingEngine::Phase::Running);
        f.pass(100ms);
        QCOMPARE(f.levels.last(), RecordingLevels{});

        // A new output brings the recording back; the count starts over.
        f.hal.addDevice({"USBSpeakers", "USB Speaker", {}, {2}, 44100, AudioTransport::kUsb});
        f.hal.setDefaultOutput("USBSpeakers");
        f.pass(750ms);
        QCOMPARE(f.hal.aggregates().size(), 1);
        QCOMPARE(engine.sampleRate(), 44100.0);
        QCOMPARE(f.formats.last().first, 44100.0);
        QCOMPARE(f.hal.deliver(480), 1);
        QCOMPARE(f.errors.size(), 1);
    }

    void headphonesInTheJackChangeTheKindWithoutARebuild()
    {
        Fixture f;
        RecordingEngine& engine = f.make(allAudio(true));
        QVERIFY(engine.start());
        f.hal.setDataSource(test::SimulatedAudioRig::kSpeakersUid, AudioDataSource::kHeadphones);
        f.pass();
        QCOMPARE(f.kinds, QList<AudioOutputKind>{AudioOutputKind::Headphones});
        QCOMPARE(engine.outputKind(), AudioOutputKind::Headphones);
        QVERIFY(logText().contains("output MacBook Pro Speakers changed from builtInSpeakers to headphones"));
        QCOMPARE(logCount("rebuilding the audio graph"), 0);
        QCOMPARE(f.formats.size(), 0);
    }

    void rateChangeRestartsTheIO()
    {
        Fixture f;
        RecordingEngine& engine = f.make(allAudio(true));
        QVERIFY(engine.start());
        f.hal.setNominalRate(test::SimulatedAudioRig::kSpeakersUid, 44100);
        f.pass();
        QVERIFY(logText().contains("device rate changed from 48000 to 44100 Hz"));
        QCOMPARE(f.formats.size(), 1);
        QCOMPARE(f.formats[0].first, 44100.0);
        QCOMPARE(engine.sampleRate(), 44100.0);
        QCOMPARE(f.hal.startedCount(), 1);
        QCOMPARE(logCount("rebuilding the audio graph"), 0);

        // A restart that fails rebuilds the graph.
        f.hal.failCall(Call::StartDevice, HalError::kNotRunning);
        f.hal.setNominalRate(test::SimulatedAudioRig::kSpeakersUid, 96000);
        f.pass();
        QVERIFY(logText().contains("restart after the rate change failed: Starting the recorder's audio device "
                                   "(AudioDeviceStart) failed: 'stop' (1937010544)"));
        QVERIFY(logText().contains("rebuilding the audio graph: restart after a rate change failed"));
        QCOMPARE(f.hal.startedCount(), 1);
        QCOMPARE(engine.sampleRate(), 96000.0);
    }

    void wakeChecksThatTheIOResumed()
    {
        Fixture f;
        RecordingEngine& engine = f.make(allAudio(false));
        QVERIFY(engine.start());
        engine.verifyIOAfterWake();
        f.hal.deliver(480);
        f.pass(2500ms);
        QVERIFY(logText().contains("audio IO resumed after sleep"));
        QCOMPARE(logCount("rebuilding the audio graph"), 0);
        engine.verifyIOAfterWake();
        f.pass(2499ms);
        QCOMPARE(logCount("rebuilding the audio graph"), 0);
        f.pass(1ms);
        QVERIFY(logText().contains("rebuilding the audio graph: the audio IO did not resume after sleep"));
        QCOMPARE(logCount("rebuilding the audio graph"), 1);
    }

    void serviceRestartRecreatesTapAndDevice()
    {
        Fixture f;
        RecordingEngine& engine = f.make(zoom(false));
        QVERIFY(engine.start());
        const QString tapBefore = f.hal.taps()[0].uuid;
        f.hal.restartService();
        f.pass(RecordingEngine::kRestartSettle);
        QVERIFY(logText().contains("the audio service restarted; recreating the tap and the device"));
        QVERIFY(logText().contains("rebuilding the audio graph: audio service restarted"));
        QCOMPARE(f.hal.taps().size(), 1);
        QVERIFY(f.hal.taps()[0].uuid != tapBefore);
        QCOMPARE(f.hal.aggregates().size(), 1);
        QCOMPARE(f.hal.deliver(480), 1);
        QCOMPARE(engine.phase(), RecordingEngine::Phase::Running);
    }

    // Notices of one restart coalesce, and the rebuild waits (attempts uncounted) for the server's
    // output to come back rather than failing or building on nothing.
    void aRestartWaitsForTheServersOutput_data()
    {
        QTest::addColumn<int>("outputAfterSeconds");
        QTest::addColumn<bool>("carriesOn");
        QTest::newRow("back after 8 s") << 8 << true;
        QTest::newRow("back after 29 s") << 29 << true;
        QTest::newRow("never back") << 60 << false;
    }
    void aRestartWaitsForTheServersOutput()
    {
        QFETCH(int, outputAfterSeconds);
        QFETCH(bool, carriesOn);
        Fixture f;
        RecordingEngine& engine = f.make(allAudio(true));
        QVERIFY(engine.start());
        f.hal.setDefaultOutput(QString());
        f.hal.restartService();
        f.pass(300ms);
        f.hal.restartService();
        for (int second = 0; second < std::min(outputAfterSeconds, 40); ++second)
            f.pass(1s);
        if (carriesOn) {
            QCOMPARE(logCount("rebuilding the audio graph"), 0);
            f.hal.setDefaultOutput(test::SimulatedAudioRig::kSpeakersUid);
            f.pass(RecordingEngine::kRestartPoll);
        }
        f.pass(5s);

        QCOMPARE(logCount("the audio service restarted; recreating the tap and the device"), 1);
        if (carriesOn) {
            QCOMPARE(engine.phase(), RecordingEngine::Phase::Running);
            QVERIFY2(f.errors.isEmpty(), qPrintable(f.errors.join(" ")));
            QCOMPARE(logCount("rebuilding the audio graph: audio service restarted"), 1);
            QCOMPARE(logCount("rebuild failed"), 0);
            QCOMPARE(f.hal.deliver(480), 1);
            QCOMPARE(engine.microphoneName(), std::optional<QString>(test::SimulatedAudioRig::kMicrophoneName));
        } else {
            QVERIFY(logText().contains("the audio service has no output 30 s after restarting; rebuilding anyway"));
            QCOMPARE(f.errors.size(), 1);
        }
    }

    void newProcessesOfTheAppJoinTheTap()
    {
        Fixture f;
        RecordingEngine& engine = f.make(zoom(false));
        QVERIFY(engine.start());
        const AudioObjectId helper = f.hal.addProcess({kZoomPid + 1, QString(kZoomId) + ".helper", true, {}, {}});
        f.pass(499ms);
        QCOMPARE(f.hal.taps()[0].processes.size(), 1);
        f.pass(1ms);
        QCOMPARE(f.hal.taps()[0].processes, (QList<AudioObjectId>{f.zoomProcess, helper}));
        QVERIFY(logText().contains("zoom.us now has 2 audio process(es); tap updated"));

        f.hal.failCall(Call::WriteTapDescription, HalError::kIllegalOperation);
        f.hal.addProcess({kZoomPid + 2, QString(kZoomId) + ".other", true, {}, {}});
        f.pass(500ms);
        QCOMPARE(f.hal.taps()[0].processes.size(), 2);
        QVERIFY(logText().contains("could not add zoom.us's new audio processes to the tap: 'nope' (1852797029)"));
        QCOMPARE(logCount("rebuilding the audio graph"), 0);
        Q_UNUSED(engine);
    }

    void reconfigure()
    {
        Fixture f;
        f.hal.addDevice({"USBMic", "Desk Mic", {1}, {}, 48000, AudioTransport::kUsb});
        RecordingEngine& engine = f.make(allAudio(true));
        engine.reconfigure(allAudio(true));  // idle: only the options change
        QVERIFY(engine.start());
        engine.reconfigure(allAudio(true));
        QCOMPARE(logCount("rebuilding the audio graph"), 0);

        engine.reconfigure(allAudio(true, QString("USBMic")));
        QVERIFY(logText().contains("rebuilding the audio graph: the microphone was turned on"));
        QCOMPARE(engine.microphoneName(), std::optional<QString>("Desk Mic"));
        engine.reconfigure(allAudio(false, QString("USBMic")));
        QVERIFY(logText().contains("rebuilding the audio graph: the microphone was turned off"));
        QCOMPARE(engine.microphoneName(), std::nullopt);
        QCOMPARE(f.hal.taps().size(), 1);
        QVERIFY(f.hal.taps()[0].exclusive);

        engine.reconfigure(zoom(false));
        QVERIFY(logText().contains("rebuilding the audio graph: the source changed to zoom.us"));
        QCOMPARE(f.hal.taps().size(), 1);
        QCOMPARE(f.hal.taps()[0].processes, QList<AudioObjectId>{f.zoomProcess});
        // The process-list listener belongs to how the recording started.
        QCOMPARE(f.hal.listenerCount(RecorderHAL::kSystemObject, AudioProperty::ProcessObjectList), 0);
        QCOMPARE(f.hal.deliver(480), 1);
        QCOMPARE(f.formats.size(), 3);
    }

    void layoutMismatchHoldsAudioAndRechecks()
    {
        Fixture f;
        RecordingEngine& engine = f.make(allAudio(true));
        QVERIFY(engine.start());
        for (int episode = 1; episode <= 4; ++episode) {
            f.hal.setDeliveredBuffers(QList<int>{1, 2, 2});
            const int64_t written = engine.ring()->writeCount();
            f.hal.deliver(480);
            QCOMPARE(engine.ring()->writeCount(), written);
            QCOMPARE(engine.meter().layoutMismatch.load(), 1);
            f.pass(100ms);
            f.pass();
            QCOMPARE(logCount("rebuilding the audio graph: the device's input streams changed (input streams changed)"),
                     episode);
            QCOMPARE(engine.meter().layoutMismatch.load(), 0);
        }
        QCOMPARE(logCount("holding audio and checking the devices now"), 3);
        QVERIFY(logText().contains("the IO buffer list keeps differing from the stream configuration; recording "
                                   "without the layout check"));
        // The relaxed layout renders from the picks that still exist.
        const int64_t written = engine.ring()->writeCount();
        f.hal.deliver(480);
        QCOMPARE(engine.ring()->writeCount(), written + 480);
    }

    void listenerThatCannotBeRegisteredIsLeftOut()
    {
        Fixture f;
        f.hal.failCall(Call::AddListener, HalError::kIllegalOperation);
        RecordingEngine& engine = f.make(allAudio(false));
        QVERIFY(engine.start());
        QVERIFY(logText().contains(QRegularExpression("could not watch 'nsrt' on audio object \\d+: 'nope' \\(1852797029\\)")));
        QCOMPARE(f.hal.deliver(480), 1);
        engine.stop();
        f.hal.failCall(Call::RemoveListener, HalError::kBadObject);
        f.hal.failCall(Call::DestroyAggregate, HalError::kBadObject);
        RecordingEngine& second = f.make(allAudio(false));
        QVERIFY(second.start());
        second.stop();
        QVERIFY(logText().contains(QRegularExpression("removing the '[^']+' listener on audio object \\d+: '!obj' \\(560947818\\)")));
        QVERIFY(logText().contains("AudioHardwareDestroyAggregateDevice failed: '!obj' (560947818)"));
        QCOMPARE(logCount("engine stopped"), 2);
    }

    void outputKind_data()
    {
        QTest::addColumn<quint32>("transport");
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("dataSource");  // -1: none
        QTest::addColumn<AudioOutputKind>("kind");
        const int none = -1;
        QTest::newRow("built-in speaker source") << AudioTransport::kBuiltIn << "Speakers" << int(AudioDataSource::kInternalSpeaker) << AudioOutputKind::BuiltInSpeakers;
        QTest::newRow("built-in headphone source") << AudioTransport::kBuiltIn << "Speakers" << int(AudioDataSource::kHeadphones) << AudioOutputKind::Headphones;
        QTest::newRow("built-in by name") << AudioTransport::kBuiltIn << "External HEADPHONES" << none << AudioOutputKind::Headphones;
        QTest::newRow("built-in, no clue") << AudioTransport::kBuiltIn << "Line Out" << none << AudioOutputKind::Unknown;
        QTest::newRow("USB without words") << AudioTransport::kUsb << "Audio Interface" << none << AudioOutputKind::Unknown;
        QTest::newRow("USB speaker") << AudioTransport::kUsb << "Desk Speaker" << none << AudioOutputKind::ExternalSpeakers;
        QTest::newRow("Thunderbolt headset") << AudioTransport::kThunderbolt << "Dock Headset" << none << AudioOutputKind::Headphones;
        QTest::newRow("HDMI") << AudioTransport::kHdmi << "Headphone TV" << none << AudioOutputKind::ExternalSpeakers;
        QTest::newRow("AirPlay") << AudioTransport::kAirPlay << "Living Room" << none << AudioOutputKind::ExternalSpeakers;
        QTest::newRow("Bluetooth speaker") << AudioTransport::kBluetooth << "Boom Speaker" << none << AudioOutputKind::ExternalSpeakers;
        QTest::newRow("Bluetooth speaker buds") << AudioTransport::kBluetoothLE << "Speaker Buds" << none << AudioOutputKind::Headphones;
        QTest::newRow("Bluetooth, no words") << AudioTransport::kBluetooth << "WH-1000" << none << AudioOutputKind::Headphones;
        QTest::newRow("virtual") << AudioTransport::kVirtual << "Speaker" << none << AudioOutputKind::Unknown;
    }
    void outputKind()
    {
        QFETCH(quint32, transport);
        QFETCH(QString, name);
        QFETCH(int, dataSource);
        QFETCH(AudioOutputKind, kind);
        SimulatedAudioHardware hal;
        SimulatedAudioHardware::Device device{"D", name, {}, {2}, 48000, transport};
        if (dataSource >= 0)
            device.dataSource = quint32(dataSource);
        const AudioObjectId id = hal.addDevice(device);
        QCOMPARE(RecordingEngine::outputKind(hal, id), kind);
        hal.failRead(id, AudioProperty::TransportType, -50);
        QCOMPARE(RecordingEngine::outputKind(hal, id), AudioOutputKind::Unknown);
    }

    void lateOutputsAreNotEchoUsable_data()
    {
        QTest::addColumn<quint32>("transport");
        QTest::addColumn<quint32>("latency");
        QTest::addColumn<bool>("usable");
        QTest::addColumn<QString>("line");
        QTest::newRow("AirPlay, short latency") << AudioTransport::kAirPlay << 0u << false
            << "output Living Room plays 11 ms after the tap (AirPlay); too late for echo cancellation to follow, automatic mode leaves it off";
        QTest::newRow("0.6 s late") << AudioTransport::kUsb << 28288u << false
            << "output Living Room plays 600 ms after the tap; too late for echo cancellation to follow, automatic mode leaves it off";
        QTest::newRow("0.1 s late") << AudioTransport::kUsb << 4288u << true
            << "output Living Room plays 100 ms after the tap; echo reference delayed 50 ms";
    }
    void lateOutputsAreNotEchoUsable()
    {
        QFETCH(quint32, transport);
        QFETCH(quint32, latency);
        QFETCH(bool, usable);
        QFETCH(QString, line);
        Fixture f;
        SimulatedAudioHardware::Device output{"Far", "Living Room", {}, {2}, 48000, transport};
        output.latencyFrames = latency;
        output.bufferFrameSize = 512;
        f.hal.addDevice(output);
        f.hal.setDefaultOutput("Far");
        RecordingEngine& engine = f.make(allAudio(true));
        QVERIFY(engine.start());
        QCOMPARE(engine.outputIsEchoUsable(), usable);
        QCOMPARE(engine.outputIsAirPlay(), transport == AudioTransport::kAirPlay);
        QVERIFY2(logText().contains(line), qPrintable(logText()));
    }

    void outputLatencyAddsEveryPart()
    {
        SimulatedAudioHardware hal;
        SimulatedAudioHardware::Device device{"D", "D", {}, {2}, 48000, AudioTransport::kUsb};
        device.latencyFrames = 100;
        device.safetyOffsetFrames = 20;
        device.bufferFrameSize = 512;
        device.streamLatencyFrames = 48;
        const AudioObjectId id = hal.addDevice(device);
        QCOMPARE(RecordingEngine::outputLatency(hal, id), std::optional(680.0 / 48000.0));
        hal.failRead(id, AudioProperty::SafetyOffset, -50);
        QCOMPARE(RecordingEngine::outputLatency(hal, id), std::optional(660.0 / 48000.0));
        hal.failRead(id, AudioProperty::NominalSampleRate, -50);
        QCOMPARE(RecordingEngine::outputLatency(hal, id), std::nullopt);
    }
};

QTEST_GUILESS_MAIN(RecordingEngineTest)
#include "tst_recording_engine.moc"
