#include "service/MirelonAuth.h"

#include "foundation/Opening.h"
#include "platform/clock/Clock.h"
#include "service/HttpExchange.h"
#include "service/Keychain.h"
#include "service/MirelonClient.h"
#include "service/PairingAnswers.h"
#include "service/Utf8Text.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QSysInfo>
#include <QTextBoundaryFinder>
#include <QtConcurrent/QtConcurrentRun>

#include <qcoro/qcorofuture.h>

#include <expected>

namespace harkwell {

namespace {

const QString kUnusableUrl = QStringLiteral("Mirelon returned an unusable verification URL.");
const QString kExpired = QStringLiteral("Pairing expired. Click Connect to try again.");
const QString kDenied = QStringLiteral("Pairing was denied in the browser.");
const QString kNoToken = QStringLiteral("Mirelon approved the pairing but returned no token.");
const QString kNotSaved = QStringLiteral("Could not save the token to the Keychain. Pairing must be repeated.");

QString firstCharacters(const QString& text, int count)
{
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, text);
    qsizetype end = 0;
    for (int i = 0; i < count && end < text.size(); ++i) {
        const qsizetype next = graphemes.toNextBoundary();
        if (next < 0)
            break;
        end = next;
    }
    return text.left(end);
}

// One unauthenticated JSON request; a status outside 200 to 299 is a failure with its own text.
QCoro::Task<std::expected<HttpAnswer, ClientError>> postJson(QNetworkAccessManager& session, QUrl url,
                                                             QByteArray payload,
                                                             std::function<void(QNetworkReply*)> started)
{
    QNetworkRequest request(url);
    request.setRawHeader("Content-Type", "application/json");
    const HttpLimits limits{MirelonClient::kMaxJsonAnswerBytes, MirelonClient::kRequestTimeout,
                            MirelonClient::kRequestDeadline};
    auto answer = co_await HttpExchange::send(session, request, "POST", payload, limits, std::move(started));
    if (answer && (answer->status < 200 || answer->status > 299)) {
        const QString body = Utf8Text::strict(answer->body).value_or(QString());
        co_return std::unexpected(
            ClientError::platform(QStringLiteral("Mirelon returned HTTP %1. %2").arg(answer->status).arg(firstCharacters(body, 200))));
    }
    co_return answer;
}

QString computerName()
{
    const QString host = QSysInfo::machineHostName();
    return host.isEmpty() ? QStringLiteral("Mac") : host;
}

}  // namespace

struct MirelonAuth::Run {
    bool cancelled = false;
    QPointer<QNetworkReply> reply;  // the request in flight, aborted on cancel
};

// ---- State ----------------------------------------------------------------------------------------

MirelonAuth::State MirelonAuth::State::pairing(QString userCode, QUrl verificationUrl, QDateTime expiresAt)
{
    State state{Kind::Pairing};
    state.userCode = std::move(userCode);
    state.verificationUrl = std::move(verificationUrl);
    state.expiresAt = std::move(expiresAt);
    return state;
}

MirelonAuth::State MirelonAuth::State::connected(QString tokenPrefix, QStringList scopes)
{
    State state{Kind::Connected};
    state.tokenPrefix = std::move(tokenPrefix);
    state.scopes = std::move(scopes);
    return state;
}

MirelonAuth::State MirelonAuth::State::failed(QString message)
{
    State state{Kind::Failed};
    state.message = std::move(message);
    return state;
}

MirelonAuth::State MirelonAuth::State::idle() { return State{}; }

// ---- MirelonAuth -----------------------------------------------------------------------------------

MirelonAuth::MirelonAuth(Clock& clock, QNetworkAccessManager& session, ResumeHook resume, QObject* parent)
    : QObject(parent), m_clock(clock), m_session(session), m_resume(std::move(resume))
{
    refreshConnectedState();
}

MirelonAuth::~MirelonAuth() { cancelRun(); }

void MirelonAuth::setState(State state)
{
    m_state = std::move(state);
    emit stateChanged(m_state);
}

void MirelonAuth::cancelRun()
{
    if (!m_run)
        return;
    const std::shared_ptr<Run> run = std::exchange(m_run, nullptr);
    run->cancelled = true;
    if (run->reply)
        run->reply->abort();
}

void MirelonAuth::connect(const QUrl& baseUrl)
{
    cancelRun();
    setState(State::idle());
    m_run = std::make_shared<Run>();
    pair(QPointer<MirelonAuth>(this), m_run, baseUrl);
}

void MirelonAuth::disconnect()
{
    cancelRun();
    Keychain::write(QLatin1String(Keychain::kDeviceTokenAccount), std::nullopt, Keychain::deviceTokenService());
    setState(State::idle());
}

void MirelonAuth::refreshConnectedState()
{
    const auto token = Keychain::read(QLatin1String(Keychain::kDeviceTokenAccount), Keychain::deviceTokenService());
    if (token && !token->isEmpty())
        setState(State::connected(token->left(kTokenPrefixLength), {}));
    else
        setState(State::idle());
}

void MirelonAuth::cancelPairing()
{
    cancelRun();
    refreshConnectedState();
}

QCoro::Task<> MirelonAuth::pair(QPointer<MirelonAuth> self, std::shared_ptr<Run> run, QUrl baseUrl)
{
    // Every wait may end with the pairing cancelled (or its owner gone, which cancels it too);
    // then the loop ends without touching the state.
    auto stopped = [&] { return run->cancelled || !self; };
    auto fail = [&](const QString& message) { self->setState(State::failed(message)); };

    auto post = [&](const QString& path, const QJsonObject& body) {
        return postJson(self->m_session, MirelonClient::address(baseUrl, path.split(QLatin1Char('/'))),
                        QJsonDocument(body).toJson(QJsonDocument::Compact),
                        [run](QNetworkReply* reply) { run->reply = reply; });
    };

    const QString initPath = QStringLiteral("auth/devices/init");
    const QJsonObject initBody{
        {QStringLiteral("client_type"), QStringLiteral("harkwell-mac")},
        {QStringLiteral("name"), computerName() + QStringLiteral(" (harkwell)")},
        {QStringLiteral("scopes"), QJsonArray{QStringLiteral("kb:read"), QStringLiteral("kb:write")}},
    };
    auto initAnswer = co_await post(initPath, initBody);
    if (stopped())
        co_return;
    if (!initAnswer) {
        fail(initAnswer.error().text());
        co_return;
    }

    const auto decodedInit = PairingAnswers::decodeInit(initAnswer->body);
    if (!decodedInit) {
        fail(decodedInit.error());
        co_return;
    }
    const PairingAnswers::Init& init = *decodedInit;

    const QUrl verificationUrl(init.verificationUrl, QUrl::StrictMode);
    if (!PairingAnswers::isUsableVerificationUrl(verificationUrl)) {
        fail(kUnusableUrl);
        co_return;
    }
    const QDateTime expiresAt = self->m_clock.now().addSecs(init.expiresIn);
    self->setState(State::pairing(init.userCode, verificationUrl, expiresAt));
    Opening::openWithoutWaiting(verificationUrl);

    const std::chrono::seconds interval{std::max(init.interval, 1)};
    Clock& clock = self->m_clock;
    const QString pollPath = QStringLiteral("auth/devices/token");
    const QJsonObject pollBody{{QStringLiteral("device_code"), init.deviceCode}};
    for (;;) {
        if (stopped())
            co_return;
        co_await clock.sleep(interval);
        if (stopped())
            co_return;
        if (self->m_clock.now() >= expiresAt) {
            fail(kExpired);
            co_return;
        }

        auto pollAnswer = co_await post(pollPath, pollBody);
        if (stopped())
            co_return;
        if (!pollAnswer) {
            fail(pollAnswer.error().text());
            co_return;
        }
        const auto decodedPoll = PairingAnswers::decodePoll(pollAnswer->body);
        if (!decodedPoll) {
            fail(decodedPoll.error());
            co_return;
        }
        const PairingAnswers::Poll& poll = *decodedPoll;

        if (poll.status == QLatin1String("authorization_pending"))
            continue;
        if (poll.status == QLatin1String("approved")) {
            if (!poll.token || poll.token->isEmpty()) {
                fail(kNoToken);
                co_return;
            }
            // The store may wait on the keyring's unlock prompt; the window stays responsive.
            QFuture<bool> writing = QtConcurrent::run([token = *poll.token] {
                return Keychain::write(QLatin1String(Keychain::kDeviceTokenAccount), token,
                                       Keychain::deviceTokenService());
            });
            const bool saved = co_await writing;
            if (!self)
                co_return;
            if (!saved) {
                fail(kNotSaved);
            } else {
                self->setState(State::connected(poll.token->left(kTokenPrefixLength), poll.scopes.value_or(QStringList())));
                if (self->m_resume)
                    self->m_resume();
            }
        } else if (poll.status == QLatin1String("denied")) {
            fail(kDenied);
        } else if (poll.status == QLatin1String("expired")) {
            fail(kExpired);
        } else {
            fail(QStringLiteral("Unexpected pairing status: ") + poll.status);
        }
        co_return;
    }
}

}  // namespace harkwell
