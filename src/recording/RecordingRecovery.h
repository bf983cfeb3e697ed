#pragma once
// Recordings left in their work folders: the one place outside the running writer that stores
// a recording's recording.json.

#include "foundation/RecordingTypes.h"

namespace harkwell {

class RecordingRecovery {
public:
    RecordingRecovery() = delete;

    // Writes <work folder>/recording.json durably, only while the work folder exists; a failure
    // is logged and the call returns normally.
    static void saveSidecar(const RecordingSidecar& sidecar);
};

}  // namespace harkwell
