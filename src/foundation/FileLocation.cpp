#include "foundation/FileLocation.h"

#include <QStringDecoder>

namespace harkwell {

namespace {

// A name that is not UTF-8 lives in the URL as its percent-encoded bytes; taken apart as text it
// would lose them, so such a URL is kept whole.
bool pathIsText(const QUrl& url)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()));
    return !decoder.hasError();
}

}  // namespace

FileLocation::FileLocation(const QUrl& url)
{
    if (url.isLocalFile() && !url.hasQuery() && !url.hasFragment() && url.host().isEmpty() && pathIsText(url))
        m_base = url.toLocalFile();
    else if (!url.isEmpty())
        m_other = url;
}

FileLocation FileLocation::below(const QUrl& url, const QString& relative)
{
    FileLocation location(url);
    if (location.m_other.isEmpty() && location.m_relative.isEmpty() && !relative.isEmpty()
        && location.m_base.size() > relative.size() + 1 && location.m_base.endsWith(relative)
        && location.m_base.at(location.m_base.size() - relative.size() - 1) == QLatin1Char('/')) {
        location.m_base.chop(relative.size() + 1);
        location.m_relative = relative;
    }
    return location;
}

QString FileLocation::toLocalFile() const
{
    if (!m_other.isEmpty())
        return m_other.toLocalFile();
    if (m_relative.isEmpty())
        return m_base;
    return m_base + QLatin1Char('/') + m_relative;
}

QUrl FileLocation::url() const
{
    if (!m_other.isEmpty())
        return m_other;
    if (isEmpty())
        return QUrl();
    return QUrl::fromLocalFile(toLocalFile());
}

bool operator==(const FileLocation& a, const FileLocation& b)
{
    if (a.m_base == b.m_base && a.m_relative == b.m_relative && a.m_other == b.m_other)
        return true;
    if (!a.m_other.isEmpty() || !b.m_other.isEmpty())
        return a.url() == b.url();
    return a.toLocalFile() == b.toLocalFile();
}

}  // namespace harkwell
