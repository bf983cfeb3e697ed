#include "platform/paths/LayoutMove.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace harkwell {

namespace {

bool sameContent(const QString& a, const QString& b)
{
    QFile first(a);
    QFile second(b);
    if (first.size() != second.size() || !first.open(QIODevice::ReadOnly) || !second.open(QIODevice::ReadOnly))
        return false;
    constexpr qint64 kChunk = 1 << 16;
    while (!first.atEnd())
        if (first.read(kChunk) != second.read(kChunk))
            return false;
    return true;
}

bool exists(const QString& path) { return QFileInfo::exists(path) || QFileInfo(path).isSymLink(); }

}  // namespace

LayoutMove::Outcome LayoutMove::run(const QList<Paths::Relocation>& relocations)
{
    Outcome outcome;
    const QString home = Paths::home() + QLatin1Char('/');
    QSet<QString> elsewhere;
    for (const Paths::Relocation& relocation : relocations)
        elsewhere.insert(relocation.from);
    for (const Paths::Relocation& relocation : relocations) {
        if (!exists(relocation.from))
            continue;
        moveEntry(relocation.from, relocation.to, elsewhere, outcome);
        // The folders on the way (~/Library/Logs, ~/Library) go too once nothing is left in them.
        for (QString parent = QFileInfo(relocation.from).absolutePath(); parent.startsWith(home);
             parent = QFileInfo(parent).absolutePath())
            if (!QDir().rmdir(parent))
                break;
    }
    return outcome;
}

void LayoutMove::moveEntry(const QString& from, const QString& to, const QSet<QString>& elsewhere, Outcome& outcome)
{
    const QFileInfo info(from);
    if (!info.isDir() || info.isSymLink()) {
        moveFile(from, to, outcome);
        return;
    }
    const QDir folder(from);
    const QStringList names = folder.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        const QString child = from + QLatin1Char('/') + name;
        if (!elsewhere.contains(child))
            moveEntry(child, to + QLatin1Char('/') + name, elsewhere, outcome);
    }
    // Only an emptied folder goes; one that still holds a kept file stays with it.
    QDir().rmdir(from);
}

void LayoutMove::moveFile(const QString& from, const QString& to, Outcome& outcome)
{
    if (exists(to)) {
        // Either an earlier, interrupted move already put this copy in place, or something new
        // took the name since; the second is never overwritten.
        if (!QFileInfo(from).isSymLink() && sameContent(from, to)) {
            QFile::remove(from);
            return;
        }
        outcome.kept.append(QStringLiteral("kept %1: %2 already exists").arg(from, to));
        return;
    }
    const QString folder = QFileInfo(to).absolutePath();
    if (!QDir().mkpath(folder)) {
        outcome.kept.append(QStringLiteral("kept %1: could not create %2").arg(from, folder));
        return;
    }
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (std::rename(source.constData(), target.constData()) == 0) {
        ++outcome.moved;
        return;
    }
    const int error = errno;
    if (error != EXDEV || QFileInfo(from).isSymLink()) {
        outcome.kept.append(QStringLiteral("kept %1: %2").arg(from, QString::fromLocal8Bit(std::strerror(error))));
        return;
    }
    // Another disk: the copy is written under a temporary name and renamed into place, so the
    // final name never holds half a file; only then does the source go.
    QFile file(from);
    if (!file.copy(to)) {
        outcome.kept.append(QStringLiteral("kept %1: %2").arg(from, file.errorString()));
        return;
    }
    QFile::remove(from);
    ++outcome.moved;
}

}  // namespace harkwell
