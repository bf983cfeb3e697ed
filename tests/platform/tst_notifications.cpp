// The desktop notification backend against a real notification service (python3-dbusmock's
// notification daemon) on a private session bus: replacement by identifier, clicks routed to their
// payload, markup kept literal, and nothing posted when no service answers.

#include "platform/notifications/FakeNotifications.h"
#include "platform/notifications/FreedesktopNotifications.h"
#include "support/PrivateSessionBus.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#include <memory>
#include <tuple>

using namespace harkwell;

namespace {

const QString kService = "org.freedesktop.Notifications";
const QString kPath = "/org/freedesktop/Notifications";

// The private bus with the mock notification daemon on it.
class PrivateBus {
public:
    PrivateBus()
    {
        static int serial = 0;
        m_bus = std::make_unique<QDBusConnection>(m_daemon.connect(QString("harkwell-test-%1").arg(++serial)));
    }
    ~PrivateBus()
    {
        stopService();
        m_bus.reset();
    }

    bool isUp() const { return m_bus && m_bus->isConnected(); }
    QDBusConnection& bus() { return *m_bus; }

    // Starts the mock notification daemon on this bus and waits until it owns its name.
    bool startService()
    {
        QString python = QStandardPaths::findExecutable("python3", {"/usr/bin"});
        if (python.isEmpty())
            python = QStandardPaths::findExecutable("python3");
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("DBUS_SESSION_BUS_ADDRESS", m_daemon.address());
        m_service.setProcessEnvironment(environment);
        m_service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_service.start(python, {"-m", "dbusmock", "--template", "notification_daemon"});
        if (!m_service.waitForStarted(10000))
            return false;
        QDBusServiceWatcher watcher(kService, *m_bus, QDBusServiceWatcher::WatchForRegistration);
        QSignalSpy registered(&watcher, &QDBusServiceWatcher::serviceRegistered);
        return m_bus->interface()->isServiceRegistered(kService) || registered.wait(20000);
    }
    void stopService()
    {
        if (m_service.state() == QProcess::NotRunning)
            return;
        m_service.terminate();
        m_service.waitForFinished(5000);
    }

    // The argument lists of every Notify call the mock has seen, in order.
    QList<QVariantList> notifyCalls()
    {
        QDBusMessage ask = QDBusMessage::createMethodCall(kService, kPath, "org.freedesktop.DBus.Mock", "GetMethodCalls");
        ask << QString("Notify");
        const QDBusMessage reply = m_bus->call(ask);
        QList<QVariantList> calls;
        if (reply.type() != QDBusMessage::ReplyMessage)
            return calls;
        const QDBusArgument list = reply.arguments().constFirst().value<QDBusArgument>();
        list.beginArray();
        while (!list.atEnd()) {
            quint64 time = 0;
            QVariantList arguments;
            list.beginStructure();
            list >> time >> arguments;
            list.endStructure();
            calls.append(arguments);
        }
        list.endArray();
        return calls;
    }

    // Makes the service take `seconds` over each of the calls a client makes before posting.
    bool slowDown(int seconds)
    {
        for (const auto& [method, out, value] :
             {std::tuple{"GetServerInformation", "ssss", "('mock', 'test', '1', '1.2')"},
              std::tuple{"GetCapabilities", "as", "['body', 'body-markup', 'actions']"}}) {
            QDBusMessage add = QDBusMessage::createMethodCall(kService, kPath, "org.freedesktop.DBus.Mock", "AddMethod");
            add << kService << QString(method) << QString() << QString(out)
                << QString("import time; time.sleep(%1); ret = %2").arg(QString::number(seconds), value);
            if (m_bus->call(add).type() != QDBusMessage::ReplyMessage)
                return false;
        }
        return true;
    }

    void emitSignal(const QString& name, const QString& signature, const QVariantList& arguments)
    {
        QDBusMessage emitIt = QDBusMessage::createMethodCall(kService, kPath, "org.freedesktop.DBus.Mock", "EmitSignal");
        emitIt << kService << name << signature << QVariant::fromValue(arguments);
        m_bus->call(emitIt);
    }

private:
    test::PrivateSessionBus m_daemon;
    QProcess m_service;
    std::unique_ptr<QDBusConnection> m_bus;
};

NotificationRequest request(const QString& identifier, const QString& title, QMap<QString, QString> payload = {})
{
    NotificationRequest r;
    r.identifier = identifier;
    r.title = title;
    r.body = "body of " + title;
    r.threadIdentifier = "harkwell.transcripts";
    r.payload = std::move(payload);
    return r;
}

uint replacesId(const QVariantList& call) { return call.at(1).toUInt(); }

}  // namespace

class NotificationsTest : public QObject {
    Q_OBJECT
private slots:
    void postsReplaceByIdentifierAndClicksComeBackWithTheirPayload()
    {
        PrivateBus bus;
        QVERIFY(bus.isUp());
        QVERIFY(bus.startService());
        FreedesktopNotifications desktop(bus.bus());
        QTRY_COMPARE_WITH_TIMEOUT(desktop.authorization(), NotificationAuthorization::Authorized, 10000);

        int added = 0;
        auto countAdded = [&](std::expected<void, NotificationError> result) { added += result.has_value(); };
        desktop.add(request("harkwell.transcript.A", "Sending to Mirelon", {{"filePath", "/v/_inbox/A.md"}}), countAdded);
        // Posted before the first answer came back: it must still replace the first.
        desktop.add(request("harkwell.transcript.A", "Transcript ready", {{"filePath", "/v/_inbox/A.md"}, {"obsidianLink", "obsidian://open?vault=v&file=_inbox%2FA"}}), countAdded);
        desktop.add(request("harkwell.transcript.failed.B", "Transcript failed", {{"action", "captureSettings"}}), countAdded);
        QTRY_COMPARE_WITH_TIMEOUT(added, 3, 10000);

        const QList<QVariantList> calls = bus.notifyCalls();
        QCOMPARE(calls.size(), 3);
        // The sender reads as the application, with its icon and desktop entry.
        QCOMPARE(calls[0].at(0).toString(), QString("Harkwell"));
        QCOMPARE(calls[0].at(2).toString(), QString("app.harkwell.Harkwell"));
        QCOMPARE(qdbus_cast<QVariantMap>(calls[0].at(6)).value("desktop-entry").toString(), QString("app.harkwell.Harkwell"));
        QCOMPARE(replacesId(calls[0]), 0u);
        QCOMPARE(calls[0].at(3).toString(), QString("Sending to Mirelon"));
        QVERIFY(calls[0].at(5).toStringList().contains("default"));
        const QVariantMap hints = qdbus_cast<QVariantMap>(calls[0].at(6));
        QCOMPARE(hints.value("sound-name").toString(), QString("message-new-instant"));
        const uint firstA = 1;  // the mock numbers new notifications from 1
        // B went out while A's second waited for the first's answer.
        QCOMPARE(calls[1].at(3).toString(), QString("Transcript failed"));
        QCOMPARE(replacesId(calls[1]), 0u);
        QCOMPARE(calls[2].at(3).toString(), QString("Transcript ready"));
        QCOMPARE(replacesId(calls[2]), firstA);

        QSignalSpy clicked(&desktop, &Notifications::clicked);
        bus.emitSignal("ActionInvoked", "us", {firstA, QString("default")});
        QTRY_COMPARE_WITH_TIMEOUT(clicked.size(), 1, 10000);
        QCOMPARE(clicked[0][0].toString(), QString("harkwell.transcript.A"));
        const auto payload = clicked[0][1].value<QMap<QString, QString>>();
        QCOMPARE(payload.value("obsidianLink"), QString("obsidian://open?vault=v&file=_inbox%2FA"));
        QCOMPARE(payload.value("filePath"), QString("/v/_inbox/A.md"));

        // Another action, and a click on something this process did not post, route nothing.
        bus.emitSignal("ActionInvoked", "us", {firstA, QString("dismiss")});
        bus.emitSignal("ActionInvoked", "us", {99u, QString("default")});
        const uint secondB = 2;
        bus.emitSignal("ActionInvoked", "us", {secondB, QString("default")});
        QTRY_COMPARE_WITH_TIMEOUT(clicked.size(), 2, 10000);
        QCOMPARE(clicked[1][0].toString(), QString("harkwell.transcript.failed.B"));

        // Once the service has closed it, a notification no longer routes clicks.
        bus.emitSignal("NotificationClosed", "uu", {secondB, 2u});
        bus.emitSignal("ActionInvoked", "us", {secondB, QString("default")});
        bus.emitSignal("ActionInvoked", "us", {firstA, QString("default")});
        QTRY_COMPARE_WITH_TIMEOUT(clicked.size(), 3, 10000);
        QCOMPARE(clicked[2][0].toString(), QString("harkwell.transcript.A"));
    }

    void markupInTextStaysLiteralWhereTheServiceReadsMarkup()
    {
        PrivateBus bus;
        QVERIFY(bus.isUp());
        QVERIFY(bus.startService());
        FreedesktopNotifications desktop(bus.bus());
        QTRY_COMPARE_WITH_TIMEOUT(desktop.authorization(), NotificationAuthorization::Authorized, 10000);
        NotificationRequest r = request("harkwell.test", "Transcript ready");
        r.body = "Q&A <draft>";
        bool added = false;
        desktop.add(r, [&](auto result) { added = result.has_value(); });
        QTRY_VERIFY_WITH_TIMEOUT(added, 10000);
        QCOMPARE(bus.notifyCalls().constFirst().at(4).toString(), QString("Q&amp;A &lt;draft&gt;"));
    }

    // A service that takes seconds to answer (a desktop still starting) never holds the thread
    // that posts: the status, the permission request and the post all return at once.
    void aSlowServiceNeverHoldsTheCaller()
    {
        PrivateBus bus;
        QVERIFY(bus.isUp());
        QVERIFY(bus.startService());
        QVERIFY(bus.slowDown(2));

        QElapsedTimer clock;
        clock.start();
        qint64 lastTick = 0;
        qint64 worstGap = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            worstGap = std::max(worstGap, clock.elapsed() - lastTick);
            lastTick = clock.elapsed();
        });
        ticker.start(10);

        FreedesktopNotifications desktop(bus.bus());
        (void)desktop.authorization();
        std::optional<bool> granted;
        desktop.requestAuthorization([&](bool answer) { granted = answer; });
        bool added = false;
        desktop.add(request("harkwell.test", "Transcript ready"), [&](auto result) { added = result.has_value(); });
        QTRY_VERIFY_WITH_TIMEOUT(added, 20000);
        QCOMPARE(granted, std::optional(true));
        QCOMPARE(desktop.authorization(), NotificationAuthorization::Authorized);
        QVERIFY2(clock.elapsed() >= 2000, "the service was not slow");
        QVERIFY2(worstGap < 500, qPrintable(QString("the event loop stood still for %1 ms").arg(worstGap)));
    }

    void withoutServiceNothingIsPostedAndTheStatusIsNotDetermined()
    {
        PrivateBus bus;
        QVERIFY(bus.isUp());
        FreedesktopNotifications desktop(bus.bus());
        QCOMPARE(desktop.authorization(), NotificationAuthorization::NotDetermined);
        std::optional<bool> granted;
        desktop.requestAuthorization([&](bool answer) { granted = answer; });
        QTRY_COMPARE_WITH_TIMEOUT(granted, std::optional(false), 10000);

        std::optional<std::expected<void, NotificationError>> result;
        desktop.add(request("harkwell.test", "Transcript ready"), [&](auto r) { result = r; });
        QTRY_VERIFY_WITH_TIMEOUT(result.has_value(), 10000);
        QVERIFY(!result->has_value());
        QVERIFY(!result->error().text.isEmpty());
    }

    void currentIsTheDesktopUnlessAnotherIsPutInPlace()
    {
        FakeNotifications fake;
        Notifications::setCurrent(&fake);
        QCOMPARE(&Notifications::current(), static_cast<Notifications*>(&fake));
        Notifications::setCurrent(nullptr);
        QVERIFY(qobject_cast<FreedesktopNotifications*>(&Notifications::current()));
        QCOMPARE(&Notifications::current(), &Notifications::current());
    }
};

QTEST_GUILESS_MAIN(NotificationsTest)
#include "tst_notifications.moc"
