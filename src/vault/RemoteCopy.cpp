#include "vault/RemoteCopy.h"

#include "platform/files/FileNames.h"
#include "platform/files/NativeFiles.h"
#include "platform/paths/Paths.h"

#include <QDir>
#include <QFile>
#include <QThreadPool>
#include <QUuid>

namespace harkwell {

namespace {

using Steady = std::chrono::steady_clock;

bool matchesWithWildcards(const QList<uint>& pattern, const QList<uint>& name)
{
    if (pattern.size() != name.size())
        return false;
    for (qsizetype i = 0; i < pattern.size(); ++i)
        if (pattern[i] < 0x80 && pattern[i] != name[i])
            return false;
    return true;
}

// The beginning of this run's copy folders: what removeLeftovers() keeps.
const QByteArray& runPrefix()
{
    static const QByteArray prefix =
        "copy-" + QUuid::createUuid().toByteArray(QUuid::Id128).left(12) + '-';
    return prefix;
}

QByteArray lastComponent(const QByteArray& path) { return path.mid(path.lastIndexOf('/') + 1); }

QByteArray folderOf(const QByteArray& path) { return path.left(path.lastIndexOf('/')); }

std::chrono::milliseconds remaining(Steady::time_point deadline)
{
    return std::max(std::chrono::milliseconds(1), std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()));
}

QString notAnswering(std::chrono::milliseconds limit)
{
    return QStringLiteral("The remote mount didn’t answer within %1 seconds.")
        .arg(std::chrono::duration_cast<std::chrono::seconds>(limit).count());
}

}  // namespace

bool RemoteCopy::isBelowRemotes(const QByteArray& path, const std::optional<QString>& remotesPath)
{
    if (!remotesPath || remotesPath->isEmpty())
        return false;
    QByteArray folder = QFile::encodeName(Paths::expandTilde(*remotesPath));
    while (folder.endsWith('/'))
        folder.chop(1);
    return path.startsWith(folder + '/');
}

bool RemoteCopy::isOnSSHFS(const FileEntry& entry, const std::optional<QString>& remotesPath)
{
    return isBelowRemotes(FileNames::nativePath(entry.fullPath), remotesPath);
}

QString RemoteCopy::copyFolder() { return Paths::temporaryFolder() + QStringLiteral("/harkwell"); }

QThreadPool& RemoteCopy::pool()
{
    // Left alive at exit: a pool's destructor would wait for a copy stuck on its mount.
    static QThreadPool* copies = [] {
        auto* made = new QThreadPool;
        made->setMaxThreadCount(4);
        made->setExpiryTimeout(10'000);
        return made;
    }();
    return *copies;
}

std::optional<QString> RemoteCopy::findOnMount(const QStringList& names, const QString& filename)
{
    if (names.contains(filename))
        return filename;
    const QString composed = filename.normalized(QString::NormalizationForm_C);
    const QList<uint> pattern = filename.toUcs4();
    for (const QString& name : names)
        if (name.normalized(QString::NormalizationForm_C) == composed || matchesWithWildcards(pattern, name.toUcs4()))
            return name;
    return std::nullopt;
}

std::expected<QByteArray, QString> RemoteCopy::copyToTemp(const FileEntry& entry, ProcessRunner& runner,
                                                          std::chrono::milliseconds limit)
{
    const auto deadline = Steady::now() + limit;
    const QByteArray source = FileNames::nativePath(entry.fullPath);
    const QByteArray sourceName = lastComponent(source);
    const QByteArray sourceFolder = folderOf(source);
    const QString shownName = FileNames::display(sourceName);
    const QString couldNotCopy = QStringLiteral("“%1” couldn’t be copied from the remote mount.").arg(shownName);

    const QByteArray root = QFile::encodeName(copyFolder());
    QDir().mkpath(copyFolder());
    const auto folder = NativeFiles::makeUniqueFolder(root, runPrefix());
    if (!folder)
        return std::unexpected(QStringLiteral("The folder for copies of remote files couldn’t be made."));
    const QByteArray destination =
        *folder + '/'
        + (FileNames::isValidUtf8(sourceName) ? QString::fromUtf8(sourceName).normalized(QString::NormalizationForm_D).toUtf8()
                                              : sourceName);
    const auto fail = [&](const QString& text) -> std::expected<QByteArray, QString> {
        NativeFiles::removeAll(*folder);
        return std::unexpected(text);
    };
    const auto copy = [&](const QByteArray& from) { return runner.run(QList<QByteArray>{"cp", "--", from, destination}, remaining(deadline), {}); };

    auto copied = copy(source);
    if (!copied)
        return fail(couldNotCopy + QLatin1Char(' ') + copied.error().text);
    if (copied->ending == ProcessRun::Ending::KilledAtLimit)
        return fail(notAnswering(limit));
    if (copied->succeeded())
        return destination;

    // The mount may spell the name otherwise than the listing did: look for it in its folder.
    const auto listing = runner.run(QList<QByteArray>{"find", sourceFolder, "-mindepth", "1", "-maxdepth", "1", "-printf", "%f\\0"},
                                    remaining(deadline), {});
    if (!listing)
        return fail(couldNotCopy);
    if (listing->ending == ProcessRun::Ending::KilledAtLimit)
        return fail(notAnswering(limit));
    QStringList names;
    QList<QByteArray> nativeNames = listing->output.split('\0');
    for (const QByteArray& name : std::as_const(nativeNames))
        names.append(FileNames::display(name));
    const auto found = findOnMount(names, entry.filename);
    if (!found)
        return fail(couldNotCopy);
    copied = copy(sourceFolder + '/' + nativeNames.at(names.indexOf(*found)));
    if (copied && copied->ending == ProcessRun::Ending::KilledAtLimit)
        return fail(notAnswering(limit));
    if (!copied || !copied->succeeded())
        return fail(couldNotCopy);
    return destination;
}

void RemoteCopy::removeCopy(const QByteArray& copy)
{
    const QByteArray folder = folderOf(copy);
    if (lastComponent(folder).startsWith("copy-"))
        NativeFiles::removeAll(folder);
}

void RemoteCopy::removeLeftovers()
{
    const QByteArray root = QFile::encodeName(copyFolder());
    for (const QByteArray& name : NativeFiles::entryNames(root).value_or(QList<QByteArray>()))
        if (!name.startsWith(runPrefix()))
            NativeFiles::removeAll(root + '/' + name);
}

}  // namespace harkwell
