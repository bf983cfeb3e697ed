#pragma once
// Whether a watched folder can be captured from: switched off, absent, closed to us, readable but
// without audio, or readable with audio files. Each outcome has a status line and an explanation.

#include "platform/filesystem/FileSystem.h"

#include <QSet>
#include <QString>

namespace harkwell {

class CaptureAccess {
public:
    class State {
    public:
        // Denied: the listing was refused for want of permission; Unreadable: it failed for another
        // reason (a disk error, a network folder gone away), which the state names.
        enum class Kind { Ok, Empty, Denied, Missing, NotConfigured, Unreadable };

        static State ok(int fileCount) { return State(Kind::Ok, fileCount); }
        static State empty() { return State(Kind::Empty); }
        static State denied() { return State(Kind::Denied); }
        static State missing() { return State(Kind::Missing); }
        static State notConfigured() { return State(Kind::NotConfigured); }
        static State unreadable(QString reason) { return State(Kind::Unreadable, 0, std::move(reason)); }

        Kind kind() const { return m_kind; }
        bool isOk() const { return m_kind == Kind::Ok; }
        int fileCount() const { return m_fileCount; }  // 0 unless ok
        // Whether the folder needs the user's attention.
        bool isProblem() const;

        QString summary(const QString& folderName) const;
        QString explanation() const;

        bool operator==(const State&) const = default;

    private:
        explicit State(Kind kind, int fileCount = 0, QString reason = {})
            : m_kind(kind), m_fileCount(fileCount), m_reason(std::move(reason))
        {
        }
        Kind m_kind;
        int m_fileCount;
        QString m_reason;  // the system's description, for unreadable
    };

    static State check(const QString& folderPath, const QSet<QString>& extensions, bool enabled,
                       FileSystem& files = FileSystem::local());

    // Linux has no Full Disk Access pane; the request is logged with the link macOS would open.
    static void openFullDiskAccessSettings();

    // The Voice Memos recordings folder and the default audio extensions, as the watched-folder record keeps them.
    static QString voiceMemosUrl();
    static const QSet<QString>& audioExtensions();
};

}  // namespace harkwell
