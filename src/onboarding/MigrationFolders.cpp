#include "onboarding/MigrationFolders.h"

#include "capture/CaptureStateMigration.h"
#include "capture/CaptureStateStore.h"
#include "onboarding/MigrationFromCorvale.h"
#include "platform/files/AtomicFile.h"
#include "platform/moves/ItemMove.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <expected>
#include <filesystem>

namespace harkwell {

namespace {

const QString kDsStore = QStringLiteral(".DS_Store");

void log(const QString& message) { MigrationFromCorvale::log(message); }

bool somethingAt(const QString& path) { return QFileInfo::exists(path) || QFileInfo(path).isSymLink(); }

// Every name in a folder, hidden ones included, or why the folder cannot be listed.
std::expected<QStringList, QString> listing(const QString& folder)
{
    std::error_code code;
    std::filesystem::directory_iterator entries(std::filesystem::path(QFile::encodeName(folder).toStdString()), code);
    if (code)
        return std::unexpected(QString::fromStdString(code.message()));
    QStringList names;
    for (const std::filesystem::directory_entry& entry : entries)
        names.append(QFile::decodeName(QByteArray::fromStdString(entry.path().filename().string())));
    names.sort();
    return names;
}

// A folder that cannot be listed holds nothing to move.
QStringList childNames(const QString& folder) { return listing(folder).value_or(QStringList()); }

// A ledger as the store reads it, each in the current layout, so that a first-layout Voice Memos
// map merges like any folder.
struct Ledger {
    QJsonObject object;
    CaptureStateStore::State state;
    int skipped = 0;
};

std::expected<Ledger, QString> readLedger(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::unexpected(file.errorString());
    const QByteArray bytes = file.readAll();
    auto decoded = CaptureStateStore::State::decodeSkippingInvalid(bytes);
    if (!decoded)
        return std::unexpected(decoded.error().text);
    return Ledger{QJsonDocument::fromJson(bytes).object(), CaptureStateMigration::migrate(decoded->state),
                  decoded->skipped};
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
    const auto listed = listing(folder);
    if (!listed) {
        log(QStringLiteral("%1 kept, it cannot be listed: %2").arg(folder, listed.error()));
        return;
    }
    QStringList names = *listed;
    names.removeAll(kDsStore);
    if (!names.isEmpty()) {
        log(QStringLiteral("%1 kept, still holds %2 item%3")
                .arg(folder)
                .arg(names.size())
                .arg(names.size() == 1 ? QString() : QStringLiteral("s")));
        return;
    }
    QFile::remove(folder + QLatin1Char('/') + kDsStore);
    std::error_code code;
    std::filesystem::remove(std::filesystem::path(QFile::encodeName(folder).toStdString()), code);
    if (code && somethingAt(folder)) {
        log(QStringLiteral("%1 kept, it cannot be removed: %2").arg(folder, QString::fromStdString(code.message())));
        return;
    }
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
    // Both ledgers are read as the store reads them: an entry it could not read is left out
    // (and counted) rather than costing the whole file, or the whole merge.
    const auto older = readLedger(oldState);
    const auto newer = older ? readLedger(newState) : std::expected<Ledger, QString>();
    if (!older || !newer) {
        log(QStringLiteral("state.json could not be merged; the old copy is kept (%1)")
                .arg(older ? newer.error() : older.error()));
        return;
    }

    // Folder by folder; for a file both apps have seen, harkwell's own entry wins.
    CaptureStateStore::State merged;
    merged.version = newer->state.version;
    merged.seenByFolder = older->state.seenByFolder;
    for (auto folder = newer->state.seenByFolder.cbegin(); folder != newer->state.seenByFolder.cend(); ++folder) {
        CaptureStateStore::FolderMap& entries = merged.seenByFolder[folder.key()];
        for (auto entry = folder.value().cbegin(); entry != folder.value().cend(); ++entry)
            entries.insert(entry.key(), entry.value());
    }

    // Other top-level keys are the old file's, as they were.
    QJsonObject result = older->object;
    const QJsonObject ledger = QJsonDocument::fromJson(merged.encode()).object();
    for (auto it = ledger.constBegin(); it != ledger.constEnd(); ++it)
        result.insert(it.key(), it.value());
    const QByteArray bytes = QJsonDocument(result).toJson(QJsonDocument::Indented);
    // The store must be able to read what replaces its file, or it would start empty and then
    // write over both apps' records.
    const auto check = CaptureStateStore::State::decode(bytes);
    if (!check || check->entryCount() != merged.entryCount()) {
        log(QStringLiteral("state.json could not be merged; the old copy is kept (%1)")
                .arg(check ? QStringLiteral("the merged ledger lost entries") : check.error().text));
        return;
    }

    const int skipped = older->skipped + newer->skipped;
    if (skipped > 0)
        log(QStringLiteral("state.json: %1 unreadable seen entr%2 left out")
                .arg(skipped)
                .arg(skipped == 1 ? QStringLiteral("y") : QStringLiteral("ies")));
    if (const auto written = AtomicFile::write(newState, bytes); !written) {
        log(QStringLiteral("state.json merge failed: %1").arg(written.error().text));
        return;
    }
    QFile old(oldState);
    if (!old.remove()) {
        log(QStringLiteral("state.json merge failed: %1").arg(old.errorString()));
        return;
    }
    log(QStringLiteral("state.json merged (%1 folders)").arg(merged.seenByFolder.size()));
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
