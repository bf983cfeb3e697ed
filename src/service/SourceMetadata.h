#pragma once
// One source (an uploaded, transcribed audio file) as the service lists it. Read-only: decoded
// from the listing, never encoded.

#include "foundation/DecodeError.h"

#include <QJsonValue>
#include <QString>

#include <expected>
#include <optional>

namespace harkwell {

struct SourceMetadata {
    QString cache_key;
    std::optional<double> timestamp;
    std::optional<double> created_at;
    std::optional<QString> llm_title;
    std::optional<QString> llm_summary;
    std::optional<QString> status;
    std::optional<QString> model;
    std::optional<double> duration;
    std::optional<bool> is_deleted;
    std::optional<QString> original_filename;

    // A missing cache_key or any value of the wrong type fails; null and missing optional keys are
    // absent; unknown keys are ignored.
    static std::expected<SourceMetadata, DecodeError> fromJson(const QJsonValue& value, const QString& context = {});
};

}  // namespace harkwell
