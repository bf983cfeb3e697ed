#include "service/SourceMetadata.h"

#include "foundation/JsonFields.h"

namespace harkwell {

std::expected<SourceMetadata, DecodeError> SourceMetadata::fromJson(const QJsonValue& value, const QString& context)
{
    if (!value.isObject())
        return std::unexpected(DecodeError{
            QStringLiteral("%1: expected an object").arg(context.isEmpty() ? QStringLiteral("source") : context)});
    JsonFields fields(value.toObject(), context);
    SourceMetadata source;
    source.cache_key = fields.string(QStringLiteral("cache_key"));
    source.timestamp = fields.optionalNumber(QStringLiteral("timestamp"));
    source.created_at = fields.optionalNumber(QStringLiteral("created_at"));
    source.llm_title = fields.optionalString(QStringLiteral("llm_title"));
    source.llm_summary = fields.optionalString(QStringLiteral("llm_summary"));
    source.status = fields.optionalString(QStringLiteral("status"));
    source.model = fields.optionalString(QStringLiteral("model"));
    source.duration = fields.optionalNumber(QStringLiteral("duration"));
    source.is_deleted = fields.optionalBoolean(QStringLiteral("is_deleted"));
    source.original_filename = fields.optionalString(QStringLiteral("original_filename"));
    if (!fields.ok())
        return std::unexpected(*fields.error());
    return source;
}

}  // namespace harkwell
