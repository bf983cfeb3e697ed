#pragma once
// Carries each capture from the watched folders into the vault's inbox and through the service:
// audio copy and stub note, upload, cache key, polling with back-off, and the transcript written
// into the note. Its progress lives in the note's job status, so unfinished captures are taken up
// again after a restart or a pairing. One task carries one capture id at a time (the claims).

#include "capture/FolderWatcher.h"
#include "foundation/InboxWriter.h"
#include "foundation/RecordingTypes.h"
#include "pipeline/CaptureClaims.h"
#include "pipeline/CaptureEvent.h"
#include "pipeline/RecordingSubmitOutcome.h"
#include "service/MirelonClient.h"

#include <QDateTime>
#include <QFuture>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace harkwell {

class AfterTranscriptCommand;
class CaptureCoordinator;
class CaptureStateStore;
class Clock;
class Settings;

class CapturePipeline final : public QObject {
    Q_OBJECT
public:
    using CaptureEvent = harkwell::CaptureEvent;
    using ClientFactory = std::function<std::shared_ptr<MirelonClient>()>;

    // What the pipeline reaches outside itself; the shared instance wires the process's own.
    struct Services {
        Settings* settings = nullptr;
        Clock* clock = nullptr;
        CaptureStateStore* seenLedger = nullptr;
        AfterTranscriptCommand* afterTranscript = nullptr;
        CaptureCoordinator* coordinator = nullptr;  // may be absent where nothing is watched
        ClientFactory makeClient;                   // one client for each use
        std::function<bool()> isPaired;             // whether a device token is stored, from memory
        std::function<bool()> readPaired;           // the same read from the store, off the main thread;
                                                    // isPaired when absent
    };

    explicit CapturePipeline(Services services, QObject* parent = nullptr);
    ~CapturePipeline() override;

    // The process's pipeline on the main thread, with the shared settings, ledger, coordinator and
    // after-transcript command, and clients made from the settings.
    static CapturePipeline& shared();

    static constexpr std::chrono::seconds kPollTimeout{21600};
    static constexpr int kMaxNotFoundPolls = 10;
    static constexpr std::chrono::seconds kTaskKeyTimeout{600};
    static constexpr int kKeySearchPages = 3;
    // Answers in a row that can never be used (malformed, past their cap) before polling gives up:
    // asking again gets the same answer.
    static constexpr int kMaxUnusableAnswers = 3;

    // Whether a start or a pairing takes the note's capture up again.
    static bool isResumable(const InboxFrontmatter& note);
    static bool isRecordingOrigin(const std::optional<QString>& origin);
    // The wait before the next status request, by the time polling has been going on.
    static std::chrono::seconds pollInterval(std::chrono::milliseconds elapsed);

    // Hands the coordinator's new captures to handle() and starts it; resumes unfinished captures
    // when uploads are on and the computer is paired.
    void start();
    void stop();
    // Returns at once; the work runs on the main thread when uploads are on and the computer is paired.
    void resumeUnfinished();
    // What a successful pairing calls: the shared pipeline's resumeUnfinished(). The application
    // hands it to MirelonAuth as its resume hook.
    static std::function<void()> pairingResumeHook();
    // The resume work itself, for callers that wait for it.
    QCoro::Task<> resumeWork();

    // The road of one new watched-folder capture, from its file to the end of polling.
    QCoro::Task<> handle(FolderWatcher::NewCapture capture);
    // The one re-upload entry (resume, retry, recordings): true when the audio was accepted and a
    // cache key is known; polling then goes on in a task of its own. Absent arguments take the
    // note's upload profile. A note that set out for the service without getting its key is first
    // looked for in the service's list of sources, by the file name its upload carried.
    QCoro::Task<bool> uploadExisting(QString id, std::optional<QString> contentSource = std::nullopt,
                                     std::optional<QStringList> tags = std::nullopt,
                                     std::optional<QMap<QString, QString>> sourceMetadata = std::nullopt);

    // A finished recording's encoded parts into the inbox, each a capture of its own, with uploads
    // started for the parts not yet transcribed.
    QCoro::Task<RecordingSubmitOutcome> submitRecording(QList<QUrl> parts, RecordingSidecar sidecar);

    // The transcript notifier's consumer, called on the main thread with every event.
    void setOnCaptureEvent(std::function<void(const CaptureEvent&)> callback);

    bool isClaimed(const QString& id) const { return m_claims.isClaimed(id); }
    // The vault's inbox as the settings name it now.
    InboxWriter inbox() const;

private:
    // Unusable: the answer came but can never be used as it is (malformed, past its cap).
    enum class FetchOutcome { Written, Refused, TryAgain, Unusable };

    QCoro::Task<QString> resolveId(FolderWatcher::NewCapture capture, QString source);
    QCoro::Task<std::optional<QString>> resolvedCacheKey(MirelonClient& client, UploadResult answer, QString id);
    QCoro::Task<std::optional<QString>> currentCacheKey(MirelonClient& client, QString id, QString deadKey);
    // The file name an upload of `id` goes under, which the service's list of sources shows.
    static QString uploadedFileName(const QString& id);
    // Whether an upload of the note may have reached the service without its key reaching the note.
    static bool mayHaveBeenTakenBefore(const InboxFrontmatter& note);
    QCoro::Task<> recordUpload(QString id, QString cacheKey, UploadResult answer);
    // Says so when the service hands a task or a key to a second capture: their notes would then
    // share one transcript's fate. Main thread only.
    void noteGiven(const QString& what, const QString& value, const QString& id);
    QCoro::Task<> pollUntilDone(std::shared_ptr<MirelonClient> client, QString id, QString cacheKey);
    // `unusable`, when the answer cannot be used, learns why.
    QCoro::Task<FetchOutcome> fetchTranscriptAndWrite(MirelonClient& client, QString id, QString cacheKey,
                                                      QString* unusable);
    // Polls in a task of its own, holding the claim until polling ends.
    void startPolling(std::shared_ptr<MirelonClient> client, QString id, QString cacheKey, CaptureClaims::Claim claim);
    QCoro::Task<> pollClaimed(std::shared_ptr<MirelonClient> client, QString id, QString cacheKey,
                              CaptureClaims::Claim claim);

    QCoro::Task<std::optional<InboxFrontmatter>> readNote(QString id) const;
    QCoro::Task<> writeJobStatus(QString id, QString status) const;
    // Writes the status, then reports the failure with it. (Callers hand coroutines named values or
    // literals only: g++ 12 may destroy a temporary of a co_await expression twice.)
    QCoro::Task<> fail(QString id, const char* status);
    void report(const CaptureEvent& event);
    // Whether the audio copy under `id` holds exactly the bytes of the file at `sourcePath`.
    QCoro::Task<bool> holdsSameAudio(QString id, QString sourcePath) const;
    // The file has its audio copy and note: recorded as seen under the id it was given.
    QCoro::Task<> settleInLedger(FolderWatcher::NewCapture capture, QString id);
    // The file could not be carried: the next poll takes it again.
    QCoro::Task<> releaseInLedger(FolderWatcher::NewCapture capture, QString why);
    // The file could not be read: released to be tried after its back-off, said only when new.
    QCoro::Task<> releaseUnreadable(FolderWatcher::NewCapture capture, QString id, QString why);
    std::shared_ptr<MirelonClient> makeClient() const;
    bool uploadsPossible() const;
    // Temporaries of copies and notes a crash or a kill cut short, removed on a worker.
    void removeLeftoverCopies();

    Services m_services;
    CaptureClaims m_claims;
    std::function<void(const CaptureEvent&)> m_onCaptureEvent;
    QFuture<void> m_cleanup;
    QDateTime m_created;  // the file system's time, not the clock's: it is compared with files' times
    QHash<QString, QString> m_given;  // "task <id>" or "cache_key <key>" → the capture it was given to
};

}  // namespace harkwell
