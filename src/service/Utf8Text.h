#pragma once
// Bytes read as UTF-8 only when every byte belongs to a valid sequence.

#include <QByteArray>
#include <QString>

#include <optional>

namespace harkwell {

class Utf8Text {
public:
    static std::optional<QString> strict(const QByteArray& bytes);
};

}  // namespace harkwell
