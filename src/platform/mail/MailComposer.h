#pragma once
// A new message in the user's mail program with files attached, for the user to address and send.

#include <QString>
#include <QStringList>

#include <optional>

namespace harkwell {

class MailComposer {
public:
    virtual ~MailComposer() = default;

    // False when this desktop offers no way to compose a message; nothing happens then.
    virtual bool compose(const QStringList& attachments, const std::optional<QString>& subject = std::nullopt) = 0;

    // This desktop's.
    static MailComposer& system();
};

}  // namespace harkwell
