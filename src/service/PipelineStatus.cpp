#include "service/PipelineStatus.h"

#include "foundation/JsonFields.h"
#include "service/JsonBody.h"

namespace harkwell {

std::expected<PipelineStatus, DecodeError> PipelineStatus::fromJson(const QByteArray& body)
{
    const auto object = JsonBody::object(body);
    if (!object)
        return std::unexpected(object.error());
    JsonFields top(*object);
    PipelineStatus result;
    if (const auto status = top.optionalObject(QStringLiteral("status"))) {
        JsonFields stages(*status, QStringLiteral("status"));
        if (const auto stage = stages.optionalObject(QStringLiteral("transcription"))) {
            JsonFields fields(*stage, QStringLiteral("status.transcription"));
            TranscriptionStage transcription;
            transcription.status = fields.optionalString(QStringLiteral("status"));
            transcription.model = fields.optionalString(QStringLiteral("model"));
            transcription.duration = fields.optionalNumber(QStringLiteral("duration"));
            transcription.word_count = fields.optionalInteger(QStringLiteral("word_count"));
            if (!fields.ok())
                return std::unexpected(*fields.error());
            result.transcription = transcription;
        }
        if (!stages.ok())
            return std::unexpected(*stages.error());
    }
    if (!top.ok())
        return std::unexpected(*top.error());
    return result;
}

}  // namespace harkwell
