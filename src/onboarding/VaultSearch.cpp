#include "onboarding/VaultSearch.h"

#include "onboarding/ParallelRuns.h"
#include "platform/childprocess/ProcessRunner.h"

#include <QFile>

#include <fnmatch.h>

#include <algorithm>
#include <vector>

namespace harkwell {

namespace {

// The macOS places, and their counterparts on this desktop (the freedesktop trash, per-volume
// trash folders and the user's cache folder).
const char* const kExcludedPatterns[] = {
    "*/.Trash/*", "*/Library/Caches/*", "*/node_modules/*", "*/.git/*", "*/.archive/*",
    "*/.local/share/Trash/*", "*/.Trash-*/*", "*/.cache/*",
};

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds left(Clock::time_point deadline)
{
    return std::max(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()),
                    std::chrono::milliseconds(0));
}

// The NUL-separated paths a listing printed; a path cut short by the kill is dropped.
QStringList paths(const QByteArray& output)
{
    QStringList found;
    qsizetype start = 0;
    for (qsizetype end = output.indexOf('\0'); end >= 0; start = end + 1, end = output.indexOf('\0', start))
        found.append(QFile::decodeName(output.mid(start, end - start)));
    return found;
}

QStringList list(ProcessRunner& runner, const QStringList& arguments, Clock::time_point deadline)
{
    const std::chrono::milliseconds limit = left(deadline);
    if (limit.count() == 0)
        return {};
    // Unbuffered, so that a listing killed at the limit has handed over every hit it made.
    const auto run = runner.run(QStringList{QStringLiteral("stdbuf"), QStringLiteral("-o0"), QStringLiteral("find"),
                                            QStringLiteral("-P")} + arguments,
                                limit);
    return run ? paths(run->output) : QStringList();
}

}  // namespace

bool VaultSearch::isExcluded(const QString& path)
{
    const QByteArray bytes = QFile::encodeName(path);
    for (const char* pattern : kExcludedPatterns)
        if (::fnmatch(pattern, bytes.constData(), 0) == 0)
            return true;
    return false;
}

QStringList VaultSearch::obsidianFolders(const QStringList& roots, std::chrono::milliseconds limit, ProcessRunner& runner)
{
    const Clock::time_point deadline = Clock::now() + limit;
    const QString depth = QString::number(kMaxDepth - 1);

    // The folders directly below each root, in order; each is searched by a listing of its own.
    QStringList folders;
    for (const QString& root : roots) {
        QStringList below = list(runner,
                                 {root, QStringLiteral("-mindepth"), QStringLiteral("1"), QStringLiteral("-maxdepth"),
                                  QStringLiteral("1"), QStringLiteral("-type"), QStringLiteral("d"),
                                  QStringLiteral("-print0")},
                                 deadline);
        below.sort();
        folders += below;
    }

    std::vector<QStringList> hits(folders.size());
    ParallelRuns::forEachIndex(folders.size(), kParallelListings, [&](qsizetype index) {
        hits[index] = list(runner,
                           {folders[index], QStringLiteral("-maxdepth"), depth, QStringLiteral("-type"),
                            QStringLiteral("d"), QStringLiteral("-name"), QStringLiteral(".obsidian"),
                            QStringLiteral("-print0")},
                           deadline);
    });

    QStringList found;
    for (const QStringList& folderHits : hits)
        for (const QString& hit : folderHits)
            if (!isExcluded(hit))
                found.append(hit);
    return found;
}

}  // namespace harkwell
