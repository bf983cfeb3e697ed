#include "capture/CaptureStateStore.h"

#include "capture/CaptureStateMigration.h"
#include "foundation/DateForms.h"
#include "foundation/HarkwellLog.h"
#include "platform/files/AtomicFile.h"
#include "platform/paths/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <climits>
#include <cmath>
#include <cstdio>

namespace harkwell {

namespace {

QJsonObject encodeMap(const CaptureStateStore::FolderMap& map)
{
    QJsonObject object;
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        QJsonObject entry{{QStringLiteral("canonicalId"), it.value().canonicalId},
                          {QStringLiteral("firstSeen"), DateForms::internetDateTime(it.value().firstSeen)}};
        if (it.value().size)
            entry.insert(QStringLiteral("size"), double(*it.value().size));
        object.insert(it.key(), entry);
    }
    return object;
}

std::expected<CaptureStateStore::SeenEntry, DecodeError> decodeEntry(const QJsonValue& value, const QString& place)
{
    if (!value.isObject())
        return std::unexpected(DecodeError{place + QStringLiteral(": expected an object")});
    const QJsonObject entry = value.toObject();
    const QJsonValue id = entry.value(QStringLiteral("canonicalId"));
    if (!id.isString())
        return std::unexpected(DecodeError{place + QStringLiteral(".canonicalId: expected a string")});
    const QJsonValue seen = entry.value(QStringLiteral("firstSeen"));
    const std::optional<QDateTime> firstSeen =
        seen.isString() ? DateForms::parseInternetDateTime(seen.toString()) : std::nullopt;
    if (!firstSeen)
        return std::unexpected(DecodeError{place + QStringLiteral(".firstSeen: expected an ISO 8601 date")});
    // Optional and only a hint for noticing a file that grew: a value that is no size is left out.
    std::optional<qint64> size;
    if (const QJsonValue taken = entry.value(QStringLiteral("size")); taken.isDouble()) {
        const double bytes = taken.toDouble();
        if (bytes >= 0 && bytes <= 9.0e15 && bytes == std::trunc(bytes))
            size = qint64(bytes);
    }
    return CaptureStateStore::SeenEntry{*firstSeen, id.toString(), size};
}

// With `skipped`, an entry that does not decode is left out and counted instead of failing the map.
std::expected<CaptureStateStore::FolderMap, DecodeError> decodeMap(const QJsonValue& value, const QString& place,
                                                                   int* skipped = nullptr)
{
    if (!value.isObject())
        return std::unexpected(DecodeError{place + QStringLiteral(": expected an object")});
    CaptureStateStore::FolderMap map;
    const QJsonObject object = value.toObject();
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        auto entry = decodeEntry(it.value(), place + QLatin1Char('.') + it.key());
        if (entry)
            map.insert(it.key(), *entry);
        else if (skipped)
            ++*skipped;
        else
            return std::unexpected(entry.error());
    }
    return map;
}

// Absent and null both count as not given.
bool given(const QJsonValue& value) { return !value.isUndefined() && !value.isNull(); }

}  // namespace

int CaptureStateStore::State::entryCount() const
{
    int count = 0;
    for (const FolderMap& map : seenByFolder)
        count += int(map.size());
    return count;
}

QByteArray CaptureStateStore::State::encode() const
{
    QJsonObject folders;
    for (auto it = seenByFolder.cbegin(); it != seenByFolder.cend(); ++it)
        folders.insert(it.key(), encodeMap(it.value()));
    const QJsonObject root{{QStringLiteral("seenByFolder"), folders},
                           {QStringLiteral("version"), version},
                           {QStringLiteral("voiceMemosSeen"), encodeMap(voiceMemosSeen)}};
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

std::expected<CaptureStateStore::State, DecodeError> CaptureStateStore::State::decode(const QByteArray& json)
{
    auto decoded = decode(json, false);
    if (!decoded)
        return std::unexpected(decoded.error());
    return decoded->state;
}

std::expected<CaptureStateStore::State::Salvaged, DecodeError> CaptureStateStore::State::decodeSkippingInvalid(
    const QByteArray& json)
{
    return decode(json, true);
}

std::expected<CaptureStateStore::State::Salvaged, DecodeError> CaptureStateStore::State::decode(const QByteArray& json,
                                                                                                  bool skipInvalid)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (!document.isObject())
        return std::unexpected(DecodeError{QStringLiteral("state.json is not a JSON object: ") + parseError.errorString()});
    const QJsonObject root = document.object();

    Salvaged result;
    int* skipped = skipInvalid ? &result.skipped : nullptr;
    State& state = result.state;
    state.version = 1;  // the first layout had no version key
    const QJsonValue version = root.value(QStringLiteral("version"));
    if (given(version)) {
        const double number = version.toDouble();
        // The range first: a number beyond what an integer holds has no conversion to test.
        if (!version.isDouble() || !(number >= INT_MIN && number <= INT_MAX) || number != std::trunc(number))
            return std::unexpected(DecodeError{QStringLiteral("version: expected an integer")});
        state.version = int(number);
    }

    // A folder whose value is no map counts as one invalid entry when skipping.
    const auto readMap = [&](const QJsonValue& value, const QString& place) -> std::expected<std::optional<FolderMap>, DecodeError> {
        auto map = decodeMap(value, place, skipped);
        if (map)
            return std::optional<FolderMap>(*map);
        if (!skipped)
            return std::unexpected(map.error());
        ++*skipped;
        return std::optional<FolderMap>();
    };

    const QJsonValue folders = root.value(QStringLiteral("seenByFolder"));
    if (given(folders)) {
        if (!folders.isObject()) {
            if (!skipped)
                return std::unexpected(DecodeError{QStringLiteral("seenByFolder: expected an object")});
            ++*skipped;
        }
        const QJsonObject object = folders.toObject();
        for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
            auto map = readMap(it.value(), QStringLiteral("seenByFolder.") + it.key());
            if (!map)
                return std::unexpected(map.error());
            if (*map)
                state.seenByFolder.insert(it.key(), **map);
        }
    }

    const QJsonValue voiceMemos = root.value(QStringLiteral("voiceMemosSeen"));
    if (given(voiceMemos)) {
        auto map = readMap(voiceMemos, QStringLiteral("voiceMemosSeen"));
        if (!map)
            return std::unexpected(map.error());
        if (*map)
            state.voiceMemosSeen = **map;
    }
    return result;
}

CaptureStateStore::CaptureStateStore(QString storePath, QString legacyPath, Clock& clock)
    : m_storePath(std::move(storePath)), m_legacyPath(std::move(legacyPath)), m_clock(clock)
{
    // A folder that cannot be made shows up as a failed write, which is logged.
    QDir().mkpath(QFileInfo(m_storePath).absolutePath());
    // A write cut short by a kill leaves its temporary behind; nothing else writes the ledger yet.
    if (const int removed = AtomicFile::removeLeftovers(m_storePath); removed > 0)
        HarkwellLog::log(QStringLiteral("[harkwell] capture: removed %1 unfinished state.json write(s) left by an earlier run")
                             .arg(removed));
    load();
}

CaptureStateStore& CaptureStateStore::shared()
{
    static CaptureStateStore store(Paths::stateFile(), Paths::legacyWatcherStateFile());
    return store;
}

void CaptureStateStore::load()
{
    // Runs inside the constructor, before anyone else can reach the instance.
    QFile file(m_storePath);
    if (QFileInfo(m_storePath).isFile()) {
        std::expected<State, DecodeError> decoded = std::unexpected(DecodeError{QStringLiteral("it cannot be opened")});
        if (file.open(QIODevice::ReadOnly))
            decoded = State::decode(file.readAll());
        file.close();
        if (decoded) {
            m_state = CaptureStateMigration::migrate(*decoded);
            if (m_state.version != decoded->version) {
                HarkwellLog::log(QStringLiteral("[harkwell] capture: migrated state v%1 -> v%2 (%3 entries)")
                                     .arg(decoded->version)
                                     .arg(m_state.version)
                                     .arg(m_state.entryCount()));
                persistLocked();
            }
            return;
        }
        keepAside(decoded.error().text);
    }

    QFile legacy(m_legacyPath);
    if (!legacy.exists() || !legacy.open(QIODevice::ReadOnly))
        return;
    const QJsonDocument document = QJsonDocument::fromJson(legacy.readAll());
    const QJsonValue processed = document.object().value(QStringLiteral("processed"));
    if (!document.isObject() || !processed.isArray())
        return;
    QStringList names;
    for (const QJsonValue& name : processed.toArray()) {
        if (!name.isString())
            return;
        names.append(name.toString());
    }
    HarkwellLog::log(QStringLiteral("[harkwell] capture: migrating %1 entries from voice-memo-watcher state").arg(names.size()));
    m_state = CaptureStateMigration::fromLegacyPythonState(names, m_clock.now());
    persistLocked();
}

void CaptureStateStore::keepAside(const QString& why)
{
    // Replacing it would lose the names it holds for good, so it stays for a person to look at. Its
    // last write still says something: every file that was there by then had been indexed or taken.
    m_startedFromDamagedFile = true;
    m_damagedFileWritten = QFileInfo(m_storePath).lastModified();
    const std::optional<QString> kept = AtomicFile::keepAside(m_storePath);
    HarkwellLog::log(QStringLiteral("[harkwell] capture: state.json could not be read (") + why + QLatin1Char(')')
                     + (kept ? QStringLiteral("; kept it as ") + QFileInfo(*kept).fileName() : QString())
                     + QStringLiteral("; files in the watched folders changed after its last write are taken as new"));
}

void CaptureStateStore::persistLocked()
{
    if (auto written = AtomicFile::write(m_storePath, m_state.encode()); !written)
        HarkwellLog::log(QStringLiteral("[harkwell] capture: state persist failed: %1").arg(written.error().text));
}

bool CaptureStateStore::hasSeen(const QString& name, const QString& folderId) const
{
    QMutexLocker locker(&m_lock);
    const auto folder = m_state.seenByFolder.constFind(folderId);
    if (folder != m_state.seenByFolder.cend() && folder->contains(name))
        return true;
    const auto held = m_held.constFind(folderId);
    return held != m_held.cend() && held->contains(name);
}

void CaptureStateStore::markSeen(const QString& name, const QString& canonicalId, const QString& folderId,
                                 const QDateTime& date)
{
    markSeen(QMap<QString, QString>{{name, canonicalId}}, folderId, date);
}

void CaptureStateStore::markSeen(const QMap<QString, QString>& names, const QString& folderId, const QDateTime& date)
{
    QMutexLocker locker(&m_lock);
    FolderMap& folder = m_state.seenByFolder[folderId];
    QHash<QString, std::optional<qint64>>& held = m_held[folderId];
    for (auto it = names.cbegin(); it != names.cend(); ++it)
        folder.insert(it.key(), {date, it.value(), held.take(it.key())});
    persistLocked();
}

void CaptureStateStore::markIndexed(const QString& folderId, const QDateTime& date)
{
    markSeen(QMap<QString, QString>{{QString::fromLatin1(kIndexMarker), QString()}}, folderId, date);
}

void CaptureStateStore::hold(const QString& name, const QString& folderId, std::optional<qint64> size)
{
    QMutexLocker locker(&m_lock);
    m_held[folderId].insert(name, size);
}

bool CaptureStateStore::isHeld(const QString& name, const QString& folderId) const
{
    QMutexLocker locker(&m_lock);
    const auto held = m_held.constFind(folderId);
    return held != m_held.cend() && held->contains(name);
}

std::optional<CaptureStateStore::SeenEntry> CaptureStateStore::entry(const QString& name, const QString& folderId) const
{
    QMutexLocker locker(&m_lock);
    const auto folder = m_state.seenByFolder.constFind(folderId);
    if (folder == m_state.seenByFolder.cend())
        return std::nullopt;
    const auto found = folder->constFind(name);
    if (found == folder->cend())
        return std::nullopt;
    return *found;
}

void CaptureStateStore::release(const QString& name, const QString& folderId)
{
    QMutexLocker locker(&m_lock);
    m_held[folderId].remove(name);
}

int CaptureStateStore::forget(const QStringList& names, const QString& folderId)
{
    QMutexLocker locker(&m_lock);
    FolderMap& folder = m_state.seenByFolder[folderId];
    int removed = 0;
    for (const QString& name : QSet<QString>(names.cbegin(), names.cend()))
        removed += int(folder.remove(name));
    folder.insert(QString::fromLatin1(kIndexMarker), {m_clock.now(), QString()});
    persistLocked();
    return removed;
}

int CaptureStateStore::seenCount(const QString& folderId) const
{
    QMutexLocker locker(&m_lock);
    return int(m_state.seenByFolder.value(folderId).size());
}

CaptureStateStore::State CaptureStateStore::snapshot() const
{
    QMutexLocker locker(&m_lock);
    return m_state;
}

}  // namespace harkwell
