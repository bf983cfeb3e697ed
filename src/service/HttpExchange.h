#pragma once
// One request and its answer over Qt Network, awaited. An answer with any HTTP status is an
// answer; a failure to get one (no connection, a time-out, a refused certificate) is an error,
// carried with the transport's own text. Redirects are never followed, since each request
// carries the device token for the configured host only: a 3xx answer is an error of its own. An
// answer larger than the request's cap, or a request still running at its total deadline, is
// stopped, its bytes dropped.

#include "service/ClientError.h"

#include <QByteArray>
#include <QNetworkRequest>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <expected>
#include <functional>

class QIODevice;
class QNetworkAccessManager;
class QNetworkReply;

namespace harkwell {

struct HttpAnswer {
    int status = 0;
    QByteArray body;
};

struct HttpLimits {
    qint64 maxAnswerBytes = 0;        // the body of any answer, error answers included
    std::chrono::milliseconds idle{}; // no byte moving either way for this long ends the request
    std::chrono::milliseconds total{};// the whole exchange, however busy
    // An upload's sending takes as long as the link needs, held only to the idle limit; the whole
    // limit then counts from the moment its body has gone out, for the answer alone.
    bool totalAfterBody = false;
};

class HttpExchange {
public:
    // What a reply may hold unread: past it Qt stops taking bytes off the socket until they are
    // read, so a server that sends faster than the answer is taken cannot fill memory.
    static constexpr qint64 kReadBufferBytes = 1024 * 1024;

    // Sends `method` with `body` (none when empty and the method is GET). `started`, when given,
    // learns the reply while it is in flight, so that its owner can abort it.
    static QCoro::Task<std::expected<HttpAnswer, ClientError>> send(
        QNetworkAccessManager& session, QNetworkRequest request, QByteArray method, QByteArray body,
        HttpLimits limits, std::function<void(QNetworkReply*)> started = {});
    // The same with a body read from `body` as the request goes out; the request must carry its
    // Content-Length, and `body` must outlive the answer.
    static QCoro::Task<std::expected<HttpAnswer, ClientError>> send(
        QNetworkAccessManager& session, QNetworkRequest request, QByteArray method, QIODevice* body,
        HttpLimits limits, std::function<void(QNetworkReply*)> started = {});

    // The session every client shares, made on first use; main thread only.
    static QNetworkAccessManager& sharedSession();

    static QString redirectRefused(int status, const QUrl& target);
    static QString answerTooLarge(qint64 maxBytes);
    static QString tookTooLong(std::chrono::milliseconds total);
    // No byte moved either way for the idle limit.
    static QString timedOut();
};

}  // namespace harkwell
