#pragma once
// Upgrades older layouts of the seen ledger: version 1 kept Voice Memos names in a map of its own,
// and the legacy voice-memo watcher kept a plain list of processed names.

#include "capture/CaptureStateStore.h"

namespace harkwell {

class CaptureStateMigration {
public:
    static CaptureStateStore::State migrate(const CaptureStateStore::State& state);
    static CaptureStateStore::State fromLegacyPythonState(const QStringList& processed, const QDateTime& importedAt);
};

}  // namespace harkwell
