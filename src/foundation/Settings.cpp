#include "foundation/Settings.h"

#include "foundation/HarkwellLog.h"
#include "platform/paths/Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <fnmatch.h>
#include <vector>

namespace harkwell {

Settings::Settings(QString configPath, QObject* parent) : QObject(parent), m_configPath(std::move(configPath))
{
    load();
}

Settings::Settings(QString configPath, AtomicFile::Durability durability)
    : QObject(nullptr), m_configPath(std::move(configPath)), m_durability(durability)
{
    load();
}

Settings& Settings::shared()
{
    static Settings* const instance = [] {
        auto* settings = new Settings(fileUrl());
        // Whoever reads first, the object belongs to the main thread, where its changes are made.
        if (QCoreApplication* app = QCoreApplication::instance(); app && settings->thread() != app->thread())
            settings->moveToThread(app->thread());
        return settings;
    }();
    return *instance;
}

QString Settings::fileUrl() { return Paths::settingsFile(); }

const QStringList& Settings::defaultExcludeFilePatterns()
{
    static const QStringList patterns{QStringLiteral("CHANGELOG.md"), QStringLiteral("_manifest*"),
                                      QStringLiteral("CLAUDE.md"),    QStringLiteral("README.md"),
                                      QStringLiteral("_tasks-history.md"), QStringLiteral("_inbox.yaml")};
    return patterns;
}

AppSettings Settings::settings() const
{
    QReadLocker locker(&m_lock);
    return m_settings;
}

void Settings::setSettings(const AppSettings& settings)
{
    {
        QWriteLocker locker(&m_lock);
        m_settings = settings;
    }
    emit changed();
}

void Settings::update(const std::function<void(AppSettings&)>& change)
{
    {
        QWriteLocker locker(&m_lock);
        change(m_settings);
    }
    emit changed();
}

QString Settings::configPath() const
{
    QReadLocker locker(&m_lock);
    return m_configPath;
}

void Settings::load()
{
    QFile file(configPath());
    if (!file.open(QIODevice::ReadOnly))
        return;
    auto decoded = AppSettings::decode(file.readAll());
    if (!decoded) {
        // The values in use stay; the log tells a hand edit why it did not take.
        HarkwellLog::log(QStringLiteral("[harkwell] settings: %1 could not be read, keeping the current settings: %2")
                             .arg(QFileInfo(configPath()).fileName(), decoded.error().text));
        return;
    }
    setSettings(*decoded);
}

std::expected<void, FileError> Settings::save()
{
    const QByteArray bytes = settings().encode();
    const QString path = configPath();
    QDir().mkpath(QFileInfo(path).absolutePath());

    QFile existing(path);
    if (existing.open(QIODevice::ReadOnly)) {
        const bool decodes = AppSettings::decode(existing.readAll()).has_value();
        existing.close();
        if (!decodes) {
            if (const std::optional<QString> kept = AtomicFile::keepAside(path))
                HarkwellLog::log(QStringLiteral("[harkwell] settings: %1 could not be read; kept it as %2")
                                     .arg(QFileInfo(path).fileName(), QFileInfo(*kept).fileName()));
        }
    }
    return AtomicFile::write(path, bytes, m_durability);
}

void Settings::restart()
{
    {
        QWriteLocker locker(&m_lock);
        m_configPath = fileUrl();
        m_settings = AppSettings();
    }
    load();
    emit changed();
}

QList<WatchedFolder> Settings::watchedFolders() const
{
    const AppSettings current = settings();
    if (current.watchedFoldersRaw && !current.watchedFoldersRaw->isEmpty())
        return *current.watchedFoldersRaw;
    return {WatchedFolder::defaultVoiceMemos(current.captureVoiceMemosEnabled.value_or(false))};
}

QList<WatchedFolder> Settings::enabledWatchedFolders() const
{
    QList<WatchedFolder> enabled;
    for (const WatchedFolder& folder : watchedFolders())
        if (folder.enabled)
            enabled.append(folder);
    return enabled;
}

bool Settings::isExcludedFile(const QString& name) const { return excludedFileTest()(name); }

std::function<bool(const QString&)> Settings::excludedFileTest() const
{
    std::vector<QByteArray> encoded;
    for (const QString& pattern : settings().excludeFilePatterns.value_or(defaultExcludeFilePatterns()))
        encoded.push_back(pattern.toUtf8());
    return [encoded = std::move(encoded)](const QString& name) {
        const QByteArray bytes = name.toUtf8();
        for (const QByteArray& pattern : encoded)
            if (::fnmatch(pattern.constData(), bytes.constData(), FNM_CASEFOLD) == 0)
                return true;
        return false;
    };
}

std::optional<QString> Settings::afterTranscriptCommand() const
{
    const auto command = settings().afterTranscriptCommand;
    if (!command)
        return std::nullopt;
    const QString trimmed = command->trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    return trimmed;
}

QStringList Settings::additionalPaths() const
{
    QStringList paths;
    for (const QString& path : settings().additionalPaths)
        paths.append(Paths::expandTilde(path));
    return paths;
}

QSet<QString> Settings::includeExtensions() const
{
    QSet<QString> extensions;
    for (const QString& extension : settings().includeExtensions)
        extensions.insert(extension.toLower());
    return extensions;
}

}  // namespace harkwell
