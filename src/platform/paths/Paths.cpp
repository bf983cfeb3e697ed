#include "platform/paths/Paths.h"

#include "platform/identity/Identity.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>

namespace harkwell {

namespace {
QString underHome(const QString& relative) { return Paths::home() + QLatin1Char('/') + relative; }
}  // namespace

QString Paths::home()
{
    const QString fromEnvironment = qEnvironmentVariable("HOME");
    return fromEnvironment.isEmpty() ? QDir::homePath() : QDir::cleanPath(fromEnvironment);
}

QString Paths::applicationSupport() { return underHome(QStringLiteral("Library/Application Support/harkwell")); }
QString Paths::settingsFile() { return applicationSupport() + QStringLiteral("/settings.json"); }
QString Paths::stateFile() { return applicationSupport() + QStringLiteral("/state.json"); }
QString Paths::recordingsFolder() { return applicationSupport() + QStringLiteral("/Recordings"); }
QString Paths::recordingFolder(const QString& recordingId) { return recordingsFolder() + QLatin1Char('/') + recordingId; }
QString Paths::secretsFile() { return applicationSupport() + QStringLiteral("/secrets.json"); }
QString Paths::instanceLockFile() { return applicationSupport() + QStringLiteral("/harkwell.lock"); }

QString Paths::logsFolder() { return underHome(QStringLiteral("Library/Logs/harkwell")); }
QString Paths::logFile() { return logsFolder() + QStringLiteral("/harkwell.log"); }
QString Paths::rotatedLogFile() { return logsFolder() + QStringLiteral("/harkwell.1.log"); }

QString Paths::cachesFolder() { return underHome(QStringLiteral("Library/Caches/harkwell")); }
QString Paths::scanCacheFile() { return cachesFolder() + QStringLiteral("/scan-cache.json"); }

QString Paths::preferencesFolder() { return underHome(QStringLiteral("Library/Preferences")); }
QString Paths::defaultsFile(const QString& domain) { return preferencesFolder() + QLatin1Char('/') + domain + QStringLiteral(".json"); }

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
            underHome(QStringLiteral(".config/obsidian/obsidian.json")),
            underHome(QStringLiteral(".var/app/md.obsidian.Obsidian/config/obsidian/obsidian.json"))};
}

QString Paths::autostartFolder() { return underHome(QStringLiteral(".config/autostart")); }
QString Paths::autostartFile()
{
    return autostartFolder() + QLatin1Char('/') + QLatin1String(identity::kBundleIdentifier) + QStringLiteral(".desktop");
}

QString Paths::temporaryFolder()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    QString folder = (!runtime.isEmpty() && QDir(runtime).exists()) ? runtime + QStringLiteral("/harkwell")
                                                                    : cachesFolder() + QStringLiteral("/tmp");
    QDir().mkpath(folder);
    ::chmod(QFile::encodeName(folder).constData(), 0700);
    return folder;
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
