#pragma once
// A microphone permission that tests set to any state; records what was asked and opened.

#include "platform/microphone/MicrophoneAccess.h"

#include <QStringList>

namespace harkwell {

class FakeMicrophoneAccess final : public MicrophoneAccess {
public:
    MicrophoneAuthorization authorization() override { return m_authorization; }
    bool canAsk() override { return m_canAsk; }
    QCoro::Task<bool> requestAccess() override
    {
        ++m_requests;
        co_return m_answer;
    }
    bool openSettingsPage(const QString& link) override
    {
        m_openedPages.append(link);
        return m_opens;
    }

    void setAuthorization(MicrophoneAuthorization authorization) { m_authorization = authorization; }
    void setCanAsk(bool canAsk) { m_canAsk = canAsk; }
    void setAnswer(bool granted) { m_answer = granted; }
    void setOpens(bool opens) { m_opens = opens; }
    int requests() const { return m_requests; }
    QStringList openedPages() const { return m_openedPages; }

private:
    MicrophoneAuthorization m_authorization = MicrophoneAuthorization::NotDetermined;
    bool m_canAsk = true;
    bool m_answer = false;
    bool m_opens = true;
    int m_requests = 0;
    QStringList m_openedPages;
};

}  // namespace harkwell
