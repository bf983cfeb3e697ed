#pragma once
// An answer body read as one JSON object, with a text naming what was wrong when it is not one.

#include "foundation/DecodeError.h"

#include <QByteArray>
#include <QJsonObject>

#include <expected>

namespace harkwell {

class JsonBody {
public:
    static std::expected<QJsonObject, DecodeError> object(const QByteArray& body);
};

}  // namespace harkwell
