#include "vault/FileScanner.h"

#include "foundation/Settings.h"
#include "platform/memory/HeapRelease.h"
#include "platform/paths/Paths.h"
#include "vault/FileDates.h"
#include "vault/ListedPaths.h"
#include "vault/ListingJoin.h"
#include "vault/LiveScanListers.h"
#include "vault/RemoteFolders.h"
#include "vault/ScanCache.h"
#include "vault/SpecialFolders.h"
#include "vault/SpotlightScanner.h"

#include <QtConcurrent/QtConcurrentRun>

#include <qcoro/qcorofuture.h>
#include <qcoro/qcorosignal.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <future>
#include <mutex>
#include <system_error>
#include <thread>

namespace harkwell {

using namespace std::chrono_literals;

// What one refresh goes by, read once at its start.
struct FileScanner::Plan {
    QDateTime now;
    QDateTime since;  // the start of the look-back
    QSet<QString> extensions;
    QStringList excludeDirs;
    TimeBasis basis = TimeBasis::Modification;
    std::function<bool(const QString&)> isExcluded;
    QString rulesKey;  // the local day, the time basis and the hidden-file patterns, as one text
    QString vaultPath;
    QStringList additionalPaths;
    std::optional<QString> remotesFolder;
    QString remotesName;
    bool includeRemotes = false;
};

// The listings' results. Listings that outlive the wait still write here, unread.
struct FileScanner::Gathered {
    std::mutex lock;  // guards the fields below
    std::optional<Listing> vault;  // none: no answer yet
    QList<std::optional<Listing>> workspace;  // by folder, in settings order
    std::optional<Listing> remote;
};

// The scan cache is parsed on a thread of its own, which once done waits until the first refresh
// has replaced the cache's entries: its heap then holds only those entries and the parser's scratch
// and goes back to the system whole when they go, rather than leaving gaps between the blocks the
// listings keep on the scanner's thread. The thread is never joined, so nothing waits for it.
struct FileScanner::CacheReader {
    std::mutex lock;  // guards released
    std::condition_variable wake;
    bool released = false;

    void release()
    {
        {
            std::lock_guard guard(lock);
            released = true;
        }
        wake.notify_all();
    }
    void waitForRelease()
    {
        std::unique_lock hold(lock);
        wake.wait(hold, [this] { return released; });
    }
};

namespace {

QString withoutTrailingSlashes(QString path)
{
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

// Two listings of the same files, built at different times: equal in everything but the ids.
bool sameFiles(const QList<FileEntry>& a, const QList<FileEntry>& b)
{
    if (a.size() != b.size())
        return false;
    if (a.isSharedWith(b))
        return true;
    for (qsizetype i = 0; i < a.size(); ++i) {
        FileEntry x = a.at(i);
        x.id = b.at(i).id;
        if (!(x == b.at(i)))
            return false;
    }
    return true;
}

// The previous list when it holds the same files, so that unchanged entries keep their ids and
// an unchanged list stays the very same list.
QList<FileEntry> keepIfSame(const QList<FileEntry>& fresh, const QList<FileEntry>& previous)
{
    return sameFiles(fresh, previous) ? previous : fresh;
}

// What a refresh publishes, worked out off the main thread after the wait.
struct Assembled {
    bool changed = false;  // false: nothing to publish
    bool adopted = false;  // the vault list is new but holds the same files as the last one
    QList<FileEntry> vault;
    QList<FileEntry> other;
    FileDates::DaySplit days;
    QList<FileEntry> outbox;
    QList<FileEntry> inbox;
    QList<FileEntry> handoff;
    bool saved = false;
    bool cacheBehind = false;  // the cache holds less than the published lists
    std::optional<quint64> savedListing;  // what the cache holds after the save
};

}  // namespace

FileScanner::FileScanner(QObject* parent)
    : FileScanner(std::make_shared<LiveScanListers>(), Settings::shared(), Clock::system(), parent)
{
}

FileScanner::FileScanner(std::shared_ptr<ScanListers> listers, Settings& settings, Clock& clock, QObject* parent)
    : QObject(parent), m_listers(std::move(listers)), m_settings(settings), m_clock(clock),
      m_worker(std::make_shared<ScanWorker>())
{
    // Scanning from the start: the cache is read first, and a refresh asked for meanwhile is dropped.
    m_isScanning = true;
    start();
    startTimer();
}

FileScanner::~FileScanner()
{
    if (m_cacheReader)
        m_cacheReader->release();
}

void FileScanner::refresh()
{
    if (m_isScanning)
        return;
    m_isScanning = true;
    runRefresh();
}

QCoro::Task<> FileScanner::start()
{
    const QPointer<FileScanner> self(this);
    const TimeBasis basis = m_settings.settings().timeBasis.value_or(TimeBasis::Modification);
    const QDateTime now = m_clock.now();
    struct Loaded {
        bool ok = false;
        QList<FileEntry> vault;
        QList<FileEntry> other;
        FileDates::DaySplit days;
        std::optional<quint64> listing;
    };
    m_cacheReader = std::make_shared<CacheReader>();
    QFuture<Loaded> loading = m_worker->run<Loaded>([basis, now, reader = m_cacheReader] {
        const auto read = [basis, now] {
            Loaded loaded;
            const auto cache = ScanCache::load();
            if (!cache)
                return loaded;
            loaded.ok = true;
            loaded.vault = cache->vaultFiles;
            loaded.other = cache->remoteFiles;
            loaded.listing = cache->listingDigest;
            loaded.days = FileDates::splitByToday({loaded.vault, loaded.other}, basis, now);
            return loaded;
        };
        auto promise = std::make_shared<std::promise<Loaded>>();
        std::future<Loaded> result = promise->get_future();
        try {
            std::thread([read, promise, reader] {
                promise->set_value(read());
                reader->waitForRelease();
                HeapRelease::releaseOwnArenaTop();
            }).detach();
        } catch (const std::system_error&) {
            return read();
        }
        return result.get();
    });
    const Loaded loaded = co_await loading;
    if (!self)
        co_return;
    if (loaded.ok) {
        m_cacheExists = true;
        m_savedListing = loaded.listing;
        m_lastVaultFiles = loaded.vault;
        m_lastRemoteFiles = loaded.other;
        publishDays(loaded.days.today, loaded.days.others);
        emit changed();
    }
    runRefresh();
}

void FileScanner::startTimer()
{
    // A zero or negative interval would refresh without pause; the default stands in for it. A
    // stored value outside the range the settings window allows is brought into it.
    double seconds = m_settings.settings().refreshInterval;
    if (!std::isfinite(seconds) || seconds <= 0)
        seconds = AppSettings().refreshInterval;
    seconds = std::clamp(seconds, AppSettings::kShortestRefreshInterval, AppSettings::kLongestRefreshInterval);
    runTimer(QPointer<FileScanner>(this), m_clock, std::chrono::milliseconds(qint64(seconds * 1000)));
}

QCoro::Task<> FileScanner::runTimer(QPointer<FileScanner> scanner, Clock& clock, std::chrono::milliseconds interval)
{
    // Monotonic time: a wall clock set back must not put the next refresh as far ahead.
    std::chrono::milliseconds due = clock.monotonic() + interval;
    for (;;) {
        co_await clock.sleep(std::max(std::chrono::milliseconds::zero(), due - clock.monotonic()));
        if (!scanner)
            co_return;
        scanner->refresh();
        // Ticks missed while the loop waited (a suspend, a slow refresh) are merged into this one.
        if (const std::chrono::milliseconds late = clock.monotonic() - due; late >= std::chrono::milliseconds::zero())
            due += (late / interval + 1) * interval;
    }
}

QCoro::Task<> FileScanner::refreshLater(QPointer<FileScanner> scanner, Clock& clock, std::chrono::milliseconds delay)
{
    co_await clock.sleep(delay);
    if (scanner)
        scanner->refresh();
}

FileScanner::Plan FileScanner::makePlan() const
{
    const AppSettings settings = m_settings.settings();
    Plan plan;
    plan.now = m_clock.now();
    const int days = std::max(0, settings.searchDays.value_or(std::max(settings.recentDays, 30)));
    // A look-back beyond the calendar's range gives an invalid start, which the listings read as no limit.
    const QDate today = plan.now.toLocalTime().date();
    plan.since = today.addDays(-days).startOfDay();
    plan.extensions = m_settings.includeExtensions();
    plan.excludeDirs = settings.excludeDirs;
    plan.basis = settings.timeBasis.value_or(TimeBasis::Modification);
    plan.isExcluded = m_settings.excludedFileTest();
    plan.rulesKey = today.toString(Qt::ISODate) + QLatin1Char('|') + QString::number(int(plan.basis)) + QLatin1Char('|')
                    + settings.excludeFilePatterns.value_or(Settings::defaultExcludeFilePatterns()).join(QChar(0));
    plan.vaultPath = Paths::expandTilde(settings.vaultPath);
    plan.additionalPaths = m_settings.additionalPaths();
    if (settings.remotesPath) {
        plan.remotesFolder = withoutTrailingSlashes(Paths::expandTilde(*settings.remotesPath));
        plan.remotesName = ListedPaths::lastComponent(*plan.remotesFolder);
    } else {
        plan.remotesName = QStringLiteral("remotes");
    }
    plan.includeRemotes = m_hasScannedRemotes && plan.remotesFolder.has_value();
    return plan;
}

QCoro::Task<> FileScanner::runRefresh()
{
    const QPointer<FileScanner> self(this);
    const Plan plan = makePlan();

    // The first refresh shows the cached lists at once with the hidden files left out, while the
    // listings run; later ones already show what the last refresh published.
    if (!m_hasScannedRemotes && !m_lastVaultFiles.isEmpty()) {
        const auto quick = FileDates::splitByToday({m_lastVaultFiles, m_lastRemoteFiles}, plan.basis, plan.now, plan.isExcluded);
        publishDays(quick.today, quick.others);
        emit changed();
    }

    const auto gathered = std::make_shared<Gathered>();
    gathered->workspace.resize(plan.additionalPaths.size());
    const auto join = std::make_shared<ListingJoin>(int(1 + plan.additionalPaths.size() + (plan.includeRemotes ? 1 : 0)));
    const std::weak_ptr<ListingJoin> reportTo = join;
    const std::shared_ptr<ScanListers> listers = m_listers;

    QStringList vaultExcludes{QStringLiteral("_outbox"), QStringLiteral("_inbox")};
    vaultExcludes += plan.excludeDirs;
    m_worker->post([plan, listers, gathered, reportTo, vaultExcludes] {
        Listing found = listers->vault(plan.vaultPath, plan.since, plan.extensions, vaultExcludes);
        {
            std::lock_guard guard(gathered->lock);
            gathered->vault = std::move(found);
        }
        ListingJoin::report(reportTo);
    });

    // The vault is left to its own listing by where it is, not by what it is called.
    QStringList workspaceExcludes{plan.remotesName};
    workspaceExcludes += plan.excludeDirs;
    const QStringList vaultFolder{plan.vaultPath};
    for (qsizetype index = 0; index < plan.additionalPaths.size(); ++index) {
        const QString folder = plan.additionalPaths.at(index);
        m_worker->post([plan, folder, index, listers, gathered, reportTo, workspaceExcludes, vaultFolder] {
            Listing found = listers->workspace(folder, plan.since, plan.extensions, workspaceExcludes, vaultFolder);
            {
                std::lock_guard guard(gathered->lock);
                gathered->workspace[index] = std::move(found);
            }
            ListingJoin::report(reportTo);
        });
    }

    if (plan.includeRemotes) {
        m_worker->post([plan, listers, gathered, reportTo] {
            Listing found = listers->remotes(*plan.remotesFolder, plan.since, plan.extensions, plan.excludeDirs);
            {
                std::lock_guard guard(gathered->lock);
                gathered->remote = std::move(found);
            }
            ListingJoin::report(reportTo);
        });
    }

    ListingJoin::settleAfter(join, m_clock, kListingWait);
    if (!join->isSettled())
        co_await qCoro(join.get(), &ListingJoin::settled);
    if (!self)
        co_return;

    // A listing that failed or has not answered keeps what was there; one that answered with
    // nothing means the files are gone.
    QList<FileEntry> vaultList = m_lastVaultFiles;
    QList<FileEntry> workspaceList;
    QList<FileEntry> remoteList = previousRemoteEntries(plan.remotesFolder);
    // Every listing that answered answered in full: only then do the lists go to the cache.
    bool whole = true;
    {
        std::lock_guard guard(gathered->lock);
        if (gathered->vault && gathered->vault->has_value()) {
            const ListedFiles& listed = **gathered->vault;
            // A listing cut short may miss files that are there: it never replaces a fuller list.
            if (listed.complete || listed.size() >= vaultList.size())
                vaultList = listed;
            whole = listed.complete;
        }
        for (qsizetype index = 0; index < gathered->workspace.size(); ++index) {
            const auto& listing = gathered->workspace.at(index);
            if (listing && listing->has_value()) {
                workspaceList += **listing;
                whole = whole && (*listing)->complete;
            } else {
                // A folder that did not answer keeps what it listed before.
                workspaceList += previousWorkspaceEntries(plan.additionalPaths.at(index), plan.remotesFolder);
            }
        }
        if (gathered->remote && gathered->remote->has_value()) {
            remoteList = keepIfSame(**gathered->remote, remoteList);
        }
        // Nothing of the replaced lists may stay in this frame past the end of the refresh, when
        // the heap's free pages are handed back.
        gathered->vault.reset();
        gathered->workspace.clear();
        gathered->remote.reset();
    }

    const bool keyChanged = m_publishedKey != plan.rulesKey;
    const bool cacheExists = m_cacheExists;
    const bool cacheBehind = m_cacheBehind;
    const std::optional<quint64> savedListing = m_savedListing;
    Clock* clock = &m_clock;
    // The future is named rather than awaited as a temporary: g++ 12 destroys a co_await
    // expression's temporaries twice. The lists are the job's alone, for the same reason as above.
    QFuture<Assembled> assembling = m_worker->run<Assembled>(
        [plan, listers, clock, vaultList = std::move(vaultList), workspaceList = std::move(workspaceList),
         remoteList = std::move(remoteList), previousVault = m_lastVaultFiles, previousOther = m_lastRemoteFiles,
         previousOutbox = m_outboxFiles, previousInbox = m_inboxFiles, previousHandoff = m_handoffFiles, keyChanged,
         cacheExists, cacheBehind, savedListing, whole] {
        Assembled result;
        const auto kept = [&plan](QList<FileEntry> entries) {
            entries.removeIf([&plan](const FileEntry& entry) { return plan.isExcluded(entry.filename); });
            return entries;
        };
        result.outbox = keepIfSame(kept(listers->specialFolder(plan.vaultPath + QStringLiteral("/_outbox"), QStringLiteral("_outbox"),
                                                               FileEntry::Source::Outbox, std::nullopt, {})),
                                   previousOutbox);
        result.inbox = keepIfSame(kept(listers->specialFolder(plan.vaultPath + QStringLiteral("/_inbox"), QStringLiteral("_inbox"),
                                                              FileEntry::Source::Inbox, 1, {})),
                                  previousInbox);
        result.handoff = keepIfSame(kept(listers->specialFolder(plan.vaultPath + QStringLiteral("/.handoff"),
                                                                QStringLiteral(".handoff"), FileEntry::Source::Handoff,
                                                                std::nullopt, {QStringLiteral("_archive")})),
                                    previousHandoff);
        // The listing's own list is kept even when it only equals the previous one (the cache's,
        // after a start): the listing remembers that list, so the next refresh finds it the very
        // same, and the cache's copy of every entry can be let go.
        result.vault = vaultList.isSharedWith(previousVault) ? previousVault : vaultList;
        result.adopted = !result.vault.isSharedWith(previousVault) && sameFiles(result.vault, previousVault);
        result.other = keepIfSame(workspaceList + remoteList, previousOther);
        const bool listsChanged = (!result.vault.isSharedWith(previousVault) && !result.adopted)
                                  || !result.other.isSharedWith(previousOther);
        const bool specialsChanged = !result.outbox.isSharedWith(previousOutbox) || !result.inbox.isSharedWith(previousInbox)
                                     || !result.handoff.isSharedWith(previousHandoff);
        result.changed = listsChanged || specialsChanged || keyChanged;
        if (listsChanged || keyChanged || result.adopted)
            result.days = FileDates::splitByToday({result.vault, result.other}, plan.basis, plan.now, plan.isExcluded);
        // The cache follows the lists, once they are whole; it is started only once there are vault
        // entries to keep. Lists published while incomplete are written by the first whole listing;
        // a cache read from the old form is rewritten by the first listing, changed or not; lists
        // that only equal what the cache holds (new ids for the same files) write nothing.
        const bool cacheInOldForm = cacheExists && !savedListing;
        const bool due = (listsChanged || cacheBehind || cacheInOldForm) && (!result.vault.isEmpty() || cacheExists);
        if (due && whole) {
            const auto saved = ScanCache::save(result.vault, result.other, clock->now(), savedListing);
            result.saved = saved.has_value();
            if (saved)
                result.savedListing = *saved;
        }
        result.cacheBehind = due && !whole;
        return result;
    });
    const Assembled assembled = co_await assembling;
    if (!self)
        co_return;

    const bool wasFirstRefresh = !m_hasScannedRemotes;
    m_hasScannedRemotes = true;
    m_isScanning = false;
    if (assembled.saved) {
        m_cacheExists = true;
        m_savedListing = assembled.savedListing;
    }
    m_cacheBehind = assembled.cacheBehind;
    if (assembled.changed) {
        if (!assembled.vault.isSharedWith(m_lastVaultFiles) || !assembled.other.isSharedWith(m_lastRemoteFiles) || keyChanged)
            publishDays(assembled.days.today, assembled.days.others);
        m_outboxFiles = assembled.outbox;
        m_inboxFiles = assembled.inbox;
        m_handoffFiles = assembled.handoff;
        m_lastVaultFiles = assembled.vault;
        m_lastRemoteFiles = assembled.other;
        m_publishedKey = plan.rulesKey;
        emit changed();
    } else if (assembled.adopted) {
        // The same files, in the listing's own list: taken over, and said, so that whoever still
        // holds the old entries lets them go.
        publishDays(assembled.days.today, assembled.days.others);
        m_lastVaultFiles = assembled.vault;
        emit changed();
    } else {
        ++m_unchangedRefreshes;
    }
    // The listing's and the cache's scratch memory goes back to the system, not to an idle heap.
    // Released from the worker, behind the refresh's job: the job's hold on the cache's entries has
    // gone by then too.
    if (wasFirstRefresh && m_cacheReader)
        m_worker->postOnWorker([reader = std::move(m_cacheReader)] { reader->release(); });
    m_worker->postOnWorker([] { HeapRelease::releaseFreePages(); });
    if (wasFirstRefresh)
        refreshLater(self, m_clock, kRemotesDelay);
}

// The last run's other list holds the workspace entries and the remote ones together; only the
// remote ones may stand in for a remote listing that failed, or this run's workspace entries
// would appear twice. Remote entries are the ones inside the remotes folder, which the workspace
// listings never enter.
QList<FileEntry> FileScanner::previousRemoteEntries(const std::optional<QString>& remotesFolder) const
{
    if (!remotesFolder)
        return {};
    const QString prefix = *remotesFolder + QLatin1Char('/');
    QList<FileEntry> remote;
    for (const FileEntry& entry : m_lastRemoteFiles)
        if (entry.fullPath.toLocalFile().startsWith(prefix))
            remote.append(entry);
    return remote;
}

// A workspace folder whose listing failed or has not answered keeps its entries of the last run,
// as the vault does: one frozen disk inside it must not take the rest of its files away. They are
// the entries inside the folder, less the remote ones (listed apart even where the remotes folder
// lies inside it).
QList<FileEntry> FileScanner::previousWorkspaceEntries(const QString& folder, const std::optional<QString>& remotesFolder) const
{
    const QString prefix = withoutTrailingSlashes(folder) + QLatin1Char('/');
    const QString remotePrefix = remotesFolder ? *remotesFolder + QLatin1Char('/') : QString();
    QList<FileEntry> kept;
    for (const FileEntry& entry : m_lastRemoteFiles) {
        const QString path = entry.fullPath.toLocalFile();
        if (path.startsWith(prefix) && (remotePrefix.isEmpty() || !path.startsWith(remotePrefix)))
            kept.append(entry);
    }
    return kept;
}

void FileScanner::publishDays(const FileEntryList& today, const FileEntryList& others)
{
    m_todayFiles = today;
    m_recentFiles = others;
    m_todayCount = today.size();
}

QList<FileEntry> FileScanner::scanViaShell(const QString& path, const QString& relativeTo, const QDateTime& since,
                                           const QSet<QString>& includeExtensions, const QStringList& excludeDirs,
                                           FileEntry::Source source)
{
    return SpotlightScanner::scanWorkspace(path, relativeTo, since, includeExtensions, excludeDirs, source).value_or(QList<FileEntry>());
}

QList<FileEntry> FileScanner::scanRemotes(const QString& remotesFolder, [[maybe_unused]] const QDateTime& since,
                                          const QSet<QString>& includeExtensions,
                                          [[maybe_unused]] const QStringList& excludeDirs)
{
    // Remote files are dated by their names alone, and no remote folder is pruned.
    return RemoteFolders::scan(remotesFolder, includeExtensions);
}

QList<FileEntry> FileScanner::scanSpecialFolder(const QString& folderPath, const QString& folderName,
                                                FileEntry::Source source, std::optional<int> maxDepth,
                                                const QStringList& excludeNames)
{
    return SpecialFolders::scan(folderPath, folderName, source, maxDepth, excludeNames);
}

QList<FileEntry> FileScanner::scanAllFiles()
{
    Settings& shared = Settings::shared();
    const AppSettings settings = shared.settings();
    const QSet<QString> extensions = shared.includeExtensions();
    const QDateTime always = FileDates::distantPast();

    QStringList vaultExcludes{QStringLiteral("_outbox"), QStringLiteral("_inbox")};
    vaultExcludes += settings.excludeDirs;
    const QString vaultPath = Paths::expandTilde(settings.vaultPath);
    QList<FileEntry> all = SpotlightScanner::scanVault(vaultPath, always, extensions, vaultExcludes).value_or(QList<FileEntry>());

    const std::optional<QString> remotesFolder =
        settings.remotesPath ? std::optional(withoutTrailingSlashes(Paths::expandTilde(*settings.remotesPath))) : std::nullopt;
    QStringList workspaceExcludes = settings.excludeDirs;
    workspaceExcludes.append(remotesFolder ? ListedPaths::lastComponent(*remotesFolder) : QStringLiteral("remotes"));
    // The vault is listed once, as the vault, even when it lies inside a workspace folder.
    for (const QString& folder : shared.additionalPaths())
        all += SpotlightScanner::scanWorkspace(folder, folder, always, extensions, workspaceExcludes,
                                               FileEntry::Source::Workspace, {vaultPath})
                   .value_or(QList<FileEntry>());

    if (remotesFolder)
        all += scanRemotes(*remotesFolder, always, extensions, settings.excludeDirs);

    const auto isExcluded = shared.excludedFileTest();
    all.removeIf([&isExcluded](const FileEntry& entry) { return isExcluded(entry.filename); });
    return all;
}

}  // namespace harkwell
