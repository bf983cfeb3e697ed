#pragma once
// A new message in the user's mail program with files attached, for the user to address and send.

#include <QStringList>

namespace harkwell {

class MailComposer {
public:
    virtual ~MailComposer() = default;

    // False when this desktop offers no way to compose a message; nothing happens then.
    virtual bool compose(const QStringList& attachments) = 0;

    // This desktop's.
    static MailComposer& system();
};

}  // namespace harkwell
