#include "capture/FolderWatcher.h"

#include "capture/FilenameNormaliser.h"
#include "foundation/HarkwellLog.h"
#include "platform/paths/Paths.h"

#include <QFileInfo>

#include <cstring>

namespace harkwell {

FolderWatcher::FolderWatcher(WatchedFolder folder, CaptureStateStore& store, CaptureProbes probes)
    : m_folder(std::move(folder)),
      m_store(store),
      m_calls(std::make_unique<FolderCalls>(probes.files, m_folder.displayName)),
      m_probes{*m_calls, probes.durations, probes.clock},
      m_guards(m_probes)
{
}

QString FolderWatcher::location() const
{
    if (m_folder.id == QLatin1String(WatchedFolder::kVoiceMemosId))
        return CaptureAccess::voiceMemosUrl();
    return Paths::expandTilde(m_folder.path);
}

CaptureAccess::State FolderWatcher::accessState() const
{
    return CaptureAccess::check(location(), m_folder.effectiveExtensions(), m_folder.enabled, m_probes.files);
}

std::optional<QList<FolderWatcher::Candidate>> FolderWatcher::candidateFiles() const
{
    if (!accessState().isOk())
        return std::nullopt;
    const QString folder = location();
    const auto listing = m_probes.files.listFolder(folder);
    if (!listing)
        return std::nullopt;
    const QSet<QString> extensions = m_folder.effectiveExtensions();
    QList<Candidate> candidates;
    for (const FolderEntry& entry : *listing) {
        // A sub-folder named like audio would fail every copy and come back forever.
        if (!entry.isDirectory && extensions.contains(QFileInfo(entry.name).suffix().toLower()))
            candidates.append({entry.name, folder + QLatin1Char('/') + entry.name, entry.isSymbolicLink});
    }
    return candidates;
}

std::optional<QDateTime> FolderWatcher::timestamp(const Candidate& file) const
{
    if (m_folder.normaliser == WatchedFolder::Normaliser::VoiceMemos) {
        if (const auto parsed = FilenameNormaliser::parse(file.name))
            return parsed->timestamp;
        return std::nullopt;
    }
    return m_guards.modified(file.path);
}

int FolderWatcher::runInitialIndex()
{
    if (m_store.seenCount(m_folder.id) != 0)
        return 0;
    const CaptureAccess::State state = accessState();
    std::optional<QList<Candidate>> candidates;
    if (state.isOk())
        candidates = candidateFiles();
    else if (state.kind() == CaptureAccess::State::Kind::Empty)
        candidates.emplace();  // readable and empty: indexed, so that whatever arrives later is new
    if (!answering())
        return 0;  // what a hanging folder holds is unknown: indexed once it answers

    if (m_store.startedFromDamagedFile()) {
        // What the damaged ledger held is lost, but not when it was last written: a file unchanged
        // since then was there for the first index or an earlier poll, and one changed later is new.
        const QDateTime written = m_store.damagedFileWritten();
        QMap<QString, QString> names{{QString::fromLatin1(CaptureStateStore::kIndexMarker), QString()}};
        for (const Candidate& file : candidates.value_or(QList<Candidate>())) {
            const std::optional<QDateTime> modified = m_guards.modified(file.path);
            if (!written.isValid() || !modified || *modified > written)
                continue;
            const std::optional<QDateTime> time = timestamp(file);
            names.insert(file.name, time ? FilenameNormaliser::canonicalId(*time) : QString());
        }
        m_store.markSeen(names, m_folder.id, m_probes.clock.now());
        const int existing = int(names.size()) - 1;
        HarkwellLog::log(QStringLiteral("[harkwell] capture: [") + m_folder.displayName
                         + QStringLiteral("] indexed after a damaged seen ledger: ") + QString::number(existing)
                         + QStringLiteral(" files from before its last write marked seen, newer ones are taken as new"));
        return existing;
    }

    if (!candidates)
        return 0;
    QMap<QString, QString> names{{QString::fromLatin1(CaptureStateStore::kIndexMarker), QString()}};
    for (const Candidate& file : *candidates) {
        const std::optional<QDateTime> time = timestamp(file);
        names.insert(file.name, time ? FilenameNormaliser::canonicalId(*time) : QString());
    }
    // One write for the whole folder: a write per file makes a big folder's first index quadratic.
    m_store.markSeen(names, m_folder.id, m_probes.clock.now());
    HarkwellLog::log(QStringLiteral("[harkwell] capture: [%1] initial index complete (%2 existing files marked seen)")
                         .arg(m_folder.displayName, QString::number(candidates->size())));
    return int(candidates->size());
}

void FolderWatcher::defer(const Candidate& file, const std::optional<FileStat>& seen, const QString& reason,
                          CaptureBackoff::Wait wait, const QString& state) const
{
    if (m_store.oddFiles().found(m_folder.id, file.name, seen, state.isEmpty() ? reason : state, wait))
        HarkwellLog::log(QStringLiteral("[harkwell] capture: [%1] deferring %2 (%3)").arg(m_folder.displayName, file.name, reason));
}

void FolderWatcher::ignoreLink(const Candidate& file) const
{
    if (m_store.oddFiles().found(m_folder.id, file.name, std::nullopt, QStringLiteral("symbolic link"), CaptureBackoff::Wait::None))
        HarkwellLog::log(QStringLiteral("[harkwell] capture: [%1] ignoring %2 (a symbolic link; links are not followed)")
                             .arg(m_folder.displayName, file.name));
}

void FolderWatcher::passOver(const Candidate& file, const QString& reason) const
{
    HarkwellLog::log(QStringLiteral("[harkwell] capture: [%1] skipping %2 (%3)").arg(m_folder.displayName, file.name, reason));
    m_store.markSeen(file.name, QString(), m_folder.id, m_probes.clock.now());
    m_store.oddFiles().clear(m_folder.id, file.name);
}

std::optional<qint64> FolderWatcher::grownSinceTaken(const Candidate& file) const
{
    // Only a capture of the last day: a file appended to weeks later is someone's new recording
    // under an old name, and re-reading every old file's size at each poll would cost a stat each.
    const std::optional<CaptureStateStore::SeenEntry> taken = m_store.entry(file.name, m_folder.id);
    if (!taken || !taken->size || m_store.isHeld(file.name, m_folder.id))
        return std::nullopt;
    const qint64 age = taken->firstSeen.msecsTo(m_probes.clock.now());
    if (age < 0 || age > std::chrono::milliseconds(kGrowthWindow).count())
        return std::nullopt;
    const std::optional<FileStat> now = m_probes.files.linkStat(file.path);
    if (!now || !now->isRegular || now->size <= *taken->size)
        return std::nullopt;
    return taken->size;
}

QCoro::Task<QList<FolderWatcher::NewCapture>> FolderWatcher::poll(std::function<void(const NewCapture&)> handOver)
{
    QList<NewCapture> found;
    const auto candidates = candidateFiles();
    if (!candidates)
        co_return found;

    // Files that passed the first guards and wait out the quiet period together: one pause for the
    // whole batch, so a thousand files dropped at once cost seconds, not a pause each.
    struct Waiting {
        Candidate file;
        FileStat settled;  // as last seen
        std::chrono::milliseconds quietBefore{0};  // quiet before it was first looked at (from its time)
        std::chrono::milliseconds quietFrom{0};    // monotonic moment of the last change seen
        std::optional<qint64> grownFrom;           // the size an earlier capture took
    };
    QList<Waiting> waiting;

    QSet<QString> listed;
    for (const Candidate& file : *candidates) {
        if (!answering())
            break;
        listed.insert(file.name);
        std::optional<qint64> grownFrom;
        if (m_store.hasSeen(file.name, m_folder.id)) {
            grownFrom = grownSinceTaken(file);
            if (!grownFrom)
                continue;
        }

        // A link planted in a synced folder could lead to any private file: links are never
        // followed, and one that stays is said once.
        if (file.isSymbolicLink) {
            ignoreLink(file);
            continue;
        }
        const QDateTime now = m_probes.clock.now();
        const std::optional<FileStat> first = m_probes.files.linkStat(file.path);
        if (first && first->isSymbolicLink) {  // put in place of the file since the listing
            ignoreLink(file);
            continue;
        }
        // A file that could not be taken as it stood is left alone until its back-off ends or it changes.
        if (m_store.oddFiles().waits(m_folder.id, file.name, first))
            continue;
        if (!first) {
            defer(file, first, QStringLiteral("cannot stat file"));
            continue;
        }
        if (!first->isRegular) {
            // A FIFO would hold the copy until some writer turned up; a device or a socket has no end.
            defer(file, first, QStringLiteral("not a regular file"));
            continue;
        }
        if (first->size == 0) {
            defer(file, first, QStringLiteral("0-byte file, sync in flight"));
            continue;
        }
        // Found out here, before any pause: a file nobody may read would fail its copy at every try.
        if (const int error = m_probes.files.readError(file.path); error != 0) {
            defer(file, first, QStringLiteral("cannot read file: %1").arg(QString::fromLocal8Bit(std::strerror(error))));
            continue;
        }

        if (QFileInfo(file.name).suffix().toLower() == QLatin1String("qta")) {
            const QFileInfo twin(QFileInfo(file.path).path() + QLatin1Char('/') + QFileInfo(file.name).completeBaseName()
                                 + QStringLiteral(".m4a"));
            if (m_probes.files.exists(twin.filePath())) {
                passOver(file, twin.fileName() + QStringLiteral(" is the canonical twin"));
                continue;
            }
            if (first->modified.isValid()) {
                const double age = double(first->modified.msecsTo(now)) / 1000.0;
                const double minimum = double(CaptureGuards::kQtaMinimumAge.count());
                if (age < minimum) {
                    defer(file, first, QString::asprintf("young .qta (%.0fs < %.0fs), may still be recording", age, minimum),
                          CaptureBackoff::Wait::None, QStringLiteral("young .qta"));
                    continue;
                }
            }
        }

        // Quiet since its last write: a write sets the modification time to its own moment, so a
        // file unchanged since a time before now has been quiet since then. A time ahead of ours
        // (another machine's clock) says nothing, and then only what this poll sees counts.
        const qint64 sinceWrite = first->modified.isValid() ? first->modified.msecsTo(now) : 0;
        waiting.append({file, *first, std::chrono::milliseconds(std::max<qint64>(0, sinceWrite)),
                        m_probes.clock.monotonic(), grownFrom});
    }

    for (int recheck = 0; recheck < CaptureGuards::kMaxRechecks && !waiting.isEmpty() && answering(); ++recheck) {
        co_await m_probes.clock.sleep(CaptureGuards::kRecheckPause);
        QList<Waiting> still;
        for (Waiting& file : waiting) {
            if (!answering())
                co_return found;  // the rest are looked at afresh once the folder answers
            const std::optional<FileStat> again = m_probes.files.linkStat(file.file.path);
            if (!again || !again->isRegular) {  // gone, or something else (a link) put in its place
                defer(file.file, file.settled, QStringLiteral("size still changing"), CaptureBackoff::Wait::None);
                continue;
            }
            const std::chrono::milliseconds at = m_probes.clock.monotonic();
            if (!again->sameContentAs(file.settled) || !again->sameFileAs(file.settled)) {
                file.settled = *again;
                file.quietBefore = std::chrono::milliseconds::zero();
                file.quietFrom = at;
                still.append(file);
                continue;
            }
            if (file.quietBefore + (at - file.quietFrom) < CaptureGuards::kQuietPeriod) {
                still.append(file);
                continue;
            }
            // Handed on as soon as it is found quiet, not once the whole batch is.
            if (std::optional<NewCapture> capture = co_await take(file.file, file.settled, file.grownFrom)) {
                found.append(*capture);
                if (handOver)
                    handOver(found.last());
            }
        }
        waiting = std::move(still);
    }
    if (!answering())
        co_return found;  // a listing cut short says nothing about which files went
    for (const Waiting& file : std::as_const(waiting))
        defer(file.file, file.settled, QStringLiteral("size still changing"), CaptureBackoff::Wait::None);

    m_store.oddFiles().keepOnly(m_folder.id, listed);
    co_return found;
}

QCoro::Task<std::optional<FolderWatcher::NewCapture>> FolderWatcher::take(Candidate file, FileStat settled,
                                                                          std::optional<qint64> grownFrom)
{
    if (const std::optional<double> seconds = co_await m_guards.duration(file.path);
        seconds && *seconds < CaptureGuards::kShortestDuration) {
        passOver(file, QString::asprintf("audio too short (%.2fs < %.2fs)", *seconds, CaptureGuards::kShortestDuration));
        co_return std::nullopt;
    }

    const std::optional<QDateTime> time = timestamp(file);
    if (!time) {
        HarkwellLog::log(QStringLiteral("[harkwell] capture: [%1] unparseable name, marking seen: %2").arg(m_folder.displayName, file.name));
        m_store.markSeen(file.name, QString(), m_folder.id, m_probes.clock.now());
        m_store.oddFiles().clear(m_folder.id, file.name);
        co_return std::nullopt;
    }

    const QString id = FilenameNormaliser::canonicalId(*time);
    if (grownFrom) {
        const std::optional<CaptureStateStore::SeenEntry> earlier = m_store.entry(file.name, m_folder.id);
        HarkwellLog::log(QStringLiteral("[harkwell] capture: [%1] %2 grew after it was taken (%3 -> %4 bytes): the earlier "
                                        "capture %5 came from an unfinished file; taking it again")
                             .arg(m_folder.displayName, file.name, QString::number(*grownFrom), QString::number(settled.size),
                                  earlier ? earlier->canonicalId : QString()));
    }
    // Held, not recorded: the taker records it once its copy and note exist. A folder watched
    // without an index (added while running) is marked indexed now, so that a restart before
    // then does not index this file away as existing.
    if (m_store.seenCount(m_folder.id) == 0)
        m_store.markIndexed(m_folder.id, m_probes.clock.now());
    m_store.hold(file.name, m_folder.id, settled.size);
    m_store.oddFiles().clear(m_folder.id, file.name);
    HarkwellLog::log(QStringLiteral("[harkwell] capture: [%1] new file -- %2 -> %3").arg(m_folder.displayName, file.name, id));
    co_return NewCapture{QUrl::fromLocalFile(file.path), id, *time, m_folder.id, settled};
}

}  // namespace harkwell
