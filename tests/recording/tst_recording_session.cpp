// The recorder's controller against the simulated audio system: a recording from start to the
// vault's inbox, pause and resume, discard, the all-silent stop, failed starts, the guards (disk,
// battery, silence, auto-stop), sleep and wake, quit, the echo decision, and unfinished recordings.

#include "SessionFixture.h"

#include "foundation/HarkwellLog.h"
#include "platform/media/AudioFileReader.h"
#include "platform/paths/Paths.h"
#include "support/LogFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <vector>

using namespace harkwell;
using Kind = RecordingState::Kind;

namespace {

using test::logText;

QStringList reasons(const RecordingSidecar& sidecar)
{
    QStringList list;
    for (const auto& segment : sidecar.segments)
        list.append(segment.reason);
    return list;
}

}  // namespace

class TestRecordingSession : public QObject {
    Q_OBJECT

private slots:
    void aRecordingGoesFromStartIntoTheInbox()
    {
        test::SessionFixture f;
        QList<Kind> states;
        connect(f.session.get(), &RecordingSession::stateChanged, this,
                [&](const RecordingState& state) { states.append(state.kind); });

        f.start();

        QCOMPARE(f.session->state().kind, Kind::Recording);
        const QString id = f.id();
        QCOMPARE(id, QStringLiteral("260304-090000"));
        QVERIFY(f.session->options().includeMicrophone);
        QVERIFY(f.power.holding());
        const auto live = f.sidecarOnDisk(id);
        QVERIFY(live);
        QCOMPARE(live->status, QStringLiteral("recording"));
        QCOMPARE(live->microphoneName, std::optional<QString>("MacBook Microphone"));
        QCOMPARE(live->channelLayout, QStringLiteral("L=microphone,R=system"));
        QCOMPARE(reasons(*live), QStringList{"start"});
        QCOMPARE(f.session->consentReminder(), std::optional<QString>(RecordingSession::kDefaultConsentText));
        QCOMPARE(f.notifications.posted().size(), 1);
        QCOMPARE(f.notifications.posted().first().identifier, "harkwell.recorder.consent." + id);
        QVERIFY(f.session->consentNotified());

        f.play(3.0);
        QVERIFY(f.session->meters().levels().systemPeak > 0.1f);
        QCOMPARE(f.session->elapsedClock().elapsed(), 3.0);
        f.stopAndSend();

        QCOMPARE(f.session->state().kind, Kind::Idle);
        QCOMPARE(states, (QList<Kind>{Kind::Starting, Kind::Recording, Kind::Finishing, Kind::Idle}));
        QCOMPARE(f.session->lastResult(), std::optional<QString>("Saved 260304-090000 to _inbox (3 s); Mirelon upload is off"));
        QVERIFY(QFileInfo(f.inbox() + "/260304-090000.md").isFile());
        QVERIFY(QFileInfo(f.inbox() + "/.audio/260304-090000.m4a").size() > 1000);
        QVERIFY(!QFileInfo::exists(f.workFolder(id)));
        QVERIFY(!f.power.holding());
        QCOMPARE(f.session->currentId(), std::nullopt);
        QVERIFY(logText().contains("[harkwell] recorder: handed over 260304-090000 (3 s), upload uploadOff"));
    }

    void pauseBanksTimeAndResumeCutsANewSegment()
    {
        test::SessionFixture f;
        f.start();
        f.play(2.0);
        f.session->pause();
        QCOMPARE(f.session->state().kind, Kind::Paused);
        QCOMPARE(f.sidecarOnDisk(f.id())->status, QStringLiteral("paused"));
        f.wait(5.0);
        QCOMPARE(f.session->elapsed(), 2.0);

        f.session->resume();
        QCOMPARE(f.session->state().kind, Kind::Recording);
        f.play(1.0);
        QCOMPARE(f.session->elapsed(), 3.0);
        const auto live = f.sidecarOnDisk(f.id());
        QCOMPARE(reasons(*live), (QStringList{"start", "resume"}));
        QCOMPARE(live->status, QStringLiteral("recording"));
    }

    void discardRemovesEverything_data()
    {
        QTest::addColumn<bool>("paused");
        QTest::newRow("while recording") << false;
        QTest::newRow("while paused") << true;
    }
    void discardRemovesEverything()
    {
        QFETCH(bool, paused);
        test::SessionFixture f;
        f.start();
        f.play(1.0);
        if (paused)
            f.session->pause();
        const QString id = f.id();

        f.session->discard();

        QCOMPARE(f.session->state().kind, Kind::Idle);
        QVERIFY(!QFileInfo::exists(f.workFolder(id)));
        QCOMPARE(f.session->elapsed(), 0.0);
        QVERIFY(!f.power.holding());
        QVERIFY(f.session->warnings().isEmpty());
        QVERIFY(logText().contains("[harkwell] recorder: discarded " + id));
    }

    void anAllSilentRecordingIsKeptBack_data()
    {
        QTest::addColumn<bool>("withMicrophone");
        QTest::addColumn<QString>("clause");
        QTest::newRow("no microphone") << false << "";
        QTest::newRow("a silent microphone") << true << " and the microphone was silent";
    }
    void anAllSilentRecordingIsKeptBack()
    {
        QFETCH(bool, withMicrophone);
        QFETCH(QString, clause);
        test::SessionFixture f;
        f.hal.setPlaying(f.zoom, false);
        f.hal.setName("mic", "MacBook Microphone");
        f.hal.removeDevice("mic");
        SimulatedAudioHardware::Device mic{"mic2", "Silent Microphone", {1}, {}, 48000, AudioTransport::kBuiltIn};
        f.hal.addDevice(mic);
        f.hal.setDefaultInput("mic2");
        f.start(withMicrophone);
        f.play(2.0);
        const QString id = f.id();

        f.stopAndSend();

        const QString message = "Nothing was recorded: no system audio reached harkwell" + clause
                                + ". Linux asks no permission for system audio: check that PipeWire runs and the sound "
                                  "plays on the default output before the next recording. This recording is silent; "
                                  "discard it under Silent recording "
                                + id + ".";
        QCOMPARE(f.session->state(), RecordingState::failed(message));
        QCOMPARE(f.notSent, (QStringList{id, message}));
        QCOMPARE(f.session->pendingRecovery().size(), 1);
        QVERIFY(f.session->pendingRecovery().first().systemSideSilent);
        QVERIFY(QFileInfo::exists(f.workFolder(id)));
        QVERIFY(!QFileInfo::exists(f.inbox() + "/" + id + ".md"));

        // Discarding the failed state leaves the recording on offer.
        f.session->discard();
        QCOMPARE(f.session->state().kind, Kind::Idle);
        QVERIFY(QFileInfo::exists(f.workFolder(id)));
        QCOMPARE(f.session->pendingRecovery().size(), 1);
    }

    // The microphone was heard and then turned off: the recording holds speech and is sent.
    void aMicrophoneHeardThenTurnedOffIsSent()
    {
        test::SessionFixture f;
        f.hal.setPlaying(f.zoom, false);
        f.start(true);
        f.play(3.0);
        QCoro::waitFor(f.session->change(f.options(false)));
        f.play(1.0);
        const QString id = f.id();

        f.stopAndSend();

        QCOMPARE(f.session->state().kind, Kind::Idle);
        QVERIFY(f.notSent.isEmpty());
        QVERIFY(QFileInfo(f.inbox() + "/" + id + ".md").isFile());
    }

    // Heard, turned off, turned on again silent, then a crash: the recording holds speech and is
    // offered to be sent.
    void aMicrophoneHeardEarlierKeepsTheRecordingAudible()
    {
        test::SessionFixture f;
        f.hal.setPlaying(f.zoom, false);
        f.start(true);
        f.play(3.0);
        QCoro::waitFor(f.session->change(f.options(false)));
        f.play(1.0);
        f.hal.removeDevice("mic");
        f.hal.addDevice({"mic2", "Silent Microphone", {1}, {}, 48000, AudioTransport::kBuiltIn});
        f.hal.setDefaultInput("mic2");
        QCoro::waitFor(f.session->change(f.options(true)));
        f.play(2.0);
        const QString id = f.id();
        QVERIFY(!f.sidecarOnDisk(id)->micSideSilent);

        f.session->closeForTermination();
        QVERIFY(!f.sidecarOnDisk(id)->micSideSilent);
        f.makeSession();
        f.session->launchCheck();
        QCOMPARE(f.session->pendingRecovery().size(), 1);
        QVERIFY(!RecordingRecovery::flaggedSilent(f.session->pendingRecovery().first()));
        QCoro::waitFor(f.session->recoverSend(id));

        QCOMPARE(f.session->state().kind, Kind::Idle);
        QVERIFY(QFileInfo(f.inbox() + "/.audio/" + id + ".m4a").isFile());
    }

    // The microphone turned on late gets the same grace before it is called silent.
    void theSilentMicrophoneWarningCountsFromWhenItCameOn()
    {
        test::SessionFixture f;
        f.hal.removeDevice("mic");
        f.hal.addDevice({"mic2", "USB Microphone", {1}, {}, 48000, AudioTransport::kUsb});
        f.hal.setDefaultInput("mic2");
        f.start(false);
        f.play(10.0);
        QCoro::waitFor(f.session->change(f.options(true)));

        f.play(3.0);
        QVERIFY(f.warningTexts().isEmpty());
        f.play(5.0);
        QCOMPARE(f.warningTexts().size(), 1);
    }

    // Cycles the audio server skips are silence in the file, so the timeline keeps to the wall
    // clock, and their total is kept in recording.json and the note.
    void skippedCyclesAreSilenceAndCounted()
    {
        test::SessionFixture f;
        f.start();
        f.play(1.0);
        f.hal.skipCycles(24000);
        f.play(1.0);
        const QString id = f.id();
        QCOMPARE(f.sidecarOnDisk(id)->lostSeconds, std::optional(0.5));

        f.session->closeForTermination();

        const auto kept = f.sidecarOnDisk(id);
        QCOMPARE(kept->lostSeconds, std::optional(0.5));
        const auto reader = AudioFileReader::open(f.workFolder(id) + "/" + kept->segments.first().file);
        QVERIFY(reader);
        std::vector<float> left(200'000), right(200'000);
        float* channels[] = {left.data(), right.data()};
        qint64 frames = 0;
        while (const auto read = (*reader)->read(channels, 200'000 - frames))
            if (*read > 0) {
                channels[0] += *read;
                channels[1] += *read;
                frames += *read;
            } else {
                break;
            }
        QCOMPARE(frames, qint64(2.5 * 48000));
        // The microphone's filters ring out for a few samples into the gap.
        const auto quiet = [&](const std::vector<float>& side) {
            return std::all_of(side.begin() + 48000, side.begin() + 72000, [](float v) { return std::abs(v) < 1e-4f; });
        };
        QVERIFY(quiet(left) && quiet(right));
        QVERIFY(logText().contains("the audio server skipped cycles: 24000 frame(s) (0.50 s) lost so far, recorded as "
                                   "silence"));
        QVERIFY(!logText().contains("ring full"));

        f.makeSession();
        f.session->launchCheck();
        QCoro::waitFor(f.session->recoverSend(id));
        QFile note(f.inbox() + "/" + id + ".md");
        QVERIFY(note.open(QIODevice::ReadOnly));
        QVERIFY(note.readAll().contains("\n  lost_audio_sec: 0.5\n"));
    }

    void aStartThatCannotRunFails_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("message");
        QTest::newRow("no output device") << "output"
                                          << "Could not start recording: No audio output device is available; the "
                                             "system audio tap needs one as its clock.";
        QTest::newRow("the recordings folder is a file") << "folder" << "Could not create the recording folder: ";
        // The audio system's call and code are for the log; the panel says what to do.
        QTest::newRow("no audio server") << "server"
                                         << "Could not start recording: No PipeWire audio server is running; start it "
                                            "and press Record again.";
    }
    void aStartThatCannotRunFails()
    {
        QFETCH(QString, fault);
        QFETCH(QString, message);
        test::SessionFixture f;
        if (fault == "output")
            f.hal.setDefaultOutput(QString());
        else if (fault == "server")
            f.hal.failCall(SimulatedAudioHardware::Call::CreateTap, HalError::kNotRunning);
        else
            f.home.writeFile(Paths::recordingsFolder(), "a file");

        f.start();

        QCOMPARE(f.session->state().kind, Kind::Failed);
        QVERIFY2(f.session->state().message.startsWith(message), qPrintable(f.session->state().message));
        if (fault == "server")
            QTRY_VERIFY(logText().contains("(AudioHardwareCreateProcessTap) failed: 'stop' (1937010544)"));
        QCOMPARE(f.session->currentId(), std::nullopt);
        QVERIFY(!QFileInfo::exists(f.workFolder("260304-090000")) || fault == "folder");
        QVERIFY(!f.power.holding());

        // From failed a start begins afresh.
        if (fault == "output") {
            f.hal.setDefaultOutput("speakers");
            f.start();
            QCOMPARE(f.session->state().kind, Kind::Recording);
        }
    }

    void startsInTheSameSecondGetSuffixes()
    {
        test::SessionFixture f;
        QVERIFY(QDir().mkpath(f.workFolder("260304-090000")));
        QVERIFY(QDir().mkpath(f.workFolder("260304-090000_2")));
        f.start();
        QCOMPARE(f.id(), QStringLiteral("260304-090000_3"));
    }

    void aRefusedMicrophoneRecordsSystemAudioOnly()
    {
        test::SessionFixture f;
        f.microphone.setAuthorization(MicrophoneAuthorization::Denied);
        f.start();
        QCOMPARE(f.session->state().kind, Kind::Recording);
        QVERIFY(!f.session->options().includeMicrophone);
        QCOMPARE(f.session->warnings().size(), 1);
        QCOMPARE(f.session->warnings().first().kind, RecordingWarning::Kind::MicrophoneAccess);
        QCOMPARE(f.sidecarOnDisk(f.id())->channelLayout, QStringLiteral("L=system-left,R=system-right"));
    }

    void aStartOvertakenDuringThePromptStandsDown()
    {
        test::SessionFixture f;
        f.microphone.setAuthorization(MicrophoneAuthorization::NotDetermined);
        f.microphone.setAnswer(true);
        f.microphone.holdPrompts();
        QCoro::Task<> first = f.session->start(f.options());
        QCOMPARE(f.session->state().kind, Kind::Starting);
        f.session->discard();
        QCOMPARE(f.session->state().kind, Kind::Idle);
        f.clock.advance(std::chrono::seconds(1));
        const RecordingOptions zoomCall{RecordingSource::app("us.zoom.xos", "Zoom"), true, std::nullopt};
        QCoro::Task<> second = f.session->start(zoomCall);
        f.microphone.answerPrompts();
        QCoro::waitFor(std::move(first));
        QCoro::waitFor(std::move(second));

        // One recording, the second start's, with one work folder.
        QCOMPARE(f.session->state().kind, Kind::Recording);
        QCOMPARE(f.id(), QStringLiteral("260304-090001"));
        QCOMPARE(f.sidecarOnDisk(f.id())->source, zoomCall.source);
        QCOMPARE(QDir(Paths::recordingsFolder()).entryList(QDir::Dirs | QDir::NoDotAndDotDot),
                 QStringList{"260304-090001"});
        QVERIFY(f.session->warnings().isEmpty());
    }

    void theDiskFloorStopsAndSends_data()
    {
        QTest::addColumn<qint64>("important");
        QTest::addColumn<qint64>("available");
        QTest::addColumn<bool>("stops");
        QTest::newRow("exactly 1 GiB for important usage") << qint64(1'073'741'824) << qint64(-1) << false;
        QTest::newRow("one byte less") << qint64(1'073'741'823) << qint64(1'073'741'823) << true;
        QTest::newRow("under 256 MiB available") << qint64(-1) << qint64(268'435'455) << true;
        QTest::newRow("exactly 256 MiB available") << qint64(-1) << qint64(268'435'456) << false;
    }
    void theDiskFloorStopsAndSends()
    {
        QFETCH(qint64, important);
        QFETCH(qint64, available);
        QFETCH(bool, stops);
        test::SessionFixture f;
        f.disk.setCapacity({.available = available < 0 ? std::nullopt : std::optional(available),
                            .importantUsage = important < 0 ? std::nullopt : std::optional(important)});
        f.start();

        f.play(1.0);

        if (!stops) {
            QCOMPARE(f.session->state().kind, Kind::Recording);
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(f.session->state().kind, Kind::Idle, 20000);
        QVERIFY2(f.session->lastResult()->endsWith("; Mirelon upload is off. Recording stopped: the disk is nearly full."),
                 qPrintable(*f.session->lastResult()));
    }

    // The floor is read against what this user may still write: the blocks kept for root count
    // as full.
    void theDiskFloorReadsTheUsersShare_data()
    {
        QTest::addColumn<qint64>("userBlocks");  // f_bavail, of 4 KiB
        QTest::addColumn<qint64>("freeBlocks");  // f_bfree, root's reserve included
        QTest::addColumn<bool>("stops");
        constexpr qint64 oneGiB = 262'144;
        QTest::newRow("exactly 1 GiB for the user") << oneGiB << oneGiB + 13'107 << false;
        QTest::newRow("free only within root's reserve") << oneGiB - 1 << 5 * oneGiB << true;
    }
    void theDiskFloorReadsTheUsersShare()
    {
        QFETCH(qint64, userBlocks);
        QFETCH(qint64, freeBlocks);
        QFETCH(bool, stops);
        test::SessionFixture f;
        struct statvfs volume {};
        volume.f_bsize = volume.f_frsize = 4096;
        volume.f_blocks = fsblkcnt_t(8 * freeBlocks);
        volume.f_bavail = fsblkcnt_t(userBlocks);
        volume.f_bfree = fsblkcnt_t(freeBlocks);
        f.disk.setFileSystem(volume);
        f.start();

        f.play(1.0);

        if (!stops) {
            QCOMPARE(f.session->state().kind, Kind::Recording);
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(f.session->state().kind, Kind::Idle, 20000);
        QVERIFY(f.session->lastResult()->endsWith("Recording stopped: the disk is nearly full."));
    }

    // A disk that stops taking the audio ends the recording, and what reached it is still sent.
    void aFailingDiskStopsAndSendsWhatWasSaved_data()
    {
        QTest::addColumn<bool>("onResume");
        QTest::addColumn<QString>("note");
        QTest::newRow("a write fails while recording")
            << false
            << "Recording stopped: harkwell could not save the audio to disk (No space left on device). What was saved "
               "before is being sent.";
        QTest::newRow("no segment opens on resume")
            << true << "Could not resume the recording (No space left on device); what was recorded is being sent.";
    }
    void aFailingDiskStopsAndSendsWhatWasSaved()
    {
        QFETCH(bool, onResume);
        QFETCH(QString, note);
        test::SessionFixture f;
        f.start();
        f.play(2.0);
        const QString id = f.id();

        if (onResume) {
            f.session->pause();
            f.segmentDisk.opensFail = true;
            f.session->resume();
        } else {
            // The writer drains the audio on its own thread: the 2 s played are on disk before the
            // disk fails (all but the tail the canceller's delay line still holds).
            QTRY_VERIFY_WITH_TIMEOUT(f.segmentDisk.framesWritten.load() >= 2 * 48000 - 4800, 10000);
            f.segmentDisk.writesFail = true;
            f.play(0.5);
            // The session's next check, a second on, finds the failed write.
            QTRY_VERIFY_WITH_TIMEOUT(f.segmentDisk.failedWrites.load() > 0, 10000);
            f.wait(1.0);
        }

        QTRY_COMPARE_WITH_TIMEOUT(f.session->state().kind, Kind::Idle, 20000);
        QVERIFY2(f.session->lastResult()->startsWith("Saved " + id + " to _inbox (2 s)"), qPrintable(*f.session->lastResult()));
        QVERIFY2(f.session->lastResult()->endsWith(note), qPrintable(*f.session->lastResult()));
        QVERIFY(QFileInfo(f.inbox() + "/.audio/" + id + ".m4a").isFile());
        QVERIFY(!f.power.holding());
        if (!onResume)
            QVERIFY(logText().contains("[harkwell] recorder: writing " + id + " failed (No space left on device); stopping"));
    }

    void theBatteryWarningComesAndGoes()
    {
        test::SessionFixture f;
        f.hal.setPlaying(f.zoom, false);  // no silence warnings beside it
        f.power.setOnBattery(true);
        f.start(false);
        const QString text = "On battery power: closing the lid puts this computer to sleep and interrupts the recording.";
        QCOMPARE(f.warningTexts(), QStringList{text});

        f.power.setOnBattery(false);
        f.play(30.0, false);
        QVERIFY(f.warningTexts().isEmpty());
        f.power.setOnBattery(true);
        f.play(30.0, false);
        QCOMPARE(f.warningTexts(), QStringList{text});
    }

    void silentSidesAreWarnedAboutOnce()
    {
        test::SessionFixture f;
        f.hal.removeDevice("mic");
        f.hal.addDevice({"mic2", "USB Microphone", {1}, {}, 48000, AudioTransport::kUsb});
        f.hal.setDefaultInput("mic2");
        f.start();

        f.play(5.0);
        QVERIFY(f.warningTexts().isEmpty());  // the guards wait 6 s
        f.play(3.0);

        QCOMPARE(f.warningTexts(),
                 QStringList{"No sound is reaching harkwell from the microphone (USB Microphone). Check that it is not "
                             "muted, or pick another microphone in Settings > Recording."});
        f.play(4.0);
        QCOMPARE(f.warningTexts().size(), 1);
    }

    void autoStopAfterMinutesOfSilence_data()
    {
        QTest::addColumn<std::optional<int>>("minutes");
        QTest::addColumn<bool>("stops");
        QTest::newRow("unset") << std::optional<int>() << false;
        QTest::newRow("0") << std::optional<int>(0) << false;
        QTest::newRow("1") << std::optional<int>(1) << true;
    }
    void autoStopAfterMinutesOfSilence()
    {
        QFETCH(std::optional<int>, minutes);
        QFETCH(bool, stops);
        test::SessionFixture f;
        f.settings.update([&](AppSettings& s) { s.recordingAutoStopMinutes = minutes; });
        f.start(false);
        f.play(1.0);  // some sound, then none
        f.session->pause();
        f.wait(120.0);  // paused time never counts
        f.session->resume();
        f.wait(59.0);
        QCOMPARE(f.session->state().kind, Kind::Recording);

        f.wait(2.0);

        if (!stops) {
            QCOMPARE(f.session->state().kind, Kind::Recording);
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(f.session->state().kind != Kind::Recording, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(f.session->state().kind, Kind::Idle, 20000);
        QVERIFY(f.session->lastResult()->endsWith(". Stopped automatically after 1 min of silence."));
    }

    void sleepAndWake_data()
    {
        QTest::addColumn<bool>("onBattery");
        QTest::addColumn<bool>("paused");
        QTest::newRow("on battery while recording") << true << false;
        QTest::newRow("on mains while paused") << false << true;
    }
    void sleepAndWake()
    {
        QFETCH(bool, onBattery);
        QFETCH(bool, paused);
        test::SessionFixture f;
        f.start(false);
        f.play(1.0);
        if (paused)
            f.session->pause();
        f.power.setOnBattery(onBattery);
        f.notifications.clearPosted();

        f.power.sleep();
        f.clock.advance(std::chrono::minutes(20));
        f.power.wake();

        QCOMPARE(f.notifications.posted().size(), onBattery ? 1 : 0);
        if (onBattery) {
            QCOMPARE(f.notifications.posted().first().identifier, "harkwell.recorder.sleep." + f.id());
            QCOMPARE(f.notifications.posted().first().title, QStringLiteral("Recording interrupted"));
        }
        QVERIFY(f.warningTexts().contains("This computer slept from 09:00 to 09:20; the recording has a gap there."));
        QCOMPARE(f.session->elapsed(), 1.0);
        QCOMPARE(reasons(*f.sidecarOnDisk(f.id())), paused ? QStringList{"start"} : (QStringList{"start", "wake"}));
        QVERIFY(logText().contains(QStringLiteral("the Mac is going to sleep during %1 (%2)")
                                       .arg(f.id(), onBattery ? "battery" : "power")));
    }

    void aQuitKeepsTheRecordingForRecovery()
    {
        test::SessionFixture f;
        f.start();
        f.play(2.0);
        const QString id = f.id();

        f.session->closeForTermination();

        const auto kept = f.sidecarOnDisk(id);
        QCOMPARE(kept->status, QStringLiteral("stopped"));
        QVERIFY(kept->endedAt);
        QVERIFY(!kept->systemSideSilent);
        QVERIFY(kept->levels);
        QVERIFY(!f.power.holding());

        f.makeSession();  // the next launch
        f.session->launchCheck();
        QCOMPARE(f.session->pendingRecovery().size(), 1);
        QCOMPARE(f.session->pendingRecovery().first().id, id);
        QVERIFY(logText().contains("[harkwell] recorder: 1 unfinished recording(s) found: " + id));
    }

    void anUnfinishedRecordingIsSentFromRecovery_data()
    {
        QTest::addColumn<bool>("audioAtLaunch");
        QTest::newRow("audio system answers") << true;
        QTest::newRow("no audio system at the next launch") << false;
    }
    void anUnfinishedRecordingIsSentFromRecovery()
    {
        QFETCH(bool, audioAtLaunch);
        test::SessionFixture f;
        f.start();
        f.play(2.0);
        const QString id = f.id();
        f.session->closeForTermination();
        f.makeSession(audioAtLaunch);
        f.session->launchCheck();
        QCOMPARE(f.session->pendingRecovery().size(), 1);

        QList<Kind> states;
        connect(f.session.get(), &RecordingSession::stateChanged, this,
                [&](const RecordingState& state) { states.append(state.kind); });
        auto sending = f.session->recoverSend(id);
        auto again = f.session->recoverSend(id);  // a second press while the first runs
        QCoro::waitFor(again);
        QCoro::waitFor(sending);

        QCOMPARE(states, (QList<Kind>{Kind::Finishing, Kind::Idle}));
        QCOMPARE(f.session->lastResult(), std::optional<QString>("Saved " + id + " to _inbox (2 s); Mirelon upload is off"));
        QVERIFY(f.session->pendingRecovery().isEmpty());
        QVERIFY(f.session->recoveriesInFlight().isEmpty());
        QVERIFY(!QFileInfo::exists(f.workFolder(id)));
        QVERIFY(QFileInfo(f.inbox() + "/.audio/" + id + ".m4a").isFile());
        QVERIFY(logText().contains("[harkwell] recorder: recovery: " + id + " is already being sent"));
    }

    void aHandOverThatDoesNotArriveKeepsTheRecording()
    {
        test::SessionFixture f;
        f.home.writeFile("Vault/_inbox", "a file where the inbox goes");
        f.start();
        f.play(1.0);
        const QString id = f.id();

        f.stopAndSend();

        QCOMPARE(f.session->state(), RecordingState::failed("Could not send the recording " + id
                                                            + ": the audio did not arrive in the vault's _inbox/.audio. It "
                                                              "is kept and can be sent again."));
        QVERIFY(QFileInfo::exists(f.workFolder(id)));
        QCOMPARE(f.sidecarOnDisk(id)->status, QStringLiteral("encoded"));
        QCOMPARE(f.session->pendingRecovery().size(), 1);

        // Discarding it from the list removes it and returns the session to idle.
        f.session->recoverDiscard(id);
        QVERIFY(!QFileInfo::exists(f.workFolder(id)));
        QVERIFY(f.session->pendingRecovery().isEmpty());
        QCOMPARE(f.session->state().kind, Kind::Idle);
    }

    void discardingACopiedFolderRemovesOnlyThatCopy()
    {
        test::SessionFixture f;
        f.start();
        f.play(1.0);
        const QString id = f.id();
        f.session->closeForTermination();
        const QString copy = id + " (copy)";
        QVERIFY(QDir().mkpath(f.workFolder(copy)));
        for (const QString& name : QDir(f.workFolder(id)).entryList(QDir::Files))
            QVERIFY(QFile::copy(f.workFolder(id) + "/" + name, f.workFolder(copy) + "/" + name));
        f.makeSession();
        f.session->launchCheck();
        QCOMPARE(f.session->pendingRecovery().size(), 2);

        f.session->recoverDiscard(copy);

        QVERIFY(!QFileInfo::exists(f.workFolder(copy)));
        QVERIFY(QFileInfo::exists(f.workFolder(id) + "/recording.json"));
        QCOMPARE(f.session->pendingRecovery().size(), 1);
        QCOMPARE(f.session->pendingRecovery().first().id, id);
    }

    // A link in the recordings folder is not offered, and neither Discard nor Send reaches
    // through it.
    void aLinkedFolderIsNeitherOfferedNorDeleted()
    {
        test::SessionFixture f;
        f.start();
        f.play(1.0);
        const QString id = f.id();
        f.session->closeForTermination();
        const QString outside = f.home.make("Elsewhere") + "/" + id;
        QVERIFY(QDir().rename(f.workFolder(id), outside));
        QVERIFY(QFile::link(outside, f.workFolder(id)));
        const QStringList held = QDir(outside).entryList(QDir::Files, QDir::Name);
        f.makeSession();

        f.session->launchCheck();
        f.session->recoverDiscard(id);
        QCoro::waitFor(f.session->recoverSend(id));

        QVERIFY(f.session->pendingRecovery().isEmpty());
        QCOMPARE(QDir(outside).entryList(QDir::Files, QDir::Name), held);
        QVERIFY(!QFileInfo::exists(f.inbox() + "/.audio/" + id + ".m4a"));
    }

    void anIdThatIsNotAFolderNameRemovesNothing_data()
    {
        QTest::addColumn<QString>("id");
        QTest::newRow("the folder above") << "..";
        QTest::newRow("further up") << "../../../..";
        QTest::newRow("the recordings folder itself") << ".";
        QTest::newRow("empty") << QString();
    }
    void anIdThatIsNotAFolderNameRemovesNothing()
    {
        QFETCH(QString, id);
        test::SessionFixture f;
        f.home.writeFile(Paths::recordingsFolder() + "/260304-080000/recording.json", "{}");
        f.home.writeFile(Paths::applicationSupport() + "/ledger.json", "{}");

        f.session->recoverDiscard(id);
        QCoro::waitFor(f.session->recoverSend(id));

        QVERIFY(QFileInfo::exists(Paths::applicationSupport() + "/ledger.json"));
        QVERIFY(QFileInfo::exists(Paths::recordingFolder("260304-080000") + "/recording.json"));
        QVERIFY(QFileInfo::exists(f.home.path() + "/Vault"));
        QVERIFY(logText().contains("[harkwell] recorder: recovery: “" + id + "” is not a recording id; not discarding"));
    }

    void theEchoDecision_data()
    {
        QTest::addColumn<EchoCancellationMode>("mode");
        QTest::addColumn<bool>("active");
        QTest::addColumn<bool>("speakerWarning");
        QTest::newRow("automatic on built-in speakers") << EchoCancellationMode::Automatic << true << false;
        QTest::newRow("on") << EchoCancellationMode::On << true << false;
        QTest::newRow("off on speakers warns") << EchoCancellationMode::Off << false << true;
    }
    void theEchoDecision()
    {
        QFETCH(EchoCancellationMode, mode);
        QFETCH(bool, active);
        QFETCH(bool, speakerWarning);
        test::SessionFixture f;
        f.settings.update([&](AppSettings& s) { s.recordingEchoCancellation = mode; });
        f.start();
        QCOMPARE(f.session->echoCancellationActive(), active);
        QCOMPARE(f.session->outputKind(), AudioOutputKind::BuiltInSpeakers);
        QCOMPARE(f.warningTexts().contains("The sound comes out of the speakers, so the microphone also hears the others. "
                                           "Use headphones, or turn on echo cancellation in Settings > Recording."),
                 speakerWarning);
    }

    void visibleConsentReminder()
    {
        test::SessionFixture f;
        f.notifications.setAuthorization(NotificationAuthorization::NotDetermined);
        f.start(false);
        QVERIFY(!f.session->consentNotified());
        f.wait(61.0);
        QCOMPARE(f.session->visibleConsentReminder(), std::optional<QString>(RecordingSession::kDefaultConsentText));
        QVERIFY(f.notifications.posted().isEmpty());

        test::SessionFixture notified;
        notified.start(false);
        notified.wait(59.0);
        QVERIFY(notified.session->visibleConsentReminder());
        notified.wait(1.0);
        QCOMPARE(notified.session->visibleConsentReminder(), std::nullopt);
    }
};

QTEST_GUILESS_MAIN(TestRecordingSession)
#include "tst_recording_session.moc"
