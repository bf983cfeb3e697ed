#include "service/Utf8Text.h"

#include <QStringDecoder>

namespace harkwell {

std::optional<QString> Utf8Text::strict(const QByteArray& bytes)
{
    // Stateless: a sequence cut off at the end is an error, not something to finish later.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

}  // namespace harkwell
