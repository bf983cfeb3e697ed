#pragma once
// Watches one enabled watched folder: indexes what is already there the first time, then on each
// poll runs the guards on every file the seen ledger does not hold yet and turns each file that
// passes into one new capture.

#include "capture/CaptureAccess.h"
#include "capture/CaptureGuards.h"
#include "capture/CaptureProbes.h"
#include "capture/CaptureStateStore.h"
#include "capture/FolderCalls.h"
#include "foundation/WatchedFolder.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace harkwell {

class FolderWatcher {
public:
    // The one record by which a new audio file leaves capture.
    struct NewCapture {
        QUrl sourceUrl;  // the file inside the watched folder
        QString canonicalId;
        QDateTime timestamp;  // the recording moment canonicalId was formed from
        QString folderId;
        // The file as the guards last saw it at rest: a copy of anything else is not this capture.
        std::optional<FileStat> settled;
        bool operator==(const NewCapture&) const = default;
    };

    FolderWatcher(WatchedFolder folder, CaptureStateStore& store, CaptureProbes probes);

    const WatchedFolder& folder() const { return m_folder; }
    // The Voice Memos folder is wherever Voice Memos keeps it; others at their path, "~" expanded.
    QString location() const;
    CaptureAccess::State accessState() const;
    // False while a file-system call in the folder hangs past its deadline: the folder is skipped.
    bool answering() const { return m_calls->answering(); }

    // Marks the audio files already in a never-indexed folder as seen; returns how many. A readable
    // folder without audio is marked indexed too.
    int runInitialIndex();
    // The new captures of this poll, in listing order. Waits through the clock for size re-checks.
    // Each is only held in the ledger: its taker marks it seen, or releases it to be taken again.
    // `handOver`, when given, is called with each capture the moment it passes the guards.
    QCoro::Task<QList<NewCapture>> poll(std::function<void(const NewCapture&)> handOver = {});

    // How long after a capture a file that grows is taken again; a modification time that changes
    // alone (a sync tool, a tag editor) never is.
    static constexpr std::chrono::hours kGrowthWindow{24};

private:
    struct Candidate {
        QString name;
        QString path;
        bool isSymbolicLink = false;
    };
    std::optional<QList<Candidate>> candidateFiles() const;
    // The size an earlier capture of the file took, when the file has grown since, within
    // kGrowthWindow of that capture: the earlier one was cut from a file still being written.
    std::optional<qint64> grownSinceTaken(const Candidate& file) const;
    // The last guards of a file found quiet; the capture it becomes, held in the ledger.
    QCoro::Task<std::optional<NewCapture>> take(Candidate file, FileStat settled, std::optional<qint64> grownFrom);
    std::optional<QDateTime> timestamp(const Candidate& file) const;
    // Said once for each state the file is found in; a file that cannot be taken as it is waits out
    // its back-off, one that is still being written (`wait` None) is looked at again at the next poll.
    void defer(const Candidate& file, const std::optional<FileStat>& seen, const QString& reason,
               CaptureBackoff::Wait wait = CaptureBackoff::Wait::BackOff, const QString& state = {}) const;
    void passOver(const Candidate& file, const QString& reason) const;
    void ignoreLink(const Candidate& file) const;

    const WatchedFolder m_folder;
    CaptureStateStore& m_store;
    std::unique_ptr<FolderCalls> m_calls;  // every file-system call about the folder goes here
    CaptureProbes m_probes;
    CaptureGuards m_guards;
};

}  // namespace harkwell
