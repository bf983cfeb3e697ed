#pragma once
// Keeps the lists of files that the menu and the search panel show: the files of today and of the
// recent days across the vault, the workspace folders and the remote mounts, and the contents of
// the vault's "_outbox", "_inbox" and ".handoff" folders. Fills them first from the scan cache (read
// on the worker), then refreshes them at creation, every refreshInterval seconds and on request.
// A refresh lists the folders in parallel away from the main thread, waits for them at most 50 s,
// and replaces the lists in one step on the main thread. A refresh costs what changed: when no
// list and not the day changed it publishes nothing and writes no cache. A listing that fails
// keeps the previous entries (each workspace folder its own); one that answers with nothing
// empties its part. The first refresh leaves the remote mounts out and asks for a second one 3 s
// after it ends, which includes them.
//
// For the menu: connect to changed() and read the lists; call refresh() for "Refresh".

#include "foundation/AppSettings.h"
#include "foundation/FileEntry.h"
#include "foundation/FileEntryList.h"
#include "platform/clock/Clock.h"
#include "vault/ScanListers.h"
#include "vault/ScanWorker.h"

#include <QList>
#include <QObject>
#include <QPointer>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <memory>
#include <optional>

namespace harkwell {

class Settings;

class FileScanner final : public QObject {
    Q_OBJECT
public:
    // The real folders, Settings::shared() and the system clock.
    explicit FileScanner(QObject* parent = nullptr);
    FileScanner(std::shared_ptr<ScanListers> listers, Settings& settings, Clock& clock, QObject* parent = nullptr);
    ~FileScanner() override;

    // Main thread only, like every member below.
    // The day lists point into the listings' own lists rather than copying every entry.
    const FileEntryList& todayFiles() const { return m_todayFiles; }    // effective date today, newest first
    const FileEntryList& recentFiles() const { return m_recentFiles; }  // every other gathered file, newest first
    const QList<FileEntry>& outboxFiles() const { return m_outboxFiles; }
    const QList<FileEntry>& inboxFiles() const { return m_inboxFiles; }
    const QList<FileEntry>& handoffFiles() const { return m_handoffFiles; }
    qint64 todayCount() const { return m_todayCount; }
    bool isScanning() const { return m_isScanning; }

    // Starts a refresh and returns; asked for while one runs, it does nothing.
    void refresh();

    // The listers, blocking, for worker threads. The workspace form of the vault listing.
    static QList<FileEntry> scanViaShell(const QString& path, const QString& relativeTo, const QDateTime& since,
                                         const QSet<QString>& includeExtensions, const QStringList& excludeDirs,
                                         FileEntry::Source source);
    static QList<FileEntry> scanRemotes(const QString& remotesFolder, const QDateTime& since,
                                        const QSet<QString>& includeExtensions, const QStringList& excludeDirs);
    static QList<FileEntry> scanSpecialFolder(const QString& folderPath, const QString& folderName,
                                              FileEntry::Source source, std::optional<int> maxDepth,
                                              const QStringList& excludeNames);
    // The vault, every workspace folder and the remote mounts with no date limit, without the
    // excluded file names: the search panel's deep search.
    static QList<FileEntry> scanAllFiles();

    static constexpr std::chrono::seconds kListingWait{50};
    static constexpr std::chrono::seconds kRemotesDelay{3};

    // Refreshes that found nothing changed and so published nothing (for tests and benchmarks).
    int unchangedRefreshes() const { return m_unchangedRefreshes; }

signals:
    // After the lists were replaced (the cached view, the quick view, the end of a refresh).
    void changed();

private:
    struct Plan;
    struct Gathered;

    struct Published;
    struct CacheReader;

    QCoro::Task<> start();
    void startTimer();
    Plan makePlan() const;
    QCoro::Task<> runRefresh();
    QList<FileEntry> previousRemoteEntries(const std::optional<QString>& remotesFolder) const;
    QList<FileEntry> previousWorkspaceEntries(const QString& folder, const std::optional<QString>& remotesFolder) const;
    void publishDays(const FileEntryList& today, const FileEntryList& others);

    static QCoro::Task<> runTimer(QPointer<FileScanner> scanner, Clock& clock, std::chrono::milliseconds interval);
    static QCoro::Task<> refreshLater(QPointer<FileScanner> scanner, Clock& clock, std::chrono::milliseconds delay);

    std::shared_ptr<ScanListers> m_listers;
    Settings& m_settings;
    Clock& m_clock;
    std::shared_ptr<ScanWorker> m_worker;
    std::shared_ptr<CacheReader> m_cacheReader;  // until the first refresh has replaced the cache's entries

    FileEntryList m_todayFiles;
    FileEntryList m_recentFiles;
    QList<FileEntry> m_outboxFiles;
    QList<FileEntry> m_inboxFiles;
    QList<FileEntry> m_handoffFiles;
    qint64 m_todayCount = 0;
    bool m_isScanning = false;
    QList<FileEntry> m_lastVaultFiles;   // the last vault listing that answered (or the cache's)
    QList<FileEntry> m_lastRemoteFiles;  // the last run's workspace and remote entries together
    bool m_hasScannedRemotes = false;
    bool m_cacheExists = false;  // the cache file holds a listing (loaded or saved)
    bool m_cacheBehind = false;  // lists were published that the cache does not hold yet
    std::optional<quint64> m_savedListing;  // the cache's listing digest; none when unknown or in the old form
    // What the day lists were last worked out from, besides the lists: the day and the rules.
    std::optional<QString> m_publishedKey;
    int m_unchangedRefreshes = 0;
};

}  // namespace harkwell
