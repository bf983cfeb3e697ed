// The logind power backend against python3-dbusmock's logind on a private bus that stands in for
// the system bus: while a recording holds off idle sleep it also holds a delay lock on sleep, so
// that PrepareForSleep(true) is handled before the machine sleeps; the delay lock goes once the
// sleep was handled, comes back after the wake, and everything goes on release.

#include "platform/power/LogindPowerManagement.h"
#include "support/PrivateSessionBus.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

using namespace harkwell;

namespace {

const QString kService = "org.freedesktop.login1";
const QString kPath = "/org/freedesktop/login1";

}  // namespace

class LogindPowerTest : public QObject {
    Q_OBJECT

    test::PrivateSessionBus daemon;
    QProcess logind;

    // The locks the mock holds, as "what/mode".
    QStringList locks()
    {
        const QDBusMessage reply = QDBusConnection::systemBus().call(
            QDBusMessage::createMethodCall(kService, kPath, "org.freedesktop.login1.Manager", "ListInhibitors"));
        QStringList held;
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return {"no answer"};
        const QDBusArgument list = reply.arguments().first().value<QDBusArgument>();
        list.beginArray();
        while (!list.atEnd()) {
            QString what, who, why, mode;
            uint uid = 0, pid = 0;
            list.beginStructure();
            list >> what >> who >> why >> mode >> uid >> pid;
            list.endStructure();
            held.append(what + "/" + mode);
        }
        list.endArray();
        held.sort();
        return held;
    }
    void emitPrepareForSleep(bool sleeping)
    {
        QDBusMessage signal = QDBusMessage::createMethodCall(kService, kPath, "org.freedesktop.DBus.Mock", "EmitSignal");
        signal << QString("org.freedesktop.login1.Manager") << QString("PrepareForSleep") << QString("b")
             << QVariantList{sleeping};
        QDBusConnection::systemBus().call(signal);
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(!daemon.address().isEmpty(), "no private bus");
        // Before anything in this program reaches for the system bus.
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", daemon.address().toUtf8());
        QString python = QStandardPaths::findExecutable("python3", {"/usr/bin"});
        if (python.isEmpty())
            python = QStandardPaths::findExecutable("python3");
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("DBUS_SYSTEM_BUS_ADDRESS", daemon.address());
        logind.setProcessEnvironment(environment);
        logind.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        logind.start(python, {"-m", "dbusmock", "--system", "--template", "logind"});
        QVERIFY(logind.waitForStarted(10000));
        QDBusServiceWatcher watcher(kService, QDBusConnection::systemBus(), QDBusServiceWatcher::WatchForRegistration);
        QSignalSpy registered(&watcher, &QDBusServiceWatcher::serviceRegistered);
        QVERIFY(QDBusConnection::systemBus().interface()->isServiceRegistered(kService) || registered.wait(20000));
    }
    void cleanupTestCase()
    {
        logind.terminate();
        logind.waitForFinished(5000);
    }

    void aRecordingDelaysSleepUntilItIsPaused()
    {
        LogindPowerManagement power;
        QVERIFY(power.holdIdleSleep("Recording"));
        QTRY_COMPARE(locks(), (QStringList{"sleep/delay", "sleep:idle/block"}));

        QStringList heldWhileHandling;
        connect(&power, &PowerManagement::willSleep, this, [&] { heldWhileHandling = locks(); });
        QSignalSpy woke(&power, &PowerManagement::didWake);
        emitPrepareForSleep(true);
        QTRY_VERIFY(!heldWhileHandling.isEmpty());
        QCOMPARE(heldWhileHandling, (QStringList{"sleep/delay", "sleep:idle/block"}));
        QTRY_COMPARE(locks(), QStringList{"sleep:idle/block"});

        emitPrepareForSleep(false);
        QTRY_COMPARE(woke.size(), 1);
        QTRY_COMPARE(locks(), (QStringList{"sleep/delay", "sleep:idle/block"}));

        power.releaseIdleSleep();
        QTRY_COMPARE(locks(), QStringList{});
    }

    void withoutARecordingNothingIsHeld()
    {
        LogindPowerManagement power;
        QSignalSpy sleeping(&power, &PowerManagement::willSleep);
        emitPrepareForSleep(true);
        QTRY_COMPARE(sleeping.size(), 1);
        QCOMPARE(locks(), QStringList{});
        emitPrepareForSleep(false);
    }
};

QTEST_GUILESS_MAIN(LogindPowerTest)
#include "tst_logind_power.moc"
