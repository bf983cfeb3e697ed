#include "onboarding/MigrationFolders.h"

#include "onboarding/MigrationFromCorvale.h"
#include "platform/files/AtomicFile.h"
#include "platform/moves/ItemMove.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

namespace harkwell {

namespace {

const QString kDsStore = QStringLiteral(".DS_Store");

void log(const QString& message) { MigrationFromCorvale::log(message); }

bool somethingAt(const QString& path) { return QFileInfo::exists(path) || QFileInfo(path).isSymLink(); }

// Every name in a folder, hidden ones included; a folder that cannot be listed holds nothing.
QStringList childNames(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// Map of folder id → map of file name → entry; anything else counts as no folders at all.
QJsonObject seenByFolder(const QJsonObject& ledger)
{
    const QJsonValue value = ledger.value(QStringLiteral("seenByFolder"));
    if (!value.isObject())
        return {};
    const QJsonObject folders = value.toObject();
    for (auto it = folders.constBegin(); it != folders.constEnd(); ++it)
        if (!it.value().isObject())
            return {};
    return folders;
}

std::optional<QJsonObject> readObject(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    if (!document.isObject())
        return std::nullopt;
    return document.object();
}

}  // namespace

void MigrationFolders::move(const QString& source, const QString& destination)
{
    if (const auto moved = ItemMove::move(source, destination); moved)
        log(QStringLiteral("moved %1 -> %2").arg(source, destination));
    else
        log(QStringLiteral("could not move %1: %2").arg(source, moved.error().text));
}

void MigrationFolders::removeIfEmpty(const QString& folder)
{
    QStringList names = childNames(folder);
    names.removeAll(kDsStore);
    if (!names.isEmpty()) {
        log(QStringLiteral("%1 kept, still holds %2 item%3")
                .arg(folder)
                .arg(names.size())
                .arg(names.size() == 1 ? QString() : QStringLiteral("s")));
        return;
    }
    QFile::remove(folder + QLatin1Char('/') + kDsStore);
    QDir().rmdir(folder);
    log(QStringLiteral("removed %1").arg(folder));
}

void MigrationFolders::moveChildren(const QString& source, const QString& destination, const QString& what)
{
    QDir().mkpath(destination);
    for (const QString& name : childNames(source)) {
        const QString target = destination + QLatin1Char('/') + name;
        if (somethingAt(target))
            log(QStringLiteral("%1 %2 already exists; the old copy is kept").arg(what, name));
        else
            move(source + QLatin1Char('/') + name, target);
    }
    removeIfEmpty(source);
}

void MigrationFolders::moveState(const QString& oldState, const QString& newState)
{
    if (!somethingAt(newState)) {
        move(oldState, newState);
        return;
    }
    const auto older = readObject(oldState);
    const auto newer = older ? readObject(newState) : std::nullopt;
    if (!older || !newer) {
        log(QStringLiteral("state.json could not be merged; the old copy is kept"));
        return;
    }

    QJsonObject merged = seenByFolder(*older);
    const QJsonObject newFolders = seenByFolder(*newer);
    for (auto folder = newFolders.constBegin(); folder != newFolders.constEnd(); ++folder) {
        QJsonObject entries = merged.value(folder.key()).toObject();
        const QJsonObject newEntries = folder.value().toObject();
        for (auto entry = newEntries.constBegin(); entry != newEntries.constEnd(); ++entry)
            entries.insert(entry.key(), entry.value());
        merged.insert(folder.key(), entries);
    }

    QJsonObject result = *older;
    result.insert(QStringLiteral("seenByFolder"), merged);
    const QString versionKey = QStringLiteral("version");
    if (newer->contains(versionKey))
        result.insert(versionKey, newer->value(versionKey));
    else if (!older->contains(versionKey))
        result.remove(versionKey);

    if (const auto written = AtomicFile::write(newState, QJsonDocument(result).toJson(QJsonDocument::Indented)); !written) {
        log(QStringLiteral("state.json merge failed: %1").arg(written.error().text));
        return;
    }
    QFile old(oldState);
    if (!old.remove()) {
        log(QStringLiteral("state.json merge failed: %1").arg(old.errorString()));
        return;
    }
    log(QStringLiteral("state.json merged (%1 folders)").arg(merged.size()));
}

void MigrationFolders::migrateSupportFolder()
{
    const QString oldSupport = MigrationFromCorvale::oldSupport();
    const QString newSupport = MigrationFromCorvale::newSupport();
    if (!somethingAt(oldSupport))
        return;
    QDir().mkpath(newSupport);

    for (const QString& name : childNames(oldSupport)) {
        const QString child = oldSupport + QLatin1Char('/') + name;
        const QString target = newSupport + QLatin1Char('/') + name;
        if (name == QLatin1String("state.json"))
            moveState(child, target);
        else if (name == QLatin1String("Recordings"))
            moveChildren(child, target, QStringLiteral("recording"));
        else if (somethingAt(target))
            log(QStringLiteral("%1 already exists in harkwell's folder; the old copy is kept").arg(name));
        else
            move(child, target);
    }
    removeIfEmpty(oldSupport);
}

void MigrationFolders::migrateLogs()
{
    const QString oldLogs = MigrationFromCorvale::oldLogs();
    const QString newLogs = MigrationFromCorvale::newLogs();
    if (!somethingAt(oldLogs))
        return;
    QDir().mkpath(newLogs);

    for (const QString& name : childNames(oldLogs)) {
        QString target = newLogs + QStringLiteral("/from-") + name;
        for (int counter = 2; somethingAt(target); ++counter)
            target = newLogs + QStringLiteral("/from-%1-").arg(counter) + name;
        move(oldLogs + QLatin1Char('/') + name, target);
    }
    removeIfEmpty(oldLogs);
}

}  // namespace harkwell
