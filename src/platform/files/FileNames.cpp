#include "platform/files/FileNames.h"

namespace harkwell {

namespace {

constexpr char16_t kEscapedByte = 0xDC00;  // + a byte of 0x80 to 0xFF

// The length of the well-formed UTF-8 sequence at `i`, or 0 when none starts there.
qsizetype sequenceAt(const unsigned char* data, qsizetype size, qsizetype i)
{
    const unsigned char c = data[i];
    if (c < 0x80)
        return 1;
    int more = 0;
    unsigned int code = 0;
    if ((c & 0xE0) == 0xC0) {
        more = 1;
        code = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        more = 2;
        code = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        more = 3;
        code = c & 0x07;
    } else {
        return 0;
    }
    for (int k = 1; k <= more; ++k) {
        if (i + k >= size || (data[i + k] & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (data[i + k] & 0x3F);
    }
    // Overlong forms, surrogates and code points beyond Unicode do not decode.
    if ((more == 1 && code < 0x80) || (more == 2 && code < 0x800) || (more == 3 && code < 0x10000)
        || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
        return 0;
    return more + 1;
}

}  // namespace

bool FileNames::isValidUtf8(QByteArrayView bytes)
{
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.constData());
    for (qsizetype i = 0; i < bytes.size();) {
        const qsizetype length = sequenceAt(data, bytes.size(), i);
        if (length == 0)
            return false;
        i += length;
    }
    return true;
}

QString FileNames::text(const QByteArray& native)
{
    if (isValidUtf8(native))
        return QString::fromUtf8(native);
    const auto* data = reinterpret_cast<const unsigned char*>(native.constData());
    QString text;
    text.reserve(native.size());
    for (qsizetype i = 0; i < native.size();) {
        const qsizetype length = sequenceAt(data, native.size(), i);
        if (length == 0) {
            text += QChar(char16_t(kEscapedByte + data[i]));
            ++i;
            continue;
        }
        text += QString::fromUtf8(native.constData() + i, length);
        i += length;
    }
    return text;
}

QByteArray FileNames::native(const QString& text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    qsizetype run = 0;  // start of the text not yet encoded
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text.at(i).unicode();
        const bool escaped = u >= kEscapedByte + 0x80 && u <= kEscapedByte + 0xFF
                             && (i == 0 || !QChar::isHighSurrogate(text.at(i - 1).unicode()));
        if (!escaped)
            continue;
        bytes += QStringView(text).mid(run, i - run).toUtf8();
        bytes += char(u - kEscapedByte);
        run = i + 1;
    }
    bytes += QStringView(text).mid(run).toUtf8();
    return bytes;
}

QString FileNames::display(QByteArrayView native) { return QString::fromUtf8(native); }

QUrl FileNames::fileUrl(const QByteArray& native)
{
    if (isValidUtf8(native))
        return QUrl::fromLocalFile(QString::fromUtf8(native));
    QUrl url;
    url.setScheme(QStringLiteral("file"));
    url.setPath(QString::fromLatin1(native.toPercentEncoding("/")), QUrl::TolerantMode);
    return url;
}

QByteArray FileNames::nativePath(const QUrl& url)
{
    return QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
}

}  // namespace harkwell
