#include "service/SourceListResponse.h"

#include "foundation/JsonFields.h"
#include "service/JsonBody.h"

namespace harkwell {

std::expected<SourceListResponse, DecodeError> SourceListResponse::fromJson(const QByteArray& body)
{
    const auto object = JsonBody::object(body);
    if (!object)
        return std::unexpected(object.error());
    JsonFields fields(*object);
    SourceListResponse page;
    const QJsonArray files = fields.array(QStringLiteral("files"));
    page.count = fields.integer(QStringLiteral("count"));
    page.has_more = fields.boolean(QStringLiteral("has_more"));
    page.next_cursor = fields.optionalString(QStringLiteral("next_cursor"));
    if (!fields.ok())
        return std::unexpected(*fields.error());
    page.files.reserve(files.size());
    for (qsizetype i = 0; i < files.size(); ++i) {
        auto entry = SourceMetadata::fromJson(files[i], QStringLiteral("files[%1]").arg(i));
        if (!entry)
            return std::unexpected(entry.error());
        page.files.append(std::move(*entry));
    }
    return page;
}

}  // namespace harkwell
