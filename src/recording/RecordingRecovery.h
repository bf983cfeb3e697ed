#pragma once
// Recordings left in their work folders by a quit, a crash, a failed hand-over or a silent stop:
// finding them at launch (rebuilding a lost recording.json from the segment files), clearing away
// finished folders and the recorder's leftover devices, and the one place outside the running
// writer that stores a recording's recording.json. Stateless; callable from any thread.

#include "foundation/RecordingTypes.h"

#include <QSet>
#include <QString>

#include <optional>

namespace harkwell {

class RecorderHAL;

class RecordingRecovery {
public:
    RecordingRecovery() = delete;

    // A side whose peak stays at or below this is digital silence.
    static constexpr float kHeardFloor = 1e-6f;

    // Whether the recording is taken as digital silence on every side, by its flags.
    static bool flaggedSilent(const RecordingSidecar& sidecar);

    // The sidecar with its silence flags cleared for every side whose audio in the segment files
    // rises above kHeardFloor, saved when that changed anything. The flags only say what the
    // session heard while it ran; the audio is what will be sent.
    static RecordingSidecar remeasureSilence(RecordingSidecar sidecar);

    // The statuses of a recording that is offered again.
    static const QSet<QString>& unfinishedStatuses();

    // The unfinished recordings on disk, newest first; folders of sent or discarded recordings
    // are removed on the way. The folder named `excluding` (the recording under way) is skipped.
    static QList<RecordingSidecar> scan(const std::optional<QString>& excluding = std::nullopt);

    // <work folder>/recording.json, in any date form a build of the recorder has written.
    static std::optional<RecordingSidecar> loadSidecar(const QString& id);

    // A sidecar rebuilt from the segment files and saved; none when there are no segments.
    static std::optional<RecordingSidecar> reconstructSidecar(const QString& id);

    // A copy whose last segment and whole recording have end times; saves nothing.
    static RecordingSidecar closeOpenEnds(RecordingSidecar sidecar);

    // Writes <work folder>/recording.json durably, only while the work folder exists; a failure
    // is logged and the call returns normally.
    static void saveSidecar(const RecordingSidecar& sidecar);

    // Deletes every ".m4a" file of the work folder.
    static void removeEncodedParts(const QString& id);

    // Deletes the work folder and what it holds, never what a symbolic link points at: a work
    // folder that is itself a link is left alone (and logged). False when anything stayed.
    static bool removeWorkFolder(const QString& id);

    // Whether <recordings folder>/<id> is a symbolic link: such an entry is never read, offered
    // or removed through, since whatever it points at lies outside the recordings folder.
    static bool isLink(const QString& id);

    // Destroys every aggregate device the recorder made and left behind; returns how many.
    static int destroyLeftoverAggregates(RecorderHAL& hal);

    // "yyMMdd-HHmmss" at the start of an id, in local time; none when it does not parse.
    static std::optional<QDateTime> startFromId(const QString& id);
};

}  // namespace harkwell
