#pragma once
// What the recorder asks the audio system before and during a recording: which microphones exist,
// which apps play or could play audio and under which process objects, and which process object
// is this application itself. Nothing is cached: every call reads the hardware layer and the
// running applications afresh. Main thread only.

#include "foundation/RecordingTypes.h"
#include "platform/audiohal/RecorderHAL.h"

#include <QHash>
#include <QList>
#include <QString>

#include <optional>

namespace harkwell {

class AudioProcessCatalog {
public:
    // `ownBundleId` none: this application has no bundle identifier (its helpers are then listed).
    explicit AudioProcessCatalog(RecorderHAL& hal, std::optional<QString> ownBundleId = defaultOwnBundleId(),
                                 qint64 ownPid = currentPid());

    // Real input devices (never the recorder's own), sorted by name.
    QList<AudioInputDevice> inputDevices();
    // Playing apps first, then silent ones, each by name.
    QList<AudioApp> audioApps();
    // Ascending; empty when the app has no process objects.
    QList<AudioObjectId> processObjectIds(const QString& bundleId);
    std::optional<AudioObjectId> ownProcessObjectId();

    // The outermost ".app" folder on the path, from the root; none when there is none.
    static std::optional<QString> outermostAppBundle(const QString& path);
    // Ascending, case-insensitive, digit runs compared as numbers.
    static bool namesInOrder(const QString& a, const QString& b);

    static std::optional<QString> defaultOwnBundleId();
    static qint64 currentPid();

private:
    struct Owner {
        QString bundleId;
        QString name;
        bool isRegularApp = false;
    };
    struct Group {
        QString bundleId;
        QString name;
        bool isRegularApp = false;
        QList<AudioObjectId> objectIds;  // in discovery order
        bool isPlaying = false;
    };
    struct RunningApps {
        QHash<qint64, RecorderHAL::RunningApplication> byPid;
        QHash<QString, RecorderHAL::RunningApplication> byBundlePath;
        // The app's bundle identifier lowercased with "." appended; longest first.
        QList<QPair<QString, RecorderHAL::RunningApplication>> prefixes;
    };

    RunningApps currentApps();
    std::optional<Owner> owner(qint64 pid, const QString& processBundleId, const RunningApps& running);
    QString displayName(const QString& bundleId, qint64 pid);
    QList<QPair<QString, Group>> groupedProcesses();

    RecorderHAL& m_hal;
    std::optional<QString> m_ownBundleId;
    qint64 m_ownPid;
};

}  // namespace harkwell
