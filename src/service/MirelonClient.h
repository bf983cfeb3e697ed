#pragma once
// The Mirelon transcription service's REST API: uploads through the process-wide upload gate,
// task → cache-key resolution, status, source, the paged library listing and the search for a
// file's live key. Every request carries the device token and the client headers and is checked
// the same way; a failure comes back as a ClientError with the user-facing text.
//
// A client is cheap: callers make one for each use. Its coroutines must not outlive it.

#include "service/ClientError.h"
#include "service/HttpExchange.h"
#include "service/PipelineStatus.h"
#include "service/SourceDetail.h"
#include "service/SourceMetadata.h"
#include "service/UploadGate.h"
#include "service/UploadResult.h"

#include <QList>
#include <QMap>
#include <QPair>
#include <QStringList>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <expected>
#include <optional>

class QNetworkAccessManager;

namespace harkwell {

class Clock;

class MirelonClient {
public:
    template <typename T>
    using Result = std::expected<T, ClientError>;

    // Idle limits: no byte moving for this long ends a request.
    static constexpr std::chrono::seconds kRequestTimeout{60};
    static constexpr std::chrono::seconds kUploadTimeout{900};
    // Whole-request limits, so that an answer fed a byte at a time cannot hold a request (or the
    // upload gate) for good. An upload's sending is held to its idle limit only, however slow the
    // link; its answer, once the body is out, gets the ordinary whole limit.
    static constexpr std::chrono::seconds kRequestDeadline{120};
    static constexpr std::chrono::seconds kTranscriptDeadline{600};
    // Answer caps: far above what the service sends, far below what could exhaust memory.
    static constexpr qint64 kMaxJsonAnswerBytes = 1024 * 1024;         // upload, task and status answers
    static constexpr qint64 kMaxTranscriptAnswerBytes = 64 * 1024 * 1024;  // a source with its transcript
    static constexpr qint64 kMaxPageAnswerBytes = 16 * 1024 * 1024;    // one listing page of 100 entries
    // The largest audio file sent: more than a day of speech at any usual compressed rate.
    static constexpr qint64 kMaxUploadBytes = 2LL * 1024 * 1024 * 1024;
    static constexpr std::chrono::seconds kTaskRetryInterval{5};
    static constexpr int kPageSize = 100;
    static constexpr int kMaxPages = 200;

    // The limits above; tests shorten them.
    struct Limits {
        HttpLimits json{kMaxJsonAnswerBytes, kRequestTimeout, kRequestDeadline};
        HttpLimits transcript{kMaxTranscriptAnswerBytes, kRequestTimeout, kTranscriptDeadline};
        HttpLimits page{kMaxPageAnswerBytes, kRequestTimeout, kRequestDeadline};
        std::chrono::milliseconds uploadIdle{kUploadTimeout};
        qint64 maxUploadBytes = kMaxUploadBytes;
    };

    MirelonClient(QUrl baseUrl, QNetworkAccessManager& session, Clock& clock);
    // The base URL of the settings (or the service's default), the shared session, the system clock.
    static MirelonClient fromSettings();
    // `mirelonBaseUrl` when set and not blank, else the service's default API base.
    static QUrl configuredBaseUrl();

    const QUrl& baseUrl() const { return m_baseUrl; }
    void setLimits(const Limits& limits) { m_limits = limits; }
    const Limits& limits() const { return m_limits; }

    QCoro::Task<Result<UploadResult>> uploadAudio(QUrl fileUrl, QString contentSource, std::optional<QString> language,
                                                  QStringList tags, QMap<QString, QString> sourceMetadata);
    // Polls the task every 5 s until it names a cache key; nothing once `timeout` has passed.
    QCoro::Task<std::optional<QString>> cacheKey(QString taskId, std::chrono::milliseconds timeout);
    QCoro::Task<Result<PipelineStatus>> status(QString cacheKey);
    QCoro::Task<Result<SourceDetail>> source(QString cacheKey);
    QCoro::Task<Result<QList<SourceMetadata>>> listAllSources(bool includeDeleted);
    // The key of the live source uploaded under `uploadedFilename`, other than `excluding`; nothing at
    // the first failure or after `maxPages` pages.
    QCoro::Task<std::optional<QString>> currentKey(QString uploadedFilename, QString excluding, int maxPages);

    static QString clientVersion();
    static UploadGate& uploadGate();
    static QString mimeType(const QString& fileName);

    // The base URL with `segments` appended, each percent-encoded as one path segment (so a key
    // holding "/", "?" or "#" stays one segment), and the query values percent-encoded. Invalid
    // when a segment is "", "." or "..", which no URL can carry as a segment of its own.
    static QUrl address(const QUrl& base, const QStringList& segments,
                        const QList<QPair<QString, QString>>& query = {});
    // The multipart/form-data body of an upload, less the file's bytes, which go between the two.
    static QByteArray multipartHead(const QString& boundary, const QString& contentSource,
                                    const std::optional<QString>& language, const QStringList& tags,
                                    const QMap<QString, QString>& sourceMetadata, const QString& fileName,
                                    const QString& mimeType);
    static QByteArray multipartTail(const QString& boundary);
    // The upload's idle limit while the body goes out, then the answers' whole limit.
    HttpLimits uploadLimits() const;
    // "… is larger than the … that can be sent", for the pipeline's log as well.
    static QString tooLargeToSend(const QString& path, qint64 bytes, qint64 maxBytes = kMaxUploadBytes);
    // The response check: 402 → planRequired, 2xx → success, anything else → requestFailed.
    static std::expected<void, ClientError> checkOk(const HttpAnswer& answer);

private:
    QNetworkRequest authorisedRequest(const QUrl& url, const QString& authorization,
                                      std::chrono::milliseconds timeout) const;
    // (An answer rather than bare bytes: QCoro cannot await an expected of QByteArray with g++ 12.)
    QCoro::Task<Result<HttpAnswer>> get(QUrl url, HttpLimits limits);
    static QList<QPair<QString, QString>> pageQuery(bool includeDeleted, const std::optional<QString>& cursor);

    QUrl m_baseUrl;
    QNetworkAccessManager* m_session;
    Clock* m_clock;
    Limits m_limits;
};

}  // namespace harkwell
