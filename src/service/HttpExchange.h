#pragma once
// One request and its answer over Qt Network, awaited. An answer with any HTTP status is an
// answer; only a failure to get one (no connection, a time-out, a refused certificate) is an error,
// carried with the transport's own text.

#include "service/ClientError.h"

#include <QByteArray>
#include <QNetworkRequest>
#include <QPointer>

#include <qcoro/qcorotask.h>

#include <expected>
#include <functional>

class QNetworkAccessManager;
class QNetworkReply;

namespace harkwell {

struct HttpAnswer {
    int status = 0;
    QByteArray body;
};

class HttpExchange {
public:
    // Sends `method` with `body` (none when empty and the method is GET). `started`, when given,
    // learns the reply while it is in flight, so that its owner can abort it.
    static QCoro::Task<std::expected<HttpAnswer, ClientError>> send(
        QNetworkAccessManager& session, QNetworkRequest request, QByteArray method, QByteArray body = {},
        std::function<void(QNetworkReply*)> started = {});

    // The session every client shares, made on first use; main thread only.
    static QNetworkAccessManager& sharedSession();
};

}  // namespace harkwell
