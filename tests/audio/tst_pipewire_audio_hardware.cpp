// The PipeWire backend where no audio server answers, as on a build machine: it says so at once,
// every call fails with the "not running" status, and the engine's start reports that instead of
// waiting. A socket that accepts and then stays silent is given up after the connect time-out.

#include "audio/RecordingEngine.h"
#include "platform/audiohal/PipeWireAudioHardware.h"
#include "support/TempHome.h"

#include <QElapsedTimer>
#include <QLocalServer>
#include <QTest>

using namespace harkwell;

class PipeWireAudioHardwareTest : public QObject {
    Q_OBJECT
private slots:
    // A buffer whose chunk reaches past the mapped memory is read only as far as the memory goes.
    void capturedFramesStayInsideTheBuffer_data()
    {
        QTest::addColumn<uint>("maxSize");
        QTest::addColumn<uint>("offset");
        QTest::addColumn<uint>("size");
        QTest::addColumn<int>("channels");
        QTest::addColumn<uint>("firstSample");
        QTest::addColumn<uint>("frames");
        QTest::newRow("whole buffer, stereo") << 8192u << 0u << 8192u << 2 << 0u << 1024u;
        QTest::newRow("from an offset, mono") << 8192u << 4096u << 4096u << 1 << 1024u << 1024u;
        QTest::newRow("size past the end") << 8192u << 4096u << 8192u << 2 << 1024u << 512u;
        QTest::newRow("offset past the end") << 8192u << 16384u << 4096u << 2 << 2048u << 0u;
        QTest::newRow("size that wraps round") << 8192u << 8u << 0xffff'fffcu << 2 << 2u << 1023u;
        QTest::newRow("a trailing half frame") << 8192u << 0u << 12u << 2 << 0u << 1u;
        QTest::newRow("offset between samples") << 8192u << 2u << 16u << 2 << 0u << 0u;
        QTest::newRow("no channels") << 8192u << 0u << 8192u << 0 << 0u << 0u;
    }
    void capturedFramesStayInsideTheBuffer()
    {
        QFETCH(uint, maxSize);
        QFETCH(uint, offset);
        QFETCH(uint, size);
        QFETCH(int, channels);
        QFETCH(uint, firstSample);
        QFETCH(uint, frames);
        const auto region = PipeWireAudioHardware::capturedRegion(maxSize, offset, size, channels);
        QCOMPARE(uint(region.firstSample), firstSample);
        QCOMPARE(uint(region.frames), frames);
        if (region.frames > 0)
            QVERIFY(offset + (region.frames * uint(channels)) * sizeof(float) <= maxSize);
    }

    void noServerFailsClearlyAndAtOnce()
    {
        test::TempHome home;  // an empty runtime folder: no server socket in it
        qunsetenv("PIPEWIRE_REMOTE");
        QElapsedTimer timer;
        timer.start();
        PipeWireAudioHardware hal;
        QVERIFY(timer.elapsed() < 2000);
        const std::optional<QString> error = hal.connectionError();
        QVERIFY(error);
        // Without PipeWire's client modules the client cannot even be set up; either way it says so.
        QVERIFY2(error->startsWith("No PipeWire audio server is running (")
                     || error->startsWith("The PipeWire audio client could not be set up"),
                 qPrintable(*error));

        QCOMPARE(hal.readUInt32(RecorderHAL::kSystemObject, AudioProperty::DefaultOutputDevice, AudioScope::Global).error(),
                 HalError::kNotRunning);
        QVERIFY(hal.objectIds(RecorderHAL::kSystemObject, AudioProperty::Devices).isEmpty());
        QVERIFY(hal.runningApplications().isEmpty());

        RecordingEngine engine({RecordingSource::allAudio(), true, std::nullopt}, hal);
        const auto started = engine.start();
        QVERIFY(!started);
        QCOMPARE(started.error().message,
                 QString("Creating the system audio tap (AudioHardwareCreateProcessTap) failed: 'stop' (1937010544)"));
        QCOMPARE(engine.phase(), RecordingEngine::Phase::Idle);
    }

    void silentServerIsGivenUp()
    {
        test::TempHome home;
        qunsetenv("PIPEWIRE_REMOTE");
        QLocalServer server;
        QVERIFY(server.listen(qEnvironmentVariable("XDG_RUNTIME_DIR") + "/pipewire-0"));
        QElapsedTimer timer;
        timer.start();
        PipeWireAudioHardware hal;
        QVERIFY(timer.elapsed() < 10000);
        const std::optional<QString> error = hal.connectionError();
        QVERIFY(error);
        if (error->startsWith("The PipeWire audio client could not be set up"))
            QSKIP("PipeWire's client modules are not installed");
        QVERIFY2(error->contains("did not answer") || error->contains("closed the connection"), qPrintable(*error));
        QCOMPARE(hal.createProcessTap({}).error(), HalError::kNotRunning);
    }
};

QTEST_GUILESS_MAIN(PipeWireAudioHardwareTest)
#include "tst_pipewire_audio_hardware.moc"
