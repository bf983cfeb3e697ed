#pragma once
// The service's first answer to an upload: a cache key, or a task to resolve into one later.

#include "foundation/DecodeError.h"

#include <QByteArray>
#include <QString>

#include <expected>
#include <optional>

namespace harkwell {

struct UploadResult {
    QString status;
    std::optional<QString> task_id;
    std::optional<QString> cache_key;
    std::optional<QString> message;
    std::optional<QString> title;

    static std::expected<UploadResult, DecodeError> fromJson(const QByteArray& body);
};

}  // namespace harkwell
