// The device token's store: Keychain's rules over any secret store, and the file the token falls
// back to on a machine without a Secret Service.

#include "platform/paths/Paths.h"
#include "platform/secrets/FakeSecretStore.h"
#include "platform/secrets/FileSecretStore.h"
#include "platform/secrets/SystemSecretStore.h"
#include "service/Keychain.h"
#include "support/TempHome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <memory>

#include <sys/stat.h>

using namespace harkwell;

namespace {
const QString kAccount = QString::fromLatin1(Keychain::kDeviceTokenAccount);
}

Q_DECLARE_METATYPE(std::optional<QString>)

class KeychainTest : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeSecretStore> m_owned;
    FakeSecretStore* m_store = nullptr;

private slots:
    void init()
    {
        m_owned = std::make_unique<FakeSecretStore>();
        m_store = m_owned.get();
        Keychain::setStore(m_store);
    }
    void cleanup() { Keychain::setStore(nullptr); }

    void writingReplacesTheTokenInPlace()
    {
        QVERIFY(Keychain::write(kAccount, QString("first"), Keychain::deviceTokenService()));
        QVERIFY(Keychain::write(kAccount, QString("second"), Keychain::deviceTokenService()));
        QCOMPARE(m_store->itemCount(), 1);
        QCOMPARE(m_store->item("app.harkwell.Harkwell", "mirelon_device_token"), std::optional<QByteArray>("second"));
        QCOMPARE(Keychain::read(kAccount, Keychain::deviceTokenService()), std::optional<QString>("second"));
        QVERIFY(Keychain::hasDeviceToken());
    }

    // Whether the computer is paired is answered from memory: a store that takes its time is read
    // in the background, and pairing or disconnecting sets the answer at once.
    void thePairedFlagIsAnsweredFromMemory()
    {
        QVERIFY(m_store->write(Keychain::deviceTokenService(), kAccount, "t").has_value());
        m_store->setReadDelay(std::chrono::milliseconds(1500));
        QVERIFY(!Keychain::isPaired());  // not known yet: answered without reading
        QTRY_VERIFY_WITH_TIMEOUT(Keychain::isPaired(), 10000);
        m_store->setReadDelay(std::chrono::milliseconds(0));
        QVERIFY(Keychain::write(kAccount, std::nullopt, Keychain::deviceTokenService()));
        QVERIFY(!Keychain::isPaired());
        QVERIFY(Keychain::write(kAccount, QString("u"), Keychain::deviceTokenService()));
        QVERIFY(Keychain::isPaired());
    }

    void anEmptyOrAbsentValueDeletes()
    {
        QVERIFY(Keychain::write(kAccount, QString("t"), Keychain::deviceTokenService()));
        QVERIFY(Keychain::write(kAccount, QString(""), Keychain::deviceTokenService()));
        QCOMPARE(m_store->itemCount(), 0);
        QVERIFY(Keychain::write(kAccount, std::nullopt, Keychain::deviceTokenService()));  // nothing there: still true
        QVERIFY(!Keychain::hasDeviceToken());
        QCOMPARE(Keychain::authorizationHeader(), std::nullopt);
    }

    void whatIsReadBackDecidesTheToken_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<std::optional<QString>>("read");
        QTest::addColumn<std::optional<QString>>("header");
        QTest::newRow("token") << QByteArray("abc") << std::optional<QString>("abc") << std::optional<QString>("Bearer abc");
        QTest::newRow("blanks kept") << QByteArray(" abc\n") << std::optional<QString>(" abc\n")
                                     << std::optional<QString>("Bearer  abc\n");
        QTest::newRow("empty data") << QByteArray("") << std::optional<QString>("") << std::optional<QString>();
        QTest::newRow("not UTF-8") << QByteArray("ab\xff", 3) << std::optional<QString>() << std::optional<QString>();
        QTest::newRow("cut-off sequence") << QByteArray("ab\xc3", 3) << std::optional<QString>() << std::optional<QString>();
    }
    void whatIsReadBackDecidesTheToken()
    {
        QFETCH(QByteArray, stored);
        QFETCH(std::optional<QString>, read);
        QFETCH(std::optional<QString>, header);
        m_store->setReadBack(stored);
        QCOMPARE(Keychain::read(kAccount, Keychain::deviceTokenService()), read);
        QCOMPARE(Keychain::authorizationHeader(), header);
        QCOMPARE(Keychain::hasDeviceToken(), header.has_value());
    }

    void aFailingStoreIsQuiet()
    {
        m_store->setFailWrites(true);
        QVERIFY(!Keychain::write(kAccount, QString("t"), Keychain::deviceTokenService()));
        QVERIFY(!Keychain::write(kAccount, std::nullopt, Keychain::deviceTokenService()));
        m_store->setFailReads(true);
        QCOMPARE(Keychain::read(kAccount, Keychain::deviceTokenService()), std::nullopt);
        QVERIFY(!Keychain::hasDeviceToken());
    }

    void theFileFallbackIsPrivateAndShaped()
    {
        test::TempHome home;
        FileSecretStore store(Paths::secretsFile());
        QVERIFY(store.write("app.harkwell.Harkwell", "mirelon_device_token", "tok").has_value());
        QVERIFY(store.write("corvale.mirelon", "mirelon_device_token", "old").has_value());

        struct stat info {};
        QCOMPARE(::stat(QFile::encodeName(Paths::secretsFile()).constData(), &info), 0);
        QCOMPARE(info.st_mode & 07777, mode_t(0600));
        QFile file(Paths::secretsFile());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonObject expected{{"app.harkwell.Harkwell", QJsonObject{{"mirelon_device_token", "tok"}}},
                                   {"corvale.mirelon", QJsonObject{{"mirelon_device_token", "old"}}}};
        QCOMPARE(QJsonDocument::fromJson(file.readAll()).object(), expected);

        QCOMPARE(store.read("app.harkwell.Harkwell", "mirelon_device_token").value(), "tok");
        QVERIFY(store.remove("corvale.mirelon", "mirelon_device_token").has_value());
        QVERIFY(store.remove("corvale.mirelon", "mirelon_device_token").has_value());
        QCOMPARE(store.read("corvale.mirelon", "mirelon_device_token").error().kind, SecretError::Kind::NotFound);
    }

    // A copy or a restore can leave the file open to others: it is made private again when read.
    void aFileOthersCanReadIsMadePrivateWhenRead()
    {
        test::TempHome home;
        const QString path = home.writeFile(Paths::secretsFile(),
                                            R"({"s": {"a": "t"}})");
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
        QStringList lines;
        FileSecretStore store(path, [&](const QString& line) { lines << line; });
        QCOMPARE(store.read("s", "a").value(), "t");
        struct stat info {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &info), 0);
        QCOMPARE(info.st_mode & 07777, mode_t(0600));
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.first().contains("mode 644") && lines.first().contains("0600"), qPrintable(lines.first()));
    }

    // A damaged file is said to be damaged, kept aside as it was, and a new pairing writes a new one.
    void aDamagedFileIsKeptAsideAndSaidSo_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("damage");
        QTest::newRow("not JSON") << QByteArray("{not json") << "it is not JSON";
        QTest::newRow("not UTF-8") << QByteArray("{\"s\": {\"a\": \"t\xff\"}}") << "it is not UTF-8 text";
        QTest::newRow("an array") << QByteArray("[]") << "it is not a JSON object";
        QTest::newRow("a number for a secret") << QByteArray(R"({"s": {"a": 5}})") << "is not text";
    }
    void aDamagedFileIsKeptAsideAndSaidSo()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, damage);
        test::TempHome home;
        const QString path = home.writeFile(Paths::secretsFile(), content);
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
        QStringList lines;
        FileSecretStore store(path, [&](const QString& line) { lines << line; });

        const auto read = store.read("s", "a");
        QCOMPARE(read.error().kind, SecretError::Kind::NotFound);
        QVERIFY2(read.error().text.contains("damaged") && read.error().text.contains(damage), qPrintable(read.error().text));
        QCOMPARE(lines.size(), 1);
        QVERIFY(lines.first().startsWith("[harkwell] keychain: " + path + " was damaged"));

        const QStringList aside = QDir(QFileInfo(path).absolutePath()).entryList({"secrets.json.damaged-*"});
        QCOMPARE(aside.size(), 1);
        QFile kept(QFileInfo(path).absolutePath() + "/" + aside.first());
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), content);

        QVERIFY(store.write("s", "a", "new").has_value());
        QCOMPARE(store.read("s", "a").value(), "new");
        QCOMPARE(lines.size(), 1);
    }

    // JSON holds text only: a secret that is not UTF-8 is refused rather than stored altered.
    void theFileRefusesSecretsThatAreNotText()
    {
        test::TempHome home;
        FileSecretStore store(Paths::secretsFile());
        const auto written = store.write("s", "a", QByteArray("t\xff\xfe", 3));
        QVERIFY(!written.has_value());
        QVERIFY(written.error().text.contains("not text"));
        QVERIFY(!QFile::exists(Paths::secretsFile()));
    }

    // One token wherever it lives, with a keyring that comes and goes (the live test runs the same
    // against gnome-keyring).
    void oneTokenAcrossKeyringAndFile()
    {
        test::TempHome home;
        bool answers = false;
        auto owned = std::make_unique<FakeSecretStore>();
        FakeSecretStore* keyring = owned.get();
        QStringList lines;
        SystemSecretStore store([&](const QString& line) { lines << line; }, std::move(owned), [&] { return answers; },
                                Paths::secretsFile());

        QVERIFY(store.write("s", "a", "headless").has_value());
        QCOMPARE(keyring->itemCount(), 0);
        QVERIFY(QFile::exists(Paths::secretsFile()));

        answers = true;
        keyring->setFailWrites(true);  // a keyring that answers and refuses: the file keeps the token
        QCOMPARE(store.read("s", "a").value(), "headless");
        QCOMPARE(store.read("s", "a").value(), "headless");
        QCOMPARE(keyring->writeCount(), 1);  // refused once, not asked again at every read

        keyring->setFailWrites(false);
        QVERIFY(store.write("s", "a", "paired").has_value());
        QCOMPARE(keyring->item("s", "a"), std::optional<QByteArray>("paired"));
        QVERIFY(!QFile::exists(Paths::secretsFile()));

        answers = false;
        QVERIFY(store.write("s", "a", "newer").has_value());
        answers = true;
        QCOMPARE(store.read("s", "a").value(), "newer");  // the file's is the newer one
        QCOMPARE(keyring->item("s", "a"), std::optional<QByteArray>("newer"));
        QVERIFY(!QFile::exists(Paths::secretsFile()));

        QVERIFY(store.remove("s", "a").has_value());
        QCOMPARE(keyring->itemCount(), 0);
        QCOMPARE(store.read("s", "a").error().kind, SecretError::Kind::NotFound);
    }

    void withoutASecretServiceTheFileIsUsedAndSaidOnce()
    {
        test::TempHome home;
        const QByteArray bus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        QStringList lines;
        {
            SystemSecretStore store([&](const QString& line) { lines.append(line); });
            QVERIFY(store.write("s", "a", "t").has_value());
            QCOMPARE(store.read("s", "a").value(), "t");
        }
        if (!bus.isEmpty())
            qputenv("DBUS_SESSION_BUS_ADDRESS", bus);
        QCOMPARE(lines.size(), 1);
        QVERIFY(lines.first().contains(Paths::secretsFile()));
        QVERIFY(QFile::exists(Paths::secretsFile()));
    }
};

QTEST_GUILESS_MAIN(KeychainTest)
#include "tst_keychain.moc"
