#include "vault/SpecialFolders.h"

#include "platform/files/FileNames.h"
#include "platform/walk/TreeWalk.h"
#include "vault/FileClassifier.h"
#include "vault/ListedPaths.h"

#include <QFile>
#include <QUrl>

#include <algorithm>

namespace harkwell {

QList<FileEntry> SpecialFolders::scan(const QString& folderPath, const QString& folderName, FileEntry::Source source,
                                      std::optional<int> maxDepth, const QStringList& excludeNames, Clock& clock)
{
    WalkRules rules;
    rules.prunedNames = QSet<QString>(excludeNames.begin(), excludeNames.end());
    rules.skipHidden = true;
    rules.maxDepth = maxDepth;
    const auto walked = TreeWalk::walk(folderPath, rules, clock, clock.now().addSecs(kLimit.count()));
    if (!walked)
        return {};

    QList<FileEntry> entries;
    QByteArray root = QFile::encodeName(folderPath);
    while (root.endsWith('/'))
        root.chop(1);
    for (const WalkedFile& file : walked->files) {
        const QString inner = file.relativePath().normalized(QString::NormalizationForm_C);
        if (inner == QLatin1String("README.md"))
            continue;
        FileEntry entry;
        entry.id = QUuid::createUuid();
        entry.filename = ListedPaths::lastComponent(inner);
        entry.relativePath = folderName + QLatin1Char('/') + inner;
        entry.parentFolder = ListedPaths::parentName(entry.relativePath);
        // A delivery folder named for its day dates the files in it that carry no day of their own.
        std::optional<QDateTime> date = FileClassifier::parseFilenameDate(entry.filename);
        const QStringList parts = ListedPaths::components(inner);
        if (!date && parts.size() >= 2)
            date = FileClassifier::parseFilenameDate(parts.first());
        entry.creationDate = date ? date->toUTC() : file.modified();
        entry.modificationDate = entry.creationDate;
        entry.size = 0;
        entry.fullPath = FileNames::fileUrl(root + '/' + file.relative.toByteArray());
        entry.source = source;
        entries.append(std::move(entry));
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const FileEntry& a, const FileEntry& b) { return a.creationDate > b.creationDate; });
    return entries;
}

}  // namespace harkwell
