#include "service/UploadResult.h"

#include "foundation/JsonFields.h"
#include "service/JsonBody.h"

namespace harkwell {

std::expected<UploadResult, DecodeError> UploadResult::fromJson(const QByteArray& body)
{
    const auto object = JsonBody::object(body);
    if (!object)
        return std::unexpected(object.error());
    JsonFields fields(*object);
    UploadResult result;
    result.status = fields.string(QStringLiteral("status"));
    result.task_id = fields.optionalString(QStringLiteral("task_id"));
    result.cache_key = fields.optionalString(QStringLiteral("cache_key"));
    result.message = fields.optionalString(QStringLiteral("message"));
    result.title = fields.optionalString(QStringLiteral("title"));
    if (!fields.ok())
        return std::unexpected(*fields.error());
    return result;
}

}  // namespace harkwell
