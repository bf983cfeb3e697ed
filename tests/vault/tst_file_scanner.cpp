// The file scanner's refresh cycle on a fake clock with listings that answer, block or outlive
// the wait; and the scan cache it starts from.

#include "VaultFixture.h"
#include "foundation/Settings.h"
#include "platform/clock/FakeClock.h"
#include "platform/paths/Paths.h"
#include "vault/FileDates.h"
#include "vault/FileScanner.h"
#include "vault/LiveScanListers.h"
#include "vault/ScanCache.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTest>

#include <limits>

using namespace harkwell;
using namespace std::chrono_literals;

namespace {

FileEntry entryAt(const QString& path, FileEntry::Source source, const QDateTime& modified, QDateTime created = {})
{
    FileEntry entry;
    entry.id = QUuid::createUuid();
    entry.filename = QFileInfo(path).fileName();
    entry.relativePath = entry.filename;
    entry.parentFolder = QFileInfo(path).dir().dirName();
    entry.creationDate = created.isValid() ? created : modified;
    entry.modificationDate = modified;
    entry.fullPath = QUrl::fromLocalFile(path);
    entry.source = source;
    return entry;
}

QStringList names(const FileEntryList& entries)
{
    QStringList result;
    for (const FileEntry& entry : entries)
        result.append(entry.filename);
    return result;
}

// Listings that answer from fixed lists and record how they were asked. The vault listing can be
// held at a gate, as a slow or hanging disk would hold it.
class FakeListers final : public ScanListers {
public:
    struct Call {
        QString path;
        QDateTime since;
        QStringList excludes;
        std::optional<int> maxDepth;
        QStringList excludeFolders;
    };

    Listing vault(const QString& vaultPath, const QDateTime& since, const QSet<QString>&,
                  const QStringList& excludeDirs) override
    {
        record(m_vaultCalls, {vaultPath, since, excludeDirs, std::nullopt, {}});
        if (m_gated)
            m_gate.acquire();
        QMutexLocker locker(&m_lock);
        if (vaultFails)
            return std::unexpected(WalkError{QStringLiteral("no vault")});
        return ListedFiles(vaultFiles, vaultWhole);
    }
    Listing workspace(const QString& folder, const QDateTime& since, const QSet<QString>&, const QStringList& excludeDirs,
                      const QStringList& excludeFolders) override
    {
        record(m_workspaceCalls, {folder, since, excludeDirs, std::nullopt, excludeFolders});
        QMutexLocker locker(&m_lock);
        if (workspaceFails)
            return std::unexpected(WalkError{QStringLiteral("no workspace")});
        return workspaceFiles;
    }
    Listing remotes(const QString& remotesFolder, const QDateTime& since, const QSet<QString>&,
                    const QStringList& excludeDirs) override
    {
        record(m_remoteCalls, {remotesFolder, since, excludeDirs, std::nullopt, {}});
        QMutexLocker locker(&m_lock);
        if (remoteFails)
            return std::unexpected(WalkError{QStringLiteral("no remotes")});
        return remoteFiles;
    }
    QList<FileEntry> specialFolder(const QString& folderPath, const QString& folderName, FileEntry::Source,
                                   std::optional<int> maxDepth, const QStringList& excludeNames) override
    {
        record(m_specialCalls, {folderPath, {}, excludeNames, maxDepth, {}});
        QMutexLocker locker(&m_lock);
        return specialFiles.value(folderName);
    }

    void set(const std::function<void(FakeListers&)>& change)
    {
        QMutexLocker locker(&m_lock);
        change(*this);
    }
    void holdVault() { m_gated = true; }
    void releaseVault()
    {
        m_gated = false;
        m_gate.release(100);
    }

    QList<Call> vaultCalls() const { return copy(m_vaultCalls); }
    QList<Call> workspaceCalls() const { return copy(m_workspaceCalls); }
    QList<Call> remoteCalls() const { return copy(m_remoteCalls); }
    QList<Call> specialCalls() const { return copy(m_specialCalls); }

    // Set through set(), read under the lock.
    QList<FileEntry> vaultFiles;
    QList<FileEntry> workspaceFiles;
    QList<FileEntry> remoteFiles;
    QHash<QString, QList<FileEntry>> specialFiles;  // by folder name
    bool vaultFails = false;   // the vault cannot be listed at all
    bool vaultWhole = true;    // false: the vault's listing was cut short
    bool remoteFails = false;  // nor the remotes folder
    bool workspaceFails = false;  // nor the workspace folders

private:
    void record(QList<Call>& calls, Call call)
    {
        QMutexLocker locker(&m_lock);
        calls.append(std::move(call));
    }
    QList<Call> copy(const QList<Call>& calls) const
    {
        QMutexLocker locker(&m_lock);
        return calls;
    }

    mutable QMutex m_lock;  // guards the lists and the calls: listings run on their own threads
    QList<Call> m_vaultCalls;
    QList<Call> m_workspaceCalls;
    QList<Call> m_remoteCalls;
    QList<Call> m_specialCalls;
    std::atomic<bool> m_gated = false;
    QSemaphore m_gate;
};

// A private home with its settings, a fake clock and fake listings; the scanner is made by start().
struct ScannerFixture {
    ScannerFixture() { listers = std::make_shared<FakeListers>(); }
    ~ScannerFixture()
    {
        // The refresh's last step uses the settings on a worker: let it end before they go.
        listers->releaseVault();
        QDeadlineTimer deadline(10s);
        while (scanner && scanner->isScanning() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        scanner.reset();
    }

    void start() { scanner = std::make_unique<FileScanner>(listers, settings, clock); }
    bool settled() const { return !scanner->isScanning(); }

    QString vault() const { return home.path() + QStringLiteral("/workspace/Ivander"); }
    QString workspace() const { return home.path() + QStringLiteral("/workspace"); }
    QString remotes() const { return home.path() + QStringLiteral("/workspace/remotes"); }
    QDateTime today() const { return clock.now().addSecs(-60); }
    QDateTime daysAgo(int days) const { return clock.now().addDays(-days); }

    test::TempHome home;  // first: the paths below are in it
    Settings settings{Paths::settingsFile()};
    FakeClock clock;
    std::shared_ptr<FakeListers> listers;
    std::unique_ptr<FileScanner> scanner;
};

}  // namespace

class FileScannerTest : public QObject {
    Q_OBJECT
private slots:
    void firstRefreshLeavesOutRemotesAndTheSecondIncludesThem();
    void dayListsHoldTheListingsOwnEntries();
    void timerRefreshesEveryInterval();
    void anIntervalOutsideTheRangeIsBroughtIntoIt_data();
    void anIntervalOutsideTheRangeIsBroughtIntoIt();
    void ticksMissedOverYearsAreMergedIntoOne();
    void aWallClockStepMovesNoRefresh_data();
    void aWallClockStepMovesNoRefresh();
    void refreshWhileScanningIsDropped();
    void lookBack_data();
    void lookBack();
    void excludedFilesAreInNoList();
    void listingThatOutlivesTheWaitKeepsThePreviousVault();
    void onlyAFailedListingKeepsThePreviousEntries_data();
    void onlyAFailedListingKeepsThePreviousEntries();
    void withoutVaultEntriesNothingIsCached();
    void anIncompleteVaultListingNeverReplacesAFullerOne_data();
    void anIncompleteVaultListingNeverReplacesAFullerOne();
    void scannerGoneMidRefreshIsHarmless();
    void listsARealVaultWorkspaceAndRemotes();
    void refreshWithNothingChangedRebuildsAndWritesNothing();

    void cacheRoundTrip();
    void cacheThatCannotBeReadIsNoCache_data();
    void cacheThatCannotBeReadIsNoCache();
    void oldFormCacheIsReplacedByTheFirstListing();
    void cacheOfAnEarlierDayShowsAsRecent();
};

void FileScannerTest::firstRefreshLeavesOutRemotesAndTheSecondIncludesThem()
{
    ScannerFixture f;
    f.listers->set([&](FakeListers& l) {
        l.vaultFiles = {entryAt(f.vault() + QStringLiteral("/v.md"), FileEntry::Source::Vault, f.today())};
        l.workspaceFiles = {entryAt(f.workspace() + QStringLiteral("/w.md"), FileEntry::Source::Workspace, f.daysAgo(2))};
        l.remoteFiles = {entryAt(f.remotes() + QStringLiteral("/m/r.md"), FileEntry::Source::Workspace, f.daysAgo(1))};
        l.specialFiles.insert(QStringLiteral("_inbox"), {entryAt(f.vault() + QStringLiteral("/_inbox/i.md"),
                                                                 FileEntry::Source::Inbox, f.today())});
    });
    f.start();
    QSignalSpy changed(f.scanner.get(), &FileScanner::changed);
    QTRY_VERIFY(f.settled());

    QCOMPARE(f.listers->remoteCalls().size(), 0);
    QCOMPARE(names(f.scanner->todayFiles()), QStringList{"v.md"});
    QCOMPARE(names(f.scanner->recentFiles()), QStringList{"w.md"});
    QCOMPARE(f.scanner->todayCount(), 1);
    QCOMPARE(names(f.scanner->inboxFiles()), QStringList{"i.md"});
    QCOMPARE(changed.size(), 1);

    // How the first refresh asked: the default settings, "~" expanded.
    const auto vaultCall = f.listers->vaultCalls().first();
    QCOMPARE(vaultCall.path, f.vault());
    QCOMPARE(vaultCall.excludes, (QStringList{"_outbox", "_inbox"} + AppSettings::defaultExcludeDirs()));
    const auto workspaceCall = f.listers->workspaceCalls().first();
    QCOMPARE(workspaceCall.path, f.workspace());
    // The vault is kept out by where it is, not by its name.
    QCOMPARE(workspaceCall.excludes, (QStringList{"remotes"} + AppSettings::defaultExcludeDirs()));
    QCOMPARE(workspaceCall.excludeFolders, QStringList{f.vault()});
    const auto special = f.listers->specialCalls();
    QCOMPARE(special.size(), 3);
    QCOMPARE(special.at(0).path, f.vault() + QStringLiteral("/_outbox"));
    QCOMPARE(special.at(1).maxDepth, std::optional(1));
    QCOMPARE(special.at(2).path, f.vault() + QStringLiteral("/.handoff"));
    QCOMPARE(special.at(2).excludes, QStringList{"_archive"});

    f.clock.advance(2999ms);
    QCoreApplication::processEvents();
    QCOMPARE(f.listers->vaultCalls().size(), 1);

    f.clock.advance(1ms);
    QTRY_COMPARE(f.listers->vaultCalls().size(), 2);
    QTRY_VERIFY(f.settled());
    QCOMPARE(f.listers->remoteCalls().size(), 1);
    QCOMPARE(f.listers->remoteCalls().first().path, f.remotes());
    QCOMPARE(names(f.scanner->recentFiles()), (QStringList{"r.md", "w.md"}));

    // Only the first refresh asks for another.
    f.clock.advance(3s);
    QCoreApplication::processEvents();
    QCOMPARE(f.listers->vaultCalls().size(), 2);
}

// A large vault's day lists hold every listed file: they point at the listing's entries rather
// than holding a second copy of each.
void FileScannerTest::dayListsHoldTheListingsOwnEntries()
{
    ScannerFixture f;
    f.listers->set([&](FakeListers& l) {
        l.vaultFiles = {entryAt(f.vault() + QStringLiteral("/today.md"), FileEntry::Source::Vault, f.today()),
                        entryAt(f.vault() + QStringLiteral("/README.md"), FileEntry::Source::Vault, f.today()),
                        entryAt(f.vault() + QStringLiteral("/older.md"), FileEntry::Source::Vault, f.daysAgo(3))};
    });
    f.start();
    QTRY_VERIFY(f.settled());

    QCOMPARE(names(f.scanner->todayFiles()), QStringList{"today.md"});
    QCOMPARE(names(f.scanner->recentFiles()), QStringList{"older.md"});
    f.listers->set([&](FakeListers& l) {
        const QList<FileEntry>& listed = l.vaultFiles;
        QCOMPARE(&f.scanner->todayFiles().at(0), &listed.at(0));
        QCOMPARE(&f.scanner->recentFiles().at(0), &listed.at(2));
    });

    // The entries outlive the listing that made them for as long as a list shows them.
    const FileEntryList shown = f.scanner->recentFiles();
    f.listers->set([](FakeListers& l) { l.vaultFiles.clear(); });
    f.scanner->refresh();
    QTRY_VERIFY(f.settled() && f.scanner->recentFiles().isEmpty());
    QCOMPARE(shown.at(0).filename, QStringLiteral("older.md"));
}

void FileScannerTest::timerRefreshesEveryInterval()
{
    ScannerFixture f;
    f.settings.update([](AppSettings& s) { s.refreshInterval = 20; });
    f.start();
    QTRY_VERIFY(f.settled());
    f.clock.advance(3s);  // the second refresh
    QTRY_COMPARE(f.listers->vaultCalls().size(), 2);
    QTRY_VERIFY(f.settled());

    f.clock.advance(17s);
    QTRY_COMPARE(f.listers->vaultCalls().size(), 3);
    QTRY_VERIFY(f.settled());
    f.clock.advance(20s);
    QTRY_COMPARE(f.listers->vaultCalls().size(), 4);
    QTRY_VERIFY(f.settled());
    QCOMPARE(f.listers->remoteCalls().size(), 3);
}

void FileScannerTest::anIntervalOutsideTheRangeIsBroughtIntoIt_data()
{
    QTest::addColumn<double>("stored");
    QTest::addColumn<qint64>("periodMs");
    QTest::newRow("below a millisecond") << 1e-4 << qint64(500);
    QTest::newRow("a tenth of a second") << 0.1 << qint64(500);
    QTest::newRow("zero: the default") << 0.0 << qint64(60000);
    QTest::newRow("two days") << 172800.0 << qint64(86400000);
    QTest::newRow("beyond any timer") << 1e19 << qint64(86400000);
    QTest::newRow("the largest number") << std::numeric_limits<double>::max() << qint64(86400000);
}

void FileScannerTest::anIntervalOutsideTheRangeIsBroughtIntoIt()
{
    QFETCH(double, stored);
    QFETCH(qint64, periodMs);
    ScannerFixture f;
    f.settings.update([&](AppSettings& s) { s.refreshInterval = stored; });
    f.start();
    QTRY_VERIFY(f.settled());
    QVERIFY(f.clock.requestedSleeps().contains(std::chrono::milliseconds(periodMs)));

    const int before = f.listers->vaultCalls().size();
    f.clock.advance(std::chrono::milliseconds(periodMs) + FileScanner::kRemotesDelay);
    QTRY_VERIFY(f.listers->vaultCalls().size() > before);
    QTRY_VERIFY(f.settled());
}

void FileScannerTest::ticksMissedOverYearsAreMergedIntoOne()
{
    ScannerFixture f;
    f.settings.update([](AppSettings& s) { s.refreshInterval = 0.5; });
    f.start();
    QTRY_VERIFY(f.settled());
    QCOMPARE(f.listers->vaultCalls().size(), 1);

    // A clock set a century forward: the timer catches up at once and keeps its half-second period.
    f.clock.advance(std::chrono::hours(24 * 36525));
    QTRY_VERIFY(f.listers->vaultCalls().size() >= 2);
    QTRY_VERIFY(f.settled());
    const int caughtUp = f.listers->vaultCalls().size();
    f.clock.advance(std::chrono::milliseconds(500));
    QTRY_VERIFY(f.listers->vaultCalls().size() > caughtUp);
}

void FileScannerTest::refreshWhileScanningIsDropped()
{
    ScannerFixture f;
    f.listers->holdVault();
    f.start();
    QTRY_COMPARE(f.listers->vaultCalls().size(), 1);
    QVERIFY(f.scanner->isScanning());
    f.scanner->refresh();
    f.scanner->refresh();
    f.listers->releaseVault();
    QTRY_VERIFY(f.settled());
    QCoreApplication::processEvents();
    QCOMPARE(f.listers->vaultCalls().size(), 1);
    QCOMPARE(f.listers->specialCalls().size(), 3);
}

void FileScannerTest::lookBack_data()
{
    QTest::addColumn<int>("searchDays");  // -1: unset
    QTest::addColumn<int>("recentDays");
    QTest::addColumn<int>("expectedDays");

    QTest::newRow("unset, recent 7") << -1 << 7 << 30;
    QTest::newRow("unset, recent 45") << -1 << 45 << 45;
    QTest::newRow("search 10") << 10 << 45 << 10;
}

void FileScannerTest::lookBack()
{
    QFETCH(int, searchDays);
    QFETCH(int, recentDays);
    QFETCH(int, expectedDays);

    ScannerFixture f;
    f.settings.update([&](AppSettings& s) {
        s.searchDays = searchDays < 0 ? std::nullopt : std::optional(searchDays);
        s.recentDays = recentDays;
    });
    f.start();
    QTRY_VERIFY(f.settled());
    const QDateTime expected = f.clock.now().toLocalTime().date().addDays(-expectedDays).startOfDay();
    QCOMPARE(f.listers->vaultCalls().first().since, expected);
    QCOMPARE(f.listers->workspaceCalls().first().since, expected);
}

void FileScannerTest::excludedFilesAreInNoList()
{
    ScannerFixture f;
    f.listers->set([&](FakeListers& l) {
        l.vaultFiles = {entryAt(f.vault() + QStringLiteral("/README.md"), FileEntry::Source::Vault, f.today()),
                        entryAt(f.vault() + QStringLiteral("/a.md"), FileEntry::Source::Vault, f.today())};
        l.workspaceFiles = {entryAt(f.workspace() + QStringLiteral("/changelog.MD"), FileEntry::Source::Workspace, f.today())};
        l.specialFiles.insert(QStringLiteral("_outbox"),
                              {entryAt(f.vault() + QStringLiteral("/_outbox/d/_manifest.md"), FileEntry::Source::Outbox, f.today()),
                               entryAt(f.vault() + QStringLiteral("/_outbox/d/report.md"), FileEntry::Source::Outbox, f.today())});
        l.specialFiles.insert(QStringLiteral(".handoff"),
                              {entryAt(f.vault() + QStringLiteral("/.handoff/CLAUDE.md"), FileEntry::Source::Handoff, f.today())});
    });
    f.start();
    QTRY_VERIFY(f.settled());
    QCOMPARE(names(f.scanner->todayFiles()), QStringList{"a.md"});
    QVERIFY(f.scanner->recentFiles().isEmpty());
    QCOMPARE(names(f.scanner->outboxFiles()), QStringList{"report.md"});
    QVERIFY(f.scanner->handoffFiles().isEmpty());
}

void FileScannerTest::listingThatOutlivesTheWaitKeepsThePreviousVault()
{
    ScannerFixture f;
    const FileEntry cached = entryAt(f.vault() + QStringLiteral("/cached.md"), FileEntry::Source::Vault, f.daysAgo(1));
    const FileEntry cachedReadme = entryAt(f.vault() + QStringLiteral("/README.md"), FileEntry::Source::Vault, f.daysAgo(1));
    QVERIFY(ScanCache::save({cached, cachedReadme}, {}, f.daysAgo(1)));
    f.listers->set([&](FakeListers& l) {
        l.vaultFiles = {entryAt(f.vault() + QStringLiteral("/late.md"), FileEntry::Source::Vault, f.today())};
        l.workspaceFiles = {entryAt(f.workspace() + QStringLiteral("/w.md"), FileEntry::Source::Workspace, f.today())};
    });
    f.listers->holdVault();
    f.start();

    // The cache first, with the excluded name already filtered by the quick view.
    QTRY_COMPARE(names(f.scanner->recentFiles()), QStringList{"cached.md"});
    QTRY_COMPARE(f.listers->workspaceCalls().size(), 1);
    QCoreApplication::processEvents();
    QVERIFY(f.scanner->isScanning());

    f.clock.advance(FileScanner::kListingWait);
    QTRY_VERIFY(f.settled());
    QCOMPARE(names(f.scanner->todayFiles()), QStringList{"w.md"});
    QCOMPARE(names(f.scanner->recentFiles()), QStringList{"cached.md"});

    const auto saved = ScanCache::load();
    QVERIFY(saved);
    QCOMPARE(names(saved->vaultFiles), (QStringList{"cached.md", "README.md"}));
    QCOMPARE(names(saved->remoteFiles), QStringList{"w.md"});
    QCOMPARE(saved->savedAt, f.clock.now());

    // The listing that finally answers is not looked at by the refresh that gave up on it.
    f.listers->releaseVault();
    QCoreApplication::processEvents();
    QCOMPARE(names(f.scanner->todayFiles()), QStringList{"w.md"});
}

void FileScannerTest::onlyAFailedListingKeepsThePreviousEntries_data()
{
    QTest::addColumn<bool>("fails");           // the vault and the remotes folder
    QTest::addColumn<bool>("workspaceFails");
    QTest::addColumn<QStringList>("firstRecent");   // after the first refresh (no remote listing yet)
    QTest::addColumn<QStringList>("secondRecent");  // after the one that lists the remotes
    QTest::addColumn<QStringList>("cachedVault");

    // Files deleted since the last run are gone when the listings answer with nothing, also from
    // the cache, so they do not come back at the next start.
    QTest::newRow("listings answer with nothing") << false << false << QStringList{"old-r.md", "new-w.md"}
                                                  << QStringList{"new-w.md"} << QStringList{};
    // Listings that cannot read their folders keep what was known: the cached vault entries and,
    // of the last run's other entries, only the remote ones (this run's workspace entries are new).
    QTest::newRow("listings fail") << true << false << QStringList{"v.md", "old-r.md", "new-w.md"}
                                   << QStringList{"v.md", "old-r.md", "new-w.md"} << QStringList{"v.md"};
    // A workspace folder that cannot be listed keeps its own entries of the last run, and only
    // those: the remote ones inside it are not taken twice.
    QTest::newRow("the workspace listing fails too") << true << true << QStringList{"v.md", "old-w.md", "old-r.md"}
                                                     << QStringList{"v.md", "old-w.md", "old-r.md"} << QStringList{"v.md"};
}

void FileScannerTest::onlyAFailedListingKeepsThePreviousEntries()
{
    QFETCH(bool, fails);
    QFETCH(bool, workspaceFails);
    QFETCH(QStringList, firstRecent);
    QFETCH(QStringList, secondRecent);
    QFETCH(QStringList, cachedVault);

    ScannerFixture f;
    const FileEntry vault = entryAt(f.vault() + QStringLiteral("/v.md"), FileEntry::Source::Vault, f.daysAgo(1));
    const FileEntry oldWorkspace = entryAt(f.workspace() + QStringLiteral("/old-w.md"), FileEntry::Source::Workspace, f.daysAgo(2));
    const FileEntry oldRemote = entryAt(f.remotes() + QStringLiteral("/m/old-r.md"), FileEntry::Source::Workspace, f.daysAgo(3));
    QVERIFY(ScanCache::save({vault}, {oldWorkspace, oldRemote}, f.daysAgo(1)));
    f.listers->set([&](FakeListers& l) {
        l.workspaceFiles = {entryAt(f.workspace() + QStringLiteral("/new-w.md"), FileEntry::Source::Workspace, f.daysAgo(4))};
        l.vaultFails = fails;
        l.remoteFails = fails;
        l.workspaceFails = workspaceFails;
    });
    f.start();
    QTRY_VERIFY(f.settled());
    QCOMPARE(names(f.scanner->recentFiles()), firstRecent);

    f.clock.advance(FileScanner::kRemotesDelay);
    QTRY_COMPARE(f.listers->remoteCalls().size(), 1);
    QTRY_VERIFY(f.settled());
    QCOMPARE(names(f.scanner->recentFiles()), secondRecent);
    const auto cache = ScanCache::load();
    QVERIFY(cache);
    QCOMPARE(names(cache->vaultFiles), cachedVault);
}

void FileScannerTest::anIncompleteVaultListingNeverReplacesAFullerOne_data()
{
    QTest::addColumn<QStringList>("second");  // the second listing's files, after a whole a, b, c
    QTest::addColumn<bool>("whole");
    QTest::addColumn<QStringList>("shown");
    QTest::addColumn<QStringList>("cached");

    const QStringList first{"a.md", "b.md", "c.md"};
    QTest::newRow("cut by the deadline") << QStringList{"a.md"} << false << first << first;
    QTest::newRow("a folder unreadable") << QStringList{"b.md", "c.md"} << false << first << first;
    QTest::newRow("whole") << QStringList{"a.md"} << true << QStringList{"a.md"} << QStringList{"a.md"};
    // Fuller than what is shown, so shown; the cache waits for a whole listing.
    QTest::newRow("cut but fuller") << QStringList{"a.md", "b.md", "c.md", "d.md"} << false
                                    << QStringList{"a.md", "b.md", "c.md", "d.md"} << first;
}

// A listing cut short may miss files that are there: it is shown only where it holds more than the
// list shown, and the cache gets the lists only from a whole listing, once.
void FileScannerTest::anIncompleteVaultListingNeverReplacesAFullerOne()
{
    QFETCH(QStringList, second);
    QFETCH(bool, whole);
    QFETCH(QStringList, shown);
    QFETCH(QStringList, cached);

    ScannerFixture f;
    const auto files = [&f](const QStringList& names) {
        QList<FileEntry> entries;
        for (const QString& name : names)
            entries.append(entryAt(f.vault() + QLatin1Char('/') + name, FileEntry::Source::Vault, f.daysAgo(1)));
        return entries;
    };
    const auto sorted = [](QStringList list) {
        list.sort();
        return list;
    };
    f.listers->set([&](FakeListers& l) { l.vaultFiles = files({"a.md", "b.md", "c.md"}); });
    f.start();
    QTRY_VERIFY(f.settled());

    f.listers->set([&](FakeListers& l) {
        l.vaultFiles = files(second);
        l.vaultWhole = whole;
    });
    f.clock.advance(FileScanner::kRemotesDelay);
    QTRY_COMPARE(f.listers->vaultCalls().size(), 2);
    QTRY_VERIFY(f.settled());
    QCOMPARE(sorted(names(f.scanner->recentFiles())), shown);
    QCOMPARE(sorted(names(ScanCache::load().value().vaultFiles)), cached);

    // The same files again, whole: shown, and cached if the cache was behind.
    f.listers->set([&](FakeListers& l) { l.vaultWhole = true; });
    f.scanner->refresh();
    QTRY_COMPARE(f.listers->vaultCalls().size(), 3);
    QTRY_VERIFY(f.settled());
    QCOMPARE(sorted(names(f.scanner->recentFiles())), second);
    QCOMPARE(sorted(names(ScanCache::load().value().vaultFiles)), second);
}

void FileScannerTest::withoutVaultEntriesNothingIsCached()
{
    ScannerFixture f;
    f.listers->set([&](FakeListers& l) {
        l.workspaceFiles = {entryAt(f.workspace() + QStringLiteral("/w.md"), FileEntry::Source::Workspace, f.today())};
    });
    f.start();
    QSignalSpy changed(f.scanner.get(), &FileScanner::changed);
    QTRY_VERIFY(f.settled());
    QCOMPARE(names(f.scanner->todayFiles()), QStringList{"w.md"});
    QVERIFY(!QFile::exists(ScanCache::filePath()));

    // No vault entries known: the next refresh has no quick view to show either, and with
    // nothing changed it publishes nothing.
    f.clock.advance(FileScanner::kRemotesDelay);
    QTRY_COMPARE(f.listers->vaultCalls().size(), 2);
    QTRY_VERIFY(f.settled());
    QCOMPARE(changed.size(), 1);
    QCOMPARE(f.scanner->unchangedRefreshes(), 1);
    QVERIFY(!QFile::exists(ScanCache::filePath()));
}

void FileScannerTest::scannerGoneMidRefreshIsHarmless()
{
    ScannerFixture f;
    f.listers->holdVault();
    f.start();
    QTRY_COMPARE(f.listers->vaultCalls().size(), 1);
    f.scanner.reset();
    f.listers->releaseVault();
    f.clock.advance(FileScanner::kListingWait);
    f.clock.advance(5min);
    QCoreApplication::processEvents();
    QTest::qWait(0);
    QCOMPARE(f.listers->vaultCalls().size(), 1);
}

void FileScannerTest::listsARealVaultWorkspaceAndRemotes()
{
    test::TempHome home;
    Settings settings{Paths::settingsFile()};
    FakeClock clock(QDateTime::currentDateTime());
    const QDateTime now = clock.now();
    const QString vault = home.make(QStringLiteral("workspace/Ivander"));
    using test::VaultTree;
    VaultTree::file(vault, QStringLiteral("today.md"), now.addSecs(-60));
    VaultTree::file(vault, QStringLiteral("notes/earlier.md"), now.addDays(-3));
    VaultTree::file(vault, QStringLiteral("_inbox/260301-120000.md"), now);
    VaultTree::file(vault, QStringLiteral("_outbox/260110-d/x.md"), now);
    VaultTree::file(vault, QStringLiteral(".handoff/h.md"), now);
    VaultTree::file(home.path(), QStringLiteral("workspace/proj/w.md"), now.addDays(-2));
    VaultTree::file(home.path(), QStringLiteral("workspace/remotes/m/260115-r.md"), now);

    FileScanner scanner(std::make_shared<LiveScanListers>(), settings, clock);
    QTRY_VERIFY_WITH_TIMEOUT(!scanner.isScanning(), 20000);
    QCOMPARE(names(scanner.todayFiles()), QStringList{"today.md"});
    QCOMPARE(names(scanner.recentFiles()), (QStringList{"w.md", "earlier.md"}));
    QCOMPARE(names(scanner.inboxFiles()), QStringList{"260301-120000.md"});
    QCOMPARE(names(scanner.outboxFiles()), QStringList{"x.md"});
    QCOMPARE(names(scanner.handoffFiles()), QStringList{"h.md"});

    clock.advance(FileScanner::kRemotesDelay);
    QTRY_VERIFY_WITH_TIMEOUT(names(scanner.recentFiles()).contains(QStringLiteral("260115-r.md")), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(!scanner.isScanning(), 20000);
    QCOMPARE(names(scanner.recentFiles()), (QStringList{"w.md", "earlier.md", "260115-r.md"}));

    const auto cache = ScanCache::load();
    QVERIFY(cache);
    QCOMPARE(names(cache->vaultFiles).size(), 2);
    QCOMPARE(names(cache->remoteFiles), (QStringList{"w.md", "260115-r.md"}));
}

void FileScannerTest::refreshWithNothingChangedRebuildsAndWritesNothing()
{
    test::TempHome home;
    Settings settings{Paths::settingsFile()};
    FakeClock clock(QDateTime::currentDateTime());
    const QDateTime now = clock.now();
    const QString vault = home.make(QStringLiteral("workspace/Ivander"));
    using test::VaultTree;
    VaultTree::file(vault, QStringLiteral("today.md"), now.addSecs(-60));
    const QString earlier = VaultTree::file(vault, QStringLiteral("notes/earlier.md"), now.addDays(-3));
    VaultTree::file(home.path(), QStringLiteral("workspace/proj/w.md"), now.addDays(-2));
    VaultTree::file(vault, QStringLiteral("_inbox/260301-120000.md"), now);

    FileScanner scanner(std::make_shared<LiveScanListers>(), settings, clock);
    QTRY_VERIFY_WITH_TIMEOUT(!scanner.isScanning(), 20000);
    clock.advance(FileScanner::kRemotesDelay);  // the second refresh, with the remote mounts
    QTest::qWait(100);
    QTRY_VERIFY_WITH_TIMEOUT(!scanner.isScanning(), 20000);
    QCOMPARE(names(scanner.recentFiles()), (QStringList{"w.md", "earlier.md"}));

    const auto ids = [&scanner] {
        QList<QUuid> all;
        for (const FileEntry& entry : scanner.todayFiles().toList() + scanner.recentFiles().toList() + scanner.inboxFiles())
            all.append(entry.id);
        return all;
    };
    const QList<QUuid> before = ids();
    const QDateTime longAgo(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);
    {
        QFile cache(ScanCache::filePath());
        QVERIFY(cache.open(QIODevice::ReadWrite));
        QVERIFY(cache.setFileTime(longAgo, QFileDevice::FileModificationTime));
    }
    QSignalSpy changed(&scanner, &FileScanner::changed);
    scanner.refresh();
    QTRY_VERIFY_WITH_TIMEOUT(!scanner.isScanning(), 20000);
    // The same entries (not rebuilt ones with new ids), nothing published, no cache written.
    QCOMPARE(ids(), before);
    QCOMPARE(changed.size(), 0);
    QCOMPARE(QFileInfo(ScanCache::filePath()).lastModified(), longAgo);

    // One file changed: that change is published and cached, and only its entry is new.
    VaultTree::file(vault, QStringLiteral("notes/earlier.md"), now.addSecs(-30));
    QVERIFY(QFileInfo::exists(earlier));
    scanner.refresh();
    QTRY_VERIFY_WITH_TIMEOUT(!scanner.isScanning(), 20000);
    QCOMPARE(changed.size(), 1);
    QCOMPARE(names(scanner.todayFiles()), (QStringList{"earlier.md", "today.md"}));
    QCOMPARE(scanner.todayFiles().at(1).id, before.at(0));
    QVERIFY(QFileInfo(ScanCache::filePath()).lastModified() > longAgo);
}

void FileScannerTest::cacheRoundTrip()
{
    test::TempHome home;
    FileEntry entry = entryAt(QStringLiteral("/v/meetings/board/260115-x.md"), FileEntry::Source::Vault,
                              QDateTime(QDate(2026, 1, 15), QTime(10, 0), Qt::UTC));
    entry.filenameDate = QDateTime(QDate(2026, 1, 15), QTime(0, 0), Qt::UTC);
    entry.domain = QStringLiteral("board");
    const FileEntry remote = entryAt(QStringLiteral("/r/m/y.md"), FileEntry::Source::Workspace, FileDates::distantPast());
    const QDateTime savedAt(QDate(2026, 3, 4), QTime(9, 0, 1), Qt::UTC);

    QVERIFY(!QDir(Paths::cachesFolder()).exists());
    QVERIFY(ScanCache::save({entry}, {remote}, savedAt));
    const auto loaded = ScanCache::load();
    QVERIFY2(loaded, loaded ? "" : qPrintable(loaded.error().text));
    QCOMPARE(loaded->vaultFiles, QList<FileEntry>{entry});
    QCOMPARE(loaded->remoteFiles, QList<FileEntry>{remote});
    QCOMPARE(loaded->savedAt, savedAt);

    // The form earlier versions wrote, which is still read.
    const QJsonObject object = loaded->toJson();
    QCOMPARE(object.keys(), (QStringList{"remoteFiles", "savedAt", "vaultFiles"}));
    QCOMPARE(object.value(QStringLiteral("savedAt")).toDouble(), 794307601.0);
}

void FileScannerTest::cacheThatCannotBeReadIsNoCache_data()
{
    QTest::addColumn<QByteArray>("content");  // empty: a folder stands in the file's place
    QTest::newRow("not JSON") << QByteArray("{\"vaultFiles\": [");
    QTest::newRow("an array") << QByteArray("[]");
    QTest::newRow("savedAt missing") << QByteArray(R"({"vaultFiles": [], "remoteFiles": []})");
    QTest::newRow("savedAt not a number") << QByteArray(R"({"vaultFiles": [], "remoteFiles": [], "savedAt": "now"})");
    QTest::newRow("entry not a file entry") << QByteArray(R"({"vaultFiles": [{"filename": "a.md"}], "remoteFiles": [], "savedAt": 1})");
    QTest::newRow("unreadable") << QByteArray();
}

void FileScannerTest::cacheThatCannotBeReadIsNoCache()
{
    QFETCH(QByteArray, content);
    ScannerFixture f;
    if (content.isEmpty())
        QDir().mkpath(Paths::scanCacheFile());
    else
        f.home.writeFile(Paths::scanCacheFile(), content);
    QVERIFY(!ScanCache::load());

    f.listers->holdVault();
    f.start();
    QVERIFY(f.scanner->todayFiles().isEmpty() && f.scanner->recentFiles().isEmpty());
    QCOMPARE(f.scanner->todayCount(), 0);
    if (!content.isEmpty()) {
        // The next refresh with vault entries replaces the damaged file.
        f.listers->set([&](FakeListers& l) {
            l.vaultFiles = {entryAt(f.vault() + QStringLiteral("/v.md"), FileEntry::Source::Vault, f.today())};
        });
        f.listers->releaseVault();
        QTRY_VERIFY(f.settled());
        QVERIFY(ScanCache::load());
    }
}

void FileScannerTest::oldFormCacheIsReplacedByTheFirstListing()
{
    ScannerFixture f;
    const FileEntry cached = entryAt(f.vault() + QStringLiteral("/v.md"), FileEntry::Source::Vault, f.daysAgo(1));
    const ScanCache old{{cached}, {}, f.daysAgo(1), {}};
    QDir().mkpath(Paths::cachesFolder());
    QFile json(Paths::scanCacheFile());
    QVERIFY(json.open(QIODevice::WriteOnly) && json.write(QJsonDocument(old.toJson()).toJson()) > 0);
    json.close();
    // The listing finds the very files the cache holds: nothing changed, and still the old form goes.
    f.listers->set([&](FakeListers& l) {
        l.vaultFiles = {entryAt(f.vault() + QStringLiteral("/v.md"), FileEntry::Source::Vault, f.daysAgo(1))};
    });
    f.start();
    QTRY_VERIFY(f.settled());
    QCOMPARE(names(f.scanner->recentFiles()), QStringList{"v.md"});
    QTRY_VERIFY(!QFile::exists(Paths::scanCacheFile()));
    const auto cache = ScanCache::load();
    QVERIFY(cache && cache->listingDigest);
    QCOMPARE(names(cache->vaultFiles), QStringList{"v.md"});
}

void FileScannerTest::cacheOfAnEarlierDayShowsAsRecent()
{
    ScannerFixture f;
    const FileEntry wasToday = entryAt(f.vault() + QStringLiteral("/then-today.md"), FileEntry::Source::Vault, f.daysAgo(2));
    const FileEntry older = entryAt(f.vault() + QStringLiteral("/older.md"), FileEntry::Source::Vault, f.daysAgo(5));
    QVERIFY(ScanCache::save({older, wasToday}, {}, f.daysAgo(2)));
    f.listers->holdVault();
    f.start();
    QTRY_COMPARE(names(f.scanner->recentFiles()), (QStringList{"then-today.md", "older.md"}));
    QVERIFY(f.scanner->todayFiles().isEmpty());
}

// A wall clock stepped either way (NTP, a time set by hand) keeps the refresh to its interval.
void FileScannerTest::aWallClockStepMovesNoRefresh_data()
{
    QTest::addColumn<qint64>("stepSeconds");
    QTest::newRow("an hour back") << qint64(-3600);
    QTest::newRow("a day ahead") << qint64(86400);
}

void FileScannerTest::aWallClockStepMovesNoRefresh()
{
    QFETCH(qint64, stepSeconds);
    ScannerFixture f;
    f.settings.update([](AppSettings& s) { s.refreshInterval = 20; });
    f.start();
    QTRY_VERIFY(f.settled());
    f.clock.advance(3s);  // the second refresh
    QTRY_COMPARE(f.listers->vaultCalls().size(), 2);
    QTRY_VERIFY(f.settled());

    f.clock.stepWallClock(std::chrono::seconds(stepSeconds));
    for (int refresh = 3; refresh <= 4; ++refresh) {
        f.clock.advance(refresh == 3 ? 17s : 20s);
        QTRY_COMPARE(f.listers->vaultCalls().size(), refresh);
        QTRY_VERIFY(f.settled());
    }
}

QTEST_GUILESS_MAIN(FileScannerTest)
#include "tst_file_scanner.moc"
