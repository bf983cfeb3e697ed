// The token store against a real Secret Service: gnome-keyring-daemon on a private session bus,
// unlocked from standard input, started and stopped as a desktop's keyring comes and goes. One
// token, wherever it lives: what pairing wrote is what the next start reads.

#include "platform/paths/Paths.h"
#include "platform/secrets/FileSecretStore.h"
#include "platform/secrets/SecretServiceStore.h"
#include "platform/secrets/SystemSecretStore.h"
#include "support/PrivateSessionBus.h"
#include "support/TempHome.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace harkwell;

namespace {

const QString kService = "app.harkwell.Harkwell";
const QString kAccount = "mirelon_device_token";

// The secret, or the error's text, so that a failure shows what went wrong.
QByteArray shown(const std::expected<QByteArray, SecretError>& secret)
{
    return secret ? *secret : "error: " + secret.error().text.toUtf8();
}

}  // namespace

class SecretServiceTest : public QObject {
    Q_OBJECT

    std::unique_ptr<test::TempHome> m_home;
    std::unique_ptr<test::PrivateSessionBus> m_bus;
    QTemporaryDir m_runtime;
    QProcess m_keyring;
    QStringList m_lines;

    QDBusConnection bus() { return QDBusConnection(QStringLiteral("harkwell-secret-test")); }

    bool keyringOwnsItsName()
    {
        return bus().interface()->isServiceRegistered(QStringLiteral("org.freedesktop.secrets")).value();
    }

    // A keyring daemon of this test's own, its keyring in the temporary home, unlocked with a
    // password given on standard input, as a login session does.
    void startKeyring()
    {
        const QString daemon = QStandardPaths::findExecutable("gnome-keyring-daemon");
        QVERIFY2(!daemon.isEmpty(), "gnome-keyring-daemon is missing; scripts/setup installs it");
        QProcessEnvironment environment;
        environment.insert("HOME", m_home->path());
        environment.insert("XDG_RUNTIME_DIR", m_runtime.path());
        environment.insert("DBUS_SESSION_BUS_ADDRESS", m_bus->address());
        environment.insert("PATH", qEnvironmentVariable("PATH"));
        m_keyring.setProcessEnvironment(environment);
        m_keyring.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_keyring.setStandardOutputFile(QProcess::nullDevice());
        m_keyring.start(daemon, {"--foreground", "--unlock", "--components=secrets"});
        QVERIFY(m_keyring.waitForStarted(10000));
        m_keyring.write("harkwell-test-password");
        m_keyring.closeWriteChannel();
        QTRY_VERIFY_WITH_TIMEOUT(keyringOwnsItsName(), 20000);
    }
    void stopKeyring()
    {
        if (m_keyring.state() == QProcess::NotRunning)
            return;
        m_keyring.terminate();
        QVERIFY(m_keyring.waitForFinished(10000));
        QTRY_VERIFY_WITH_TIMEOUT(!keyringOwnsItsName(), 10000);
    }

    // A fresh store, as the application makes at each start.
    std::unique_ptr<SystemSecretStore> start()
    {
        return std::make_unique<SystemSecretStore>([this](const QString& line) { m_lines << line; });
    }

private slots:
    void initTestCase()
    {
        m_home = std::make_unique<test::TempHome>();
        m_bus = std::make_unique<test::PrivateSessionBus>();
        QVERIFY2(!m_bus->address().isEmpty(), "dbus-daemon did not start");
        QVERIFY(m_runtime.isValid());
        QFile::setPermissions(m_runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        // libsecret reaches the session bus named here; nothing of the user's session is touched.
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus->address().toUtf8());
        QVERIFY(QDBusConnection::connectToBus(m_bus->address(), "harkwell-secret-test").isConnected());
    }
    void cleanupTestCase()
    {
        stopKeyring();
        QDBusConnection::disconnectFromBus("harkwell-secret-test");
        m_bus.reset();
        m_home.reset();
    }
    void cleanup()
    {
        stopKeyring();
        m_lines.clear();
    }

    void theKeyringKeepsOneSecretPerItem()
    {
        startKeyring();
        QVERIFY(SecretServiceStore::isAvailable());
        SecretServiceStore keyring;
        QVERIFY(keyring.write(kService, "item", "first").has_value());
        QVERIFY(keyring.write(kService, "item", QByteArray("se\xff" "cond", 7)).has_value());
        QCOMPARE(shown(keyring.read(kService, "item")), QByteArray("se\xff" "cond", 7));
        QVERIFY(keyring.remove(kService, "item").has_value());
        QVERIFY(keyring.remove(kService, "item").has_value());
        QCOMPARE(keyring.read(kService, "item").error().kind, SecretError::Kind::NotFound);
    }

    // Paired while the keyring was away, started again once it answers: the token is found, moved
    // into the keyring and out of the plain file.
    void aTokenWrittenWithoutTheKeyringMovesInWhenItAnswers()
    {
        QVERIFY(!SecretServiceStore::isAvailable());
        QVERIFY(start()->write(kService, kAccount, "paired-headless").has_value());
        QVERIFY(QFile::exists(Paths::secretsFile()));
        QVERIFY(m_lines.join('\n').contains("no Secret Service answers"));

        startKeyring();
        auto next = start();
        QCOMPARE(shown(next->read(kService, kAccount)), QByteArray("paired-headless"));
        QVERIFY2(!QFile::exists(Paths::secretsFile()), qPrintable(m_lines.join('\n')));
        QCOMPARE(shown(SecretServiceStore().read(kService, kAccount)), QByteArray("paired-headless"));
        QVERIFY(m_lines.join('\n').contains("moved from " + Paths::secretsFile() + " into the Secret Service"));
        QVERIFY(next->remove(kService, kAccount).has_value());
    }

    // Paired into the keyring, then a start before the keyring answers, then the keyring comes
    // up: the same store finds the token as soon as it is there, and a new pairing replaces it.
    void aKeyringThatComesLateIsUsedWhenItAnswers()
    {
        startKeyring();
        QVERIFY(start()->write(kService, kAccount, "in-keyring").has_value());
        QVERIFY(!QFile::exists(Paths::secretsFile()));
        stopKeyring();

        auto early = start();
        QCOMPARE(early->read(kService, kAccount).error().kind, SecretError::Kind::NotFound);
        startKeyring();
        QCOMPARE(shown(early->read(kService, kAccount)), QByteArray("in-keyring"));

        QVERIFY(early->write(kService, kAccount, "paired-again").has_value());
        QCOMPARE(shown(start()->read(kService, kAccount)), QByteArray("paired-again"));
        QVERIFY(!QFile::exists(Paths::secretsFile()));
        QVERIFY(early->remove(kService, kAccount).has_value());
        QCOMPARE(start()->read(kService, kAccount).error().kind, SecretError::Kind::NotFound);
    }
};

QTEST_GUILESS_MAIN(SecretServiceTest)
#include "tst_secret_service.moc"
