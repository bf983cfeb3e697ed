#include "support/FakeMirelonService.h"

#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace harkwell::test {

namespace {

constexpr char kApiBase[] = "/api/v1";

QByteArray json(const QJsonObject& object) { return QJsonDocument(object).toJson(QJsonDocument::Compact); }

FakeReply jsonReply(int status, const QJsonObject& object) { return FakeReply{status, json(object), 0, {}}; }

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 402: return "Payment Required";
    case 404: return "Not Found";
    case 411: return "Length Required";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

QStringList decodedSegments(const QByteArray& rawPath)
{
    QStringList segments;
    for (const QByteArray& raw : rawPath.split('/'))
        segments.append(QString::fromUtf8(QByteArray::fromPercentEncoding(raw)));
    return segments;
}

// The decoded segments after the API base, or nothing when the path lies outside it.
std::optional<QStringList> apiSegments(const QByteArray& rawPath)
{
    const QByteArray base = QByteArray(kApiBase) + '/';
    if (!rawPath.startsWith(base))
        return std::nullopt;
    return decodedSegments(rawPath.mid(base.size()));
}

bool segmentsMatch(const QString& pattern, const QStringList& segments)
{
    const QStringList wanted = pattern.split(QLatin1Char('/'));
    for (qsizetype i = 0; i < wanted.size(); ++i) {
        if (wanted[i] == QLatin1String("**"))
            return true;
        if (i >= segments.size())
            return false;
        if (wanted[i] != QLatin1String("*") && wanted[i] != segments[i])
            return false;
    }
    return wanted.size() == segments.size();
}

}  // namespace

bool fakeRouteMatches(const QString& pattern, const QString& path)
{
    return segmentsMatch(pattern, path.split(QLatin1Char('/')));
}

// ---- RecordedRequest -------------------------------------------------------------------------

QByteArray RecordedRequest::header(const QByteArray& name) const
{
    for (const auto& [key, value] : headers)
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    return {};
}

bool RecordedRequest::hasHeader(const QByteArray& name) const
{
    for (const auto& header : headers)
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

QList<FormPart> RecordedRequest::formParts() const
{
    QList<FormPart> parts;
    const QByteArray contentType = header("Content-Type");
    const qsizetype at = contentType.indexOf("boundary=");
    if (at < 0)
        return parts;
    const QByteArray delimiter = "--" + contentType.mid(at + 9).trimmed();
    const QByteArray separator = "\r\n" + delimiter;

    qsizetype position = body.indexOf(delimiter);
    if (position != 0)
        return parts;
    position += delimiter.size();
    while (position < body.size()) {
        if (body.mid(position, 2) == "--")
            break;  // the closing delimiter
        if (body.mid(position, 2) != "\r\n")
            return {};
        position += 2;
        const qsizetype headersEnd = body.indexOf("\r\n\r\n", position);
        if (headersEnd < 0)
            return {};
        FormPart part;
        for (const QByteArray& line : body.mid(position, headersEnd - position).split('\n')) {
            const QByteArray trimmed = line.trimmed();
            if (trimmed.toLower().startsWith("content-type:"))
                part.contentType = trimmed.mid(13).trimmed();
            if (!trimmed.toLower().startsWith("content-disposition:"))
                continue;
            for (const QByteArray& parameter : trimmed.split(';')) {
                const QByteArray p = parameter.trimmed();
                auto quoted = [&](const char* key) -> std::optional<QString> {
                    const QByteArray prefix = QByteArray(key) + "=\"";
                    if (!p.startsWith(prefix) || !p.endsWith('"'))
                        return std::nullopt;
                    return QString::fromUtf8(p.mid(prefix.size(), p.size() - prefix.size() - 1));
                };
                if (auto name = quoted("name"))
                    part.name = *name;
                if (auto fileName = quoted("filename"))
                    part.fileName = *fileName;
            }
        }
        const qsizetype dataStart = headersEnd + 4;
        const qsizetype dataEnd = body.indexOf(separator, dataStart);
        if (dataEnd < 0)
            return {};
        part.data = body.mid(dataStart, dataEnd - dataStart);
        parts.append(part);
        position = dataEnd + separator.size();
    }
    return parts;
}

std::optional<FormPart> RecordedRequest::formPart(const QString& name) const
{
    for (const FormPart& part : formParts())
        if (part.name == name)
            return part;
    return std::nullopt;
}

// ---- the server --------------------------------------------------------------------------------

struct FakeMirelonService::Connection {
    QByteArray buffer;
    bool answering = false;  // one exchange at a time on a connection, as HTTP/1.1 without pipelining
};

FakeMirelonService::FakeMirelonService(QObject* parent) : QObject(parent), m_server(new QTcpServer(this))
{
    m_started.start();
    if (!m_server->listen(QHostAddress::LocalHost, 0))
        qFatal("FakeMirelonService: cannot listen on 127.0.0.1: %s", qPrintable(m_server->errorString()));
    connect(m_server, &QTcpServer::newConnection, this, &FakeMirelonService::onNewConnection);
    m_verificationUrl = QStringLiteral("https://mirelon.example/activate");
}

FakeMirelonService::~FakeMirelonService()
{
    for (auto it = m_connections.begin(); it != m_connections.end(); ++it) {
        it.key()->disconnect(this);
        delete it.value();
    }
}

quint16 FakeMirelonService::port() const { return m_server->serverPort(); }

QUrl FakeMirelonService::baseUrl() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(QLatin1String(kApiBase)));
}

void FakeMirelonService::script(const QByteArray& method, const QString& path, QList<FakeReply> replies,
                                bool repeatLast)
{
    m_routes.removeIf([&](const Route& route) { return route.method == method && route.pattern == path; });
    m_routes.append(Route{method, path, std::move(replies), repeatLast});
}

void FakeMirelonService::clearScripts() { m_routes.clear(); }

void FakeMirelonService::addSource(const FakeSource& source) { m_sources.prepend(source); }

QList<RecordedRequest> FakeMirelonService::requests(const QByteArray& method, const QString& pathPattern) const
{
    QList<RecordedRequest> matching;
    for (const RecordedRequest& request : m_requests) {
        const auto segments = apiSegments(request.rawPath);
        if (request.method == method && segments && segmentsMatch(pathPattern, *segments))
            matching.append(request);
    }
    return matching;
}

void FakeMirelonService::clearRequests()
{
    m_requests.clear();
    m_peakInFlight = m_inFlight;
}

void FakeMirelonService::onNewConnection()
{
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        m_connections.insert(socket, new Connection);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            delete m_connections.take(socket);
            socket->deleteLater();
        });
    }
}

void FakeMirelonService::onReadyRead(QTcpSocket* socket)
{
    Connection* connection = m_connections.value(socket);
    if (!connection)
        return;
    connection->buffer.append(socket->readAll());
    if (connection->answering)
        return;

    const qsizetype headerEnd = connection->buffer.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return;
    const QList<QByteArray> lines = connection->buffer.left(headerEnd).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    if (requestLine.size() != 3) {
        socket->disconnectFromHost();
        return;
    }

    RecordedRequest request;
    request.method = requestLine[0];
    const QByteArray target = requestLine[1];
    const qsizetype question = target.indexOf('?');
    request.rawPath = question < 0 ? target : target.left(question);
    request.rawQuery = question < 0 ? QByteArray() : target.mid(question + 1);
    request.query = QUrlQuery(QString::fromUtf8(request.rawQuery));
    if (const auto segments = apiSegments(request.rawPath))
        request.path = segments->join(QLatin1Char('/'));
    qsizetype contentLength = 0;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        request.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
        if (line.left(colon).trimmed().compare("Content-Length", Qt::CaseInsensitive) == 0)
            contentLength = line.mid(colon + 1).trimmed().toLongLong();
    }
    if (request.header("Transfer-Encoding").toLower().contains("chunked")) {
        connection->buffer.clear();
        connection->answering = true;
        send(socket, FakeReply{411, "chunked bodies are not understood here", 0, {}});
        return;
    }
    if (connection->buffer.size() < headerEnd + 4 + contentLength)
        return;
    request.body = connection->buffer.mid(headerEnd + 4, contentLength);
    connection->buffer.remove(0, headerEnd + 4 + contentLength);
    connection->answering = true;
    handle(socket, std::move(request));
}

void FakeMirelonService::handle(QTcpSocket* socket, RecordedRequest request)
{
    ++m_inFlight;
    m_peakInFlight = std::max(m_peakInFlight, m_inFlight);
    request.arrivedMs = m_started.elapsed();
    request.inFlightAtArrival = m_inFlight;
    m_requests.append(request);
    emit requestArrived(request);

    const FakeInterference interference = m_interference ? m_interference(request) : FakeInterference{};
    FakeReply reply = interference.instead ? *interference.instead : answer(request);
    reply.delayMs += interference.extraDelayMs;
    reply.dropConnection = reply.dropConnection || interference.dropAfterHandling;
    if (reply.delayMs <= 0) {
        send(socket, reply);
        return;
    }
    QPointer<QTcpSocket> guarded(socket);
    QTimer::singleShot(reply.delayMs, this, [this, guarded, reply] {
        if (guarded)
            send(guarded, reply);
        else
            --m_inFlight;
    });
}

void FakeMirelonService::send(QTcpSocket* socket, const FakeReply& reply)
{
    --m_inFlight;
    if (reply.dropConnection) {
        socket->abort();
        return;
    }
    QByteArray response = "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reasonPhrase(reply.status) + "\r\n";
    bool hasContentType = false;
    for (const auto& [name, value] : reply.headers) {
        response += name + ": " + value + "\r\n";
        hasContentType = hasContentType || name.compare("Content-Type", Qt::CaseInsensitive) == 0;
    }
    if (!hasContentType)
        response += "Content-Type: application/json\r\n";
    if (reply.announceLength)
        response += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\nConnection: keep-alive\r\n\r\n";
    else
        response += "Connection: close\r\n\r\n";
    if (reply.dripMs > 0) {
        socket->write(response);
        auto* drip = new QTimer(socket);
        QObject::connect(drip, &QTimer::timeout, socket, [socket, drip, body = reply.body, at = qsizetype(0)]() mutable {
            if (at < body.size()) {
                socket->write(body.mid(at++, 1));
                return;
            }
            drip->stop();
            socket->disconnectFromHost();
        });
        drip->start(reply.dripMs);
        return;
    }
    response += reply.body;
    socket->write(response);
    if (!reply.announceLength) {
        socket->disconnectFromHost();
        return;
    }

    if (Connection* connection = m_connections.value(socket)) {
        connection->answering = false;
        if (!connection->buffer.isEmpty())
            QTimer::singleShot(0, this, [this, guarded = QPointer<QTcpSocket>(socket)] {
                if (guarded)
                    onReadyRead(guarded);
            });
    }
}

FakeReply FakeMirelonService::answer(const RecordedRequest& request)
{
    const auto segments = apiSegments(request.rawPath);
    if (segments) {
        for (Route& route : m_routes) {
            if (route.method != request.method || !segmentsMatch(route.pattern, *segments) || route.replies.isEmpty())
                continue;
            if (route.repeatLast && route.replies.size() == 1)
                return route.replies.first();
            return route.replies.takeFirst();
        }
    }
    return defaultAnswer(request);
}

FakeSource* FakeMirelonService::sourceFor(const QString& cacheKey)
{
    for (FakeSource& source : m_sources)
        if (source.cacheKey == cacheKey)
            return &source;
    return nullptr;
}

bool FakeMirelonService::taskDone(const QString& task) const
{
    if (m_taskPolls.value(task) > m_taskPollsBeforeKey)
        return true;
    return m_taskReadyAfterMs >= 0 && m_started.elapsed() - m_taskUploadedMs.value(task) >= m_taskReadyAfterMs;
}

FakeReply FakeMirelonService::defaultAnswer(const RecordedRequest& request)
{
    const FakeReply notFound = jsonReply(404, {{QStringLiteral("detail"), QStringLiteral("Not found")}});
    const auto segments = apiSegments(request.rawPath);
    if (!segments)
        return notFound;
    const QStringList& s = *segments;
    const QByteArray& method = request.method;

    if (method == "POST" && s == QStringList{QStringLiteral("sources")})
        return upload(request);
    if (method == "GET" && s == QStringList{QStringLiteral("sources")})
        return listing(request);

    if (method == "GET" && s.size() == 3 && s[0] == QLatin1String("sources") && s[1] == QLatin1String("tasks")) {
        if (!m_taskKeys.contains(s[2]))
            return notFound;
        ++m_taskPolls[s[2]];
        if (!taskDone(s[2]))
            return jsonReply(200, {{QStringLiteral("status"), QStringLiteral("processing")}});
        const QString key = m_taskKeys.value(s[2]);
        return jsonReply(200, {{QStringLiteral("status"), QStringLiteral("completed")},
                               {QStringLiteral("cache_key"), key},
                               {QStringLiteral("result"), QJsonObject{{QStringLiteral("cache_key"), key}}}});
    }

    if (method == "GET" && s.size() == 3 && s[0] == QLatin1String("sources") && s[2] == QLatin1String("status")) {
        FakeSource* source = sourceFor(s[1]);
        if (!source)
            return notFound;
        const QString status = source->statusSequence.isEmpty()
            ? QStringLiteral("completed")
            : source->statusSequence.value(std::min<qsizetype>(source->statusPolls, source->statusSequence.size() - 1));
        ++source->statusPolls;
        return jsonReply(200, {{QStringLiteral("status"),
                                QJsonObject{{QStringLiteral("transcription"),
                                             QJsonObject{{QStringLiteral("status"), status},
                                                         {QStringLiteral("model"), QStringLiteral("fake-1")},
                                                         {QStringLiteral("duration"), source->duration},
                                                         {QStringLiteral("word_count"), source->wordCount}}}}}});
    }

    if (method == "GET" && s.size() == 2 && s[0] == QLatin1String("sources")) {
        FakeSource* source = sourceFor(s[1]);
        if (!source)
            return notFound;
        QJsonObject result{{QStringLiteral("text"), source->text},
                           {QStringLiteral("original_filename"), source->originalFilename},
                           {QStringLiteral("duration"), source->duration},
                           {QStringLiteral("word_count"), source->wordCount},
                           {QStringLiteral("model"), QStringLiteral("fake-1")},
                           {QStringLiteral("status"), QStringLiteral("completed")}};
        if (!source->title.isEmpty())
            result.insert(QStringLiteral("llm_title"), source->title);
        return jsonReply(200, {{QStringLiteral("success"), true},
                               {QStringLiteral("cache_key"), source->cacheKey},
                               {QStringLiteral("result"), result}});
    }

    if (method == "POST" && s == QStringList{QStringLiteral("auth"), QStringLiteral("devices"), QStringLiteral("init")}) {
        const int n = ++m_pairingsStarted;
        return jsonReply(200, {{QStringLiteral("device_code"), QStringLiteral("dc-%1").arg(n)},
                               {QStringLiteral("user_code"), QStringLiteral("ABCD-%1").arg(n, 4, 10, QLatin1Char('0'))},
                               {QStringLiteral("verification_url"), m_verificationUrl},
                               {QStringLiteral("interval"), m_pairingInterval},
                               {QStringLiteral("expires_in"), m_pairingExpiresIn}});
    }

    if (method == "POST" && s == QStringList{QStringLiteral("auth"), QStringLiteral("devices"), QStringLiteral("token")}) {
        const QString deviceCode =
            QJsonDocument::fromJson(request.body).object().value(QStringLiteral("device_code")).toString();
        if (deviceCode.isEmpty())
            return jsonReply(400, {{QStringLiteral("detail"), QStringLiteral("device_code is required")}});
        const int polls = ++m_pairingPolls[deviceCode];
        if (polls <= m_pairingPendingPolls)
            return jsonReply(200, {{QStringLiteral("status"), QStringLiteral("authorization_pending")}});
        QJsonObject answer{{QStringLiteral("status"), m_pairingOutcome}};
        if (m_pairingOutcome == QLatin1String("approved")) {
            answer.insert(QStringLiteral("token"), m_pairingToken);
            answer.insert(QStringLiteral("scopes"), QJsonArray{QStringLiteral("kb:read"), QStringLiteral("kb:write")});
            answer.insert(QStringLiteral("device_id"), QStringLiteral("device-1"));
        }
        return jsonReply(200, answer);
    }

    return notFound;
}

FakeReply FakeMirelonService::upload(const RecordedRequest& request)
{
    const auto file = request.formPart(QStringLiteral("file"));
    const auto contentSource = request.formPart(QStringLiteral("content_source"));
    if (!file || !contentSource || !file->fileName)
        return jsonReply(400, {{QStringLiteral("detail"), QStringLiteral("file and content_source are required")}});

    const int n = m_nextId++;
    FakeSource source;
    source.cacheKey = QStringLiteral("key-%1").arg(n);
    source.originalFilename = *file->fileName;
    if (m_uploadsAnswerWithTask) {
        source.task = QStringLiteral("task-%1").arg(n);
        m_taskKeys.insert(source.task, source.cacheKey);
        m_taskUploadedMs.insert(source.task, m_started.elapsed());
    }
    addSource(source);

    if (m_uploadsAnswerWithTask)
        return jsonReply(200, {{QStringLiteral("status"), QStringLiteral("queued")}, {QStringLiteral("task_id"), source.task}});
    return jsonReply(200, {{QStringLiteral("status"), QStringLiteral("processing")},
                           {QStringLiteral("cache_key"), source.cacheKey}});
}

FakeReply FakeMirelonService::listing(const RecordedRequest& request)
{
    const int limit = request.query.hasQueryItem(QStringLiteral("limit"))
        ? request.query.queryItemValue(QStringLiteral("limit")).toInt()
        : 100;
    const bool includeDeleted = request.query.queryItemValue(QStringLiteral("include_deleted")) == QLatin1String("true");

    // A task still under way is no source yet.
    QList<const FakeSource*> visible;
    for (const FakeSource& source : m_sources)
        if ((includeDeleted || !source.deleted) && (source.task.isEmpty() || taskDone(source.task)))
            visible.append(&source);

    qsizetype start = 0;
    if (request.query.hasQueryItem(QStringLiteral("before"))) {
        const QString cursor = request.query.queryItemValue(QStringLiteral("before"), QUrl::FullyDecoded);
        start = visible.size();
        for (qsizetype i = 0; i < visible.size(); ++i)
            if (visible[i]->cacheKey == cursor)
                start = i + 1;
    }

    QJsonArray files;
    const qsizetype end = std::min<qsizetype>(visible.size(), start + std::max(limit, 1));
    for (qsizetype i = start; i < end; ++i) {
        const FakeSource& source = *visible[i];
        QJsonObject entry{{QStringLiteral("cache_key"), source.cacheKey},
                          {QStringLiteral("original_filename"), source.originalFilename},
                          {QStringLiteral("status"), source.status},
                          {QStringLiteral("created_at"), source.createdAt},
                          {QStringLiteral("duration"), source.duration},
                          {QStringLiteral("is_deleted"), source.deleted}};
        if (!source.title.isEmpty())
            entry.insert(QStringLiteral("llm_title"), source.title);
        files.append(entry);
    }
    const bool hasMore = end < visible.size();
    QJsonObject page{{QStringLiteral("files"), files},
                     {QStringLiteral("count"), files.size()},
                     {QStringLiteral("has_more"), hasMore}};
    if (hasMore)
        page.insert(QStringLiteral("next_cursor"), visible[end - 1]->cacheKey);
    return jsonReply(200, page);
}

}  // namespace harkwell::test
