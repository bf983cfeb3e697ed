#include "service/MirelonClient.h"

#include "foundation/JsonFields.h"
#include "foundation/Settings.h"
#include "platform/clock/Clock.h"
#include "platform/identity/Identity.h"
#include "service/JsonBody.h"
#include "service/Keychain.h"
#include "service/SourceListResponse.h"
#include "service/UploadBody.h"
#include "service/Utf8Text.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QUuid>
#include <QtConcurrent/QtConcurrentRun>

#include <qcoro/qcorofuture.h>

namespace harkwell {

namespace {

constexpr char kClientType[] = "harkwell-mac";
constexpr char kClientPlatform[] = "macos_menubar";
const QByteArray kCrlf = QByteArrayLiteral("\r\n");

QString bodyText(const QByteArray& body) { return Utf8Text::strict(body).value_or(QStringLiteral("<binary>")); }

// A name that goes between double quotes in a part header: a quote or a line break in it would end
// the header early and let the name write headers of its own, so those are percent-escaped the
// way browsers send them.
QByteArray quotedHeaderValue(const QString& value)
{
    QByteArray bytes = value.toUtf8();
    bytes.replace('"', "%22").replace('\r', "%0D").replace('\n', "%0A");
    return bytes;
}

// What an upload needs before it waits at the gate, found off the main thread: the token read may
// wait on a locked keyring, and the file's checks on a slow disk.
struct UploadStart {
    std::optional<QString> authorization;
    bool readable = false;
    qint64 size = 0;
};

UploadStart prepareUpload(const QString& path)
{
    UploadStart start;
    start.authorization = Keychain::authorizationHeader();
    if (!start.authorization || path.isEmpty())
        return start;
    const QFileInfo info(path);
    start.readable = info.isFile() && info.isReadable();
    start.size = info.size();
    return start;
}

// "", "." and ".." cannot be one segment of their own: URLs read "%2E" as ".", and every HTTP
// stack folds "sources/../status" into "status" and "sources//status" into something else.
bool isUnsendableSegment(const QString& value)
{
    return value.isEmpty() || value == QLatin1String(".") || value == QLatin1String("..");
}

}  // namespace

MirelonClient::MirelonClient(QUrl baseUrl, QNetworkAccessManager& session, Clock& clock)
    : m_baseUrl(std::move(baseUrl)), m_session(&session), m_clock(&clock)
{
}

QUrl MirelonClient::configuredBaseUrl()
{
    const std::optional<QString> configured = Settings::shared().settings().mirelonBaseUrl;
    if (configured && !configured->trimmed().isEmpty())
        return QUrl(configured->trimmed());
    return QUrl(QString::fromLatin1(identity::kDefaultMirelonBaseUrl));
}

MirelonClient MirelonClient::fromSettings()
{
    return MirelonClient(configuredBaseUrl(), HttpExchange::sharedSession(), Clock::system());
}

QString MirelonClient::clientVersion()
{
    const QString version = QString::fromLatin1(identity::kVersion);
    return version.isEmpty() ? QStringLiteral("0.0.0") : version;
}

UploadGate& MirelonClient::uploadGate()
{
    static UploadGate gate;
    return gate;
}

QString MirelonClient::mimeType(const QString& fileName)
{
    const QString extension = QFileInfo(fileName).suffix().toLower();
    if (extension == QLatin1String("m4a"))
        return QStringLiteral("audio/mp4");
    if (extension == QLatin1String("mp3"))
        return QStringLiteral("audio/mpeg");
    if (extension == QLatin1String("wav"))
        return QStringLiteral("audio/wav");
    if (extension == QLatin1String("aiff") || extension == QLatin1String("aif"))
        return QStringLiteral("audio/aiff");
    if (extension == QLatin1String("caf"))
        return QStringLiteral("audio/x-caf");
    return QStringLiteral("application/octet-stream");
}

QUrl MirelonClient::address(const QUrl& base, const QStringList& segments, const QList<QPair<QString, QString>>& query)
{
    QByteArray path = base.path(QUrl::FullyEncoded).toUtf8();
    while (path.endsWith('/'))
        path.chop(1);
    for (const QString& s : segments) {
        if (isUnsendableSegment(s))
            return QUrl();
        path += '/' + QUrl::toPercentEncoding(s);
    }

    QByteArray encodedQuery;
    for (const auto& [key, value] : query) {
        if (!encodedQuery.isEmpty())
            encodedQuery += '&';
        encodedQuery += QUrl::toPercentEncoding(key) + '=' + QUrl::toPercentEncoding(value);
    }

    QUrl url = base;
    url.setPath(QString::fromLatin1(path), QUrl::StrictMode);
    url.setQuery(query.isEmpty() ? QString() : QString::fromLatin1(encodedQuery), QUrl::StrictMode);
    url.setFragment(QString());
    return url;
}

QByteArray MirelonClient::multipartHead(const QString& boundary, const QString& contentSource,
                                        const std::optional<QString>& language, const QStringList& tags,
                                        const QMap<QString, QString>& sourceMetadata, const QString& fileName,
                                        const QString& mimeType)
{
    const QByteArray delimiter = "--" + boundary.toUtf8() + kCrlf;
    QByteArray body;
    auto field = [&](const char* name, const QString& value) {
        body += delimiter;
        body += "Content-Disposition: form-data; name=\"" + QByteArray(name) + "\"" + kCrlf + kCrlf;
        body += value.toUtf8() + kCrlf;
    };

    field("content_source", contentSource);
    if (language)
        field("language", *language);
    if (!tags.isEmpty())
        field("tags", tags.join(QLatin1Char(',')));
    if (!sourceMetadata.isEmpty()) {
        QJsonObject metadata;
        for (auto it = sourceMetadata.cbegin(); it != sourceMetadata.cend(); ++it)
            metadata.insert(it.key(), it.value());
        field("content_source_metadata", QString::fromUtf8(QJsonDocument(metadata).toJson(QJsonDocument::Compact)));
    }
    body += delimiter;
    body += "Content-Disposition: form-data; name=\"file\"; filename=\"" + quotedHeaderValue(fileName) + "\"" + kCrlf;
    body += "Content-Type: " + mimeType.toUtf8() + kCrlf + kCrlf;
    return body;
}

QByteArray MirelonClient::multipartTail(const QString& boundary)
{
    return kCrlf + "--" + boundary.toUtf8() + "--" + kCrlf;
}

HttpLimits MirelonClient::uploadLimits() const
{
    return HttpLimits{m_limits.json.maxAnswerBytes, m_limits.uploadIdle, m_limits.json.total, true};
}

QString MirelonClient::tooLargeToSend(const QString& path, qint64 bytes, qint64 maxBytes)
{
    return QStringLiteral("%1 is %2 bytes, larger than the %3 bytes that can be sent; it is not uploaded.")
        .arg(path, QString::number(bytes), QString::number(maxBytes));
}

std::expected<void, ClientError> MirelonClient::checkOk(const HttpAnswer& answer)
{
    if (answer.status == 402) {
        const auto object = JsonBody::object(answer.body);
        if (!object)
            return std::unexpected(ClientError::planRequired(std::nullopt, std::nullopt));
        JsonFields fields(*object);
        (void)fields.optionalString(QStringLiteral("error"));
        auto plan = fields.optionalString(QStringLiteral("plan"));
        auto message = fields.optionalString(QStringLiteral("message"));
        if (!fields.ok())
            return std::unexpected(ClientError::planRequired(std::nullopt, std::nullopt));
        return std::unexpected(ClientError::planRequired(std::move(plan), std::move(message)));
    }
    if (answer.status >= 200 && answer.status <= 299)
        return {};
    return std::unexpected(ClientError::requestFailed(answer.status, bodyText(answer.body)));
}

QNetworkRequest MirelonClient::authorisedRequest(const QUrl& url, const QString& authorization,
                                                 std::chrono::milliseconds timeout) const
{
    QNetworkRequest request(url);
    request.setRawHeader("Authorization", authorization.toUtf8());
    request.setRawHeader("X-Client-Type", kClientType);
    request.setRawHeader("X-Client-Version", clientVersion().toUtf8());
    request.setRawHeader("X-Client-Platform", kClientPlatform);
    request.setTransferTimeout(int(timeout.count()));
    return request;
}

QCoro::Task<MirelonClient::Result<HttpAnswer>> MirelonClient::get(QUrl url, HttpLimits limits)
{
    // A locked keyring can keep the read waiting on its unlock prompt.
    QFuture<std::optional<QString>> reading = QtConcurrent::run([] { return Keychain::authorizationHeader(); });
    const std::optional<QString> authorization = co_await reading;
    if (!authorization)
        co_return std::unexpected(ClientError::missingCredentials());
    const QNetworkRequest request = authorisedRequest(url, *authorization, limits.idle);
    auto answer = co_await HttpExchange::send(*m_session, request, "GET", QByteArray(), limits);
    if (!answer)
        co_return std::unexpected(answer.error());
    if (auto ok = checkOk(*answer); !ok)
        co_return std::unexpected(ok.error());
    co_return *answer;
}

QCoro::Task<MirelonClient::Result<UploadResult>> MirelonClient::uploadAudio(QUrl fileUrl, QString contentSource,
                                                                            std::optional<QString> language,
                                                                            QStringList tags,
                                                                            QMap<QString, QString> sourceMetadata)
{
    const QString path = fileUrl.toLocalFile();
    QFuture<UploadStart> preparing = QtConcurrent::run(&prepareUpload, path);
    const UploadStart start = co_await preparing;
    if (!start.authorization)
        co_return std::unexpected(ClientError::missingCredentials());
    if (!start.readable)
        co_return std::unexpected(ClientError::audioFileNotReadable(path.isEmpty() ? fileUrl.path() : path));
    if (start.size > m_limits.maxUploadBytes)
        co_return std::unexpected(ClientError::platform(tooLargeToSend(path, start.size, m_limits.maxUploadBytes)));

    const QString boundary =
        QStringLiteral("----HarkwellBoundary") + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    const HttpLimits limits = uploadLimits();
    QNetworkRequest request = authorisedRequest(address(m_baseUrl, {QStringLiteral("sources")}), *start.authorization,
                                                limits.idle);
    request.setRawHeader("Content-Type", "multipart/form-data; boundary=" + boundary.toUtf8());
    const QString fileName = QFileInfo(path).fileName();

    co_await uploadGate().acquire();
    UploadGate::Lease lease(uploadGate());

    // The file's bytes are read as they go out, on the body's own thread.
    UploadBody body(multipartHead(boundary, contentSource, language, tags, sourceMetadata, fileName, mimeType(fileName)),
                    path, start.size, multipartTail(boundary));
    request.setHeader(QNetworkRequest::ContentLengthHeader, body.size());
    if (!body.open(QIODevice::ReadOnly))
        co_return std::unexpected(ClientError::audioFileNotReadable(path));
    auto answer = co_await HttpExchange::send(*m_session, request, "POST", &body, limits);
    // The transport knows only that the body stopped; the body knows why (a file cut short).
    if (const QString failure = body.failure(); !answer && !failure.isEmpty())
        co_return std::unexpected(ClientError::platform(failure));
    if (!answer)
        co_return std::unexpected(answer.error());
    if (auto ok = checkOk(*answer); !ok)
        co_return std::unexpected(ok.error());
    auto result = UploadResult::fromJson(answer->body);
    if (!result)
        co_return std::unexpected(ClientError::malformedResponse(QStringLiteral("upload: %1 -- body: %2")
                                                                     .arg(result.error().text,
                                                                          bodyText(answer->body.left(300)))));
    co_return *result;
}

QCoro::Task<std::optional<QString>> MirelonClient::cacheKey(QString taskId, std::chrono::milliseconds timeout)
{
    const QDateTime deadline = m_clock->now().addMSecs(timeout.count());
    const QUrl url = address(m_baseUrl, {QStringLiteral("sources"), QStringLiteral("tasks"), taskId});
    if (!url.isValid())
        co_return std::nullopt;
    while (m_clock->now() < deadline) {
        const auto body = co_await get(url, m_limits.json);
        if (body) {
            if (const auto object = JsonBody::object(body->body)) {
                JsonFields fields(*object);
                (void)fields.optionalString(QStringLiteral("status"));
                const auto topKey = fields.optionalString(QStringLiteral("cache_key"));
                std::optional<QString> resultKey;
                if (const auto result = fields.optionalObject(QStringLiteral("result"))) {
                    JsonFields inner(*result, QStringLiteral("result"));
                    resultKey = inner.optionalString(QStringLiteral("cache_key"));
                    if (!inner.ok())
                        fields.fail(*inner.error());
                }
                // A top-level key, even an empty one, outranks the one inside "result".
                const std::optional<QString> key = topKey ? topKey : resultKey;
                if (fields.ok() && key && !key->isEmpty())
                    co_return key;
            }
        }
        co_await m_clock->sleep(kTaskRetryInterval);
    }
    co_return std::nullopt;
}

QCoro::Task<MirelonClient::Result<PipelineStatus>> MirelonClient::status(QString cacheKey)
{
    const QUrl url = address(m_baseUrl, {QStringLiteral("sources"), cacheKey, QStringLiteral("status")});
    if (!url.isValid())
        co_return std::unexpected(ClientError::malformedResponse(QStringLiteral("status: could not build URL")));
    const auto body = co_await get(url, m_limits.json);
    if (!body)
        co_return std::unexpected(body.error());
    auto status = PipelineStatus::fromJson(body->body);
    if (!status)
        co_return std::unexpected(ClientError::malformedResponse(QStringLiteral("status: ") + status.error().text));
    co_return *status;
}

QCoro::Task<MirelonClient::Result<SourceDetail>> MirelonClient::source(QString cacheKey)
{
    const QUrl url = address(m_baseUrl, {QStringLiteral("sources"), cacheKey});
    if (!url.isValid())
        co_return std::unexpected(ClientError::malformedResponse(QStringLiteral("source: could not build URL")));
    const auto body = co_await get(url, m_limits.transcript);
    if (!body)
        co_return std::unexpected(body.error());
    auto detail = SourceDetail::fromJson(body->body);
    if (!detail)
        co_return std::unexpected(ClientError::malformedResponse(QStringLiteral("source: ") + detail.error().text));
    co_return *detail;
}

QList<QPair<QString, QString>> MirelonClient::pageQuery(bool includeDeleted, const std::optional<QString>& cursor)
{
    QList<QPair<QString, QString>> query{{QStringLiteral("limit"), QString::number(kPageSize)}};
    if (includeDeleted)
        query.append({QStringLiteral("include_deleted"), QStringLiteral("true")});
    if (cursor)
        query.append({QStringLiteral("before"), *cursor});
    return query;
}

QCoro::Task<MirelonClient::Result<QList<SourceMetadata>>> MirelonClient::listAllSources(bool includeDeleted)
{
    QList<SourceMetadata> all;
    std::optional<QString> cursor;
    for (int page = 1;; ++page) {
        const QUrl url = address(m_baseUrl, {QStringLiteral("sources")}, pageQuery(includeDeleted, cursor));
        if (!url.isValid())
            co_return std::unexpected(ClientError::malformedResponse(QStringLiteral("list: could not build URL")));
        const auto body = co_await get(url, m_limits.page);
        if (!body)
            co_return std::unexpected(body.error());
        auto decoded = SourceListResponse::fromJson(body->body);
        if (!decoded)
            co_return std::unexpected(ClientError::malformedResponse(QStringLiteral("list: ") + decoded.error().text));
        all.append(std::move(decoded->files));
        cursor = decoded->has_more ? decoded->next_cursor : std::nullopt;
        if (!cursor)
            co_return all;
        if (page >= kMaxPages)
            co_return std::unexpected(
                ClientError::malformedResponse(QStringLiteral("list: pagination exceeded 200 pages")));
    }
}

QCoro::Task<std::optional<QString>> MirelonClient::currentKey(QString uploadedFilename, QString excluding, int maxPages)
{
    std::optional<QString> cursor;
    for (int page = 1; page <= maxPages; ++page) {
        const QUrl url = address(m_baseUrl, {QStringLiteral("sources")}, pageQuery(false, cursor));
        if (!url.isValid())
            co_return std::nullopt;
        const auto body = co_await get(url, m_limits.page);
        if (!body)
            co_return std::nullopt;
        const auto decoded = SourceListResponse::fromJson(body->body);
        if (!decoded)
            co_return std::nullopt;
        for (const SourceMetadata& entry : decoded->files) {
            if (entry.original_filename != uploadedFilename)
                continue;
            const QString status = entry.status.value_or(QString()).toLower();
            if (status == QLatin1String("failed") || status == QLatin1String("error"))
                continue;
            if (entry.is_deleted.value_or(false) || entry.cache_key.isEmpty() || entry.cache_key == excluding)
                continue;
            co_return entry.cache_key;
        }
        if (!decoded->has_more || !decoded->next_cursor)
            co_return std::nullopt;
        cursor = decoded->next_cursor;
    }
    co_return std::nullopt;
}

}  // namespace harkwell
