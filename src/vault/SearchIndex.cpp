#include "vault/SearchIndex.h"

#include "foundation/Settings.h"
#include "platform/paths/Paths.h"
#include "vault/FileClassifier.h"
#include "vault/FileDates.h"
#include "vault/FileScanner.h"

#include <QCollator>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QUuid>
#include <QtConcurrent/QtConcurrentRun>

#include <qcoro/qcorofuture.h>

#include <algorithm>

namespace harkwell {

namespace {

const QSet<QString>& hiddenExtensions()
{
    static const QSet<QString> extensions{"yaml", "yml", "json", "plist", "lock", "log"};
    return extensions;
}

// Blanks, tabs and the other space separators; line breaks stay.
bool isTrimmedSpace(QChar c) { return c == QLatin1Char('\t') || c.category() == QChar::Separator_Space; }

QString trimSpaces(const QString& text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isTrimmedSpace(text[begin]))
        ++begin;
    while (end > begin && isTrimmedSpace(text[end - 1]))
        --end;
    return text.mid(begin, end - begin);
}

// Canonically equivalent spellings (a precomposed "é" and "e" with a combining accent) match.
QString foldForMatching(const QString& text) { return text.toLower().normalized(QString::NormalizationForm_C); }

}  // namespace

QString SearchIndex::toRawValue(Scope scope)
{
    switch (scope) {
    case Scope::All:
        return QStringLiteral("All");
    case Scope::Inbox:
        return QStringLiteral("Inbox");
    case Scope::Outbox:
        return QStringLiteral("Outbox");
    case Scope::Handoff:
        return QStringLiteral("Handoff");
    }
    return {};
}

std::optional<SearchIndex::Scope> SearchIndex::scopeFromRaw(const QString& raw)
{
    for (const Scope scope : allScopes())
        if (toRawValue(scope) == raw)
            return scope;
    return std::nullopt;
}

QList<SearchIndex::Scope> SearchIndex::allScopes() { return {Scope::All, Scope::Inbox, Scope::Outbox, Scope::Handoff}; }

const QList<SearchIndex::FilterGroup>& SearchIndex::filterGroups()
{
    static const QList<FilterGroup> groups{
        {QStringLiteral("md"), {"md"}},
        {QStringLiteral("pdf"), {"pdf"}},
        {QStringLiteral("txt"), {"txt"}},
        {QStringLiteral("doc"), {"doc", "docx", "odt"}},
        {QStringLiteral("xls"), {"xls", "xlsx", "ods", "csv"}},
        {QStringLiteral("ppt"), {"ppt", "pptx", "odp", "key"}},
    };
    return groups;
}

SearchIndex::SearchIndex(FileScanner& scanner, QObject* parent)
    : SearchIndex(scanner, Settings::shared(), &FileScanner::scanAllFiles, parent)
{
}

SearchIndex::SearchIndex(FileScanner& scanner, Settings& settings, FullListing fullListing, QObject* parent)
    : QObject(parent), m_scanner(scanner), m_settings(settings), m_fullListing(std::move(fullListing))
{
    rebuildIndex();
    m_follow.setSingleShot(true);
    m_follow.setInterval(kFollowDelayMs);
    connect(&m_follow, &QTimer::timeout, this, [this] {
        rebuildIndex();
        search();
    });
    // The lists have changed by the time the notice comes; one rebuild covers every notice of a burst.
    connect(&scanner, &FileScanner::changed, this, [this] {
        if (!m_follow.isActive())
            m_follow.start();
    });
}

SearchIndex::~SearchIndex() = default;

const QList<FileEntry>& SearchIndex::shownList() const { return m_folderPath ? m_folderFiles : m_results; }

std::optional<FileEntry> SearchIndex::selectedFile() const
{
    const QList<FileEntry>& list = shownList();
    if (m_selectedIndex < 0 || m_selectedIndex >= list.size())
        return std::nullopt;
    return list[m_selectedIndex];
}

void SearchIndex::setQuery(const QString& query)
{
    m_query = query;
    search();
}

void SearchIndex::setSelectedIndex(int index)
{
    m_selectedIndex = index;
    emit changed();
}

void SearchIndex::setDeepSearch(bool on)
{
    m_isDeepSearch = on;
    if (on && !m_fullIndex) {
        m_isLoadingFull = true;
        emit changed();
        loadFullIndex();
        return;
    }
    search();
}

void SearchIndex::setHideSystemFiles(bool hide)
{
    m_hideSystemFiles = hide;
    search();
}

void SearchIndex::setActiveExtFilters(const QSet<QString>& extensions)
{
    m_activeExtFilters = extensions;
    search();
}

void SearchIndex::setScope(Scope scope)
{
    m_scope = scope;
    search();
}

void SearchIndex::setFolderSortByName(bool byName)
{
    m_folderSortByName = byName;
    sortFolderFiles();
}

void SearchIndex::reset()
{
    m_query.clear();
    m_selectedIndex = 0;
    m_isDeepSearch = false;
    m_activeExtFilters.clear();
    m_scope = Scope::All;
    m_fullIndex.reset();
    rebuildIndex();
    search();
}

QList<FileEntry> SearchIndex::structureFiles() const
{
    return m_scanner.outboxFiles() + m_scanner.inboxFiles() + m_scanner.handoffFiles();
}

void SearchIndex::rebuildIndex()
{
    m_recentFiles = unique(m_scanner.todayFiles() + m_scanner.recentFiles() + structureFiles());
    if (m_fullIndex) {
        QList<FileEntry> listed;
        for (const FileEntry& entry : std::as_const(*m_fullIndex))
            if (entry.source == FileEntry::Source::Vault || entry.source == FileEntry::Source::Workspace)
                listed.append(entry);
        m_fullIndex = unique(listed + structureFiles());
    }
    m_indexFileCount = (m_isDeepSearch && m_fullIndex) ? m_fullIndex->size() : m_recentFiles.size();
    emit changed();
}

QList<FileEntry> SearchIndex::unique(const QList<FileEntry>& files)
{
    QSet<QString> seen;
    QList<FileEntry> kept;
    kept.reserve(files.size());
    for (const FileEntry& entry : files) {
        const QString path = entry.fullPath.path();
        if (seen.contains(path))
            continue;
        seen.insert(path);
        kept.append(entry);
    }
    return kept;
}

QString SearchIndex::extensionOf(const QString& filename)
{
    const qsizetype dot = filename.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : filename.mid(dot + 1).toLower();
}

bool SearchIndex::isHidden(const FileEntry& entry) const
{
    return m_settings.isExcludedFile(entry.filename) || hiddenExtensions().contains(extensionOf(entry.filename));
}

QList<FileEntry> SearchIndex::newestFirst(QList<FileEntry> entries) const
{
    FileDates::sortNewestFirst(entries, m_settings.settings().timeBasis.value_or(TimeBasis::Modification));
    return entries;
}

void SearchIndex::search()
{
    const QString text = foldForMatching(trimSpaces(m_query));
    const QList<FileEntry>& base = (m_isDeepSearch && m_fullIndex) ? *m_fullIndex : m_recentFiles;

    QStringList words;
    for (const QString& word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts))
        words.append(word);

    QList<FileEntry> kept;
    for (const FileEntry& entry : base) {
        switch (m_scope) {
        case Scope::All:
            break;
        case Scope::Inbox:
            if (entry.source != FileEntry::Source::Inbox)
                continue;
            break;
        case Scope::Outbox:
            if (entry.source != FileEntry::Source::Outbox)
                continue;
            break;
        case Scope::Handoff:
            if (entry.source != FileEntry::Source::Handoff)
                continue;
            break;
        }
        if (m_hideSystemFiles && isHidden(entry))
            continue;
        if (!m_activeExtFilters.isEmpty() && !m_activeExtFilters.contains(extensionOf(entry.filename)))
            continue;
        if (!words.isEmpty()) {
            const QString haystack = foldForMatching(entry.filename + QLatin1Char(' ') + entry.relativePath +
                                                     QLatin1Char(' ') + entry.parentFolder + QLatin1Char(' ') +
                                                     entry.domain.value_or(QString()) + QLatin1Char(' ') +
                                                     entry.fileType.value_or(QString()));
            const bool all = std::all_of(words.cbegin(), words.cend(),
                                         [&](const QString& word) { return haystack.contains(word); });
            if (!all)
                continue;
        }
        kept.append(entry);
    }
    kept = newestFirst(std::move(kept));
    if (kept.size() > kMaxResults)
        kept.resize(kMaxResults);
    m_results = std::move(kept);
    m_selectedIndex = 0;
    emit changed();
}

QCoro::Task<> SearchIndex::loadFullIndex()
{
    const QPointer<SearchIndex> self(this);
    const FullListing listing = m_fullListing;
    QFuture<QList<FileEntry>> future = QtConcurrent::run([listing] { return listing(); });
    const QList<FileEntry> listed = co_await future;
    if (!self)
        co_return;
    m_fullIndex = unique(listed + structureFiles());
    m_indexFileCount = listed.size();
    m_isLoadingFull = false;
    search();
}

void SearchIndex::moveUp()
{
    if (m_selectedIndex >= 1) {
        --m_selectedIndex;
        emit changed();
    }
}

void SearchIndex::moveDown()
{
    if (m_selectedIndex < shownList().size() - 1) {
        ++m_selectedIndex;
        emit changed();
    }
}

void SearchIndex::drillIntoFolder()
{
    const auto selected = selectedFile();
    if (!selected)
        return;
    const QString folder = QFileInfo(selected->fullPath.toLocalFile()).absolutePath();

    QStringList pieces = selected->relativePath.split(QLatin1Char('/'));
    pieces.removeLast();
    const QString shownPath = pieces.join(QLatin1Char('/'));
    m_folderPath = shownPath.isEmpty() ? selected->parentFolder : shownPath;

    const QDir dir(folder);
    if (!dir.exists() || !QFileInfo(folder).isReadable()) {
        m_folderFiles.clear();
        emit changed();
        return;
    }

    QString vaultPath = Paths::expandTilde(m_settings.settings().vaultPath);
    while (vaultPath.size() > 1 && vaultPath.endsWith(QLatin1Char('/')))
        vaultPath.chop(1);
    const QString folderName = QFileInfo(folder).fileName();
    QList<FileEntry> files;
    const QFileInfoList items = dir.entryInfoList(QDir::Files | QDir::NoSymLinks, QDir::Name);
    for (const QFileInfo& item : items) {
        if (!item.isFile() || item.isSymLink())
            continue;
        const QString path = item.absoluteFilePath();
        FileEntry entry;
        entry.id = QUuid::createUuid();
        entry.filename = item.fileName().normalized(QString::NormalizationForm_C);
        entry.relativePath = path;
        entry.relativePath.replace((path.startsWith(vaultPath) ? vaultPath : folder) + QLatin1Char('/'), QString());
        entry.parentFolder = folderName;
        entry.modificationDate = item.lastModified();
        if (!entry.modificationDate.isValid())
            entry.modificationDate = FileDates::distantPast();
        // A file system that keeps no birth time dates the file by its last change, as the listers do.
        entry.creationDate = item.birthTime().isValid() ? item.birthTime() : entry.modificationDate;
        entry.size = item.size();
        entry.fullPath = QUrl::fromLocalFile(path);
        entry.source = selected->source;
        const auto labels = FileClassifier::classify(entry.filename, entry.relativePath);
        entry.filenameDate = labels.filenameDate;
        entry.domain = labels.domain;
        entry.fileType = labels.fileType;
        files.append(entry);
    }
    m_folderFiles = std::move(files);
    sortFolderFiles();

    m_selectedIndex = 0;
    for (qsizetype i = 0; i < m_folderFiles.size(); ++i) {
        if (m_folderFiles[i].fullPath == selected->fullPath) {
            m_selectedIndex = int(i);
            break;
        }
    }
    emit changed();
}

void SearchIndex::exitFolderMode()
{
    m_folderPath.reset();
    m_folderFiles.clear();
    setFolderSortByName(false);
}

void SearchIndex::sortFolderFiles()
{
    if (m_folderSortByName) {
        QCollator collator;
        collator.setCaseSensitivity(Qt::CaseInsensitive);
        std::stable_sort(m_folderFiles.begin(), m_folderFiles.end(), [&](const FileEntry& a, const FileEntry& b) {
            return collator.compare(a.filename, b.filename) < 0;
        });
    } else {
        m_folderFiles = newestFirst(std::move(m_folderFiles));
    }
    emit changed();
}

void SearchIndex::clampSelection(qsizetype count)
{
    if (m_selectedIndex >= count)
        m_selectedIndex = count > 0 ? int(count - 1) : 0;
}

void SearchIndex::removeFromCurrentList(const FileEntry& entry)
{
    const auto samePath = [&](const FileEntry& other) { return other.fullPath == entry.fullPath; };
    if (m_folderPath) {
        m_folderFiles.removeIf(samePath);
        clampSelection(m_folderFiles.size());
    } else {
        m_results.removeIf(samePath);
        m_recentFiles.removeIf(samePath);
        if (m_fullIndex)
            m_fullIndex->removeIf(samePath);
        clampSelection(m_results.size());
    }
    emit changed();
}

void SearchIndex::insertAtTop(const FileEntry& entry)
{
    m_results.prepend(entry);
    m_selectedIndex = 0;
    emit changed();
}

}  // namespace harkwell
