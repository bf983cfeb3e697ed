#include "vault/SpotlightScanner.h"

#include "platform/syslog/SystemLog.h"
#include "platform/walk/TreeWalk.h"
#include "vault/FileClassifier.h"
#include "vault/ListedPaths.h"

#include <QFileInfo>
#include <QUrl>

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

// A file born at or before one day after the epoch has no real birth time; its modification stands in.
constexpr qint64 kBirthFloorMs = 86'400'000;

FileEntry entryFor(const WalkedFile& file, FileEntry::Source source)
{
    FileEntry entry;
    entry.id = QUuid::createUuid();
    entry.filename = ListedPaths::lastComponent(file.relativePath).normalized(QString::NormalizationForm_C);
    entry.relativePath = file.relativePath;
    entry.parentFolder = ListedPaths::parentName(file.path);
    entry.size = 0;
    entry.fullPath = QUrl::fromLocalFile(file.path);
    entry.source = source;
    const auto classification = FileClassifier::classify(entry.filename, entry.relativePath);
    entry.filenameDate = classification.filenameDate;
    entry.domain = classification.domain;
    entry.fileType = classification.fileType;
    return entry;
}

}  // namespace

QList<FileEntry> SpotlightScanner::scanVault(const QString& vaultPath, const QDateTime& since,
                                             const QSet<QString>& includeExtensions, const QStringList& excludeDirs,
                                             Clock& clock)
{
    const QString root = resolveSymlink(vaultPath);
    const auto walked = TreeWalk::walk(root, recentFileRules(since, includeExtensions, excludeDirs), clock,
                                       clock.now().addSecs(kVaultLimit.count()));
    if (!walked) {
        SystemLog::write(QStringLiteral("[harkwell] vault find: no output"));
        return {};
    }
    if (walked->stoppedAtDeadline)
        SystemLog::write(QStringLiteral("[harkwell] vault find timed out"));
    SystemLog::write(QStringLiteral("[harkwell] vault find returned %1 files").arg(walked->files.size()));

    QList<FileEntry> entries;
    entries.reserve(walked->files.size());
    for (const WalkedFile& file : walked->files) {
        FileEntry entry = entryFor(file, FileEntry::Source::Vault);
        entry.creationDate = file.born && file.born->toMSecsSinceEpoch() > kBirthFloorMs ? *file.born : file.modified;
        entry.modificationDate = file.modified.toMSecsSinceEpoch() > 0 ? file.modified : entry.creationDate;
        entries.append(std::move(entry));
    }
    SystemLog::write(QStringLiteral("[harkwell] parsed %1 vault files").arg(entries.size()));
    return entries;
}

QList<FileEntry> SpotlightScanner::scanWorkspace(const QString& path, [[maybe_unused]] const QString& relativeTo, const QDateTime& since,
                                                 const QSet<QString>& includeExtensions, const QStringList& excludeDirs,
                                                 FileEntry::Source source, Clock& clock)
{
    const QString root = resolveSymlink(path);
    WalkRules rules = recentFileRules(since, includeExtensions, excludeDirs);
    rules.maxFiles = kWorkspaceCap;
    const auto walked = TreeWalk::walk(root, rules, clock, clock.now().addSecs(kWorkspaceLimit.count()));
    const qsizetype count = walked ? walked->files.size() : 0;
    SystemLog::write(QStringLiteral("[harkwell] find returned %1 lines for %2").arg(count).arg(path));
    if (!walked)
        return {};

    QList<FileEntry> entries;
    entries.reserve(count);
    for (const WalkedFile& file : walked->files) {
        FileEntry entry = entryFor(file, source);
        entry.creationDate = file.modified;
        entry.modificationDate = file.modified;
        entries.append(std::move(entry));
    }
    return entries;
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
