#include "recording/RecordingRecovery.h"

#include "foundation/RecordingSidecarStore.h"

namespace harkwell {

void RecordingRecovery::saveSidecar(const RecordingSidecar& sidecar) { RecordingSidecarStore::save(sidecar); }

}  // namespace harkwell
