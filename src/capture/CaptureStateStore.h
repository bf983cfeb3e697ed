#pragma once
// The seen ledger: for each watched folder, the names of the audio files capture has already dealt
// with, so that each file becomes a capture at most once, across restarts. Kept in memory and
// rewritten in full to state.json after every change.

#include "foundation/DecodeError.h"
#include "platform/clock/Clock.h"

#include <QByteArray>
#include <QDateTime>
#include <QMap>
#include <QMutex>
#include <QString>
#include <QStringList>

#include <expected>

namespace harkwell {

class CaptureStateStore {
public:
    struct SeenEntry {
        QDateTime firstSeen;
        QString canonicalId;  // empty for skipped files, legacy imports and the index marker
        bool operator==(const SeenEntry&) const = default;
    };
    using FolderMap = QMap<QString, SeenEntry>;  // file name → entry

    struct State {
        int version = kCurrentVersion;
        QMap<QString, FolderMap> seenByFolder;  // watched-folder id → its map
        FolderMap voiceMemosSeen;               // the single Voice Memos map of version 1
        bool operator==(const State&) const = default;

        int entryCount() const;
        // Pretty-printed, keys sorted, dates in UTC to the second.
        QByteArray encode() const;
        static std::expected<State, DecodeError> decode(const QByteArray& json);
    };

    CaptureStateStore(QString storePath, QString legacyPath, Clock& clock = Clock::system());
    CaptureStateStore(const CaptureStateStore&) = delete;
    CaptureStateStore& operator=(const CaptureStateStore&) = delete;

    // The ledger at ~/Library/Application Support/harkwell/state.json, loaded on first use.
    static CaptureStateStore& shared();

    bool hasSeen(const QString& name, const QString& folderId) const;
    void markSeen(const QString& name, const QString& canonicalId, const QString& folderId, const QDateTime& date);
    // Removes the names so the next poll takes those files again; returns how many entries went.
    // Leaves the index marker, so the folder is not indexed afresh and the files count as new.
    int forget(const QStringList& names, const QString& folderId);
    // Entries in the folder's map, the index marker included; 0 means the folder was never indexed.
    int seenCount(const QString& folderId) const;

    State snapshot() const;
    const QString& storePath() const { return m_storePath; }

    static constexpr int kCurrentVersion = 2;
    static constexpr char kIndexMarker[] = ".harkwell-index-done";

private:
    void load();
    void persistLocked();

    const QString m_storePath;
    const QString m_legacyPath;
    Clock& m_clock;
    mutable QMutex m_lock;  // guards m_state and serialises the writes of state.json
    State m_state;
};

}  // namespace harkwell
