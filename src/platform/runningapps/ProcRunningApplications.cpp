#include "platform/runningapps/ProcRunningApplications.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace harkwell {

namespace {

constexpr int kCommandNameLength = 15;  // TASK_COMM_LEN less its terminating zero

QByteArray readSmallFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(4096);
}

}  // namespace

RunningApplications& RunningApplications::system()
{
    static ProcRunningApplications applications;
    return applications;
}

QStringList ProcRunningApplications::processNames(const QString& bundleIdentifier)
{
    QStringList names{bundleIdentifier};
    const QString last = bundleIdentifier.section(QLatin1Char('.'), -1);
    if (!last.isEmpty() && last != bundleIdentifier)
        names.append(last);
    return names;
}

std::optional<ProcRunningApplications::ProcessStat> ProcRunningApplications::readStat(qint64 pid)
{
    const QByteArray stat = readSmallFile(QStringLiteral("/proc/%1/stat").arg(pid));
    // The command name sits in parentheses and may itself hold blanks or ")"; the fields after it
    // start behind the last ")".
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0)
        return std::nullopt;
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    // Behind the name: field 3 (state) is the first, field 22 (start time) the twentieth.
    if (fields.size() < 20 || fields[0].isEmpty())
        return std::nullopt;
    bool ok = false;
    const quint64 start = fields[19].toULongLong(&ok);
    if (!ok)
        return std::nullopt;
    return ProcessStat{fields[0].at(0), start};
}

QList<RunningProcess> ProcRunningApplications::instances(const QString& bundleIdentifier)
{
    QStringList commandNames;
    const QStringList names = processNames(bundleIdentifier);
    for (const QString& name : names)
        commandNames.append(name.left(kCommandNameLength));

    QList<RunningProcess> found;
    const qint64 self = ::getpid();
    const uid_t user = ::getuid();
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (!numeric || pid == self)
            continue;
        const QString folder = QStringLiteral("/proc/") + entry;
        struct stat owner {};
        if (::stat(QFile::encodeName(folder).constData(), &owner) != 0 || owner.st_uid != user)
            continue;

        const QString command = QString::fromUtf8(readSmallFile(folder + QStringLiteral("/comm"))).trimmed();
        const QString executable = QFileInfo(QFile::symLinkTarget(folder + QStringLiteral("/exe"))).fileName();
        const bool named = commandNames.contains(command, Qt::CaseInsensitive)
                           || (!executable.isEmpty() && names.contains(executable, Qt::CaseInsensitive));
        if (!named)
            continue;
        if (const auto stat = readStat(pid); stat && stat->state != 'Z')
            found.append(RunningProcess{pid, stat->startTicks});
    }
    return found;
}

bool ProcRunningApplications::requestQuit(const RunningProcess& process)
{
    // A process with this id that started at another time is someone else's: leave it alone.
    if (hasTerminated(process))
        return false;
    return ::kill(pid_t(process.pid), SIGTERM) == 0;
}

bool ProcRunningApplications::hasTerminated(const RunningProcess& process)
{
    const auto stat = readStat(process.pid);
    return !stat || stat->startTicks != process.startTicks || stat->state == 'Z';
}

}  // namespace harkwell
