#include "service/PairingAnswers.h"

#include "foundation/JsonFields.h"
#include "service/JsonBody.h"

#include <QHostAddress>

namespace harkwell::PairingAnswers {

namespace {
QString unreadable(const DecodeError& error)
{
    return QStringLiteral("Mirelon's answer could not be read: %1.").arg(error.text);
}
}  // namespace

std::expected<Init, QString> decodeInit(const QByteArray& body)
{
    const auto object = JsonBody::object(body);
    if (!object)
        return std::unexpected(unreadable(object.error()));
    JsonFields fields(*object);
    Init init;
    init.deviceCode = fields.string(QStringLiteral("device_code"));
    init.userCode = fields.string(QStringLiteral("user_code"));
    init.verificationUrl = fields.string(QStringLiteral("verification_url"));
    init.interval = fields.integer(QStringLiteral("interval"));
    init.expiresIn = fields.integer(QStringLiteral("expires_in"));
    if (!fields.ok())
        return std::unexpected(unreadable(*fields.error()));
    return init;
}

std::expected<Poll, QString> decodePoll(const QByteArray& body)
{
    const auto object = JsonBody::object(body);
    if (!object)
        return std::unexpected(unreadable(object.error()));
    JsonFields fields(*object);
    Poll poll;
    poll.status = fields.string(QStringLiteral("status"));
    poll.token = fields.optionalString(QStringLiteral("token"));
    poll.scopes = fields.optionalStrings(QStringLiteral("scopes"));
    (void)fields.optionalString(QStringLiteral("device_id"));
    if (!fields.ok())
        return std::unexpected(unreadable(*fields.error()));
    return poll;
}

bool isUsableVerificationUrl(const QUrl& url)
{
    if (!url.isValid() || url.host().isEmpty())
        return false;
    if (url.scheme() == QLatin1String("https"))
        return true;
    if (url.scheme() != QLatin1String("http"))
        return false;
    if (url.host() == QLatin1String("localhost"))
        return true;
    return QHostAddress(url.host()).isLoopback();
}

}  // namespace harkwell::PairingAnswers
