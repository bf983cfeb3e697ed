#pragma once
// A stand-in for the Mirelon service on 127.0.0.1 (a free port), speaking plain HTTP/1.1.
//
// Out of the box it behaves like the service: an upload answers with a task, a task turns into a
// cache key after a few polls, a source's transcription status advances with each poll until it is
// "completed", sources can be fetched and listed page by page with cursors, and the device pairing
// endpoints hand out codes and approve after a few polls. Any route can be scripted instead (status,
// raw body, delay, a sequence of answers), and every request is recorded.
//
//     FakeMirelonService service;
//     MirelonClient client(service.baseUrl(), ...);
//     service.script("GET", "sources/tasks/*", {{500}, {500}, {200, R"({"cache_key":"k1"})"}});
//     ...
//     QCOMPARE(service.requests().first().header("X-Client-Type"), "harkwell-mac");

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QUrlQuery>

#include <functional>
#include <optional>

class QTcpServer;
class QTcpSocket;

namespace harkwell::test {

// One scripted answer.
struct FakeReply {
    int status = 200;
    QByteArray body;
    int delayMs = 0;  // how long the server holds the answer before sending it
    QList<QPair<QByteArray, QByteArray>> headers;  // beyond Content-Length and Connection
    bool dropConnection = false;  // after the delay, close the connection without answering
    bool announceLength = true;  // false: no Content-Length; the connection closes after the body
    int dripMs = 0;              // above 0: the body goes out one byte at a time, this far apart
};

// What a flaky network or service does to one request, decided when it arrives.
struct FakeInterference {
    std::optional<FakeReply> instead;  // answered in place of the service (nothing happens there)
    int extraDelayMs = 0;              // added to the answer's delay
    bool dropAfterHandling = false;    // the service does the work, the client never hears of it
};

// One part of a multipart/form-data body.
struct FormPart {
    QString name;
    std::optional<QString> fileName;
    std::optional<QByteArray> contentType;
    QByteArray data;
};

struct RecordedRequest {
    QByteArray method;
    QByteArray rawPath;   // as sent, still percent-encoded, without the query
    QString path;         // decoded, relative to the API base ("sources/tasks/t1"); empty outside it
    QByteArray rawQuery;  // as sent, without "?"
    QUrlQuery query;
    QList<QPair<QByteArray, QByteArray>> headers;  // in the order sent
    QByteArray body;
    qint64 arrivedMs = 0;  // since the server started
    int inFlightAtArrival = 0;  // requests being answered at that moment, this one included

    // The first value of a header, matched without regard to case; empty when absent.
    QByteArray header(const QByteArray& name) const;
    bool hasHeader(const QByteArray& name) const;
    // The multipart parts of the body, parsed with the boundary of its Content-Type.
    QList<FormPart> formParts() const;
    std::optional<FormPart> formPart(const QString& name) const;
};

// A source as the fake keeps it; listed newest first, as it was added.
struct FakeSource {
    QString cacheKey;
    QString originalFilename;
    QString status = QStringLiteral("completed");  // the listing's status of the source
    bool deleted = false;
    QString text = QStringLiteral("Transcript text.");
    QString title;
    double duration = 12.5;
    int wordCount = 3;
    double createdAt = 1'772'600'000;
    // Transcription statuses answered by successive status polls; the last one repeats.
    QStringList statusSequence = {QStringLiteral("processing"), QStringLiteral("completed")};
    int statusPolls = 0;
    QString task;  // the upload's task, for a source made by an upload answered with one
};

class FakeMirelonService : public QObject {
    Q_OBJECT
public:
    explicit FakeMirelonService(QObject* parent = nullptr);
    ~FakeMirelonService() override;

    quint16 port() const;
    // http://127.0.0.1:<port>/api/v1
    QUrl baseUrl() const;

    // Answers for a method and a path relative to the API base. "*" in the path stands for one
    // whole segment ("sources/*/status"), a trailing "**" for any rest. The answers are used in
    // order, one per request; once used up the route falls back to the default behaviour, unless
    // repeatLast is set, when the last answer is given again and again. A later script of the same
    // route replaces an earlier one.
    void script(const QByteArray& method, const QString& path, QList<FakeReply> replies, bool repeatLast = false);
    void clearScripts();
    // Consulted for every request before it is answered; nothing by default.
    void setInterference(std::function<FakeInterference(const RecordedRequest&)> interference)
    {
        m_interference = std::move(interference);
    }

    // Default behaviour, tuned by tests.
    void addSource(const FakeSource& source);  // listed before the sources added earlier
    QList<FakeSource> sources() const { return m_sources; }
    // Uploads answer with a task id (the default) or, when off, straight with a new cache key.
    void setUploadsAnswerWithTask(bool task) { m_uploadsAnswerWithTask = task; }
    // Task polls that answer "processing" before a task gives its cache key (default 1).
    void setTaskPollsBeforeKey(int polls) { m_taskPollsBeforeKey = polls; }
    // A task also becomes its source by itself this long after its upload, polled or not (by
    // default only the polls make it one). The listing shows an uploaded source only from then on.
    void setTaskReadyAfterMs(int ms) { m_taskReadyAfterMs = ms; }
    // Device pairing: polls that answer "authorization_pending" before the final status (default 1),
    // the final status ("approved" by default), the token handed out, and the init answer's fields.
    void setPairingPendingPolls(int polls) { m_pairingPendingPolls = polls; }
    void setPairingOutcome(const QString& status) { m_pairingOutcome = status; }
    void setPairingToken(const QString& token) { m_pairingToken = token; }
    void setPairingTiming(int interval, int expiresIn) { m_pairingInterval = interval; m_pairingExpiresIn = expiresIn; }
    void setVerificationUrl(const QString& url) { m_verificationUrl = url; }
    int pairingsStarted() const { return m_pairingsStarted; }

    // Every request in arrival order.
    QList<RecordedRequest> requests() const { return m_requests; }
    QList<RecordedRequest> requests(const QByteArray& method, const QString& pathPattern) const;
    int peakInFlight() const { return m_peakInFlight; }
    int inFlight() const { return m_inFlight; }
    void clearRequests();

signals:
    void requestArrived(const harkwell::test::RecordedRequest& request);

private:
    struct Route {
        QByteArray method;
        QString pattern;
        QList<FakeReply> replies;
        bool repeatLast = false;
    };
    struct Connection;

    void onNewConnection();
    void onReadyRead(QTcpSocket* socket);
    void handle(QTcpSocket* socket, RecordedRequest request);
    void send(QTcpSocket* socket, const FakeReply& reply);
    FakeReply answer(const RecordedRequest& request);
    FakeReply defaultAnswer(const RecordedRequest& request);
    FakeReply upload(const RecordedRequest& request);
    FakeReply listing(const RecordedRequest& request);
    FakeSource* sourceFor(const QString& cacheKey);
    bool taskDone(const QString& task) const;

    QTcpServer* m_server = nullptr;
    QHash<QTcpSocket*, Connection*> m_connections;
    QElapsedTimer m_started;
    QList<Route> m_routes;
    std::function<FakeInterference(const RecordedRequest&)> m_interference;
    QList<RecordedRequest> m_requests;
    int m_inFlight = 0;
    int m_peakInFlight = 0;

    QList<FakeSource> m_sources;  // newest first
    QHash<QString, int> m_taskPolls;
    QHash<QString, QString> m_taskKeys;
    int m_nextId = 1;
    bool m_uploadsAnswerWithTask = true;
    int m_taskPollsBeforeKey = 1;
    int m_taskReadyAfterMs = -1;
    QHash<QString, qint64> m_taskUploadedMs;

    QHash<QString, int> m_pairingPolls;
    int m_pairingsStarted = 0;
    int m_pairingPendingPolls = 1;
    QString m_pairingOutcome = QStringLiteral("approved");
    QString m_pairingToken = QStringLiteral("hwdt_0123456789abcdef");
    int m_pairingInterval = 5;
    int m_pairingExpiresIn = 600;
    QString m_verificationUrl;
};

// True when a path relative to the API base matches a route pattern ("*" one segment, "**" the rest).
bool fakeRouteMatches(const QString& pattern, const QString& path);

}  // namespace harkwell::test
