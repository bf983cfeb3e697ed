#include "vault/FrozenMounts.h"

#include "platform/files/MountPoints.h"
#include "platform/syslog/SystemLog.h"
#include "vault/StuckMounts.h"

#include <QFile>

#include <future>
#include <vector>

namespace harkwell {

namespace {

// Whether the mount opened and read its root within the limit: what a walk would do first.
bool answers(const QByteArray& mount, ProcessRunner& runner, std::chrono::milliseconds limit)
{
    const QString path = QFile::decodeName(mount);
    if (StuckMounts::shared().isStuck(path))
        return false;
    const auto probe = runner.run(QList<QByteArray>{"find", mount, "-mindepth", "1", "-maxdepth", "1", "-quit"}, limit, {});
    if (!probe || probe->ending != ProcessRun::Ending::KilledAtLimit)
        return true;
    StuckMounts::shared().note(path, *probe);
    return false;
}

}  // namespace

QStringList FrozenMounts::below(const QString& folder, const QSet<QString>& prunedNames, bool skipHidden,
                                ProcessRunner& runner, std::chrono::milliseconds limit)
{
    QByteArray base = QFile::encodeName(folder);
    while (base.size() > 1 && base.endsWith('/'))
        base.chop(1);
    QList<QByteArray> mounts = MountPoints::below(base);
    mounts.removeIf([&](const QByteArray& mount) {
        for (const QByteArray& name : mount.mid(base == "/" ? 1 : base.size() + 1).split('/'))
            if ((skipHidden && name.startsWith('.')) || prunedNames.contains(QFile::decodeName(name)))
                return true;
        return false;
    });
    // Asked together, so that several frozen mounts cost one limit, not one each.
    std::vector<std::future<bool>> probes;
    probes.reserve(size_t(mounts.size()));
    for (const QByteArray& mount : mounts)
        probes.push_back(std::async(std::launch::async, [mount, &runner, limit] { return answers(mount, runner, limit); }));
    QStringList frozen;
    for (qsizetype i = 0; i < mounts.size(); ++i) {
        if (probes[size_t(i)].get())
            continue;
        frozen.append(QFile::decodeName(mounts[i]));
        SystemLog::write(QStringLiteral("[harkwell] skipping frozen mount: %1").arg(frozen.last()));
    }
    return frozen;
}

}  // namespace harkwell
