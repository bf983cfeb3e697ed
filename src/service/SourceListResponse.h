#pragma once
// One page of the service's listing of sources.

#include "foundation/DecodeError.h"
#include "service/SourceMetadata.h"

#include <QByteArray>
#include <QList>

#include <expected>
#include <optional>

namespace harkwell {

struct SourceListResponse {
    QList<SourceMetadata> files;
    int count = 0;
    bool has_more = false;
    std::optional<QString> next_cursor;

    // One entry that does not decode fails the whole page.
    static std::expected<SourceListResponse, DecodeError> fromJson(const QByteArray& body);
};

}  // namespace harkwell
