#include "vault/RemoteCopy.h"

#include "platform/paths/Paths.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>

namespace harkwell {

namespace {

bool matchesWithWildcards(const QList<uint>& pattern, const QList<uint>& name)
{
    if (pattern.size() != name.size())
        return false;
    for (qsizetype i = 0; i < pattern.size(); ++i)
        if (pattern[i] < 0x80 && pattern[i] != name[i])
            return false;
    return true;
}

}  // namespace

bool RemoteCopy::isOnSSHFS(const FileEntry& entry, const std::optional<QString>& remotesPath)
{
    if (!remotesPath)
        return false;
    return entry.fullPath.toLocalFile().startsWith(Paths::expandTilde(*remotesPath));
}

QString RemoteCopy::copyFolder() { return Paths::temporaryFolder() + QStringLiteral("/harkwell"); }

QString RemoteCopy::destinationFor(const FileEntry& entry)
{
    return copyFolder() + QLatin1Char('/') + entry.filename.normalized(QString::NormalizationForm_D);
}

std::optional<QString> RemoteCopy::findOnMount(const QString& folder, const QString& filename)
{
    if (QFileInfo::exists(folder + QLatin1Char('/') + filename))
        return filename;
    const QString composed = filename.normalized(QString::NormalizationForm_C);
    const QList<uint> pattern = filename.toUcs4();
    const QStringList names =
        QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& name : names)
        if (name.normalized(QString::NormalizationForm_C) == composed || matchesWithWildcards(pattern, name.toUcs4()))
            return name;
    return std::nullopt;
}

std::optional<QString> RemoteCopy::sshfsCopyToTemp(const FileEntry& entry)
{
    QDir().mkpath(copyFolder());
    const QString destination = destinationFor(entry);
    const QString folder = QFileInfo(entry.fullPath.toLocalFile()).absolutePath();
    const auto name = findOnMount(folder, entry.filename);
    if (!name)
        return std::nullopt;
    // By argument vector: no character of a name or folder can reach a shell.
    QProcess copy;
    copy.setStandardInputFile(QProcess::nullDevice());
    copy.setStandardOutputFile(QProcess::nullDevice());
    copy.setStandardErrorFile(QProcess::nullDevice());
    copy.start(QStringLiteral("cp"), {QStringLiteral("--"), folder + QLatin1Char('/') + *name, destination});
    if (!copy.waitForStarted(-1) || !copy.waitForFinished(-1))
        return std::nullopt;
    if (copy.exitStatus() != QProcess::NormalExit || copy.exitCode() != 0)
        return std::nullopt;
    return destination;
}

QString RemoteCopy::localCopyIfNeeded(const FileEntry& entry, const std::optional<QString>& remotesPath)
{
    if (isOnSSHFS(entry, remotesPath)) {
        if (auto copy = sshfsCopyToTemp(entry))
            return *copy;
    }
    return entry.fullPath.toLocalFile();
}

}  // namespace harkwell
