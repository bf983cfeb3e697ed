// RecordingSession: the 1 s clock and its guards, the consent reminder, and what happens to a
// running recording when something other than the user's buttons changes: sleep, wake, quit, the
// engine's levels, rebuilt graphs, errors and output changes, and the echo decision.

#include "recording/RecordingSession.h"

#include "audio/AudioProcessCatalog.h"
#include "audio/RecordingEngine.h"
#include "audio/RecordingWriter.h"
#include "foundation/Settings.h"
#include "platform/clock/Clock.h"
#include "platform/disk/DiskSpace.h"
#include "platform/notifications/Notifications.h"
#include "platform/paths/Paths.h"
#include "platform/power/PowerManagement.h"

#include <QMutexLocker>
#include <QPointer>

#include <chrono>

namespace harkwell {

namespace {

using namespace std::chrono_literals;

constexpr char kBatteryWarning[] = "On battery power: closing the lid puts this computer to sleep and interrupts the recording.";

QCoro::Task<> everySecond(Clock& clock, QPointer<RecordingSession> session, std::function<bool()> tick)
{
    for (;;) {
        auto waiting = clock.sleep(1s);
        co_await waiting;
        if (!session || !tick())
            co_return;
    }
}

double secondsBetween(const QDateTime& from, const QDateTime& to) { return double(from.msecsTo(to)) / 1000.0; }

// Seconds since `earlier`, where an invalid time is the distant past.
double secondsSince(const QDateTime& earlier, const QDateTime& now)
{
    return earlier.isValid() ? secondsBetween(earlier, now) : std::numeric_limits<double>::infinity();
}

}  // namespace

// ---- clock and guards -------------------------------------------------------------------------

void RecordingSession::startClock()
{
    stopClock();
    m_clockRunning = true;
    const quint64 generation = ++m_clockGeneration;
    everySecond(*m_services.clock, QPointer<RecordingSession>(this), [this, generation] {
        if (generation != m_clockGeneration)
            return false;
        tick();
        return true;
    });
}

void RecordingSession::stopClock()
{
    ++m_clockGeneration;
    m_clockRunning = false;
}

void RecordingSession::tick()
{
    if (!isActive())
        return;
    const QDateTime now = m_services.clock->now();
    const double running =
        m_state.kind == RecordingState::Kind::Paused || !m_runningSince ? 0 : secondsBetween(*m_runningSince, now);
    setElapsed(m_bankedElapsed + running);
    if (checkWriteFailure())
        return;
    if (secondsSince(m_lastDiskCheck, now) >= 30) {
        m_lastDiskCheck = now;
        if (checkDiskFloor())
            return;
        checkPower();
    }
    recordLostAudio();
    if (m_state.kind == RecordingState::Kind::Recording) {
        checkSilentCapture(now);
        checkAutoStop(now);
    }
}

void RecordingSession::recordLostAudio()
{
    if (!m_engine || !m_writer)
        return;
    const double lost = m_engine->lostSeconds();
    if (lost <= m_lostRecorded)
        return;
    m_lostRecorded = lost;
    QMutexLocker locker(&m_writer->lock());
    m_writer->stateLocked().lostSeconds = lost;
    m_writer->persistLocked();
}

bool RecordingSession::checkWriteFailure()
{
    if (!m_writer)
        return false;
    QString error;
    {
        QMutexLocker locker(&m_writer->lock());
        if (m_writer->failedWritesLocked() < 1)
            return false;
        error = m_writer->lastWriteErrorLocked().value_or(QStringLiteral("write failed"));
    }
    log(QStringLiteral("writing %1 failed (%2); stopping").arg(idText(), error));
    addWarning(QStringLiteral("Recording stopped: harkwell could not save the audio to disk (") + error
                   + QStringLiteral("). What was saved before is being sent."),
               RecordingWarning::Kind::Note);
    endEarly();
    return true;
}

bool RecordingSession::checkDiskFloor()
{
    if (!m_services.disk)
        return false;
    const auto capacity = m_services.disk->capacity(Paths::recordingsFolder());
    if (!capacity)
        return false;
    const bool importantLow = capacity->importantUsage && *capacity->importantUsage < kImportantUsageFloor;
    const bool availableLow = capacity->available && *capacity->available < kAvailableFloor;
    if (!importantLow && !availableLow)
        return false;
    log(QStringLiteral("%1 bytes free (%2 for important usage); stopping %3")
            .arg(capacity->available.value_or(-1))
            .arg(capacity->importantUsage.value_or(-1))
            .arg(idText()));
    addWarning(QStringLiteral("Recording stopped: the disk is nearly full."), RecordingWarning::Kind::Note);
    endEarly();
    return true;
}

bool RecordingSession::isOnBattery() { return m_services.power && m_services.power->isOnBattery(); }

void RecordingSession::checkPower()
{
    const bool onBattery = isOnBattery();
    if (onBattery && !m_batteryWarned) {
        m_batteryWarned = true;
        log(QStringLiteral("on battery; a closed lid will interrupt %1").arg(idText()));
        addWarning(QString::fromLatin1(kBatteryWarning), RecordingWarning::Kind::Power);
    } else if (!onBattery && m_batteryWarned) {
        m_batteryWarned = false;
        removeWarnings(RecordingWarning::Kind::Power);
    }
}

void RecordingSession::checkSilentCapture(const QDateTime& now)
{
    if (!isSupported() || m_elapsed < kGuardDelay)
        return;
    if (secondsSince(m_lastGuardCheck, now) < 2)
        return;
    m_lastGuardCheck = now;
    if (!m_systemHeardSound && !m_systemGuardWarned && sourceIsPlaying()) {
        m_systemGuardWarned = true;
        log(QStringLiteral("system side silent while audio plays; system audio permission likely missing"));
        addWarning(QStringLiteral("No system audio is reaching harkwell. Linux asks no permission for it: check that "
                                  "PipeWire runs and the sound plays on the default output, then restart harkwell."),
                   RecordingWarning::Kind::SystemAudio);
    }
    // Counted from when the microphone came on: turned on late, it gets the same grace.
    const double micOnFor = m_elapsed - m_micOnSince;
    if (m_options.includeMicrophone && !m_micHeardSound && !m_micGuardWarned && micOnFor >= kGuardDelay) {
        m_micGuardWarned = true;
        log(QStringLiteral("microphone side digitally silent after %1 s").arg(QString::number(micOnFor, 'f', 0)));
        const QString name =
            m_engine ? m_engine->microphoneName().value_or(QStringLiteral("the default input")) : QStringLiteral("the default input");
        addWarning(QStringLiteral("No sound is reaching harkwell from the microphone (") + name
                       + QStringLiteral("). Check that it is not muted, or pick another microphone in Settings > Recording."),
                   RecordingWarning::Kind::MicrophoneSilent);
    }
}

bool RecordingSession::micSideSilent(const RecordingSidecar& live) const
{
    // Silent only when a microphone took part and was never heard, whatever it does now.
    return live.microphoneName.has_value() && !m_micEverHeard;
}

bool RecordingSession::sourceIsPlaying()
{
    const QList<AudioApp> apps = audioApps();
    if (!m_options.source.isApp())
        return std::any_of(apps.begin(), apps.end(), [](const AudioApp& app) { return app.isPlaying; });
    for (const AudioApp& app : apps)
        if (app.bundleId == m_options.source.bundleId)
            return app.isPlaying;
    return false;
}

void RecordingSession::checkAutoStop(const QDateTime& now)
{
    const int minutes = m_services.settings->settings().recordingAutoStopMinutes.value_or(0);
    if (minutes < 1)
        return;
    if (secondsBetween(m_lastSoundAt, now) < minutes * 60.0)
        return;
    log(QStringLiteral("%1 min of silence on both sides; stopping %2").arg(QString::number(minutes), idText()));
    addWarning(QStringLiteral("Stopped automatically after %1 min of silence.").arg(minutes), RecordingWarning::Kind::Note);
    endEarly();
}

Notifications& RecordingSession::notifications() const
{
    return m_services.notifications ? *m_services.notifications : Notifications::current();
}

void RecordingSession::showConsentReminder()
{
    const AppSettings settings = m_services.settings->settings();
    if (!settings.recordingConsentReminder.value_or(true))
        return;
    const QString text = settings.recordingConsentText.value_or(QString::fromLatin1(kDefaultConsentText));
    if (text.isEmpty())
        return;
    m_consentReminder = text;
    emit changed();
    log(QStringLiteral("consent reminder: %1").arg(text));
    if (!m_services.hasBundleIdentifier)
        return;
    if (notifications().authorization() != NotificationAuthorization::Authorized) {
        log(QStringLiteral("notifications are not allowed; the consent reminder stays in the menu"));
        return;
    }
    const QString id = m_currentId.value_or(QString());
    NotificationRequest request;
    request.identifier = QStringLiteral("harkwell.recorder.consent.") + id;
    request.title = QStringLiteral("harkwell is recording");
    request.body = text;
    const QPointer<RecordingSession> self(this);
    notifications().add(request, [self, id](std::expected<void, NotificationError> added) {
        if (!added) {
            log(QStringLiteral("consent notification failed: %1").arg(added.error().text));
            return;
        }
        if (self && self->m_currentId == id) {
            self->m_consentNotified = true;
            emit self->changed();
        }
    });
}

void RecordingSession::postNotification(const QString& id, const QString& title, const QString& body)
{
    if (!m_services.hasBundleIdentifier)
        return;
    NotificationRequest request;
    request.identifier = id;
    request.title = title;
    request.body = body;
    request.sound = false;
    notifications().add(request, [](std::expected<void, NotificationError> added) {
        if (!added)
            log(QStringLiteral("notification failed: %1").arg(added.error().text));
    });
}

// ---- system events ----------------------------------------------------------------------------

void RecordingSession::closeForTermination()
{
    if (!isActive() || !m_writer)
        return;
    stopClock();
    if (m_engine)
        m_engine->stop();
    recordLostAudio();
    m_engine.reset();
    m_writer->finish();
    {
        QMutexLocker locker(&m_writer->lock());
        RecordingSidecar& live = m_writer->stateLocked();
        live.systemSideSilent = !m_systemHeardSound;
        live.micSideSilent = micSideSilent(live);
        live.levels = levelSummary();
        if (!live.endedAt)
            live.endedAt = m_services.clock->now();
        m_writer->persistLocked();
    }
    m_writer.reset();
    releaseSleepAssertion();
    log(QStringLiteral("app quit while recording %1; kept for recovery").arg(idText()));
}

void RecordingSession::willSleep()
{
    if (!isActive())
        return;
    m_sleptAt = m_services.clock->now();
    if (m_state.kind == RecordingState::Kind::Recording)
        bankRunningTime();
    const bool onBattery = isOnBattery();
    log(QStringLiteral("the Mac is going to sleep during %1 (%2)")
            .arg(idText(), onBattery ? QStringLiteral("battery") : QStringLiteral("power")));
    if (onBattery)
        postNotification(QStringLiteral("harkwell.recorder.sleep.") + m_currentId.value_or(QString()),
                         QStringLiteral("Recording interrupted"),
                         QStringLiteral("This computer is going to sleep on battery. harkwell's recording has a gap until it wakes."));
}

void RecordingSession::didWake()
{
    if (!isActive() || !m_sleptAt)
        return;
    const QDateTime slept = *m_sleptAt;
    m_sleptAt.reset();
    const QDateTime now = m_services.clock->now();
    log(QStringLiteral("woke after %1 s asleep during %2").arg(QString::number(secondsBetween(slept, now), 'f', 0), idText()));
    const QString format = QStringLiteral("HH:mm");
    addWarning(QStringLiteral("This computer slept from ") + slept.toLocalTime().toString(format) + QStringLiteral(" to ")
                   + now.toLocalTime().toString(format) + QStringLiteral("; the recording has a gap there."),
               RecordingWarning::Kind::Note);
    if (m_state.kind != RecordingState::Kind::Recording)
        return;
    m_runningSince = now;
    m_lastSoundAt = now;
    if (!isSupported() || !m_engine || !m_writer)
        return;
    if (auto begun = m_writer->beginSegment(m_engine->sampleRate(), m_engine->microphoneName(),
                                            QString::fromLatin1(SegmentReason::kWake), std::nullopt, referenceDelay());
        !begun) {
        log(QStringLiteral("could not start a segment after waking: %1").arg(begun.error().text));
        addWarning(QStringLiteral("The recording could not continue after this computer woke; what was recorded is being sent."),
                   RecordingWarning::Kind::Note);
        endEarly();
        return;
    }
    m_engine->verifyIOAfterWake();
}

// ---- engine callbacks -------------------------------------------------------------------------

void RecordingSession::receive(const RecordingLevels& levels)
{
    if (m_state.kind != RecordingState::Kind::Recording)
        return;
    m_levels = levels;
    publishMeters();
    m_levelPeakMic = std::max(m_levelPeakMic, levels.micPeak);
    m_levelPeakSystem = std::max(m_levelPeakSystem, levels.systemPeak);
    m_levelSquaresMic += double(levels.micRms) * double(levels.micRms);
    m_levelSquaresSystem += double(levels.systemRms) * double(levels.systemRms);
    ++m_levelTicks;

    if (!m_systemHeardSound && levels.systemPeak > kHeardFloor) {
        m_systemHeardSound = true;
        if (m_writer) {
            QMutexLocker locker(&m_writer->lock());
            m_writer->stateLocked().systemSideSilent = false;
            m_writer->persistLocked();
        }
    }
    if (m_options.includeMicrophone && !m_micHeardSound && levels.micPeak > kHeardFloor) {
        m_micHeardSound = m_micEverHeard = true;
        if (m_writer) {
            QMutexLocker locker(&m_writer->lock());
            m_writer->stateLocked().micSideSilent = false;
            m_writer->persistLocked();
        }
    }
    if (std::max(levels.systemPeak, levels.micPeak) >= kAutoStopFloor)
        m_lastSoundAt = m_services.clock->now();
}

void RecordingSession::formatChanged(double sampleRate, const std::optional<QString>& micName)
{
    if (!m_writer)
        return;
    log(QStringLiteral("device change on %1: %2 Hz, microphone %3")
            .arg(idText(), QString::number(sampleRate, 'f', 0), micName.value_or(QStringLiteral("off"))));
    if (m_state.kind == RecordingState::Kind::Recording && isSupported() && m_engine) {
        {
            QMutexLocker locker(&m_writer->lock());
            m_writer->stateLocked().levels = levelSummary();
            m_writer->persistLocked();
        }
        const QString reason = m_pendingSegmentReason.value_or(QString::fromLatin1(SegmentReason::kDeviceChange));
        if (auto begun = m_writer->beginSegment(sampleRate, micName, reason, echoCancellationWanted(*m_engine),
                                                referenceDelay());
            !begun) {
            log(QStringLiteral("could not start a segment after the device change: %1").arg(begun.error().text));
            addWarning(QStringLiteral("The audio device changed and recording could not continue; what was recorded is "
                                      "being sent."),
                       RecordingWarning::Kind::Note);
            endEarly();
            return;
        }
        stampLastSegment();
    }
    applyEchoCancellation(false);
}

void RecordingSession::engineFailed(const QString& message)
{
    log(QStringLiteral("engine error on %1: %2").arg(idText(), message));
    if (!isActive())
        return;
    addWarning(QStringLiteral("Recording stopped: ") + message, RecordingWarning::Kind::Note);
    endEarly();
}

// ---- echo decision ----------------------------------------------------------------------------

QString RecordingSession::echoSetting() const
{
    return toRawValue(m_services.settings->settings().recordingEchoCancellation.value_or(EchoCancellationMode::Automatic));
}

double RecordingSession::referenceDelay() const
{
    return m_engine ? std::max(m_engine->outputLatency() - 0.05, 0.0) : 0.0;
}

bool RecordingSession::echoCancellationWanted(const RecordingEngine& engine) const
{
    if (!m_options.includeMicrophone || !engine.options().includeMicrophone)
        return false;
    switch (m_services.settings->settings().recordingEchoCancellation.value_or(EchoCancellationMode::Automatic)) {
    case EchoCancellationMode::On:
        return true;
    case EchoCancellationMode::Off:
        return false;
    case EchoCancellationMode::Automatic:
        break;
    }
    return outputCountsAsSpeakers(engine) && !engine.outputIsAirPlay()
           && engine.outputLatency() <= RecordingEngine::kEchoLatencyLimit;
}

bool RecordingSession::outputCountsAsSpeakers(const RecordingEngine& engine)
{
    const AudioOutputKind kind = engine.outputKind();
    if (kind == AudioOutputKind::BuiltInSpeakers || kind == AudioOutputKind::ExternalSpeakers)
        return true;
    // Many outputs cannot tell what they are (null, network, USB, route-less cards). The
    // canceller leaves a near end without echo untouched, while echo left in from speakers can
    // never be taken out later: such an output counts as speakers, unless it is the headset the
    // microphone belongs to.
    return kind == AudioOutputKind::Unknown && !engine.outputSharesMicrophone();
}

void RecordingSession::settingsChanged()
{
    if (isActive())
        applyEchoCancellation(true);
}

void RecordingSession::applyEchoCancellation(bool cutSegment)
{
    if (!isSupported() || !m_engine || !m_writer)
        return;
    RecordingEngine& engine = *m_engine;
    const bool wanted = echoCancellationWanted(engine);
    const AudioOutputKind kind = engine.outputKind();
    const bool changedDecision = wanted != m_echoCancellationActive || wanted != m_writer->echoSwitch();
    const bool headset = kind == AudioOutputKind::Unknown && engine.outputSharesMicrophone();
    if (m_outputKind != kind || m_outputIsHeadset != headset) {
        m_outputKind = kind;
        m_outputIsHeadset = headset;
        emit changed();
    }
    if (changedDecision) {
        bool cut = false;
        if (cutSegment && m_state.kind == RecordingState::Kind::Recording) {
            cut = true;
            if (auto begun = m_writer->beginSegment(engine.sampleRate(), engine.microphoneName(),
                                                    QString::fromLatin1(SegmentReason::kEchoChange), wanted,
                                                    referenceDelay())) {
                stampLastSegment();
            } else {
                log(QStringLiteral("could not start a segment after the echo change: %1").arg(begun.error().text));
                addWarning(QStringLiteral("Recording could not continue after the sound output changed; what was "
                                          "recorded is being sent."),
                           RecordingWarning::Kind::Note);
                endEarly();
            }
        }
        if (!cut)
            m_writer->setEchoSwitch(wanted);
        log(QStringLiteral("echo cancellation %1 on %2 (setting %3, output %4)")
                .arg(wanted ? QStringLiteral("on") : QStringLiteral("off"), idText(), echoSetting(), toRawValue(kind)));
    }
    if (wanted != m_echoCancellationActive) {
        m_echoCancellationActive = wanted;
        m_cleanMicPeak = 0;
        publishMeters();
        emit changed();
    }

    const bool speakers = kind == AudioOutputKind::BuiltInSpeakers || kind == AudioOutputKind::ExternalSpeakers;
    if (!m_options.includeMicrophone || !speakers) {
        removeWarnings(RecordingWarning::Kind::SpeakerEcho);
        return;
    }
    QString text;
    if (engine.outputIsAirPlay() || engine.outputLatency() > RecordingEngine::kEchoLatencyLimit)
        text = QStringLiteral("The sound plays through AirPlay or a speaker with a long delay, later than echo cancellation "
                              "can follow, so the microphone also hears the others. Use headphones or this computer's own "
                              "speakers.");
    else if (echoSetting() == QLatin1String("off"))
        text = QStringLiteral("The sound comes out of the speakers, so the microphone also hears the others. Use "
                              "headphones, or turn on echo cancellation in Settings > Recording.");
    if (text.isEmpty()) {
        removeWarnings(RecordingWarning::Kind::SpeakerEcho);
        return;
    }
    const bool otherText = std::any_of(m_warnings.begin(), m_warnings.end(), [&](const RecordingWarning& w) {
        return w.kind == RecordingWarning::Kind::SpeakerEcho && w.text != text;
    });
    if (otherText)
        removeWarnings(RecordingWarning::Kind::SpeakerEcho);
    addWarning(text, RecordingWarning::Kind::SpeakerEcho);
}

void RecordingSession::stampLastSegment()
{
    if (!isSupported() || !m_engine || !m_writer)
        return;
    QMutexLocker locker(&m_writer->lock());
    RecordingSidecar& live = m_writer->stateLocked();
    if (live.segments.isEmpty())
        return;
    live.segments.last().source = m_options.source;
    live.segments.last().channelLayout = QString::fromLatin1(
        m_engine->options().includeMicrophone ? ChannelLayout::kMicrophoneSystem : ChannelLayout::kSystemStereo);
    m_writer->persistLocked();
}

// ---- warnings, failure, keeping awake, running time --------------------------------------------

void RecordingSession::addWarning(const QString& text, RecordingWarning::Kind kind)
{
    if (std::any_of(m_warnings.begin(), m_warnings.end(), [&](const RecordingWarning& w) { return w.text == text; }))
        return;
    m_warnings.append({kind, text});
    QStringList texts;
    for (const RecordingWarning& w : m_warnings)
        texts.append(w.text);
    m_warning = texts.join(QLatin1Char(' '));
    emit changed();
}

void RecordingSession::removeWarnings(RecordingWarning::Kind kind)
{
    const qsizetype removed = m_warnings.removeIf([kind](const RecordingWarning& w) { return w.kind == kind; });
    if (removed == 0)
        return;
    QStringList texts;
    for (const RecordingWarning& w : m_warnings)
        texts.append(w.text);
    m_warning = texts.isEmpty() ? std::nullopt : std::optional(texts.join(QLatin1Char(' ')));
    emit changed();
}

void RecordingSession::fail(const QString& message, bool keepFolder, const QString& id)
{
    log(message);
    if (!keepFolder)
        removeWorkFolder(id);
    releaseSleepAssertion();
    stopClock();
    m_writer.reset();
    m_currentId = keepFolder ? std::optional(id) : std::nullopt;
    m_levels = {};
    publishMeters();
    m_consentReminder.reset();
    setState(RecordingState::failed(message));
}

void RecordingSession::holdSleepAssertion()
{
    if (m_hasSleepAssertion || !m_services.power)
        return;
    const auto held = m_services.power->holdIdleSleep(QStringLiteral("harkwell is recording audio"));
    m_hasSleepAssertion = held.has_value();
    if (!held)
        log(QStringLiteral("could not hold the sleep assertion (%1)").arg(held.error().text));
}

void RecordingSession::releaseSleepAssertion()
{
    if (!m_hasSleepAssertion)
        return;
    m_services.power->releaseIdleSleep();
    m_hasSleepAssertion = false;
}

void RecordingSession::bankRunningTime()
{
    if (m_runningSince) {
        m_bankedElapsed += secondsBetween(*m_runningSince, m_services.clock->now());
        m_runningSince.reset();
    }
    setElapsed(m_bankedElapsed);
}

}  // namespace harkwell
