#include "platform/files/FileNames.h"

namespace harkwell {

bool FileNames::isValidUtf8(const QByteArray& bytes)
{
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.constData());
    const qsizetype size = bytes.size();
    qsizetype i = 0;
    while (i < size) {
        const unsigned char c = data[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
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
            return false;
        }
        for (int k = 1; k <= more; ++k) {
            if (i + k >= size || (data[i + k] & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (data[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and code points beyond Unicode do not decode.
        if ((more == 1 && code < 0x80) || (more == 2 && code < 0x800) || (more == 3 && code < 0x10000)
            || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
            return false;
        i += more + 1;
    }
    return true;
}

QString FileNames::display(const QByteArray& native) { return QString::fromUtf8(native); }

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
