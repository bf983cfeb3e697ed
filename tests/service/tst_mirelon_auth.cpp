// Device pairing against the fake service: each way a pairing ends, what it stores, what it opens,
// and that cancelling leaves no pairing running. The fake clock carries every poll interval.

#include "platform/clock/FakeClock.h"
#include "platform/secrets/FakeSecretStore.h"
#include "platform/workspace/FakeWorkspace.h"
#include "foundation/Opening.h"
#include "service/Keychain.h"
#include "service/MirelonAuth.h"
#include "support/FakeMirelonService.h"
#include "support/TempHome.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QTest>

#include <memory>

using namespace harkwell;
using namespace harkwell::test;
using namespace std::chrono_literals;

using Kind = MirelonAuth::State::Kind;

namespace {
std::optional<QByteArray> storedToken(const FakeSecretStore& store)
{
    return store.item("app.harkwell.Harkwell", "mirelon_device_token");
}
}  // namespace

class MirelonAuthTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TempHome> m_home;
    std::unique_ptr<FakeSecretStore> m_secrets;
    std::unique_ptr<FakeMirelonService> m_service;
    std::unique_ptr<FakeClock> m_clock;
    std::unique_ptr<QNetworkAccessManager> m_session;
    std::unique_ptr<FakeWorkspace> m_workspace;
    std::unique_ptr<MirelonAuth> m_auth;
    int m_resumed = 0;

    // Connects and waits until the pairing has ended (or reached `until`).
    void pairUntilSettled(Kind until = Kind::Failed)
    {
        m_auth->connect(m_service->baseUrl());
        QTRY_VERIFY_WITH_TIMEOUT(m_auth->state().kind == Kind::Connected || m_auth->state().kind == until, 5000);
    }

private slots:
    void init()
    {
        m_home = std::make_unique<TempHome>();
        m_secrets = std::make_unique<FakeSecretStore>();
        Keychain::setStore(m_secrets.get());
        m_service = std::make_unique<FakeMirelonService>();
        m_clock = std::make_unique<FakeClock>();
        m_clock->setAutoAdvance(true);
        m_session = std::make_unique<QNetworkAccessManager>();
        m_workspace = std::make_unique<FakeWorkspace>();
        m_resumed = 0;
        Opening::setWorkspace(m_workspace.get());
        m_auth = std::make_unique<MirelonAuth>(*m_clock, *m_session, [this] { ++m_resumed; });
    }
    void cleanup()
    {
        m_auth.reset();
        m_service.reset();
        Opening::setWorkspace(nullptr);
        Keychain::setStore(nullptr);
        m_secrets.reset();
        m_home.reset();
    }

    void approvalStoresTheTokenThenResumes()
    {
        m_service->setPairingPendingPolls(2);
        m_service->setPairingToken("hwdt_0123456789abcdef");
        QList<Kind> seen;
        QObject::connect(m_auth.get(), &MirelonAuth::stateChanged, this,
                         [&](const MirelonAuth::State& state) { seen.append(state.kind); });
        pairUntilSettled();

        QCOMPARE(m_auth->state(), MirelonAuth::State::connected("hwdt_0123456", {"kb:read", "kb:write"}));
        QCOMPARE(seen, (QList<Kind>{Kind::Idle, Kind::Pairing, Kind::Connected}));
        QCOMPARE(storedToken(*m_secrets), std::optional<QByteArray>("hwdt_0123456789abcdef"));
        QCOMPARE(m_resumed, 1);
        QTRY_COMPARE(m_workspace->opened(), QList<QUrl>{QUrl("https://mirelon.example/activate")});
        QCOMPARE(m_clock->requestedSleeps(), (QList<std::chrono::milliseconds>{5s, 5s, 5s}));

        const auto requests = m_service->requests();
        QCOMPARE(requests.size(), 4);
        QCOMPARE(requests[0].rawPath, "/api/v1/auth/devices/init");
        const QJsonObject initBody = QJsonDocument::fromJson(requests[0].body).object();
        QCOMPARE(initBody.value("client_type").toString(), "harkwell-mac");
        QVERIFY(initBody.value("name").toString().endsWith(" (harkwell)"));
        QCOMPARE(initBody.value("scopes").toArray(), (QJsonArray{"kb:read", "kb:write"}));
        for (const RecordedRequest& request : requests) {
            QCOMPARE(request.method, "POST");
            QCOMPARE(request.header("Content-Type"), "application/json");
            QVERIFY(!request.hasHeader("Authorization"));
            QVERIFY(!request.hasHeader("X-Client-Type"));
        }
        QCOMPARE(requests[1].rawPath, "/api/v1/auth/devices/token");
        QCOMPARE(QJsonDocument::fromJson(requests[1].body).object(), (QJsonObject{{"device_code", "dc-1"}}));
    }

    void pairingEndsWithItsMessage_data()
    {
        QTest::addColumn<QByteArray>("pollAnswer");
        QTest::addColumn<QString>("message");
        QTest::newRow("denied") << QByteArray(R"({"status":"denied"})") << "Pairing was denied in the browser.";
        QTest::newRow("expired") << QByteArray(R"({"status":"expired"})") << "Pairing expired. Click Connect to try again.";
        QTest::newRow("letter case") << QByteArray(R"({"status":"Approved","token":"t"})") << "Unexpected pairing status: Approved";
        QTest::newRow("no token") << QByteArray(R"({"status":"approved"})")
                                  << "Mirelon approved the pairing but returned no token.";
        QTest::newRow("empty token") << QByteArray(R"({"status":"approved","token":""})")
                                     << "Mirelon approved the pairing but returned no token.";
        QTest::newRow("undecodable") << QByteArray(R"({"token":"t"})") << "Mirelon's answer could not be read: status: missing.";
    }
    void pairingEndsWithItsMessage()
    {
        QFETCH(QByteArray, pollAnswer);
        QFETCH(QString, message);
        m_secrets->write("app.harkwell.Harkwell", "mirelon_device_token", "earlier");
        m_service->script("POST", "auth/devices/token", {FakeReply{200, pollAnswer}});
        pairUntilSettled();
        QCOMPARE(m_auth->state(), MirelonAuth::State::failed(message));
        QCOMPARE(storedToken(*m_secrets), std::optional<QByteArray>("earlier"));  // a failed pairing keeps the old token
        QCOMPARE(m_resumed, 0);
    }

    void approvalWithoutScopesOrALongToken()
    {
        m_service->script("POST", "auth/devices/token", {FakeReply{200, R"({"status":"approved","token":"short"})"}});
        pairUntilSettled();
        QCOMPARE(m_auth->state(), MirelonAuth::State::connected("short", {}));
    }

    void aTokenThatCannotBeStoredIsNotUsed()
    {
        m_service->setPairingPendingPolls(0);
        m_secrets->setFailWrites(true);
        pairUntilSettled();
        QCOMPARE(m_auth->state(),
                 MirelonAuth::State::failed("Could not save the token to the Keychain. Pairing must be repeated."));
        QCOMPARE(m_resumed, 0);
    }

    void theIntervalIsAtLeastOneSecond_data()
    {
        QTest::addColumn<int>("interval");
        QTest::newRow("zero") << 0;
        QTest::newRow("negative") << -3;
    }
    void theIntervalIsAtLeastOneSecond()
    {
        QFETCH(int, interval);
        m_service->setPairingTiming(interval, 600);
        m_service->setPairingPendingPolls(3);
        pairUntilSettled();
        QCOMPARE(m_auth->state().kind, Kind::Connected);
        QCOMPARE(m_clock->requestedSleeps(), (QList<std::chrono::milliseconds>{1s, 1s, 1s, 1s}));
    }

    void theLocalDeadlineEndsPollingWithoutAPoll()
    {
        m_service->setPairingTiming(5, 0);
        pairUntilSettled();
        QCOMPARE(m_auth->state(), MirelonAuth::State::failed("Pairing expired. Click Connect to try again."));
        QCOMPARE(m_service->requests("POST", "auth/devices/token").size(), 0);

        m_service->setPairingTiming(5, 12);  // polls at 5 s and 10 s, then the deadline at 15 s
        m_service->setPairingPendingPolls(100);
        pairUntilSettled();
        QCOMPARE(m_auth->state(), MirelonAuth::State::failed("Pairing expired. Click Connect to try again."));
        QCOMPARE(m_service->requests("POST", "auth/devices/token").size(), 2);
    }

    void httpFailuresShowStatusAndBody_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("message");
        QTest::newRow("long body") << QByteArray(300, 'e') << "Mirelon returned HTTP 500. " + QString(200, 'e');
        QTest::newRow("not UTF-8") << QByteArray("\xff\xfe", 2) << "Mirelon returned HTTP 500. ";
        QTest::newRow("characters, not bytes") << QString(250, QChar(0x00e9)).toUtf8() << "Mirelon returned HTTP 500. " + QString(200, QChar(0x00e9));
    }
    void httpFailuresShowStatusAndBody()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, message);
        m_service->script("POST", "auth/devices/init", {FakeReply{500, body}});
        pairUntilSettled();
        QCOMPARE(m_auth->state(), MirelonAuth::State::failed(message));
        QVERIFY(m_workspace->opened().isEmpty());

        m_service->script("POST", "auth/devices/token", {FakeReply{500, "poll broke"}});
        pairUntilSettled();
        QCOMPARE(m_auth->state(), MirelonAuth::State::failed("Mirelon returned HTTP 500. poll broke"));
    }

    void onlyAWebPageIsOpened_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("usable");
        QTest::newRow("https") << "https://mirelon.example/activate?code=AB" << true;
        QTest::newRow("http to loopback") << "http://127.0.0.1:8080/activate" << true;
        QTest::newRow("http to localhost") << "http://localhost/activate" << true;
        QTest::newRow("http elsewhere") << "http://mirelon.example/activate" << false;
        QTest::newRow("file") << "file:///etc/passwd" << false;
        QTest::newRow("javascript") << "javascript:alert(1)" << false;
        QTest::newRow("program") << "/usr/bin/xterm" << false;
        QTest::newRow("not a URL") << "https://exa mple.com/%zz" << false;
        QTest::newRow("empty") << "" << false;
    }
    void onlyAWebPageIsOpened()
    {
        QFETCH(QString, url);
        QFETCH(bool, usable);
        m_service->setVerificationUrl(url);
        m_service->setPairingPendingPolls(0);
        pairUntilSettled();
        if (usable) {
            QCOMPARE(m_auth->state().kind, Kind::Connected);
            QTRY_COMPARE(m_workspace->opened(), QList<QUrl>{QUrl(url)});
        } else {
            QCOMPARE(m_auth->state(), MirelonAuth::State::failed("Mirelon returned an unusable verification URL."));
            QVERIFY(m_workspace->opened().isEmpty());
            QCOMPARE(m_service->requests("POST", "auth/devices/token").size(), 0);
        }
    }

    void connectingAgainReplacesTheRunningPairing()
    {
        m_clock->setAutoAdvance(false);
        m_service->setPairingPendingPolls(0);
        m_auth->connect(m_service->baseUrl());
        QTRY_COMPARE_WITH_TIMEOUT(m_clock->pendingSleepers(), 1, 5000);  // first pairing sleeps before its poll
        QCOMPARE(m_auth->state().userCode, "ABCD-0001");

        m_auth->connect(m_service->baseUrl());
        QCOMPARE(m_auth->state().kind, Kind::Idle);
        QTRY_COMPARE_WITH_TIMEOUT(m_auth->state().userCode, QString("ABCD-0002"), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(m_clock->pendingSleepers(), 2, 5000);
        m_clock->setAutoAdvance(true);
        m_clock->advance(5s);
        QTRY_COMPARE_WITH_TIMEOUT(m_auth->state().kind, Kind::Connected, 5000);

        const auto polls = m_service->requests("POST", "auth/devices/token");
        QCOMPARE(polls.size(), 1);
        QCOMPARE(QJsonDocument::fromJson(polls.first().body).object().value("device_code").toString(), "dc-2");
        QCOMPARE(m_resumed, 1);
    }

    void disconnectStopsPairingAndForgetsTheToken()
    {
        m_secrets->write("app.harkwell.Harkwell", "mirelon_device_token", "earlier-token-value");
        m_auth->refreshConnectedState();
        QCOMPARE(m_auth->state(), MirelonAuth::State::connected("earlier-toke", {}));

        m_clock->setAutoAdvance(false);
        m_auth->connect(m_service->baseUrl());
        QTRY_COMPARE_WITH_TIMEOUT(m_clock->pendingSleepers(), 1, 5000);
        m_auth->disconnect();
        QCOMPARE(m_auth->state().kind, Kind::Idle);
        QVERIFY(!m_auth->hasPollTask());
        QCOMPARE(storedToken(*m_secrets), std::nullopt);

        m_clock->advance(5s);  // the old pairing wakes and must end without polling
        QTRY_COMPARE_WITH_TIMEOUT(m_clock->pendingSleepers(), 0, 5000);
        m_service->setPairingOutcome("denied");
        m_service->setPairingPendingPolls(0);
        m_clock->setAutoAdvance(true);
        pairUntilSettled();  // a later pairing's requests come after anything the old one sent
        const auto polls = m_service->requests("POST", "auth/devices/token");
        QCOMPARE(polls.size(), 1);
        QCOMPARE(QJsonDocument::fromJson(polls.first().body).object().value("device_code").toString(), "dc-2");
        QCOMPARE(m_resumed, 0);
    }

    void cancellingShowsWhatIsStored()
    {
        m_clock->setAutoAdvance(false);
        m_auth->connect(m_service->baseUrl());
        QTRY_COMPARE_WITH_TIMEOUT(m_auth->state().kind, Kind::Pairing, 5000);
        m_auth->cancelPairing();
        QCOMPARE(m_auth->state().kind, Kind::Idle);
        QVERIFY(!m_auth->hasPollTask());
    }
};

QTEST_GUILESS_MAIN(MirelonAuthTest)
#include "tst_mirelon_auth.moc"
