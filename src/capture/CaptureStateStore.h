#pragma once
// The seen ledger: for each watched folder, the names of the audio files capture has already dealt
// with, so that each file becomes a capture at most once, across restarts. Kept in memory and
// rewritten in full to state.json after every change (a batch of names is one change).
//
// A file handed on as a capture is only held until whoever took it has put its audio copy and note
// in place and marks it seen: the hold lives in memory, so a quit or a crash in between gives the
// file back to the next start instead of losing it.

#include "capture/CaptureBackoff.h"
#include "foundation/DecodeError.h"
#include "platform/clock/Clock.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QMap>
#include <QMutex>
#include <QSet>
#include <QString>
#include <QStringList>

#include <expected>
#include <optional>

namespace harkwell {

class CaptureStateStore {
public:
    struct SeenEntry {
        QDateTime firstSeen;
        QString canonicalId;  // empty for skipped files, legacy imports and the index marker
        // The size the file had when it was taken as a capture; nothing for everything else. Written
        // only when known, so older builds read the ledger as before.
        std::optional<qint64> size;
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

        // What could be read of a ledger: every entry that decodes, and how many did not.
        struct Salvaged;
        // As decode(), but an entry that does not decode (or a folder whose value is no map) is left
        // out and counted; fails only when the file is no JSON object or its version no integer.
        static std::expected<Salvaged, DecodeError> decodeSkippingInvalid(const QByteArray& json);

    private:
        static std::expected<Salvaged, DecodeError> decode(const QByteArray& json, bool skipInvalid);
    };

    CaptureStateStore(QString storePath, QString legacyPath, Clock& clock = Clock::system());
    CaptureStateStore(const CaptureStateStore&) = delete;
    CaptureStateStore& operator=(const CaptureStateStore&) = delete;

    // The ledger at $XDG_DATA_HOME/harkwell/state.json, loaded on first use.
    static CaptureStateStore& shared();

    // True for recorded names and for names held in this run.
    bool hasSeen(const QString& name, const QString& folderId) const;
    // Records the name (and ends its hold).
    void markSeen(const QString& name, const QString& canonicalId, const QString& folderId, const QDateTime& date);
    // Records every name → capture id of `names` with one write of the file.
    void markSeen(const QMap<QString, QString>& names, const QString& folderId, const QDateTime& date);
    // Records the index marker alone: the folder counts as indexed from now on.
    void markIndexed(const QString& folderId, const QDateTime& date);
    // A hold in memory only: the name counts as seen for this run and is written nowhere. `size`,
    // the size it was taken at, goes into its entry when the name is recorded.
    void hold(const QString& name, const QString& folderId, std::optional<qint64> size = std::nullopt);
    bool isHeld(const QString& name, const QString& folderId) const;
    // The recorded entry of a name, held or not.
    std::optional<SeenEntry> entry(const QString& name, const QString& folderId) const;
    void release(const QString& name, const QString& folderId);
    // Removes the names so the next poll takes those files again; returns how many entries went.
    // Leaves the index marker, so the folder is not indexed afresh and the files count as new.
    int forget(const QStringList& names, const QString& folderId);
    // Entries in the folder's map, the index marker included; 0 means the folder was never indexed.
    int seenCount(const QString& folderId) const;

    // The files of this run that could not be taken and when each is tried again: in memory only,
    // beside the holds, so a restart tries them all afresh.
    CaptureBackoff& oddFiles() { return m_oddFiles; }

    State snapshot() const;
    const QString& storePath() const { return m_storePath; }
    // True when state.json was there at start but could not be read (it was kept aside as
    // state.json.invalid): an empty ledger then says nothing about what the folders' files are.
    bool startedFromDamagedFile() const { return m_startedFromDamagedFile; }
    // When that damaged state.json was last written (invalid when unknown): files not changed since
    // were there to be indexed or taken before it, and count as seen.
    const QDateTime& damagedFileWritten() const { return m_damagedFileWritten; }

    static constexpr int kCurrentVersion = 2;
    static constexpr char kIndexMarker[] = ".harkwell-index-done";

private:
    void load();
    void keepAside(const QString& why);
    void persistLocked();

    const QString m_storePath;
    const QString m_legacyPath;
    Clock& m_clock;
    mutable QMutex m_lock;  // guards m_state and serialises the writes of state.json
    State m_state;
    QMap<QString, QHash<QString, std::optional<qint64>>> m_held;  // folder id → names handed on and not yet settled → size taken
    bool m_startedFromDamagedFile = false;
    QDateTime m_damagedFileWritten;
    CaptureBackoff m_oddFiles;
};

// Defined outside its class: it holds a State, which is complete only here.
struct CaptureStateStore::State::Salvaged {
    State state;
    int skipped = 0;
};

}  // namespace harkwell
