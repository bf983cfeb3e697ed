#include "platform/mail/XdgEmailComposer.h"

#include <QProcess>
#include <QStandardPaths>

namespace harkwell {

MailComposer& MailComposer::system()
{
    static XdgEmailComposer composer;
    return composer;
}

bool XdgEmailComposer::compose(const QStringList& attachments, const std::optional<QString>& subject)
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("xdg-email"));
    if (program.isEmpty())
        return false;
    QStringList arguments;
    if (subject)
        arguments << QStringLiteral("--subject") << *subject;
    for (const QString& path : attachments)
        arguments << QStringLiteral("--attach") << path;
    // Detached: the mail program may stay open long after the panel is gone.
    return QProcess::startDetached(program, arguments);
}

}  // namespace harkwell
