#include "onboarding/VaultDetector.h"

#include "onboarding/VaultProbe.h"
#include "onboarding/VaultSearch.h"
#include "platform/files/AtomicFile.h"
#include "platform/paths/Paths.h"

#include <QCollator>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <future>

namespace harkwell {

namespace {

bool somethingAt(const QString& path) { return QFileInfo::exists(path) || QFileInfo(path).isSymLink(); }

QString lastComponent(const QString& path)
{
    QString trimmed = path;
    while (trimmed.size() > 1 && trimmed.endsWith(QLatin1Char('/')))
        trimmed.chop(1);
    if (trimmed == QLatin1String("/"))
        return trimmed;
    return trimmed.section(QLatin1Char('/'), -1);
}

QString parentOf(const QString& path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return QString();
    return slash == 0 ? QStringLiteral("/") : path.left(slash);
}

VaultCandidate candidateAt(const QString& path, const VaultProbe::Folder& folder, VaultCandidate::Source source)
{
    VaultCandidate candidate;
    candidate.id = folder.id;
    candidate.path = path;
    candidate.name = lastComponent(path);
    candidate.source = source;
    candidate.hasNookwiseMarkers = folder.hasNookwiseMarkers;
    candidate.hasOutbox = folder.hasOutbox;
    return candidate;
}

// Milliseconds since 1970 as a date; nothing for a value no date can hold.
std::optional<QDateTime> dateFromMilliseconds(double milliseconds)
{
    constexpr double kLimit = 8.64e15;  // ±100 million days, the ECMAScript range
    if (!std::isfinite(milliseconds) || std::fabs(milliseconds) > kLimit)
        return std::nullopt;
    return QDateTime::fromMSecsSinceEpoch(qint64(std::llround(milliseconds)), Qt::UTC);
}

std::expected<void, VaultError> makeFolder(const QString& path)
{
    std::error_code code;
    std::filesystem::create_directories(std::filesystem::path(QFile::encodeName(path).toStdString()), code);
    if (code || !QFileInfo(path).isDir()) {
        const QString reason = code ? QString::fromStdString(code.message()) : QStringLiteral("Not a directory");
        return std::unexpected(VaultError{VaultError::Kind::FileSystem,
                                          QStringLiteral("The folder “%1” could not be created: %2.").arg(path, reason)});
    }
    return {};
}

}  // namespace

VaultDetector::Sources VaultDetector::Sources::standard()
{
    Sources sources;
    sources.registryFiles = Paths::obsidianRegistryFiles();
    sources.searchRoots = {Paths::home(), Paths::home() + QStringLiteral("/Library/Mobile Documents/iCloud~md~obsidian/Documents")};
    sources.searchTimeLimitMs = VaultSearch::kTimeLimitMs;
    return sources;
}

QList<VaultCandidate> VaultDetector::detectAll() { return detectAll(Sources::standard()); }

QList<VaultCandidate> VaultDetector::detectAll(const Sources& sources)
{
    // The registries' folders are asked while the search runs, under the same deadline.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(sources.searchTimeLimitMs);
    std::future<QList<VaultCandidate>> registered = std::async(std::launch::async, [&sources, deadline] {
        QList<VaultCandidate> all;
        for (const QString& registry : sources.registryFiles)
            all += fromObsidianRegistry(registry, deadline, *sources.runner);
        return all;
    });
    const QList<VaultCandidate> scanned = fromFilesystemScan(sources);

    QHash<QString, VaultCandidate> byId;
    for (const VaultCandidate& candidate : registered.get())
        byId.insert(candidate.id, candidate);
    for (const VaultCandidate& candidate : scanned)
        if (!byId.contains(candidate.id))
            byId.insert(candidate.id, candidate);

    QList<VaultCandidate> ranked = byId.values();
    // The hash's order is arbitrary; start each run from the same one so ties come out alike.
    std::sort(ranked.begin(), ranked.end(), [](const VaultCandidate& a, const VaultCandidate& b) { return a.id < b.id; });
    rank(ranked);
    return ranked;
}

QList<VaultCandidate> VaultDetector::fromObsidianRegistry(const QString& registryFile)
{
    return fromObsidianRegistry(registryFile, std::chrono::steady_clock::now() + std::chrono::milliseconds(VaultSearch::kTimeLimitMs),
                                ProcessRunner::system());
}

QList<VaultCandidate> VaultDetector::fromObsidianRegistry(const QString& registryFile,
                                                          std::chrono::steady_clock::time_point deadline, ProcessRunner& runner)
{
    QFile file(registryFile);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    if (!document.isObject())
        return {};
    const QJsonValue vaultsValue = document.object().value(QStringLiteral("vaults"));
    if (!vaultsValue.isObject())
        return {};
    const QJsonObject vaults = vaultsValue.toObject();
    for (auto it = vaults.constBegin(); it != vaults.constEnd(); ++it)
        if (!it.value().isObject())
            return {};

    QStringList paths;
    QList<QJsonValue> stamps;
    for (auto it = vaults.constBegin(); it != vaults.constEnd(); ++it) {
        const QJsonObject entry = it.value().toObject();
        const QJsonValue pathValue = entry.value(QStringLiteral("path"));
        if (!pathValue.isString() || pathValue.toString().isEmpty())
            continue;
        paths.append(pathValue.toString());
        stamps.append(entry.value(QStringLiteral("ts")));
    }
    const QList<std::optional<VaultProbe::Folder>> folders = VaultProbe::probe(paths, deadline, runner);
    QList<VaultCandidate> candidates;
    for (qsizetype i = 0; i < paths.size(); ++i) {
        if (!folders[i])
            continue;
        VaultCandidate candidate = candidateAt(paths[i], *folders[i], VaultCandidate::Source::ObsidianRegistry);
        if (stamps[i].isDouble())
            candidate.lastOpened = dateFromMilliseconds(stamps[i].toDouble());
        candidates.append(candidate);
    }
    return candidates;
}

QList<VaultCandidate> VaultDetector::fromFilesystemScan(const Sources& sources)
{
    QStringList roots;
    for (const QString& root : sources.searchRoots)
        if (QFileInfo::exists(root))
            roots.append(root);

    const std::chrono::milliseconds limit(sources.searchTimeLimitMs);
    QStringList paths;
    for (const QString& hit : VaultSearch::obsidianFolders(roots, limit, *sources.runner))
        paths.append(parentOf(hit));
    // The folders answered the search a moment ago; asked again, each gets a short while of its own.
    const QList<std::optional<VaultProbe::Folder>> folders =
        VaultProbe::probe(paths, std::chrono::steady_clock::now() + kHitProbeLimit, *sources.runner);
    QList<VaultCandidate> candidates;
    for (qsizetype i = 0; i < paths.size(); ++i)
        if (folders[i])
            candidates.append(candidateAt(paths[i], *folders[i], VaultCandidate::Source::Filesystem));
    return candidates;
}

void VaultDetector::rank(QList<VaultCandidate>& candidates)
{
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(candidates.begin(), candidates.end(), [&](const VaultCandidate& a, const VaultCandidate& b) {
        if (a.lastOpened && b.lastOpened)
            return *a.lastOpened > *b.lastOpened;
        if (a.lastOpened || b.lastOpened)
            return a.lastOpened.has_value();
        if (a.source == b.source)
            return collator.compare(a.name, b.name) < 0;
        return a.source == VaultCandidate::Source::ObsidianRegistry;
    });
}

QString VaultDetector::resolveRealPath(const QString& path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? path : canonical;
}

std::expected<QString, VaultError> VaultDetector::createNewVault(const QString& parentDir, const QString& name,
                                                                  bool writeClaudeMdStub)
{
    const QString parent = Paths::expandTilde(parentDir);
    const QString vaultPath = parent + QLatin1Char('/') + name;
    if (somethingAt(vaultPath))
        return std::unexpected(VaultError{VaultError::Kind::AlreadyExists,
                                          QStringLiteral("A folder named '%1' already exists at %2").arg(name, parent)});

    if (auto made = makeFolder(vaultPath); !made)
        return std::unexpected(made.error());
    if (auto made = makeFolder(vaultPath + QStringLiteral("/_outbox")); !made)
        return std::unexpected(made.error());
    if (writeClaudeMdStub) {
        const QString stubPath = vaultPath + QStringLiteral("/CLAUDE.md");
        if (auto written = AtomicFile::write(stubPath, claudeMdStub(name).toUtf8()); !written)
            return std::unexpected(VaultError{VaultError::Kind::FileSystem, written.error().text});
    }
    return vaultPath;
}

void VaultDetector::ensureOutbox(const QString& vaultPath)
{
    const QString outbox = Paths::expandTilde(vaultPath) + QStringLiteral("/_outbox");
    if (somethingAt(outbox))
        return;
    (void)makeFolder(outbox);
}

QString VaultDetector::claudeMdStub(const QString& name)
{
    const QStringList lines{
        QStringLiteral("# ") + name,
        QString(),
        QStringLiteral("Vault set up by harkwell for use with the [nookwise](%1) toolkit.")
            .arg(QString::fromLatin1(kNookwiseRepository)),
        QString(),
        QStringLiteral("## Structure"),
        QStringLiteral("- `_outbox/` — generated PDFs and shareable exports (populated by folioize, harkwell)"),
        QStringLiteral("- `_inbox/.audio/` — raw audio captured from Voice Memos (paired with _inbox/<id>.md)"),
        QStringLiteral("- `_inbox/` — quick captures, unprocessed content (populated by /inbox skill)"),
        QStringLiteral("- `_tasks.yaml` — task tracker (populated by /tasks skill)"),
        QString(),
        QStringLiteral("Add project folders alongside these as needed."),
    };
    return lines.join(QLatin1Char('\n'));
}

}  // namespace harkwell
