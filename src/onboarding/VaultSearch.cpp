#include "onboarding/VaultSearch.h"

#include <QDirIterator>
#include <QFile>

#include <fnmatch.h>

namespace harkwell {

namespace {

// The macOS places, and their counterparts on this desktop (the freedesktop trash, per-volume
// trash folders and the user's cache folder).
const char* const kExcludedPatterns[] = {
    "*/.Trash/*", "*/Library/Caches/*", "*/node_modules/*", "*/.git/*", "*/.archive/*",
    "*/.local/share/Trash/*", "*/.Trash-*/*", "*/.cache/*",
};

class Walk {
public:
    Walk(const QDateTime& deadline, const Clock& clock) : m_deadline(deadline), m_clock(clock) {}

    bool expired() const { return m_expired || (m_expired = m_clock.now() >= m_deadline); }

    // `depth` is the depth of the entries inside `folder` below the root.
    void visit(const QString& folder, int depth, QStringList& hits)
    {
        if (depth > VaultSearch::kMaxDepth || expired())
            return;
        QDirIterator entries(folder, QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot | QDir::NoSymLinks);
        while (entries.hasNext()) {
            if (expired())
                return;
            const QString child = entries.next();
            if (entries.fileName() == QLatin1String(".obsidian") && !VaultSearch::isExcluded(child))
                hits.append(child);
            visit(child, depth + 1, hits);
        }
    }

private:
    QDateTime m_deadline;
    const Clock& m_clock;
    mutable bool m_expired = false;
};

}  // namespace

bool VaultSearch::isExcluded(const QString& path)
{
    const QByteArray bytes = QFile::encodeName(path);
    for (const char* pattern : kExcludedPatterns)
        if (::fnmatch(pattern, bytes.constData(), 0) == 0)
            return true;
    return false;
}

QStringList VaultSearch::obsidianFolders(const QStringList& roots, const QDateTime& deadline, const Clock& clock)
{
    QStringList hits;
    Walk walk(deadline, clock);
    for (const QString& root : roots) {
        if (walk.expired())
            break;
        walk.visit(root, 1, hits);
    }
    return hits;
}

}  // namespace harkwell
