// The service client against the fake service: what every request carries, the upload's exact
// body and its one-at-a-time gate, the error texts, task resolution, listing and the key search.

#include "platform/clock/FakeClock.h"
#include "platform/identity/Identity.h"
#include "platform/secrets/FakeSecretStore.h"
#include "service/HttpExchange.h"
#include "service/Keychain.h"
#include "service/MirelonClient.h"
#include "service/UploadGate.h"
#include "support/FakeMirelonService.h"
#include "support/TempHome.h"

#include <QBuffer>
#include <QDir>
#include <QNetworkReply>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QRegularExpression>
#include <QTest>

#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <memory>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <sys/types.h>

using namespace harkwell;
using namespace harkwell::test;
using namespace std::chrono_literals;

namespace {

constexpr char kToken[] = " tok en";  // a blank inside the value is sent as stored

QByteArray page(const QJsonArray& files, bool hasMore, const std::optional<QString>& cursor)
{
    QJsonObject object{{"files", files}, {"count", files.size()}, {"has_more", hasMore}};
    if (cursor)
        object.insert("next_cursor", *cursor);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QJsonObject entry(const QString& key, const QString& fileName, const QString& status = "completed", bool deleted = false)
{
    return {{"cache_key", key}, {"original_filename", fileName}, {"status", status}, {"is_deleted", deleted}};
}

// Peak resident memory of this process so far, in bytes.
qint64 residentBytes()
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong() * 1024;
    }
    return 0;
}

// Measures how late a 10 ms timer runs while the main thread's loop is left to others.
class LoopWatch {
public:
    LoopWatch()
    {
        m_clock.start();
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const qint64 now = m_clock.elapsed();
            m_worstGap = std::max(m_worstGap, now - m_last);
            m_last = now;
            m_peakResident = std::max(m_peakResident, residentBytes());
        });
        m_timer.start(10);
    }
    qint64 worstGapMs() const { return m_worstGap; }
    qint64 peakResident() const { return m_peakResident; }

private:
    QElapsedTimer m_clock;
    QTimer m_timer;
    qint64 m_last = 0;
    qint64 m_worstGap = 0;
    qint64 m_peakResident = 0;
};

// A service on its own thread that takes one upload of any size, counts its bytes and throws
// them away (the fake service keeps every body, which a gigabyte would not suit).
class DiscardingSink {
public:
    DiscardingSink()
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(m_listener, 1);
        socklen_t length = sizeof address;
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { serve(); });
    }
    ~DiscardingSink()
    {
        ::shutdown(m_listener, SHUT_RDWR);
        ::close(m_listener);
        m_thread.join();
    }
    QUrl baseUrl() const { return QUrl(QString("http://127.0.0.1:%1/api/v1").arg(m_port)); }
    qint64 bodyBytes() const { return m_bodyBytes; }
    qint64 announced() const { return m_announced; }

private:
    void serve()
    {
        const int connection = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            return;
        QByteArray head;
        std::vector<char> buffer(1 << 20);
        qint64 body = 0;
        while (true) {
            const ssize_t n = ::recv(connection, buffer.data(), buffer.size(), 0);
            if (n <= 0)
                break;
            if (m_announced < 0) {
                head.append(buffer.data(), n);
                const qsizetype end = head.indexOf("\r\n\r\n");
                if (end < 0)
                    continue;
                for (const QByteArray& line : head.left(end).split('\n')) {
                    if (line.toLower().startsWith("content-length:"))
                        m_announced = line.mid(15).trimmed().toLongLong();
                }
                body = head.size() - (end + 4);
            } else {
                body += n;
            }
            if (m_announced >= 0 && body >= m_announced)
                break;
        }
        m_bodyBytes = body;
        const QByteArray answer = R"({"status":"queued","task_id":"t-big"})";
        const QByteArray response = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: "
                                    + QByteArray::number(answer.size()) + "\r\nConnection: close\r\n\r\n" + answer;
        ::send(connection, response.constData(), size_t(response.size()), MSG_NOSIGNAL);
        ::shutdown(connection, SHUT_WR);
        ::close(connection);
    }

    int m_listener = -1;
    quint16 m_port = 0;
    std::thread m_thread;
    std::atomic<qint64> m_bodyBytes{0};
    std::atomic<qint64> m_announced{-1};
};

// A service on its own thread that takes an upload's head and then, as told, stops reading, reads
// the whole body and never answers, or reads until the client goes; it never answers. `atHead`
// runs on its thread once the request's head is in. It lets go when destroyed.
class SilentUploadSink {
public:
    enum class After { StopReading, ReadBodyThenWait, ReadUntilClosed };

    explicit SilentUploadSink(After after, std::function<void()> atHead = {})
        : m_after(after), m_atHead(std::move(atHead))
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(m_listener, 1);
        socklen_t length = sizeof address;
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { serve(); });
    }
    ~SilentUploadSink()
    {
        {
            std::lock_guard locker(m_lock);
            m_closing = true;
        }
        m_wake.notify_all();
        ::shutdown(m_listener, SHUT_RDWR);
        if (const int connection = m_connection.load(); connection >= 0)
            ::shutdown(connection, SHUT_RDWR);
        m_thread.join();
        ::close(m_listener);
    }
    QUrl baseUrl() const { return QUrl(QString("http://127.0.0.1:%1/api/v1").arg(m_port)); }

private:
    void serve()
    {
        const int connection = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            return;
        m_connection = connection;
        QByteArray head;
        std::vector<char> buffer(1 << 16);
        qint64 announced = -1;
        qint64 body = 0;
        while (announced < 0) {
            const ssize_t n = ::recv(connection, buffer.data(), buffer.size(), 0);
            if (n <= 0)
                break;
            head.append(buffer.data(), n);
            const qsizetype end = head.indexOf("\r\n\r\n");
            if (end < 0)
                continue;
            for (const QByteArray& line : head.left(end).split('\n')) {
                if (line.toLower().startsWith("content-length:"))
                    announced = line.mid(15).trimmed().toLongLong();
            }
            body = head.size() - (end + 4);
        }
        if (m_atHead)
            m_atHead();
        while (m_after != After::StopReading && (m_after == After::ReadUntilClosed || body < announced)) {
            const ssize_t n = ::recv(connection, buffer.data(), buffer.size(), 0);
            if (n <= 0)
                break;
            body += n;
        }
        std::unique_lock locker(m_lock);
        m_wake.wait(locker, [this] { return m_closing; });
        locker.unlock();
        m_connection = -1;
        ::close(connection);
    }

    const After m_after;
    const std::function<void()> m_atHead;
    int m_listener = -1;
    quint16 m_port = 0;
    std::atomic<int> m_connection{-1};
    std::mutex m_lock;  // guards m_closing
    std::condition_variable m_wake;
    bool m_closing = false;
    std::thread m_thread;
};

// A service on its own thread that answers every request with a body that never ends, counting
// what it managed to send.
class EndlessAnswer {
public:
    explicit EndlessAnswer(bool announceLength) : m_announce(announceLength)
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(m_listener, 1);
        socklen_t length = sizeof address;
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { serve(); });
    }
    ~EndlessAnswer()
    {
        ::shutdown(m_listener, SHUT_RDWR);
        if (const int connection = m_connection.load(); connection >= 0)
            ::shutdown(connection, SHUT_RDWR);
        m_thread.join();
        ::close(m_listener);
    }
    QUrl baseUrl() const { return QUrl(QString("http://127.0.0.1:%1/api/v1").arg(m_port)); }
    qint64 sent() const { return m_sent; }

private:
    void serve()
    {
        const int connection = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            return;
        m_connection = connection;
        std::vector<char> buffer(1 << 16);
        (void)::recv(connection, buffer.data(), buffer.size(), 0);
        QByteArray head = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n";
        head += m_announce ? "Content-Length: 1073741824\r\n\r\n" : "Connection: close\r\n\r\n";
        head += "{\"success\":true,\"cache_key\":\"k1\",\"result\":{\"text\":\"";
        if (::send(connection, head.constData(), size_t(head.size()), MSG_NOSIGNAL) > 0) {
            std::fill(buffer.begin(), buffer.end(), 'x');
            for (ssize_t n; (n = ::send(connection, buffer.data(), buffer.size(), MSG_NOSIGNAL)) > 0;)
                m_sent += n;
        }
        m_connection = -1;
        ::close(connection);
    }

    const bool m_announce;
    int m_listener = -1;
    quint16 m_port = 0;
    std::atomic<int> m_connection{-1};
    std::atomic<qint64> m_sent{0};
    std::thread m_thread;
};

// A sparse file of `bytes`, read as zeros.
QString sparseFile(const QString& folder, const QString& name, qint64 bytes)
{
    QDir().mkpath(folder);
    QFile file(folder + "/" + name);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(bytes))
        return QString();
    return file.fileName();
}

}  // namespace

Q_DECLARE_METATYPE(std::optional<QString>)
Q_DECLARE_METATYPE(QList<harkwell::test::FakeReply>)

class MirelonClientTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TempHome> m_home;
    std::unique_ptr<FakeSecretStore> m_secrets;
    std::unique_ptr<FakeMirelonService> m_service;
    std::unique_ptr<FakeClock> m_clock;
    std::unique_ptr<QNetworkAccessManager> m_session;
    std::unique_ptr<MirelonClient> m_client;

    QString audioFile(const QString& name, const QByteArray& bytes = "RIFF\0\x01\x02\xff audio")
    {
        return m_home->writeFile("audio/" + name, bytes);
    }
    void upload(const QString& contentSource, const QString& path)
    {
        auto result = QCoro::waitFor(m_client->uploadAudio(QUrl::fromLocalFile(path), contentSource, std::nullopt, {}, {}));
        QVERIFY2(result.has_value(), qPrintable(result ? QString() : result.error().text()));
    }

private slots:
    void init()
    {
        m_home = std::make_unique<TempHome>();
        m_secrets = std::make_unique<FakeSecretStore>();
        Keychain::setStore(m_secrets.get());
        QVERIFY(Keychain::write(Keychain::kDeviceTokenAccount, QString(kToken), Keychain::deviceTokenService()));
        m_service = std::make_unique<FakeMirelonService>();
        m_clock = std::make_unique<FakeClock>();
        m_clock->setAutoAdvance(true);
        m_session = std::make_unique<QNetworkAccessManager>();
        m_client = std::make_unique<MirelonClient>(m_service->baseUrl(), *m_session, *m_clock);
    }
    void cleanup()
    {
        m_client.reset();
        m_session.reset();
        m_service.reset();
        Keychain::setStore(nullptr);
        m_secrets.reset();
        m_home.reset();
    }

    void everyRequestCarriesTheTokenAndClientHeaders()
    {
        m_service->addSource(FakeSource{"k1", "a.m4a"});
        m_service->setTaskPollsBeforeKey(0);
        upload("voice_memo", audioFile("a.m4a"));
        QVERIFY(QCoro::waitFor(m_client->status("k1")).has_value());
        QVERIFY(QCoro::waitFor(m_client->source("k1")).has_value());
        QVERIFY(QCoro::waitFor(m_client->listAllSources(false)).has_value());
        QVERIFY(QCoro::waitFor(m_client->cacheKey("task-1", 60s)).has_value());

        const auto requests = m_service->requests();
        QCOMPARE(requests.size(), 5);
        for (const RecordedRequest& request : requests) {
            QCOMPARE(request.header("Authorization"), QByteArray("Bearer ") + kToken);
            QCOMPARE(request.header("X-Client-Type"), "harkwell-mac");
            QCOMPARE(request.header("X-Client-Version"), QByteArray(identity::kVersion));
            QCOMPARE(request.header("X-Client-Platform"), "macos_menubar");
            QCOMPARE(request.hasHeader("Content-Type"), request.method == "POST");
        }
    }

    void withoutATokenNothingIsSent()
    {
        Keychain::write(Keychain::kDeviceTokenAccount, std::nullopt, Keychain::deviceTokenService());
        const QString missing = "Not connected to Mirelon (Settings > Captures > Connect to Mirelon\u2026)";
        auto uploaded = QCoro::waitFor(m_client->uploadAudio(QUrl::fromLocalFile(audioFile("a.m4a")), "x", {}, {}, {}));
        QCOMPARE(uploaded.error().text(), missing);
        QCOMPARE(QCoro::waitFor(m_client->status("k")).error().kind, ClientError::Kind::MissingCredentials);
        QCOMPARE(QCoro::waitFor(m_client->listAllSources(true)).error().text(), missing);
        QCOMPARE(m_service->requests().size(), 0);
    }

    void uploadBodyIsByteExact_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<std::optional<QString>>("language");
        QTest::addColumn<QStringList>("tags");
        QTest::addColumn<QByteArray>("fields");  // the text parts, with "<B>" for the boundary
        QTest::addColumn<QByteArray>("mimeType");

        QTest::newRow("file only, no extension")
            << "memo" << std::optional<QString>() << QStringList() << QByteArray() << QByteArray("application/octet-stream");
        QTest::newRow("empty language, capital extension")
            << "memo.M4A" << std::optional<QString>("") << QStringList()
            << QByteArray("--<B>\r\nContent-Disposition: form-data; name=\"language\"\r\n\r\n\r\n") << QByteArray("audio/mp4");
        QTest::newRow("language, two tags, metadata")
            << "260304-090000.wav" << std::optional<QString>("de") << QStringList{"call", "team"}
            << QByteArray("--<B>\r\nContent-Disposition: form-data; name=\"language\"\r\n\r\nde\r\n"
                          "--<B>\r\nContent-Disposition: form-data; name=\"tags\"\r\n\r\ncall,team\r\n"
                          "--<B>\r\nContent-Disposition: form-data; name=\"content_source_metadata\"\r\n\r\n"
                          "{\"app\":\"Zoom\",\"mic\":\"Built-in\"}\r\n")
            << QByteArray("audio/wav");
    }
    void uploadBodyIsByteExact()
    {
        QFETCH(QString, fileName);
        QFETCH(std::optional<QString>, language);
        QFETCH(QStringList, tags);
        QFETCH(QByteArray, fields);
        QFETCH(QByteArray, mimeType);
        const QByteArray audio("\x00\x01\r\n--\xff\xfe audio", 15);
        const QMap<QString, QString> metadata =
            tags.isEmpty() ? QMap<QString, QString>() : QMap<QString, QString>{{"app", "Zoom"}, {"mic", "Built-in"}};

        auto result = QCoro::waitFor(m_client->uploadAudio(QUrl::fromLocalFile(audioFile(fileName, audio)), "voice_memo",
                                                           language, tags, metadata));
        QVERIFY(result.has_value());
        QCOMPARE(result->task_id, std::optional<QString>("task-1"));

        const RecordedRequest request = m_service->requests().first();
        QCOMPARE(request.method, "POST");
        QCOMPARE(request.rawPath, "/api/v1/sources");
        const QByteArray contentType = request.header("Content-Type");
        const QRegularExpression form("^multipart/form-data; boundary=(----HarkwellBoundary"
                                      "[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12})$");
        const auto match = form.match(QString::fromLatin1(contentType));
        QVERIFY2(match.hasMatch(), contentType.constData());
        const QByteArray boundary = match.captured(1).toLatin1();

        QByteArray expected = "--<B>\r\nContent-Disposition: form-data; name=\"content_source\"\r\n\r\nvoice_memo\r\n" + fields
            + "--<B>\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" + fileName.toUtf8() + "\"\r\n"
            + "Content-Type: " + mimeType + "\r\n\r\n" + audio + "\r\n--<B>--\r\n";
        expected.replace("<B>", boundary);
        QCOMPARE(request.body, expected);
    }

    void mimeTypeFollowsTheExtension_data()
    {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QString>("mimeType");
        QTest::newRow("m4a") << "a.m4a" << "audio/mp4";
        QTest::newRow("MP3") << "a.MP3" << "audio/mpeg";
        QTest::newRow("wav") << "a.wav" << "audio/wav";
        QTest::newRow("aiff") << "a.aiff" << "audio/aiff";
        QTest::newRow("aif") << "a.aif" << "audio/aiff";
        QTest::newRow("caf") << "a.caf" << "audio/x-caf";
        QTest::newRow("qta") << "a.qta" << "application/octet-stream";
        QTest::newRow("none") << "a" << "application/octet-stream";
    }
    void mimeTypeFollowsTheExtension()
    {
        QFETCH(QString, fileName);
        QFETCH(QString, mimeType);
        QCOMPARE(MirelonClient::mimeType(fileName), mimeType);
    }

    void aFileNameCannotWriteItsOwnPartHeaders()
    {
        const QString name = "a\"\r\nContent-Type: text-html\r\n.m4a";
        const QString path = m_home->path() + "/" + name;
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("x");
        file.close();
        upload("voice_memo", path);
        const auto part = m_service->requests().first().formPart("file");
        QVERIFY(part.has_value());
        QCOMPARE(part->fileName, std::optional<QString>("a%22%0D%0AContent-Type: text-html%0D%0A.m4a"));
        QCOMPARE(part->contentType, std::optional<QByteArray>("audio/mp4"));
    }

    void anUnreadableFileFailsBeforeTheGate()
    {
        const QString path = m_home->path() + "/gone.m4a";
        auto result = QCoro::waitFor(m_client->uploadAudio(QUrl::fromLocalFile(path), "x", {}, {}, {}));
        QCOMPARE(result.error().text(), "Cannot read audio file: " + path);
        QVERIFY(!MirelonClient::uploadGate().isBusy());
        QCOMPARE(m_service->requests().size(), 0);
    }

    void responseErrorsHaveTheirTexts_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("text");
        QTest::newRow("402 with message") << 402 << QByteArray(R"({"error":"plan","plan":"pro","message":"Upgrade to Pro."})")
                                          << "Mirelon refused this request (402): Upgrade to Pro.";
        QTest::newRow("402 empty message, plan") << 402 << QByteArray(R"({"plan":"pro","message":""})")
                                                 << "Mirelon refused this request for your plan (402, needs pro)";
        QTest::newRow("402 empty plan") << 402 << QByteArray(R"({"plan":""})")
                                        << "Mirelon refused this request for your plan (402, needs )";
        QTest::newRow("402 neither") << 402 << QByteArray("{}") << "Mirelon refused this request for your plan (402)";
        QTest::newRow("402 not JSON") << 402 << QByteArray("Payment Required")
                                      << "Mirelon refused this request for your plan (402)";
        QTest::newRow("402 plan not a string") << 402 << QByteArray(R"({"plan":3,"message":"m"})")
                                               << "Mirelon refused this request for your plan (402)";
        QTest::newRow("500 not UTF-8") << 500 << QByteArray("\xff\xfe\x80", 3) << "Mirelon request failed (500): <binary>";
        QTest::newRow("404 text") << 404 << QByteArray("no such source") << "Mirelon request failed (404): no such source";
        QTest::newRow("300") << 300 << QByteArray("")
                             << "Mirelon answered HTTP 300, a redirect to another address; redirects are not followed, "
                                "so nothing was sent there.";
        QTest::newRow("200 not JSON") << 200 << QByteArray("<html>")
                                      << "Mirelon response malformed: status: the data is not valid JSON (illegal value at offset 1)";
        QTest::newRow("204 empty body") << 204 << QByteArray() << QString();
        QTest::newRow("200 stage of the wrong type") << 200 << QByteArray(R"({"status":{"transcription":{"word_count":"12"}}})")
                                                     << "Mirelon response malformed: status: status.transcription.word_count: expected an integer";
    }
    void responseErrorsHaveTheirTexts()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, text);
        m_service->script("GET", "sources/k/status", {FakeReply{status, body}});
        const auto result = QCoro::waitFor(m_client->status("k"));
        QVERIFY(!result.has_value());
        if (!text.isEmpty())
            QCOMPARE(result.error().text(), text);
        else
            QVERIFY(result.error().text().startsWith("Mirelon response malformed: status: "));
    }

    void undecodableUploadAnswersShowTheBody_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("end");
        QTest::newRow("no status") << QByteArray(R"({"task_id":"t"})") << "Mirelon response malformed: upload: status: missing"
                                   << R"( -- body: {"task_id":"t"})";
        QTest::newRow("task id a number") << QByteArray(R"({"status":"queued","task_id":7})")
                                          << "Mirelon response malformed: upload: task_id: expected a string"
                                          << R"( -- body: {"status":"queued","task_id":7})";
        // 299 ASCII bytes, then "é" cut in half by the 300-byte limit.
        QTest::newRow("cut inside a character") << QByteArray(299, 'x') + "\xc3\xa9" << "Mirelon response malformed: upload: "
                                                << " -- body: <binary>";
    }
    void undecodableUploadAnswersShowTheBody()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, start);
        QFETCH(QString, end);
        m_service->script("POST", "sources", {FakeReply{200, body}});
        auto result = QCoro::waitFor(m_client->uploadAudio(QUrl::fromLocalFile(audioFile("a.m4a")), "x", {}, {}, {}));
        QVERIFY(!result.has_value());
        QVERIFY2(result.error().text().startsWith(start), qPrintable(result.error().text()));
        QVERIFY2(result.error().text().endsWith(end), qPrintable(result.error().text()));
    }

    void uploadsReachTheServiceOneAtATimeInArrivalOrder()
    {
        // The first answer fails: the gate must still pass to the next upload.
        m_service->script("POST", "sources", {FakeReply{500, "busy", 40}});
        // Each upload reads its file off the main thread before it reaches the gate, so hold the
        // gate and let them line up one by one: their arrival order is then known.
        UploadGate& gate = MirelonClient::uploadGate();
        QCoro::waitFor(gate.acquire());
        QList<QString> order;
        std::vector<QCoro::Task<>> uploads;
        int finished = 0;
        for (const QString source : {"first", "second", "third"}) {
            const QString path = audioFile(source + ".m4a");
            uploads.push_back([](MirelonClient& client, QString path, QString source, int& finished) -> QCoro::Task<> {
                co_await client.uploadAudio(QUrl::fromLocalFile(path), source, std::nullopt, {}, {});
                ++finished;
            }(*m_client, path, source, finished));
            QTRY_COMPARE_WITH_TIMEOUT(gate.waiting(), int(uploads.size()), 10000);
        }
        QVERIFY(m_service->requests("POST", "sources").isEmpty());
        gate.release();
        QTRY_COMPARE_WITH_TIMEOUT(finished, 3, 10000);

        const auto requests = m_service->requests("POST", "sources");
        QCOMPARE(requests.size(), 3);
        for (const RecordedRequest& request : requests)
            order.append(QString::fromUtf8(request.formPart("content_source")->data));
        QCOMPARE(order, (QList<QString>{"first", "second", "third"}));
        QCOMPARE(m_service->peakInFlight(), 1);
        QTRY_VERIFY(!gate.isBusy());
    }

    // The token goes to the configured host only: a redirect, to any place, is an error of its
    // own, and nothing reaches the place it points at.
    void redirectsAreNotFollowed_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("route");
        QTest::addColumn<int>("status");
        QTest::newRow("upload, 307") << QByteArray("POST") << "sources" << 307;
        QTest::newRow("status poll, 302") << QByteArray("GET") << "sources/k1/status" << 302;
        QTest::newRow("listing, 301") << QByteArray("GET") << "sources" << 301;
    }
    void redirectsAreNotFollowed()
    {
        QFETCH(QByteArray, method);
        QFETCH(QString, route);
        QFETCH(int, status);
        FakeMirelonService elsewhere;
        const QUrl target(QString("http://localhost:%1/api/v1/%2").arg(elsewhere.port()).arg(route));
        m_service->script(method, route, {FakeReply{status, "", 0, {{"Location", target.toEncoded()}}}});

        ClientError error;
        if (method == "POST")
            error = QCoro::waitFor(m_client->uploadAudio(QUrl::fromLocalFile(audioFile("a.m4a")), "x", {}, {}, {})).error();
        else if (route.endsWith("status"))
            error = QCoro::waitFor(m_client->status("k1")).error();
        else
            error = QCoro::waitFor(m_client->listAllSources(false)).error();
        QCOMPARE(error.text(), HttpExchange::redirectRefused(status, target));
        QVERIFY(error.text().contains("localhost"));
        QCOMPARE(m_service->requests().size(), 1);
        QTest::qWait(200);
        QVERIFY(elsewhere.requests().isEmpty());
        QTRY_VERIFY(!MirelonClient::uploadGate().isBusy());
    }

    // Each kind of answer has its cap: a status past 1 KiB fails where a transcript of the same
    // size passes, with or without an announced length, and the text says why.
    void answersPastTheirCapAreDropped_data()
    {
        QTest::addColumn<QString>("which");
        QTest::addColumn<int>("bytes");
        QTest::addColumn<bool>("announced");
        QTest::addColumn<qint64>("cap");  // 0: within its cap
        QTest::newRow("status over its cap") << "status" << 3000 << true << qint64(1024);
        QTest::newRow("status over its cap, no length") << "status" << 3000 << false << qint64(1024);
        QTest::newRow("transcript within its cap") << "source" << 3000 << false << qint64(0);
        QTest::newRow("transcript over its cap") << "source" << 9000 << false << qint64(4096);
        QTest::newRow("listing page over its cap") << "list" << 3000 << true << qint64(2048);
    }
    void answersPastTheirCapAreDropped()
    {
        QFETCH(QString, which);
        QFETCH(int, bytes);
        QFETCH(bool, announced);
        QFETCH(qint64, cap);
        MirelonClient::Limits limits;
        limits.json.maxAnswerBytes = 1024;
        limits.transcript.maxAnswerBytes = 4096;
        limits.page.maxAnswerBytes = 2048;
        m_client->setLimits(limits);
        const QByteArray padding(bytes, 'x');
        FakeReply reply;
        reply.announceLength = announced;
        std::optional<ClientError> error;
        if (which == "status") {
            reply.body = "{\"status\":{\"transcription\":{\"status\":\"" + padding + "\"}}}";
            m_service->script("GET", "sources/k1/status", {reply});
            auto result = QCoro::waitFor(m_client->status("k1"));
            if (!result)
                error = result.error();
        } else if (which == "source") {
            reply.body = "{\"success\":true,\"cache_key\":\"k1\",\"result\":{\"text\":\"" + padding + "\"}}";
            m_service->script("GET", "sources/k1", {reply});
            auto result = QCoro::waitFor(m_client->source("k1"));
            if (!result)
                error = result.error();
            else
                QCOMPARE(result->result.text->size(), bytes);
        } else {
            reply.body = page({entry("k1", padding)}, false, std::nullopt);
            m_service->script("GET", "sources", {reply});
            auto result = QCoro::waitFor(m_client->listAllSources(false));
            if (!result)
                error = result.error();
        }
        if (cap == 0) {
            QVERIFY2(!error, qPrintable(error ? error->text() : QString()));
        } else {
            QVERIFY(error);
            QCOMPARE(error->text(), HttpExchange::answerTooLarge(cap));
        }
    }

    // An answer fed a byte at a time never goes idle; the whole-request limit ends it, and an
    // upload held that way gives the gate back to the next one.
    void aDripFedAnswerMeetsTheWholeRequestLimit()
    {
        MirelonClient::Limits limits;
        limits.json.total = 800ms;
        limits.uploadIdle = 800ms;
        m_client->setLimits(limits);
        FakeReply drip{200, QByteArray(500, ' ') + R"({"status":{}})"};
        drip.dripMs = 20;
        m_service->script("GET", "sources/k1/status", {drip});
        FakeReply dripUpload{200, QByteArray(500, ' ') + R"({"status":"ok"})"};
        dripUpload.dripMs = 20;
        m_service->script("POST", "sources", {dripUpload});

        QElapsedTimer clock;
        clock.start();
        const auto status = QCoro::waitFor(m_client->status("k1"));
        QCOMPARE(status.error().text(), HttpExchange::tookTooLong(800ms));
        QVERIFY(clock.elapsed() < 5000);

        const auto held = QCoro::waitFor(m_client->uploadAudio(QUrl::fromLocalFile(audioFile("a.m4a")), "x", {}, {}, {}));
        QCOMPARE(held.error().text(), HttpExchange::tookTooLong(800ms));
        upload("next", audioFile("b.m4a"));
    }

    // What each kind of request is held to by default: a minute without a byte moving, and as a
    // whole two minutes for the service's answers, ten for a source with its transcript; an upload
    // a quarter of an hour without a byte taken, and once its body is out two minutes for the answer.
    void theDefaultLimits()
    {
        const MirelonClient::Limits limits;
        using std::chrono::milliseconds;
        QCOMPARE(limits.json.idle, milliseconds(60'000));
        QCOMPARE(limits.json.total, milliseconds(120'000));
        QCOMPARE(limits.page.idle, milliseconds(60'000));
        QCOMPARE(limits.page.total, milliseconds(120'000));
        QCOMPARE(limits.transcript.idle, milliseconds(60'000));
        QCOMPARE(limits.transcript.total, milliseconds(600'000));
        const HttpLimits upload = m_client->uploadLimits();
        QCOMPARE(upload.idle, milliseconds(900'000));
        QCOMPARE(upload.total, milliseconds(120'000));
        QVERIFY(upload.totalAfterBody);
    }

    // Each kind of request keeps to its own limits, the others left at their minutes: a service
    // that goes silent meets the idle limit, one that feeds its answer a byte at a time the whole
    // one; an upload's answer is held to the answers' whole limit.
    void eachRequestKeepsToItsOwnLimits_data()
    {
        QTest::addColumn<QString>("which");
        QTest::addColumn<bool>("silent");  // else drip-fed
        for (const char* which : {"status", "source", "list", "upload"}) {
            QTest::newRow(qPrintable(QString("%1, silent").arg(which))) << which << true;
            QTest::newRow(qPrintable(QString("%1, drip-fed").arg(which))) << which << false;
        }
    }
    void eachRequestKeepsToItsOwnLimits()
    {
        QFETCH(QString, which);
        QFETCH(bool, silent);
        using namespace std::chrono_literals;
        const HttpLimits tight{MirelonClient::kMaxTranscriptAnswerBytes, 1000ms, 3000ms};
        MirelonClient::Limits limits;
        if (which == "status")
            limits.json = tight;
        else if (which == "source")
            limits.transcript = tight;
        else if (which == "list")
            limits.page = tight;
        else
            limits.uploadIdle = tight.idle, limits.json.total = tight.total;
        m_client->setLimits(limits);

        FakeReply reply{200, QByteArray(200, ' ') + "{}"};
        if (silent)
            reply.delayMs = 6000;
        else
            reply.dripMs = 25;  // 5 s for the whole answer
        const QString route = which == "status" ? "sources/k1/status" : which == "source" ? "sources/k1" : "sources";
        m_service->script(which == "upload" ? "POST" : "GET", route, {reply});

        QElapsedTimer clock;
        clock.start();
        std::optional<ClientError> error;
        auto take = [&](const auto& result) {
            if (!result)
                error = result.error();
        };
        if (which == "status")
            take(QCoro::waitFor(m_client->status("k1")));
        else if (which == "source")
            take(QCoro::waitFor(m_client->source("k1")));
        else if (which == "list")
            take(QCoro::waitFor(m_client->listAllSources(false)));
        else
            take(QCoro::waitFor(m_client->uploadAudio(QUrl::fromLocalFile(audioFile("a.m4a", QByteArray(1000, 'a'))), "x", {}, {}, {})));
        QVERIFY2(error, qPrintable(QString("no limit ended it after %1 ms").arg(clock.elapsed())));
        QCOMPARE(error->text(), silent ? QString("The request timed out.") : HttpExchange::tookTooLong(3000ms));
        QTRY_VERIFY(!MirelonClient::uploadGate().isBusy());
    }

    // An upload the server stops taking ends at the idle limit however large its file is, and one it
    // takes whole without answering at the answers' whole limit; either way the gate comes free.
    void anUploadTheServerStopsTakingEnds_data()
    {
        QTest::addColumn<int>("after");
        QTest::addColumn<qint64>("fileBytes");
        QTest::addColumn<int>("idleMs");
        QTest::addColumn<int>("totalMs");
        QTest::addColumn<QString>("expected");
        QTest::newRow("stops reading mid-upload") << int(SilentUploadSink::After::StopReading) << qint64(64 << 20)
                                                  << 1000 << 120'000 << HttpExchange::timedOut();
        QTest::newRow("takes it all, never answers") << int(SilentUploadSink::After::ReadBodyThenWait) << qint64(4096)
                                                     << 60'000 << 1000 << HttpExchange::tookTooLong(1000ms);
    }
    void anUploadTheServerStopsTakingEnds()
    {
        QFETCH(int, after);
        QFETCH(qint64, fileBytes);
        QFETCH(int, idleMs);
        QFETCH(int, totalMs);
        QFETCH(QString, expected);
        SilentUploadSink sink{SilentUploadSink::After(after)};
        MirelonClient client(sink.baseUrl(), *m_session, *m_clock);
        MirelonClient::Limits limits;
        limits.uploadIdle = std::chrono::milliseconds(idleMs);
        limits.json.total = std::chrono::milliseconds(totalMs);
        client.setLimits(limits);
        const QString path = sparseFile(m_home->path() + "/audio", "a.wav", fileBytes);
        const auto result = QCoro::waitFor(client.uploadAudio(QUrl::fromLocalFile(path), "x", {}, {}, {}));
        QVERIFY(!result);
        QCOMPARE(result.error().text(), expected);
        QTRY_VERIFY(!MirelonClient::uploadGate().isBusy());
    }

    // A file cut short while it is sent says so, not what the transport makes of the broken body.
    void aFileCutShortWhileSentSaysSo()
    {
        const QString path = sparseFile(m_home->path() + "/audio", "cut.wav", 64 << 20);
        SilentUploadSink sink(SilentUploadSink::After::ReadUntilClosed,
                              [path] { QVERIFY(::truncate(QFile::encodeName(path).constData(), 0) == 0); });
        MirelonClient client(sink.baseUrl(), *m_session, *m_clock);
        const auto result = QCoro::waitFor(client.uploadAudio(QUrl::fromLocalFile(path), "x", {}, {}, {}));
        QVERIFY(!result);
        QCOMPARE(result.error().text(), path + " became shorter while it was being sent.");
        QTRY_VERIFY(!MirelonClient::uploadGate().isBusy());
    }

    // Every reply holds a bounded amount unread, so that a server sending faster than the answer is
    // taken cannot fill memory.
    void everyReplyHoldsABoundedAmountUnread_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<bool>("streamed");
        QTest::newRow("GET") << QByteArray("GET") << false;
        QTest::newRow("POST from memory") << QByteArray("POST") << false;
        QTest::newRow("POST streamed") << QByteArray("POST") << true;
    }
    void everyReplyHoldsABoundedAmountUnread()
    {
        QFETCH(QByteArray, method);
        QFETCH(bool, streamed);
        m_service->script(method, "sources", {{200, "{}"}});
        QNetworkRequest request(QUrl(m_service->baseUrl().toString() + "/sources"));
        const HttpLimits limits{1024, 5000ms, 10'000ms};
        qint64 bound = -1;
        auto started = [&bound](QNetworkReply* reply) { bound = reply->readBufferSize(); };
        QBuffer body;
        body.setData("payload");
        QVERIFY(body.open(QIODevice::ReadOnly));
        if (streamed)
            request.setHeader(QNetworkRequest::ContentLengthHeader, body.size());
        const auto answer = streamed
            ? QCoro::waitFor(HttpExchange::send(*m_session, request, method, &body, limits, started))
            : QCoro::waitFor(HttpExchange::send(*m_session, request, method, method == "GET" ? QByteArray() : body.data(), limits, started));
        QVERIFY(answer.has_value());
        QCOMPARE(answer->body, "{}");
        QVERIFY2(bound > 0 && bound <= 4 * 1024 * 1024, qPrintable(QString("read buffer: %1").arg(bound)));
    }

    // An answer that never ends stops at its cap (a transcript's, 64 MiB), told as an answer too
    // large whether it said its length or not.
    void anEndlessAnswerStopsAtItsCap_data()
    {
        QTest::addColumn<bool>("announced");
        QTest::newRow("length announced") << true;
        QTest::newRow("no length") << false;
    }
    void anEndlessAnswerStopsAtItsCap()
    {
        QFETCH(bool, announced);
        EndlessAnswer server(announced);
        MirelonClient client(server.baseUrl(), *m_session, *m_clock);
        const qint64 before = residentBytes();
        LoopWatch watch;
        const auto result = QCoro::waitFor(client.source("k1"));
        QVERIFY(!result);
        QCOMPARE(result.error().kind, ClientError::Kind::AnswerTooLarge);
        QCOMPARE(result.error().text(), HttpExchange::answerTooLarge(MirelonClient::kMaxTranscriptAnswerBytes));
        qInfo() << "server sent" << server.sent() / 1024 << "KiB; memory peaked" << (watch.peakResident() - before) / 1024
                << "KiB above the start";
    }

    // Past the size limit an audio file is not sent at all, and the gate stays free.
    void aFileOverTheSizeLimitIsNotSent()
    {
        MirelonClient::Limits limits;
        limits.maxUploadBytes = 10;
        m_client->setLimits(limits);
        const QString path = audioFile("long.m4a", QByteArray(11, 'a'));
        const auto result = QCoro::waitFor(m_client->uploadAudio(QUrl::fromLocalFile(path), "x", {}, {}, {}));
        QCOMPARE(result.error().text(), MirelonClient::tooLargeToSend(path, 11, 10));
        QVERIFY(m_service->requests().isEmpty());
        QVERIFY(!MirelonClient::uploadGate().isBusy());
    }

    // The token read waits on the store off the main thread, whose loop keeps turning.
    void aSlowTokenStoreNeverHoldsTheMainThread()
    {
        m_secrets->setReadDelay(1500ms);
        LoopWatch watch;
        QElapsedTimer clock;
        clock.start();
        QVERIFY(QCoro::waitFor(m_client->status("k1")).error().kind == ClientError::Kind::RequestFailed);
        QVERIFY(clock.elapsed() >= 1500);
        QVERIFY2(watch.worstGapMs() < 1000, qPrintable(QString("the loop stood still for %1 ms").arg(watch.worstGapMs())));
    }

    // A gigabyte (a sparse file, read as zeros) goes out from the file as it is sent: the loop
    // keeps turning and memory stays far below the file's size.
    void aLargeUploadIsStreamedFromTheFile()
    {
        constexpr qint64 kSize = 1LL << 30;
        const QString path = m_home->path() + "/audio/big.wav";
        QDir().mkpath(m_home->path() + "/audio");
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.resize(kSize));
        }
        DiscardingSink sink;
        MirelonClient client(sink.baseUrl(), *m_session, *m_clock);
        const qint64 before = residentBytes();
        LoopWatch watch;
        const auto result = QCoro::waitFor(client.uploadAudio(QUrl::fromLocalFile(path), "x", {}, {}, {}));
        QVERIFY2(result.has_value(), qPrintable(result ? QString() : result.error().text()));
        QCOMPARE(result->task_id, std::optional<QString>("t-big"));
        QCOMPARE(sink.bodyBytes(), sink.announced());
        QVERIFY(sink.bodyBytes() > kSize);
        const qint64 grown = watch.peakResident() - before;
        qInfo() << "worst loop gap" << watch.worstGapMs() << "ms; memory grew by" << grown / (1024 * 1024) << "MiB";
        // Built in memory the body alone would be the file's size again. The sanitizer's quarantine
        // keeps up to 256 MiB of freed chunks resident, hence the margin.
        QVERIFY2(grown < kSize / 3, qPrintable(QString("memory grew by %1 MiB").arg(grown >> 20)));
        // Loose enough for a machine busy with other work; built in memory on the main thread, the
        // body held the loop for seconds.
        QVERIFY2(watch.worstGapMs() < 2000, qPrintable(QString("the loop stood still for %1 ms").arg(watch.worstGapMs())));
    }

    void keysAndCursorsStayOneSegmentOrValue_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QByteArray>("rawPath");
        QTest::newRow("slash") << "a/../../auth" << QByteArray("/api/v1/sources/a%2F..%2F..%2Fauth/status");
        QTest::newRow("query and fragment") << "k?x=1#f" << QByteArray("/api/v1/sources/k%3Fx%3D1%23f/status");
        QTest::newRow("space and percent") << "a b%2F" << QByteArray("/api/v1/sources/a%20b%252F/status");
    }
    void keysAndCursorsStayOneSegmentOrValue()
    {
        QFETCH(QString, key);
        QFETCH(QByteArray, rawPath);
        (void)QCoro::waitFor(m_client->status(key));
        const RecordedRequest request = m_service->requests().first();
        QCOMPARE(request.rawPath, rawPath);
        QCOMPARE(request.rawQuery, QByteArray());

        m_service->script("GET", "sources", {FakeReply{200, page({}, true, key)}, FakeReply{200, page({}, false, {})}});
        QVERIFY(QCoro::waitFor(m_client->listAllSources(false)).has_value());
        const RecordedRequest second = m_service->requests("GET", "sources").last();
        QCOMPARE(second.query.queryItemValue("before", QUrl::FullyDecoded), key);
        QCOMPARE(second.query.queryItems().size(), 2);
    }

    void keysNoSegmentCanHoldAreNotSent_data()
    {
        QTest::addColumn<QString>("key");
        QTest::newRow("dot dot") << "..";
        QTest::newRow("dot") << ".";
        QTest::newRow("empty") << "";
    }
    void keysNoSegmentCanHoldAreNotSent()
    {
        QFETCH(QString, key);
        QCOMPARE(QCoro::waitFor(m_client->status(key)).error().text(), "Mirelon response malformed: status: could not build URL");
        QCOMPARE(QCoro::waitFor(m_client->source(key)).error().text(), "Mirelon response malformed: source: could not build URL");
        QCOMPARE(QCoro::waitFor(m_client->cacheKey(key, 60s)), std::nullopt);
        QCOMPARE(m_service->requests().size(), 0);
    }

    void taskResolution_data()
    {
        QTest::addColumn<QList<FakeReply>>("answers");
        QTest::addColumn<std::optional<QString>>("key");
        QTest::addColumn<int>("requests");
        const FakeReply pending{200, R"({"status":"processing"})"};
        QTest::newRow("result key only") << QList<FakeReply>{{200, R"({"result":{"cache_key":"k9"}})"}}
                                         << std::optional<QString>("k9") << 1;
        QTest::newRow("empty top-level key outranks result")
            << QList<FakeReply>{{200, R"({"cache_key":"","result":{"cache_key":"k9"}})"}, {200, R"({"cache_key":"k10"})"}}
            << std::optional<QString>("k10") << 2;
        QTest::newRow("failures are waited out")
            << QList<FakeReply>{{500, "oops"}, {404, "{}"}, {200, "not json"}, {200, R"({"cache_key":5})"}, pending,
                                {200, R"({"status":"failed","cache_key":"k3"})"}}
            << std::optional<QString>("k3") << 6;
        QTest::newRow("deadline") << QList<FakeReply>{pending} << std::optional<QString>() << 12;
    }
    void taskResolution()
    {
        QFETCH(QList<FakeReply>, answers);
        QFETCH(std::optional<QString>, key);
        QFETCH(int, requests);
        m_service->script("GET", "sources/tasks/t1", answers, true);
        QCOMPARE(QCoro::waitFor(m_client->cacheKey("t1", 60s)), key);
        QCOMPARE(m_service->requests().size(), requests);
        for (auto sleep : m_clock->requestedSleeps())
            QCOMPARE(sleep, std::chrono::milliseconds(5s));
    }

    void aTimeLimitOfZeroSendsNothing()
    {
        QCOMPARE(QCoro::waitFor(m_client->cacheKey("t1", 0s)), std::nullopt);
        QCOMPARE(m_service->requests().size(), 0);
    }

    void listingFollowsCursorsAcrossPages()
    {
        for (int i = 0; i < 250; ++i)
            m_service->addSource(FakeSource{QString("k%1").arg(i), QString("f%1.m4a").arg(i)});
        m_service->addSource(FakeSource{"gone", "gone.m4a", "completed", true});

        const auto all = QCoro::waitFor(m_client->listAllSources(false));
        QVERIFY(all.has_value());
        QCOMPARE(all->size(), 250);
        QCOMPARE(all->first().cache_key, "k249");
        QCOMPARE(all->last().cache_key, "k0");
        const auto requests = m_service->requests();
        QCOMPARE(requests.size(), 3);
        QCOMPARE(requests[0].rawQuery, "limit=100");
        QCOMPARE(requests[1].rawQuery, "limit=100&before=k150");
        QCOMPARE(requests[2].rawQuery, "limit=100&before=k50");

        const auto withDeleted = QCoro::waitFor(m_client->listAllSources(true));
        QCOMPARE(withDeleted->size(), 251);
        QCOMPARE(m_service->requests()[3].rawQuery, "limit=100&include_deleted=true");
        QCOMPARE(m_service->requests()[4].rawQuery, "limit=100&include_deleted=true&before=k151");
    }

    void listingEndsWhereThePagesSay_data()
    {
        QTest::addColumn<QList<FakeReply>>("answers");
        QTest::addColumn<int>("requests");
        QTest::addColumn<QString>("error");
        const FakeReply more{200, page({entry("k", "f")}, true, QString("c"))};
        QTest::newRow("has_more without cursor") << QList<FakeReply>{{200, page({entry("k", "f")}, true, {})}} << 1 << QString();
        QTest::newRow("empty last page") << QList<FakeReply>{{200, page({}, false, QString("c"))}} << 1 << QString();
        QList<FakeReply> twoHundred(199, more);
        twoHundred.append(FakeReply{200, page({entry("k", "f")}, false, {})});
        QTest::newRow("200th page is the last") << twoHundred << 200 << QString();
        QTest::newRow("more after 200 pages") << QList<FakeReply>{more} << 200
                                              << "Mirelon response malformed: list: pagination exceeded 200 pages";
        QTest::newRow("a deleted flag that is a number")
            << QList<FakeReply>{more, {200, R"({"files":[{"cache_key":"k","is_deleted":1}],"count":1,"has_more":false})"}} << 2
            << "Mirelon response malformed: list: files[0].is_deleted: expected true or false";
        QTest::newRow("an entry without a key")
            << QList<FakeReply>{{200, R"({"files":[{"status":"done"}],"count":1,"has_more":false})"}} << 1
            << "Mirelon response malformed: list: files[0].cache_key: missing";
        QTest::newRow("failure part-way") << QList<FakeReply>{more, {503, "down"}} << 2 << "Mirelon request failed (503): down";
    }
    void listingEndsWhereThePagesSay()
    {
        QFETCH(QList<FakeReply>, answers);
        QFETCH(int, requests);
        QFETCH(QString, error);
        m_service->script("GET", "sources", answers, true);
        const auto result = QCoro::waitFor(m_client->listAllSources(false));
        QCOMPARE(m_service->requests().size(), requests);
        if (error.isEmpty())
            QVERIFY(result.has_value());
        else
            QCOMPARE(result.error().text(), error);
    }

    void keySearchPassesOverWhatIsNotLive()
    {
        const QJsonArray first{entry("k1", "memo.M4A"),
                               entry("k2", "memo.m4a", "FAILED"),
                               entry("k3", "memo.m4a", "Error"),
                               entry("k4", "memo.m4a", "completed", true),
                               entry("", "memo.m4a"),
                               entry("old", "memo.m4a")};
        const QJsonArray second{QJsonObject{{"cache_key", "live"}, {"original_filename", "memo.m4a"}}};
        const QList<FakeReply> pages{{200, page(first, true, QString("c1"))}, {200, page(second, false, {})}};

        m_service->script("GET", "sources", pages);
        QCOMPARE(QCoro::waitFor(m_client->currentKey("memo.m4a", "old", 3)), std::optional<QString>("live"));
        QCOMPARE(m_service->requests()[1].rawQuery, "limit=100&before=c1");

        m_service->clearRequests();
        m_service->script("GET", "sources", pages);
        QCOMPARE(QCoro::waitFor(m_client->currentKey("memo.m4a", "old", 1)), std::nullopt);
        QCOMPARE(m_service->requests().size(), 1);

        m_service->clearRequests();
        QCOMPARE(QCoro::waitFor(m_client->currentKey("memo.m4a", "old", 0)), std::nullopt);
        QCOMPARE(m_service->requests().size(), 0);

        m_service->script("GET", "sources", {{500, "x"}, {200, page(second, false, {})}});
        QCOMPARE(QCoro::waitFor(m_client->currentKey("memo.m4a", "old", 3)), std::nullopt);
        QCOMPARE(m_service->requests().size(), 1);
    }

    void sourceAndStatusDecode()
    {
        m_service->script("GET", "sources/k/status", {{200, "{}"}});
        QCOMPARE(QCoro::waitFor(m_client->status("k"))->transcription.has_value(), false);

        m_service->addSource(FakeSource{"k1", "a.m4a"});
        const auto status = QCoro::waitFor(m_client->status("k1"));
        QCOMPARE(status->transcription->status, std::optional<QString>("processing"));
        QCOMPARE(QCoro::waitFor(m_client->status("k1"))->transcription->status, std::optional<QString>("completed"));
        const auto detail = QCoro::waitFor(m_client->source("k1"));
        QCOMPARE(detail->result.text, std::optional<QString>("Transcript text."));
        QCOMPARE(detail->result.word_count, std::optional<int>(3));

        m_service->script("GET", "sources/k2", {{200, R"({"success":true,"result":{}})"}, {200, R"({"success":true,"cache_key":"k2"})"}});
        QCOMPARE(QCoro::waitFor(m_client->source("k2")).error().text(), "Mirelon response malformed: source: cache_key: missing");
        QCOMPARE(QCoro::waitFor(m_client->source("k2")).error().text(), "Mirelon response malformed: source: result: missing");
    }

    void sourceRecordsDecodeStrictly_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("error");
        QTest::newRow("key only") << QByteArray(R"({"cache_key":"k"})") << QString();
        QTest::newRow("null deleted flag") << QByteArray(R"({"cache_key":"k","is_deleted":null})") << QString();
        QTest::newRow("whole number as double") << QByteArray(R"({"cache_key":"k","created_at":0,"duration":3})") << QString();
        QTest::newRow("unknown keys") << QByteArray(R"({"cache_key":"k","extra":[1]})") << QString();
        QTest::newRow("no key") << QByteArray(R"({"status":"x"})") << "s.cache_key: missing";
        QTest::newRow("null key") << QByteArray(R"({"cache_key":null})") << "s.cache_key: missing";
        QTest::newRow("deleted as number") << QByteArray(R"({"cache_key":"k","is_deleted":1})") << "s.is_deleted: expected true or false";
        QTest::newRow("timestamp as string") << QByteArray(R"({"cache_key":"k","timestamp":"1"})") << "s.timestamp: expected a number";
        QTest::newRow("not an object") << QByteArray(R"(["k"])") << "s: expected an object";
    }
    void sourceRecordsDecodeStrictly()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, error);
        const QJsonDocument document = QJsonDocument::fromJson(json);
        const QJsonValue value = document.isObject() ? QJsonValue(document.object()) : QJsonValue(document.array());
        const auto decoded = SourceMetadata::fromJson(value, "s");
        if (error.isEmpty()) {
            QVERIFY(decoded.has_value());
            QCOMPARE(decoded->cache_key, "k");
            QCOMPARE(decoded->is_deleted, std::nullopt);
        } else {
            QCOMPARE(decoded.error().text, error);
        }
    }

    void aTransportFailureKeepsThePlatformText()
    {
        const quint16 port = m_service->port();
        m_service.reset();  // nothing listens there any more
        MirelonClient client(QUrl(QString("http://127.0.0.1:%1/api/v1").arg(port)), *m_session, *m_clock);
        const auto result = QCoro::waitFor(client.status("k"));
        QCOMPARE(result.error().kind, ClientError::Kind::Platform);
        QVERIFY2(result.error().text().contains("refused", Qt::CaseInsensitive), qPrintable(result.error().text()));
        QCOMPARE(QCoro::waitFor(client.cacheKey("t", 12s)), std::nullopt);
    }
};

QTEST_GUILESS_MAIN(MirelonClientTest)
#include "tst_mirelon_client.moc"
