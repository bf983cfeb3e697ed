#include "onboarding/VaultProbe.h"

#include "onboarding/ParallelRuns.h"

#include <QFile>

#include <algorithm>
#include <vector>

namespace harkwell {

namespace {

// Prints the canonical path and then each marker found directly inside, each followed by a NUL;
// fails when nothing is at the path. A marker counts when anything of its name is there, even a
// link that leads nowhere.
constexpr char kScript[] = R"(p=$1
[ -e "$p" ] || exit 1
r=$(realpath -- "$p" 2>/dev/null) || r=$p
[ -e "$r" ] || exit 1
printf '%s\0' "$r"
for m in CLAUDE.md _inbox _tasks.yaml _outbox; do
  if [ -e "$r/$m" ] || [ -L "$r/$m" ]; then printf '%s\0' "$m"; fi
done)";

std::optional<VaultProbe::Folder> probeOne(const QString& path, std::chrono::steady_clock::time_point deadline,
                                           ProcessRunner& runner)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0)
        return std::nullopt;
    const auto run = runner.run(QList<QByteArray>{"sh", "-c", kScript, "sh", QFile::encodeName(path)}, left, {});
    if (!run || !run->succeeded())
        return std::nullopt;
    const QList<QByteArray> fields = run->output.split('\0');
    if (fields.size() < 2 || fields.first().isEmpty())
        return std::nullopt;
    VaultProbe::Folder folder;
    folder.id = QFile::decodeName(fields.first());
    for (qsizetype i = 1; i < fields.size(); ++i) {
        if (fields[i] == "_outbox")
            folder.hasOutbox = true;
        else if (!fields[i].isEmpty())
            folder.hasNookwiseMarkers = true;
    }
    return folder;
}

}  // namespace

QList<std::optional<VaultProbe::Folder>> VaultProbe::probe(const QStringList& paths,
                                                             std::chrono::steady_clock::time_point deadline,
                                                             ProcessRunner& runner)
{
    std::vector<std::optional<Folder>> found(size_t(paths.size()));
    ParallelRuns::forEachIndex(paths.size(), kParallelProbes,
                               [&](qsizetype index) { found[size_t(index)] = probeOne(paths[index], deadline, runner); });
    return QList<std::optional<Folder>>(found.begin(), found.end());
}

}  // namespace harkwell
