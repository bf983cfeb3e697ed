#include "capture/CaptureStateMigration.h"

namespace harkwell {

namespace {
const QString kVoiceMemos = QStringLiteral("voice-memos");
}

CaptureStateStore::State CaptureStateMigration::migrate(const CaptureStateStore::State& state)
{
    // A later layout is kept as read; it is written back unchanged.
    if (state.version > 1)
        return state;

    CaptureStateStore::State migrated;
    migrated.version = CaptureStateStore::kCurrentVersion;
    migrated.seenByFolder = state.seenByFolder;
    if (state.voiceMemosSeen.isEmpty())
        return migrated;

    // An entry already in the folder map wins: it is the newer record of that file.
    CaptureStateStore::FolderMap voiceMemos = state.seenByFolder.value(kVoiceMemos);
    for (auto it = state.voiceMemosSeen.cbegin(); it != state.voiceMemosSeen.cend(); ++it) {
        if (!voiceMemos.contains(it.key()))
            voiceMemos.insert(it.key(), it.value());
    }
    migrated.seenByFolder.insert(kVoiceMemos, voiceMemos);
    return migrated;
}

CaptureStateStore::State CaptureStateMigration::fromLegacyPythonState(const QStringList& processed,
                                                                      const QDateTime& importedAt)
{
    CaptureStateStore::FolderMap voiceMemos;
    for (const QString& name : processed)
        voiceMemos.insert(name, {importedAt, QString()});
    CaptureStateStore::State state;
    state.version = CaptureStateStore::kCurrentVersion;
    state.seenByFolder.insert(kVoiceMemos, voiceMemos);
    return state;
}

}  // namespace harkwell
