#include "service/JsonBody.h"

#include <QJsonDocument>

namespace harkwell {

std::expected<QJsonObject, DecodeError> JsonBody::object(const QByteArray& body)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError)
        return std::unexpected(DecodeError{
            QStringLiteral("the data is not valid JSON (%1 at offset %2)").arg(error.errorString()).arg(error.offset)});
    if (!document.isObject())
        return std::unexpected(DecodeError{QStringLiteral("the data is not a JSON object")});
    return document.object();
}

}  // namespace harkwell
