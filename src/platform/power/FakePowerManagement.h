#pragma once
// Power handling that tests steer: the power source, a refused hold, and sleep and wake notices.

#include "platform/power/PowerManagement.h"

#include <optional>

namespace harkwell {

class FakePowerManagement final : public PowerManagement {
    Q_OBJECT
public:
    using PowerManagement::PowerManagement;

    bool isOnBattery() override { return m_onBattery; }
    std::expected<void, PowerError> holdIdleSleep(const QString& why) override
    {
        if (m_refusal)
            return std::unexpected(*m_refusal);
        m_holding = true;
        m_reason = why;
        return {};
    }
    void releaseIdleSleep() override { m_holding = false; }

    void setOnBattery(bool on) { m_onBattery = on; }
    void refuseHolds(std::optional<QString> text) { m_refusal = text ? std::optional(PowerError{*text}) : std::nullopt; }
    bool holding() const { return m_holding; }
    const QString& reason() const { return m_reason; }
    void sleep() { emit willSleep(); }
    void wake() { emit didWake(); }

private:
    bool m_onBattery = false;
    bool m_holding = false;
    QString m_reason;
    std::optional<PowerError> m_refusal;
};

}  // namespace harkwell
