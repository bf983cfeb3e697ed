#pragma once
// A microphone permission that tests set to any state; records what was asked and opened.

#include "platform/microphone/MicrophoneAccess.h"

#include <QObject>
#include <QStringList>

#include <qcoro/qcorosignal.h>

namespace harkwell {

namespace detail {
class PromptAnswer : public QObject {
    Q_OBJECT
signals:
    void given();
};
}  // namespace detail

class FakeMicrophoneAccess final : public MicrophoneAccess {
public:
    MicrophoneAuthorization authorization() override { return m_authorization; }
    bool canAsk() override { return m_canAsk; }
    QCoro::Task<bool> requestAccess() override
    {
        ++m_requests;
        if (m_holdPrompt)
            co_await qCoro(&m_prompt, &detail::PromptAnswer::given);
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
    // Keeps every request waiting, as a prompt the user has not answered yet, until answerPrompts().
    void holdPrompts() { m_holdPrompt = true; }
    void answerPrompts()
    {
        m_holdPrompt = false;
        emit m_prompt.given();
    }
    void setOpens(bool opens) { m_opens = opens; }
    int requests() const { return m_requests; }
    QStringList openedPages() const { return m_openedPages; }

private:
    MicrophoneAuthorization m_authorization = MicrophoneAuthorization::NotDetermined;
    bool m_canAsk = true;
    bool m_answer = false;
    bool m_holdPrompt = false;
    detail::PromptAnswer m_prompt;
    bool m_opens = true;
    int m_requests = 0;
    QStringList m_openedPages;
};

}  // namespace harkwell
