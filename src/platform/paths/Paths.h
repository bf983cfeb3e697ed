#pragma once
// Every place Harkwell keeps or reads files, built from $HOME. Nothing else reads $HOME, so a test
// that points HOME at a temporary folder moves all of them at once.

#include <QString>
#include <QStringList>

namespace harkwell {

class Paths {
public:
    static QString home();

    // ~/Library/Application Support/harkwell and what lives there.
    static QString applicationSupport();
    static QString settingsFile();
    static QString stateFile();
    static QString recordingsFolder();
    static QString recordingFolder(const QString& recordingId);
    static QString secretsFile();
    static QString instanceLockFile();

    // ~/Library/Logs/harkwell
    static QString logsFolder();
    static QString logFile();
    static QString rotatedLogFile();

    // ~/Library/Caches/harkwell
    static QString cachesFolder();
    static QString scanCacheFile();

    // User defaults: one JSON file per domain.
    static QString preferencesFolder();
    static QString defaultsFile(const QString& domain);

    // Voice Memos recordings folders (the group container first, then the older location).
    static QString voiceMemosFolder();
    static QString voiceMemosLegacyFolder();
    static QString legacyWatcherStateFile();

    // Obsidian's vault registry, in the order to try.
    static QStringList obsidianRegistryFiles();

    static QString autostartFolder();
    static QString autostartFile();

    // A private 0700 folder for temporary files, created on first use.
    static QString temporaryFolder();

    // "~/..." → absolute path in the current home; anything else unchanged.
    static QString expandTilde(const QString& path);
};

}  // namespace harkwell
