#pragma once
// xdg-email from xdg-utils, which hands the message to the desktop's mail program. Absent on a
// desktop without xdg-utils, where nothing is composed.

#include "platform/mail/MailComposer.h"

namespace harkwell {

class XdgEmailComposer final : public MailComposer {
public:
    bool compose(const QStringList& attachments, const std::optional<QString>& subject = std::nullopt) override;
};

}  // namespace harkwell
