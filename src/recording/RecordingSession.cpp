#include "recording/RecordingSession.h"

#include "audio/AudioProcessCatalog.h"
#include "audio/RecordingEngine.h"
#include "audio/RecordingPermissions.h"
#include "audio/RecordingWriter.h"
#include "foundation/HarkwellLog.h"
#include "foundation/Settings.h"
#include "pipeline/CapturePipeline.h"
#include "pipeline/TranscriptNotifier.h"
#include "platform/clock/Clock.h"
#include "platform/disk/StatvfsDiskSpace.h"
#include "platform/paths/Paths.h"
#include "platform/power/LogindPowerManagement.h"
#include "recording/RecordingRecovery.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMutexLocker>
#include <QtConcurrent/QtConcurrentRun>

#include <qcoro/qcorofuture.h>

#include <cmath>
#include <filesystem>

namespace harkwell {

namespace {

RecorderHAL* g_sharedHardware = nullptr;

bool isBusy(const RecordingState& state)
{
    using Kind = RecordingState::Kind;
    return state.kind == Kind::Starting || state.kind == Kind::Recording || state.kind == Kind::Paused
           || state.kind == Kind::Finishing;
}

QString sourceText(const RecordingSource& source)
{
    return source.isApp() ? source.name : QStringLiteral("All audio");
}

QString layoutFor(const RecordingEngine& engine)
{
    return QString::fromLatin1(engine.options().includeMicrophone ? ChannelLayout::kMicrophoneSystem
                                                                  : ChannelLayout::kSystemStereo);
}

}  // namespace

RecordingSession::RecordingSession(Services services, QObject* parent)
    : QObject(parent)
    , m_services(std::move(services))
{
    if (m_services.hardware)
        m_catalog = std::make_unique<AudioProcessCatalog>(*m_services.hardware);
    const AppSettings settings = m_services.settings->settings();
    m_options.source = settings.recordingSource.value_or(RecordingSource::allAudio());
    m_options.includeMicrophone = settings.recordingIncludeMicrophone.value_or(true);
    m_options.microphoneUid = settings.recordingMicrophoneUid;
    m_lastSoundAt = m_services.clock->now();
    if (m_services.power) {
        connect(m_services.power, &PowerManagement::willSleep, this, [this] { willSleep(); });
        connect(m_services.power, &PowerManagement::didWake, this, [this] { didWake(); });
    }
}

RecordingSession::~RecordingSession()
{
    stopClock();
    if (m_engine)
        m_engine->stop();
    if (m_writer)
        m_writer->finish();
    releaseSleepAssertion();
}

void RecordingSession::useSharedHardware(RecorderHAL* hardware) { g_sharedHardware = hardware; }

RecordingSession& RecordingSession::shared()
{
    static LogindPowerManagement power;
    static StatvfsDiskSpace disk;
    static RecordingSession* session = [] {
        Services services;
        services.settings = &Settings::shared();
        services.clock = &Clock::system();
        services.hardware = g_sharedHardware;
        services.power = &power;
        services.disk = &disk;
        services.submitRecording = [](QList<QUrl> parts, RecordingSidecar sidecar) {
            return CapturePipeline::shared().submitRecording(std::move(parts), std::move(sidecar));
        };
        services.recordingNotSent = [](const QString& id, const QString& message) {
            TranscriptNotifier::shared().recordingNotSent(id, message);
        };
        auto* made = new RecordingSession(std::move(services), qApp);
        QObject::connect(qApp, &QCoreApplication::aboutToQuit, made, [made] { made->closeForTermination(); });
        return made;
    }();
    return *session;
}

void RecordingSession::log(const QString& message) { HarkwellLog::log(QStringLiteral("[harkwell] recorder: ") + message); }

QString RecordingSession::idText() const { return m_currentId.value_or(QStringLiteral("?")); }

// ---- published fields -------------------------------------------------------------------------

void RecordingSession::setState(RecordingState state)
{
    m_state = std::move(state);
    emit stateChanged(m_state);
    emit changed();
}

void RecordingSession::setOptions(const RecordingOptions& options)
{
    m_options = options;
    emit changed();
}

void RecordingSession::setLastResult(std::optional<QString> text)
{
    m_lastResult = std::move(text);
    emit changed();
}

void RecordingSession::clearWarnings()
{
    m_warnings.clear();
    m_warning.reset();
    emit changed();
}

void RecordingSession::publishMeters()
{
    RecordingLevels reading = m_levels;
    if (m_echoCancellationActive && reading != RecordingLevels{})
        reading.micPeak = m_cleanMicPeak;
    m_meters.setLevels(reading);
}

void RecordingSession::setElapsed(double seconds)
{
    m_elapsed = seconds;
    m_elapsedClock.setElapsed(seconds);
}

std::optional<QString> RecordingSession::visibleConsentReminder() const
{
    if (!isActive() || !m_consentReminder)
        return std::nullopt;
    if (m_consentNotified && m_elapsed >= kConsentMenuSeconds)
        return std::nullopt;
    return m_consentReminder;
}

QList<AudioApp> RecordingSession::audioApps() { return m_catalog ? m_catalog->audioApps() : QList<AudioApp>{}; }

RecordingSidecar::LevelsSummary RecordingSession::levelSummary() const
{
    const double n = double(std::max<qint64>(m_levelTicks, 1));
    return {m_levelPeakMic, float(std::sqrt(m_levelSquaresMic / n)), m_levelPeakSystem,
            float(std::sqrt(m_levelSquaresSystem / n))};
}

void RecordingSession::endEarly()
{
    // Never inside the handler that found the reason: the engine or writer may be on the stack.
    QMetaObject::invokeMethod(this, [this] { stopAndSend(); }, Qt::QueuedConnection);
}

// ---- start ------------------------------------------------------------------------------------

QString RecordingSession::uniqueId(const QDateTime& now) const
{
    const QString base = recordingCanonicalId(now);
    QString candidate = base;
    for (int n = 2; QFileInfo::exists(RecordingPaths::workFolder(candidate)); ++n)
        candidate = base + QLatin1Char('_') + QString::number(n);
    return candidate;
}

QCoro::Task<bool> RecordingSession::microphoneGranted(bool requestIfUndetermined)
{
    switch (RecordingPermissions::microphoneStatus()) {
    case RecordingPermissions::MicrophoneStatus::Authorized:
        co_return true;
    case RecordingPermissions::MicrophoneStatus::Denied:
        co_return false;
    case RecordingPermissions::MicrophoneStatus::NotDetermined:
        break;
    }
    if (!requestIfUndetermined)
        co_return false;
    auto request = RecordingPermissions::requestMicrophone();
    const bool granted = co_await request;
    co_return granted;
}

void RecordingSession::installEngineCallbacks(RecordingEngine& engine)
{
    const QPointer<RecordingSession> self(this);
    engine.onLevels = [self](const RecordingLevels& levels) {
        if (self)
            self->receive(levels);
    };
    engine.onFormatChange = [self](double rate, const std::optional<QString>& micName) {
        if (self)
            self->formatChanged(rate, micName);
    };
    engine.onError = [self](const QString& message) {
        if (self)
            self->engineFailed(message);
    };
    engine.onOutputKindChange = [self](AudioOutputKind) {
        if (self)
            self->applyEchoCancellation(true);
    };
}

QCoro::Task<> RecordingSession::start(RecordingOptions options)
{
    if (!isSupported() || isBusy(m_state))
        co_return;

    // A start that waits on the permission prompt may be overtaken: discarded, then started again.
    const quint64 attempt = ++m_startAttempt;
    setState({RecordingState::Kind::Starting, {}});
    clearWarnings();
    m_levels = {};
    publishMeters();
    setElapsed(0);
    m_currentId.reset();
    m_consentReminder.reset();
    m_consentNotified = false;
    m_sleptAt.reset();
    m_batteryWarned = false;
    m_cleanMicPeak = 0;
    if (m_echoCancellationActive) {
        m_echoCancellationActive = false;
        emit changed();
    }

    bool microphone = false;
    if (options.includeMicrophone) {
        if (m_catalog->inputDevices().isEmpty()) {
            log(QStringLiteral("no input device; recording system audio only"));
        } else {
            auto asking = microphoneGranted(true);
            microphone = co_await asking;
            if (attempt != m_startAttempt || m_state.kind != RecordingState::Kind::Starting)
                co_return;  // discarded while the permission prompt was up
            if (!microphone) {
                addWarning(QString::fromLatin1(kMicrophoneAccessWarning), RecordingWarning::Kind::MicrophoneAccess);
                log(QStringLiteral("microphone not authorised; recording system audio only"));
            }
        }
    }
    RecordingOptions effective = options;
    effective.includeMicrophone = microphone;
    setOptions(effective);

    const QDateTime now = m_services.clock->now();
    const QString id = uniqueId(now);
    const QString folder = RecordingPaths::workFolder(id);
    std::error_code created;
    std::filesystem::create_directories(QFile::encodeName(folder).toStdString(), created);
    if (created || !QFileInfo(folder).isDir()) {
        const QString reason = created ? QString::fromLocal8Bit(created.message().c_str()) : QStringLiteral("not a folder");
        fail(QStringLiteral("Could not create the recording folder: ") + reason, false, id);
        co_return;
    }
    m_currentId = id;

    m_engine = std::make_unique<RecordingEngine>(effective, *m_services.hardware, *m_services.clock);
    installEngineCallbacks(*m_engine);
    if (auto started = m_engine->start(); !started) {
        m_engine->stop();
        m_engine.reset();
        const RecordingEngine::EngineError& error = started.error();
        if (error.userText() != error.message)
            log(QStringLiteral("Could not start recording: ") + error.message);
        fail(QStringLiteral("Could not start recording: ") + error.userText(), false, id);
        co_return;
    }
    RecordingEngine& engine = *m_engine;

    const bool withMicrophone = microphone && engine.microphoneName().has_value();
    if (microphone && !engine.microphoneName()) {
        effective.includeMicrophone = false;
        setOptions(effective);
    }

    RecordingSidecar sidecar;
    sidecar.id = id;
    sidecar.startedAt = now;
    sidecar.source = effective.source;
    sidecar.microphoneName = withMicrophone ? engine.microphoneName() : std::nullopt;
    sidecar.channelLayout = layoutFor(engine);
    sidecar.status = QString::fromLatin1(RecordingStatus::kRecording);
    sidecar.systemSideSilent = true;
    sidecar.micSideSilent = withMicrophone;  // a side is silent until it is heard
    sidecar.echoCancellation = echoSetting();
    sidecar.outputKind = toRawValue(engine.outputKind());

    auto writer = std::make_unique<RecordingWriter>(folder, sidecar, *m_services.clock, m_services.segmentFiles);
    connect(writer.get(), &RecordingWriter::micLevel, this, [this](float level) {
        if (m_state.kind == RecordingState::Kind::Recording)
            m_cleanMicPeak = std::clamp(level, 0.0f, 1.0f);
    });
    if (auto begun = writer->beginSegment(engine.sampleRate(), engine.microphoneName(),
                                          QString::fromLatin1(SegmentReason::kStart), echoCancellationWanted(engine),
                                          referenceDelay());
        !begun) {
        m_engine->stop();
        m_engine.reset();
        writer->finish();
        writer.reset();
        fail(QStringLiteral("Could not write the recording: ") + begun.error().text, false, id);
        co_return;
    }
    {
        QMutexLocker locker(&writer->lock());
        writer->stateLocked().status = QString::fromLatin1(RecordingStatus::kRecording);
        writer->persistLocked();
    }
    m_writer = std::move(writer);
    stampLastSegment();
    m_writer->startDraining(engine.ring());

    holdSleepAssertion();

    m_levelPeakMic = m_levelPeakSystem = 0;
    m_levelSquaresMic = m_levelSquaresSystem = 0;
    m_levelTicks = 0;
    m_systemHeardSound = m_micHeardSound = m_micEverHeard = false;
    m_micOnSince = 0;
    m_lostRecorded = 0;
    m_systemGuardWarned = m_micGuardWarned = false;
    m_lastGuardCheck = QDateTime();
    m_lastSoundAt = now;
    m_lastDiskCheck = QDateTime();
    m_bankedElapsed = 0;
    m_runningSince = now;

    startClock();
    setState({RecordingState::Kind::Recording, {}});
    applyEchoCancellation(false);

    log(QStringLiteral("started %1 (source: %2, microphone: %3, %4 Hz, %5, output %6 at %7 ms, echo cancellation %8 -> %9)")
            .arg(id, sourceText(effective.source),
                 withMicrophone ? engine.microphoneName().value_or(QStringLiteral("default")) : QStringLiteral("off"),
                 QString::number(engine.sampleRate(), 'f', 0), sidecar.channelLayout, toRawValue(engine.outputKind()),
                 QString::number(engine.outputLatency() * 1000.0, 'f', 0), echoSetting(),
                 m_echoCancellationActive ? QStringLiteral("on") : QStringLiteral("off")));

    checkPower();
    showConsentReminder();
}

// ---- stop and send, discard -------------------------------------------------------------------

QCoro::Task<> RecordingSession::stopAndSend()
{
    if (!isActive() || !m_writer || !m_currentId)
        co_return;
    const QString id = *m_currentId;

    bankRunningTime();
    setState({RecordingState::Kind::Finishing, {}});
    stopClock();
    if (m_engine)
        m_engine->stop();
    recordLostAudio();
    m_engine.reset();
    std::unique_ptr<RecordingWriter> writer = std::move(m_writer);
    m_levels = {};
    publishMeters();

    // Joining the writer thread waits for its last drain: not on the main thread.
    RecordingWriter* finishing = writer.get();
    QFuture<RecordingSidecar> finished = QtConcurrent::run([finishing] { return finishing->finish(); });
    co_await finished;

    releaseSleepAssertion();

    const bool microphone = m_options.includeMicrophone;
    const bool systemSilent = !m_systemHeardSound;
    const bool micSilent = microphone && !m_micHeardSound;
    RecordingSidecar final;
    {
        QMutexLocker locker(&writer->lock());
        RecordingSidecar& live = writer->stateLocked();
        live.systemSideSilent = systemSilent;
        live.micSideSilent = micSideSilent(live);
        live.levels = levelSummary();
        if (!live.endedAt)
            live.endedAt = m_services.clock->now();
        writer->persistLocked();
        final = live;
    }
    writer.reset();

    log(QStringLiteral("stopped %1 after %2 s (system %3, microphone %4)")
            .arg(id, QString::number(m_elapsed, 'f', 0), systemSilent ? QStringLiteral("silent") : QStringLiteral("heard"),
                 !microphone ? QStringLiteral("off") : micSilent ? QStringLiteral("silent") : QStringLiteral("heard")));

    if (systemSilent && !m_micEverHeard) {
        log(QStringLiteral("%1 is digital silence on every side; not sending").arg(id));
        addToRecovery(final);
        const QString message =
            QStringLiteral("Nothing was recorded: no system audio reached harkwell")
            + (microphone ? QStringLiteral(" and the microphone was silent") : QString())
            + QStringLiteral(". Linux asks no permission for system audio: check that PipeWire runs and the sound plays on "
                             "the default output before the next recording. This recording is silent; discard it under Silent recording ")
            + id + QStringLiteral(".");
        setState(RecordingState::failed(message));
        if (m_services.recordingNotSent)
            m_services.recordingNotSent(id, message);
        co_return;
    }

    auto sending = encodeAndSubmit(final);
    const auto summary = co_await sending;
    if (summary) {
        setLastResult(withNotes(*summary));
        clearWarnings();
        m_currentId.reset();
        setState({RecordingState::Kind::Idle, {}});
        co_return;
    }
    log(QStringLiteral("sending %1 failed: %2").arg(id, summary.error()));
    addToRecovery(RecordingRecovery::loadSidecar(id).value_or(final));
    setState(RecordingState::failed(QStringLiteral("Could not send the recording ") + id + QStringLiteral(": ")
                                    + summary.error() + QStringLiteral(". It is kept and can be sent again.")));
}

void RecordingSession::discard()
{
    switch (m_state.kind) {
    case RecordingState::Kind::Idle:
    case RecordingState::Kind::Finishing:
        return;
    case RecordingState::Kind::Failed:
        clearWarnings();
        m_currentId.reset();
        setState({RecordingState::Kind::Idle, {}});
        return;
    case RecordingState::Kind::Starting:
    case RecordingState::Kind::Recording:
    case RecordingState::Kind::Paused:
        break;
    }
    stopClock();
    if (m_engine)
        m_engine->stop();
    m_engine.reset();
    if (m_writer) {
        m_writer->finish();
        m_writer.reset();
    }
    releaseSleepAssertion();
    if (m_currentId) {
        removeWorkFolder(*m_currentId);
        log(QStringLiteral("discarded %1").arg(*m_currentId));
    }
    m_currentId.reset();
    m_levels = {};
    publishMeters();
    setElapsed(0);
    m_consentReminder.reset();
    clearWarnings();
    setState({RecordingState::Kind::Idle, {}});
}

// ---- pause, resume, change --------------------------------------------------------------------

void RecordingSession::pause()
{
    if (m_state.kind != RecordingState::Kind::Recording || !m_writer)
        return;
    if (m_engine)
        m_engine->meter().paused.store(1);
    {
        QMutexLocker locker(&m_writer->lock());
        m_writer->endSegmentLocked();
    }
    {
        QMutexLocker locker(&m_writer->lock());
        m_writer->stateLocked().status = QString::fromLatin1(RecordingStatus::kPaused);
        m_writer->stateLocked().levels = levelSummary();
        m_writer->persistLocked();
    }
    bankRunningTime();
    m_levels = {};
    publishMeters();
    setState({RecordingState::Kind::Paused, {}});
    log(QStringLiteral("paused %1 at %2 s").arg(idText(), QString::number(m_elapsed, 'f', 0)));
}

void RecordingSession::resume()
{
    if (m_state.kind != RecordingState::Kind::Paused || !m_writer || !isSupported() || !m_engine)
        return;
    applyEchoCancellation(false);
    RecordingEngine& engine = *m_engine;
    if (auto begun = m_writer->beginSegment(engine.sampleRate(), engine.microphoneName(),
                                            QString::fromLatin1(SegmentReason::kResume), std::nullopt, referenceDelay());
        !begun) {
        log(QStringLiteral("could not resume %1: %2").arg(idText(), begun.error().text));
        addWarning(QStringLiteral("Could not resume the recording (") + begun.error().text
                       + QStringLiteral("); what was recorded is being sent."),
                   RecordingWarning::Kind::Note);
        endEarly();
        return;
    }
    stampLastSegment();
    engine.meter().paused.store(0);
    {
        QMutexLocker locker(&m_writer->lock());
        m_writer->stateLocked().status = QString::fromLatin1(RecordingStatus::kRecording);
        m_writer->persistLocked();
    }
    const QDateTime now = m_services.clock->now();
    m_runningSince = now;
    m_lastSoundAt = now;
    setState({RecordingState::Kind::Recording, {}});
    log(QStringLiteral("resumed %1").arg(idText()));
}

QCoro::Task<> RecordingSession::change(RecordingOptions requested)
{
    if (!isActive() || !isSupported() || !m_engine)
        co_return;

    bool microphone = false;
    if (requested.includeMicrophone) {
        if (m_catalog->inputDevices().isEmpty()) {
            microphone = false;
        } else if (m_options.includeMicrophone) {
            microphone = true;
        } else {
            auto asking = microphoneGranted(true);
            const bool granted = co_await asking;
            if (!isActive() || !m_engine)
                co_return;
            if (!granted)
                addWarning(QString::fromLatin1(kMicrophoneAccessWarning), RecordingWarning::Kind::MicrophoneAccess);
            microphone = granted;
        }
    }

    RecordingOptions effective = requested;
    effective.includeMicrophone = microphone;
    if (effective == m_options)
        co_return;

    const QString reason = effective.source != m_options.source ? QString::fromLatin1(SegmentReason::kSourceChange)
                           : microphone                          ? QString::fromLatin1(SegmentReason::kMicrophoneOn)
                                                                 : QString::fromLatin1(SegmentReason::kMicrophoneOff);
    const bool microphoneTurnedOn = microphone && !m_options.includeMicrophone;
    setOptions(effective);
    m_pendingSegmentReason = reason;
    log(QStringLiteral("%1 on %2: source %3, microphone %4")
            .arg(reason, idText(), sourceText(effective.source), microphone ? QStringLiteral("on") : QStringLiteral("off")));

    // The engine rebuilds at once and reports the new graph through formatChanged().
    m_engine->reconfigure(effective);
    m_pendingSegmentReason.reset();
    applyEchoCancellation(false);
    if (!m_engine)
        co_return;

    if (m_writer) {
        QMutexLocker locker(&m_writer->lock());
        RecordingSidecar& live = m_writer->stateLocked();
        if (microphone && m_engine->microphoneName())
            live.microphoneName = m_engine->microphoneName();
        live.channelLayout = live.channelLayoutWith(layoutFor(*m_engine));
        m_writer->persistLocked();
    }
    if (microphoneTurnedOn) {
        m_micHeardSound = false;
        m_micGuardWarned = false;
        m_micOnSince = m_elapsed;
        // What was heard before it went off stays heard: the flag speaks for the whole recording.
        if (m_writer && !m_micEverHeard) {
            QMutexLocker locker(&m_writer->lock());
            m_writer->stateLocked().micSideSilent = true;
            m_writer->persistLocked();
        }
    }
}

}  // namespace harkwell
