#include "platform/paths/Paths.h"

#include "platform/identity/Identity.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace harkwell {

namespace {

const QString kFolderName = QStringLiteral("harkwell");
const QString kPredecessorFolderName = QStringLiteral("Corvale");

QString underHome(const QString& relative) { return Paths::home() + QLatin1Char('/') + relative; }

// The convention: a variable that is unset, empty or relative is ignored, and the fallback under
// the home is used instead.
QString baseFolder(const char* variable, const QString& fallbackUnderHome)
{
    const QString value = qEnvironmentVariable(variable);
    if (!value.isEmpty() && QDir::isAbsolutePath(value))
        return QDir::cleanPath(value);
    return underHome(fallbackUnderHome);
}

QString ours(const QString& base) { return base + QLatin1Char('/') + kFolderName; }
QString library(const QString& relative) { return underHome(QStringLiteral("Library/") + relative); }

}  // namespace

QString Paths::home()
{
    const QString fromEnvironment = qEnvironmentVariable("HOME");
    return fromEnvironment.isEmpty() ? QDir::homePath() : QDir::cleanPath(fromEnvironment);
}

QString Paths::configHome() { return baseFolder("XDG_CONFIG_HOME", QStringLiteral(".config")); }
QString Paths::dataHome() { return baseFolder("XDG_DATA_HOME", QStringLiteral(".local/share")); }
QString Paths::stateHome() { return baseFolder("XDG_STATE_HOME", QStringLiteral(".local/state")); }
QString Paths::cacheHome() { return baseFolder("XDG_CACHE_HOME", QStringLiteral(".cache")); }
QString Paths::runtimeHome()
{
    const QString value = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (value.isEmpty() || !QDir::isAbsolutePath(value) || !QFileInfo(value).isDir())
        return {};
    return QDir::cleanPath(value);
}

QString Paths::configFolder() { return ours(configHome()); }
QString Paths::settingsFile() { return configFolder() + QStringLiteral("/settings.json"); }
QString Paths::secretsFile() { return configFolder() + QStringLiteral("/secrets.json"); }

QString Paths::applicationSupport() { return ours(dataHome()); }
QString Paths::stateFile() { return applicationSupport() + QStringLiteral("/state.json"); }
QString Paths::recordingsFolder() { return applicationSupport() + QStringLiteral("/Recordings"); }
QString Paths::recordingFolder(const QString& recordingId) { return recordingsFolder() + QLatin1Char('/') + recordingId; }

QString Paths::instanceLockFile()
{
    const QString runtime = runtimeHome();
    return (runtime.isEmpty() ? applicationSupport() : ours(runtime)) + QStringLiteral("/harkwell.lock");
}

QString Paths::logsFolder() { return ours(stateHome()); }
QString Paths::logFile() { return logsFolder() + QStringLiteral("/harkwell.log"); }
QString Paths::rotatedLogFile() { return logsFolder() + QStringLiteral("/harkwell.1.log"); }

QString Paths::cachesFolder() { return ours(cacheHome()); }
QString Paths::scanCacheFile() { return cachesFolder() + QStringLiteral("/scan-cache.json"); }

QString Paths::preferencesFolder() { return configFolder(); }
QString Paths::defaultsFile(const QString& domain) { return preferencesFolder() + QLatin1Char('/') + domain + QStringLiteral(".json"); }

QString Paths::predecessorSupport() { return dataHome() + QLatin1Char('/') + kPredecessorFolderName; }
QString Paths::predecessorLogs() { return stateHome() + QLatin1Char('/') + kPredecessorFolderName; }

QString Paths::voiceMemosFolder()
{
    return underHome(QStringLiteral("Library/Group Containers/group.com.apple.VoiceMemos.shared/Recordings"));
}
QString Paths::voiceMemosLegacyFolder()
{
    return underHome(QStringLiteral("Library/Application Support/com.apple.voicememos/Recordings"));
}
QString Paths::legacyWatcherStateFile() { return underHome(QStringLiteral(".voice_memo_watcher_state.json")); }

QStringList Paths::obsidianRegistryFiles()
{
    return {underHome(QStringLiteral("Library/Application Support/obsidian/obsidian.json")),
            configHome() + QStringLiteral("/obsidian/obsidian.json"),
            underHome(QStringLiteral(".var/app/md.obsidian.Obsidian/config/obsidian/obsidian.json"))};
}

QString Paths::autostartFolder() { return configHome() + QStringLiteral("/autostart"); }
QString Paths::autostartFile()
{
    return autostartFolder() + QLatin1Char('/') + QLatin1String(identity::kBundleIdentifier) + QStringLiteral(".desktop");
}

QString Paths::trashFolder() { return dataHome() + QStringLiteral("/Trash"); }

QString Paths::temporaryFolder()
{
    const QString runtime = runtimeHome();
    QString folder = !runtime.isEmpty() ? ours(runtime) : cachesFolder() + QStringLiteral("/tmp");
    QDir().mkpath(folder);
    ::chmod(QFile::encodeName(folder).constData(), 0700);
    return folder;
}

QList<Paths::Relocation> Paths::libraryLayout()
{
    const QString support = library(QStringLiteral("Application Support/harkwell"));
    const QString preferences = library(QStringLiteral("Preferences/"));
    const QString json = QStringLiteral(".json");
    const QString domain = QLatin1String(identity::kBundleIdentifier);
    const QString predecessorDomain = QLatin1String(identity::kPredecessorBundleIdentifier);
    return {
        {support + QStringLiteral("/settings.json"), settingsFile()},
        {support + QStringLiteral("/secrets.json"), secretsFile()},
        {support, applicationSupport()},
        {library(QStringLiteral("Logs/harkwell")), logsFolder()},
        {library(QStringLiteral("Caches/harkwell")), cachesFolder()},
        {preferences + domain + json, defaultsFile(domain)},
        {preferences + predecessorDomain + json, defaultsFile(predecessorDomain)},
        {library(QStringLiteral("Application Support/") + kPredecessorFolderName), predecessorSupport()},
        {library(QStringLiteral("Logs/") + kPredecessorFolderName), predecessorLogs()},
    };
}

QString Paths::expandTilde(const QString& path)
{
    if (path == QLatin1String("~"))
        return home();
    if (path.startsWith(QLatin1String("~/")))
        return home() + path.mid(1);
    return path;
}

}  // namespace harkwell
