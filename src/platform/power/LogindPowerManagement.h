#pragma once
// Power handling through systemd-logind and sysfs: an inhibitor lock ("sleep:idle") held while
// recording, the PrepareForSleep signal for sleep and wake, and /sys/class/power_supply for the
// power source. While recording a delay lock on sleep is held too, so that PrepareForSleep(true)
// is handled before the machine sleeps; it is let go once willSleep() has been handled.

#include "platform/power/PowerManagement.h"

#include <QDBusUnixFileDescriptor>

namespace harkwell {

class LogindPowerManagement final : public PowerManagement {
    Q_OBJECT
public:
    // `powerSupplies` is where the kernel lists the supplies; tests point it at a folder of their own.
    explicit LogindPowerManagement(QString powerSupplies = QStringLiteral("/sys/class/power_supply"),
                                   QObject* parent = nullptr);

    // On battery when no mains supply is online and a battery is present.
    bool isOnBattery() override;
    std::expected<void, PowerError> holdIdleSleep(const QString& why) override;
    void releaseIdleSleep() override;

private slots:
    void prepareForSleep(bool sleeping);

private:
    void takeDelayLock();

    QString m_powerSupplies;
    QDBusUnixFileDescriptor m_inhibitor;  // the lock lasts while this descriptor is open
    QDBusUnixFileDescriptor m_delayLock;
    bool m_wantDelayLock = false;
};

}  // namespace harkwell
