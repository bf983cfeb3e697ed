#pragma once
// Stores a recording's recording.json once its writer has let go of it (the session after a stop,
// the pipeline as it hands parts over): written whole or not at all, and only while the work
// folder is there, so a recording that was sent and removed is never brought back as a stray file.

#include "foundation/RecordingTypes.h"
#include "platform/files/AtomicFile.h"

#include <QString>

#include <expected>

namespace harkwell {

class RecordingSidecarStore {
public:
    static constexpr char kFileName[] = "recording.json";

    // <work folder of id>/recording.json
    static QString path(const QString& id);

    // Writes the record durably into its existing work folder; does nothing when the folder is
    // missing. A failure is logged, not returned: the callers carry on either way.
    static void save(const RecordingSidecar& sidecar);

    // The write itself, for callers that want the failure: false when there was no folder.
    static std::expected<bool, FileError> write(const RecordingSidecar& sidecar);
};

}  // namespace harkwell
