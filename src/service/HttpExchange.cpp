#include "service/HttpExchange.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <qcoro/qcoronetworkreply.h>

#include <memory>

namespace harkwell {

QNetworkAccessManager& HttpExchange::sharedSession()
{
    static QNetworkAccessManager* session = new QNetworkAccessManager();  // lives as long as the process
    return *session;
}

QCoro::Task<std::expected<HttpAnswer, ClientError>> HttpExchange::send(QNetworkAccessManager& session,
                                                                       QNetworkRequest request, QByteArray method,
                                                                       QByteArray body,
                                                                       std::function<void(QNetworkReply*)> started)
{
    QNetworkReply* raw = method == "GET" && body.isEmpty() ? session.get(request)
                                                           : session.sendCustomRequest(request, method, body);
    std::unique_ptr<QNetworkReply, void (*)(QNetworkReply*)> reply(raw, [](QNetworkReply* r) { r->deleteLater(); });
    if (started)
        started(reply.get());
    co_await qCoro(reply.get()).waitForFinished();

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid())
        co_return HttpAnswer{status.toInt(), reply->readAll()};

    // The transfer time-out aborts the reply, which Qt reports as a cancellation.
    if (reply->error() == QNetworkReply::OperationCanceledError)
        co_return std::unexpected(ClientError::platform(QStringLiteral("The request timed out.")));
    if (reply->error() != QNetworkReply::NoError)
        co_return std::unexpected(ClientError::platform(reply->errorString()));
    co_return std::unexpected(ClientError::malformedResponse(QStringLiteral("no HTTP response")));
}

}  // namespace harkwell
