#pragma once
// The menu's "Captures" section: whether upload lacks a pairing, whether the Voice Memos folder can
// be read, how many capture jobs stand where, when the folders were last polled, the log and the
// newest capture note. Left out entirely while there is nothing to tell.

#include "app/MenuRow.h"
#include "pipeline/CaptureStatus.h"

#include <QDateTime>

#include <functional>
#include <optional>

namespace harkwell {

class CapturesSection {
public:
    struct Inputs {
        CaptureStatus::Snapshot snapshot;
        std::optional<CaptureAccess::State> access;
        std::optional<QDateTime> lastPoll;
        std::optional<QDateTime> lastNewCapture;
        bool watching = false;               // at least one watched folder enabled
        bool uploadEnabled = false;
        std::function<bool()> isPaired;      // asked only while upload is on
        bool keepVoiceMemosRunning = false;
        std::function<bool()> voiceMemosRunning;
        QDateTime now;
    };

    struct Actions {
        std::function<void()> showSettings;
        std::function<void()> openFullDiskAccessSettings;
        std::function<void(const QString& reason)> promptAndRelaunch;
        std::function<void()> openLog;
        std::function<void(const QString& id)> openInboxNote;
    };

    static constexpr char kFullDiskAccessRestartReason[] =
        "macOS applies a Full Disk Access grant only when an app starts, so harkwell needs to restart before "
        "it can read the Voice Memos folder.";

    // The header and its rows, or nothing when the section is not shown.
    static MenuRows rows(const Inputs& inputs, const Actions& actions);

    static QString captureSummary(const CaptureStatus::Snapshot& snapshot);
    static QString heartbeatLine(const std::optional<QDateTime>& lastPoll, const std::optional<QDateTime>& lastNewCapture,
                                 const QDateTime& now);
};

}  // namespace harkwell
