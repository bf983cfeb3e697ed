#pragma once
// The process's settings: the AppSettings record and the settings file it is kept in. Every
// subsystem reads keys from here (from any thread); the settings and welcome windows change them
// on the main thread and then save().

#include "foundation/AppSettings.h"
#include "platform/files/AtomicFile.h"

#include <QObject>
#include <QReadWriteLock>
#include <QSet>
#include <QString>
#include <QStringList>

#include <expected>
#include <functional>
#include <optional>

namespace harkwell {

class Settings final : public QObject {
    Q_OBJECT
public:
    // Starts from the in-code defaults, then load()s the file at `configPath`.
    explicit Settings(QString configPath, QObject* parent = nullptr);
    // A scratch file that need not survive a power cut (the fuzz target's thousands of saves a
    // second) may skip the sync; the application's file never does.
    Settings(QString configPath, AtomicFile::Durability durability);

    // The process's settings, created by the first reader with the home's settings.json.
    static Settings& shared();
    // $XDG_CONFIG_HOME/harkwell/settings.json
    static QString fileUrl();
    static const QStringList& defaultExcludeFilePatterns();

    // A copy: a reader on another thread sees the whole record before or after a change, never half.
    AppSettings settings() const;
    void setSettings(const AppSettings& settings);
    // Changes fields in place (read, change, write back as one step); callers save() when they want them kept.
    void update(const std::function<void(AppSettings&)>& change);
    QString configPath() const;

    // Replaces the record with the file's when it decodes; otherwise keeps the current values.
    void load();
    // Writes the record, pretty-printed with sorted keys, atomically. A file there that does not
    // decode is kept first as settings.json.invalid, so the user's hand edit is not lost.
    std::expected<void, FileError> save();

    // Runs the creation steps again for the current home: its settings path, the in-code
    // defaults, then load(). For tests that give each case a home of its own.
    void restart();

    // Derived values, each from one consistent copy of the record.
    QList<WatchedFolder> watchedFolders() const;
    QList<WatchedFolder> enabledWatchedFolders() const;
    bool isExcludedFile(const QString& name) const;
    // The same rule for testing many names: the patterns are read and encoded once, when this is called.
    std::function<bool(const QString&)> excludedFileTest() const;
    std::optional<QString> afterTranscriptCommand() const;
    QStringList additionalPaths() const;  // absolute, "~" expanded, in order
    QSet<QString> includeExtensions() const;  // lower-cased

signals:
    // After setSettings(), update() or a load() that replaced the record.
    void changed();

private:
    mutable QReadWriteLock m_lock;  // guards m_settings and m_configPath
    AppSettings m_settings;
    QString m_configPath;
    AtomicFile::Durability m_durability = AtomicFile::Durability::Synced;
};

}  // namespace harkwell
