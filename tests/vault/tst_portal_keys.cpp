// The global keys through the desktop portal: the real xdg-desktop-portal on a private bus, with a
// fake desktop backend behind it (tests/support/shortcuts_backend.py). Both keys are bound in one
// request with their descriptions and preferred triggers, the desktop's names for the keys are
// the ones shown, presses run search and record, a cancelled bind or a missing portal leaves the
// keys unregistered with a text that points at the command-line actions.

#include "foundation/HotkeyNames.h"
#include "platform/hotkeys/PortalGlobalKeys.h"
#include "support/PrivateSessionBus.h"
#include "support/TempHome.h"
#include "vault/HotkeyManager.h"

#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace harkwell;

namespace {

// A line-per-answer helper process: its stdin takes commands, its stdout gives JSON lines.
class Helper {
public:
    ~Helper()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.closeWriteChannel();
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    QProcess& process() { return m_process; }
    void send(const QByteArray& command) { m_process.write(command + '\n'); }
    QJsonObject next(const QString& key)
    {
        QJsonObject found;
        const auto take = [&] {
            while (m_process.canReadLine()) {
                const QJsonObject line = QJsonDocument::fromJson(m_process.readLine()).object();
                if (line.contains(key)) {
                    found = line;
                    return true;
                }
            }
            return false;
        };
        if (!QTest::qWaitFor(take, 10000))
            qWarning() << "no line with" << key;
        return found;
    }

private:
    QProcess m_process;
};

// The portal frontend and the fake desktop behind it, on a bus of their own.
class PortalRig {
public:
    explicit PortalRig(bool cancel)
    {
        if (m_bus.address().isEmpty())
            return;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("DBUS_SESSION_BUS_ADDRESS", m_bus.address());
        environment.insert("XDG_DESKTOP_PORTAL_DIR", m_portals.path());
        environment.insert("XDG_CURRENT_DESKTOP", "harkwelltest");
        QFile portal(m_portals.filePath("harkwelltest.portal"));
        if (!portal.open(QIODevice::WriteOnly))
            return;
        portal.write("[portal]\nDBusName=org.freedesktop.impl.portal.Test\n"
                     "Interfaces=org.freedesktop.impl.portal.GlobalShortcuts\nUseIn=harkwelltest\n");
        portal.close();

        m_backend.process().setProcessEnvironment(environment);
        m_backend.process().setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QStringList arguments{HARKWELL_SHORTCUTS_BACKEND};
        if (cancel)
            arguments << "--cancel";
        m_backend.process().start("/usr/bin/python3", arguments);
        if (!m_backend.process().waitForStarted(10000) || !m_backend.next("ready").value("ready").toBool())
            return;

        m_frontend.setProcessEnvironment(environment);
        m_frontend.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_connection = m_bus.connect("portal-client");
        QDBusServiceWatcher watcher("org.freedesktop.portal.Desktop", m_connection,
                                    QDBusServiceWatcher::WatchForRegistration);
        QSignalSpy registered(&watcher, &QDBusServiceWatcher::serviceRegistered);
        m_frontend.start("/usr/libexec/xdg-desktop-portal", {});
        if (!m_frontend.waitForStarted(10000))
            return;
        m_up = registered.wait(20000) || m_connection.interface()->isServiceRegistered("org.freedesktop.portal.Desktop");
    }
    ~PortalRig()
    {
        m_frontend.terminate();
        m_frontend.waitForFinished(5000);
    }

    bool isUp() const { return m_up; }
    QDBusConnection& connection() { return m_connection; }
    Helper& backend() { return m_backend; }

private:
    test::PrivateSessionBus m_bus;
    QTemporaryDir m_portals;
    Helper m_backend;
    QProcess m_frontend;
    QDBusConnection m_connection{QString()};
    bool m_up = false;
};

struct Manager {
    explicit Manager(QDBusConnection bus) : keys(new PortalGlobalKeys(bus)), manager(std::unique_ptr<GlobalKeys>(keys))
    {
        manager.onTrigger = [this] { ran << "search"; };
        manager.onRecord = [this] { ran << "record"; };
    }
    PortalGlobalKeys* keys;
    HotkeyManager manager;
    QStringList ran;
};

}  // namespace

class PortalKeysTest : public QObject {
    Q_OBJECT
private slots:
    void bothKeysBindRunAndTakeTheDesktopsNames()
    {
        test::TempHome home;
        PortalRig rig(false);
        QVERIFY2(rig.isUp(), "xdg-desktop-portal with the fake backend did not start (xdg-desktop-portal, python3-dbus)");
        Manager keys(rig.connection());
        QVERIFY(keys.manager.registerSearchKey());
        keys.manager.setRecordHotkey(true);

        const QJsonArray bound = rig.backend().next("bind").value("bind").toArray();
        QStringList asked;
        for (const QJsonValue& shortcut : bound)
            asked << shortcut["id"].toString() + " | " + shortcut["description"].toString() + " | " +
                         shortcut["preferred_trigger"].toString();
        QCOMPARE(asked, (QStringList{"harkwell-1 | Show or hide the vault search | SHIFT+LOGO+v",
                                     "harkwell-2 | Start a quick recording | CTRL+ALT+LOGO+r"}));
        QTRY_COMPARE(keys.manager.keyText(HotkeyManager::kSearchKeyId), QString("Shift+Logo+V"));
        QCOMPARE(keys.manager.keyText(HotkeyManager::kRecordKeyId), QString("Ctrl+Alt+Logo+R"));
        QVERIFY(keys.manager.isSearchKeyRegistered());
        QVERIFY(keys.manager.isRecordKeyRegistered());

        rig.backend().send("activate harkwell-1");
        QTRY_COMPARE(keys.ran, QStringList{"search"});
        rig.backend().send("activate harkwell-2");
        QTRY_COMPARE(keys.ran, (QStringList{"search", "record"}));

        QSignalSpy changed(&keys.manager, &HotkeyManager::changed);
        rig.backend().send("change harkwell-1 Ctrl+Shift+F");
        QTRY_COMPARE(keys.manager.keyText(HotkeyManager::kSearchKeyId), QString("Ctrl+Shift+F"));
        QVERIFY(changed.count() > 0);
    }

    // What windows say of the keys: the desktop's names, or the command-line actions.
    void windowsNameTheKeysTheyHave()
    {
        HotkeyNames& names = HotkeyNames::shared();
        QCOMPARE(names.search(), QString("Super+Shift+V"));
        QCOMPARE(names.record(), QString("Ctrl+Alt+Super+R"));
        names.set("Shift+Logo+V", "Ctrl+Alt+Logo+R", true);
        QCOMPARE(names.search(), QString("Shift+Logo+V"));
        names.set("Shift+Logo+V", "Ctrl+Alt+Logo+R", false);
        QCOMPARE(names.search(), QString("harkwell --search"));
        QCOMPARE(names.record(), QString("harkwell --record"));
        names.set("Super+Shift+V", "Ctrl+Alt+Super+R", true);
    }

    void refusedKeysAreUnregisteredAndSaySo_data()
    {
        QTest::addColumn<bool>("portal");
        QTest::newRow("the user cancels the bind") << true;
        QTest::newRow("no portal answers") << false;
    }

    void refusedKeysAreUnregisteredAndSaySo()
    {
        QFETCH(bool, portal);
        test::TempHome home;
        PortalRig rig(true);
        QVERIFY2(rig.isUp(), "xdg-desktop-portal with the fake backend did not start");
        test::PrivateSessionBus empty;
        QVERIFY(!empty.address().isEmpty());
        Manager keys(portal ? rig.connection() : empty.connect("no-portal"));
        QVERIFY(keys.manager.registerSearchKey());  // asked; the answer comes later
        keys.manager.setRecordHotkey(true);
        if (portal)
            QVERIFY(rig.backend().next("bind").value("cancelled").toBool());

        QTRY_VERIFY(!keys.manager.isSearchKeyRegistered());
        QTRY_VERIFY(!keys.manager.isRecordKeyRegistered());
        QCOMPARE(keys.manager.unavailableText(), QString::fromUtf8(PortalGlobalKeys::kUnavailableText));
        QVERIFY(keys.manager.unavailableText().contains("harkwell --search"));
        QVERIFY(keys.manager.unavailableText().contains("harkwell --record"));
        if (portal) {
            // A press the desktop reports for the session that bound nothing reaches no one.
            rig.backend().send("activate harkwell-1");
            QVERIFY(!rig.backend().next("done").isEmpty());
            QCoreApplication::processEvents();
            QVERIFY(keys.ran.isEmpty());
        }
    }
};

QTEST_MAIN(PortalKeysTest)
#include "tst_portal_keys.moc"
