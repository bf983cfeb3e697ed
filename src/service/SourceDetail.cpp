#include "service/SourceDetail.h"

#include "foundation/JsonFields.h"
#include "service/JsonBody.h"

namespace harkwell {

std::expected<SourceDetail, DecodeError> SourceDetail::fromJson(const QByteArray& body)
{
    const auto object = JsonBody::object(body);
    if (!object)
        return std::unexpected(object.error());
    JsonFields top(*object);
    SourceDetail detail;
    detail.success = top.boolean(QStringLiteral("success"));
    const QJsonObject result = top.object(QStringLiteral("result"));
    detail.cache_key = top.string(QStringLiteral("cache_key"));
    if (!top.ok())
        return std::unexpected(*top.error());

    JsonFields fields(result, QStringLiteral("result"));
    ResultBlock& block = detail.result;
    block.text = fields.optionalString(QStringLiteral("text"));
    block.original_filename = fields.optionalString(QStringLiteral("original_filename"));
    block.language = fields.optionalString(QStringLiteral("language"));
    block.duration = fields.optionalNumber(QStringLiteral("duration"));
    block.word_count = fields.optionalInteger(QStringLiteral("word_count"));
    block.model = fields.optionalString(QStringLiteral("model"));
    block.llm_title = fields.optionalString(QStringLiteral("llm_title"));
    block.llm_summary = fields.optionalString(QStringLiteral("llm_summary"));
    block.status = fields.optionalString(QStringLiteral("status"));
    if (!fields.ok())
        return std::unexpected(*fields.error());
    return detail;
}

}  // namespace harkwell
