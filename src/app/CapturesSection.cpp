#include "app/CapturesSection.h"

#include "app/DayLabel.h"

namespace harkwell {

namespace {

bool isAccessProblem(const std::optional<CaptureAccess::State>& access)
{
    if (!access)
        return false;
    return access->isProblem();
}

QString clockTime(const QDateTime& time) { return time.toLocalTime().toString(QStringLiteral("HH:mm")); }

}  // namespace

QString CapturesSection::captureSummary(const CaptureStatus::Snapshot& snapshot)
{
    QStringList parts;
    const auto add = [&parts](int count, const char* word) {
        if (count >= 1)
            parts << QString::number(count) + QLatin1Char(' ') + QLatin1String(word);
    };
    add(snapshot.pending, "pending");
    add(snapshot.processing, "processing");
    add(snapshot.done, "done");
    add(snapshot.failed, "failed");
    return parts.join(QStringLiteral(", "));
}

QString CapturesSection::heartbeatLine(const std::optional<QDateTime>& lastPoll,
                                       const std::optional<QDateTime>& lastNewCapture, const QDateTime& now)
{
    if (!lastPoll)
        return QStringLiteral("Capture: starting\u2026");
    QString line = QStringLiteral("Checked ") + clockTime(*lastPoll);
    if (!lastNewCapture)
        return line + QStringLiteral(" \u00b7 nothing new since launch");
    return line + QStringLiteral(" \u00b7 last new ") + DayLabel::format(*lastNewCapture, now) + QLatin1Char(' ')
           + clockTime(*lastNewCapture);
}

MenuRows CapturesSection::rows(const Inputs& inputs, const Actions& actions)
{
    const CaptureStatus::Snapshot& snapshot = inputs.snapshot;
    const int jobs = snapshot.pending + snapshot.processing + snapshot.done + snapshot.failed;
    const bool notConnected = inputs.uploadEnabled && !(inputs.isPaired && inputs.isPaired());
    const bool accessProblem = isAccessProblem(inputs.access);
    if (jobs < 1 && !inputs.watching && !notConnected && !accessProblem)
        return {};

    MenuRows rows{MenuRow::header(QStringLiteral("Captures"))};
    if (notConnected) {
        rows << MenuRow::caption(QStringLiteral("Mirelon not connected"));
        rows << MenuRow::button(QStringLiteral("Connect in Settings\u2026"), actions.showSettings);
    }
    if (accessProblem) {
        rows << MenuRow::caption(inputs.access->summary(QStringLiteral("Voice Memos")));
        if (inputs.access->kind() == CaptureAccess::State::Kind::Denied) {
            rows << MenuRow::button(QStringLiteral("Open Full Disk Access settings\u2026"), actions.openFullDiskAccessSettings);
            rows << MenuRow::button(QStringLiteral("Restart harkwell"), [relaunch = actions.promptAndRelaunch] {
                if (relaunch)
                    relaunch(QLatin1String(kFullDiskAccessRestartReason));
            });
        }
    }
    if (jobs >= 1)
        rows << MenuRow::caption(captureSummary(snapshot));
    if (inputs.watching) {
        rows << MenuRow::caption(heartbeatLine(inputs.lastPoll, inputs.lastNewCapture, inputs.now));
        if (inputs.keepVoiceMemosRunning && !(inputs.voiceMemosRunning && inputs.voiceMemosRunning()))
            rows << MenuRow::caption(QStringLiteral("Voice Memos is not running"));
    }
    rows << MenuRow::button(QStringLiteral("Open capture log"), actions.openLog);
    if (snapshot.mostRecentId) {
        const QString id = *snapshot.mostRecentId;
        rows << MenuRow::button(QStringLiteral("Latest: ") + snapshot.mostRecentTitle.value_or(id),
                                [open = actions.openInboxNote, id] {
                                    if (open)
                                        open(id);
                                });
    }
    return rows;
}

}  // namespace harkwell
