#pragma once
// Records the messages that would have been composed; can play a desktop without a mail program.

#include "platform/mail/MailComposer.h"

#include <QList>

namespace harkwell {

class FakeMailComposer final : public MailComposer {
public:
    bool compose(const QStringList& attachments, const std::optional<QString>& subject = std::nullopt) override
    {
        if (!m_available)
            return false;
        m_composed.append(attachments);
        m_subjects.append(subject);
        return true;
    }

    void setAvailable(bool available) { m_available = available; }
    const QList<QStringList>& composed() const { return m_composed; }
    const QList<std::optional<QString>>& subjects() const { return m_subjects; }

private:
    bool m_available = true;
    QList<QStringList> m_composed;
    QList<std::optional<QString>> m_subjects;
};

}  // namespace harkwell
