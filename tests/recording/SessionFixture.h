#pragma once
// A recorder on a simulated audio system: built-in speakers, a microphone that hears a tone, Zoom
// playing into the speakers; fake clock, power, disk, notifications and microphone permission;
// the real hand-over into a vault inbox with upload off. play() moves audio and time together.

#include "foundation/Settings.h"
#include "pipeline/RecordingSubmission.h"
#include "platform/audiohal/SimulatedAudioHardware.h"
#include "platform/clock/FakeClock.h"
#include "platform/disk/FakeDiskSpace.h"
#include "platform/media/AudioDurationProbe.h"
#include "platform/microphone/FakeMicrophoneAccess.h"
#include "platform/notifications/FakeNotifications.h"
#include "platform/power/FakePowerManagement.h"
#include "recording/RecordingRecovery.h"
#include "recording/RecordingSession.h"
#include "support/TempHome.h"

#include <QCoreApplication>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <atomic>
#include <memory>

namespace harkwell::test {

// Segment files on a disk that can fail: real files until told otherwise, then writes or
// openings fail with the disk's own words.
struct FailingDisk {
    static constexpr char kError[] = "No space left on device";
    std::atomic<bool> writesFail{false};  // read on the writer thread
    std::atomic<qint64> framesWritten{0};  // by the writer thread, so far
    std::atomic<int> failedWrites{0};
    bool opensFail = false;

    class File final : public SegmentFile {
    public:
        File(std::unique_ptr<SegmentFile> real, FailingDisk& disk)
            : SegmentFile(real->path())
            , m_real(std::move(real))
            , m_disk(disk)
        {
        }
        std::expected<void, QString> write(const float* interleaved, qint64 frames) override
        {
            if (m_disk.writesFail.load()) {
                ++m_disk.failedWrites;
                return std::unexpected(QString::fromLatin1(kError));
            }
            auto written = m_real->write(interleaved, frames);
            if (written)
                m_disk.framesWritten += frames;
            return written;
        }

    private:
        std::unique_ptr<SegmentFile> m_real;
        FailingDisk& m_disk;
    };

    SegmentFileFactory factory()
    {
        return [this](const QString& path, double rate) -> std::expected<std::unique_ptr<SegmentFile>, QString> {
            if (opensFail)
                return std::unexpected(QString::fromLatin1(kError));
            auto real = SegmentFile::create(path, rate);
            if (!real)
                return std::unexpected(real.error());
            return std::make_unique<File>(std::move(*real), *this);
        };
    }
};

struct SessionFixture {
    TempHome home;
    Settings settings{home.path() + "/settings.json"};
    FakeClock clock{QDateTime(QDate(2026, 3, 4), QTime(9, 0), Qt::LocalTime)};
    SimulatedAudioHardware hal;
    FakePowerManagement power;
    FakeDiskSpace disk;
    FakeNotifications notifications;
    FakeMicrophoneAccess microphone;
    FailingDisk segmentDisk;
    AudioObjectId zoom = 0;
    QStringList notSent;
    RecordingSubmission submission{{&settings, [] { return false; }, &AudioDurationProbe::system(), [](auto&&...) {}}};
    std::unique_ptr<RecordingSession> session;

    SessionFixture()
    {
        home.make("Vault");
        settings.update([](AppSettings& s) {
            s.vaultPath = "~/Vault";
            s.captureMirelonEnabled = false;
        });
        hal.addDevice({"speakers", "MacBook Speakers", {}, {2}, 48000, AudioTransport::kBuiltIn});
        SimulatedAudioHardware::Device mic{"mic", "MacBook Microphone", {1}, {}, 48000, AudioTransport::kBuiltIn};
        mic.input = {{440, 0.2f}};
        hal.addDevice(mic);
        hal.setDefaultOutput("speakers");
        hal.setDefaultInput("mic");
        zoom = hal.addProcess({4242, "us.zoom.xos", true, {300, 0.3f}, {300, 0.3f}});
        hal.addRunningApplication({4242, "us.zoom.xos", "Zoom", "/usr/share/zoom"});
        microphone.setAuthorization(MicrophoneAuthorization::Authorized);
        MicrophoneAccess::setCurrent(&microphone);
        makeSession();
    }
    ~SessionFixture()
    {
        session.reset();
        MicrophoneAccess::setCurrent(nullptr);
    }

    // Without audio the session stands for a launch where no audio server answers.
    void makeSession(bool withAudio = true)
    {
        RecordingSession::Services services;
        services.settings = &settings;
        services.clock = &clock;
        services.hardware = withAudio ? &hal : nullptr;
        services.power = &power;
        services.disk = &disk;
        services.notifications = &notifications;
        services.submitRecording = [this](QList<QUrl> parts, RecordingSidecar sidecar) {
            return submission.submit(std::move(parts), std::move(sidecar));
        };
        services.recordingNotSent = [this](const QString& id, const QString& message) { notSent << id << message; };
        services.segmentFiles = segmentDisk.factory();
        session = std::make_unique<RecordingSession>(std::move(services));
    }

    RecordingOptions options(bool withMicrophone = true) const
    {
        return {RecordingSource::allAudio(), withMicrophone, std::nullopt};
    }
    void start(const RecordingOptions& given) { QCoro::waitFor(session->start(given)); }
    void start(bool withMicrophone = true) { start(options(withMicrophone)); }
    void stopAndSend() { QCoro::waitFor(session->stopAndSend()); }

    // Audio in 100 ms steps, each followed by 100 ms of the clock.
    void play(double seconds, bool audio = true)
    {
        const int steps = int(seconds * 10 + 0.5);
        for (int i = 0; i < steps; ++i) {
            if (audio)
                hal.deliver(4800);
            clock.advance(std::chrono::milliseconds(100));
            QCoreApplication::processEvents();
            QCoreApplication::processEvents();
        }
    }
    // Time passes without audio (a quiet source, a machine asleep).
    void wait(double seconds) { play(seconds, false); }

    QString id() const { return session->currentId().value_or(QString()); }
    QString workFolder(const QString& id) const { return RecordingPaths::workFolder(id); }
    QString inbox() const { return home.path() + "/Vault/_inbox"; }
    std::optional<RecordingSidecar> sidecarOnDisk(const QString& id) const { return RecordingRecovery::loadSidecar(id); }
    QStringList warningTexts() const
    {
        QStringList texts;
        for (const RecordingWarning& w : session->warnings())
            texts.append(w.text);
        return texts;
    }
};

}  // namespace harkwell::test
