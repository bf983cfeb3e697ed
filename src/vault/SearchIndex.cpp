#include "vault/SearchIndex.h"

#include "foundation/Settings.h"
#include "platform/files/FileNames.h"
#include "platform/paths/Paths.h"
#include "vault/FileClassifier.h"
#include "vault/FileDates.h"
#include "vault/FileScanner.h"
#include "vault/RemoteCopy.h"
#include "vault/RemoteFolders.h"

#include <QCollator>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QUuid>
#include <QtConcurrent/QtConcurrentRun>

#include <qcoro/qcorofuture.h>

#include <algorithm>
#include <cstring>
#include <string.h>

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

// The folded text as UTF-8 appended to `out`: a substring of valid UTF-8 in valid UTF-8 is a
// substring of the text, so matching can run on bytes. Plain ASCII is folded without the
// Unicode tables.
void appendFolded(QByteArray& out, const QString& text)
{
    bool ascii = true;
    for (const QChar c : text)
        if (c.unicode() >= 0x80) {
            ascii = false;
            break;
        }
    if (!ascii) {
        out += foldForMatching(text).toUtf8();
        return;
    }
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        out += char(u >= u'A' && u <= u'Z' ? u + 32 : u);
    }
}

bool containsBytes(const char* begin, const char* end, const QByteArray& word)
{
    return ::memmem(begin, size_t(end - begin), word.constData(), size_t(word.size())) != nullptr;
}

enum Flag : quint8 { Hidden = 1 };

// Which bytes and which pairs of neighbouring bytes a text holds, folded into a few bits each: a
// word whose bits are not all in a file's masks cannot be in its text, so most files are passed
// over without looking at their text at all.
struct Masks {
    quint64 bytes = 0;
    quint64 pairs[4] = {0, 0, 0, 0};

    static int byteBit(unsigned char c)
    {
        if (c >= 'a' && c <= 'z')
            return c - 'a';
        if (c >= '0' && c <= '9')
            return 26 + (c - '0');
        return 36 + int(c % 28);
    }
    static int pairBit(unsigned char a, unsigned char b) { return int((unsigned(a) * 131u + unsigned(b)) * 2654435761u >> 24); }

    void add(const char* text, qsizetype size)
    {
        for (qsizetype i = 0; i < size; ++i) {
            const auto c = static_cast<unsigned char>(text[i]);
            bytes |= quint64(1) << byteBit(c);
            if (i + 1 < size) {
                const int bit = pairBit(c, static_cast<unsigned char>(text[i + 1]));
                pairs[bit >> 6] |= quint64(1) << (bit & 63);
            }
        }
    }
    void add(const Masks& other)
    {
        bytes |= other.bytes;
        for (int i = 0; i < 4; ++i)
            pairs[i] |= other.pairs[i];
    }
    bool within(const Masks& text) const
    {
        return (bytes & ~text.bytes) == 0 && (pairs[0] & ~text.pairs[0]) == 0 && (pairs[1] & ~text.pairs[1]) == 0
               && (pairs[2] & ~text.pairs[2]) == 0 && (pairs[3] & ~text.pairs[3]) == 0;
    }
};

}  // namespace

// The base list in the form a keystroke scans: the entries' positions newest first (a stable
// order, as the sort of the whole list would give), and each entry's folded text in that order in
// one buffer, each followed by a NUL. A file's text is its path, then those of its name, folder,
// domain and type that the path does not already hold: a word found in one of those is found in
// the text either way.
struct SearchIndex::Prepared {
    const QList<FileEntry>* base = nullptr;
    QList<FileEntry> entries;  // a copy sharing the base's data, to notice when it changes
    TimeBasis basis = TimeBasis::Modification;
    QString rules;  // the hidden-file patterns it was built with
    std::vector<qsizetype> order;  // entry index by date position
    std::vector<qsizetype> starts;  // text offset by date position, and the end
    std::vector<quint8> flags;      // by date position
    std::vector<FileEntry::Source> sources;  // by date position
    std::vector<Masks> masks;                // by date position
    QByteArray text;

    qsizetype size() const { return qsizetype(order.size()); }
    const char* begin(qsizetype position) const { return text.constData() + starts[position]; }
    const char* end(qsizetype position) const { return text.constData() + starts[position + 1] - 1; }
    // The date position whose text holds `offset`.
    qsizetype positionAt(qsizetype offset) const
    {
        return qsizetype(std::upper_bound(starts.begin(), starts.end(), offset) - starts.begin()) - 1;
    }
};

// What the last search matched, so that a longer query looks only at those.
struct SearchIndex::LastSearch {
    const Prepared* prepared = nullptr;
    int build = 0;
    QList<QByteArray> words;
    Scope scope = Scope::All;
    bool hideSystemFiles = true;
    QSet<QString> extensions;
    std::vector<qsizetype> matched;  // date positions, in order
    qsizetype scannedTo = 0;         // every position before this was looked at
};

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
        if (!m_panelOpen) {
            m_stale = true;
            return;
        }
        if (!m_follow.isActive())
            m_follow.start();
    });
}

void SearchIndex::setPanelOpen(bool open)
{
    m_panelOpen = open;
    if (!open)
        m_follow.stop();
    if (open && m_stale) {
        m_stale = false;
        rebuildIndex();
        search();
    }
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

void SearchIndex::setNotice(std::optional<QString> notice)
{
    m_notice = std::move(notice);
    emit changed();
}

void SearchIndex::reset()
{
    m_notice.reset();
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
    m_stale = false;
    const QList<FileEntryList> days{m_scanner.todayFiles(), m_scanner.recentFiles()};
    const QList<QList<FileEntry>> folders{m_scanner.outboxFiles(), m_scanner.inboxFiles(), m_scanner.handoffFiles()};
    const auto sameLists = [](const auto& now, const auto& before) {
        bool same = now.size() == before.size();
        for (qsizetype i = 0; same && i < now.size(); ++i)
            same = now[i].isSharedWith(before[i]) || (now[i].isEmpty() && before[i].isEmpty());
        return same;
    };
    const bool same = sameLists(days, m_indexedDays) && sameLists(folders, m_indexedFolders);
    // The scanner hands over the very same lists when nothing changed: the index stands as it is.
    if (!same) {
        m_indexedDays = days;
        m_indexedFolders = folders;
        m_recentFiles = uniquePreferring(m_scanner.todayFiles().toList() + m_scanner.recentFiles().toList(), structureFiles());
    }
    if (m_fullIndex && !same) {
        QList<FileEntry> listed;
        for (const FileEntry& entry : std::as_const(*m_fullIndex))
            if (entry.source == FileEntry::Source::Vault || entry.source == FileEntry::Source::Workspace)
                listed.append(entry);
        m_fullIndex = uniquePreferring(listed, structureFiles());
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

QList<FileEntry> SearchIndex::uniquePreferring(const QList<FileEntry>& files, const QList<FileEntry>& preferred)
{
    QSet<QString> preferredPaths;
    for (const FileEntry& entry : preferred)
        preferredPaths.insert(entry.fullPath.path());
    QList<FileEntry> others;
    others.reserve(files.size());
    for (const FileEntry& entry : files)
        if (!preferredPaths.contains(entry.fullPath.path()))
            others.append(entry);
    return unique(others + preferred);
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

const SearchIndex::Prepared& SearchIndex::prepared()
{
    const QList<FileEntry>& base = (m_isDeepSearch && m_fullIndex) ? *m_fullIndex : m_recentFiles;
    const AppSettings settings = m_settings.settings();
    const TimeBasis basis = settings.timeBasis.value_or(TimeBasis::Modification);
    const QString rules = settings.excludeFilePatterns.value_or(Settings::defaultExcludeFilePatterns()).join(QChar(0));
    if (m_prepared && m_prepared->base == &base && m_prepared->entries.isSharedWith(base)
        && m_prepared->entries.size() == base.size() && m_prepared->basis == basis && m_prepared->rules == rules)
        return *m_prepared;

    auto prepared = std::make_unique<Prepared>();
    prepared->base = &base;
    prepared->entries = base;
    prepared->basis = basis;
    prepared->rules = rules;
    const qsizetype count = base.size();
    std::vector<std::pair<qint64, qsizetype>> keys;
    keys.reserve(count);
    for (qsizetype i = 0; i < count; ++i)
        keys.emplace_back(FileDates::effectiveMs(base.at(i), basis), i);
    std::stable_sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) { return a.first > b.first; });

    const auto isExcluded = m_settings.excludedFileTest();
    prepared->order.reserve(count);
    prepared->starts.reserve(count + 1);
    prepared->flags.reserve(count);
    prepared->sources.reserve(count);
    prepared->masks.reserve(count);
    prepared->text.reserve(count * 64);
    QByteArray folded;
    for (const auto& [ms, index] : keys) {
        const FileEntry& entry = base.at(index);
        prepared->order.push_back(index);
        prepared->starts.push_back(prepared->text.size());
        const bool hidden = isExcluded(entry.filename) || hiddenExtensions().contains(extensionOf(entry.filename));
        prepared->flags.push_back(hidden ? Hidden : 0);
        prepared->sources.push_back(entry.source);
        QByteArray& text = prepared->text;
        const qsizetype start = text.size();
        appendFolded(text, entry.relativePath);
        const qsizetype pathEnd = text.size();
        for (const QString* field : {&entry.filename, &entry.parentFolder, entry.domain ? &*entry.domain : nullptr,
                                     entry.fileType ? &*entry.fileType : nullptr}) {
            if (!field || field->isEmpty())
                continue;
            folded.clear();
            appendFolded(folded, *field);
            if (QByteArrayView(text.constData() + start, pathEnd - start).contains(folded))
                continue;
            text += ' ';
            text += folded;
        }
        text += '\0';
        Masks masks;
        masks.add(text.constData() + start, text.size() - start - 1);
        prepared->masks.push_back(masks);
    }
    prepared->starts.push_back(prepared->text.size());
    m_prepared = std::move(prepared);
    m_last.reset();
    ++m_preparedBuilds;
    return *m_prepared;
}

void SearchIndex::search()
{
    const QString text = foldForMatching(trimSpaces(m_query));
    QList<QByteArray> words;
    for (const QString& word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts))
        words.append(word.toUtf8());
    const Prepared& index = prepared();

    // A NUL ends each file's text, so a word holding one can match nothing.
    const bool impossible = std::any_of(words.cbegin(), words.cend(), [](const QByteArray& w) { return w.contains('\0'); });
    const auto passes = [&](qsizetype position) {
        switch (m_scope) {
        case Scope::All:
            break;
        case Scope::Inbox:
            if (index.sources[position] != FileEntry::Source::Inbox)
                return false;
            break;
        case Scope::Outbox:
            if (index.sources[position] != FileEntry::Source::Outbox)
                return false;
            break;
        case Scope::Handoff:
            if (index.sources[position] != FileEntry::Source::Handoff)
                return false;
            break;
        }
        if (m_hideSystemFiles && (index.flags[position] & Hidden))
            return false;
        if (!m_activeExtFilters.isEmpty()
            && !m_activeExtFilters.contains(extensionOf(index.entries.at(index.order[position]).filename)))
            return false;
        return true;
    };
    Masks need;
    for (const QByteArray& word : words)
        need.add(word.constData(), word.size());
    const auto matchesAll = [&](qsizetype position) {
        const char* begin = index.begin(position);
        const char* end = index.end(position);
        return std::all_of(words.cbegin(), words.cend(), [&](const QByteArray& word) { return containsBytes(begin, end, word); });
    };

    // A query that only adds to the last one (every earlier word inside one of the new words,
    // the same filters) can match only what the last one matched, plus what it did not look at.
    bool narrows = m_last && m_last->prepared == &index && m_last->build == m_preparedBuilds && m_last->scope == m_scope
                   && m_last->hideSystemFiles == m_hideSystemFiles && m_last->extensions == m_activeExtFilters;
    if (narrows)
        for (const QByteArray& earlier : m_last->words)
            narrows = narrows && std::any_of(words.cbegin(), words.cend(), [&](const QByteArray& w) { return w.contains(earlier); });

    auto last = std::make_unique<LastSearch>();
    last->prepared = &index;
    last->build = m_preparedBuilds;
    last->words = words;
    last->scope = m_scope;
    last->hideSystemFiles = m_hideSystemFiles;
    last->extensions = m_activeExtFilters;
    std::vector<qsizetype>& matched = last->matched;
    qsizetype from = 0;
    bool full = false;
    if (narrows) {
        for (const qsizetype position : m_last->matched) {
            if (!impossible && need.within(index.masks[position]) && matchesAll(position))
                matched.push_back(position);
            if (qsizetype(matched.size()) == kMaxResults) {
                last->scannedTo = position + 1;
                full = true;
                break;
            }
        }
        from = m_last->scannedTo;
    }
    if (!full && !impossible) {
        const qsizetype count = index.size();
        if (words.isEmpty()) {
            qsizetype position = from;
            for (; position < count && qsizetype(matched.size()) < kMaxResults; ++position)
                if (passes(position))
                    matched.push_back(position);
            last->scannedTo = position;
        } else {
            qsizetype position = from;
            for (; position < count; ++position) {
                if (!need.within(index.masks[position]) || !passes(position) || !matchesAll(position))
                    continue;
                matched.push_back(position);
                if (qsizetype(matched.size()) == kMaxResults) {
                    ++position;
                    break;
                }
            }
            last->scannedTo = position;
        }
    } else if (impossible) {
        last->scannedTo = index.size();
    }

    QList<FileEntry> kept;
    kept.reserve(qsizetype(matched.size()));
    for (const qsizetype position : matched)
        kept.append(index.entries.at(index.order[position]));
    m_last = std::move(last);
    m_results = std::move(kept);
    m_selectedIndex = 0;
    emit changed();
}

QCoro::Task<> SearchIndex::loadFullIndex()
{
    const QPointer<SearchIndex> self(this);
    const FullListing listing = m_fullListing;
    // Not the shared workers, which the application waits for when it quits: a listing may be slow.
    QFuture<QList<FileEntry>> future = QtConcurrent::run(&RemoteCopy::pool(), [listing] { return listing(); });
    const QList<FileEntry> listed = co_await future;
    if (!self)
        co_return;
    m_fullIndex = uniquePreferring(listed, structureFiles());
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

    QStringList pieces = selected->relativePath.split(QLatin1Char('/'));
    pieces.removeLast();
    const QString shownPath = pieces.join(QLatin1Char('/'));
    m_folderPath = shownPath.isEmpty() ? selected->parentFolder : shownPath;
    m_notice.reset();
    const int listing = ++m_folderListing;

    const QByteArray nativeFile = FileNames::nativePath(selected->fullPath);
    const QByteArray nativeFolder = nativeFile.left(nativeFile.lastIndexOf('/'));
    // Any folder may lie on a mount that hangs, not only those below the remotes folder: each is
    // listed by a child process under a time limit, and the list stays empty until it comes.
    m_folderFiles.clear();
    emit changed();
    listFolder(*selected, nativeFolder, listing);
}

QList<FileEntry> SearchIndex::folderEntries(const FileEntry& selected, const QByteArray& folder,
                                            const QList<NativeFiles::FileItem>& items) const
{
    const QString folderText = FileNames::display(folder);
    QList<FileEntry> files;
    for (const NativeFiles::FileItem& item : items) {
        FileEntry entry = folderEntry(selected, folderText, folderText + QLatin1Char('/') + FileNames::display(item.name));
        entry.fullPath = FileNames::fileUrl(folder + '/' + item.name);
        entry.modificationDate = item.modified.isValid() ? item.modified : FileDates::distantPast();
        // A file system that keeps no birth time dates the file by its last change, as the listers do.
        entry.creationDate = item.born.isValid() ? item.born : entry.modificationDate;
        entry.size = item.size;
        files.append(entry);
    }
    return files;
}

QCoro::Task<> SearchIndex::listFolder(FileEntry selected, QByteArray folder, int listing)
{
    const QPointer<SearchIndex> self(this);
    const bool remote = RemoteCopy::isBelowRemotes(folder, m_settings.settings().remotesPath);
    // The copies' threads: each listing ends at its time limit, and the scanner's workers stay free.
    QFuture<std::expected<QList<RemoteFolders::FolderItem>, QString>> listed = QtConcurrent::run(
        &RemoteCopy::pool(), [folder] { return RemoteFolders::listFolder(folder, ProcessRunner::system()); });
    const auto items = co_await listed;
    if (!self || listing != m_folderListing || !m_folderPath)
        co_return;
    if (!items) {
        m_notice = remote ? items.error() : QString::fromUtf8(kFolderNotAnswering);
        emit changed();
        co_return;
    }
    showFolderFiles(folderEntries(selected, folder, *items), selected);
}

FileEntry SearchIndex::folderEntry(const FileEntry& selected, const QString& folder, const QString& path) const
{
    QString vaultPath = Paths::expandTilde(m_settings.settings().vaultPath);
    while (vaultPath.size() > 1 && vaultPath.endsWith(QLatin1Char('/')))
        vaultPath.chop(1);
    FileEntry entry;
    entry.id = QUuid::createUuid();
    entry.filename = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1).normalized(QString::NormalizationForm_C);
    entry.relativePath = path;
    entry.relativePath.replace((path.startsWith(vaultPath) ? vaultPath : folder) + QLatin1Char('/'), QString());
    entry.parentFolder = folder.mid(folder.lastIndexOf(QLatin1Char('/')) + 1);
    entry.source = selected.source;
    const auto labels = FileClassifier::classify(entry.filename, entry.relativePath);
    entry.filenameDate = labels.filenameDate;
    entry.domain = labels.domain;
    entry.fileType = labels.fileType;
    return entry;
}

void SearchIndex::showFolderFiles(QList<FileEntry> files, const FileEntry& selected)
{
    m_folderFiles = std::move(files);
    sortFolderFiles();

    m_selectedIndex = 0;
    for (qsizetype i = 0; i < m_folderFiles.size(); ++i) {
        if (m_folderFiles[i].fullPath == selected.fullPath) {
            m_selectedIndex = int(i);
            break;
        }
    }
    emit changed();
}

void SearchIndex::exitFolderMode()
{
    m_notice.reset();
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
        m_prepared.reset();
        m_last.reset();
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
