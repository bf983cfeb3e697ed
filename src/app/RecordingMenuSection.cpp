#include "app/RecordingMenuSection.h"

#include "recording/RecorderView.h"
#include "recording/RecordingRecovery.h"

#include <algorithm>

namespace harkwell {

namespace {

using Kind = RecordingState::Kind;
using Actions = RecordingMenuSection::Actions;

template <typename F, typename... Args>
void call(const F& function, Args&&... args)
{
    if (function)
        function(std::forward<Args>(args)...);
}

MenuRows systemAudioButtons(const RecordingMenuSection::Inputs& inputs, const Actions& actions)
{
    // No settings pane grants system audio here, so no row offers to open one.
    MenuRows rows;
    // Restarting in the middle of a recording would cut it short.
    if (!inputs.state.isActive() && inputs.state.kind != Kind::Starting)
        rows << MenuRow::button(QStringLiteral("Restart harkwell"), [actions] {
            call(actions.promptAndRelaunch, QString::fromLatin1(RecordingMenuSection::kSystemAudioRestartReason));
        });
    return rows;
}

MenuRows warningButtons(const RecordingWarning& warning, const RecordingMenuSection::Inputs& inputs, const Actions& actions)
{
    switch (warning.kind) {
    case RecordingWarning::Kind::SystemAudio:
        return systemAudioButtons(inputs, actions);
    case RecordingWarning::Kind::MicrophoneAccess:
        // No settings pane holds the microphone's permission here: the warning says what to do.
        return {};
    case RecordingWarning::Kind::MicrophoneSilent:
    case RecordingWarning::Kind::SpeakerEcho:
        return {MenuRow::button(QStringLiteral("Recording settings\u2026"), [actions] { call(actions.showSettings); })};
    case RecordingWarning::Kind::Power:
    case RecordingWarning::Kind::Note:
        break;
    }
    return {};
}

bool concernsSystemAudio(const RecordingMenuSection::Inputs& inputs)
{
    const QString& message = inputs.state.message;
    if (!message.contains(QStringLiteral("system audio"), Qt::CaseInsensitive)
        && !message.contains(QStringLiteral("audio recording"), Qt::CaseInsensitive))
        return false;
    // A system-audio warning carries the same buttons under its own text.
    return std::none_of(inputs.warnings.begin(), inputs.warnings.end(),
                        [](const RecordingWarning& w) { return w.kind == RecordingWarning::Kind::SystemAudio; });
}

MenuRows stateRows(const RecordingMenuSection::Inputs& inputs, const Actions& actions)
{
    switch (inputs.state.kind) {
    case Kind::Idle:
        return {MenuRow::button(QStringLiteral("Record\u2026"), [actions] { call(actions.bringRecorderForward); })};
    case Kind::Failed: {
        MenuRows rows{MenuRow::caption(inputs.state.message)};
        if (concernsSystemAudio(inputs))
            rows << systemAudioButtons(inputs, actions);
        rows << MenuRow::button(QStringLiteral("Dismiss"), [actions] { call(actions.discard); });
        return rows;
    }
    case Kind::Starting:
        return {MenuRow::caption(QStringLiteral("Starting recording\u2026"))};
    case Kind::Recording:
    case Kind::Paused: {
        MenuRow row = MenuRow::button(RecordingMenuSection::activeLabel(inputs.state, inputs.source),
                                      [actions] { call(actions.bringRecorderForward); });
        row.trailing = RecorderView::formatElapsed(inputs.elapsed);
        return {row};
    }
    case Kind::Finishing:
        return {MenuRow::caption(QStringLiteral("Finishing recording\u2026"))};
    }
    return {};
}

MenuRow recoveryRow(const RecordingSidecar& sidecar, const RecordingMenuSection::Inputs& inputs, const Actions& actions)
{
    const QString id = sidecar.id;
    if (inputs.recoveriesInFlight.contains(id))
        return MenuRow::caption(QStringLiteral("Sending recording %1\u2026").arg(id));

    const bool silent = RecordingRecovery::flaggedSilent(sidecar);
    const auto discardRow = [&](const QString& message, const QString& detail) {
        return MenuRow::button(QStringLiteral("Discard"), [actions, id, message, detail] {
            call(actions.confirmDiscard, message, detail, [actions, id] { call(actions.recoverDiscard, id); });
        });
    };
    if (silent)
        return MenuRow::submenu(
            QStringLiteral("Silent recording ") + id,
            {discardRow(QStringLiteral("Discard silent recording %1?").arg(id),
                        QStringLiteral("No audio reached harkwell during this recording, so it holds only silence. It is "
                                       "deleted and not sent."))});
    return MenuRow::submenu(
        QStringLiteral("Unfinished recording ") + id,
        {MenuRow::button(QStringLiteral("Send what was recorded"), [actions, id] { call(actions.recoverSend, id); }),
         discardRow(QStringLiteral("Discard unfinished recording %1?").arg(id),
                    QStringLiteral("The audio recorded before harkwell stopped is deleted and not sent. This cannot be "
                                   "undone."))});
}

}  // namespace

QString RecordingMenuSection::activeLabel(const RecordingState& state, const RecordingSource& source)
{
    const QString word = state.kind == Kind::Paused ? QStringLiteral("Paused") : QStringLiteral("Recording");
    const QString what = source.isApp() ? source.name : QStringLiteral("All audio");
    return word + QStringLiteral(" \u00b7 ") + what + QStringLiteral("\u2026");
}

MenuRows RecordingMenuSection::rows(const Inputs& inputs, const Actions& actions)
{
    MenuRows rows = stateRows(inputs, actions);
    if (inputs.visibleConsentReminder)
        rows << MenuRow::caption(*inputs.visibleConsentReminder);
    for (const RecordingWarning& warning : inputs.warnings) {
        rows << MenuRow::caption(warning.text);
        rows << warningButtons(warning, inputs, actions);
    }
    if (inputs.lastResult)
        rows << MenuRow::caption(*inputs.lastResult);
    for (const RecordingSidecar& sidecar : inputs.pendingRecovery)
        rows << recoveryRow(sidecar, inputs, actions);
    return rows;
}

}  // namespace harkwell
