#include "pipeline/CapturePipeline.h"

#include "foundation/DurationSeconds.h"
#include "capture/CaptureCoordinator.h"
#include "capture/CaptureStateStore.h"
#include "foundation/HarkwellLog.h"
#include "foundation/JobStatus.h"
#include "foundation/Settings.h"
#include "pipeline/AfterTranscriptCommand.h"
#include "pipeline/CaptureRetry.h"
#include "pipeline/RecordingSubmission.h"
#include "pipeline/UploadProfile.h"
#include "platform/clock/Clock.h"
#include "platform/files/FileNames.h"
#include "platform/filesystem/FileSystem.h"
#include "platform/media/AudioDurationProbe.h"
#include "platform/paths/Paths.h"
#include "service/Keychain.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QUuid>
#include <QtConcurrent/QtConcurrentRun>

#include <qcoro/qcorofuture.h>

#include <cmath>
#include <fcntl.h>
#include <unistd.h>
#include <limits>
#include <type_traits>

namespace harkwell {

namespace {

void log(const QString& line)
{
    HarkwellLog::log(QStringLiteral("[harkwell] capture pipeline: ") + line);
}

// Blocking file work runs on a worker; awaiting the future resumes the task on its own thread.
// A plain function rather than a coroutine, so the work's captures never live in a coroutine frame
// whose parameters the compiler may destroy out of order.
template <typename Work>
auto offThread(Work work)
{
    return QtConcurrent::run(std::move(work));
}

std::optional<InboxFrontmatter> readFrontmatter(const InboxWriter& inbox, const QString& id)
{
    const auto path = inbox.notePath(id);
    if (!path)
        return std::nullopt;
    auto note = InboxWriter::readFrontmatter(*path);
    return note ? std::optional(*std::move(note)) : std::nullopt;
}

// Whether two files hold the same bytes; read in blocks, so a long recording costs no memory.
// Gives the name back to the watcher: its hold ends, and a name recorded by an older version is
// forgotten as well, so a later poll takes it again.
void releaseName(CaptureStateStore& ledger, const QString& name, const QString& folderId)
{
    ledger.release(name, folderId);
    if (ledger.snapshot().seenByFolder.value(folderId).contains(name))
        ledger.forget({name}, folderId);
}

bool sameBytes(const QString& first, const QString& second)
{
    QFile a(first);
    QFile b;
    // Opened by its bytes: a source's name need not be UTF-8.
    const int source = ::open(FileNames::native(second).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (source < 0)
        return false;
    if (!b.open(source, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(source);
        return false;
    }
    if (!a.open(QIODevice::ReadOnly) || a.size() != b.size())
        return false;
    constexpr qint64 kBlock = 1 << 20;
    while (!a.atEnd()) {
        const QByteArray left = a.read(kBlock);
        const QByteArray right = b.read(kBlock);
        if (left.isEmpty() || left != right)
            return false;
    }
    return b.atEnd();
}

bool isDoneSourceStatus(const std::optional<QString>& status)
{
    return status == QLatin1String("success") || status == QLatin1String("completed")
           || status == QLatin1String("done");
}

}  // namespace

CapturePipeline::CapturePipeline(Services services, QObject* parent)
    : QObject(parent), m_services(std::move(services)), m_created(QDateTime::currentDateTimeUtc())
{
}

CapturePipeline::~CapturePipeline()
{
    m_cleanup.waitForFinished();
    if (m_services.coordinator)
        m_services.coordinator->setOnNewCapture(nullptr);
}

CapturePipeline& CapturePipeline::shared()
{
    static CapturePipeline* pipeline = [] {
        Services services;
        services.settings = &Settings::shared();
        services.clock = &Clock::system();
        services.seenLedger = &CaptureStateStore::shared();
        services.afterTranscript = &AfterTranscriptCommand::shared();
        services.coordinator = &CaptureCoordinator::shared();
        services.makeClient = [] { return std::make_shared<MirelonClient>(MirelonClient::fromSettings()); };
        services.isPaired = [] { return Keychain::isPaired(); };
        services.readPaired = [] { return Keychain::hasDeviceToken(); };
        return new CapturePipeline(std::move(services));
    }();
    return *pipeline;
}

bool CapturePipeline::isResumable(const InboxFrontmatter& note) { return JobStatus::isResumable(note.mirelonJobStatus); }

bool CapturePipeline::isRecordingOrigin(const std::optional<QString>& origin)
{
    return origin == QLatin1String("harkwell_recorder") || origin == QLatin1String("corvale_recorder");
}

std::chrono::seconds CapturePipeline::pollInterval(std::chrono::milliseconds elapsed)
{
    using namespace std::chrono_literals;
    if (elapsed < 60s)
        return 5s;
    if (elapsed < 600s)
        return 30s;
    if (elapsed < 3600s)
        return 120s;
    return 300s;
}

InboxWriter CapturePipeline::inbox() const
{
    return InboxWriter(Paths::expandTilde(m_services.settings->settings().vaultPath));
}

void CapturePipeline::setOnCaptureEvent(std::function<void(const CaptureEvent&)> callback)
{
    m_onCaptureEvent = std::move(callback);
}

void CapturePipeline::report(const CaptureEvent& event)
{
    if (m_onCaptureEvent)
        m_onCaptureEvent(event);
}

std::shared_ptr<MirelonClient> CapturePipeline::makeClient() const { return m_services.makeClient(); }

bool CapturePipeline::uploadsPossible() const
{
    return m_services.settings->settings().captureMirelonEnabled.value_or(false) && m_services.isPaired();
}

// ---- start, stop, resume ----

void CapturePipeline::start()
{
    removeLeftoverCopies();
    if (m_services.coordinator) {
        // The coordinator calls from its own queue; each capture becomes a task on this thread.
        QPointer<CapturePipeline> self(this);
        m_services.coordinator->setOnNewCapture([self](const FolderWatcher::NewCapture& capture) {
            QMetaObject::invokeMethod(
                self, [self, capture] { if (self) self->handle(capture); }, Qt::QueuedConnection);
        });
        m_services.coordinator->start();
    }
    log(QStringLiteral("started"));
    resumeUnfinished();
}

void CapturePipeline::removeLeftoverCopies()
{
    // A temporary of a copy or a note that nobody is writing is what a crash or a kill left: one this
    // process is writing has its id claimed, or (a recording's part, a backfilled note) was touched
    // after the pipeline came to be.
    const InboxWriter writer = inbox();
    const CaptureClaims* claims = &m_claims;
    // A file's time comes from the kernel's coarse clock, which runs up to a tick behind the one
    // m_created was read from: a temporary written just after the pipeline came to be can carry a
    // time just before it. A second of margin keeps those; a real leftover that young goes next start.
    const QDateTime before = m_created.addSecs(-1);
    m_cleanup = offThread([writer, claims, before] {
        auto clear = [&](const QString& folderPath, std::optional<QString> (*temporaryId)(const QString&)) {
            const QDir folder(folderPath);
            for (const QFileInfo& entry : folder.entryInfoList(QDir::Files | QDir::Hidden | QDir::System)) {
                const std::optional<QString> id = temporaryId(entry.fileName());
                if (!id || claims->isClaimed(*id) || entry.lastModified() >= before)
                    continue;
                if (QFile::remove(entry.absoluteFilePath()))
                    log(QStringLiteral("removed %1, left over from a write that did not finish").arg(entry.fileName()));
            }
        };
        clear(writer.audioFolder(), &InboxWriter::temporaryCopyId);
        clear(writer.inboxFolder(), &InboxWriter::temporaryNoteId);
    });
}

void CapturePipeline::stop()
{
    if (m_services.coordinator) {
        m_services.coordinator->stop();
        m_services.coordinator->setOnNewCapture(nullptr);
    }
    log(QStringLiteral("stopped"));
}

void CapturePipeline::resumeUnfinished()
{
    // Whether the computer is paired is read with the work, off this thread: at start the flag in
    // memory may not know yet.
    if (!m_services.settings->settings().captureMirelonEnabled.value_or(false))
        return;
    QMetaObject::invokeMethod(this, [this] { resumeWork(); }, Qt::QueuedConnection);
}

std::function<void()> CapturePipeline::pairingResumeHook()
{
    return [] { shared().resumeUnfinished(); };
}

QCoro::Task<> CapturePipeline::resumeWork()
{
    QPointer<CapturePipeline> self(this);
    auto reading = offThread(m_services.readPaired ? m_services.readPaired : m_services.isPaired);
    const bool paired = co_await reading;
    if (!self || !paired || !uploadsPossible())
        co_return;
    const QString vault = inbox().vaultRoot();
    Clock* clock = m_services.clock;
    auto listing = offThread([vault, clock] { return CaptureRetry::ids(vault, &CapturePipeline::isResumable, *clock); });
    const QStringList ids = co_await listing;
    if (ids.isEmpty())
        co_return;
    log(QStringLiteral("resuming %1 unfinished capture(s)").arg(ids.size()));

    const std::shared_ptr<MirelonClient> client = makeClient();
    auto needsUpload = [](const InboxFrontmatter& note) {
        return note.externalId.value_or(QString()).isEmpty() || note.mirelonJobStatus == QLatin1String(JobStatus::kUploadFailed);
    };
    for (const QString& id : ids) {
        // The note is read under the claim: the listing is a while old, and another task (or
        // another resume pass) may have carried the capture to its end since.
        CaptureClaims::Claim claim = m_claims.claim(id);
        const std::optional<InboxFrontmatter> note = co_await readNote(id);
        if (!note || !isResumable(*note))
            continue;
        if (needsUpload(*note)) {
            claim.release();
            log(QStringLiteral("%1 resumed (uploading again)").arg(id));
            co_await uploadExisting(id);
            continue;
        }
        if (!claim)
            continue;
        log(QStringLiteral("%1 resumed (polling %2)").arg(id, *note->externalId));
        startPolling(client, id, *note->externalId, std::move(claim));
    }
}

// ---- one new capture ----

QCoro::Task<QString> CapturePipeline::resolveId(FolderWatcher::NewCapture capture, QString source)
{
    const InboxWriter writer = inbox();
    const QString canonical = capture.canonicalId;
    const QString sourcePath = capture.sourceUrl.toLocalFile();
    // What stands under an id, read off the main thread; the claims are looked at here, so that a
    // capture still on its way to its copy counts as standing there.
    struct Occupant {
        bool recording = false;
        bool noteExists = false;
        bool audioExists = false;
        bool sameAudio = false;  // the copy there holds exactly the bytes of this capture's file
    };
    auto occupant = [writer, sourcePath](const QString& id) {
        Occupant found;
        const auto note = readFrontmatter(writer, id);
        found.recording = note && isRecordingOrigin(note->sourceOrigin);
        const auto notePath = writer.notePath(id);
        found.noteExists = notePath && QFileInfo::exists(*notePath);
        const auto audioPath = writer.audioCopyPath(id);
        found.audioExists = audioPath && QFileInfo::exists(*audioPath);
        found.sameAudio = found.audioExists && sameBytes(*audioPath, sourcePath);
        return found;
    };
    // An id fits when nothing stands there, or this same file does: the same file queued again keeps
    // its id. Another file is told apart by its source while it is being handled and by its bytes
    // after, never by its size: two recordings of one second may well have the same length. A
    // recording's note is never taken over, nor a note of other audio.
    auto fits = [&](const QString& id, const Occupant& there) {
        if (there.recording)
            return false;
        // While claimed, another file is the same capture only with the claimant's bytes (a copy,
        // or the file renamed): it is then told "already being handled", not given an id of its own.
        if (m_claims.isClaimed(id)) {
            if (const std::optional<QString> claimed = m_claims.claimedSource(id))
                return *claimed == source || there.sameAudio;
        }
        if (there.audioExists)
            return there.sameAudio;
        return !there.noteExists;
    };

    auto reading = offThread([occupant, canonical] { return occupant(canonical); });
    const Occupant first = co_await reading;
    if (fits(canonical, first))
        co_return canonical;

    QString chosen;
    for (int n = 2; n <= 999 && chosen.isEmpty(); ++n) {
        const QString candidate = canonical + QLatin1Char('_') + QString::number(n);
        auto candidateReading = offThread([occupant, candidate] { return occupant(candidate); });
        const Occupant there = co_await candidateReading;
        if (fits(candidate, there))
            chosen = candidate;
    }
    if (chosen.isEmpty()) {
        chosen = canonical + QLatin1Char('_') + QUuid::createUuid().toString(QUuid::WithoutBraces).left(8).toUpper();
        HarkwellLog::log(QStringLiteral("[harkwell] capture: collision resolver hit 1000 attempts on %1, fallback=%2")
                             .arg(canonical, chosen));
    }
    const QString fileName = QFileInfo(capture.sourceUrl.toLocalFile()).fileName();
    if (first.recording)
        log(QStringLiteral("%1 is a recording's id; capturing %2 as %3").arg(canonical, fileName, chosen));
    else
        log(QStringLiteral("%1 holds other audio; capturing %2 as %3").arg(canonical, fileName, chosen));
    co_return chosen;
}

QCoro::Task<> CapturePipeline::handle(FolderWatcher::NewCapture capture)
{
    const QString sourcePath = capture.sourceUrl.toLocalFile();
    const QString source = capture.folderId + QLatin1Char('/') + QFileInfo(sourcePath).fileName();
    // More than the service takes is still the user's audio: it is copied and noted all the same,
    // and its note says why it was not sent.
    auto sizing = offThread([sourcePath] {
        const std::optional<FileStat> info = FileSystem::local().linkStat(sourcePath);
        return info ? info->size : qint64(0);
    });
    const qint64 audioSize = co_await sizing;

    // The id is resolved and claimed in one go; when another file took the id in between, resolve again.
    QString id;
    CaptureClaims::Claim claim;
    for (int attempt = 0; attempt < 1000 && !claim; ++attempt) {
        id = co_await resolveId(capture, source);
        const std::optional<InboxFrontmatter> existing = co_await readNote(id);
        if (existing && existing->mirelonJobStatus == QLatin1String(JobStatus::kDone)) {
            log(QStringLiteral("%1 already has its transcript; skipping").arg(id));
            co_await settleInLedger(capture, id);
            co_return;
        }
        claim = m_claims.claim(id, source);
        if (!claim) {
            const std::optional<QString> claimant = m_claims.claimedSource(id);
            if (claimant == source) {
                // The task that carries this file records it.
                log(QStringLiteral("%1 is already being handled; skipping").arg(id));
                co_return;
            }
            bool sameCapture = !claimant;
            if (!sameCapture)
                sameCapture = co_await holdsSameAudio(id, sourcePath);
            if (sameCapture) {
                // Its audio is this file's and the claimant (a new capture, a re-upload or a
                // resumed poll) carries it on.
                log(QStringLiteral("%1 is already being handled; skipping").arg(id));
                co_await settleInLedger(capture, id);
                co_return;
            }
        }
    }
    if (!claim) {
        co_await releaseInLedger(capture, QStringLiteral("no free capture id"));
        co_return;
    }

    const InboxWriter writer = inbox();
    const std::optional<FileStat> settled = capture.settled;
    auto copying = offThread([writer, sourcePath, id, settled]() -> std::expected<QString, InboxError> {
        if (auto made = writer.ensureDirectories(); !made)
            return std::unexpected(made.error());
        return writer.copyAudio(sourcePath, id, settled);
    });
    const std::expected<QString, InboxError> copied = co_await copying;
    if (!copied && copied.error().kind == InboxError::Kind::SourceChanged) {
        // Half a recording is worse than a later one: once it is at rest again a poll takes it whole.
        co_await releaseInLedger(capture, QStringLiteral("it changed while it was copied"));
        co_return;
    }
    if (!copied && copied.error().kind == InboxError::Kind::SourceUnreadable) {
        // The file's own fault: it waits out a back-off before the watcher offers it again, and the
        // same failure is said once, not at every try.
        co_await releaseUnreadable(capture, id, copied.error().text);
        co_return;
    }
    if (!copied) {
        log(QStringLiteral("copyAudio failed for %1: %2").arg(id, copied.error().text));
        co_await releaseInLedger(capture, QStringLiteral("its audio could not be copied"));
        co_return;
    }

    const AppSettings settings = m_services.settings->settings();
    const bool uploadOn = settings.captureMirelonEnabled.value_or(false);
    std::optional<WatchedFolder> folder;
    for (const WatchedFolder& candidate : m_services.settings->watchedFolders()) {
        if (candidate.id == capture.folderId) {
            folder = candidate;
            break;
        }
    }
    const bool voiceMemos = folder && folder->normaliser == WatchedFolder::Normaliser::VoiceMemos;

    InboxFrontmatter stub = InboxWriter::stubNote(
        id, capture.timestamp, voiceMemos ? QStringLiteral("voice_memo") : QStringLiteral("audio_capture"),
        voiceMemos ? QStringLiteral("voice_memo")
        : folder   ? QStringLiteral("watched_folder:") + folder->id
                   : QStringLiteral("watched_folder"));
    const std::shared_ptr<MirelonClient> client = uploadOn ? makeClient() : nullptr;
    QString notSent;
    if (client && audioSize > client->limits().maxUploadBytes) {
        notSent = MirelonClient::tooLargeToSend(QFileInfo(sourcePath).fileName(), audioSize,
                                                client->limits().maxUploadBytes);
    }
    stub.mirelonJobStatus = QString::fromLatin1(uploadOn && notSent.isEmpty() ? JobStatus::kQueued : JobStatus::kSkipped);
    const QString stubBody = notSent.isEmpty() ? QString() : QStringLiteral("Not sent to Mirelon: ") + notSent;

    auto writing = offThread([writer, stub, stubBody]() -> std::expected<void, InboxError> {
        if (auto made = writer.ensureDirectories(); !made)
            return made;
        return writer.writeMarkdown(stub, stubBody);
    });
    const std::expected<void, InboxError> written = co_await writing;
    if (!written) {
        log(QStringLiteral("writeStub failed for %1: %2").arg(id, written.error().text));
        co_await releaseInLedger(capture, QStringLiteral("its note could not be written"));
        co_return;
    }
    // Copy and note exist: from here on the resume work carries the capture, whatever happens.
    co_await settleInLedger(capture, id);

    if (!uploadOn) {
        log(QStringLiteral("Mirelon upload disabled; %1 remains pending in vault").arg(id));
        co_return;
    }
    if (!notSent.isEmpty()) {
        log(QStringLiteral("%1 not sent: %2").arg(id, notSent));
        co_return;
    }

    const UploadProfile profile = UploadProfile::voiceMemo(id);
    const QUrl audioUrl = QUrl::fromLocalFile(*copied);
    const auto answer = co_await client->uploadAudio(audioUrl, profile.contentSource, std::nullopt, profile.tags,
                                                     profile.sourceMetadata);
    if (!answer) {
        log(QStringLiteral("upload failed for %1: %2").arg(id, answer.error().plainDescription()));
        co_await fail(id, JobStatus::kUploadFailed);
        co_return;
    }
    const std::optional<QString> key = co_await resolvedCacheKey(*client, *answer, id);
    if (!key) {
        co_await fail(id, JobStatus::kUploadFailed);
        co_return;
    }
    co_await recordUpload(id, *key, *answer);

    if (answer->status == QLatin1String(JobStatus::kDuplicateUpload)) {
        log(QStringLiteral("%1 already in Mirelon library; cache_key=%2 (%3)")
                .arg(id, *key, answer->message.value_or(QString())));
    } else {
        log(QStringLiteral("%1 uploaded; cache_key=%2").arg(id, *key));
        report(CaptureEvent::sent(id));
    }
    co_await pollUntilDone(client, id, *key);
    claim.release();
}

QCoro::Task<bool> CapturePipeline::holdsSameAudio(QString id, QString sourcePath) const
{
    const auto audioPath = inbox().audioCopyPath(id);
    if (!audioPath)
        co_return false;
    const QString copy = *audioPath;
    auto comparing = offThread([copy, sourcePath] { return sameBytes(copy, sourcePath); });
    const bool same = co_await comparing;
    co_return same;
}

QCoro::Task<> CapturePipeline::settleInLedger(FolderWatcher::NewCapture capture, QString id)
{
    CaptureStateStore* ledger = m_services.seenLedger;
    if (!ledger)
        co_return;
    const QString name = QFileInfo(capture.sourceUrl.toLocalFile()).fileName();
    const QDateTime now = m_services.clock->now();
    auto marking = offThread([ledger, name, id, capture, now] { ledger->markSeen(name, id, capture.folderId, now); });
    co_await marking;
}

QCoro::Task<> CapturePipeline::releaseInLedger(FolderWatcher::NewCapture capture, QString why)
{
    CaptureStateStore* ledger = m_services.seenLedger;
    if (!ledger)
        co_return;
    const QString name = QFileInfo(capture.sourceUrl.toLocalFile()).fileName();
    auto releasing = offThread([ledger, name, capture] { releaseName(*ledger, name, capture.folderId); });
    co_await releasing;
    log(QStringLiteral("%1 released in the seen ledger (%2); a later poll takes it again").arg(name, why));
}

QCoro::Task<> CapturePipeline::releaseUnreadable(FolderWatcher::NewCapture capture, QString id, QString why)
{
    CaptureStateStore* ledger = m_services.seenLedger;
    const QString sourcePath = capture.sourceUrl.toLocalFile();
    const QString name = QFileInfo(sourcePath).fileName();
    const std::optional<FileStat> settled = capture.settled;
    auto releasing = offThread([ledger, name, sourcePath, settled, capture] {
        if (!ledger)
            return true;
        const std::optional<FileStat> seen = settled ? settled : FileSystem::local().linkStat(sourcePath);
        const bool isNew = ledger->oddFiles().found(capture.folderId, name, seen, QStringLiteral("cannot be copied"));
        releaseName(*ledger, name, capture.folderId);
        return isNew;
    });
    if (co_await releasing) {
        log(QStringLiteral("copyAudio failed for %1: %2").arg(id, why));
        log(QStringLiteral("%1 released in the seen ledger (its audio could not be copied); tried again later").arg(name));
    }
}

// ---- upload bookkeeping ----

QCoro::Task<std::optional<QString>> CapturePipeline::resolvedCacheKey(MirelonClient& client, UploadResult answer, QString id)
{
    const QString cacheKey = answer.cache_key.value_or(QString());
    const QString taskId = answer.task_id.value_or(QString());
    noteGiven(QStringLiteral("task"), taskId, id);
    if (!cacheKey.isEmpty()) {
        noteGiven(QStringLiteral("cache_key"), cacheKey, id);
        co_return cacheKey;
    }
    if (!taskId.isEmpty() && answer.status == QLatin1String("completed")) {
        noteGiven(QStringLiteral("cache_key"), taskId, id);
        co_return taskId;
    }
    if (!taskId.isEmpty()) {
        log(QStringLiteral("%1 queued as task %2; resolving its cache_key").arg(id, taskId));
        QPointer<CapturePipeline> self(this);
        std::optional<QString> key = co_await client.cacheKey(taskId, kTaskKeyTimeout);
        if (!key || key->isEmpty()) {
            log(QStringLiteral("no cache_key for task %1 (%2) within 10 minutes").arg(taskId, id));
            co_return std::nullopt;
        }
        if (self)
            noteGiven(QStringLiteral("cache_key"), *key, id);
        co_return key;
    }
    log(QStringLiteral("upload for %1 returned neither cache_key nor task_id (status %2)").arg(id, answer.status));
    co_return std::nullopt;
}

void CapturePipeline::noteGiven(const QString& what, const QString& value, const QString& id)
{
    if (value.isEmpty())
        return;
    const QString key = what + QLatin1Char(' ') + value;
    const auto earlier = m_given.constFind(key);
    if (earlier != m_given.cend() && *earlier != id)
        log(QStringLiteral("Mirelon gave %1 %2 to %3, as it did to %4").arg(what, value, id, *earlier));
    m_given.insert(key, id);
}

QCoro::Task<> CapturePipeline::recordUpload(QString id, QString cacheKey, UploadResult answer)
{
    const InboxWriter writer = inbox();
    const QDateTime now = m_services.clock->now();
    auto recording = offThread([writer, id, cacheKey, answer, now] {
        const auto path = writer.notePath(id);
        if (!path)
            return;
        auto note = InboxWriter::readFrontmatter(*path);
        if (!note)
            return;
        note->externalId = cacheKey;
        note->uploadedAt = now;
        note->mirelonJobStatus = QString::fromLatin1(JobStatus::kQueued);
        if (answer.title && !note->title)
            note->title = answer.title;
        const QString body = InboxWriter::readBody(*path).value_or(QString());
        (void)writer.writeMarkdown(*note, body);
    });
    co_await recording;
}

QCoro::Task<bool> CapturePipeline::uploadExisting(QString id, std::optional<QString> contentSource,
                                                  std::optional<QStringList> tags,
                                                  std::optional<QMap<QString, QString>> sourceMetadata)
{
    CaptureClaims::Claim claim = m_claims.claim(id);
    if (!claim) {
        HarkwellLog::log(QStringLiteral("[harkwell] capture retry: %1 is already being handled; skipping").arg(id));
        co_return false;
    }
    const std::shared_ptr<MirelonClient> client = makeClient();
    const InboxWriter writer = inbox();
    const QString audioPath = writer.audioCopyPath(id).value_or(QString());
    auto looking = offThread([audioPath] { return !audioPath.isEmpty() && QFileInfo(audioPath).isFile(); });
    const bool hasAudio = co_await looking;
    if (!hasAudio) {
        HarkwellLog::log(QStringLiteral("[harkwell] capture retry: no local audio for %1; skipping").arg(id));
        co_return false;
    }

    const std::optional<InboxFrontmatter> note = co_await readNote(id);
    if (note && mayHaveBeenTakenBefore(*note)) {
        // The service may have taken an earlier upload whose answer, or the key it led to, never
        // reached the note (a kill, a dropped connection): its list knows the copy's file name.
        const QString uploadedName = uploadedFileName(id);
        const QString noKeyToPassOver;
        QPointer<CapturePipeline> self(this);
        const std::optional<QString> earlier = co_await client->currentKey(uploadedName, noKeyToPassOver, kKeySearchPages);
        if (!self)
            co_return false;
        if (earlier && !earlier->isEmpty()) {
            log(QStringLiteral("%1 is already in Mirelon as %2 (an earlier upload); not uploading again").arg(id, *earlier));
            const UploadResult noAnswer;
            co_await recordUpload(id, *earlier, noAnswer);
            startPolling(client, id, *earlier, std::move(claim));
            co_return true;
        }
    }
    UploadProfile profile = UploadProfile::forCapture(id, note);
    if (contentSource)
        profile.contentSource = *contentSource;
    if (tags)
        profile.tags = *tags;
    if (sourceMetadata)
        profile.sourceMetadata = *sourceMetadata;

    const QUrl audioUrl = QUrl::fromLocalFile(audioPath);
    const auto answer = co_await client->uploadAudio(audioUrl, profile.contentSource, std::nullopt, profile.tags,
                                                     profile.sourceMetadata);
    if (!answer) {
        HarkwellLog::log(QStringLiteral("[harkwell] capture retry: upload failed for %1: %2")
                             .arg(id, answer.error().plainDescription()));
        co_await fail(id, JobStatus::kUploadFailed);
        co_return false;
    }
    const std::optional<QString> key = co_await resolvedCacheKey(*client, *answer, id);
    if (!key) {
        co_await fail(id, JobStatus::kUploadFailed);
        co_return false;
    }
    co_await recordUpload(id, *key, *answer);
    HarkwellLog::log(QStringLiteral("[harkwell] capture retry: %1 uploaded; cache_key=%2").arg(id, *key));
    startPolling(client, id, *key, std::move(claim));
    co_return true;
}

QCoro::Task<std::optional<QString>> CapturePipeline::currentCacheKey(MirelonClient& client, QString id, QString deadKey)
{
    QPointer<CapturePipeline> self(this);
    const QString uploadedName = uploadedFileName(id);
    std::optional<QString> found = co_await client.currentKey(uploadedName, deadKey, kKeySearchPages);
    if (!self)
        co_return std::nullopt;
    if (found && !found->isEmpty()) {
        log(QStringLiteral("%1 found in the source list").arg(id));
        co_return found;
    }
    log(QStringLiteral("%1 not in the source list; uploading again to learn its key").arg(id));
    const std::optional<InboxFrontmatter> note = co_await readNote(id);
    if (!self)
        co_return std::nullopt;
    const UploadProfile profile = UploadProfile::forCapture(id, note);
    const QUrl audioUrl = QUrl::fromLocalFile(inbox().audioCopyPath(id).value_or(QString()));
    const auto answer = co_await client.uploadAudio(audioUrl, profile.contentSource, std::nullopt, profile.tags,
                                                    profile.sourceMetadata);
    if (!answer)
        co_return std::nullopt;
    std::optional<QString> key = co_await resolvedCacheKey(client, *answer, id);
    co_return key;
}

QString CapturePipeline::uploadedFileName(const QString& id)
{
    // The upload carries the audio copy's own file name.
    return QFileInfo(InboxWriter::audioRelativePath(id)).fileName();
}

bool CapturePipeline::mayHaveBeenTakenBefore(const InboxFrontmatter& note)
{
    // A note gets a resumable status only once its capture set out for the service; without a key
    // the service's answer never arrived.
    return note.externalId.value_or(QString()).isEmpty() && isResumable(note);
}

// ---- polling and the transcript ----

void CapturePipeline::startPolling(std::shared_ptr<MirelonClient> client, QString id, QString cacheKey,
                                   CaptureClaims::Claim claim)
{
    pollClaimed(std::move(client), std::move(id), std::move(cacheKey), std::move(claim));
}

QCoro::Task<> CapturePipeline::pollClaimed(std::shared_ptr<MirelonClient> client, QString id, QString cacheKey,
                                           CaptureClaims::Claim claim)
{
    co_await pollUntilDone(std::move(client), id, std::move(cacheKey));
    claim.release();
}

QCoro::Task<> CapturePipeline::pollUntilDone(std::shared_ptr<MirelonClient> client, QString id, QString cacheKey)
{
    // A poll runs for hours and the pipeline may go meanwhile (its owner ends): after every wait the
    // poll looks whether it is still there before touching it.
    QPointer<CapturePipeline> self(this);
    Clock& clock = *m_services.clock;
    const std::chrono::milliseconds start = clock.monotonic();
    QString currentKey = cacheKey;
    int notFound = 0;
    bool reResolved = false;
    bool probed = false;

    auto elapsed = [&] { return clock.monotonic() - start; };
    auto timedOut = [&]() -> bool { return elapsed() >= kPollTimeout; };
    auto endWithTimeout = [&]() -> QCoro::Task<> {
        log(QStringLiteral("polling timed out for %1 (>%2 min)")
                .arg(id)
                .arg(std::chrono::duration_cast<std::chrono::minutes>(kPollTimeout).count()));
        co_await fail(id, JobStatus::kPollTimeout);
    };
    auto giveUp = [&]() -> QCoro::Task<> {
        log(QStringLiteral("Mirelon has no document for %1 (cache_key %2); giving up").arg(id, currentKey));
        co_await fail(id, JobStatus::kFailed);
    };

    // A key no request can carry would fail every poll for six hours while the note says "queued".
    auto unaskable = [&]() -> bool {
        return !MirelonClient::address(client->baseUrl(), {QStringLiteral("sources"), currentKey, QStringLiteral("status")}).isValid();
    };
    auto giveUpOnKey = [&]() -> QCoro::Task<> {
        log(QStringLiteral("cache key %1 for %2 can never be asked for; giving up").arg(currentKey, id));
        co_await fail(id, JobStatus::kFailed);
    };
    // Status answers and transcript answers that cannot be used, each counted in a row.
    int unusableStatus = 0;
    int unusableFetch = 0;
    QString unusableWhy;
    auto giveUpOnAnswers = [&]() -> QCoro::Task<> {
        log(QStringLiteral("Mirelon's answer for %1 cannot be used (%2); giving up after %3 tries")
                .arg(id, unusableWhy, QString::number(kMaxUnusableAnswers)));
        co_await fail(id, JobStatus::kFailed);
    };
    // Whether polling ends after a fetch of the transcript.
    auto fetchEnds = [&](FetchOutcome outcome) -> bool {
        if (outcome == FetchOutcome::Unusable)
            return ++unusableFetch >= kMaxUnusableAnswers;
        unusableFetch = 0;
        return outcome != FetchOutcome::TryAgain;
    };

    if (timedOut()) {
        co_await endWithTimeout();
        co_return;
    }
    if (unaskable()) {
        co_await giveUpOnKey();
        co_return;
    }
    for (;;) {
        co_await clock.sleep(pollInterval(elapsed()));
        if (!self)
            co_return;
        const auto answer = co_await client->status(currentKey);
        if (!self)
            co_return;
        if (answer) {
            unusableStatus = 0;
            const QString text = answer->transcription ? answer->transcription->status.value_or(QStringLiteral("unknown"))
                                                       : QStringLiteral("unknown");
            // "done" goes into the note only with its transcript; until then the note stays resumable.
            const bool serviceDone = text == QLatin1String(JobStatus::kCompleted) || text == QLatin1String(JobStatus::kDone);
            const QString mirrored = text == QLatin1String(JobStatus::kDone) ? QString::fromLatin1(JobStatus::kCompleted) : text;
            co_await writeJobStatus(id, mirrored);
            if (!self)
                co_return;

            if (serviceDone) {
                const FetchOutcome outcome = co_await fetchTranscriptAndWrite(*client, id, currentKey, &unusableWhy);
                if (!self)
                    co_return;
                if (fetchEnds(outcome)) {
                    if (outcome == FetchOutcome::Unusable)
                        co_await giveUpOnAnswers();
                    co_return;
                }
            } else if (text == QLatin1String(JobStatus::kFailed)) {
                log(QStringLiteral("Mirelon reported failed for %1").arg(id));
                report(CaptureEvent::failed(id, text));
                co_return;
            } else if (currentKey.startsWith(QLatin1String("DOC_")) && !probed) {
                const auto source = co_await client->source(currentKey);
                if (!self)
                    co_return;
                if (source && isDoneSourceStatus(source->result.status)) {
                    log(QStringLiteral("%1 is done in Mirelon (status %2, %3 words)")
                            .arg(id, *source->result.status)
                            .arg(source->result.word_count.value_or(0)));
                    // A fetch that fails here leaves the probe to be made again at the next poll.
                    const FetchOutcome outcome = co_await fetchTranscriptAndWrite(*client, id, currentKey, &unusableWhy);
                    if (!self)
                        co_return;
                    if (fetchEnds(outcome)) {
                        if (outcome == FetchOutcome::Unusable)
                            co_await giveUpOnAnswers();
                        co_return;
                    }
                } else {
                    probed = true;
                }
            }
            if (timedOut()) {
                co_await endWithTimeout();
                co_return;
            }
            notFound = 0;
            continue;
        }

        const ClientError& error = answer.error();
        if (error.kind == ClientError::Kind::RequestFailed && error.status == 404) {
            if (notFound == kMaxNotFoundPolls - 1) {
                if (reResolved) {
                    co_await giveUp();
                    co_return;
                }
                const std::optional<QString> moved = co_await currentCacheKey(*client, id, currentKey);
                if (!self)
                    co_return;
                if (!moved || *moved == currentKey) {
                    co_await giveUp();
                    co_return;
                }
                log(QStringLiteral("%1 moved in Mirelon: %2 -> %3").arg(id, currentKey, *moved));
                if (timedOut()) {
                    co_await endWithTimeout();
                    co_return;
                }
                currentKey = *moved;
                if (unaskable()) {
                    co_await giveUpOnKey();
                    co_return;
                }
                reResolved = true;
                probed = false;
                notFound = 0;
                continue;
            }
            if (timedOut()) {
                co_await endWithTimeout();
                co_return;
            }
            ++notFound;
            continue;
        }

        log(QStringLiteral("status poll error for %1: %2").arg(id, error.plainDescription()));
        if (error.isUnusableAnswer() && ++unusableStatus >= kMaxUnusableAnswers) {
            unusableWhy = error.text();
            co_await giveUpOnAnswers();
            co_return;
        }
        if (timedOut()) {
            co_await endWithTimeout();
            co_return;
        }
    }
}

QCoro::Task<CapturePipeline::FetchOutcome> CapturePipeline::fetchTranscriptAndWrite(MirelonClient& client, QString id,
                                                                                     QString cacheKey, QString* unusable)
{
    QPointer<CapturePipeline> self(this);
    auto source = co_await client.source(cacheKey);
    if (!self)
        co_return FetchOutcome::Refused;
    std::expected<void, InboxError> written;
    // Whether the note said the after-transcript step was already taken for it (in this run or an
    // earlier one): the command runs once for a capture, however often its transcript is written.
    bool afterTranscriptTaken = false;
    if (source) {
        const InboxWriter writer = inbox();
        const QDateTime now = m_services.clock->now();
        const SourceDetail detail = *source;
        struct Written {
            std::expected<void, InboxError> result;
            bool afterTranscriptTaken = false;
        };
        auto writing = offThread([writer, id, cacheKey, detail, now]() -> Written {
            InboxFrontmatter note;
            if (auto read = readFrontmatter(writer, id)) {
                note = *read;
            } else {
                // The note went away while polling: write it again from a fresh record.
                note.id = id;
                note.created = now;
                note.audioPath = InboxWriter::audioRelativePath(id);
            }
            note.mirelonJobStatus = QString::fromLatin1(JobStatus::kDone);
            note.externalId = cacheKey;
            if (detail.result.llm_title && !note.title)
                note.title = detail.result.llm_title;
            if (const std::optional<int> seconds = DurationSeconds::truncated(detail.result.duration))
                note.audioDurationSec = seconds;
            const bool taken = note.afterTranscriptAt.has_value();
            if (!taken)
                note.afterTranscriptAt = now;
            return Written{writer.writeMarkdown(note, detail.result.text.value_or(QString())), taken};
        });
        const Written outcome = co_await writing;
        written = outcome.result;
        afterTranscriptTaken = outcome.afterTranscriptTaken;
        if (!self)
            co_return FetchOutcome::Refused;
    }

    if (source && !written) {
        // An id that names no file, or a folder standing where the note belongs, does not heal by
        // itself: fetching the transcript again every poll for six hours changes nothing.
        const InboxWriter writer = inbox();
        const InboxError error = written.error();
        auto judging = offThread([writer, id, error] {
            if (error.kind == InboxError::Kind::InvalidId)
                return true;
            const auto path = writer.notePath(id);
            return path && QFileInfo(*path).isDir();
        });
        const bool never = co_await judging;
        if (!self)
            co_return FetchOutcome::Refused;
        if (never) {
            log(QStringLiteral("transcript for %1 can never be written (%2); giving up").arg(id, error.text));
            co_await fail(id, JobStatus::kFailed);
            co_return FetchOutcome::Refused;
        }
    }

    if (!source && source.error().kind == ClientError::Kind::PlanRequired) {
        log(QStringLiteral("retrieval refused for %1: %2").arg(id, source.error().text()));
        co_await fail(id, JobStatus::kFailed);
        co_return FetchOutcome::Refused;
    }
    if (!source || !written) {
        const QString why = source ? written.error().text : source.error().plainDescription();
        log(QStringLiteral("fetch transcript failed for %1: %2").arg(id, why));
        if (!source && source.error().isUnusableAnswer()) {
            if (unusable)
                *unusable = source.error().text();
            co_return FetchOutcome::Unusable;
        }
        co_return FetchOutcome::TryAgain;
    }

    if (const std::optional<int> words = source->result.word_count)
        log(QStringLiteral("transcript written for %1 (%2 words)").arg(id, QString::number(*words)));
    else
        log(QStringLiteral("transcript written for %1").arg(id));
    report(CaptureEvent::transcriptReady(id));
    if (afterTranscriptTaken)
        log(QStringLiteral("the after-transcript command was already run for %1; not run again").arg(id));
    else if (m_services.afterTranscript)
        m_services.afterTranscript->transcriptWritten(id);
    co_return FetchOutcome::Written;
}

// ---- notes ----

QCoro::Task<std::optional<InboxFrontmatter>> CapturePipeline::readNote(QString id) const
{
    const InboxWriter writer = inbox();
    auto reading = offThread([writer, id] { return readFrontmatter(writer, id); });
    std::optional<InboxFrontmatter> note = co_await reading;
    co_return note;
}

QCoro::Task<> CapturePipeline::writeJobStatus(QString id, QString status) const
{
    const InboxWriter writer = inbox();
    // A status that cannot be written changes nothing on the road; the next write tries again.
    auto writing = offThread([writer, id, status] { (void)writer.updateMirelonJobStatus(id, status); });
    co_await writing;
}

QCoro::Task<> CapturePipeline::fail(QString id, const char* statusText)
{
    const QString status = QString::fromLatin1(statusText);
    QPointer<CapturePipeline> self(this);
    co_await writeJobStatus(id, status);
    if (self)
        report(CaptureEvent::failed(id, status));
}

QCoro::Task<RecordingSubmitOutcome> CapturePipeline::submitRecording(QList<QUrl> parts, RecordingSidecar sidecar)
{
    const RecordingSubmission submission({m_services.settings, m_services.isPaired, &AudioDurationProbe::system(),
                                          [this](const QString& id, const QString& contentSource,
                                                 const QStringList& tags, const QMap<QString, QString>& metadata) {
                                              // Runs on by itself and polls to the end; nothing here waits for it.
                                              uploadExisting(id, contentSource, tags, metadata);
                                          }});
    // Named before awaiting: g++ 12 may destroy a temporary of a co_await expression twice.
    QCoro::Task<RecordingSubmitOutcome> submitting = submission.submit(std::move(parts), std::move(sidecar));
    co_return co_await submitting;
}

}  // namespace harkwell
