#include "audio/AudioProcessCatalog.h"

#include "audio/RecorderDeviceNames.h"
#include "foundation/HarkwellLog.h"
#include "platform/identity/Identity.h"

#include <QCollator>
#include <QDir>

#include <algorithm>

#include <unistd.h>

namespace harkwell {

namespace {

QString nameOr(const RecorderHAL::RunningApplication& app)
{
    return app.name.isEmpty() ? app.bundleId : app.name;
}

}  // namespace

AudioProcessCatalog::AudioProcessCatalog(RecorderHAL& hal, std::optional<QString> ownBundleId, qint64 ownPid)
    : m_hal(hal), m_ownBundleId(std::move(ownBundleId)), m_ownPid(ownPid)
{
}

std::optional<QString> AudioProcessCatalog::defaultOwnBundleId()
{
    return QString::fromLatin1(identity::kBundleIdentifier);
}

qint64 AudioProcessCatalog::currentPid() { return qint64(::getpid()); }

bool AudioProcessCatalog::namesInOrder(const QString& a, const QString& b)
{
    // The C locale compares code points and ignores every option; a user who runs without a
    // locale still expects "Mic 2" before "Mic 10".
    thread_local const QCollator collator = [] {
        const QLocale system = QLocale::system();
        QCollator made(system.language() == QLocale::C ? QLocale(QLocale::English, QLocale::UnitedStates) : system);
        made.setCaseSensitivity(Qt::CaseInsensitive);
        made.setNumericMode(true);
        return made;
    }();
    return collator.compare(a, b) < 0;
}

QList<AudioInputDevice> AudioProcessCatalog::inputDevices()
{
    std::optional<QString> defaultUid;
    if (const auto input = m_hal.checkedUInt32(RecorderHAL::kSystemObject, AudioProperty::DefaultInputDevice);
        input && *input != RecorderHAL::kNoObject)
        defaultUid = m_hal.string(*input, AudioProperty::DeviceUid);

    QList<AudioInputDevice> devices;
    for (AudioObjectId device : m_hal.objectIds(RecorderHAL::kSystemObject, AudioProperty::Devices)) {
        const auto buffers = m_hal.readStreamConfiguration(device, AudioScope::Input);
        if (!buffers || buffers->isEmpty())
            continue;
        int channels = 0;
        for (int count : *buffers)
            channels += count;
        if (channels <= 0)
            continue;
        const auto uid = m_hal.string(device, AudioProperty::DeviceUid);
        if (!uid || uid->startsWith(QLatin1String(kRecorderAggregateUidPrefix)))
            continue;
        if (const auto hidden = m_hal.checkedUInt32(device, AudioProperty::IsHidden); hidden && *hidden != 0)
            continue;
        devices.append({*uid, m_hal.string(device, AudioProperty::Name).value_or(*uid), defaultUid == *uid});
    }
    std::stable_sort(devices.begin(), devices.end(),
                     [](const AudioInputDevice& a, const AudioInputDevice& b) { return namesInOrder(a.name, b.name); });
    return devices;
}

AudioProcessCatalog::RunningApps AudioProcessCatalog::currentApps()
{
    RunningApps running;
    for (const RecorderHAL::RunningApplication& app : m_hal.runningApplications()) {
        if (app.bundleId.isEmpty())
            continue;
        running.byPid.insert(app.pid, app);
        if (!app.bundlePath.isEmpty())
            running.byBundlePath.insert(QDir::cleanPath(app.bundlePath), app);
        running.prefixes.append({app.bundleId.toLower() + QLatin1Char('.'), app});
    }
    std::stable_sort(running.prefixes.begin(), running.prefixes.end(),
                     [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
    return running;
}

std::optional<QString> AudioProcessCatalog::outermostAppBundle(const QString& path)
{
    QString collected;
    for (const QString& component : path.split(QLatin1Char('/'))) {
        if (component.isEmpty())
            continue;
        collected += QLatin1Char('/') + component;
        if (component.toLower().endsWith(QLatin1String(".app")))
            return QDir::cleanPath(collected);
    }
    return std::nullopt;
}

std::optional<AudioProcessCatalog::Owner> AudioProcessCatalog::owner(qint64 pid, const QString& processBundleId,
                                                                     const RunningApps& running)
{
    if (const auto app = running.byPid.constFind(pid); app != running.byPid.cend())
        return Owner{app->bundleId, nameOr(*app), true};
    if (const auto executable = m_hal.executablePath(pid)) {
        if (const auto bundlePath = outermostAppBundle(*executable)) {
            if (const auto app = running.byBundlePath.constFind(*bundlePath); app != running.byBundlePath.cend())
                return Owner{app->bundleId, nameOr(*app), true};
            if (const auto bundle = m_hal.bundleAt(*bundlePath); bundle && !bundle->bundleId.isEmpty()) {
                QString name = bundle->displayName.isEmpty() ? QFileInfo(*bundlePath).fileName() : bundle->displayName;
                if (name.toLower().endsWith(QLatin1String(".app")))
                    name.chop(4);
                return Owner{bundle->bundleId, name, false};
            }
        }
    }
    if (processBundleId.isEmpty())
        return std::nullopt;
    const QString lowered = processBundleId.toLower();
    for (const auto& [prefix, app] : running.prefixes) {
        if (lowered.startsWith(prefix))
            return Owner{app.bundleId, nameOr(app), true};
    }
    return Owner{processBundleId, displayName(processBundleId, pid), false};
}

QString AudioProcessCatalog::displayName(const QString& bundleId, qint64 pid)
{
    if (bundleId.startsWith(QLatin1String("com.apple.WebKit")))
        return QStringLiteral("Safari and web content");
    for (const RecorderHAL::RunningApplication& app : m_hal.runningApplications())
        if (app.pid == pid && !app.name.isEmpty())
            return app.name;
    if (const auto name = m_hal.processName(pid); name && !name->isEmpty())
        return *name;
    const QStringList parts = bundleId.split(QLatin1Char('.'), Qt::SkipEmptyParts);
    return parts.isEmpty() ? bundleId : parts.last();
}

QList<QPair<QString, AudioProcessCatalog::Group>> AudioProcessCatalog::groupedProcesses()
{
    const std::optional<QString> own = m_ownBundleId ? std::optional(m_ownBundleId->toLower()) : std::nullopt;
    const RunningApps running = currentApps();
    QList<QPair<QString, Group>> groups;
    QHash<QString, qsizetype> index;

    for (AudioObjectId object : m_hal.objectIds(RecorderHAL::kSystemObject, AudioProperty::ProcessObjectList)) {
        const auto pid = m_hal.readUInt32(object, AudioProperty::ProcessPid);
        if (!pid || qint32(*pid) <= 0 || qint64(*pid) == m_ownPid)
            continue;
        const QString processBundleId = m_hal.string(object, AudioProperty::ProcessBundleId).value_or(QString());
        const auto output = m_hal.readUInt32(object, AudioProperty::ProcessIsRunningOutput);
        const bool playing = output && *output != 0;
        const auto found = owner(qint64(*pid), processBundleId, running);
        if (!found)
            continue;
        const QString key = found->bundleId.toLower();
        if (own && (key == *own || key.startsWith(*own + QLatin1Char('.'))))
            continue;
        auto at = index.constFind(key);
        if (at == index.cend()) {
            at = index.insert(key, groups.size());
            groups.append({key, Group{found->bundleId, found->name, found->isRegularApp, {}, false}});
        }
        Group& group = groups[*at].second;
        group.objectIds.append(object);
        group.isRegularApp = group.isRegularApp || found->isRegularApp;
        group.isPlaying = group.isPlaying || playing;
    }
    return groups;
}

QList<AudioApp> AudioProcessCatalog::audioApps()
{
    QList<AudioApp> apps;
    for (const auto& [key, group] : groupedProcesses()) {
        if (!group.isRegularApp && !group.isPlaying)
            continue;
        QList<quint32> ids = group.objectIds;
        std::sort(ids.begin(), ids.end());
        apps.append({group.bundleId, group.name, ids, group.isPlaying});
    }
    std::stable_sort(apps.begin(), apps.end(), [](const AudioApp& a, const AudioApp& b) {
        if (a.isPlaying != b.isPlaying)
            return a.isPlaying;
        return namesInOrder(a.name, b.name);
    });
    return apps;
}

QList<AudioObjectId> AudioProcessCatalog::processObjectIds(const QString& bundleId)
{
    const QString key = bundleId.toLower();
    for (const auto& [groupKey, group] : groupedProcesses()) {
        if (groupKey != key)
            continue;
        QList<AudioObjectId> ids = group.objectIds;
        std::sort(ids.begin(), ids.end());
        return ids;
    }
    return {};
}

std::optional<AudioObjectId> AudioProcessCatalog::ownProcessObjectId()
{
    const auto object = m_hal.processObjectForPid(m_ownPid);
    if (!object) {
        HarkwellLog::log(QStringLiteral("[harkwell] recorder: own process object lookup failed: %1")
                             .arg(RecorderHAL::describe(object.error())));
        return std::nullopt;
    }
    if (*object == RecorderHAL::kNoObject)
        return std::nullopt;
    return *object;
}

}  // namespace harkwell
