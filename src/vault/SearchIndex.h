#pragma once
// The model behind the search panel: the files the vault scanner has listed (or, on request, a
// listing of every file), filtered by scope, hidden-file rules and extension groups, matched word
// by word, newest first, at most 500; the selection; and a folder mode that lists the folder of
// the selected file. Follows the scanner's changes a tenth of a second after each while the panel
// is open; while it is closed it only notes that they happened. Each file's folded text and
// hidden flag are worked out once per index, in date order, so a keystroke only scans text (and,
// as the query grows, only what the shorter one matched). Main thread only.

#include "foundation/AppSettings.h"
#include "foundation/FileEntry.h"
#include "foundation/FileEntryList.h"
#include "platform/files/NativeFiles.h"

#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>
#include <optional>

namespace harkwell {

class FileScanner;
class Settings;

class SearchIndex final : public QObject {
    Q_OBJECT
public:
    enum class Scope { All, Inbox, Outbox, Handoff };
    // "All", "Inbox", "Outbox", "Handoff": also the chips' labels.
    static QString toRawValue(Scope scope);
    static std::optional<Scope> scopeFromRaw(const QString& raw);
    static QList<Scope> allScopes();

    struct FilterGroup {
        QString label;
        QStringList extensions;
    };
    static const QList<FilterGroup>& filterGroups();

    // Blocking, run on a worker thread: every file, without a date limit.
    using FullListing = std::function<QList<FileEntry>()>;

    // The real deep listing is FileScanner::scanAllFiles().
    explicit SearchIndex(FileScanner& scanner, QObject* parent = nullptr);
    SearchIndex(FileScanner& scanner, Settings& settings, FullListing fullListing, QObject* parent = nullptr);
    ~SearchIndex() override;

    const QList<FileEntry>& results() const { return m_results; }
    const QString& query() const { return m_query; }
    int selectedIndex() const { return m_selectedIndex; }
    bool isDeepSearch() const { return m_isDeepSearch; }
    bool isLoadingFull() const { return m_isLoadingFull; }
    qsizetype indexFileCount() const { return m_indexFileCount; }
    bool hideSystemFiles() const { return m_hideSystemFiles; }
    const QSet<QString>& activeExtFilters() const { return m_activeExtFilters; }
    Scope scope() const { return m_scope; }
    const std::optional<QString>& folderPath() const { return m_folderPath; }
    const QList<FileEntry>& folderFiles() const { return m_folderFiles; }
    bool folderSortByName() const { return m_folderSortByName; }
    // folderFiles in folder mode, else results.
    const QList<FileEntry>& shownList() const;
    // The entry at selectedIndex of the shown list, if the index lies inside it.
    std::optional<FileEntry> selectedFile() const;
    // A line for the panel about what could not be done: a remote mount that does not answer.
    const std::optional<QString>& notice() const { return m_notice; }
    void setNotice(std::optional<QString> notice);

    // Setters of the fields the panel edits; each runs its follow-up even when the value is unchanged.
    void setQuery(const QString& query);              // search()
    void setSelectedIndex(int index);
    void setDeepSearch(bool on);                      // loads the full listing the first time, else search()
    void setHideSystemFiles(bool hide);               // search()
    void setActiveExtFilters(const QSet<QString>& extensions);  // search()
    void setScope(Scope scope);                       // search()
    void setFolderSortByName(bool byName);            // sortFolderFiles()

    // Every show of the panel: an empty query, the top row, scope "All", no filters, no deep search
    // and no full listing kept. Folder mode and the hidden-files switch stay as they are.
    void reset();
    void search();
    void rebuildIndex();

    void moveUp();
    void moveDown();
    // The folder is listed off the main thread under a time limit: the folder list stays empty
    // until it comes, and a disk that does not answer sets the notice.
    void drillIntoFolder();
    void exitFolderMode();
    void sortFolderFiles();

    // After a file went to the trash: out of the list on show (and, outside folder mode, out of the
    // indexes), the selection kept inside the list.
    void removeFromCurrentList(const FileEntry& entry);
    // A file made from the panel (the PDF) at the top of the results, selected.
    void insertAtTop(const FileEntry& entry);

    // The panel's visibility: closed, the index does no work until it opens again.
    void setPanelOpen(bool open);
    bool isPanelOpen() const { return m_panelOpen; }
    // Rebuilds of the prepared index so far (for tests and benchmarks).
    int preparedBuilds() const { return m_preparedBuilds; }

    // The first entry of each path, in order.
    static QList<FileEntry> unique(const QList<FileEntry>& files);
    // The same, where an entry of `preferred` stands for its path wherever else the path appears
    // (the scanner's own inbox, outbox and handoff entries over duplicates listed elsewhere).
    static QList<FileEntry> uniquePreferring(const QList<FileEntry>& files, const QList<FileEntry>& preferred);
    // The text after the name's last full stop, lower-cased; empty when it has none.
    static QString extensionOf(const QString& filename);

    static constexpr qsizetype kMaxResults = 500;
    static constexpr int kFollowDelayMs = 100;
    // The notice when a folder outside the remote mounts does not list in time.
    static constexpr const char* kFolderNotAnswering = "The disk this folder is on doesn’t answer.";

signals:
    // Any of the fields above changed.
    void changed();

private:
    struct Prepared;
    struct LastSearch;

    const Prepared& prepared();
    QList<FileEntry> structureFiles() const;
    QList<FileEntry> newestFirst(QList<FileEntry> entries) const;
    bool isHidden(const FileEntry& entry) const;
    QCoro::Task<> loadFullIndex();
    QCoro::Task<> listFolder(FileEntry selected, QByteArray folder, int listing);
    FileEntry folderEntry(const FileEntry& selected, const QString& folder, const QString& path) const;
    QList<FileEntry> folderEntries(const FileEntry& selected, const QByteArray& folder,
                                   const QList<NativeFiles::FileItem>& items) const;
    void showFolderFiles(QList<FileEntry> files, const FileEntry& selected);
    void clampSelection(qsizetype count);

    FileScanner& m_scanner;
    Settings& m_settings;
    FullListing m_fullListing;
    QTimer m_follow;  // the rebuild after a change of the scanner's lists

    QList<FileEntry> m_results;
    QString m_query;
    int m_selectedIndex = 0;
    bool m_isDeepSearch = false;
    bool m_isLoadingFull = false;
    qsizetype m_indexFileCount = 0;
    bool m_hideSystemFiles = true;
    QSet<QString> m_activeExtFilters;
    Scope m_scope = Scope::All;
    std::optional<QString> m_folderPath;
    QList<FileEntry> m_folderFiles;
    bool m_folderSortByName = false;
    int m_folderListing = 0;  // counts the folder listings begun, so that a late one is let go
    std::optional<QString> m_notice;
    QList<FileEntry> m_recentFiles;
    std::optional<QList<FileEntry>> m_fullIndex;

    bool m_panelOpen = true;
    bool m_stale = false;  // the scanner changed while the panel was closed
    // The scanner's lists the recent index was last built from.
    QList<FileEntryList> m_indexedDays;
    QList<QList<FileEntry>> m_indexedFolders;
    std::unique_ptr<Prepared> m_prepared;
    std::unique_ptr<LastSearch> m_last;
    int m_preparedBuilds = 0;
};

}  // namespace harkwell
