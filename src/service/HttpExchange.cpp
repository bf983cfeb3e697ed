#include "service/HttpExchange.h"

#include <QIODevice>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

#include <qcoro/qcoronetworkreply.h>

#include <algorithm>
#include <memory>

namespace harkwell {

namespace {

QString sizeText(qint64 bytes)
{
    if (bytes >= 1024 * 1024 && bytes % (1024 * 1024) == 0)
        return QStringLiteral("%1 MiB").arg(bytes / (1024 * 1024));
    if (bytes >= 1024 && bytes % 1024 == 0)
        return QStringLiteral("%1 KiB").arg(bytes / 1024);
    return QStringLiteral("%1 bytes").arg(bytes);
}

QCoro::Task<std::expected<HttpAnswer, ClientError>> exchange(QNetworkReply* raw, HttpLimits limits,
                                                             std::function<void(QNetworkReply*)> started)
{
    std::unique_ptr<QNetworkReply, void (*)(QNetworkReply*)> reply(raw, [](QNetworkReply* r) { r->deleteLater(); });
    QNetworkReply* const r = reply.get();

    enum class Stop { None, TooLarge, TooLong, Idle };
    auto stop = std::make_shared<Stop>(Stop::None);
    auto body = std::make_shared<QByteArray>();
    auto end = [r, stop, body](Stop why) {
        if (*stop != Stop::None || r->isFinished())
            return;
        *stop = why;
        body->clear();
        r->abort();
    };

    // Qt holds no more than this unread, whatever the server sends; the rest waits in the socket.
    r->setReadBufferSize(HttpExchange::kReadBufferBytes);

    // The answer is taken as it arrives, straight into the body, so that an answer past the cap is
    // stopped at the cap instead of being held whole first.
    auto take = [r, stop, body, limits, end] {
        if (*stop != Stop::None)
            return;
        const qint64 available = r->bytesAvailable();
        if (available <= 0)
            return;
        if (body->size() + available > limits.maxAnswerBytes) {
            end(Stop::TooLarge);
            return;
        }
        const qsizetype at = body->size();
        body->resize(at + available);
        const qint64 got = r->read(body->data() + at, available);
        body->resize(at + std::max<qint64>(got, 0));
    };
    QObject::connect(r, &QNetworkReply::metaDataChanged, r, [r, stop, body, limits, end] {
        const QVariant announced = r->header(QNetworkRequest::ContentLengthHeader);
        if (*stop != Stop::None || !announced.isValid())
            return;
        // Refused before a byte of it is read.
        if (announced.toLongLong() > limits.maxAnswerBytes)
            end(Stop::TooLarge);
        else if (announced.toLongLong() > 0)
            body->reserve(announced.toLongLong());
    });
    QObject::connect(r, &QIODevice::readyRead, r, take);

    // Owned by the reply: the abort below finishes the reply and resumes this coroutine from
    // inside the timer's own signal, so the timers must not live in the coroutine's frame.
    auto* deadline = new QTimer(r);
    deadline->setSingleShot(true);
    QObject::connect(deadline, &QTimer::timeout, r, [end] { end(Stop::TooLong); });
    if (!limits.totalAfterBody)
        deadline->start(limits.total);

    // Qt's own transfer time-out does not see a streamed body stall, so the idle limit is kept
    // here as well: every byte taken by the server or sent by it starts it again.
    auto* idle = new QTimer(r);
    idle->setSingleShot(true);
    QObject::connect(idle, &QTimer::timeout, r, [end] { end(Stop::Idle); });
    if (limits.idle.count() > 0) {
        idle->start(limits.idle);
        auto stir = [idle] { idle->start(); };
        QObject::connect(r, &QIODevice::readyRead, idle, stir);
        QObject::connect(r, &QNetworkReply::downloadProgress, idle, stir);
        QObject::connect(r, &QNetworkReply::uploadProgress, idle, stir);
    }
    if (limits.totalAfterBody) {
        QObject::connect(r, &QNetworkReply::uploadProgress, deadline, [deadline, limits](qint64 sent, qint64 total) {
            if (total > 0 && sent >= total && !deadline->isActive())
                deadline->start(limits.total);
        });
    }

    if (started)
        started(r);
    if (!r->isFinished())
        co_await qCoro(r).waitForFinished();
    deadline->stop();
    idle->stop();

    switch (*stop) {
    case Stop::TooLarge:
        co_return std::unexpected(ClientError::answerTooLarge(HttpExchange::answerTooLarge(limits.maxAnswerBytes)));
    case Stop::Idle:
        co_return std::unexpected(ClientError::platform(HttpExchange::timedOut()));
    case Stop::TooLong:
        co_return std::unexpected(ClientError::platform(HttpExchange::tookTooLong(limits.total)));
    case Stop::None:
        break;
    }

    const QVariant status = r->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid()) {
        const int code = status.toInt();
        if (code >= 300 && code <= 399) {
            const QUrl target = r->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
            co_return std::unexpected(ClientError::platform(
                HttpExchange::redirectRefused(code, target.isEmpty() ? QUrl() : r->url().resolved(target))));
        }
        take();
        if (*stop == Stop::TooLarge)
            co_return std::unexpected(ClientError::answerTooLarge(HttpExchange::answerTooLarge(limits.maxAnswerBytes)));
        co_return HttpAnswer{code, std::move(*body)};
    }

    // The idle time-out aborts the reply, which Qt reports as a cancellation.
    if (r->error() == QNetworkReply::OperationCanceledError)
        co_return std::unexpected(ClientError::platform(HttpExchange::timedOut()));
    if (r->error() != QNetworkReply::NoError)
        co_return std::unexpected(ClientError::platform(r->errorString()));
    co_return std::unexpected(ClientError::malformedResponse(QStringLiteral("no HTTP response")));
}

QNetworkRequest prepared(QNetworkRequest request, const HttpLimits& limits)
{
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(int(limits.idle.count()));
    return request;
}

}  // namespace

QNetworkAccessManager& HttpExchange::sharedSession()
{
    static QNetworkAccessManager* session = [] {
        auto* made = new QNetworkAccessManager();  // lives as long as the process
        made->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
        return made;
    }();
    return *session;
}

QString HttpExchange::redirectRefused(int status, const QUrl& target)
{
    const QString where = target.host().isEmpty() ? QStringLiteral("another address") : target.host();
    return QStringLiteral("Mirelon answered HTTP %1, a redirect to %2; redirects are not followed, so nothing was "
                          "sent there.")
        .arg(QString::number(status), where);
}

QString HttpExchange::answerTooLarge(qint64 maxBytes)
{
    return QStringLiteral("Mirelon's answer was larger than %1 and was not read.").arg(sizeText(maxBytes));
}

QString HttpExchange::timedOut() { return QStringLiteral("The request timed out."); }

QString HttpExchange::tookTooLong(std::chrono::milliseconds total)
{
    return QStringLiteral("The request was still running after %1 s and was stopped.")
        .arg(QString::number(double(total.count()) / 1000.0));
}

QCoro::Task<std::expected<HttpAnswer, ClientError>> HttpExchange::send(QNetworkAccessManager& session,
                                                                       QNetworkRequest request, QByteArray method,
                                                                       QByteArray body, HttpLimits limits,
                                                                       std::function<void(QNetworkReply*)> started)
{
    request = prepared(std::move(request), limits);
    QNetworkReply* reply = method == "GET" && body.isEmpty() ? session.get(request)
                                                             : session.sendCustomRequest(request, method, body);
    co_return co_await exchange(reply, limits, std::move(started));
}

QCoro::Task<std::expected<HttpAnswer, ClientError>> HttpExchange::send(QNetworkAccessManager& session,
                                                                       QNetworkRequest request, QByteArray method,
                                                                       QIODevice* body, HttpLimits limits,
                                                                       std::function<void(QNetworkReply*)> started)
{
    request = prepared(std::move(request), limits);
    QNetworkReply* reply = session.sendCustomRequest(request, method, body);
    co_return co_await exchange(reply, limits, std::move(started));
}

}  // namespace harkwell
