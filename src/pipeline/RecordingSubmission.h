#pragma once
// Hands a finished recording's encoded parts to the vault's inbox, each as a capture of its own
// (audio copy and stub note), records in the recording's sidecar under which id each part went,
// and starts the uploads of the parts still to be transcribed. Handing the same recording over
// again finds the parts an earlier attempt placed and reuses them instead of copying them twice.

#include "foundation/InboxWriter.h"
#include "foundation/RecordingTypes.h"
#include "pipeline/RecordingSubmitOutcome.h"

#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <functional>
#include <optional>

namespace harkwell {

class AudioDurationProbe;
class Settings;

class RecordingSubmission {
public:
    // Starts the upload of one inbox capture in a task of its own and does not wait for it (the
    // pipeline's re-upload entry, which claims the id and then polls to the end).
    using StartUpload = std::function<void(const QString& id, const QString& contentSource, const QStringList& tags,
                                           const QMap<QString, QString>& sourceMetadata)>;

    struct Services {
        Settings* settings = nullptr;
        std::function<bool()> isPaired;  // whether a device token is stored
        AudioDurationProbe* durations = nullptr;
        StartUpload startUpload;
    };

    explicit RecordingSubmission(Services services);

    // Returns once every part has been handled and the uploads have been started. The file work
    // runs on a worker, one part after the other; the caller's sidecar is not changed (the one on
    // disk is). The object must outlive the call.
    QCoro::Task<RecordingSubmitOutcome> submit(QList<QUrl> parts, RecordingSidecar sidecar) const;

    // "All audio", or the recorded app's name.
    static QString recorderSourceText(const RecordingSource& source);
    // The base id when neither its note nor its audio copy exists, else the first free of
    // <base>_2 … <base>_999, else <base>_ and 8 characters of a new UUID.
    static QString freeId(const InboxWriter& inbox, const QString& base);

private:
    struct Placement;

    Placement place(const QList<QUrl>& parts, RecordingSidecar sidecar, const InboxWriter& inbox, bool uploadOn) const;
    // The stub of an earlier hand-over of a recording part under `id`, with its audio copy; when a
    // start is given, only one created within 2 s of it.
    static std::optional<InboxFrontmatter> recordingInVault(const InboxWriter& inbox, const QString& id,
                                                            const std::optional<QDateTime>& startedAt);

    Services m_services;
};

}  // namespace harkwell
