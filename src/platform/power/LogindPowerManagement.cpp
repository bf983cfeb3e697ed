#include "platform/power/LogindPowerManagement.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusReply>
#include <QDir>
#include <QFile>

namespace harkwell {

namespace {

constexpr char kService[] = "org.freedesktop.login1";
constexpr char kPath[] = "/org/freedesktop/login1";
constexpr char kManager[] = "org.freedesktop.login1.Manager";

QString attribute(const QString& supply, const char* name)
{
    QFile file(supply + QLatin1Char('/') + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()).trimmed() : QString();
}

}  // namespace

LogindPowerManagement::LogindPowerManagement(QString powerSupplies, QObject* parent)
    : PowerManagement(parent)
    , m_powerSupplies(std::move(powerSupplies))
{
    QDBusConnection::systemBus().connect(QString::fromLatin1(kService), QString::fromLatin1(kPath),
                                         QString::fromLatin1(kManager), QStringLiteral("PrepareForSleep"), this,
                                         SLOT(prepareForSleep(bool)));
}

bool LogindPowerManagement::isOnBattery()
{
    const QDir folder(m_powerSupplies);
    bool battery = false;
    for (const QString& name : folder.entryList(QDir::AllEntries | QDir::NoDotAndDotDot)) {
        const QString supply = folder.filePath(name);
        const QString type = attribute(supply, "type");
        if ((type == QLatin1String("Mains") || type == QLatin1String("USB")) && attribute(supply, "online") == QLatin1String("1"))
            return false;
        if (type == QLatin1String("Battery") && attribute(supply, "present") != QLatin1String("0")
            && attribute(supply, "scope") != QLatin1String("Device"))
            battery = true;
    }
    return battery;
}

std::expected<void, PowerError> LogindPowerManagement::holdIdleSleep(const QString& why)
{
    if (m_inhibitor.isValid())
        return {};
    QDBusMessage call = QDBusMessage::createMethodCall(QString::fromLatin1(kService), QString::fromLatin1(kPath),
                                                       QString::fromLatin1(kManager), QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep:idle") << QStringLiteral("Harkwell") << why << QStringLiteral("block");
    const QDBusReply<QDBusUnixFileDescriptor> reply = QDBusConnection::systemBus().call(call);
    if (!reply.isValid())
        return std::unexpected(PowerError{reply.error().name() + QStringLiteral(": ") + reply.error().message()});
    m_inhibitor = reply.value();
    m_wantDelayLock = true;
    takeDelayLock();
    return {};
}

void LogindPowerManagement::releaseIdleSleep()
{
    m_inhibitor = QDBusUnixFileDescriptor();
    m_wantDelayLock = false;
    m_delayLock = QDBusUnixFileDescriptor();
}

// Asked for without waiting: the main thread never waits on the bus.
void LogindPowerManagement::takeDelayLock()
{
    if (m_delayLock.isValid())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(QString::fromLatin1(kService), QString::fromLatin1(kPath),
                                                       QString::fromLatin1(kManager), QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep") << QStringLiteral("Harkwell") << QStringLiteral("Pausing the recording before sleep")
         << QStringLiteral("delay");
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::systemBus().asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* done) {
        const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *done;
        done->deleteLater();
        if (reply.isValid() && m_wantDelayLock && !m_delayLock.isValid())
            m_delayLock = reply.value();
    });
}

void LogindPowerManagement::prepareForSleep(bool sleeping)
{
    if (sleeping) {
        emit willSleep();
        // The recording has been paused: the machine may sleep now.
        m_delayLock = QDBusUnixFileDescriptor();
    } else {
        emit didWake();
        if (m_wantDelayLock)
            takeDelayLock();
    }
}

}  // namespace harkwell
