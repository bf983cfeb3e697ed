#pragma once
// A login item held in memory; tests set its status and make registration fail.

#include "platform/autostart/Autostart.h"

namespace harkwell {

class FakeAutostart final : public Autostart {
public:
    AutostartStatus status() const override { return m_status; }
    std::expected<void, AutostartError> registerItem() override
    {
        ++m_registerCalls;
        if (!m_failure.isEmpty())
            return std::unexpected(AutostartError{m_failure});
        m_status = AutostartStatus::Enabled;
        return {};
    }
    std::expected<void, AutostartError> unregisterItem() override
    {
        ++m_unregisterCalls;
        if (!m_failure.isEmpty())
            return std::unexpected(AutostartError{m_failure});
        m_status = AutostartStatus::NotRegistered;
        return {};
    }

    void setStatus(AutostartStatus status) { m_status = status; }
    void setFailure(QString text) { m_failure = std::move(text); }
    int registerCalls() const { return m_registerCalls; }
    int unregisterCalls() const { return m_unregisterCalls; }

private:
    AutostartStatus m_status = AutostartStatus::NotRegistered;
    QString m_failure;
    int m_registerCalls = 0;
    int m_unregisterCalls = 0;
};

}  // namespace harkwell
