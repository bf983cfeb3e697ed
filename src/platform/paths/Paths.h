#pragma once
// Every place Harkwell keeps or reads files, built from $HOME and the XDG base-directory variables.
// Nothing else reads them, so a test that points HOME and XDG_* at a temporary folder moves all of
// them at once.

#include <QList>
#include <QString>
#include <QStringList>

namespace harkwell {

class Paths {
public:
    static QString home();

    // The XDG base folders themselves ($XDG_CONFIG_HOME or ~/.config, and so on). A variable that
    // is empty or not an absolute path counts as unset, as the convention asks.
    static QString configHome();
    static QString dataHome();
    static QString stateHome();
    static QString cacheHome();
    // Empty when $XDG_RUNTIME_DIR is unset or gone.
    static QString runtimeHome();

    // $XDG_CONFIG_HOME/harkwell: settings, user defaults and the token file.
    static QString configFolder();
    static QString settingsFile();
    static QString secretsFile();

    // $XDG_DATA_HOME/harkwell: the seen ledger and recordings.
    static QString applicationSupport();
    static QString stateFile();
    static QString recordingsFolder();
    static QString recordingFolder(const QString& recordingId);

    // $XDG_RUNTIME_DIR/harkwell, else the data folder.
    static QString instanceLockFile();

    // $XDG_STATE_HOME/harkwell
    static QString logsFolder();
    static QString logFile();
    static QString rotatedLogFile();

    // $XDG_CACHE_HOME/harkwell
    static QString cachesFolder();
    static QString scanCacheFile();

    // User defaults: one JSON file per domain, in the config folder.
    static QString preferencesFolder();
    static QString defaultsFile(const QString& domain);

    // The predecessor's folders, mapped as ours are under its own name.
    static QString predecessorSupport();
    static QString predecessorLogs();

    // Voice Memos recordings folders (the group container first, then the older location).
    static QString voiceMemosFolder();
    static QString voiceMemosLegacyFolder();
    static QString legacyWatcherStateFile();

    // Obsidian's vault registry, in the order to try.
    static QStringList obsidianRegistryFiles();

    // $XDG_CONFIG_HOME/autostart
    static QString autostartFolder();
    static QString autostartFile();

    // The home trash of the desktop ($XDG_DATA_HOME/Trash).
    static QString trashFolder();

    // A private 0700 folder for temporary files, created on first use.
    static QString temporaryFolder();

    // Where an earlier build kept its files under ~/Library, each with where it belongs now: whole
    // folders, and single files that go elsewhere than their folder (listed before it).
    struct Relocation {
        QString from;
        QString to;
    };
    static QList<Relocation> libraryLayout();

    // "~/..." → absolute path in the current home; anything else unchanged.
    static QString expandTilde(const QString& path);
};

}  // namespace harkwell
