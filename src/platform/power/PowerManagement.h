#pragma once
// What the recorder needs of the machine's power handling: whether it runs on battery, keeping it
// from falling asleep while idle during a recording, and word that it is about to sleep or has
// woken. Lid and menu sleep still happen; only idle sleep is held off.

#include <QObject>
#include <QString>

#include <expected>

namespace harkwell {

struct PowerError {
    QString text;  // for the log
};

class PowerManagement : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~PowerManagement() override = default;

    // False when the power source cannot be read.
    virtual bool isOnBattery() = 0;
    // Holds off idle sleep until releaseIdleSleep(); holding twice keeps one hold.
    virtual std::expected<void, PowerError> holdIdleSleep(const QString& why) = 0;
    virtual void releaseIdleSleep() = 0;

signals:
    // On the main thread.
    void willSleep();
    void didWake();
};

}  // namespace harkwell
