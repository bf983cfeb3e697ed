#include "vault/FileScanner.h"

#include "foundation/Settings.h"
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
#include <mutex>
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
    QString vaultPath;
    QStringList additionalPaths;
    std::optional<QString> remotesFolder;
    QString remotesName;
    bool includeRemotes = false;
};

// The listings' results. Listings that outlive the wait still write here, unread.
struct FileScanner::Gathered {
    std::mutex lock;  // guards the three lists
    QList<FileEntry> vault;
    QList<FileEntry> workspace;  // in the order the workspace listings finish
    QList<FileEntry> remote;
};

namespace {

QString withoutTrailingSlashes(QString path)
{
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

// What a refresh publishes besides the day lists: the work done off the main thread after the wait.
struct Assembled {
    FileDates::DaySplit days;
    QList<FileEntry> outbox;
    QList<FileEntry> inbox;
    QList<FileEntry> handoff;
};

}  // namespace

FileScanner::FileScanner(QObject* parent)
    : FileScanner(std::make_shared<LiveScanListers>(), Settings::shared(), Clock::system(), parent)
{
}

FileScanner::FileScanner(std::shared_ptr<ScanListers> listers, Settings& settings, Clock& clock, QObject* parent)
    : QObject(parent), m_listers(std::move(listers)), m_settings(settings), m_clock(clock)
{
    loadCache();
    refresh();
    startTimer();
}

FileScanner::~FileScanner() = default;

void FileScanner::refresh()
{
    if (m_isScanning)
        return;
    m_isScanning = true;
    runRefresh();
}

void FileScanner::loadCache()
{
    const auto cache = ScanCache::load();
    if (!cache)
        return;
    m_lastVaultFiles = cache->vaultFiles;
    m_lastRemoteFiles = cache->remoteFiles;
    const TimeBasis basis = m_settings.settings().timeBasis.value_or(TimeBasis::Modification);
    const auto split = FileDates::splitByToday(m_lastVaultFiles + m_lastRemoteFiles, basis, m_clock.now());
    publishDays(split.today, split.others);
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
    QDateTime due = clock.now().addMSecs(interval.count());
    for (;;) {
        co_await clock.sleep(std::chrono::milliseconds(std::max<qint64>(0, clock.now().msecsTo(due))));
        if (!scanner)
            co_return;
        scanner->refresh();
        // Ticks missed while the loop waited (a suspend, a clock set forward) are merged into this one.
        if (const qint64 late = due.msecsTo(clock.now()); late >= 0)
            due = due.addMSecs((late / interval.count() + 1) * interval.count());
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
    plan.since = plan.now.toLocalTime().date().addDays(-days).startOfDay();
    plan.extensions = m_settings.includeExtensions();
    plan.excludeDirs = settings.excludeDirs;
    plan.basis = settings.timeBasis.value_or(TimeBasis::Modification);
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

    // The last lists at once, with today's filter, while the listings run.
    if (!m_lastVaultFiles.isEmpty()) {
        const auto quick = FileDates::splitByToday(withoutExcluded(m_lastVaultFiles + m_lastRemoteFiles), plan.basis, plan.now);
        publishDays(quick.today, quick.others);
        emit changed();
    }

    const auto gathered = std::make_shared<Gathered>();
    const auto join = std::make_shared<ListingJoin>(int(1 + plan.additionalPaths.size() + (plan.includeRemotes ? 1 : 0)));
    const std::weak_ptr<ListingJoin> reportTo = join;
    const std::shared_ptr<ScanListers> listers = m_listers;

    // Threads of their own: a listing that hangs must hold up no one but itself.
    QStringList vaultExcludes{QStringLiteral("_outbox"), QStringLiteral("_inbox")};
    vaultExcludes += plan.excludeDirs;
    std::thread([plan, listers, gathered, reportTo, vaultExcludes] {
        QList<FileEntry> found = listers->vault(plan.vaultPath, plan.since, plan.extensions, vaultExcludes);
        {
            std::lock_guard guard(gathered->lock);
            gathered->vault = std::move(found);
        }
        ListingJoin::report(reportTo);
    }).detach();

    QStringList workspaceExcludes{plan.remotesName, QString::fromLatin1(kDefaultVaultFolder)};
    workspaceExcludes += plan.excludeDirs;
    for (const QString& folder : plan.additionalPaths) {
        std::thread([plan, folder, listers, gathered, reportTo, workspaceExcludes] {
            QList<FileEntry> found = listers->workspace(folder, plan.since, plan.extensions, workspaceExcludes);
            {
                std::lock_guard guard(gathered->lock);
                gathered->workspace += found;
            }
            ListingJoin::report(reportTo);
        }).detach();
    }

    if (plan.includeRemotes) {
        std::thread([plan, listers, gathered, reportTo] {
            QList<FileEntry> found = listers->remotes(*plan.remotesFolder, plan.since, plan.extensions, plan.excludeDirs);
            {
                std::lock_guard guard(gathered->lock);
                gathered->remote = std::move(found);
            }
            ListingJoin::report(reportTo);
        }).detach();
    }

    ListingJoin::settleAfter(join, m_clock, kListingWait);
    if (!join->isSettled())
        co_await qCoro(join.get(), &ListingJoin::settled);
    if (!self)
        co_return;

    QList<FileEntry> vaultList;
    QList<FileEntry> otherList;
    QList<FileEntry> remoteList;
    {
        std::lock_guard guard(gathered->lock);
        vaultList = gathered->vault;
        otherList = gathered->workspace;
        remoteList = gathered->remote;
    }
    // A listing that failed or is still running keeps what was there.
    if (vaultList.isEmpty())
        vaultList = m_lastVaultFiles;
    if (remoteList.isEmpty())
        remoteList = previousRemoteEntries(plan.remotesFolder);
    otherList += remoteList;

    Settings* settings = &m_settings;
    Clock* clock = &m_clock;
    // The future is named rather than awaited as a temporary: g++ 12 destroys a co_await
    // expression's temporaries twice.
    QFuture<Assembled> assembling = QtConcurrent::run([plan, listers, settings, clock, vaultList, otherList] {
        const auto kept = [settings](QList<FileEntry> entries) {
            entries.removeIf([settings](const FileEntry& entry) { return settings->isExcludedFile(entry.filename); });
            return entries;
        };
        Assembled result;
        result.outbox = kept(listers->specialFolder(plan.vaultPath + QStringLiteral("/_outbox"), QStringLiteral("_outbox"),
                                                    FileEntry::Source::Outbox, std::nullopt, {}));
        result.inbox = kept(listers->specialFolder(plan.vaultPath + QStringLiteral("/_inbox"), QStringLiteral("_inbox"),
                                                   FileEntry::Source::Inbox, 1, {}));
        result.handoff = kept(listers->specialFolder(plan.vaultPath + QStringLiteral("/.handoff"),
                                                     QStringLiteral(".handoff"), FileEntry::Source::Handoff,
                                                     std::nullopt, {QStringLiteral("_archive")}));
        result.days = FileDates::splitByToday(kept(vaultList + otherList), plan.basis, plan.now);
        if (!vaultList.isEmpty())
            (void)ScanCache::save(vaultList, otherList, clock->now());  // a failed save keeps the previous cache
        return result;
    });
    const Assembled assembled = co_await assembling;
    if (!self)
        co_return;

    publishDays(assembled.days.today, assembled.days.others);
    m_outboxFiles = assembled.outbox;
    m_inboxFiles = assembled.inbox;
    m_handoffFiles = assembled.handoff;
    if (!vaultList.isEmpty())
        m_lastVaultFiles = vaultList;
    m_lastRemoteFiles = otherList;
    const bool wasFirstRefresh = !m_hasScannedRemotes;
    m_hasScannedRemotes = true;
    m_isScanning = false;
    emit changed();
    if (wasFirstRefresh)
        refreshLater(self, m_clock, kRemotesDelay);
}

QList<FileEntry> FileScanner::withoutExcluded(const QList<FileEntry>& entries) const
{
    QList<FileEntry> kept = entries;
    kept.removeIf([this](const FileEntry& entry) { return m_settings.isExcludedFile(entry.filename); });
    return kept;
}

// The last run's other list holds the workspace entries and the remote ones together; only the
// remote ones may stand in for a remote listing that found nothing, or this run's workspace
// entries would appear twice. Remote entries are the ones inside the remotes folder, which the
// workspace listings never enter.
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

void FileScanner::publishDays(const QList<FileEntry>& today, const QList<FileEntry>& others)
{
    m_todayFiles = today;
    m_recentFiles = others;
    m_todayCount = today.size();
}

QList<FileEntry> FileScanner::scanViaShell(const QString& path, const QString& relativeTo, const QDateTime& since,
                                           const QSet<QString>& includeExtensions, const QStringList& excludeDirs,
                                           FileEntry::Source source)
{
    return SpotlightScanner::scanWorkspace(path, relativeTo, since, includeExtensions, excludeDirs, source);
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
    QList<FileEntry> all = SpotlightScanner::scanVault(Paths::expandTilde(settings.vaultPath), always, extensions, vaultExcludes);

    const std::optional<QString> remotesFolder =
        settings.remotesPath ? std::optional(withoutTrailingSlashes(Paths::expandTilde(*settings.remotesPath))) : std::nullopt;
    QStringList workspaceExcludes = settings.excludeDirs;
    workspaceExcludes.append(remotesFolder ? ListedPaths::lastComponent(*remotesFolder) : QStringLiteral("remotes"));
    for (const QString& folder : shared.additionalPaths())
        all += scanViaShell(folder, folder, always, extensions, workspaceExcludes, FileEntry::Source::Workspace);

    if (remotesFolder)
        all += scanRemotes(*remotesFolder, always, extensions, settings.excludeDirs);

    all.removeIf([&shared](const FileEntry& entry) { return shared.isExcludedFile(entry.filename); });
    return all;
}

}  // namespace harkwell
