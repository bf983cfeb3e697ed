#pragma once
// The probes a new audio file is judged by before it becomes a capture: its modification date, its
// size and its playing time. Each answers nothing rather than failing; the folder watcher decides
// what nothing means for each guard.

#include "capture/CaptureProbes.h"

#include <QDateTime>
#include <QString>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <optional>

namespace harkwell {

class CaptureGuards {
public:
    explicit CaptureGuards(CaptureProbes probes) : m_probes(probes) {}

    // Of the file itself: a symbolic link is never followed.
    std::optional<QDateTime> modified(const QString& path) const;
    std::optional<qint64> size(const QString& path) const;
    // Nothing when the file is no readable audio, or when the probe has not answered within
    // kDurationProbeLimit: a file on a mount that stopped answering must not stall every folder.
    QCoro::Task<std::optional<double>> duration(const QString& path) const;

    // Reads the playing time from `afinfo -b` output: the first line whose text before " sec"
    // is a whole decimal number.
    static std::optional<double> parseDuration(const QString& afinfoOutput);

    static constexpr std::chrono::seconds kQtaMinimumAge{600};
    static constexpr std::chrono::seconds kRecheckPause{2};
    static constexpr int kMaxRechecks = 5;
    // How long a file's size and modification time must have stood still before it is taken: a
    // writer that pauses for less than this is not cut off in mid-file.
    static constexpr std::chrono::seconds kQuietPeriod{6};
    static constexpr double kShortestDuration = 0.5;
    static constexpr std::chrono::seconds kDurationProbeLimit{10};

private:
    CaptureProbes m_probes;
};

}  // namespace harkwell
