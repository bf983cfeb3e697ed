#include "vault/SpotlightScanner.h"

#include "platform/files/FileNames.h"
#include "platform/limits/ProcessLimits.h"
#include "platform/memory/LargePages.h"
#include "platform/syslog/SystemLog.h"
#include "platform/walk/WatchShortage.h"
#include "vault/FileClassifier.h"
#include "vault/FrozenMounts.h"
#include "vault/ListedPaths.h"
#include "vault/ListingMemory.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QUrl>
#include <QtCore/qarraydatapointer.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace harkwell {

namespace {

WalkRules recentFileRules(const QDateTime& since, const QSet<QString>& includeExtensions, const QStringList& excludeDirs)
{
    WalkRules rules;
    rules.prunedNames = QSet<QString>(excludeDirs.begin(), excludeDirs.end());
    rules.skipHidden = true;
    rules.extensions = includeExtensions;
    rules.modifiedSince = since;
    return rules;
}

// A frozen mount below the root can be left out of the walk only by its name, before the walk
// opens it: while it stays frozen, a folder of the same name elsewhere in the tree goes with it.
void leaveOutFrozenMounts(WalkRules& rules, const QString& root)
{
    for (const QString& mount : FrozenMounts::below(root, rules.prunedNames, rules.skipHidden))
        rules.prunedNames.insert(ListedPaths::lastComponent(mount));
}

// A file born at or before one day after the epoch has no real birth time; its modification stands in.
constexpr qint64 kBirthFloorMs = 86'400'000;

// A random (version 4) id without a system call or a shared lock per entry: each thread draws from
// a generator of its own, seeded from the system's.
QUuid newId()
{
    thread_local QRandomGenerator generator = [] {
        quint32 seed[8];
        QRandomGenerator::system()->fillRange(seed);
        return QRandomGenerator(seed, 8);
    }();
    quint32 words[4];
    generator.fillRange(words);
    char bytes[16];
    std::memcpy(bytes, words, sizeof bytes);
    bytes[6] = char((bytes[6] & 0x0F) | 0x40);
    bytes[8] = char((bytes[8] & 0x3F) | 0x80);
    return QUuid::fromRfc4122(QByteArrayView(bytes, sizeof bytes));
}

bool isAscii(const QString& text)
{
    for (const QChar c : text)
        if (c.unicode() >= 0x80)
            return false;
    return true;
}

// The text of `path` from `from` on, in the path's own memory rather than a copy of it: every
// entry holds its name beside its path, and a listing holds a hundred thousand entries.
QString tailOf(const QString& path, qsizetype from)
{
    QString::DataPointer tail = path.data_ptr();  // one more reference to the path's memory
    if (!tail.d_ptr())
        return path.sliced(from);  // no memory of its own to share
    tail.ptr += from;
    tail.size -= from;
    return QString(std::move(tail));
}

// Builds the entries of one listing; entries of one folder share their folder's name.
class EntryBuilder {
public:
    EntryBuilder(const QString& root, FileEntry::Source source, bool vaultDates)
        : m_root(root), m_rootBytes(QFile::encodeName(root)), m_rootName(ListedPaths::lastComponent(root)), m_source(source),
          m_vaultDates(vaultDates)
    {
        while (m_rootBytes.endsWith('/'))
            m_rootBytes.chop(1);
        m_rootValid = FileNames::isValidUtf8(m_rootBytes);
        m_rootText = QString::fromUtf8(m_rootBytes);
    }

    // A builder for another thread, with texts of its own: every entry it builds copies them, and
    // copies of one text made on several threads at once all count its holders in one place.
    EntryBuilder forAnotherThread() const
    {
        return EntryBuilder(QString(m_root.constData(), m_root.size()), m_source, m_vaultDates);
    }

    FileEntry build(const WalkedFile& file)
    {
        FileEntry entry;
        entry.id = newId();
        entry.relativePath = file.relativePath();
        const qsizetype slash = entry.relativePath.lastIndexOf(QLatin1Char('/'));
        const QString name = tailOf(entry.relativePath, slash + 1);
        entry.filename = isAscii(name) ? name : name.normalized(QString::NormalizationForm_C);
        const QStringView folder = slash < 0 ? QStringView() : QStringView(entry.relativePath).left(slash);
        if (folder != m_folder || m_parentName.isNull()) {
            m_folder = folder.toString();
            // The walk gives no empty part, so the folder's name is all after its last "/".
            m_parentName = slash < 0 ? m_rootName : tailOf(m_folder, m_folder.lastIndexOf(QLatin1Char('/')) + 1);
        }
        entry.parentFolder = m_parentName;
        entry.size = 0;
        // A path that is no valid UTF-8 keeps its bytes in the URL's escapes.
        entry.fullPath = m_rootValid && FileNames::isValidUtf8(file.relative)
                             ? FileLocation(m_rootText, entry.relativePath)
                             : FileLocation(FileNames::fileUrl(m_rootBytes + '/' + file.relative.toByteArray()));
        entry.source = m_source;
        const auto classification = FileClassifier::classify(entry.filename, entry.relativePath, m_days);
        entry.filenameDate = classification.filenameDate;
        entry.domain = classification.domain;
        entry.fileType = classification.fileType;
        const QDateTime modified = file.modified();
        if (m_vaultDates) {
            entry.creationDate = file.bornMs && *file.bornMs > kBirthFloorMs
                                     ? QDateTime::fromMSecsSinceEpoch(*file.bornMs, Qt::UTC)
                                     : modified;
            entry.modificationDate = file.modifiedMs > 0 ? modified : entry.creationDate;
        } else {
            entry.creationDate = modified;
            entry.modificationDate = modified;
        }
        return entry;
    }

private:
    QString m_root;
    QByteArray m_rootBytes;
    QString m_rootText;
    bool m_rootValid = false;
    QString m_rootName;
    FileEntry::Source m_source;
    bool m_vaultDates;
    QString m_folder;
    QString m_parentName;
    FileClassifier::DayStarts m_days;
};

// Fills `count` entries by `fill(builder, from, to)`: on a few threads when there are many, each
// with a builder of its own, since building an entry costs about as much as asking the disk for it.
template <typename Fill>
void fillAside(qsizetype count, const EntryBuilder& builder, Fill fill)
{
    constexpr qsizetype kEntriesPerThread = 4096;
    const qsizetype threads = std::min<qsizetype>({qsizetype(ProcessLimits::usableProcessors()), 8,
                                                   std::max<qsizetype>(1, count / kEntriesPerThread)});
    std::vector<std::thread> aside;
    std::vector<EntryBuilder> builders;
    builders.reserve(size_t(threads));
    for (qsizetype index = 0; index < threads; ++index)
        builders.push_back(builder.forAnotherThread());
    qsizetype from = 0;
    for (qsizetype index = 1; index < threads; ++index) {
        const qsizetype to = count * index / threads;
        try {
            aside.emplace_back([&fill, &builders, index, from, to] { fill(builders[size_t(index)], from, to); });
        } catch (const std::system_error&) {
            fill(builders[size_t(index)], from, to);
        }
        from = to;
    }
    fill(builders.front(), from, count);
    for (std::thread& thread : aside)
        thread.join();
}

// The walk's files as entries: the previous listing's entry where the walk found a file's times
// unmoved, else built. When every file was reused, in the same order, the memory's list itself is
// handed back.
QList<FileEntry> entriesFor(const std::vector<WalkedFile>& files, const EntryBuilder& builder, ListingMemory* memory)
{
    const qsizetype count = qsizetype(files.size());
    if (memory) {
        // Every file where it was, with its times unmoved: the last list stands as it is.
        bool same = count == memory->entries.size();
        for (qsizetype index = 0; same && index < count; ++index)
            same = files[size_t(index)].previous == index;
        if (same) {
            memory->rebuilt = 0;
            return memory->entries;
        }
    }
    const QList<FileEntry> previous = memory ? memory->entries : QList<FileEntry>();
    if (count == 0) {
        if (memory) {
            memory->rebuilt = 0;
            memory->entries = {};
        }
        return {};
    }
    // The entries are made in place on the builders' threads, not first made empty on this one:
    // the list's pages are then first touched in parallel, and on a virtual machine a page's first
    // touch can cost ten microseconds (a hundred thousand entries take 25 MB).
    QArrayDataPointer<FileEntry> storage(QTypedArrayData<FileEntry>::allocate(count));
    FileEntry* const out = storage.data();
    LargePages::prefer(out, size_t(count) * sizeof(FileEntry));
    std::atomic<qsizetype> rebuilt = 0;
    fillAside(count, builder, [&](EntryBuilder& own, qsizetype from, qsizetype to) {
        qsizetype built = 0;
        for (qsizetype index = from; index < to; ++index) {
            const WalkedFile& file = files[size_t(index)];
            if (file.previous >= 0 && file.previous < previous.size()) {
                new (out + index) FileEntry(previous.at(file.previous));
            } else {
                ++built;
                new (out + index) FileEntry(own.build(file));
            }
        }
        rebuilt += built;
    });
    storage.size = count;
    QList<FileEntry> entries(std::move(storage));
    if (memory) {
        memory->rebuilt = rebuilt;
        memory->entries = entries;
    }
    return entries;
}

// Runs `list` with the memory when no other listing holds it, else without.
template <typename List>
auto withMemory(ListingMemory* memory, const QString& root, List list)
{
    if (!memory)
        return list(nullptr);
    std::unique_lock lock(memory->busy, std::try_to_lock);
    if (!lock.owns_lock())
        return list(nullptr);
    if (memory->root != root) {
        memory->forget();
        memory->root = root;
    }
    return list(memory);
}

// Names each folder the walk could not read, once while it stays unreadable: a listing runs every
// few minutes, and the log would otherwise say the same at every one. Whether the listing is whole
// as far as it can be: not cut by its deadline, and every folder it could not read already
// unreadable last time, its entries kept from then. A folder that stays unreadable (one its owner
// keeps to itself) then holds back one listing, not every listing after it.
bool noteUnreadable(const WalkResult& walked, ListingMemory* memory)
{
    bool settled = true;
    for (const QString& folder : walked.unreadable)
        if (!memory || !memory->unreadable.contains(folder)) {
            SystemLog::write(QStringLiteral("[harkwell] find: cannot read %1").arg(folder));
            settled = false;
        }
    if (memory)
        memory->unreadable = walked.unreadable;
    return settled && !walked.stoppedAtDeadline;
}

}  // namespace

std::expected<ListedFiles, WalkError> SpotlightScanner::scanVault(const QString& vaultPath, const QDateTime& since,
                                                                       const QSet<QString>& includeExtensions,
                                                                       const QStringList& excludeDirs, Clock& clock,
                                                                       ListingMemory* memory)
{
    const QString root = resolveSymlink(vaultPath);
    return withMemory(memory, root, [&](ListingMemory* held) -> std::expected<ListedFiles, WalkError> {
        const QDateTime deadline = QDateTime::fromMSecsSinceEpoch(clock.msecsSinceEpoch() + kVaultLimit.count() * 1000, Qt::UTC);
        WalkRules rules = recentFileRules(since, includeExtensions, excludeDirs);
        leaveOutFrozenMounts(rules, root);
        const auto walked = TreeWalk::walk(root, rules, clock, deadline, held ? &held->walk : nullptr);
        if (!walked) {
            SystemLog::write(QStringLiteral("[harkwell] vault find: no output"));
            return std::unexpected(walked.error());
        }
        if (walked->stoppedAtDeadline)
            SystemLog::write(QStringLiteral("[harkwell] vault find timed out"));
        const bool whole = noteUnreadable(*walked, held);
        if (held)
            WatchShortage::shared().check(QFile::encodeName(root), held->walk);
        SystemLog::write(QStringLiteral("[harkwell] vault find returned %1 files").arg(walked->files.size()));
        EntryBuilder builder(root, FileEntry::Source::Vault, true);
        QList<FileEntry> entries = entriesFor(walked->files, builder, held);
        SystemLog::write(QStringLiteral("[harkwell] parsed %1 vault files").arg(entries.size()));
        return ListedFiles(std::move(entries), whole);
    });
}

std::expected<ListedFiles, WalkError> SpotlightScanner::scanWorkspace(
    const QString& path, [[maybe_unused]] const QString& relativeTo, const QDateTime& since,
    const QSet<QString>& includeExtensions, const QStringList& excludeDirs, FileEntry::Source source,
    const QStringList& excludeFolders, Clock& clock, ListingMemory* memory)
{
    const QString root = resolveSymlink(path);
    return withMemory(memory, root, [&](ListingMemory* held) -> std::expected<ListedFiles, WalkError> {
        WalkRules rules = recentFileRules(since, includeExtensions, excludeDirs);
        rules.maxFiles = kWorkspaceCap;
        rules.prunedFolders = excludeFolders;
        leaveOutFrozenMounts(rules, root);
        const QDateTime deadline =
            QDateTime::fromMSecsSinceEpoch(clock.msecsSinceEpoch() + kWorkspaceLimit.count() * 1000, Qt::UTC);
        const auto walked = TreeWalk::walk(root, rules, clock, deadline, held ? &held->walk : nullptr);
        const qsizetype count = walked ? qsizetype(walked->files.size()) : 0;
        SystemLog::write(QStringLiteral("[harkwell] find returned %1 lines for %2").arg(count).arg(path));
        if (!walked)
            return std::unexpected(walked.error());
        if (walked->stoppedAtDeadline)
            SystemLog::write(QStringLiteral("[harkwell] find timed out for %1").arg(path));
        const bool whole = noteUnreadable(*walked, held);
        if (held)
            WatchShortage::shared().check(QFile::encodeName(root), held->walk);
        EntryBuilder builder(root, source, false);
        return ListedFiles(entriesFor(walked->files, builder, held), whole);
    });
}

QString SpotlightScanner::resolveSymlink(const QString& path)
{
    QString trimmed = path;
    while (trimmed.size() > 1 && trimmed.endsWith(QLatin1Char('/')))
        trimmed.chop(1);
    const QFileInfo info(trimmed);
    if (!info.isSymLink())
        return path;
    const QString target = info.symLinkTarget();
    return target.isEmpty() ? path : target;
}

}  // namespace harkwell
